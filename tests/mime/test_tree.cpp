// test_tree.cpp - the part tree and its header accessors: tree links,
// SetPart, content types, names from headers, SetHeader and folded fields.
#include "mime_test_util.h"

using namespace mime_test;

namespace {

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

TEST(MimeTree, GetPartSetPartAndGetPartIndex) {
    CMimeMessage msg;
    CMimePart other(nullptr);
    EXPECT_EQ(-1, msg.GetPartIndex(&other));
    ASSERT_TRUE(msg.AppendPart(new CMimePart(&msg)));
    ASSERT_TRUE(msg.AppendPart(new CMimePart(&msg)));
    CMimePart* pFirst = msg.GetPart(0);
    EXPECT_EQ(nullptr, msg.GetPart(2));
    EXPECT_EQ(-1, msg.GetPartIndex(&other));
    EXPECT_EQ(0, msg.GetPartIndex(pFirst));
    // Out of range or null: refused, nothing changes.
    EXPECT_FALSE(msg.SetPart(2, &other));
    EXPECT_FALSE(msg.SetPart(0, nullptr));
    EXPECT_EQ(pFirst, msg.GetPart(0));
    EXPECT_EQ(2, msg.GetPartCount());
    // The replaced part is destroyed (ASan sees a leak otherwise) and the new
    // one points back to its new parent; setting the part that already
    // stands there keeps it alive.
    CMimePart* pNew = new CMimePart(nullptr);
    ASSERT_TRUE(msg.SetPart(1, pNew));
    EXPECT_EQ(pNew, msg.GetPart(1));
    EXPECT_EQ(&msg, pNew->m_pParent);
    EXPECT_EQ(1, msg.GetPartIndex(pNew));
    EXPECT_EQ(&msg, pNew->GetRootPart());
    ASSERT_TRUE(msg.SetPart(1, pNew));
    EXPECT_EQ(pNew, msg.GetPart(1));
}

TEST(MimeTree, AppendPartStopsAtTheLimit) {
    CMimeMessage msg;
    for (std::uint32_t i = 0; i < CMimePart::MAX_SUBPARTS; ++i) {
        ASSERT_TRUE(msg.AppendPart(new CMimePart(&msg)));
    }
    CMimePart extra(nullptr);
    EXPECT_FALSE(msg.AppendPart(&extra));
    EXPECT_EQ(static_cast<int>(CMimePart::MAX_SUBPARTS), msg.GetPartCount());
}

// Content type, encoding and disposition are lower case main values (a
// blank before the ";" stays); the name comes from the name parameter (to
// the end of the value, white space then quotes trimmed), else from the
// disposition's filename, else from the location, in lower case.
TEST(MimeHeaderAccess, MainValuesAndNames) {
    const struct {
        const char* header;
        const char *type, *encoding, *disposition, *name;
    } rows[] = {
        {"Content-Type: Multipart/Mixed; boundary=\"XyZ\"", "multipart/mixed", "", "", ""},
        {"Content-Type: text/plain ; charset=us-ascii", "text/plain ", "", "", ""},
        {"Content-Transfer-Encoding: Base64\nContent-Disposition: ATTACHMENT; filename=x", "",
         "base64", "attachment", "x"},
        {"Content-Type: application/pdf; name=\"Report.PDF\"", "application/pdf", "", "",
         "report.pdf"},
        {"Content-Type: application/pdf; name=\"a.pdf\"; x-mac=1", "application/pdf", "", "",
         "a.pdf\"; x-mac=1"},
        {"Content-Type: text/plain\nContent-Disposition: attachment; filename=a.txt", "text/plain",
         "", "attachment", "a.txt"},
        {"Content-Type: text/plain\nContent-Location: HTTP://Example.COM/X.html", "text/plain", "",
         "", "http://example.com/x.html"},
        {"Content-Type: image/png;\n\tname=\n\t\"Pic.PNG\"  ", "image/png", "", "", "pic.png"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.header);
        auto msg = WithHeader(row.header);
        EXPECT_EQ(row.type, msg->GetContentType());
        EXPECT_EQ(row.encoding, msg->GetContentTransferEncoding());
        EXPECT_EQ(row.disposition, msg->GetContentDisposition());
        EXPECT_EQ(row.name, msg->GetName());
        EXPECT_EQ(row.type == std::string("multipart/mixed"), msg->IsMultipart());
        EXPECT_EQ(row.encoding == std::string("base64"), msg->IsBase64());
    }
    EXPECT_EQ("XyZ", WithHeader(rows[0].header)->m_strBoundary);
}

TEST(MimeHeaderAccess, RawAndDecodedFields) {
    auto msg = WithHeader(
        "Content-Type: text/plain;\n  charset=utf-8;\n\tformat=flowed\nX-Custom: value\n"
        "Subject: =?iso-8859-1?Q?caf=E9_au_lait?=");
    // A folded field joins its lines with LF tab.
    EXPECT_EQ("text/plain;\n\tcharset=utf-8;\n\tformat=flowed",
              msg->GetHeaderRaw(MAILHDR_FLD_CONTENT_TYPE));
    EXPECT_EQ("", msg->GetHeaderRaw(MAILHDR_FLD_DISPOSITION));
    EXPECT_EQ("", msg->GetHeaderRaw(MAILHDR_FLD_OTHER));
    EXPECT_EQ("", msg->GetHeaderRaw(-1));
    EXPECT_EQ("", msg->GetHeaderRaw(1000));
    EXPECT_EQ("caf\xe9 au lait", msg->GetHeader(MAILHDR_FLD_SUBJECT));
    EXPECT_EQ("=?iso-8859-1?Q?caf=E9_au_lait?=", msg->GetHeaderRaw(MAILHDR_FLD_SUBJECT));

    MimeLog log;
    EXPECT_EQ(nullptr, CMimePart::DecodeHeaderData(nullptr));
    EXPECT_TRUE(log.Has("CMimePart::DecodeHeaderData() - data is null"));
    char* p = CMimePart::DecodeHeaderData("=?utf-8?B?SGVsbG8=?=");
    ASSERT_NE(nullptr, p);
    EXPECT_STREQ("Hello", p);
    std::free(p);
}

// GetHeader answers values without an encoded word itself; its answer must
// stay the decoder's for every such value: line-end cut, leading blanks,
// blanks alone, folded lines ("|" splits the lines of a field), and a broken
// word that stays undecoded.
TEST(MimeHeaderAccess, GetHeaderOfPlainValuesIsTheDecodersAnswer) {
    for (std::string value : {"", "   ", " \t plain text ", "a\rb", "  \r\n", "\v\fvalue",
                              "one\r|two\r\n", "a =?x?Q?y", "=?utf-8?B?SGk=?="}) {
        auto msg = WithHeader("X-Custom: value");
        stringlist* list = nullptr;
        for (std::size_t at = 0, bar; at <= value.size(); at = bar + 1) {
            bar = std::min(value.find('|', at), value.size());
            ASSERT_EQ(0, stringlist_append_string(&list, value.substr(at, bar - at).c_str()));
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

TEST(MimeSetHeader, ReplacesOrRemovesEveryFieldOfTheIdentifier) {
    auto msg = WithHeader("Content-Type: text/plain\nContent-Type: text/html\nSubject: s");
    ASSERT_EQ(2, CountFields(*msg, MAILHDR_FLD_CONTENT_TYPE));
    EXPECT_TRUE(msg->SetHeader(MAILHDR_FLD_CONTENT_TYPE, "image/gif"));
    EXPECT_EQ(1, CountFields(*msg, MAILHDR_FLD_CONTENT_TYPE));
    EXPECT_EQ("image/gif", msg->GetContentType());
    EXPECT_FALSE(msg->SetHeader(MAILHDR_FLD_SUBJECT, nullptr));
    msg->RemoveHeader(MAILHDR_FLD_CONTENT_TYPE);
    EXPECT_EQ(0, CountFields(*msg, MAILHDR_FLD_CONTENT_TYPE));
    EXPECT_EQ("s", msg->GetHeaderRaw(MAILHDR_FLD_SUBJECT));
    // A uu block has no header to set.
    CMimePart* pBlock = msg->CreateTextPart("f.txt", "x", true);
    ASSERT_NE(nullptr, pBlock);
    ASSERT_TRUE(msg->AppendPart(pBlock));
    EXPECT_FALSE(pBlock->SetHeader(MAILHDR_FLD_CONTENT_TYPE, "text/plain"));
    EXPECT_EQ("", pBlock->GetHeaderRaw(MAILHDR_FLD_CONTENT_TYPE));
}
