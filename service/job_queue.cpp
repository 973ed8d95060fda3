/*
 * job_queue.cpp - worker thread and job queue (see job_queue.h).
 */
#include "service/job_queue.h"

#include <cstdlib>

void ReleaseMailJob(MailJob* job) {
    if (job == nullptr)
        return;
    std::free(job->ruleSet);
    std::free(job->headerRuleSet);
    std::free(job->source);
    std::free(job->target);
    delete job;
}

extern "C" void MAILWARD_CALL SpamListDoneImpl(int hit, std::uint32_t value, void* ticket) {
    auto* t = static_cast<SpamListTicket*>(ticket);
    if (t == nullptr)
        return;
    t->hit = static_cast<std::uint32_t>(hit);
    t->value = value;
    // Release order: the worker sees hit and value once it sees done.
    t->done.store(1, std::memory_order_release);
    t->Release();
}

CWorkerThread::~CWorkerThread() {
    if (m_hThread != nullptr)
        pf::thread_close(m_hThread);
}

void CWorkerThread::Entry(void* self) {
    static_cast<CWorkerThread*>(self)->Run();
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

// The worker runs from the moment the queue exists; the result of starting
// it is not examined (a queue without a thread keeps its jobs).
CJobQueue::CJobQueue() {
    StartWith(&CJobQueue::LoopEntry);
}

void CJobQueue::LoopEntry(void* self) {
    // Qualified call: no virtual dispatch while construction may go on.
    static_cast<CJobQueue*>(static_cast<CWorkerThread*>(self))->CJobQueue::Run();
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
