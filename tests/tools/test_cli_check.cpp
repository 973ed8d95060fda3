/*
 * test_cli_check.cpp - "mailward check" on the example mails, through the
 * real library and the real engine: what the report says and what the
 * rewritten mails hold.
 */
#include "cli_test_util.h"

namespace clitest {
namespace {

const char* const kEicarName = "Mailward.Test.EICAR.UNOFFICIAL";
const char* const kClamName = "Mailward.Test.ClamFile.UNOFFICIAL";

class CliCheck : public CliTest {};

TEST_F(CliCheck, ExampleMailsGiveTheirVerdictsAndExitOne) {
    const fs::path mails = CopyExamples();
    RunResult run;
    Json summary;
    auto m = CheckJson({mails.string()}, run, &summary);
    ASSERT_EQ(m.size(), 7u) << run;
    EXPECT_EQ(run.status, 1) << run;  // found or changed, no error

    EXPECT_EQ(m["01-clean.eml"]["verdict"].str, "OK");
    EXPECT_EQ(m["02-eicar-attachment.eml"]["verdict"].str, "FOUND");
    EXPECT_EQ(m["03-exe-attachment.eml"]["verdict"].str, "FILTERED");
    EXPECT_EQ(m["04-clam-zip.eml"]["verdict"].str, "FOUND");
    EXPECT_EQ(m["05-keyword-spam.eml"]["verdict"].str, "FILTERED");
    EXPECT_EQ(m["06-uuencoded-attachment.eml"]["verdict"].str, "FILTERED");
    EXPECT_EQ(m["07-encoded-subject.eml"]["verdict"].str, "FILTERED");
    for (const auto& [name, mail] : m) {
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
}

TEST_F(CliCheck, VirusMailIsReplacedWholeByTheNotice) {
    const fs::path mails = CopyExamples();
    RunResult run;
    auto m = CheckJson(
        {(mails / "02-eicar-attachment.eml").string(), (mails / "04-clam-zip.eml").string()}, run);
    ASSERT_EQ(m.size(), 2u) << run;

    const Json& eicar = m["02-eicar-attachment.eml"];
    EXPECT_EQ(eicar["virusResult"].str, "VIRUS_FOUND");
    EXPECT_EQ(eicar["virusNames"].Strings(), std::vector<std::string>{kEicarName});
    const Json& whole = PartNamed(eicar, "mail");
    ASSERT_FALSE(whole.IsNull()) << run;
    EXPECT_TRUE(whole["wholeMail"].b);
    EXPECT_EQ(whole["virusName"].str, kEicarName);
    EXPECT_TRUE(Contains(whole["engineVersion"].str, "ClamAV"));

    const std::string text = ReadFile(mails / "02-eicar-attachment.eml");
    EXPECT_FALSE(Contains(text, "EICAR-STANDARD")) << text;
    EXPECT_FALSE(Contains(text, "WDVPIVAlQEFQWzRcUFpYNTQoUF4pN0")) << text;  // its base64
    EXPECT_TRUE(Contains(text, "replaced by this notice")) << text;
    EXPECT_TRUE(Contains(text, std::string("Virus found:     ") + kEicarName)) << text;
    EXPECT_TRUE(Contains(text, "Subject: The file you asked for\r\n")) << text;
    EXPECT_TRUE(Contains(text, "X-VaveRiz4Zan: checked by VaveRiz for mailward")) << text;
    EXPECT_FALSE(Contains(text, "multipart/mixed")) << text;

    EXPECT_EQ(m["04-clam-zip.eml"]["virusNames"].Strings(), std::vector<std::string>{kClamName});
    EXPECT_TRUE(Contains(ReadFile(mails / "04-clam-zip.eml"),
                         std::string("Virus found:     ") + kClamName));
}

TEST_F(CliCheck, ExecutableAttachmentsAreRemovedAndNoticed) {
    const fs::path mails = CopyExamples();
    RunResult run;
    auto m = CheckJson({(mails / "03-exe-attachment.eml").string(),
                        (mails / "06-uuencoded-attachment.eml").string()},
                       run);
    ASSERT_EQ(m.size(), 2u) << run;

    for (const char* file : {"03-exe-attachment.eml", "06-uuencoded-attachment.eml"}) {
        const Json& mail = m[file];
        EXPECT_TRUE(mail["modified"].b) << file;
        EXPECT_EQ(RuleNames(mail["rulesActed"]), std::vector<std::string>{"executables"}) << file;
        EXPECT_EQ(mail["rulesActed"][0]["action"].Int(), 9) << file;
    }
    const Json& setup = PartNamed(m["03-exe-attachment.eml"], "setup.exe");
    EXPECT_EQ(setup["action"].Int(), 32);
    EXPECT_EQ(setup["actionName"].str, "removed");
    EXPECT_EQ(setup["virusResult"].str, "VIRUS_CLEAN");
    EXPECT_EQ(RuleNames(setup["rules"]), std::vector<std::string>{"executables"});
    // The other parts are untouched.
    EXPECT_EQ(PartNamed(m["03-exe-attachment.eml"], "text/plain")["action"].Int(), 0);
    EXPECT_EQ(PartNamed(m["06-uuencoded-attachment.eml"], "tool.exe")["action"].Int(), 32);

    const std::string exe = ReadFile(mails / "03-exe-attachment.eml");
    EXPECT_TRUE(Contains(exe, "An attachment of this message was removed.")) << exe;
    EXPECT_TRUE(Contains(exe, "Name: setup.exe")) << exe;
    EXPECT_TRUE(Contains(exe, "filename=\"removed-attachment.txt\"")) << exe;
    EXPECT_FALSE(Contains(exe, "VGhpcyBpcyBub3QgcmVhbGx5")) << exe;  // the old base64
    EXPECT_TRUE(Contains(exe, "Gr=C3=BC=C3=9Fe, Dave")) << exe;      // body part kept

    const std::string uu = ReadFile(mails / "06-uuencoded-attachment.eml");
    EXPECT_FALSE(Contains(uu, "begin 644 tool.exe")) << uu;
    EXPECT_TRUE(Contains(uu, "Name: tool.exe")) << uu;
    EXPECT_TRUE(Contains(uu, "my old mail program")) << uu;
}

TEST_F(CliCheck, KeywordAndHeaderRulesMarkSubjectAndAddAntiSpamEntries) {
    const fs::path mails = CopyExamples();
    RunResult run;
    auto m = CheckJson(
        {(mails / "05-keyword-spam.eml").string(), (mails / "07-encoded-subject.eml").string()},
        run);
    ASSERT_EQ(m.size(), 2u) << run;

    const Json& spam = m["05-keyword-spam.eml"];
    EXPECT_EQ(spam["status"].Strings(), std::vector<std::string>{"ST_PART_RULE"});
    EXPECT_EQ(spam["antispam"].Strings(), std::vector<std::string>{"Schluesselwoerter:  viagra"});
    EXPECT_EQ(spam["subject"].str, "[SPAM] Cheap pills, today only");
    EXPECT_EQ(PartNamed(spam, "text/plain")["actionName"].str, "keyword");
    const std::string spamText = ReadFile(mails / "05-keyword-spam.eml");
    EXPECT_TRUE(Contains(spamText, "Subject: [SPAM] Cheap pills, today only\r\n")) << spamText;
    EXPECT_TRUE(Contains(spamText, "X-ZANAntiSpam: Schluesselwoerter:  viagra\r\n")) << spamText;
    EXPECT_TRUE(Contains(spamText, "buy viagra now")) << spamText;  // the body stays

    const Json& news = m["07-encoded-subject.eml"];
    EXPECT_EQ(news["status"].Strings(), std::vector<std::string>{"ST_HEADER_RULE"});
    EXPECT_EQ(RuleNames(news["headerRules"]), std::vector<std::string>{"spam-example"});
    EXPECT_EQ(news["antispam"].Strings(), std::vector<std::string>{"spam-example: *@spam.example"});
    EXPECT_EQ(news["subjectDecoded"].str,
              "[SPAM] Sp\xC3\xA9"
              "cial offer f\xC3\xBCr you");
    const std::string newsText = ReadFile(mails / "07-encoded-subject.eml");
    EXPECT_TRUE(Contains(newsText, "X-ZANAntiSpam: spam-example: *@spam.example\r\n")) << newsText;
    EXPECT_TRUE(Contains(newsText, "Subject: [SPAM] =?UTF-8?Q?Sp=C3=A9cial_offer_f=C3=BCr_you?="))
        << newsText;
}

TEST_F(CliCheck, TextReportShowsVerdictsAndPartTable) {
    const fs::path mails = CopyExamples();
    const RunResult r = Run({"check", "mails"});
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_TRUE(Contains(r.out, "mails/01-clean.eml: OK\n")) << r;
    EXPECT_TRUE(
        Contains(r.out, std::string("mails/02-eicar-attachment.eml: ") + kEicarName + " FOUND\n"))
        << r;
    EXPECT_TRUE(Contains(r.out, "mails/03-exe-attachment.eml: FILTERED\n")) << r;
    // The part table: number, name, action, virus, moved to, rules.
    EXPECT_TRUE(Contains(r.out, "3  setup.exe        removed  clean  -         executables")) << r;
    EXPECT_TRUE(Contains(r.out, "rules    executables (remove 9)")) << r;
    EXPECT_TRUE(Contains(r.out, "written  in place: parts changed, mail rebuilt\n")) << r;
    EXPECT_TRUE(Contains(r.out, "written  in place: the mail was replaced by a virus notice\n"))
        << r;
    EXPECT_TRUE(Contains(r.out, "written  in place: header changed\n")) << r;  // stamp only
    EXPECT_TRUE(Contains(r.out, "antispam  Schluesselwoerter:  viagra")) << r;
    EXPECT_TRUE(Contains(r.out, "Mails checked:  7")) << r;
    EXPECT_TRUE(Contains(r.out, "Viruses found:  2")) << r;
    EXPECT_EQ(r.err, "") << r;  // no error line for a good run

    // --brief: only the verdict lines and the summary.
    CopyExamples("again");
    const RunResult brief = Run({"check", "--brief", "again/01-clean.eml"});
    EXPECT_EQ(brief.status, 0) << brief;
    EXPECT_TRUE(Contains(brief.out, "again/01-clean.eml: OK\n")) << brief;
    EXPECT_FALSE(Contains(brief.out, "result")) << brief;
}

TEST_F(CliCheck, MissingMailGivesOpeningFileLineLoadErrorAndCallback) {
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
    EXPECT_EQ(mail["errors"].Strings(), std::vector<std::string>{"ERR_LOAD"});
    const std::string line = "[MAILCHECK] [ERROR] [opening file " + missing + "]";
    EXPECT_TRUE(Contains(run.err, "error: " + line + "\n")) << run;
    bool logged = false;
    for (const Json& l : mail["log"].items)
        logged |= l["level"].str == "info" && l["line"].str == line;
    EXPECT_TRUE(logged) << run;
    // The next mail is checked as usual.
    EXPECT_EQ(m["01-clean.eml"]["verdict"].str, "OK");
    EXPECT_EQ(summary["errors"].Int(), 1);

    // In text form the verdict names the bit.
    const RunResult text = Run({"check", "--flags", "all,-av", missing});
    EXPECT_EQ(text.status, 2);
    EXPECT_TRUE(Contains(text.out, missing + ": ERROR (ERR_LOAD)\n")) << text;
}

TEST_F(CliCheck, CleanMailWithoutEngineIsLeftAsItWasAndExitsZero) {
    const fs::path mails = CopyExamples();
    const std::string before = ReadFile(mails / "01-clean.eml");
    RunResult run;
    auto m = CheckJson({"--flags", "all,-av", (mails / "01-clean.eml").string()}, run);
    EXPECT_EQ(run.status, 0) << run;
    const Json& mail = m["01-clean.eml"];
    EXPECT_EQ(mail["virusResult"].str, "VIRUS_NOT_CHECKED");
    EXPECT_FALSE(mail["modified"].b);
    EXPECT_FALSE(mail["headerChanged"].b);
    EXPECT_TRUE(mail["stamp"].items.empty());
    // No rule acted: the chain holds the set's default rule alone.
    ASSERT_EQ(mail["ruleChain"].Size(), 1u);
    EXPECT_TRUE(mail["ruleChain"][0]["default"].b);
    EXPECT_EQ(mail["ruleChain"][0]["action"].Int(), 11);
    EXPECT_EQ(ReadFile(mails / "01-clean.eml"), before);
}

TEST_F(CliCheck, JobFlagsSwitchTheStagesOff) {
    const fs::path mails = CopyExamples();
    RunResult run;
    // Only the header check: attachments and keywords stay, the header rule acts.
    auto m = CheckJson({"--flags", "header", mails.string()}, run);
    ASSERT_EQ(m.size(), 7u) << run;
    EXPECT_EQ(m["03-exe-attachment.eml"]["verdict"].str, "OK");
    EXPECT_EQ(m["05-keyword-spam.eml"]["verdict"].str, "OK");
    EXPECT_EQ(m["07-encoded-subject.eml"]["status"].Strings(),
              std::vector<std::string>{"ST_HEADER_RULE"});
    EXPECT_TRUE(Contains(ReadFile(mails / "03-exe-attachment.eml"), "setup.exe"));

    // A number works as well: 0x02 is the attachment filter alone.
    const fs::path again = CopyExamples("again");
    auto n = CheckJson({"--flags", "0x02", (again / "03-exe-attachment.eml").string(),
                        (again / "05-keyword-spam.eml").string()},
                       run);
    EXPECT_EQ(n["03-exe-attachment.eml"]["verdict"].str, "FILTERED") << run;
    EXPECT_EQ(n["05-keyword-spam.eml"]["verdict"].str, "OK") << run;

    const RunResult bad = Run({"check", "--flags", "all,virus", "mails"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_TRUE(Contains(bad.err, "unknown flag 'virus'")) << bad;
    const RunResult badNumber = Run({"check", "--flags", "0x04", "mails"});
    EXPECT_EQ(badNumber.status, 2) << badNumber;
}

TEST_F(CliCheck, SpamListIsAnsweredAndRecorded) {
    const fs::path mails = CopyExamples();
    WriteFile(Dir() / "list.txt",
              "# listed senders\n"
              "alice@example.org 42\n"
              "spam.example 7\n"
              "@nothing.example\n");
    // With the engine on, as a mail server runs: the stamp makes every
    // header grow. A spam-list hit alone changes no header line, and the
    // library's in-place header rewrite refuses a header block that did not
    // grow (ERR_SAVE), so a run without the engine would test that instead.
    RunResult run;
    auto m = CheckJson({"--spam-list", "list.txt", mails.string()}, run);
    ASSERT_EQ(m.size(), 7u) << run;

    const Json& alice = m["01-clean.eml"];
    EXPECT_EQ(alice["status"].Strings(), std::vector<std::string>{"ST_SPAM_LISTED"});
    EXPECT_EQ(alice["listValue"].Int(), 42);
    EXPECT_TRUE(alice["headerChanged"].b);
    EXPECT_EQ(alice["verdict"].str, "FILTERED");
    // frank@example.org is not listed.
    EXPECT_EQ(m["06-uuencoded-attachment.eml"]["statusBits"].Int() & 0x01, 0);
    // A header rule that matched switches the spam-list check off, although
    // spam.example is listed.
    EXPECT_EQ(m["07-encoded-subject.eml"]["status"].Strings(),
              std::vector<std::string>{"ST_HEADER_RULE"});
    EXPECT_EQ(m["07-encoded-subject.eml"]["listValue"].Int(), 0);

    WriteFile(Dir() / "bad.txt", "ok@example.org\nbad@example.org twelve\n");
    const RunResult bad = Run({"check", "-l", "bad.txt", mails.string()});
    EXPECT_EQ(bad.status, 2);
    EXPECT_TRUE(Contains(bad.err, "bad.txt:2: value 'twelve' is no number")) << bad;
}

TEST_F(CliCheck, VirusMailModeSevenAddsTheVirusEntry) {
    const fs::path mails = CopyExamples();
    RunResult run;
    auto m =
        CheckJson({"-O", "VirusMailMode=7", (mails / "02-eicar-attachment.eml").string()}, run);
    ASSERT_EQ(m.size(), 1u) << run;
    EXPECT_EQ(m["02-eicar-attachment.eml"]["antispam"].Strings(),
              std::vector<std::string>{std::string("Virus:") + kEicarName});
    EXPECT_TRUE(Contains(ReadFile(mails / "02-eicar-attachment.eml"),
                         std::string("X-ZANAntiSpam: Virus:") + kEicarName + "\r\n"));
}

TEST_F(CliCheck, UnknownRuleSetOrEngineModeIsRefusedBeforeAnyMail) {
    const fs::path mails = CopyExamples();
    const std::string before = ReadFile(mails / "03-exe-attachment.eml");
    const RunResult r = Run({"check", "--set", "nope", mails.string()});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(Contains(r.err,
                         "no rule set 'nope' in (embedded rules.conf) (its sets: "
                         "default, header)"))
        << r;
    EXPECT_EQ(r.out, "");
    const RunResult h = Run({"check", "-H", "nope", mails.string()});
    EXPECT_EQ(h.status, 2);
    const RunResult e = Run({"check", "--engine-mode", "delete", mails.string()});
    EXPECT_EQ(e.status, 2);
    EXPECT_TRUE(Contains(e.err, "use remove, rename, leave or a number")) << e;
    EXPECT_EQ(ReadFile(mails / "03-exe-attachment.eml"), before);
}

}  // namespace
}  // namespace clitest
