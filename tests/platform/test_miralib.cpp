/*
 * test_miralib.cpp - the host library: the configuration store (defaults,
 * refused keys and values, configuration files and their bad lines, readers
 * during changes), host texts, and template filling (writers' output, refused
 * names and limits; the shipped notice is filled in tests/tools).
 */
#include "config_reference.h"
#include "miralib/miralib.h"
#include "pf_scratch.h"
#include "qorcsock/qorcsock.h"
#include "qorcsock_capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using namespace std::string_view_literals;

std::string Get(const char* key) {
    char buf[MIRACONF_MAX_VALUE + 1];
    return miraconf_get(key, buf, sizeof buf) == 1 ? std::string(buf) : std::string("<none>");
}

class MiraConf : public ::testing::Test {
  protected:
    void SetUp() override { miraconf_reset(); }
    void TearDown() override { miraconf_reset(); }

    // Writes `text` to a file of the scratch folder and loads it.
    int Load(const std::string& text, std::string& error) {
        std::string path = m_scratch.Path("mailward.conf");
        EXPECT_TRUE(pftest::WriteFile(path, text));
        char buf[512];
        int rc = miraconf_load(path.c_str(), buf, sizeof buf);
        error = buf;
        return rc;
    }

    pftest::Scratch m_scratch;
};

TEST_F(MiraConf, DefaultsOfTheKnownKeys) {
    EXPECT_EQ("mailward", Get("StampLabel"));
    EXPECT_EQ("[SPAM]", Get("SubjectMark"));
    EXPECT_EQ(1, miraconf_get_int("BackupMode", -7));
    EXPECT_EQ(0, miraconf_get_int("VirusMailMode", -7));
    EXPECT_EQ("<none>", Get("StampHost"));

    std::string temp = Get("TempDir");
    EXPECT_TRUE(std::filesystem::is_directory(temp)) << temp;
    EXPECT_NE('/', temp.back());
    EXPECT_NE('\\', temp.back());
    // The data folder is the service's own, never below the shared temporary folder.
    const std::string data = Get("DataDir");
    EXPECT_NE(0u, data.rfind(temp, 0)) << data;
#if !defined(_WIN32)
    {
        const char* state = std::getenv("XDG_STATE_HOME");
        const std::string saved = state != nullptr ? state : "";
        ::setenv("XDG_STATE_HOME", "/srv/state", 1);
        EXPECT_EQ("/srv/state/mailward", Get("DataDir"));
        ::unsetenv("XDG_STATE_HOME");
        const char* home = std::getenv("HOME");
        if (home != nullptr) {
            EXPECT_EQ(std::string(home) + "/.local/state/mailward", Get("DataDir"));
        }
        if (state != nullptr)
            ::setenv("XDG_STATE_HOME", saved.c_str(), 1);
    }
#endif
    // Byte counts: 64-bit numbers, nothing else.
    EXPECT_EQ(std::to_string(MIRACONF_DEFAULT_MAX_MAIL_SIZE), Get("MaxMailSize"));
    EXPECT_EQ(0, miraconf_set("MaxMailSize", "18446744073709551615"));
    for (const char* bad : {"18446744073709551616", "-1", "1k", ""})
        EXPECT_EQ(-1, miraconf_set("MaxMailSize", bad)) << bad;
    EXPECT_EQ("18446744073709551615", Get("MaxMailSize"));
    miraconf_set("MaxMailSize", nullptr);

    EXPECT_TRUE(std::filesystem::is_regular_file(Get("TemplateDir") + "/virremovedinfo.txt"));
    EXPECT_TRUE(std::filesystem::is_regular_file(Get("SignatureDir") + "/mailward.ndb"));
#if defined(_WIN32)
    EXPECT_EQ("<none>", Get("SystemSignatureDir"));
#else
    EXPECT_EQ("/var/lib/clamav", Get("SystemSignatureDir"));
#endif
    EXPECT_EQ("<none>", Get("NoSuchKey"));
}

// Every known key has a default (or says it has none), a reader and a
// meaning, and the reference in the tree is the one the table makes.
TEST_F(MiraConf, ReferenceIsTheKeyTable) {
    miraconf_keyinfo k{};
    std::size_t count = 0;
    for (; miraconf_key_info(count, &k) == 1; ++count) {
        SCOPED_TRACE(k.name);
        // A key says "none" in its default exactly where it may have no value.
        EXPECT_TRUE(miraconf_get(k.name, nullptr, 0) == 1 ||
                    std::string(k.default_text).find("none") != std::string::npos);
        EXPECT_NE(std::string(k.read_by), "");
        EXPECT_NE(std::string(k.meaning), "");
    }
    EXPECT_GE(count, 17u);
    EXPECT_EQ(0, miraconf_key_info(count, &k));
    const std::filesystem::path doc =
        std::filesystem::path(MAILWARD_SOURCE_DIR) / "docs" / "configuration.md";
    const std::string want = ConfigurationReference();
    std::string have;
    if (std::FILE* f = std::fopen(doc.string().c_str(), "rb")) {
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
            have.append(buf, n);
        std::fclose(f);
    }
    EXPECT_EQ(have, want)
        << doc << " differs from the key table: scripts/config-reference.sh writes it anew";
}

TEST_F(MiraConf, SetGetIgnoresKeyCaseAndNullRestoresDefault) {
    EXPECT_EQ(0, miraconf_is_set("StampLabel"));  // a default is no value set
    ASSERT_EQ(0, miraconf_set("stamplabel", "relay-7"));
    EXPECT_EQ("relay-7", Get("STAMPLABEL"));
    EXPECT_EQ(1, miraconf_is_set("STAMPLABEL"));
    ASSERT_EQ(0, miraconf_set("StampHost", ""));  // set empty, not unset
    EXPECT_EQ("", Get("StampHost"));
    ASSERT_EQ(0, miraconf_set("StampLabel", nullptr));
    EXPECT_EQ("mailward", Get("StampLabel"));
    EXPECT_EQ(0, miraconf_is_set("StampLabel"));
    ASSERT_EQ(0, miraconf_set("Host.Own-Key_1", "kept as given\twith tab"));
    EXPECT_EQ("kept as given\twith tab", Get("host.own-key_1"));
    miraconf_reset();
    EXPECT_EQ("<none>", Get("host.own-key_1"));

    // Integers: the fallback for missing keys, non-numbers and overflow.
    EXPECT_EQ(42, miraconf_get_int("NoSuchKey", 42));
    for (const auto& [text, want] : {std::pair{"high", 42}, std::pair{"2147483647", 2147483647},
                                     std::pair{"2147483648", 42}}) {
        ASSERT_EQ(0, miraconf_set("HostLevel", text));
        EXPECT_EQ(want, miraconf_get_int("HostLevel", 42)) << text;
    }
}

TEST_F(MiraConf, RefusedKeysAndValuesLeaveTheStoreUnchanged) {
    ASSERT_EQ(0, miraconf_set("SubjectMark", "[JUNK]"));
    std::string longKey(MIRACONF_MAX_KEY + 1, 'k');
    std::string longValue(MIRACONF_MAX_VALUE + 1, 'v');
    EXPECT_EQ(-1, miraconf_set(nullptr, "x"));
    EXPECT_EQ(-1, miraconf_set("Subject Mark", "x"));
    EXPECT_EQ(-1, miraconf_set(longKey.c_str(), "x"));
    EXPECT_EQ(0, miraconf_set(longKey.substr(1).c_str(), "x"));
    EXPECT_EQ(-1, miraconf_set("SubjectMark", longValue.c_str()));
    EXPECT_EQ(0, miraconf_set("Other", longValue.substr(1).c_str()));
    // A line feed in the mark would start a new header line in the mail.
    EXPECT_EQ(-1, miraconf_set("SubjectMark", "[X]\r\nBcc: victim@example.org"));
    EXPECT_EQ(-1, miraconf_set("SubjectMark", "a\x7f"));
    EXPECT_EQ("[JUNK]", Get("SubjectMark"));

    for (const char* bad : {"", "1.5", " 1", "0x10", "99999999999"})
        EXPECT_EQ(-1, miraconf_set("BackupMode", bad)) << '"' << bad << '"';
    EXPECT_EQ(0, miraconf_set("backupmode", "-2"));
    EXPECT_EQ(-2, miraconf_get_int("BackupMode", 5));
}

TEST_F(MiraConf, GetNeverCutsAValue) {
    ASSERT_EQ(0, miraconf_set("TempDir", "/var/tmp/abc"));  // 12 characters
    char buf[13];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(1, miraconf_get("TempDir", buf, sizeof buf));
    EXPECT_STREQ("/var/tmp/abc", buf);
    EXPECT_EQ(-1, miraconf_get("TempDir", buf, 12));
    EXPECT_STREQ("", buf);
    EXPECT_EQ(1, miraconf_get("TempDir", nullptr, 0));
    EXPECT_EQ(0, miraconf_get("StampHost", nullptr, 0));
    EXPECT_EQ(0, miraconf_get("StampHost", buf, sizeof buf));
    EXPECT_STREQ("", buf);

    char* copy = miraconf_dup("TEMPDIR");
    ASSERT_NE(nullptr, copy);
    EXPECT_STREQ("/var/tmp/abc", copy);
    cbcontext_free(copy);
    EXPECT_EQ(nullptr, miraconf_dup("StampHost"));
}

TEST_F(MiraConf, LoadsFilesOfCommentsQuotesAndCrLfAndTheShippedExample) {
    ASSERT_EQ(0, miraconf_set("StampLabel", "set before"));
    ASSERT_EQ(0, miraconf_set("SubjectMark", "replaced"));
    std::string error = "untouched";
    ASSERT_EQ(0, Load("\xEF\xBB\xBF# mailward configuration\r\n"
                      "\r\n"
                      "  ; another comment\n"
                      "tempdir = /srv/mail/tmp   \r\n"
                      "SubjectMark=\"[SPAM] \"\n"
                      "StampHost =\n"
                      "DataDir = /srv/mail/#data\n"
                      "BackupMode = 0\n"
                      "BackupMode = 2\n"
                      "HostNote = \"say \\\"hi\\\" \\\\ bye\"\n"
                      "VirusMailMode = 7",
                      error));
    EXPECT_EQ("", error);
    EXPECT_EQ("/srv/mail/tmp", Get("TempDir"));
    EXPECT_EQ("[SPAM] ", Get("SubjectMark"));
    EXPECT_EQ("", Get("StampHost"));
    EXPECT_EQ("/srv/mail/#data", Get("DataDir"));
    EXPECT_EQ(2, miraconf_get_int("BackupMode", -1));
    EXPECT_EQ("say \"hi\" \\ bye", Get("HostNote"));
    EXPECT_EQ(7, miraconf_get_int("VirusMailMode", -1));
    EXPECT_EQ("set before", Get("StampLabel"));

    // The example shipped for hosts must stay a valid file.
    miraconf_reset();
    std::string path = std::string(MAILWARD_SOURCE_DIR) + "/share/examples/mailward.conf";
    char buf[256];
    ASSERT_EQ(0, miraconf_load(path.c_str(), buf, sizeof buf)) << buf;
    EXPECT_EQ("mailward-data", Get("DataDir"));
    EXPECT_EQ("mail.example.org", Get("StampHost"));
    EXPECT_EQ("***SPAM***", Get("SubjectMark"));
}

TEST_F(MiraConf, BadLineNamesLineAndReasonAndChangesNothing) {
    const struct {
        std::string_view text;
        int line;
        const char* reason;
    } cases[] = {
        {"TempDir /tmp\n"sv, 2, "key = value"},
        {"Temp Dir = /tmp\n"sv, 2, "bad key"},
        {"[general]\n"sv, 2, "sections"},
        {"SubjectMark = \"[SPAM]\n"sv, 2, "missing closing quote"},
        {"SubjectMark = \"[SPAM]\" trailing\n"sv, 2, "after closing quote"},
        {"SubjectMark = \"a\\tb\"\n"sv, 2, "escape"},
        {"StampLabel = a\x01z\n"sv, 2, "control character"},
        {"Key\0Hidden = 1\n"sv, 2, "NUL"},
        {"# fine\n\nStampHost = ok\nVirusMailMode = 7x\n"sv, 5, "whole number"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text));
        miraconf_reset();
        ASSERT_EQ(0, miraconf_set("StampLabel", "before"));
        std::string text = "StampLabel = from file\n" + std::string(c.text);
        std::string error;
        EXPECT_EQ(-1, Load(text, error));
        std::string where = ":" + std::to_string(c.line) + ": ";
        EXPECT_NE(std::string::npos, error.find("mailward.conf" + where)) << error;
        EXPECT_NE(std::string::npos, error.find(c.reason)) << error;
        EXPECT_EQ("before", Get("StampLabel"));
        EXPECT_EQ("<none>", Get("StampHost"));
    }
}

TEST_F(MiraConf, LineAndFileLimits) {
    std::string error;
    std::string longLine = "HostNote = " + std::string(MIRACONF_MAX_LINE, 'a') + "\n";
    EXPECT_EQ(-1, Load(longLine, error));
    EXPECT_NE(std::string::npos, error.find(":1: line too long")) << error;

    std::string bigFile(MIRACONF_MAX_FILE + 1, '#');
    EXPECT_EQ(-1, Load(bigFile, error));
    EXPECT_NE(std::string::npos, error.find("larger than")) << error;

    std::string missing = m_scratch.Path("absent.conf");
    char buf[16];
    EXPECT_EQ(-1, miraconf_load(missing.c_str(), buf, sizeof buf));
    EXPECT_EQ(15u, std::strlen(buf));  // cut to the buffer, still terminated
    EXPECT_EQ(-1, miraconf_load(nullptr, nullptr, 0));
}

// Readers on several threads must always see a whole value, old or new,
// while one thread keeps setting and loading.
TEST_F(MiraConf, ReadersSeeWholeValuesWhileAnotherThreadChangesThem) {
    const std::string a(300, 'a');
    const std::string b = "/tmp/" + std::string(1000, 'b');
    std::string fileA = m_scratch.Path("a.conf");
    std::string fileB = m_scratch.Path("b.conf");
    ASSERT_TRUE(pftest::WriteFile(fileA, "TempDir = " + a + "\nBackupMode = 0\n"));
    ASSERT_TRUE(pftest::WriteFile(fileB, "TempDir = " + b + "\nBackupMode = 2\n"));
    ASSERT_EQ(0, miraconf_set("TempDir", a.c_str()));

    std::atomic<bool> stop{false};
    std::atomic<long> bad{0}, reads{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            char buf[2048];
            while (!stop.load()) {
                bool whole =
                    miraconf_get("TempDir", buf, sizeof buf) == 1 && (buf == a || buf == b);
                int mode = miraconf_get_int("BackupMode", -1);
                if (!whole || mode < 0 || mode > 2)
                    ++bad;
                ++reads;
            }
        });
    }
    for (int i = 0; i < 2000; ++i) {
        EXPECT_EQ(0, miraconf_set("TempDir", (i % 2 ? a : b).c_str()));
        EXPECT_EQ(0, miraconf_load((i % 2 ? fileA : fileB).c_str(), nullptr, 0));
    }
    stop = true;
    for (std::thread& t : readers)
        t.join();
    EXPECT_EQ(0, bad.load());
    EXPECT_GT(reads.load(), 0);
}

// ---- host texts ------------------------------------------------------------

class HostTexts : public ::testing::Test {
  protected:
    void TearDown() override {
        for (int id : {63, 65, 67, 68, 69, 70, 5000})
            S_MODULENAME_set(id, nullptr);
    }
};

TEST_F(HostTexts, EnglishDefaultsThatTheHostReplaces) {
    // The notice names and texts 63, 65, 68 and 70 are checked in the mails
    // the processors write.
    EXPECT_STREQ("An attachment of this message was removed.", S_MODULENAME(67, "EXE"));
    EXPECT_STREQ("mailward-scan.tmp", S_MODULENAME(69, "EXE"));
    EXPECT_STREQ("", S_MODULENAME(64, "EXE"));
    EXPECT_STREQ("", S_MODULENAME(-1, "EXE"));

    // The host replaces and restores texts; old pointers stay valid.
    const char* before = S_MODULENAME(68, "EXE");
    ASSERT_EQ(0, S_MODULENAME_set(68, "Ein Anhang wurde entfernt (Virus)."));
    EXPECT_STREQ("Ein Anhang wurde entfernt (Virus).", S_MODULENAME(68, "EXE"));
    const char* replaced = S_MODULENAME(68, "EXE");
    ASSERT_EQ(0, S_MODULENAME_set(68, "second"));
    EXPECT_STREQ("Ein Anhang wurde entfernt (Virus).", replaced);
    ASSERT_EQ(0, S_MODULENAME_set(68, nullptr));
    EXPECT_STREQ(before, S_MODULENAME(68, "EXE"));  // the old default pointer reads whole

    ASSERT_EQ(0, S_MODULENAME_set(5000, "host's own"));
    EXPECT_STREQ("host's own", S_MODULENAME(5000, "EXE"));
    EXPECT_EQ(-1, S_MODULENAME_set(-1, "x"));
    EXPECT_EQ(-1, S_MODULENAME_set(MIRALIB_MAX_TEXT_ID + 1, "x"));
    std::string tooLong(MIRALIB_MAX_HOST_TEXT + 1, 't');
    EXPECT_EQ(-1, S_MODULENAME_set(69, tooLong.c_str()));
    EXPECT_STREQ("mailward-scan.tmp", S_MODULENAME(69, "EXE"));
}

TEST_F(HostTexts, ConcurrentReaderCopiesWholeTextsWhileHostReplacesThem) {
    const std::string a(200, 'a'), b(50, 'b');
    std::atomic<bool> stop{false};
    std::atomic<long> bad{0};
    std::thread reader([&] {
        while (!stop.load()) {
            std::string copy = S_MODULENAME(65, "EXE");
            if (copy != a && copy != b &&
                copy != "An attachment of this message was moved to quarantine.") {
                ++bad;
            }
        }
    });
    for (int i = 0; i < 5000; ++i)
        S_MODULENAME_set(65, (i % 2 ? a : b).c_str());
    stop = true;
    reader.join();
    EXPECT_EQ(0, bad.load());
}

// ---- templates ------------------------------------------------------------

// The writer of every table: writes what the context (variable name ->
// output) holds for the variable it is handed as `a`.
using Outputs = std::map<std::string, std::string>;
int calls = 0;
int Write(void* a, void* b, FILE* out, void* context) {
    ++calls;
    EXPECT_NE(nullptr, a);
    EXPECT_EQ(nullptr, b);
    if (a != nullptr && context != nullptr) {
        const Outputs& outputs = *static_cast<const Outputs*>(context);
        auto it = outputs.find(static_cast<TemplateVariable*>(a)->name);
        if (it != outputs.end())
            std::fwrite(it->second.data(), 1, it->second.size(), out);
    }
    return 0;
}

const TemplateVariable TABLE[] = {{"${First}", Write}, {"${Second}", Write}, {"", nullptr}};

class Templates : public ::testing::Test {
  protected:
    void SetUp() override {
        miraconf_reset();
        ASSERT_EQ(0, miraconf_set("TemplateDir", m_scratch.str().c_str()));
        calls = 0;
    }
    void TearDown() override { miraconf_reset(); }

    // Fills a template of the given text; "<null>" when the fill fails.
    std::string Fill(const std::string& text, const TemplateVariable* table = TABLE,
                     const Outputs* outputs = nullptr) {
        EXPECT_TRUE(pftest::WriteFile(m_scratch.Path("t.txt"), text));
        char* filled =
            GiveTextFromReplacedTemplate(table, "t.txt", const_cast<Outputs*>(outputs), 0);
        std::string result = filled != nullptr ? filled : "<null>";
        cbcontext_free(filled);
        return result;
    }

    pftest::Scratch m_scratch;
};

TEST_F(Templates, EveryOccurrenceGetsItsWritersOutputOnce) {
    Outputs texts{{"${First}", "Worm.X"}, {"${Second}", "Engine 1.0"}};
    EXPECT_EQ("Virus Worm.X (Worm.X) by Engine 1.0.\nend ${Third}",
              Fill("Virus ${First} (${First}) by ${Second}.\nend ${Third}", TABLE, &texts));
    EXPECT_EQ(2, calls);  // one call per variable, not per occurrence

    calls = 0;
    EXPECT_EQ("no variables here", Fill("no variables here", TABLE, &texts));
    EXPECT_EQ(0, calls);
    EXPECT_EQ("", Fill("", TABLE, &texts));

    // Written texts are not expanded again.
    texts = {{"${First}", "${Second}${First}"}, {"${Second}", "v2"}};
    EXPECT_EQ("[${Second}${First}] v2", Fill("[${First}] ${Second}", TABLE, &texts));

    // A null context, a null writer and no table.
    EXPECT_EQ("a  b", Fill("a ${First} b"));
    const TemplateVariable silent[] = {{"${First}", nullptr}, {nullptr, nullptr}};
    EXPECT_EQ("a  b", Fill("a ${First} b", silent));
    EXPECT_EQ("a ${First} b", Fill("a ${First} b", nullptr));
}

TEST_F(Templates, RefusedNamesMissingFilesAndLimitsGiveNull) {
    LogCapture log;
    ASSERT_TRUE(pftest::WriteFile(m_scratch.Path("ok.txt"), "x"));
    for (const char* bad : {"", ".", "..", "../ok.txt", "sub/ok.txt", "sub\\ok.txt", "C:ok.txt"})
        EXPECT_EQ(nullptr, GiveTextFromReplacedTemplate(TABLE, bad, nullptr, 0)) << bad;
    EXPECT_EQ(nullptr, GiveTextFromReplacedTemplate(TABLE, nullptr, nullptr, 0));
    EXPECT_EQ(nullptr, GiveTextFromReplacedTemplate(TABLE, "absent.txt", nullptr, 0));
    EXPECT_TRUE(log.Contains(QLOG_ERROR, "absent.txt"));

    EXPECT_EQ("<null>", Fill(std::string("nul\0byte", 8)));
    EXPECT_EQ("<null>", Fill(std::string(MIRALIB_MAX_TEMPLATE_SIZE + 1, 'x')));
    EXPECT_NE("<null>", Fill(std::string(MIRALIB_MAX_TEMPLATE_SIZE, 'x')));

    std::vector<std::string> names;
    std::vector<TemplateVariable> many;
    for (int i = 0; i <= MIRALIB_MAX_TEMPLATE_VARIABLES; ++i)
        names.push_back("${V" + std::to_string(i) + "}");
    for (const std::string& n : names)
        many.push_back({n.c_str(), nullptr});
    many.push_back({"", nullptr});
    EXPECT_EQ("<null>", Fill("x", many.data()));
    many[MIRALIB_MAX_TEMPLATE_VARIABLES] = {"", nullptr};
    EXPECT_EQ("x", Fill("x", many.data()));

    Outputs big{{"${First}", std::string(MIRALIB_MAX_WRITER_OUTPUT + 1, 'h')}};
    EXPECT_EQ("<null>", Fill("${First}", TABLE, &big));
    big["${First}"].pop_back();
    EXPECT_EQ(big["${First}"], Fill("${First}", TABLE, &big));
}

}  // namespace
