/*
 * misc.cpp - the small system helpers of the support library, and the
 * formatting and copying helpers the other sources share (internal.h).
 *
 *   cbcontext_free(block)    free(); null is accepted.
 *   csock_hostname_ascii()   the local host name, looked up once and kept
 *                            for the life of the process. Only letters,
 *                            digits, '-', '.' and '_' are kept as they are;
 *                            any other byte becomes '-', so the name can go
 *                            into header fields unchanged. At most
 *                            QORCSOCK_HOSTNAME_MAX characters; "localhost"
 *                            when the system gives no name.
 *   WINError2str(code)       the system's text for an errno value (POSIX) or
 *                            a GetLastError value (Windows), without a line
 *                            end; "unknown error <code>" when the system has
 *                            none. The text lives in a per-thread buffer of
 *                            QORCSOCK_ERRTEXT_MAX bytes and stays valid until
 *                            the same thread calls again.
 *   __time(t)                time(): seconds since 1970, also stored through
 *                            `t` when it is not null.
 */
#include "qorcsock/qorcsock.h"
#include "qorcsock/qorcsock_impl.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

bool qs_vformat(std::string& out, const char* format, va_list args) {
    out.clear();
    if (format == nullptr) {
        return false;
    }
    char small[512];
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(small, sizeof small, format, args);
    if (n < 0 || static_cast<size_t>(n) >= QS_FORMAT_MAX) {
        va_end(again);
        return false;
    }
    if (static_cast<size_t>(n) < sizeof small) {
        out.assign(small, static_cast<size_t>(n));
        va_end(again);
        return true;
    }
    out.resize(static_cast<size_t>(n));
    int m = std::vsnprintf(out.data(), static_cast<size_t>(n) + 1, format, again);
    va_end(again);
    if (m != n) {
        out.clear();
        return false;
    }
    return true;
}

extern "C" QORCSOCK_API void cbcontext_free(void* block) {
    std::free(block);
}

namespace {

char g_hostname[QORCSOCK_HOSTNAME_MAX + 1];
std::once_flag g_hostname_once;

void LookUpHostname() {
    char raw[QORCSOCK_HOSTNAME_MAX + 1] = {0};
#ifdef _WIN32
    DWORD size = sizeof raw;
    if (!GetComputerNameExA(ComputerNameDnsHostname, raw, &size)) {
        raw[0] = '\0';
    }
#else
    if (gethostname(raw, sizeof raw - 1) != 0) {
        raw[0] = '\0';
    }
#endif
    raw[QORCSOCK_HOSTNAME_MAX] = '\0';
    size_t n = 0;
    for (; raw[n] != '\0'; ++n) {
        unsigned char c = static_cast<unsigned char>(raw[n]);
        bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '.' || c == '_';
        g_hostname[n] = keep ? static_cast<char>(c) : '-';
    }
    g_hostname[n] = '\0';
    if (n == 0) {
        std::snprintf(g_hostname, sizeof g_hostname, "%s", "localhost");
    }
}

// strerror_r comes in two shapes (XSI returns int, GNU returns char*); these
// overloads take whichever the C library declares.
[[maybe_unused]] const char* StrerrorResult(int rc, const char* buf) {
    return rc == 0 ? buf : nullptr;
}
[[maybe_unused]] const char* StrerrorResult(const char* text, const char*) {
    return text;
}

}  // namespace

extern "C" QORCSOCK_API const char* csock_hostname_ascii(void) {
    try {
        std::call_once(g_hostname_once, LookUpHostname);
    } catch (...) {
        return "localhost";
    }
    return g_hostname;
}

extern "C" QORCSOCK_API const char* WINError2str(unsigned long code) {
    thread_local char text[QORCSOCK_ERRTEXT_MAX];
    text[0] = '\0';
#ifdef _WIN32
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    if (n == 0) {
        text[0] = '\0';
    }
#else
    if (code <= static_cast<unsigned long>(INT_MAX)) {
        char buf[QORCSOCK_ERRTEXT_MAX] = {0};
        const char* found =
            StrerrorResult(strerror_r(static_cast<int>(code), buf, sizeof buf), buf);
        if (found != nullptr) {
            std::snprintf(text, sizeof text, "%s", found);
        }
    }
#endif
    // Windows ends its texts with CR LF; callers put the text inside lines.
    size_t len = std::strlen(text);
    while (len > 0 && (text[len - 1] == '\r' || text[len - 1] == '\n' || text[len - 1] == ' ')) {
        text[--len] = '\0';
    }
    if (len == 0) {
        std::snprintf(text, sizeof text, "unknown error %lu", code);
    }
    return text;
}

extern "C" QORCSOCK_API time_t __time(time_t* t) {
    return std::time(t);
}
