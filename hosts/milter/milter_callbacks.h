/*
 * milter_callbacks.h - the milter's side of the milter protocol: the
 * libmilter callbacks of every SMTP session and the filter state they
 * share.
 *
 * A session gathers its message (milter_session.h) from MAIL FROM on, and
 * at the end of the message has it checked by a checking process
 * (CheckerPool::Check, which blocks this session only), decides by the
 * settings in force (Decide) and answers: the written mail delivered
 * (header and body changes, mail_rewrite.h), the mail as received, a
 * reject, a tempfail, or a discard, with the verdict field added to
 * whatever is delivered.
 *
 * QUARANTINE: while any outcome is set to quarantine, the spooled mail is
 * held in the quarantine store before the check (a link, no copy:
 * quarantine_store.h); a decision to quarantine makes an entry of it (the
 * mail as received, never the rewritten one) and answers the MTA with a
 * discard, since the store holds the mail now. An entry that cannot be
 * made tempfails the mail: it is never delivered instead. Each part a move
 * rule took out of a mail gets an attachment entry (a second name of the
 * moved file) whatever the policy, its Parent the mail's entry when the
 * mail was held too.
 *
 * Negotiation: header values with their leading blank where the MTA offers
 * it (they go back byte for byte), and no reply to header lines, the end
 * of the header and body chunks where it offers all three (a failure
 * there is answered at the end of the message).
 *
 * RegisterMilter hands the callbacks to libmilter and opens `socket`;
 * false when libmilter refuses either. The filter must outlive smfi_main.
 * Once `stopping` is set, every new message is tempfailed.
 *
 * OUTCOMES: in Milter.Mode = monitor the decision is logged and its verdict
 * field added, and the mail is answered as received (MonitorDecision;
 * recipients of another rule set are taken too, the first one's set
 * judging). Otherwise a configured reply text replaces the program's own
 * (ApplyReplyText). Every reply text goes to the MTA cleaned
 * (SmtpReplyText); a text libmilter still refused would leave the MTA's
 * own text for the same code. After the answer the notice and hook are
 * started (TellOutcome), never waited for.
 */
#ifndef MAILWARD_HOSTS_MILTER_MILTER_CALLBACKS_H
#define MAILWARD_HOSTS_MILTER_MILTER_CALLBACKS_H

#include <atomic>
#include <memory>
#include <string>

#include "checker_pool.h"
#include "common/quarantine_store.h"
#include "child_runner.h"
#include "milter_log.h"
#include "milter_settings.h"
#include "spool.h"

constexpr int MILTER_TIMEOUT_SECONDS = 600;  // libmilter's wait for the MTA

struct Filter {
    MilterConfig config;
    Spool spool;
    QuarantineStore quarantine;
    std::unique_ptr<CheckerPool> pool;
    std::atomic<bool> stopping{false};
    std::atomic<int> inFlight{0};
    std::atomic<bool> leadingSpace{false};  // the MTA sends values with their blank
    std::atomic<bool> noReply{false};       // header, end of header, body: no reply
    std::atomic<unsigned long> messages{0};
    ChildRunner children{Log};  // notices and hooks (outcome_tell.h)
};

bool RegisterMilter(Filter& filter, const std::string& socket);

#endif
