/*
 * report_output.cpp - text and JSON forms of a checked mail and of a run.
 */
#include "report_output.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "json_text.h"
#include "common/rules_file.h"
#include "common/text.h"

namespace {

// Columns of the part table are cut at this width so that one long name
// does not push the table apart; the JSON form keeps every name whole.
constexpr std::size_t TABLE_CELL_MAX = 40;

// Control characters of names from a mail are shown as '?', so that no
// mail can move the cursor of the operator's terminal.
std::string Printable(const std::string& s) {
    std::string out = s;
    for (char& c : out) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F)
            c = '?';
    }
    return out;
}

std::string Cell(const std::string& s) {
    std::string p = Printable(s);
    if (p.size() > TABLE_CELL_MAX)
        p = p.substr(0, TABLE_CELL_MAX - 3) + "...";
    return p;
}

std::string RuleLabel(const RuleInfo& r) {
    std::string label = r.isDefault ? "default" : (r.name ? *r.name : r.text);
    const char* an = ActionName(r.action);
    label += " (" + std::string(*an != '\0' ? an : "action") + " " + std::to_string(r.action) + ")";
    return Printable(label);
}

std::string RuleNames(const std::vector<RuleInfo>& rules) {
    std::vector<std::string> names;
    for (const RuleInfo& r : rules)
        names.push_back(r.isDefault ? "default" : (r.name ? *r.name : r.text));
    return names.empty() ? "-" : kit::join(names, ",");
}

std::string PartVirus(const PartInfo& p) {
    if (p.virusResult == VIRUS_FOUND)
        return p.virusName && !p.virusName->empty() ? *p.virusName : "found";
    return VirusResultName(p.virusResult);
}

// What the check did to the mail file, told from the report: the flags
// alone cannot say it, since the output step sets `modified` also after a
// header-only rewrite.
std::string WrittenText(const MailOutcome& o) {
    if (!o.received)
        return "-";
    const std::string where = o.target.empty() ? "in place" : "to " + o.target;
    if ((o.errors & ERR_LOAD) != 0)
        return "not written: the mail did not load";
    if ((o.errors & ERR_SAVE) != 0)
        return where + ": saving failed (ERR_SAVE)";
    if (VirusFound(o) &&
        std::any_of(o.parts.begin(), o.parts.end(), [](const PartInfo& p) { return p.wholeMail; }))
        return where + ": the mail was replaced by a virus notice";
    if (std::any_of(o.parts.begin(), o.parts.end(),
                    [](const PartInfo& p) { return p.action != 0 && p.action != PART_KEYWORD; }))
        return where + ": parts changed, mail rebuilt";
    if (o.headerChanged)
        return where + ": header changed";
    return o.target.empty() ? "unchanged" : where + ": copied unchanged";
}

}  // namespace

std::string RuleJson(const RuleInfo& r, std::optional<bool> prepend) {
    JsonObject j;
    j.AddStringOrNull("name", r.name ? &*r.name : nullptr);
    j.AddString("text", r.text);
    j.AddInt("action", r.action);
    j.AddString("actionName", ActionName(r.action));
    j.AddBool("default", r.isDefault);
    j.AddStringOrNull("targetDir", r.targetDir ? &*r.targetDir : nullptr);
    j.AddInt("line", r.userValue);
    if (prepend)
        j.AddBool("prepend", *prepend);
    return j.Text();
}

namespace {

std::string RulesJson(const std::vector<RuleInfo>& rules) {
    JsonArray a;
    for (const RuleInfo& r : rules)
        a.AddRaw(RuleJson(r));
    return a.Text();
}

std::string StringsJson(const std::vector<std::string>& items) {
    JsonArray a;
    for (const std::string& s : items)
        a.AddString(s);
    return a.Text();
}

}  // namespace

std::string TextTable(const std::vector<std::vector<std::string>>& rows, const char* indent) {
    std::vector<std::size_t> width;
    for (const auto& row : rows) {
        width.resize(std::max(width.size(), row.size()), 0);
        for (std::size_t i = 0; i < row.size(); ++i)
            width[i] = std::max(width[i], row[i].size());
    }
    std::string out;
    for (const auto& row : rows) {
        std::string line = indent;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size())
                line += std::string(width[i] - row[i].size() + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        out += line + "\n";
    }
    return out;
}

std::vector<std::string> VirusNames(const MailOutcome& o) {
    std::vector<std::string> names;
    for (const PartInfo& p : o.parts) {
        if (p.virusResult == VIRUS_FOUND && p.virusName && !p.virusName->empty() &&
            std::find(names.begin(), names.end(), *p.virusName) == names.end())
            names.push_back(*p.virusName);
    }
    return names;
}

const char* Verdict(const MailOutcome& o) {
    if (StoppedAtLimit(o))
        return "LIMIT";
    if (HasError(o))
        return "ERROR";
    if (VirusFound(o))
        return "FOUND";
    if (FoundOrChanged(o))
        return "FILTERED";
    return "OK";
}

std::string FormatMailText(const MailOutcome& o, bool brief) {
    std::string out = Printable(o.source) + ": ";
    const std::vector<std::string> viruses = VirusNames(o);
    const std::string verdict = Verdict(o);
    if (!o.outputError.empty())
        out += "ERROR (" + Printable(o.outputError) + ")\n" + Printable(o.source) + ": ";
    if (o.refused) {
        out += "ERROR (the library refused the job)\n";
        return out;
    }
    if (!o.received) {
        out += "ERROR (no report came back)\n";
        return out;
    }
    if (verdict == "ERROR")
        out += "ERROR (" + kit::join(ErrorNames(o.errors), ", ") + ")";
    else if (verdict == "LIMIT")
        out += "LIMIT (the engine stopped at a limit: not scanned whole)";
    else if (verdict == "FOUND")
        out += (viruses.empty() ? std::string("virus") : Printable(kit::join(viruses, ", "))) +
               " FOUND";
    else
        out += verdict;
    if ((verdict == "ERROR" || verdict == "LIMIT") && VirusFound(o))
        out += ", " +
               (viruses.empty() ? std::string("virus") : Printable(kit::join(viruses, ", "))) +
               " FOUND";
    out += "\n";
    if (brief)
        return out;

    std::vector<std::vector<std::string>> info;
    const std::vector<std::string> errs = ErrorNames(o.errors);
    info.push_back(
        {"result", std::to_string(o.result) +
                       (errs.empty() ? " (no errors)" : " (" + kit::join(errs, ", ") + ")")});
    std::string virus = VirusResultName(o.virusResult);
    if (!viruses.empty())
        virus += ": " + Printable(kit::join(viruses, ", "));
    info.push_back({"virus", virus});
    const std::vector<std::string> st = StatusNames(o.status);
    std::string status = st.empty() ? "-" : kit::join(st, ", ");
    if ((o.status & ST_SPAM_LISTED) != 0)
        status += " (spam-list value " + std::to_string(o.listValue) + ")";
    info.push_back({"status", status});
    if ((o.status & ST_ENGINE_LIMIT) != 0)
        info.push_back({"limit",
                        "the engine stopped at one of its limits; what lies behind it was not "
                        "scanned (the engine's log line names the limit or what it left out)"});
    if ((o.status & ST_MIME_DISAGREEMENT) != 0)
        info.push_back({"disagreement",
                        "mail clients may show an attachment the filter did not "
                        "see (the parser and a strict reading disagree)"});
    info.push_back({"written", Printable(WrittenText(o))});
    if (o.subject) {
        std::string subject = Printable(*o.subject);
        if (o.subjectDecoded && *o.subjectDecoded != *o.subject)
            subject += "  (decoded: " + Printable(*o.subjectDecoded) + ")";
        info.push_back({"subject", subject});
    }
    for (std::size_t i = 0; i < o.antispam.size(); ++i)
        info.push_back({i == 0 ? "antispam" : "", Printable(o.antispam[i])});
    std::vector<std::string> header;
    for (const RuleInfo& r : o.headerRules)
        header.push_back(RuleLabel(r));
    if (!header.empty())
        info.push_back({"header rule", kit::join(header, ", ")});
    std::vector<std::string> acted;
    for (const RuleInfo* r : RulesThatActed(o))
        acted.push_back(RuleLabel(*r));
    info.push_back({"rules", acted.empty() ? "none acted" : kit::join(acted, ", ")});
    out += TextTable(info, "  ");

    if (!o.parts.empty()) {
        std::vector<std::vector<std::string>> rows;
        rows.push_back({"#", "part", "action", "virus", "moved to", "rules"});
        int n = 0;
        for (const PartInfo& p : o.parts) {
            const std::string name =
                p.wholeMail ? "(whole mail)" : (p.name.empty() ? "(no name)" : p.name);
            rows.push_back({std::to_string(++n), Cell(name), PartActionName(p.action),
                            Cell(PartVirus(p)),
                            p.targetPath && !p.targetPath->empty() ? Printable(*p.targetPath) : "-",
                            Cell(RuleNames(p.rules))});
        }
        out += TextTable(rows, "    ");
    }
    if (o.truncated)
        out += "  (the report held more records than are shown)\n";
    return out;
}

std::string FormatMailJson(const MailOutcome& o) {
    JsonObject j;
    j.AddString("type", "mail");
    j.AddString("source", o.source);
    if (o.target.empty())
        j.AddRaw("target", "null");
    else
        j.AddString("target", o.target);
    j.AddString("verdict", Verdict(o));
    j.AddStringOrNull("outputError", o.outputError.empty() ? nullptr : &o.outputError);
    j.AddBool("received", o.received);
    j.AddInt("result", o.result);
    j.AddRaw("errors", StringsJson(ErrorNames(o.errors)));
    j.AddInt("errorBits", o.errors);
    j.AddString("virusResult", VirusResultConstant(o.virusResult));
    j.AddRaw("virusNames", StringsJson(VirusNames(o)));
    j.AddRaw("status", StringsJson(StatusNames(o.status)));
    j.AddInt("statusBits", o.status);
    j.AddBool("mimeDisagreement", (o.status & ST_MIME_DISAGREEMENT) != 0);
    j.AddInt("listValue", o.listValue);
    j.AddBool("modified", o.modified);
    j.AddBool("headerChanged", o.headerChanged);
    j.AddStringOrNull("subject", o.subject ? &*o.subject : nullptr);
    j.AddStringOrNull("subjectDecoded", o.subjectDecoded ? &*o.subjectDecoded : nullptr);
    j.AddRaw("antispam", StringsJson(o.antispam));
    j.AddRaw("stamp", StringsJson(o.stamp));
    j.AddRaw("headerRules", RulesJson(o.headerRules));
    j.AddRaw("ruleChain", RulesJson(o.ruleChain));
    JsonArray acted;
    for (const RuleInfo* r : RulesThatActed(o))
        acted.AddRaw(RuleJson(*r));
    j.AddRaw("rulesActed", acted.Text());
    JsonArray parts;
    for (const PartInfo& p : o.parts) {
        JsonObject pj;
        pj.AddString("name", p.name);
        pj.AddBool("wholeMail", p.wholeMail);
        pj.AddInt("action", p.action);
        pj.AddString("actionName", PartActionName(p.action));
        pj.AddString("virusResult", VirusResultConstant(p.virusResult));
        pj.AddStringOrNull("virusName", p.virusName ? &*p.virusName : nullptr);
        pj.AddStringOrNull("engineVersion", p.engineVersion ? &*p.engineVersion : nullptr);
        pj.AddStringOrNull("targetPath", p.targetPath ? &*p.targetPath : nullptr);
        pj.AddRaw("rules", RulesJson(p.rules));
        parts.AddRaw(pj.Text());
    }
    j.AddRaw("parts", parts.Text());
    JsonArray log;
    for (const LogLine& l : o.log) {
        JsonObject lj;
        lj.AddString("level", LogLevelName(l.level));
        lj.AddString("line", l.text);
        log.AddRaw(lj.Text());
    }
    j.AddRaw("log", log.Text());
    j.AddBool("truncated", o.truncated);
    char secs[32];
    std::snprintf(secs, sizeof secs, "%.6f", o.seconds);
    j.AddRaw("seconds", secs);
    return j.Text() + "\n";
}

void AddToSummary(RunSummary& s, const MailOutcome& o) {
    ++s.mails;
    if (StoppedAtLimit(o))
        ++s.limits;
    else if (HasError(o))
        ++s.errors;
    else if (VirusFound(o))
        ++s.found;
    else if (FoundOrChanged(o))
        ++s.filtered;
    else
        ++s.clean;
}

std::string FormatSummaryText(const RunSummary& s) {
    char rate[64];
    std::snprintf(rate, sizeof rate, "%.3f s (%.1f mails/s)", s.seconds,
                  s.seconds > 0 ? static_cast<double>(s.mails) / s.seconds : 0.0);
    std::vector<std::vector<std::string>> rows = {
        {"Mails checked:", std::to_string(s.mails)},
        {"Clean:", std::to_string(s.clean)},
        {"Viruses found:", std::to_string(s.found)},
        {"Filtered:", std::to_string(s.filtered)},
        {"At a limit:", std::to_string(s.limits)},
        {"Errors:", std::to_string(s.errors)},
        {"Engine:", s.engine ? Printable(s.engineVersion) : "off"},
        {"Time:", rate},
    };
    return "\n----------- SUMMARY -----------\n" + TextTable(rows, "");
}

std::string FormatSummaryJson(const RunSummary& s) {
    JsonObject j;
    j.AddString("type", "summary");
    j.AddInt("mails", static_cast<long long>(s.mails));
    j.AddInt("clean", static_cast<long long>(s.clean));
    j.AddInt("found", static_cast<long long>(s.found));
    j.AddInt("filtered", static_cast<long long>(s.filtered));
    j.AddInt("limits", static_cast<long long>(s.limits));
    j.AddInt("errors", static_cast<long long>(s.errors));
    j.AddBool("engine", s.engine);
    char secs[32];
    std::snprintf(secs, sizeof secs, "%.6f", s.seconds);
    j.AddRaw("seconds", secs);
    return j.Text() + "\n";
}
