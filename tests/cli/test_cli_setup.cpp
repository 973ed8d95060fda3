/*
 * test_cli_setup.cpp - running with no set-up at all, with a configuration
 * file and host texts, finding the library, and logging by verbosity.
 */
#include "cli_test_util.h"

namespace clitest {
namespace {

class CliSetup : public CliTest {};

TEST_F(CliSetup, ConfigurationFileValuesAndHostTextsApply) {
    const fs::path mails = CopyExamples();
    fs::copy_file(SourceDir() / "share" / "examples" / "mailward.conf", Dir() / "mailward.conf");
    RunResult run;
    auto m = CheckJson({"-c", "mailward.conf", mails.string()}, run);
    ASSERT_EQ(m.size(), 7u) << run;
    // StampLabel, StampHost, SubjectMark and VirusMailMode (7: the virus
    // entry) of the example.
    EXPECT_EQ(m["01-clean.eml"]["stamp"][0].str,
              "checked by VaveRiz for example.org; host=mail.example.org");
    EXPECT_EQ(m["05-keyword-spam.eml"]["subject"].str, "***SPAM*** Cheap pills, today only");
    EXPECT_EQ(m["02-eicar-attachment.eml"]["antispam"].Strings(),
              Strings{"Virus:Mailward.Test.EICAR.UNOFFICIAL"});
    ExpectAll(ReadFile(mails / "02-eicar-attachment.eml"),
              {"X-ZANAntiSpam: Virus:Mailward.Test.EICAR.UNOFFICIAL\r\n"});
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

    // The texts the library asks its host for.
    WriteFile(Dir() / "texts.conf",
              "HostText.67 = Removed by the test filter.\nHostText.63 = gone.txt\n");
    const RunResult r = Run({"check", "-b", "-c", "texts.conf", "--flags", "all,-av",
                             (again / "03-exe-attachment.eml").string()});
    EXPECT_EQ(r.status, 1) << r;
    ExpectAll(ReadFile(again / "03-exe-attachment.eml"),
              {"Removed by the test filter.", "filename=\"gone.txt\""});
}

TEST_F(CliSetup, LibraryIsFoundOrTheErrorSaysWhere) {
    const RunResult wrong = Run({"rules", "--library", "/nonexistent/libmailward.so"});
    EXPECT_EQ(wrong.status, 2);
    ExpectAll(wrong.err,
              {"cannot load the mailward library", "/nonexistent/libmailward.so: no such file"});

    // A file that is no library.
    WriteFile(Dir() / "fake.so", "not a library");
    SetEnv("MAILWARD_LIBRARY", (Dir() / "fake.so").string());
    const RunResult fake = Run({"decode-header", "x"});
    EXPECT_EQ(fake.status, 2);
    ExpectAll(fake.err, {"fake.so:"});

    // The environment names the real one.
    SetEnv("MAILWARD_LIBRARY", std::string(MAILWARD_BINARY_DIR) + "/libmailward.so");
    EXPECT_EQ(Run({"decode-header", "x"}).status, 0);
}

// The embedded defaults (no set-up at all) are checked with the example
// mails in test_cli_check.cpp; here MAILWARD_DATA_DIR names the data folder.
TEST_F(CliSetup, VerbosityShowsInfoThenDebugLinesDataFolderFromTheEnvironment) {
    SetEnv("MAILWARD_DATA_DIR", (Dir() / "data").string());
    const std::string mail = "03-exe-attachment.eml";
    const RunResult quiet = Run({"check", "-b", (CopyExamples("q") / mail).string()});
    EXPECT_EQ(quiet.status, 1) << quiet;
    ExpectNone(quiet.err, {"[MAILCHECK]"});
    EXPECT_FALSE(BackupOf(Dir() / "data" / "origmail", mail).empty());
    EXPECT_FALSE(fs::exists(DataDir()));

    const RunResult info = Run({"check", "-b", "-v", (CopyExamples("i") / mail).string()});
    ExpectAll(info.err, {"info: [MAILCHECK] [OK] [SECUREMAIL] [3]",
                         "info: [MAILCHECK] [REMOVED] [setup.exe]"});
    ExpectNone(info.err, {"debug "});
    const RunResult debug = Run({"check", "-b", "-vv", (CopyExamples("d") / mail).string()});
    ExpectAll(debug.err, {"debug MAILWARD_Debug: CMailWard::OnPop() - callback",
                          "debug MAILWARD_Filter: CFilterProcessor::ProcessPart()",
                          "debug MAILWARD_AV: CSecurityProcessor::ProcessPart()"});
}

}  // namespace
}  // namespace clitest
