/*
 * test_cli_files.cpp - the files a check leaves: backups by BackupMode,
 * mails written to an output folder, parts moved into a folder, Maildir
 * and folder arguments.
 */
#include "cli_test_util.h"

#include <cctype>

namespace clitest {
namespace {

class CliFiles : public CliTest {};

// Reads a quoted-printable notice back: soft breaks go, "=XX" becomes its
// byte. Where the writer breaks a line (and so which bytes it escapes)
// depends on the length of the paths in the text, so tests compare decoded
// text.
std::string QuotedPrintableDecoded(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '=') {
            out += text[i];
        } else if (text.compare(i + 1, 2, "\r\n") == 0) {
            i += 2;
        } else if (text.compare(i + 1, 1, "\n") == 0) {
            i += 1;
        } else if (i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

TEST_F(CliFiles, BackupModeDecidesWhichBackupsStay) {
    const fs::path origmail = DataDir() / "origmail";
    // 0: no backup at all.
    fs::path mails = CopyExamples("m0");
    RunResult r = Run({"check", "-b", "-O", "BackupMode=0", mails.string()});
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_TRUE(FilesBelow(origmail).empty());

    // 1: temporary backups; the unchanged mail's is deleted, the changed
    // mail's stays (without the engine nothing stamps the clean mail).
    mails = CopyExamples("m1");
    r = Run({"check", "-b", "-O", "BackupMode=1", "--flags", "all,-av",
             (mails / "01-clean.eml").string(), (mails / "03-exe-attachment.eml").string()});
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(BackupNames(origmail), Strings{"03-exe-attachment.eml"});
    // The backup is the mail as it came, with its attachment.
    EXPECT_EQ(ReadFile(BackupOf(origmail, "03-exe-attachment.eml")),
              ReadFile(ExampleMails() / "03-exe-attachment.eml"));
    fs::remove_all(origmail);

    // The embedded default keeps every backup.
    mails = CopyExamples("m2");
    r = Run({"check", "-b", "--flags", "all,-av", (mails / "01-clean.eml").string(),
             (mails / "03-exe-attachment.eml").string()});
    EXPECT_EQ(BackupNames(origmail), (Strings{"01-clean.eml", "03-exe-attachment.eml"})) << r;
    EXPECT_EQ(ReadFile(BackupOf(origmail, "01-clean.eml")),
              ReadFile(ExampleMails() / "01-clean.eml"));
}

TEST_F(CliFiles, OutputFolderReceivesTheCheckedMailsOnePerName) {
    const fs::path mails = CopyExamples();
    const fs::path out = Dir() / "out";
    RunResult run;
    auto m = CheckJson({"--output", out.string(), mails.string()}, run);
    ASSERT_EQ(m.size(), 7u) << run;
    EXPECT_EQ(FilesBelow(out).size(), 7u);
    for (const auto& [name, mail] : m)
        EXPECT_EQ(mail["target"].str, (out / name).lexically_normal().string()) << name;

    // Only the output folder receives results: every source stays as it was,
    // the stamped clean mail and the infected mail replaced by its notice
    // too (the library checks a private copy, which becomes the target).
    ExpectAll(ReadFile(out / "03-exe-attachment.eml"), {"Name: setup.exe"});
    ExpectAll(ReadFile(out / "01-clean.eml"), {"X-VaveRiz4Zan:"});
    ExpectAll(ReadFile(out / "02-eicar-attachment.eml"), {"replaced by this notice"});
    for (const auto& [name, mail] : m)
        EXPECT_EQ(ReadFile(mails / name), ReadFile(ExampleMails() / name)) << name;

    // Without the engine a clean mail is copied unchanged to the target.
    const fs::path plain = CopyExamples("plain");
    const RunResult r =
        Run({"check", "--flags", "all,-av", "-o", "plain-out", (plain / "01-clean.eml").string()});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(ReadFile(Dir() / "plain-out" / "01-clean.eml"),
              ReadFile(ExampleMails() / "01-clean.eml"));

    // Two mails of one name cannot share a target.
    const RunResult two = Run({"check", "-o", "two", "mails/01-clean.eml", "plain/01-clean.eml"});
    EXPECT_EQ(two.status, 2);
    ExpectAll(two.err, {"would be written to"});
    EXPECT_FALSE(fs::exists(Dir() / "two" / "01-clean.eml"));
}

TEST_F(CliFiles, MoveRuleSavesThePartUnderAUniqueName) {
    WriteFile(Dir() / "move.conf",
              "[set default]\nrule quarantine-exe = move | quarantine | | attachment: *.exe\n"
              "[set header]\n");
    const fs::path first = CopyExamples("first");
    RunResult run;
    auto m = CheckJson(
        {"--rules", "move.conf", "--flags", "all,-av", (first / "03-exe-attachment.eml").string()},
        run);
    ASSERT_EQ(m.size(), 1u) << run;
    const fs::path quarantine = DataDir() / "quarantine";
    const Json& part = PartNamed(m["03-exe-attachment.eml"], "setup.exe");
    EXPECT_EQ(part["actionName"].str, "moved") << run;
    EXPECT_EQ(part["targetPath"].str, (quarantine / "setup.exe").string());
    std::string original;
    for (int i = 0; i < 3; ++i)
        original += "This is not really a program: a harmless text file named setup.exe.\n";
    EXPECT_EQ(ReadFile(quarantine / "setup.exe"), original);  // decoded, whole
    const std::string mail = QuotedPrintableDecoded(ReadFile(first / "03-exe-attachment.eml"));
    ExpectAll(mail, {"moved to quarantine",
                     "Name: setup.exe --> " + (quarantine / "setup.exe").string()});

    // A second mail with the same attachment does not overwrite the first.
    const fs::path second = CopyExamples("second");
    m = CheckJson(
        {"--rules", "move.conf", "--flags", "all,-av", (second / "03-exe-attachment.eml").string()},
        run);
    EXPECT_EQ(PartNamed(m["03-exe-attachment.eml"], "setup.exe")["targetPath"].str,
              (quarantine / "setup2.exe").string())
        << run;
    EXPECT_EQ(FilesBelow(quarantine), (Strings{"setup.exe", "setup2.exe"}));

    // The text report shows where the part went.
    const fs::path third = CopyExamples("third");
    const RunResult text = Run({"check", "--rules", "move.conf", "--flags", "all,-av",
                                (third / "03-exe-attachment.eml").string()});
    ExpectAll(text.out, {"moved   not checked  " + (quarantine / "setup3.exe").string()});
}

// A Maildir gives its cur and new mails, not tmp; a folder is read in name
// order, its subfolders only with -r.
TEST_F(CliFiles, MaildirAndFolderArguments) {
    const fs::path md = Dir() / "Maildir", top = Dir() / "top";
    for (const char* sub : {"cur", "new", "tmp"})
        fs::create_directories(md / sub);
    fs::copy_file(ExampleMails() / "01-clean.eml", md / "cur" / "1.host:2,S");
    fs::copy_file(ExampleMails() / "05-keyword-spam.eml", md / "new" / "2.host");
    fs::copy_file(ExampleMails() / "03-exe-attachment.eml", md / "tmp" / "3.host");
    RunResult run;
    auto m = CheckJson({"--flags", "all,-av", md.string()}, run);
    EXPECT_EQ(m.size(), 2u) << run;
    EXPECT_EQ(m["1.host:2,S"]["verdict"].str, "OK");
    EXPECT_EQ(m["2.host"]["verdict"].str, "FILTERED");
    EXPECT_EQ(ReadFile(md / "tmp" / "3.host"), ReadFile(ExampleMails() / "03-exe-attachment.eml"));

    fs::create_directories(top / "sub");
    for (const char* name : {"b.eml", "a.eml", "sub/c.eml"})
        fs::copy_file(ExampleMails() / "01-clean.eml", top / name);
    RunResult flat = Run({"check", "-b", "--flags", "none", top.string()});
    EXPECT_EQ(flat.status, 0) << flat;
    const std::size_t a = flat.out.find("a.eml: OK"), b = flat.out.find("b.eml: OK");
    ASSERT_NE(a, std::string::npos) << flat;
    ASSERT_NE(b, std::string::npos) << flat;
    EXPECT_LT(a, b);
    ExpectNone(flat.out, {"c.eml"});
    RunResult deep = Run({"check", "-b", "-r", "--flags", "none", top.string()});
    ExpectAll(deep.out, {"c.eml: OK", "Mails checked:  3"});
}

TEST_F(CliFiles, ProgressBarOnlyOnATerminal) {
    // 21 mails: more than the least number that gets a bar.
    const fs::path many = Dir() / "many";
    fs::create_directories(many);
    for (int i = 0; i < 21; ++i)
        fs::copy_file(ExampleMails() / "01-clean.eml", many / ("m" + std::to_string(i) + ".eml"));
    const RunResult plain = Run({"check", "-b", "--flags", "none", many.string()});
    EXPECT_EQ(plain.status, 0) << plain;
    ExpectNone(plain.err, {"mails/s"});  // stderr is a file here

    if (std::system("command -v script >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no script(1) to give the program a terminal";
    // script(1) runs the program on a pseudo-terminal and records it.
    const std::string command =
        ShellQuote(MailwardBinary()) + " check -b --flags none " + ShellQuote(many.string());
    const RunResult tty = Run({}, "", "script -qec " + ShellQuote(command) + " /dev/null");
    EXPECT_EQ(tty.status, 0) << tty;
    // The bar is cleared again.
    ExpectAll(tty.out, {"] 21/21 mails", "\x1b[K", "m9.eml: OK"});
}

}  // namespace
}  // namespace clitest
