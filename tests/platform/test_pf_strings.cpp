/*
 * test_pf_strings.cpp - path splitting with _splitpath's rules (on Windows
 * also checked against the C runtime's own _splitpath) and the ASCII string
 * helpers strdup, stricmp and strnicmp.
 */
#include "platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct SplitCase {
    const char* path;
    const char* drive;
    const char* dir;
    const char* name;
    const char* ext;
};

void ExpectSplit(const SplitCase& c) {
    pf::SplitPath sp = pf::split_path(c.path);
    EXPECT_EQ(sp.drive, c.drive) << c.path;
    EXPECT_EQ(sp.dir, c.dir) << c.path;
    EXPECT_EQ(sp.name, c.name) << c.path;
    EXPECT_EQ(sp.ext, c.ext) << c.path;
}

TEST(PfSplitPath, CommonShapes) {
    const SplitCase cases[] = {
        {"", "", "", "", ""},
        {"abc.poi", "", "", "abc", ".poi"},
        {"noext", "", "", "noext", ""},
        {"archive.tar.gz", "", "", "archive.tar", ".gz"},  // last dot
        {"trailingdot.", "", "", "trailingdot", "."},
        {".hidden", "", "", "", ".hidden"},
        {"mail/in/abc.smi", "", "mail/in/", "abc", ".smi"},
        {"/var/spool/x.d/abc", "", "/var/spool/x.d/", "abc", ""},  // dot in a folder only
        {"/var/spool/", "", "/var/spool/", "", ""},
        {"/", "", "/", "", ""},
    };
    for (const auto& c : cases)
        ExpectSplit(c);
}

TEST(PfSplitPath, NullGivesEmptyParts) {
    ExpectSplit({nullptr, "", "", "", ""});
}

TEST(PfSplitPath, PartsJoinBackToThePath) {
    // BackupMail builds the companion path by joining the four parts.
    const char* paths[] = {"/a/b.c/d.poi", "rel/x", "x.", "/.y", "a//b..c"};
    for (const char* p : paths) {
        pf::SplitPath sp = pf::split_path(p);
        EXPECT_EQ(sp.drive + sp.dir + sp.name + sp.ext, p);
    }
}

#if defined(_WIN32)
TEST(PfSplitPath, WindowsDrivesAndBothSeparators) {
    const SplitCase cases[] = {
        {"C:\\mail\\in\\abc.poi", "C:", "\\mail\\in\\", "abc", ".poi"},
        {"c:abc.smi", "c:", "", "abc", ".smi"},
        {"D:", "D:", "", "", ""},
        {"C:/mixed\\seps/name.ext", "C:", "/mixed\\seps/", "name", ".ext"},
        {"\\\\server\\share\\f.txt", "", "\\\\server\\share\\", "f", ".txt"},
        {"dir.x\\file", "", "dir.x\\", "file", ""},
    };
    for (const auto& c : cases)
        ExpectSplit(c);
}

TEST(PfSplitPath, AgreesWithTheRuntimesSplitpath) {
    const char* paths[] = {
        "C:\\mail\\in\\abc.poi", "c:abc.smi", "x\\y.z\\w",       "..",    "a.b.c",
        "\\\\srv\\share\\f",     "C:\\",      "/unix/style.txt", "name.", ""};
    for (const char* p : paths) {
        char drive[_MAX_DRIVE], dir[_MAX_DIR], name[_MAX_FNAME], ext[_MAX_EXT];
        _splitpath(p, drive, dir, name, ext);
        pf::SplitPath sp = pf::split_path(p);
        EXPECT_EQ(sp.drive, drive) << p;
        EXPECT_EQ(sp.dir, dir) << p;
        EXPECT_EQ(sp.name, name) << p;
        EXPECT_EQ(sp.ext, ext) << p;
    }
}
#else
TEST(PfSplitPath, PosixHasNoDrivesAndKeepsBackslashesInNames) {
    const SplitCase cases[] = {
        {"C:abc.poi", "", "", "C:abc", ".poi"},
        {"/in/a\\b.txt", "", "/in/", "a\\b", ".txt"},
    };
    for (const auto& c : cases)
        ExpectSplit(c);
}
#endif

TEST(PfStrdup, CopiesIntoMallocedMemory) {
    const char* src = "Content-Type";
    char* copy = pf::strdup(src);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, src);
    EXPECT_STREQ(copy, src);
    copy[0] = 'X';  // the copy is our own
    EXPECT_STREQ(src, "Content-Type");
    std::free(copy);
    char* empty = pf::strdup("");
    ASSERT_NE(empty, nullptr);
    EXPECT_STREQ(empty, "");
    std::free(empty);
    EXPECT_EQ(pf::strdup(nullptr), nullptr);
}

int Sign(int v) {
    return (v > 0) - (v < 0);
}

TEST(PfStricmp, EqualIgnoringAsciiCase) {
    EXPECT_EQ(pf::stricmp("Content-Type", "content-TYPE"), 0);
    EXPECT_EQ(pf::stricmp("", ""), 0);
    EXPECT_EQ(pf::stricmp("@[]^_`{", "@[]^_`{"), 0);
}

TEST(PfStricmp, OrdersLikeLowerCaseBytes) {
    EXPECT_LT(pf::stricmp("abc", "ABD"), 0);
    EXPECT_GT(pf::stricmp("ABD", "abc"), 0);
    EXPECT_LT(pf::stricmp("ab", "abc"), 0);  // a prefix comes first
    EXPECT_GT(pf::stricmp("abc", "AB"), 0);
    // '_' lies between 'Z' and 'a': folding to lower case puts it before letters.
    EXPECT_LT(pf::stricmp("_", "A"), 0);
    // Bytes above 127 are not folded and sort after ASCII.
    EXPECT_NE(pf::stricmp("Schl\xFC"
                          "ssel",
                          "SCHL\xDC"
                          "SSEL"),
              0);
    EXPECT_GT(pf::stricmp("\xFC", "z"), 0);
}

TEST(PfStricmp, NullSortsFirst) {
    EXPECT_EQ(pf::stricmp(nullptr, nullptr), 0);
    EXPECT_LT(pf::stricmp(nullptr, ""), 0);
    EXPECT_GT(pf::stricmp("", nullptr), 0);
}

TEST(PfStrnicmp, ComparesAtMostNCharacters) {
    EXPECT_EQ(pf::strnicmp("X-ZANAntiSpam: 1", "x-zanantispam: 2", 14), 0);
    EXPECT_NE(pf::strnicmp("X-ZANAntiSpam: 1", "x-zanantispam: 2", 16), 0);
    EXPECT_EQ(pf::strnicmp("abc", "xyz", 0), 0);
    // Stops at the end of the shorter string even when n is larger.
    EXPECT_EQ(pf::strnicmp("Ab", "aB", 100), 0);
    EXPECT_EQ(Sign(pf::strnicmp("a", "ab", 5)), -1);
    EXPECT_EQ(Sign(pf::strnicmp(nullptr, "a", 5)), -1);
}

}  // namespace
