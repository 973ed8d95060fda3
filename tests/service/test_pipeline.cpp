/*
 * test_pipeline.cpp - the check of whole mails from end to end through the
 * exported interface, with the real engine: infected mails, flushing,
 * companion backups, the rule stage with header rules and spam lists
 * answered late, inside the call or not asked, unknown rule sets and
 * stopping. The program's tests (tests/tools) check the clean, keyword,
 * backup-mode and load-failure outcomes through the same interface.
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
#include "miralib.h"

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
               SpamListCheck list = nullptr, uintptr_t listUser = 0) {
        std::size_t before;
        {
            std::lock_guard<std::mutex> lock(mutex);
            before = seen.size();
        }
        EXPECT_EQ(MAILWARD_check_mail("set", headerSet, source.string().c_str(), nullptr, flags,
                                      list, listUser, &OnReport, reinterpret_cast<uintptr_t>(this)),
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
    Seen s = Check(Mail("listed.eml", Clean()), JOB_SPAM_LIST, nullptr, &ListedLater, 77);
    EXPECT_TRUE(s.r.status & ST_SPAM_LISTED);
    EXPECT_EQ(s.r.listValue, 77u);
    EXPECT_EQ(s.r.headerChanged, 1);
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
        {"an exe in an attached message",
         head + "--b\r\nContent-Type: message/rfc822\r\n\r\nSubject: in\r\n" + exe + "--b--\r\n",
         "[MAILCHECK] [DISAGREEMENT] [strict: 1.m a.exe] [parser: multipart/mixed; "
         "message/rfc822]"},
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
        }
        if (std::string(row.name) == "an exe in an attached message") {
            // Without the attachment filter the mail is not read strictly.
            WriteFile(mail, row.text);
            EXPECT_EQ(Check(mail, 0).r.status & ST_MIME_DISAGREEMENT, 0u);
        }
    }
}

// The shipped example mails and the test corpus, filtered by rules that
// remove or move every named attachment: the strict reading disagrees only
// where an attachment lies inside an attached message ("m" in its place),
// which the parser does not look into.
TEST_F(Pipeline, ExampleMailsAndCorpusDisagreeOnlyInsideAttachedMessages) {
    ASSERT_EQ(MAILWARD_add_rule("set", "exe", "attachment: *.exe", 0, 9, nullptr, 0), 0);
    const std::string quarantine = (dir.path() / "q").string();
    fs::create_directories(quarantine);
    ASSERT_EQ(MAILWARD_add_rule("set", "all", "attachment: *", 0, 10, quarantine.c_str(), 0), 0);
    std::vector<fs::path> mails;
    for (const fs::path& folder :
         {fs::path(MAILWARD_SOURCE_DIR) / "examples" / "mails",
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
        EXPECT_EQ(bBit, CountStarting(log, "[MAILCHECK] [DISAGREEMENT]") > 0) << from;
        for (const LoggedLine& line : log.Lines()) {
            const std::string::size_type b = line.text.find("[strict: ");
            const std::string::size_type e = line.text.find("] [parser: ");
            if (line.text.rfind("[MAILCHECK] [DISAGREEMENT]", 0) != 0 || b == std::string::npos ||
                e == std::string::npos)
                continue;
            // Entries "<place> <names>" split by "; ".
            const std::string strict = line.text.substr(b + 9, e - b - 9) + "; ";
            for (std::string::size_type at = 0; at < strict.size();) {
                const std::string::size_type next = strict.find("; ", at);
                const std::string place = strict.substr(at, strict.find(' ', at) - at);
                EXPECT_NE(place.find('m'), std::string::npos) << from << ": " << line.text;
                at = next + 2;
            }
        }
        moved += CountStarting(log, "[MAILCHECK] [MOVED]");
    }
    EXPECT_GT(moved, 0u);
}

}  // namespace
