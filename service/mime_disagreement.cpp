/*
 * mime_disagreement.cpp - the strict reading against what the check did
 * (contract in mime_disagreement.h).
 */
#include "service/mime_disagreement.h"

#include <string>
#include <unordered_map>
#include <unordered_set>

#include "mime/partnames.h"
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

bool Acted(const PartReport& r) {
    return ptrset::First(r.rules) != nullptr || r.action == PART_MOVED || r.action == PART_REMOVED;
}

}  // namespace

PartNameSnapshot::PartNameSnapshot(CMimePart* pRoot) {
    if (pRoot) {
        Add(pRoot);
    }
}

void PartNameSnapshot::Add(CMimePart* pPart) {
    m_names.emplace(pPart, MimePartNames(*pPart));
    for (int i = 0; i < pPart->GetPartCount(); ++i) {
        Add(pPart->GetPart(static_cast<unsigned int>(i)));
    }
}

const std::vector<std::string>* PartNameSnapshot::Find(const void* pPart) const {
    auto it = m_names.find(pPart);
    return it != m_names.end() ? &it->second : nullptr;
}

bool CheckMimeDisagreement(const char* pszPath, CRuleHelper& rules, const char* pszSet,
                           CCheckReport& report, const PartNameSnapshot& snapshot) {
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
    // The parts the check acted on, by each of their names; each pairs once.
    std::unordered_multimap<std::string, const PartReport*> acted;
    std::unordered_set<const PartReport*> paired;
    std::string strParser;
    for (const PartReport* r = report.parts; r; r = r->next) {
        const std::string strName = r->name ? r->name : "";
        AppendCut(strParser, strName.empty() ? "-" : strName);
        if (!Acted(*r)) {
            continue;
        }
        acted.emplace(strName, r);
        if (const std::vector<std::string>* pNames = snapshot.Find(r->part)) {
            for (const std::string& strOther : *pNames) {
                if (strOther != strName) {
                    acted.emplace(strOther, r);
                }
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
    // Places of parts the check acted on as a whole: what lies inside them
    // went with them. Parts come in mail order, so a part's place is known
    // before the places inside it.
    std::unordered_set<std::string> gone;
    for (const StrictPart& part : reading.parts) {
        bool bInside = gone.count(std::string()) != 0;
        for (std::size_t dot = part.strWhere.find('.'); !bInside && dot != std::string::npos;
             dot = part.strWhere.find('.', dot + 1)) {
            bInside = gone.count(part.strWhere.substr(0, dot)) != 0;
        }
        if (bInside) {
            continue;
        }
        bool bPaired = false;
        for (const std::string& strName : part.names) {
            auto range = acted.equal_range(strName);
            for (auto it = range.first; it != range.second && !bPaired; ++it) {
                bPaired = paired.insert(it->second).second;
            }
            if (bPaired) {
                break;
            }
        }
        if (bPaired) {
            gone.insert(part.strWhere);
            continue;
        }
        const Rule* pRule = rules.FindMatchingRule(part.pHead.get(), pSet);
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
