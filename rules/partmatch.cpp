/*
 * partmatch.cpp - CRuleHelper::FindMatchingRule and MatchPart: which rule of
 * a set applies to one MIME part, under the match mode of the filter pass.
 *
 * MatchPart(rule, part) gives 1 or 0:
 *   attachment test  (MATCH_ATTACHMENT, attachment rule) a part with a name,
 *                    or an encoded block, matches when the pattern matches
 *                    any name the part carries (MimePartNameList: the shown
 *                    name, every Content-Type name and Content-Disposition
 *                    filename in every form mail clients read, and as the
 *                    reader's file system opens it); a name that a limit
 *                    cut is suspicious, not absent: a rule whose action is
 *                    not ACTION_NONE matches it when its pattern could
 *                    match the name's rest (shcaseprefix), while a rule
 *                    that lets a part pass needs a name known whole;
 *   keyword test     (keyword rule with action 1 under
 *                    MATCH_KEYWORD_EXCEPTION, with any other action under
 *                    MATCH_KEYWORD) the decoded contents hold the pattern:
 *                    a pattern with a KEYWORD_SEPARATORS byte is a phrase,
 *                    searched as "*phrase*" in the whole text; any other
 *                    pattern must match one whole word of the text cut at
 *                    runs of separators. Base64 parts of BODY_SCAN_LIMIT
 *                    encoded characters or more are not searched.
 * Under MATCH_ATTACHMENT, besides:
 *   archive members  an attachment rule whose pattern matches none of the
 *                    part's names is tested against the members of an
 *                    archive part by the member's own file name (the last
 *                    element of its path; a pattern with "/" is tested
 *                    against its path in its archive and from the
 *                    outermost archive too); the first that matches is the
 *                    detail;
 *   content kinds    (parts without sub-parts) "content" matches the type
 *                    of the decoded bytes or of any member, "attachment-
 *                    encrypted" an encrypted archive or document,
 *                    "attachment-unreadable" an archive not listed whole,
 *                    "attachment-mismatch" a program under a name (the
 *                    part's or a member's) that is not a program's.
 * Header and whole-header rules never match a part. Text is searched as
 * bytes up to its first zero byte; letter case of A-Z is ignored.
 *
 * FindMatchingRule(part, set) holds m_lock for the whole walk and returns
 * the first rule that matches, else null (never the default rule).
 *
 * Cost: within one walk a part's name, transfer encoding and decoded text
 * are worked out once, and the text is cut into words at most once. A word
 * pattern without wildcard bytes is searched in the lowered text between
 * separators (the first DIRECT_WORD_SEARCHES of a walk); past those, the
 * literal words of the set's keyword rules (A-Z lowered) are put in a set
 * and one pass over the text's words marks those that occur, so a walk of
 * many keyword rules costs one pass over the text, and its memory is that
 * of the rules' words and the lowered text, never a set of the text's
 * words. A pattern with wildcards is tested against each word of the text;
 * a phrase without wildcard bytes inside its stars is a substring search in
 * the lowered text. The results are those of shcasematch on every word, or
 * on the whole text.
 */
#include <exception>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "mime/mimepart.h"
#include "mime/partnames.h"
#include "pf/text.h"
#include "qorcsock/qorcsock.h"
#include "inspect/content_type.h"
#include "rules/part_facts.h"
#include "rules/rulehelper.h"

namespace {

// One entry per byte value: true for the bytes of KEYWORD_SEPARATORS.
struct SeparatorTable {
    bool is[256] = {};
    constexpr SeparatorTable() {
        for (const char* p = KEYWORD_SEPARATORS; *p != '\0'; ++p)
            is[static_cast<unsigned char>(*p)] = true;
    }
};
constexpr SeparatorTable kSeparators;

bool IsSeparator(char c) {
    return kSeparators.is[static_cast<unsigned char>(c)];
}

// Literal word patterns searched in the text itself before a walk looks up
// the words of all the set's keyword rules in one pass.
constexpr int DIRECT_WORD_SEARCHES = 8;

bool HasSeparator(const char* pattern) {
    return std::strpbrk(pattern, KEYWORD_SEPARATORS) != nullptr;
}

// Bytes that give a wildcard pattern more meaning than its letters.
bool IsLiteral(const char* pattern) {
    return std::strpbrk(pattern, "*?[") == nullptr;
}

}  // namespace

// What one walk works out about its part, each at most once.
struct CRuleHelper::PartScan {
    CMimePart* part;
    bool haveHeaderFacts = false;
    std::string name;
    bool scannable = false;  // not a base64 part at or above BODY_SCAN_LIMIT

    bool haveNames = false;
    MimeNameList names;  // every name the part carries, and those a limit cut

    const MimeNameList& Names() {
        if (!haveNames) {
            haveNames = true;
            names = MimePartNameList(*part);
        }
        return names;
    }

    bool decoded = false;
    bool hasText = false;
    std::string text;  // decoded contents up to their first zero byte

    bool lowerDone = false;
    std::string lowerText;  // `text` with A-Z lowered

    // The literal word patterns of the walked set's keyword rules, A-Z
    // lowered (views into `ruleWordText`), and those of them that are words
    // of the text. Lowering keeps the separators, and shcasematch ignores A-Z
    // case, so a pattern matches a lowered word exactly when it matches the
    // word as written.
    const RuleSet* set = nullptr;
    bool cut = false;
    std::vector<std::string> ruleWordText;
    std::unordered_set<std::string_view> ruleWords;
    std::unordered_set<std::string_view> present;
    int wordSearches = 0;  // literal words looked up in the text itself

    // Whether `word` (lowered, no separator in it) is one of the words.
    // The first few look-ups search the text for the word between
    // separators; the pass over all words pays only for walks with many
    // keywords.
    bool HasWord(std::string_view word) {
        if (word.empty())
            return false;
        if (!cut && ++wordSearches > DIRECT_WORD_SEARCHES && set != nullptr)
            Cut();
        if (cut && ruleWords.count(word) != 0)
            return present.count(word) != 0;
        const std::string_view all(LowerText());
        for (std::size_t at = all.find(word); at != std::string_view::npos;
             at = all.find(word, at + 1)) {
            const std::size_t end = at + word.size();
            if ((at == 0 || IsSeparator(all[at - 1])) &&
                (end == all.size() || IsSeparator(all[end])))
                return true;
        }
        return false;
    }

    // Calls fn(word) for each word of the lowered text, in order, until fn
    // returns true; true when it did.
    template <class F>
    bool AnyWord(F fn) {
        const std::string_view all(LowerText());
        std::size_t i = 0;
        while (i < all.size()) {
            while (i < all.size() && IsSeparator(all[i]))
                ++i;
            const std::size_t start = i;
            while (i < all.size() && !IsSeparator(all[i]))
                ++i;
            if (i > start && fn(all.substr(start, i - start)))
                return true;
        }
        return false;
    }

    explicit PartScan(CMimePart* p, const RuleSet* s = nullptr, CPartFactsCache* c = nullptr)
        : part(p), set(s), cache(c) {}

    // Content facts: from the walk's cache, else worked out for this call.
    CPartFactsCache* cache = nullptr;
    const PartFacts* facts = nullptr;
    PartFacts ownFacts;
    const PartFacts& Facts() {
        if (facts == nullptr) {
            if (cache != nullptr) {
                facts = &cache->Of(part);
            } else {
                ownFacts = PartFactsOf(part, ArchiveLimits());
                facts = &ownFacts;
            }
        }
        return *facts;
    }
    PartMatchDetail detail;

    void HeaderFacts() {
        if (haveHeaderFacts)
            return;
        haveHeaderFacts = true;
        name = part->GetName();
        scannable = part->GetContentTransferEncoding() != "base64" ||
                    part->GetDataLength() < BODY_SCAN_LIMIT;
    }

    bool Text() {
        if (!decoded) {
            decoded = true;
            std::int64_t length = 0;
            char* data = part->DecodeData(length);
            if (data != nullptr) {
                hasText = true;
                std::size_t n = length > 0 ? static_cast<std::size_t>(length) : 0;
                const void* zero = std::memchr(data, '\0', n);
                text.assign(data, zero != nullptr ? static_cast<const char*>(zero) - data : n);
                std::free(data);
            }
        }
        return hasText;
    }

    const std::string& LowerText() {
        if (!lowerDone) {
            lowerDone = true;
            lowerText = pf::ascii_lower(text);
        }
        return lowerText;
    }

    // Collects the set's literal keyword words and marks those in the text.
    void Cut() {
        if (cut)
            return;
        cut = true;
        for (const Rule* rule = set->rules; rule != nullptr; rule = rule->next) {
            const char* pattern = GetRulePattern(rule);
            if (GetRuleKind(rule) == RuleKind::Keyword && pattern != nullptr &&
                pattern[0] != '\0' && !HasSeparator(pattern) && IsLiteral(pattern))
                ruleWordText.push_back(pf::ascii_lower(pattern));
        }
        // The vector is complete: views into its strings stay valid.
        for (const std::string& word : ruleWordText)
            ruleWords.insert(word);
        AnyWord([this](std::string_view word) {
            auto it = ruleWords.find(word);
            if (it != ruleWords.end())
                present.insert(*it);
            return false;
        });
    }
};

Rule* CRuleHelper::FindMatchingRule(CMimePart* part, RuleSet* set, CPartFactsCache* facts,
                                    PartMatchDetail* detail) {
    if (part == nullptr || set == nullptr)
        return nullptr;
    try {
        PartScan scan(part, set, facts);
        std::lock_guard<std::mutex> hold(m_lock);
        for (Rule* rule = set->rules; rule != nullptr; rule = rule->next) {
            scan.detail = PartMatchDetail();
            if (MatchPartIn(rule, part, scan) == 1) {
                if (detail != nullptr)
                    *detail = scan.detail;
                return rule;
            }
        }
    } catch (const std::exception&) {
        errmsg("CRuleHelper::FindMatchingRule() - out of memory");
    }
    return nullptr;
}

Rule* CRuleHelper::FindRuleOfKind(RuleSet* set, RuleKind kind) {
    if (set == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> hold(m_lock);
    for (Rule* rule = set->rules; rule != nullptr; rule = rule->next) {
        if (GetRuleKind(rule) == kind)
            return rule;
    }
    return nullptr;
}

namespace {

// The last element of an archive member's name ("dir/a.exe" -> "a.exe").
std::string_view BaseName(std::string_view name) {
    const std::size_t slash = name.find_last_of("/\\");
    return slash == std::string_view::npos ? name : name.substr(slash + 1);
}

bool Matches(std::string_view text, const char* pattern) {
    const std::string copy(text);  // the matcher takes NUL-terminated text
    return shcasematch(copy.c_str(), pattern) != 0;
}

bool IsYes(const char* value) {
    return value != nullptr && pf::equals_nocase(pf::trim(value), RULE_VALUE_YES);
}

}  // namespace

int CRuleHelper::MatchContentIn(const Rule* rule, RuleKind kind, PartScan& scan) {
    const char* pattern = GetKindPattern(rule);
    if (pattern == nullptr)
        return 0;
    if (kind != RuleKind::Content && !IsYes(pattern))
        return 0;
    const PartFacts& facts = scan.Facts();
    if (!facts.bLeaf)
        return 0;
    const std::vector<ArchiveMember>& members = facts.listing.members;
    switch (kind) {
        case RuleKind::Content:
            if (Matches(facts.strType, pattern)) {
                scan.detail.strFound = "type " + facts.strType;
                return 1;
            }
            for (const ArchiveMember& m : members) {
                if (!m.strType.empty() && Matches(m.strType, pattern)) {
                    scan.detail.strMember = m.strPath;
                    scan.detail.strFound = "type " + m.strType;
                    return 1;
                }
            }
            return 0;
        case RuleKind::Encrypted:
            if (facts.bEncryptedDoc || facts.listing.bEncrypted) {
                scan.detail.strFound =
                    facts.bEncryptedDoc ? "an encrypted document" : "an encrypted archive";
                for (const ArchiveMember& m : members) {
                    if (m.bEncrypted) {
                        scan.detail.strMember = m.strPath;
                        break;
                    }
                }
                return 1;
            }
            return 0;
        case RuleKind::Unreadable:
            if (facts.listing.bUnreadable) {
                scan.detail.strFound =
                    "an archive that cannot be listed: " + facts.listing.strProblem;
                return 1;
            }
            return 0;
        case RuleKind::Mismatch:
            for (const std::string& name : scan.Names().names) {
                if (inspect_hides_executable(name, facts.strType)) {
                    scan.detail.strFound = "a program (" + facts.strType + ") named " + name;
                    return 1;
                }
            }
            for (const ArchiveMember& m : members) {
                if (inspect_hides_executable(m.strName, m.strType)) {
                    scan.detail.strMember = m.strPath;
                    scan.detail.strFound = "a program (" + m.strType + ") named " + m.strName;
                    return 1;
                }
            }
            return 0;
        default:
            return 0;
    }
}

int CRuleHelper::MatchPart(const Rule* rule, CMimePart* part) {
    if (part == nullptr)
        return 0;
    try {
        PartScan scan(part);
        return MatchPartIn(rule, part, scan);
    } catch (const std::exception&) {
        errmsg("CRuleHelper::MatchPart() - out of memory");
        return 0;
    }
}

int CRuleHelper::MatchPartIn(const Rule* rule, CMimePart* part, PartScan& scan) {
    if (rule == nullptr)
        return 0;
    const RuleKind kind = GetRuleKind(rule);
    const char* pattern = GetRulePattern(rule);

    if ((m_nMatchMode & MATCH_ATTACHMENT) != 0 && kind == RuleKind::Attachment) {
        // A rule acts when any name a mail client could show matches, or
        // the name of anything an archive part holds. A name a limit cut
        // counts for a rule that acts when its pattern could match the rest.
        const MimeNameList& list = scan.Names();
        const bool counts = !list.names.empty() || !list.cut.empty() || part->IsUUBlock();
        if (counts && list.names.empty() && list.cut.empty() && shcasematch("", pattern))
            return 1;
        for (const std::string& name : list.names) {
            if (shcasematch(name.c_str(), pattern))
                return 1;
        }
        if (rule->action != ACTION_NONE) {
            for (const std::string& known : list.cut) {
                if (shcaseprefix(known.c_str(), pattern))
                    return 1;
            }
        }
        if (pattern != nullptr) {
            for (const ArchiveMember& m : scan.Facts().listing.members) {
                // Members are shown by their own name; folders inside the
                // archive count only for a pattern that names folders.
                const bool folders = std::strpbrk(pattern, "/\\") != nullptr;
                if (Matches(BaseName(m.strName), pattern) ||
                    (folders && (Matches(m.strName, pattern) || Matches(m.strPath, pattern)))) {
                    scan.detail.strMember = m.strPath;
                    return 1;
                }
            }
        }
        if (counts)
            return 0;
    }
    if (kind == RuleKind::Content || kind == RuleKind::Encrypted || kind == RuleKind::Unreadable ||
        kind == RuleKind::Mismatch)
        return (m_nMatchMode & MATCH_ATTACHMENT) != 0 ? MatchContentIn(rule, kind, scan) : 0;

    if (kind != RuleKind::Keyword)
        return 0;
    const bool exception = rule->action == ACTION_KEYWORD_EXCEPTION;
    if (!(exception && (m_nMatchMode & MATCH_KEYWORD_EXCEPTION) != 0) &&
        !(!exception && (m_nMatchMode & MATCH_KEYWORD) != 0))
        return 0;
    scan.HeaderFacts();
    if (!scan.scannable || pattern == nullptr)
        return 0;
    if (!scan.Text())
        return 0;

    if (HasSeparator(pattern)) {
        std::string phrase;
        if (pattern[0] != '*')
            phrase += '*';
        phrase += pattern;
        if (phrase.back() != '*')
            phrase += '*';
        // "*X*" with a literal X holds exactly when X occurs in the text.
        std::string_view inner(phrase);
        while (!inner.empty() && inner.front() == '*')
            inner.remove_prefix(1);
        while (!inner.empty() && inner.back() == '*')
            inner.remove_suffix(1);
        if (inner.find_first_of("*?[") == std::string_view::npos)
            return scan.LowerText().find(pf::ascii_lower(inner)) != std::string::npos ? 1 : 0;
        return shcasematch(scan.text.c_str(), phrase.c_str()) ? 1 : 0;
    }
    if (IsLiteral(pattern))
        return scan.HasWord(pf::ascii_lower(pattern)) ? 1 : 0;
    std::string word;  // the matcher takes NUL-terminated text
    return scan.AnyWord([&](std::string_view view) {
        word.assign(view);
        return shcasematch(word.c_str(), pattern) != 0;
    })
               ? 1
               : 0;
}
