// test_partnames.cpp - the helpers of the name reading: the name a file
// system opens, and a parameter's values in all their forms.
#include "mime/partnames.h"

#include "mime_test_util.h"

using namespace std::string_literals;

TEST(MimeOpenedName, AsWindowsOpensTheFile) {
    const struct {
        std::string name, opened;
    } rows[] = {
        {"evil.exe", "evil.exe"},
        {"evil.exe ", "evil.exe"},
        {"evil.exe.", "evil.exe"},
        {"evil.exe. . ", "evil.exe"},
        {"evil.exe::$DATA", "evil.exe"},
        {"evil.exe::$data. ::$DATA", "evil.exe"},
        {"evil.exe:x:$DATA", "evil.exe:x:$DATA"},  // another stream: not the file
        {"a\0.exe"s, "a"},
        {"...", ""},
        {" a.exe", " a.exe"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.opened, MimeOpenedName(row.name)) << row.name;
    }
}

TEST(MimeParamValues, PlainQuotedAndTheExtendedForms) {
    using V = std::vector<std::string>;
    EXPECT_EQ(V({"A", "B"}),
              MimeParamValues("multipart/mixed; boundary=A; boundary=\"B\"", "boundary"));
    EXPECT_EQ(V({"B"}), MimeParamValues("multipart/mixed; x-boundary=A; boundary=B", "boundary"));
    EXPECT_EQ(V({"a b"}),
              MimeParamValues("multipart/mixed; boundary*=us-ascii'en'a%20b", "boundary"));
    EXPECT_EQ(V({"abc"}),
              MimeParamValues("multipart/mixed; boundary*1=\"b\"; boundary*0=a; boundary*2*=%63",
                              "boundary"));
    EXPECT_EQ(V({}), MimeParamValues("multipart/mixed; boundary", "boundary"));
}
