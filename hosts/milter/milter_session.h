/*
 * milter_session.h - one SMTP session's message as the milter receives it
 * from the MTA: the envelope, the header fields as received, and the mail
 * text spooled into a private file as it streams in.
 *
 * The spool file is started at the first data of a message (Ensure), so
 * that a transaction without data costs no file. Append adds bytes to the
 * file and counts them against `maxSize`: past it the file is dropped and
 * `tooBig` set (the rest is only counted). A spool file that cannot be
 * made or written sets `failed` with the reason in `error`.
 *
 * The body is also digested as it arrives (bodyDigest, bodySize): the
 * library may rewrite the spooled file, so it cannot be read back as the
 * mail received when the milter later compares bodies.
 *
 * ONE RULE SET PER TRANSACTION: the message is delivered in one form, so
 * it is checked with one rule set. StartTransaction (MAIL FROM) forgets the
 * envelope; TakeRecipient accepts a recipient whose rule set is the one of
 * the first accepted recipient (the first one sets it) and refuses any
 * other, which the milter then tempfails so that the sending server sends
 * it in a transaction of its own.
 *
 * Reset ends a message (its spool file removed) and keeps the session's
 * connection-wide state.
 */
#ifndef MAILWARD_HOSTS_MILTER_MILTER_SESSION_H
#define MAILWARD_HOSTS_MILTER_MILTER_SESSION_H

#include <cstdint>
#include <string>
#include <vector>

#include "body_digest.h"
#include "header_diff.h"
#include "mta_header.h"
#include "spool.h"

struct Session {
    explicit Session(Spool& spool) : spool(spool) {}

    Spool& spool;
    std::string sender;                   // envelope sender, bare, lower case
    std::vector<std::string> recipients;  // accepted envelope recipients, the same
    std::string ruleSet;                  // the transaction's; "" before a recipient
    std::vector<HeaderField> headers;     // as received
    SpoolMessage message;
    bool inBody = false;
    MtaKind mta = MtaKind::Other;  // Postfix when the MTA's "v" macro names it
    BodyDigest bodyDigest;
    std::uint64_t bodySize = 0;
    std::uint64_t size = 0;
    std::uint64_t maxSize = 0;
    bool tooBig = false;
    bool failed = false;
    std::string error;

    void StartTransaction(std::string envelopeSender, std::uint64_t sizeLimit);
    bool TakeRecipient(std::string address, const std::string& recipientRuleSet);
    void Reset();
    // Starts the spool file at the first data of a message; false once the
    // message failed.
    bool Ensure();
    void Append(const char* data, std::size_t n);
};

#endif
