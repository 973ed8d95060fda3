/*
 * record_layout.cpp - compile-time checks of the records hosts read.
 *
 * Hosts read CheckReport, PartReport, PtrSet, Rule, mailhdr, mailhdr_fld,
 * stringlist and mailaddr by their fixed layouts. The offsets below are the
 * contract for a 32-bit build (every member 4 bytes) and for a 64-bit build
 * (pointers 8 bytes, natural alignment); a change to any record that moves a
 * member breaks the build instead of a host.
 */
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "mailward.h"

namespace {

template <class T>
constexpr bool kHostRecord = std::is_standard_layout_v<T>&& std::is_trivially_copyable_v<T>;

static_assert(kHostRecord<Rule> && kHostRecord<mailhdr> && kHostRecord<mailhdr_fld> &&
              kHostRecord<stringlist> && kHostRecord<mailaddr> && kHostRecord<PtrSet> &&
              kHostRecord<PartReport> && kHostRecord<CheckReport>);

#define MW_AT(type, member, off) static_assert(offsetof(type, member) == (off), #type "." #member)

#if UINTPTR_MAX == 0xFFFFFFFFu
MW_AT(Rule, report_next, 0);
MW_AT(Rule, name, 4);
MW_AT(Rule, text, 8);
MW_AT(Rule, is_default, 12);
MW_AT(Rule, hdr, 16);
MW_AT(Rule, user_value, 20);
MW_AT(Rule, action, 24);
MW_AT(Rule, target_dir, 28);
MW_AT(Rule, next, 32);
static_assert(sizeof(Rule) == 36);
MW_AT(mailhdr_fld, next, 0);
MW_AT(mailhdr_fld, id, 4);
MW_AT(mailhdr_fld, name, 8);
MW_AT(mailhdr_fld, lines, 12);
MW_AT(mailhdr_fld, parsed, 16);
static_assert(sizeof(mailhdr_fld) == 20);
MW_AT(mailhdr, current, 0);
MW_AT(mailhdr, flds, 4);
static_assert(sizeof(mailhdr) == 204);
MW_AT(mailaddr, display, 16);
MW_AT(mailaddr, address, 20);
MW_AT(PtrSet, first, 8);
static_assert(sizeof(PtrSet) == 12);
MW_AT(PartReport, part, 4);
MW_AT(PartReport, reserved, 8);
MW_AT(PartReport, name, 12);
MW_AT(PartReport, targetPath, 16);
MW_AT(PartReport, virusResult, 20);
MW_AT(PartReport, virusName, 24);
MW_AT(PartReport, engineVersion, 28);
MW_AT(PartReport, action, 32);
MW_AT(PartReport, rules, 36);
static_assert(sizeof(PartReport) == 48);
MW_AT(CheckReport, errors, 4);
MW_AT(CheckReport, virusResult, 8);
MW_AT(CheckReport, status, 12);
MW_AT(CheckReport, listValue, 16);
MW_AT(CheckReport, modified, 20);
MW_AT(CheckReport, headerChanged, 21);
MW_AT(CheckReport, reserved, 24);
MW_AT(CheckReport, headerRules, 36);
MW_AT(CheckReport, parts, 48);
MW_AT(CheckReport, ruleChain, 52);
MW_AT(CheckReport, header, 56);
static_assert(sizeof(CheckReport) == 60);
#elif UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
MW_AT(Rule, report_next, 0);
MW_AT(Rule, name, 8);
MW_AT(Rule, text, 16);
MW_AT(Rule, is_default, 24);
MW_AT(Rule, hdr, 32);
MW_AT(Rule, user_value, 40);
MW_AT(Rule, action, 44);
MW_AT(Rule, target_dir, 48);
MW_AT(Rule, next, 56);
static_assert(sizeof(Rule) == 64);
MW_AT(mailhdr_fld, next, 0);
MW_AT(mailhdr_fld, id, 8);
MW_AT(mailhdr_fld, name, 16);
MW_AT(mailhdr_fld, lines, 24);
MW_AT(mailhdr_fld, parsed, 32);
static_assert(sizeof(mailhdr_fld) == 40);
MW_AT(mailhdr, current, 0);
MW_AT(mailhdr, flds, 8);
static_assert(sizeof(mailhdr) == 408);
MW_AT(mailaddr, display, 32);
MW_AT(mailaddr, address, 40);
MW_AT(PtrSet, first, 16);
static_assert(sizeof(PtrSet) == 24);
MW_AT(PartReport, part, 8);
MW_AT(PartReport, reserved, 16);
MW_AT(PartReport, name, 24);
MW_AT(PartReport, targetPath, 32);
MW_AT(PartReport, virusResult, 40);
MW_AT(PartReport, virusName, 48);
MW_AT(PartReport, engineVersion, 56);
MW_AT(PartReport, action, 64);
MW_AT(PartReport, rules, 72);
static_assert(sizeof(PartReport) == 96);
MW_AT(CheckReport, errors, 4);
MW_AT(CheckReport, virusResult, 8);
MW_AT(CheckReport, status, 12);
MW_AT(CheckReport, listValue, 16);
MW_AT(CheckReport, modified, 20);
MW_AT(CheckReport, headerChanged, 21);
MW_AT(CheckReport, reserved, 24);
MW_AT(CheckReport, headerRules, 40);
MW_AT(CheckReport, parts, 64);
MW_AT(CheckReport, ruleChain, 72);
MW_AT(CheckReport, header, 80);
static_assert(sizeof(CheckReport) == 88);
#else
#error "unsupported pointer width"
#endif

}  // namespace
