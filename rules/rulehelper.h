/*
 * rulehelper.h - CRuleHelper, the rule engine: the host's filter rules in
 * named rule sets, the header check and the matching of MIME parts.
 *
 * Rule sets (rulehelper.cpp)
 *   A RuleSet is an ordered list of Rule records plus one default rule; sets
 *   are kept in order of creation and found by their exact name (letter case
 *   counts). A set appears when a rule or a default action first names it
 *   and stays until ClearRules.
 *   AddRule(set, name, text, value, action, dir, prepend)
 *                      0, or -1 (null set or text, no memory, a piece of the
 *                      text that is not a header line); the set is unchanged
 *                      on -1.
 *   InsertRule         links a made rule into its set (created when missing):
 *                      at the end, or in front with the prepend flag; 0, or
 *                      -1 when the set cannot be made (the rule is freed).
 *                      Sets are found through an index by name and rules
 *                      appended behind the set's last rule: adding a rule
 *                      costs the same however many rules and sets there are.
 *   SetDefaultAction   replaces the set's default rule ("default", action).
 *   ClearRules         removes every set.
 *   MakeDefaultRule    the set's default rule with report_next cleared, or
 *                      null (error line) for an unknown set.
 *   AppendToRuleChain  links a rule at the end of a report_next chain.
 *
 * Rule text: header lines separated by RULE_SEPARATOR, each parsed with
 *   mailhdr_parseline into the rule's own header record. The field that took
 *   the last line decides the kind: "*" whole-header, "attachment", "body"
 *   keyword, anything else a header rule (names compared ignoring case). The
 *   pattern of the three special kinds is the first line of the first field
 *   outside the field table (GetRulePattern).
 *   Content kinds (judged by what a part's decoded bytes are, see
 *   part_facts.h), each with the first line of its own field as pattern
 *   (GetKindPattern):
 *     "content: PATTERN"        the type of the bytes (libmagic MIME type,
 *                               "application/x-dosexec"), or of any member
 *                               of an archive part;
 *     "attachment-encrypted: yes"   an encrypted archive (or member) or
 *                               document: what it holds cannot be seen;
 *     "attachment-unreadable: yes"  an archive that could not be listed
 *                               whole (damaged, a limit), or an attached
 *                               message the filter could not read;
 *     "attachment-mismatch: yes"    an executable under a name (the part's,
 *                               or a member's) whose extension is not a
 *                               program's: a program posing as an image or
 *                               a document.
 *   A value other than "yes" makes the last three never match.
 *
 * Header check (headercheck.cpp)
 *   CheckHeader(set, header)  the first rule of the set whose criteria meet a
 *                      private copy of the header (encoded words decoded on
 *                      the copy, also in fields outside the field table),
 *                      else the set's default rule; null for an unknown set
 *                      or a header that cannot be copied. The caller's record
 *                      is only read.
 *   MatchHeader(rule, copy)   the test of one rule (criteria are alternatives).
 *
 * Part matching (partmatch.cpp)
 *   FindMatchingRule(part, set[, facts, detail])  the first rule of the set
 *                      that MatchPart accepts under the current
 *                      m_nMatchMode, or null (never the default rule). A
 *                      part's name and decoded text are worked out once per
 *                      walk, not once per rule; its content facts once per
 *                      `facts` cache (once per call without one). `detail`
 *                      receives what matched inside the part: the archive
 *                      member, or what its bytes were found to be.
 *   MatchPart(rule, part)        1 or 0.
 *   Under MATCH_ATTACHMENT an attachment rule also tests the names of the
 *   members of an archive part (nested ones too, by their own name and by
 *   their path), after the part's own names; the content kinds test parts
 *   without sub-parts, named or not (a reader opens an unnamed binary part
 *   as an attachment too).
 *   FindRuleOfKind(set, kind)    the first rule of that kind, or null.
 *
 * Errors (the whole rule engine): -1 or null results, with an error line;
 * an allocation that fails inside (std::bad_alloc and the other standard
 * exceptions of the containers) is caught where it happens and becomes that
 * result. Nothing else is thrown, and nothing leaves the engine.
 *
 * Retired rules. A Rule handed out (the result of CheckHeader, the rules a
 * mail check records in its report) must stay readable while its reader
 * runs, even when the host clears the rules or replaces a default rule at
 * the same moment. Clearing and replacing therefore only unlink: the removed
 * sets and default rules are retired, tagged with the current epoch, and the
 * epoch moves on. A reader (ReadGuard, from BeginRead) registers with the
 * epoch current at its start; a retired item is released once no reader of
 * its epoch or an earlier one is still active and it has been retired for at
 * least the grace time (RULE_RETIRE_GRACE_MS by default), which gives a host
 * thread that reads a rule just returned by the export a moment even without
 * a guard. CheckHeader holds a guard for its whole run; the mail check holds
 * one for its whole job. The destructor releases everything: every guard
 * must have ended before it runs.
 *
 * Threads: one lock (m_lock) guards the set list, every rule list, the
 * readers and the retired items; it is held for each walk and each change,
 * never nested, and never while retired items are released. m_nMatchMode is
 * written and read by the worker thread alone, between filter passes.
 *
 * Limits: KEYWORD_SEPARATORS cut text into words; base64 parts of
 * BODY_SCAN_LIMIT encoded characters or more are never searched for
 * keywords.
 */
#ifndef MAILWARD_RULEHELPER_H
#define MAILWARD_RULEHELPER_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "mailward.h"

class CMimePart;
class CPartFactsCache;

// What matched inside a part, for the notice and the log.
struct PartMatchDetail {
    std::string strMember;  // the archive member that matched ("" the part)
    std::string strFound;   // what the bytes were found to be ("" by name)
};

// Match-mode bits (m_nMatchMode): which kinds of part rule MatchPart tries.
constexpr std::uint32_t MATCH_ATTACHMENT = 0x02;
constexpr std::uint32_t MATCH_KEYWORD_EXCEPTION = 0x40;
constexpr std::uint32_t MATCH_KEYWORD = 0x80;

// Bytes that cut decoded text into words; a keyword pattern holding any of
// them is a phrase. Carriage return and tab are not among them.
constexpr const char* KEYWORD_SEPARATORS = " \n.,;!-<>";
// A base64 part with this many encoded characters or more is not searched
// for keywords (decoding large attachments per keyword rule is too dear).
constexpr std::size_t BODY_SCAN_LIMIT = 10000;
// Separator of the header lines of a rule text.
constexpr const char* RULE_SEPARATOR = ";";
// Text of every default rule.
constexpr const char* DEFAULT_RULE_TEXT = "default";
// Action of the default rule a new set starts with.
constexpr int DEFAULT_RULE_ACTION = 1;
// Least time a retired rule is kept after its removal.
constexpr unsigned RULE_RETIRE_GRACE_MS = 1000;

// Field names that give a rule its kind.
constexpr const char* RULE_FIELD_WHOLE_HEADER = "*";
constexpr const char* RULE_FIELD_ATTACHMENT = "attachment";
constexpr const char* RULE_FIELD_BODY = "body";
constexpr const char* RULE_FIELD_CONTENT = "content";
constexpr const char* RULE_FIELD_ENCRYPTED = "attachment-encrypted";
constexpr const char* RULE_FIELD_UNREADABLE = "attachment-unreadable";
constexpr const char* RULE_FIELD_MISMATCH = "attachment-mismatch";
// The value that switches the yes/no kinds on.
constexpr const char* RULE_VALUE_YES = "yes";

// One named set: its ordered rules and its default rule.
struct RuleSet {
    RuleSet* next;       // next set, in order of creation
    char* name;          // own copy of the set's name
    Rule* rules;         // first rule of the ordered list, or null
    Rule* default_rule;  // the set's default rule; never null in a listed set
    Rule* last_rule;     // last rule of the ordered list, or null
};

enum class RuleKind {
    Header,
    WholeHeader,
    Attachment,
    Keyword,
    Content,
    Encrypted,
    Unreadable,
    Mismatch
};

class CRuleHelper {
  public:
    // Registration of a reader: while it lives, no rule or set that was
    // reachable when it began is released. Movable, not copyable; an empty
    // guard (default-made or moved from) registers nothing.
    class ReadGuard {
      public:
        ReadGuard() = default;
        ReadGuard(ReadGuard&& other) noexcept;
        ReadGuard& operator=(ReadGuard&& other) noexcept;
        ReadGuard(const ReadGuard&) = delete;
        ReadGuard& operator=(const ReadGuard&) = delete;
        ~ReadGuard() { Release(); }
        bool Active() const { return m_pOwner != nullptr; }
        // Ends the registration early; the guard is empty afterwards.
        void Release();

      private:
        friend class CRuleHelper;
        ReadGuard(CRuleHelper* owner, std::uint64_t epoch) : m_pOwner(owner), m_nEpoch(epoch) {}
        CRuleHelper* m_pOwner = nullptr;
        std::uint64_t m_nEpoch = 0;
    };

    CRuleHelper() : CRuleHelper(RULE_RETIRE_GRACE_MS) {}
    // `retireGraceMs`: least time retired items are kept (0: released as soon
    // as their readers have ended).
    explicit CRuleHelper(unsigned retireGraceMs);
    virtual ~CRuleHelper();
    CRuleHelper(const CRuleHelper&) = delete;
    CRuleHelper& operator=(const CRuleHelper&) = delete;

    // Registers the caller as a reader (may throw std::bad_alloc).
    ReadGuard BeginRead();

    // ---- rule sets ----
    RuleSet* AddRuleSet(const char* name);
    // The set of exactly that name, or null. The pointer stays valid while
    // the caller holds a ReadGuard begun before the call.
    RuleSet* FindRuleSet(const char* name);
    int AddRule(const char* set, const char* name, const char* text, std::uint32_t value,
                int action, const char* dir, int prepend);
    int InsertRule(const char* set, Rule* rule, int prepend);
    void SetDefaultAction(const char* set, int action);
    void ClearRules();
    Rule* MakeDefaultRule(const char* set);
    static Rule* AppendToRuleChain(Rule* chain, Rule* rule);

    // ---- header check ----
    Rule* CheckHeader(const char* set, const mailhdr* header);
    bool MatchHeader(const Rule* rule, mailhdr* copy);

    // ---- part matching ----
    Rule* FindMatchingRule(CMimePart* part, RuleSet* set, CPartFactsCache* facts = nullptr,
                           PartMatchDetail* detail = nullptr);
    int MatchPart(const Rule* rule, CMimePart* part);
    Rule* FindRuleOfKind(RuleSet* set, RuleKind kind);

    // ---- rule texts ----
    static RuleKind GetRuleKind(const Rule* rule);
    // First value line of the rule's first field outside the field table
    // (the pattern of whole-header, attachment and keyword rules), or null.
    static const char* GetRulePattern(const Rule* rule);
    // First value line of the field that gave the rule its kind (the last
    // field), or null: the pattern of the content kinds.
    static const char* GetKindPattern(const Rule* rule);

    // Retired items not yet released (for diagnostics and tests).
    std::size_t RetiredCount();

    std::uint32_t m_nMatchMode = 0;  // MATCH_ bits; worker thread only

  private:
    struct Retired;
    struct HeaderScan;
    struct PartScan;

    void EndRead(std::uint64_t epoch);
    // Under m_lock: files a removed chain of sets or one default rule.
    void RetireLocked(Retired* node);
    // Under m_lock: unlinks the retired items that may go now; the caller
    // releases them with ReleaseRetired after unlocking.
    Retired* TakeReleasableLocked();
    static void ReleaseRetired(Retired* list);
    RuleSet* FindRuleSetLocked(const char* name) const;
    bool MatchHeaderIn(const Rule* rule, mailhdr* copy, HeaderScan& scan);
    int MatchPartIn(const Rule* rule, CMimePart* part, PartScan& scan);
    int MatchContentIn(const Rule* rule, RuleKind kind, PartScan& scan);

    RuleSet* m_pSets = nullptr;  // first set, or null
    std::mutex m_lock;           // guards every member below and all lists
    // Every listed set by its name (the key is the set's own copy), and the
    // last one: finding and adding cost the same with 100,000 sets as with one.
    std::unordered_map<std::string_view, RuleSet*> m_setIndex;
    RuleSet* m_pLastSet = nullptr;
    std::uint64_t m_nEpoch = 0;  // moves on with each retirement
    // Active readers by the epoch they began in (epoch -> count).
    std::map<std::uint64_t, std::size_t> m_readers;
    Retired* m_pRetiredHead = nullptr;  // oldest retired item
    Retired* m_pRetiredTail = nullptr;  // newest retired item
    std::size_t m_nRetired = 0;
    std::chrono::milliseconds m_retireGrace;
    int m_nDebug;  // "MAILWARD_Debug" channel
};

// Releases a rule record with its strings and header record.
void FreeRule(Rule* rule);

#endif
