/*
 * test_cli_setup.cpp - running with no set-up at all, with a configuration
 * file, finding the library, logging by verbosity, and the command line.
 */
#include "cli_test_util.h"

namespace clitest {
namespace {

class CliSetup : public CliTest {};

TEST_F(CliSetup, NoSetUpUsesTheEmbeddedDefaults) {
    const fs::path mails = CopyExamples();
    RunResult run;
    auto m = CheckJson({(mails / "02-eicar-attachment.eml").string()}, run);
    ASSERT_EQ(m.size(), 1u) << run;
    // The shipped signatures found the test virus, the shipped template
    // made the notice, the data folder was made below XDG_STATE_HOME with
    // the backup kept and an empty scan folder.
    EXPECT_EQ(m["02-eicar-attachment.eml"]["verdict"].str, "FOUND");
    EXPECT_TRUE(Contains(ReadFile(mails / "02-eicar-attachment.eml"), "Checked with:    ClamAV"));
    EXPECT_EQ(FilesBelow(DataDir()), std::vector<std::string>{"origmail/02-eicar-attachment.eml"});
    EXPECT_TRUE(fs::is_directory(DataDir() / "tmp"));

    // MAILWARD_DATA_DIR names the data folder directly.
    SetEnv("MAILWARD_DATA_DIR", (Dir() / "data").string());
    const fs::path again = CopyExamples("again");
    const RunResult r = Run({"check", "-b", (again / "01-clean.eml").string()});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_TRUE(fs::exists(Dir() / "data" / "origmail" / "01-clean.eml"));
}

TEST_F(CliSetup, ConfigurationFileAndValuesApply) {
    const fs::path mails = CopyExamples();
    fs::copy_file(SourceDir() / "examples" / "mailward.conf", Dir() / "mailward.conf");
    RunResult run;
    auto m = CheckJson({"-c", "mailward.conf", mails.string()}, run);
    ASSERT_EQ(m.size(), 7u) << run;
    // StampLabel, StampHost, SubjectMark and VirusMailMode of the example.
    EXPECT_EQ(m["01-clean.eml"]["stamp"][0].str,
              "checked by VaveRiz for example.org; host=mail.example.org");
    EXPECT_EQ(m["05-keyword-spam.eml"]["subject"].str, "***SPAM*** Cheap pills, today only");
    EXPECT_EQ(m["02-eicar-attachment.eml"]["antispam"].Strings(),
              std::vector<std::string>{"Virus:Mailward.Test.EICAR.UNOFFICIAL"});
    // DataDir is relative to the current folder; BackupMode 1 keeps the
    // backups of changed mails (with the engine's stamp, every mail).
    EXPECT_EQ(FilesBelow(Dir() / "mailward-data" / "origmail").size(), 7u);
    EXPECT_FALSE(fs::exists(DataDir()));

    // -O comes after the file.
    const fs::path again = CopyExamples("again");
    m = CheckJson({"-c", "mailward.conf", "-O", "StampLabel=override.example",
                   (again / "01-clean.eml").string()},
                  run);
    EXPECT_EQ(m["01-clean.eml"]["stamp"][0].str,
              "checked by VaveRiz for override.example; host=mail.example.org");

    WriteFile(Dir() / "bad.conf", "StampLabel = fine\nBackupMode = often\n");
    const RunResult bad = Run({"check", "-c", "bad.conf", again.string()});
    EXPECT_EQ(bad.status, 2);
    EXPECT_TRUE(Contains(bad.err, "bad.conf:2:")) << bad;
    const RunResult badValue = Run({"check", "-O", "novalue", again.string()});
    EXPECT_EQ(badValue.status, 2);
    EXPECT_TRUE(Contains(badValue.err, "-O needs KEY=VALUE")) << badValue;
}

TEST_F(CliSetup, HostTextsComeFromTheConfiguration) {
    const fs::path mails = CopyExamples();
    WriteFile(Dir() / "texts.conf",
              "HostText.67 = Removed by the test filter.\n"
              "HostText.63 = gone.txt\n");
    const RunResult r = Run({"check", "-b", "-c", "texts.conf", "--flags", "all,-av",
                             (mails / "03-exe-attachment.eml").string()});
    EXPECT_EQ(r.status, 1) << r;
    const std::string text = ReadFile(mails / "03-exe-attachment.eml");
    EXPECT_TRUE(Contains(text, "Removed by the test filter.")) << text;
    EXPECT_TRUE(Contains(text, "filename=\"gone.txt\"")) << text;
}

TEST_F(CliSetup, LibraryIsFoundOrTheErrorSaysWhere) {
    const RunResult wrong = Run({"rules", "--library", "/nonexistent/libmailward.so"});
    EXPECT_EQ(wrong.status, 2);
    EXPECT_TRUE(Contains(wrong.err, "cannot load the mailward library")) << wrong;
    EXPECT_TRUE(Contains(wrong.err, "/nonexistent/libmailward.so: no such file")) << wrong;

    // A file that is no library.
    WriteFile(Dir() / "fake.so", "not a library");
    SetEnv("MAILWARD_LIBRARY", (Dir() / "fake.so").string());
    const RunResult fake = Run({"decode-header", "x"});
    EXPECT_EQ(fake.status, 2);
    EXPECT_TRUE(Contains(fake.err, "fake.so:")) << fake;

    // The environment names the real one.
    SetEnv("MAILWARD_LIBRARY", std::string(MAILWARD_BINARY_DIR) + "/libmailward.so");
    const RunResult real = Run({"decode-header", "x"});
    EXPECT_EQ(real.status, 0) << real;
}

TEST_F(CliSetup, VerbosityShowsInfoThenDebugLines) {
    const fs::path mails = CopyExamples();
    const RunResult quiet = Run({"check", "-b", (mails / "03-exe-attachment.eml").string()});
    EXPECT_FALSE(Contains(quiet.err, "[MAILCHECK]")) << quiet;

    const fs::path v1 = CopyExamples("v1");
    const RunResult info = Run({"check", "-b", "-v", (v1 / "03-exe-attachment.eml").string()});
    EXPECT_TRUE(Contains(info.err, "info: [MAILCHECK] [OK] [SECUREMAIL] [3]")) << info;
    EXPECT_TRUE(Contains(info.err, "info: [MAILCHECK] [REMOVED] [setup.exe]")) << info;
    EXPECT_FALSE(Contains(info.err, "debug ")) << info;

    const fs::path v2 = CopyExamples("v2");
    const RunResult debug = Run({"check", "-b", "-vv", (v2 / "03-exe-attachment.eml").string()});
    EXPECT_TRUE(Contains(debug.err, "debug MAILWARD_Debug: CMailWard::OnPop() - callback"))
        << debug;
    EXPECT_TRUE(Contains(debug.err, "debug MAILWARD_Filter: CFilterProcessor::ProcessPart()"))
        << debug;
    EXPECT_TRUE(Contains(debug.err, "debug MAILWARD_AV: CSecurityProcessor::ProcessPart()"))
        << debug;
}

TEST_F(CliSetup, CommandLineMistakesExitTwoWithUsage) {
    const RunResult none = Run({});
    EXPECT_EQ(none.status, 2);
    EXPECT_TRUE(Contains(none.err, "usage: mailward COMMAND")) << none;
    const RunResult unknown = Run({"scan"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_TRUE(Contains(unknown.err, "unknown command 'scan'")) << unknown;
    const RunResult option = Run({"check", "--frobnicate", "x"});
    EXPECT_EQ(option.status, 2);
    EXPECT_TRUE(Contains(option.err, "unknown option --frobnicate")) << option;
    const RunResult value = Run({"check", "--set"});
    EXPECT_EQ(value.status, 2);
    EXPECT_TRUE(Contains(value.err, "option --set needs a value")) << value;
    const RunResult noMail = Run({"check"});
    EXPECT_EQ(noMail.status, 2);
    EXPECT_TRUE(Contains(noMail.err, "no mail given")) << noMail;
    const RunResult help = Run({"check", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(Contains(help.out,
                         "Exit status: 0 all clean, 1 something was found or changed, "
                         "2 errors."))
        << help;
}

}  // namespace
}  // namespace clitest
