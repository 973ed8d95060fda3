/*
 * test_cli_quarantine.cpp - "mailward check --quarantine" and "mailward
 * quarantine": the originals of the mails that were not clean kept byte
 * for byte while the checked files are rewritten; list, show, release
 * through a sendmail stand-in that records its arguments and input, a
 * failed release that keeps the entry, delete, expire, and bad input.
 */
#include "cli_test_util.h"

namespace clitest {
namespace {

class CliQuarantine : public CliTest {
  protected:
    // The sendmail stand-in: records its arguments one a line and its
    // input, and ends with `status`.
    std::string FakeSendmail(int status = 0) {
        const fs::path script = Dir() / "sendmail";
        WriteFile(script, "#!/bin/sh\nprintf '%s\\n' \"$@\" >" + ShellQuote(Args().string()) +
                              "\ncat >" + ShellQuote(Input().string()) + "\nexit " +
                              std::to_string(status) + "\n");
        fs::permissions(script, fs::perms::owner_all);
        return "Quarantine.Sendmail=" + script.string();
    }
    fs::path Args() const { return Dir() / "sendmail.args"; }
    fs::path Input() const { return Dir() / "sendmail.input"; }

    RunResult Quarantine(Strings args) {
        args.insert(args.begin(), "quarantine");
        return Run(args);
    }
    // The listed entries: id -> the line's columns.
    std::map<std::string, Strings> Listed(RunResult* run = nullptr) {
        const RunResult r = Quarantine({"list"});
        if (run != nullptr)
            *run = r;
        std::map<std::string, Strings> entries;
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);) {
            Strings columns;
            std::istringstream cells(line);
            for (std::string cell; std::getline(cells, cell, '\t');)
                columns.push_back(cell);
            EXPECT_EQ(columns.size(), 7u) << line;
            if (!columns.empty())
                entries[columns[0]] = columns;
        }
        return entries;
    }
    // The id of the entry whose verdict column is `verdict` and whose
    // recipients column holds `rcpt`.
    std::string EntryFor(const std::map<std::string, Strings>& entries, const std::string& rcpt) {
        for (const auto& [id, columns] : entries) {
            if (columns.size() == 7 && Contains(columns[3], rcpt))
                return id;
        }
        ADD_FAILURE() << "no entry for " << rcpt;
        return "";
    }
    fs::path Stored(const std::string& id) const {
        return DataDir() / "quarantine" / (id + ".eml");
    }
};

// The checked files are rewritten in place; the entries hold the mails as
// they were, and only the mails that were not clean are kept.
TEST_F(CliQuarantine, CheckKeepsTheOriginalsOfMailsThatAreNotClean) {
    const fs::path mails = CopyExamples();
    const RunResult check = Run({"check", "-b", "--quarantine", mails.string()});
    ASSERT_EQ(check.status, 1) << check;
    const std::map<std::string, Strings> entries = Listed();
    Strings found, clean;
    for (const auto& entry : fs::directory_iterator(ExampleMails())) {
        const std::string name = entry.path().filename().string();
        const std::string original = ReadFile(entry.path());
        bool kept = false;
        for (const auto& [id, columns] : entries)
            kept |= ReadFile(Stored(id)) == original;
        const bool okLine = Contains(check.out, name + ": OK");
        EXPECT_NE(kept, okLine) << name << (okLine ? " is clean but kept" : " was not kept");
        (okLine ? clean : found).push_back(name);
    }
    EXPECT_FALSE(clean.empty());
    ASSERT_FALSE(found.empty());
    EXPECT_EQ(entries.size(), found.size());
    EXPECT_NE(ReadFile(mails / "02-eicar-attachment.eml"),
              ReadFile(ExampleMails() / "02-eicar-attachment.eml"))
        << "the check rewrote the file, the quarantine kept what came";
    const std::string eicar = EntryFor(entries, "bob@example.net");
    ExpectAll(check.err, {"held in the quarantine as "});
    ASSERT_FALSE(eicar.empty());

    const RunResult show = Quarantine({"show", eicar});
    EXPECT_EQ(show.status, 0) << show;
    ExpectAll(show.out, {"Id: " + eicar, "Origin: mailward check", "Recipient: bob@example.net",
                         "Sender: <>", "Subject: ", "Verdict: ", "Size: ", "Message-ID: "});

    // A clean mail checked again keeps nothing.
    const RunResult again = Run({"check", "-b", "-q", (mails / "01-clean.eml").string()});
    EXPECT_EQ(again.status, 0) << again;
    EXPECT_EQ(Listed().size(), entries.size());
}

// A part a move rule took out gets an entry of its own beside its mail's,
// holding the bytes the rule moved; it is shown but never sent as a mail.
TEST_F(CliQuarantine, AMovedPartIsAnAttachmentEntryOfItsMail) {
    WriteFile(Dir() / "move.conf",
              "[set default]\nrule quarantine-exe = move | moved | | attachment: *.exe\n"
              "[set header]\n");
    const fs::path mails = CopyExamples();
    const RunResult check =
        Run({"check", "-q", "--rules", "move.conf", "--flags", "all,-av", "--recipient",
             "r@example.net", (mails / "03-exe-attachment.eml").string()});
    ASSERT_EQ(check.status, 1) << check;
    const std::map<std::string, Strings> entries = Listed();
    ASSERT_EQ(entries.size(), 2u) << check;
    std::string mail, part;
    for (const auto& [id, columns] : entries) {
        const RunResult show = Quarantine({"show", id});
        (Contains(show.out, "Kind: attachment") ? part : mail) = id;
    }
    ASSERT_FALSE(mail.empty());
    ASSERT_FALSE(part.empty());
    EXPECT_EQ(ReadFile(Stored(mail)), ReadFile(ExampleMails() / "03-exe-attachment.eml"));
    EXPECT_EQ(ReadFile(Stored(part)), ReadFile(DataDir() / "moved" / "setup.exe"));
    const RunResult show = Quarantine({"show", part});
    ExpectAll(show.out, {"Parent: " + mail, "Name: setup.exe", "Reason: quarantine-exe",
                         "Recipient: r@example.net"});
    EXPECT_FALSE(Contains(show.out, "This is not really a program")) << "no header of a part";
    const RunResult release = Quarantine({"release", part, "-O", FakeSendmail()});
    EXPECT_NE(release.status, 0);
    ExpectAll(release.err, {"is an attachment, not a mail"});
    EXPECT_FALSE(fs::exists(Args())) << "sendmail was not run";
}

TEST_F(CliQuarantine, ReleasePassesTheOriginalAndItsEnvelopeToSendmail) {
    const fs::path mails = CopyExamples();
    const fs::path eicar = mails / "02-eicar-attachment.eml";
    const RunResult check =
        Run({"check", "-q", "--sender", "origin@example.org", "--recipient", "one@example.net",
             "--recipient", "two@example.net", eicar.string()});
    ASSERT_EQ(check.status, 1) << check;
    std::map<std::string, Strings> entries = Listed();
    ASSERT_EQ(entries.size(), 1u);
    const std::string id = entries.begin()->first;
    EXPECT_EQ(entries[id][2], "origin@example.org");
    EXPECT_EQ(entries[id][3], "one@example.net,two@example.net");

    const std::string sendmail = FakeSendmail();
    const RunResult kept = Quarantine({"release", id, "--keep", "-O", sendmail});
    ASSERT_EQ(kept.status, 0) << kept;
    EXPECT_EQ(ReadFile(Args()),
              "-i\n-f\norigin@example.org\n--\none@example.net\ntwo@example.net\n");
    EXPECT_EQ(ReadFile(Input()), ReadFile(ExampleMails() / "02-eicar-attachment.eml"))
        << "the original, byte for byte";
    ExpectAll(kept.out, {"released " + id});
    EXPECT_EQ(Listed().count(id), 1u) << "--keep keeps the entry";

    const RunResult to = Quarantine({"release", id, "--to", "admin@example.com", "-O", sendmail});
    ASSERT_EQ(to.status, 0) << to;
    EXPECT_EQ(ReadFile(Args()), "-i\n-f\norigin@example.org\n--\nadmin@example.com\n");
    ExpectAll(to.out, {"released " + id, "admin@example.com", "deleted"});
    EXPECT_TRUE(Listed().empty());
    EXPECT_FALSE(fs::exists(Stored(id)));
}

// A release the MTA does not take keeps the entry; the next one succeeds.
TEST_F(CliQuarantine, FailedReleaseKeepsTheEntry) {
    const fs::path mails = CopyExamples();
    ASSERT_EQ(Run({"check", "-q", (mails / "02-eicar-attachment.eml").string()}).status, 1);
    const std::string id = Listed().begin()->first;

    const RunResult refused = Quarantine({"release", id, "-O", FakeSendmail(75)});
    EXPECT_EQ(refused.status, 2) << refused;
    ExpectAll(refused.out, {"release of " + id + " failed, kept", "status 75"});
    EXPECT_EQ(Listed().count(id), 1u);
    const RunResult missing =
        Quarantine({"release", id, "-O", "Quarantine.Sendmail=" + (Dir() / "none").string()});
    EXPECT_EQ(missing.status, 2) << missing;
    EXPECT_EQ(Listed().count(id), 1u);

    const RunResult ok = Quarantine({"release", id, "-O", FakeSendmail()});
    EXPECT_EQ(ok.status, 0) << ok;
    EXPECT_EQ(ReadFile(Args()), "-i\n-f\n<>\n--\nbob@example.net\n")
        << "no Return-Path: the null sender; the recipients from To";
    EXPECT_TRUE(Listed().empty());
}

TEST_F(CliQuarantine, DeleteExpireAndBadInput) {
    const fs::path mails = CopyExamples();
    ASSERT_EQ(Run({"check", "-b", "-q", mails.string()}).status, 1);
    std::map<std::string, Strings> entries = Listed();
    ASSERT_GE(entries.size(), 2u);
    const std::string first = entries.begin()->first;

    for (const Strings& bad :
         {Strings{"show", "../../etc/passwd"}, Strings{"delete", "20240101-000000-unknown0"},
          Strings{"release", "no/such"}, Strings{"expire", "soon"}, Strings{"expire", "-1"},
          Strings{"show"}, Strings{"frobnicate"}, Strings{"release", first, "--to", "-oi"}}) {
        const RunResult r = Quarantine(bad);
        EXPECT_EQ(r.status, 2) << bad[0] << "\n" << r;
        EXPECT_FALSE(r.err.empty()) << bad[0];
    }
    ExpectAll(Quarantine({"delete", "20240101-000000-unknown0"}).err,
              {"no quarantine entry 20240101-000000-unknown0"});
    ExpectAll(Quarantine({"show", "../x"}).err, {"'../x' is not a quarantine id"});
    EXPECT_EQ(Listed().size(), entries.size()) << "bad input changed nothing";

    const RunResult del = Quarantine({"delete", first});
    EXPECT_EQ(del.status, 0) << del;
    ExpectAll(del.out, {"deleted " + first});
    EXPECT_EQ(Listed().count(first), 0u);

    // A damaged index is named; the others are listed.
    const std::string second = std::next(entries.begin())->first;
    WriteFile(DataDir() / "quarantine" / (second + ".idx"), "garbage");
    RunResult list;
    const std::map<std::string, Strings> left = Listed(&list);
    EXPECT_EQ(list.status, 2) << list;
    ExpectAll(list.err, {"damaged entry: " + second});
    EXPECT_EQ(left.size(), entries.size() - 2);

    const RunResult young = Quarantine({"expire", "1"});
    EXPECT_EQ(young.status, 0) << young;
    EXPECT_EQ(Listed().size(), entries.size() - 2) << "nothing is a day old";
    const RunResult all = Quarantine({"expire", "0"});
    EXPECT_EQ(all.status, 0) << all;
    for (const auto& [id, columns] : left)
        ExpectAll(all.out, {"expired " + id});
    EXPECT_TRUE(Listed().empty());
}

}  // namespace
}  // namespace clitest
