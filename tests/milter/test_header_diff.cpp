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

TEST(MilterHeaderDiff, OperationsReproduceTheLibrarysHeader) {
    struct Case {
        const char* name;
        std::string before;
        std::string after;
        std::size_t ops;  // number of operations the diff needs
    };
    const std::vector<Case> cases = {
        {"unchanged", "A: 1\r\nB: 2\r\n\r\n", "A: 1\r\nB: 2\r\n\r\n", 0},
        {"value changed", "A: 1\r\nSubject: x\r\n\r\n", "A: 1\r\nSubject: [SPAM] x\r\n\r\n", 1},
        {"field appended", "A: 1\r\n\r\n", "A: 1\r\nX-Stamp: s\r\n\r\n", 1},
        {"field removed at the end", "A: 1\r\nB: 2\r\n\r\n", "A: 1\r\n\r\n", 1},
        {"field removed in the middle", "A: 1\r\nB: 2\r\nC: 3\r\n\r\n", "A: 1\r\nC: 3\r\n\r\n", 3},
        {"inserted in the middle", "A: 1\r\nC: 3\r\n\r\n", "A: 1\r\nS: s\r\nC: 3\r\n\r\n", 3},
        {"reordered", "From: f\r\nTo: t\r\nDate: d\r\n\r\n", "Date: d\r\nFrom: f\r\nTo: t\r\n\r\n",
         6},
        {"respelled", "Message-ID: <m>\r\n\r\n", "Message-Id: <m>\r\n\r\n", 2},
        {"repeated names", "R: 1\r\nR: 2\r\nR: 3\r\n\r\n", "R: 1\r\nR: 3\r\n\r\n", 2},
        {"refolded", "R: a\r\n\tb\r\n\r\n", "R: a\r\n   b\r\n\r\n", 1},
        {"all removed", "A: 1\r\nB: 2\r\n\r\n", "", 2},
    };
    for (const Case& c : cases) {
        std::vector<HeaderField> fields = Fields(c.before);
        const std::vector<HeaderField> want = Fields(c.after);
        const std::vector<HeaderOp> ops = DiffHeaders(fields, want);
        EXPECT_EQ(ops.size(), c.ops) << c.name;
        ApplyHeaderOps(ops, fields);
        ASSERT_EQ(fields.size(), want.size()) << c.name;
        for (std::size_t i = 0; i < want.size(); ++i) {
            EXPECT_EQ(fields[i].name, want[i].name) << c.name << " field " << i;
            EXPECT_EQ(fields[i].value, want[i].value) << c.name << " field " << i;
        }
    }
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
