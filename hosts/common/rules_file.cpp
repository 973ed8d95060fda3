/*
 * rules_file.cpp - parser of the rules file (format in rules_file.h) and
 * the hand-over of a parsed rule book to the library.
 *
 * The parser takes the whole text first and only then, when not one line
 * was bad, is anything added: an operator who fixes a typo never finds half
 * of the old and half of the new rules in force.
 */
#include "common/rules_file.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>
#include <unordered_map>

#include "mailward.h"
#include "qorcsock/qorcsock.h"
#include "common/text.h"

namespace fs = std::filesystem;

namespace {

struct ActionNameEntry {
    int action;
    const char* name;
};

// The names the file may use for the library's action codes. A name given
// to two codes stands for the first of them when read.
const ActionNameEntry kActionNames[] = {
    {ACTION_KEYWORD_EXCEPTION, "exception"},
    {ACTION_MARK_MAIL, "mark"},
    {ACTION_KEYWORD_MARK, "keyword-mark"},
    {ACTION_KEYWORD, "keyword"},
    {ACTION_MARK_SUBJECT, "mark-subject"},
    {ACTION_KEYWORD_ALT, "keyword"},
    {ACTION_MARK_MAIL_ALT, "mark"},
    {ACTION_REMOVE, "remove"},
    {ACTION_MOVE, "move"},
    {ACTION_NONE, "none"},
};

// Codes the filter understands, the named ones; ACTION_RESERVED and
// everything outside 1..11 would only make the library log "invalid action
// code" for every matching part.
bool UsableAction(long value) {
    for (const auto& e : kActionNames) {
        if (e.action == value)
            return true;
    }
    return false;
}

// Action numbers have at most this many digits (the largest usable is 11).
constexpr std::size_t ACTION_DIGITS_MAX = 3;

// Blanks and a CR left by a CR LF line end surround keys and values (lines
// are cut at their LF already).
std::string_view Trim(std::string_view s) {
    return kit::trim(s);
}

// "keyword" followed by blanks and the rest: the rest, or npos-like empty
// optional when the line does not start so.
bool TakeKeyword(std::string_view line, std::string_view keyword, std::string_view& rest) {
    if (line.size() <= keyword.size() ||
        !kit::equals_nocase(line.substr(0, keyword.size()), keyword) ||
        !kit::is_wsp(line[keyword.size()]))
        return false;
    rest = Trim(line.substr(keyword.size()));
    return true;
}

std::string Quote(std::string_view s) {
    return "'" + std::string(s) + "'";
}

std::string ActionHelp() {
    std::string help = "use 1, 3 to 11 or one of";
    for (const auto& e : kActionNames)
        help += std::string(" ") + e.name;
    return help;
}

class Parser {
  public:
    Parser(const RuleTextCheck& check, RuleBook& book, std::vector<RulesError>& errors)
        : m_check(check), m_book(book), m_errors(errors) {}

    void Line(int number, std::string_view raw) {
        m_line = number;
        if (raw.size() > RULES_MAX_LINE) {
            Error("line longer than " + std::to_string(RULES_MAX_LINE) + " characters");
            return;
        }
        std::string_view line = Trim(raw);
        if (line.empty() || line.front() == '#' || line.front() == ';')
            return;
        if (line.front() == '[') {
            Section(line);
            return;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) {
            Error(
                "expected [set NAME], default = ACTION or rule NAME = ACTION | DIR | FLAGS | "
                "TEXT");
            return;
        }
        const std::string_view key = Trim(line.substr(0, eq));
        const std::string_view value = Trim(line.substr(eq + 1));
        std::string_view ruleName;
        if (kit::equals_nocase(key, "default")) {
            Default(value);
        } else if (TakeKeyword(key, "rule", ruleName)) {
            Rule(ruleName, value);
        } else if (kit::equals_nocase(key, "rule")) {
            Error("rule without a name (rule NAME = ...)");
        } else {
            Error("unknown key " + Quote(key) + " (expected default or rule NAME)");
        }
    }

  private:
    void Error(std::string reason) {
        if (m_errors.size() < RULES_MAX_ERRORS)
            m_errors.push_back({m_line, std::move(reason)});
    }

    // A section line that is bad still opens a section: its entries are
    // checked against a scratch set, so that one typo in a section line
    // gives one error and not one more for every rule below it.
    void Section(std::string_view line) {
        m_current = BAD_SECTION;
        m_scratch = RuleSetEntry{};
        if (line.back() != ']') {
            Error("section line without closing ']'");
            return;
        }
        const std::string_view inner = Trim(line.substr(1, line.size() - 2));
        std::string_view name;
        if (!TakeKeyword(inner, "set", name)) {
            Error("unknown section " + Quote(line) + " (expected [set NAME])");
            return;
        }
        if (name.empty()) {
            Error("empty set name");
            return;
        }
        if (const auto old = m_setLines.find(std::string(name)); old != m_setLines.end()) {
            Error("set " + Quote(name) + " is already defined on line " +
                  std::to_string(old->second));
            m_scratch.name = std::string(name);
            return;
        }
        RuleSetEntry set;
        set.name = std::string(name);
        set.line = m_line;
        m_setLines.emplace(set.name, m_line);
        m_book.sets.push_back(std::move(set));
        m_current = static_cast<int>(m_book.sets.size()) - 1;
    }

    RuleSetEntry* CurrentSet(const char* what) {
        if (m_current == BAD_SECTION)
            return &m_scratch;
        if (m_current < 0) {
            Error(std::string(what) + " outside a [set NAME] section");
            return nullptr;
        }
        return &m_book.sets[static_cast<std::size_t>(m_current)];
    }

    void Default(std::string_view value) {
        RuleSetEntry* set = CurrentSet("default");
        if (set == nullptr)
            return;
        const int action = ParseAction(value);
        if (action < 0) {
            Error("unknown action " + Quote(value) + " (" + ActionHelp() + ")");
            return;
        }
        if (set->hasDefault) {
            Error("the default action of set " + Quote(set->name) + " is already given on line " +
                  std::to_string(set->defaultLine));
            return;
        }
        set->hasDefault = true;
        set->defaultAction = action;
        set->defaultLine = m_line;
    }

    void Rule(std::string_view name, std::string_view value) {
        RuleSetEntry* set = CurrentSet("rule");
        if (set == nullptr)
            return;
        if (name.find_first_of(" \t") != std::string_view::npos) {
            Error("rule name " + Quote(name) + " holds a blank");
            return;
        }
        // ACTION | DIR | FLAGS | TEXT: the text is the rest after the third
        // bar, so that it may hold bars itself.
        std::string_view fields[4];
        std::string_view rest = value;
        for (int i = 0; i < 3; ++i) {
            const std::size_t bar = rest.find('|');
            if (bar == std::string_view::npos) {
                Error("expected ACTION | DIR | FLAGS | TEXT, found " + std::to_string(i + 1) +
                      (i == 0 ? " field" : " fields"));
                return;
            }
            fields[i] = Trim(rest.substr(0, bar));
            rest = rest.substr(bar + 1);
        }
        fields[3] = Trim(rest);

        RuleEntry rule;
        rule.set = set->name;
        rule.name = std::string(name);
        rule.line = m_line;
        rule.action = ParseAction(fields[0]);
        if (rule.action < 0) {
            Error("unknown action " + Quote(fields[0]) + " (" + ActionHelp() + ")");
            return;
        }
        rule.dir = std::string(fields[1]);
        if (rule.action == ACTION_MOVE && rule.dir.empty()) {
            Error("action move needs a target directory");
            return;
        }
        if (rule.action != ACTION_MOVE && !rule.dir.empty()) {
            Error("a target directory is only used by action move");
            return;
        }
        if (fields[2].empty()) {
            rule.prepend = false;
        } else if (kit::equals_nocase(fields[2], "prepend")) {
            rule.prepend = true;
        } else {
            Error("unknown flag " + Quote(fields[2]) + " (the only flag is prepend)");
            return;
        }
        rule.text = std::string(fields[3]);
        if (rule.text.empty()) {
            Error("empty rule text");
            return;
        }
        // Lines hold no LF, so it cannot stand in a set's or a rule's name.
        std::string key = rule.set + '\n' + rule.name;
        if (const auto other = m_ruleLines.find(key); other != m_ruleLines.end()) {
            Error("rule " + Quote(rule.name) + " is already defined in set " + Quote(rule.set) +
                  " on line " + std::to_string(other->second));
            return;
        }
        if (m_check) {
            std::string why = m_check(rule.text);
            if (!why.empty()) {
                Error("bad rule text " + Quote(rule.text) + ": " + why);
                return;
            }
        }
        if (m_book.rules.size() >= RULES_MAX_RULES) {
            Error("more than " + std::to_string(RULES_MAX_RULES) + " rules");
            return;
        }
        m_ruleLines.emplace(std::move(key), rule.line);
        m_book.rules.push_back(std::move(rule));
    }

    const RuleTextCheck& m_check;
    RuleBook& m_book;
    std::vector<RulesError>& m_errors;
    static constexpr int NO_SECTION = -1;
    static constexpr int BAD_SECTION = -2;

    int m_line = 0;
    int m_current = NO_SECTION;  // index of the section being read
    RuleSetEntry m_scratch;      // stands in for a bad section
    // The line of every set and of every rule (by set and name) read so far,
    // so that each new one is looked up once, however many went before: a
    // file may hold RULES_MAX_RULES rules.
    std::unordered_map<std::string, int> m_setLines;
    std::unordered_map<std::string, int> m_ruleLines;
};

}  // namespace

const RuleSetEntry* RuleBook::FindSet(std::string_view name) const {
    for (const RuleSetEntry& set : sets) {
        if (set.name == name)
            return &set;
    }
    return nullptr;
}

int ParseAction(std::string_view word) {
    word = Trim(word);
    if (word.empty())
        return -1;
    if (std::all_of(word.begin(), word.end(),
                    [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; })) {
        if (word.size() > ACTION_DIGITS_MAX)
            return -1;
        const long value = std::stol(std::string(word));
        return UsableAction(value) ? static_cast<int>(value) : -1;
    }
    for (const auto& e : kActionNames) {
        if (kit::equals_nocase(word, e.name))
            return e.action;
    }
    return -1;
}

const char* ActionName(int action) {
    for (const auto& e : kActionNames) {
        if (e.action == action)
            return e.name;
    }
    return "";
}

bool ParseRules(std::string_view text, const RuleTextCheck& check, RuleBook& book,
                std::vector<RulesError>& errors) {
    book = RuleBook{};
    errors.clear();
    if (text.size() > RULES_MAX_FILE) {
        errors.push_back({0, "larger than " + std::to_string(RULES_MAX_FILE) + " bytes"});
        return false;
    }
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    if (text.find('\0') != std::string_view::npos) {
        errors.push_back({0, "holds a NUL byte: not a text file"});
        return false;
    }
    Parser parser(check, book, errors);
    int number = 0;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        const std::string_view line = text.substr(0, nl);
        parser.Line(++number, line);
        if (nl == std::string_view::npos)
            break;
        text.remove_prefix(nl + 1);
    }
    if (!errors.empty())
        book = RuleBook{};
    return errors.empty();
}

bool LoadRulesFile(const std::string& path, const RuleTextCheck& check, RuleBook& book,
                   std::vector<RulesError>& errors) {
    errors.clear();
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        errors.push_back({0, "is a directory"});
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        errors.push_back({0, "cannot be read"});
        return false;
    }
    std::string text;
    char buf[65536];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        text.append(buf, static_cast<std::size_t>(in.gcount()));
        if (text.size() > RULES_MAX_FILE) {
            errors.push_back({0, "larger than " + std::to_string(RULES_MAX_FILE) + " bytes"});
            return false;
        }
    }
    if (in.bad()) {
        errors.push_back({0, "read error"});
        return false;
    }
    return ParseRules(text, check, book, errors);
}

std::string FormatRulesError(const std::string& file, const RulesError& error) {
    if (error.line <= 0)
        return file + ": " + error.reason;
    return file + ":" + std::to_string(error.line) + ": " + error.reason;
}

std::string CheckRuleTextWithLibrary(const MailwardApi& api, const std::string& text) {
    stringlist* pieces = stringlist_split(text.c_str(), ";");
    if (pieces == nullptr)
        return "no header line";
    mailhdr* hdr = api.mailhdr_alloc();
    if (hdr == nullptr) {
        stringlist_free(&pieces);
        return "out of memory";
    }
    std::string why;
    int index = 0;
    for (const stringlist* p = pieces; p != nullptr; p = p->next) {
        ++index;
        const int r = api.mailhdr_parseline(hdr, p->str);
        if (r != 0) {
            const char* detail = api.mailhdr_parse_errorstr();
            why = "piece " + std::to_string(index) + " " + Quote(p->str) + " is no header line";
            if (r == -1)
                why += " (a continuation line with no field before it)";
            else if (r == -2)
                why += " (no colon after a field name)";
            if (detail != nullptr && *detail != '\0')
                why += std::string(": ") + detail;
            break;
        }
    }
    // The yes/no kinds take "yes" alone: any other value would make a rule
    // that never acts, which an operator would not notice. The kind is the
    // field of the last piece that starts a field (read from the text: the
    // record belongs to the library).
    const char* last = nullptr;
    for (const stringlist* p = pieces; p != nullptr && why.empty(); p = p->next) {
        if (p->str != nullptr && *p->str != '\0' && !kit::is_wsp(*p->str))
            last = p->str;
    }
    if (why.empty() && last != nullptr) {
        const std::string_view piece(last);
        const std::size_t colon = piece.find(':');
        if (colon != std::string_view::npos) {
            const std::string_view field = kit::trim(piece.substr(0, colon));
            const std::string_view value = kit::trim(piece.substr(colon + 1));
            for (const char* kind :
                 {"attachment-encrypted", "attachment-unreadable", "attachment-mismatch"}) {
                if (kit::equals_nocase(field, kind) && !kit::equals_nocase(value, "yes"))
                    why = std::string(kind) + " takes the value yes, not " + Quote(value);
            }
        }
    }
    api.mailhdr_free(hdr);
    stringlist_free(&pieces);
    return why;
}

std::string ResolveRuleDir(const std::string& dir, const std::string& dataDir) {
    if (dir.empty())
        return dir;
    const fs::path p(dir);
    if (p.is_absolute() || dataDir.empty())
        return p.lexically_normal().string();
    return (fs::path(dataDir) / p).lexically_normal().string();
}

bool ApplyRules(const MailwardApi& api, const RuleBook& book, const std::string& dataDir,
                bool makeDirs, RulesError& error) {
    // Every set is made first, with its default action (the library's own
    // default when the file gives none), so that a set without rules exists.
    for (const RuleSetEntry& set : book.sets)
        api.MAILWARD_set_default_action(set.name.c_str(), set.defaultAction);
    for (const RuleEntry& rule : book.rules) {
        const std::string dir = ResolveRuleDir(rule.dir, dataDir);
        if (makeDirs && !dir.empty()) {
            std::error_code ec;
            fs::create_directories(dir, ec);
            if (ec) {
                api.MAILWARD_clear_rules();
                error = {rule.line, "cannot make target directory " + dir + ": " + ec.message()};
                return false;
            }
        }
        const int r =
            api.MAILWARD_add_rule(rule.set.c_str(), rule.name.c_str(), rule.text.c_str(),
                                  static_cast<std::uint32_t>(rule.line), rule.action,
                                  dir.empty() ? nullptr : dir.c_str(), rule.prepend ? 1 : 0);
        if (r != 0) {
            api.MAILWARD_clear_rules();
            error = {rule.line, "the library refused rule " + Quote(rule.name) +
                                    " (MAILWARD_add_rule returned " + std::to_string(r) + ")"};
            return false;
        }
    }
    return true;
}
