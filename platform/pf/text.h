/*
 * text.h - the small string helpers every part of mailward and its programs
 * use, in one place (namespace pf). Header-only, no system calls, no locale:
 * bytes from 0x80 up are never changed, whatever the host's locale says.
 *
 *   PATH_SEPARATOR          '\\' on Windows, '/' elsewhere
 *   is_wsp(c)               a blank or a tab (WSP of RFC 5234: what folds and
 *                           pads header lines)
 *   is_blank_or_line_end(c) a blank, tab, CR or LF (BLANKS_AND_LINE_ENDS)
 *   is_c_space(c)           what isspace() takes in the C locale (blank, tab,
 *                           LF, VT, FF, CR), without isspace()'s undefined
 *                           behaviour for a negative char
 *   copy_terminated(p, n)   a malloc'ed copy of n bytes followed by a zero
 *                           byte (for blocks a caller releases with free);
 *                           null when memory is short
 *   ascii_lower(c / s)      A-Z to a-z, every other byte as it is
 *   equals_nocase(a, b)     equal when A-Z case is ignored
 *   trim(s, set)            `s` without bytes of `set` at both ends (a view
 *                           into `s`); the default set is blank, tab, CR, LF
 *   join(items, sep)        the items with `sep` between them
 *   join_path(dir, name)    dir, one separator, name; an empty dir gives the
 *                           name alone, a dir already ending in a separator
 *                           (or in '/', which Windows takes too) gets no
 *                           second one
 *   blank_controls(s)       `s` with every control character (below 32, and
 *                           127: CR, LF, NUL, TAB, ESC, ...) made one blank,
 *                           for every place a text from a mail goes other
 *                           than a file name (a notice, a header entry, a log
 *                           line): it stays on the one line it was put in and
 *                           can never start a line, a header field or a MIME
 *                           delimiter of the sender's choice; the length
 *                           stays the same
 */
#ifndef MAILWARD_PF_TEXT_H
#define MAILWARD_PF_TEXT_H

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace pf {

#if defined(_WIN32)
inline constexpr char PATH_SEPARATOR = '\\';
#else
inline constexpr char PATH_SEPARATOR = '/';
#endif

inline constexpr std::string_view BLANKS_AND_LINE_ENDS = " \t\r\n";

constexpr bool is_wsp(char c) {
    return c == ' ' || c == '\t';
}

constexpr bool is_blank_or_line_end(char c) {
    return is_wsp(c) || c == '\r' || c == '\n';
}

constexpr bool is_c_space(char c) {
    return is_blank_or_line_end(c) || c == '\v' || c == '\f';
}

inline char* copy_terminated(const char* p, std::size_t n) {
    char* copy = static_cast<char*>(std::malloc(n + 1));
    if (copy != nullptr) {
        if (n > 0)
            std::memcpy(copy, p, n);
        copy[n] = '\0';
    }
    return copy;
}

inline std::string blank_controls(std::string_view text) {
    constexpr unsigned char FIRST_PRINTABLE = 32;
    constexpr unsigned char DELETE_CHAR = 127;
    std::string line(text);
    for (char& c : line) {
        const auto u = static_cast<unsigned char>(c);
        if (u < FIRST_PRINTABLE || u == DELETE_CHAR)
            c = ' ';
    }
    return line;
}

constexpr char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string ascii_lower(std::string_view s) {
    std::string lower(s);
    for (char& c : lower)
        c = ascii_lower(c);
    return lower;
}

constexpr bool equals_nocase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i]))
            return false;
    }
    return true;
}

constexpr std::string_view trim(std::string_view s, std::string_view set = BLANKS_AND_LINE_ENDS) {
    const std::size_t first = s.find_first_not_of(set);
    if (first == std::string_view::npos)
        return {};
    return s.substr(first, s.find_last_not_of(set) - first + 1);
}

inline std::string join(const std::vector<std::string>& items, std::string_view sep) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0)
            out += sep;
        out += items[i];
    }
    return out;
}

inline std::string join_path(std::string_view dir, std::string_view name) {
    std::string path(dir);
    if (!path.empty() && path.back() != PATH_SEPARATOR && path.back() != '/')
        path += PATH_SEPARATOR;
    path += name;
    return path;
}

}  // namespace pf

#endif  // MAILWARD_PF_TEXT_H
