/*
 * test_header_check.cpp - CheckHeader: list order against criterion order,
 * the default rule and its debug lines, criteria as alternatives, address
 * criteria (line text, bare address, display form), whole-header rules over
 * folded lines, and encoded words decoded on the private copy only.
 */
#include <gtest/gtest.h>

#include "platform/qorcsock_capture.h"
#include "rules/rulehelper.h"
#include "rules_test_util.h"

namespace {

// Action of the rule CheckHeader gives for `header` when the rules are added
// in order with actions 1, 2, 3, ...: 0 for the default rule, -1 for null.
int Verdict(std::initializer_list<const char*> ruleTexts, const HdrPtr& header) {
    CRuleHelper rules;
    rules.SetDefaultAction("h", 0);
    int action = 0;
    for (const char* text : ruleTexts)
        EXPECT_EQ(rules.AddRule("h", nullptr, text, 0, ++action, nullptr, 0), 0) << text;
    const Rule* r = rules.CheckHeader("h", header.get());
    return r == nullptr ? -1 : r->action;
}

TEST(HeaderCheck, FirstRuleOfTheListWinsOrTheDefaultAndTheDebugLineSaysWhich) {
    HdrPtr hdr = MakeHeader({"From: joe@example.com", "Subject: a special offer"});
    EXPECT_EQ(Verdict({"Subject: *offer*", "From: *example*"}, hdr), 1);
    CRuleHelper rules;
    rules.SetDefaultAction("h", 7);
    rules.AddRule("h", nullptr, "Subject: *offer*", 0, 1, nullptr, 0);
    rules.AddRule("h", nullptr, "From: *example*", 0, 2, nullptr, 1);
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

TEST(HeaderCheck, CriteriaAreAlternatives) {
    const auto rule = {"From: *example*;subject: NOTHING-like-this"};
    EXPECT_EQ(Verdict(rule, MakeHeader({"From: joe@example.com", "Subject: hello"})), 1);
    EXPECT_EQ(Verdict(rule, MakeHeader({"From: joe@other.org", "SUBJECT: nothing-like-this"})), 1);
    EXPECT_EQ(Verdict(rule, MakeHeader({"From: joe@other.org", "Subject: hello"})), 0);
    // Only the first field outside the table counts, found by its name.
    EXPECT_EQ(Verdict({"X-A: 1;X-B: 2"}, MakeHeader({"X-B: 2"})), 0);
    EXPECT_EQ(Verdict({"X-A: 1;X-B: 2"}, MakeHeader({"X-C: 1", "x-a: 1"})), 1);
    // Part rules match only a field literally of their name.
    EXPECT_EQ(Verdict({"attachment: *.exe"}, MakeHeader({"Subject: setup.exe"})), 0);
    EXPECT_EQ(Verdict({"attachment: *.exe"}, MakeHeader({"Attachment: setup.exe"})), 1);
}

// An address criterion that is no address compares the line as text. The
// From field below joins to a text that is no address list, so the header
// library's comparison fails and only the line tests can match: the bare
// address, then the display form of each line.
TEST(HeaderCheck, AddressCriteriaOverTheLinesOfTheField) {
    LogCapture log;
    EXPECT_EQ(Verdict({"To: *Joe<<*"}, MakeHeader({"To: Joe<< <joe@example.com>"})), 1);
    EXPECT_TRUE(log.Contains(QLOG_ERROR, "mailhdr_fld_eq(To): #*Joe<<*#"));
    EXPECT_EQ(Verdict({"From: *@example.com"}, MakeHeader({"From: \"Joe\" <joe@Example.COM>"})), 1);

    HdrPtr hdr = MakeHeader({"From: \"Joe Bloggs\" <joe@example.com>", "  (unclosed"});
    mailaddr* parsed = mailaddr_parse("\"Joe Bloggs\" <joe@example.com>");
    ASSERT_NE(parsed, nullptr);
    const std::string display = std::string("From: ") + parsed->display;
    mailaddr_free(&parsed);
    EXPECT_EQ(Verdict({"From: joe@example.com"}, hdr), 1);
    EXPECT_EQ(Verdict({display.c_str()}, hdr), 1);
    EXPECT_EQ(Verdict({"From: someone@example.com"}, hdr), 0);
    HdrPtr two = MakeHeader({"To: first@example.com,", "  Second <second@example.com>"});
    EXPECT_EQ(Verdict({"To: second@example.com"}, two), 1);
}

TEST(HeaderCheck, WholeHeaderRuleTestsEachLineOfTheDump) {
    HdrPtr hdr = MakeHeader({"Subject: first part", "\tsecond part", "X-Spam-Flag: YES, 9"});
    EXPECT_EQ(Verdict({"*: X-Spam-Flag: YES*"}, hdr), 1);
    EXPECT_EQ(Verdict({"*: X-Spam-Flag: NO*"}, hdr), 0);
    EXPECT_EQ(Verdict({"*: Subject: first part*second*"}, hdr), 0);
    // The continuation stands on its own line led by three blanks.
    EXPECT_EQ(Verdict({"*: ?  second part"}, hdr), 1);
    // The other criteria of a whole-header rule play no part.
    EXPECT_EQ(Verdict({"Subject: first part;*: Nothing-Like-This*"}, hdr), 0);
}

TEST(HeaderCheck, EncodedWordsAreDecodedOnTheCopyOnly) {
    HdrPtr hdr = MakeHeader(
        {"Subject: =?utf-8?Q?special_offer?=", "Received: =?us-ascii?Q?from_alpha?=",
         "Received: from beta", "To: =?iso-8859-1?B?SvxyZ2VuIFNjaG38cmdlbg==?= <js@example.com>",
         "X-Other: =?utf-8?Q?very_happy?=", "X-Mood: =?utf-8?B?dmVyeSBoYXBweQ==?="});
    EXPECT_EQ(Verdict({"Subject: *offer*"}, hdr), 1);
    // Lines of repeated fields are decoded together, in order.
    EXPECT_EQ(Verdict({"*: Received: from alpha"}, hdr), 1);
    EXPECT_EQ(Verdict({"*: ?  from beta"}, hdr), 1);
    // An encoded display name, compared in the display form (Latin-1 bytes).
    EXPECT_EQ(Verdict({"To: J?rgen Schm?rgen <*"}, hdr), 1);
    // Fields outside the table, the first or a later one, are decoded in place
    // under their own names.
    EXPECT_EQ(Verdict({"X-Mood: very happy"}, hdr), 1);
    EXPECT_EQ(Verdict({"*: X-Mood: very happy"}, hdr), 1);
    for (const auto& [name, line] : {std::pair{"Subject", "=?utf-8?Q?special_offer?="},
                                     {"Received", "=?us-ascii?Q?from_alpha?="},
                                     {"X-Mood", "=?utf-8?B?dmVyeSBoYXBweQ==?="}}) {
        const stringlist* lines = mailhdr_getfld_byname(hdr.get(), name)->lines;
        EXPECT_STREQ(lines->str, line) << name;
        EXPECT_EQ(lines->next, nullptr) << name;
    }
}

}  // namespace
