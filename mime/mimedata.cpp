/*
 * mimedata.cpp - reading and changing what a part contains (contract in
 * mimepart.h): DecodeData, SaveData, SetData, CreateTextPart, ReplacePart,
 * SetName.
 *
 * m_pData always holds the contents transfer-encoded, as in the mail.
 * Decoding runs on demand into a fresh malloc'ed block, through the codec
 * layer (codec/codec.h) chosen by the part's Content-Transfer-Encoding (in
 * lower case) or by the part being an encoded block (by its coding); new contents are
 * encoded the same way. Decoded blocks are always zero-terminated, also when
 * a codec filled its block to the last byte, so that callers may read them
 * as text.
 *
 * Results: DecodeData null when memory is short; SaveData false when
 * decoding, creating or writing fails (the decoded block is always
 * released); SetData the new m_pData or null; CreateTextPart and ReplacePart
 * the new part or null.
 */
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "codec/codec.h"
#include "mime/mimeinternal.h"
#include "mime/mimeoutput.h"
#include "mime/mimepart.h"

namespace {

TransferCoding BlockTransferCoding(MimeBlockCoding coding) {
    switch (coding) {
        case MimeBlockCoding::YEnc:
            return TransferCoding::YEnc;
        case MimeBlockCoding::BinHex:
            return TransferCoding::BinHex;
        case MimeBlockCoding::Uuencode:
            break;
    }
    return TransferCoding::Uuencode;
}

}  // namespace

char* CMimePart::DecodeData(std::int64_t& nLength) {
    if (!m_pData) {
        nLength = 0;
        return static_cast<char*>(std::calloc(1, 1));
    }
    nLength = 0;
    const std::size_t nIn = GetDataLength();
    std::size_t nOut = 0;
    const TransferCoding coding = IsUUBlock() ? BlockTransferCoding(m_eBlockCoding)
                                              : TransferCodingByName(GetContentTransferEncoding());
    if (coding != TransferCoding::Identity) {
        debugmsg(MimeDebug(), "CMimePart::DecodeData() - part is %s-encoded. decoding data ...",
                 coding == TransferCoding::Uuencode ? "uu"
                 : coding == TransferCoding::YEnc   ? "yEnc"
                 : coding == TransferCoding::BinHex ? "BinHex"
                 : coding == TransferCoding::Base64 ? "base64"
                                                    : "qp");
        char* p = reinterpret_cast<char*>(DecodeTransfer(coding, m_pData, nIn, &nOut));
        nLength = p ? static_cast<std::int64_t>(nOut) : 0;
        return p;
    }
    debugmsg(MimeDebug(), "CMimePart::DecodeData() - part is raw-ascii. no decoding needed");
    char* p = pf::copy_terminated(m_pData, nIn);
    // The terminating zero is counted: it is part of what SaveData writes.
    nLength = p ? static_cast<std::int64_t>(nIn + 1) : 0;
    return p;
}

bool CMimePart::SaveData(const char* pszPath) {
    std::int64_t nLength = 0;
    char* pData = DecodeData(nLength);
    if (!pData || nLength < 0 || !pszPath) {
        std::free(pData);
        return false;
    }
    std::FILE* pFile = std::fopen(pszPath, "wb");
    if (!pFile) {
        std::free(pData);
        return false;
    }
    bool bOk = MimeFileWrite(pFile, pData, static_cast<std::size_t>(nLength));
    if (std::fclose(pFile) != 0) {
        bOk = false;
    }
    std::free(pData);
    return bOk;
}

char* CMimePart::SetData(const char* pszText, std::int64_t nLength) {
    AdoptData(nullptr, 0);
    if (!pszText) {
        return nullptr;
    }
    const std::size_t n = nLength < 0 ? std::strlen(pszText) : static_cast<std::size_t>(nLength);
    const TransferCoding coding = TransferCodingByName(GetContentTransferEncoding());
    char* p = EncodeTransfer(coding, pszText, n);
    // Encoded text holds no zero byte; identity contents keep theirs.
    AdoptData(p, !p ? 0 : coding == TransferCoding::Identity ? n : std::strlen(p));
    return m_pData;
}

const char* CMimePart::TextCharset(const char* pszText) {
    const auto* p = reinterpret_cast<const unsigned char*>(pszText ? pszText : "");
    bool bEightBit = false;
    while (*p) {
        if (*p < 0x80) {
            ++p;
            continue;
        }
        bEightBit = true;
        // The length a lead byte announces, and the least value it may
        // encode (shorter forms are not UTF-8).
        int nMore = (*p & 0xE0) == 0xC0   ? 1
                    : (*p & 0xF0) == 0xE0 ? 2
                    : (*p & 0xF8) == 0xF0 ? 3
                                          : -1;
        if (nMore < 0 || *p == 0xC0 || *p == 0xC1 || *p > 0xF4) {
            return "unknown-8bit";
        }
        unsigned long nCode = *p & (0x3F >> nMore);
        for (int i = 1; i <= nMore; ++i) {
            if ((p[i] & 0xC0) != 0x80) {
                return "unknown-8bit";
            }
            nCode = (nCode << 6) | (p[i] & 0x3F);
        }
        static const unsigned long LEAST[] = {0, 0x80, 0x800, 0x10000};
        if (nCode < LEAST[nMore] || nCode > 0x10FFFF || (nCode >= 0xD800 && nCode <= 0xDFFF)) {
            return "unknown-8bit";
        }
        p += nMore + 1;
    }
    return bEightBit ? "utf-8" : "us-ascii";
}

CMimePart* CMimePart::CreateTextPart(const char* pszName, const char* pszText, bool bBlock) {
    if (!pszName || !pszText) {
        return nullptr;
    }
    try {
        std::unique_ptr<CMimePart> pPart(new CMimePart(this));
        if (bBlock) {
            pPart->m_bUUEncoded = true;
            pPart->m_strUUName = pszName;
        } else {
            const std::string strName(pszName);
            const std::string strType = std::string("text/plain; charset=") + TextCharset(pszText) +
                                        ";\n\tname=\"" + strName + "\"";
            if (!pPart->SetHeader(MAILHDR_FLD_CONTENT_TYPE, strType.c_str()) ||
                !pPart->SetHeader(MAILHDR_FLD_CTE, "quoted-printable") ||
                !pPart->SetHeader(MAILHDR_FLD_DISPOSITION,
                                  ("attachment;\n\tfilename=\"" + strName + "\"").c_str())) {
                return nullptr;
            }
        }
        if (!pPart->SetData(pszText, -1)) {
            return nullptr;
        }
        return pPart.release();
    } catch (...) {
        return nullptr;
    }
}

CMimePart* CMimePart::ReplacePart(unsigned int nIndex, const char* pszName, const char* pszText) {
    if (nIndex >= m_nParts || !pszName || !pszText) {
        return nullptr;
    }
    // A container gets a block, every other part a MIME text part.
    CMimePart* pPart = CreateTextPart(pszName, pszText, m_bUUEncoded);
    if (!pPart) {
        return nullptr;
    }
    if (!SetPart(nIndex, pPart)) {
        delete pPart;
        return nullptr;
    }
    return pPart;
}

void CMimePart::SetName(const char* pszName) {
    if (!pszName) {
        return;
    }
    try {
        // Only the main values survive: all other parameters are dropped.
        SetHeader(MAILHDR_FLD_CONTENT_TYPE, (GetContentType() + ";\n\tname=" + pszName).c_str());
        SetHeader(MAILHDR_FLD_DISPOSITION,
                  (GetContentDisposition() + ";\n\tfilename=" + pszName).c_str());
    } catch (...) {
        // No memory for the new values: the part keeps its old name.
    }
}
