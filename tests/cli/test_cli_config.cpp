/*
 * test_cli_config.cpp - "mailward config check" and "mailward-milter
 * --check-config": a configuration with a typo refused with its line, the
 * configuration in force printed with where each value came from, and that
 * print read back as a configuration of its own; --version of both
 * programs.
 */
#include "cli_test_util.h"

namespace clitest {
namespace {

class CliConfig : public CliTest {
  protected:
    static std::string Milter() { return std::string(MAILWARD_BINARY_DIR) + "/mailward-milter"; }

    // The milter with `args` (skipped where it is not built).
    RunResult RunMilter(const Strings& args) {
        std::string command = ShellQuote(Milter());
        for (const std::string& a : args)
            command += " " + ShellQuote(a);
        return Run({}, "", command);
    }

    // The line of `key` in a configuration print with the origin line
    // above it ("" when none).
    static std::string LineOf(const std::string& print, const std::string& key) {
        std::istringstream in(print);
        std::string above;
        for (std::string line; std::getline(in, line); above = line) {
            if (line.rfind(key + " = ", 0) == 0)
                return line + "\n" + above;
            if (line.rfind("# " + key + " ", 0) == 0)
                return line;
        }
        return "";
    }
    // The value part of LineOf.
    static std::string ValueLine(const std::string& print, const std::string& key) {
        const std::string line = LineOf(print, key);
        return line.substr(0, line.find('\n'));
    }
};

TEST_F(CliConfig, TyposAreRefusedWithTheirLineAndTheKeyMeant) {
    WriteFile(Dir() / "typo.conf",
              "StampLabel = example.org\n"
              "BakupMode = 2\n"
              "Milter.OnVirs = reject\n");
    const RunResult r = Run({"config", "check", "-c", "typo.conf"});
    EXPECT_EQ(r.status, 2) << r;
    ExpectAll(r.err, {"typo.conf:2: unknown key 'BakupMode' (did you mean 'BackupMode'?)",
                      "typo.conf:3: unknown key 'Milter.OnVirs' (did you mean 'Milter.OnVirus'?)"});
    EXPECT_EQ(r.out, "");

    // A check of mail refuses the file the same way, before any mail.
    const fs::path mails = CopyExamples();
    const std::string before = ReadFile(mails / "03-exe-attachment.eml");
    const RunResult check = Run({"check", "-c", "typo.conf", mails.string()});
    EXPECT_EQ(check.status, 2) << check;
    ExpectAll(check.err, {"typo.conf:2: unknown key 'BakupMode'"});
    EXPECT_EQ(ReadFile(mails / "03-exe-attachment.eml"), before);

    // A value out of its key's range, and a -O key nobody knows.
    WriteFile(Dir() / "range.conf", "Milter.Timeout = 0\nFlushMails = 2\n");
    ExpectAll(Run({"config", "check", "-c", "range.conf"}).err,
              {"range.conf:1: Milter.Timeout = '0': a whole number from 1 to 86400"});
    ExpectAll(Run({"config", "check", "-O", "StampLable=x"}).err,
              {"-O: unknown key 'StampLable' (did you mean 'StampLabel'?)"});
    WriteFile(Dir() / "range.conf", "FlushMails = 2\n");
    ExpectAll(Run({"config", "check", "-c", "range.conf"}).err,
              {"range.conf:1: FlushMails: value out of range (0 to 1)"});
}

TEST_F(CliConfig, PrintsEveryKeyWithItsOriginAndReadsItsPrintBack) {
    WriteFile(Dir() / "site.conf",
              "# the site's file\n"
              "StampLabel = \" spaced label \"\n"
              "SubjectMark = [JUNK]\n"
              "Milter.OnVirus = reject\n"
              "Milter.RuleSetFor.lab.example.org = header\n");
    const RunResult r =
        Run({"config", "check", "-c", "site.conf", "-O", "SubjectMark=[X]", "-O", "BackupMode=0"});
    ASSERT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "");
    const std::string site = "site.conf";
    ExpectAll(LineOf(r.out, "StampLabel"), {"StampLabel = \" spaced label \"", "# site.conf:2"});
    ExpectAll(LineOf(r.out, "SubjectMark"), {"SubjectMark = [X]", "# -O"});
    ExpectAll(LineOf(r.out, "BackupMode"), {"BackupMode = 0", "# -O"});
    ExpectAll(LineOf(r.out, "VirusMailMode"), {"VirusMailMode = 0", "# default"});
    ExpectAll(LineOf(r.out, "DataDir"), {"# the program's default"});
    ExpectAll(LineOf(r.out, "StampHost"), {"# StampHost has no value"});
    // The mailward program does not read the milter's keys; the milter's
    // check prints them.
    EXPECT_EQ(LineOf(r.out, "Milter.OnVirus"), "");

    // The print is a configuration file that gives the same print.
    WriteFile(Dir() / "print.conf", r.out);
    const RunResult again = Run({"config", "check", "-c", "print.conf"});
    ASSERT_EQ(again.status, 0) << again;
    for (const char* key :
         {"StampLabel", "SubjectMark", "BackupMode", "VirusMailMode", "DataDir"}) {
        EXPECT_NE(ValueLine(r.out, key), "") << key;
        EXPECT_EQ(ValueLine(r.out, key), ValueLine(again.out, key)) << key;
    }

    if (!fs::exists(Milter()))
        GTEST_SKIP() << "mailward-milter is not built";
    const RunResult m = RunMilter({"--check-config", "-c", (Dir() / site).string()});
    ASSERT_EQ(m.status, 0) << m;
    ExpectAll(LineOf(m.out, "Milter.OnVirus"), {"Milter.OnVirus = reject", "site.conf:4"});
    ExpectAll(LineOf(m.out, "Milter.RuleSetFor.lab.example.org"),
              {"Milter.RuleSetFor.lab.example.org = header", "site.conf:5"});
    ExpectAll(LineOf(m.out, "Milter.OnParseError"), {"Milter.OnParseError = reject", "# default"});
    ExpectAll(LineOf(m.out, "Milter.Processes"), {"# Milter.Processes has no value"});
}

TEST_F(CliConfig, MilterCheckNamesRuleSetsTheRulesFileLacks) {
    if (!fs::exists(Milter()))
        GTEST_SKIP() << "mailward-milter is not built";
    WriteFile(Dir() / "sets.conf", "Milter.RuleSetFor.lab.example.org = nosuchset\n");
    const RunResult r = RunMilter({"--check-config", "-c", (Dir() / "sets.conf").string()});
    EXPECT_EQ(r.status, 2) << r;
    ExpectAll(r.err, {"nosuchset"});
    EXPECT_EQ(r.out, "");

    WriteFile(Dir() / "typo.conf", "Milter.OnToBig = accept\n");
    const RunResult typo = RunMilter({"--check-config", "-c", (Dir() / "typo.conf").string()});
    EXPECT_EQ(typo.status, 2) << typo;
    ExpectAll(typo.err, {"typo.conf:1: unknown key 'Milter.OnToBig' (did you mean "
                         "'Milter.OnTooBig'?)"});
}

// Reply texts and the notice's template are checked as the other values:
// an unknown placeholder with the line it stands on.
TEST_F(CliConfig, MilterCheckRefusesUnknownPlaceholdersWithTheirLine) {
    if (!fs::exists(Milter()))
        GTEST_SKIP() << "mailward-milter is not built";
    WriteFile(Dir() / "reply.conf",
              "Milter.OnVirus = reject\n"
              "Milter.ReplyVirus = \"refused: %{virusname}\"\n");
    const RunResult r = RunMilter({"--check-config", "-c", (Dir() / "reply.conf").string()});
    EXPECT_EQ(r.status, 2) << r;
    ExpectAll(r.err, {"reply.conf:2: Milter.ReplyVirus = 'refused: %{virusname}': unknown "
                      "placeholder %{virusname}"});

    WriteFile(Dir() / "notice.txt", "Subject: %{verdict}\n\nfrom %{sender}\nto %{who}\n");
    WriteFile(Dir() / "notice.conf",
              "Milter.NoticeTo = postmaster@example.org\n"
              "Milter.NoticeTemplate = " +
                  (Dir() / "notice.txt").string() + "\n");
    const RunResult n = RunMilter({"--check-config", "-c", (Dir() / "notice.conf").string()});
    EXPECT_EQ(n.status, 2) << n;
    ExpectAll(n.err, {"notice.txt:4: unknown placeholder %{who}"});

    WriteFile(Dir() / "notice.txt", "Subject: %{verdict}\n\nfrom %{sender}\n");
    const RunResult good = RunMilter({"--check-config", "-c", (Dir() / "notice.conf").string()});
    EXPECT_EQ(good.status, 0) << good;
    ExpectAll(good.out, {"Milter.NoticeTo = postmaster@example.org"});
}

TEST_F(CliConfig, BothProgramsTellTheirVersion) {
    const RunResult cli = Run({"--version"});
    EXPECT_EQ(cli.status, 0) << cli;
    EXPECT_EQ(cli.out, "mailward " MAILWARD_VERSION "\n");
    if (!fs::exists(Milter()))
        GTEST_SKIP() << "mailward-milter is not built";
    const RunResult milter = RunMilter({"--version"});
    EXPECT_EQ(milter.status, 0) << milter;
    EXPECT_EQ(milter.out, "mailward-milter " MAILWARD_VERSION "\n");
}

}  // namespace
}  // namespace clitest
