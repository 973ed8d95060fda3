/*
 * mime_disagreement.cpp - the strict reading against what the check did
 * (contract in mime_disagreement.h).
 */
#include "service/mime_disagreement.h"

#include <exception>
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

namespace {

// One text read strictly and paired with the parser's parts of it.
struct Pairing {
    CRuleHelper& rules;
    RuleSet* pSet;
    const CCheckReport& report;
    const CFilterProcessor::AttachedMessageMap* pAttached;
    std::string strStrict;  // the strict parts the check did not act on
    bool bDisagree = false;

    // `reading` of a text whose parser's parts stood at `snapshot`; places
    // in the log get `strPrefix` in front (the attached message's own).
    void Pair(const StrictReading& reading, bool bWhole, const CPartPlaceSnapshot& snapshot,
              const std::string& strPrefix, int nDepth);
};

bool Inside(const std::pair<std::size_t, std::size_t>& outer, const StrictPart& part) {
    return outer.first <= part.nStart && part.nEnd <= outer.second;
}

void Pairing::Pair(const StrictReading& reading, bool bWhole, const CPartPlaceSnapshot& snapshot,
                   const std::string& strPrefix, int nDepth) {
    if (!bWhole) {
        bDisagree = true;
        AppendCut(strStrict, strPrefix + "reading stopped at a limit");
    }
    // The places of the parts the check removed or moved.
    std::vector<std::pair<std::size_t, std::size_t>> gone;
    for (const PartReport* r = report.parts; r; r = r->next) {
        if (Gone(*r)) {
            if (const auto* pPlace = snapshot.Find(r->part)) {
                gone.push_back(*pPlace);
            }
        }
    }
    // The attached messages of this text the filter read: what lies inside
    // one is judged in that message's own text.
    std::vector<
        std::pair<std::pair<std::size_t, std::size_t>, const CFilterProcessor::AttachedMessage*>>
        messages;
    if (pAttached && nDepth < CFilterProcessor::ATTACHED_MESSAGE_MAX_DEPTH) {
        for (const auto& [pPart, attached] : *pAttached) {
            if (const auto* pPlace = snapshot.Find(pPart)) {
                messages.emplace_back(*pPlace, &attached);
            }
        }
    }
    for (const StrictPart& part : reading.parts) {
        bool bHandled = false;
        for (const auto& place : gone) {
            bHandled = bHandled || Inside(place, part);
        }
        for (const auto& [place, pMessage] : messages) {
            // The message part itself (its own place) is judged here.
            bHandled = bHandled || (Inside(place, part) &&
                                    (part.nStart != place.first || part.nEnd != place.second));
        }
        if (bHandled) {
            continue;
        }
        const Rule* pRule = rules.FindMatchingRule(part.Head(), pSet);
        if (pRule && (pRule->action == ACTION_REMOVE || pRule->action == ACTION_MOVE)) {
            bDisagree = true;
            std::string strNames;
            for (const std::string& strName : part.names) {
                strNames += (strNames.empty() ? "" : ", ") + strName;
            }
            AppendCut(strStrict, strPrefix + (part.strWhere.empty() ? "mail" : part.strWhere) +
                                     " " + strNames);
        }
    }
    for (const auto& [place, pMessage] : messages) {
        StrictReading inner;
        const bool bInnerWhole =
            MimeStrictRead(pMessage->text.data(), pMessage->text.size(), inner);
        if (!bInnerWhole && !inner.bLimited) {
            continue;  // not read strictly: the outer reading of it stands
        }
        Pair(inner, bInnerWhole, pMessage->places,
             strPrefix + "[" + std::to_string(place.first) + "].m:", nDepth + 1);
    }
}

}  // namespace

bool CheckMimeDisagreement(const char* pszPath, CRuleHelper& rules, const char* pszSet,
                           CCheckReport& report, const CPartPlaceSnapshot& snapshot,
                           const CFilterProcessor::AttachedMessageMap* pAttached) {
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
    std::string strParser;
    for (const PartReport* r = report.parts; r; r = r->next) {
        AppendCut(strParser, r->name && *r->name ? r->name : "-");
    }
    const std::uint32_t nMode = rules.m_nMatchMode;
    rules.m_nMatchMode = MATCH_ATTACHMENT;
    Pairing pairing{rules, pSet, report, pAttached, {}, false};
    try {
        pairing.Pair(reading, bWhole, snapshot, "", 0);
    } catch (const std::exception&) {
        pairing.bDisagree = true;  // not read through: nothing vouches for it
        AppendCut(pairing.strStrict, "out of memory");
    }
    rules.m_nMatchMode = nMode;
    if (!pairing.bDisagree) {
        return false;
    }
    report.status |= ST_MIME_DISAGREEMENT;
    infomsg("[MAILCHECK] [DISAGREEMENT] [strict: %s] [parser: %s]", pairing.strStrict.c_str(),
            strParser.c_str());
    return true;
}
