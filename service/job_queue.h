/*
 * job_queue.h - the worker thread and the job queue of the service.
 *
 * CWorkerThread owns one thread: Start() creates it suspended and resumes it,
 * Stop() asks it to end and waits for it. CJobQueue adds a first-in,
 * first-out queue of MailJob records and the worker loop: one job at a time,
 * in the order in which Push appended them, a 100 ms sleep while the queue is
 * empty. The worker starts with the first Push, not with the queue: a host
 * that loads the virus engine between making the service and its first
 * check loads it in a process of one thread (glibc's stdio, which libclamav
 * reads its databases with, locks every character once a second thread has
 * existed: a database of production size loads a third slower). The stop flag is looked at only
 * between jobs and between sleeps, so a job that has begun runs to its end.
 *
 * Stopping: Stop() waits STOP_WAIT_MS for the thread. A worker that is still
 * inside a job then is waited for until the job ends (the object that runs
 * the job must not go away under it); a job's own waits end as soon as the
 * stop flag is set, so that second wait is bounded by the job's own work.
 * An owner that stops the object from inside a job, on the worker thread
 * itself, cannot wait for it: ReleaseWhenIdle sets the stop flag and the
 * worker destroys the object on its own thread once the job has ended.
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
#include "pf/platform.h"

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

class CWorkerThread {
  public:
    static constexpr unsigned STOP_WAIT_MS = 1000;

    CWorkerThread() = default;
    CWorkerThread(const CWorkerThread&) = delete;
    CWorkerThread& operator=(const CWorkerThread&) = delete;
    // Does not stop the thread: the owner calls Stop() first.
    virtual ~CWorkerThread();

    bool Start();
    // Called on the worker thread itself (from a callback inside a job), it
    // only sets the stop flag and lets go of the handle: a thread cannot
    // wait for its own end.
    bool Stop();
    bool StopRequested() const { return m_bStop.load(std::memory_order_acquire); }
    std::uint32_t ThreadId() const { return m_nThreadId; }
    // True on this object's worker thread.
    bool OnOwnThread() const;
    // For an owner that lets go of the object from inside a job, on the
    // worker thread: the worker stops after the job in progress and then
    // destroys the object itself (its destructor runs on the worker, after
    // the job released what it held). The caller must not touch the object
    // afterwards.
    void ReleaseWhenIdle();
    // Waits until every object handed to ReleaseWhenIdle is destroyed, so
    // that what their destructors end (the virus engine is one per
    // process) cannot hit a successor. Returns at once on a worker thread,
    // which cannot wait for itself.
    static void WaitForReleases();

  protected:
    virtual void Run() {}
    // Starts the thread with `entry` instead of the virtual Run(): a base
    // class constructor that starts its thread cannot let the thread read the
    // object's virtual table while derived constructors still write it.
    bool StartWith(pf::thread_fn entry);
    // The body of a thread entry: marks the thread as this object's, calls
    // `run`, then destroys the object when ReleaseWhenIdle asked for it.
    static void RunOnThread(CWorkerThread* self, void (*run)(CWorkerThread*));

  private:
    static void Entry(void* self);

    pf::Thread* m_hThread = nullptr;
    std::uint32_t m_nThreadId = 0;
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bReleaseWhenIdle{false};
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
    bool m_bStarted = false;  // the worker was started (under m_mutex)
};

#endif
