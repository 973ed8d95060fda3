/*
 * parts_processor.cpp - tree walk and notice replacement (see
 * parts_processor.h).
 */
#include "processors/parts_processor.h"

#include <algorithm>
#include <string>

#include "qorcsock/qorcsock.h"

std::string PartNameOrUnnamed(const CMimePart* pPart) {
    std::string name = pPart->GetName();
    return name.empty() ? std::string("unnamed") : name;
}

int CBasePartsProcessor::ProcessPart(CMimePart*) {
    return -1;
}

int CBasePartsProcessor::ProcessParts(CMimePart* pPart) {
    if (pPart == nullptr || pPart->m_bInserted)
        return 0;
    const PartReport* record = m_pReport->FindPart(pPart);
    if (record == nullptr || record->action == PART_REMOVED)
        return 0;
    if (pPart->m_pParent != nullptr && pPart->m_pParent->GetPartIndex(pPart) == -1) {
        errmsg("CBasePartsProcessor::ProcessPart() - invalid parent part");
        return -1;
    }
    int result = ProcessPart(pPart);
    if (result != 0)
        return result;
    int highest = 0;
    for (int i = 0; i < pPart->GetPartCount(); ++i) {
        CMimePart* sub = pPart->GetPart(static_cast<unsigned>(i));
        if (sub == nullptr)
            return -1;
        int r = ProcessParts(sub);
        if (r == -1)
            return -1;
        highest = std::max(highest, r);
    }
    return highest;
}

int CBasePartsProcessor::delete_part(CMimePart* pPart, const char* pszName, const char* pszNotice) {
    if (pPart == nullptr || pszNotice == nullptr)
        return -1;
    CMimePart* parent = pPart->m_pParent;
    if (parent == nullptr) {
        if (pPart->m_bUUEncoded)
            return -1;
        pPart->SetHeader(
            MAILHDR_FLD_CONTENT_TYPE,
            (std::string("text/plain; charset=") + CMimePart::TextCharset(pszNotice)).c_str());
        pPart->SetHeader(MAILHDR_FLD_CTE, "quoted-printable");
        pPart->RemoveHeader(MAILHDR_FLD_DISPOSITION);
        pPart->RemoveAllParts();
        if (pPart->SetData(pszNotice, -1) == nullptr)
            return -1;
        pPart->m_bInserted = true;
        return 0;
    }
    int index = parent->GetPartIndex(pPart);
    if (index < 0 || pszName == nullptr)
        return -1;
    CMimePart* notice = parent->ReplacePart(static_cast<unsigned>(index), pszName, pszNotice);
    if (notice == nullptr)
        return -1;
    notice->m_bInserted = true;
    if (parent->m_bUUEncoded) {
        std::string text = parent->GetData() != nullptr
                               ? std::string(parent->GetData(), parent->GetDataLength())
                               : std::string();
        text += "\n\n";
        text += pszNotice;
        parent->SetData(text.data(), static_cast<std::int64_t>(text.size()));
    }
    return 0;
}
