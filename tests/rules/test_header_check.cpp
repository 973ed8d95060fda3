/*
 * test_header_check.cpp - CRuleHelper::CheckHeader: list order against
 * criterion order, criteria as alternatives, the address criteria (line as
 * text, bare address, display form), whole-header rules over folded lines,
 * encoded words decoded on the private copy only (also in fields outside
 * the field table), unknown sets, and a real mail of the corpus.
 */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/qorcsock_capture.h"
#include "rules/rulehelper.h"
#include "rules_test_util.h"

namespace {

class HeaderCheck : public ::testing::Test {
  protected:
    int Add(const char* text, int action, int prepend = 0) {
        return rules.AddRule("h", text, text, 0, action, nullptr, prepend);
    }
    // Action of the rule CheckHeader gives, 0 for the default rule, -1 for
    // no rule at all.
    int ActionFor(const HdrPtr& hdr) {
        const Rule* r = rules.CheckHeader("h", hdr.get());
        if (r == nullptr)
            return -1;
        return r->is_default ? 0 : r->action;
    }
    CRuleHelper rules;
};

TEST_F(HeaderCheck, SetWithoutRulesGivesDefaultRuleAndSaysSo) {
    rules.SetDefaultAction("h", 7);
    debug_enable("MAILWARD_Debug", 1);
    LogCapture log;
    HdrPtr hdr = MakeHeader({"Subject: anything"});
    const Rule* r = rules.CheckHeader("h", hdr.get());
    debug_enable("MAILWARD_Debug", 0);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->is_default, 1);
    EXPECT_EQ(r->action, 7);
    EXPECT_TRUE(log.Contains(QLOG_DEBUG, "CRuleHelper::CheckHeader() - set: h"));
    EXPECT_TRUE(
        log.Contains(QLOG_DEBUG, "CRuleHelper::CheckHeader() - returning default rule: default"));
}

TEST_F(HeaderCheck, UnknownSetAndUncopyableHeaderGiveNull) {
    ASSERT_EQ(Add("Subject: *", 4), 0);
    HdrPtr hdr = MakeHeader({"Subject: x"});
    EXPECT_EQ(rules.CheckHeader("nope", hdr.get()), nullptr);
    EXPECT_EQ(rules.CheckHeader(nullptr, hdr.get()), nullptr);
    LogCapture log;
    EXPECT_EQ(rules.CheckHeader("h", nullptr), nullptr);
    EXPECT_TRUE(log.Contains(QLOG_ERROR, "CRuleHelper::CheckHeader() - mailhdr_copy() failed"));
}

TEST_F(HeaderCheck, ListOrderDecidesNotCriterionOrder) {
    ASSERT_EQ(Add("Subject: *offer*", 4), 0);
    ASSERT_EQ(Add("From: *example*", 5), 0);
    HdrPtr hdr = MakeHeader({"From: joe@example.com", "Subject: a special offer"});
    debug_enable("MAILWARD_Debug", 1);
    LogCapture log;
    EXPECT_EQ(ActionFor(hdr), 4);
    debug_enable("MAILWARD_Debug", 0);
    EXPECT_TRUE(
        log.Contains(QLOG_DEBUG, "CRuleHelper::CheckHeader() - returning rule: Subject: *offer*"));

    ASSERT_EQ(Add("From: *example*", 6, 1), 0);
    EXPECT_EQ(ActionFor(hdr), 6);
}

TEST_F(HeaderCheck, CriteriaAreAlternatives) {
    ASSERT_EQ(Add("From: *example*;Subject: nothing-like-this", 4), 0);
    EXPECT_EQ(ActionFor(MakeHeader({"From: joe@example.com", "Subject: hello"})), 4);
    EXPECT_EQ(ActionFor(MakeHeader({"From: joe@other.org", "Subject: nothing-like-this"})), 4);
    EXPECT_EQ(ActionFor(MakeHeader({"From: joe@other.org", "Subject: hello"})), 0);
    // A criterion on a field the mail lacks is passed over.
    EXPECT_EQ(ActionFor(MakeHeader({"Subject: nothing-like-this"})), 4);
}

TEST_F(HeaderCheck, PatternsIgnoreLetterCase) {
    ASSERT_EQ(Add("subject: *OFFER*", 4), 0);
    EXPECT_EQ(ActionFor(MakeHeader({"SUBJECT: great offer"})), 4);
}

TEST_F(HeaderCheck, OnlyTheFirstFieldOutsideTheTableCounts) {
    ASSERT_EQ(Add("X-A: 1;X-B: 2", 4), 0);
    EXPECT_EQ(ActionFor(MakeHeader({"X-B: 2"})), 0);
    EXPECT_EQ(ActionFor(MakeHeader({"X-A: 1"})), 4);
    EXPECT_EQ(ActionFor(MakeHeader({"x-a: 1"})), 4);
    // Another field outside the table with the value does not stand in.
    EXPECT_EQ(ActionFor(MakeHeader({"X-C: 1", "X-B: 2"})), 0);
}

TEST_F(HeaderCheck, PartRulesMatchOnlyAFieldOfTheirName) {
    ASSERT_EQ(Add("attachment: *.exe", 4), 0);
    ASSERT_EQ(Add("body: money", 5), 0);
    EXPECT_EQ(ActionFor(MakeHeader({"Subject: setup.exe money"})), 0);
    EXPECT_EQ(ActionFor(MakeHeader({"attachment: setup.exe"})), 4);
    EXPECT_EQ(ActionFor(MakeHeader({"Body: money"})), 5);
}

// ---- address criteria ----

TEST_F(HeaderCheck, AddressPatternThatIsNoAddressStillMatchesLineText) {
    ASSERT_EQ(Add("To: *Joe<<*", 4), 0);
    LogCapture log;
    EXPECT_EQ(ActionFor(MakeHeader({"To: Joe<< <joe@example.com>"})), 4);
    EXPECT_TRUE(log.Contains(QLOG_ERROR, "mailhdr_fld_eq(To): #*Joe<<*#"));
}

TEST_F(HeaderCheck, AddressFieldMatchedByAddressComparison) {
    ASSERT_EQ(Add("From: *@example.com", 4), 0);
    EXPECT_EQ(ActionFor(MakeHeader({"From: \"Joe\" <joe@Example.COM>"})), 4);
    EXPECT_EQ(ActionFor(MakeHeader({"From: \"Joe\" <joe@example.org>"})), 0);
}

// The From field below joins to a text that is no address list, so the
// header library's comparison fails and only the line tests can match.
TEST_F(HeaderCheck, BareAddressOfALineIsTestedWhenTheFieldDoesNotParse) {
    ASSERT_EQ(Add("From: joe@example.com", 4), 0);
    HdrPtr hdr = MakeHeader({"From: Joe Bloggs <joe@example.com>", "  (unclosed"});
    EXPECT_EQ(ActionFor(hdr), 4);
    rules.ClearRules();
    ASSERT_EQ(Add("From: someone@example.com", 4), 0);
    EXPECT_EQ(ActionFor(hdr), 0);
}

TEST_F(HeaderCheck, DisplayFormOfALineIsTestedAfterTheBareAddress) {
    HdrPtr hdr = MakeHeader({"From: \"Joe Bloggs\" <joe@example.com>", "  (unclosed"});
    mailaddr* parsed = mailaddr_parse("\"Joe Bloggs\" <joe@example.com>");
    ASSERT_NE(parsed, nullptr);
    std::string display = parsed->display;
    mailaddr_free(&parsed);
    // The quotes of the line keep the line test from matching the display.
    ASSERT_NE(display, "\"Joe Bloggs\" <joe@example.com>");
    ASSERT_EQ(Add(("From: " + display).c_str(), 4), 0);
    EXPECT_EQ(ActionFor(hdr), 4);
}

TEST_F(HeaderCheck, EveryLineOfTheFirstAddressFieldIsTested) {
    ASSERT_EQ(Add("To: second@example.com", 4), 0);
    // Two lines of one To field; only the second holds the address.
    HdrPtr hdr = MakeHeader({"To: first@example.com,", "  Second <second@example.com>"});
    EXPECT_EQ(ActionFor(hdr), 4);
}

// ---- whole-header rules ----

TEST_F(HeaderCheck, WholeHeaderRuleMatchesAnyLineOfTheHeader) {
    ASSERT_EQ(Add("*: X-Spam-Flag: YES*", 4), 0);
    EXPECT_EQ(ActionFor(MakeHeader({"Subject: hi", "X-Spam-Flag: YES, score=9"})), 4);
    EXPECT_EQ(ActionFor(MakeHeader({"Subject: hi", "X-Spam-Flag: NO"})), 0);
}

TEST_F(HeaderCheck, WholeHeaderRuleSeesFoldedLinesAsLinesOfTheirOwn) {
    HdrPtr hdr = MakeHeader({"Subject: first part", "\tsecond part"});
    ASSERT_EQ(Add("*: Subject: first part*second*", 4), 0);
    EXPECT_EQ(ActionFor(hdr), 0);
    // The continuation is written led by three blanks.
    ASSERT_EQ(Add("*: ?  second part", 5), 0);
    EXPECT_EQ(ActionFor(hdr), 5);
    ASSERT_EQ(Add("*: Subject: first part", 6, 1), 0);
    EXPECT_EQ(ActionFor(hdr), 6);
}

TEST_F(HeaderCheck, WholeHeaderRuleTestsNothingButItsPattern) {
    // The Subject criterion before the "*" line plays no part.
    ASSERT_EQ(Add("Subject: hello;*: Nothing-Like-This*", 4), 0);
    EXPECT_EQ(ActionFor(MakeHeader({"Subject: hello"})), 0);
}

// ---- encoded words ----

TEST_F(HeaderCheck, EncodedSubjectIsDecodedOnTheCopyOnly) {
    ASSERT_EQ(Add("Subject: *offer*", 4), 0);
    HdrPtr hdr = MakeHeader({"Subject: =?utf-8?Q?special_offer?="});
    EXPECT_EQ(ActionFor(hdr), 4);
    EXPECT_EQ(FieldLines(hdr.get(), "Subject"),
              (std::vector<std::string>{"=?utf-8?Q?special_offer?="}));
}

TEST_F(HeaderCheck, EncodedLinesOfRepeatedFieldsAreGatheredInOrder) {
    // Two Received fields, one encoded: decoded together into one field.
    ASSERT_EQ(Add("*: Received: from alpha", 4), 0);
    ASSERT_EQ(Add("*: ?  from beta", 5), 0);
    HdrPtr hdr = MakeHeader({"Received: =?us-ascii?Q?from_alpha?=", "Received: from beta"});
    EXPECT_EQ(ActionFor(hdr), 4);
    rules.ClearRules();
    ASSERT_EQ(Add("*: ?  from beta", 5), 0);
    EXPECT_EQ(ActionFor(hdr), 5);
    EXPECT_EQ(FieldLines(hdr.get(), "Received"),
              (std::vector<std::string>{"=?us-ascii?Q?from_alpha?="}));
}

TEST_F(HeaderCheck, EncodedFieldOutsideTheTableIsDecodedUnderItsName) {
    ASSERT_EQ(Add("X-Mood: *very happy*", 4), 0);
    HdrPtr hdr =
        MakeHeader({"X-Other: =?utf-8?Q?very_happy?=", "X-Mood: =?utf-8?B?dmVyeSBoYXBweQ==?="});
    EXPECT_EQ(ActionFor(hdr), 4);
    rules.ClearRules();
    ASSERT_EQ(Add("*: X-Mood: very happy", 5), 0);
    EXPECT_EQ(ActionFor(hdr), 5);
    EXPECT_EQ(FieldLines(hdr.get(), "X-Mood"),
              (std::vector<std::string>{"=?utf-8?B?dmVyeSBoYXBweQ==?="}));
}

TEST_F(HeaderCheck, MalformedEncodedWordStaysAsItIs) {
    ASSERT_EQ(Add("Subject: =?utf-8?X?broken?=", 4), 0);
    EXPECT_EQ(ActionFor(MakeHeader({"Subject: =?utf-8?X?broken?="})), 4);
}

// ---- a real mail ----

TEST_F(HeaderCheck, CorpusMailWithEncodedSubjectAndRecipient) {
    HdrPtr hdr = CorpusHeader("mail-parser/legacy/007.eml");
    ASSERT_NE(mailhdr_getfld(hdr.get(), MAILHDR_FLD_SUBJECT), nullptr);
    ASSERT_EQ(Add("Subject: *Hasen und die Fr?sche*", 4), 0);
    EXPECT_EQ(ActionFor(hdr), 4);
    rules.ClearRules();
    // The recipient's display name is a base64 encoded word.
    ASSERT_EQ(Add("To: J?rgen Schm?rgen <*", 5), 0);
    EXPECT_EQ(ActionFor(hdr), 5);
    rules.ClearRules();
    ASSERT_EQ(Add("*: Content-Type: text/plain?", 6), 0);
    EXPECT_EQ(ActionFor(hdr), 6);
    rules.ClearRules();
    ASSERT_EQ(Add("X-Mailer: *Outlook*", 7), 0);
    EXPECT_EQ(ActionFor(hdr), 7);
}

TEST_F(HeaderCheck, MatchHeaderTestsOneRule) {
    ASSERT_EQ(Add("Subject: *x*", 4), 0);
    const Rule* r = rules.FindRuleSet("h")->rules;
    HdrPtr yes = MakeHeader({"Subject: axb"});
    HdrPtr no = MakeHeader({"Subject: ab"});
    EXPECT_TRUE(rules.MatchHeader(r, yes.get()));
    EXPECT_FALSE(rules.MatchHeader(r, no.get()));
    EXPECT_FALSE(rules.MatchHeader(rules.FindRuleSet("h")->default_rule, yes.get()));
}

}  // namespace
