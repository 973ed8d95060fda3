/*
 * message_facts.h - what the milter knows about one message once it is
 * decided, and the one log line it writes for it.
 *
 *   GatherFacts   the facts from the transaction, the check's result and
 *                 the decision
 *   MessageLine   the message's log line, in the form of the MTA's own:
 *                   QUEUEID: from=<SENDER>, to=<RCPT>,<RCPT>,
 *                   message-id=<ID>, size=BYTES, verdict="VERDICT",
 *                   action=ACTION, rules="NAME","NAME", virus=NAME, 0.012 s
 *                 ACTION is ActionText's: in monitor mode what was done
 *                 and what would have been, "accept (monitor: would
 *                 reject)".
 *                 rules and virus only when there are any; message-id
 *                 only when the header has one. Every text is cut to
 *                 FACT_TEXT_MAX bytes, with every byte but printable ASCII
 *                 (control characters, 8-bit bytes), quotes and backslashes
 *                 as '?' (as the MTA logs them); unquoted ones (addresses, the
 *                 Message-ID, the virus name) have blanks and commas as '?'
 *                 too. So a line is always one line, and what a sender
 *                 wrote cannot end a field and forge one after it.
 *
 * The header's Message-ID and Subject are the first of their name, with
 * the folding removed and the value trimmed.
 */
#ifndef MAILWARD_HOSTS_MILTER_MESSAGE_FACTS_H
#define MAILWARD_HOSTS_MILTER_MESSAGE_FACTS_H

#include <cstdint>
#include <string>
#include <vector>

#include "header_diff.h"
#include "milter_policy.h"

constexpr std::size_t FACT_TEXT_MAX = 256;

struct MessageFacts {
    std::string queueId;
    std::string sender;                   // envelope sender, "" for the null sender
    std::vector<std::string> recipients;  // accepted envelope recipients
    std::string messageId;                // "" when the header has none
    std::string subject;                  // "" when the header has none
    std::uint64_t size = 0;               // bytes as received
    std::string verdict;
    MilterAction action = MilterAction::Deliver;
    std::vector<std::string> ruleNames;
    std::string virusName;
    double seconds = 0;  // from the end of the message to the answer
    // Milter.Mode = monitor: `action` is what was done, `intended` what
    // the verdict would have had done.
    bool monitor = false;
    MilterAction intended = MilterAction::Deliver;
};

MessageFacts GatherFacts(const std::string& queueId, const std::string& sender,
                         const std::vector<std::string>& recipients,
                         const std::vector<HeaderField>& headers, std::uint64_t size,
                         const CheckResult& result, const Decision& decision, double seconds);

std::string MessageLine(const MessageFacts& facts);

// The first field named `name` (letter case ignored) of `headers`,
// unfolded and trimmed; "" when there is none.
std::string HeaderValue(const std::vector<HeaderField>& headers, const char* name);

// "reject", or in monitor mode "accept (monitor: would reject)".
std::string ActionText(const MessageFacts& facts);

#endif
