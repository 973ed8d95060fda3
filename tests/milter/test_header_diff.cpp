/*
 * test_header_diff.cpp - splitting mails into fields and the header
 * operations that turn the MTA's header into the library's.
 */
#include <gtest/gtest.h>

#include "milter/header_diff.h"

namespace {

std::vector<HeaderField> Fields(const std::string& mail) {
    std::vector<HeaderField> f;
    std::string body;
    SplitMail(mail, f, body);
    return f;
}

TEST(MilterSplitMail, FieldsFoldsAndBody) {
    struct Case {
        const char* name;
        std::string mail;
        std::vector<HeaderField> fields;
        std::string body;
    };
    const std::vector<Case> cases = {
        {"crlf", "A: 1\r\nB:2\r\n\r\nbody\r\n", {{"A", " 1"}, {"B", "2"}}, "body\r\n"},
        {"lf", "A: 1\nB: 2\n\nbody\n", {{"A", " 1"}, {"B", " 2"}}, "body\n"},
        {"folded",
         "A: 1\r\n\t2\r\n  3\r\nB: x\r\n\r\n",
         {{"A", " 1\r\n\t2\r\n  3"}, {"B", " x"}},
         ""},
        {"no body", "A: 1\r\n", {{"A", " 1"}}, ""},
        {"empty body after blank", "A: 1\r\n\r\n", {{"A", " 1"}}, ""},
        {"colon in value", "Subject: re: x\r\n\r\nb", {{"Subject", " re: x"}}, "b"},
        {"junk line kept", "A: 1\r\nnot a field\r\n\r\nb", {{"A", " 1"}, {"", "not a field"}}, "b"},
        {"body blank lines kept", "A: 1\r\n\r\n\r\nx\r\n", {{"A", " 1"}}, "\r\nx\r\n"},
    };
    for (const Case& c : cases) {
        std::vector<HeaderField> f;
        std::string body;
        SplitMail(c.mail, f, body);
        ASSERT_EQ(f.size(), c.fields.size()) << c.name;
        for (std::size_t i = 0; i < f.size(); ++i) {
            EXPECT_EQ(f[i].name, c.fields[i].name) << c.name << " field " << i;
            EXPECT_EQ(f[i].value, c.fields[i].value) << c.name << " field " << i;
        }
        EXPECT_EQ(body, c.body) << c.name;
    }
}

// Applies the diff of `before` and `after` and checks that it gives `after`;
// returns the operations.
std::vector<HeaderOp> DiffAndApply(const std::string& before, const std::string& after,
                                   const std::string& label) {
    std::vector<HeaderField> fields = Fields(before);
    const std::vector<HeaderField> want = Fields(after);
    const std::vector<HeaderOp> ops = DiffHeaders(fields, want);
    ApplyHeaderOps(ops, fields);
    EXPECT_EQ(fields.size(), want.size()) << label;
    for (std::size_t i = 0; i < want.size() && i < fields.size(); ++i) {
        EXPECT_EQ(fields[i].name, want[i].name) << label << " field " << i;
        EXPECT_EQ(fields[i].value, want[i].value) << label << " field " << i;
    }
    return ops;
}

// One operation per field changed, added or removed, whatever stands around
// it; untouched fields are never deleted and added again.
TEST(MilterHeaderDiff, OneOperationPerFieldTheLibraryChangedAddedOrRemoved) {
    struct Case {
        const char* name;
        std::string before;
        std::string after;
        std::size_t ops;
    };
    const std::string trace =
        "Received: from a\r\n\tby b\r\nDKIM-Signature: v=1; a=rsa-sha256;\r\n\tb=xyz\r\n"
        "Received: from c by d\r\nMessage-ID: <m@x>\r\nMIME-Version: 1.0\r\n";
    const std::vector<Case> cases = {
        {"unchanged", "A: 1\r\nB: 2\r\n\r\n", "A: 1\r\nB: 2\r\n\r\n", 0},
        {"value changed", "A: 1\r\nSubject: x\r\n\r\n", "A: 1\r\nSubject: [SPAM] x\r\n\r\n", 1},
        {"stamp added below a trace", trace + "Subject: s\r\n\r\n",
         trace + "Subject: s\r\nX-Stamp: engine\r\n\r\n", 1},
        {"marked and stamped", trace + "Subject: s\r\n\tmore\r\n\r\n",
         trace + "Subject: [SPAM] s\r\n\tmore\r\nX-Stamp: engine\r\n\r\n", 2},
        {"field removed at the end", "A: 1\r\nB: 2\r\n\r\n", "A: 1\r\n\r\n", 1},
        {"field removed in the middle", "A: 1\r\nB: 2\r\nC: 3\r\n\r\n", "A: 1\r\nC: 3\r\n\r\n", 1},
        {"inserted in the middle", "A: 1\r\nC: 3\r\n\r\n", "A: 1\r\nS: s\r\nC: 3\r\n\r\n", 1},
        {"one of twins removed", "R: 1\r\nX: 0\r\nR: 1\r\nY: 0\r\n\r\n",
         "R: 1\r\nX: 0\r\nY: 0\r\n\r\n", 1},
        {"removed, inserted and appended among repeated names",
         "R: 1\r\nR: 2\r\nX: 9\r\nR: 3\r\n\r\n", "R: 1\r\nX: 9\r\nN: n\r\nR: 3\r\nE: e\r\n\r\n", 3},
        {"changed among repeated names", "R: 1\r\nR: 2\r\nR: 3\r\n\r\n",
         "R: 1\r\nR: two\r\nR: 3\r\n\r\n", 1},
        {"respelled: removed and added", "Message-ID: <m>\r\n\r\n", "Message-Id: <m>\r\n\r\n", 2},
        {"refolded", "R: a\r\n\tb\r\n\r\n", "R: a\r\n   b\r\n\r\n", 1},
        {"all removed", "A: 1\r\nB: 2\r\n\r\n", "", 2},
        // The library never reorders; a reordered header is still given
        // whole (the field found first anchors, the others move).
        {"reordered", "From: f\r\nTo: t\r\nDate: d\r\n\r\n", "Date: d\r\nFrom: f\r\nTo: t\r\n\r\n",
         4},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DiffAndApply(c.before, c.after, c.name).size(), c.ops) << c.name;
}

// A header of 25,000 fields, and one field of 70 KB, cost one operation for
// the field the library added: an MTA refuses to re-add so long a field,
// and re-adding 25,000 costs it 50,000 changes.
TEST(MilterHeaderDiff, HugeHeadersCostOneOperationForTheAddedField) {
    std::string many;
    for (int i = 0; i < 25000; ++i)
        many +=
            (i % 3 == 0 ? "Received: from relay" : "X-Filler: value ") + std::to_string(i) + "\r\n";
    std::string longField = "X-Long: ";
    while (longField.size() < 70 * 1024)
        longField += "0123456789abcdef\r\n\t";
    longField += "end\r\n";
    for (const std::string& head : {many, "Subject: s\r\n" + longField}) {
        const std::vector<HeaderOp> ops =
            DiffAndApply(head + "\r\n", head + "X-Stamp: engine\r\n\r\n", "huge");
        ASSERT_EQ(ops.size(), 1u);
        EXPECT_EQ(ops[0].kind, HeaderOpKind::Append);
        EXPECT_EQ(ops[0].name, "X-Stamp");
    }
}

// An insert counts the fields above it in the new header; changes and
// deletions keep the occurrence numbers of the header as the MTA had it.
TEST(MilterHeaderDiff, InsertPositionsAndOccurrences) {
    const std::vector<HeaderOp> ops = DiffAndApply("R: 1\r\nR: 2\r\nX: 9\r\nR: 3\r\n\r\n",
                                                   "R: 1\r\nX: 9\r\nN: n\r\nR: three\r\n\r\n", "");
    ASSERT_EQ(ops.size(), 3u);
    EXPECT_EQ(ops[0].kind, HeaderOpKind::Change);
    EXPECT_EQ(ops[0].index, 3);
    EXPECT_EQ(ops[1].kind, HeaderOpKind::Delete);
    EXPECT_EQ(ops[1].index, 2);
    EXPECT_EQ(ops[2].kind, HeaderOpKind::Insert);
    EXPECT_EQ(ops[2].index, 2);
}

TEST(MilterHeaderDiff, DeletionsRunFromTheLastFieldUp) {
    // Occurrence numbers stay valid only when later fields go first.
    const std::vector<HeaderOp> ops =
        DiffHeaders(Fields("A: 0\r\nR: 1\r\nR: 2\r\nR: 3\r\n\r\n"), Fields("B: 0\r\n\r\n"));
    ASSERT_EQ(ops.size(), 5u);
    const int wantIndex[] = {3, 2, 1, 1};
    const char* wantName[] = {"R", "R", "R", "A"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(ops[i].kind, HeaderOpKind::Delete);
        EXPECT_EQ(ops[i].name, wantName[i]);
        EXPECT_EQ(ops[i].index, wantIndex[i]);
    }
    EXPECT_EQ(ops[4].kind, HeaderOpKind::Append);
    EXPECT_EQ(ops[4].name, "B");
}

TEST(MilterHeaderDiff, OccurrencesIgnoreLetterCase) {
    const std::vector<HeaderOp> ops =
        DiffHeaders(Fields("x: 1\r\nX: 2\r\n\r\n"), Fields("x: 1\r\nX: 3\r\n\r\n"));
    ASSERT_EQ(ops.size(), 1u);
    EXPECT_EQ(ops[0].kind, HeaderOpKind::Change);
    EXPECT_EQ(ops[0].index, 2);
    EXPECT_EQ(ops[0].value, " 3");
}

TEST(MilterLineEnds, CrLfAndLf) {
    const struct {
        std::string in, crlf, lf;
    } cases[] = {
        {"a\nb", "a\r\nb", "a\nb"},
        {"a\r\nb", "a\r\nb", "a\nb"},
        {"\n\n", "\r\n\r\n", "\n\n"},
        {"a\rb", "a\rb", "a\rb"},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ToCrLf(c.in), c.crlf) << c.in;
        EXPECT_EQ(ToLf(c.in), c.lf) << c.in;
    }
}

}  // namespace

namespace {

TEST(MilterLineEnds, StreamedInPiecesAsWhole) {
    const std::string text = "a\nb\r\nc\r\n\n\rd\n";
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
        CrLfStream stream;
        std::string first, second;
        stream.Feed(std::string_view(text).substr(0, cut), first);
        stream.Feed(std::string_view(text).substr(cut), second);
        EXPECT_EQ(first + second, ToCrLf(text)) << "cut at " << cut;
    }
}

TEST(MilterBodyOffset, AfterTheEmptyLine) {
    const struct {
        std::string text;
        std::size_t at;
    } cases[] = {
        {"A: 1\r\n\r\nbody", 8},
        {"A: 1\n\nbody", 6},
        {"\r\nbody", 2},
        {"A: 1\r\nB: 2\r\n", std::string::npos},
        {"A: 1\r\n\r", std::string::npos},
        {"A: 1\r\n\tx\r\n\r\n", 12},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BodyOffset(c.text), c.at) << c.text;
}

}  // namespace
