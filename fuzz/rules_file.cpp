/*
 * rules_file.cpp - fuzz target for the operator's rules file reader
 * (hosts/common/rules_file.h), with the rule texts checked by the library's
 * own header parser as the programs check them.
 *
 * The input is parsed as a whole rules file. These must hold (else abort):
 *   - the result is true exactly when no error is reported; a refused file
 *     leaves an empty book; at most RULES_MAX_ERRORS errors, each with a
 *     reason, in line order, none past the last line;
 *   - in an accepted book: set names are unique and not empty, every rule
 *     belongs to a set opened on an earlier line, rule names are unique in
 *     their set and hold no blank, every action has a name, a move and only
 *     a move has a folder, texts are not empty and pass the check;
 *   - the book written back as a rules file (each set with its default and
 *     its rules, in order) is accepted and reads as the same book.
 */
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/rules_file.h"
#include "mailward.h"
#include "mailward_exports.h"

namespace {

void Check(bool ok) {
    if (!ok)
        std::abort();
}

// The library linked in, bound as the loader binds the shared one.
const MailwardApi& Api() {
    static const MailwardApi api = [] {
        MailwardApi a;
#define MAILWARD_BIND_LINKED(name) a.name = &::name;
        MAILWARD_EXPORTS(MAILWARD_BIND_LINKED)
#undef MAILWARD_BIND_LINKED
        return a;
    }();
    return api;
}

std::string CheckText(const std::string& text) {
    return CheckRuleTextWithLibrary(Api(), text);
}

std::size_t LineCount(std::string_view text) {
    std::size_t lines = 1;
    for (char c : text)
        lines += c == '\n' ? 1 : 0;
    return lines;
}

std::string Write(const RuleBook& book) {
    std::map<std::string, std::string> rules;
    for (const RuleEntry& r : book.rules) {
        rules[r.set] += "rule " + r.name + " = " + std::to_string(r.action) + " | " + r.dir +
                        " | " + (r.prepend ? "prepend" : "") + " | " + r.text + "\n";
    }
    std::string out;
    for (const RuleSetEntry& set : book.sets) {
        out += "[set " + set.name + "]\n";
        if (set.hasDefault)
            out += "default = " + std::to_string(set.defaultAction) + "\n";
        out += rules[set.name];
    }
    return out;
}

// Every check is a look-up, so that a book of RULES_MAX_RULES rules costs
// no more per rule than a small one.
void CheckBook(const RuleBook& book) {
    std::unordered_map<std::string, int> sets;
    std::unordered_set<std::string> rules;
    for (const RuleSetEntry& set : book.sets)
        Check(!set.name.empty() && sets.emplace(set.name, set.line).second);
    for (const RuleEntry& r : book.rules) {
        const auto set = sets.find(r.set);
        Check(set != sets.end() && set->second < r.line);
        Check(!r.name.empty() && r.name.find_first_of(" \t") == std::string::npos);
        Check(*ActionName(r.action) != '\0');
        Check((r.action == ACTION_MOVE) == !r.dir.empty());
        Check(!r.text.empty() && CheckText(r.text).empty());
        Check(rules.insert(r.set + '\n' + r.name).second);
    }
}

// The rules of each set in order, without their lines.
std::map<std::string, std::vector<const RuleEntry*>> RulesBySet(const RuleBook& book) {
    std::map<std::string, std::vector<const RuleEntry*>> out;
    for (const RuleEntry& r : book.rules)
        out[r.set].push_back(&r);
    return out;
}

bool SameBook(const RuleBook& a, const RuleBook& b) {
    if (a.sets.size() != b.sets.size() || a.rules.size() != b.rules.size())
        return false;
    for (std::size_t i = 0; i < a.sets.size(); ++i) {
        const RuleSetEntry& x = a.sets[i];
        const RuleSetEntry& y = b.sets[i];
        if (x.name != y.name || x.hasDefault != y.hasDefault || x.defaultAction != y.defaultAction)
            return false;
    }
    const auto ra = RulesBySet(a);
    const auto rb = RulesBySet(b);
    if (ra.size() != rb.size())
        return false;
    for (const auto& [set, rx] : ra) {
        const auto it = rb.find(set);
        if (it == rb.end() || it->second.size() != rx.size())
            return false;
        for (std::size_t k = 0; k < rx.size(); ++k) {
            const RuleEntry& x = *rx[k];
            const RuleEntry& y = *it->second[k];
            if (x.name != y.name || x.action != y.action || x.dir != y.dir ||
                x.prepend != y.prepend || x.text != y.text)
                return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    RuleBook book;
    std::vector<RulesError> errors;
    const bool ok = ParseRules(text, CheckText, book, errors);
    Check(ok == errors.empty());
    Check(errors.size() <= RULES_MAX_ERRORS);
    const int lines = static_cast<int>(LineCount(text));
    int last = 0;
    for (const RulesError& e : errors) {
        Check(!e.reason.empty() && e.line >= last && e.line <= lines);
        last = e.line;
    }
    if (!ok) {
        Check(book.sets.empty() && book.rules.empty());
        return 0;
    }
    CheckBook(book);

    const std::string written = Write(book);
    RuleBook again;
    Check(ParseRules(written, CheckText, again, errors));
    Check(SameBook(book, again));
    return 0;
}
