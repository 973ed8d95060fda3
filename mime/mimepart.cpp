/*
 * mimepart.cpp - the part tree itself: construction and destruction, tree
 * access and the header accessors of CMimePart (contract in mimepart.h).
 *
 * Accessors never fail: a missing field gives an empty string, an index out
 * of range null or false, a part that is not a direct sub-part -1.
 * Header values come from the header library (mailhdr_*) and are decoded by
 * the codec layer's DecodeHeaderData; nothing here parses encodings itself.
 */
#include "mime/mimepart.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "codec/codec.h"
#include "mime/mimeinternal.h"

namespace {

// Sub-part slots a part gets with its first sub-part; the array doubles up to
// MAX_SUBPARTS, so leaf parts (most of a tree) carry no array at all.
constexpr std::uint32_t FIRST_SLOTS = 4;

// The value before the first ";" in lower case; nothing is trimmed.
std::string MainValue(const std::string& strValue) {
    return pf::ascii_lower(strValue.substr(0, strValue.find(';')));
}

// Everything behind `pattern` in `value`, white space and then double quotes
// trimmed from both ends; false when the pattern does not occur.
bool ParamToEnd(const std::string& strValue, const char* pszPattern, std::string& strOut) {
    int nPos = CMimePart::FindNoCase(strValue, pszPattern);
    if (nPos < 0) {
        return false;
    }
    std::string strRest = strValue.substr(nPos + std::strlen(pszPattern));
    strOut = std::string(pf::trim(pf::trim(strRest), "\""));
    return true;
}

}  // namespace

CMimePart::CMimePart(CMimePart* pParent)
    : m_bNoHeaders(false),
      m_pHeader(mailhdr_alloc()),
      m_apParts(nullptr),
      m_nParts(0),
      m_nSlots(0),
      m_pParent(pParent),
      m_pData(nullptr),
      m_nDataLength(0),
      m_bUUEncoded(false) {
    // A part without a header record would hand null to every header
    // operation later on: the part is not made at all.
    if (!m_pHeader) {
        throw std::bad_alloc();
    }
}

CMimePart::~CMimePart() {
    std::free(m_pData);
    m_pData = nullptr;
    DestroyParts();
    if (m_pHeader) {
        mailhdr_free(m_pHeader);
    }
}

void CMimePart::DestroyParts() {
    for (std::uint32_t i = 0; i < m_nParts; ++i) {
        delete m_apParts[i];
    }
    std::free(m_apParts);
    m_apParts = nullptr;
    m_nParts = 0;
    m_nSlots = 0;
}

void CMimePart::RemoveAllParts() {
    DestroyParts();
    m_strBoundary.clear();
}

bool CMimePart::Reset() {
    AdoptData(nullptr, 0);
    DestroyParts();
    m_bNoHeaders = false;
    m_bUUEncoded = false;
    m_strBoundary.clear();
    m_strUUName.clear();
    m_rawHeader.clear();
    m_eBlockCoding = MimeBlockCoding::Uuencode;
    m_strBlockBegin.clear();
    m_strBlockEnd.clear();
    m_nMailStart = NO_PLACE;
    m_nMailEnd = NO_PLACE;
    mailhdr* pHeader = mailhdr_alloc();
    if (!pHeader) {
        return false;
    }
    mailhdr_free(m_pHeader);
    m_pHeader = pHeader;
    return true;
}

CMimePart* CMimePart::GetPart(unsigned int nIndex) const {
    return nIndex < m_nParts ? m_apParts[nIndex] : nullptr;
}

int CMimePart::GetPartIndex(const CMimePart* pPart) const {
    for (std::uint32_t i = 0; i < m_nParts; ++i) {
        if (m_apParts[i] == pPart) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool CMimePart::SetPart(unsigned int nIndex, CMimePart* pPart) {
    if (nIndex >= m_nParts || !pPart) {
        return false;
    }
    CMimePart* pOld = m_apParts[nIndex];
    m_apParts[nIndex] = pPart;
    pPart->m_pParent = this;
    if (pOld != pPart) {
        delete pOld;
    }
    return true;
}

bool CMimePart::AppendPart(CMimePart* pPart) {
    if (!pPart || m_nParts >= MAX_SUBPARTS) {
        return false;
    }
    if (m_nParts == m_nSlots) {
        std::uint32_t nSlots = m_nSlots ? m_nSlots * 2 : FIRST_SLOTS;
        if (nSlots > MAX_SUBPARTS) {
            nSlots = MAX_SUBPARTS;
        }
        void* p = std::realloc(m_apParts, nSlots * sizeof(CMimePart*));
        if (!p) {
            return false;
        }
        m_apParts = static_cast<CMimePart**>(p);
        m_nSlots = nSlots;
    }
    m_apParts[m_nParts++] = pPart;
    pPart->m_pParent = this;
    return true;
}

CMimePart* CMimePart::GetRootPart() {
    CMimePart* p = this;
    while (p->m_pParent) {
        p = p->m_pParent;
    }
    return p;
}

std::size_t CMimePart::GetDataLength() const {
    return m_pData ? m_nDataLength : 0;
}

void CMimePart::AdoptData(char* pData, std::size_t n) {
    if (pData != m_pData) {
        std::free(m_pData);
    }
    m_pData = pData;
    m_nDataLength = pData ? n : 0;
}

std::string CMimePart::GetHeaderRaw(int nFieldId) const {
    std::string strValue;
    // Fields outside the table (49) have no single value to give.
    if (nFieldId < 0 || nFieldId >= MAILHDR_FLD_OTHER) {
        return strValue;
    }
    const stringlist* pFirst = mailhdr_getfldvalue(m_pHeader, nFieldId);
    for (const stringlist* p = pFirst; p; p = p->next) {
        if (p != pFirst) {
            strValue += "\n\t";
        }
        if (p->str) {
            strValue += p->str;
        }
    }
    return strValue;
}

std::string CMimePart::GetHeader(int nFieldId) const {
    std::string strRaw = GetHeaderRaw(nFieldId);
    // Most values hold no encoded word ("=?"). For them the decoder only cuts
    // a trailing CR LF and the leading white space, which is done here in
    // place: the parser asks for the content type of every part, and the
    // decoder's two copies were a large share of a small part's cost.
    if (strRaw.size() <= CODEC_MAX_INPUT && strRaw.find("=?") == std::string::npos) {
        const std::size_t n = strRaw.size();
        if (n >= 2 && strRaw[n - 2] == '\r') {
            strRaw.resize(n - 2);
        }
        const std::string::size_type first = strRaw.find_first_not_of(" \t\n\v\f\r");
        if (first != std::string::npos) {
            strRaw.erase(0, first);
        }
        return strRaw;
    }
    char* pszDecoded = ::DecodeHeaderData(strRaw.c_str());
    if (!pszDecoded) {
        return std::string();
    }
    std::string strValue(pszDecoded);
    std::free(pszDecoded);
    return strValue;
}

std::string CMimePart::GetContentType() const {
    return MainValue(GetHeader(MAILHDR_FLD_CONTENT_TYPE));
}

std::string CMimePart::GetContentTransferEncoding() const {
    return MainValue(GetHeader(MAILHDR_FLD_CTE));
}

std::string CMimePart::GetContentDisposition() const {
    return MainValue(GetHeader(MAILHDR_FLD_DISPOSITION));
}

bool CMimePart::IsMultipart() const {
    std::string strType = GetContentType();
    return strType.compare(0, 9, "multipart") == 0;
}

bool CMimePart::IsBase64() const {
    return GetContentTransferEncoding() == "base64";
}

std::string CMimePart::GetName() const {
    try {
        if (IsUUBlock()) {
            return m_strUUName;
        }
        std::string strName;
        if (ParamToEnd(pf::ascii_lower(GetHeader(MAILHDR_FLD_CONTENT_TYPE)), "name=", strName)) {
            return strName;
        }
        if (ParamToEnd(pf::ascii_lower(GetHeader(MAILHDR_FLD_DISPOSITION)), "filename=", strName)) {
            return strName;
        }
        return pf::ascii_lower(GetHeader(MAILHDR_FLD_LOCATION));
    } catch (...) {
        return std::string();
    }
}

bool CMimePart::SetHeader(int nFieldId, const char* pszValue) {
    if (!pszValue || IsUUBlock()) {
        return false;
    }
    stringlist* pLines = nullptr;
    if (stringlist_append_string(&pLines, pszValue) < 0) {
        errmsg("SetHeader: strdup failed");
        return false;
    }
    // Every field of the identifier goes first, so that the part ends with
    // exactly one, also for fields a header may repeat (Content-Type).
    mailhdr_delfld(m_pHeader, nFieldId);
    mailhdr_setfld(m_pHeader, nFieldId, pLines);
    stringlist_free(&pLines);
    return true;
}

void CMimePart::RemoveHeader(int nFieldId) {
    mailhdr_delfld(m_pHeader, nFieldId);
}

char* CMimePart::DecodeHeaderData(const char* pszData) {
    if (!pszData) {
        debugmsg(MimeDebug(), "CMimePart::DecodeHeaderData() - data is null");
        return nullptr;
    }
    return ::DecodeHeaderData(pszData);
}

int CMimePart::FindNoCase(const std::string& strText, const char* pszPattern) {
    return MimeFindNoCase(strText, pszPattern);
}
