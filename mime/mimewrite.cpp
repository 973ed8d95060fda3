/*
 * mimewrite.cpp - the writer that turns a part tree back into mail text
 * (GetMailHeaderDump, WriteTo, WriteUUEncoded; contract in mimepart.h).
 *
 * Output has LF line ends; the CMimeOutput it goes to makes them CR LF for a
 * mail file. A header block is written by GetHeaderText: fields the check
 * left alone as read and in their places, changed ones in theirs, added
 * ones at the end of the block (mailhdr/rawblock.h).
 *
 * Shape of the text, matched to the parser so that contents survive a write
 * and a new parse: a part's contents are followed by "\n" and one more "\n"
 * (the empty line in front of the next delimiter, which the parser drops
 * again); a sub-part without header lines (m_bNoHeaders, and none set since)
 * is written as its delimiter line and its text alone, which the parser reads
 * back as such a part; a multipart without sub-parts gets no delimiter at all;
 * every uuencoded block is written with mode 666, its lines, an empty line
 * and "end"; a yEnc or BinHex block with the lines that opened and closed it
 * as they came, its lines between them as they came, and an empty line.
 *
 * Results: WriteTo and WriteUUEncoded are false when the output failed (its
 * exception is caught here); what was written so far stays written. The
 * result of a sub-part's own WriteTo is not looked at: the output remembers
 * a failure, and CMimeMessage::SaveMsg asks it.
 */
#include <cstdlib>
#include <cstring>

#include "mime/mimeinternal.h"
#include "mime/mimeoutput.h"
#include "mime/mimepart.h"

namespace {

// The header block (when wanted: dump and the empty line that ends it), then
// the contents with their line end, then the empty line behind them.
void WriteHeadAndContents(const CMimePart& part, CMimeOutput& out, bool bHeader) {
    if (bHeader) {
        // A header that cannot be written whole fails the write: a mail is
        // never written without its header.
        std::string strText;
        if (!mailhdr_write_asread(part.m_pHeader, &part.m_rawHeader, strText)) {
            throw "no memory for a header";
        }
        out.Write(strText.data(), strText.size());
        out.Write("\n", 1);
    }
    if (part.GetDataLength() > 0) {
        out.Write(part.m_pData, part.GetDataLength());
        out.Write("\n", 1);
    }
    out.Write("\n", 1);
}

// "--" boundary and `pszTail` ("\n" for a delimiter line, "--\n\n" to close).
void WriteDelimiter(const std::string& strBoundary, const char* pszTail, CMimeOutput& out) {
    out.Write("--", 2);
    out.Write(strBoundary.data(), strBoundary.size());
    out.WriteString(pszTail);
}

}  // namespace

std::string CMimePart::GetMailHeaderDump(const mailhdr* pHeader) {
    int nSize = mailhdr_get_headersize(pHeader);
    if (nSize <= 0) {
        errmsg("GetHeaderDump: mailhdr_get_headersize returns 0!!!");
        return std::string();
    }
    char* pBuf = static_cast<char*>(std::calloc(static_cast<std::size_t>(nSize) + 1, 1));
    if (!pBuf) {
        errmsg("GetMailHeaderDump: calloc of len %d failed", nSize);
        return std::string();
    }
    mailhdr_sprint(pHeader, pBuf);
    std::string strDump;
    try {
        strDump.reserve(static_cast<std::size_t>(nSize));
        const char* p = pBuf;
        const char* pEnd = pBuf + std::strlen(pBuf);
        while (p < pEnd) {
            const char* pCR = static_cast<const char*>(std::memchr(p, '\r', pEnd - p));
            const char* pRun = pCR ? pCR : pEnd;
            strDump.append(p, pRun - p);
            p = pRun + (pCR ? 1 : 0);
        }
    } catch (...) {
        strDump.clear();
    }
    std::free(pBuf);
    return strDump;
}

std::string CMimePart::GetHeaderText() const {
    std::string strText;
    if (!mailhdr_write_asread(m_pHeader, &m_rawHeader, strText)) {
        errmsg("GetHeaderText: no memory for the header of %s", GetName().c_str());
        strText.clear();
    }
    return strText;
}

bool CMimePart::WriteTo(CMimeOutput& out) {
    if (m_bUUEncoded) {
        return WriteUUEncoded(out);
    }
    try {
        // A body part that had no header lines gets none: its first line
        // holds no colon, so it is read back as text again.
        const bool bHeader = !(m_bNoHeaders && m_pParent && mailhdr_get_headersize(m_pHeader) <= 0);
        WriteHeadAndContents(*this, out, bHeader);
        if (m_nParts > 0) {
            for (std::uint32_t i = 0; i < m_nParts; ++i) {
                CMimePart* pSub = m_apParts[i];
                WriteDelimiter(m_strBoundary, "\n", out);
                pSub->WriteTo(out);
            }
            if (IsMultipart()) {
                WriteDelimiter(m_strBoundary, "--\n\n", out);
            }
        }
        return true;
    } catch (...) {
        return false;
    }
}

bool CMimePart::WriteUUEncoded(CMimeOutput& out) {
    try {
        WriteHeadAndContents(*this, out, m_pParent == nullptr);
        for (std::uint32_t i = 0; i < m_nParts; ++i) {
            CMimePart* pSub = m_apParts[i];
            if (pSub->m_eBlockCoding != MimeBlockCoding::Uuencode) {
                // The lines stand as they came; the closing line (a block
                // cut short by the end of its part has none) on a line of
                // its own behind them.
                out.Write(pSub->m_strBlockBegin.data(), pSub->m_strBlockBegin.size());
                out.Write("\n", 1);
                const std::size_t n = pSub->GetDataLength();
                out.Write(pSub->m_pData, n);
                if (n > 0 && pSub->m_pData[n - 1] != '\n') {
                    out.Write("\n", 1);
                }
                if (!pSub->m_strBlockEnd.empty()) {
                    out.Write(pSub->m_strBlockEnd.data(), pSub->m_strBlockEnd.size());
                    out.Write("\n", 1);
                }
                out.Write("\n", 1);
                continue;
            }
            // Every block gets mode 666, whatever its begin line said.
            const std::string strBegin = "begin 666 " + pSub->GetName() + "\n";
            out.Write(strBegin.data(), strBegin.size());
            pSub->WriteTo(out);
            out.Write("end\n\n", 5);
        }
        return true;
    } catch (...) {
        return false;
    }
}
