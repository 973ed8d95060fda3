/*
 * platform_common.cpp - the parts of the platform layer that need no system
 * call: path splitting with _splitpath's rules and the ASCII string helpers
 * (contract in platform.h).
 *
 * split_path keeps whole components (no _MAX_FNAME-style cut): the caller
 * decides what fits. stricmp/strnicmp fold only 'A'..'Z', so a host that
 * changes the C locale cannot change how rule names or header names compare;
 * bytes above 127 (the umlauts of the Windows code page) compare as they are.
 */
#include "pf/platform.h"
#include "pf/text.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <random>

namespace pf {

namespace {

bool is_sep(char c) {
#if defined(_WIN32)
    return c == '\\' || c == '/';
#else
    return c == '/';
#endif
}

int fold(unsigned char c) {
    return static_cast<unsigned char>(pf::ascii_lower(static_cast<char>(c)));
}

// The installed write hook; tests set it while nothing is copied, so a plain
// pair read through one atomic pointer is enough.
FaultHooks g_hooks;
std::atomic<const FaultHooks*> g_activeHooks{nullptr};

}  // namespace

void set_fault_hooks(const FaultHooks* hooks) {
    g_activeHooks.store(nullptr);
    if (hooks != nullptr && hooks->beforeWrite != nullptr) {
        g_hooks = *hooks;
        g_activeHooks.store(&g_hooks);
    }
}

bool write_allowed(std::size_t n) {
    const FaultHooks* h = g_activeHooks.load();
    return h == nullptr || h->beforeWrite(n, h->user);
}

std::string random_name(std::size_t n) {
    static constexpr char ALPHABET[] =
        "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    constexpr unsigned ALPHABET_SIZE = sizeof ALPHABET - 1;
    // random_device reads the system's source (getrandom, rand_s): names
    // that another user of the machine cannot foresee.
    std::random_device source;
    std::string out;
    out.reserve(n);
    while (out.size() < n) {
        unsigned word = source();
        // Five characters per 32-bit word (62^5 < 2^32); the rest is dropped.
        for (int i = 0; i < 5 && out.size() < n; ++i) {
            out += ALPHABET[word % ALPHABET_SIZE];
            word /= ALPHABET_SIZE;
        }
    }
    return out;
}

SplitPath split_path(const char* path) {
    SplitPath out;
    if (path == nullptr)
        return out;
    std::string rest(path);
#if defined(_WIN32)
    if (rest.size() >= 2 && rest[1] == ':') {
        out.drive = rest.substr(0, 2);
        rest.erase(0, 2);
    }
#endif
    std::size_t base = 0;  // start of the last component
    for (std::size_t i = 0; i < rest.size(); ++i) {
        if (is_sep(rest[i]))
            base = i + 1;
    }
    out.dir = rest.substr(0, base);
    std::string last = rest.substr(base);
    std::size_t dot = last.rfind('.');
    if (dot == std::string::npos) {
        out.name = last;
    } else {
        out.name = last.substr(0, dot);
        out.ext = last.substr(dot);
    }
    return out;
}

char* strdup(const char* s) {
    if (s == nullptr)
        return nullptr;
    std::size_t n = std::strlen(s) + 1;
    char* copy = static_cast<char*>(std::malloc(n));
    if (copy != nullptr)
        std::memcpy(copy, s, n);
    return copy;
}

int stricmp(const char* a, const char* b) {
    return strnicmp(a, b, static_cast<std::size_t>(-1));
}

int strnicmp(const char* a, const char* b, std::size_t n) {
    if (a == nullptr || b == nullptr) {
        if (a == b)
            return 0;
        return a == nullptr ? -1 : 1;
    }
    for (std::size_t i = 0; i < n; ++i) {
        int ca = fold(static_cast<unsigned char>(a[i]));
        int cb = fold(static_cast<unsigned char>(b[i]));
        if (ca != cb)
            return ca - cb;
        if (ca == 0)
            break;
    }
    return 0;
}

}  // namespace pf
