/*
 * test_pipeline.cpp - the check of whole mails from end to end through the
 * exported interface, with the real engine: infected mails, flushing,
 * companion backups, the rule stage with header rules and spam lists
 * answered late, inside the call, twice or not asked, a target other than
 * the source, headers of thousands of lines and past the header limits,
 * rules cleared during a check, unknown rule sets, stopping with jobs
 * queued, and MAILWARD_exit from inside the worker. The program's tests
 * (tests/tools) check the clean, keyword, backup-mode and load-failure
 * outcomes through the same interface.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <thread>

#include "../processors/fixtures.h"
#include "mailward.h"
#include "mime/mimeoutput.h"
#include "miralib/miralib.h"
#include "service/job_queue.h"
#include "service/spamlist_tickets.h"

namespace {

using namespace fixtures;

// What a callback saw, copied while the report was valid: its numbers (the
// copy's pointers are not followed), the parts as "name:action:virus", and
// the texts of the rule chain and of the first header rule.
struct Seen {
    CheckReport r{};
    std::vector<std::string> parts, chain, headerRules;
};

class Pipeline : public ::testing::Test {
  protected:
    ScratchDir dir;
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<Seen> seen;

    void SetUp() override {
        fs::create_directories(dir.path() / "data");
        fs::create_directories(dir.path() / "tmp");
        miraconf_set("DataDir", (dir.path() / "data").string().c_str());
        miraconf_set("TempDir", (dir.path() / "tmp").string().c_str());
        miraconf_set("StampHost", "test.host");
        miraconf_set("BackupMode", "1");
        ASSERT_EQ(MAILWARD_init(), 0);
    }
    void TearDown() override {
        MAILWARD_exit();
        miraconf_reset();
    }

    static void MAILWARD_CALL OnReport(const CheckReport* r, uintptr_t user) {
        auto* self = reinterpret_cast<Pipeline*>(user);
        Seen s;
        s.r = *r;
        for (const PartReport* p = r->parts; p != nullptr; p = p->next)
            s.parts.push_back(std::string(p->name) + ":" + std::to_string(p->action) + ":" +
                              std::to_string(p->virusResult));
        for (const Rule* rule = r->ruleChain; rule != nullptr; rule = rule->report_next)
            s.chain.push_back(rule->text);
        if (r->headerRules.first != nullptr)
            s.headerRules.push_back(static_cast<const Rule*>(r->headerRules.value)->text);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->seen.push_back(s);
        self->cv.notify_all();
    }

    fs::path Mail(const std::string& name, const std::string& text) {
        fs::path p = dir.path() / name;
        WriteFile(p, text);
        return p;
    }

    Seen Check(const fs::path& source, int flags, const char* headerSet = nullptr,
               SpamListCheck list = nullptr, uintptr_t listUser = 0, const fs::path& target = {}) {
        std::size_t before;
        {
            std::lock_guard<std::mutex> lock(mutex);
            before = seen.size();
        }
        const std::string targetText = target.string();
        EXPECT_EQ(MAILWARD_check_mail("set", headerSet, source.string().c_str(),
                                      target.empty() ? nullptr : targetText.c_str(), flags, list,
                                      listUser, &OnReport, reinterpret_cast<uintptr_t>(this)),
                  0);
        std::unique_lock<std::mutex> lock(mutex);
        EXPECT_TRUE(
            cv.wait_for(lock, std::chrono::seconds(30), [&] { return seen.size() > before; }));
        return seen.empty() ? Seen{} : seen.back();
    }

    std::string Clean() { return MultipartMail("hello world", {{"b.txt", "aGk="}}, "clean"); }
};

// Every one of `parts` is in `text`, or (present false) none of them.
void ExpectIn(const std::string& text, std::initializer_list<const char*> parts,
              bool present = true) {
    for (const char* p : parts)
        EXPECT_EQ(text.find(p) != std::string::npos, present) << p << "\n--- in\n" << text;
}

TEST_F(Pipeline, VirusInAPartReplacesTheWholeMail) {
    ASSERT_EQ(MAILWARD_activate_av(AV_MODE_REMOVE, nullptr), 0);
    miraconf_set("VirusMailMode", "7");
    // Without the header lines that make the engine take the file for a mail
    // (From, Subject, MIME-Version, ...), its whole-file scan reads it as
    // plain text, so only the part scan, which decodes the attachment, finds
    // the virus.
    fs::path source =
        Mail("eicar.eml", std::string("X-Note: part scan\r\n"
                                      "Content-Type: multipart/mixed; boundary=\"XX\"\r\n\r\n"
                                      "--XX\r\nContent-Type: text/plain\r\n\r\nhi\r\n"
                                      "--XX\r\nContent-Type: application/octet-stream; "
                                      "name=\"a.exe\"\r\nContent-Transfer-Encoding: base64"
                                      "\r\n\r\n") +
                              kEicarBase64 + "--XX--\r\n");
    Seen s = Check(source, JOB_AV_CHECK | JOB_SPAM_LIST);
    EXPECT_EQ(s.r.virusResult, VIRUS_FOUND);
    ASSERT_GT(s.parts.size(), 1u);                    // beside the earlier part records
    EXPECT_EQ(s.parts.back().substr(0, 5), "mail:");  // the record of the whole mail
    const std::string out = ReadFile(source);
    ExpectIn(out, {"This message was found to contain a virus", "X-Note: part scan",
                   "X-ZANAntiSpam: Virus:", "X-VaveRiz4Zan:"});
    ExpectIn(out, {"Content-Type: multipart", "EICAR-STANDARD"}, false);
}

TEST_F(Pipeline, WholeFileVirusWithoutPartRecords) {
    ASSERT_EQ(MAILWARD_activate_av(AV_MODE_REMOVE, nullptr), 0);
    fs::path source = Mail("plain.eml", std::string("Subject: plain\r\n\r\n") + kEicar + "\r\n");
    Seen s = Check(source, JOB_AV_CHECK);
    EXPECT_EQ(s.r.virusResult, VIRUS_FOUND);
    EXPECT_EQ(s.parts, std::vector<std::string>{"mail:0:2"});
    ExpectIn(ReadFile(source), {"EICAR-STANDARD"}, false);
}

// FlushMails decides whether the worker flushes a rewritten mail to disk:
// the stamped mail (header rewrite) and the rebuilt mail (part removed).
// A scan that reaches one of the engine's limits fails the check; the mail
// is never taken as clean.
TEST_F(Pipeline, EngineLimitReachedIsACheckErrorNamingTheLimit) {
    miraconf_set("EngineMaxFileSize", "1");  // kilobytes
    ASSERT_EQ(MAILWARD_activate_av(AV_MODE_REMOVE, nullptr), 0);
    fs::path source =
        Mail("big.eml", std::string("Subject: big\r\n\r\n") + std::string(4096, 'a') + "\r\n");
    LogCapture log;
    Seen s = Check(source, JOB_AV_CHECK);
    EXPECT_TRUE(s.r.errors & ERR_CHECK);
    EXPECT_NE(s.r.virusResult, VIRUS_CLEAN);
    EXPECT_TRUE(log.Has(QLOG_ERROR, "vaveriz: scanning " + source.string() +
                                        " stopped at a limit: "
                                        "Heuristics.Limits.Exceeded.MaxFileSize"));
    EXPECT_TRUE(s.r.status & ST_ENGINE_LIMIT);
    EXPECT_TRUE(log.Has(QLOG_INFO, "[MAILCHECK] [ERROR] [ENGINE LIMIT]"));
}

// ST_ENGINE_LIMIT stands while the limit is the only reason for ERR_CHECK:
// another failure of the same check (the attachment filter with a rule set
// that does not exist) takes it away, the next check starts afresh, and an
// engine failure that is no limit (no folder for the engine's files) never
// sets it.
TEST_F(Pipeline, EngineLimitIsItsOwnStatusOnlyWhileNothingElseFailed) {
    miraconf_set("EngineMaxFileSize", "1");  // kilobytes
    ASSERT_EQ(MAILWARD_activate_av(AV_MODE_REMOVE, nullptr), 0);
    const std::string big = MultipartMail(std::string(4096, 'a'), {{"b.txt", "aGk="}}, "limit");
    LogCapture log;
    Seen both = Check(Mail("both.eml", big), JOB_AV_CHECK | JOB_ATTACHMENT_FILTER);
    EXPECT_TRUE(both.r.errors & ERR_CHECK);
    EXPECT_FALSE(both.r.status & ST_ENGINE_LIMIT);
    Seen limit = Check(Mail("limit.eml", big), JOB_AV_CHECK);
    EXPECT_EQ(limit.r.errors, static_cast<std::uint32_t>(ERR_CHECK));
    EXPECT_TRUE(limit.r.status & ST_ENGINE_LIMIT);

    miraconf_set("EngineMaxFileSize", nullptr);
    const fs::path notAFolder = Mail("not-a-folder", "x");
    miraconf_set("TempDir", notAFolder.string().c_str());
    ASSERT_EQ(MAILWARD_activate_av(AV_MODE_REMOVE, nullptr), 0);
    Seen failed = Check(Mail("failed.eml", Clean()), JOB_AV_CHECK);
    EXPECT_TRUE(failed.r.errors & ERR_CHECK);
    EXPECT_FALSE(failed.r.status & ST_ENGINE_LIMIT);
}

TEST_F(Pipeline, FlushMailsDecidesWhetherRewrittenMailsAreFlushed) {
    ASSERT_EQ(MAILWARD_activate_av(AV_MODE_REMOVE, nullptr), 0);
    ASSERT_EQ(MAILWARD_add_rule("set", "exe", "attachment: *.exe", 0, 9, nullptr, 0), 0);
    static std::atomic<int> s_flushes{0};
    MimeFileHooks hooks{};
    hooks.beforeSync = [](void*) {
        ++s_flushes;
        return true;
    };
    MimeSetFileHooks(&hooks);
    for (const char* setting : {"1", "0"}) {
        SCOPED_TRACE(std::string("FlushMails=") + setting);
        miraconf_set("FlushMails", setting);
        const int expected = setting[0] == '1' ? 1 : 0;
        s_flushes = 0;
        fs::path stamped = Mail("stamped.eml", Clean());
        EXPECT_EQ(Check(stamped, JOB_AV_CHECK).r.headerChanged, 1);
        EXPECT_EQ(s_flushes, expected);
        ExpectIn(ReadFile(stamped), {"X-VaveRiz4Zan: "});

        s_flushes = 0;
        fs::path rebuilt = Mail("rebuilt.eml", MultipartMail("x", {{"a.exe", "TVqQ"}}));
        EXPECT_EQ(Check(rebuilt, JOB_ATTACHMENT_FILTER).r.modified, 1);
        EXPECT_EQ(s_flushes, expected);
        ExpectIn(ReadFile(rebuilt), {"removed-attachment.txt"});
    }
    MimeSetFileHooks(nullptr);
}

TEST_F(Pipeline, KeptBackupModeKeepsUnchangedMailsWithTheirCompanion) {
    miraconf_set("BackupMode", "2");
    fs::path source = Mail("kept.poi", Clean());
    Mail("kept.poc", "companion");
    Check(source, 0);
    // Backup names carry a suffix of the check's own, the same for both files.
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.path() / "data" / "origmail"))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0].rfind("kept.poc.", 0), 0u);
    EXPECT_EQ(names[1], "kept.poi." + names[0].substr(9));
    EXPECT_EQ(ReadFile(dir.path() / "data" / "origmail" / names[0]), "companion");
}

TEST_F(Pipeline, UnknownRuleSetFailsThePassAndLeavesAnEmptyChain) {
    LogCapture log;
    Seen s = Check(Mail("unknown.eml", Clean()), JOB_ATTACHMENT_FILTER);
    EXPECT_TRUE(s.r.errors & ERR_CHECK);
    EXPECT_TRUE(s.chain.empty());
    EXPECT_TRUE(log.Has(QLOG_ERROR, "CMailWard::OnPop() - Virenchcheck schlug fehl"));
}

TEST_F(Pipeline, HeaderRuleWithActionOneEndsTheStage) {
    ASSERT_EQ(MAILWARD_add_rule("hdr", "offer", "Subject: *offer*", 0, 1, nullptr, 0), 0);
    ASSERT_EQ(MAILWARD_add_rule("set", "kw", "body: money", 0, 4, nullptr, 0), 0);
    fs::path source = Mail("offer.eml", MultipartMail("free money", {}, "great offer"));
    Seen s = Check(source, JOB_HEADER_CHECK | JOB_KEYWORD_CHECK, "hdr");
    EXPECT_TRUE(s.r.status & ST_HEADER_RULE);
    EXPECT_FALSE(s.r.status & ST_PART_RULE);  // no keyword pass ran
    EXPECT_EQ(s.headerRules, std::vector<std::string>{"Subject: *offer*"});
    ExpectIn(ReadFile(source), {"X-ZANAntiSpam: offer: *offer*\r\n"});
}

// A spam list answered later from another thread, as a real look-up does.
void MAILWARD_CALL ListedLater(mailhdr*, uintptr_t user, SpamListDone done, void* job) {
    std::thread([=] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        done(1, static_cast<uint32_t>(user), job);
    }).detach();
}

TEST_F(Pipeline, AsynchronousSpamListHitIsReported) {
    fs::path source = Mail("listed.eml", Clean());
    Seen s = Check(source, JOB_SPAM_LIST, nullptr, &ListedLater, 77);
    EXPECT_TRUE(s.r.status & ST_SPAM_LISTED);
    EXPECT_EQ(s.r.listValue, 77u);
    EXPECT_EQ(s.r.headerChanged, 1);
    // The hit alone leaves the header as it was: the rewrite of that header
    // must not fail its length test.
    EXPECT_EQ(s.r.errors, 0u);
    ExpectIn(ReadFile(source), {"Subject: clean\r\n", "\r\n\r\n--XX\r\n", "aGk=\r\n--XX--"});
}

std::atomic<int> g_listCalls{0};
void MAILWARD_CALL CountingList(mailhdr*, uintptr_t, SpamListDone done, void* job) {
    ++g_listCalls;
    done(0, 0, job);
}

// An answer inside the call is used; a virus mail in mark mode is not looked up.
TEST_F(Pipeline, SpamListAnsweredInsideTheCallAndNotAskedForAVirusMail) {
    g_listCalls = 0;
    Seen s = Check(Mail("quick.eml", Clean()), JOB_SPAM_LIST, nullptr, &CountingList);
    EXPECT_EQ(g_listCalls.load(), 1);
    EXPECT_FALSE(s.r.status & ST_SPAM_LISTED);
    EXPECT_EQ(s.r.headerChanged, 0);

    ASSERT_EQ(MAILWARD_activate_av(AV_MODE_RENAME, nullptr), 0);
    miraconf_set("VirusMailMode", "7");
    LogCapture log;
    g_listCalls = 0;
    s = Check(Mail("v.eml", MultipartMail("hi", {{"a.exe", kEicarBase64}})),
              JOB_AV_CHECK | JOB_SPAM_LIST, nullptr, &CountingList);
    EXPECT_EQ(s.r.virusResult, VIRUS_FOUND);
    EXPECT_EQ(g_listCalls.load(), 0);
}

// The host answers twice: inside the call and again later from another
// thread, or once more after the job ended. The first answer counts; the
// others are logged and touch nothing (ASan: no freed memory).
SpamListDone g_twiceDone = nullptr;
void* g_twiceJob = nullptr;
void MAILWARD_CALL AnswersTwice(mailhdr*, uintptr_t, SpamListDone done, void* job) {
    done(1, 11, job);
    done(0, 12, job);
    g_twiceDone = done;
    g_twiceJob = job;
}

TEST_F(Pipeline, SecondAndLateSpamListAnswersAreIgnored) {
    LogCapture log;
    Seen s = Check(Mail("twice.eml", Clean()), JOB_SPAM_LIST, nullptr, &AnswersTwice);
    EXPECT_TRUE(s.r.status & ST_SPAM_LISTED);
    EXPECT_EQ(s.r.listValue, 11u);
    ASSERT_NE(g_twiceDone, nullptr);
    // After the job: the next job's look-up must not take this answer.
    g_twiceDone(1, 13, g_twiceJob);
    Seen next = Check(Mail("next.eml", Clean()), JOB_SPAM_LIST, nullptr, &CountingList);
    EXPECT_FALSE(next.r.status & ST_SPAM_LISTED);
    int ignored = 0;
    for (const LoggedLine& line : log.Lines())
        ignored += line.text.find("SpamListDone() - answer for job") == 0 ? 1 : 0;
    EXPECT_EQ(ignored, 2);
}

// With a target other than the source, a rebuilt mail goes whole to the
// target and the source keeps its bytes: with the engine stamp (a header
// that grew) and without (the header rewrite of the source would have been
// refused as shorter than the old header).
TEST_F(Pipeline, RebuiltMailGoesToADifferentTargetAndTheSourceStaysAsItWas) {
    ASSERT_EQ(MAILWARD_add_rule("set", "exe", "attachment: *.exe", 0, 9, nullptr, 0), 0);
    fs::create_directories(dir.path() / "out");
    for (bool stamp : {false, true}) {
        SCOPED_TRACE(stamp ? "with the engine stamp" : "without stamp");
        if (stamp) {
            ASSERT_EQ(MAILWARD_activate_av(AV_MODE_REMOVE, nullptr), 0);
        }
        const std::string original = MultipartMail("x", {{"a.exe", "TVqQAAMAAAAEAAAA"}});
        fs::path source = Mail("in.eml", original);
        fs::path target = dir.path() / "out" / "in.eml";
        Seen s = Check(source, JOB_ATTACHMENT_FILTER | (stamp ? JOB_AV_CHECK : 0), nullptr, nullptr,
                       0, target);
        EXPECT_EQ(s.r.errors, 0u);
        EXPECT_EQ(s.r.modified, 1);
        EXPECT_EQ(ReadFile(source), original);
        const std::string out = ReadFile(target);
        ExpectIn(out, {"removed-attachment.txt"});
        ExpectIn(out, {"TVqQAAMAAAAEAAAA"}, false);
        EXPECT_EQ(out.find("X-VaveRiz4Zan:") != std::string::npos, stamp);
        CMimeMessage again;
        EXPECT_EQ(again.LoadMsg(target.string().c_str(), true), 0);
    }
}

// Headers far beyond what real mails carry are kept whole through the
// check and its rewrite (here: the engine stamp), and a header rule still
// sees the field behind them; past the header library's limits the load
// fails and the mail stays as it was.
TEST_F(Pipeline, HeaderOfManyLinesIsWrittenWholeOrRefused) {
    ASSERT_EQ(MAILWARD_activate_av(AV_MODE_REMOVE, nullptr), 0);
    ASSERT_EQ(MAILWARD_add_rule("hdr", "evil", "X-Evil: yes", 0, 1, nullptr, 0), 0);
    auto repeat = [](const std::string& line, std::size_t n) {
        std::string s;
        for (std::size_t i = 0; i < n; ++i)
            s += line;
        return s;
    };
    struct Case {
        const char* name;
        std::string header;
        std::size_t lines;  // how often `line` must stand in the written mail
        const char* line;
        bool loads;
    };
    const Case cases[] = {
        {"a To field folded over 1,200 lines",
         "To: first@example.org,\r\n" + repeat("  next@example.org,\r\n", 1199), 1199,
         "\n  next@example.org,\r\n", true},
        {"1,500 Received fields", repeat("Received: from relay\r\n", 1500), 1500,
         "Received: from relay\r\n", true},
        {"1,500 unknown fields before X-Evil", repeat("X-Filler: f\r\n", 1500) + "X-Evil: yes\r\n",
         1500, "X-Filler: f\r\n", true},
        {"unknown fields past the limit", repeat("X-Filler: f\r\n", MAILHDR_MAX_FLDS_PER_ID + 1), 0,
         "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string original = c.header + "Subject: many\r\n\r\nbody\r\n";
        fs::path source = Mail("many.eml", original);
        Seen s = Check(source, JOB_AV_CHECK | JOB_HEADER_CHECK, "hdr");
        const std::string out = ReadFile(source);
        if (!c.loads) {
            EXPECT_NE(s.r.errors & ERR_LOAD, 0u);
            EXPECT_EQ(out, original);
            continue;
        }
        EXPECT_EQ(s.r.errors, 0u);
        std::size_t found = 0;
        for (std::size_t at = out.find(c.line); at != std::string::npos;
             at = out.find(c.line, at + 1))
            ++found;
        EXPECT_EQ(found, c.lines);
        ExpectIn(out, {"Subject: many\r\n", "X-VaveRiz4Zan:", "\r\n\r\nbody\r\n"});
        // Every line as read, in its place; what the check added follows.
        EXPECT_EQ(out.compare(0, original.size() - 8, original, 0, original.size() - 8), 0);
        const bool evil = c.header.find("X-Evil") != std::string::npos;
        EXPECT_EQ((s.r.status & ST_HEADER_RULE) != 0, evil);
        EXPECT_EQ(out.find("X-ZANAntiSpam: evil: yes") != std::string::npos, evil);
    }
}

// A look-up that answers only long after it was asked.
SpamListDone g_lateDone = nullptr;
void* g_lateJob = nullptr;
void MAILWARD_CALL AnswersLate(mailhdr*, uintptr_t, SpamListDone done, void* job) {
    g_lateDone = done;
    g_lateJob = job;
}

// The service stops with one job waiting for a spam list that never
// answers and more jobs queued: exit ends within its bound, no callback
// comes (the interface drops them for a stopping service), every mail file
// is as it was, and the host's late answer lands nowhere.
TEST(PipelineStop, ExitDuringASpamListWaitEndsWithoutCallbackAndALateAnswerIsSafe) {
    ScratchDir dir;
    miraconf_set("DataDir", dir.str().c_str());
    const std::string text = "Subject: x\r\n\r\nbody\r\n";
    const std::size_t ticketsBefore = spamlist::OpenTickets();
    ASSERT_EQ(MAILWARD_init(), 0);
    std::atomic<int> calls{0};
    auto cb = [](const CheckReport*, uintptr_t u) { ++*reinterpret_cast<std::atomic<int>*>(u); };
    std::vector<fs::path> mails;
    for (int i = 0; i < 6; ++i) {
        mails.push_back(dir.path() / ("m" + std::to_string(i) + ".eml"));
        WriteFile(mails.back(), text);
        // The first waits for the list; the others are queued behind it.
        ASSERT_EQ(MAILWARD_check_mail("set", nullptr, mails.back().string().c_str(), nullptr,
                                      JOB_SPAM_LIST, &AnswersLate, 0, cb,
                                      reinterpret_cast<uintptr_t>(&calls)),
                  0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto begin = std::chrono::steady_clock::now();
    MAILWARD_exit();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3));
    EXPECT_EQ(calls.load(), 0);
    for (const fs::path& mail : mails)
        EXPECT_EQ(ReadFile(mail), text) << mail;
    EXPECT_EQ(spamlist::OpenTickets(), ticketsBefore);
    // The host answers after the service is gone: ignored (ASan, LSan).
    ASSERT_NE(g_lateDone, nullptr);
    g_lateDone(1, 5, g_lateJob);
    miraconf_reset();
}

// The info lines, one per line.
std::string InfoLines(LogCapture& log) {
    std::string s;
    for (const LoggedLine& line : log.Lines())
        s += line.level == QLOG_INFO ? line.text + "\n" : "";
    return s;
}

// Info lines that start with `prefix`.
std::size_t CountStarting(LogCapture& log, const std::string& prefix) {
    std::size_t n = 0;
    for (const LoggedLine& line : log.Lines())
        n += line.level == QLOG_INFO && line.text.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
}

// After the attachment filter the strict reading of the mail must agree with
// what the check acted on: an attachment a rule removes but the parser does
// not see sets ST_MIME_DISAGREEMENT and logs both readings; a mail filtered
// as usual does not. Only jobs with the attachment filter are read.
TEST_F(Pipeline, AttachmentsHiddenFromTheParserSetTheDisagreementBit) {
    ASSERT_EQ(MAILWARD_add_rule("set", "exe", "attachment: *.exe", 0, 9, nullptr, 0), 0);
    ASSERT_EQ(MAILWARD_add_rule("set", "eml", "attachment: *.eml", 0, 9, nullptr, 0), 0);
    const std::string head = "Subject: s\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n";
    const std::string exe = "Content-Type: application/octet-stream; name=\"a.exe\"\r\n\r\nMZ\r\n";
    const struct {
        const char* name;
        std::string text;
        const char* line;  // the disagreement line, or null for none
    } rows[] = {
        {"clean", Clean(), nullptr},
        {"an exe removed as usual", head + "--b\r\n" + exe + "--b--\r\n", nullptr},
        {"an attached message removed whole, the exe inside with it",
         head + "--b\r\nContent-Type: message/rfc822; name=\"fwd.eml\"\r\n\r\nSubject: in\r\n" +
             exe + "--b--\r\n",
         nullptr},
        {"an exe in an attached message, removed inside it",
         head + "--b\r\nContent-Type: message/rfc822\r\n\r\nSubject: in\r\n" + exe + "--b--\r\n",
         nullptr},
        {"a delimiter in the middle of a header line",
         head + "--b\r\nContent-Type: application/octet-stream; x=\"--b\";\r\n name=\"a.exe\"\r\n"
                "\r\nMZ\r\n--b--\r\n",
         "[MAILCHECK] [DISAGREEMENT] [strict: 1 a.exe] [parser: multipart/mixed; -; -]"},
        {"a duplicated boundary parameter",
         "Content-Type: multipart/mixed; boundary=x; boundary=y\r\n\r\n--x\r\n"
         "Content-Type: text/plain\r\n\r\n--y\r\n" +
             exe + "--y--\r\n--x--\r\n",
         "[MAILCHECK] [DISAGREEMENT] [strict: 1~2 a.exe] [parser: multipart/mixed; text/plain]"},
        {"a duplicated Content-Type field",
         "Content-Type: text/plain\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n" +
             exe + "--b--\r\n",
         "[MAILCHECK] [DISAGREEMENT] [strict: 1 a.exe] [parser: text/plain]"},
        // The decoy boundary parameter: a part named like the real one stands
        // between the decoy's delimiters. Both readings take "boundary" by its
        // whole name, so the real exe is the one removed.
        {"a decoy x-boundary with a decoy part of the same name",
         "Content-Type: multipart/mixed; x-boundary=\"A\"; boundary=\"B\"\r\n\r\n--A\r\n"
         "Content-Type: application/octet-stream; name=\"a.exe\"\r\n\r\ndecoy\r\n--A--\r\n"
         "--B\r\n" +
             exe + "--B--\r\n",
         nullptr},
        {"the boundary in its RFC 2231 form, which the parser does not read",
         "Content-Type: multipart/mixed; boundary*=''b\r\n\r\n--b\r\n" + exe + "--b--\r\n",
         "[MAILCHECK] [DISAGREEMENT] [strict: 1 a.exe] [parser: multipart/mixed]"},
        {"a uuencoded exe in a base64 text, which readers decode",
         head + "--b\r\nContent-Type: text/plain\r\nContent-Transfer-Encoding: base64\r\n\r\n"
                "aGkKCmJlZ2luIDY0NCBhLmV4ZQojVFo6CmVuZAo=\r\n--b--\r\n",
         "[MAILCHECK] [DISAGREEMENT] [strict: 1#1 a.exe] [parser: multipart/mixed; text/plain]"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const fs::path mail = Mail("d.eml", row.text);
        LogCapture log;
        const Seen s = Check(mail, JOB_ATTACHMENT_FILTER);
        EXPECT_EQ((s.r.status & ST_MIME_DISAGREEMENT) != 0, row.line != nullptr);
        EXPECT_EQ(CountStarting(log, "[MAILCHECK] [DISAGREEMENT]"), row.line ? 1 : 0);
        if (row.line) {
            EXPECT_TRUE(log.Has(QLOG_INFO, row.line)) << InfoLines(log);
        } else {
            // Nothing the rule removes is left in the written mail.
            EXPECT_EQ(std::string::npos, ReadFile(mail).find("MZ")) << ReadFile(mail);
        }
        if (std::string(row.name) == "a delimiter in the middle of a header line") {
            // Without the attachment filter the mail is not read strictly.
            WriteFile(mail, row.text);
            EXPECT_EQ(Check(mail, 0).r.status & ST_MIME_DISAGREEMENT, 0u);
        }
    }
}

// The shipped example mails and the test corpus, filtered by rules that
// remove or move every named attachment: attached messages are filtered
// like the mail, so the strict reading finds nothing the check did not act
// on, inside them either.
TEST_F(Pipeline, ExampleMailsAndCorpusNeverDisagree) {
    ASSERT_EQ(MAILWARD_add_rule("set", "exe", "attachment: *.exe", 0, 9, nullptr, 0), 0);
    const std::string quarantine = (dir.path() / "q").string();
    fs::create_directories(quarantine);
    ASSERT_EQ(MAILWARD_add_rule("set", "all", "attachment: *", 0, 10, quarantine.c_str(), 0), 0);
    std::vector<fs::path> mails;
    for (const fs::path& folder :
         {fs::path(MAILWARD_SOURCE_DIR) / "share" / "examples" / "mails",
          fs::path(MAILWARD_CORPUS_DIR) / "mail-parser", fs::path(MAILWARD_CORPUS_DIR) / "cpython"})
        for (const auto& e : fs::recursive_directory_iterator(folder))
            if (e.is_regular_file())
                mails.push_back(e.path());
    ASSERT_GT(mails.size(), 150u);
    std::size_t moved = 0;
    for (const fs::path& from : mails) {
        LogCapture log;
        const fs::path copy = dir.path() / "corpus.eml";
        fs::copy_file(from, copy, fs::copy_options::overwrite_existing);
        const bool bBit = (Check(copy, JOB_ATTACHMENT_FILTER).r.status & ST_MIME_DISAGREEMENT) != 0;
        EXPECT_FALSE(bBit) << from << "\n" << InfoLines(log);
        EXPECT_EQ(CountStarting(log, "[MAILCHECK] [DISAGREEMENT]"), 0u) << from;
        moved += CountStarting(log, "[MAILCHECK] [MOVED]");
    }
    EXPECT_GT(moved, 0u);
}

// MAILWARD_exit called by the host on the worker thread, from inside the
// job callback or the spam-list look-up: it returns at once, no further
// callback comes (the queued job is dropped), and the worker then destroys
// the service object on its own thread (ASan: nothing used after release,
// nothing leaked). The host function goes on for a while after the exit; a
// new service made meanwhile on the host's thread waits for the old one's
// end, whose release of the engine would otherwise hit the new service's
// engine (a virus mail would then go unscanned, ERR_CHECK).
std::atomic<int> g_exitCallbacks{0};
std::atomic<long long> g_exitTookMs{-1};
std::atomic<bool> g_bothQueued{false};  // the second job is in the queue
void ExitTimed() {
    // The worker starts with the first job: it waits for the second.
    while (!g_bothQueued.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    auto begin = std::chrono::steady_clock::now();
    MAILWARD_exit();
    g_exitTookMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - begin)
                       .count();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
}
void MAILWARD_CALL ExitInCallback(const CheckReport*, uintptr_t) {
    ++g_exitCallbacks;
    ExitTimed();
}
void MAILWARD_CALL ExitInList(mailhdr*, uintptr_t, SpamListDone, void*) {
    ExitTimed();
}

TEST(PipelineWorker, ExitFromInsideTheWorkerEndsAfterTheJob) {
    for (bool inList : {false, true}) {
        SCOPED_TRACE(inList ? "from the spam-list look-up" : "from the callback");
        ScratchDir dir;
        miraconf_set("DataDir", dir.str().c_str());
        WriteFile(dir.path() / "m.eml", "Subject: x\r\n\r\nbody\r\n");
        WriteFile(dir.path() / "v.eml", MultipartMail("hi", {{"a.exe", kEicarBase64}}));
        const std::string mail = (dir.path() / "m.eml").string();
        g_exitCallbacks = 0;
        g_exitTookMs = -1;
        g_bothQueued = false;
        LogCapture log("MAILWARD_Debug");
        ASSERT_EQ(MAILWARD_init(), 0);
        ASSERT_EQ(MAILWARD_activate_av(AV_MODE_REMOVE, nullptr), 0);
        for (int i = 0; i < 2; ++i)
            ASSERT_EQ(
                MAILWARD_check_mail("set", nullptr, mail.c_str(), nullptr,
                                    inList ? JOB_SPAM_LIST : 0, &ExitInList, 0, &ExitInCallback, 0),
                0);
        g_bothQueued = true;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (g_exitTookMs.load() < 0 && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_GE(g_exitTookMs.load(), 0);
        EXPECT_LT(g_exitTookMs.load(), 1100);
        EXPECT_EQ(MAILWARD_add_rule("set", "n", "body: x", 0, 4, nullptr, 0), -1);  // no service
        // A new service while the old one's host function still runs.
        ASSERT_EQ(MAILWARD_init(), 0);
        EXPECT_TRUE(log.Has(QLOG_DEBUG, "CMailWard::~CMailWard() - mailward stopped"));
        ASSERT_EQ(MAILWARD_activate_av(AV_MODE_REMOVE, nullptr), 0);
        EXPECT_EQ(g_exitCallbacks.load(), inList ? 0 : 1);
        std::atomic<int> calls{0};
        static std::atomic<int> s_virus{0};
        static std::atomic<std::uint32_t> s_errors{0};
        auto cb = [](const CheckReport* r, uintptr_t u) {
            s_virus = r->virusResult;
            s_errors = r->errors;
            ++*reinterpret_cast<std::atomic<int>*>(u);
        };
        ASSERT_EQ(
            MAILWARD_check_mail("set", nullptr, (dir.path() / "v.eml").string().c_str(), nullptr,
                                JOB_AV_CHECK, nullptr, 0, cb, reinterpret_cast<uintptr_t>(&calls)),
            0);
        while (calls.load() == 0 && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(calls.load(), 1);
        EXPECT_EQ(s_virus.load(), VIRUS_FOUND);
        EXPECT_EQ(s_errors.load() & ERR_CHECK, 0u);
        MAILWARD_exit();
        miraconf_reset();
    }
}

// Rules cleared by another host thread while a check runs (here: while the
// worker waits for the spam list, after the attachment pass recorded its
// rule): the callback still reads the recorded rule, and the mail is written.
void MAILWARD_CALL ClearsRulesMeanwhile(mailhdr*, uintptr_t, SpamListDone done, void* job) {
    std::thread([] { MAILWARD_clear_rules(); }).join();
    done(0, 0, job);
}

TEST_F(Pipeline, RulesClearedDuringACheckStayReadableForItsReport) {
    ASSERT_EQ(MAILWARD_add_rule("set", "exe", "attachment: *.exe", 0, 9, nullptr, 0), 0);
    fs::path source = Mail("cleared.eml", MultipartMail("x", {{"a.exe", "TVqQ"}}));
    Seen s = Check(source, JOB_ATTACHMENT_FILTER | JOB_SPAM_LIST, nullptr, &ClearsRulesMeanwhile);
    EXPECT_EQ(s.chain, std::vector<std::string>{"attachment: *.exe"});
    EXPECT_EQ(s.r.errors, 0u);
    ExpectIn(ReadFile(source), {"removed-attachment.txt"});
    // The set is gone for the next mail.
    s = Check(Mail("after.eml", MultipartMail("x", {{"a.exe", "TVqQ"}})), JOB_ATTACHMENT_FILTER);
    EXPECT_TRUE(s.r.errors & ERR_CHECK);
}

}  // namespace

// A part named only in RFC 2231 form is reported under that name (decoded,
// continuations joined, line ends blanked), not under its content type.
TEST_F(Pipeline, PartNamedOnlyInRfc2231FormIsReportedByThatName) {
    const std::string mail =
        "From: a@example.com\r\nSubject: s\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"XX\"\r\n\r\n--XX\r\n"
        "Content-Type: application/pdf\r\nContent-Disposition: attachment;\r\n"
        " filename*=utf-8''r%C3%A9sum%C3%A9.pdf\r\n\r\nAAEC\r\n--XX\r\n"
        "Content-Type: application/octet-stream;\r\n name*0*=utf-8''two%0D%0A; name*1=parts.bin\r\n"
        "\r\nAAEC\r\n--XX\r\nContent-Type: text/plain\r\n\r\nno name\r\n--XX--\r\n";
    Seen s = Check(Mail("named.eml", mail), JOB_ATTACHMENT_FILTER);
    ASSERT_EQ(s.parts.size(), 4u);
    EXPECT_EQ(s.parts[1], "r\xc3\xa9sum\xc3\xa9.pdf:0:0");
    EXPECT_EQ(s.parts[2], "two  parts.bin:0:0");
    EXPECT_EQ(s.parts[3], "text/plain:0:0");
}
