/*
 * test_listops.cpp - setting, replacing and removing fields, and the marks
 * the filter writes: the Subject mark, X-ZANAntiSpam entries and
 * X-ZANRecTime.
 */
#include "mailhdr_test_util.h"

#include <string>
#include <vector>

namespace {

using Strings = std::vector<std::string>;

int CountFields(const mailhdr* hdr, int id) {
    int n = 0;
    for (const mailhdr_fld* f = hdr->flds[id]; f != nullptr; f = f->next)
        ++n;
    return n;
}

TEST(SetField, RepeatableTypesGainAFieldSingleTypesAreReplaced) {
    HdrPtr hdr = NewHdr();
    EXPECT_EQ(0, mailhdr_setfld_string(hdr.get(), 1, "from a"));
    EXPECT_EQ(0, mailhdr_setfld_string(hdr.get(), 1, "from b"));
    EXPECT_EQ(2, CountFields(hdr.get(), 1));
    EXPECT_EQ(0, mailhdr_setfld_string(hdr.get(), MAILHDR_FLD_SUBJECT, "first"));
    EXPECT_EQ(0, mailhdr_setfld_string(hdr.get(), MAILHDR_FLD_SUBJECT, "second"));
    EXPECT_EQ(1, CountFields(hdr.get(), MAILHDR_FLD_SUBJECT));
    EXPECT_EQ((Strings{"second"}), Lines(mailhdr_getfldvalue(hdr.get(), MAILHDR_FLD_SUBJECT)));
    EXPECT_EQ(0, mailhdr_setfld_string(hdr.get(), 3, "a@example.com"));
    EXPECT_EQ(0, mailhdr_setfld_string(hdr.get(), 3, "b@example.com"));
    EXPECT_EQ(1, CountFields(hdr.get(), 3));
    EXPECT_EQ((Strings{"b@example.com"}), Lines(mailhdr_getfldvalue(hdr.get(), 3)));
}

TEST(SetField, ListIsCopiedAndReplacesAllLines) {
    HdrPtr hdr = NewHdr();
    ParseBlock(hdr.get(), "Subject: old\n continued\n");
    ListPtr lines = MakeList({"new one", "new two"});
    EXPECT_EQ(0, mailhdr_setfld(hdr.get(), MAILHDR_FLD_SUBJECT, lines.get()));
    const stringlist* held = mailhdr_getfldvalue(hdr.get(), MAILHDR_FLD_SUBJECT);
    EXPECT_EQ((Strings{"new one", "new two"}), Lines(held));
    EXPECT_NE(lines.get(), held);
    lines.reset();  // the caller's list is its own
    EXPECT_EQ((Strings{"new one", "new two"}),
              Lines(mailhdr_getfldvalue(hdr.get(), MAILHDR_FLD_SUBJECT)));
}

TEST(SetField, NullListLeavesTheFieldWithoutLines) {
    HdrPtr hdr = NewHdr();
    ParseBlock(hdr.get(), "Subject: old\n");
    EXPECT_EQ(0, mailhdr_setfld(hdr.get(), MAILHDR_FLD_SUBJECT, nullptr));
    ASSERT_NE(nullptr, mailhdr_getfld(hdr.get(), MAILHDR_FLD_SUBJECT));
    EXPECT_EQ(nullptr, mailhdr_getfldvalue(hdr.get(), MAILHDR_FLD_SUBJECT));
}

TEST(SetField, ReplacedLinesDropTheParsedValue) {
    HdrPtr hdr = NewHdr();
    ParseBlock(hdr.get(), "Subject: before\n");
    ASSERT_EQ(1, mailhdr_fld_eq_id(hdr.get(), MAILHDR_FLD_SUBJECT, "before"));
    ASSERT_EQ(0, mailhdr_setfld_string(hdr.get(), MAILHDR_FLD_SUBJECT, "after"));
    EXPECT_EQ(nullptr, mailhdr_getfld(hdr.get(), MAILHDR_FLD_SUBJECT)->parsed);
    EXPECT_EQ(0, mailhdr_fld_eq_id(hdr.get(), MAILHDR_FLD_SUBJECT, "before"));
    EXPECT_EQ(1, mailhdr_fld_eq_id(hdr.get(), MAILHDR_FLD_SUBJECT, "after"));
}

TEST(SetField, IdentifiersOutsideZeroTo48AreRefused) {
    HdrPtr hdr = NewHdr();
    ListPtr lines = MakeList({"x"});
    EXPECT_EQ(-1, mailhdr_setfld(hdr.get(), MAILHDR_FLD_OTHER, lines.get()));
    EXPECT_EQ(-1, mailhdr_setfld(hdr.get(), MAILHDR_NFLDS, lines.get()));
    EXPECT_EQ(-1, mailhdr_setfld(hdr.get(), -1, lines.get()));
    EXPECT_EQ(-1, mailhdr_setfld_string(hdr.get(), MAILHDR_FLD_OTHER, "x"));
    EXPECT_EQ(-1, mailhdr_setfld_string(hdr.get(), MAILHDR_FLD_SUBJECT, nullptr));
    EXPECT_EQ(-1, mailhdr_setfld_string(nullptr, MAILHDR_FLD_SUBJECT, "x"));
    for (const mailhdr_fld* head : hdr->flds)
        EXPECT_EQ(nullptr, head);
}

TEST(RemoveField, EveryFieldOfTheIdentifier) {
    HdrPtr hdr = NewHdr();
    ParseBlock(hdr.get(), "Received: 1\nReceived: 2\nReceived: 3\nDate: d\n");
    EXPECT_EQ(0, mailhdr_delfld(hdr.get(), 1));
    EXPECT_EQ(nullptr, mailhdr_getfld(hdr.get(), 1));
    EXPECT_NE(nullptr, mailhdr_getfld(hdr.get(), 2));
    EXPECT_EQ(0, mailhdr_delfld(hdr.get(), 1));  // nothing there
    EXPECT_EQ(0, mailhdr_delfld_byname(hdr.get(), "DATE"));
    EXPECT_EQ(nullptr, mailhdr_getfld(hdr.get(), 2));
    EXPECT_EQ(0, mailhdr_delfld(hdr.get(), MAILHDR_NFLDS));
    EXPECT_EQ(0, mailhdr_delfld(nullptr, 1));
}

TEST(RemoveField, NameOutsideTheTableRemovesOnlyThatName) {
    HdrPtr hdr = NewHdr();
    ParseBlock(hdr.get(), "X-A: 1\nX-B: 2\nx-a: 3\nX-C: 4\nX-A: 5\n");
    EXPECT_EQ(0, mailhdr_delfld_byname(hdr.get(), "X-a"));
    Strings left;
    for (const mailhdr_fld* f = hdr->flds[MAILHDR_FLD_OTHER]; f != nullptr; f = f->next) {
        left.push_back(std::string(f->name) + "=" + f->lines->str);
    }
    EXPECT_EQ((Strings{"X-B=2", "X-C=4"}), left);
    EXPECT_EQ(0, mailhdr_delfld_byname(hdr.get(), "X-Nothing"));
    EXPECT_EQ(0, mailhdr_delfld_byname(hdr.get(), nullptr));
    EXPECT_EQ(2, CountFields(hdr.get(), MAILHDR_FLD_OTHER));
}

TEST(MarkSubject, MarkAndFirstLineBecomeOneLine) {
    HdrPtr hdr = NewHdr();
    ParseBlock(hdr.get(), "Subject: Hello\n there\n");
    EXPECT_EQ(0, mailhdr_marksubject(hdr.get(), "[SPAM]"));
    EXPECT_EQ((Strings{"[SPAM] Hello"}),
              Lines(mailhdr_getfldvalue(hdr.get(), MAILHDR_FLD_SUBJECT)));
    EXPECT_EQ(1, CountFields(hdr.get(), MAILHDR_FLD_SUBJECT));
}

TEST(MarkSubject, WithoutSubjectTheMarkAlone) {
    HdrPtr hdr = NewHdr();
    EXPECT_EQ(0, mailhdr_marksubject(hdr.get(), "[SPAM]"));
    EXPECT_EQ((Strings{"[SPAM]"}), Lines(mailhdr_getfldvalue(hdr.get(), MAILHDR_FLD_SUBJECT)));
    ASSERT_EQ(0, mailhdr_setfld(hdr.get(), MAILHDR_FLD_SUBJECT, nullptr));
    EXPECT_EQ(0, mailhdr_marksubject(hdr.get(), "[X]"));
    EXPECT_EQ((Strings{"[X]"}), Lines(mailhdr_getfldvalue(hdr.get(), MAILHDR_FLD_SUBJECT)));
}

TEST(MarkSubject, BadArguments) {
    HdrPtr hdr = NewHdr();
    EXPECT_EQ(-1, mailhdr_marksubject(hdr.get(), ""));
    EXPECT_EQ(-1, mailhdr_marksubject(hdr.get(), nullptr));
    EXPECT_EQ(-1, mailhdr_marksubject(nullptr, "[X]"));
    EXPECT_EQ(nullptr, mailhdr_getfld(hdr.get(), MAILHDR_FLD_SUBJECT));
}

Strings AntiSpam(const mailhdr* hdr) {
    EXPECT_LE(CountFields(hdr, MAILHDR_FLD_ANTISPAM), 1);
    return Lines(mailhdr_getfldvalue(hdr, MAILHDR_FLD_ANTISPAM));
}

TEST(AntiSpam, AppendedEntriesJoinInOrderOfArrival) {
    HdrPtr hdr = NewHdr();
    ListPtr first = MakeList({"Blacklist: From: x"});
    ListPtr second = MakeList({"Schluesselwoerter: viagra"});
    EXPECT_EQ(0, mailhdr_add_antispam(hdr.get(), first.get(), 0, nullptr));
    EXPECT_EQ(0, mailhdr_add_antispam(hdr.get(), second.get(), 0, nullptr));
    EXPECT_EQ((Strings{"Blacklist: From: x, Schluesselwoerter: viagra"}), AntiSpam(hdr.get()));
}

TEST(AntiSpam, PrependPutsEntriesFirst) {
    HdrPtr hdr = NewHdr();
    ParseBlock(hdr.get(), "X-ZANAntiSpam: old\n more\n");
    ListPtr entries = MakeList({"n1", "n2"});
    EXPECT_EQ(0, mailhdr_add_antispam(hdr.get(), entries.get(), 1, ""));
    EXPECT_EQ((Strings{"n1, n2, old, more"}), AntiSpam(hdr.get()));
    EXPECT_EQ((Strings{"n1", "n2"}), Lines(entries.get()));  // empty prefix: unchanged
}

TEST(AntiSpam, PrefixGoesBeforeTheFirstEntryOfTheCallersList) {
    HdrPtr hdr = NewHdr();
    ParseBlock(hdr.get(), "X-ZANAntiSpam: Schluesselwoerter: x\n");
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
    HdrPtr hdr = NewHdr();
    ParseBlock(hdr.get(), "X-ZANRecTime: 1\n 2\n");
    EXPECT_EQ(0, mailhdr_set_rectime(hdr.get(), -1234567));
    EXPECT_EQ((Strings{"-1234567"}), Lines(mailhdr_getfldvalue(hdr.get(), MAILHDR_FLD_RECTIME)));
    EXPECT_EQ(-1, mailhdr_set_rectime(hdr.get(), 0));
    EXPECT_EQ(-1, mailhdr_set_rectime(nullptr, 5));
    EXPECT_EQ((Strings{"-1234567"}), Lines(mailhdr_getfldvalue(hdr.get(), MAILHDR_FLD_RECTIME)));
}

}  // namespace
