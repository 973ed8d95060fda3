/*
 * test_parse.cpp - header records filled line by line: field names and
 * values, continuation lines, the per-type rules for repeated fields, the
 * errors of mailhdr_parseline, the record limits, copying, finding fields
 * and parsing a field's value.
 */
#include "mailhdr_test_util.h"

#include "platform/qorcsock_capture.h"

#include <string>
#include <vector>

namespace {

using Strings = std::vector<std::string>;

TEST(ParseLine, ContinuationLineJoinsTheFieldBeforeIt) {
    HdrPtr hdr = NewHdr();
    EXPECT_EQ(0, mailhdr_parseline(hdr.get(), "Subject: hello"));
    EXPECT_EQ(0, mailhdr_parseline(hdr.get(), "  world"));
    mailhdr_fld* subject = mailhdr_getfld(hdr.get(), MAILHDR_FLD_SUBJECT);
    ASSERT_NE(nullptr, subject);
    EXPECT_EQ(nullptr, subject->next);
    EXPECT_EQ((Strings{"hello", "world"}), Lines(subject->lines));
    ASSERT_EQ(0, mailhdr_parse_fld(subject));
    EXPECT_STREQ("hello world", static_cast<const char*>(subject->parsed));
    EXPECT_EQ(subject, hdr->current);
}

TEST(ParseLine, EveryKindOfWhiteSpaceStartsAContinuation) {
    HdrPtr hdr = NewHdr();
    ASSERT_EQ(0, mailhdr_parseline(hdr.get(), "X-Test: a"));
    for (const char* line : {"\tb", "\vc", "\fd", "\re", " \t f"}) {
        EXPECT_EQ(0, mailhdr_parseline(hdr.get(), line)) << line;
    }
    EXPECT_EQ((Strings{"a", "b", "c", "d", "e", "f"}),
              Lines(mailhdr_getfld_byname(hdr.get(), "x-test")->lines));
}

TEST(ParseLine, TableNamesTakeTheTableSpelling) {
    HdrPtr hdr = NewHdr();
    EXPECT_EQ(0, mailhdr_parseline(hdr.get(), "subject:no blank"));
    EXPECT_EQ(0, mailhdr_parseline(hdr.get(), "MESSAGE-ID: <a@b>"));
    mailhdr_fld* subject = mailhdr_getfld(hdr.get(), MAILHDR_FLD_SUBJECT);
    ASSERT_NE(nullptr, subject);
    EXPECT_STREQ("Subject", subject->name);
    EXPECT_EQ((Strings{"no blank"}), Lines(subject->lines));
    ASSERT_NE(nullptr, mailhdr_getfld(hdr.get(), 17));
    EXPECT_STREQ("Message-Id", mailhdr_getfld(hdr.get(), 17)->name);
}

TEST(ParseLine, OtherNamesKeepTheirSpellingAndBlanks) {
    HdrPtr hdr = NewHdr();
    EXPECT_EQ(0, mailhdr_parseline(hdr.get(), "X-Mailer : mutt"));
    EXPECT_EQ(0, mailhdr_parseline(hdr.get(), "Subject : not the subject"));
    mailhdr_fld* other = mailhdr_getfld(hdr.get(), MAILHDR_FLD_OTHER);
    ASSERT_NE(nullptr, other);
    EXPECT_EQ(MAILHDR_FLD_OTHER, other->id);
    EXPECT_STREQ("X-Mailer ", other->name);
    ASSERT_NE(nullptr, other->next);
    EXPECT_STREQ("Subject ", other->next->name);
    EXPECT_EQ(nullptr, mailhdr_getfld(hdr.get(), MAILHDR_FLD_SUBJECT));
}

TEST(ParseLine, ValueStartsAfterTheWhiteSpaceAndMayBeEmpty) {
    HdrPtr hdr = NewHdr();
    EXPECT_EQ(0, mailhdr_parseline(hdr.get(), "Subject:"));
    EXPECT_EQ((Strings{""}), Lines(mailhdr_getfldvalue(hdr.get(), MAILHDR_FLD_SUBJECT)));
    EXPECT_EQ(0, mailhdr_parseline(hdr.get(), "X-A: \t  a: b:c  "));
    EXPECT_EQ((Strings{"a: b:c  "}), Lines(mailhdr_getfldvalue_byname(hdr.get(), "X-A")));
    EXPECT_EQ(0, mailhdr_parseline(hdr.get(), ": nameless"));
    EXPECT_EQ((Strings{"nameless"}), Lines(mailhdr_getfldvalue_byname(hdr.get(), "")));
}

TEST(ParseLine, RepeatedFieldsFollowTheirType) {
    HdrPtr hdr = NewHdr();
    const char* block =
        "Subject: one\n"
        "Subject: two\n"
        "From: a@example.com\n"
        "From: b@example.com\n"
        "To: c@example.com\n"
        "To: d@example.com\n";
    EXPECT_EQ((std::vector<int>(6, 0)), ParseBlock(hdr.get(), block));
    // Text: one field gathering the lines.
    mailhdr_fld* subject = mailhdr_getfld(hdr.get(), MAILHDR_FLD_SUBJECT);
    EXPECT_EQ(nullptr, subject->next);
    EXPECT_EQ((Strings{"one", "two"}), Lines(subject->lines));
    // Address: one field, the later value replacing the earlier.
    mailhdr_fld* from = mailhdr_getfld(hdr.get(), 3);
    EXPECT_EQ(nullptr, from->next);
    EXPECT_EQ((Strings{"b@example.com"}), Lines(from->lines));
    // Address list: one field per line, in order.
    mailhdr_fld* to = mailhdr_getfld(hdr.get(), 6);
    ASSERT_NE(nullptr, to->next);
    EXPECT_EQ((Strings{"c@example.com"}), Lines(to->lines));
    EXPECT_EQ((Strings{"d@example.com"}), Lines(to->next->lines));
    EXPECT_EQ(nullptr, to->next->next);
}

TEST(ParseLineErrors, ContinuationBeforeAnyFieldIsRefused) {
    HdrPtr hdr = NewHdr();
    EXPECT_EQ(-1, mailhdr_parseline(hdr.get(), " orphan"));
    EXPECT_STREQ("first line is a concatination line", mailhdr_parse_errorstr());
    for (const mailhdr_fld* head : hdr->flds)
        EXPECT_EQ(nullptr, head);
}

TEST(ParseLineErrors, LineWithoutColonIsRefusedAndCurrentStays) {
    HdrPtr hdr = NewHdr();
    ASSERT_EQ(0, mailhdr_parseline(hdr.get(), "Subject: a"));
    EXPECT_EQ(-2, mailhdr_parseline(hdr.get(), "this is no header"));
    EXPECT_STREQ("no hdr fld found", mailhdr_parse_errorstr());
    EXPECT_EQ(0, mailhdr_parseline(hdr.get(), "\tb"));
    EXPECT_EQ((Strings{"a", "b"}), Lines(mailhdr_getfldvalue(hdr.get(), MAILHDR_FLD_SUBJECT)));
    // The text only changes on errors.
    EXPECT_EQ(0, mailhdr_parseline(hdr.get(), "X-B: c"));
    EXPECT_STREQ("no hdr fld found", mailhdr_parse_errorstr());
}

TEST(ParseLineErrors, NullArgumentsAreRefused) {
    HdrPtr hdr = NewHdr();
    EXPECT_EQ(-2, mailhdr_parseline(hdr.get(), nullptr));
    EXPECT_EQ(-2, mailhdr_parseline(nullptr, "Subject: x"));
}

TEST(ParseLineErrors, ContinuationAfterItsFieldWasRemovedIsRefused) {
    HdrPtr hdr = NewHdr();
    ASSERT_EQ(0, mailhdr_parseline(hdr.get(), "X-Gone: a"));
    EXPECT_EQ(0, mailhdr_delfld_byname(hdr.get(), "x-gone"));
    EXPECT_EQ(nullptr, hdr->current);
    EXPECT_EQ(-1, mailhdr_parseline(hdr.get(), "\tb"));
    EXPECT_EQ(nullptr, mailhdr_getfld(hdr.get(), MAILHDR_FLD_OTHER));

    ASSERT_EQ(0, mailhdr_parseline(hdr.get(), "Subject: s"));
    ASSERT_EQ(0, mailhdr_parseline(hdr.get(), "X-Kept: k"));
    EXPECT_EQ(0, mailhdr_delfld(hdr.get(), MAILHDR_FLD_SUBJECT));
    // Removing another field leaves `current` where it was.
    EXPECT_EQ(0, mailhdr_parseline(hdr.get(), "\tk2"));
    EXPECT_EQ((Strings{"k", "k2"}), Lines(mailhdr_getfldvalue_byname(hdr.get(), "X-Kept")));
}

// Lines per field: the last line that fits is taken, the next one refused
// with -3 and its continuations with -1; the record keeps everything before.
TEST(ParseLineLimits, LinesPerFieldAtAndPastTheLimit) {
    HdrPtr hdr = NewHdr();
    ASSERT_EQ(0, mailhdr_parseline(hdr.get(), "References: <1@x>"));
    for (int i = 1; i < MAILHDR_MAX_FLD_LINES; ++i) {
        ASSERT_EQ(0, mailhdr_parseline(hdr.get(), " <n@x>")) << i;
    }
    EXPECT_EQ(static_cast<std::size_t>(MAILHDR_MAX_FLD_LINES),
              stringlist_count(mailhdr_getfldvalue(hdr.get(), 20)));
    EXPECT_EQ(-3, mailhdr_parseline(hdr.get(), " <past@x>"));
    EXPECT_STREQ("hdr fld limit reached", mailhdr_parse_errorstr());
    // The full field takes no continuation lines any more.
    EXPECT_EQ(nullptr, hdr->current);
    EXPECT_EQ(-1, mailhdr_parseline(hdr.get(), " <later@x>"));
    // A repeated single-field name adds lines to the same field.
    EXPECT_EQ(-3, mailhdr_parseline(hdr.get(), "References: <again@x>"));
    EXPECT_EQ(static_cast<std::size_t>(MAILHDR_MAX_FLD_LINES),
              stringlist_count(mailhdr_getfldvalue(hdr.get(), 20)));
    EXPECT_EQ(0, mailhdr_parseline(hdr.get(), "Subject: still parsed"));
}

TEST(ParseLineLimits, FieldsPerIdentifierAtAndPastTheLimit) {
    HdrPtr hdr = NewHdr();
    for (int i = 0; i < MAILHDR_MAX_FLDS_PER_ID; ++i) {
        ASSERT_EQ(0, mailhdr_parseline(hdr.get(), "X-Many: v")) << i;
    }
    EXPECT_EQ(-3, mailhdr_parseline(hdr.get(), "X-Many: past"));
    EXPECT_STREQ("hdr fld limit reached", mailhdr_parse_errorstr());
    // The refused field has no continuation to take.
    EXPECT_EQ(nullptr, hdr->current);
    EXPECT_EQ(-1, mailhdr_parseline(hdr.get(), "\tcontinued"));
    int count = 0;
    for (mailhdr_fld* f = mailhdr_getfld(hdr.get(), MAILHDR_FLD_OTHER); f; f = f->next) {
        EXPECT_EQ((Strings{"v"}), Lines(f->lines));
        ++count;
    }
    EXPECT_EQ(MAILHDR_MAX_FLDS_PER_ID, count);
    // Other identifiers have their own lists.
    EXPECT_EQ(0, mailhdr_parseline(hdr.get(), "Received: from a"));
}

TEST(AddField, ByIdentifierAndByName) {
    HdrPtr hdr = NewHdr();
    mailhdr_fld* subject = mailhdr_addfld(hdr.get(), MAILHDR_FLD_SUBJECT);
    ASSERT_NE(nullptr, subject);
    EXPECT_STREQ("Subject", subject->name);
    EXPECT_EQ(nullptr, subject->lines);
    EXPECT_EQ(subject, mailhdr_addfld_byname(hdr.get(), "SUBJECT"));
    mailhdr_fld* r1 = mailhdr_addfld(hdr.get(), 1);
    mailhdr_fld* r2 = mailhdr_addfld_byname(hdr.get(), "received");
    ASSERT_NE(nullptr, r2);
    EXPECT_NE(r1, r2);
    EXPECT_EQ(r2, r1->next);
    mailhdr_fld* nameless = mailhdr_addfld_byname(hdr.get(), nullptr);
    ASSERT_NE(nullptr, nameless);
    EXPECT_STREQ("Other:", nameless->name);
    EXPECT_EQ(nullptr, mailhdr_addfld(hdr.get(), MAILHDR_NFLDS));
    EXPECT_EQ(nullptr, mailhdr_addfld(hdr.get(), -1));
    EXPECT_EQ(nullptr, mailhdr_addfld(nullptr, 1));
}

TEST(FindField, ByIdentifierAndName) {
    HdrPtr hdr = NewHdr();
    ParseBlock(hdr.get(),
               "X-One: 1\n"
               "X-Two: 2\n"
               "x-two: 2b\n"
               "Cc: c@example.com\n");
    mailhdr_fld* two = mailhdr_getfld_byname(hdr.get(), "X-TWO");
    ASSERT_NE(nullptr, two);
    EXPECT_EQ((Strings{"2"}), Lines(two->lines));
    EXPECT_EQ(mailhdr_getfld(hdr.get(), 7), mailhdr_getfld_byname(hdr.get(), "CC"));
    EXPECT_EQ(nullptr, mailhdr_getfld_byname(hdr.get(), "X-Three"));
    EXPECT_EQ(nullptr, mailhdr_getfld_byname(hdr.get(), nullptr));
    EXPECT_EQ(nullptr, mailhdr_getfld_byname(hdr.get(), "Other:"));
    // Lines of identifier 49 are only reachable by name.
    EXPECT_EQ(nullptr, mailhdr_getfldvalue(hdr.get(), MAILHDR_FLD_OTHER));
    EXPECT_EQ((Strings{"1"}), Lines(mailhdr_getfldvalue_byname(hdr.get(), "x-one")));
    EXPECT_EQ(nullptr, mailhdr_getfldvalue(hdr.get(), MAILHDR_FLD_SUBJECT));
    EXPECT_EQ(nullptr, mailhdr_getfld(hdr.get(), MAILHDR_NFLDS));
    EXPECT_EQ(nullptr, mailhdr_getfld(nullptr, 1));
}

TEST(CopyRecord, SameFieldsInOrderWithFreshCopies) {
    HdrPtr hdr = NewHdr();
    ParseBlock(hdr.get(),
               "Received: from a\n"
               "\tby b\n"
               "Received: from c\n"
               "Subject: s\n"
               "X-Z: z\n"
               "X-Y: y\n");
    ASSERT_EQ(0, mailhdr_parse_fld(mailhdr_getfld(hdr.get(), MAILHDR_FLD_SUBJECT)));
    mailhdr_addfld(hdr.get(), 21);  // a field without lines
    HdrPtr copy(mailhdr_copy(hdr.get()));
    ASSERT_NE(nullptr, copy);
    EXPECT_EQ(nullptr, copy->current);
    for (int id = 0; id < MAILHDR_NFLDS; ++id) {
        const mailhdr_fld* a = hdr->flds[id];
        const mailhdr_fld* b = copy->flds[id];
        for (; a != nullptr && b != nullptr; a = a->next, b = b->next) {
            EXPECT_EQ(a->id, b->id);
            EXPECT_STREQ(a->name, b->name);
            EXPECT_NE(a->name, b->name);
            EXPECT_EQ(Lines(a->lines), Lines(b->lines));
            if (a->lines != nullptr) {
                EXPECT_NE(a->lines, b->lines);
                EXPECT_NE(a->lines->str, b->lines->str);
            }
            EXPECT_EQ(nullptr, b->parsed);
        }
        EXPECT_EQ(a, nullptr) << id;
        EXPECT_EQ(b, nullptr) << id;
    }
    EXPECT_EQ(CbufText(hdr.get()), CbufText(copy.get()));
    // The copy lives on after the original is gone.
    hdr.reset();
    EXPECT_EQ((Strings{"from a", "by b"}), Lines(mailhdr_getfldvalue(copy.get(), 1)));
    EXPECT_EQ(nullptr, mailhdr_copy(nullptr));
}

TEST(ParseField, TextTypesJoinTheLinesWithABlank) {
    HdrPtr hdr = NewHdr();
    ParseBlock(hdr.get(), "Received: from a\n  by b\n   with c\nX-Empty:\n");
    mailhdr_fld* received = mailhdr_getfld(hdr.get(), 1);
    ASSERT_EQ(0, mailhdr_parse_fld(received));
    EXPECT_STREQ("from a by b with c", static_cast<const char*>(received->parsed));
    void* first = received->parsed;
    EXPECT_EQ(0, mailhdr_parse_fld(received));
    EXPECT_EQ(first, received->parsed);  // kept, not parsed again
    mailhdr_fld* empty = mailhdr_getfld_byname(hdr.get(), "X-Empty");
    ASSERT_EQ(0, mailhdr_parse_fld(empty));
    EXPECT_STREQ("", static_cast<const char*>(empty->parsed));
    EXPECT_EQ(-1, mailhdr_parse_fld(nullptr));
}

TEST(ParseField, NewLinesDropTheParsedValue) {
    HdrPtr hdr = NewHdr();
    ASSERT_EQ(0, mailhdr_parseline(hdr.get(), "Subject: a"));
    mailhdr_fld* subject = mailhdr_getfld(hdr.get(), MAILHDR_FLD_SUBJECT);
    ASSERT_EQ(0, mailhdr_parse_fld(subject));
    ASSERT_EQ(0, mailhdr_parseline(hdr.get(), " b"));
    EXPECT_EQ(nullptr, subject->parsed);
    ASSERT_EQ(0, mailhdr_parse_fld(subject));
    EXPECT_STREQ("a b", static_cast<const char*>(subject->parsed));
}

TEST(ParseField, EmptyAddressFieldFailsWithoutMessage) {
    LogCapture cap;
    HdrPtr hdr = NewHdr();
    ASSERT_EQ(0, mailhdr_parseline(hdr.get(), "From:"));
    EXPECT_EQ(-1, mailhdr_parse_fld(mailhdr_getfld(hdr.get(), 3)));
    EXPECT_EQ(nullptr, mailhdr_getfld(hdr.get(), 3)->parsed);
    EXPECT_TRUE(cap.Lines().empty());
}

TEST(ParseField, AddressListLinesAreJoinedByComma) {
    HdrPtr hdr = NewHdr();
    ParseBlock(hdr.get(), "To: Ann <ann@example.com>\n bob@example.org\n");
    mailhdr_fld* to = mailhdr_getfld(hdr.get(), 6);
    ASSERT_EQ(0, mailhdr_parse_fld(to));
    const mailaddr* a = static_cast<const mailaddr*>(to->parsed);
    ASSERT_NE(nullptr, a);
    EXPECT_STREQ("ann@example.com", a->address);
    ASSERT_NE(nullptr, a->next);
    EXPECT_STREQ("bob@example.org", a->next->address);
    EXPECT_EQ(nullptr, a->next->next);
}

TEST(ParseField, UnreadableAddressIsLoggedEachTime) {
    LogCapture cap;
    HdrPtr hdr = NewHdr();
    ASSERT_EQ(0, mailhdr_parseline(hdr.get(), "From: <<<"));
    mailhdr_fld* from = mailhdr_getfld(hdr.get(), 3);
    EXPECT_EQ(-1, mailhdr_parse_fld(from));
    EXPECT_EQ(-1, mailhdr_parse_fld(from));
    EXPECT_EQ(2u, cap.Count(QLOG_ERROR));
    EXPECT_TRUE(cap.Contains(QLOG_ERROR, "mailhdr_parse_fld(From) #<<<# failed - "));
    EXPECT_EQ((Strings{"<<<"}), Lines(from->lines));
}

}  // namespace
