/*
 * platform_common.cpp - the parts of the platform layer that need no system
 * call: path splitting with _splitpath's rules and the ASCII string helpers
 * (contract in platform.h).
 *
 * split_path keeps whole components (no _MAX_FNAME-style cut): the caller
 * decides what fits. stricmp/strnicmp fold only 'A'..'Z', so a host that
 * changes the C locale cannot change how rule names or header names compare;
 * bytes above 127 (the umlauts of the Windows code page) compare as they are.
 *
 * charset_to_utf8 checks the name, and reads UTF-8, US-ASCII, ISO-8859-1,
 * UTF-16 and UTF-32 itself (the same on every system, byte order marks
 * included; the charsets of most names need no converter at all); every
 * other charset goes to the system's converter (convert_charset in the
 * system's file).
 */
#include "pf/platform.h"
#include "pf/text.h"

#include <algorithm>
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

// A charset name as MIME writes it: letters, digits and "-_.:+", so that
// no name can carry a converter's options ("//IGNORE").
bool IsCharsetName(std::string_view name) {
    if (name.empty() || name.size() > CHARSET_NAME_MAX) {
        return false;
    }
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' || c == ':' ||
                        c == '+';
        if (!ok) {
            return false;
        }
    }
    return true;
}

void AppendUtf8(std::uint32_t cp, std::string& out) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// UTF-16 or UTF-32 (`unit` 2 or 4 bytes) in the given byte order, or by its
// byte order mark when `bByMark`; false for a broken sequence.
bool WideToUtf8(std::string_view b, std::size_t unit, bool bBigEndian, bool bByMark,
                std::string& out) {
    if (b.size() % unit != 0) {
        return false;
    }
    auto read = [&](std::size_t at, bool big) {
        std::uint32_t v = 0;
        for (std::size_t k = 0; k < unit; ++k) {
            const auto byte = static_cast<unsigned char>(b[at + (big ? k : unit - 1 - k)]);
            v = (v << 8) | byte;
        }
        return v;
    };
    std::size_t at = 0;
    if (b.size() >= unit) {
        const std::uint32_t first = read(0, bBigEndian);
        const std::uint32_t swapped = read(0, !bBigEndian);
        if (first == 0xFEFF) {
            at = unit;
        } else if (bByMark && swapped == 0xFEFF) {
            bBigEndian = !bBigEndian;
            at = unit;
        }
    }
    for (; at < b.size(); at += unit) {
        std::uint32_t cp = read(at, bBigEndian);
        if (unit == 2 && cp >= 0xD800 && cp < 0xDC00) {
            if (at + 2 * unit > b.size()) {
                return false;
            }
            const std::uint32_t low = read(at + unit, bBigEndian);
            if (low < 0xDC00 || low >= 0xE000) {
                return false;
            }
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            at += unit;
        } else if ((cp >= 0xD800 && cp < 0xE000) || cp > 0x10FFFF) {
            return false;
        }
        AppendUtf8(cp, out);
    }
    return true;
}

// Well-formed UTF-8 (no overlong forms, no surrogates, nothing past
// U+10FFFF).
bool IsUtf8(std::string_view b) {
    std::size_t i = 0;
    while (i < b.size()) {
        const auto c = static_cast<unsigned char>(b[i]);
        std::size_t n = 0;
        std::uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            n = 1, cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 2, cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 3, cp = c & 0x07;
        } else {
            return false;
        }
        if (b.size() - i <= n) {
            return false;  // cut short
        }
        for (std::size_t k = 1; k <= n; ++k) {
            const auto t = static_cast<unsigned char>(b[i + k]);
            if ((t & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (t & 0x3F);
        }
        if ((n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp < 0xE000)) {
            return false;
        }
        i += n + 1;
    }
    return true;
}

}  // namespace

bool charset_to_utf8(std::string_view charset, std::string_view bytes, std::string& out) {
    out.clear();
    if (!IsCharsetName(charset)) {
        return false;
    }
    const std::string name = pf::ascii_lower(charset);
    struct Wide {
        const char* name;
        std::size_t unit;
        bool bBigEndian, bByMark;
    };
    static const Wide WIDE[] = {
        {"utf-16", 2, true, true},     {"utf-16be", 2, true, false}, {"utf-16le", 2, false, false},
        {"ucs-2", 2, true, true},      {"utf-32", 4, true, true},    {"utf-32be", 4, true, false},
        {"utf-32le", 4, false, false},
    };
    if (name == "utf-8" || name == "utf8" || name == "us-ascii" || name == "ascii") {
        const bool bAscii = name.find("ascii") != std::string::npos;
        const bool ok =
            bAscii ? std::all_of(bytes.begin(), bytes.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; })
                   : IsUtf8(bytes);
        if (ok) {
            out.assign(bytes);
            if (out.compare(0, 3, "\xEF\xBB\xBF") == 0) {
                out.erase(0, 3);
            }
        }
        return ok;
    }
    if (name == "iso-8859-1" || name == "latin1" || name == "iso_8859-1") {
        out.reserve(bytes.size() * 2);
        for (char c : bytes) {
            AppendUtf8(static_cast<unsigned char>(c), out);
        }
        return true;
    }
    for (const Wide& w : WIDE) {
        if (name == w.name) {
            const bool ok = WideToUtf8(bytes, w.unit, w.bBigEndian, w.bByMark, out);
            if (!ok) {
                out.clear();
            }
            return ok;
        }
    }
    if (!convert_charset(name, bytes, out)) {
        out.clear();
        return false;
    }
    // A UTF-8 (or UTF-7) text may start with a byte order mark of its own.
    if (out.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        out.erase(0, 3);
    }
    return true;
}

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
