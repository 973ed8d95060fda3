/*
 * outcome.h - the outcome of a message by its verdict, the answer of the
 * trial mode, and the reply text the MTA is given.
 *
 *   OutcomeOf       the outcome a verdict (Decision::verdict) names: "clean",
 *                   "virus NAME", "filtered (...)", and one outcome per
 *                   "unchecked (WHY)" that has a policy of its own
 *                   (not parsed, MIME disagreement, engine limit, too big);
 *                   every other "unchecked" is a check that failed
 *   OutcomeWord     its name in logs and in a hook's MAILWARD_OUTCOME:
 *                   clean virus filtered parse-error disagreement limit
 *                   too-big unchecked
 *   MonitorDecision what Milter.Mode = monitor does instead of `intended`:
 *                   the mail delivered as received, with the verdict the
 *                   check gave in its verdict field
 *   ApplyReplyText  puts the configured text of the decision's outcome
 *                   (outcome_settings.h), expanded with `facts`, in place of
 *                   the program's own; only for a reject or tempfail, and
 *                   only where one is configured
 *   SmtpReplyText   the text as it may go to the MTA: printable ASCII only
 *                   (CR, LF and every control or 8-bit byte as '?'), each
 *                   '%' doubled (the MTAs read "%%" as '%' and Sendmail
 *                   drops a text with a single one), cut to REPLY_TEXT_MAX
 *                   without splitting a "%%". libmilter's smfi_setreply
 *                   refuses CR, LF and texts over 980 bytes; what this
 *                   returns it never refuses
 */
#ifndef MAILWARD_HOSTS_MILTER_OUTCOME_H
#define MAILWARD_HOSTS_MILTER_OUTCOME_H

#include <string>
#include <string_view>

#include "message_facts.h"
#include "milter_policy.h"

constexpr std::size_t REPLY_TEXT_MAX = 400;

enum class Outcome { Clean, Virus, Filtered, ParseError, Disagreement, Limit, TooBig, Unchecked };

Outcome OutcomeOf(const std::string& verdict);
const char* OutcomeWord(Outcome o);

Decision MonitorDecision(const Decision& intended);

void ApplyReplyText(const ReplyTexts& texts, const MessageFacts& facts, Decision& d);

std::string SmtpReplyText(std::string_view text);

#endif
