/*
 * test_match.cpp - comparing fields with rule patterns: wildcard texts for
 * the text types, the lists of repeatable fields, fields outside the table
 * kept apart by name, and address patterns for the address types.
 */
#include "mailhdr_test_util.h"

#include "platform/qorcsock_capture.h"

namespace {

TEST(Match, TextWildcardIgnoringCaseOverTheJoinedLines) {
    HdrPtr hdr = Parsed("Subject: Cheap\n  Offers today\nX-Other: value\n");
    EXPECT_EQ(1, mailhdr_fld_eq_id(hdr.get(), MAILHDR_FLD_SUBJECT, "cheap offers*"));
    EXPECT_EQ(1, mailhdr_fld_eq_name(hdr.get(), "SUBJECT", "*OFFERS TODAY"));
    EXPECT_EQ(0, mailhdr_fld_eq_id(hdr.get(), MAILHDR_FLD_SUBJECT, "cheap"));
    EXPECT_EQ(0, mailhdr_fld_eq_id(hdr.get(), MAILHDR_FLD_SUBJECT, nullptr));
    // Missing fields and identifiers outside the table never match.
    for (int id : {2, MAILHDR_FLD_OTHER, MAILHDR_NFLDS})
        EXPECT_EQ(0, mailhdr_fld_eq_id(hdr.get(), id, "*")) << id;
    EXPECT_EQ(0, mailhdr_fld_eq_name(hdr.get(), "X-Missing", "*"));
    EXPECT_EQ(0, mailhdr_fld_eq(nullptr, "*"));
}

// A field stands for itself and the later fields of its list; fields
// outside the table share identifier 49 but each stands only for the
// fields of its own name.
TEST(Match, AnyLaterFieldOfTheListMayMatch) {
    HdrPtr hdr = Parsed(
        "Received: from a.example\nReceived: from relay.bad.example\n"
        "X-A: apple\nX-B: banana\nx-a: apricot\n"
        "To: a@one.example\nTo: b@two.example, c@three.example\n");
    mailhdr_fld* received = mailhdr_getfld(hdr.get(), 1);
    EXPECT_EQ(1, mailhdr_fld_eq(received, "*bad.example"));
    EXPECT_EQ(0, mailhdr_fld_eq(received->next, "from a.*"));  // earlier fields are not seen
    EXPECT_EQ(1, mailhdr_fld_eq_name(hdr.get(), "received", "from a.example"));
    mailhdr_fld* xa = mailhdr_getfld_byname(hdr.get(), "X-A");
    EXPECT_EQ(0, mailhdr_fld_eq(xa, "banana"));
    EXPECT_EQ(1, mailhdr_fld_eq(xa, "apricot"));
    EXPECT_EQ(1, mailhdr_fld_eq_name(hdr.get(), "X-B", "ban*"));
    EXPECT_EQ(0, mailhdr_fld_eq_name(hdr.get(), "X-B", "ap*"));
    mailhdr_fld* to = mailhdr_getfld(hdr.get(), 6);
    EXPECT_EQ(1, mailhdr_fld_eq(to, "c@three.example"));
    EXPECT_EQ(0, mailhdr_fld_eq(to->next, "a@one.example"));
}

TEST(Match, AddressPatternOrListOfThemAgainstTheField) {
    HdrPtr hdr = Parsed("From: Ann Example <Ann@Example.COM>\n");
    EXPECT_EQ(1, mailhdr_fld_eq_id(hdr.get(), 3, "*@example.com"));
    EXPECT_EQ(1, mailhdr_fld_eq_id(hdr.get(), 3, "ann@*"));
    EXPECT_EQ(0, mailhdr_fld_eq_id(hdr.get(), 3, "*@example.org"));
    EXPECT_EQ(1, mailhdr_fld_eq_id(hdr.get(), 3, "x@example.org, *@example.com"));
}

TEST(Match, UnreadableAddressPatternIsLoggedAndNoMatch) {
    HdrPtr hdr = Parsed("From: a@example.com\n");
    LogCapture cap;
    EXPECT_EQ(0, mailhdr_fld_eq_id(hdr.get(), 3, "<<<"));
    EXPECT_EQ(1u, cap.Count(QLOG_ERROR));
    EXPECT_TRUE(cap.Contains(QLOG_ERROR, "mailhdr_fld_eq(From): #<<<# - "));
}

}  // namespace
