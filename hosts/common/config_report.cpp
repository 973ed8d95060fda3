/*
 * config_report.cpp - the configuration in force with the origin of each
 * value (see config_report.h).
 */
#include "common/config_report.h"

#include <set>

#include "common/host_config.h"
#include "common/text.h"
#include "miralib/miralib.h"

namespace {

// The origin stands on a line of its own: a value may hold '#', so the
// file syntax has no comment after a value.
std::string Line(const std::string& key, const std::string& value, const std::string& origin) {
    return "# " + origin + "\n" + key + " = " + ConfigFileValue(value) + "\n";
}

// One key: its value and origin, or a comment that it has none.
std::string KeyLine(const std::string& key, const std::string& defaultText) {
    if (miraconf_get(key.c_str(), nullptr, 0) != 1)
        return "# " + key + " has no value (default: " + defaultText + ")\n";
    char origin[CONFIG_VALUE_MAX] = "";
    if (miraconf_origin(key.c_str(), origin, sizeof origin) != 1)
        return Line(key, ConfigValue(key.c_str()), "default");
    return Line(key, ConfigValue(key.c_str()), origin);
}

}  // namespace

std::string ConfigFileValue(const std::string& value) {
    const bool plain = !value.empty() && !kit::is_wsp(value.front()) &&
                       !kit::is_wsp(value.back()) && value.front() != '"';
    if (plain)
        return value;
    std::string quoted = "\"";
    for (char c : value) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

std::string EffectiveConfiguration(const std::vector<ConfigEntry>& entries, bool milterKeys) {
    std::string out = "# the library's keys\n";
    miraconf_keyinfo info{};
    for (std::size_t i = 0; miraconf_key_info(i, &info) == 1; ++i)
        out += KeyLine(info.name, info.default_text);
    out += "\n# the programs' keys\n";
    for (const HostKey& key : HostKeyTable()) {
        if (!milterKeys && std::string(key.program) == "mailward-milter")
            continue;
        const std::string prefix = FamilyPrefix(key);
        if (prefix.empty()) {
            // A key no configuration names keeps the program's default,
            // which the library's store does not hold.
            if (miraconf_is_set(key.name) != 0)
                out += KeyLine(key.name, key.defaultText);
            else if (key.defaultValue != nullptr)
                out += Line(key.name, key.defaultValue, "default");
            else
                out += "# " + std::string(key.name) + " has no value (default: " + key.defaultText +
                       ")\n";
            continue;
        }
        std::set<std::string> listed;
        for (const ConfigEntry& e : entries) {
            if (FindHostKey(e.key) != &key || !listed.insert(kit::ascii_lower(e.key)).second)
                continue;
            out += KeyLine(e.key, key.defaultText);
        }
        if (listed.empty())
            out += "# " + std::string(key.name) + ": none set\n";
    }
    return out;
}
