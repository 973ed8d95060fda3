/*
 * mimeinternal.h - helpers shared by the files of the mime layer only (the
 * string helpers of every layer are in pf_text.h, which it includes).
 *
 *   MimeDebug()        handle of the debug channel "MAILWARD_Debug"
 *   MimeDebugOn()      whether that channel is on (to skip costly arguments)
 *   MimeFindNoCase(s, pattern)
 *                      CMimePart::FindNoCase on a view: first position of
 *                      the pattern ignoring A-Z case, or -1
 *   MimeParseContext   what one parse knows about its whole text
 *   MimeFindBlockLine(p, end, lineStart, line)
 *                      the next line that opens an encoded block
 *   MimeCompactLineEnds(text, stop, dropped)
 *                      CR LF to LF in place, as a mail file is loaded
 */
#ifndef MAILWARD_MIMEINTERNAL_H
#define MAILWARD_MIMEINTERNAL_H

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "mime/mimepart.h"
#include "pf/text.h"
#include "qorcsock/qorcsock.h"

// What every level of one parse shares: where the whole text ends (searches
// "to the end of the text" stop there; zero bytes before it are data) and how
// many bytes of contents may still be copied out of it.
struct MimeParseContext {
    char* pTextStart = nullptr;  // start of the text: places count from here
    char* pTextEnd;              // end of the text (a zero byte stands there)
    std::size_t nBudget;         // bytes of contents that may still be copied
    std::size_t nPartsLeft = CMimePart::MAX_TOTAL_PARTS;  // parts still allowed
};

// The line that opens an encoded block in a text (uuencode begin line,
// yEnc begin line, BinHex marker), as MimeFindBlockLine finds it.
struct MimeBlockLine {
    const char* p = nullptr;         // the line's first byte
    const char* pLineEnd = nullptr;  // its LF, or the end of the range
    const char* pName = nullptr;     // uuencode and yEnc: where the name starts
    const char* pNameEnd = nullptr;  // and where it ends (before a CR LF)
    MimeBlockCoding coding = MimeBlockCoding::Uuencode;
};
// The first line in [p, pEnd) that opens an encoded block, by the parser's
// rules (mimeparse.cpp); `p` itself counts as a line start when bLineStart.
bool MimeFindBlockLine(const char* p, const char* pEnd, bool bLineStart, MimeBlockLine& line);

// Drops every CR directly followed by LF from [pText, pStop), in place;
// returns the new end of the text and counts the dropped characters (the
// line ends the parser and the strict reading of a mail file work on).
char* MimeCompactLineEnds(char* pText, char* pStop, std::size_t& nDropped);

inline int MimeDebug() {
    static const int s_handle = debug_gethandle("MAILWARD_Debug");
    return s_handle;
}

inline bool MimeDebugOn() {
    return debug_enabled(MimeDebug()) != 0;
}

inline int MimeFindNoCase(std::string_view strText, const char* pszPattern) {
    std::size_t nPat = std::strlen(pszPattern);
    if (nPat > strText.size()) {
        return -1;
    }
    for (std::size_t i = 0; i + nPat <= strText.size(); ++i) {
        std::size_t k = 0;
        while (k < nPat && pf::ascii_lower(strText[i + k]) == pf::ascii_lower(pszPattern[k])) {
            ++k;
        }
        if (k == nPat) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

#endif
