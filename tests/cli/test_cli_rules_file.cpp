/*
 * test_cli_rules_file.cpp - the rules file: the embedded example set, the
 * order in which rules are tried, bad entries reported with their line and
 * reason while nothing of the file is loaded, and the file's rules acting;
 * the synchronous commands check-header (the rule of a set for a mail's
 * header) and decode-header (encoded words).
 */
#include "cli_test_util.h"

namespace clitest {
namespace {

class CliRulesFile : public CliTest {};

// The rules themselves act in the example run of test_cli_check.cpp.
TEST_F(CliRulesFile, EmbeddedRulesAreTheExamplesFile) {
    const RunResult embedded = Run({"rules", "--json"});
    const RunResult file = Run({"rules", "--json", "--rules",
                                (SourceDir() / "share" / "examples" / "rules.conf").string()});
    ASSERT_EQ(embedded.status, 0) << embedded;
    ASSERT_EQ(file.status, 0) << file;
    const Json a = JsonReader::Parse(embedded.out), b = JsonReader::Parse(file.out);
    EXPECT_EQ(a["file"].str, "(embedded rules.conf)");
    ASSERT_EQ(a["sets"].Size(), 2u);
    ASSERT_EQ(b["sets"].Size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        const Json &x = a["sets"][i], &y = b["sets"][i];
        EXPECT_EQ(x["name"].str, y["name"].str);
        EXPECT_EQ(x["defaultAction"].Int(), y["defaultAction"].Int());
        EXPECT_EQ(RuleNames(x["rules"]), RuleNames(y["rules"]));
    }
    // The example set: names before contents, removals before the holds.
    const Strings names = RuleNames(a["sets"][0]["rules"]);
    ASSERT_GT(names.size(), 6u);
    EXPECT_EQ(names.front(), "bidi-name");
    EXPECT_EQ(names.back(), "viagra");
    std::size_t last = 0;
    for (const char* name :
         {"double-exe", "executables", "pe-content", "disguised", "encrypted", "unreadable"}) {
        const auto at = std::find(names.begin(), names.end(), name);
        ASSERT_NE(at, names.end()) << name;
        EXPECT_GT(static_cast<std::size_t>(at - names.begin()), last) << name;
        last = static_cast<std::size_t>(at - names.begin());
    }
    EXPECT_EQ(a["sets"][1]["name"].str, "header");
}

TEST_F(CliRulesFile, YesKindsRefuseAnyOtherValue) {
    WriteFile(Dir() / "kinds.conf",
              "[set s]\n"
              "rule ok1 = remove | | | attachment-encrypted: YES\n"
              "rule ok2 = remove | | | content: application/x-dosexec\n"
              "rule bad = remove | | | attachment-mismatch: no\n");
    const RunResult run = Run({"rules", "--rules", "kinds.conf"});
    EXPECT_NE(run.status, 0) << run;
    ExpectAll(run.err, {"kinds.conf:4:", "attachment-mismatch takes the value yes, not 'no'"});
}

TEST_F(CliRulesFile, RulesAreTriedInFileOrderWithPrependFirst) {
    WriteFile(Dir() / "order.conf",
              "\xEF\xBB\xBF# with a byte order mark and CR LF line ends\r\n"
              "[set s]\r\n"
              "default = 9\r\n"
              "rule first  = none | | | Subject: a*\r\n"
              "rule second = 5 | | | body: b\r\n"
              "rule urgent = mark | | PREPEND | Subject: c | d\r\n"
              "rule moved  = move | /tmp/q | | attachment: *\r\n");
    const RunResult r = Run({"rules", "--json", "--rules", "order.conf"});
    ASSERT_EQ(r.status, 0) << r;
    const Json j = JsonReader::Parse(r.out);
    const Json& set = j["sets"][0];
    EXPECT_EQ(set["name"].str, "s");
    EXPECT_EQ(set["defaultAction"].Int(), 9);
    EXPECT_EQ(RuleNames(set["rules"]), (Strings{"urgent", "first", "second", "moved"}));
    EXPECT_EQ(set["rules"][0]["text"].str, "Subject: c | d");  // bars in the text stay
    EXPECT_EQ(set["rules"][0]["action"].Int(), 3);
    EXPECT_EQ(set["rules"][0]["line"].Int(), 6);
    EXPECT_EQ(set["rules"][3]["targetDir"].str, "/tmp/q");

    const RunResult text = Run({"rules", "--rules", "order.conf"});
    ExpectAll(text.out, {"[set s]  default: remove (9)\n", "Subject: c | d  6 prepend\n"});
    const std::size_t urgent = text.out.find("1  urgent"), first = text.out.find("2  first");
    ASSERT_NE(urgent, std::string::npos) << text;
    ASSERT_NE(first, std::string::npos) << text;
    EXPECT_LT(urgent, first);
}

TEST_F(CliRulesFile, BadEntriesAreReportedWithLineAndReason) {
    WriteFile(Dir() / "bad.conf",
              "rule early = remove | | | attachment: *.exe\n"  // 1: no section yet
              "[set good]\n"
              "rule ok = remove | | | attachment: *.exe\n"
              "rule ok = remove | | | attachment: *.com\n"       // 4: duplicate
              "rule del = delete | | | attachment: *.bat\n"      // 5: unknown action
              "rule mv = move | | | attachment: *.js\n"          // 6: move without dir
              "rule rm = remove | /q | | attachment: *.js\n"     // 7: dir without move
              "rule nc = remove | | | attachment *.exe\n"        // 8: no colon
              "rule ct = remove | | | Subject: x;  continued\n"  // 9: fine (continuation)
              "rule few = remove | attachment: *.exe\n"          // 10: two fields
              "rule fl = remove | | first | attachment: *\n"     // 11: unknown flag
              "rule two = 2 | | | attachment: *\n"               // 12: invalid code
              "default = none\n"
              "default = 9\n"                       // 14: second default
              "[set good]\n"                        // 15: set again
              "[group x]\n"                         // 16: unknown section
              "something else\n"                    // 17
              "rule empty = none | | |\n"           // 18: empty text
              "rule x y = none | | | Subject: x\n"  // 19: blank in name
              // " x: 1" is trimmed to "x: 1", so line 20 is good; line 21
              // starts with an empty piece, which is no header line.
              "rule c = none | | |  x: 1;y: 2\n"
              "rule d = none | | | ;x: 1\n");
    const RunResult r = Run({"rules", "--rules", "bad.conf"});
    EXPECT_EQ(r.status, 2) << r;
    EXPECT_EQ(r.out, "");
    const Strings expected = {
        "bad.conf:1: rule outside a [set NAME] section",
        "bad.conf:4: rule 'ok' is already defined in set 'good' on line 3",
        "bad.conf:5: unknown action 'delete'",
        "bad.conf:6: action move needs a target directory",
        "bad.conf:7: a target directory is only used by action move",
        "bad.conf:8: bad rule text 'attachment *.exe': piece 1 'attachment *.exe' is no "
        "header line (no colon after a field name)",
        "bad.conf:10: expected ACTION | DIR | FLAGS | TEXT, found 2 fields",
        "bad.conf:11: unknown flag 'first' (the only flag is prepend)",
        "bad.conf:12: unknown action '2'",
        "bad.conf:14: the default action of set 'good' is already given on line 13",
        "bad.conf:15: set 'good' is already defined on line 2",
        "bad.conf:16: unknown section '[group x]' (expected [set NAME])",
        "bad.conf:17: expected [set NAME], default = ACTION or rule NAME",
        "bad.conf:18: empty rule text",
        "bad.conf:19: rule name 'x y' holds a blank",
        "bad.conf:21: bad rule text ';x: 1': piece 1 '' is no header line",
        "bad.conf: refused, no rule was loaded",
    };
    ExpectAll(r.err, expected);
    ExpectNone(r.err, {"bad.conf:3:", "bad.conf:9:", "bad.conf:20:"});
}

TEST_F(CliRulesFile, RulesOfTheFileActInTheCheck) {
    const fs::path mails = CopyExamples();
    WriteFile(Dir() / "mine.conf",
              "[set mail]\n"
              "default = 11\n"
              "rule no-pills = keyword | | | body: pills\n"
              "rule cheap    = keyword | | | body: cheap*\n"
              "[set hdr]\n"
              "rule carol = exception | | | From: carol@example.org\n");
    RunResult run;
    auto m = CheckJson(
        {"--rules", "mine.conf", "-s", "mail", "-H", "hdr", "--flags", "all,-av", mails.string()},
        run);
    ASSERT_EQ(m.size(), 7u) << run;
    // "Cheap pills" is in the Subject, not in the body: the keyword check
    // reads the body only. The body says "half the price": no hit either.
    EXPECT_EQ(m["05-keyword-spam.eml"]["verdict"].str, "OK");
    // The header rule with action 1 adds its entry (rule name, first value).
    const Json& carol = m["02-eicar-attachment.eml"];
    EXPECT_EQ(carol["status"].Strings(), Strings{"ST_HEADER_RULE"});
    EXPECT_EQ(carol["antispam"].Strings(), Strings{"carol: carol@example.org"});
    EXPECT_EQ(carol["headerRules"][0]["line"].Int(), 6);
    // The example rules are not loaded: the exe stays.
    EXPECT_EQ(m["03-exe-attachment.eml"]["verdict"].str, "OK");
    EXPECT_EQ(m["01-clean.eml"]["ruleChain"][0]["action"].Int(), 11);
}

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
