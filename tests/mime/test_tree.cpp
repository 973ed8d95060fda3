// test_tree.cpp - the part tree and its header accessors: tree links,
// SetPart, content types, names from headers, SetHeader and folded fields.
#include "mime_test_util.h"

using namespace mime_test;

namespace {

struct HeaderTableEnv : ::testing::Environment {
    void SetUp() override { mailhdr_init(); }
};
const auto* g_env = ::testing::AddGlobalTestEnvironment(new HeaderTableEnv);

// A part with the given header lines (LF-separated), parsed as a header block.
std::unique_ptr<CMimeMessage> WithHeader(const std::string& header) {
    auto msg = std::make_unique<CMimeMessage>();
    EXPECT_EQ(0, Load(*msg, header + "\n\nbody\n"));
    return msg;
}

int CountFields(const CMimePart& part, int id) {
    int n = 0;
    for (const mailhdr_fld* f = mailhdr_getfld(part.m_pHeader, id); f; f = f->next) {
        ++n;
    }
    return n;
}

}  // namespace

TEST(MimeTree, GetPartOutOfRangeIsNullAndSetPartRefuses) {
    CMimeMessage msg;
    ASSERT_TRUE(msg.AppendPart(new CMimePart(&msg)));
    CMimePart* pFirst = msg.GetPart(0);
    EXPECT_EQ(nullptr, msg.GetPart(1));
    CMimePart* pNew = new CMimePart(nullptr);
    EXPECT_FALSE(msg.SetPart(1, pNew));
    EXPECT_FALSE(msg.SetPart(0, nullptr));
    EXPECT_EQ(pFirst, msg.GetPart(0));
    EXPECT_EQ(1, msg.GetPartCount());
    delete pNew;
}

TEST(MimeTree, SetPartReparentsAndDestroysTheOldPart) {
    // The replaced part is destroyed: its destructor runs (seen by ASan as a
    // leak otherwise) and the new one points back to its new parent.
    CMimeMessage msg;
    ASSERT_TRUE(msg.AppendPart(new CMimePart(&msg)));
    ASSERT_TRUE(msg.AppendPart(new CMimePart(&msg)));
    CMimePart* pNew = new CMimePart(nullptr);
    ASSERT_TRUE(msg.SetPart(1, pNew));
    EXPECT_EQ(pNew, msg.GetPart(1));
    EXPECT_EQ(&msg, pNew->m_pParent);
    EXPECT_EQ(1, msg.GetPartIndex(pNew));
    EXPECT_EQ(&msg, pNew->GetRootPart());
    // Setting the part that already stands there keeps it alive.
    ASSERT_TRUE(msg.SetPart(1, pNew));
    EXPECT_EQ(pNew, msg.GetPart(1));
}

TEST(MimeTree, GetPartIndexOfForeignPartIsMinusOne) {
    CMimeMessage msg;
    CMimePart other(nullptr);
    EXPECT_EQ(-1, msg.GetPartIndex(&other));
    ASSERT_TRUE(msg.AppendPart(new CMimePart(&msg)));
    EXPECT_EQ(-1, msg.GetPartIndex(&other));
    EXPECT_EQ(0, msg.GetPartIndex(msg.GetPart(0)));
}

TEST(MimeTree, AppendPartStopsAtTheLimit) {
    CMimeMessage msg;
    for (std::uint32_t i = 0; i < CMimePart::MAX_SUBPARTS; ++i) {
        ASSERT_TRUE(msg.AppendPart(new CMimePart(&msg)));
    }
    CMimePart extra(nullptr);
    EXPECT_FALSE(msg.AppendPart(&extra));
    EXPECT_EQ(static_cast<int>(CMimePart::MAX_SUBPARTS), msg.GetPartCount());
    for (std::uint32_t i = 0; i < CMimePart::MAX_SUBPARTS; ++i) {
        ASSERT_EQ(&msg, msg.GetPart(i)->m_pParent);
    }
}

TEST(MimeHeaderAccess, ContentTypeIsLowerCaseWithoutParameters) {
    auto msg = WithHeader("Content-Type: Multipart/Mixed; boundary=\"XyZ\"");
    EXPECT_EQ("multipart/mixed", msg->GetContentType());
    EXPECT_TRUE(msg->IsMultipart());
    EXPECT_EQ("XyZ", msg->m_strBoundary);
}

TEST(MimeHeaderAccess, ContentTypeKeepsBlankBeforeSemicolon) {
    auto msg = WithHeader("Content-Type: text/plain ; charset=us-ascii");
    EXPECT_EQ("text/plain ", msg->GetContentType());
    EXPECT_FALSE(msg->IsMultipart());
}

TEST(MimeHeaderAccess, EncodingAndDispositionAreMainValues) {
    auto msg = WithHeader(
        "Content-Transfer-Encoding: Base64\nContent-Disposition: ATTACHMENT; filename=x");
    EXPECT_EQ("base64", msg->GetContentTransferEncoding());
    EXPECT_TRUE(msg->IsBase64());
    EXPECT_EQ("attachment", msg->GetContentDisposition());
}

TEST(MimeHeaderAccess, FoldedFieldJoinsLinesWithLineFeedTab) {
    auto msg = WithHeader("Content-Type: text/plain;\n  charset=utf-8;\n\tformat=flowed");
    EXPECT_EQ("text/plain;\n\tcharset=utf-8;\n\tformat=flowed",
              msg->GetHeaderRaw(MAILHDR_FLD_CONTENT_TYPE));
}

TEST(MimeHeaderAccess, MissingAndOtherFieldsAreEmpty) {
    auto msg = WithHeader("X-Custom: value\nSubject: s");
    EXPECT_EQ("", msg->GetHeaderRaw(MAILHDR_FLD_CONTENT_TYPE));
    EXPECT_EQ("", msg->GetHeaderRaw(MAILHDR_FLD_OTHER));
    EXPECT_EQ("", msg->GetHeaderRaw(-1));
    EXPECT_EQ("", msg->GetHeaderRaw(1000));
    EXPECT_EQ("s", msg->GetHeaderRaw(MAILHDR_FLD_SUBJECT));
}

TEST(MimeHeaderAccess, GetHeaderDecodesEncodedWords) {
    auto msg = WithHeader("Subject: =?iso-8859-1?Q?caf=E9_au_lait?=");
    EXPECT_EQ("caf\xe9 au lait", msg->GetHeader(MAILHDR_FLD_SUBJECT));
    EXPECT_EQ("=?iso-8859-1?Q?caf=E9_au_lait?=", msg->GetHeaderRaw(MAILHDR_FLD_SUBJECT));
}

// GetHeader answers values without an encoded word itself; its answer must
// stay the decoder's for every such value: line-end cut, leading blanks,
// blanks alone, folded lines, and a broken word that stays undecoded.
TEST(MimeHeaderAccess, GetHeaderOfPlainValuesIsTheDecodersAnswer) {
    const std::vector<std::vector<std::string>> values = {{""},
                                                          {"   "},
                                                          {" \t plain text "},
                                                          {"text\r\n"},
                                                          {"a\rb"},
                                                          {"  \r\n"},
                                                          {"\r\n"},
                                                          {"x"},
                                                          {"\v\fvalue"},
                                                          {"one", " two"},
                                                          {"one\r", "two\r\n"},
                                                          {"=?broken"},
                                                          {"a =?x?Q?y"},
                                                          {"=?utf-8?B?SGk=?="}};
    for (const auto& lines : values) {
        auto msg = WithHeader("X-Custom: value");
        stringlist* list = nullptr;
        for (const std::string& line : lines) {
            ASSERT_EQ(0, stringlist_append_string(&list, line.c_str()));
        }
        mailhdr_setfld(msg->m_pHeader, MAILHDR_FLD_SUBJECT, list);
        stringlist_free(&list);
        const std::string raw = msg->GetHeaderRaw(MAILHDR_FLD_SUBJECT);
        char* decoded = CMimePart::DecodeHeaderData(raw.c_str());
        ASSERT_NE(nullptr, decoded);
        EXPECT_EQ(std::string(decoded), msg->GetHeader(MAILHDR_FLD_SUBJECT)) << "raw: " << raw;
        std::free(decoded);
    }
}

TEST(MimeHeaderAccess, StaticDecodeHeaderDataOfNullLogs) {
    MimeLog log;
    EXPECT_EQ(nullptr, CMimePart::DecodeHeaderData(nullptr));
    EXPECT_TRUE(log.Has("CMimePart::DecodeHeaderData() - data is null"));
    char* p = CMimePart::DecodeHeaderData("=?utf-8?B?SGVsbG8=?=");
    ASSERT_NE(nullptr, p);
    EXPECT_STREQ("Hello", p);
    std::free(p);
}

TEST(MimeName, QuotedNameParameterInLowerCase) {
    auto msg = WithHeader("Content-Type: application/pdf; name=\"Report.PDF\"");
    EXPECT_EQ("report.pdf", msg->GetName());
}

TEST(MimeName, NameRunsToTheEndOfTheValue) {
    auto msg = WithHeader("Content-Type: application/pdf; name=\"a.pdf\"; x-mac=1");
    EXPECT_EQ("a.pdf\"; x-mac=1", msg->GetName());
}

TEST(MimeName, FilenameFromDispositionThenLocation) {
    auto a =
        WithHeader("Content-Type: text/plain\nContent-Disposition: attachment; filename=a.txt");
    EXPECT_EQ("a.txt", a->GetName());
    auto b = WithHeader("Content-Type: text/plain\nContent-Location: HTTP://Example.COM/X.html");
    EXPECT_EQ("http://example.com/x.html", b->GetName());
    auto c = WithHeader("Content-Type: text/plain");
    EXPECT_EQ("", c->GetName());
}

TEST(MimeName, NameTrimsWhiteSpaceThenQuotes) {
    auto msg = WithHeader("Content-Type: image/png;\n\tname=\n\t\"Pic.PNG\"  ");
    EXPECT_EQ("pic.png", msg->GetName());
}

TEST(MimeSetHeader, ReplacesEveryFieldOfTheIdentifier) {
    auto msg = WithHeader("Content-Type: text/plain\nContent-Type: text/html");
    ASSERT_EQ(2, CountFields(*msg, MAILHDR_FLD_CONTENT_TYPE));
    EXPECT_TRUE(msg->SetHeader(MAILHDR_FLD_CONTENT_TYPE, "image/gif"));
    EXPECT_EQ(1, CountFields(*msg, MAILHDR_FLD_CONTENT_TYPE));
    EXPECT_EQ("image/gif", msg->GetContentType());
}

TEST(MimeSetHeader, NullValueAndUUBlocksAreRefused) {
    CMimeMessage msg;
    EXPECT_FALSE(msg.SetHeader(MAILHDR_FLD_SUBJECT, nullptr));
    CMimePart* pBlock = msg.CreateTextPart("f.txt", "x", true);
    ASSERT_NE(nullptr, pBlock);
    ASSERT_TRUE(msg.AppendPart(pBlock));
    EXPECT_FALSE(pBlock->SetHeader(MAILHDR_FLD_CONTENT_TYPE, "text/plain"));
    EXPECT_EQ("", pBlock->GetHeaderRaw(MAILHDR_FLD_CONTENT_TYPE));
}

TEST(MimeSetHeader, RemoveHeaderDropsAllFields) {
    auto msg = WithHeader("Content-Type: text/plain\nContent-Type: text/html\nSubject: s");
    msg->RemoveHeader(MAILHDR_FLD_CONTENT_TYPE);
    EXPECT_EQ(0, CountFields(*msg, MAILHDR_FLD_CONTENT_TYPE));
    EXPECT_EQ("s", msg->GetHeaderRaw(MAILHDR_FLD_SUBJECT));
}
