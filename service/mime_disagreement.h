/*
 * mime_disagreement.h - whether an attachment hides where the parser's tree
 * differs from what mail clients show, checked around the attachment filter.
 *
 *   PartNameSnapshot(root)
 *     Every name of every part of the parser's tree (MimePartNames), taken
 *     before the filter replaces parts, keyed by the part as the report's
 *     records know it.
 *   CheckMimeDisagreement(path, rules, setName, report, snapshot)
 *     After the filter: reads the mail file at `path` strictly
 *     (mime/strictread.h) and pairs its parts, in mail order, with the parts
 *     the check acted on (report records holding a rule, or with PART_MOVED
 *     or PART_REMOVED) by their names (the record's from the snapshot, else
 *     its name); each record pairs once, and what lies inside a paired part
 *     went with it. A part without a pair whose first matching attachment
 *     rule of the set (tested as the filter tests a part, under
 *     MATCH_ATTACHMENT) removes or moves it (ACTION_REMOVE, ACTION_MOVE) is
 *     one the check did not act on: it, or a reading stopped by one of its
 *     limits, sets ST_MIME_DISAGREEMENT and logs one info line
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
#include <unordered_map>
#include <vector>

#include "mime/mimepart.h"
#include "rules/rulehelper.h"
#include "report/check_report.h"

// Characters of each list in the disagreement log line.
constexpr std::size_t DISAGREEMENT_LOG_CHARS = 2000;

class PartNameSnapshot {
  public:
    explicit PartNameSnapshot(CMimePart* pRoot);
    // Names of the part a record stands for; null when it was not in the tree.
    const std::vector<std::string>* Find(const void* pPart) const;

  private:
    void Add(CMimePart* pPart);
    std::unordered_map<const void*, std::vector<std::string>> m_names;
};

bool CheckMimeDisagreement(const char* pszPath, CRuleHelper& rules, const char* pszSet,
                           CCheckReport& report, const PartNameSnapshot& snapshot);

#endif
