/*
 * worker_park.cpp - the park check at the tail of the library's queue.
 *
 * Counting: m_queued park checks are in the library's queue (or in work)
 * and have not passed their spam-list step; m_passes of them may pass.
 * While the park works, m_queued is m_passes + 1: the last park check
 * waits. Start() and Release() are called from one thread; ListCheck and
 * OnReport run on the library's worker, one park check at a time.
 */
#include "worker_park.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

WorkerPark::WorkerPark(CheckMailFn checkMail, std::string folder, std::string ruleSet)
    : m_checkMail(checkMail), m_folder(std::move(folder)), m_ruleSet(std::move(ruleSet)) {}

WorkerPark::~WorkerPark() {
    Stop();
    if (!m_mail.empty())
        ::unlink(m_mail.c_str());
}

bool WorkerPark::Start(std::string& error) {
    const std::string path = m_folder + "/" + PARK_MAIL_NAME;
    // A leftover of a process that was killed is replaced, never written
    // through: the new file is made exclusively and without following links.
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    const std::size_t size = std::strlen(PARK_MAIL);
    const bool written = ::write(fd, PARK_MAIL, size) == static_cast<ssize_t>(size);
    const int writeErrno = errno;
    if (::close(fd) != 0 || !written) {
        error = path + ": " + std::strerror(written ? errno : writeErrno);
        ::unlink(path.c_str());
        return false;
    }
    m_mail = path;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_started = true;
    }
    if (!QueueOne()) {
        error = m_why;
        return false;
    }
    return true;
}

void WorkerPark::Release() {
    bool grant = false;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (!m_started || m_stopped || m_broken)
            return;
        // The park check ahead of the message, if it is still waiting.
        grant = m_queued > m_passes;
    }
    QueueOne();
    std::lock_guard<std::mutex> hold(m_lock);
    if (grant) {
        ++m_passes;
        m_wake.notify_all();
    }
}

void WorkerPark::Stop() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_stopped = true;
    m_wake.notify_all();
}

std::size_t WorkerPark::Passed() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_passed;
}

bool WorkerPark::Broken(std::string* why) const {
    std::lock_guard<std::mutex> hold(m_lock);
    if (why != nullptr)
        *why = m_why;
    return m_broken;
}

bool WorkerPark::QueueOne() {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        ++m_queued;
    }
    const uintptr_t self = reinterpret_cast<uintptr_t>(this);
    const int rc = m_checkMail(m_ruleSet.c_str(), nullptr, m_mail.c_str(), m_mail.c_str(),
                               JOB_SPAM_LIST, &ListCheck, self, &OnReport, self);
    if (rc == 0)
        return true;
    std::lock_guard<std::mutex> hold(m_lock);
    --m_queued;
    if (!m_broken) {
        m_broken = true;
        m_why = "the library refused a park check (" + std::to_string(rc) + ")";
    }
    m_wake.notify_all();
    return false;
}

void MAILWARD_CALL WorkerPark::ListCheck(mailhdr*, uintptr_t listUser, SpamListDone done,
                                         void* job) {
    auto* self = reinterpret_cast<WorkerPark*>(listUser);
    {
        std::unique_lock<std::mutex> hold(self->m_lock);
        self->m_wake.wait(
            hold, [self] { return self->m_passes > 0 || self->m_stopped || self->m_broken; });
        if (self->m_passes > 0)
            --self->m_passes;
        --self->m_queued;
        ++self->m_passed;
        self->m_currentPassed = true;
    }
    // Answered inside the call, so the worker goes on without a poll.
    done(0, 0, job);
}

void MAILWARD_CALL WorkerPark::OnReport(const CheckReport* report, uintptr_t user) {
    auto* self = reinterpret_cast<WorkerPark*>(user);
    std::lock_guard<std::mutex> hold(self->m_lock);
    const bool passed = self->m_currentPassed;
    self->m_currentPassed = false;
    if (!passed)
        --self->m_queued;
    const std::uint32_t errors = report != nullptr ? report->errors : ERR_CHECK;
    if ((!passed || errors != 0) && !self->m_broken) {
        self->m_broken = true;
        char text[64];
        std::snprintf(text, sizeof text, "a park check failed (errors 0x%x)",
                      static_cast<unsigned>(errors));
        self->m_why = text;
        self->m_wake.notify_all();
    }
}
