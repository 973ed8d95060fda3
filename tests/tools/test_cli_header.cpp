/*
 * test_cli_header.cpp - the synchronous commands: check-header (the rule
 * of a set for a mail's header) and decode-header (encoded words).
 */
#include "cli_test_util.h"

namespace clitest {
namespace {

class CliHeader : public CliTest {};

TEST_F(CliHeader, CheckHeaderGivesTheMatchingRuleOrTheDefault) {
    const fs::path mails = CopyExamples();
    const RunResult hit = Run({"check-header", (mails / "07-encoded-subject.eml").string()});
    EXPECT_EQ(hit.status, 1) << hit;
    ExpectAll(hit.out, {"07-encoded-subject.eml: rule 'spam-example' of set 'header': "
                        "action 6 (mark-subject)\n",
                        "  text  From: *@spam.example\n"});

    const RunResult none = Run({"check-header", "--json", (mails / "01-clean.eml").string()});
    EXPECT_EQ(none.status, 0) << none;
    const Json j = JsonReader::Parse(none.out);
    EXPECT_FALSE(j["matched"].b);
    EXPECT_TRUE(j["default"].b);
    EXPECT_EQ(j["text"].str, "default");
    EXPECT_EQ(j["action"].Int(), 11);
    EXPECT_TRUE(j["name"].IsNull());
    // The mail itself is only read.
    EXPECT_EQ(ReadFile(mails / "07-encoded-subject.eml"),
              ReadFile(ExampleMails() / "07-encoded-subject.eml"));
}

TEST_F(CliHeader, EncodedSubjectIsDecodedBeforeTheRulesSeeIt) {
    WriteFile(Dir() / "subject.conf",
              "[set h]\nrule offer = mark-subject | | | Subject: *cial offer f\xC3\xBCr*\n"
              "[set default]\n");
    const fs::path mails = CopyExamples();
    const RunResult r =
        Run({"check-header", "--json", "--rules", "subject.conf", "--set", "h",
             (mails / "07-encoded-subject.eml").string(), (mails / "01-clean.eml").string()});
    EXPECT_EQ(r.status, 1) << r;
    const std::vector<Json> lines = JsonLines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r;
    EXPECT_TRUE(lines[0]["matched"].b);
    EXPECT_EQ(lines[0]["name"].str, "offer");
    EXPECT_EQ(lines[0]["line"].Int(), 2);
    EXPECT_FALSE(lines[1]["matched"].b);
}

TEST_F(CliHeader, HeaderLinesWithoutColonArePassedOverAndCounted) {
    WriteFile(Dir() / "odd.eml",
              "From sender@example.org Mon Dec  7 10:00:00 2026\nFrom: someone@spam.example\n"
              "this line has no colon\nSubject: hi\n\nbody: not a header line\n");
    const RunResult r = Run({"check-header", "-v", "odd.eml"});
    EXPECT_EQ(r.status, 1) << r;  // the From rule still matches
    ExpectAll(r.out, {"(1 header lines were passed over; -v shows them)"});
    ExpectAll(r.err, {"odd.eml: header line 2 passed over"});
}

TEST_F(CliHeader, DecodeHeaderDecodesArgumentsAndStdin) {
    const RunResult r =
        Run({"decode-header", "=?UTF-8?B?SGVsbG8gV8O2cmxk?=", "=?ISO-8859-1?Q?caf=E9?= au lait",
             "plain text"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, "Hello W\xC3\xB6rld\ncaf\xE9 au lait\nplain text\n");

    const RunResult in = Run({"decode-header", "--json", "-"}, "=?utf-8?q?a_b?=\r\nno words\n");
    EXPECT_EQ(in.status, 0) << in;
    const std::vector<Json> lines = JsonLines(in.out);
    ASSERT_EQ(lines.size(), 2u) << in;
    EXPECT_EQ(lines[0]["text"].str, "=?utf-8?q?a_b?=");
    EXPECT_EQ(lines[0]["decoded"].str, "a b");
    EXPECT_EQ(lines[1]["decoded"].str, "no words");

    // A Latin-1 byte is written as its own code point in JSON, so the
    // output stays valid UTF-8 JSON and the byte comes back.
    const RunResult latin = Run({"decode-header", "--json", "=?ISO-8859-1?Q?caf=E9?="});
    ExpectAll(latin.out, {"\"decoded\":\"caf\\u00e9\""});
    EXPECT_EQ(JsonReader::Parse(latin.out)["decoded"].str, "caf\xE9");
}

}  // namespace
}  // namespace clitest
