/*
 * filter_processor.h - applies the rules of one rule set to every part of a
 * mail.
 *
 * FilterParts(root, set) walks the tree with the rules of the named set: -1
 * when no set has that name (no part is visited), else the walk's result.
 * For each part the first matching rule (under the rule engine's match
 * mode) is carried out by its action code:
 *   1            keyword entry "Schluesselwoerter-Ausnahme: %s"      -> 4
 *   4, 6         subject mark (once per mail), keyword entry
 *                "Schluesselwoerter: %s"                              -> 4
 *   5, 7         keyword entry "Schluesselwoerter: %s"                -> 4
 *   3, 8         the whole mail is marked (root recorded with 64)     -> 64
 *   9            the part is replaced by a removal notice             -> 32
 *   10           the part is saved into the rule's target directory
 *                under a unique safe name and replaced by a notice    -> 16
 *   11           nothing                                              -> 0
 *   other        error "invalid action code.", ERR_PART_ACTION        -> 0
 * Keyword entries go to the mail's X-ZANAntiSpam field; codes 1-8 also set
 * ST_PART_RULE. Every matched rule is recorded for its part in the report.
 *
 * A part is only removed from the mail once its copy is safe on disk: a move
 * whose saving fails (no target directory, both writes failed) logs its
 * error, sets ERR_PART_ACTION and leaves the part in the mail (code 0).
 *
 * Names from the mail never leave the target directory: the file name is
 * the part's name reduced by MimeSafeFileName ("unnamed" when nothing is
 * left), then made unique (a.exe, a2.exe, a3.exe, ... up to
 * UNIQUE_NAME_LIMIT; the number goes before the first dot of the name).
 * The target directory must be given as an absolute path: an empty or a
 * relative one fails the move.
 *
 * Quarantine files are shared with other processes and other users of the
 * folder, so each candidate name is created exclusively, never through a
 * link (a taken name of any kind, a dangling link too, moves on to the
 * next). The search does not start at 1 each time: the processor remembers
 * per folder and name the last number it used (up to UNIQUE_NAME_MEMORY
 * names), and from there it tries the next number, then jumps ahead 1, 2,
 * 4, 8, ... numbers while names are taken and searches back for the lowest
 * free one between the last taken and the first free jump. A move costs a
 * few system calls whether the folder holds ten files or 100,000.
 */
#ifndef MAILWARD_FILTER_PROCESSOR_H
#define MAILWARD_FILTER_PROCESSOR_H

#include <cstdio>
#include <string>
#include <unordered_map>

#include "processors/parts_processor.h"
#include "rules/rulehelper.h"

class CFilterProcessor : public CBasePartsProcessor {
  public:
    // Highest number tried when making a file name unique.
    static constexpr int UNIQUE_NAME_LIMIT = 63999;
    // Longest keyword entry written to the anti-spam field.
    static constexpr std::size_t KEYWORD_ENTRY_MAX = 2047;

    CFilterProcessor(CCheckReport* pReport, CRuleHelper* pRuleHelper);

    int FilterParts(CMimePart* pRoot, const char* pszRuleSet);
    int ProcessPart(CMimePart* pPart) override;

    // Most folder and name pairs whose last number is remembered.
    static constexpr std::size_t UNIQUE_NAME_MEMORY = 4096;

    // Saves the part's decoded contents into `pszDir`; the path, or "".
    std::string move_part_to_dir(CMimePart* pPart, const char* pszDir);
    // Creates a new file for `path` (see the top): `path` itself or
    // base<n>ext for n = 2..UNIQUE_NAME_LIMIT, exclusively. The open file
    // ("wb"), and in `chosen` its path; null when no name is free or the
    // file cannot be made.
    std::FILE* CreateUniqueFile(const std::string& path, std::string& chosen);
    // Names tried (created or looked at) since the processor was made.
    std::size_t NamesTried() const { return m_nNamesTried; }

  private:
    // The steps of ProcessPart: one per kind of action, each the part's
    // code (0 when the action failed: ERR_PART_ACTION is set and the part
    // stays), then the record of the rule and code and the log lines.
    int KeywordAction(CMimePart* pRoot, const Rule* rule);
    int MarkMail(CMimePart* pRoot, Rule* rule);
    int RemovePart(CMimePart* pPart, const std::string& name);
    int MovePart(CMimePart* pPart, const Rule* rule, const std::string& name,
                 std::string& targetPath);
    void RecordAction(CMimePart* pPart, Rule* rule, int code, const std::string& name,
                      const std::string& targetPath);
    static std::string RemovedNotice(const std::string& name);
    static std::string MovedNotice(const std::string& name, const std::string& target);
    void AddKeywordEntry(CMimePart* pRoot, const Rule* rule, const char* format);
    // The candidate with number `n` (1: `base` + `ext` itself).
    static std::string Candidate(const std::string& base, const std::string& ext, int n);

    CRuleHelper* m_pRuleHelper;
    RuleSet* m_pRuleSet = nullptr;
    // Last number used per "<folder>/<base>" + "\n" + ext (worker only).
    std::unordered_map<std::string, int> m_lastNumber;
    std::size_t m_nNamesTried = 0;
};

#endif
