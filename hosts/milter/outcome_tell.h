/*
 * outcome_tell.h - who is told of a message's outcome besides the MTA: the
 * administrator by mail (admin_notice.h) and the site's hook program
 * (Milter.Hook), each a child process of the ChildRunner.
 *
 *   TellOutcome      starts the notice when Milter.NoticeTo is set and the
 *                    message was (in monitor mode: would have been)
 *                    rejected, discarded or quarantined; and the hook when
 *                    Milter.Hook is set and the verdict is not "clean".
 *                    A child that cannot start (Milter.MaxChildren
 *                    running, a spawn that failed) is logged and dropped:
 *                    the message's answer is given already and never waits
 *   HookEnvironment  the hook's whole environment: PATH (the milter's, or
 *                    /usr/bin:/bin), MAILWARD_OUTCOME (OutcomeWord),
 *                    MAILWARD_MODE (enforce | monitor), MAILWARD_ACTION
 *                    (what was done), MAILWARD_WOULD (monitor mode: what
 *                    would have been), MAILWARD_QUEUE_ID, MAILWARD_SENDER,
 *                    MAILWARD_RECIPIENTS (blank between), MAILWARD_VERDICT,
 *                    MAILWARD_VIRUS, MAILWARD_RULES (", " between),
 *                    MAILWARD_MESSAGE_ID, MAILWARD_SUBJECT, MAILWARD_SIZE.
 *                    Each value is printable ASCII cut to FACT_TEXT_MAX
 *                    (placeholders.h), blanks in an address as '?'. The
 *                    program is started with execve and its fixed argv: no
 *                    shell ever reads a sender's text
 */
#ifndef MAILWARD_HOSTS_MILTER_OUTCOME_TELL_H
#define MAILWARD_HOSTS_MILTER_OUTCOME_TELL_H

#include <ctime>
#include <string>
#include <vector>

#include "child_runner.h"
#include "message_facts.h"
#include "outcome_settings.h"

void TellOutcome(ChildRunner& runner, const OutcomeSettings& s, const MessageFacts& facts,
                 std::time_t when, const ChildRunner::LogFn& log);

std::vector<std::string> HookEnvironment(const MessageFacts& facts, std::time_t when);

#endif
