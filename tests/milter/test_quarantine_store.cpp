/*
 * test_quarantine_store.cpp - the quarantine store: a held original keeps
 * its bytes when the checked file is replaced, entries appear whole or not
 * at all, list in time order, expire by age, delete, refuse ids that are
 * not theirs, and a damaged entry is named while the others are listed.
 */
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>
#include <string>

#include "common/quarantine_store.h"
#include "support/test_files.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using testkit::ReadFile;
using testkit::WriteFile;

class QuarantineStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_dir = fs::temp_directory_path() /
                ("mw-quarantine-" + std::string(info->name()) + "-" + std::to_string(::getpid()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
        std::string error;
        ASSERT_TRUE(m_store.Open((m_dir / "q").string(), error)) << error;
    }
    void TearDown() override { fs::remove_all(m_dir); }

    // An entry of `text` made at `time` (0: now).
    QuarantineRecord AddMail(const std::string& text, std::int64_t time = 0,
                             const std::string& subject = "s") {
        const fs::path source = m_dir / ("source-" + std::to_string(m_made++) + ".eml");
        WriteFile(source, text);
        QuarantineHold hold;
        std::string error;
        EXPECT_TRUE(m_store.Hold(source.string(), hold, error)) << error;
        QuarantineRecord r;
        r.time = time;
        r.sender = "a@example.org";
        r.recipients = {"b@example.net", "c@example.net"};
        r.subject = subject;
        r.verdict = "virus Test.Sig";
        r.reasons = {"Test.Sig"};
        r.queueId = "4ABC";
        r.origin = "test";
        EXPECT_TRUE(m_store.Add(r, hold, error)) << error;
        EXPECT_FALSE(hold.Active());
        return r;
    }
    fs::path Index(const std::string& id) const { return m_dir / "q" / (id + ".idx"); }
    std::size_t TempFiles() const {
        std::size_t n = 0;
        for ([[maybe_unused]] const auto& e : fs::directory_iterator(m_dir / "q" / "tmp"))
            ++n;
        return n;
    }

    fs::path m_dir;
    QuarantineStore m_store;
    int m_made = 0;
};

// The library writes a result into a new file renamed over the mail: the
// held original must still be the mail as it came, and the entry its bytes.
TEST_F(QuarantineStoreTest, HeldOriginalSurvivesTheRewriteAndTheRecordReadsBack) {
    const std::string original = "From: a@example.org\r\nSubject: x\r\n\r\nbody\0bytes\r\n"s;
    const fs::path source = m_dir / "spooled.eml";
    WriteFile(source, original);
    QuarantineHold hold;
    std::string error;
    ASSERT_TRUE(m_store.Hold(source.string(), hold, error)) << error;
    WriteFile(m_dir / "written.eml", "rewritten by the check\r\n");
    fs::rename(m_dir / "written.eml", source);

    QuarantineRecord r;
    r.sender = "a@example.org";
    r.recipients = {"b@example.net"};
    r.subject = "two\r\n lines\tand a tab";
    r.verdict = "filtered (removed)";
    r.reasons = {"exe", "scr"};
    ASSERT_TRUE(m_store.Add(r, hold, error)) << error;
    EXPECT_TRUE(ValidQuarantineId(r.id)) << r.id;
    EXPECT_EQ(ReadFile(m_store.MailPath(r.id)), original);
    EXPECT_EQ(r.size, original.size());
    EXPECT_EQ(TempFiles(), 0u) << "tmp/ keeps nothing of a finished entry";

    QuarantineRecord back;
    ASSERT_TRUE(m_store.Read(r.id, back, error)) << error;
    EXPECT_EQ(back.id, r.id);
    EXPECT_EQ(back.time, r.time);
    EXPECT_EQ(back.sender, "a@example.org");
    EXPECT_EQ(back.recipients, std::vector<std::string>{"b@example.net"});
    EXPECT_EQ(back.subject, "two   lines and a tab") << "a value stays on its line";
    EXPECT_EQ(back.reasons, (std::vector<std::string>{"exe", "scr"}));
    EXPECT_EQ(back.size, original.size());
    EXPECT_EQ(back.kind, QuarantineKind::Message);
}

TEST_F(QuarantineStoreTest, HoldDroppedOrUnusedLeavesNoEntry) {
    WriteFile(m_dir / "m.eml", "x");
    {
        QuarantineHold hold;
        std::string error;
        ASSERT_TRUE(m_store.Hold((m_dir / "m.eml").string(), hold, error));
        EXPECT_EQ(TempFiles(), 1u);
    }
    EXPECT_EQ(TempFiles(), 0u) << "a hold that is not added is removed";
    QuarantineHold none;
    QuarantineRecord r;
    std::string error;
    EXPECT_FALSE(m_store.Add(r, none, error));
    EXPECT_FALSE(m_store.Hold((m_dir / "missing.eml").string(), none, error));
    EXPECT_FALSE(none.Active());
    EXPECT_TRUE(m_store.List().entries.empty());
}

// Only a record in place lists an entry: a mail without its record (a
// crash before the rename) and a record still in tmp/ are not listed.
TEST_F(QuarantineStoreTest, ListsOldestFirstAndOnlyWholeEntries) {
    const QuarantineRecord late = AddMail("late", 2000000000);
    const QuarantineRecord early = AddMail("early", 1000000000);
    const QuarantineRecord middle = AddMail("middle", 1500000000);
    WriteFile(m_dir / "q" / "20240101-000000-halfdone.eml", "no record yet");
    WriteFile(m_dir / "q" / "tmp" / "20240101-000000-halfdone.idx",
              std::string(QUARANTINE_FORMAT_LINE) + "\nId: 20240101-000000-halfdone\n");
    const QuarantineListing listing = m_store.List();
    ASSERT_EQ(listing.entries.size(), 3u);
    EXPECT_EQ(listing.entries[0].id, early.id);
    EXPECT_EQ(listing.entries[1].id, middle.id);
    EXPECT_EQ(listing.entries[2].id, late.id);
    EXPECT_TRUE(listing.damaged.empty());
    EXPECT_EQ(listing.entries[0].recipients.size(), 2u);
}

TEST_F(QuarantineStoreTest, IdsAreUniqueWithinOneSecond) {
    std::set<std::string> ids;
    for (int i = 0; i < 200; ++i)
        ids.insert(AddMail("m" + std::to_string(i), 1700000000).id);
    EXPECT_EQ(ids.size(), 200u);
    EXPECT_EQ(m_store.List().entries.size(), 200u);
    for (const std::string& id : ids)
        EXPECT_EQ(id.rfind("20231114-221320-", 0), 0u) << id;
}

TEST_F(QuarantineStoreTest, DamagedEntriesAreNamedAndTheOthersListed) {
    const QuarantineRecord good = AddMail("good");
    const QuarantineRecord garbage = AddMail("garbage");
    const QuarantineRecord noTime = AddMail("no time");
    const QuarantineRecord noMail = AddMail("no mail");
    const QuarantineRecord otherId = AddMail("other id");
    WriteFile(Index(garbage.id), std::string("\x00\xff not a record", 15));
    WriteFile(Index(noTime.id), std::string(QUARANTINE_FORMAT_LINE) + "\nId: " + noTime.id +
                                    "\nKind: message\nTime: soon\nSize: 7\n");
    fs::remove(m_store.MailPath(noMail.id));
    WriteFile(Index(otherId.id), FormatQuarantineRecord(good));
    WriteFile(m_dir / "q" / "not.an.id.idx", "x");

    const QuarantineListing listing = m_store.List();
    ASSERT_EQ(listing.entries.size(), 1u);
    EXPECT_EQ(listing.entries[0].id, good.id);
    ASSERT_EQ(listing.damaged.size(), 5u);
    const std::string all = listing.damaged[0] + listing.damaged[1] + listing.damaged[2] +
                            listing.damaged[3] + listing.damaged[4];
    for (const std::string& id : {garbage.id, noTime.id, noMail.id, otherId.id})
        EXPECT_NE(all.find(id), std::string::npos) << id << " not named in: " << all;
    EXPECT_NE(all.find("not.an.id.idx"), std::string::npos);
    EXPECT_NE(all.find("Time"), std::string::npos);
    EXPECT_NE(all.find("missing"), std::string::npos);

    // A damaged entry can still be deleted.
    std::string error;
    EXPECT_TRUE(m_store.Remove(garbage.id, error)) << error;
    EXPECT_FALSE(fs::exists(m_store.MailPath(garbage.id)));
}

TEST_F(QuarantineStoreTest, RemoveAndReadRefuseUnknownAndForeignIds) {
    const QuarantineRecord r = AddMail("x");
    std::string error;
    QuarantineRecord back;
    for (const char* bad : {"", "../q/x", "a/b", "x.idx", "-rf", "a b"}) {
        EXPECT_FALSE(ValidQuarantineId(bad)) << bad;
        EXPECT_FALSE(m_store.Remove(bad, error)) << bad;
        EXPECT_NE(error.find("not a quarantine id"), std::string::npos) << error;
        EXPECT_FALSE(m_store.Read(bad, back, error)) << bad;
    }
    EXPECT_FALSE(m_store.Remove(std::string(QUARANTINE_ID_MAX + 1, 'a'), error));
    EXPECT_FALSE(m_store.Remove("20240101-000000-unknown0", error));
    EXPECT_NE(error.find("no quarantine entry 20240101-000000-unknown0"), std::string::npos);

    ASSERT_TRUE(m_store.Remove(r.id, error)) << error;
    EXPECT_FALSE(fs::exists(Index(r.id)));
    EXPECT_FALSE(fs::exists(m_store.MailPath(r.id)));
    EXPECT_FALSE(m_store.Read(r.id, back, error));
    EXPECT_FALSE(m_store.Remove(r.id, error)) << "removed twice";
}

TEST_F(QuarantineStoreTest, ExpireRemovesOnlyOlderEntriesAndStaleLeftovers) {
    const std::int64_t now = 1700000000;
    const QuarantineRecord old1 = AddMail("old", now - 10 * 86400);
    const QuarantineRecord old2 = AddMail("older", now - 30 * 86400);
    const QuarantineRecord fresh = AddMail("fresh", now - 86400);
    const QuarantineRecord damaged = AddMail("damaged", now - 40 * 86400);
    WriteFile(Index(damaged.id), "broken");
    const fs::path stale = m_dir / "q" / "tmp" / "held-stale.eml";
    const fs::path recent = m_dir / "q" / "tmp" / "held-recent.eml";
    WriteFile(stale, "s");
    WriteFile(recent, "r");
    fs::last_write_time(stale, fs::file_time_type::clock::now() - std::chrono::hours(24 * 30));

    std::vector<std::string> errors;
    std::vector<std::string> removed = m_store.Expire(now - 7 * 86400, now, errors);
    EXPECT_TRUE(errors.empty());
    std::sort(removed.begin(), removed.end());
    std::vector<std::string> expected = {old1.id, old2.id};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(removed, expected);
    const QuarantineListing left = m_store.List();
    ASSERT_EQ(left.entries.size(), 1u);
    EXPECT_EQ(left.entries[0].id, fresh.id);
    EXPECT_EQ(left.damaged.size(), 1u) << "a damaged entry is left for the operator";
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_TRUE(fs::exists(recent)) << "a hold a check may still use stays";
}

TEST(QuarantineRecordText, ParsesWhatItWritesAndRefusesTheRest) {
    QuarantineRecord r;
    r.id = "20240101-000000-abcdefgh";
    r.kind = QuarantineKind::Attachment;
    r.time = 1704067200;
    r.size = 12;
    r.parent = "20240101-000000-parent00";
    r.name = "setup.exe";
    QuarantineRecord back;
    std::string error;
    ASSERT_TRUE(ParseQuarantineRecord(FormatQuarantineRecord(r), back, error)) << error;
    EXPECT_EQ(back.kind, QuarantineKind::Attachment);
    EXPECT_EQ(back.parent, r.parent);
    EXPECT_EQ(back.name, "setup.exe");
    EXPECT_EQ(back.time, r.time);
    EXPECT_EQ(QuarantineTimeText(r.time), "2024-01-01 00:00:00 UTC");

    const std::string head = std::string(QUARANTINE_FORMAT_LINE) + "\n";
    for (const std::string& bad :
         {std::string(""), std::string("Id: x\n"), head + "Id: " + r.id + "\nKind: message\n",
          head + "Id: " + r.id + "\nKind: message\nTime: 1\nSize: -3\n",
          head + "Id: " + r.id + "\nKind: box\nTime: 1\nSize: 3\n",
          head + "Id: a/b\nKind: message\nTime: 1\nSize: 3\n",
          head + "Id: " + r.id + "\nno colon\nKind: message\nTime: 1\nSize: 3\n"})
        EXPECT_FALSE(ParseQuarantineRecord(bad, back, error)) << bad;
    EXPECT_EQ(QuarantineDirFor("", "/var/lib/mailward"), "/var/lib/mailward/quarantine");
    EXPECT_EQ(QuarantineDirFor("held", "/var/lib/mailward"), "/var/lib/mailward/held");
    EXPECT_EQ(QuarantineDirFor("/srv/q", "/var/lib/mailward"), "/srv/q");
}

}  // namespace
