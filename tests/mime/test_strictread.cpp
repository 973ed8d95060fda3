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
