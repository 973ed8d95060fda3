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

void ExpectSplit(std::initializer_list<SplitCase> cases) {
    for (const SplitCase& c : cases) {
        pf::SplitPath sp = pf::split_path(c.path);
        const char* path = c.path != nullptr ? c.path : "<null>";
        EXPECT_EQ(sp.drive, c.drive) << path;
        EXPECT_EQ(sp.dir, c.dir) << path;
        EXPECT_EQ(sp.name, c.name) << path;
        EXPECT_EQ(sp.ext, c.ext) << path;
        // BackupMail builds the companion path by joining the four parts.
        if (c.path != nullptr) {
            EXPECT_EQ(sp.drive + sp.dir + sp.name + sp.ext, c.path);
        }
    }
}

TEST(PfSplitPath, CommonShapes) {
    ExpectSplit({
        {nullptr, "", "", "", ""},
        {"", "", "", "", ""},
        {"noext", "", "", "noext", ""},
        {"archive.tar.gz", "", "", "archive.tar", ".gz"},  // last dot
        {"trailingdot.", "", "", "trailingdot", "."},
        {".hidden", "", "", "", ".hidden"},
        {"/var/spool/x.d/abc", "", "/var/spool/x.d/", "abc", ""},  // dot in a folder only
        {"/var/spool/", "", "/var/spool/", "", ""},
        {"/a/b.c/d.poi", "", "/a/b.c/", "d", ".poi"},
        {"a//b..c", "", "a//", "b.", ".c"},
    });
}

#if defined(_WIN32)
TEST(PfSplitPath, WindowsDrivesAndBothSeparators) {
    ExpectSplit({
        {"C:\\mail\\in\\abc.poi", "C:", "\\mail\\in\\", "abc", ".poi"},
        {"c:abc.smi", "c:", "", "abc", ".smi"},
        {"D:", "D:", "", "", ""},
        {"C:/mixed\\seps/name.ext", "C:", "/mixed\\seps/", "name", ".ext"},
        {"\\\\server\\share\\f.txt", "", "\\\\server\\share\\", "f", ".txt"},
        {"dir.x\\file", "", "dir.x\\", "file", ""},
    });
    const char* paths[] = {
        "C:\\mail\\in\\abc.poi", "c:abc.smi", "x\\y.z\\w",       "..",    "a.b.c",
        "\\\\srv\\share\\f",     "C:\\",      "/unix/style.txt", "name.", ""};
    for (const char* p : paths) {  // as the runtime's own _splitpath does it
        char drive[_MAX_DRIVE], dir[_MAX_DIR], name[_MAX_FNAME], ext[_MAX_EXT];
        _splitpath(p, drive, dir, name, ext);
        ExpectSplit({{p, drive, dir, name, ext}});
    }
}
#else
TEST(PfSplitPath, PosixHasNoDrivesAndKeepsBackslashesInNames) {
    ExpectSplit({
        {"C:abc.poi", "", "", "C:abc", ".poi"},
        {"/in/a\\b.txt", "", "/in/", "a\\b", ".txt"},
    });
}
#endif

TEST(PfStrings, StrdupCopiesIntoMallocedMemory) {
    const char* src = "Content-Type";
    char* copy = pf::strdup(src);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, src);
    EXPECT_STREQ(copy, src);
    std::free(copy);
    EXPECT_EQ(pf::strdup(nullptr), nullptr);
}

int Sign(int v) {
    return (v > 0) - (v < 0);
}

TEST(PfStrings, StricmpOrdersLikeLowerCaseBytesWithNullFirst) {
    struct Row {
        const char* a;
        const char* b;
        int sign;
    } rows[] = {
        {"Content-Type", "content-TYPE", 0},
        {"", "", 0},
        {"abc", "ABD", -1},
        {"ABD", "abc", 1},
        {"ab", "abc", -1},  // a prefix comes first
        // '_' lies between 'Z' and 'a': folding to lower case puts it before
        // letters.
        {"_", "A", -1},
        // Bytes above 127 are not folded and sort after ASCII.
        {"\xFC", "z", 1},
        {"\xFC", "\xDC", 1},
        {nullptr, nullptr, 0},
        {nullptr, "", -1},
        {"", nullptr, 1},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(r.sign, Sign(pf::stricmp(r.a, r.b)))
            << (r.a != nullptr ? r.a : "<null>") << " vs " << (r.b != nullptr ? r.b : "<null>");
    }
}

TEST(PfStrings, StrnicmpComparesAtMostNCharacters) {
    EXPECT_EQ(pf::strnicmp("X-ZANAntiSpam: 1", "x-zanantispam: 2", 14), 0);
    EXPECT_NE(pf::strnicmp("X-ZANAntiSpam: 1", "x-zanantispam: 2", 16), 0);
    EXPECT_EQ(pf::strnicmp("abc", "xyz", 0), 0);
    // Stops at the end of the shorter string even when n is larger.
    EXPECT_EQ(pf::strnicmp("Ab", "aB", 100), 0);
    EXPECT_EQ(Sign(pf::strnicmp("a", "ab", 5)), -1);
    EXPECT_EQ(Sign(pf::strnicmp(nullptr, "a", 5)), -1);
}

}  // namespace
