/*
 * test_header_check.cpp - CheckHeader: list order, the default rule and its
 * debug lines, criteria as alternatives, address criteria, whole-header
 * rules over folded lines, and encoded words decoded on a private copy.
 */
#include <gtest/gtest.h>

#include "platform/qorcsock_capture.h"
#include "rules/rulehelper.h"
#include "rules_test_util.h"

namespace {

TEST(HeaderCheck, FirstRuleOfTheListWinsOrTheDefaultAndTheDebugLineSaysWhich) {
    CRuleHelper rules;
    rules.SetDefaultAction("h", 7);
    rules.AddRule("h", nullptr, "Subject: *offer*", 0, 1, nullptr, 0);
    rules.AddRule("h", nullptr, "From: *example*", 0, 2, nullptr, 1);
    HdrPtr hdr = MakeHeader({"From: joe@example.com", "Subject: a special offer"});
    HdrPtr other = MakeHeader({"Subject: anything"});
    debug_enable("MAILWARD_Debug", 1);
    LogCapture log;
    EXPECT_EQ(rules.CheckHeader("h", hdr.get())->action, 2);
    EXPECT_EQ(rules.CheckHeader("h", other.get())->action, 7);
    debug_enable("MAILWARD_Debug", 0);
    EXPECT_TRUE(
        log.Contains(QLOG_DEBUG, "CRuleHelper::CheckHeader() - returning rule: From: *example*"));
    EXPECT_TRUE(
        log.Contains(QLOG_DEBUG, "CRuleHelper::CheckHeader() - returning default rule: default"));
    EXPECT_EQ(rules.CheckHeader(nullptr, hdr.get()), nullptr);
    EXPECT_EQ(rules.CheckHeader("h", nullptr), nullptr);
    EXPECT_TRUE(log.Contains(QLOG_ERROR, "CRuleHelper::CheckHeader() - mailhdr_copy() failed"));
}

using Lines = std::vector<const char*>;

// One rule (action 1) against a header: 1 when it matches, 0 for the
// default rule.
TEST(HeaderCheck, OneRuleAgainstAHeader) {
    const Lines joined = {"Subject: first part", "\tsecond part", "X-Spam-Flag: YES, 9"};
    // The From field joins to no address list: only the line tests can match.
    const Lines unclosed = {"From: \"Joe Bloggs\" <joe@example.com>", "  (unclosed"};
    const Lines encoded = {"Subject: =?utf-8?Q?special_offer?=",
                           "Received: =?us-ascii?Q?from_alpha?=",
                           "Received: from beta",
                           "To: =?iso-8859-1?B?SvxyZ2VuIFNjaG38cmdlbg==?= <js@example.com>",
                           "X-Other: =?utf-8?Q?very_happy?=",
                           "X-Mood: =?utf-8?B?dmVyeSBoYXBweQ==?="};
    mailaddr* parsed = mailaddr_parse("\"Joe Bloggs\" <joe@example.com>");
    ASSERT_NE(parsed, nullptr);
    const std::string display = std::string("From: ") + parsed->display;
    mailaddr_free(&parsed);
    const std::string alternatives = "From: *example*;subject: NOTHING-like-this";
    const struct {
        std::string rule;
        Lines header;
        int verdict;
    } rows[] = {
        // Criteria are alternatives; only the first field outside the table
        // counts, found by its name; part rules need a field of their name.
        {alternatives, {"From: joe@example.com", "Subject: hello"}, 1},
        {alternatives, {"From: joe@other.org", "SUBJECT: nothing-like-this"}, 1},
        {alternatives, {"From: joe@other.org", "Subject: hello"}, 0},
        {"X-A: 1;X-B: 2", {"X-B: 2"}, 0},
        {"X-A: 1;X-B: 2", {"X-C: 1", "x-a: 1"}, 1},
        {"attachment: *.exe", {"Subject: setup.exe"}, 0},
        {"attachment: *.exe", {"Attachment: setup.exe"}, 1},
        // An address criterion that is no address compares the line as text;
        // then the bare address and the display form of each line are tried.
        {"To: *Joe<<*", {"To: Joe<< <joe@example.com>"}, 1},
        {"From: joe@example.com", unclosed, 1},
        {display, unclosed, 1},
        {"From: someone@example.com", unclosed, 0},
        {"To: second@example.com", {"To: first@example.com,", "  Second <second@example.com>"}, 1},
        // Whole-header rules test each line of the dump (continuations led by
        // three blanks); the rule's other criteria play no part.
        {"*: X-Spam-Flag: YES*", joined, 1},
        {"*: X-Spam-Flag: NO*", joined, 0},
        {"*: Subject: first part*second*", joined, 0},
        {"*: ?  second part", joined, 1},
        {"Subject: first part;*: Nothing-Like-This*", joined, 0},
        // Encoded words: repeated fields decoded together in order, display
        // names compared in Latin-1, fields outside the table under their names.
        {"*: Received: from alpha", encoded, 1},
        {"*: ?  from beta", encoded, 1},
        {"To: J?rgen Schm?rgen <*", encoded, 1},
        {"X-Mood: very happy", encoded, 1},
        {"*: X-Mood: very happy", encoded, 1},
    };
    LogCapture log;  // unreadable addresses are logged; the header library's tests say how
    for (const auto& row : rows) {
        CRuleHelper rules;
        rules.SetDefaultAction("h", 0);
        ASSERT_EQ(rules.AddRule("h", nullptr, row.rule.c_str(), 0, 1, nullptr, 0), 0) << row.rule;
        HdrPtr hdr = MakeHeader(row.header);
        EXPECT_EQ(rules.CheckHeader("h", hdr.get())->action, row.verdict) << row.rule;
        if (row.header == encoded) {
            // Decoded on a copy: the caller's record keeps the encoded lines.
            for (const auto& [name, line] : {std::pair{"Subject", "=?utf-8?Q?special_offer?="},
                                             {"Received", "=?us-ascii?Q?from_alpha?="},
                                             {"X-Mood", "=?utf-8?B?dmVyeSBoYXBweQ==?="}}) {
                const stringlist* lines = mailhdr_getfld_byname(hdr.get(), name)->lines;
                EXPECT_STREQ(lines->str, line) << name;
                EXPECT_EQ(lines->next, nullptr) << name;
            }
        }
    }
}

}  // namespace
