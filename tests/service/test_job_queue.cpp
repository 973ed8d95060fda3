/*
 * test_job_queue.cpp - the worker thread and job queue: submission order
 * across threads, stopping with jobs queued, stopping while a job runs, and
 * the spam-list tickets (an answer from another thread; repeated, late and
 * foreign answers ignored).
 */
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "pf/platform.h"
#include "platform/qorcsock_capture.h"
#include "service/job_queue.h"
#include "service/spamlist_tickets.h"

namespace {

MailJob* MakeJob(std::uintptr_t user) {
    auto* job = new MailJob;
    job->source = pf::strdup("mail.eml");
    job->target = pf::strdup("mail.eml");
    job->ruleSet = pf::strdup("set");
    job->user = user;
    return job;
}

// A queue that records the jobs it is given, optionally taking its time.
class RecordingQueue : public CJobQueue {
  public:
    explicit RecordingQueue(unsigned workMs = 0) : m_workMs(workMs) {}
    ~RecordingQueue() override { Stop(); }

    std::vector<std::uintptr_t> Seen() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_seen;
    }
    int Running() const { return m_running.load(); }
    std::atomic<int> started{0};

  protected:
    void OnPop(MailJob* job) override {
        ++started;
        ++m_running;
        if (m_workMs)
            pf::sleep_ms(m_workMs);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_seen.push_back(job->user);
        }
        --m_running;
        ReleaseMailJob(job);
    }

  private:
    unsigned m_workMs;
    std::mutex m_mutex;
    std::vector<std::uintptr_t> m_seen;
    std::atomic<int> m_running{0};
};

template <class Pred>
bool WaitFor(Pred pred, int ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST(JobQueue, JobsFromSeveralThreadsRunOneAtATimeInPushOrder) {
    RecordingQueue queue;
    std::mutex orderLock;
    std::vector<std::uintptr_t> pushed;
    std::vector<std::thread> submitters;
    for (int t = 0; t < 4; ++t) {
        submitters.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                // Push and the record of its order happen under one lock, so
                // `pushed` is the order in which the queue received the jobs.
                std::lock_guard<std::mutex> lock(orderLock);
                std::uintptr_t id = static_cast<std::uintptr_t>(t * 1000 + i);
                pushed.push_back(id);
                queue.Push(MakeJob(id));
            }
        });
    }
    for (auto& s : submitters)
        s.join();
    ASSERT_TRUE(WaitFor([&] { return queue.Seen().size() == 100; }, 10000));
    EXPECT_EQ(queue.Seen(), pushed);
}

TEST(JobQueue, StopDropsQueuedJobsWithoutRunningThem) {
    auto* queue = new RecordingQueue(300);
    for (int i = 0; i < 5; ++i)
        queue->Push(MakeJob(static_cast<std::uintptr_t>(i)));
    ASSERT_TRUE(WaitFor([&] { return queue->started.load() >= 1; }, 5000));
    auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(queue->Stop());
    auto took = std::chrono::steady_clock::now() - begin;
    // The job in progress ends; the worker takes no further job.
    EXPECT_EQ(queue->Running(), 0);
    EXPECT_EQ(queue->Seen().size(), 1u);
    EXPECT_LT(took, std::chrono::milliseconds(1500));
    EXPECT_EQ(queue->Pending(), 4u);
    delete queue;  // releases the four queued jobs (checked by ASan for leaks)
}

TEST(JobQueue, StopWaitsForALongJobToEndAndOnlyOnce) {
    RecordingQueue queue(1500);
    queue.Push(MakeJob(7));
    ASSERT_TRUE(WaitFor([&] { return queue.started.load() == 1; }, 5000));
    EXPECT_TRUE(queue.Stop());
    // Longer than the 1000 ms wait: the job still ran to its end.
    EXPECT_EQ(queue.Running(), 0);
    EXPECT_EQ(queue.Seen(), std::vector<std::uintptr_t>{7});
    EXPECT_FALSE(queue.Stop());  // no thread left to stop
}

TEST(JobQueue, SpamListAnswerFromAnotherThreadIsSeenWhole) {
    const std::uintptr_t ticket = spamlist::Open();
    ASSERT_NE(ticket, 0u);
    std::thread host([ticket] { SpamListDoneImpl(1, 42, reinterpret_cast<void*>(ticket)); });
    std::uint32_t hit = 0, value = 0;
    while (!spamlist::Answered(ticket, hit, value))
        std::this_thread::yield();
    EXPECT_EQ(hit, 1u);
    EXPECT_EQ(value, 42u);
    host.join();
    spamlist::Close(ticket);
}

// The host breaks its side: a second answer, an answer after the ticket was
// closed (the job ended), an answer with a number never handed out. Each is
// ignored with its error line and leaves every other ticket as it was.
TEST(JobQueue, RepeatedLateOrForeignSpamListAnswersAreIgnored) {
    const std::size_t openBefore = spamlist::OpenTickets();
    const std::uintptr_t first = spamlist::Open();
    const std::uintptr_t other = spamlist::Open();
    ASSERT_NE(first, other);
    LogCapture log;
    SpamListDoneImpl(1, 7, reinterpret_cast<void*>(first));
    SpamListDoneImpl(0, 8, reinterpret_cast<void*>(first));  // repeated
    std::uint32_t hit = 0, value = 0;
    ASSERT_TRUE(spamlist::Answered(first, hit, value));
    EXPECT_EQ(hit, 1u);
    EXPECT_EQ(value, 7u);
    spamlist::Close(first);
    SpamListDoneImpl(1, 9, reinterpret_cast<void*>(first));            // late
    SpamListDoneImpl(1, 9, reinterpret_cast<void*>(other + 1000000));  // never handed out
    EXPECT_FALSE(spamlist::Answered(first, hit, value));
    EXPECT_FALSE(spamlist::Answered(other, hit, value));  // another job: untouched
    int ignored = 0;
    for (const LoggedLine& line : log.Lines())
        ignored += line.text.find("SpamListDone() - answer for job") == 0 ? 1 : 0;
    EXPECT_EQ(ignored, 3);
    spamlist::Close(other);
    EXPECT_EQ(spamlist::OpenTickets(), openBefore);
}

}  // namespace
