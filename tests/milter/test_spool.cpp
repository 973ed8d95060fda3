/*
 * test_spool.cpp - the private spool folder, its message files and the
 * clean-up of leftovers; the messages to the checking processes.
 */
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "milter/checker_protocol.h"
#include "milter/spool.h"

namespace fs = std::filesystem;

namespace {

class MilterSpool : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/mailward-spool-test.XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        m_root = tmpl;
    }
    void TearDown() override { fs::remove_all(m_root); }
    std::string m_root;
};

unsigned Mode(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xFFFF;
}

TEST_F(MilterSpool, FolderIsPrivateAndLeftoversGo) {
    const std::string dir = m_root + "/spool";
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    std::ofstream(dir + "/msg-1-1-0.eml") << "old";
    std::ofstream(dir + "/msg-1-1-0.eml.out") << "old";
    std::ofstream(dir + "/keep.txt") << "not ours";
    Spool spool;
    std::string error;
    ASSERT_TRUE(spool.Open(dir, error)) << error;
    EXPECT_EQ(Mode(dir), 0700u);
    EXPECT_EQ(spool.Removed(), 2u);
    EXPECT_FALSE(fs::exists(dir + "/msg-1-1-0.eml"));
    EXPECT_TRUE(fs::exists(dir + "/keep.txt"));
}

TEST_F(MilterSpool, RefusesWhatIsNotAFolder) {
    const std::string file = m_root + "/file";
    std::ofstream(file) << "x";
    const std::string link = m_root + "/link";
    ASSERT_EQ(::symlink(m_root.c_str(), link.c_str()), 0);
    for (const std::string& path : {file, link, m_root + "/missing/below"}) {
        Spool spool;
        std::string error;
        EXPECT_FALSE(spool.Open(path, error)) << path;
        EXPECT_FALSE(error.empty()) << path;
    }
}

TEST_F(MilterSpool, MessagesGetOwnFilesAndLeaveNothing) {
    Spool spool;
    std::string error;
    ASSERT_TRUE(spool.Open(m_root + "/spool", error)) << error;
    std::set<std::string> names;
    {
        SpoolMessage a, b;
        ASSERT_TRUE(a.Begin(spool, error)) << error;
        ASSERT_TRUE(b.Begin(spool, error)) << error;
        EXPECT_NE(a.Path(), b.Path());
        EXPECT_EQ(Mode(a.Path()), 0600u);
        EXPECT_EQ(fs::path(a.Path()).filename().string().rfind(SPOOL_PREFIX, 0), 0u);
        ASSERT_TRUE(a.Write("A: 1\r\n\r\n", 8));
        ASSERT_TRUE(a.Write("body", 4));
        EXPECT_EQ(a.Size(), 12u);
        ASSERT_TRUE(a.Finish(error)) << error;
        std::string text;
        ASSERT_TRUE(ReadWholeFile(a.Path(), text));
        EXPECT_EQ(text, "A: 1\r\n\r\nbody");
        names = {a.Path(), b.Path()};
        const std::string bPath = b.Path();
        b.Discard();
        EXPECT_FALSE(b.Active());
        EXPECT_FALSE(fs::exists(bPath));
        EXPECT_TRUE(fs::exists(a.Path()));
    }
    for (const std::string& n : names)
        EXPECT_FALSE(fs::exists(n)) << n;
    EXPECT_TRUE(fs::is_empty(m_root + "/spool"));
}

TEST_F(MilterSpool, ExistingNameIsNeverReused) {
    // A file of the same name made by someone else must not be opened.
    Spool spool;
    std::string error;
    ASSERT_TRUE(spool.Open(m_root + "/spool", error)) << error;
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        std::string path;
        const int fd = spool.Create(path, error);
        ASSERT_GE(fd, 0) << error;
        ::close(fd);
        EXPECT_TRUE(seen.insert(path).second) << path;
    }
    EXPECT_EQ(spool.RemoveAll(), 50u);
}

TEST(MilterCheckerProtocol, RoundTripsAndRefusesMalformed) {
    CheckRequest r{42, "default", "", "/s/msg-1.eml", "/s/msg-1.eml.out", "4XyZ\t1"};
    CheckRequest back;
    ASSERT_TRUE(DecodeRequest(SplitFields(EncodeRequest(r)), back));
    EXPECT_EQ(back.id, 42u);
    EXPECT_EQ(back.ruleSet, "default");
    EXPECT_EQ(back.headerRuleSet, "");
    EXPECT_EQ(back.source, r.source);
    EXPECT_EQ(back.target, r.target);
    EXPECT_EQ(back.queueId, "4XyZ 1");

    CheckResult done;
    done.errors = 3;
    done.virusResult = 2;
    done.status = 4;
    done.partActions = 48;
    done.result = -1;
    done.virusName = "Bad\tName\n";
    done.ruleNames = {"remove *.exe, *.com", "", std::string("a\x1f\tb")};
    std::uint64_t id = 0;
    CheckResult got;
    ASSERT_TRUE(DecodeDone(SplitFields(EncodeDone(7, done)), id, got));
    EXPECT_EQ(id, 7u);
    EXPECT_EQ(got.kind, CheckResult::Kind::Done);
    EXPECT_EQ(got.result, -1);
    EXPECT_EQ(got.errors, 3u);
    EXPECT_EQ(got.virusResult, 2);
    EXPECT_EQ(got.status, 4u);
    EXPECT_EQ(got.partActions, 48);
    EXPECT_EQ(got.virusName, "Bad Name ");
    // A name keeps its commas and blanks; an empty one stays a name; the
    // separator inside a name cannot split it.
    EXPECT_EQ(got.ruleNames, (std::vector<std::string>{"remove *.exe, *.com", "", "a  b"}));
    done.ruleNames.clear();
    done.movedNames = {"setup.exe", "a\tb.com"};
    done.movedPaths = {"/var/lib/mailward/moved/setup.exe", "/m/a b.com"};
    ASSERT_TRUE(DecodeDone(SplitFields(EncodeDone(7, done)), id, got));
    EXPECT_TRUE(got.ruleNames.empty());
    EXPECT_EQ(got.movedNames, (std::vector<std::string>{"setup.exe", "a b.com"}));
    EXPECT_EQ(got.movedPaths, done.movedPaths);
    // Names and paths that do not pair up are dropped, the rest is read.
    ASSERT_TRUE(DecodeDone(SplitFields("D\t9\tdone\t0\t0\t1\t0\t2\tv\t\ta\x1f"
                                       "b\t/p"),
                           id, got));
    EXPECT_EQ(got.virusName, "v");
    EXPECT_TRUE(got.movedNames.empty() && got.movedPaths.empty());

    done.kind = CheckResult::Kind::Refused;
    ASSERT_TRUE(DecodeDone(SplitFields(EncodeDone(8, done)), id, got));
    EXPECT_EQ(got.kind, CheckResult::Kind::Refused);

    const char* bad[] = {"C\t1\tdefault\t\t/s\t/t",
                         "C\tx\tdefault\t\t/s\t/t\tq",
                         "C\t1\t\t\t/s\t/t\tq",
                         "D\t1\tdone\t0\t0\t0\t0\t0\tv\t\t",
                         "D\t1\tmaybe\t0\t0\t0\t0\t0\tv\t\t\t",
                         "D\t-1\tdone\t0\t0\t0\t0\t0\tv\t\t\t",
                         "D\t1\tdone\tx\t0\t0\t0\t0\tv\t\t\t"};
    for (const char* m : bad) {
        CheckRequest q;
        EXPECT_FALSE(DecodeRequest(SplitFields(m), q) || DecodeDone(SplitFields(m), id, got)) << m;
    }
    EXPECT_TRUE(FieldSafe("default"));
    EXPECT_FALSE(FieldSafe("a\tb"));
    EXPECT_FALSE(FieldSafe("a\nb"));
}

}  // namespace
