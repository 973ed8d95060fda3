/*
 * test_cli_check.cpp - "mailward check" on the example mails, through the
 * real library and the real engine: what the report says, what the
 * rewritten mails hold, the job flags, the spam list, and the mistakes
 * that are refused before any mail is touched.
 */
#include "cli_test_util.h"

namespace clitest {
namespace {

const std::string kEicarName = "Mailward.Test.EICAR.UNOFFICIAL";
const std::string kClamName = "Mailward.Test.ClamFile.UNOFFICIAL";

class CliCheck : public CliTest {};

// Every example mail in one run: the verdicts and the report in JSON, then
// in text, and what each rewritten mail holds.
TEST_F(CliCheck, ExampleMailsGiveTheirVerdictsAndRewrites) {
    const fs::path mails = CopyExamples();
    RunResult run;
    Json summary;
    auto m = CheckJson({mails.string()}, run, &summary);
    ASSERT_EQ(m.size(), 7u) << run;
    EXPECT_EQ(run.status, 1) << run;  // found or changed, no error
    const std::map<std::string, std::string> verdicts = {
        {"01-clean.eml", "OK"},
        {"02-eicar-attachment.eml", "FOUND"},
        {"03-exe-attachment.eml", "FILTERED"},
        {"04-clam-zip.eml", "FOUND"},
        {"05-keyword-spam.eml", "FILTERED"},
        {"06-uuencoded-attachment.eml", "FILTERED"},
        {"07-encoded-subject.eml", "FILTERED"}};
    for (const auto& [name, mail] : m) {
        EXPECT_EQ(mail["verdict"].str, verdicts.at(name)) << name;
        EXPECT_TRUE(mail["received"].b) << name;
        EXPECT_EQ(mail["result"].Int(), 0) << name;
        EXPECT_EQ(mail["errorBits"].Int(), 0) << name;
        // Every mail was scanned and stamped by the engine.
        ASSERT_FALSE(mail["stamp"].items.empty()) << name;
        EXPECT_TRUE(Contains(mail["stamp"][0].str, "checked by VaveRiz for mailward; host="))
            << name;
    }
    EXPECT_EQ(summary["mails"].Int(), 7);
    EXPECT_EQ(summary["clean"].Int(), 1);
    EXPECT_EQ(summary["found"].Int(), 2);
    EXPECT_EQ(summary["filtered"].Int(), 4);
    EXPECT_EQ(summary["errors"].Int(), 0);
    // With no set-up the data folder is made below XDG_STATE_HOME: every
    // backup kept, an empty scan folder.
    EXPECT_EQ(FilesBelow(DataDir() / "origmail").size(), 7u);
    EXPECT_EQ(FilesBelow(DataDir()).size(), 7u);
    EXPECT_TRUE(fs::is_directory(DataDir() / "tmp"));

    // A virus mail is replaced whole by the notice.
    const Json& eicar = m["02-eicar-attachment.eml"];
    EXPECT_EQ(eicar["virusResult"].str, "VIRUS_FOUND");
    EXPECT_EQ(eicar["virusNames"].Strings(), Strings{kEicarName});
    const Json& whole = PartNamed(eicar, "mail");
    ASSERT_FALSE(whole.IsNull()) << run;
    EXPECT_TRUE(whole["wholeMail"].b);
    EXPECT_EQ(whole["virusName"].str, kEicarName);
    EXPECT_TRUE(Contains(whole["engineVersion"].str, "ClamAV"));
    const std::string eicarText = ReadFile(mails / "02-eicar-attachment.eml");
    ExpectNone(eicarText, {"EICAR-STANDARD", "WDVPIVAlQEFQWzRcUFpYNTQoUF4pN0" /* its base64 */,
                           "multipart/mixed"});
    ExpectAll(eicarText, {"replaced by this notice", "Virus found:     " + kEicarName,
                          "Checked with:    ClamAV", "Subject: The file you asked for\r\n",
                          "X-VaveRiz4Zan: checked by VaveRiz for mailward"});
    EXPECT_EQ(m["04-clam-zip.eml"]["virusNames"].Strings(), Strings{kClamName});
    ExpectAll(ReadFile(mails / "04-clam-zip.eml"), {"Virus found:     " + kClamName});

    // Executable attachments are removed and noticed; the other parts stay.
    for (const char* file : {"03-exe-attachment.eml", "06-uuencoded-attachment.eml"}) {
        EXPECT_TRUE(m[file]["modified"].b) << file;
        EXPECT_EQ(RuleNames(m[file]["rulesActed"]), Strings{"executables"}) << file;
        EXPECT_EQ(m[file]["rulesActed"][0]["action"].Int(), 9) << file;
    }
    const Json& setup = PartNamed(m["03-exe-attachment.eml"], "setup.exe");
    EXPECT_EQ(setup["action"].Int(), 32);
    EXPECT_EQ(setup["actionName"].str, "removed");
    EXPECT_EQ(setup["virusResult"].str, "VIRUS_CLEAN");
    EXPECT_EQ(RuleNames(setup["rules"]), Strings{"executables"});
    EXPECT_EQ(PartNamed(m["03-exe-attachment.eml"], "text/plain")["action"].Int(), 0);
    EXPECT_EQ(PartNamed(m["06-uuencoded-attachment.eml"], "tool.exe")["action"].Int(), 32);
    const std::string exe = ReadFile(mails / "03-exe-attachment.eml");
    ExpectAll(exe, {"An attachment of this message was removed.", "Name: setup.exe",
                    "filename=\"removed-attachment.txt\"", "Gr=C3=BC=C3=9Fe, Dave"});
    ExpectNone(exe, {"VGhpcyBpcyBub3QgcmVhbGx5"});  // the old base64
    const std::string uu = ReadFile(mails / "06-uuencoded-attachment.eml");
    ExpectAll(uu, {"Name: tool.exe", "my old mail program"});
    ExpectNone(uu, {"begin 644 tool.exe"});

    // Keyword and header rules mark the subject and add anti-spam entries.
    const Json& spam = m["05-keyword-spam.eml"];
    EXPECT_EQ(spam["status"].Strings(), Strings{"ST_PART_RULE"});
    EXPECT_EQ(spam["antispam"].Strings(), Strings{"Schluesselwoerter:  viagra"});
    EXPECT_EQ(spam["subject"].str, "[SPAM] Cheap pills, today only");
    EXPECT_EQ(PartNamed(spam, "text/plain")["actionName"].str, "keyword");
    ExpectAll(ReadFile(mails / "05-keyword-spam.eml"),
              {"Subject: [SPAM] Cheap pills, today only\r\n",
               "X-ZANAntiSpam: Schluesselwoerter:  viagra\r\n", "buy viagra now"});
    const Json& news = m["07-encoded-subject.eml"];
    EXPECT_EQ(news["status"].Strings(), Strings{"ST_HEADER_RULE"});
    EXPECT_EQ(RuleNames(news["headerRules"]), Strings{"spam-example"});
    EXPECT_EQ(news["antispam"].Strings(), Strings{"spam-example: *@spam.example"});
    EXPECT_EQ(news["subjectDecoded"].str,
              "[SPAM] Sp\xC3\xA9"
              "cial offer f\xC3\xBCr you");
    ExpectAll(ReadFile(mails / "07-encoded-subject.eml"),
              {"X-ZANAntiSpam: spam-example: *@spam.example\r\n",
               "Subject: [SPAM] =?UTF-8?Q?Sp=C3=A9cial_offer_f=C3=BCr_you?="});
}

TEST_F(CliCheck, TextReportShowsVerdictsAndPartTable) {
    CopyExamples();
    const RunResult r = Run({"check", "mails"});
    EXPECT_EQ(r.status, 1) << r;
    ExpectAll(
        r.out,
        {"mails/01-clean.eml: OK\n", "mails/02-eicar-attachment.eml: " + kEicarName + " FOUND\n",
         "mails/03-exe-attachment.eml: FILTERED\n",
         // The part table: number, name, action, virus, moved to, rules.
         "3  setup.exe        removed  clean  -         executables",
         "rules    executables (remove 9)", "written  in place: parts changed, mail rebuilt\n",
         "written  in place: the mail was replaced by a virus notice\n",
         "written  in place: header changed\n",  // stamp only
         "antispam  Schluesselwoerter:  viagra", "Mails checked:  7", "Viruses found:  2"});
    EXPECT_EQ(r.err, "") << r;  // no error line for a good run

    // --brief: only the verdict lines and the summary.
    CopyExamples("again");
    const RunResult brief = Run({"check", "--brief", "again/01-clean.eml"});
    EXPECT_EQ(brief.status, 0) << brief;
    ExpectAll(brief.out, {"again/01-clean.eml: OK\n"});
    ExpectNone(brief.out, {"result"});
}

// An exe inside an attached message, which the parser does not look into:
// the report names the disagreement in text and in JSON.
TEST_F(CliCheck, ReportShowsAnAttachmentHiddenFromTheParser) {
    const std::string mail =
        "Subject: s\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
        "Content-Type: application/octet-stream; x=\"--b\";\r\n name=\"a.exe\"\r\n"
        "\r\nMZ\r\n--b--\r\n";
    WriteFile(Dir() / "hidden.eml", mail);
    RunResult run;
    auto m = CheckJson({"hidden.eml"}, run);
    ASSERT_EQ(m.size(), 1u) << run;
    EXPECT_EQ(m["hidden.eml"]["status"].Strings(), Strings{"ST_MIME_DISAGREEMENT"});
    EXPECT_TRUE(m["hidden.eml"]["mimeDisagreement"].b);
    WriteFile(Dir() / "hidden.eml", mail);
    const RunResult text = Run({"check", "hidden.eml"});
    ExpectAll(text.out, {"  status        ST_MIME_DISAGREEMENT\n",
                         "  disagreement  mail clients may show an attachment the filter did not"});
}

// A mail the engine stopped in at a limit is LIMIT, not clean and not an
// ordinary error: its own verdict, the status bit, a line that says what it
// means, its own count in the summary, and the exit status of an error.
TEST_F(CliCheck, EngineLimitIsAnOutcomeOfItsOwn) {
    const std::string big = "From: a@example.org\r\nSubject: big\r\n\r\n" + std::string(4096, 'a');
    WriteFile(Dir() / "big.eml", big + "\r\n");
    const Strings limit = {"-O", "EngineMaxFileSize=1"};  // kilobytes
    RunResult run;
    Json summary;
    Strings args = limit;
    args.push_back("big.eml");
    auto m = CheckJson(args, run, &summary);
    EXPECT_EQ(run.status, 2) << run;
    const Json& mail = m["big.eml"];
    EXPECT_EQ(mail["verdict"].str, "LIMIT");
    EXPECT_EQ(mail["errors"].Strings(), Strings{"ERR_CHECK"});
    EXPECT_EQ(mail["status"].Strings(), Strings{"ST_ENGINE_LIMIT"});
    EXPECT_EQ(summary["limits"].Int(), 1);
    EXPECT_EQ(summary["errors"].Int(), 0);

    WriteFile(Dir() / "big.eml", big + "\r\n");
    Strings textArgs = {"check"};
    textArgs.insert(textArgs.end(), limit.begin(), limit.end());
    textArgs.push_back("big.eml");
    const RunResult text = Run(textArgs);
    EXPECT_EQ(text.status, 2);
    ExpectAll(text.out,
              {"big.eml: LIMIT (the engine stopped at a limit: not scanned whole)\n",
               "  status   ST_ENGINE_LIMIT\n", "  limit    the engine stopped at one of its limits",
               "At a limit:     1\n", "Errors:         0\n"});
    // The same mail within the limit is an ordinary clean one.
    EXPECT_EQ(Run({"check", "big.eml"}).status, 0);
}

// Without the engine: a missing mail gets its callback, the log line and
// ERR_LOAD; the clean mail after it is checked and left as it was.
TEST_F(CliCheck, MissingMailGivesLoadErrorCleanMailIsLeftAsItWas) {
    CopyExamples();
    const std::string missing = "mails/no-such-mail.eml";
    RunResult run;
    Json summary;
    auto m = CheckJson({"--flags", "all,-av", missing, "mails/01-clean.eml"}, run, &summary);
    EXPECT_EQ(run.status, 2) << run;
    ASSERT_EQ(m.size(), 2u) << run;
    const Json& mail = m["no-such-mail.eml"];
    EXPECT_TRUE(mail["received"].b);  // the callback came
    EXPECT_EQ(mail["verdict"].str, "ERROR");
    EXPECT_EQ(mail["result"].Int(), -1);
    EXPECT_EQ(mail["errors"].Strings(), Strings{"ERR_LOAD"});
    const std::string line = "[MAILCHECK] [ERROR] [opening file " + missing + "]";
    ExpectAll(run.err, {"error: " + line + "\n"});
    bool logged = false;
    for (const Json& l : mail["log"].items)
        logged |= l["level"].str == "info" && l["line"].str == line;
    EXPECT_TRUE(logged) << run;
    EXPECT_EQ(summary["errors"].Int(), 1);

    const Json& clean = m["01-clean.eml"];
    EXPECT_EQ(clean["verdict"].str, "OK");
    EXPECT_EQ(clean["virusResult"].str, "VIRUS_NOT_CHECKED");
    EXPECT_FALSE(clean["modified"].b);
    EXPECT_FALSE(clean["headerChanged"].b);
    EXPECT_TRUE(clean["stamp"].items.empty());
    // No rule acted: the chain holds the set's default rule alone.
    ASSERT_EQ(clean["ruleChain"].Size(), 1u);
    EXPECT_TRUE(clean["ruleChain"][0]["default"].b);
    EXPECT_EQ(clean["ruleChain"][0]["action"].Int(), 11);
    EXPECT_EQ(ReadFile(Dir() / "mails" / "01-clean.eml"),
              ReadFile(ExampleMails() / "01-clean.eml"));

    // In text form the verdict names the bit; a clean mail alone exits 0.
    const RunResult text = Run({"check", "--flags", "all,-av", missing});
    EXPECT_EQ(text.status, 2);
    ExpectAll(text.out, {missing + ": ERROR (ERR_LOAD)\n"});
    EXPECT_EQ(Run({"check", "--flags", "all,-av", "mails/01-clean.eml"}).status, 0);
}

TEST_F(CliCheck, JobFlagsSwitchTheStagesOff) {
    const fs::path mails = CopyExamples();
    RunResult run;
    // Only the header check: attachments and keywords stay, the header rule acts.
    auto m = CheckJson({"--flags", "header", mails.string()}, run);
    ASSERT_EQ(m.size(), 7u) << run;
    EXPECT_EQ(m["03-exe-attachment.eml"]["verdict"].str, "OK");
    EXPECT_EQ(m["05-keyword-spam.eml"]["verdict"].str, "OK");
    EXPECT_EQ(m["07-encoded-subject.eml"]["status"].Strings(), Strings{"ST_HEADER_RULE"});
    ExpectAll(ReadFile(mails / "03-exe-attachment.eml"), {"setup.exe"});

    // A number works as well: 0x02 is the attachment filter alone.
    auto n = CheckJson({"--flags", "0x02", (mails / "03-exe-attachment.eml").string(),
                        (mails / "05-keyword-spam.eml").string()},
                       run);
    EXPECT_EQ(n["03-exe-attachment.eml"]["verdict"].str, "FILTERED") << run;
    EXPECT_EQ(n["05-keyword-spam.eml"]["verdict"].str, "OK") << run;
}

TEST_F(CliCheck, SpamListIsAnsweredAndRecorded) {
    const fs::path mails = CopyExamples();
    WriteFile(Dir() / "list.txt",
              "# listed senders\nalice@example.org 42\nspam.example 7\n"
              "@nothing.example\n");
    // With the engine on, as a mail server runs.
    RunResult run;
    auto m = CheckJson({"--spam-list", "list.txt", mails.string()}, run);
    ASSERT_EQ(m.size(), 7u) << run;
    const Json& alice = m["01-clean.eml"];
    EXPECT_EQ(alice["status"].Strings(), Strings{"ST_SPAM_LISTED"});
    EXPECT_EQ(alice["listValue"].Int(), 42);
    EXPECT_TRUE(alice["headerChanged"].b);
    EXPECT_EQ(alice["verdict"].str, "FILTERED");
    // frank@example.org is not listed.
    EXPECT_EQ(m["06-uuencoded-attachment.eml"]["statusBits"].Int() & 0x01, 0);
    // A header rule that matched switches the spam-list check off, although
    // spam.example is listed.
    EXPECT_EQ(m["07-encoded-subject.eml"]["status"].Strings(), Strings{"ST_HEADER_RULE"});
    EXPECT_EQ(m["07-encoded-subject.eml"]["listValue"].Int(), 0);
}

// Mistakes on the command line, in the set-up or in a named file: exit 2
// with the reason, and no mail is touched (the example mails stay as they
// were and no backup is made).
TEST_F(CliCheck, MistakesAreRefusedWithTheReasonBeforeAnyMail) {
    const fs::path mails = CopyExamples();
    WriteFile(Dir() / "bad-list.txt", "ok@example.org\nbad@example.org twelve\n");
    WriteFile(Dir() / "bad.conf", "StampLabel = fine\nBackupMode = often\n");
    WriteFile(Dir() / "half.conf",
              "[set default]\nrule exe = remove | | | attachment: *.exe\n"
              "rule bad = remove | | | no colon here\n[set header]\n");
    fs::create_directories(Dir() / "empty");
    struct Case {
        std::vector<std::string> args;
        std::string err;  // "" for none to look for
    };
    const Case cases[] = {
        {{}, "usage: mailward COMMAND"},
        {{"scan"}, "unknown command 'scan'"},
        {{"check", "--frobnicate", "x"}, "not expected: --frobnicate"},
        {{"check", "--set"}, "--set: 1 required NAME missing"},
        {{"check", "--timeout", "-3", "mails"}, "--timeout: Value -3 not in range"},
        // Options of another command are errors, not silently ignored.
        {{"decode-header", "--set", "X", "--config", "F", "=?us-ascii?q?a?="},
         "not expected: --config --set"},
        {{"rules", "extra"}, "not expected: extra"},
        {{"check"}, "no mail given"},
        {{"check", "empty"}, "no mail found"},
        {{"check", "--flags", "all,virus", "mails"}, "unknown flag 'virus'"},
        {{"check", "--flags", "0x04", "mails"}, ""},
        {{"check", "-l", "bad-list.txt", "mails"}, "bad-list.txt:2: value 'twelve' is no number"},
        {{"check", "--set", "nope", "mails"},
         "no rule set 'nope' in (embedded rules.conf) (its sets: default, header)"},
        {{"check", "--engine-mode", "delete", "mails"}, "use remove, rename, leave or a number"},
        {{"check", "-c", "bad.conf", "mails"}, "bad.conf:2:"},
        {{"check", "-O", "novalue", "mails"}, "-O needs KEY=VALUE"},
        {{"check", "--rules", "half.conf", "mails"}, "half.conf:3: bad rule text"},
        {{"check", "--rules", "nonexistent.conf", "mails"}, "nonexistent.conf: cannot be read"},
        {{"check-header", "nonexistent.eml"}, "nonexistent.eml: cannot be read"},
        {{"decode-header"}, ""},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& a : c.args)
            line += a + " ";
        SCOPED_TRACE(line);
        const RunResult r = Run(c.args);
        EXPECT_EQ(r.status, 2) << r;
        if (!c.err.empty())
            ExpectAll(r.err, {c.err});
        if (c.args.size() > 1 && c.args[0] == "check") {
            EXPECT_EQ(r.out, "") << r;
        }
    }
    for (const std::string& name : FilesBelow(mails))
        EXPECT_EQ(ReadFile(mails / name), ReadFile(ExampleMails() / name)) << name;
    EXPECT_FALSE(fs::exists(DataDir() / "origmail"));

    const RunResult help = Run({"check", "--help"});
    EXPECT_EQ(help.status, 0);
    ExpectAll(help.out, {"Exit status: 0 all clean, 1 something was found or changed, 2 errors."});
}

}  // namespace
}  // namespace clitest
