// test_safename.cpp - names from hostile mails reduced to safe file names:
// path parts, drive letters, streams, control characters, device names,
// length, and the empty result.
#include <gtest/gtest.h>

#include "mime/safename.h"

TEST(MimeSafeName, KeepsOrdinaryNames) {
    EXPECT_EQ("report.pdf", MimeSafeFileName("report.pdf"));
    EXPECT_EQ("My Photo (1).JPG", MimeSafeFileName("My Photo (1).JPG"));
    EXPECT_EQ("caf\xe9.txt", MimeSafeFileName("caf\xe9.txt"));
    // No hidden files: leading dots go.
    EXPECT_EQ("profile", MimeSafeFileName(".profile"));
}

TEST(MimeSafeName, DropsDirectoriesAndTraversal) {
    EXPECT_EQ("passwd", MimeSafeFileName("../../etc/passwd"));
    EXPECT_EQ("evil.exe", MimeSafeFileName("..\\..\\Windows\\System32\\evil.exe"));
    EXPECT_EQ("x.txt", MimeSafeFileName("/abs/path/x.txt"));
    EXPECT_EQ("unnamed", MimeSafeFileName(".."));
    EXPECT_EQ("unnamed", MimeSafeFileName("dir/.."));
    EXPECT_EQ("unnamed", MimeSafeFileName("a/b/"));
}

TEST(MimeSafeName, DropsDrivesStreamsAndRefusedCharacters) {
    EXPECT_EQ("evil.exe", MimeSafeFileName("C:evil.exe"));
    EXPECT_EQ("a.txtzone.identifier", MimeSafeFileName("a.txt:zone.identifier"));
    EXPECT_EQ("abc.txt", MimeSafeFileName("a<b>c|?*\".txt"));
    EXPECT_EQ("ab.txt", MimeSafeFileName("a\r\n\tb\x7f.txt"));
}

TEST(MimeSafeName, TrimsBlanksAndDots) {
    EXPECT_EQ("a.txt", MimeSafeFileName("  a.txt. . "));
    EXPECT_EQ("unnamed", MimeSafeFileName(" . "));
}

TEST(MimeSafeName, DeviceNamesGetAPrefix) {
    EXPECT_EQ("_CON", MimeSafeFileName("CON"));
    EXPECT_EQ("_nul.txt", MimeSafeFileName("nul.txt"));
    EXPECT_EQ("_Com1.tar.gz", MimeSafeFileName("Com1.tar.gz"));
    EXPECT_EQ("_lpt9", MimeSafeFileName("lpt9"));
    EXPECT_EQ("_aux .txt", MimeSafeFileName("aux .txt"));
    EXPECT_EQ("com10", MimeSafeFileName("com10"));
    EXPECT_EQ("console.txt", MimeSafeFileName("console.txt"));
    EXPECT_EQ("lpt0", MimeSafeFileName("lpt0"));
}

TEST(MimeSafeName, LongNamesAreCutKeepingTheExtension) {
    std::string name = std::string(500, 'a') + ".docx";
    std::string safe = MimeSafeFileName(name.c_str());
    EXPECT_EQ(SAFE_NAME_MAX, safe.size());
    EXPECT_EQ(".docx", safe.substr(safe.size() - 5));
    std::string noExt(300, 'b');
    EXPECT_EQ(std::string(SAFE_NAME_MAX, 'b'), MimeSafeFileName(noExt.c_str()));
    std::string longExt = "x." + std::string(300, 'e');
    EXPECT_EQ(SAFE_NAME_MAX, MimeSafeFileName(longExt.c_str()).size());
}

TEST(MimeSafeName, EmptyAndNullBecomeUnnamed) {
    EXPECT_EQ("unnamed", MimeSafeFileName(nullptr));
    EXPECT_EQ("unnamed", MimeSafeFileName(""));
    EXPECT_EQ("unnamed", MimeSafeFileName("\x01\x02"));
}
