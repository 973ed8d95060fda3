/*
 * test_rules_concurrency.cpp - rules handed out stay readable while their
 * readers run: retired sets and default rules step by step, and under load
 * (clearing and re-adding on one thread while others check and read). ASan
 * sees a rule released too early; TSan sees a shared member without lock.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "rules/rulehelper.h"
#include "rules_test_util.h"

namespace {

constexpr unsigned NO_GRACE = 0;             // released once no reader holds them
constexpr unsigned HOUR_MS = 3600u * 1000u;  // longer than any test run

TEST(RulesConcurrency, ClearedRulesWaitForReadersThatBeganBefore) {
    CRuleHelper rules(NO_GRACE);
    ASSERT_EQ(rules.AddRule("s", "n", "Subject: *", 0, 4, nullptr, 0), 0);
    HdrPtr hdr = MakeHeader({"Subject: x"});
    CRuleHelper::ReadGuard guard = rules.BeginRead();
    const Rule* held = rules.CheckHeader("s", hdr.get());
    ASSERT_NE(held, nullptr);
    rules.ClearRules();
    EXPECT_EQ(rules.RetiredCount(), 1u);
    EXPECT_STREQ(held->text, "Subject: *");
    EXPECT_EQ(held->action, 4);
    // A later reader does not hold it back; the oldest holds all since.
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

// The destructor releases what the grace time kept (ASan: no leak).
TEST(RulesConcurrency, GraceTimeKeepsRetiredRulesAfterTheirReaders) {
    CRuleHelper rules(HOUR_MS);
    ASSERT_EQ(rules.AddRule("s", nullptr, "Subject: *", 0, 4, nullptr, 0), 0);
    rules.ClearRules();
    { CRuleHelper::ReadGuard guard = rules.BeginRead(); }
    EXPECT_EQ(rules.RetiredCount(), 1u);
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
    RuleSet* set = rules.FindRuleSet("shared");
    ASSERT_NE(set, nullptr);
    int sets = 0, count = 0;
    for (RuleSet* s = set; s != nullptr; s = s->next)
        sets += std::string(s->name) == "shared" ? 1 : 0;
    for (const Rule* r = set->rules; r != nullptr; r = r->next)
        ++count;
    EXPECT_EQ(sets, 1);
    EXPECT_EQ(count, THREADS * PER_THREAD);
}

// One thread clears, re-adds and replaces default rules in a loop; readers
// holding a guard check headers, match a part as the worker does, and read
// every member of the rules they got.
TEST(RulesConcurrency, ClearWhileReading) {
    CRuleHelper rules(NO_GRACE);
    constexpr int ROUNDS = 1000, READERS = 3, CHECKS = 600;
    std::atomic<bool> stop{false};
    std::atomic<long> seen{0}, nulls{0};
    std::atomic<int> wrong{0};
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
            HdrPtr headers[] = {MakeHeader({"Subject: great =?utf-8?Q?offer?=", "From: a@b.org"}),
                                MakeHeader({"Subject: hello", "From: a@b.org"}),
                                MakeHeader({"Subject: hello", "From: joe@example.com"})};
            auto part = TextPart(nullptr, "send money now\n");
            for (int i = 0; i < CHECKS || !stop; ++i) {
                CRuleHelper::ReadGuard guard = rules.BeginRead();
                const Rule* r = rules.CheckHeader("h", headers[(i + t) % 3].get());
                if (r == nullptr) {
                    ++nulls;  // between a clearing and the next rule
                    continue;
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
                if (RuleSet* set = rules.FindRuleSet("h")) {
                    const Rule* hit = rules.FindMatchingRule(part.get(), set);
                    ok = ok && (hit == nullptr || std::string(hit->name) == "body");
                }
                // Read again at the end, as a mail check reads its report.
                ok = ok && text == r->text && (r->is_default != 0) == (r->hdr == nullptr);
                wrong += ok ? 0 : 1;
                ++seen;
            }
        });
    }
    admin.join();
    for (std::thread& t : readers)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(seen.load(), 0);
    EXPECT_GE(seen.load() + nulls.load(), static_cast<long>(READERS) * CHECKS);
    EXPECT_EQ(rules.RetiredCount(), 0u);
}

}  // namespace
