/*
 * test_rules_concurrency.cpp - rules handed out stay readable while their
 * readers run: the epoch rules of retired sets and default rules, checked
 * one step at a time, and under load (clearing and re-adding on one thread
 * while others check headers and parts and read the rules they got). Run
 * under ASan a rule released too early is a use-after-free; under TSan the
 * suite shows that one lock covers every shared member.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "rules/rulehelper.h"
#include "rules_test_util.h"

namespace {

// Retired items wait for their readers only: released the moment they may.
constexpr unsigned NO_GRACE = 0;
// Long enough that no test run reaches it.
constexpr unsigned HOUR_MS = 3600u * 1000u;

TEST(RulesConcurrency, ClearedRulesWaitForReadersThatBeganBefore) {
    CRuleHelper rules(NO_GRACE);
    ASSERT_EQ(rules.AddRule("s", "n", "Subject: *", 0, 4, nullptr, 0), 0);
    HdrPtr hdr = MakeHeader({"Subject: x"});

    CRuleHelper::ReadGuard guard = rules.BeginRead();
    const Rule* held = rules.CheckHeader("s", hdr.get());
    ASSERT_NE(held, nullptr);
    rules.ClearRules();
    EXPECT_EQ(rules.RetiredCount(), 1u);
    // Still readable (a use-after-free under ASan otherwise).
    EXPECT_STREQ(held->text, "Subject: *");
    EXPECT_EQ(held->action, 4);

    // A reader that begins after the clearing does not hold it back, but
    // the oldest reader holds everything retired since it began.
    ASSERT_EQ(rules.AddRule("s", nullptr, "Subject: *", 0, 4, nullptr, 0), 0);
    CRuleHelper::ReadGuard later = rules.BeginRead();
    rules.ClearRules();
    EXPECT_EQ(rules.RetiredCount(), 2u);
    later.Release();
    EXPECT_EQ(rules.RetiredCount(), 2u);
    guard.Release();
    EXPECT_FALSE(guard.Active());
    EXPECT_EQ(rules.RetiredCount(), 0u);
}

TEST(RulesConcurrency, ReplacedDefaultRuleWaitsForItsReader) {
    CRuleHelper rules(NO_GRACE);
    rules.SetDefaultAction("s", 9);
    EXPECT_EQ(rules.RetiredCount(), 0u);  // the first default had no reader
    HdrPtr hdr = MakeHeader({"Subject: x"});
    CRuleHelper::ReadGuard guard = rules.BeginRead();
    const Rule* held = rules.CheckHeader("s", hdr.get());
    rules.SetDefaultAction("s", 5);
    rules.SetDefaultAction("s", 6);
    EXPECT_EQ(rules.RetiredCount(), 2u);
    EXPECT_EQ(held->action, 9);
    EXPECT_STREQ(held->text, "default");
    {
        CRuleHelper::ReadGuard moved = std::move(guard);
        EXPECT_FALSE(guard.Active());
        EXPECT_EQ(rules.RetiredCount(), 2u);
    }
    EXPECT_EQ(rules.RetiredCount(), 0u);
    EXPECT_EQ(rules.CheckHeader("s", hdr.get())->action, 6);
}

TEST(RulesConcurrency, GraceTimeKeepsRetiredRulesAfterTheirReaders) {
    CRuleHelper rules(HOUR_MS);
    ASSERT_EQ(rules.AddRule("s", nullptr, "Subject: *", 0, 4, nullptr, 0), 0);
    rules.ClearRules();
    EXPECT_EQ(rules.RetiredCount(), 1u);
    { CRuleHelper::ReadGuard guard = rules.BeginRead(); }
    EXPECT_EQ(rules.RetiredCount(), 1u);
    // The destructor releases it all the same (ASan reports a leak otherwise).
}

TEST(RulesConcurrency, FirstRulesOfOneNewSetFromManyThreads) {
    CRuleHelper rules;
    constexpr int THREADS = 4, PER_THREAD = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&rules, t] {
            for (int i = 0; i < PER_THREAD; ++i) {
                std::string text = "Subject: t" + std::to_string(t) + "-" + std::to_string(i);
                rules.AddRule("shared", nullptr, text.c_str(), 0, 4, nullptr, i % 2);
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    int sets = 0;
    RuleSet* set = rules.FindRuleSet("shared");
    ASSERT_NE(set, nullptr);
    for (RuleSet* s = set; s != nullptr; s = s->next)
        sets += std::string(s->name) == "shared" ? 1 : 0;
    EXPECT_EQ(sets, 1);
    int count = 0;
    for (const Rule* r = set->rules; r != nullptr; r = r->next)
        ++count;
    EXPECT_EQ(count, THREADS * PER_THREAD);
}

// One thread clears and re-adds rules and replaces default rules in a loop;
// the others check headers (and match a part, as the worker does) while
// holding a guard, and read every member of the rules they got.
TEST(RulesConcurrency, ClearWhileReading) {
    CRuleHelper rules(NO_GRACE);
    constexpr int ROUNDS = 1000, READERS = 3, CHECKS = 600;
    std::atomic<bool> stop{false};
    std::atomic<long> seen{0};
    std::atomic<int> wrong{0};
    std::atomic<long> nulls{0};

    auto fill = [&rules](int round) {
        rules.AddRule("h", "spam", "Subject: *offer*", round, 4, "/tmp/q", 0);
        rules.AddRule("h", "from", "From: *example*;Subject: nothing", round, 5, nullptr, 1);
        rules.AddRule("h", "body", "body: money", round, 6, nullptr, 0);
        rules.SetDefaultAction("h", 100 + round % 7);
    };
    fill(0);
    rules.m_nMatchMode = MATCH_KEYWORD;  // set before the readers start, as the worker does

    std::thread admin([&] {
        for (int round = 1; round <= ROUNDS; ++round) {
            rules.ClearRules();
            fill(round);
            if (round % 3 == 0)
                rules.SetDefaultAction("h", 200);
        }
        stop = true;
    });

    std::vector<std::thread> readers;
    for (int t = 0; t < READERS; ++t) {
        readers.emplace_back([&, t] {
            HdrPtr offer = MakeHeader({"Subject: great =?utf-8?Q?offer?=", "From: a@b.org"});
            HdrPtr plain = MakeHeader({"Subject: hello", "From: a@b.org"});
            HdrPtr from = MakeHeader({"Subject: hello", "From: joe@example.com"});
            const HdrPtr* headers[] = {&offer, &plain, &from};
            auto part = TextPart(nullptr, "send money now\n");
            for (int i = 0; i < CHECKS || !stop; ++i) {
                CRuleHelper::ReadGuard guard = rules.BeginRead();
                const HdrPtr& hdr = *headers[(i + t) % 3];
                const Rule* r = rules.CheckHeader("h", hdr.get());
                if (r == nullptr) {
                    ++nulls;
                    continue;  // between a clearing and the next rule
                }
                std::string text = r->text;
                // A set made again by its first rule has default action 1
                // until the admin thread sets its own.
                bool ok = r->is_default
                              ? (text == "default" && r->hdr == nullptr &&
                                 (r->action == 1 || (r->action >= 100 && r->action <= 200)))
                              : (r->hdr != nullptr && r->name != nullptr);
                if (!r->is_default && text == "Subject: *offer*")
                    ok = ok && r->action == 4 && std::string(r->target_dir) == "/tmp/q";
                if (!ok)
                    ++wrong;
                RuleSet* set = rules.FindRuleSet("h");
                if (set != nullptr) {
                    const Rule* hit = rules.FindMatchingRule(part.get(), set);
                    if (hit != nullptr && std::string(hit->name) != "body")
                        ++wrong;
                }
                // Read again at the end, as a mail check reads its report.
                if (text != r->text || (r->is_default != 0) != (r->hdr == nullptr))
                    ++wrong;
                ++seen;
            }
        });
    }
    admin.join();
    for (std::thread& t : readers)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
    // Every check gave a rule, or null while the set was cleared and not
    // yet filled again.
    EXPECT_GT(seen.load(), 0);
    EXPECT_GE(seen.load() + nulls.load(), static_cast<long>(READERS) * CHECKS);
    EXPECT_EQ(rules.RetiredCount(), 0u);
}

}  // namespace
