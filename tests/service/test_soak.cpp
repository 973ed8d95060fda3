/*
 * test_soak.cpp - many mails from many host threads through the exported C
 * interface while other host threads change what the checks depend on.
 *
 * Eight submitting threads hand in mails of five kinds (clean, infected with
 * the EICAR test string, an attachment the rules remove, a keyword the rules
 * find, malformed MIME) and the example mails of the repository, half of
 * them written over the source and half to an output folder, with a spam
 * list answered by a host thread of its own. Meanwhile one thread adds and
 * clears the rules, one checks and stamps header records, one asks for
 * engine updates. Every job's callback must come exactly once, no check may
 * fail to save, and every written mail must load again.
 *
 * The default run is short (CI, and the TSan build, which picks the test by
 * its name). MAILWARD_SOAK_MAILS=<n> runs n mails instead; from 2,000 mails
 * on, the resident memory at the end must be within SOAK_MEMORY_SLACK_MB of
 * the memory after the first 1,000 mails, and mails per second and the peak
 * resident memory are printed.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "../processors/fixtures.h"
#include "mailhdr/mailhdr.h"
#include "mailward.h"
#include "miralib/miralib.h"

namespace {

using namespace fixtures;

constexpr int SOAK_HOST_THREADS = 8;
constexpr std::size_t SOAK_DEFAULT_MAILS = 160;
constexpr std::size_t SOAK_MEMORY_BASE_MAILS = 1000;
constexpr long SOAK_MEMORY_SLACK_MB = 8;
constexpr int SOAK_WAIT_SECONDS = 600;

std::size_t SoakMails() {
    const char* text = std::getenv("MAILWARD_SOAK_MAILS");
    if (text == nullptr || *text == '\0')
        return SOAK_DEFAULT_MAILS;
    return static_cast<std::size_t>(std::strtoul(text, nullptr, 10));
}

// Resident memory in KiB (statm counts pages), or -1 where unreadable.
long ResidentKiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = -1;
    if (!(statm >> size >> resident))
        return -1;
    return resident * (static_cast<long>(::sysconf(_SC_PAGESIZE)) / 1024);
}

// Peak resident memory in KiB (VmHWM), or -1.
long PeakResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = -1;
    while (status >> key) {
        if (key == "VmHWM:") {
            status >> value;
            return value;
        }
        status.ignore(1 << 12, '\n');
    }
    return -1;
}

std::vector<std::string> ExampleMails() {
    std::vector<std::string> mails;
    for (const auto& entry :
         fs::directory_iterator(fs::path(MAILWARD_SOURCE_DIR) / "share" / "examples" / "mails"))
        if (entry.path().extension() == ".eml")
            mails.push_back(ReadFile(entry.path()));
    return mails;
}

// Mail number `n`: one of the generated kinds or an example mail.
std::string MakeMail(std::size_t n, const std::vector<std::string>& examples) {
    const std::string tag = "mail " + std::to_string(n);
    switch (n % 6) {
        case 0:
            return MultipartMail("hello, " + tag, {{"notes.txt", "aGVsbG8="}}, tag);
        case 1:
            return MultipartMail(tag, {{"eicar.com", kEicarBase64}}, tag);
        case 2:
            return MultipartMail(tag, {{"setup.exe", "TVqQAAMAAAAEAAAA"}}, tag);
        case 3:
            return MultipartMail("a forbidden word in " + tag, {}, tag);
        case 4:  // malformed: no closing delimiter, broken base64, stray lines
            return "From: x@example.com\r\nno colon in this line\r\nSubject: " + tag +
                   "\r\nContent-Type: multipart/mixed; boundary=\"B\"\r\n\r\n--B\r\n"
                   "Content-Type: text/plain\r\n\r\ntext\r\n--B\r\nContent-Type: "
                   "application/octet-stream; name=\"x.bin\"\r\nContent-Transfer-Encoding: "
                   "base64\r\n\r\n@@@not base64===\r\n";
        default:
            return examples[(n / 6) % examples.size()];
    }
}

// The host's spam list: look-ups queue up and one host thread answers them.
class SpamListHost {
  public:
    SpamListHost() : m_thread([this] { Answer(); }) {}
    ~SpamListHost() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_cv.notify_all();
        m_thread.join();
    }
    static void MAILWARD_CALL Check(mailhdr*, uintptr_t self, SpamListDone done, void* job) {
        auto* host = reinterpret_cast<SpamListHost*>(self);
        {
            std::lock_guard<std::mutex> lock(host->m_mutex);
            host->m_pending.push_back({done, job});
        }
        host->m_cv.notify_all();
    }

  private:
    void Answer() {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (unsigned n = 0;; ++n) {
            m_cv.wait(lock, [&] { return m_stop || !m_pending.empty(); });
            if (m_pending.empty())
                return;
            auto [done, job] = m_pending.front();
            m_pending.pop_front();
            lock.unlock();
            done(n % 5 == 0 ? 1 : 0, n, job);
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<std::pair<SpamListDone, void*>> m_pending;
    bool m_stop = false;
    std::thread m_thread;
};

// Keeps the log quiet (and its memory flat) during the run, counting only
// the lines that must not come: failed saves and ignored spam-list answers.
struct QuietLog {
    std::atomic<int> unexpected{0};
    QuietLog() { qorcsock_set_log_sink(&Sink, this); }
    ~QuietLog() { qorcsock_set_log_sink(nullptr, nullptr); }
    static void Sink(const char*, int, const char* line, void* user) {
        const std::string text = line;
        if (text.find("[saving ") != std::string::npos ||
            text.find("SpamListDone()") != std::string::npos)
            ++static_cast<QuietLog*>(user)->unexpected;
    }
};

struct Outcome {
    std::atomic<int> calls{0};
    std::atomic<std::uint32_t> errors{0};
};

struct Soak {
    std::vector<Outcome> outcomes;
    std::atomic<std::size_t> finished{0};
    std::mutex mutex;
    std::condition_variable cv;
    long baseKiB = -1;

    explicit Soak(std::size_t n) : outcomes(n) {}

    static void MAILWARD_CALL OnReport(const CheckReport* r, uintptr_t user) {
        Soak* soak = CurrentSoak();
        Outcome& o = soak->outcomes[user];
        o.errors = r->errors;
        ++o.calls;
        const std::size_t done = ++soak->finished;
        if (done == SOAK_MEMORY_BASE_MAILS)
            soak->baseKiB = ResidentKiB();
        std::lock_guard<std::mutex> lock(soak->mutex);
        soak->cv.notify_all();
    }
    static Soak*& CurrentSoak() {
        static Soak* current = nullptr;
        return current;
    }
};

// Header lines for the header-check thread.
mailhdr* SampleHeader(unsigned n) {
    mailhdr* hdr = mailhdr_alloc();
    const std::string subject = "Subject: offer " + std::to_string(n);
    for (const char* line : {"From: a@example.com", "To: b@example.org", "X-Evil: yes"})
        mailhdr_parseline(hdr, line);
    mailhdr_parseline(hdr, subject.c_str());
    return hdr;
}

TEST(SoakConcurrent, ManyHostThreadsThroughTheExportedInterface) {
    const std::size_t total = SoakMails();
    ScratchDir dir;
    fs::create_directories(dir.path() / "in");
    fs::create_directories(dir.path() / "out");
    fs::create_directories(dir.path() / "data");
    fs::create_directories(dir.path() / "tmp");
    miraconf_set("DataDir", (dir.path() / "data").string().c_str());
    miraconf_set("TempDir", (dir.path() / "tmp").string().c_str());
    miraconf_set("BackupMode", "1");
    miraconf_set("FlushMails", "0");
    ASSERT_EQ(MAILWARD_init(), 0);
    ASSERT_EQ(MAILWARD_activate_av(AV_MODE_REMOVE, nullptr), 0);
    const std::vector<std::string> examples = ExampleMails();
    ASSERT_FALSE(examples.empty());

    Soak soak(total);
    Soak::CurrentSoak() = &soak;
    std::vector<std::string> outputs(total);
    std::atomic<bool> churn{true};
    QuietLog log;
    const auto begin = std::chrono::steady_clock::now();
    {
        SpamListHost listHost;
        std::vector<std::thread> others;
        others.emplace_back([&] {  // rules come and go
            for (unsigned n = 0; churn; ++n) {
                MAILWARD_add_rule("soak", "exe", "attachment: *.exe", 0, 9, nullptr, 0);
                MAILWARD_add_rule("soak", "word", "body: forbidden", 0, 4, nullptr, 0);
                MAILWARD_add_rule("hdr", "evil", "X-Evil: yes", 0, 1, nullptr, 0);
                std::this_thread::sleep_for(std::chrono::milliseconds(3));
                if (n % 4 == 3)
                    MAILWARD_clear_rules();
            }
        });
        others.emplace_back([&] {  // header checks and stamps
            for (unsigned n = 0; churn; ++n) {
                mailhdr* hdr = SampleHeader(n);
                const Rule* rule = MAILWARD_check_header("hdr", hdr);
                if (rule != nullptr) {
                    EXPECT_NE(rule->text, nullptr);
                }
                EXPECT_EQ(MAILWARD_set_av_stamp(hdr), 0);
                mailhdr_free(hdr);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        others.emplace_back([&] {  // engine updates
            while (churn) {
                EXPECT_EQ(MAILWARD_install_update_av(1), 0);
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });

        std::vector<std::thread> hosts;
        for (int t = 0; t < SOAK_HOST_THREADS; ++t) {
            hosts.emplace_back([&, t] {
                for (std::size_t n = static_cast<std::size_t>(t); n < total;
                     n += SOAK_HOST_THREADS) {
                    const fs::path source = dir.path() / "in" / ("m" + std::to_string(n) + ".eml");
                    WriteFile(source, MakeMail(n, examples));
                    const bool inPlace = n % 2 == 0;
                    const fs::path target =
                        inPlace ? source : dir.path() / "out" / source.filename();
                    outputs[n] = target.string();
                    const int flags = JOB_AV_CHECK | JOB_ATTACHMENT_FILTER | JOB_KEYWORD_CHECK |
                                      JOB_HEADER_CHECK | JOB_SPAM_LIST;
                    EXPECT_EQ(MAILWARD_check_mail("soak", "hdr", source.string().c_str(),
                                                  inPlace ? nullptr : outputs[n].c_str(), flags,
                                                  &SpamListHost::Check,
                                                  reinterpret_cast<uintptr_t>(&listHost),
                                                  &Soak::OnReport, n),
                              0);
                    // Keep the queue short, as a mail server's spool does.
                    std::unique_lock<std::mutex> lock(soak.mutex);
                    soak.cv.wait_for(lock, std::chrono::seconds(SOAK_WAIT_SECONDS),
                                     [&] { return n < soak.finished + 64; });
                }
            });
        }
        for (auto& h : hosts)
            h.join();
        {
            std::unique_lock<std::mutex> lock(soak.mutex);
            EXPECT_TRUE(soak.cv.wait_for(lock, std::chrono::seconds(SOAK_WAIT_SECONDS),
                                         [&] { return soak.finished == total; }));
        }
        churn = false;
        for (auto& o : others)
            o.join();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    const long endKiB = ResidentKiB();
    MAILWARD_exit();
    Soak::CurrentSoak() = nullptr;

    std::size_t saveFailures = 0, loadFailures = 0;
    for (std::size_t n = 0; n < total; ++n) {
        EXPECT_EQ(soak.outcomes[n].calls.load(), 1) << "mail " << n;
        saveFailures += (soak.outcomes[n].errors & (ERR_SAVE | ERR_LOAD)) != 0 ? 1 : 0;
        CMimeMessage again;
        loadFailures += again.LoadMsg(outputs[n].c_str(), true) != 0 ? 1 : 0;
    }
    EXPECT_EQ(saveFailures, 0u);
    EXPECT_EQ(loadFailures, 0u);
    EXPECT_EQ(log.unexpected.load(), 0);
    if (total >= 2 * SOAK_MEMORY_BASE_MAILS) {
        std::printf(
            "soak: %zu mails in %.1f s, %.0f mails/s, peak resident %ld KiB, "
            "resident after %zu mails %ld KiB, at the end %ld KiB\n",
            total, seconds, static_cast<double>(total) / seconds, PeakResidentKiB(),
            SOAK_MEMORY_BASE_MAILS, soak.baseKiB, endKiB);
        ASSERT_GT(soak.baseKiB, 0);
        EXPECT_LT(endKiB - soak.baseKiB, SOAK_MEMORY_SLACK_MB * 1024);
    }
    miraconf_reset();
}

}  // namespace
