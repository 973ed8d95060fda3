/*
 * text.h - the few string helpers the host programs share (namespace kit).
 * Header-only, no locale: bytes from 0x80 up are never changed.
 *
 * The hosts are built as any host of the library would be, against the
 * public header and the host's own libraries only; the library's internal
 * helpers are not part of that interface, so the hosts keep these few.
 *
 *   is_wsp(c)               a blank or a tab (RFC 5234 WSP)
 *   ascii_lower(c / s)      A-Z to a-z, every other byte as it is
 *   equals_nocase(a, b)     equal when A-Z case is ignored
 *   trim(s)                 `s` without blanks, tabs, CR and LF at both ends
 *   join(items, sep)        the items with `sep` between them
 *   edit_distance_nocase(a, b)  letters to insert, remove or change to make
 *                           `a` into `b` (Levenshtein), A-Z case ignored
 *   closest_name(word, names)   the name of `names` that `word` is most
 *                           likely a typo of: at most TYPO_SHARE of its letters
 *                           apart (at least one); "" when none is that close
 */
#ifndef MAILWARD_HOSTKIT_TEXT_H
#define MAILWARD_HOSTKIT_TEXT_H

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace kit {

constexpr bool is_wsp(char c) {
    return c == ' ' || c == '\t';
}

constexpr char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c | 0x20) : c;
}

inline std::string ascii_lower(std::string_view s) {
    std::string lower(s.size(), '\0');
    std::transform(s.begin(), s.end(), lower.begin(), [](char c) { return ascii_lower(c); });
    return lower;
}

constexpr bool equals_nocase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return ascii_lower(x) == ascii_lower(y);
           });
}

constexpr std::string_view trim(std::string_view s) {
    constexpr std::string_view blanks = " \t\r\n";
    s.remove_prefix(std::min(s.find_first_not_of(blanks), s.size()));
    s.remove_suffix(s.size() - (s.find_last_not_of(blanks) + 1));
    return s;
}

inline std::string join(const std::vector<std::string>& items, std::string_view sep) {
    std::string out;
    for (const std::string& item : items) {
        if (&item != &items.front())
            out += sep;
        out += item;
    }
    return out;
}

// A word is taken for a typo of a name when at most one letter in this many
// differs (and one letter always may).
inline constexpr std::size_t TYPO_SHARE = 4;

inline std::size_t edit_distance_nocase(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            const std::size_t change = ascii_lower(a[i - 1]) == ascii_lower(b[j - 1]) ? 0 : 1;
            row[j] = std::min(std::min(above + 1, row[j - 1] + 1), diagonal + change);
            diagonal = above;
        }
    }
    return row[b.size()];
}

inline std::string closest_name(std::string_view word, const std::vector<std::string>& names) {
    const std::size_t allowed = std::max<std::size_t>(1, word.size() / TYPO_SHARE);
    std::string best;
    std::size_t bestDistance = allowed + 1;
    for (const std::string& name : names) {
        const std::size_t d = edit_distance_nocase(word, name);
        if (d < bestDistance) {
            bestDistance = d;
            best = name;
        }
    }
    return best;
}

}  // namespace kit

#endif  // MAILWARD_HOSTKIT_TEXT_H
