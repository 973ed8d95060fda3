/*
 * test_worker_park.cpp - the park against the real library, linked in:
 * messages queued behind the parked worker are all checked in order and
 * the park mail stays as it was; passes granted while the worker is busy
 * are used, not lost; a message queued without a release waits behind the
 * park until one comes; a park whose mail is gone breaks without holding a
 * message; and a stopped park lets the service stop.
 */
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "../processors/fixtures.h"
#include "mailward.h"
#include "miralib/miralib.h"
#include "milter/worker_park.h"

namespace {

using namespace fixtures;
using namespace std::chrono_literals;

class WorkerParkTest : public ::testing::Test {
  protected:
    ScratchDir dir;
    std::optional<WorkerPark> park;  // outlives the service: see TearDown
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::pair<int, std::uint32_t>> reports;  // message number, errors

    void SetUp() override {
        fs::create_directories(dir.path() / "data");
        fs::create_directories(dir.path() / "tmp");
        miraconf_set("DataDir", (dir.path() / "data").string().c_str());
        miraconf_set("TempDir", (dir.path() / "tmp").string().c_str());
        miraconf_set("BackupMode", "0");
        ASSERT_EQ(MAILWARD_init(), 0);
        // A set of the rules, named in every check's rule chain.
        ASSERT_EQ(MAILWARD_add_rule("set", "exe", "attachment: *.exe", 0, 9, nullptr, 0), 0);
        park.emplace(&MAILWARD_check_mail, dir.str(), "set");
    }
    void TearDown() override {
        park->Stop();
        MAILWARD_exit();
        miraconf_reset();
    }

    struct Call {
        WorkerParkTest* self;
        int number;
    };
    static void MAILWARD_CALL OnReport(const CheckReport* r, uintptr_t user) {
        std::unique_ptr<Call> call(reinterpret_cast<Call*>(user));
        std::lock_guard<std::mutex> lock(call->self->mutex);
        call->self->reports.emplace_back(call->number, r->errors);
        call->self->cv.notify_all();
    }

    fs::path Source(int n) { return dir.path() / ("m" + std::to_string(n) + ".eml"); }
    fs::path Target(int n) { return dir.path() / ("m" + std::to_string(n) + ".out"); }

    // Queues message `n` (a copy to its target), with `list` as its
    // spam-list function when given.
    void Queue(int n, SpamListCheck list = nullptr, uintptr_t listUser = 0) {
        WriteFile(Source(n), "From: <a@b.example>\r\nSubject: m" + std::to_string(n) +
                                 "\r\n\r\nbody " + std::to_string(n) + "\r\n");
        auto call = std::make_unique<Call>(Call{this, n});
        ASSERT_EQ(MAILWARD_check_mail("set", nullptr, Source(n).string().c_str(),
                                      Target(n).string().c_str(), list ? JOB_SPAM_LIST : 0, list,
                                      listUser, &OnReport, reinterpret_cast<uintptr_t>(call.get())),
                  0);
        call.release();
    }

    bool WaitForReports(std::size_t n) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, 30s, [&] { return reports.size() >= n; });
    }
    std::size_t Reports() {
        std::lock_guard<std::mutex> lock(mutex);
        return reports.size();
    }
};

TEST_F(WorkerParkTest, MessagesBehindTheParkAreCheckedInOrderAndTheParkMailStays) {
    std::string error;
    ASSERT_TRUE(park->Start(error)) << error;
    constexpr int kMessages = 30;
    for (int n = 0; n < kMessages; ++n) {
        Queue(n);
        park->Release();
    }
    ASSERT_TRUE(WaitForReports(kMessages));
    for (int n = 0; n < kMessages; ++n) {
        EXPECT_EQ(reports[n].first, n);
        EXPECT_EQ(reports[n].second, 0u) << n;
        EXPECT_EQ(ReadFile(Target(n)), ReadFile(Source(n))) << n;
    }
    // Each message let the park check ahead of it go; the last one waits.
    EXPECT_EQ(park->Passed(), static_cast<std::size_t>(kMessages));
    std::string why;
    EXPECT_FALSE(park->Broken(&why)) << why;
    EXPECT_EQ(ReadFile(dir.path() / PARK_MAIL_NAME), PARK_MAIL);
}

// Holds the worker inside message 0's spam-list step until the test lets go.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool inside = false, open = false;
    static void MAILWARD_CALL Check(mailhdr*, uintptr_t user, SpamListDone done, void* job) {
        auto* g = reinterpret_cast<Gate*>(user);
        std::unique_lock<std::mutex> lock(g->m);
        g->inside = true;
        g->cv.notify_all();
        g->cv.wait(lock, [g] { return g->open; });
        done(0, 0, job);
    }
};

TEST_F(WorkerParkTest, PassesGrantedWhileTheWorkerIsBusyAreUsedLater) {
    std::string error;
    ASSERT_TRUE(park->Start(error)) << error;
    Gate gate;
    Queue(0, &Gate::Check, reinterpret_cast<uintptr_t>(&gate));
    park->Release();
    {
        std::unique_lock<std::mutex> lock(gate.m);
        ASSERT_TRUE(gate.cv.wait_for(lock, 30s, [&] { return gate.inside; }));
    }
    // The worker is busy: these passes are for park checks still queued.
    for (int n = 1; n <= 5; ++n) {
        Queue(n);
        park->Release();
    }
    {
        std::lock_guard<std::mutex> lock(gate.m);
        gate.open = true;
    }
    gate.cv.notify_all();
    ASSERT_TRUE(WaitForReports(6));
    for (int n = 0; n <= 5; ++n)
        EXPECT_EQ(reports[n].first, n);
    EXPECT_EQ(park->Passed(), 6u);
    EXPECT_FALSE(park->Broken());
}

TEST_F(WorkerParkTest, AMessageQueuedWithoutAReleaseWaitsUntilOneComes) {
    std::string error;
    ASSERT_TRUE(park->Start(error)) << error;
    Queue(0);
    // Three of the worker's looks: without the park it would have been done.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(Reports(), 0u);
    park->Release();
    ASSERT_TRUE(WaitForReports(1));
    EXPECT_EQ(reports[0].second, 0u);
}

TEST_F(WorkerParkTest, AParkWhoseMailIsGoneBreaksWithoutHoldingAMessage) {
    std::string error;
    ASSERT_TRUE(park->Start(error)) << error;
    fs::remove(dir.path() / PARK_MAIL_NAME);
    // The park check already waiting has read its mail; the next one fails.
    Queue(0);
    park->Release();
    Queue(1);
    park->Release();
    ASSERT_TRUE(WaitForReports(2));
    EXPECT_EQ(reports[0].second, 0u);
    EXPECT_EQ(reports[1].second, 0u);
    std::string why;
    EXPECT_TRUE(park->Broken(&why));
    EXPECT_NE(why.find("errors 0x1"), std::string::npos) << why;
}

TEST_F(WorkerParkTest, AStoppedParkLetsChecksThroughAndTheServiceStop) {
    std::string error;
    ASSERT_TRUE(park->Start(error)) << error;
    park->Stop();
    Queue(0);
    park->Release();  // does nothing now
    ASSERT_TRUE(WaitForReports(1));
    EXPECT_EQ(park->Passed(), 1u);
    // TearDown's MAILWARD_exit returns: no park check holds the worker.
}

TEST_F(WorkerParkTest, StartRefusesAFolderItCannotWriteAndReleaseThenDoesNothing) {
    WorkerPark lost(&MAILWARD_check_mail, (dir.path() / "missing").string(), "set");
    std::string error;
    EXPECT_FALSE(lost.Start(error));
    EXPECT_NE(error.find("missing"), std::string::npos) << error;
    Queue(0);
    lost.Release();
    ASSERT_TRUE(WaitForReports(1));
    EXPECT_EQ(lost.Passed(), 0u);
}

}  // namespace
