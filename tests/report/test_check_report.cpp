/*
 * test_check_report.cpp - the check report: part records in order, highest
 * action and virus result kept, error bits, the rule chain without
 * duplicates, and the pointer sets.
 */
#include <gtest/gtest.h>

#include <cstddef>

#include "report/check_report.h"

namespace {

std::vector<void*> Members(const PtrSet& set) {
    std::vector<void*> out;
    ptrset::ForEach(set, [&](void* v) { out.push_back(v); });
    return out;
}

TEST(PtrSet, KeepsOrderAndHoldsEachPointerOnce) {
    PtrSet set{};
    int a, b, c;
    EXPECT_EQ(ptrset::Add(set, nullptr), nullptr);
    EXPECT_EQ(set.first, nullptr);
    EXPECT_EQ(ptrset::Add(set, &a), &set);  // the first member lives in the head
    void* nodeB = ptrset::Add(set, &b);
    ptrset::Add(set, &c);
    EXPECT_EQ(ptrset::Add(set, &b), nodeB);
    EXPECT_EQ(ptrset::Count(set), 3u);
    EXPECT_EQ(Members(set), (std::vector<void*>{&a, &b, &c}));

    PtrSet copy{};
    ptrset::Add(copy, &c);
    ptrset::CopyFrom(copy, set);
    EXPECT_EQ(Members(copy), (std::vector<void*>{&c, &a, &b}));
    ptrset::Clear(copy);
    ptrset::Clear(set);
    EXPECT_EQ(set.first, nullptr);
    EXPECT_EQ(set.next, nullptr);
    EXPECT_EQ(ptrset::Count(set), 0u);
}

TEST(CheckReport, PartRecordsKeepTheirOrderAndNames) {
    CCheckReport report;
    int mail, body, att;
    report.AddPart(&mail, "multipart/mixed");
    report.AddPart(&body, "text/plain");
    report.AddPart(&att, nullptr);
    report.AddPart(&body, "again");  // an existing record is kept as it is
    ASSERT_EQ(report.CountParts(), 3);
    EXPECT_STREQ(report.parts->name, "multipart/mixed");
    EXPECT_STREQ(report.parts->next->name, "text/plain");
    EXPECT_STREQ(report.parts->next->next->name, "unnamed");
    EXPECT_EQ(report.FindPart(&att), report.parts->next->next);
    EXPECT_EQ(report.FindPart(&report), nullptr);
}

TEST(CheckReport, VirusResultsAndActionsOnlyGoUp) {
    CCheckReport report;
    int a, b;
    report.AddPart(&a, "a.exe");
    report.AddPart(&b, "b.txt");
    EXPECT_EQ(report.SetPartVirus(&report, VIRUS_FOUND, 32, "x", "y"), nullptr);
    EXPECT_EQ(report.virusResult, VIRUS_NOT_CHECKED);

    PartReport* ra = report.SetPartVirus(&a, VIRUS_FOUND, PART_REMOVED, "Eicar", "engine 1");
    ASSERT_NE(ra, nullptr);
    report.SetPartVirus(&b, VIRUS_CLEAN, 0, nullptr, nullptr);
    EXPECT_EQ(report.virusResult, VIRUS_FOUND);
    EXPECT_EQ(report.modified, 1);
    report.SetPartVirus(&a, VIRUS_CLEAN, PART_RENAMED, nullptr, nullptr);
    EXPECT_EQ(ra->action, PART_REMOVED);
    EXPECT_EQ(ra->virusResult, VIRUS_CLEAN);     // the record takes the latest result
    EXPECT_EQ(report.virusResult, VIRUS_FOUND);  // the mail's never goes down
    EXPECT_STREQ(ra->virusName, "Eicar");        // null texts keep the old ones
    EXPECT_STREQ(ra->engineVersion, "engine 1");
}

// The rule chain, the header rules, the errors and the status: Reset
// releases them all.
// An engine limit is ERR_CHECK with ST_ENGINE_LIMIT, which stands only
// while no other failure set ERR_CHECK in the same check, in either order;
// other error bits leave it, and a reset forgets the other failure.
TEST(CheckReport, EngineLimitStatusStandsOnlyWhileTheLimitIsTheOneCheckFailure) {
    CCheckReport report;
    report.SetEngineLimit();
    report.SetEngineLimit();
    EXPECT_EQ(report.result, -1);
    EXPECT_EQ(report.errors, static_cast<uint32_t>(ERR_CHECK));
    EXPECT_EQ(report.status, static_cast<uint32_t>(ST_ENGINE_LIMIT));
    report.SetError(ERR_SAVE);
    EXPECT_EQ(report.status, static_cast<uint32_t>(ST_ENGINE_LIMIT));
    report.status |= ST_PART_RULE;
    report.SetError(ERR_CHECK);
    EXPECT_EQ(report.status, static_cast<uint32_t>(ST_PART_RULE));

    report.Reset();
    report.SetError(ERR_CHECK);
    report.SetEngineLimit();
    EXPECT_EQ(report.status, 0u);
    report.Reset();
    report.SetEngineLimit();
    EXPECT_EQ(report.status, static_cast<uint32_t>(ST_ENGINE_LIMIT));
}

TEST(CheckReport, RuleChainHoldsEachRuleOnceErrorsSetResultAndResetClears) {
    CCheckReport report;
    Rule A{}, B{};
    int p1, p2, p3;
    PtrSet s{};
    for (auto [part, rule] : {std::pair{&p1, &A}, {&p2, &B}, {&p3, &A}}) {
        report.AddPart(part, "p");
        ptrset::Add(s, rule);
        report.SetPartAction(part, &s, PART_REMOVED, "/q/a");
        ptrset::Clear(s);
    }
    std::vector<const Rule*> chain;
    for (const Rule* r = report.ruleChain; r != nullptr; r = r->report_next)
        chain.push_back(r);
    EXPECT_EQ(chain, (std::vector<const Rule*>{&A, &B}));
    // The part's own set is a copy: clearing the caller's set left it intact.
    EXPECT_EQ(ptrset::First(report.parts->rules), &A);

    report.SetError(0);
    EXPECT_EQ(report.result, 0);
    report.SetError(ERR_CHECK);
    report.SetError(ERR_CHECK);
    report.SetError(ERR_SAVE);
    EXPECT_EQ(report.result, -1);
    EXPECT_EQ(report.errors, static_cast<uint32_t>(ERR_CHECK | ERR_SAVE));
    ptrset::Add(report.headerRules, &A);
    report.status = ST_HEADER_RULE;
    report.Reset();
    EXPECT_EQ(report.parts, nullptr);
    EXPECT_EQ(report.ruleChain, nullptr);
    EXPECT_EQ(report.headerRules.first, nullptr);
    EXPECT_EQ(report.status, 0u);
    EXPECT_EQ(report.modified, 0);
    EXPECT_EQ(report.result, 0);
    EXPECT_EQ(report.errors, 0u);
    // A reset report starts its lists afresh: the old parts are not found,
    // new records and rules start the lists.
    EXPECT_EQ(report.FindPart(&p1), nullptr);
    report.AddPart(&p2, "again");
    ptrset::Add(s, &B);
    report.SetPartAction(&p2, &s, PART_REMOVED, nullptr);
    ptrset::Clear(s);
    ASSERT_NE(report.parts, nullptr);
    EXPECT_STREQ(report.parts->name, "again");
    EXPECT_EQ(report.parts->next, nullptr);
    EXPECT_EQ(report.ruleChain, &B);
    EXPECT_EQ(B.report_next, nullptr);
}

}  // namespace
