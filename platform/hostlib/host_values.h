/*
 * host_values.h - the host's texts and configuration values as the service
 * and its processors read them: at the moment of use, never cached, copied
 * at once (the host may replace them on another thread).
 *
 *   HostText(id)      host text number `id` of module "EXE"; "" when none
 *   ConfigText(key)   configuration value `key` of any length; "" when none
 *   ConfigNumber(key, fallback)  the value as a whole number; `fallback`
 *                     when it is unset, empty or not a number
 *   EngineVersionText()  the virus engine's version text; "" when none
 *   LastVirusNameText()  the calling thread's last virus name; "" when none
 * The engine's texts may change with its next call: these are copies.
 */
#ifndef MAILWARD_HOST_VALUES_H
#define MAILWARD_HOST_VALUES_H

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "miralib/miralib.h"
#include "qorcsock/qorcsock.h"
#include "vaveriz/vaveriz.h"

// Host text numbers the library uses.
constexpr int TEXT_REPLACEMENT_NAME = 63;
constexpr int TEXT_MOVED_NOTICE = 65;
constexpr int TEXT_REMOVED_NOTICE = 67;
constexpr int TEXT_VIRUS_NOTICE = 68;
constexpr int TEXT_SCAN_FILE = 69;
constexpr int TEXT_INFECTED_SUFFIX = 70;

inline std::string HostText(int id) {
    const char* text = S_MODULENAME(id, "EXE");
    return text != nullptr ? text : "";
}

inline std::string ConfigText(const char* key) {
    char* value = miraconf_dup(key);
    if (value == nullptr)
        return "";
    std::string copy(value);
    cbcontext_free(value);
    return copy;
}

inline std::uint64_t ConfigNumber(const char* key, std::uint64_t fallback) {
    const std::string text = ConfigText(key);
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return fallback;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
    return errno == ERANGE ? fallback : static_cast<std::uint64_t>(value);
}

inline std::string EngineVersionText() {
    const char* v = AV_GetEngineVersion(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    return v != nullptr ? v : "";
}

inline std::string LastVirusNameText() {
    const char* v = AV_GetLastVirusName();
    return v != nullptr ? v : "";
}

#endif
