/*
 * test_mta_header.cpp - the header changes the milter sends, applied as
 * the MTA applies them to the header it holds: Postfix's own Received
 * field, a sender's verdict fields, and values the MTA holds longer than
 * it showed them; and one rule set per transaction.
 */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "milter/milter_session.h"
#include "milter/mta_header.h"

namespace {

const std::vector<std::string> kVerdict = {"X-Mailward-Verdict"};

std::vector<HeaderField> Fields(const std::string& header) {
    std::vector<HeaderField> f;
    std::string body;
    SplitMail(header + "\r\n", f, body);
    return f;
}

std::string Text(const std::vector<HeaderField>& fields) {
    std::string t;
    for (const HeaderField& f : fields)
        t += f.name + ":" + f.value + "\r\n";
    return t;
}

const std::string kPostfixReceived =
    "Received: from client.test (localhost [127.0.0.1])\r\n"
    "\tby mx.test (Postfix) with ESMTP id 1A2B3C\r\n"
    "\tfor <u@mx.test>; Mon,  1 Jan 2024 00:00:03 +0000 (UTC)\r\n";

TEST(MtaHeader, PostfixKeepsEveryClientReceivedFieldInPlace) {
    // Postfix shows its own Received field first and counts it in the
    // occurrence numbers; the library re-folds a folded field and writes
    // the fields in an order of its own.
    const std::vector<HeaderField> received =
        Fields(kPostfixReceived +
               "Received: from a.example by b.example; Mon, 1 Jan 2024 00:00:01 +0000\r\n"
               "Received: from c.example\r\n\tby d.example; Mon, 1 Jan 2024 00:00:00 +0000\r\n"
               "From: x@client.test\r\nTo: u@mx.test\r\nSubject: hops\r\n"
               "Message-ID: <m@client.test>\r\n");
    const std::vector<HeaderField> written = Fields(
        "Received: from client.test (localhost [127.0.0.1])\r\n"
        "   by mx.test (Postfix) with ESMTP id 1A2B3C\r\n"
        "   for <u@mx.test>; Mon,  1 Jan 2024 00:00:03 +0000 (UTC)\r\n"
        "Received: from a.example by b.example; Mon, 1 Jan 2024 00:00:01 +0000\r\n"
        "Received: from c.example\r\n   by d.example; Mon, 1 Jan 2024 00:00:00 +0000\r\n"
        "From: x@client.test\r\nSubject: hops\r\nTo: u@mx.test\r\n"
        "Message-Id: <m@client.test>\r\nX-Stamp: checked\r\n");
    std::vector<HeaderField> held = received;
    ApplyHeaderOps(HeaderChanges(MtaKind::Postfix, received, written, kVerdict), held);
    std::vector<HeaderField> want = written;
    want[0] = received[0];  // Postfix's own field stays as Postfix wrote it
    EXPECT_EQ(Text(held), Text(want));
}

TEST(MtaHeader, ASendersVerdictFieldsNeverReachTheRecipient) {
    const std::string forged =
        "X-Mailward-Verdict: clean\r\nFrom: x@client.test\r\n"
        "x-mailward-verdict: clean\r\n (folded)\r\nSubject: s\r\n";
    for (const MtaKind mta : {MtaKind::Postfix, MtaKind::Other}) {
        const std::vector<HeaderField> received = Fields(kPostfixReceived + forged);
        // The library keeps fields it does not know, and adds its stamp.
        std::vector<HeaderField> written = received;
        written.push_back({"X-Stamp", " checked"});
        std::vector<HeaderField> held = received;
        ApplyHeaderOps(HeaderChanges(mta, received, written, kVerdict), held);
        EXPECT_EQ(Text(held),
                  kPostfixReceived + "From: x@client.test\r\nSubject: s\r\nX-Stamp: checked\r\n");
    }
    // Delivered as received: the verdict fields go, the rest stays as it is.
    const std::vector<HeaderField> received =
        Fields(kPostfixReceived + forged + "X-Mailward-Verdict: virus none\r\n");
    const std::vector<HeaderOp> removals =
        FieldRemovals(received, {"X-Filter", "X-Mailward-Verdict"});
    ASSERT_EQ(removals.size(), 3u);
    for (const HeaderOp& op : removals)
        EXPECT_EQ(op.kind, HeaderOpKind::Delete);
    std::vector<HeaderField> held = received;
    ApplyHeaderOps(removals, held);
    EXPECT_EQ(Text(held), kPostfixReceived + "From: x@client.test\r\nSubject: s\r\n");
}

TEST(MtaHeader, AValueTheMtaHoldsLongerThanItShowedIsSetToTheCheckedOne) {
    // libmilter cut the Subject at its NUL byte; an MTA other than Postfix
    // may hold (and deliver) the rest.
    const std::vector<HeaderField> received =
        Fields("From: x@client.test\r\nSubject: abc\r\nTo: u@mx.test\r\n");
    std::vector<HeaderField> held = received;
    held[1].value = std::string(" abc\0Content-Type: multipart/mixed", 35);
    std::vector<HeaderField> written = received;
    written.push_back({"X-Stamp", " checked"});
    ApplyHeaderOps(HeaderChanges(MtaKind::Other, received, written, kVerdict), held);
    EXPECT_EQ(Text(held), Text(written));

    // Postfix holds a value only up to the NUL byte, as it shows it: an
    // unchanged field is left alone.
    const std::vector<HeaderOp> ops = HeaderChanges(MtaKind::Postfix, received, written, kVerdict);
    ASSERT_EQ(ops.size(), 1u);
    EXPECT_EQ(ops[0].kind, HeaderOpKind::Append);
}

TEST(MilterSession, OneRuleSetPerTransaction) {
    Spool spool;
    Session s(spool);
    s.StartTransaction("a@client.test", 1000);
    EXPECT_TRUE(s.TakeRecipient("u@strict.test", "strict"));
    EXPECT_TRUE(s.TakeRecipient("v@strict.test", "strict"));
    EXPECT_FALSE(s.TakeRecipient("w@lenient.test", "lenient"));
    EXPECT_EQ(s.recipients, (std::vector<std::string>{"u@strict.test", "v@strict.test"}));
    EXPECT_EQ(s.ruleSet, "strict");
    // The next transaction starts afresh: its first recipient sets the set.
    s.StartTransaction("a@client.test", 1000);
    EXPECT_TRUE(s.recipients.empty());
    EXPECT_TRUE(s.TakeRecipient("w@lenient.test", "lenient"));
    EXPECT_FALSE(s.TakeRecipient("u@strict.test", "strict"));
    EXPECT_EQ(s.ruleSet, "lenient");
}

}  // namespace
