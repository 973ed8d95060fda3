/*
 * test_listops.cpp - setting, replacing and removing fields, and the marks
 * the filter writes: the Subject mark, X-ZANAntiSpam entries and
 * X-ZANRecTime.
 */
#include "mailhdr_test_util.h"

namespace {

TEST(SetField, RepeatableTypesGainAFieldSingleTypesAreReplaced) {
    HdrPtr hdr = NewHdr();
    for (const char* value : {"from a", "from b"})
        EXPECT_EQ(0, mailhdr_setfld_string(hdr.get(), 1, value));
    EXPECT_EQ(2, CountFields(hdr.get(), 1));
    for (const char* value : {"first", "second"})
        EXPECT_EQ(0, mailhdr_setfld_string(hdr.get(), MAILHDR_FLD_SUBJECT, value));
    for (const char* value : {"a@example.com", "b@example.com"})
        EXPECT_EQ(0, mailhdr_setfld_string(hdr.get(), 3, value));
    EXPECT_EQ(1, CountFields(hdr.get(), MAILHDR_FLD_SUBJECT));
    EXPECT_EQ((Strings{"second"}), Lines(mailhdr_getfldvalue(hdr.get(), MAILHDR_FLD_SUBJECT)));
    EXPECT_EQ(1, CountFields(hdr.get(), 3));
    EXPECT_EQ((Strings{"b@example.com"}), Lines(mailhdr_getfldvalue(hdr.get(), 3)));
}

TEST(SetField, ListIsCopiedAndReplacesAllLinesAndTheParsedValue) {
    HdrPtr hdr = Parsed("Subject: old\n continued\n");
    ASSERT_EQ(1, mailhdr_fld_eq_id(hdr.get(), MAILHDR_FLD_SUBJECT, "old continued"));
    ListPtr lines = MakeList({"new one", "new two"});
    EXPECT_EQ(0, mailhdr_setfld(hdr.get(), MAILHDR_FLD_SUBJECT, lines.get()));
    EXPECT_NE(lines.get(), mailhdr_getfldvalue(hdr.get(), MAILHDR_FLD_SUBJECT));
    lines.reset();  // the caller's list is its own
    EXPECT_EQ((Strings{"new one", "new two"}),
              Lines(mailhdr_getfldvalue(hdr.get(), MAILHDR_FLD_SUBJECT)));
    EXPECT_EQ(nullptr, mailhdr_getfld(hdr.get(), MAILHDR_FLD_SUBJECT)->parsed);
    EXPECT_EQ(0, mailhdr_fld_eq_id(hdr.get(), MAILHDR_FLD_SUBJECT, "old continued"));
    EXPECT_EQ(1, mailhdr_fld_eq_id(hdr.get(), MAILHDR_FLD_SUBJECT, "new one new two"));
    ASSERT_EQ(0, mailhdr_setfld_string(hdr.get(), MAILHDR_FLD_SUBJECT, "after"));
    EXPECT_EQ(0, mailhdr_fld_eq_id(hdr.get(), MAILHDR_FLD_SUBJECT, "new one new two"));
    EXPECT_EQ(1, mailhdr_fld_eq_id(hdr.get(), MAILHDR_FLD_SUBJECT, "after"));

    // A null list leaves the field without lines.
    EXPECT_EQ(0, mailhdr_setfld(hdr.get(), MAILHDR_FLD_SUBJECT, nullptr));
    ASSERT_NE(nullptr, mailhdr_getfld(hdr.get(), MAILHDR_FLD_SUBJECT));
    EXPECT_EQ(nullptr, mailhdr_getfldvalue(hdr.get(), MAILHDR_FLD_SUBJECT));
}

TEST(SetField, IdentifiersOutsideZeroTo48AreRefused) {
    HdrPtr hdr = NewHdr();
    ListPtr lines = MakeList({"x"});
    for (int id : {MAILHDR_FLD_OTHER, MAILHDR_NFLDS, -1})
        EXPECT_EQ(-1, mailhdr_setfld(hdr.get(), id, lines.get())) << id;
    EXPECT_EQ(-1, mailhdr_setfld_string(hdr.get(), MAILHDR_FLD_OTHER, "x"));
    EXPECT_EQ(-1, mailhdr_setfld_string(hdr.get(), MAILHDR_FLD_SUBJECT, nullptr));
    EXPECT_EQ(-1, mailhdr_setfld_string(nullptr, MAILHDR_FLD_SUBJECT, "x"));
    EXPECT_EQ(0, CountFields(hdr.get()));
}

TEST(RemoveField, EveryFieldOfTheIdentifierOrName) {
    HdrPtr hdr = Parsed("Received: 1\nReceived: 2\nReceived: 3\nDate: d\n");
    EXPECT_EQ(0, mailhdr_delfld(hdr.get(), 1));
    EXPECT_EQ(nullptr, mailhdr_getfld(hdr.get(), 1));
    EXPECT_NE(nullptr, mailhdr_getfld(hdr.get(), 2));
    EXPECT_EQ(0, mailhdr_delfld(hdr.get(), 1));  // nothing there
    EXPECT_EQ(0, mailhdr_delfld_byname(hdr.get(), "DATE"));
    EXPECT_EQ(nullptr, mailhdr_getfld(hdr.get(), 2));
    EXPECT_EQ(0, mailhdr_delfld(hdr.get(), MAILHDR_NFLDS));
    EXPECT_EQ(0, mailhdr_delfld(nullptr, 1));

    // A name outside the table removes only the fields of that name.
    hdr = Parsed("X-A: 1\nX-B: 2\nx-a: 3\nX-C: 4\nX-A: 5\n");
    EXPECT_EQ(0, mailhdr_delfld_byname(hdr.get(), "X-a"));
    EXPECT_EQ(0, mailhdr_delfld_byname(hdr.get(), "X-Nothing"));
    EXPECT_EQ(0, mailhdr_delfld_byname(hdr.get(), nullptr));
    Strings left;
    for (const mailhdr_fld* f = hdr->flds[MAILHDR_FLD_OTHER]; f != nullptr; f = f->next)
        left.push_back(std::string(f->name) + "=" + f->lines->str);
    EXPECT_EQ((Strings{"X-B=2", "X-C=4"}), left);
}

TEST(MarkSubject, MarkAndFirstLineBecomeOneLineOrTheMarkAlone) {
    HdrPtr hdr = Parsed("Subject: Hello\n there\n");
    EXPECT_EQ(0, mailhdr_marksubject(hdr.get(), "[SPAM]"));
    EXPECT_EQ((Strings{"[SPAM] Hello"}),
              Lines(mailhdr_getfldvalue(hdr.get(), MAILHDR_FLD_SUBJECT)));
    EXPECT_EQ(1, CountFields(hdr.get(), MAILHDR_FLD_SUBJECT));
    // A field without lines, and no field at all.
    ASSERT_EQ(0, mailhdr_setfld(hdr.get(), MAILHDR_FLD_SUBJECT, nullptr));
    EXPECT_EQ(0, mailhdr_marksubject(hdr.get(), "[X]"));
    EXPECT_EQ((Strings{"[X]"}), Lines(mailhdr_getfldvalue(hdr.get(), MAILHDR_FLD_SUBJECT)));
    hdr = NewHdr();
    EXPECT_EQ(0, mailhdr_marksubject(hdr.get(), "[SPAM]"));
    EXPECT_EQ((Strings{"[SPAM]"}), Lines(mailhdr_getfldvalue(hdr.get(), MAILHDR_FLD_SUBJECT)));

    HdrPtr empty = NewHdr();
    EXPECT_EQ(-1, mailhdr_marksubject(empty.get(), ""));
    EXPECT_EQ(-1, mailhdr_marksubject(empty.get(), nullptr));
    EXPECT_EQ(-1, mailhdr_marksubject(nullptr, "[X]"));
    EXPECT_EQ(nullptr, mailhdr_getfld(empty.get(), MAILHDR_FLD_SUBJECT));
}

Strings AntiSpam(const mailhdr* hdr) {
    EXPECT_LE(CountFields(hdr, MAILHDR_FLD_ANTISPAM), 1);
    return Lines(mailhdr_getfldvalue(hdr, MAILHDR_FLD_ANTISPAM));
}

TEST(AntiSpam, EntriesJoinInOrderOfArrivalOrFirst) {
    HdrPtr hdr = NewHdr();
    ListPtr first = MakeList({"Blacklist: From: x"});
    ListPtr second = MakeList({"Schluesselwoerter: viagra"});
    EXPECT_EQ(0, mailhdr_add_antispam(hdr.get(), first.get(), 0, nullptr));
    EXPECT_EQ(0, mailhdr_add_antispam(hdr.get(), second.get(), 0, nullptr));
    EXPECT_EQ((Strings{"Blacklist: From: x, Schluesselwoerter: viagra"}), AntiSpam(hdr.get()));

    hdr = Parsed("X-ZANAntiSpam: old\n more\n");
    ListPtr entries = MakeList({"n1", "n2"});
    EXPECT_EQ(0, mailhdr_add_antispam(hdr.get(), entries.get(), 1, ""));
    EXPECT_EQ((Strings{"n1, n2, old, more"}), AntiSpam(hdr.get()));
    EXPECT_EQ((Strings{"n1", "n2"}), Lines(entries.get()));  // empty prefix: unchanged
}

TEST(AntiSpam, PrefixGoesBeforeTheFirstEntryOfTheCallersList) {
    HdrPtr hdr = Parsed("X-ZANAntiSpam: Schluesselwoerter: x\n");
    ListPtr entries = MakeList({"EICAR-Test", "second"});
    EXPECT_EQ(0, mailhdr_add_antispam(hdr.get(), entries.get(), 0, "Virus:"));
    EXPECT_EQ((Strings{"Virus:EICAR-Test", "second"}), Lines(entries.get()));
    EXPECT_EQ((Strings{"Schluesselwoerter: x, Virus:EICAR-Test, second"}), AntiSpam(hdr.get()));
}

TEST(AntiSpam, FieldWithoutLinesCountsAsAbsent) {
    HdrPtr hdr = NewHdr();
    ASSERT_NE(nullptr, mailhdr_addfld(hdr.get(), MAILHDR_FLD_ANTISPAM));
    ListPtr entries = MakeList({"e"});
    EXPECT_EQ(0, mailhdr_add_antispam(hdr.get(), entries.get(), 1, nullptr));
    EXPECT_EQ((Strings{"e"}), AntiSpam(hdr.get()));
    EXPECT_EQ(-1, mailhdr_add_antispam(hdr.get(), nullptr, 0, nullptr));
    EXPECT_EQ(-1, mailhdr_add_antispam(nullptr, entries.get(), 0, nullptr));
}

TEST(RecTime, NumberReplacesAnyEarlierField) {
    HdrPtr hdr = Parsed("X-ZANRecTime: 1\n 2\n");
    EXPECT_EQ(0, mailhdr_set_rectime(hdr.get(), -1234567));
    EXPECT_EQ(-1, mailhdr_set_rectime(hdr.get(), 0));
    EXPECT_EQ(-1, mailhdr_set_rectime(nullptr, 5));
    EXPECT_EQ((Strings{"-1234567"}), Lines(mailhdr_getfldvalue(hdr.get(), MAILHDR_FLD_RECTIME)));
}

}  // namespace
