// test_bytes.cpp - a mail is bytes: zero bytes in the text hide no part,
// lose nothing behind them on a rewrite, and are decoded and stored like any
// other byte; a body part without header lines survives a rewrite.
#include "mime_test_util.h"

using namespace mime_test;
using namespace std::string_literals;

namespace {

// Each part as "name=contents", sub-parts in brackets.
std::string Parts(const CMimePart& p) {
    std::string s = p.GetName() + "=" + Data(p);
    for (int i = 0; i < p.GetPartCount(); ++i) {
        s += (i == 0 ? "[" : "|") + Parts(*p.GetPart(i));
    }
    return s + (p.GetPartCount() > 0 ? "]" : "");
}

const std::string EXE_PART = "--b\nContent-Type: application/octet-stream; name=\"a.exe\"\n\nMZ\n";

}  // namespace

// Zero bytes in front of, inside and behind parts: every part is found with
// all of its bytes, and a save and a new load give the same tree (`again`
// when the writer's own line ends show: a uu block gains two, contents that
// end the mail one).
TEST(MimeBytes, ZeroBytesHideNoPartAndLoseNothing) {
    const struct {
        const char* name;
        std::string text, parts, again;
    } rows[] = {
        {"zero in the part in front of an exe",
         "Content-Type: multipart/mixed; boundary=b\n\npre\0amble\n--b\nContent-Type: "
         "text/plain\n\nhi\0there\n"s +
             EXE_PART + "--b--\n",
         "=pre\0amble[=hi\0there|a.exe=MZ]"s, ""},
        {"zero behind an exe",
         "Content-Type: multipart/mixed; boundary=b\n\n"s + EXE_PART +
             "--b\nContent-Type: text/plain\n\n\0\0x\n--b\n"
             "Content-Type: text/plain\n\nlast\n--b--\n"s,
         "=<null>[a.exe=MZ|=\0\0x|=last]"s, ""},
        {"zero in a header line, CR LF behind a zero",
         "Subject: a\0b\nContent-Type: text/plain\r\n\r\nA\0B\r\nC"s, "=A\0B\nC"s, "=A\0B\nC\n"s},
        {"zero in a uu block",
         "Content-Type: text/plain\n\nintro\n\nbegin 644 f.bin\n#86)C\0\n`\nend\n"s,
         "=intro[f.bin=#86)C\0\n`\n]"s, "=intro[f.bin=#86)C\0\n`\n\n\n]"s},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CMimeMessage msg;
        ASSERT_EQ(0, Load(msg, row.text));
        EXPECT_EQ(row.parts, Parts(msg));
        const std::string written = Written(msg);
        CMimeMessage again;
        ASSERT_EQ(0, Load(again, written));
        EXPECT_EQ(row.again.empty() ? row.parts : row.again, Parts(again)) << written;
    }
    CMimeMessage msg;
    ASSERT_EQ(0, Load(msg, "Subject: a\0b\n\nx"s));
    EXPECT_EQ("a b", msg.GetHeader(MAILHDR_FLD_SUBJECT));
}

// Replacing the part in front of a zero byte keeps every part behind it.
TEST(MimeBytes, ReplacingAPartKeepsThePartsBehindAZeroByte) {
    CMimeMessage msg;
    ASSERT_EQ(0, Load(msg, "Content-Type: multipart/mixed; boundary=b\n\n"s + EXE_PART +
                               "\0\n--b\nContent-Type: text/plain\n\nt1\0x\n--b\n"
                               "Content-Type: text/plain\n\nt2\n--b--\n"s));
    ASSERT_NE(nullptr, msg.ReplacePart(0, "removed.txt", "gone"));
    CMimeMessage again;
    ASSERT_EQ(0, Load(again, Written(msg)));
    EXPECT_EQ("=<null>[removed.txt=gone=\n|=t1\0x|=t2]"s, Parts(again));
}

// Decoding and storing contents go by their length, zero bytes included.
TEST(MimeBytes, ContentsAreDecodedAndStoredByTheirLength) {
    const struct {
        const char *cte, *name;
        std::string stored, decoded;
    } rows[] = {
        {nullptr, "raw counts its terminating zero", "a\0b"s, "a\0b\0"s},
        {"quoted-printable", "qp", "a\0=41\nz"s, "a\0A\r\nz"s},
        {"base64", "base64 reads on behind a zero", "\0QUI="s, "AB"s},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CMimeMessage msg;
        const std::string head =
            row.cte ? "Content-Transfer-Encoding: "s + row.cte + "\n\n" : "Subject: s\n\n"s;
        ASSERT_EQ(0, Load(msg, head + row.stored + "\n"));
        EXPECT_EQ(row.stored.size(), msg.GetDataLength());
        EXPECT_EQ(row.decoded, Decoded(msg));
    }
    // SetData keeps every byte it is given, encoded or not.
    const struct {
        const char* cte;
        std::string stored;
    } sets[] = {{"7bit", "x\0y"s}, {"quoted-printable", "x=00y=\n"s}, {"base64", "eAB5"s}};
    for (const auto& set : sets) {
        SCOPED_TRACE(set.cte);
        CMimeMessage msg;
        ASSERT_EQ(0, Load(msg, "Content-Transfer-Encoding: "s + set.cte + "\n\nold\n"));
        ASSERT_NE(nullptr, msg.SetData("x\0y", 3));
        EXPECT_EQ(set.stored, Data(msg));
    }
}
