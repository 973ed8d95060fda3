/*
 * checker_protocol.h - the messages between the milter and its checking
 * processes, one datagram each over a SOCK_SEQPACKET socket pair.
 *
 * Fields are separated by TAB; no field may hold a TAB or a line end
 * (spool paths are the milter's own, rule-set names are checked).
 *
 *   milter -> checker
 *     C id set header-set source target queue-id
 *                                           check one message; the queue id
 *                                           tags the checker's log lines
 *                                           during its check
 *     L                                     reload the rules file
 *   checker -> milter
 *     H ok text [signatures]                started (ok 1) or failed (0);
 *                                           signatures: the engine's count,
 *                                           when it tells one (the local
 *                                           engine; none without an engine
 *                                           or with clamd)
 *     D id kind result errors virusResult status partActions virusName rules
 *       movedNames movedPaths               one message done; kind is
 *                                           "done" or "refused"; rules the
 *                                           names of the rules that applied,
 *                                           RULE_NAME_SEPARATOR between; the
 *                                           parts a move rule took out, their
 *                                           names and where they went, the
 *                                           same way (as many of each)
 *     L ok text                             reload done (text: the errors,
 *                                           joined by " | ")
 */
#ifndef MAILWARD_TOOLS_MILTER_CHECKER_PROTOCOL_H
#define MAILWARD_TOOLS_MILTER_CHECKER_PROTOCOL_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "milter_policy.h"

constexpr std::size_t CHECKER_MESSAGE_MAX = 16384;
// Between rule names in a D message (ASCII unit separator: a rule name
// may hold blanks and commas).
constexpr char RULE_NAME_SEPARATOR = '\x1f';

struct CheckRequest {
    std::uint64_t id = 0;
    std::string ruleSet;
    std::string headerRuleSet;  // empty: no header check
    std::string source;
    std::string target;
    std::string queueId;  // the MTA's; "" when it gave none
};

// True when `text` can travel as one field.
bool FieldSafe(std::string_view text);

std::vector<std::string> SplitFields(std::string_view message);

std::string EncodeRequest(const CheckRequest& r);
bool DecodeRequest(const std::vector<std::string>& fields, CheckRequest& r);

std::string EncodeDone(std::uint64_t id, const CheckResult& r);
bool DecodeDone(const std::vector<std::string>& fields, std::uint64_t& id, CheckResult& r);

// A text made safe for one field (TAB and line ends become blanks).
std::string FieldText(std::string_view text);

// The signature count of an engine's version text ("ClamAV 1.4.6, 27
// signatures" gives 27), or -1 when it names none.
long long SignatureCount(std::string_view engineVersion);

#endif
