/*
 * test_listops.cpp - setting, replacing and removing fields, and the marks
 * the filter writes: the Subject mark, X-ZANAntiSpam entries and
 * X-ZANRecTime.
 */
#include "mailhdr_test_util.h"

namespace {

// Repeatable types gain a field, single ones are replaced; identifiers
// outside 0..48 and null values are refused.
TEST(SetField, RepeatableTypesGainAFieldSingleTypesAreReplaced) {
    HdrPtr hdr = NewHdr();
    for (const char* value : {"from a", "from b"})
        EXPECT_EQ(0, mailhdr_setfld_string(hdr.get(), 1, value));
    for (const char* value : {"first", "second"})
        EXPECT_EQ(0, mailhdr_setfld_string(hdr.get(), MAILHDR_FLD_SUBJECT, value));
    for (const char* value : {"a@example.com", "b@example.com"})
        EXPECT_EQ(0, mailhdr_setfld_string(hdr.get(), 3, value));
    ListPtr lines = MakeList({"x"});
    for (int id : {MAILHDR_FLD_OTHER, MAILHDR_NFLDS, -1})
        EXPECT_EQ(-1, mailhdr_setfld(hdr.get(), id, lines.get())) << id;
    EXPECT_EQ(-1, mailhdr_setfld_string(hdr.get(), MAILHDR_FLD_OTHER, "x"));
    EXPECT_EQ(-1, mailhdr_setfld_string(hdr.get(), MAILHDR_FLD_SUBJECT, nullptr));
    EXPECT_EQ(-1, mailhdr_setfld_string(nullptr, MAILHDR_FLD_SUBJECT, "x"));
    EXPECT_EQ("Received=from a;Received=from b;From=b@example.com;Subject=second",
              Record(hdr.get()));
}

TEST(SetField, ListIsCopiedAndReplacesAllLinesAndTheParsedValue) {
    HdrPtr hdr = Parsed("Subject: old\n continued\n");
    ASSERT_EQ(1, mailhdr_fld_eq_id(hdr.get(), MAILHDR_FLD_SUBJECT, "old continued"));
    ListPtr lines = MakeList({"new one", "new two"});
    EXPECT_EQ(0, mailhdr_setfld(hdr.get(), MAILHDR_FLD_SUBJECT, lines.get()));
    EXPECT_NE(lines.get(), mailhdr_getfldvalue(hdr.get(), MAILHDR_FLD_SUBJECT));
    lines.reset();  // the caller's list is its own
    EXPECT_EQ("Subject=new one|new two", Record(hdr.get()));
    EXPECT_EQ(nullptr, mailhdr_getfld(hdr.get(), MAILHDR_FLD_SUBJECT)->parsed);
    EXPECT_EQ(0, mailhdr_fld_eq_id(hdr.get(), MAILHDR_FLD_SUBJECT, "old continued"));
    EXPECT_EQ(1, mailhdr_fld_eq_id(hdr.get(), MAILHDR_FLD_SUBJECT, "new one new two"));
    ASSERT_EQ(0, mailhdr_setfld_string(hdr.get(), MAILHDR_FLD_SUBJECT, "after"));
    EXPECT_EQ(0, mailhdr_fld_eq_id(hdr.get(), MAILHDR_FLD_SUBJECT, "new one new two"));
    EXPECT_EQ(1, mailhdr_fld_eq_id(hdr.get(), MAILHDR_FLD_SUBJECT, "after"));
    // A null list leaves the field without lines.
    EXPECT_EQ(0, mailhdr_setfld(hdr.get(), MAILHDR_FLD_SUBJECT, nullptr));
    EXPECT_EQ("Subject", Record(hdr.get()));
}

// A name outside the table removes only the fields of that name.
TEST(RemoveField, EveryFieldOfTheIdentifierOrName) {
    HdrPtr hdr = Parsed("Received: 1\nReceived: 2\nDate: d\nX-A: 1\nX-B: 2\nx-a: 3\nX-A: 5\n");
    EXPECT_EQ(0, mailhdr_delfld(hdr.get(), 1));
    EXPECT_EQ("Date=d;X-A=1;X-B=2;x-a=3;X-A=5", Record(hdr.get()));
    EXPECT_EQ(0, mailhdr_delfld(hdr.get(), 1));  // nothing there
    EXPECT_EQ(0, mailhdr_delfld_byname(hdr.get(), "DATE"));
    EXPECT_EQ(0, mailhdr_delfld_byname(hdr.get(), "X-a"));
    EXPECT_EQ(0, mailhdr_delfld_byname(hdr.get(), "X-Nothing"));
    EXPECT_EQ(0, mailhdr_delfld_byname(hdr.get(), nullptr));
    EXPECT_EQ(0, mailhdr_delfld(hdr.get(), MAILHDR_NFLDS));
    EXPECT_EQ(0, mailhdr_delfld(nullptr, 1));
    EXPECT_EQ("X-B=2", Record(hdr.get()));
}

// The mark goes in front of the first line and the folded lines stay (they
// used to be dropped, which shortened the header and failed its save); a
// field without lines or no field at all gets the mark alone.
TEST(MarkSubject, MarkGoesBeforeTheFirstLineAndFoldedLinesStayNotDropped) {
    std::string folded = "Subject: Hello\n";
    for (int i = 0; i < 30; ++i)
        folded += " part" + std::to_string(i) + "\n";
    HdrPtr hdr = Parsed(folded);
    const Strings before = Lines(mailhdr_getfldvalue(hdr.get(), MAILHDR_FLD_SUBJECT));
    ASSERT_EQ(0, mailhdr_fld_eq_id(hdr.get(), MAILHDR_FLD_SUBJECT, "*SPAM*"));
    EXPECT_EQ(0, mailhdr_marksubject(hdr.get(), "[SPAM]"));
    Strings after = Lines(mailhdr_getfldvalue(hdr.get(), MAILHDR_FLD_SUBJECT));
    ASSERT_EQ(before.size(), after.size());
    EXPECT_EQ("[SPAM] Hello", after[0]);
    after[0] = before[0];
    EXPECT_EQ(before, after);
    // The parsed value went with the old first line.
    EXPECT_EQ(1, mailhdr_fld_eq_id(hdr.get(), MAILHDR_FLD_SUBJECT, "?SPAM? Hello part0 *"));
    ASSERT_EQ(0, mailhdr_setfld(hdr.get(), MAILHDR_FLD_SUBJECT, nullptr));
    EXPECT_EQ(0, mailhdr_marksubject(hdr.get(), "[X]"));
    EXPECT_EQ("Subject=[X]", Record(hdr.get()));
    hdr = NewHdr();
    EXPECT_EQ(-1, mailhdr_marksubject(hdr.get(), ""));
    EXPECT_EQ(-1, mailhdr_marksubject(hdr.get(), nullptr));
    EXPECT_EQ(-1, mailhdr_marksubject(nullptr, "[X]"));
    EXPECT_EQ("", Record(hdr.get()));
    EXPECT_EQ(0, mailhdr_marksubject(hdr.get(), "[SPAM]"));
    EXPECT_EQ("Subject=[SPAM]", Record(hdr.get()));
}

// Entries join the one field after the old ones, or before them with the
// first flag; a prefix goes before the first entry of the caller's list; a
// field without lines counts as absent.
TEST(AntiSpam, EntriesJoinOneFieldAfterOrBeforeTheOldOnes) {
    HdrPtr hdr = Parsed("X-ZANAntiSpam: Schluesselwoerter: x\n");
    ListPtr entries = MakeList({"EICAR-Test", "second"});
    EXPECT_EQ(0, mailhdr_add_antispam(hdr.get(), entries.get(), 0, "Virus:"));
    EXPECT_EQ((Strings{"Virus:EICAR-Test", "second"}), Lines(entries.get()));
    EXPECT_EQ("X-ZANAntiSpam=Schluesselwoerter: x, Virus:EICAR-Test, second", Record(hdr.get()));

    hdr = Parsed("X-ZANAntiSpam: old\n more\n");
    entries = MakeList({"n1", "n2"});
    EXPECT_EQ(0, mailhdr_add_antispam(hdr.get(), entries.get(), 1, ""));
    EXPECT_EQ("X-ZANAntiSpam=n1, n2, old, more", Record(hdr.get()));
    EXPECT_EQ((Strings{"n1", "n2"}), Lines(entries.get()));  // empty prefix: unchanged

    hdr = NewHdr();
    ASSERT_NE(nullptr, mailhdr_addfld(hdr.get(), MAILHDR_FLD_ANTISPAM));
    entries = MakeList({"e"});
    EXPECT_EQ(0, mailhdr_add_antispam(hdr.get(), entries.get(), 1, nullptr));
    EXPECT_EQ("X-ZANAntiSpam=e", Record(hdr.get()));
    EXPECT_EQ(-1, mailhdr_add_antispam(hdr.get(), nullptr, 0, nullptr));
    EXPECT_EQ(-1, mailhdr_add_antispam(nullptr, entries.get(), 0, nullptr));
}

TEST(RecTime, NumberReplacesAnyEarlierField) {
    HdrPtr hdr = Parsed("X-ZANRecTime: 1\n 2\n");
    EXPECT_EQ(0, mailhdr_set_rectime(hdr.get(), -1234567));
    EXPECT_EQ(-1, mailhdr_set_rectime(hdr.get(), 0));
    EXPECT_EQ(-1, mailhdr_set_rectime(nullptr, 5));
    EXPECT_EQ("X-ZANRecTime=-1234567", Record(hdr.get()));
}

}  // namespace
