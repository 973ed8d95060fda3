/*
 * test_content_rules.cpp - rules that see inside archives and attached
 * messages and judge parts by what they are, through the exported
 * interface with the real engine: every fixture of make_content_fixtures.py
 * as an attachment, each rule kind with the actions that change a mail,
 * the archive limits at and past their bounds, forwarded mails written back
 * around their notices, and the engine's heuristics as settings.
 */
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "../processors/fixtures.h"
#include "mailward.h"
#include "miralib/miralib.h"
#include "support/content_fixtures.h"

namespace {

using namespace fixtures;
using testkit::ContentFixture;

struct Outcome {
    CheckReport r{};
    std::vector<std::string> parts;  // "name:action"
    std::vector<std::string> chain;  // rule names
    std::string virus;               // the virus name of the whole mail, if any
    std::string written;             // the mail as it was written
};

class ContentRules : public ::testing::Test {
  protected:
    ScratchDir dir;
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    Outcome seen;

    void SetUp() override {
        ASSERT_FALSE(testkit::ContentFixtureDir().empty()) << "fixtures not made";
        fs::create_directories(dir.path() / "data");
        fs::create_directories(dir.path() / "tmp");
        fs::create_directories(dir.path() / "review");
        miraconf_set("DataDir", (dir.path() / "data").string().c_str());
        miraconf_set("TempDir", (dir.path() / "tmp").string().c_str());
        ASSERT_EQ(MAILWARD_init(), 0);
    }
    void TearDown() override {
        MAILWARD_exit();
        miraconf_reset();
    }
    void Rule(const char* name, const char* text, int action, bool review = false) {
        const std::string folder = (dir.path() / "review").string();
        ASSERT_EQ(
            MAILWARD_add_rule("set", name, text, 0, action, review ? folder.c_str() : nullptr, 0),
            0)
            << text;
    }
    static void MAILWARD_CALL OnReport(const CheckReport* r, uintptr_t user) {
        auto* self = reinterpret_cast<ContentRules*>(user);
        Outcome o;
        o.r = *r;
        for (const PartReport* p = r->parts; p != nullptr; p = p->next) {
            o.parts.push_back(std::string(p->name) + ":" + std::to_string(p->action));
            if (p->part == nullptr && p->virusName != nullptr)
                o.virus = p->virusName;
        }
        for (const ::Rule* rule = r->ruleChain; rule != nullptr; rule = rule->report_next)
            o.chain.push_back(rule->name != nullptr ? rule->name : "default");
        std::lock_guard<std::mutex> lock(self->mutex);
        self->seen = o;
        self->done = true;
        self->cv.notify_all();
    }
    // Checks `mail` (a fixture name or mail text) and returns what happened.
    Outcome Check(const std::string& text, int flags = JOB_ATTACHMENT_FILTER) {
        const fs::path mail = dir.path() / "mail.eml";
        WriteFile(mail, text);
        {
            std::lock_guard<std::mutex> lock(mutex);
            done = false;
        }
        EXPECT_EQ(MAILWARD_check_mail("set", nullptr, mail.string().c_str(), nullptr, flags,
                                      nullptr, 0, &OnReport, reinterpret_cast<uintptr_t>(this)),
                  0);
        std::unique_lock<std::mutex> lock(mutex);
        EXPECT_TRUE(cv.wait_for(lock, std::chrono::seconds(60), [&] { return done; }));
        seen.written = ReadFile(mail);
        return seen;
    }
    Outcome CheckFixtureMail(const std::string& fixture, int flags = JOB_ATTACHMENT_FILTER) {
        const std::string text = ContentFixture("mail-" + fixture + ".eml");
        EXPECT_FALSE(text.empty()) << fixture;
        return Check(text, flags);
    }
};

// Whether `what` is in `text`, read across the soft line breaks of
// quoted-printable notices.
bool Has(std::string text, const std::string& what) {
    for (std::size_t at = text.find("=\r\n"); at != std::string::npos; at = text.find("=\r\n", at))
        text.erase(at, 3);
    return text.find(what) != std::string::npos;
}

// The base64 of the PE program's first bytes as the fixtures' mails carry it.
constexpr const char* PE_BASE64_START = "TVo";

TEST_F(ContentRules, EachFixtureMeetsItsRuleAndTheNoticeSaysWhatWasFound) {
    Rule("exe", "attachment: *.exe", ACTION_REMOVE);
    Rule("pe", "content: application/vnd.microsoft.portable-executable", ACTION_REMOVE);
    Rule("encrypted", "attachment-encrypted: yes", ACTION_MOVE, true);
    Rule("unreadable", "attachment-unreadable: yes", ACTION_MOVE, true);
    const struct {
        const char* fixture;
        const char* rule;    // the rule that acts, "" for none
        const char* notice;  // a line of its notice
    } rows[] = {
        {"docs.zip", "exe", "Member: setup.exe"},
        {"docs64.zip", "exe", "Member: setup.exe"},
        {"docs.7z", "exe", "Member: setup.exe"},
        {"docs.tar.gz", "exe", "Member: setup.exe"},
        {"setup.exe.gz", "exe", "Member: setup.exe"},
        {"nested.zip", "exe", "Member: inner.zip/setup.exe"},
        {"setup.exe", "exe", "Name: setup.exe"},
        {"holiday.jpg", "pe", "Found: type application/vnd.microsoft.portable-executable"},
        {"photos.zip", "pe", "Member: holiday.jpg"},
        {"secret.zip", "encrypted", "Found: an encrypted archive"},
        {"damaged.zip", "unreadable", "Found: an archive that cannot be listed"},
        {"plain.zip", "", ""},
        {"notes.txt", "", ""},
        {"macro.xls", "", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fixture);
        const Outcome o = CheckFixtureMail(row.fixture);
        EXPECT_EQ(o.r.errors, 0u);
        if (*row.rule == '\0') {
            EXPECT_EQ(o.chain, std::vector<std::string>{"default"});
            EXPECT_EQ(o.r.modified, 0);
            continue;
        }
        EXPECT_EQ(o.chain, std::vector<std::string>{row.rule});
        const bool moved =
            std::string(row.rule) == "encrypted" || std::string(row.rule) == "unreadable";
        const std::string record =
            std::string(row.fixture) + ":" + std::to_string(moved ? PART_MOVED : PART_REMOVED);
        EXPECT_NE(std::find(o.parts.begin(), o.parts.end(), record), o.parts.end());
        EXPECT_TRUE(Has(o.written, row.notice)) << o.written;
        EXPECT_FALSE(Has(o.written, "filename=\"" + std::string(row.fixture) + "\""));
        if (moved) {
            // The held copy is the attachment byte for byte.
            EXPECT_EQ(ReadFile(dir.path() / "review" / row.fixture), ContentFixture(row.fixture));
        }
    }
}

TEST_F(ContentRules, MismatchFindsAProgramUnderAnImageNameAlsoInAnArchive) {
    Rule("disguised", "attachment-mismatch: yes", ACTION_REMOVE);
    for (const char* fixture : {"holiday.jpg", "photos.zip"}) {
        SCOPED_TRACE(fixture);
        const Outcome o = CheckFixtureMail(fixture);
        EXPECT_EQ(o.chain, std::vector<std::string>{"disguised"});
        EXPECT_TRUE(Has(o.written, "Found: a program")) << o.written;
    }
    // The same program under its own name hides nothing.
    EXPECT_EQ(CheckFixtureMail("setup.exe").chain, std::vector<std::string>{"default"});
    EXPECT_EQ(CheckFixtureMail("docs.zip").chain, std::vector<std::string>{"default"});
}

TEST_F(ContentRules, TheNewKindsWorkWithMarkAndNoneActionsToo) {
    Rule("mark-pe", "content: application/vnd.microsoft.portable-executable", ACTION_MARK_MAIL);
    Rule("note-encrypted", "attachment-encrypted: yes", ACTION_NONE);
    Outcome o = CheckFixtureMail("docs.zip");
    EXPECT_EQ(o.chain, std::vector<std::string>{"mark-pe"});
    EXPECT_NE(o.r.status & ST_PART_RULE, 0u);
    EXPECT_NE(std::find(o.parts.begin(), o.parts.end(), "docs.zip:64"), o.parts.end());
    EXPECT_TRUE(Has(o.written, "UEsDB"));  // the zip (base64 of "PK\3\4") stays
    o = CheckFixtureMail("secret.zip");
    EXPECT_EQ(o.chain, std::vector<std::string>{"note-encrypted"});
    EXPECT_EQ(o.r.modified, 0);
}

TEST_F(ContentRules, ArchiveLimitsHoldAtTheirBoundsAndMakeThePartUnreadablePast) {
    Rule("exe", "attachment: *.exe", ACTION_REMOVE);
    Rule("unreadable", "attachment-unreadable: yes", ACTION_REMOVE);
    miraconf_set("ArchiveMaxMembers", "10");
    miraconf_set("ArchiveMaxDepth", "2");
    miraconf_set("ArchiveMaxUnpacked", "67108864");  // the bomb's 64 MiB
    EXPECT_EQ(CheckFixtureMail("members-10.zip").chain, std::vector<std::string>{"default"});
    EXPECT_EQ(CheckFixtureMail("members-11.zip").chain, std::vector<std::string>{"unreadable"});
    EXPECT_EQ(CheckFixtureMail("depth-2.zip").chain, std::vector<std::string>{"exe"});
    Outcome o = CheckFixtureMail("depth-3.zip");
    EXPECT_EQ(o.chain, std::vector<std::string>{"unreadable"});
    EXPECT_TRUE(Has(o.written, "nested deeper than 2")) << o.written;
    EXPECT_EQ(CheckFixtureMail("bomb.zip").chain, std::vector<std::string>{"default"});
    miraconf_set("ArchiveMaxUnpacked", "67108863");
    o = CheckFixtureMail("bomb.zip");
    EXPECT_EQ(o.chain, std::vector<std::string>{"unreadable"});
    EXPECT_TRUE(Has(o.written, "unpacked size above 67108863")) << o.written;
}

TEST_F(ContentRules, AForwardedProgramIsRemovedAndTheForwardedTextStays) {
    Rule("exe", "attachment: *.exe", ACTION_REMOVE);
    const Outcome o = Check(ContentFixture("forwarded.eml"));
    EXPECT_EQ(o.r.errors, 0u);
    EXPECT_EQ(o.r.status & ST_MIME_DISAGREEMENT, 0u);
    EXPECT_EQ(o.chain, std::vector<std::string>{"exe"});
    EXPECT_NE(std::find(o.parts.begin(), o.parts.end(), "setup.exe:32"), o.parts.end());
    // The attached message is still one, with its own header and text.
    for (const char* kept :
         {"Content-Type: message/rfc822", "Subject: The installer",
          "Please find the file attached.", "See the message below.", "Name: setup.exe"})
        EXPECT_TRUE(Has(o.written, kept)) << kept << "\n" << o.written;
    EXPECT_FALSE(Has(o.written, PE_BASE64_START));
}

TEST_F(ContentRules, AttachedMessagesTooDeepAreUnreadableNotClean) {
    // The program inside ten attached messages, one in the other.
    std::string mail = "Content-Type: application/octet-stream; name=\"a.exe\"\r\n\r\nMZ\r\n";
    for (int level = 0; level < 10; ++level)
        mail = "Subject: level " + std::to_string(level) +
               "\r\nContent-Type: multipart/mixed; boundary=b" + std::to_string(level) +
               "\r\n\r\n--b" + std::to_string(level) + "\r\nContent-Type: message/rfc822\r\n\r\n" +
               mail + "\r\n--b" + std::to_string(level) + "--\r\n";
    Rule("exe", "attachment: *.exe", ACTION_REMOVE);
    Outcome o = Check(mail);
    // Past the depth the filter reads, the strict reading still sees it.
    EXPECT_NE(o.r.status & ST_MIME_DISAGREEMENT, 0u);
    Rule("unreadable", "attachment-unreadable: yes", ACTION_REMOVE);
    o = Check(mail);
    EXPECT_EQ(o.chain, std::vector<std::string>{"unreadable"});
    EXPECT_TRUE(Has(o.written, "Found: an attached message that cannot be read")) << o.written;
    EXPECT_TRUE(Has(o.written, "Subject: level 9"));
}

TEST_F(ContentRules, HeuristicsAreSettingsAndHitUnderLibclamavsNames) {
    const struct {
        const char* fixture;
        const char* key;
        const char* name;  // the virus name with the key on
        bool onByDefault;
    } rows[] = {
        {"macro.xls", "HeuristicMacros", "Heuristics.OLE2.ContainsMacros", true},
        {"secret.zip", "HeuristicEncrypted", "Heuristics.Encrypted.Zip", false},
        {"setup.exe", "HeuristicBrokenExecutables", "Heuristics.Broken.Executable", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.key);
        for (const char* value : {"", "1", "0"}) {
            if (*value != '\0')
                miraconf_set(row.key, value);
            ASSERT_EQ(MAILWARD_activate_av(AV_MODE_REMOVE, nullptr), 0);
            const Outcome o = CheckFixtureMail(row.fixture, JOB_AV_CHECK);
            const bool on = *value == '\0' ? row.onByDefault : *value == '1';
            EXPECT_EQ(o.r.virusResult, on ? VIRUS_FOUND : VIRUS_CLEAN) << "value '" << value << "'";
            if (on) {
                EXPECT_EQ(o.virus.rfind(row.name, 0), 0u) << o.virus;
            } else if (std::string(row.fixture) == "secret.zip") {
                // Not looked into is not clean.
                EXPECT_NE(o.r.errors & ERR_CHECK, 0u);
            }
        }
        miraconf_set(row.key, nullptr);
    }
}

// The engine cannot look into an encrypted archive: the mail is whole only
// when the filter's rules judged it (a rule names encrypted archives, or the
// part went), never by default; unjudged, it fails as a limit does (the same
// mail fails so at every try), with the filter and without it.
TEST_F(ContentRules, AnEncryptedArchiveIsJudgedByTheRulesOrFailsTheCheck) {
    const int both = JOB_AV_CHECK | JOB_ATTACHMENT_FILTER;
    Rule("exe", "attachment: *.exe", ACTION_REMOVE);
    ASSERT_EQ(MAILWARD_activate_av(AV_MODE_REMOVE, nullptr), 0);
    EXPECT_EQ(CheckFixtureMail("plain.zip", both).r.errors, 0u);
    Outcome o = CheckFixtureMail("secret.zip", both);
    EXPECT_EQ(o.r.errors, static_cast<std::uint32_t>(ERR_CHECK));
    EXPECT_NE(o.r.status & ST_ENGINE_LIMIT, 0u);
    EXPECT_NE(o.r.virusResult, VIRUS_FOUND);
    o = CheckFixtureMail("secret.zip", JOB_AV_CHECK);
    EXPECT_EQ(o.r.errors, static_cast<std::uint32_t>(ERR_CHECK));
    EXPECT_NE(o.r.status & ST_ENGINE_LIMIT, 0u);

    for (int action : {ACTION_MOVE, ACTION_NONE}) {
        SCOPED_TRACE(action);
        MAILWARD_clear_rules();
        Rule("encrypted", "attachment-encrypted: yes", action, action == ACTION_MOVE);
        o = CheckFixtureMail("secret.zip", both);
        EXPECT_EQ(o.r.errors, 0u);
        EXPECT_EQ(o.r.status & ST_ENGINE_LIMIT, 0u);
        EXPECT_EQ(o.chain, std::vector<std::string>{"encrypted"});
        const std::string record =
            "secret.zip:" + std::to_string(action == ACTION_MOVE ? PART_MOVED : 0);
        EXPECT_NE(std::find(o.parts.begin(), o.parts.end(), record), o.parts.end());
    }
    // Without the filter nothing judges it.
    EXPECT_NE(CheckFixtureMail("secret.zip", JOB_AV_CHECK).r.errors & ERR_CHECK, 0u);
}

// A zip64 entry, which libclamav passes over, is a limit of the engine for
// the host: ERR_CHECK with ST_ENGINE_LIMIT (never clean), whatever the
// rules; the same archive without zip64 records checks clean.
TEST_F(ContentRules, AZip64EntryTheEngineDoesNotUnpackIsALimit) {
    Rule("encrypted", "attachment-encrypted: yes", ACTION_NONE);
    ASSERT_EQ(MAILWARD_activate_av(AV_MODE_REMOVE, nullptr), 0);
    for (int flags : {JOB_AV_CHECK, JOB_AV_CHECK | JOB_ATTACHMENT_FILTER}) {
        SCOPED_TRACE(flags);
        const Outcome o = CheckFixtureMail("docs64.zip", flags);
        EXPECT_EQ(o.r.errors, static_cast<std::uint32_t>(ERR_CHECK));
        EXPECT_NE(o.r.status & ST_ENGINE_LIMIT, 0u);
    }
    EXPECT_EQ(CheckFixtureMail("docs.zip", JOB_AV_CHECK).r.errors, 0u);
}

}  // namespace
