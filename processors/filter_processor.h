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
 * What the rule found inside a part goes into its notice below the name:
 * "Member: <path>" for the archive member that matched, "Found: <what>"
 * for what the bytes were found to be (content kinds), and into an info
 * line "[MAILCHECK] [FOUND] [<name>] [<member>] [<what>]".
 *
 * Attached messages (attached_message.cpp). A message/rfc822 or
 * message/global part (or a body part of a multipart/digest without
 * Content-Type) that no rule acts on as a whole is read as a mail of
 * its own (its decoded contents, CMimeMessage) and filtered with the same
 * rules, passes and report: its parts get records of their own, keyword
 * and mark actions go to the outer mail. When a part inside was removed or
 * moved, the attached message is written back into the part with the
 * changed parts replaced by their notices (the rest of the forwarded mail
 * stays as it was read). Where that cannot be done (the inner part cannot
 * be replaced, or the message cannot be written back), the rule that
 * matched inside acts on the whole attached message instead. A message
 * that cannot be read (it lies deeper than ATTACHED_MESSAGE_MAX_DEPTH
 * attached messages, or it does not parse and the strict reading finds an
 * attachment in it) gets the set's first
 * "attachment-unreadable" rule, if it has one. The messages read stay with
 * the processor until the next mail (BeginMail), so the keyword passes
 * walk the same trees. AttachedMessages() lists them by the part that
 * carried them, each with the text it was read from and where its parts
 * stood in that text before the filter changed any (so that what the
 * filter did inside can be told apart by place).
 *
 * BeginMail(root) starts a new mail: forgets the content facts and the
 * attached messages of the last one and reads the archive limits
 * (ArchiveMaxMembers, ArchiveMaxDepth, ArchiveMaxUnpacked,
 * ArchiveMaxTime). FilterParts calls it itself for a root it has not seen
 * last.
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
#include <memory>
#include <string>
#include <unordered_map>

#include "mime/mimemessage.h"
#include "mime/part_places.h"
#include "processors/parts_processor.h"
#include "rules/part_facts.h"
#include "rules/rulehelper.h"

class CFilterProcessor : public CBasePartsProcessor {
  public:
    // Highest number tried when making a file name unique.
    static constexpr int UNIQUE_NAME_LIMIT = 63999;
    // Longest keyword entry written to the anti-spam field.
    static constexpr std::size_t KEYWORD_ENTRY_MAX = 2047;

    // Levels of attached messages inside attached messages that are read.
    static constexpr int ATTACHED_MESSAGE_MAX_DEPTH = 8;

    CFilterProcessor(CCheckReport* pReport, CRuleHelper* pRuleHelper);

    // An attached message read from a part of the current mail.
    struct AttachedMessage {
        std::unique_ptr<CMimeMessage> message;
        std::string text;           // what it was read from
        CPartPlaceSnapshot places;  // its parts in `text`, before the filter
    };
    using AttachedMessageMap = std::unordered_map<const CMimePart*, AttachedMessage>;

    void BeginMail(CMimePart* pRoot);
    int FilterParts(CMimePart* pRoot, const char* pszRuleSet);
    const AttachedMessageMap& AttachedMessages() const { return m_attached; }
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
    int RemovePart(CMimePart* pPart, const std::string& name, const PartMatchDetail& detail);
    int MovePart(CMimePart* pPart, const Rule* rule, const std::string& name,
                 const PartMatchDetail& detail, std::string& targetPath);
    void RecordAction(CMimePart* pPart, Rule* rule, int code, const std::string& name,
                      const std::string& targetPath);
    static std::string RemovedNotice(const std::string& name, const PartMatchDetail& detail);
    static std::string MovedNotice(const std::string& name, const std::string& target,
                                   const PartMatchDetail& detail);
    // Carries out `rule` on the part (the steps of ProcessPart 4 to 10).
    int Act(CMimePart* pPart, Rule* rule, const std::string& name, const PartMatchDetail& detail);

    // ---- attached messages (attached_message.cpp) ----
    static bool IsAttachedMessage(CMimePart* pPart);
    // Filters the message inside the part; the part's code.
    int FilterAttachedMessage(CMimePart* pPart, const std::string& name);
    // The attached message read from the part, or null: `bUnreadable` when
    // it cannot be read, else it holds nothing to filter (empty, or a
    // message the parser cannot read but in which the strict reading finds
    // no attachment).
    CMimeMessage* ReadAttachedMessage(CMimePart* pPart, bool& bUnreadable);
    bool WriteBackMessage(CMimePart* pPart, CMimeMessage* pInner);
    void AddReports(CMimePart* pPart);
    void AddKeywordEntry(CMimePart* pRoot, const Rule* rule, const char* format);
    // The candidate with number `n` (1: `base` + `ext` itself).
    static std::string Candidate(const std::string& base, const std::string& ext, int n);

    CRuleHelper* m_pRuleHelper;
    RuleSet* m_pRuleSet = nullptr;
    CMimePart* m_pMailRoot = nullptr;  // the mail's root: marks and keyword entries go there
    CPartFactsCache m_facts;
    // The attached messages read from parts of the current mail.
    AttachedMessageMap m_attached;
    int m_nMessageDepth = 0;        // attached messages being walked
    Rule* m_pChangeRule = nullptr;  // first rule that removed or moved a part
    Rule* m_pFailedRule = nullptr;  // last remove or move that could not be done
    // Last number used per "<folder>/<base>" + "\n" + ext (worker only).
    std::unordered_map<std::string, int> m_lastNumber;
    std::size_t m_nNamesTried = 0;
};

#endif
