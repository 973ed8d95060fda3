/*
 * rules_file.h - the operator's rules file: named rule sets with their
 * default actions and rules, parsed whole before anything reaches the
 * library.
 *
 * FORMAT (one entry per line; share/examples/rules.conf is a commented example):
 *
 *     # comment lines start with '#' or ';'; blank lines are ignored
 *     [set default]                      a rule set, named as --set names it
 *     default = none                     action of the set's default rule
 *     rule exe     = remove | | | attachment: *.exe
 *     rule scripts = move | quarantine | | attachment: *.js
 *     rule viagra  = keyword-mark | | prepend | body: viagra
 *
 *     [set header]
 *     rule spammer = mark-subject | | | From: *@spam.example
 *
 *   rule NAME = ACTION | DIR | FLAGS | TEXT
 *     NAME    the rule's name, unique within its set, without blanks; it is
 *             what reports and the X-ZANAntiSpam entries show.
 *     ACTION  a number or its name:
 *                1 exception     keyword exception (ends the keyword check)
 *                3 mark          mark the whole mail (also 8)
 *                4 keyword-mark  keyword entry and Subject mark (also 6)
 *                5 keyword       keyword entry only (also 7)
 *                6 mark-subject  for header rules: entry and Subject mark
 *                9 remove        remove the part, leave a notice
 *               10 move          move the part into DIR, leave a notice
 *               11 none          only record that the rule applied
 *             Header rules: 1 adds the rule's entry and ends the rule stage;
 *             any other action switches the spam-list check off.
 *     DIR     target folder of a move (required for move, refused for any
 *             other action); a relative folder is taken below DataDir. It
 *             cannot hold '|'.
 *     FLAGS   empty, or "prepend": the rule is tried before the rules
 *             given earlier in its set (otherwise rules are tried in the
 *             order of the file).
 *     TEXT    the rule text: header lines separated by ';'. "attachment:
 *             PATTERN" matches a part's file name or the name of a member
 *             of an archive part (nested archives too), "body: WORDS" words
 *             in a part's text, "*: PATTERN" any header line, and any other
 *             field name (From, Subject, ...) that header field. Kinds that
 *             judge a part by its bytes: "content: PATTERN" the detected
 *             (libmagic MIME) type of the part or of an archive member,
 *             "attachment-encrypted: yes" an encrypted archive or
 *             document, "attachment-unreadable: yes" an archive that could
 *             not be listed whole or an attached message that cannot be
 *             read, "attachment-mismatch: yes" a program under a name that
 *             is not a program's; the last three take no other value (a
 *             line with another is refused). Patterns use *, ? and [...],
 *             letter case ignored. TEXT is the rest of the line and may
 *             hold '|' but not ';' inside a value.
 *   default = ACTION   the action of the set's default rule (the rule the
 *             header check gives when no rule matches, and the rule a report
 *             names when no rule acted); without it the library's default, 1.
 *
 * Every rule is given the number of its line as its host value, so that a
 * report can point back to the file.
 *
 * ERRORS: every bad line is reported as "FILE:LINE: reason" and the whole
 * file is refused: nothing is added to the library unless every line is
 * good. The rule texts are checked with the library's own header parser.
 *
 * LIMITS: RULES_MAX_FILE bytes, RULES_MAX_LINE characters per line,
 * RULES_MAX_RULES rules, RULES_MAX_ERRORS errors reported.
 */
#ifndef MAILWARD_TOOLS_RULES_FILE_H
#define MAILWARD_TOOLS_RULES_FILE_H

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/library_loader.h"

constexpr std::size_t RULES_MAX_FILE = 4 * 1024 * 1024;
constexpr std::size_t RULES_MAX_LINE = 16384;
constexpr std::size_t RULES_MAX_RULES = 100000;
constexpr std::size_t RULES_MAX_ERRORS = 50;

// The library's own default action of a new set.
constexpr int LIBRARY_DEFAULT_ACTION = 1;

struct RuleSetEntry {
    std::string name;
    int line = 0;
    bool hasDefault = false;
    int defaultAction = LIBRARY_DEFAULT_ACTION;
    int defaultLine = 0;
};

struct RuleEntry {
    std::string set;
    std::string name;
    int action = 0;
    std::string dir;  // empty: none
    bool prepend = false;
    std::string text;
    int line = 0;
};

struct RuleBook {
    std::vector<RuleSetEntry> sets;  // in order of the file
    std::vector<RuleEntry> rules;    // in order of the file
    const RuleSetEntry* FindSet(std::string_view name) const;
};

struct RulesError {
    int line = 0;  // 0: the file as a whole
    std::string reason;
};

// Checks one rule text; returns "" when it is good, else the reason.
using RuleTextCheck = std::function<std::string(const std::string& text)>;

// Parses a whole rules text. Returns true when it has no error; `errors`
// gets every error found (up to RULES_MAX_ERRORS) in line order.
bool ParseRules(std::string_view text, const RuleTextCheck& check, RuleBook& book,
                std::vector<RulesError>& errors);

// Reads and parses a rules file; false with `errors` when it cannot be read
// or has a bad line.
bool LoadRulesFile(const std::string& path, const RuleTextCheck& check, RuleBook& book,
                   std::vector<RulesError>& errors);

// "FILE:LINE: reason" (or "FILE: reason" for the file as a whole).
std::string FormatRulesError(const std::string& file, const RulesError& error);

// The action of a number or name as written in the file, or -1.
int ParseAction(std::string_view word);
// The name of an action code ("" for a code without one).
const char* ActionName(int action);

// The rule text check done by the library's header parser: the text is
// split at ';' as the library splits it and every piece must be a header
// line (field name and colon, or a continuation of the line before).
std::string CheckRuleTextWithLibrary(const MailwardApi& api, const std::string& text);

// The example rule set built into the program (share/examples/rules.conf) and the
// name under which errors in it are reported.
extern const char* const EMBEDDED_RULES;
extern const char* const EMBEDDED_RULES_NAME;

// Adds the sets and rules to the library. A relative move folder is taken
// below `dataDir`; move folders are made when missing (`makeDirs`). On
// failure every rule is cleared again and `error` says which line failed.
bool ApplyRules(const MailwardApi& api, const RuleBook& book, const std::string& dataDir,
                bool makeDirs, RulesError& error);

// The move folder of a rule as the library gets it.
std::string ResolveRuleDir(const std::string& dir, const std::string& dataDir);

#endif
