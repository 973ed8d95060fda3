/*
 * strictread.cpp - the strict reading of a mail (contract in strictread.h).
 *
 * One recursive walk over views of the mail's bytes: a part's header block
 * is parsed into a header record of its own (the header library, as the
 * parser does), its names are taken with MimePartNames, and its body is
 * split at delimiter lines, read as an attached message or searched for
 * encoded blocks. Every step first
 * takes its bytes from the work budget; a part is listed once however many
 * readings reach it (keyed by where its text starts).
 */
#include "mime/strictread.h"

#include <cstdlib>
#include <cstring>
#include <deque>
#include <new>
#include <unordered_set>

#include "codec/codec.h"
#include "mime/mimeinternal.h"
#include "mime/partnames.h"
#include "pf/platform.h"

namespace {

// The line [b, e) without a CR in front of its LF.
std::string_view LineAt(std::string_view text, std::size_t b, std::size_t e) {
    std::string_view line = text.substr(b, e - b);
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    return line;
}

// End of the line that starts at `b`: its LF, or the end of the text.
std::size_t LineEnd(std::string_view text, std::size_t b) {
    const void* lf = std::memchr(text.data() + b, '\n', text.size() - b);
    return lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - text.data()) : text.size();
}

// The text without the line end that ends it.
std::string_view WithoutLineEnd(std::string_view s) {
    if (!s.empty() && s.back() == '\n') {
        s.remove_suffix(1);
        if (!s.empty() && s.back() == '\r') {
            s.remove_suffix(1);
        }
    }
    return s;
}

// Body parts of a multipart body: delimiters only at a line's start, the
// line end in front of a delimiter belongs to it, nothing behind the close.
std::vector<std::string_view> SplitBody(std::string_view body, const std::string& strBoundary) {
    const std::string strDash = "--" + strBoundary;
    std::vector<std::string_view> parts;
    bool bInPart = false;
    std::size_t nPartStart = 0;
    std::size_t nLine = 0;
    while (nLine < body.size()) {
        const std::size_t nEnd = LineEnd(body, nLine);
        const std::string_view line = LineAt(body, nLine, nEnd);
        if (line.size() >= strDash.size() && line.compare(0, strDash.size(), strDash) == 0) {
            std::string_view rest = line.substr(strDash.size());
            const bool bClose = rest.size() >= 2 && rest[0] == '-' && rest[1] == '-';
            while (!rest.empty() && pf::is_blank_or_line_end(rest.front())) {
                rest.remove_prefix(1);
            }
            if (bClose || rest.empty()) {
                if (bInPart) {
                    parts.push_back(WithoutLineEnd(body.substr(nPartStart, nLine - nPartStart)));
                }
                if (bClose) {
                    return parts;
                }
                bInPart = true;
                nPartStart = nEnd < body.size() ? nEnd + 1 : nEnd;
            }
        }
        nLine = nEnd + 1;
    }
    if (bInPart) {
        parts.push_back(body.substr(nPartStart));
    }
    return parts;
}

// The value lines of one field joined as one value.
std::string FieldValue(const mailhdr_fld* f) {
    std::string strValue;
    for (const stringlist* l = f->lines; l; l = l->next) {
        if (l->str) {
            strValue += l->str;
        }
    }
    return strValue;
}

std::string MainValue(const std::string& strValue) {
    return pf::ascii_lower(pf::trim(strValue.substr(0, strValue.find(';'))));
}

// The names of a head as listed: those a limit cut with "..." behind them.
std::vector<std::string> ListedNames(const CMimePart& head) {
    MimeNameList list = MimePartNameList(head);
    for (std::string& known : list.cut) {
        list.names.push_back(known + "...");
    }
    return std::move(list.names);
}

class CStrictReader {
  public:
    CStrictReader(StrictReading& reading, std::string_view mail)
        : m_reading(reading), m_mail(mail), m_nWork(STRICT_WORK_FACTOR * (mail.size() + 1)) {}

    bool m_bCut = false;

    // `origin`: the place of the part that carried `text` when it is not a
    // view of the mail itself (a decoded attached message).
    void Part(std::string_view text, int nDepth, const std::string& strWhere, bool bDigest,
              std::pair<std::size_t, std::size_t> origin);

  private:
    bool Spend(std::size_t n) {
        if (m_bCut || n > m_nWork) {
            m_bCut = true;
            return false;
        }
        m_nWork -= n;
        return true;
    }
    std::string Child(const std::string& strWhere, const std::string& strStep) const {
        return strWhere.empty() ? strStep : strWhere + "." + strStep;
    }
    void Multipart(std::string_view body, const std::string& strType, int nDepth,
                   const std::string& strWhere, std::unordered_set<std::string>& done,
                   std::pair<std::size_t, std::size_t> origin);
    void Message(std::string_view body, const std::string& strEncoding, int nDepth,
                 const std::string& strWhere, std::pair<std::size_t, std::size_t> place);
    void Blocks(std::string_view body, const std::string& strEncoding, const std::string& strWhere,
                std::pair<std::size_t, std::size_t> place);
    // The place of `text` in the mail, or `origin` when it lies elsewhere.
    std::pair<std::size_t, std::size_t> PlaceOf(std::string_view text,
                                                std::pair<std::size_t, std::size_t> origin) const {
        const char* b = m_mail.data();
        if (text.data() >= b && text.data() + text.size() <= b + m_mail.size()) {
            const auto start = static_cast<std::size_t>(text.data() - b);
            return {start, start + text.size()};
        }
        return origin;
    }

    StrictReading& m_reading;
    std::string_view m_mail;
    std::size_t m_nWork;
    std::size_t m_nParts = 0;
    std::unordered_set<const char*> m_listed;  // starts of the parts listed
    std::deque<std::string> m_decoded;         // attached messages decoded
};

void CStrictReader::Part(std::string_view text, int nDepth, const std::string& strWhere,
                         bool bDigest, std::pair<std::size_t, std::size_t> origin) {
    if (m_nParts >= STRICT_MAX_PARTS || nDepth > STRICT_MAX_DEPTH) {
        m_bCut = true;
        return;
    }
    ++m_nParts;
    auto pHead = std::make_unique<CMimePart>(nullptr);
    std::size_t nBody = 0;
    std::size_t nEnd = LineEnd(text, 0);
    if (LineAt(text, 0, nEnd).empty()) {
        nBody = nEnd < text.size() ? nEnd + 1 : nEnd;  // no fields, then the body
    } else if (std::memchr(text.data(), ':', nEnd) != nullptr) {
        // The block parser appends at a constant cost however many fields
        // of one name came before.
        mailhdr_block_parser headerLines(pHead->m_pHeader);
        std::size_t nLine = 0;
        for (;;) {
            const std::string_view line = LineAt(text, nLine, nEnd);
            nBody = nEnd < text.size() ? nEnd + 1 : nEnd;
            if (line.empty()) {
                break;
            }
            std::string strLine(line);
            for (char& c : strLine) {
                c = c == '\0' ? ' ' : c;  // the header library reads C strings
            }
            headerLines.parseline(strLine.c_str());
            if (nEnd >= text.size()) {
                break;
            }
            nLine = nEnd + 1;
            nEnd = LineEnd(text, nLine);
        }
    }
    // The header block was scanned once; a body is paid for by the reading
    // that scans it (a split or a decoding).
    if (!Spend(nBody + 1)) {
        return;
    }
    const std::string_view body = text.substr(nBody);

    std::vector<std::string> types;
    for (const mailhdr_fld* f = mailhdr_getfld(pHead->m_pHeader, MAILHDR_FLD_CONTENT_TYPE); f;
         f = f->next) {
        types.push_back(FieldValue(f));
    }
    if (types.empty()) {
        types.push_back(bDigest ? "message/rfc822" : "text/plain");
    } else if (types.size() > 2) {
        types.erase(types.begin() + 1, types.end() - 1);  // the first and the last
    }
    const mailhdr_fld* pEncoding = mailhdr_getfld(pHead->m_pHeader, MAILHDR_FLD_CTE);
    const std::string strEncoding = pEncoding ? MainValue(FieldValue(pEncoding)) : std::string();

    const std::pair<std::size_t, std::size_t> place = PlaceOf(text, origin);
    std::vector<std::string> names = ListedNames(*pHead);
    if (!names.empty() && m_listed.insert(text.data()).second) {
        m_reading.parts.push_back(
            StrictPart{strWhere, std::move(pHead), std::move(names), place.first, place.second});
    }

    std::unordered_set<std::string> done;  // readings of this body made
    bool bTextRead = false;                // searched for blocks
    for (const std::string& strType : types) {
        const std::string strMain = MainValue(strType);
        if (strMain.compare(0, 10, "multipart/") == 0) {
            Multipart(body, strType, nDepth, strWhere, done, origin);
        } else if ((strMain == "message/rfc822" || strMain == "message/global") &&
                   done.insert("message").second) {
            Message(body, strEncoding, nDepth, strWhere, place);
        } else if (strMain.compare(0, 5, "text/") == 0 && !bTextRead) {
            bTextRead = true;
            Blocks(body, strEncoding, strWhere, place);
        }
    }
}

void CStrictReader::Blocks(std::string_view body, const std::string& strEncoding,
                           const std::string& strWhere, std::pair<std::size_t, std::size_t> place) {
    std::string_view text = body;
    std::string strDecoded;
    const TransferCoding coding = TransferCodingByName(strEncoding);
    if (!Spend(body.size())) {
        return;
    }
    if (coding != TransferCoding::Identity) {
        std::size_t n = 0;
        unsigned char* p = DecodeTransfer(coding, body.data(), body.size(), &n);
        if (!p) {
            throw std::bad_alloc();
        }
        strDecoded.assign(reinterpret_cast<char*>(p), n);
        std::free(p);
        text = strDecoded;
    }
    const char* pEnd = text.data() + text.size();
    MimeBlockLine line;
    int nBlock = 0;
    for (const char* p = text.data(); MimeFindBlockLine(p, pEnd, p == text.data(), line);
         p = line.pLineEnd) {
        if (m_nParts >= STRICT_MAX_PARTS) {
            m_bCut = true;
            return;
        }
        ++m_nParts;
        auto pContainer = std::make_unique<CMimePart>(nullptr);
        auto pBlock = std::make_unique<CMimePart>(pContainer.get());
        pBlock->m_bUUEncoded = true;
        pBlock->m_eBlockCoding = line.coding;
        if (line.coding == MimeBlockCoding::BinHex) {
            pBlock->m_strUUName =
                BinHexName(line.pLineEnd, static_cast<std::size_t>(pEnd - line.pLineEnd));
        } else if (line.pName && line.pName < line.pNameEnd) {
            pBlock->m_strUUName.assign(line.pName, line.pNameEnd);
        }
        if (!pContainer->AppendPart(pBlock.get())) {
            throw std::bad_alloc();
        }
        CMimePart& block = *pBlock.release();
        std::vector<std::string> names = ListedNames(block);
        if (names.empty()) {
            names.push_back("unnamed");  // a block is an attachment, named or not
        }
        // A block of a text that stands in the mail has a place of its own:
        // its opening line.
        std::pair<std::size_t, std::size_t> where = place;
        if (strDecoded.empty()) {
            const std::pair<std::size_t, std::size_t> opening = PlaceOf(
                std::string_view(line.p, static_cast<std::size_t>(line.pLineEnd - line.p)), place);
            if (opening != place) {
                where = opening;
            }
        }
        m_reading.parts.push_back(StrictPart{strWhere + "#" + std::to_string(++nBlock),
                                             std::move(pContainer), std::move(names), where.first,
                                             where.second});
    }
}

void CStrictReader::Multipart(std::string_view body, const std::string& strType, int nDepth,
                              const std::string& strWhere, std::unordered_set<std::string>& done,
                              std::pair<std::size_t, std::size_t> origin) {
    std::vector<std::string> boundaries = MimeParamValues(strType, "boundary");
    if (boundaries.size() > 2) {
        boundaries.erase(boundaries.begin() + 1, boundaries.end() - 1);
    }
    const bool bDigest = MainValue(strType) == "multipart/digest";
    // An empty boundary is no boundary by the RFC, but some readers still
    // split the body at lines of a bare "--" (Python's email package does):
    // it is read that way too, so an attachment behind one is not missed.
    for (const std::string& strBoundary : boundaries) {
        if (!done.insert("boundary " + strBoundary).second) {
            continue;
        }
        // The parts of a second reading of the same body get places of
        // their own ("1~2": the first part in the second reading).
        const std::size_t nReading = done.size() - (done.count("message") ? 1 : 0);
        const std::string strTag = nReading > 1 ? "~" + std::to_string(nReading) : "";
        if (!Spend(body.size())) {
            return;
        }
        const std::vector<std::string_view> parts = SplitBody(body, strBoundary);
        for (std::size_t i = 0; i < parts.size() && !m_bCut; ++i) {
            Part(parts[i], nDepth + 1, Child(strWhere, std::to_string(i + 1) + strTag), bDigest,
                 origin);
        }
    }
}

void CStrictReader::Message(std::string_view body, const std::string& strEncoding, int nDepth,
                            const std::string& strWhere,
                            std::pair<std::size_t, std::size_t> place) {
    std::string_view inner = body;
    const TransferCoding coding = TransferCodingByName(strEncoding);
    if (coding != TransferCoding::Identity) {
        if (!Spend(body.size())) {
            return;
        }
        std::size_t n = 0;
        unsigned char* p = DecodeTransfer(coding, body.data(), body.size(), &n);
        if (!p) {
            throw std::bad_alloc();
        }
        m_decoded.emplace_back(reinterpret_cast<char*>(p), n);
        std::free(p);
        inner = m_decoded.back();
    }
    Part(inner, nDepth + 1, Child(strWhere, "m"), false, place);
}

}  // namespace

bool MimeStrictRead(const char* pText, std::size_t nLength, StrictReading& reading) {
    reading.parts.clear();
    reading.bLimited = false;
    if (!pText) {
        return false;
    }
    try {
        const std::string_view mail(pText, nLength);
        CStrictReader reader(reading, mail);
        reader.Part(mail, 0, std::string(), false, {0, nLength});
        reading.bLimited = reader.m_bCut;
        return !reader.m_bCut;
    } catch (...) {
        return false;
    }
}

bool MimeStrictReadFile(const char* pszPath, StrictReading& reading) {
    reading.parts.clear();
    reading.bLimited = false;
    pf::InputFile file;
    if (!pszPath || !file.open(pszPath)) {
        return false;
    }
    try {
        std::string strText(static_cast<std::size_t>(file.size()), '\0');
        const std::size_t nRead = file.read(strText.data(), strText.size());
        if (nRead != strText.size()) {
            return false;
        }
        // LF line ends, as the parser loads the mail: places agree.
        std::size_t nDropped = 0;
        char* pEnd = MimeCompactLineEnds(strText.data(), strText.data() + strText.size(), nDropped);
        strText.resize(static_cast<std::size_t>(pEnd - strText.data()));
        return MimeStrictRead(strText.data(), strText.size(), reading);
    } catch (...) {
        return false;
    }
}
