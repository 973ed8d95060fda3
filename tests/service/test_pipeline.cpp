/*
 * test_pipeline.cpp - the check of whole mails from end to end through the
 * exported interface, with the real engine: clean and infected mails, the
 * output cases, backups, the rule stage with header rules, keywords and an
 * asynchronous spam list, load failures, unknown rule sets and stopping.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <thread>

#include "../processors/fixtures.h"
#include "mailward.h"
#include "mime/mimeoutput.h"
#include "miralib.h"

namespace {

using namespace fixtures;

// What a callback saw, copied while the report was valid.
struct Seen {
    int result = 0;
    uint32_t errors = 0;
    int virusResult = 0;
    uint32_t status = 0;
    uint32_t listValue = 0;
    int modified = 0;
    int headerChanged = 0;
    bool hadHeader = false;
    std::vector<std::string> parts;  // "name:action:virus"
    std::vector<std::string> chain;  // rule texts
    std::vector<std::string> headerRules;
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
        s.result = r->result;
        s.errors = r->errors;
        s.virusResult = r->virusResult;
        s.status = r->status;
        s.listValue = r->listValue;
        s.modified = r->modified;
        s.headerChanged = r->headerChanged;
        s.hadHeader = r->header != nullptr;
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

    Seen Check(const fs::path& source, int flags, const char* target = nullptr,
               const char* headerSet = nullptr, SpamListCheck list = nullptr,
               uintptr_t listUser = 0) {
        std::size_t before;
        {
            std::lock_guard<std::mutex> lock(mutex);
            before = seen.size();
        }
        EXPECT_EQ(MAILWARD_check_mail("set", headerSet, source.string().c_str(), target, flags,
                                      list, listUser, &OnReport, reinterpret_cast<uintptr_t>(this)),
                  0);
        std::unique_lock<std::mutex> lock(mutex);
        EXPECT_TRUE(
            cv.wait_for(lock, std::chrono::seconds(30), [&] { return seen.size() > before; }));
        return seen.empty() ? Seen{} : seen.back();
    }

    std::string Clean() { return MultipartMail("hello world", {{"b.txt", "aGk="}}, "clean"); }
};

TEST_F(Pipeline, CleanMailIsStampedAndCopiedToADifferentTarget) {
    ASSERT_EQ(MAILWARD_activate_av(AV_MODE_REMOVE, nullptr), 0);
    LogCapture log;
    fs::path source = Mail("clean.eml", Clean());
    fs::path target = dir.path() / "out.eml";
    Seen s = Check(source, JOB_AV_CHECK, target.string().c_str());
    EXPECT_EQ(s.result, 0);
    EXPECT_EQ(s.virusResult, VIRUS_CLEAN);
    EXPECT_EQ(s.headerChanged, 1);
    EXPECT_EQ(s.modified, 1);  // the header-changed mail was written
    EXPECT_TRUE(s.hadHeader);
    EXPECT_TRUE(log.Has(QLOG_INFO, "[MAILCHECK] [OK] [SECUREMAIL] [3]"));
    std::string out = ReadFile(target);
    EXPECT_NE(out.find("X-VaveRiz4Zan: checked by VaveRiz for mailward; host=test.host\r\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(ReadFile(source), out);  // the source got the new header too
    EXPECT_NE(out.find("hello world"), std::string::npos);
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
    EXPECT_EQ(s.virusResult, VIRUS_FOUND);
    ASSERT_FALSE(s.parts.empty());
    EXPECT_EQ(s.parts.back().substr(0, 5), "mail:");  // beside the earlier part records
    EXPECT_GT(s.parts.size(), 1u);
    std::string out = ReadFile(source);
    EXPECT_NE(out.find("This message was found to contain a virus"), std::string::npos) << out;
    EXPECT_NE(out.find("X-Note: part scan"), std::string::npos);
    EXPECT_EQ(out.find("Content-Type: multipart"), std::string::npos);
    EXPECT_EQ(out.find("EICAR-STANDARD"), std::string::npos);
    EXPECT_NE(out.find("X-ZANAntiSpam: Virus:"), std::string::npos);
    EXPECT_NE(out.find("X-VaveRiz4Zan:"), std::string::npos);
}

TEST_F(Pipeline, WholeFileVirusWithoutPartRecords) {
    ASSERT_EQ(MAILWARD_activate_av(AV_MODE_REMOVE, nullptr), 0);
    std::string text = std::string("Subject: plain\r\n\r\n") + kEicar + "\r\n";
    fs::path source = Mail("plain.eml", text);
    Seen s = Check(source, JOB_AV_CHECK);
    EXPECT_EQ(s.virusResult, VIRUS_FOUND);
    EXPECT_EQ(s.parts, std::vector<std::string>{"mail:0:2"});
    EXPECT_EQ(ReadFile(source).find("EICAR-STANDARD"), std::string::npos);
}

TEST_F(Pipeline, UntouchedMailStaysAsItWasAndTemporaryBackupsGo) {
    std::string text = Clean();
    fs::path source = Mail("same.eml", text);
    Seen s = Check(source, JOB_ATTACHMENT_FILTER);
    EXPECT_EQ(s.result, -1);  // no set named "set" exists yet
    ASSERT_EQ(MAILWARD_add_rule("set", "exe", "attachment: *.exe", 0, 9, nullptr, 0), 0);
    s = Check(source, JOB_ATTACHMENT_FILTER);
    EXPECT_EQ(s.result, 0);
    EXPECT_EQ(s.modified, 0);
    EXPECT_EQ(s.headerChanged, 0);
    EXPECT_EQ(s.chain, std::vector<std::string>{"default"});
    EXPECT_EQ(ReadFile(source), text);
    EXPECT_FALSE(fs::exists(dir.path() / "data" / "origmail" / "same.eml"));
}

TEST_F(Pipeline, ChangedMailKeepsItsTemporaryBackup) {
    ASSERT_EQ(MAILWARD_add_rule("set", "exe", "attachment: *.exe", 0, 9, nullptr, 0), 0);
    std::string text = MultipartMail("x", {{"a.exe", "TVqQ"}});
    fs::path source = Mail("changed.eml", text);
    Seen s = Check(source, JOB_ATTACHMENT_FILTER);
    EXPECT_EQ(s.modified, 1);
    EXPECT_EQ(s.chain, std::vector<std::string>{"attachment: *.exe"});
    EXPECT_EQ(ReadFile(dir.path() / "data" / "origmail" / "changed.eml"), text);
    EXPECT_NE(ReadFile(source).find("removed-attachment.txt"), std::string::npos);
}

// FlushMails decides whether the worker flushes a rewritten mail to disk:
// the stamped mail (header rewrite) and the rebuilt mail (part removed).
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
        EXPECT_EQ(Check(stamped, JOB_AV_CHECK).headerChanged, 1);
        EXPECT_EQ(s_flushes, expected);
        EXPECT_NE(ReadFile(stamped).find("X-VaveRiz4Zan: "), std::string::npos);

        s_flushes = 0;
        fs::path rebuilt = Mail("rebuilt.eml", MultipartMail("x", {{"a.exe", "TVqQ"}}));
        EXPECT_EQ(Check(rebuilt, JOB_ATTACHMENT_FILTER).modified, 1);
        EXPECT_EQ(s_flushes, expected);
        EXPECT_NE(ReadFile(rebuilt).find("removed-attachment.txt"), std::string::npos);
    }
    MimeSetFileHooks(nullptr);
}

TEST_F(Pipeline, NoBackupModeCopiesNothing) {
    miraconf_set("BackupMode", "0");
    fs::path source = Mail("nobackup.eml", Clean());
    Check(source, 0);
    EXPECT_FALSE(fs::exists(dir.path() / "data" / "origmail" / "nobackup.eml"));
}

TEST_F(Pipeline, KeptBackupModeKeepsUnchangedMails) {
    miraconf_set("BackupMode", "2");
    fs::path source = Mail("kept.poi", Clean());
    Mail("kept.poc", "companion");
    Check(source, 0);
    EXPECT_TRUE(fs::exists(dir.path() / "data" / "origmail" / "kept.poi"));
    EXPECT_EQ(ReadFile(dir.path() / "data" / "origmail" / "kept.poc"), "companion");
}

TEST_F(Pipeline, MissingSourceIsReportedThroughTheCallback) {
    LogCapture log;
    fs::path missing = dir.path() / "missing.eml";
    Seen s = Check(missing, 0);
    EXPECT_EQ(s.result, -1);
    EXPECT_EQ(s.errors, static_cast<uint32_t>(ERR_LOAD));
    EXPECT_TRUE(log.Has(QLOG_INFO, "[MAILCHECK] [ERROR] [opening file " + missing.string() + "]"));
}

TEST_F(Pipeline, UnknownRuleSetFailsThePassAndLeavesAnEmptyChain) {
    LogCapture log;
    fs::path source = Mail("unknown.eml", Clean());
    Seen s = Check(source, JOB_ATTACHMENT_FILTER);
    EXPECT_TRUE(s.errors & ERR_CHECK);
    EXPECT_TRUE(s.chain.empty());
    EXPECT_TRUE(log.Has(QLOG_ERROR, "CMailWard::OnPop() - Virenchcheck schlug fehl"));
    EXPECT_TRUE(log.Has(QLOG_ERROR, "CRuleHelper::MakeDefaultRule() - invalid rule set"));
}

TEST_F(Pipeline, HeaderRuleWithActionOneEndsTheStage) {
    ASSERT_EQ(MAILWARD_add_rule("hdr", "offer", "Subject: *offer*", 0, 1, nullptr, 0), 0);
    ASSERT_EQ(MAILWARD_add_rule("set", "kw", "body: money", 0, 4, nullptr, 0), 0);
    fs::path source = Mail("offer.eml", MultipartMail("free money", {}, "great offer"));
    Seen s = Check(source, JOB_HEADER_CHECK | JOB_KEYWORD_CHECK, nullptr, "hdr");
    EXPECT_TRUE(s.status & ST_HEADER_RULE);
    EXPECT_FALSE(s.status & ST_PART_RULE);  // no keyword pass ran
    EXPECT_EQ(s.headerRules, std::vector<std::string>{"Subject: *offer*"});
    std::string out = ReadFile(source);
    EXPECT_NE(out.find("X-ZANAntiSpam: offer: *offer*\r\n"), std::string::npos) << out;
}

TEST_F(Pipeline, KeywordPassesMarkTheSubject) {
    ASSERT_EQ(MAILWARD_add_rule("set", "kw", "body: money", 0, 4, nullptr, 0), 0);
    fs::path source = Mail("kw.eml", MultipartMail("free money", {}, "hello"));
    Seen s = Check(source, JOB_KEYWORD_CHECK);
    EXPECT_TRUE(s.status & ST_PART_RULE);
    std::string out = ReadFile(source);
    EXPECT_NE(out.find("Subject: [SPAM] hello\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("X-ZANAntiSpam: Schluesselwoerter:  money\r\n"), std::string::npos);
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
    Seen s = Check(source, JOB_SPAM_LIST, nullptr, nullptr, &ListedLater, 77);
    EXPECT_TRUE(s.status & ST_SPAM_LISTED);
    EXPECT_EQ(s.listValue, 77u);
    EXPECT_EQ(s.headerChanged, 1);
}

std::atomic<int> g_listCalls{0};
void MAILWARD_CALL CountingList(mailhdr*, uintptr_t, SpamListDone done, void* job) {
    ++g_listCalls;
    done(0, 0, job);
}

TEST_F(Pipeline, NoSpamListForAVirusMailInMarkMode) {
    ASSERT_EQ(MAILWARD_activate_av(AV_MODE_RENAME, nullptr), 0);
    miraconf_set("VirusMailMode", "7");
    LogCapture log;
    fs::path source = Mail("v.eml", MultipartMail("hi", {{"a.exe", kEicarBase64}}));
    g_listCalls = 0;
    Check(source, JOB_AV_CHECK | JOB_SPAM_LIST, nullptr, nullptr, &CountingList);
    EXPECT_EQ(g_listCalls.load(), 0);
}

TEST_F(Pipeline, SpamListAnsweredInsideTheCallIsUsed) {
    fs::path source = Mail("quick.eml", Clean());
    g_listCalls = 0;
    Seen s = Check(source, JOB_SPAM_LIST, nullptr, nullptr, &CountingList);
    EXPECT_EQ(g_listCalls.load(), 1);
    EXPECT_FALSE(s.status & ST_SPAM_LISTED);
    EXPECT_EQ(s.headerChanged, 0);
}

// A look-up that answers only long after it was asked.
SpamListDone g_lateDone = nullptr;
void* g_lateJob = nullptr;
void MAILWARD_CALL AnswersLate(mailhdr*, uintptr_t, SpamListDone done, void* job) {
    g_lateDone = done;
    g_lateJob = job;
}

TEST(PipelineStop, ExitDuringASpamListWaitEndsWithoutCallbackAndALateAnswerIsSafe) {
    ScratchDir dir;
    WriteFile(dir.path() / "m.eml", "Subject: x\r\n\r\nbody\r\n");
    miraconf_set("DataDir", dir.str().c_str());
    ASSERT_EQ(MAILWARD_init(), 0);
    std::atomic<int> calls{0};
    auto cb = [](const CheckReport*, uintptr_t u) { ++*reinterpret_cast<std::atomic<int>*>(u); };
    ASSERT_EQ(MAILWARD_check_mail("set", nullptr, (dir.path() / "m.eml").string().c_str(), nullptr,
                                  JOB_SPAM_LIST, &AnswersLate, 0, cb,
                                  reinterpret_cast<uintptr_t>(&calls)),
              0);
    for (int i = 0; i < 5; ++i)  // queued behind the waiting one: dropped
        MAILWARD_check_mail("set", nullptr, "/nonexistent", nullptr, 0, nullptr, 0, cb,
                            reinterpret_cast<uintptr_t>(&calls));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto begin = std::chrono::steady_clock::now();
    MAILWARD_exit();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3));
    EXPECT_EQ(calls.load(), 0);
    // The host answers after the service is gone: the answer must land in
    // memory that is still there (ASan) and must not leak (LeakSanitizer).
    ASSERT_NE(g_lateDone, nullptr);
    g_lateDone(1, 5, g_lateJob);
    miraconf_reset();
}

}  // namespace
