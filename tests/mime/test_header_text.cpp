// test_header_text.cpp - the header as the writers put it into the mail:
// every field the check left alone as read and in its place, changed fields
// in theirs, added fields at the end of the block, and the whole rebuild
// keeping the untouched fields of every part.
#include "mime_test_util.h"

#include <functional>

using namespace mime_test;

namespace {

// What the header of `head` (a header block, LF line ends, no empty line)
// becomes after `change`.
std::string Rewritten(const std::string& head, const std::function<void(CMimeMessage&)>& change) {
    CMimeMessage msg;
    EXPECT_EQ(0, Load(msg, head + "\n\nbody\n"));
    change(msg);
    return msg.GetHeaderText();
}

stringlist* List(std::initializer_list<const char*> lines) {
    stringlist* list = nullptr;
    for (const char* l : lines)
        stringlist_append_string(&list, l);
    return list;
}

void SetLines(CMimeMessage& msg, int id, std::initializer_list<const char*> lines) {
    stringlist* list = List(lines);
    mailhdr_setfld(msg.m_pHeader, id, list);
    stringlist_free(&list);
}

}  // namespace

// Nothing changed: the block comes back byte for byte, whatever the record
// made of it (names re-cased to the table's spelling, a second Subject
// merged into the first, a second From replacing the first, NUL bytes read
// as blanks, lines that are no field at all).
TEST(HeaderText, AnUntouchedBlockComesBackAsRead) {
    const std::string head =
        "Received: from a\n\tby b; Tue, 5 Mar 2024\nDKIM-Signature: v=1; a=rsa-sha256;\n"
        "   h=from:to:subject; b=abc\nMessage-ID: <m@x>\nMIME-Version: 1.0\n"
        "subject:no blank\nX-Odd :  two  blanks  \nFrom: first@a\nReceived: from c\n"
        "From: second@b\nSubject:second subject line\nnot a field\n\tcontinues X-Odd\n"
        "X-Nul: a" +
        std::string(1, '\0') +
        "b\nX-CR: a\rb\nX-Empty:\nContent-Type: text/plain;\n\tcharset=utf-8";
    EXPECT_EQ(head + "\n", Rewritten(head, [](CMimeMessage&) {}));
}

// Fields in place, names as read, the added ones last; each row one kind of
// change the check makes.
TEST(HeaderText, ChangedFieldsKeepTheirPlaceAddedOnesGoLast) {
    struct Row {
        const char* name;
        std::string head;
        std::function<void(CMimeMessage&)> change;
        std::string want;
    };
    const Row rows[] = {
        {"stamp added below the fields as read", "Received: from a\nDKIM-Signature: d\nSubject: s",
         [](CMimeMessage& m) { m.SetHeader(MAILHDR_FLD_AVSTAMP, "engine"); },
         "Received: from a\nDKIM-Signature: d\nSubject: s\nX-VaveRiz4Zan: engine\n"},
        {"folded Subject marked: the folds stay", "From: f\nSUBJECT: one\n\ttwo\n  three\nTo: t",
         [](CMimeMessage& m) { mailhdr_marksubject(m.m_pHeader, "[SPAM]"); },
         "From: f\nSUBJECT: [SPAM] one\n\ttwo\n  three\nTo: t\n"},
        {"second Subject line: only the first is marked", "Subject: a\nTo: t\nSubject: b",
         [](CMimeMessage& m) { mailhdr_marksubject(m.m_pHeader, "[X]"); },
         "Subject: [X] a\nTo: t\nSubject: b\n"},
        {"replaced value: in place, name and lead as read", "A: 1\ncontent-type:\ttext/plain\nB: 2",
         [](CMimeMessage& m) { m.SetHeader(MAILHDR_FLD_CONTENT_TYPE, "text/html;\n\tname=x"); },
         "A: 1\ncontent-type:\ttext/html;\n\tname=x\nB: 2\n"},
        {"removed field leaves the others in place", "A: 1\nContent-Disposition: x\nB: 2",
         [](CMimeMessage& m) { m.RemoveHeader(MAILHDR_FLD_DISPOSITION); }, "A: 1\nB: 2\n"},
        {"one name of many removed", "X-A: 1\nX-B: 2\nX-A: 1\nX-C: 3\nX-B: 2",
         [](CMimeMessage& m) { mailhdr_delfld_byname(m.m_pHeader, "x-b"); },
         "X-A: 1\nX-A: 1\nX-C: 3\n"},
        {"anti-spam entries join the field in its place", "A: 1\nX-ZANAntiSpam: one,\n\ttwo\nB: 2",
         [](CMimeMessage& m) {
             stringlist* entries = List({"three"});
             mailhdr_add_antispam(m.m_pHeader, entries, 0, nullptr);
             stringlist_free(&entries);
         },
         "A: 1\nX-ZANAntiSpam: one,, two, three\nB: 2\n"},
        {"removed and set again alike: as read", "A: 1\nX-ZANRecTime:  7\nB: 2",
         [](CMimeMessage& m) { mailhdr_set_rectime(m.m_pHeader, 7); },
         "A: 1\nX-ZANRecTime:  7\nB: 2\n"},
        {"more lines than before: led like its last fold", "A: 1\nSubject: a\n\tb\nB: 2",
         [](CMimeMessage& m) {
             SetLines(m, MAILHDR_FLD_SUBJECT, {"a", "b", "c", "d"});
         },
         "A: 1\nSubject: a\n\tb\n\tc\n\td\nB: 2\n"},
        {"fewer lines than before", "A: 1\nSubject: a\n\tb\n\tc\nB: 2",
         [](CMimeMessage& m) { SetLines(m, MAILHDR_FLD_SUBJECT, {"a"}); },
         "A: 1\nSubject: a\nB: 2\n"},
        {"a field left without lines is gone", "A: 1\nSubject: a\nB: 2",
         [](CMimeMessage& m) { mailhdr_setfld(m.m_pHeader, MAILHDR_FLD_SUBJECT, nullptr); },
         "A: 1\nB: 2\n"},
        {"the second From changed, the first stays as read", "From: a@x\nTo: t\nFrom: b@x",
         [](CMimeMessage& m) { m.SetHeader(3 /* From */, "c@x"); },
         "From: a@x\nTo: t\nFrom: c@x\n"},
        {"a new Subject and a Received field go last, in the record's order", "To: t\nX-A: 1",
         [](CMimeMessage& m) {
             mailhdr_marksubject(m.m_pHeader, "[X]");
             m.SetHeader(MAILHDR_FLD_RECEIVED, "from here");
         },
         "To: t\nX-A: 1\nReceived: from here\nSubject: [X]\n"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.want, Rewritten(row.head, row.change)) << row.name;
}

// A changed line may not open the header to lines nobody set: its own line
// ends are blanks unless they fold.
TEST(HeaderText, AChangedValueCannotAddALine) {
    EXPECT_EQ("A: 1\nSubject: x  Bcc: evil@x\nB: 2\n",
              Rewritten("A: 1\nSubject: s\nB: 2", [](CMimeMessage& m) {
                  m.SetHeader(MAILHDR_FLD_SUBJECT, "x\r\nBcc: evil@x");
              }));
}

// The whole rebuild: a part replaced by a notice, and the root, the other
// parts and their headers stay as read; the notice, made by the check, is
// written in the table's order.
TEST(HeaderText, RebuiltMailKeepsEveryUntouchedHeader) {
    const std::string mail =
        "Received: from a\n\tby b\nMIME-Version: 1.0\nsubject: s\nContent-Type: multipart/mixed;"
        " boundary=\"b\"\n\n--b\ncontent-type: text/plain;  charset=us-ascii\n\nhello\n"
        "--b\nContent-Type: application/octet-stream; name=\"x.exe\"\nContent-Transfer-Encoding:"
        " base64\n\nAAEC\n--b--\n";
    CMimeMessage msg;
    ASSERT_EQ(0, Load(msg, mail));
    ASSERT_NE(nullptr, msg.ReplacePart(1, "x.txt", "removed"));
    msg.SetHeader(MAILHDR_FLD_AVSTAMP, "engine");
    const std::string out = Written(msg);
    EXPECT_EQ(0u,
              out.find("Received: from a\n\tby b\nMIME-Version: 1.0\nsubject: s\n"
                       "Content-Type: multipart/mixed; boundary=\"b\"\nX-VaveRiz4Zan: engine\n\n"));
    EXPECT_NE(std::string::npos,
              out.find("--b\ncontent-type: text/plain;  charset=us-ascii\n\nhello\n"));
    EXPECT_NE(std::string::npos, out.find("--b\nContent-Type: text/plain;"));
}
