/*
 * check_outcome.cpp - copying a CheckReport inside the callback, and the
 * names of its bits and codes.
 */
#include "check_outcome.h"

#include <cstdio>

#include "common/text.h"

namespace {

constexpr int FIELD_SUBJECT = MAILHDR_FLD_SUBJECT;
constexpr int FIELD_ANTISPAM = MAILHDR_FLD_ANTISPAM;
constexpr int FIELD_AVSTAMP = MAILHDR_FLD_AVSTAMP;

std::optional<std::string> Text(const char* s) {
    if (s == nullptr)
        return std::nullopt;
    return std::string(s);
}

RuleInfo CopyRule(const Rule& r) {
    RuleInfo info;
    info.name = Text(r.name);
    info.text = r.text != nullptr ? r.text : "";
    info.isDefault = r.is_default != 0;
    info.action = r.action;
    info.targetDir = Text(r.target_dir);
    info.userValue = r.user_value;
    return info;
}

bool CopyRuleSet(const PtrSet& set, std::vector<RuleInfo>& out) {
    if (set.first == nullptr)
        return true;
    if (set.value != nullptr)
        out.push_back(CopyRule(*static_cast<const Rule*>(set.value)));
    for (const PtrSetNode* n = set.next; n != nullptr; n = n->next) {
        if (out.size() >= OUTCOME_MAX_RULES)
            return false;
        if (n->value != nullptr)
            out.push_back(CopyRule(*static_cast<const Rule*>(n->value)));
    }
    return true;
}

std::vector<std::string> Lines(const stringlist* l) {
    std::vector<std::string> out;
    for (; l != nullptr; l = l->next)
        out.emplace_back(l->str != nullptr ? l->str : "");
    return out;
}

}  // namespace

void CopyReport(const MailwardApi& api, const CheckReport& report, MailOutcome& out) {
    out.result = report.result;
    out.errors = report.errors;
    out.virusResult = report.virusResult;
    out.status = report.status;
    out.listValue = report.listValue;
    out.modified = report.modified != 0;
    out.headerChanged = report.headerChanged != 0;
    if (!CopyRuleSet(report.headerRules, out.headerRules))
        out.truncated = true;
    for (const PartReport* p = report.parts; p != nullptr; p = p->next) {
        if (out.parts.size() >= OUTCOME_MAX_PARTS) {
            out.truncated = true;
            break;
        }
        PartInfo info;
        info.wholeMail = p->part == nullptr;
        info.name = p->name != nullptr ? p->name : "unnamed";
        info.targetPath = Text(p->targetPath);
        info.virusResult = p->virusResult;
        info.virusName = Text(p->virusName);
        info.engineVersion = Text(p->engineVersion);
        info.action = p->action;
        if (!CopyRuleSet(p->rules, info.rules))
            out.truncated = true;
        out.parts.push_back(std::move(info));
    }
    // The chain is linked through the rules themselves; a bound keeps a
    // broken chain from looping.
    for (const Rule* r = report.ruleChain; r != nullptr; r = r->report_next) {
        if (out.ruleChain.size() >= OUTCOME_MAX_RULES) {
            out.truncated = true;
            break;
        }
        out.ruleChain.push_back(CopyRule(*r));
    }
    if (report.header != nullptr) {
        out.hasHeader = true;
        const stringlist* subject = api.mailhdr_getfldvalue(report.header, FIELD_SUBJECT);
        if (subject != nullptr) {
            out.subject = kit::join(Lines(subject), " ");
            char* decoded = api.MAILWARD_DecodeHeaderData(out.subject->c_str());
            if (decoded != nullptr) {
                out.subjectDecoded = std::string(decoded);
                api.MAILWARD_FreeData(decoded);
            }
        }
        out.antispam = Lines(api.mailhdr_getfldvalue(report.header, FIELD_ANTISPAM));
        // The last stamp is the one this check added.
        const mailhdr_fld* stamp = report.header->flds[FIELD_AVSTAMP];
        while (stamp != nullptr && stamp->next != nullptr)
            stamp = stamp->next;
        if (stamp != nullptr)
            out.stamp = Lines(stamp->lines);
    }
}

bool HasError(const MailOutcome& o) {
    return o.refused || !o.received || o.result != 0 || o.errors != 0 || !o.outputError.empty();
}

bool StoppedAtLimit(const MailOutcome& o) {
    return o.received && !o.refused && o.errors == ERR_CHECK && (o.status & ST_ENGINE_LIMIT) != 0;
}

bool VirusFound(const MailOutcome& o) {
    return o.virusResult == VIRUS_FOUND;
}

bool FoundOrChanged(const MailOutcome& o) {
    if (VirusFound(o) || o.status != 0)
        return true;
    for (const PartInfo& p : o.parts) {
        if (p.action != 0)
            return true;
    }
    return false;
}

std::vector<const RuleInfo*> RulesThatActed(const MailOutcome& o) {
    std::vector<const RuleInfo*> out;
    for (const RuleInfo& r : o.ruleChain) {
        if (!r.isDefault)
            out.push_back(&r);
    }
    return out;
}

namespace {

struct BitName {
    std::uint32_t bit;
    const char* name;
};

// The names of the set bits in table order; bits without a name as one hex
// number at the end.
template <std::size_t N>
std::vector<std::string> BitNames(std::uint32_t bits, const BitName (&table)[N]) {
    std::vector<std::string> out;
    std::uint32_t rest = bits;
    for (const BitName& b : table) {
        if ((bits & b.bit) != 0) {
            out.emplace_back(b.name);
            rest &= ~b.bit;
        }
    }
    if (rest != 0) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%x", static_cast<unsigned>(rest));
        out.emplace_back(buf);
    }
    return out;
}

}  // namespace

std::vector<std::string> ErrorNames(std::uint32_t errors) {
    static const BitName kBits[] = {{ERR_LOAD, "ERR_LOAD"},
                                    {ERR_CHECK, "ERR_CHECK"},
                                    {ERR_PART_ACTION, "ERR_PART_ACTION"},
                                    {ERR_SAVE, "ERR_SAVE"}};
    return BitNames(errors, kBits);
}

std::vector<std::string> StatusNames(std::uint32_t status) {
    static const BitName kBits[] = {{ST_SPAM_LISTED, "ST_SPAM_LISTED"},
                                    {ST_HEADER_RULE, "ST_HEADER_RULE"},
                                    {ST_PART_RULE, "ST_PART_RULE"},
                                    {ST_MIME_DISAGREEMENT, "ST_MIME_DISAGREEMENT"},
                                    {ST_ENGINE_LIMIT, "ST_ENGINE_LIMIT"}};
    return BitNames(status, kBits);
}

const char* VirusResultName(std::int32_t result) {
    switch (result) {
        case VIRUS_NOT_CHECKED:
            return "not checked";
        case VIRUS_CLEAN:
            return "clean";
        case VIRUS_FOUND:
            return "found";
        default:
            return "unknown";
    }
}

const char* VirusResultConstant(std::int32_t result) {
    switch (result) {
        case VIRUS_NOT_CHECKED:
            return "VIRUS_NOT_CHECKED";
        case VIRUS_CLEAN:
            return "VIRUS_CLEAN";
        case VIRUS_FOUND:
            return "VIRUS_FOUND";
        default:
            return "unknown";
    }
}

std::string PartActionName(std::int32_t action) {
    switch (action) {
        case 0:
            return "-";
        case PART_RENAMED:
            return "renamed";
        case PART_KEYWORD:
            return "keyword";
        case PART_MOVED:
            return "moved";
        case PART_REMOVED:
            return "removed";
        case PART_MAIL_MARKED:
            return "mail marked";
        default:
            return "code " + std::to_string(action);
    }
}
