/*
 * part_places.cpp - where each part stood (contract in part_places.h).
 */
#include "mime/part_places.h"

CPartPlaceSnapshot::CPartPlaceSnapshot(CMimePart* pRoot) {
    if (pRoot) {
        Add(pRoot);
    }
}

void CPartPlaceSnapshot::Add(CMimePart* pPart) {
    if (pPart->m_nMailStart != CMimePart::NO_PLACE && pPart->m_nMailEnd != CMimePart::NO_PLACE) {
        m_places.emplace(pPart, std::make_pair(pPart->m_nMailStart, pPart->m_nMailEnd));
    }
    for (int i = 0; i < pPart->GetPartCount(); ++i) {
        Add(pPart->GetPart(static_cast<unsigned int>(i)));
    }
}

const std::pair<std::size_t, std::size_t>* CPartPlaceSnapshot::Find(const void* pPart) const {
    auto it = m_places.find(pPart);
    return it != m_places.end() ? &it->second : nullptr;
}
