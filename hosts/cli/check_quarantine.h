/*
 * check_quarantine.h - "mailward check --quarantine" (or Quarantine.Check =
 * on): the original of every mail that is not clean kept in the quarantine
 * (quarantine_store.h) before the check rewrites it, so that "mailward
 * quarantine release" can give it back.
 *
 * Hold is called before a mail is queued: it holds the source as it is
 * (a link where the file system allows, else a copy). Settle is called
 * with the mail's outcome: a mail whose verdict is not OK (found, filtered,
 * a limit, an error, no report) becomes an entry; a clean one's hold is
 * dropped.
 *
 * ENVELOPE: a mail file has none. The sender is the --sender option, else
 * the address of the mail's Return-Path field (none: the null sender); the
 * recipients are the --recipient options, else the addresses of its To and
 * Cc fields (groups and unreadable items left out). The subject is the
 * mail's Subject field as it stands. Verdict and reasons (virus names and
 * the names of the rules that acted) come from the outcome.
 *
 * MOVED PARTS: each part a move rule took out of a kept mail gets an
 * entry of its own (kind attachment, Parent the mail's entry, Name the
 * part's name, Reason the rules that acted on it), a second name of the
 * file the rule moved, so that the operator lists and releases it the same
 * way; the move folder keeps its file.
 *
 * Settle returns false with the reason when the entry could not be made;
 * the caller reports that mail as an error.
 */
#ifndef MAILWARD_TOOLS_CHECK_QUARANTINE_H
#define MAILWARD_TOOLS_CHECK_QUARANTINE_H

#include <string>
#include <vector>

#include "check_outcome.h"
#include "common/quarantine_store.h"

// The header fields read from a held mail, at most this many bytes of it.
constexpr std::size_t CHECK_QUARANTINE_HEADER_MAX = 1024 * 1024;

struct CheckEnvelope {
    std::string sender;                   // "": from Return-Path
    std::vector<std::string> recipients;  // none: from To and Cc
};

// The bare addresses of an address-list field's value ("A <a@b>, c@d").
std::vector<std::string> FieldAddresses(const std::string& value);

class CheckQuarantine {
  public:
    bool Open(const std::string& dir, const CheckEnvelope& envelope, std::string& error);
    bool Hold(const std::string& source, QuarantineHold& hold, std::string& error);
    // `entry` is the id made, "" when the mail was clean.
    bool Settle(QuarantineHold& hold, const MailOutcome& outcome, std::string& entry,
                std::string& error);

  private:
    bool AddMovedParts(const QuarantineRecord& message, const MailOutcome& outcome,
                       std::string& error);

    QuarantineStore m_store;
    CheckEnvelope m_envelope;
};

#endif
