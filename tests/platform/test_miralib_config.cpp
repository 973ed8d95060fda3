/*
 * test_miralib_config.cpp - the host library's configuration store: defaults,
 * set and get, refused keys and values, the configuration file (good files,
 * each kind of bad line, nothing applied from a bad file) and reading while
 * another thread changes values.
 */
#include "miralib.h"
#include "pf_scratch.h"
#include "qorcsock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
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
    EXPECT_EQ(temp + pf::path_sep() + "mailward", Get("DataDir"));

    EXPECT_TRUE(std::filesystem::is_regular_file(Get("TemplateDir") + "/virremovedinfo.txt"));
    EXPECT_TRUE(std::filesystem::is_regular_file(Get("SignatureDir") + "/mailward.ndb"));
#if defined(_WIN32)
    EXPECT_EQ("<none>", Get("SystemSignatureDir"));
#else
    EXPECT_EQ("/var/lib/clamav", Get("SystemSignatureDir"));
#endif
    EXPECT_EQ("<none>", Get("NoSuchKey"));
}

TEST_F(MiraConf, SetGetIgnoresKeyCaseAndNullRestoresDefault) {
    ASSERT_EQ(0, miraconf_set("stamplabel", "relay-7"));
    EXPECT_EQ("relay-7", Get("STAMPLABEL"));
    ASSERT_EQ(0, miraconf_set("StampHost", ""));  // set empty, not unset
    EXPECT_EQ("", Get("StampHost"));
    ASSERT_EQ(0, miraconf_set("StampLabel", nullptr));
    EXPECT_EQ("mailward", Get("StampLabel"));
    ASSERT_EQ(0, miraconf_set("Host.Own-Key_1", "kept as given\twith tab"));
    EXPECT_EQ("kept as given\twith tab", Get("host.own-key_1"));
    miraconf_reset();
    EXPECT_EQ("<none>", Get("host.own-key_1"));

    // Integers: the fallback for missing keys and non-numbers.
    EXPECT_EQ(42, miraconf_get_int("NoSuchKey", 42));
    ASSERT_EQ(0, miraconf_set("HostLevel", "high"));
    EXPECT_EQ(42, miraconf_get_int("HostLevel", 42));
    ASSERT_EQ(0, miraconf_set("HostLevel", "2147483647"));
    EXPECT_EQ(2147483647, miraconf_get_int("HostLevel", 42));
    ASSERT_EQ(0, miraconf_set("HostLevel", "2147483648"));
    EXPECT_EQ(42, miraconf_get_int("HostLevel", 42));
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
    std::string path = std::string(MAILWARD_SOURCE_DIR) + "/data/mailward.conf.example";
    char buf[256];
    ASSERT_EQ(0, miraconf_load(path.c_str(), buf, sizeof buf)) << buf;
    EXPECT_EQ("/var/lib/mailward", Get("DataDir"));
    EXPECT_EQ("", Get("StampHost"));
    EXPECT_EQ("[SPAM]", Get("SubjectMark"));
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

}  // namespace
