/*
 * test_rule_sets.cpp - rule sets and rule texts of CRuleHelper: creation of
 * sets by their first rule or default action, rule order and the prepend
 * flag, the kinds and patterns of rule texts, refused texts, repeated
 * fields in a rule, default rules, clearing and the report chain.
 */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/qorcsock_capture.h"
#include "rules/rulehelper.h"
#include "rules_test_util.h"

namespace {

std::vector<std::string> RuleTexts(const RuleSet* set) {
    std::vector<std::string> texts;
    for (const Rule* r = set->rules; r != nullptr; r = r->next)
        texts.push_back(r->text);
    return texts;
}

// The rule of `set` made from `text` (the set's only rule).
const Rule* OnlyRule(CRuleHelper& rules, const char* text) {
    rules.ClearRules();
    if (rules.AddRule("s", nullptr, text, 0, 4, nullptr, 0) != 0)
        return nullptr;
    return rules.FindRuleSet("s")->rules;
}

TEST(RuleSets, FirstRuleCreatesSetWithDefaultRule) {
    CRuleHelper rules;
    ASSERT_EQ(rules.FindRuleSet("inbound"), nullptr);
    ASSERT_EQ(rules.AddRule("inbound", nullptr, "Subject: offer", 0, 4, nullptr, 0), 0);
    RuleSet* set = rules.FindRuleSet("inbound");
    ASSERT_NE(set, nullptr);
    EXPECT_STREQ(set->name, "inbound");

    HdrPtr empty(mailhdr_alloc());
    const Rule* got = rules.CheckHeader("inbound", empty.get());
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got, set->default_rule);
    EXPECT_STREQ(got->text, "default");
    EXPECT_EQ(got->is_default, 1);
    EXPECT_EQ(got->action, 1);
    EXPECT_EQ(got->hdr, nullptr);
    EXPECT_EQ(got->name, nullptr);
    EXPECT_EQ(got->user_value, 0u);
    EXPECT_EQ(got->target_dir, nullptr);
}

TEST(RuleSets, RuleKeepsOwnCopiesOfItsArguments) {
    CRuleHelper rules;
    std::string name = "no-exe", text = "attachment: *.exe", dir = "/var/quarantine";
    ASSERT_EQ(rules.AddRule("s", name.c_str(), text.c_str(), 0xDEADBEEFu, 10, dir.c_str(), 0), 0);
    name.assign("xxxxxx");
    text.assign("yyyyyyyyyyyyyyyyy");
    dir.assign("zzzzzzzzzzzzzzz");
    const Rule* r = rules.FindRuleSet("s")->rules;
    EXPECT_STREQ(r->name, "no-exe");
    EXPECT_STREQ(r->text, "attachment: *.exe");
    EXPECT_STREQ(r->target_dir, "/var/quarantine");
    EXPECT_EQ(r->user_value, 0xDEADBEEFu);
    EXPECT_EQ(r->action, 10);
    EXPECT_EQ(r->is_default, 0);
    EXPECT_EQ(r->report_next, nullptr);
    EXPECT_EQ(r->next, nullptr);
    ASSERT_NE(r->hdr, nullptr);
}

TEST(RuleSets, SetNamesDifferByLetterCase) {
    CRuleHelper rules;
    ASSERT_EQ(rules.AddRule("Default", nullptr, "Subject: *", 0, 4, nullptr, 0), 0);
    EXPECT_EQ(rules.FindRuleSet("default"), nullptr);
    EXPECT_NE(rules.FindRuleSet("Default"), nullptr);
    HdrPtr hdr = MakeHeader({"Subject: hello"});
    EXPECT_EQ(rules.CheckHeader("default", hdr.get()), nullptr);
    EXPECT_EQ(rules.CheckHeader("Default", hdr.get())->action, 4);
    EXPECT_EQ(rules.FindRuleSet(nullptr), nullptr);
    EXPECT_EQ(rules.AddRuleSet(nullptr), nullptr);
}

TEST(RuleSets, SetsAreIndependent) {
    CRuleHelper rules;
    ASSERT_EQ(rules.AddRule("a", nullptr, "Subject: *", 0, 4, nullptr, 0), 0);
    ASSERT_EQ(rules.AddRule("b", nullptr, "Subject: nothing", 0, 5, nullptr, 0), 0);
    HdrPtr hdr = MakeHeader({"Subject: hello"});
    EXPECT_EQ(rules.CheckHeader("a", hdr.get())->action, 4);
    EXPECT_EQ(rules.CheckHeader("b", hdr.get())->is_default, 1);
}

TEST(RuleOrder, AppendedInOrderPrependedInFront) {
    CRuleHelper rules;
    ASSERT_EQ(rules.AddRule("s", nullptr, "Subject: a*", 0, 4, nullptr, 0), 0);
    ASSERT_EQ(rules.AddRule("s", nullptr, "Subject: b*", 0, 4, nullptr, 0), 0);
    ASSERT_EQ(rules.AddRule("s", nullptr, "Subject: c*", 0, 4, nullptr, 1), 0);
    ASSERT_EQ(rules.AddRule("s", nullptr, "Subject: d*", 0, 4, nullptr, 0), 0);
    ASSERT_EQ(rules.AddRule("s", nullptr, "Subject: e*", 0, 4, nullptr, 7), 0);
    EXPECT_EQ(RuleTexts(rules.FindRuleSet("s")),
              (std::vector<std::string>{"Subject: e*", "Subject: c*", "Subject: a*", "Subject: b*",
                                        "Subject: d*"}));
}

TEST(RuleOrder, PrependToEmptySetGivesTheList) {
    CRuleHelper rules;
    ASSERT_EQ(rules.AddRule("s", nullptr, "Subject: a*", 0, 4, nullptr, 1), 0);
    EXPECT_EQ(RuleTexts(rules.FindRuleSet("s")), (std::vector<std::string>{"Subject: a*"}));
}

TEST(RuleOrder, InsertRuleTakesAMadeRule) {
    CRuleHelper rules;
    Rule* made = static_cast<Rule*>(std::calloc(1, sizeof(Rule)));
    made->text = pf::strdup("Subject: x");
    EXPECT_EQ(rules.InsertRule("fresh", made, 0), 0);
    RuleSet* set = rules.FindRuleSet("fresh");
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(set->rules, made);
    EXPECT_EQ(set->default_rule->action, 1);
    EXPECT_EQ(rules.InsertRule("fresh", nullptr, 0), -1);
}

TEST(RuleText, KindIsDecidedByTheFieldOfTheLastLine) {
    CRuleHelper rules;
    EXPECT_EQ(CRuleHelper::GetRuleKind(OnlyRule(rules, "From: *example*;Subject: offer")),
              RuleKind::Header);
    EXPECT_EQ(CRuleHelper::GetRuleKind(OnlyRule(rules, "attachment: *.exe")), RuleKind::Attachment);
    EXPECT_EQ(CRuleHelper::GetRuleKind(OnlyRule(rules, "ATTACHMENT: *.exe")), RuleKind::Attachment);
    EXPECT_EQ(CRuleHelper::GetRuleKind(OnlyRule(rules, "Subject: x;body: free money")),
              RuleKind::Keyword);
    EXPECT_EQ(CRuleHelper::GetRuleKind(OnlyRule(rules, "*: X-Spam-Flag: YES*")),
              RuleKind::WholeHeader);
    EXPECT_EQ(CRuleHelper::GetRuleKind(OnlyRule(rules, "body: free;Subject: b")), RuleKind::Header);
    // A continuation piece stays with the field before it.
    EXPECT_EQ(CRuleHelper::GetRuleKind(OnlyRule(rules, "attachment: *.exe; *.com")),
              RuleKind::Attachment);
    // "X-Body" is not "body".
    EXPECT_EQ(CRuleHelper::GetRuleKind(OnlyRule(rules, "X-Body: free")), RuleKind::Header);
}

TEST(RuleText, PatternIsFirstLineOfFirstFieldOutsideTheTable) {
    CRuleHelper rules;
    EXPECT_STREQ(CRuleHelper::GetRulePattern(OnlyRule(rules, "Subject: x;body: free money")),
                 "free money");
    EXPECT_STREQ(CRuleHelper::GetRulePattern(OnlyRule(rules, "attachment: *.exe; *.com")), "*.exe");
    EXPECT_STREQ(
        CRuleHelper::GetRulePattern(OnlyRule(rules, "attachment: *.exe;attachment: *.com")),
        "*.exe");
    EXPECT_STREQ(CRuleHelper::GetRulePattern(OnlyRule(rules, "X-Tag: first;body: second")),
                 "first");
    EXPECT_EQ(CRuleHelper::GetRulePattern(OnlyRule(rules, "Subject: only")), nullptr);
}

TEST(RuleText, RefusedTextsAddNothing) {
    CRuleHelper rules;
    EXPECT_EQ(rules.AddRule("s", nullptr, "Subject offer", 0, 4, nullptr, 0), -1);
    EXPECT_EQ(rules.AddRule("s", nullptr, " Subject: offer", 0, 4, nullptr, 0), -1);
    EXPECT_EQ(rules.AddRule("s", nullptr, "Subject: a;no colon here", 0, 4, nullptr, 0), -1);
    EXPECT_EQ(rules.AddRule("s", nullptr, "Subject: a;;From: b", 0, 4, nullptr, 0), -1);
    EXPECT_EQ(rules.AddRule("s", nullptr, "", 0, 4, nullptr, 0), -1);
    EXPECT_EQ(rules.AddRule("s", nullptr, nullptr, 0, 4, nullptr, 0), -1);
    EXPECT_EQ(rules.AddRule(nullptr, nullptr, "Subject: a", 0, 4, nullptr, 0), -1);
    EXPECT_EQ(rules.FindRuleSet("s"), nullptr);

    ASSERT_EQ(rules.AddRule("s", nullptr, "Subject: kept", 0, 4, nullptr, 0), 0);
    EXPECT_EQ(rules.AddRule("s", nullptr, "nonsense", 0, 4, nullptr, 0), -1);
    EXPECT_EQ(RuleTexts(rules.FindRuleSet("s")), (std::vector<std::string>{"Subject: kept"}));
}

TEST(RuleText, AcceptedTextThatNamesNoKnownFieldNeverMatches) {
    CRuleHelper rules;
    ASSERT_EQ(rules.AddRule("s", nullptr, "X-Nobody-Sends-This: *", 0, 4, nullptr, 0), 0);
    HdrPtr hdr = MakeHeader({"Subject: x", "From: a@example.com"});
    EXPECT_EQ(rules.CheckHeader("s", hdr.get())->is_default, 1);
}

TEST(RuleText, TwoSubjectLinesTestOnlyTheFirstValue) {
    CRuleHelper rules;
    ASSERT_EQ(rules.AddRule("s", nullptr, "Subject: *one*;Subject: *two*", 0, 4, nullptr, 0), 0);
    HdrPtr one = MakeHeader({"Subject: number one"});
    HdrPtr two = MakeHeader({"Subject: number two"});
    EXPECT_EQ(rules.CheckHeader("s", one.get())->action, 4);
    EXPECT_EQ(rules.CheckHeader("s", two.get())->is_default, 1);
}

TEST(RuleText, TwoFromLinesTestOnlyTheLastValue) {
    CRuleHelper rules;
    ASSERT_EQ(rules.AddRule("s", nullptr, "From: first@example.com;From: second@example.com", 0, 4,
                            nullptr, 0),
              0);
    HdrPtr first = MakeHeader({"From: first@example.com"});
    HdrPtr second = MakeHeader({"From: second@example.com"});
    EXPECT_EQ(rules.CheckHeader("s", first.get())->is_default, 1);
    EXPECT_EQ(rules.CheckHeader("s", second.get())->action, 4);
}

TEST(RuleText, TwoToLinesTestOnlyTheFirst) {
    CRuleHelper rules;
    ASSERT_EQ(rules.AddRule("s", nullptr, "To: first@example.com;To: second@example.com", 0, 4,
                            nullptr, 0),
              0);
    HdrPtr first = MakeHeader({"To: first@example.com"});
    HdrPtr second = MakeHeader({"To: second@example.com"});
    EXPECT_EQ(rules.CheckHeader("s", first.get())->action, 4);
    EXPECT_EQ(rules.CheckHeader("s", second.get())->is_default, 1);
}

TEST(DefaultRules, SetDefaultActionCreatesSetAndReplacesRule) {
    CRuleHelper rules(0);
    rules.SetDefaultAction("s", 9);
    RuleSet* set = rules.FindRuleSet("s");
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(set->rules, nullptr);
    EXPECT_EQ(set->default_rule->action, 9);
    EXPECT_EQ(set->default_rule->is_default, 1);
    EXPECT_STREQ(set->default_rule->text, "default");

    rules.SetDefaultAction("s", 5);
    EXPECT_EQ(rules.FindRuleSet("s"), set);
    EXPECT_EQ(set->default_rule->action, 5);
    HdrPtr hdr = MakeHeader({"Subject: x"});
    EXPECT_EQ(rules.CheckHeader("s", hdr.get())->action, 5);

    rules.SetDefaultAction(nullptr, 3);  // does nothing
    EXPECT_EQ(set->default_rule->action, 5);
}

TEST(DefaultRules, DefaultRuleKeepsItsActionWhenRulesAreAdded) {
    CRuleHelper rules;
    rules.SetDefaultAction("s", 11);
    ASSERT_EQ(rules.AddRule("s", nullptr, "Subject: nomatch", 0, 4, nullptr, 0), 0);
    HdrPtr hdr = MakeHeader({"Subject: x"});
    EXPECT_EQ(rules.CheckHeader("s", hdr.get())->action, 11);
}

TEST(DefaultRules, MakeDefaultRuleClearsReportLink) {
    CRuleHelper rules;
    rules.SetDefaultAction("s", 9);
    Rule* def = rules.FindRuleSet("s")->default_rule;
    Rule other{};
    def->report_next = &other;
    EXPECT_EQ(rules.MakeDefaultRule("s"), def);
    EXPECT_EQ(def->report_next, nullptr);

    LogCapture log;
    EXPECT_EQ(rules.MakeDefaultRule("missing"), nullptr);
    EXPECT_TRUE(log.Contains(QLOG_ERROR, "CRuleHelper::MakeDefaultRule() - invalid rule set"));
}

TEST(ClearRules, EverySetIsGoneAndComesBackWithDefaultActionOne) {
    CRuleHelper rules;
    rules.SetDefaultAction("a", 9);
    ASSERT_EQ(rules.AddRule("a", nullptr, "Subject: x", 0, 4, nullptr, 0), 0);
    ASSERT_EQ(rules.AddRule("b", nullptr, "Subject: y", 0, 4, nullptr, 0), 0);
    rules.m_nMatchMode = MATCH_ATTACHMENT | MATCH_KEYWORD;
    rules.ClearRules();
    EXPECT_EQ(rules.FindRuleSet("a"), nullptr);
    EXPECT_EQ(rules.FindRuleSet("b"), nullptr);
    EXPECT_EQ(rules.m_nMatchMode, MATCH_ATTACHMENT | MATCH_KEYWORD);
    HdrPtr hdr = MakeHeader({"Subject: x"});
    EXPECT_EQ(rules.CheckHeader("a", hdr.get()), nullptr);

    ASSERT_EQ(rules.AddRule("a", nullptr, "Subject: y", 0, 4, nullptr, 0), 0);
    EXPECT_EQ(rules.FindRuleSet("a")->default_rule->action, 1);
    EXPECT_EQ(RuleTexts(rules.FindRuleSet("a")), (std::vector<std::string>{"Subject: y"}));
    rules.ClearRules();
    rules.ClearRules();  // nothing left to clear
}

TEST(RuleChain, AppendsAtTheEndThroughReportNext) {
    Rule a{}, b{}, c{};
    b.report_next = &a;  // stale link from an earlier report
    Rule* chain = CRuleHelper::AppendToRuleChain(nullptr, &a);
    EXPECT_EQ(chain, &a);
    chain = CRuleHelper::AppendToRuleChain(chain, &b);
    chain = CRuleHelper::AppendToRuleChain(chain, &c);
    EXPECT_EQ(chain, &a);
    EXPECT_EQ(a.report_next, &b);
    EXPECT_EQ(b.report_next, &c);
    EXPECT_EQ(c.report_next, nullptr);
    EXPECT_EQ(CRuleHelper::AppendToRuleChain(chain, nullptr), &a);
}

TEST(RuleChain, RuleAlreadyInChainDoesNotCloseALoop) {
    Rule a{}, b{};
    Rule* chain = CRuleHelper::AppendToRuleChain(nullptr, &a);
    chain = CRuleHelper::AppendToRuleChain(chain, &b);
    chain = CRuleHelper::AppendToRuleChain(chain, &a);
    chain = CRuleHelper::AppendToRuleChain(chain, &b);
    EXPECT_EQ(chain, &a);
    EXPECT_EQ(a.report_next, &b);
    EXPECT_EQ(b.report_next, nullptr);
}

TEST(RuleLog, AddRuleWritesItsDebugLines) {
    debug_enable("MAILWARD_Debug", 1);
    LogCapture log;
    CRuleHelper rules;
    ASSERT_EQ(rules.AddRule("s", nullptr, "Subject: x", 0, 4, nullptr, 0), 0);
    debug_enable("MAILWARD_Debug", 0);
    EXPECT_TRUE(log.Contains(QLOG_DEBUG, "AddRule() - set: s, rule: Subject: x"));
    EXPECT_TRUE(log.Contains(QLOG_DEBUG, "AddRuleSet() - set: s"));
    EXPECT_TRUE(log.Contains(QLOG_DEBUG, "AddRuleSet() - leaving"));
    EXPECT_TRUE(log.Contains(QLOG_DEBUG, "AddRule() - returns 0"));
}

}  // namespace
