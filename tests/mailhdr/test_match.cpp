/*
 * test_match.cpp - comparing fields with rule patterns: wildcard texts for
 * the text types, the lists of repeatable fields, fields outside the table
 * kept apart by name, and address patterns for the address types.
 */
#include "mailhdr_test_util.h"

#include "platform/qorcsock_capture.h"

namespace {

TEST(MatchText, WildcardIgnoringCaseOverTheJoinedLines) {
    HdrPtr hdr = NewHdr();
    ParseBlock(hdr.get(), "Subject: Cheap\n  Offers today\n");
    EXPECT_EQ(1, mailhdr_fld_eq_id(hdr.get(), MAILHDR_FLD_SUBJECT, "cheap offers*"));
    EXPECT_EQ(1, mailhdr_fld_eq_name(hdr.get(), "SUBJECT", "*OFFERS TODAY"));
    EXPECT_EQ(0, mailhdr_fld_eq_id(hdr.get(), MAILHDR_FLD_SUBJECT, "cheap"));
    EXPECT_EQ(0, mailhdr_fld_eq_id(hdr.get(), MAILHDR_FLD_SUBJECT, nullptr));
}

TEST(MatchText, MissingFieldsAndIdentifiersOutsideTheTableNeverMatch) {
    HdrPtr hdr = NewHdr();
    ParseBlock(hdr.get(), "X-Other: value\n");
    EXPECT_EQ(0, mailhdr_fld_eq_id(hdr.get(), 2, "*"));
    EXPECT_EQ(0, mailhdr_fld_eq_id(hdr.get(), MAILHDR_FLD_OTHER, "*"));
    EXPECT_EQ(0, mailhdr_fld_eq_id(hdr.get(), MAILHDR_NFLDS, "*"));
    EXPECT_EQ(0, mailhdr_fld_eq_name(hdr.get(), "X-Missing", "*"));
    EXPECT_EQ(0, mailhdr_fld_eq(nullptr, "*"));
}

TEST(MatchTextList, AnyLaterFieldOfTheListMayMatch) {
    HdrPtr hdr = NewHdr();
    ParseBlock(hdr.get(), "Received: from a.example\nReceived: from relay.bad.example\n");
    mailhdr_fld* first = mailhdr_getfld(hdr.get(), 1);
    EXPECT_EQ(1, mailhdr_fld_eq(first, "*bad.example"));
    EXPECT_EQ(0, mailhdr_fld_eq(first->next, "from a.*"));  // earlier fields are not seen
    EXPECT_EQ(1, mailhdr_fld_eq_name(hdr.get(), "received", "from a.example"));
}

// Fields outside the table share identifier 49; each stands only for the
// fields of its own name.
TEST(MatchTextList, FieldsOutsideTheTableAreKeptApartByName) {
    HdrPtr hdr = NewHdr();
    ParseBlock(hdr.get(), "X-A: apple\nX-B: banana\nx-a: apricot\n");
    mailhdr_fld* xa = mailhdr_getfld_byname(hdr.get(), "X-A");
    EXPECT_EQ(0, mailhdr_fld_eq(xa, "banana"));
    EXPECT_EQ(1, mailhdr_fld_eq(xa, "apricot"));
    EXPECT_EQ(1, mailhdr_fld_eq_name(hdr.get(), "X-B", "ban*"));
    EXPECT_EQ(0, mailhdr_fld_eq_name(hdr.get(), "X-B", "ap*"));
}

TEST(MatchAddress, AddressPatternAgainstTheField) {
    HdrPtr hdr = NewHdr();
    ParseBlock(hdr.get(), "From: Ann Example <Ann@Example.COM>\n");
    EXPECT_EQ(1, mailhdr_fld_eq_id(hdr.get(), 3, "*@example.com"));
    EXPECT_EQ(1, mailhdr_fld_eq_id(hdr.get(), 3, "ann@*"));
    EXPECT_EQ(0, mailhdr_fld_eq_id(hdr.get(), 3, "*@example.org"));
    // Any address of a pattern list may match.
    EXPECT_EQ(1, mailhdr_fld_eq_id(hdr.get(), 3, "x@example.org, *@example.com"));
}

TEST(MatchAddress, AddressListOverTheLaterFields) {
    HdrPtr hdr = NewHdr();
    ParseBlock(hdr.get(), "To: a@one.example\nTo: b@two.example, c@three.example\n");
    mailhdr_fld* first = mailhdr_getfld(hdr.get(), 6);
    EXPECT_EQ(1, mailhdr_fld_eq(first, "c@three.example"));
    EXPECT_EQ(0, mailhdr_fld_eq(first->next, "a@one.example"));
}

TEST(MatchAddress, UnreadablePatternIsLoggedAndNoMatch) {
    HdrPtr hdr = NewHdr();
    ParseBlock(hdr.get(), "From: a@example.com\n");
    LogCapture cap;
    EXPECT_EQ(0, mailhdr_fld_eq_id(hdr.get(), 3, "<<<"));
    EXPECT_EQ(1u, cap.Count(QLOG_ERROR));
    EXPECT_TRUE(cap.Contains(QLOG_ERROR, "mailhdr_fld_eq(From): #<<<# - "));
}

TEST(MatchAddress, UnreadableFieldMatchesNothing) {
    HdrPtr hdr = NewHdr();
    ParseBlock(hdr.get(), "From: <<<\nCc:\n");
    LogCapture cap;
    EXPECT_EQ(0, mailhdr_fld_eq_id(hdr.get(), 3, "*"));
    EXPECT_EQ(0, mailhdr_fld_eq_id(hdr.get(), 7, "*"));
    EXPECT_TRUE(cap.Contains(QLOG_ERROR, "mailhdr_parse_fld(From) #<<<# failed"));
}

}  // namespace
