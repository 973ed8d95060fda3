/*
 * check_report.h - the check report of one mail, as the host reads it.
 *
 * CCheckReport adds operations to the plain record CheckReport of mailward.h
 * and, behind the record, indexes of its own: the part records by part and
 * the rules of the chain, with the last of each list, so that adding,
 * finding and chaining cost the same for the ten-thousandth part as for the
 * first. A CCheckReport* is handed to the host as the CheckReport* (its
 * base) it reads; the lists stay the host's. The ptrset functions work on
 * PtrSet records.
 *
 * PtrSet: an ordered set of pointers whose first node lies in the set itself;
 * a pointer is a member at most once; further nodes are heap pairs.
 *
 * CheckReport: error bits (any bit also sets result to -1; ST_ENGINE_LIMIT
 * stands only while engine limits were the one reason for ERR_CHECK), the
 * highest virus result of the mail, status bits, one PartReport per part in the order of
 * AddPart, the header rules that matched, and the chain of rules that acted
 * (linked through Rule::report_next, no rule twice). Only the worker writes
 * it; the host reads it inside the job callback.
 *
 * Errors: a record that cannot be made (memory short) is left out and the
 * operation returns null or does nothing; standard exceptions of the
 * indexes are caught where they happen. Nothing is thrown out of the layer.
 */
#ifndef MAILWARD_CHECK_REPORT_H
#define MAILWARD_CHECK_REPORT_H

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>

#include "mailward.h"

// Operations on a PtrSet record (they work on sets embedded in host records).
namespace ptrset {
// The node holding p (an existing one when p is a member); null for a null p
// or when memory is short.
void* Add(PtrSet& set, void* p);
bool Contains(const PtrSet& set, const void* p);
void Clear(PtrSet& set);
void CopyFrom(PtrSet& set, const PtrSet& other);
inline void* First(const PtrSet& set) {
    return set.first != nullptr ? set.value : nullptr;
}
std::size_t Count(const PtrSet& set);

// Calls fn(member) for each member in order.
template <class F>
void ForEach(const PtrSet& set, F fn) {
    if (set.first == nullptr)
        return;
    fn(set.value);
    for (PtrSetNode* n = set.next; n != nullptr; n = n->next)
        fn(n->value);
}
}  // namespace ptrset

class CCheckReport : public CheckReport {
  public:
    CCheckReport();
    ~CCheckReport();
    CCheckReport(const CCheckReport&) = delete;
    CCheckReport& operator=(const CCheckReport&) = delete;

    void Reset();
    // Appends a record for `part` unless one exists; null name -> "unnamed".
    PartReport* AddPart(const void* part, const char* name);
    PartReport* FindPart(const void* part) const;
    int CountParts() const;
    PartReport* SetPartVirus(const void* part, int result, int action, const char* virusName,
                             const char* engineVersion);
    PartReport* SetPartAction(const void* part, const PtrSet* rules, int action,
                              const char* targetPath);
    // ERR_CHECK set by anything but an engine limit clears ST_ENGINE_LIMIT
    // for the rest of the check.
    void SetError(std::uint32_t bit);
    // The engine stopped at a limit: ERR_CHECK, and ST_ENGINE_LIMIT as long
    // as no other failure set ERR_CHECK in this check.
    void SetEngineLimit();
    // Links each member of `rules` after the chain's last rule unless it is
    // in the chain already.
    void AppendRules(const PtrSet& rules);
    void AppendRule(Rule* rule);
    bool ChainContains(const Rule* rule) const;

  private:
    std::unordered_map<const void*, PartReport*> m_partIndex;  // every record of `parts`
    PartReport* m_pLastPart = nullptr;                         // the last record of `parts`
    std::unordered_set<const Rule*> m_chained;                 // every rule of `ruleChain`
    Rule* m_pLastRule = nullptr;                               // the last rule of `ruleChain`
    bool m_bOtherCheckFailure = false;  // ERR_CHECK was set for another reason than a limit
};

#endif
