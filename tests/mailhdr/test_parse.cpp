/*
 * test_parse.cpp - header records filled line by line: field names and
 * values, continuation lines, the per-type rules for repeated fields, the
 * errors of mailhdr_parseline, the record limits, copying, finding fields
 * and parsing a field's value.
 */
#include "mailhdr_test_util.h"

#include "platform/qorcsock_capture.h"

namespace {

TEST(ParseLine, AnyWhiteSpaceStartsAContinuationOfTheFieldBefore) {
    HdrPtr hdr = Parsed("Subject: hello\n  world\nX-Test: a\n\tb\n\vc\n\fd\n\re\n \t f\n");
    EXPECT_EQ("Subject=hello|world;X-Test=a|b|c|d|e|f", Record(hdr.get()));
    EXPECT_EQ(mailhdr_getfld_byname(hdr.get(), "x-test"), hdr->current);
}

// Table names take the table's spelling; other names keep theirs, blanks
// included; the value starts after the white space and may be empty. Text
// fields gather repeated lines, an address field keeps the last, and each
// address-list line is a field of its own.
TEST(ParseLine, NamesValuesAndRepeatedFields) {
    HdrPtr hdr = Parsed(
        "subject:no blank\nMESSAGE-ID: <a@b>\nX-Mailer : mutt\nSubject : not the subject\n"
        "X-A: \t  a: b:c  \n: nameless\nKeywords:\nSubject: two\nFrom: a@example.com\n"
        "From: b@example.com\nTo: c@example.com\nTo: d@example.com\n");
    EXPECT_EQ(
        "From=b@example.com;Subject=no blank|two;To=c@example.com;To=d@example.com;"
        "Message-Id=<a@b>;Keywords=;X-Mailer =mutt;Subject =not the subject;X-A=a: b:c  ;"
        "=nameless",
        Record(hdr.get()));
    EXPECT_EQ(MAILHDR_FLD_OTHER, mailhdr_getfld(hdr.get(), MAILHDR_FLD_OTHER)->id);
}

TEST(ParseLineErrors, OrphanContinuationLineWithoutColonAndNull) {
    HdrPtr hdr = NewHdr();
    EXPECT_EQ(-1, mailhdr_parseline(hdr.get(), " orphan"));
    EXPECT_STREQ("first line is a concatination line", mailhdr_parse_errorstr());
    EXPECT_EQ(-2, mailhdr_parseline(hdr.get(), nullptr));
    EXPECT_EQ(-2, mailhdr_parseline(nullptr, "Subject: x"));
    EXPECT_EQ("", Record(hdr.get()));
    // A line without colon leaves the current field as it was; the error
    // text only changes on errors.
    ASSERT_EQ(0, mailhdr_parseline(hdr.get(), "Subject: a"));
    EXPECT_EQ(-2, mailhdr_parseline(hdr.get(), "this is no header"));
    EXPECT_STREQ("no hdr fld found", mailhdr_parse_errorstr());
    EXPECT_EQ(0, mailhdr_parseline(hdr.get(), "\tb"));
    EXPECT_EQ(0, mailhdr_parseline(hdr.get(), "X-B: c"));
    EXPECT_STREQ("no hdr fld found", mailhdr_parse_errorstr());
    EXPECT_EQ("Subject=a|b;X-B=c", Record(hdr.get()));
}

// Removing the current field ends its continuation; removing another field
// leaves `current` where it was.
TEST(ParseLineErrors, ContinuationAfterItsFieldWasRemovedIsRefused) {
    HdrPtr hdr = Parsed("X-Gone: a\n");
    EXPECT_EQ(0, mailhdr_delfld_byname(hdr.get(), "x-gone"));
    EXPECT_EQ(nullptr, hdr->current);
    EXPECT_EQ(-1, mailhdr_parseline(hdr.get(), "\tb"));
    EXPECT_EQ("", Record(hdr.get()));
    ASSERT_EQ(0, mailhdr_parseline(hdr.get(), "Subject: s"));
    ASSERT_EQ(0, mailhdr_parseline(hdr.get(), "X-Kept: k"));
    EXPECT_EQ(0, mailhdr_delfld(hdr.get(), MAILHDR_FLD_SUBJECT));
    EXPECT_EQ(0, mailhdr_parseline(hdr.get(), "\tk2"));
    EXPECT_EQ("X-Kept=k|k2", Record(hdr.get()));
}

// Both limits, reached through the block parser (mailhdr_parseline walks
// its list on every append, so it is tried once, on the full record): the
// last line that fits is taken, the next one refused with -3 and its
// continuations with -1; the record keeps everything before.
TEST(ParseLineLimits, LinesPerFieldAndFieldsPerIdentifierAtAndPastTheLimit) {
    struct Case {
        const char* name;
        const char* first;  // the line that starts the field or list
        const char* more;   // each further line, up to the limit
        const char* past;   // a line past the limit, of the same kind
        const char* again;  // a new field line that would add to the full list
        int id;
        std::size_t limit;
    };
    const Case cases[] = {
        {"lines of one field", "References: <1@x>", " <n@x>", " <past@x>", "References: <again@x>",
         20, MAILHDR_MAX_FLD_LINES},
        {"fields of one name", "X-Many: v", "X-Many: v", "X-Many: past", "X-Many: again",
         MAILHDR_FLD_OTHER, MAILHDR_MAX_FLDS_PER_ID},
    };
    auto count = [](const mailhdr* hdr, int id) {
        return id == MAILHDR_FLD_OTHER
                   ? static_cast<std::size_t>(CountFields(hdr, id))
                   : static_cast<std::size_t>(stringlist_count(mailhdr_getfldvalue(hdr, id)));
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HdrPtr hdr = NewHdr();
        {
            mailhdr_block_parser parser(hdr.get());
            ASSERT_EQ(0, parser.parseline(c.first));
            for (std::size_t i = 1; i < c.limit; ++i)
                ASSERT_EQ(0, parser.parseline(c.more)) << i;
            EXPECT_EQ(c.limit, count(hdr.get(), c.id));
            EXPECT_EQ(-3, parser.parseline(c.past));
            EXPECT_STREQ("hdr fld limit reached", mailhdr_parse_errorstr());
            // The refused line's field takes no continuation lines.
            EXPECT_EQ(nullptr, hdr->current);
            EXPECT_EQ(-1, parser.parseline(" <later@x>"));
        }
        // The walking parser finds the same full list.
        EXPECT_EQ(-3, mailhdr_parseline(hdr.get(), c.again));
        EXPECT_EQ(c.limit, count(hdr.get(), c.id));
        // Other identifiers have their own lists.
        EXPECT_EQ(0, mailhdr_parseline(hdr.get(), "Received: from a"));
    }
}

// The block parser builds the record mailhdr_parseline builds, line for
// line and result for result, also on a record that already holds fields
// (it starts from their tails) and across a replaced address field.
TEST(ParseLineLimits, BlockParserGivesTheRecordOfTheLineParser) {
    const char* lines[] = {"Received: from a", "\tby b",           "To: x@y,",        " z@y",
                           "X-One: 1",         "Subject: s",       "X-Two: 2",        "\t2b",
                           "To: again@y",      " more@y",          "Subject: second", "\tfolded",
                           "no colon",         "Received: from c", "X-One: 1b"};
    HdrPtr walked = Parsed("X-Before: 0\nReceived: from first\nSubject: s0\n");
    HdrPtr kept = Parsed("X-Before: 0\nReceived: from first\nSubject: s0\n");
    mailhdr_block_parser parser(kept.get());
    for (const char* line : lines) {
        SCOPED_TRACE(line);
        EXPECT_EQ(mailhdr_parseline(walked.get(), line), parser.parseline(line));
    }
    EXPECT_EQ(Record(walked.get()), Record(kept.get()));
    EXPECT_EQ(Text(walked.get()), Text(kept.get()));
}

// A single-field type gives its one field again; a repeatable one gains
// a field at the end of its list.
TEST(AddAndFindField, ByIdentifierAndByName) {
    HdrPtr hdr = Parsed("X-One: 1\nX-Two: 2\nx-two: 2b\nCc: c@example.com\n");
    mailhdr_fld* subject = mailhdr_addfld(hdr.get(), MAILHDR_FLD_SUBJECT);
    ASSERT_NE(nullptr, subject);
    EXPECT_STREQ("Subject", subject->name);
    EXPECT_EQ(nullptr, subject->lines);
    EXPECT_EQ(subject, mailhdr_addfld_byname(hdr.get(), "SUBJECT"));
    mailhdr_fld* r1 = mailhdr_addfld(hdr.get(), 1);
    mailhdr_fld* r2 = mailhdr_addfld_byname(hdr.get(), "received");
    ASSERT_NE(nullptr, r2);
    EXPECT_EQ(r2, r1->next);
    for (int id : {MAILHDR_NFLDS, -1})
        EXPECT_EQ(nullptr, mailhdr_addfld(hdr.get(), id)) << id;
    EXPECT_EQ(nullptr, mailhdr_addfld(nullptr, 1));

    mailhdr_fld* two = mailhdr_getfld_byname(hdr.get(), "X-TWO");
    ASSERT_NE(nullptr, two);
    EXPECT_EQ((Strings{"2"}), Lines(two->lines));
    EXPECT_EQ(mailhdr_getfld(hdr.get(), 7), mailhdr_getfld_byname(hdr.get(), "CC"));
    for (const char* name : {"X-Three", static_cast<const char*>(nullptr), "Other:"})
        EXPECT_EQ(nullptr, mailhdr_getfld_byname(hdr.get(), name)) << (name ? name : "(null)");
    // Lines of identifier 49 are only reachable by name.
    EXPECT_EQ(nullptr, mailhdr_getfldvalue(hdr.get(), MAILHDR_FLD_OTHER));
    EXPECT_EQ((Strings{"1"}), Lines(mailhdr_getfldvalue_byname(hdr.get(), "x-one")));
    EXPECT_EQ(nullptr, mailhdr_getfld(hdr.get(), MAILHDR_NFLDS));
    EXPECT_EQ(nullptr, mailhdr_getfld(nullptr, 1));
    EXPECT_STREQ("Other:", mailhdr_addfld_byname(hdr.get(), nullptr)->name);
}

// The text of a copy is checked over the corpus; here: fields without
// lines, no parsed values, and nothing shared with the original.
TEST(CopyRecord, SameFieldsInOrderWithFreshCopies) {
    HdrPtr hdr = Parsed("Received: from a\n\tby b\nReceived: from c\nSubject: s\nX-Z: z\n");
    ASSERT_EQ(0, mailhdr_parse_fld(mailhdr_getfld(hdr.get(), MAILHDR_FLD_SUBJECT)));
    mailhdr_addfld(hdr.get(), 21);  // a field without lines
    const std::string record = Record(hdr.get());
    HdrPtr copy(mailhdr_copy(hdr.get()));
    ASSERT_NE(nullptr, copy);
    EXPECT_EQ(nullptr, copy->current);
    EXPECT_EQ(nullptr, mailhdr_getfld(copy.get(), MAILHDR_FLD_SUBJECT)->parsed);
    const mailhdr_fld* a = mailhdr_getfld(hdr.get(), 1);
    const mailhdr_fld* b = mailhdr_getfld(copy.get(), 1);
    EXPECT_NE(a->name, b->name);
    EXPECT_NE(a->lines, b->lines);
    EXPECT_NE(a->lines->str, b->lines->str);
    hdr.reset();  // the copy lives on
    EXPECT_EQ(record, Record(copy.get()));
    EXPECT_EQ(nullptr, mailhdr_copy(nullptr));
}

TEST(ParseField, TextTypesJoinTheLinesOnceUntilNewLinesCome) {
    HdrPtr hdr = Parsed("Received: from a\n  by b\n   with c\nX-Empty:\n");
    mailhdr_fld* received = mailhdr_getfld(hdr.get(), 1);
    ASSERT_EQ(0, mailhdr_parse_fld(received));
    EXPECT_STREQ("from a by b with c", static_cast<const char*>(received->parsed));
    void* first = received->parsed;
    EXPECT_EQ(0, mailhdr_parse_fld(received));
    EXPECT_EQ(first, received->parsed);  // kept, not parsed again
    ASSERT_EQ(0, mailhdr_parseline(hdr.get(), "Received: from d"));
    ASSERT_EQ(0, mailhdr_parseline(hdr.get(), " e"));
    mailhdr_fld* later = received->next;
    ASSERT_EQ(0, mailhdr_parse_fld(later));
    ASSERT_EQ(0, mailhdr_parseline(hdr.get(), " f"));
    EXPECT_EQ(nullptr, later->parsed);  // new lines drop the parsed value
    ASSERT_EQ(0, mailhdr_parse_fld(later));
    EXPECT_STREQ("from d e f", static_cast<const char*>(later->parsed));
    mailhdr_fld* empty = mailhdr_getfld_byname(hdr.get(), "X-Empty");
    ASSERT_EQ(0, mailhdr_parse_fld(empty));
    EXPECT_STREQ("", static_cast<const char*>(empty->parsed));
    EXPECT_EQ(-1, mailhdr_parse_fld(nullptr));
}

TEST(ParseField, AddressListLinesAreJoinedByComma) {
    HdrPtr hdr = Parsed("To: Ann <ann@example.com>\n bob@example.org\n");
    mailhdr_fld* to = mailhdr_getfld(hdr.get(), 6);
    ASSERT_EQ(0, mailhdr_parse_fld(to));
    Strings addresses;
    for (auto* a = static_cast<const mailaddr*>(to->parsed); a != nullptr; a = a->next)
        addresses.push_back(a->address);
    EXPECT_EQ((Strings{"ann@example.com", "bob@example.org"}), addresses);
}

// An empty address fails quietly; an unreadable one is logged each time
// it is parsed. Neither matches any pattern.
TEST(ParseField, EmptyOrUnreadableAddressFailsAndNeverMatches) {
    LogCapture cap;
    HdrPtr hdr = Parsed("From:\nCc:\n");
    EXPECT_EQ(-1, mailhdr_parse_fld(mailhdr_getfld(hdr.get(), 3)));
    EXPECT_EQ(nullptr, mailhdr_getfld(hdr.get(), 3)->parsed);
    EXPECT_EQ(0, mailhdr_fld_eq_id(hdr.get(), 7, "*"));
    EXPECT_TRUE(cap.Lines().empty());

    hdr = Parsed("From: <<<\n");
    mailhdr_fld* from = mailhdr_getfld(hdr.get(), 3);
    EXPECT_EQ(-1, mailhdr_parse_fld(from));
    EXPECT_EQ(-1, mailhdr_parse_fld(from));
    EXPECT_EQ(2u, cap.Count(QLOG_ERROR));
    EXPECT_TRUE(cap.Contains(QLOG_ERROR, "mailhdr_parse_fld(From) #<<<# failed - "));
    EXPECT_EQ((Strings{"<<<"}), Lines(from->lines));
    EXPECT_EQ(0, mailhdr_fld_eq_id(hdr.get(), 3, "*"));

    // A field of megabytes that does not parse: the line shows its start.
    hdr = Parsed("Cc: <<<" + std::string(1 << 20, 'x') + "\n");
    EXPECT_EQ(-1, mailhdr_parse_fld(mailhdr_getfld(hdr.get(), 7)));
    std::size_t longest = 0, found = 0;
    for (const LoggedLine& line : cap.Lines()) {
        longest = std::max(longest, line.text.size());
        found += line.text.find("mailhdr_parse_fld(Cc) #<<<xxx") == 0 ? 1 : 0;
    }
    EXPECT_EQ(1u, found);
    EXPECT_LT(longest, 400u);
}

}  // namespace
