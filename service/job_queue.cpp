/*
 * job_queue.cpp - worker thread and job queue (see job_queue.h).
 */
#include "service/job_queue.h"

#include <condition_variable>
#include <cstdlib>
#include <new>

#include "qorcsock/qorcsock.h"
#include "service/immortal.h"

void ReleaseMailJob(MailJob* job) {
    if (job == nullptr)
        return;
    std::free(job->ruleSet);
    std::free(job->headerRuleSet);
    std::free(job->source);
    std::free(job->target);
    delete job;
}

CWorkerThread::~CWorkerThread() {
    if (m_hThread != nullptr)
        pf::thread_close(m_hThread);
}

namespace {
// The object whose worker runs on this thread, or null.
thread_local const CWorkerThread* t_pOwnWorker = nullptr;

// Objects handed to ReleaseWhenIdle and not yet destroyed. Made once and
// never destroyed (Immortal), like the spam-list ticket registry.
struct PendingReleases {
    std::mutex mutex;
    std::condition_variable done;
    int count = 0;
};

PendingReleases& Releases() {
    return mailward::Immortal<PendingReleases>();
}
}  // namespace

void CWorkerThread::WaitForReleases() {
    if (t_pOwnWorker != nullptr)
        return;
    PendingReleases& p = Releases();
    std::unique_lock<std::mutex> lock(p.mutex);
    p.done.wait(lock, [&] { return p.count == 0; });
}

bool CWorkerThread::OnOwnThread() const {
    return t_pOwnWorker == this;
}

void CWorkerThread::RunOnThread(CWorkerThread* self, void (*run)(CWorkerThread*)) {
    t_pOwnWorker = self;
    run(self);
    if (self->m_bReleaseWhenIdle.load(std::memory_order_acquire)) {
        // The owner let go of the object from inside a job: it ends here,
        // after the job, on its own thread (Stop() does not wait for it).
        delete self;
        PendingReleases& p = Releases();
        std::lock_guard<std::mutex> lock(p.mutex);
        --p.count;
        p.done.notify_all();
    }
    t_pOwnWorker = nullptr;
}

void CWorkerThread::ReleaseWhenIdle() {
    if (!m_bReleaseWhenIdle.exchange(true, std::memory_order_acq_rel)) {
        PendingReleases& p = Releases();
        std::lock_guard<std::mutex> lock(p.mutex);
        ++p.count;
    }
    m_bStop.store(true, std::memory_order_release);
}

void CWorkerThread::Entry(void* self) {
    RunOnThread(static_cast<CWorkerThread*>(self), [](CWorkerThread* w) { w->Run(); });
}

bool CWorkerThread::Start() {
    return StartWith(&CWorkerThread::Entry);
}

bool CWorkerThread::StartWith(pf::thread_fn entry) {
    if (m_hThread != nullptr)
        return false;
    std::uint32_t id = 0;
    pf::Thread* t = pf::thread_create_suspended(entry, this, &id);
    if (t == nullptr)
        return false;
    m_hThread = t;
    m_nThreadId = id;
    return pf::thread_resume(t);
}

bool CWorkerThread::Stop() {
    if (m_hThread == nullptr)
        return false;
    m_bStop.store(true, std::memory_order_release);
    if (OnOwnThread()) {
        // Inside a job on the worker itself: the flag ends the loop after
        // the job; the handle is let go (the thread detaches and ends alone).
        pf::thread_close(m_hThread);
        m_hThread = nullptr;
        m_nThreadId = 0;
        return true;
    }
    if (!pf::thread_wait(m_hThread, STOP_WAIT_MS)) {
        // Still inside a job: the job runs to its end (its waits watch the
        // stop flag), and nothing may be released under it.
        while (!pf::thread_wait(m_hThread, STOP_WAIT_MS)) {
        }
    }
    m_bStop.store(false, std::memory_order_release);
    pf::thread_close(m_hThread);
    m_hThread = nullptr;
    m_nThreadId = 0;
    return true;
}

// The worker starts with the first job (see the top of job_queue.h); the
// result of starting it is not examined (a queue without a thread keeps its
// jobs).
CJobQueue::CJobQueue() = default;

void CJobQueue::LoopEntry(void* self) {
    // Qualified call: no virtual dispatch while construction may go on.
    RunOnThread(static_cast<CWorkerThread*>(self),
                [](CWorkerThread* w) { static_cast<CJobQueue*>(w)->CJobQueue::Run(); });
}

CJobQueue::~CJobQueue() {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (MailJob* job : m_queue)
        ReleaseMailJob(job);
    m_queue.clear();
}

bool CJobQueue::Push(MailJob* job) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.push_back(job);
    if (!m_bStarted) {
        m_bStarted = true;
        StartWith(&CJobQueue::LoopEntry);
    }
    return true;
}

std::size_t CJobQueue::Pending() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_queue.size();
}

MailJob* CJobQueue::PopFront() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_queue.empty())
        return nullptr;
    MailJob* job = m_queue.front();
    m_queue.pop_front();
    return job;
}

void CJobQueue::Run() {
    if (StopRequested())
        return;
    do {
        bool empty;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            empty = m_queue.empty();
        }
        if (!empty) {
            MailJob* job = PopFront();
            if (job != nullptr)
                OnPop(job);
        } else {
            pf::sleep_ms(m_nPollInterval);
        }
    } while (!StopRequested());
}
