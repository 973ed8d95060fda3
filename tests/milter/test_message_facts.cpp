/*
 * test_message_facts.cpp - the milter's one log line per message: every
 * fact an operator greps for, and nothing a sender writes can break the
 * line or forge a field of it.
 */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "milter/message_facts.h"

namespace {

CheckResult Found(const std::string& virus, std::vector<std::string> rules) {
    CheckResult r;
    r.virusName = virus;
    r.ruleNames = std::move(rules);
    return r;
}

TEST(MessageFacts, TheLineNamesSenderRecipientsIdVerdictActionRulesAndVirus) {
    const std::vector<HeaderField> headers = {{"Subject", " first"},
                                              {"Message-Id", " \r\n\t<a.1@example.org>"},
                                              {"Message-ID", " <second@example.org>"},
                                              {"Subject", " second"}};
    Decision d{MilterAction::Reject, "virus found (Eicar-Test-Signature)", "550", "5.7.1", "no"};
    const MessageFacts f =
        GatherFacts("4ABC", "a@example.org", {"b@example.net", "c@example.net"}, headers, 1234,
                    Found("Eicar-Test-Signature", {"remove exe", "default"}), d, 0.0125);
    EXPECT_EQ(f.messageId, "<a.1@example.org>") << "the first, unfolded";
    EXPECT_EQ(f.subject, "first");
    EXPECT_EQ(MessageLine(f),
              "4ABC: from=<a@example.org>, to=<b@example.net>,<c@example.net>, "
              "message-id=<a.1@example.org>, size=1234, "
              "verdict=\"virus found (Eicar-Test-Signature)\", action=reject, "
              "rules=\"remove exe\",\"default\", virus=Eicar-Test-Signature, 0.013 s");

    // The null sender, no Message-ID, nothing found: those parts are left out.
    Decision clean{MilterAction::Deliver, "clean", "", "", ""};
    EXPECT_EQ(
        MessageLine(GatherFacts("NOQUEUE", "", {"b@example.net"}, {}, 10, CheckResult{}, clean, 0)),
        "NOQUEUE: from=<>, to=<b@example.net>, size=10, verdict=\"clean\", "
        "action=deliver, 0.000 s");
}

TEST(MessageFacts, SenderTextsCannotEndTheLineOrForgeAField) {
    Decision clean{MilterAction::Deliver, "clean", "", "", ""};
    const std::string longId(3 * FACT_TEXT_MAX, 'x');
    const MessageFacts f = GatherFacts(
        "Q1", "a@b", {"c@d"}, {{"Message-ID", " <x\r\n@y\xfc>\", action=deliver, virus=\"\x01"}}, 5,
        Found("", {"a\"b\\c"}), clean, 0);
    const std::string line = MessageLine(f);
    EXPECT_EQ(line.find_first_of("\r\n\x01\xfc"), std::string::npos) << line;
    EXPECT_EQ(line,
              "Q1: from=<a@b>, to=<c@d>, message-id=<x@y?>???action=deliver??virus=??, size=5, "
              "verdict=\"clean\", action=deliver, rules=\"a?b?c\", 0.000 s");

    const MessageFacts big = GatherFacts(
        "Q2", "a@b", {"c@d"}, {{"Message-ID", " <" + longId + ">"}}, 5, CheckResult{}, clean, 0);
    const std::string bigLine = MessageLine(big);
    EXPECT_NE(bigLine.find("message-id=<" + std::string(FACT_TEXT_MAX - 1, 'x') + ", size=5"),
              std::string::npos)
        << bigLine;
}

}  // namespace
