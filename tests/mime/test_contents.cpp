// test_contents.cpp - contents and encodings: decoding by transfer encoding,
// saving decoded contents, setting new contents, text parts, replacing and
// renaming parts, header dumps.
#include "mime_test_util.h"

using namespace mime_test;
using namespace std::string_literals;

namespace {

std::unique_ptr<CMimeMessage> Single(const std::string& header, const std::string& body) {
    auto msg = std::make_unique<CMimeMessage>();
    EXPECT_EQ(0, Load(*msg, header + "\n\n" + body));
    return msg;
}

}  // namespace

TEST(MimeDecode, ByTheTransferEncoding) {
    // Raw contents count their terminating zero; base64 is chosen ignoring
    // case; quoted-printable turns line ends into CR LF.
    const struct {
        const char *header, *body;
        std::string decoded;
    } rows[] = {
        {"Content-Type: text/plain", "hello\n", "hello\0"s},
        {"Content-Transfer-Encoding: x-gzip64", "abc", "abc\0"s},
        {"Content-Transfer-Encoding: Base64", "SGVsbG8s\nIHdvcmxk\n", "Hello, world"},
        {"Content-Transfer-Encoding: quoted-printable", "caf=E9 =\nau\nlait\n",
         "caf\xe9 au\r\nlait"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.decoded, Decoded(*Single(row.header, row.body))) << row.header;
    }
    CMimeMessage empty;
    EXPECT_EQ("", Decoded(empty));
}

TEST(MimeDecode, QuotedPrintableOfLineFeedsOnlyIsStillTerminated) {
    // Every LF becomes CR LF: the codec fills its block to the last byte.
    auto msg = Single("Content-Transfer-Encoding: quoted-printable", "x\n\n\n\n");
    CMimeMessage& m = *msg;
    char* pFour = static_cast<char*>(malloc(5));
    memcpy(pFour, "\n\n\n\n", 5);
    m.AdoptData(pFour, 4);
    std::int64_t n = 0;
    char* p = m.DecodeData(n);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(8, n);
    EXPECT_EQ('\0', p[n]);
    std::free(p);
}

TEST(MimeSaveData, WritesTheDecodedBytesAndReportsFailures) {
    TempDir dir;
    auto b64 = Single("Content-Transfer-Encoding: base64", "AAEC/w==\n");
    ASSERT_TRUE(b64->SaveData(dir.Path("out.bin").c_str()));
    EXPECT_EQ("\x00\x01\x02\xff"s, ReadFile(dir.Path("out.bin")));
    auto msg = Single("Subject: s", "text");
    ASSERT_TRUE(msg->SaveData(dir.Path("t.txt").c_str()));
    EXPECT_EQ("text\0"s, ReadFile(dir.Path("t.txt")));  // raw text with its zero byte
    EXPECT_FALSE(msg->SaveData(dir.Path("no/such/dir/x").c_str()));
    EXPECT_FALSE(msg->SaveData(nullptr));
    // A write that fails (a full disk).
    Faults full;
    full.nAllowed = 0;
    EXPECT_FALSE(full.Run([&] { return msg->SaveData(dir.Path("t2.txt").c_str()); }));
}

TEST(MimeSetData, EncodesByTheTransferEncoding) {
    auto b64 = Single("Content-Transfer-Encoding: base64", "");
    ASSERT_NE(nullptr, b64->SetData("abc", -1));
    EXPECT_STREQ("YWJj", b64->GetData());
    ASSERT_NE(nullptr, b64->SetData("abcdef", 2));
    EXPECT_STREQ("YWI=", b64->GetData());

    auto qp = Single("Content-Transfer-Encoding: quoted-printable", "");
    ASSERT_NE(nullptr, qp->SetData("a=b", -1));
    EXPECT_STREQ("a=3Db=\n", qp->GetData());

    auto raw = Single("Content-Type: text/plain", "");
    ASSERT_NE(nullptr, raw->SetData("as is", -1));
    EXPECT_STREQ("as is", raw->GetData());
    EXPECT_EQ(nullptr, raw->SetData(nullptr, -1));
    EXPECT_EQ(nullptr, raw->GetData());
}

TEST(MimeTextPart, MimePartOrBlock) {
    CMimeMessage msg;
    std::unique_ptr<CMimePart> p(msg.CreateTextPart("virus.txt", "Removed.\nSee =here", false));
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(&msg, p->m_pParent);
    EXPECT_EQ(0, msg.GetPartCount());
    std::string dump = p->GetHeaderDump();
    EXPECT_NE(std::string::npos,
              dump.find("Content-Type: text/plain; charset=us-ascii;\n\tname=\"virus.txt\"\n"));
    EXPECT_NE(std::string::npos, dump.find("Content-Transfer-Encoding: quoted-printable\n"));
    EXPECT_NE(std::string::npos,
              dump.find("Content-Disposition: attachment;\n\tfilename=\"virus.txt\"\n"));
    EXPECT_STREQ("Removed.\nSee =3Dhere=\n", p->GetData());
    EXPECT_EQ("virus.txt", p->GetName());
    // A block part keeps plain text.
    p.reset(msg.CreateTextPart("Notice.TXT", "plain", true));
    ASSERT_NE(nullptr, p);
    EXPECT_TRUE(p->m_bUUEncoded);
    EXPECT_EQ("Notice.TXT", p->GetName());
    EXPECT_STREQ("plain", p->GetData());
    EXPECT_EQ(nullptr, msg.CreateTextPart(nullptr, "x", false));
    EXPECT_EQ(nullptr, msg.CreateTextPart("x", nullptr, false));
}

// A notice declares the charset of its text: 7-bit, UTF-8, or 8-bit text of
// no known charset, never undeclared 8-bit text.
TEST(MimeTextPart, DeclaresTheCharsetOfItsText) {
    const struct {
        const char* text;
        const char* charset;
    } rows[] = {
        {"plain", "us-ascii"},
        {"Anh\xc3\xa4nge entfernt \xe2\x80\x94 \xf0\x9f\x93\x8e", "utf-8"},
        {"Anh\xe4nge (Latin-1)", "unknown-8bit"},
        {"cut \xe2\x80", "unknown-8bit"},
        {"overlong \xc0\xaf", "unknown-8bit"},
        {"surrogate \xed\xa0\x80", "unknown-8bit"},
    };
    CMimeMessage msg;
    for (const auto& row : rows) {
        std::unique_ptr<CMimePart> p(msg.CreateTextPart("n.txt", row.text, false));
        ASSERT_NE(nullptr, p);
        EXPECT_EQ(std::string("text/plain; charset=") + row.charset + ";\n\tname=\"n.txt\"",
                  p->GetHeaderRaw(MAILHDR_FLD_CONTENT_TYPE))
            << row.text;
    }
}

// An index past the end or no name changes nothing; in a uu container the
// text part is a block, written with mode 666.
TEST(MimeReplacePart, ReplacesAMimePartOrABlockByATextPart) {
    CMimeMessage msg;
    ASSERT_EQ(0, Load(msg,
                      "Content-Type: multipart/mixed; boundary=b\n\n--b\n"
                      "Content-Type: application/x-exe; name=evil.exe\n\nMZ\n--b--\n"));
    CMimePart* pOld = msg.GetPart(0);
    EXPECT_EQ(nullptr, msg.ReplacePart(1, "n", "t"));
    EXPECT_EQ(nullptr, msg.ReplacePart(0, nullptr, "t"));
    EXPECT_EQ(pOld, msg.GetPart(0));
    EXPECT_EQ(1, msg.GetPartCount());
    CMimePart* p = msg.ReplacePart(0, "removed.txt", "The attachment was removed.");
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(p, msg.GetPart(0));
    EXPECT_EQ("removed.txt", p->GetName());
    EXPECT_EQ("text/plain", p->GetContentType());

    CMimeMessage uu;
    ASSERT_EQ(0, Load(uu, "Subject: uu\n\nintro\n\nbegin 644 evil.exe\n#86)C\n`\nend\n"));
    p = uu.ReplacePart(0, "removed.txt", "gone");
    ASSERT_NE(nullptr, p);
    EXPECT_TRUE(p->IsUUBlock());
    std::string text = Written(uu);
    EXPECT_NE(std::string::npos, text.find("begin 666 removed.txt\ngone\n\nend\n"));
    EXPECT_EQ(std::string::npos, text.find("evil.exe"));
}

TEST(MimeSetName, DropsOtherParametersAndQuotes) {
    auto msg = Single("Content-Type: text/plain; charset=us-ascii", "x");
    msg->SetName(nullptr);
    EXPECT_EQ("text/plain; charset=us-ascii", msg->GetHeaderRaw(MAILHDR_FLD_CONTENT_TYPE));
    msg->SetName("a.txt.infected");
    EXPECT_EQ("text/plain;\n\tname=a.txt.infected", msg->GetHeaderRaw(MAILHDR_FLD_CONTENT_TYPE));
    EXPECT_EQ(";\n\tfilename=a.txt.infected", msg->GetHeaderRaw(MAILHDR_FLD_DISPOSITION));
    EXPECT_EQ("a.txt.infected", msg->GetName());
    // A block keeps its name.
    CMimeMessage uu;
    ASSERT_EQ(0, Load(uu, "Subject: uu\n\nx\n\nbegin 644 f\n#86)C\nend\n"));
    uu.GetPart(0)->SetName("other");
    EXPECT_EQ("f", uu.GetPart(0)->GetName());
}

// LF line ends, folds led by three blanks, no empty line at the end; an
// empty record logs and gives nothing.
TEST(MimeHeaderDump, LinesEndWithLineFeedAndNoEmptyLine) {
    EXPECT_EQ("Subject: hi\nX-Other: y\n   z\n",
              Single("Subject: hi\nX-Other: y\n\tz", "b")->GetHeaderDump());
    MimeLog log;
    CMimeMessage empty;
    EXPECT_EQ("", empty.GetHeaderDump());
    EXPECT_TRUE(log.Has("GetHeaderDump: mailhdr_get_headersize returns 0!!!"));
}
