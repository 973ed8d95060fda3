/*
 * check_report.cpp - PtrSet and CheckReport operations (see check_report.h).
 */
#include "report/check_report.h"

#include <exception>
#include <cstdlib>
#include <cstring>
#include <new>

#include "pf/platform.h"

namespace ptrset {

void* Add(PtrSet& set, void* p) {
    if (p == nullptr)
        return nullptr;
    if (set.first == nullptr) {
        set.value = p;
        set.next = nullptr;
        set.first = &set;
        return &set;
    }
    if (set.value == p)
        return &set;
    PtrSetNode* last = nullptr;
    for (PtrSetNode* n = set.next; n != nullptr; n = n->next) {
        if (n->value == p)
            return n;
        last = n;
    }
    auto* node = new (std::nothrow) PtrSetNode{p, nullptr};
    if (node == nullptr)
        return nullptr;
    if (last == nullptr)
        set.next = node;
    else
        last->next = node;
    return node;
}

bool Contains(const PtrSet& set, const void* p) {
    bool found = false;
    ForEach(set, [&](void* v) { found = found || v == p; });
    return found;
}

void Clear(PtrSet& set) {
    PtrSetNode* n = set.next;
    while (n != nullptr) {
        PtrSetNode* following = n->next;
        delete n;
        n = following;
    }
    set.value = nullptr;
    set.next = nullptr;
    set.first = nullptr;
}

void CopyFrom(PtrSet& set, const PtrSet& other) {
    ForEach(other, [&set](void* v) { Add(set, v); });
}

std::size_t Count(const PtrSet& set) {
    std::size_t n = 0;
    ForEach(set, [&](void*) { ++n; });
    return n;
}

}  // namespace ptrset

namespace {

void ReplaceText(char*& slot, const char* text) {
    if (text == nullptr)
        return;
    char* copy = pf::strdup(text);
    if (copy == nullptr)
        return;
    std::free(slot);
    slot = copy;
}

void FreePartReport(PartReport* r) {
    std::free(r->name);
    std::free(r->targetPath);
    std::free(r->virusName);
    std::free(r->engineVersion);
    ptrset::Clear(r->rules);
    delete r;
}

}  // namespace

CCheckReport::CCheckReport() : CheckReport{} {
    Reset();
}

CCheckReport::~CCheckReport() {
    Reset();
}

void CCheckReport::Reset() {
    PartReport* r = parts;
    while (r != nullptr) {
        PartReport* following = r->next;
        FreePartReport(r);
        r = following;
    }
    ptrset::Clear(headerRules);
    m_bOtherCheckFailure = false;
    result = 0;
    errors = 0;
    virusResult = VIRUS_NOT_CHECKED;
    status = 0;
    listValue = 0;
    modified = 0;
    headerChanged = 0;
    reserved[0] = reserved[1] = reserved[2] = 0;
    parts = nullptr;
    ruleChain = nullptr;
    header = nullptr;
    m_partIndex.clear();
    m_pLastPart = nullptr;
    m_chained.clear();
    m_pLastRule = nullptr;
}

PartReport* CCheckReport::AddPart(const void* part, const char* name) {
    PartReport* existing = FindPart(part);
    if (existing != nullptr)
        return existing;
    auto* r = new (std::nothrow) PartReport{};
    if (r == nullptr)
        return nullptr;
    r->part = const_cast<void*>(part);
    r->name = pf::strdup(name != nullptr ? name : "unnamed");
    try {
        m_partIndex.emplace(part, r);
    } catch (const std::exception&) {  // memory is short: no record, as when new fails
        FreePartReport(r);
        return nullptr;
    }
    (m_pLastPart != nullptr ? m_pLastPart->next : parts) = r;
    m_pLastPart = r;
    return r;
}

PartReport* CCheckReport::FindPart(const void* part) const {
    auto it = m_partIndex.find(part);
    return it != m_partIndex.end() ? it->second : nullptr;
}

int CCheckReport::CountParts() const {
    int n = 0;
    for (PartReport* r = parts; r != nullptr; r = r->next)
        ++n;
    return n;
}

PartReport* CCheckReport::SetPartVirus(const void* part, int result, int action,
                                       const char* virusName, const char* engineVersion) {
    PartReport* r = FindPart(part);
    if (r == nullptr)
        return nullptr;
    r->virusResult = result;
    if (result > virusResult)
        virusResult = result;
    if (action != 0 && action != -1) {
        modified = 1;
        if (action > r->action)
            r->action = action;
    }
    ReplaceText(r->virusName, virusName);
    ReplaceText(r->engineVersion, engineVersion);
    return r;
}

PartReport* CCheckReport::SetPartAction(const void* part, const PtrSet* rules, int action,
                                        const char* targetPath) {
    PartReport* r = FindPart(part);
    if (r == nullptr)
        return nullptr;
    if (rules != nullptr) {
        ptrset::Clear(r->rules);
        ptrset::CopyFrom(r->rules, *rules);
        AppendRules(*rules);
    }
    if (action != 0 && action != -1) {
        if (action == PART_KEYWORD)
            headerChanged = 1;
        else
            modified = 1;
        if (action > r->action)
            r->action = action;
    }
    ReplaceText(r->targetPath, targetPath);
    return r;
}

void CCheckReport::SetError(std::uint32_t bit) {
    // A failure of the check other than an engine limit: the limit is no
    // longer the only reason for ERR_CHECK.
    if ((bit & ERR_CHECK) != 0) {
        m_bOtherCheckFailure = true;
        status &= ~static_cast<std::uint32_t>(ST_ENGINE_LIMIT);
    }
    if (bit == 0 || (errors & bit) == bit)
        return;
    errors |= bit;
    result = -1;
}

void CCheckReport::SetEngineLimit() {
    if (!m_bOtherCheckFailure)
        status |= ST_ENGINE_LIMIT;
    errors |= ERR_CHECK;
    result = -1;
}

bool CCheckReport::ChainContains(const Rule* rule) const {
    return m_chained.count(rule) != 0;
}

void CCheckReport::AppendRule(Rule* rule) {
    if (rule == nullptr || ChainContains(rule))
        return;
    try {
        m_chained.insert(rule);
    } catch (const std::exception&) {  // memory is short: the rule stays out of the chain
        return;
    }
    rule->report_next = nullptr;
    (m_pLastRule != nullptr ? m_pLastRule->report_next : ruleChain) = rule;
    m_pLastRule = rule;
}

void CCheckReport::AppendRules(const PtrSet& rules) {
    ptrset::ForEach(rules, [this](void* v) { AppendRule(static_cast<Rule*>(v)); });
}
