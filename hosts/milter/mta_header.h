/*
 * mta_header.h - the header changes the milter sends, fitted to how the
 * MTA holds the header it showed the milter.
 *
 * HeaderChanges gives the changes that turn the header the MTA holds
 * (`received`, the fields as the milter was shown them) into the header
 * the library wrote (`written`), less every field named in `dropped`: the
 * milter adds its own verdict field afterwards, so a sender's field of
 * that name (a forged "clean") never reaches the recipient. FieldRemovals
 * gives the deletions of those fields alone, for a mail delivered as
 * received.
 *
 * THE MTA'S VIEW (MtaKind):
 *   Postfix   shows the milter the Received field it adds itself, on top,
 *             and counts it in the occurrence numbers of header changes.
 *             That field stays as Postfix wrote it: it is left out of the
 *             comparison, and every change of a Received field is one
 *             occurrence further down. Postfix keeps a header value only
 *             up to a NUL byte, as it shows it to the milter (the
 *             end-to-end test holds this), so the fields it holds are the
 *             ones the milter saw.
 *   Other     libmilter hands the milter each value as a C string, cut at
 *             a NUL byte, and nothing tells the milter that more followed;
 *             an MTA may hold and deliver the whole value. So every field
 *             the changes would keep is set again to the value that was
 *             checked: the delivered header is then the checked one.
 *
 * The order of the changes is DiffHeaders' (header_diff.h).
 */
#ifndef MAILWARD_HOSTS_MILTER_MTA_HEADER_H
#define MAILWARD_HOSTS_MILTER_MTA_HEADER_H

#include <string>
#include <vector>

#include "header_diff.h"

enum class MtaKind { Postfix, Other };

std::vector<HeaderOp> HeaderChanges(MtaKind mta, const std::vector<HeaderField>& received,
                                    std::vector<HeaderField> written,
                                    const std::vector<std::string>& dropped);

std::vector<HeaderOp> FieldRemovals(const std::vector<HeaderField>& received,
                                    const std::vector<std::string>& dropped);

#endif
