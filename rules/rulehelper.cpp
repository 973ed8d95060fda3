/*
 * rulehelper.cpp - rule sets of CRuleHelper: construction, the readers and
 * retired items, adding and inserting rules, default rules, clearing, the
 * report chain, and the kind and pattern of a rule text.
 *
 * Every record and string made here comes from malloc (calloc, pf::strdup)
 * and goes back through cbcontext_free; a rule's criteria go back through
 * mailhdr_free. Failures are results (null, -1), never exceptions, except
 * that BeginRead passes on std::bad_alloc.
 *
 * A new set is made complete, with its default rule, before it is linked,
 * so a header check never meets a set without one; and when two threads add
 * the first rule of one set name at once, the second finds the first's set
 * under the lock and does not link a twin.
 */
#include "rules/rulehelper.h"

#include <exception>
#include <cstdlib>
#include <cstring>
#include <new>

#include "mailhdr/mailhdr.h"
#include "pf/platform.h"
#include "qorcsock/qorcsock.h"

namespace {

const char* LogText(const char* s) {
    return s != nullptr ? s : "(null)";
}

void FreeRuleSet(RuleSet* set) {
    Rule* rule = set->rules;
    while (rule != nullptr) {
        Rule* next = rule->next;
        FreeRule(rule);
        rule = next;
    }
    FreeRule(set->default_rule);
    cbcontext_free(set->name);
    cbcontext_free(set);
}

// A default rule with the given action, or null when memory is short.
Rule* NewDefaultRule(int action) {
    Rule* rule = static_cast<Rule*>(std::calloc(1, sizeof(Rule)));
    if (rule == nullptr)
        return nullptr;
    rule->text = pf::strdup(DEFAULT_RULE_TEXT);
    if (rule->text == nullptr) {
        cbcontext_free(rule);
        return nullptr;
    }
    rule->is_default = 1;
    rule->action = action;
    return rule;
}

}  // namespace

void FreeRule(Rule* rule) {
    if (rule == nullptr)
        return;
    cbcontext_free(rule->name);
    cbcontext_free(rule->text);
    if (rule->hdr != nullptr)
        mailhdr_free(rule->hdr);
    cbcontext_free(rule->target_dir);
    cbcontext_free(rule);
}

// One retired item: a chain of sets (linked through their own `next`) or a
// single default rule. Nodes are queued in epoch order, so the oldest ones
// are always at the head.
struct CRuleHelper::Retired {
    Retired* next = nullptr;
    std::uint64_t epoch = 0;
    std::chrono::steady_clock::time_point since;
    RuleSet* sets = nullptr;
    Rule* rule = nullptr;
};

// ---- construction ---------------------------------------------------------

CRuleHelper::CRuleHelper(unsigned retireGraceMs)
    : m_retireGrace(retireGraceMs), m_nDebug(debug_gethandle("MAILWARD_Debug")) {
    mailhdr_init();
}

CRuleHelper::~CRuleHelper() {
    ClearRules();
    Retired* all = nullptr;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        all = m_pRetiredHead;
        m_pRetiredHead = m_pRetiredTail = nullptr;
        m_nRetired = 0;
    }
    ReleaseRetired(all);
    mailhdr_exit();
}

// ---- readers and retired items --------------------------------------------

CRuleHelper::ReadGuard::ReadGuard(ReadGuard&& other) noexcept
    : m_pOwner(other.m_pOwner), m_nEpoch(other.m_nEpoch) {
    other.m_pOwner = nullptr;
}

CRuleHelper::ReadGuard& CRuleHelper::ReadGuard::operator=(ReadGuard&& other) noexcept {
    if (this != &other) {
        Release();
        m_pOwner = other.m_pOwner;
        m_nEpoch = other.m_nEpoch;
        other.m_pOwner = nullptr;
    }
    return *this;
}

void CRuleHelper::ReadGuard::Release() {
    CRuleHelper* owner = m_pOwner;
    m_pOwner = nullptr;
    if (owner != nullptr)
        owner->EndRead(m_nEpoch);
}

CRuleHelper::ReadGuard CRuleHelper::BeginRead() {
    std::lock_guard<std::mutex> hold(m_lock);
    ++m_readers[m_nEpoch];
    return ReadGuard(this, m_nEpoch);
}

void CRuleHelper::EndRead(std::uint64_t epoch) {
    Retired* release = nullptr;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        auto it = m_readers.find(epoch);
        if (it != m_readers.end() && --it->second == 0)
            m_readers.erase(it);
        release = TakeReleasableLocked();
    }
    ReleaseRetired(release);
}

void CRuleHelper::RetireLocked(Retired* node) {
    node->epoch = m_nEpoch++;
    node->since = std::chrono::steady_clock::now();
    node->next = nullptr;
    if (m_pRetiredTail != nullptr)
        m_pRetiredTail->next = node;
    else
        m_pRetiredHead = node;
    m_pRetiredTail = node;
    ++m_nRetired;
}

CRuleHelper::Retired* CRuleHelper::TakeReleasableLocked() {
    // A reader that began in epoch e may hold anything retired in epoch e or
    // later; readers that began after a retirement cannot reach its items.
    const std::uint64_t oldestReader = m_readers.empty() ? UINT64_MAX : m_readers.begin()->first;
    const auto now = std::chrono::steady_clock::now();
    Retired* taken = nullptr;
    Retired** tail = &taken;
    while (m_pRetiredHead != nullptr && m_pRetiredHead->epoch < oldestReader &&
           now - m_pRetiredHead->since >= m_retireGrace) {
        Retired* node = m_pRetiredHead;
        m_pRetiredHead = node->next;
        node->next = nullptr;
        *tail = node;
        tail = &node->next;
        --m_nRetired;
    }
    if (m_pRetiredHead == nullptr)
        m_pRetiredTail = nullptr;
    return taken;
}

void CRuleHelper::ReleaseRetired(Retired* list) {
    while (list != nullptr) {
        Retired* next = list->next;
        RuleSet* set = list->sets;
        while (set != nullptr) {
            RuleSet* nextSet = set->next;
            FreeRuleSet(set);
            set = nextSet;
        }
        FreeRule(list->rule);
        delete list;
        list = next;
    }
}

std::size_t CRuleHelper::RetiredCount() {
    Retired* release = nullptr;
    std::size_t count = 0;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        release = TakeReleasableLocked();
        count = m_nRetired;
    }
    ReleaseRetired(release);
    return count;
}

// ---- rule sets --------------------------------------------------------------

RuleSet* CRuleHelper::FindRuleSetLocked(const char* name) const {
    if (name == nullptr)
        return nullptr;
    auto it = m_setIndex.find(std::string_view(name));
    return it != m_setIndex.end() ? it->second : nullptr;
}

RuleSet* CRuleHelper::FindRuleSet(const char* name) {
    if (name == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> hold(m_lock);
    return FindRuleSetLocked(name);
}

RuleSet* CRuleHelper::AddRuleSet(const char* name) {
    if (name == nullptr)
        return nullptr;
    debugmsg(m_nDebug, "AddRuleSet() - set: %s", name);
    RuleSet* made = static_cast<RuleSet*>(std::calloc(1, sizeof(RuleSet)));
    if (made == nullptr)
        return nullptr;
    made->name = pf::strdup(name);
    made->default_rule = NewDefaultRule(DEFAULT_RULE_ACTION);
    if (made->name == nullptr || made->default_rule == nullptr) {
        FreeRuleSet(made);
        return nullptr;
    }
    RuleSet* result = made;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        RuleSet* existing = FindRuleSetLocked(name);
        if (existing != nullptr) {
            result = existing;  // another thread made it meanwhile
        } else {
            try {
                m_setIndex.emplace(std::string_view(made->name), made);
            } catch (const std::exception&) {
                result = nullptr;  // no memory for the index: no set
            }
            if (result != nullptr) {
                (m_pLastSet != nullptr ? m_pLastSet->next : m_pSets) = made;
                m_pLastSet = made;
            }
        }
    }
    if (result != made)
        FreeRuleSet(made);
    debugmsg(m_nDebug, "AddRuleSet() - leaving");
    return result;
}

int CRuleHelper::AddRule(const char* set, const char* name, const char* text, std::uint32_t value,
                         int action, const char* dir, int prepend) {
    debugmsg(m_nDebug, "AddRule() - set: %s, rule: %s", LogText(set), LogText(text));
    if (set == nullptr || text == nullptr)
        return -1;
    Rule* rule = static_cast<Rule*>(std::calloc(1, sizeof(Rule)));
    if (rule == nullptr)
        return -1;
    rule->name = pf::strdup(name);
    rule->text = pf::strdup(text);
    stringlist* pieces = stringlist_split(text, RULE_SEPARATOR);
    rule->hdr = mailhdr_alloc();
    bool ok = (name == nullptr || rule->name != nullptr) && rule->text != nullptr &&
              pieces != nullptr && rule->hdr != nullptr;
    for (stringlist* piece = pieces; ok && piece != nullptr; piece = piece->next)
        ok = mailhdr_parseline(rule->hdr, piece->str) == 0;
    stringlist_free(&pieces);
    if (ok && dir != nullptr) {
        rule->target_dir = pf::strdup(dir);
        ok = rule->target_dir != nullptr;
    }
    if (!ok) {
        FreeRule(rule);
        return -1;
    }
    rule->action = action;
    rule->user_value = value;
    int result = InsertRule(set, rule, prepend);
    debugmsg(m_nDebug, "AddRule() - returns %i", result);
    return result;
}

int CRuleHelper::InsertRule(const char* set, Rule* rule, int prepend) {
    if (rule == nullptr)
        return -1;
    if (set == nullptr) {
        FreeRule(rule);
        return -1;
    }
    // The guard keeps the set found below in memory should the rules be
    // cleared before the rule is linked; the rule then goes with that set,
    // as if it had been added just before the clearing.
    ReadGuard guard;
    try {
        guard = BeginRead();
    } catch (const std::exception&) {
        FreeRule(rule);
        return -1;
    }
    RuleSet* target = FindRuleSet(set);
    if (target == nullptr)
        target = AddRuleSet(set);
    if (target == nullptr) {
        FreeRule(rule);
        return -1;
    }
    std::lock_guard<std::mutex> hold(m_lock);
    if (target->rules == nullptr) {
        rule->next = nullptr;
        target->rules = rule;
        target->last_rule = rule;
    } else if (prepend != 0) {
        rule->next = target->rules;
        target->rules = rule;
    } else {
        rule->next = nullptr;
        target->last_rule->next = rule;
        target->last_rule = rule;
    }
    return 0;
}

void CRuleHelper::SetDefaultAction(const char* set, int action) {
    if (set == nullptr)
        return;
    ReadGuard guard;
    try {
        guard = BeginRead();
    } catch (const std::exception&) {
        return;
    }
    RuleSet* target = FindRuleSet(set);
    if (target == nullptr)
        target = AddRuleSet(set);
    if (target == nullptr)
        return;
    Rule* rule = NewDefaultRule(action);
    Retired* node = new (std::nothrow) Retired;
    if (rule == nullptr || node == nullptr) {
        // The set keeps its old default rule.
        FreeRule(rule);
        delete node;
        return;
    }
    Retired* release = nullptr;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        node->rule = target->default_rule;
        target->default_rule = rule;
        RetireLocked(node);
        release = TakeReleasableLocked();
    }
    ReleaseRetired(release);
}

void CRuleHelper::ClearRules() {
    Retired* node = new (std::nothrow) Retired;
    Retired* release = nullptr;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        RuleSet* sets = m_pSets;
        m_pSets = nullptr;
        m_setIndex.clear();
        m_pLastSet = nullptr;
        if (sets != nullptr) {
            if (node != nullptr) {
                node->sets = sets;
                RetireLocked(node);
                node = nullptr;
            } else {
                // No record to file them under: keeping them forever is
                // safer than releasing them under a reader.
                bugmsg("CRuleHelper::ClearRules() - no memory, rule sets kept");
            }
        }
        release = TakeReleasableLocked();
    }
    delete node;
    ReleaseRetired(release);
}

Rule* CRuleHelper::MakeDefaultRule(const char* set) {
    Rule* rule = nullptr;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        RuleSet* found = FindRuleSetLocked(set);
        if (found != nullptr) {
            rule = found->default_rule;
            rule->report_next = nullptr;
        }
    }
    if (rule == nullptr)
        errmsg("CRuleHelper::MakeDefaultRule() - invalid rule set");
    return rule;
}

Rule* CRuleHelper::AppendToRuleChain(Rule* chain, Rule* rule) {
    if (rule == nullptr)
        return chain;
    if (chain == nullptr) {
        rule->report_next = nullptr;
        return rule;
    }
    Rule* last = chain;
    for (;;) {
        // A rule already in the chain stays where it is: linking it again
        // would close the chain into a loop.
        if (last == rule)
            return chain;
        if (last->report_next == nullptr)
            break;
        last = last->report_next;
    }
    rule->report_next = nullptr;
    last->report_next = rule;
    return chain;
}

// ---- rule texts ---------------------------------------------------------------

RuleKind CRuleHelper::GetRuleKind(const Rule* rule) {
    if (rule == nullptr || rule->hdr == nullptr || rule->hdr->current == nullptr)
        return RuleKind::Header;
    const mailhdr_fld* last = rule->hdr->current;
    if (last->id != MAILHDR_FLD_OTHER || last->name == nullptr)
        return RuleKind::Header;
    if (pf::stricmp(last->name, RULE_FIELD_WHOLE_HEADER) == 0)
        return RuleKind::WholeHeader;
    if (pf::stricmp(last->name, RULE_FIELD_ATTACHMENT) == 0)
        return RuleKind::Attachment;
    if (pf::stricmp(last->name, RULE_FIELD_BODY) == 0)
        return RuleKind::Keyword;
    if (pf::stricmp(last->name, RULE_FIELD_CONTENT) == 0)
        return RuleKind::Content;
    if (pf::stricmp(last->name, RULE_FIELD_ENCRYPTED) == 0)
        return RuleKind::Encrypted;
    if (pf::stricmp(last->name, RULE_FIELD_UNREADABLE) == 0)
        return RuleKind::Unreadable;
    if (pf::stricmp(last->name, RULE_FIELD_MISMATCH) == 0)
        return RuleKind::Mismatch;
    return RuleKind::Header;
}

const char* CRuleHelper::GetKindPattern(const Rule* rule) {
    if (rule == nullptr || rule->hdr == nullptr || rule->hdr->current == nullptr ||
        rule->hdr->current->lines == nullptr)
        return nullptr;
    return rule->hdr->current->lines->str;
}

const char* CRuleHelper::GetRulePattern(const Rule* rule) {
    if (rule == nullptr || rule->hdr == nullptr)
        return nullptr;
    const mailhdr_fld* first = rule->hdr->flds[MAILHDR_FLD_OTHER];
    if (first == nullptr || first->lines == nullptr)
        return nullptr;
    return first->lines->str;
}
