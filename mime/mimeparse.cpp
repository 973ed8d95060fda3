/*
 * mimeparse.cpp - the tolerant parser that turns the text of one mail into a
 * part tree (CMimePart::Parse and its helpers; contract in mimepart.h).
 *
 * The text is one writable buffer of bytes, LF line ends, with a zero byte
 * behind its end. A part is a range [start, end) of it. A zero byte inside
 * the text is data like any other: every search is bounded by the text's
 * end, never by a zero byte. The parser never rejects a mail for its MIME
 * syntax; Parse is false only when a limit is hit or the text ends where it
 * cannot go on, and a few conditions throw a const char* (caught by
 * CMimeMessage::LoadMsg). Progress goes to the debug channel line by line.
 *
 * Behaviour hosts rely on, kept on purpose:
 *  - a delimiter ("--" boundary) is found wherever it occurs, also mid-line;
 *    the closing delimiter is found like any other and text behind it is
 *    kept only when yet another delimiter follows (the epilogue is dropped);
 *  - a body part ends one character before its delimiter and ParseData drops
 *    one further trailing LF;
 *  - a part whose first line has no colon has no header lines at all;
 *  - a body holding a begin line ("begin 6xx name", anywhere, any case) is
 *    split into uuencoded blocks at each lower-case "begin 6" and the next
 *    "end", wherever they occur; text between blocks is not kept.
 *
 * Searches that run "to the end of the whole text" stop at its end (the
 * parse context knows it); they are done with memchr over known ranges, so
 * the parser runs close to memory speed.
 *
 * Limits (mimepart.h): MAX_SUBPARTS body parts or blocks per part,
 * MAX_NESTING_DEPTH levels below the root, MAX_COPY_FACTOR for the contents
 * copied out of one text; a header line the header library refuses (its
 * limits, mailhdr.h, or memory) throws, so no header is ever stored cut.
 *
 * BUGS, kept as behaviour: a container's text is cut two characters in front
 * of its first "begin 6", whatever those characters are; the first
 * case-sensitive "begin 6" is looked for to the end of the mail, and a
 * container without one is not parsed (Parse is false).
 *
 * Cost: every search of the uuencode parser stays inside its part, except
 * that first one, whose result is kept in the parse context and answers the
 * later parts in front of it; a container whose first "begin 6" lies behind
 * its end keeps its own text. So each byte is searched a bounded number of
 * times and copied at most once: a load is linear in the mail's size, and
 * the MAX_COPY_FACTOR budget is never reached by a mail, only by a fault of
 * the parser.
 */
#include <bit>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define MAILWARD_FIND_SSE2 1
#else
#define MAILWARD_FIND_SSE2 0
#endif

#include "codec/codec.h"
#include "mime/mimeinternal.h"
#include "mime/mimepart.h"

namespace {

const char UU_BEGIN[] = "begin 6";
constexpr std::size_t UU_BEGIN_LEN = sizeof(UU_BEGIN) - 1;

// Candidate starts FindIn tests at once (one 128-bit vector of bytes).
constexpr std::size_t FIND_BLOCK = 16;

// Where a search "to the end of the whole text" starting at `p` stops.
char* TextLimit(const MimeParseContext& ctx, char* p) {
    return p <= ctx.pTextEnd ? ctx.pTextEnd : p;
}

// First occurrence of `needle` lying wholly inside [p, pLimit), or null.
char* FindIn(char* p, char* pLimit, const char* pszNeedle, std::size_t nNeedle) {
    if (nNeedle == 0) {
        return p;
    }
    if (p >= pLimit || static_cast<std::size_t>(pLimit - p) < nNeedle) {
        return nullptr;
    }
    char* pLast = pLimit - nNeedle;  // last possible start
#if MAILWARD_FIND_SSE2
    // Nested multiparts put the delimiters of all inner levels into the text
    // an outer level searches, and they share their leading "--" and often
    // more: a search for the first byte alone stops at every one of them.
    // Sixteen starts at once are tested for the first and the last two bytes
    // of the needle, where boundaries differ most; only starts passing all
    // three are compared in full. Every load stays in front of pLimit.
    if (nNeedle >= 3) {
        const __m128i vFirst = _mm_set1_epi8(pszNeedle[0]);
        const __m128i vPenult = _mm_set1_epi8(pszNeedle[nNeedle - 2]);
        const __m128i vLast = _mm_set1_epi8(pszNeedle[nNeedle - 1]);
        while (pLast - p >= static_cast<std::ptrdiff_t>(FIND_BLOCK) - 1) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + nNeedle - 2));
            const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + nNeedle - 1));
            const __m128i m =
                _mm_and_si128(_mm_cmpeq_epi8(a, vFirst),
                              _mm_and_si128(_mm_cmpeq_epi8(b, vPenult), _mm_cmpeq_epi8(c, vLast)));
            unsigned int bits = static_cast<unsigned int>(_mm_movemask_epi8(m));
            while (bits != 0) {
                char* q = p + std::countr_zero(bits);
                if (std::memcmp(q + 1, pszNeedle + 1, nNeedle - 3) == 0) {
                    return q;
                }
                bits &= bits - 1;
            }
            p += FIND_BLOCK;
        }
    }
#endif
    while (p <= pLast) {
        char* q = static_cast<char*>(std::memchr(p, pszNeedle[0], pLast - p + 1));
        if (!q) {
            return nullptr;
        }
        // Delimiters of nested multiparts often share their first bytes:
        // the last byte sorts most candidates out before the comparison.
        if (q[nNeedle - 1] == pszNeedle[nNeedle - 1] &&
            std::memcmp(q + 1, pszNeedle + 1, nNeedle - 1) == 0) {
            return q;
        }
        p = q + 1;
    }
    return nullptr;
}

// First occurrence of `needle` (a literal) from `p` to the end of the text.
template <std::size_t N>
char* FindToEnd(const MimeParseContext& ctx, char* p, const char (&needle)[N]) {
    return FindIn(p, TextLimit(ctx, p), needle, N - 1);
}

// The next LF at or behind `p`, to the end of the whole text.
char* FindLF(const MimeParseContext& ctx, char* p) {
    char* pLimit = TextLimit(ctx, p);
    return p < pLimit ? static_cast<char*>(std::memchr(p, '\n', pLimit - p)) : nullptr;
}

// First occurrence of `needle` lying wholly before `pLast` (and before the
// end of the text); throws on bad arguments.
char* StrNStr(const MimeParseContext& ctx, char* pFirst, const std::string& strNeedle,
              char* pLast) {
    if (!pFirst || !pLast) {
        throw "wrong parameter";
    }
    if (pLast < pFirst) {
        throw "strnstr() - first > last";
    }
    char* pLimit = TextLimit(ctx, pFirst);
    if (pLast < pLimit) {
        pLimit = pLast;
    }
    return FindIn(pFirst, pLimit, strNeedle.data(), strNeedle.size());
}

// One line of the text: [b, e); e is the LF or the text's zero byte.
struct Line {
    char* b = nullptr;
    char* e = nullptr;
    bool Empty() const { return b == e; }
};

// Reads the line at `pos` and moves `pos` behind its LF; without a LF the
// line is the rest of the text and `pos` becomes null. A null `pos` gives an
// empty line. `e` is the LF or the text's end.
Line GetLine(const MimeParseContext& ctx, char*& pos) {
    Line line;
    if (!pos) {
        return line;
    }
    line.b = pos;
    char* pLF = FindLF(ctx, pos);
    if (pLF) {
        line.e = pLF;
        pos = pLF + 1;
    } else {
        line.e = TextLimit(ctx, pos);
        pos = nullptr;
    }
    return line;
}

// Takes `n` bytes from the copy budget; false (and an error line) when the
// budget is spent.
bool Charge(MimeParseContext& ctx, std::size_t n) {
    if (n > ctx.nBudget) {
        errmsg("CMimePart::Parse() - contents exceed %d times the size of the mail",
               static_cast<int>(CMimePart::MAX_COPY_FACTOR));
        return false;
    }
    ctx.nBudget -= n;
    return true;
}

// The end of a part's contents: one trailing LF is not part of them.
char* GetEndOfData(char* pStart, char* pEnd) {
    if (pStart > pEnd) {
        errmsg("GetEndOfData() - end before start pointer");
        throw "GetEndOfData() - end before start pointer";
    }
    if (pStart < pEnd && pEnd[-1] == '\n') {
        --pEnd;
    }
    return pEnd;
}

// The limit for a search of a needle of `nNeedle` bytes in a uuencoded part
// [pStart, pEnd): a match starting in front of pEnd lies wholly before it.
char* UUSearchLimit(const MimeParseContext& ctx, char* pStart, char* pEnd, std::size_t nNeedle) {
    char* pLimit = TextLimit(ctx, pStart);
    const bool bEndInside = pEnd >= pStart && pEnd < pLimit;
    if (bEndInside && static_cast<std::size_t>(pLimit - pEnd) > nNeedle - 1) {
        pLimit = pEnd + (nNeedle - 1);
    }
    return pLimit;
}

// The "end" of a uuencoded block whose lines start at `p`, when it starts
// in front of pEnd (one behind it ends the blocks): null otherwise.
char* FindUUEnd(const MimeParseContext& ctx, char* p, char* pEnd) {
    char* pLimit = UUSearchLimit(ctx, p, pEnd, 3);
    return p < pLimit ? FindIn(p, pLimit, "end", 3) : nullptr;
}

// The first "begin 6" at or behind `p`, to the end of the whole text. Parts
// are parsed in mail order, so the searches move forward: the last one's
// result answers every later search that starts between it and its match,
// and each byte is searched once per mail however many parts ask.
char* FindFirstUUBegin(MimeParseContext& ctx, char* p) {
    if (p <= ctx.pTextEnd && ctx.pUUSearched != nullptr && p >= ctx.pUUSearched &&
        (ctx.pUUBegin == nullptr || ctx.pUUBegin >= p)) {
        return ctx.pUUBegin;
    }
    char* pFound = FindToEnd(ctx, p, UU_BEGIN);
    if (p <= ctx.pTextEnd) {
        ctx.pUUSearched = p;
        ctx.pUUBegin = pFound;
    }
    return pFound;
}

// A context for a parse of [pStart, pEnd) on its own: the text ends at pEnd.
MimeParseContext MakeContext(char* pStart, char* pEnd) {
    MimeParseContext ctx;
    ctx.pTextEnd = pEnd > pStart ? pEnd : pStart;
    ctx.nBudget =
        CMimePart::MAX_COPY_FACTOR * (static_cast<std::size_t>(ctx.pTextEnd - pStart) + 1);
    return ctx;
}

}  // namespace

bool CMimePart::SplitAssignment(const std::string& strText, std::string& strName,
                                std::string& strValue) {
    std::string::size_type e = strText.find('=');
    if (e == std::string::npos || e < 1) {
        return false;
    }
    std::string::size_type s = strText.find(';');
    std::string::size_type q = strText.find('"');
    std::string strRaw;
    if (q == std::string::npos) {
        strRaw = strText.substr(e + 1, s == std::string::npos ? std::string::npos : s - e - 1);
    } else if (s != std::string::npos && q > s) {
        // A quote behind the first ";" belongs to a later parameter.
        strRaw = s > e ? strText.substr(e + 1, s - e - 1) : std::string();
    } else {
        std::string::size_type c = strText.find('"', q + 1);
        if (c == std::string::npos) {
            return false;
        }
        strRaw = strText.substr(q + 1, c - q - 1);
    }
    strName = std::string(pf::trim(strText.substr(0, e), " \""));
    strValue = std::string(pf::trim(strRaw, " \""));
    return true;
}

char* CMimePart::FindUUBegin(char* pStart, char* pEnd) const {
    if (m_nParts > 0 || pEnd - pStart <= 10) {
        return nullptr;
    }
    // A begin line is "begin 6", two more mode characters, a blank and a
    // name. Candidates are the pairs of a blank and a "6" at p + 5 and p + 6,
    // found by memchr for the blank and for the "6" in turn: base64 has no
    // blanks and text few "6", so either search crosses long runs at once.
    // Each search starts where no earlier pair can be left behind, so the
    // first match is found.
    char* x = pStart + 5;
    char* pStop = pEnd - 5;  // the blank's position x = p + 5, p < end - 10
    while (x < pStop) {
        char* pBlank = static_cast<char*>(std::memchr(x, ' ', pStop - x));
        if (!pBlank) {
            return nullptr;
        }
        char* pSix = pBlank + 1;
        if (*pSix != '6') {
            pSix = static_cast<char*>(std::memchr(pSix, '6', pStop + 1 - pSix));
            if (!pSix) {
                return nullptr;
            }
            if (pSix[-1] != ' ') {
                x = pSix + 1;
                continue;
            }
        }
        char* p = pSix - 6;
        if (p >= pStart && p[7] != ' ' && p[8] != ' ' && p[9] == ' ' && p[10] != ' ' &&
            pf::ascii_lower(p[0]) == 'b' && pf::ascii_lower(p[1]) == 'e' &&
            pf::ascii_lower(p[2]) == 'g' && pf::ascii_lower(p[3]) == 'i' &&
            pf::ascii_lower(p[4]) == 'n') {
            return p;
        }
        x = pSix;
    }
    return nullptr;
}

bool CMimePart::Parse(char* pStart, char* pEnd) {
    if (!pStart || !pEnd) {
        return false;
    }
    MimeParseContext ctx = MakeContext(pStart, pEnd);
    int nDepth = 0;
    for (const CMimePart* p = m_pParent; p; p = p->m_pParent) {
        ++nDepth;
    }
    return ParseIn(ctx, pStart, pEnd, nDepth);
}

char* CMimePart::ParseHeaders(char* pStart, char* pEnd) {
    if (!pStart || !pEnd) {
        return nullptr;
    }
    MimeParseContext ctx = MakeContext(pStart, pEnd);
    return ParseHeadersIn(ctx, pStart, pEnd, nullptr);
}

void CMimePart::ParseData(char* pStart, char* pEnd) {
    if (!pStart || !pEnd) {
        throw "wrong parameter";
    }
    MimeParseContext ctx = MakeContext(pStart, pEnd);
    ParseDataIn(ctx, pStart, pEnd);
}

bool CMimePart::ParseUUEncoded(char* pStart, char* pEnd) {
    if (!pStart || !pEnd) {
        return false;
    }
    MimeParseContext ctx = MakeContext(pStart, pEnd);
    return ParseUUEncodedIn(ctx, pStart, pEnd);
}

char* CMimePart::ParseHeadersIn(MimeParseContext& ctx, char* pStart, char* pEnd,
                                bool* pbMultipart) {
    debugmsg(MimeDebug(), "CMimePart::ParseHeaders() - begin");
    char* pos = pStart;
    Line line = GetLine(ctx, pos);
    if (!std::memchr(line.b, ':', line.e - line.b)) {
        debugmsg(MimeDebug(), "CMimePart::ParseHeaders() - part has no headers!");
        m_bNoHeaders = true;
        if (pbMultipart) {
            *pbMultipart = IsMultipart();
        }
        return pStart;
    }
    // Constant cost per line however many lines a field or a name has; the
    // lines as read are kept for the writer.
    m_rawHeader.clear();
    mailhdr_block_parser headerLines(m_pHeader, &m_rawHeader);
    while (!line.Empty()) {
        if (pos && pos > pEnd) {
            break;
        }
        // The line is handed on in place (a zero byte in it is read as a
        // blank by the record, kept as it is for the writer).
        const int nParsed = headerLines.parse_span(line.b, line.e);
        if (nParsed == MAILHDR_PARSE_REFUSED) {
            // A header limit or memory: a record missing lines would be
            // written back without them, so the whole load fails.
            errmsg("CMimePart::ParseHeaders() - header not stored: %s", mailhdr_parse_errorstr());
            throw "header not stored";
        }
        if (nParsed < 0) {
            debugmsg(MimeDebug(), "CMimePart::ParseHeaders() - invalid headers in line %s",
                     pf::blank_controls(std::string_view(line.b, line.e - line.b)).c_str());
        }
        line = GetLine(ctx, pos);
    }
    headerLines.finish();

    // The content type is read once per part, in place where GetHeader
    // would only copy and trim it (one line, no encoded word); the boundary
    // alone is copied out.
    std::string strOwned;
    std::string_view strType;
    const stringlist* pLines = mailhdr_getfldvalue(m_pHeader, MAILHDR_FLD_CONTENT_TYPE);
    if (pLines && !pLines->next && pLines->str) {
        strType = pLines->str;
    }
    if (!strType.empty() && strType.size() <= CODEC_MAX_INPUT &&
        strType.find("=?") == std::string_view::npos) {
        // What GetHeader does to such a value.
        const std::size_t n = strType.size();
        if (n >= 2 && strType[n - 2] == '\r') {
            strType.remove_suffix(2);
        }
        const std::string_view::size_type first = strType.find_first_not_of(" \t\n\v\f\r");
        strType.remove_prefix(first == std::string_view::npos ? 0 : first);
    } else {
        strOwned = GetHeader(MAILHDR_FLD_CONTENT_TYPE);
        strType = strOwned;
    }
    std::string_view::size_type nLast = strType.find_last_not_of(" \t\r\n\v\f");
    strType = strType.substr(0, nLast == std::string_view::npos ? 0 : nLast + 1);
    if (pbMultipart) {
        // IsMultipart() of the value just read, without reading it again.
        *pbMultipart = MimeFindNoCase(strType.substr(0, 9), "multipart") == 0;
    }
    if (MimeFindNoCase(strType, "multipart") >= 0) {
        debugmsg(MimeDebug(),
                 "CMimePart::ParseHeaders() - current part is a multipart. reading boundaries "
                 "...");
        int nPos = MimeFindNoCase(strType, "boundary");
        if (nPos < 0) {
            debugmsg(MimeDebug(), "CMimePart::ParseHeaders() - no boundaries found");
            m_strBoundary.clear();
        } else {
            std::string strName;
            if (SplitAssignment(std::string(strType.substr(nPos)), strName, m_strBoundary)) {
                debugmsg(MimeDebug(),
                         "CMimePart::ParseHeaders() - boundary for current multipart is %s",
                         m_strBoundary.c_str());
            } else {
                debugmsg(MimeDebug(),
                         "CMimePart::ParseHeaders() - SplitAssignment failed. Error reading "
                         "boundary");
                m_strBoundary.clear();
            }
        }
    }
    debugmsg(MimeDebug(), "CMimePart::ParseHeaders() - end");
    return pos;
}

void CMimePart::ParseDataIn(MimeParseContext& ctx, char* pStart, char* pEnd) {
    pEnd = GetEndOfData(pStart, pEnd);
    if (pStart > pEnd) {
        errmsg("CMimePart::ParseData() - end before start pointer");
        throw "CMimePart::ParseData() - end before start pointer";
    }
    AdoptData(nullptr, 0);
    if (pStart == pEnd) {
        debugmsg(MimeDebug(), "CMimePart::ParseData() - current part has no data.");
        return;
    }
    std::size_t n = static_cast<std::size_t>(pEnd - pStart);
    if (!Charge(ctx, n)) {
        throw "CMimePart::Parse() - contents exceed the copy limit";
    }
    // Every byte of the range is contents, zero bytes too.
    char* pData = pf::copy_terminated(pStart, n);
    if (!pData) {
        errmsg("CMimePart::ParseData() - malloc failed");
        throw "CMimePart::ParseData() - malloc failed";
    }
    AdoptData(pData, n);
}

bool CMimePart::ParseUUEncodedIn(MimeParseContext& ctx, char* pStart, char* pEnd) {
    debugmsg(MimeDebug(), "CMimePart::ParseUUEncoded() - start");
    m_bUUEncoded = true;
    // Every search below stays inside the part: a begin or "end" that starts
    // at or behind pEnd ends the blocks anyway, and searching the rest of
    // the mail for it once per part would make a mail of many parts cost
    // the square of its size.
    char* pSearchEnd = UUSearchLimit(ctx, pStart, pEnd, UU_BEGIN_LEN);
    char* pBegin = FindFirstUUBegin(ctx, pStart);
    if (!pBegin) {
        return false;
    }
    if (pBegin > pStart + 1) {
        std::size_t n = static_cast<std::size_t>(pBegin - pStart - 2);
        // Without a begin of its own the container keeps its own text, never
        // the parts behind it.
        std::size_t nOwn = static_cast<std::size_t>(GetEndOfData(pStart, pEnd) - pStart);
        if (n > nOwn) {
            n = nOwn;
        }
        if (!Charge(ctx, n)) {
            return false;
        }
        std::free(m_pData);
        m_pData = pf::copy_terminated(pStart, n);
        if (!m_pData) {
            return false;
        }
        m_nDataLength = n;
    }
    // The block's lines start behind the begin line, and so does the search
    // for its "end": a begin line whose name holds "end" keeps that name and
    // its block keeps its lines.
    char* pMode = pBegin + UU_BEGIN_LEN;
    char* pLF = FindLF(ctx, pMode);
    char* pEndWord = pLF ? FindUUEnd(ctx, pLF + 1, pEnd) : nullptr;
    while (pEndWord && pEndWord < pEnd) {
        std::unique_ptr<CMimePart> pBlock;
        try {
            pBlock.reset(new CMimePart(this));
        } catch (...) {
            errmsg("CMimePart::ParseUUEncoded() - new CMimePart() failed");
            return false;
        }
        // Dropping blocks past the limit would make them vanish from the
        // written mail: the parse fails instead.
        if (m_nParts >= MAX_SUBPARTS) {
            errmsg("CMimePart::ParseUUEncoded() - No more blocks possible, Maximal %d Subparts",
                   static_cast<int>(MAX_SUBPARTS));
            return false;
        }
        if (ctx.nPartsLeft == 0) {
            errmsg("CMimePart::ParseUUEncoded() - more than %d parts in one mail",
                   static_cast<int>(MAX_TOTAL_PARTS));
            return false;
        }
        --ctx.nPartsLeft;
        pBlock->m_bUUEncoded = true;
        // The name: behind the blank that follows the mode, to the line end.
        char* pName = nullptr;
        if (*pMode == ' ') {
            pName = pMode + 1;
        } else {
            char* p = pMode;
            while (p < pLF && *p != ' ') {
                ++p;
            }
            if (p < pLF) {
                pName = p + 1;
            }
        }
        if (pName && pName < pLF) {
            pBlock->m_strUUName.assign(pName, pLF - pName);
        }
        std::size_t n = static_cast<std::size_t>(pEndWord - (pLF + 1));
        if (!Charge(ctx, n)) {
            return false;
        }
        pBlock->m_pData = pf::copy_terminated(pLF + 1, n);
        pBlock->m_nDataLength = n;
        if (!pBlock->m_pData || !AppendPart(pBlock.get())) {
            return false;
        }
        pBlock.release();
        pBegin =
            pEndWord < pSearchEnd ? FindIn(pEndWord, pSearchEnd, UU_BEGIN, UU_BEGIN_LEN) : nullptr;
        if (!pBegin) {
            break;
        }
        pMode = pBegin + UU_BEGIN_LEN;
        pLF = FindLF(ctx, pMode);
        pEndWord = pLF ? FindUUEnd(ctx, pLF + 1, pEnd) : nullptr;
    }
    debugmsg(MimeDebug(), "CMimePart::ParseUUEncoded() - end");
    return true;
}

bool CMimePart::ParseIn(MimeParseContext& ctx, char* pStart, char* pEnd, int nDepth) {
    debugmsg(MimeDebug(), "CMimePart::Parse() - begin parsing part of size %i bytes",
             static_cast<int>(pEnd - pStart));
    AdoptData(nullptr, 0);

    bool bMultipart = false;
    char* pos = ParseHeadersIn(ctx, pStart, pEnd, &bMultipart);
    if (!pos) {
        debugmsg(MimeDebug(), "CMimePart::Parse() - ParseHeaders() returned null ");
        return false;
    }
    if (!m_bUUEncoded && !bMultipart && FindUUBegin(pos, pEnd)) {
        debugmsg(MimeDebug(), "CMimePart::Parse() - part is uuencoded");
        return ParseUUEncodedIn(ctx, pos, pEnd);
    }
    if (m_strBoundary.empty() || !bMultipart) {
        debugmsg(MimeDebug(),
                 "CMimePart::Parse() - current part is a singlepart. reading data ...");
        if (pos > pEnd) {
            debugmsg(MimeDebug(), "CMimePart::Parse() - current part has no data.");
        } else {
            ParseDataIn(ctx, pos, pEnd);
        }
        debugmsg(MimeDebug(), "CMimePart::Parse() - end");
        return true;
    }
    return ParseBodyPartsIn(ctx, pos, pEnd, nDepth);
}

bool CMimePart::ParseBodyPartsIn(MimeParseContext& ctx, char* pos, char* pEnd, int nDepth) {
    if (MimeDebugOn()) {
        debugmsg(MimeDebug(),
                 "CMimePart::Parse() - current part is a %s. finding start and end of sub-parts "
                 "given by boundary %s ...",
                 GetContentType().c_str(), m_strBoundary.c_str());
    }
    const std::string strDelimiter = "--" + m_strBoundary;
    const std::size_t nDelimiter = strDelimiter.size();

    char* pFirst = StrNStr(ctx, pos, strDelimiter, pEnd);
    if (!pFirst) {
        debugmsg(MimeDebug(), "CMimePart::Parse() - multipart without sub-parts found.");
        ParseDataIn(ctx, pos, pEnd);
        debugmsg(MimeDebug(), "CMimePart::Parse() - end");
        return true;
    }
    if (pFirst > pos) {
        // The LF in front of the delimiter is not part of the preamble.
        ParseDataIn(ctx, pos, pFirst - 1);
    } else {
        debugmsg(MimeDebug(), "CMimePart::Parse() - current part has no data.");
    }

    char* pLF = FindLF(ctx, pFirst + nDelimiter);
    if (!pLF || pLF >= pEnd) {
        errmsg("CMimePart::Parse() - no sub-part found after boundary.");
        return false;
    }
    char* pBodyStart = pLF + 1;
    char* pNext = StrNStr(ctx, pBodyStart, strDelimiter, pEnd);
    char* pBodyEnd = pNext ? pNext - 1 : nullptr;

    debugmsg(MimeDebug(), "CMimePart::Parse() - parsing sub-parts of multipart ...");
    int i = 0;
    while (pBodyEnd && pBodyEnd < pEnd) {
        debugmsg(MimeDebug(), "CMimePart::Parse() - parsing sub-part %i ...", i);
        if (!ParseBodyPartIn(ctx, pBodyStart, pBodyEnd, nDepth)) {
            debugmsg(MimeDebug(), "CMimePart::Parse() - parsing sub-part %i failed", i);
            return false;
        }
        debugmsg(MimeDebug(),
                 "CMimePart::Parse() - sub-part %i successfully parsed. searching for next "
                 "sub-part ...",
                 i);
        // From the delimiter's last character on to the end of its line.
        pLF = FindLF(ctx, pBodyEnd + nDelimiter);
        if (!pLF || pLF >= pEnd) {
            debugmsg(MimeDebug(), "CMimePart::Parse() - no more sub-parts found.");
            break;
        }
        pBodyStart = pLF + 1;
        pNext = StrNStr(ctx, pBodyStart, strDelimiter, pEnd);
        pBodyEnd = pNext ? pNext - 1 : nullptr;
        ++i;
    }
    debugmsg(MimeDebug(), "CMimePart::Parse() - end");
    return true;
}

bool CMimePart::ParseBodyPartIn(MimeParseContext& ctx, char* pStart, char* pEnd, int nDepth) {
    // Each level of nesting is one more level of recursion: a mail nested
    // without end must not exhaust the stack.
    if (nDepth >= MAX_NESTING_DEPTH) {
        errmsg("CMimePart::Parse() - nesting deeper than %d levels", MAX_NESTING_DEPTH);
        return false;
    }
    std::unique_ptr<CMimePart> pSub;
    try {
        pSub.reset(new CMimePart(this));
    } catch (...) {
        errmsg("CMimePart::Parse() - new CMimePart() failed");
        return false;
    }
    if (m_nParts >= MAX_SUBPARTS) {
        errmsg("CMimePart::Parse() - No nore Parse possible, Maximal %d Subparts",
               static_cast<int>(MAX_SUBPARTS));
        return false;
    }
    if (ctx.nPartsLeft == 0) {
        errmsg("CMimePart::Parse() - more than %d parts in one mail",
               static_cast<int>(MAX_TOTAL_PARTS));
        return false;
    }
    --ctx.nPartsLeft;
    if (!pSub->ParseIn(ctx, pStart, pEnd, nDepth + 1))
        return false;
    if (!AppendPart(pSub.get())) {
        errmsg("CMimePart::Parse() - new CMimePart() failed");
        return false;
    }
    pSub.release();
    return true;
}
