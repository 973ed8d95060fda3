/*
 * spam_list.h - the host's spam list: listed sender addresses and domains,
 * looked up on a thread of the host's own and answered through the
 * library's SpamListDone, as a real host's asynchronous look-up (DNS list,
 * database) answers.
 *
 * FILE FORMAT: one entry per line, '#' starts a comment line:
 *     spammer@bulk.example          one address (wildcards *, ? and [...])
 *     @spam.example                 every address of that domain and of its
 *     spam.example                  subdomains (both forms mean the same)
 *     offers@shop.example  42       an optional value, reported with a hit
 *                                   (default 1; 0 to 4294967295)
 * Letter case is ignored. The sender is the bare address of the mail's
 * first From address. A bad line is reported as "FILE:LINE: reason" and the
 * list is refused.
 *
 * THREADS: ListCheck runs on the library's worker thread; it copies the
 * sender out of the header (which is only valid there) and hands the
 * question to the answering thread, which calls `done` exactly once per
 * question. Stop() answers what is still queued and joins the thread.
 * Replace() swaps the list while questions are answered (a reload).
 *
 * GRACE: the library looks for an answer that comes after ListCheck
 * returned only every 100 ms, so ListCheck waits up to SPAMLIST_GRACE_MS for
 * the answering thread before it returns: a quick look-up then costs the
 * mail no poll interval, and a slow one is still answered later.
 *
 * LIMITS: SPAMLIST_MAX_ENTRIES entries, SPAMLIST_MAX_LINE characters.
 */
#ifndef MAILWARD_TOOLS_SPAM_LIST_H
#define MAILWARD_TOOLS_SPAM_LIST_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/library_loader.h"

constexpr std::size_t SPAMLIST_MAX_ENTRIES = 1000000;
constexpr std::size_t SPAMLIST_MAX_LINE = 4096;
constexpr int SPAMLIST_GRACE_MS = 50;

class SpamList {
  public:
    // Reads a list file; false with every error ("FILE:LINE: reason").
    bool Load(const std::string& path, std::vector<std::string>& errors);
    // Parses list text (`name` for the errors).
    bool Parse(const std::string& text, const std::string& name, std::vector<std::string>& errors);
    // True with the entry's value when `address` (a bare address) is listed.
    bool Lookup(const std::string& address, std::uint32_t& value) const;
    std::size_t Size() const { return m_entries.size(); }

  private:
    struct Entry {
        std::string pattern;  // lower case
        bool domain = false;  // pattern is a domain
        std::uint32_t value = 1;
    };
    std::vector<Entry> m_entries;
};

// The bare address of the first address of a From value, lower case; ""
// when the value holds none.
std::string SenderAddress(const std::string& fromValue);

class SpamListResponder {
  public:
    SpamListResponder(const MailwardApi& api, std::shared_ptr<const SpamList> list);
    ~SpamListResponder();
    SpamListResponder(const SpamListResponder&) = delete;
    SpamListResponder& operator=(const SpamListResponder&) = delete;

    void Start();
    void Stop();
    // Questions answered from now on use `list` (a reload); one being
    // answered finishes with the list it started with.
    void Replace(std::shared_ptr<const SpamList> list);
    // A second list asked when the list does not hold the sender (a DNS
    // block list): true with the value when it lists the address. Set
    // before Start(); called by one thread at a time.
    using ExtraLookup = std::function<bool(const std::string& sender, std::uint32_t& value)>;
    void SetExtraLookup(ExtraLookup lookup) { m_extra = std::move(lookup); }

    // The SpamListCheck function handed to MAILWARD_check_mail, with a
    // pointer to the responder as listUser.
    static void MAILWARD_CALL ListCheck(mailhdr* header, uintptr_t listUser, SpamListDone done,
                                        void* job);
    // Number of questions answered.
    std::size_t Answered() const;

  private:
    // Set (under m_lock) once the question's `done` has been called.
    struct AnswerFlag {
        bool yes = false;
    };
    struct Question {
        std::string sender;
        SpamListDone done;
        void* job;
        std::shared_ptr<AnswerFlag> answered;
    };
    // Queues the question, or answers it at once when no thread runs.
    void Ask(Question q);
    void WaitForAnswer(const AnswerFlag& answered);
    void Run();
    void Answer(const Question& q);

    const MailwardApi& m_api;
    std::shared_ptr<const SpamList> m_list;  // under m_lock
    ExtraLookup m_extra;
    int m_fromId = -1;
    mutable std::mutex m_lock;
    std::condition_variable m_wake;
    std::condition_variable m_answeredWake;
    std::deque<Question> m_queue;
    bool m_stop = false;
    std::size_t m_answered = 0;
    std::thread m_thread;
};

#endif
