// test_strictread.cpp - the strict reading beside the parser: delimiters only
// at a line's start, duplicated fields and parameters read both ways,
// attached messages looked into, and its limits.
#include "mime/strictread.h"

#include "mime_test_util.h"

using namespace mime_test;
using namespace std::string_literals;

namespace {

// The parts of a strict reading as "place:name|name ...", blank-separated.
std::string Listed(const std::string& text, bool* pbWhole = nullptr) {
    StrictReading reading;
    const bool bWhole = MimeStrictRead(text.data(), text.size(), reading);
    if (pbWhole) {
        *pbWhole = bWhole;
    }
    std::string s;
    for (const StrictPart& p : reading.parts) {
        s += (s.empty() ? "" : " ") + p.strWhere + ":";
        for (std::size_t i = 0; i < p.names.size(); ++i) {
            s += (i ? "|" : "") + p.names[i];
        }
    }
    return s;
}

const std::string EXE = "Content-Type: application/octet-stream; name=\"a.exe\"\n\nMZ\n";

}  // namespace

TEST(MimeStrictRead, ListsEveryNamedPartAsClientsReadIt) {
    const struct {
        const char* name;
        std::string text, listed;
    } rows[] = {
        {"plain multipart, CR LF",
         CRLF("Content-Type: multipart/mixed; boundary=b\n\npre\n--b\nContent-Type: text/plain\n\n"
              "hi\n--b\n" +
              EXE + "--b--\nepilogue\n--b\n" + EXE),
         "2:a.exe"},
        {"a delimiter in the middle of a line is text",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\n"
         "Content-Type: application/octet-stream; name=\"a.exe\"; x=\"--b\"\n\nMZ\n--b--\n",
         "1:a.exe\"; x=\"--b|a.exe"},  // the name the report shows comes first
        {"a delimiter line with text behind it is no delimiter, white space is",
         "Content-Type: multipart/mixed; boundary=b\n\n--b \t\n" + EXE + "--bx\n" + EXE + "--b--\n",
         "1:a.exe"},
        {"duplicated boundary: both read",
         "Content-Type: multipart/mixed; boundary=x; boundary=y\n\n--x\n"
         "Content-Type: text/plain; name=t.txt\n\n--y\n" +
             EXE + "--y--\n--x--\n",
         "1:t.txt 1~2:a.exe"},
        {"duplicated Content-Type: the first and the last",
         "Content-Type: text/plain\nContent-Type: multipart/mixed; boundary=b\n\n--b\n" + EXE +
             "--b--\n",
         "1:a.exe"},
        {"attached message, and one in base64",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: message/rfc822\n\n"
         "Subject: in\nContent-Type: multipart/mixed; boundary=c\n\n--c\n" +
             EXE +
             "--c--\n--b\nContent-Type: message/rfc822; name=fwd.eml\n"
             "Content-Transfer-Encoding: base64\n\n"
             "Q29udGVudC1UeXBlOiBhcHBsaWNhdGlvbi94OyBuYW1lPWIuc2NyCgpNWgo=\n--b--\n",
         "1.m.1:a.exe 2:fwd.eml 2.m:b.scr"},
        {"multipart/digest parts are messages by default",
         "Content-Type: multipart/digest; boundary=b\n\n--b\n\n"
         "Content-Disposition: attachment; filename=d.exe\n\nMZ\n--b--\n",
         "1.m:d.exe"},
        {"zero bytes are data",
         "Content-Type: multipart/mixed; boundary=b\n\n\0\n--b\n"s + EXE + "--b--\n", "1:a.exe"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        bool bWhole = false;
        EXPECT_EQ(row.listed, Listed(row.text, &bWhole));
        EXPECT_TRUE(bWhole);
    }
}

// Nesting past STRICT_MAX_DEPTH and parts past STRICT_MAX_PARTS stop the
// reading and say so; a mail within them is read whole.
TEST(MimeStrictRead, LimitsStopTheReadingAndSaySo) {
    auto nested = [](int depth) {
        std::string s = "Content-Disposition: attachment; filename=deep.exe\n\nMZ\n";
        for (int i = 0; i < depth; ++i) {
            s = "Content-Type: message/rfc822\n\n" + s;
        }
        return s;
    };
    std::string strPlace = "m";
    for (int i = 1; i < STRICT_MAX_DEPTH; ++i) {
        strPlace += ".m";
    }
    bool bWhole = false;
    EXPECT_EQ(strPlace + ":deep.exe", Listed(nested(STRICT_MAX_DEPTH), &bWhole));
    EXPECT_TRUE(bWhole);
    Listed(nested(STRICT_MAX_DEPTH + 1), &bWhole);
    EXPECT_FALSE(bWhole);

    std::string many = "Content-Type: multipart/mixed; boundary=b\n\n";
    for (std::size_t i = 0; i < STRICT_MAX_PARTS; ++i) {
        many += "--b\n\nx\n";
    }
    StrictReading reading;
    EXPECT_FALSE(MimeStrictRead(many.data(), many.size(), reading));
    EXPECT_TRUE(reading.bLimited);
    many.resize(many.size() - 7);  // one body part less: the root and the rest fit
    EXPECT_TRUE(MimeStrictRead(many.data(), many.size(), reading));
}

// The boundary is found by its whole name, in its RFC 2231 forms too; a
// decoy "x-boundary" is another parameter.
TEST(MimeStrictRead, TheBoundaryByItsWholeNameAndItsExtendedForms) {
    const std::string body = "\n\n--B\n" + EXE + "--B--\n";
    for (const char* param :
         {"x-boundary=\"A\"; boundary=\"B\"", "boundary*=''B", "boundary*=us-ascii'en'%42",
          "boundary*0=\"B\"", "boundary*1=\"\"; boundary*0=B"}) {
        SCOPED_TRACE(param);
        EXPECT_EQ("1:a.exe", Listed(std::string("Content-Type: multipart/mixed; ") + param + body));
    }
    EXPECT_EQ("", Listed("Content-Type: multipart/mixed; x-boundary=\"B\"" + body));
}

// Text parts are looked into as readers do: encoded blocks in them, also in
// a transfer-encoded text, are parts of their own.
TEST(MimeStrictRead, EncodedBlocksInTextAreParts) {
    const std::string uu = "begin 0755 run.exe\n#86)C\nend\n";
    const struct {
        const char* name;
        std::string text, listed;
    } rows[] = {
        {"uuencode in a plain mail", "Subject: s\n\nhi\n\n" + uu, "#1:run.exe"},
        {"yEnc and BinHex in a text part",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/plain\n\n"
         "=ybegin line=128 size=1 name=y.exe \n\x8b\n=yend\n"
         "(This file must be converted with BinHex 4.0)\n"
         ":\"@%ZCAKP!&4&@&4dG(Kd!*!&!J#3\"$)I69U!,`!!:\n--b--\n",
         "1#1:y.exe |y.exe 1#2:a.exe"},
        {"a begin line in a quoted-printable text",
         "Content-Type: text/plain\nContent-Transfer-Encoding: quoted-printable\n\n"
         "=62egin 644 q.exe\n#86)C\nend\n",
         "#1:q.exe"},
        {"not in an attachment of another type", "Content-Type: application/octet-stream\n\n" + uu,
         ""},
        {"lines that only look like begin lines", "Subject: s\n\nBegin 644 x.exe\nbegin 6pm\n", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.listed, Listed(row.text));
    }
}

// Places: a part of the strict reading stands where the parser's part of the
// same text stands (both count the mail with LF line ends); a block is its
// opening line; a part in a decoded attached message has the place of the
// message part.
TEST(MimeStrictRead, PlacesAgreeWithTheParser) {
    TempDir dir;
    const std::string text =
        CRLF("Subject: s\nContent-Type: multipart/mixed; boundary=b\n\n--b\n" + EXE +
             "--b\nContent-Type: text/plain\n\nx\n\nbegin 644 f.exe\n#86)C\nend\n--b\n"
             "Content-Type: message/rfc822\nContent-Transfer-Encoding: base64\n\n"
             "Q29udGVudC1UeXBlOiBhcHBsaWNhdGlvbi94OyBuYW1lPWIuc2NyCgpNWgo=\n--b--\n");
    const std::string path = dir.Path("p.eml");
    WriteFile(path, text);
    CMimeMessage msg;
    ASSERT_EQ(0, msg.LoadMsg(path.c_str(), true));
    StrictReading reading;
    ASSERT_TRUE(MimeStrictReadFile(path.c_str(), reading));
    ASSERT_EQ(3u, reading.parts.size());
    const CMimePart& exe = *msg.GetPart(0);
    EXPECT_EQ("1", reading.parts[0].strWhere);
    EXPECT_EQ(exe.m_nMailStart, reading.parts[0].nStart);
    EXPECT_EQ(exe.m_nMailEnd, reading.parts[0].nEnd);
    const CMimePart& block = *msg.GetPart(1)->GetPart(0);
    EXPECT_EQ("2#1", reading.parts[1].strWhere);
    EXPECT_EQ(block.m_nMailStart, reading.parts[1].nStart);
    EXPECT_EQ(reading.parts[1].nStart + std::string("begin 644 f.exe").size(),
              reading.parts[1].nEnd);
    const CMimePart& message = *msg.GetPart(2);
    EXPECT_EQ("3.m", reading.parts[2].strWhere);
    EXPECT_EQ(message.m_nMailStart, reading.parts[2].nStart);
    EXPECT_EQ(message.m_nMailEnd, reading.parts[2].nEnd);
}
