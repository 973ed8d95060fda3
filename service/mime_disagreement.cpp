/*
 * mime_disagreement.cpp - the strict reading against what the check did
 * (contract in mime_disagreement.h).
 */
#include "service/mime_disagreement.h"

#include <string>
#include <utility>
#include <vector>

#include "mime/strictread.h"
#include "pf/text.h"
#include "qorcsock/qorcsock.h"

namespace {

// `text` appended to `list` unless the list is full.
void AppendCut(std::string& strList, const std::string& strText) {
    if (strList.size() >= DISAGREEMENT_LOG_CHARS) {
        return;
    }
    if (!strList.empty()) {
        strList += "; ";
    }
    strList += pf::blank_controls(strText);
    if (strList.size() > DISAGREEMENT_LOG_CHARS) {
        strList.resize(DISAGREEMENT_LOG_CHARS);
        strList += "...";
    }
}

// The records of parts whose bytes are not in the written mail.
bool Gone(const PartReport& r) {
    return r.action == PART_MOVED || r.action == PART_REMOVED;
}

}  // namespace

PartPlaceSnapshot::PartPlaceSnapshot(CMimePart* pRoot) {
    if (pRoot) {
        Add(pRoot);
    }
}

void PartPlaceSnapshot::Add(CMimePart* pPart) {
    if (pPart->m_nMailStart != CMimePart::NO_PLACE && pPart->m_nMailEnd != CMimePart::NO_PLACE) {
        m_places.emplace(pPart, std::make_pair(pPart->m_nMailStart, pPart->m_nMailEnd));
    }
    for (int i = 0; i < pPart->GetPartCount(); ++i) {
        Add(pPart->GetPart(static_cast<unsigned int>(i)));
    }
}

const std::pair<std::size_t, std::size_t>* PartPlaceSnapshot::Find(const void* pPart) const {
    auto it = m_places.find(pPart);
    return it != m_places.end() ? &it->second : nullptr;
}

bool CheckMimeDisagreement(const char* pszPath, CRuleHelper& rules, const char* pszSet,
                           CCheckReport& report, const PartPlaceSnapshot& snapshot) {
    static const int s_debug = debug_gethandle("MAILWARD_Debug");
    RuleSet* pSet = pszSet ? rules.FindRuleSet(pszSet) : nullptr;
    if (!pSet) {
        return false;
    }
    StrictReading reading;
    const bool bWhole = MimeStrictReadFile(pszPath, reading);
    if (!bWhole && !reading.bLimited) {
        debugmsg(s_debug, "CheckMimeDisagreement() - cannot read %s", pszPath ? pszPath : "");
        return false;
    }
    // The places of the parts the check removed or moved.
    std::vector<std::pair<std::size_t, std::size_t>> gone;
    std::string strParser;
    for (const PartReport* r = report.parts; r; r = r->next) {
        AppendCut(strParser, r->name && *r->name ? r->name : "-");
        if (Gone(*r)) {
            if (const auto* pPlace = snapshot.Find(r->part)) {
                gone.push_back(*pPlace);
            }
        }
    }
    const std::uint32_t nMode = rules.m_nMatchMode;
    rules.m_nMatchMode = MATCH_ATTACHMENT;
    std::string strStrict;
    bool bDisagree = !bWhole;
    if (!bWhole) {
        AppendCut(strStrict, "reading stopped at a limit");
    }
    for (const StrictPart& part : reading.parts) {
        bool bGone = false;
        for (const auto& [nStart, nEnd] : gone) {
            bGone = bGone || (nStart <= part.nStart && part.nEnd <= nEnd);
        }
        if (bGone) {
            continue;
        }
        const Rule* pRule = rules.FindMatchingRule(part.Head(), pSet);
        if (pRule && (pRule->action == ACTION_REMOVE || pRule->action == ACTION_MOVE)) {
            bDisagree = true;
            std::string strNames;
            for (const std::string& strName : part.names) {
                strNames += (strNames.empty() ? "" : ", ") + strName;
            }
            AppendCut(strStrict, (part.strWhere.empty() ? "mail" : part.strWhere) + " " + strNames);
        }
    }
    rules.m_nMatchMode = nMode;
    if (!bDisagree) {
        return false;
    }
    report.status |= ST_MIME_DISAGREEMENT;
    infomsg("[MAILCHECK] [DISAGREEMENT] [strict: %s] [parser: %s]", strStrict.c_str(),
            strParser.c_str());
    return true;
}
