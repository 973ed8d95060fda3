// test_safename.cpp - names from hostile mails reduced to safe file names:
// path parts, drive letters, streams, control characters, device names,
// length, and the empty result.
#include <gtest/gtest.h>

#include "mime/safename.h"

TEST(MimeSafeName, HostileNames) {
    const struct {
        const char *name, *safe;
    } rows[] = {
        // Ordinary names stay; no hidden files: leading dots go.
        {"report.pdf", "report.pdf"},
        {"caf\xe9.txt", "caf\xe9.txt"},
        {".profile", "profile"},
        // Directories and traversal.
        {"../../etc/passwd", "passwd"},
        {"..\\..\\Windows\\System32\\evil.exe", "evil.exe"},
        {"..", "unnamed"},
        {"a/b/", "unnamed"},
        // Drives, streams, refused and control characters; blanks and dots
        // at the ends.
        {"C:evil.exe", "evil.exe"},
        {"a.txt:zone.identifier", "a.txtzone.identifier"},
        {"a<b>c|?*\".txt", "abc.txt"},
        {"a\r\n\tb\x7f.txt", "ab.txt"},
        {"  a.txt. . ", "a.txt"},
        {" . ", "unnamed"},
        // Device names get a prefix.
        {"CON", "_CON"},
        {"Com1.tar.gz", "_Com1.tar.gz"},
        {"aux .txt", "_aux .txt"},
        {"com10", "com10"},
        {"console.txt", "console.txt"},
        {"lpt0", "lpt0"},
        // Nothing left.
        {nullptr, "unnamed"},
        {"\x01\x02", "unnamed"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.safe, MimeSafeFileName(row.name)) << (row.name ? row.name : "<null>");
    }
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
