/*
 * filter_processor.cpp - rule actions on parts (see filter_processor.h).
 */
#include "processors/filter_processor.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "mailhdr/mailhdr.h"
#include "mime/mimeoutput.h"
#include "mime/safename.h"
#include "hostlib/host_values.h"
#include "pf/text.h"
#include "pf/platform.h"
#include "qorcsock/qorcsock.h"

CFilterProcessor::CFilterProcessor(CCheckReport* pReport, CRuleHelper* pRuleHelper)
    : CBasePartsProcessor(pReport), m_pRuleHelper(pRuleHelper) {
    m_nLogChannel = debug_gethandle("MAILWARD_Filter");
}

void CFilterProcessor::BeginMail(CMimePart* pRoot) {
    m_pMailRoot = pRoot;
    m_facts.Clear();
    m_attached.clear();
    m_pChangeRule = nullptr;
    m_pFailedRule = nullptr;
    ArchiveLimits limits;
    limits.nMaxMembers = static_cast<std::size_t>(
        ConfigNumber("ArchiveMaxMembers", static_cast<std::uint64_t>(ARCHIVE_MAX_MEMBERS)));
    limits.nMaxDepth = static_cast<int>(ConfigNumber("ArchiveMaxDepth", ARCHIVE_MAX_DEPTH));
    limits.nMaxUnpacked = ConfigNumber("ArchiveMaxUnpacked", ARCHIVE_MAX_UNPACKED);
    limits.nMaxMillis = ConfigNumber("ArchiveMaxTime", ARCHIVE_MAX_MILLIS);
    m_facts.SetLimits(limits);
}

int CFilterProcessor::FilterParts(CMimePart* pRoot, const char* pszRuleSet) {
    if (pRoot != m_pMailRoot)
        BeginMail(pRoot);
    m_pRuleSet = m_pRuleHelper->FindRuleSet(pszRuleSet);
    if (m_pRuleSet == nullptr)
        return -1;
    int result = ProcessParts(pRoot);
    m_pRuleSet = nullptr;
    return result;
}

std::string CFilterProcessor::Candidate(const std::string& base, const std::string& ext, int n) {
    return n <= 1 ? base + ext : base + std::to_string(n) + ext;
}

std::FILE* CFilterProcessor::CreateUniqueFile(const std::string& path, std::string& chosen) {
    chosen.clear();
    // The extension starts at the first dot of the file name itself.
    std::size_t nameStart = path.find_last_of("/\\");
    nameStart = nameStart == std::string::npos ? 0 : nameStart + 1;
    const std::size_t dot = path.find('.', nameStart);
    const std::string base = dot == std::string::npos ? path : path.substr(0, dot);
    const std::string ext = dot == std::string::npos ? "" : path.substr(dot);
    const std::string key = base + '\n' + ext;
    if (m_lastNumber.size() >= UNIQUE_NAME_MEMORY && m_lastNumber.count(key) == 0)
        m_lastNumber.clear();
    int& last = m_lastNumber[key];  // numbers up to `last` are known taken

    // `taken`: the highest number seen taken; `step`: the next jump.
    int taken = last;
    int step = 1;
    int n = last + 1;
    while (n <= UNIQUE_NAME_LIMIT) {
        const std::string candidate = Candidate(base, ext, n);
        if (!pf::path_fits(candidate))
            return nullptr;
        ++m_nNamesTried;
        if (std::FILE* f = pf::create_exclusive(candidate.c_str())) {
            last = n;
            chosen = candidate;
            return f;
        }
        const unsigned long code = pf::last_error();
        if (!pf::name_taken(candidate.c_str())) {
            // Not a clash: no access, no folder, a full disk.
            errmsg("CFilterProcessor::CreateUniqueFile() - cannot create %s: %s", candidate.c_str(),
                   WINError2str(code));
            return nullptr;
        }
        taken = n;
        // Jump ahead while names are taken; at the first free jump, search
        // back for the lowest free number above the last taken one.
        int hi = taken + step;
        step *= 2;
        if (hi > UNIQUE_NAME_LIMIT)
            hi = UNIQUE_NAME_LIMIT;
        if (hi == taken)
            break;
        ++m_nNamesTried;
        if (pf::name_taken(Candidate(base, ext, hi).c_str())) {
            taken = hi;
            n = hi + 1;
            continue;
        }
        int lo = taken;  // taken; `hi` free
        while (hi - lo > 1) {
            const int mid = lo + (hi - lo) / 2;
            ++m_nNamesTried;
            if (pf::name_taken(Candidate(base, ext, mid).c_str()))
                lo = mid;
            else
                hi = mid;
        }
        n = hi;
        step = 1;
    }
    last = taken;
    return nullptr;
}

std::string CFilterProcessor::move_part_to_dir(CMimePart* pPart, const char* pszDir) {
    if (pPart == nullptr || pszDir == nullptr)
        return "";
    // A relative folder would land wherever the host's current folder is,
    // an empty one in the root.
    if (*pszDir == '\0' || !std::filesystem::path(pszDir).is_absolute()) {
        errmsg(
            "CFilterProcessor::move_part_to_dir() - target folder \"%s\" is not an absolute path",
            pszDir);
        return "";
    }
    std::int64_t length = 0;
    char* data = pPart->DecodeData(length);
    if (data == nullptr || length < 0) {
        std::free(data);
        errmsg("CFilterProcessor::move_part_to_dir() - no memory for the part's contents");
        return "";
    }
    const std::string name = pPart->GetName();
    std::string path;
    for (const std::string& file : {MimeSafeFileName(name.c_str()), std::string(SAFE_NAME_EMPTY)}) {
        std::FILE* f = CreateUniqueFile(pf::join_path(pszDir, file), path);
        if (f == nullptr) {
            errmsg("CFilterProcessor::move_part_to_dir() - no new file for %s in %s", file.c_str(),
                   pszDir);
            continue;
        }
        bool ok = MimeFileWrite(f, data, static_cast<std::size_t>(length));
        ok = std::fclose(f) == 0 && ok;
        if (ok)
            break;
        errmsg("SaveData(%s) failed", path.c_str());
        pf::delete_file(path.c_str());  // a part cut short is no copy
        path.clear();
    }
    std::free(data);
    return path;
}

void CFilterProcessor::AddKeywordEntry(CMimePart* pRoot, const Rule* rule, const char* format) {
    if (rule->text == nullptr || pf::strnicmp(rule->text, "body:", 5) != 0)
        return;
    char entry[KEYWORD_ENTRY_MAX + 1];
    std::snprintf(entry, sizeof entry, format, rule->text + 5);
    stringlist* list = nullptr;
    if (stringlist_append_string(&list, entry) < 0)
        return;
    mailhdr_add_antispam(pRoot->m_pHeader, list, 0, nullptr);
    stringlist_free(&list);
}

namespace {

// The lines of a notice that say what was found inside the part.
std::string DetailLines(const PartMatchDetail& detail) {
    std::string lines;
    if (!detail.strMember.empty())
        lines += "Member: " + pf::blank_controls(detail.strMember) + "\n";
    if (!detail.strFound.empty())
        lines += "Found: " + pf::blank_controls(detail.strFound) + "\n";
    return lines;
}

}  // namespace

// The notice texts that stand in a removed or moved part's place.
std::string CFilterProcessor::RemovedNotice(const std::string& name,
                                            const PartMatchDetail& detail) {
    return HostText(TEXT_REMOVED_NOTICE) + "\n\nName: " + name + "\n" + DetailLines(detail);
}

std::string CFilterProcessor::MovedNotice(const std::string& name, const std::string& target,
                                          const PartMatchDetail& detail) {
    return HostText(TEXT_MOVED_NOTICE) + "\n\nName: " + name + " --> " + target + "\n" +
           DetailLines(detail);
}

int CFilterProcessor::KeywordAction(CMimePart* pRoot, const Rule* rule) {
    switch (rule->action) {
        case ACTION_KEYWORD_EXCEPTION:
            AddKeywordEntry(pRoot, rule, "Schluesselwoerter-Ausnahme: %s");
            break;
        case ACTION_KEYWORD_MARK:
        case ACTION_MARK_SUBJECT:
            if ((m_pReport->status & (ST_SPAM_LISTED | ST_PART_RULE)) == 0) {
                mailhdr_marksubject(pRoot->m_pHeader, ConfigText("SubjectMark").c_str());
            }
            AddKeywordEntry(pRoot, rule, "Schluesselwoerter: %s");
            break;
        default:  // ACTION_KEYWORD, ACTION_KEYWORD_ALT
            AddKeywordEntry(pRoot, rule, "Schluesselwoerter: %s");
            break;
    }
    m_pReport->status |= ST_PART_RULE;
    return PART_KEYWORD;
}

int CFilterProcessor::MarkMail(CMimePart* pRoot, Rule* rule) {
    m_pReport->status |= ST_PART_RULE;
    PtrSet rules{};
    ptrset::Add(rules, rule);
    m_pReport->SetPartAction(pRoot, &rules, PART_MAIL_MARKED, nullptr);
    ptrset::Clear(rules);
    return PART_MAIL_MARKED;
}

int CFilterProcessor::RemovePart(CMimePart* pPart, const std::string& name,
                                 const PartMatchDetail& detail) {
    const std::string replacement = HostText(TEXT_REPLACEMENT_NAME);
    if (delete_part(pPart, replacement.c_str(), RemovedNotice(name, detail).c_str()) != 0) {
        errmsg("CFilterProcessor::ProcessPart() - delete_part failed");
        m_pReport->SetError(ERR_PART_ACTION);
        return 0;
    }
    return PART_REMOVED;
}

int CFilterProcessor::MovePart(CMimePart* pPart, const Rule* rule, const std::string& name,
                               const PartMatchDetail& detail, std::string& targetPath) {
    if (rule->target_dir == nullptr) {
        errmsg("CFilterProcessor::ProcessPart() - move_part_to_dir failed. invalid target dir");
        m_pReport->SetError(ERR_PART_ACTION);
        return 0;
    }
    targetPath = move_part_to_dir(pPart, rule->target_dir);
    if (targetPath.empty()) {
        errmsg("CFilterProcessor::ProcessPart() - move_part_to_dir failed. target-dir: %s",
               rule->target_dir);
        m_pReport->SetError(ERR_PART_ACTION);
        return 0;  // the part stays: no copy of it is safe on disk
    }
    const std::string header = pPart->GetHeaderDump();
    const std::string replacement = HostText(TEXT_REPLACEMENT_NAME);
    if (delete_part(pPart, replacement.c_str(), MovedNotice(name, targetPath, detail).c_str()) !=
        0) {
        errmsg("CFilterProcessor::ProcessPart() - move_part_to_dir failed");
        m_pReport->SetError(ERR_PART_ACTION);
        return 0;
    }
    if (name == "unnamed")
        infomsg("[MAILCHECK] [HEADER-DUMP]\n%s", pf::blank_controls(header).c_str());
    return PART_MOVED;
}

void CFilterProcessor::RecordAction(CMimePart* pPart, Rule* rule, int code, const std::string& name,
                                    const std::string& targetPath) {
    PtrSet rules{};
    ptrset::Add(rules, rule);
    m_pReport->SetPartAction(pPart, &rules, code,
                             code == PART_MOVED ? targetPath.c_str() : nullptr);
    ptrset::Clear(rules);

    if (code == PART_REMOVED) {
        debugmsg(m_nLogChannel, "CFilterProcessor::ProcessPart() - [MAILCHECK] [REMOVED] [%s]",
                 name.c_str());
        infomsg("[MAILCHECK] [REMOVED] [%s]", name.c_str());
    } else if (code == PART_MOVED) {
        debugmsg(m_nLogChannel, "CFilterProcessor::ProcessPart() - [MAILCHECK] [MOVED] [%s] [%s]",
                 name.c_str(), targetPath.c_str());
        infomsg("[MAILCHECK] [MOVED] [%s] [%s]", name.c_str(), targetPath.c_str());
    } else {
        debugmsg(m_nLogChannel, "CFilterProcessor::ProcessPart() - finished part: %s",
                 name.c_str());
    }
}

int CFilterProcessor::ProcessPart(CMimePart* pPart) {
    debugmsg(m_nLogChannel, "CFilterProcessor::ProcessPart() - enter");
    // The name goes into notices, a header and log lines: one line, never more.
    const std::string name = pf::blank_controls(PartNameOrUnnamed(pPart));
    debugmsg(m_nLogChannel, "CBasePartsProcessor::ProcessParts - processing part: %s",
             name.c_str());
    PartMatchDetail detail;
    Rule* rule = m_pRuleHelper->FindMatchingRule(pPart, m_pRuleSet, &m_facts, &detail);
    if (rule == nullptr)
        return IsAttachedMessage(pPart) ? FilterAttachedMessage(pPart, name) : 0;
    return Act(pPart, rule, name, detail);
}

int CFilterProcessor::Act(CMimePart* pPart, Rule* rule, const std::string& name,
                          const PartMatchDetail& detail) {
    if (!detail.strMember.empty() || !detail.strFound.empty())
        infomsg("[MAILCHECK] [FOUND] [%s] [%s] [%s]", name.c_str(),
                pf::blank_controls(detail.strMember).c_str(),
                pf::blank_controls(detail.strFound).c_str());
    CMimePart* root = m_pMailRoot != nullptr ? m_pMailRoot : pPart->GetRootPart();
    int code = 0;
    std::string targetPath;
    switch (rule->action) {
        case ACTION_KEYWORD_EXCEPTION:
        case ACTION_KEYWORD_MARK:
        case ACTION_MARK_SUBJECT:
        case ACTION_KEYWORD:
        case ACTION_KEYWORD_ALT:
            code = KeywordAction(root, rule);
            break;
        case ACTION_MARK_MAIL:
        case ACTION_MARK_MAIL_ALT:
            code = MarkMail(root, rule);
            break;
        case ACTION_REMOVE:
            code = RemovePart(pPart, name, detail);
            break;
        case ACTION_MOVE:
            code = MovePart(pPart, rule, name, detail, targetPath);
            break;
        case ACTION_NONE:
            break;
        default:
            errmsg("CFilterProcessor::ProcessPart() - invalid action code.");
            m_pReport->SetError(ERR_PART_ACTION);
            break;
    }
    if ((code == PART_REMOVED || code == PART_MOVED) && m_pChangeRule == nullptr)
        m_pChangeRule = rule;
    else if (code != PART_REMOVED && code != PART_MOVED &&
             (rule->action == ACTION_REMOVE || rule->action == ACTION_MOVE))
        m_pFailedRule = rule;
    RecordAction(pPart, rule, code, name, targetPath);
    return code;
}
