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
 *  - a part whose first line has no colon has no header lines at all; a
 *    header block that runs to the end of the text (no empty line behind
 *    it) is a part without a body;
 *  - the boundary is the value of the first parameter named "boundary"
 *    (by its whole name, A-Z case ignored: "x-boundary" is another one);
 *  - a body that is not a multipart and holds a line that opens an encoded
 *    block is split into blocks (a uuencoded container): a uuencode begin
 *    line as uudecode and mail readers take it ("begin" at a line's start,
 *    one blank, three or four octal digits, one blank, a name: "Begin 6pm"
 *    or "begin 6 things" are text), a yEnc line "=ybegin ... name=<name>",
 *    or the line "(This file must be converted with BinHex" followed by a
 *    line that starts with ":". A uuencoded block ends at the next "end"
 *    (wherever it occurs), a yEnc block at the line that starts "=yend", a
 *    BinHex block at the ":" behind its first; a block whose end is not in
 *    its part runs to the part's end, as readers decode it. Text between
 *    blocks is not kept.
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
 * of its first block, whatever those characters are.
 *
 * Cost: every search for blocks stays inside its part and looks at line
 * starts only (one pass that tests sixteen of them at once for the bytes
 * that can open a block). So each byte is searched a bounded number of
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

// The lines that open the encoded blocks of a text, and what closes them.
constexpr char UU_BEGIN[] = "begin ";
constexpr char YENC_BEGIN[] = "=ybegin ";
constexpr char YENC_NAME[] = " name=";
constexpr char YENC_END[] = "\n=yend";  // a line that starts "=yend"
constexpr char BINHEX_MARKER[] = "(This file must be converted with BinHex";
// The shortest uuencode begin line: "begin", a blank, three digits, a blank
// and a one-letter name.
constexpr std::ptrdiff_t UU_BEGIN_LINE_MIN = 11;
// Octal digits a uuencode mode has, at least and at most.
constexpr int UU_MODE_MIN_DIGITS = 3;
constexpr int UU_MODE_MAX_DIGITS = 4;

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

// The bytes that can open an encoded block at a line's start.
constexpr bool IsBlockOpener(char c) {
    return c == 'b' || c == '=' || c == '(';
}

template <std::size_t N>
bool LineStartsWith(const char* p, const char* e, const char (&lit)[N]) {
    return static_cast<std::size_t>(e - p) >= N - 1 && std::memcmp(p, lit, N - 1) == 0;
}

// A uuencode begin line [p, e): "begin", one blank, three or four octal
// digits, one blank, a name that is not all blanks. `pName` gets the name.
bool IsUUBeginLine(const char* p, const char* e, const char** pName) {
    if (e - p < UU_BEGIN_LINE_MIN || !LineStartsWith(p, e, UU_BEGIN)) {
        return false;
    }
    const char* q = p + sizeof(UU_BEGIN) - 1;
    int nDigits = 0;
    while (q < e && *q >= '0' && *q <= '7' && nDigits <= UU_MODE_MAX_DIGITS) {
        ++q;
        ++nDigits;
    }
    if (nDigits < UU_MODE_MIN_DIGITS || nDigits > UU_MODE_MAX_DIGITS || q >= e || *q != ' ') {
        return false;
    }
    *pName = q + 1;
    for (++q; q < e; ++q) {
        if (!pf::is_blank_or_line_end(*q)) {
            return true;
        }
    }
    return false;
}

// A yEnc begin line [p, e): "=ybegin " with a name parameter (the last one:
// the name runs to the line's end). `pName` gets the name.
bool IsYEncBeginLine(const char* p, const char* e, const char** pName) {
    if (!LineStartsWith(p, e, YENC_BEGIN)) {
        return false;
    }
    const char* q = p + sizeof(YENC_BEGIN) - 2;  // the blank in front of the parameters
    const std::string_view rest(q, static_cast<std::size_t>(e - q));
    const std::size_t at = rest.find(YENC_NAME);
    if (at == std::string_view::npos || at + sizeof(YENC_NAME) - 1 >= rest.size()) {
        return false;
    }
    *pName = q + at + sizeof(YENC_NAME) - 1;
    return true;
}

// The BinHex marker line [p, e), followed (empty lines between) by a line
// that starts with ":" before pEnd.
bool IsBinHexStart(const char* p, const char* e, const char* pEnd) {
    if (!LineStartsWith(p, e, BINHEX_MARKER)) {
        return false;
    }
    const char* q = e;
    while (q < pEnd && (*q == '\n' || *q == '\r')) {
        ++q;
    }
    return q < pEnd && *q == ':';
}

// The next line start in [p, pLimit) whose first byte can open a block;
// `p` itself counts when bLineStart. One pass over the text tests sixteen
// positions at once for an LF followed by such a byte.
char* NextBlockCandidate(char* p, char* pLimit, bool bLineStart) {
    if (p >= pLimit) {
        return nullptr;
    }
    if (bLineStart && IsBlockOpener(*p)) {
        return p;
    }
    char* q = p;
#if MAILWARD_FIND_SSE2
    const __m128i vLF = _mm_set1_epi8('\n');
    const __m128i vB = _mm_set1_epi8('b');
    const __m128i vEq = _mm_set1_epi8('=');
    const __m128i vParen = _mm_set1_epi8('(');
    // Both loads (at q and at q + 1) stay in front of pLimit.
    while (pLimit - q > static_cast<std::ptrdiff_t>(FIND_BLOCK)) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 1));
        const __m128i opener = _mm_or_si128(
            _mm_cmpeq_epi8(b, vB), _mm_or_si128(_mm_cmpeq_epi8(b, vEq), _mm_cmpeq_epi8(b, vParen)));
        const unsigned int bits = static_cast<unsigned int>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, vLF), opener)));
        if (bits != 0) {
            return q + std::countr_zero(bits) + 1;
        }
        q += FIND_BLOCK;
    }
#endif
    while (pLimit - q > 1) {
        char* pLF =
            static_cast<char*>(std::memchr(q, '\n', static_cast<std::size_t>(pLimit - 1 - q)));
        if (!pLF) {
            return nullptr;
        }
        if (IsBlockOpener(pLF[1])) {
            return pLF + 1;
        }
        q = pLF + 1;
    }
    return nullptr;
}

// The opening line of an encoded block, as the search finds it.
struct BlockStart {
    char* p = nullptr;               // the line's first byte; null: no block
    char* pLineEnd = nullptr;        // its LF, or pEnd
    const char* pName = nullptr;     // uuencode and yEnc: where the name starts
    const char* pNameEnd = nullptr;  // and where it ends (a CR in front of the LF is no part of it)
    MimeBlockCoding coding = MimeBlockCoding::Uuencode;
};

// The first line in [p, pEnd) that opens an encoded block (lines end at
// pEnd at the latest).
BlockStart FindBlockIn(char* p, char* pEnd, bool bLineStart) {
    BlockStart found;
    for (char* c = NextBlockCandidate(p, pEnd, bLineStart); c;
         c = NextBlockCandidate(c, pEnd, false)) {
        // The opening words first: most candidates are lines of text that
        // start with one of the letters, and need not be read to their end.
        const char* pWord = *c == 'b' ? UU_BEGIN : *c == '=' ? YENC_BEGIN : BINHEX_MARKER;
        const std::size_t nWord = std::strlen(pWord);
        if (static_cast<std::size_t>(pEnd - c) < nWord || std::memcmp(c, pWord, nWord) != 0) {
            continue;
        }
        char* e = static_cast<char*>(std::memchr(c, '\n', static_cast<std::size_t>(pEnd - c)));
        e = e ? e : pEnd;
        const char* pName = nullptr;
        if (IsUUBeginLine(c, e, &pName)) {
            found.coding = MimeBlockCoding::Uuencode;
        } else if (IsYEncBeginLine(c, e, &pName)) {
            found.coding = MimeBlockCoding::YEnc;
        } else if (IsBinHexStart(c, e, pEnd)) {
            found.coding = MimeBlockCoding::BinHex;
        } else {
            continue;
        }
        found.p = c;
        found.pLineEnd = e;
        found.pName = pName;
        found.pNameEnd = e > c && e[-1] == '\r' ? e - 1 : e;
        return found;
    }
    return found;
}

// Where the first parameter named `name` (the whole name, A-Z case
// ignored) starts in a field value, or npos. A parameter name stands after
// a ";" or white space and before "=" (white space around it allowed);
// quoted strings are passed over, so that a name inside one is text.
std::size_t FindParamName(std::string_view v, std::string_view name) {
    bool bQuoted = false;
    for (std::size_t i = 0; i < v.size(); ++i) {
        const char c = v[i];
        if (bQuoted) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                bQuoted = false;
            }
            continue;
        }
        if (c == '"') {
            bQuoted = true;
            continue;
        }
        if (i == 0 || (v[i - 1] != ';' && !pf::is_blank_or_line_end(v[i - 1])) ||
            v.size() - i < name.size() || !pf::equals_nocase(v.substr(i, name.size()), name)) {
            continue;
        }
        std::size_t k = i + name.size();
        while (k < v.size() && pf::is_blank_or_line_end(v[k])) {
            ++k;
        }
        if (k < v.size() && v[k] == '=') {
            return i;
        }
    }
    return std::string_view::npos;
}

// A context for a parse of [pStart, pEnd) on its own: the text ends at pEnd.
MimeParseContext MakeContext(char* pStart, char* pEnd) {
    MimeParseContext ctx;
    ctx.pTextStart = pStart;
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

bool MimeFindBlockLine(const char* p, const char* pEnd, bool bLineStart, MimeBlockLine& line) {
    if (!p || !pEnd || p >= pEnd) {
        return false;
    }
    // The search only reads the text.
    const BlockStart found = FindBlockIn(const_cast<char*>(p), const_cast<char*>(pEnd), bLineStart);
    if (!found.p) {
        return false;
    }
    line.p = found.p;
    line.pLineEnd = found.pLineEnd;
    line.pName = found.pName;
    line.pNameEnd = found.pNameEnd;
    line.coding = found.coding;
    return true;
}

char* CMimePart::FindBlockStart(char* pStart, char* pEnd) const {
    if (m_nParts > 0 || pEnd - pStart < UU_BEGIN_LINE_MIN) {
        return nullptr;
    }
    return FindBlockIn(pStart, pEnd, true).p;
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
    if (!pos) {
        // The text ended inside the header block: a part without a body.
        pos = pEnd;
    }

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
        const std::size_t nPos = FindParamName(strType, "boundary");
        if (nPos == std::string_view::npos) {
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
    // Every search below stays inside the part: a block that opens at or
    // behind pEnd belongs to the parts behind it.
    BlockStart block = FindBlockIn(pStart, pEnd, true);
    if (!block.p) {
        return false;
    }
    char* pBegin = block.p;
    if (pBegin > pStart + 1) {
        std::size_t n = static_cast<std::size_t>(pBegin - pStart - 2);
        // The container keeps its own text, never the parts behind it.
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
    while (block.p) {
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
        pBlock->m_eBlockCoding = block.coding;
        char* pLines = block.pLineEnd < pEnd ? block.pLineEnd + 1 : pEnd;
        char* pLinesEnd = pEnd;  // the block's lines: [pLines, pLinesEnd)
        char* pClose = pEnd;     // the end of its closing line (an LF), or pEnd
        switch (block.coding) {
            case MimeBlockCoding::Uuencode: {
                // The search for "end" starts behind the begin line: a name
                // that holds "end" keeps it, and its block its lines.
                char* pEndWord = pLines < pEnd ? FindUUEnd(ctx, pLines, pEnd) : nullptr;
                if (pEndWord && pEndWord < pEnd) {
                    pLinesEnd = pEndWord;
                    pClose = pEndWord;
                }
                break;
            }
            case MimeBlockCoding::YEnc: {
                char* pYEnd = FindIn(block.pLineEnd, pEnd, YENC_END, sizeof(YENC_END) - 1);
                if (pYEnd) {
                    pLinesEnd = pYEnd + 1;
                    char* pLF = static_cast<char*>(
                        std::memchr(pLinesEnd, '\n', static_cast<std::size_t>(pEnd - pLinesEnd)));
                    pClose = pLF ? pLF : pEnd;
                    pBlock->m_strBlockEnd.assign(pLinesEnd, pClose);
                } else {
                    pBlock->m_strBlockEnd = "=yend";
                }
                break;
            }
            case MimeBlockCoding::BinHex: {
                // From the first ":" to the next; the block keeps the rest
                // of that line.
                char* pOpen = static_cast<char*>(
                    std::memchr(pLines, ':', static_cast<std::size_t>(pEnd - pLines)));
                char* pShut = pOpen
                                  ? static_cast<char*>(std::memchr(
                                        pOpen + 1, ':', static_cast<std::size_t>(pEnd - pOpen - 1)))
                                  : nullptr;
                if (pShut) {
                    char* pLF = static_cast<char*>(
                        std::memchr(pShut, '\n', static_cast<std::size_t>(pEnd - pShut)));
                    pLinesEnd = pLF ? pLF : pEnd;
                    pClose = pLinesEnd;
                }
                break;
            }
        }
        if (block.coding == MimeBlockCoding::BinHex) {
            pBlock->m_strUUName = BinHexName(pLines, static_cast<std::size_t>(pLinesEnd - pLines));
        } else if (block.pName && block.pName < block.pNameEnd) {
            pBlock->m_strUUName.assign(block.pName,
                                       static_cast<std::size_t>(block.pNameEnd - block.pName));
        }
        if (block.coding != MimeBlockCoding::Uuencode) {
            pBlock->m_strBlockBegin.assign(block.p, block.pLineEnd);
        }
        if (ctx.pTextStart) {
            pBlock->m_nMailStart = static_cast<std::size_t>(block.p - ctx.pTextStart);
            char* pLineEnd = static_cast<char*>(
                std::memchr(pClose, '\n', static_cast<std::size_t>(pEnd - pClose)));
            pBlock->m_nMailEnd =
                static_cast<std::size_t>((pLineEnd ? pLineEnd : pEnd) - ctx.pTextStart);
        }
        std::size_t n = static_cast<std::size_t>(pLinesEnd - pLines);
        if (!Charge(ctx, n)) {
            return false;
        }
        pBlock->m_pData = pf::copy_terminated(pLines, n);
        pBlock->m_nDataLength = n;
        if (!pBlock->m_pData || !AppendPart(pBlock.get())) {
            return false;
        }
        pBlock.release();
        block = pClose < pEnd ? FindBlockIn(pClose, pEnd, false) : BlockStart();
    }
    debugmsg(MimeDebug(), "CMimePart::ParseUUEncoded() - end");
    return true;
}

bool CMimePart::ParseIn(MimeParseContext& ctx, char* pStart, char* pEnd, int nDepth) {
    debugmsg(MimeDebug(), "CMimePart::Parse() - begin parsing part of size %i bytes",
             static_cast<int>(pEnd - pStart));
    AdoptData(nullptr, 0);
    if (ctx.pTextStart && pStart >= ctx.pTextStart && pEnd >= pStart) {
        m_nMailStart = static_cast<std::size_t>(pStart - ctx.pTextStart);
        m_nMailEnd = static_cast<std::size_t>(pEnd - ctx.pTextStart);
    }

    bool bMultipart = false;
    char* pos = ParseHeadersIn(ctx, pStart, pEnd, &bMultipart);
    if (!pos) {
        debugmsg(MimeDebug(), "CMimePart::Parse() - ParseHeaders() returned null ");
        return false;
    }
    if (!m_bUUEncoded && !bMultipart && FindBlockStart(pos, pEnd)) {
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
