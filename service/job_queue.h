/*
 * job_queue.h - the worker thread and the job queue of the service.
 *
 * CWorkerThread owns one thread: Start() creates it suspended and resumes it,
 * Stop() asks it to end and waits for it. CJobQueue adds a first-in,
 * first-out queue of MailJob records and the worker loop: one job at a time,
 * in the order in which Push appended them, a 100 ms sleep while the queue is
 * empty. The stop flag is looked at only between jobs and between sleeps, so
 * a job that has begun runs to its end.
 *
 * Stopping: Stop() waits STOP_WAIT_MS for the thread. A worker that is still
 * inside a job then is waited for until the job ends (the object that runs
 * the job must not go away under it); a job's own waits end as soon as the
 * stop flag is set, so that second wait is bounded by the job's own work.
 *
 * The queue is shared by host threads (Push) and the worker (removal): a
 * mutex guards append and remove. Jobs still queued when the queue is
 * destroyed are released without their callbacks.
 */
#ifndef MAILWARD_JOB_QUEUE_H
#define MAILWARD_JOB_QUEUE_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>

#include "mailward.h"
#include "platform.h"

// One queued mail check. Strings are owned heap copies (malloc).
struct MailJob {
    char* source = nullptr;
    char* target = nullptr;
    std::uint32_t flags = 0;
    char* ruleSet = nullptr;
    char* headerRuleSet = nullptr;
    std::uint32_t listDone = 0;
    std::uint32_t listHit = 0;
    std::uint32_t listValue = 0;
    SpamListCheck listCheck = nullptr;
    std::uintptr_t listUser = 0;
    MailJobCallback callback = nullptr;
    std::uintptr_t user = 0;
};

// Releases the job's strings and the job; a null job is ignored.
void ReleaseMailJob(MailJob* job);

// What the host's spam-list look-up answers for one job. The host is handed
// this ticket (as the opaque job pointer) instead of the job itself: the
// worker and the host each hold one reference, and the last one to let go
// releases it. So a worker that stops waiting (the service is stopping) can
// release its job while a late answer still lands safely in the ticket.
struct SpamListTicket {
    std::atomic<int> refs{2};
    std::atomic<std::uint32_t> done{0};
    std::uint32_t hit = 0;
    std::uint32_t value = 0;

    // Drops one reference; the last one deletes the ticket.
    void Release() {
        if (refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete this;
    }
};

// The library's SpamListDone: stores hit and value, then sets done, and lets
// go of the host's reference to the ticket.
extern "C" void MAILWARD_CALL SpamListDoneImpl(int hit, std::uint32_t value, void* ticket);

class CWorkerThread {
  public:
    static constexpr unsigned STOP_WAIT_MS = 1000;

    CWorkerThread() = default;
    CWorkerThread(const CWorkerThread&) = delete;
    CWorkerThread& operator=(const CWorkerThread&) = delete;
    // Does not stop the thread: the owner calls Stop() first.
    virtual ~CWorkerThread();

    bool Start();
    bool Stop();
    bool StopRequested() const { return m_bStop.load(std::memory_order_acquire); }
    std::uint32_t ThreadId() const { return m_nThreadId; }

  protected:
    virtual void Run() {}
    // Starts the thread with `entry` instead of the virtual Run(): a base
    // class constructor that starts its thread cannot let the thread read the
    // object's virtual table while derived constructors still write it.
    bool StartWith(pf::thread_fn entry);

  private:
    static void Entry(void* self);

    pf::Thread* m_hThread = nullptr;
    std::uint32_t m_nThreadId = 0;
    std::atomic<bool> m_bStop{false};
};

class CJobQueue : public CWorkerThread {
  public:
    static constexpr unsigned POLL_INTERVAL_MS = 100;

    CJobQueue();
    ~CJobQueue() override;

    bool Push(MailJob* job);
    std::size_t Pending() const;

  protected:
    void Run() override;
    // Takes ownership of the job.
    virtual void OnPop(MailJob* job) = 0;

    unsigned m_nPollInterval = POLL_INTERVAL_MS;

  private:
    static void LoopEntry(void* self);
    MailJob* PopFront();

    mutable std::mutex m_mutex;
    std::deque<MailJob*> m_queue;
};

#endif
