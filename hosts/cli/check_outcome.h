/*
 * check_outcome.h - the tool's own copy of one mail's check report.
 *
 * The library's CheckReport is valid only inside the job callback, on the
 * library's worker thread; CopyReport takes everything the tool prints out
 * of it there, so that the main thread can print it later. Texts the
 * library left null stay "absent" (has* flags / empty vectors), so the
 * JSON output can tell null from empty.
 *
 * LIMITS: OUTCOME_MAX_PARTS part records and OUTCOME_MAX_RULES rules per
 * list are copied; a report that holds more (only a broken one can, since
 * the parser limits the parts of a mail) is marked `truncated`.
 */
#ifndef MAILWARD_TOOLS_CHECK_OUTCOME_H
#define MAILWARD_TOOLS_CHECK_OUTCOME_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/console.h"
#include "common/library_loader.h"

constexpr std::size_t OUTCOME_MAX_PARTS = 100000;
constexpr std::size_t OUTCOME_MAX_RULES = 10000;

struct RuleInfo {
    std::optional<std::string> name;
    std::string text;
    bool isDefault = false;
    int action = 0;
    std::optional<std::string> targetDir;
    std::uint32_t userValue = 0;
};

struct PartInfo {
    bool wholeMail = false;  // the record of the mail as a whole (no part)
    std::string name;
    std::optional<std::string> targetPath;
    std::int32_t virusResult = 0;
    std::optional<std::string> virusName;
    std::optional<std::string> engineVersion;
    std::int32_t action = 0;
    std::vector<RuleInfo> rules;
};

struct MailOutcome {
    std::string source;
    std::string target;     // empty: in place
    bool received = false;  // the callback came
    bool refused = false;   // MAILWARD_check_mail returned -1
    std::int32_t result = 0;
    std::uint32_t errors = 0;
    std::int32_t virusResult = 0;
    std::uint32_t status = 0;
    std::uint32_t listValue = 0;
    bool modified = false;
    bool headerChanged = false;
    std::vector<RuleInfo> headerRules;
    std::vector<RuleInfo> ruleChain;
    std::vector<PartInfo> parts;
    bool truncated = false;
    bool hasHeader = false;              // the report carried the mail's header
    std::optional<std::string> subject;  // raw, as in the written mail
    std::optional<std::string> subjectDecoded;
    std::vector<std::string> antispam;  // X-ZANAntiSpam value lines
    std::vector<std::string> stamp;     // X-VaveRiz4Zan value lines (last field)
    std::vector<LogLine> log;           // info and error lines of the check
    std::string outputError;            // the private copy could not be made or moved
    double seconds = 0;                 // from queueing to callback
};

// Copies the report (inside the callback). `api` decodes the Subject.
void CopyReport(const MailwardApi& api, const CheckReport& report, MailOutcome& out);

// Outcome classes, for the exit status and the one-line verdict.
bool HasError(const MailOutcome& o);
// The engine stopped at a limit and nothing else went wrong (ERR_CHECK
// alone, with ST_ENGINE_LIMIT): the mail was not scanned whole.
bool StoppedAtLimit(const MailOutcome& o);
bool VirusFound(const MailOutcome& o);
// Something was found or changed beyond the routine engine stamp: a virus,
// a status bit (spam list, header rule, part rule, MIME disagreement) or an
// action on a part.
bool FoundOrChanged(const MailOutcome& o);
// The rules that acted: the report's rule chain without a lone default rule.
std::vector<const RuleInfo*> RulesThatActed(const MailOutcome& o);

// Names of bits and codes.
std::vector<std::string> ErrorNames(std::uint32_t errors);
std::vector<std::string> StatusNames(std::uint32_t status);
const char* VirusResultName(std::int32_t result);      // "not checked", "clean", "found"
const char* VirusResultConstant(std::int32_t result);  // "VIRUS_CLEAN", ...
std::string PartActionName(std::int32_t action);       // "-", "removed", ...

#endif
