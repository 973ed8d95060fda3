/*
 * test_pf_thread.cpp - threads of the platform layer: created suspended and
 * started by resume, waited for with a time-out, closed while running
 * (detached, goes on) or before running (never runs), and sleep. The waits
 * here are generous upper bounds for the thread to get going, never speed
 * goals; a "does not run" check looks for a while and expects nothing.
 */
#include "platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

// Long enough for any thread to have been scheduled on a busy machine.
constexpr unsigned kSettleMs = 100;
// Upper bound for a thread that is free to end.
constexpr unsigned kEndMs = 10000;

struct Probe {
    std::atomic<int> runs{0};
    std::atomic<bool> release{false};  // a blocked body may end
    std::atomic<bool> finished{false};
};

void Count(void* p) {
    static_cast<Probe*>(p)->runs.fetch_add(1);
}

void BlockUntilReleased(void* p) {
    auto* probe = static_cast<Probe*>(p);
    probe->runs.fetch_add(1);
    while (!probe->release.load())
        pf::sleep_ms(1);
    probe->finished.store(true);
}

TEST(PfThread, RunsOnlyAfterResumeWithDistinctIdsAndNeverWhenClosedBefore) {
    Probe probe;
    std::uint32_t a = 0, b = 0;
    pf::Thread* ta = pf::thread_create_suspended(&Count, &probe, &a);
    pf::Thread* tb = pf::thread_create_suspended(&Count, &probe, &b);
    pf::Thread* never = pf::thread_create_suspended(&Count, &probe, nullptr);
    ASSERT_NE(ta, nullptr);
    ASSERT_NE(tb, nullptr);
    ASSERT_NE(never, nullptr);
    pf::thread_close(never);
    EXPECT_NE(a, 0u);
    EXPECT_NE(b, 0u);
    EXPECT_NE(a, b);
    EXPECT_FALSE(pf::thread_wait(ta, kSettleMs));
    EXPECT_EQ(probe.runs.load(), 0);
    ASSERT_TRUE(pf::thread_resume(ta));
    EXPECT_TRUE(pf::thread_wait(ta, kEndMs));
    EXPECT_EQ(probe.runs.load(), 1);
    ASSERT_TRUE(pf::thread_resume(tb));
    EXPECT_TRUE(pf::thread_wait(tb, kEndMs));
    EXPECT_EQ(probe.runs.load(), 2);
    pf::thread_close(ta);
    pf::thread_close(tb);
    pf::sleep_ms(kSettleMs);
    EXPECT_EQ(probe.runs.load(), 2);  // the closed one never ran

    EXPECT_EQ(pf::thread_create_suspended(nullptr, nullptr, nullptr), nullptr);
    EXPECT_FALSE(pf::thread_resume(nullptr));
    EXPECT_FALSE(pf::thread_wait(nullptr, 0));
    pf::thread_close(nullptr);  // does nothing
}

TEST(PfThread, TimedWaitsInRoundsUntilTheThreadEnds) {
    // The service's Stop waits in rounds until the job in progress ends.
    Probe probe;
    pf::Thread* t = pf::thread_create_suspended(&BlockUntilReleased, &probe, nullptr);
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(pf::thread_resume(t));
    EXPECT_FALSE(pf::thread_wait(t, 0));
    EXPECT_FALSE(pf::thread_wait(t, kSettleMs));
    EXPECT_FALSE(probe.finished.load());
    int rounds = 0;
    while (!pf::thread_wait(t, 20)) {
        if (++rounds == 3)
            probe.release.store(true);
        ASSERT_LT(rounds, 1000);
    }
    EXPECT_GE(rounds, 3);
    EXPECT_TRUE(probe.finished.load());
    // Waiting again on an ended thread keeps answering true.
    EXPECT_TRUE(pf::thread_wait(t, 0));
    EXPECT_TRUE(pf::thread_wait(t, PF_WAIT_FOREVER));
    pf::thread_close(t);
}

TEST(PfThread, CloseWhileRunningDetaches) {
    auto* probe = new Probe;  // outlives the handle; freed after the thread ends
    pf::Thread* t = pf::thread_create_suspended(&BlockUntilReleased, probe, nullptr);
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(pf::thread_resume(t));
    pf::thread_close(t);
    probe->release.store(true);
    for (unsigned waited = 0; waited < kEndMs && !probe->finished.load(); waited += 5)
        pf::sleep_ms(5);
    EXPECT_TRUE(probe->finished.load());
    EXPECT_EQ(probe->runs.load(), 1);
    pf::sleep_ms(kSettleMs);  // let the detached thread leave its body
    delete probe;
}

TEST(PfThread, ManyThreadsFromSeveralOwnersAllRunOnce) {
    // Owners on several threads create, start, wait for and close their own
    // workers at the same time, as services in one host process would.
    constexpr int kOwners = 4, kEach = 25;
    Probe probe;
    std::atomic<int> failures{0};
    std::vector<std::thread> owners;
    for (int o = 0; o < kOwners; ++o) {
        owners.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) {
                pf::Thread* t = pf::thread_create_suspended(&Count, &probe, nullptr);
                if (t == nullptr || !pf::thread_resume(t) || !pf::thread_wait(t, kEndMs))
                    failures.fetch_add(1);
                pf::thread_close(t);
            }
        });
    }
    for (auto& th : owners)
        th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(probe.runs.load(), kOwners * kEach);
}

TEST(PfSleep, SleepsAtLeastRoughlyTheTimeAsked) {
    // A lower bound only: sleep must not return early by a whole tick.
    auto start = std::chrono::steady_clock::now();
    pf::sleep_ms(50);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 40);
}

}  // namespace
