/*
 * test_cli_side_by_side.cpp - the mailward program run as several processes
 * at once on one machine, sharing one TempDir, one DataDir and one
 * quarantine folder, each over its own copy of the example mails (the same
 * file names in every copy): every verdict equals the one a single process
 * gives, no scan fails, every backup and every quarantined part is a file
 * of its own, and links planted in every folder the library writes into
 * (dangling or pointing at a file) are never followed.
 */
#include "cli_test_util.h"

#include <cctype>

namespace {

using namespace clitest;

class CliSideBySide : public CliTest {
  protected:
    // A rules file: executables are moved into the shared quarantine, the
    // keyword rule of the example set stays.
    fs::path Rules() {
        const fs::path rules = Dir() / "rules.conf";
        WriteFile(rules,
                  "[set default]\ndefault = none\n"
                  "rule executables = move | " +
                      Quarantine().string() +
                      " | | attachment: *.exe\n"
                      "rule viagra = keyword-mark | | | body: viagra\n"
                      "[set header]\ndefault = none\n");
        return rules;
    }
    fs::path Quarantine() const { return Dir() / "quarantine"; }
    fs::path Temp() const { return Dir() / "shared-tmp"; }

    Strings Args(const fs::path& mails) {
        return {"check",       "--json",
                "--rules",     Rules().string(),
                "-O",          "TempDir=" + Temp().string(),
                "-O",          "BackupMode=2",
                mails.string()};
    }

    // The verdict and the error bits of each mail of one run's JSON lines.
    static std::map<std::string, std::string> Verdicts(const std::string& out) {
        std::map<std::string, std::string> v;
        for (const Json& j : JsonLines(out)) {
            if (j["type"].str == "mail")
                v[fs::path(j["source"].str).filename().string()] =
                    j["verdict"].str + "/" + std::to_string(j["errorBits"].Int());
        }
        return v;
    }
};

TEST_F(CliSideBySide, ProcessesSharingFoldersGiveTheVerdictsOfOne) {
    fs::create_directories(Temp());
    fs::create_directories(Quarantine());
    const fs::path origmail = DataDir() / "origmail";
    fs::create_directories(origmail);
    fs::permissions(DataDir(), fs::perms::owner_all);
    fs::permissions(origmail, fs::perms::owner_all);
    // Links planted under every name a writer of the library once used.
    const fs::path victim = Dir() / "victim";
    WriteFile(victim, "keep me");
    const Strings planted = {"03-exe-attachment.eml", "01-clean.eml", "mailward-scan.tmp"};
    for (const fs::path& folder : {Quarantine(), origmail, Temp()}) {
        fs::create_symlink(victim, folder / "a.exe");
        fs::create_symlink(Dir() / "dangling", folder / "a2.exe");
        for (const std::string& name : planted)
            fs::create_symlink(victim, folder / name);
    }

    // One process alone: the reference verdicts.
    const RunResult single = Run(Args(CopyExamples("single")));
    const auto expected = Verdicts(single.out);
    ASSERT_EQ(expected.size(), 7u) << single;
    EXPECT_EQ(expected.at("03-exe-attachment.eml"), "FILTERED/0");
    std::size_t processes = 1;

    for (const int n : {2, 4}) {
        SCOPED_TRACE(std::to_string(n) + " processes");
        std::string command;
        for (int i = 0; i < n; ++i) {
            const fs::path mails = CopyExamples("p" + std::to_string(n) + "-" + std::to_string(i));
            std::string line = ShellQuote(MailwardBinary());
            for (const std::string& a : Args(mails))
                line += " " + ShellQuote(a);
            command +=
                line + " >" + ShellQuote((Dir() / (mails.filename().string() + ".json")).string()) +
                " 2>" + ShellQuote((Dir() / (mails.filename().string() + ".err")).string()) + " & ";
        }
        const RunResult all = Run({}, "", command + "wait");
        EXPECT_EQ(all.status, 0) << all;
        for (int i = 0; i < n; ++i) {
            const fs::path mails = Dir() / ("p" + std::to_string(n) + "-" + std::to_string(i));
            const std::string out = ReadFile(Dir() / (mails.filename().string() + ".json"));
            EXPECT_EQ(Verdicts(out), expected)
                << out << ReadFile(Dir() / (mails.filename().string() + ".err"));
            ExpectNone(ReadFile(Dir() / (mails.filename().string() + ".err")),
                       {"AVCheckPart() failed", "ERR_CHECK"});
        }
        processes += static_cast<std::size_t>(n);
    }

    // Every process kept its own backup of each of the seven mails, and the
    // quarantine holds one file per moved part, each the whole part.
    std::size_t backups = 0;
    for (const auto& e : fs::directory_iterator(origmail))
        backups += e.is_symlink() ? 0 : 1;
    EXPECT_EQ(backups, 7 * processes);
    // Quarantined parts by the name they came with (setup.exe, setup2.exe,
    // ... are copies of one part): each part once per process, all whole.
    std::map<std::string, Strings> moved;
    for (const auto& e : fs::directory_iterator(Quarantine())) {
        if (fs::is_symlink(e.path()))
            continue;
        std::string base = e.path().stem().string();
        while (!base.empty() && std::isdigit(static_cast<unsigned char>(base.back())))
            base.pop_back();
        moved[base].push_back(ReadFile(e.path()));
    }
    EXPECT_EQ(moved.size(), 2u);  // 03's setup.exe, 06's uuencoded tool.exe
    for (const auto& [name, copies] : moved) {
        EXPECT_EQ(copies.size(), processes) << name;
        for (const std::string& copy : copies)
            EXPECT_EQ(copy, copies.front()) << name;
    }
    EXPECT_EQ(ReadFile(victim), "keep me");
    EXPECT_FALSE(fs::exists(Dir() / "dangling"));
    // Every process removed its private scan folder when it ended.
    for (const auto& e : fs::directory_iterator(Temp()))
        EXPECT_TRUE(fs::is_symlink(e.path())) << e.path();
}

}  // namespace
