/*
 * headercheck.cpp - CRuleHelper::CheckHeader and MatchHeader: which rule of
 * a set applies to a mail header.
 *
 * CheckHeader(set, header) copies the caller's record, decodes the encoded
 * words of the copy (the caller's record is only read), walks the set's
 * rules in list order under m_lock and returns the first rule whose
 * MatchHeader is true, else the set's default rule. Null for an unknown set
 * or a record that cannot be copied.
 *
 * Decoding the copy: for the fields of the table (identifiers 0..48) the
 * lines of all fields of one identifier are gathered, decoded and put back
 * as one field of that identifier, as the header library can only set table
 * fields by identifier. Fields outside the table (49) are decoded each in
 * place, under their own names, so that rules on such fields and
 * whole-header rules see decoded text like the rest. Lines that do not
 * decode are dropped; an identifier none of whose lines decodes stays as it
 * was.
 *
 * MatchHeader: a whole-header rule ("*" took the last line) tests its
 * pattern against every line of the copy's header dump. Any other rule tests
 * its criteria in identifier order and matches when one of them does: the
 * field comparison of the header library, and for address fields each value
 * line as text, then its first address in its two forms (bare address,
 * then display form). Only the first field of each identifier in the rule
 * and its first line count.
 *
 * Cost: the dump of the copy and the addresses of its lines are worked out
 * at most once per CheckHeader, however many rules ask for them, so a check
 * grows linearly with the number of rules and the size of the header.
 */
#include <exception>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "mailhdr/mailhdr.h"
#include "mime/mimepart.h"
#include "pf/platform.h"
#include "qorcsock/qorcsock.h"
#include "rules/rulehelper.h"

namespace {

struct HdrFree {
    void operator()(mailhdr* hdr) const { mailhdr_free(hdr); }
};
using HdrPtr = std::unique_ptr<mailhdr, HdrFree>;

bool FieldHasEncodedWord(const mailhdr_fld* fld) {
    for (const stringlist* line = fld->lines; line != nullptr; line = line->next) {
        if (line->str != nullptr && std::strstr(line->str, "=?") != nullptr)
            return true;
    }
    return false;
}

// Decodes the lines of `fld` and of the fields after it (all of them when
// `wholeList`, else `fld` alone), in order, into a new list; lines that do
// not decode are left out. Null when no line decoded.
stringlist* DecodeLines(const mailhdr_fld* fld, bool wholeList) {
    std::vector<char*> decoded;
    for (; fld != nullptr; fld = wholeList ? fld->next : nullptr) {
        for (const stringlist* line = fld->lines; line != nullptr; line = line->next) {
            char* text = DecodeHeaderData(line->str);
            if (text != nullptr)
                decoded.push_back(text);
        }
    }
    // Built from the back, so every node costs one step.
    stringlist* list = nullptr;
    bool ok = true;
    for (auto it = decoded.rbegin(); it != decoded.rend(); ++it) {
        stringlist one{nullptr, *it};
        ok = ok && stringlist_prepend(&list, &one) == 0;
        std::free(*it);
    }
    if (!ok)
        stringlist_free(&list);
    return list;
}

void DecodeCopy(mailhdr* copy) {
    for (int id = 0; id < MAILHDR_FLD_OTHER; ++id) {
        bool encoded = false;
        for (const mailhdr_fld* fld = copy->flds[id]; fld != nullptr && !encoded; fld = fld->next)
            encoded = FieldHasEncodedWord(fld);
        if (!encoded)
            continue;
        stringlist* lines = DecodeLines(copy->flds[id], true);
        if (lines == nullptr)
            continue;
        mailhdr_delfld(copy, id);
        mailhdr_setfld(copy, id, lines);
        stringlist_free(&lines);
    }
    for (mailhdr_fld* fld = copy->flds[MAILHDR_FLD_OTHER]; fld != nullptr; fld = fld->next) {
        if (!FieldHasEncodedWord(fld))
            continue;
        stringlist* lines = DecodeLines(fld, false);
        if (lines == nullptr)
            continue;
        stringlist_free(&fld->lines);
        fld->lines = lines;
        // A fresh copy has no parsed values; should one exist, it belongs to
        // the old lines (the type of identifier 49 parses to a string).
        cbcontext_free(fld->parsed);
        fld->parsed = nullptr;
    }
}

// First address of a line in its two text forms, as the support library's
// parser gives them; absent forms stay empty with their flag clear.
struct AddressForms {
    bool parsed = false;
    bool hasAddress = false, hasDisplay = false;
    std::string address, display;
};

}  // namespace

// What one CheckHeader works out at most once for all its rules.
struct CRuleHelper::HeaderScan {
    bool dumped = false;
    stringlist* dumpLines = nullptr;
    bool addressesDone[MAILHDR_NFLDS] = {};
    std::vector<AddressForms> addresses[MAILHDR_NFLDS];

    HeaderScan() = default;
    HeaderScan(const HeaderScan&) = delete;
    HeaderScan& operator=(const HeaderScan&) = delete;
    ~HeaderScan() { stringlist_free(&dumpLines); }

    const stringlist* DumpLines(const mailhdr* copy) {
        if (!dumped) {
            dumped = true;
            std::string dump = CMimePart::GetMailHeaderDump(copy);
            dumpLines = stringlist_split(dump.c_str(), "\n");
        }
        return dumpLines;
    }

    // One entry per value line of the copy's first field of `id`.
    const std::vector<AddressForms>& Addresses(const mailhdr* copy, int id) {
        if (!addressesDone[id]) {
            addressesDone[id] = true;
            for (const stringlist* line = copy->flds[id]->lines; line != nullptr;
                 line = line->next) {
                AddressForms forms;
                mailaddr* list = line->str != nullptr ? mailaddr_parse(line->str) : nullptr;
                if (list != nullptr) {
                    forms.parsed = true;
                    forms.hasAddress = list->address != nullptr;
                    forms.hasDisplay = list->display != nullptr;
                    if (forms.hasAddress)
                        forms.address = list->address;
                    if (forms.hasDisplay)
                        forms.display = list->display;
                    mailaddr_free(&list);
                }
                addresses[id].push_back(std::move(forms));
            }
        }
        return addresses[id];
    }
};

bool CRuleHelper::MatchHeader(const Rule* rule, mailhdr* copy) {
    HeaderScan scan;
    return MatchHeaderIn(rule, copy, scan);
}

bool CRuleHelper::MatchHeaderIn(const Rule* rule, mailhdr* copy, HeaderScan& scan) {
    if (rule == nullptr || rule->hdr == nullptr || copy == nullptr)
        return false;
    const mailhdr* criteria = rule->hdr;
    if (GetRuleKind(rule) == RuleKind::WholeHeader) {
        const char* pattern = GetRulePattern(rule);
        for (const stringlist* line = scan.DumpLines(copy); line != nullptr; line = line->next) {
            if (shcasematch(line->str, pattern))
                return true;
        }
        return false;
    }
    for (int id = 0; id < MAILHDR_NFLDS; ++id) {
        const mailhdr_fld* field = criteria->flds[id];
        if (field == nullptr || copy->flds[id] == nullptr || field->lines == nullptr)
            continue;
        const char* pattern = field->lines->str;
        if (mailhdr_fld_eq_name(copy, field->name, pattern))
            return true;
        int type = mailhdr_getfldtype(id);
        if (type != FLDTYPE_ADDR && type != FLDTYPE_ADDRLIST)
            continue;
        const stringlist* line = copy->flds[id]->lines;
        for (const AddressForms& forms : scan.Addresses(copy, id)) {
            if (shcasematch(line->str, pattern))
                return true;
            if (forms.hasAddress && shcasematch(forms.address.c_str(), pattern))
                return true;
            if (forms.hasDisplay && shcasematch(forms.display.c_str(), pattern))
                return true;
            line = line->next;
        }
    }
    return false;
}

Rule* CRuleHelper::CheckHeader(const char* set, const mailhdr* header) {
    debugmsg(m_nDebug, "CRuleHelper::CheckHeader() - set: %s", set != nullptr ? set : "(null)");
    try {
        // Held until the rule's text is logged below; the mail check holds
        // its own guard for as long as it keeps the result.
        ReadGuard guard = BeginRead();
        RuleSet* found = FindRuleSet(set);
        if (found == nullptr)
            return nullptr;
        HdrPtr copy(header != nullptr ? mailhdr_copy(header) : nullptr);
        if (!copy) {
            errmsg("CRuleHelper::CheckHeader() - mailhdr_copy() failed");
            return nullptr;
        }
        DecodeCopy(copy.get());

        HeaderScan scan;
        Rule* result = nullptr;
        Rule* fallback = nullptr;
        {
            std::lock_guard<std::mutex> hold(m_lock);
            for (Rule* rule = found->rules; rule != nullptr && result == nullptr;
                 rule = rule->next) {
                if (MatchHeaderIn(rule, copy.get(), scan))
                    result = rule;
            }
            fallback = found->default_rule;
        }
        copy.reset();
        if (result != nullptr) {
            debugmsg(m_nDebug, "CRuleHelper::CheckHeader() - returning rule: %s", result->text);
            return result;
        }
        debugmsg(m_nDebug, "CRuleHelper::CheckHeader() - returning default rule: %s",
                 fallback->text);
        return fallback;
    } catch (const std::exception&) {
        errmsg("CRuleHelper::CheckHeader() - out of memory");
        return nullptr;
    }
}
