/*
 * mimewrite.cpp - the writer that turns a part tree back into mail text
 * (GetMailHeaderDump, WriteTo, WriteUUEncoded; contract in mimepart.h).
 *
 * Output has LF line ends; the CMimeOutput it goes to makes them CR LF for a
 * mail file. Header fields come out in the order of the header library's
 * dump (by field identifier), not in their order in the mail.
 *
 * Shape of the text, matched to the parser so that contents survive a write
 * and a new parse: a part's contents are followed by "\n" and one more "\n"
 * (the empty line in front of the next delimiter, which the parser drops
 * again); a sub-part without header lines is left out together with its
 * delimiter line; a multipart without sub-parts gets no delimiter at all;
 * every uuencoded block is written with mode 666, its lines, an empty line
 * and "end".
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
        for (const char* p = pBuf; *p; ++p) {
            if (*p != '\r') {
                strDump += *p;
            }
        }
    } catch (...) {
        strDump.clear();
    }
    std::free(pBuf);
    return strDump;
}

bool CMimePart::WriteTo(CMimeOutput& out) {
    if (m_bUUEncoded) {
        return WriteUUEncoded(out);
    }
    try {
        const std::string strDump = GetHeaderDump();
        out.Write(strDump.data(), strDump.size());
        out.Write("\n", 1);
        if (m_pData && *m_pData) {
            out.Write(m_pData, std::strlen(m_pData));
            out.Write("\n", 1);
        }
        out.Write("\n", 1);
        if (m_nParts > 0) {
            for (std::uint32_t i = 0; i < m_nParts; ++i) {
                CMimePart* pSub = m_apParts[i];
                if (pSub->m_bNoHeaders) {
                    continue;
                }
                out.Write("--", 2);
                out.Write(m_strBoundary.data(), m_strBoundary.size());
                out.Write("\n", 1);
                pSub->WriteTo(out);
            }
            if (IsMultipart()) {
                out.Write("--", 2);
                out.Write(m_strBoundary.data(), m_strBoundary.size());
                out.Write("--\n\n", 4);
            }
        }
        return true;
    } catch (...) {
        return false;
    }
}

bool CMimePart::WriteUUEncoded(CMimeOutput& out) {
    try {
        if (!m_pParent) {
            const std::string strDump = GetHeaderDump();
            out.Write(strDump.data(), strDump.size());
            out.Write("\n", 1);
        }
        if (m_pData && *m_pData) {
            out.Write(m_pData, std::strlen(m_pData));
            out.Write("\n", 1);
        }
        out.Write("\n", 1);
        for (std::uint32_t i = 0; i < m_nParts; ++i) {
            CMimePart* pSub = m_apParts[i];
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
