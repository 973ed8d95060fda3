/*
 * mimeinternal.h - helpers shared by the files of the mime layer only.
 *
 *   MimeDebug()        handle of the debug channel "MAILWARD_Debug"
 *   MimeDebugOn()      whether that channel is on (to skip costly arguments)
 *   MimeLower(s)       copy with ASCII letters in lower case (8-bit bytes and
 *                      the locale are left alone)
 *   MimeIsWhite(c)     blank, tab, CR, LF, vertical tab or form feed
 *   MimeTrim(s, set)   `s` without the characters of `set` at both ends
 *   MimeCopy(p, n)     malloc'ed zero-terminated copy of n bytes, or null
 *   MimeFindNoCase(s, pattern)
 *                      CMimePart::FindNoCase on a view: first position of
 *                      the pattern ignoring A-Z case, or -1
 *   MimeParseContext   what one parse knows about its whole text
 */
#ifndef MAILWARD_MIMEINTERNAL_H
#define MAILWARD_MIMEINTERNAL_H

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "mime/mimepart.h"
#include "qorcsock.h"

// What every level of one parse shares: where the whole text ends (searches
// "to the end of the text" stop there; zero bytes before it are data) and how
// many bytes of contents may still be copied out of it.
struct MimeParseContext {
    char* pTextEnd;       // end of the text (a zero byte stands there)
    std::size_t nBudget;  // bytes of contents that may still be copied
    std::size_t nPartsLeft = CMimePart::MAX_TOTAL_PARTS;  // parts still allowed
    // The last search for a uuencoded part's first "begin 6": from where, and
    // what it found (null: none up to the text's end).
    char* pUUSearched = nullptr;
    char* pUUBegin = nullptr;
};

inline int MimeDebug() {
    static const int s_handle = debug_gethandle("MAILWARD_Debug");
    return s_handle;
}

inline bool MimeDebugOn() {
    return debug_enabled(MimeDebug()) != 0;
}

inline char MimeLowerChar(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

inline std::string MimeLower(std::string s) {
    for (char& c : s) {
        c = MimeLowerChar(c);
    }
    return s;
}

inline bool MimeIsWhite(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

inline std::string MimeTrim(const std::string& s, const char* pszSet) {
    std::string::size_type b = s.find_first_not_of(pszSet);
    if (b == std::string::npos) {
        return std::string();
    }
    std::string::size_type e = s.find_last_not_of(pszSet);
    return s.substr(b, e - b + 1);
}

inline char* MimeCopy(const char* p, std::size_t n) {
    char* pCopy = static_cast<char*>(std::malloc(n + 1));
    if (pCopy) {
        std::memcpy(pCopy, p, n);
        pCopy[n] = '\0';
    }
    return pCopy;
}

inline int MimeFindNoCase(std::string_view strText, const char* pszPattern) {
    std::size_t nPat = std::strlen(pszPattern);
    if (nPat > strText.size()) {
        return -1;
    }
    for (std::size_t i = 0; i + nPat <= strText.size(); ++i) {
        std::size_t k = 0;
        while (k < nPat && MimeLowerChar(strText[i + k]) == MimeLowerChar(pszPattern[k])) {
            ++k;
        }
        if (k == nPat) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

#endif
