/*
 * mail_rewrite.h - makes the mail the MTA delivers the one the library
 * wrote, through libmilter's header and body changes.
 *
 * ApplyRewrite reads the checked mail from the session's spool file,
 * compares its header with the header as received (DiffHeaders) and asks
 * the MTA for each change, deletion and addition; then it compares the
 * body with the one received (BodyDigest) and replaces it only when it
 * differs. The body is streamed from the file, twice when it changed (once
 * to see whether it did, once to send it), so no message is held in memory
 * whole. Values go to the MTA with LF line breaks and with their leading
 * blank only when the MTA keeps it (`leadingSpace`).
 *
 * The header changes are fitted to the MTA (mta_header.h), and every field
 * named in `dropped` (the verdict field) is removed: the caller adds its
 * own afterwards.
 *
 * SendHeaderChanges sends `ops` alone; false when the MTA refused one.
 *
 * False with the reason when the written mail cannot be read or the MTA
 * refused a change; the caller then tempfails the message.
 *
 * Call only from libmilter's end-of-message callback.
 */
#ifndef MAILWARD_HOSTS_MILTER_MAIL_REWRITE_H
#define MAILWARD_HOSTS_MILTER_MAIL_REWRITE_H

#include <libmilter/mfapi.h>

#include <string>
#include <vector>

#include "milter_session.h"

bool ApplyRewrite(SMFICTX* ctx, Session& s, bool leadingSpace,
                  const std::vector<std::string>& dropped, std::string& error);
bool SendHeaderChanges(SMFICTX* ctx, const std::vector<HeaderOp>& ops, bool leadingSpace,
                       std::string& error);

#endif
