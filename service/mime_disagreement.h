/*
 * mime_disagreement.h - whether an attachment hides where the parser's tree
 * differs from what mail clients show, checked around the attachment filter.
 *
 *   CheckMimeDisagreement(path, rules, setName, report, snapshot, attached)
 *     After the filter: reads the mail file at `path` strictly
 *     (mime/strictread.h) and pairs its parts with what the check did by
 *     place, never by name: `snapshot` (mime/part_places.h) holds where the
 *     parser's parts stood before the check replaced any. A strict part whose
 *     place lies wholly inside the place of a part the check removed or
 *     moved (its record has PART_REMOVED or PART_MOVED) went with that part,
 *     since those bytes are not in the written mail. A strict part inside an
 *     attached message the filter read as a mail of its own (`attached`,
 *     CFilterProcessor::AttachedMessages) is judged in that message
 *     instead: its text is read strictly in turn and paired with the places
 *     of the message's own parts, to any depth. Every other strict part is
 *     tested with the
 *     rules of the set as the filter tests a part (under MATCH_ATTACHMENT):
 *     one whose first matching attachment rule removes or moves it
 *     (ACTION_REMOVE, ACTION_MOVE) is one the check did not act on: it, or
 *     a reading stopped by one of its limits, sets ST_MIME_DISAGREEMENT and
 *     logs one info line
 *       "[MAILCHECK] [DISAGREEMENT] [strict: <place> <names>; ...]
 *        [parser: <record names, "-" for none>]"
 *     (control characters turned to blanks, each list cut at
 *     DISAGREEMENT_LOG_CHARS). True when the bit was set. A file that
 *     cannot be read, or a set that does not exist, changes nothing (debug
 *     line). The match mode is restored before it returns.
 *
 * Runs on the worker thread while the check holds its read guard on the
 * rules; only for jobs with JOB_ATTACHMENT_FILTER.
 */
#ifndef MAILWARD_MIME_DISAGREEMENT_H
#define MAILWARD_MIME_DISAGREEMENT_H

#include <cstddef>
#include <string>

#include "mime/mimepart.h"
#include "mime/part_places.h"
#include "processors/filter_processor.h"
#include "rules/rulehelper.h"
#include "report/check_report.h"

// Characters of each list in the disagreement log line.
constexpr std::size_t DISAGREEMENT_LOG_CHARS = 2000;

bool CheckMimeDisagreement(const char* pszPath, CRuleHelper& rules, const char* pszSet,
                           CCheckReport& report, const CPartPlaceSnapshot& snapshot,
                           const CFilterProcessor::AttachedMessageMap* pAttached = nullptr);

#endif
