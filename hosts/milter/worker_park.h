/*
 * worker_park.h - keeps the library's worker of a checking process ready,
 * so that a message queued to an idle process starts at once.
 *
 * WHY: the library's worker looks at an empty queue once every 100 ms and
 * nothing wakes it earlier, so a message queued to an idle worker waits
 * 50 ms on average before its check starts. With small mails that wait,
 * not the check (well under a millisecond), sets the milter's rate.
 *
 * HOW: the park keeps one check of its own at the tail of the library's
 * queue: PARK_MAIL (written once into the process's own folder), checked
 * with the spam-list step alone, its target its source. The library calls
 * the park's spam-list function on its worker thread, and the function
 * does not return until a message has been queued behind it. Release(),
 * called right after a message is queued, queues the next park check
 * behind the message and lets the waiting one go: it is answered "not
 * listed" from inside the call, the worker ends it (an unchanged mail
 * whose target is its source is not written) and finds the message at
 * once, then the new park check.
 *
 * PASSES: each Release() grants one pass when a park check is queued that
 * has none yet. A pass granted while the worker is still busy with earlier
 * messages is used by its park check as soon as that check comes, without
 * waiting. A park check that ends without reaching its spam-list step, or
 * with an error (its mail gone or unreadable), breaks the park: messages
 * are then queued as without it, each waiting for the worker's next look,
 * and Broken() says why.
 *
 * STOP: Stop() lets every park check through for good. Call it before the
 * library's service stops: the stopping service waits for its worker,
 * which would otherwise wait inside the spam-list function. The object
 * must outlive the service (the worker calls into it to the end).
 */
#ifndef MAILWARD_TOOLS_MILTER_WORKER_PARK_H
#define MAILWARD_TOOLS_MILTER_WORKER_PARK_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "mailward.h"

constexpr const char* PARK_MAIL_NAME = "park.eml";
constexpr const char* PARK_MAIL = "From: <park@localhost>\r\nSubject: park\r\n\r\n";

class WorkerPark {
  public:
    using CheckMailFn = decltype(&MAILWARD_check_mail);

    // `folder`: the process's own folder for the park mail; `ruleSet`: a
    // rule set the rules define (the library names it in the check's rule
    // chain).
    WorkerPark(CheckMailFn checkMail, std::string folder, std::string ruleSet);
    // Stops and removes the park mail.
    ~WorkerPark();
    WorkerPark(const WorkerPark&) = delete;
    WorkerPark& operator=(const WorkerPark&) = delete;

    // Writes the park mail and queues the first park check; false with
    // the reason (nothing is queued then, and Release() does nothing).
    bool Start(std::string& error);
    // After a message was queued: the next park check behind it, and a
    // pass for the one ahead of it.
    void Release();
    // Lets every park check through, now and later.
    void Stop();

    // Park checks that have passed their spam-list step.
    std::size_t Passed() const;
    // True, with the reason, once a park check failed.
    bool Broken(std::string* why = nullptr) const;

  private:
    bool QueueOne();
    static void MAILWARD_CALL ListCheck(mailhdr* header, uintptr_t listUser, SpamListDone done,
                                        void* job);
    static void MAILWARD_CALL OnReport(const CheckReport* report, uintptr_t user);

    CheckMailFn m_checkMail;
    std::string m_folder;
    std::string m_ruleSet;
    std::string m_mail;  // the park mail's path, once written

    mutable std::mutex m_lock;
    std::condition_variable m_wake;
    std::size_t m_queued = 0;  // park checks queued that have not passed
    std::size_t m_passes = 0;  // passes granted and not yet used
    std::size_t m_passed = 0;
    bool m_started = false;
    bool m_stopped = false;
    bool m_broken = false;
    bool m_currentPassed = false;  // the park check in work passed its step
    std::string m_why;
};

#endif
