/*
 * report_output.h - how a checked mail is shown: a text block for people
 * and one JSON object per line for machines.
 *
 * TEXT: a verdict line in the manner of virus scanners,
 *     PATH: OK | PATH: NAME[, NAME] FOUND | PATH: FILTERED | PATH: ERROR (BITS)
 *     | PATH: LIMIT (...)   the engine stopped at a limit, nothing else failed
 * followed (unless --brief) by indented detail lines: result and error
 * bits, virus result and names, status bits and spam-list value, what was
 * written where, the Subject and X-ZANAntiSpam as written, the rules that
 * acted, and a table of the parts (name, action, virus, where a moved part
 * went, the rules that acted on it).
 *
 * JSON: {"type":"mail", "source", "target", "verdict", "result", "errors"
 * (names), "errorBits", "virusResult", "virusNames", "status" (names),
 * "statusBits", "listValue", "modified", "headerChanged", "subject",
 * "subjectDecoded", "antispam", "stamp", "headerRules", "ruleChain",
 * "rulesActed", "parts" [{"name", "wholeMail", "action", "actionName",
 * "virusResult", "virusName", "engineVersion", "targetPath", "rules"}],
 * "log" [{"level","line"}], "seconds"}, and a last line {"type":"summary",
 * ...}. Rules are {"name", "text", "action", "actionName", "default",
 * "targetDir", "line"} (line: the rules-file line, the rule's host value).
 */
#ifndef MAILWARD_TOOLS_REPORT_OUTPUT_H
#define MAILWARD_TOOLS_REPORT_OUTPUT_H

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "check_outcome.h"

// Rows as columns padded to their widest cell, each line led by `indent`.
std::string TextTable(const std::vector<std::vector<std::string>>& rows, const char* indent);

// "OK", "FOUND", "FILTERED", "LIMIT" or "ERROR".
const char* Verdict(const MailOutcome& o);
// The names of the viruses found, each once, in part order.
std::vector<std::string> VirusNames(const MailOutcome& o);

// One rule as JSON, the same keys wherever a rule is shown: name, text,
// action, actionName, default, targetDir, line, and prepend where the rule
// comes from a rules file (`prepend` given).
std::string RuleJson(const RuleInfo& r, std::optional<bool> prepend = std::nullopt);

std::string FormatMailText(const MailOutcome& o, bool brief);
std::string FormatMailJson(const MailOutcome& o);

struct RunSummary {
    std::size_t mails = 0;
    std::size_t clean = 0;
    std::size_t found = 0;     // viruses
    std::size_t filtered = 0;  // found or changed without a virus
    std::size_t limits = 0;    // stopped at an engine limit (StoppedAtLimit)
    std::size_t errors = 0;
    double seconds = 0;
    bool engine = false;
    std::string engineVersion;
};

void AddToSummary(RunSummary& s, const MailOutcome& o);
std::string FormatSummaryText(const RunSummary& s);
std::string FormatSummaryJson(const RunSummary& s);

#endif
