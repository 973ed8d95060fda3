/*
 * test_rule_sets.cpp - rule sets and rule texts: sets made by their first
 * rule or default action, set-name case, rule order and the prepend flag,
 * kinds and patterns of rule texts, refused texts, repeated fields in a
 * rule, default rules, clearing and the report chain.
 */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/qorcsock_capture.h"
#include "rules/rulehelper.h"
#include "rules_test_util.h"

namespace {

Strings RuleTexts(const RuleSet* set) {
    Strings texts;
    for (const Rule* r = set->rules; r != nullptr; r = r->next)
        texts.push_back(r->text);
    return texts;
}

TEST(RuleSets, FirstRuleCreatesSetWithDefaultRuleAndKeepsCopies) {
    CRuleHelper rules;
    std::string name = "no-exe", text = "attachment: *.exe", dir = "/var/q";
    ASSERT_EQ(rules.AddRule("in", name.c_str(), text.c_str(), 0xDEADBEEFu, 10, dir.c_str(), 0), 0);
    name = text = dir = "overwritten by the caller";
    RuleSet* set = rules.FindRuleSet("in");
    ASSERT_NE(set, nullptr);
    const Rule* r = set->rules;
    EXPECT_EQ(Strings({r->name, r->text, r->target_dir}),
              Strings({"no-exe", "attachment: *.exe", "/var/q"}));
    EXPECT_EQ(r->user_value, 0xDEADBEEFu);
    EXPECT_EQ(r->action, 10);
    EXPECT_EQ(r->is_default, 0);

    HdrPtr empty(mailhdr_alloc());
    const Rule* def = rules.CheckHeader("in", empty.get());
    ASSERT_EQ(def, set->default_rule);
    EXPECT_STREQ(def->text, "default");
    EXPECT_EQ(def->is_default, 1);
    EXPECT_EQ(def->action, 1);
    EXPECT_EQ(def->hdr, nullptr);
    EXPECT_EQ(def->name, nullptr);
}

// Appended in order, prepended (any non-zero flag) in front.
TEST(RuleSets, SetNamesDifferByLetterCaseRulesKeepTheirOrder) {
    CRuleHelper rules;
    ASSERT_EQ(rules.AddRule("Default", nullptr, "Subject: *", 0, 4, nullptr, 0), 0);
    EXPECT_EQ(rules.FindRuleSet("default"), nullptr);
    HdrPtr hdr = MakeHeader({"Subject: hello"});
    EXPECT_EQ(rules.CheckHeader("default", hdr.get()), nullptr);
    EXPECT_EQ(rules.CheckHeader("Default", hdr.get())->action, 4);
    for (auto [text, prepend] : {std::pair{"Subject: a*", 1},
                                 {"Subject: b*", 0},
                                 {"Subject: c*", 1},
                                 {"Subject: d*", 0},
                                 {"Subject: e*", 7}})
        ASSERT_EQ(rules.AddRule("s", nullptr, text, 0, 4, nullptr, prepend), 0);
    EXPECT_EQ(RuleTexts(rules.FindRuleSet("s")),
              (Strings{"Subject: e*", "Subject: c*", "Subject: a*", "Subject: b*", "Subject: d*"}));
}

TEST(RuleText, KindComesFromTheFieldOfTheLastLine) {
    struct Case {
        const char* text;
        RuleKind kind;
        const char* pattern;  // first line of the first field outside the table
    };
    const Case cases[] = {
        {"From: *example*;Subject: offer", RuleKind::Header, nullptr},
        {"ATTACHMENT: *.exe", RuleKind::Attachment, "*.exe"},
        {"Subject: x;body: free money", RuleKind::Keyword, "free money"},
        {"*: X-Spam-Flag: YES*", RuleKind::WholeHeader, "X-Spam-Flag: YES*"},
        {"body: free;Subject: b", RuleKind::Header, "free"},
        {"X-Body: free", RuleKind::Header, "free"},
        {"X-Tag: first;body: second", RuleKind::Keyword, "first"},
        // A piece led by white space continues the field before it.
        {"attachment: *.exe; *.com", RuleKind::Attachment, "*.exe"},
    };
    for (const Case& c : cases) {
        CRuleHelper rules;
        ASSERT_EQ(rules.AddRule("s", nullptr, c.text, 0, 4, nullptr, 0), 0) << c.text;
        const Rule* r = rules.FindRuleSet("s")->rules;
        EXPECT_EQ(CRuleHelper::GetRuleKind(r), c.kind) << c.text;
        const char* pattern = CRuleHelper::GetRulePattern(r);
        EXPECT_EQ(std::string(pattern ? pattern : "(none)"),
                  std::string(c.pattern ? c.pattern : "(none)"))
            << c.text;
    }
}

TEST(RuleText, RefusedTextsAddNothing) {
    CRuleHelper rules;
    for (const char* text : {"Subject offer", " Subject: offer", "Subject: a;no colon here",
                             "Subject: a;;From: b", ""})
        EXPECT_EQ(rules.AddRule("s", nullptr, text, 0, 4, nullptr, 0), -1) << text;
    EXPECT_EQ(rules.AddRule("s", nullptr, nullptr, 0, 4, nullptr, 0), -1);
    EXPECT_EQ(rules.AddRule(nullptr, nullptr, "Subject: a", 0, 4, nullptr, 0), -1);
    EXPECT_EQ(rules.FindRuleSet("s"), nullptr);
    ASSERT_EQ(rules.AddRule("s", nullptr, "Subject: kept", 0, 4, nullptr, 0), 0);
    EXPECT_EQ(rules.AddRule("s", nullptr, "nonsense", 0, 4, nullptr, 0), -1);
    EXPECT_EQ(RuleTexts(rules.FindRuleSet("s")), Strings{"Subject: kept"});
}

// Subject collects both values and its first counts; From keeps only its
// last value; each To line makes a field and the first counts.
TEST(RuleText, RepeatedFieldsOfARule) {
    const char* const cases[][3] = {
        // rule, a header it matches, a header it does not match
        {"Subject: *one*;Subject: *two*", "Subject: number one", "Subject: number two"},
        {"From: a@example.com;From: b@example.com", "From: b@example.com", "From: a@example.com"},
        {"To: a@example.com;To: b@example.com", "To: a@example.com", "To: b@example.com"},
    };
    for (const auto& [rule, hit, miss] : cases) {
        CRuleHelper rules;
        ASSERT_EQ(rules.AddRule("s", nullptr, rule, 0, 4, nullptr, 0), 0);
        EXPECT_EQ(rules.CheckHeader("s", MakeHeader({hit}).get())->is_default, 0) << hit;
        EXPECT_EQ(rules.CheckHeader("s", MakeHeader({miss}).get())->is_default, 1) << miss;
    }
}

TEST(DefaultRules, SetDefaultActionCreatesSetAndReplacesRule) {
    CRuleHelper rules;
    rules.SetDefaultAction("s", 9);
    RuleSet* set = rules.FindRuleSet("s");
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(set->rules, nullptr);
    EXPECT_EQ(set->default_rule->action, 9);
    EXPECT_STREQ(set->default_rule->text, "default");
    rules.SetDefaultAction("s", 5);
    ASSERT_EQ(rules.AddRule("s", nullptr, "Subject: nomatch", 0, 4, nullptr, 0), 0);
    HdrPtr hdr = MakeHeader({"Subject: x"});
    EXPECT_EQ(rules.CheckHeader("s", hdr.get())->action, 5);
    rules.SetDefaultAction(nullptr, 3);
    EXPECT_EQ(set->default_rule->action, 5);

    Rule other{};
    set->default_rule->report_next = &other;
    EXPECT_EQ(rules.MakeDefaultRule("s"), set->default_rule);
    EXPECT_EQ(set->default_rule->report_next, nullptr);
    LogCapture log;  // keeps the error line out of the test output
    EXPECT_EQ(rules.MakeDefaultRule("missing"), nullptr);
}

TEST(RuleSets, ClearRulesRemovesEverySetAndLeavesTheMode) {
    CRuleHelper rules;
    rules.SetDefaultAction("a", 9);
    ASSERT_EQ(rules.AddRule("b", nullptr, "Subject: y", 0, 4, nullptr, 0), 0);
    rules.m_nMatchMode = MATCH_ATTACHMENT | MATCH_KEYWORD;
    rules.ClearRules();
    EXPECT_EQ(rules.FindRuleSet("a"), nullptr);
    EXPECT_EQ(rules.FindRuleSet("b"), nullptr);
    EXPECT_EQ(rules.m_nMatchMode, MATCH_ATTACHMENT | MATCH_KEYWORD);
    ASSERT_EQ(rules.AddRule("a", nullptr, "Subject: y", 0, 4, nullptr, 0), 0);
    EXPECT_EQ(rules.FindRuleSet("a")->default_rule->action, 1);
    // The cleared sets are gone from the index too: new ones list afresh.
    ASSERT_EQ(rules.AddRule("a", nullptr, "Subject: z", 0, 4, nullptr, 0), 0);
    ASSERT_EQ(rules.AddRule("a", nullptr, "Subject: x", 0, 4, nullptr, 1), 0);
    ASSERT_EQ(rules.AddRule("b", nullptr, "Subject: w", 0, 4, nullptr, 0), 0);
    std::vector<std::string> texts;
    for (const Rule* r = rules.FindRuleSet("a")->rules; r != nullptr; r = r->next)
        texts.push_back(r->text);
    EXPECT_EQ(texts, (std::vector<std::string>{"Subject: x", "Subject: y", "Subject: z"}));
    EXPECT_EQ(rules.FindRuleSet("a")->next, rules.FindRuleSet("b"));
    EXPECT_STREQ(rules.FindRuleSet("b")->rules->text, "Subject: w");
}

TEST(RuleChain, AppendsAtTheEndAndNeverLoops) {
    Rule a{}, b{}, c{};
    c.report_next = &a;  // stale link from an earlier report
    Rule* chain = CRuleHelper::AppendToRuleChain(nullptr, &a);
    chain = CRuleHelper::AppendToRuleChain(chain, &b);
    chain = CRuleHelper::AppendToRuleChain(chain, &c);
    chain = CRuleHelper::AppendToRuleChain(chain, &a);  // already in it
    chain = CRuleHelper::AppendToRuleChain(chain, nullptr);
    EXPECT_EQ(chain, &a);
    EXPECT_EQ(a.report_next, &b);
    EXPECT_EQ(b.report_next, &c);
    EXPECT_EQ(c.report_next, nullptr);
}

}  // namespace
