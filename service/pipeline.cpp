/*
 * pipeline.cpp - the check of one queued mail, run on the worker thread.
 *
 * OnPop(job):
 *    0. only a regular file no larger than MaxMailSize is checked: anything
 *       else gets its error line and ERR_LOAD, untouched and not backed up;
 *    1. backup of the mail; the report is reset;
 *    2. whole-file scan (JOB_AV_CHECK, engine active): a virus leads to the
 *       replacement (7), an engine failure sets ERR_CHECK (with
 *       ST_ENGINE_LIMIT when the engine stopped at a limit, or at encrypted
 *       content in a check without the attachment filter);
 *    3. a stopping service ends the job here, without a callback;
 *    4. load (failures: "[MAILCHECK] [ERROR] [...]" lines, ERR_LOAD, finish);
 *       one report record per part;
 *    5. part scan (JOB_AV_CHECK, engine active): a virus in any part leads to
 *       the replacement, a failed scan sets ERR_CHECK (ST_ENGINE_LIMIT as
 *       in step 2);
 *    6. attachment filter (JOB_ATTACHMENT_FILTER) and the strict reading
 *       of the mail against it (ST_MIME_DISAGREEMENT); encrypted content the
 *       engine left to it and no rule judged sets ERR_CHECK with
 *       ST_ENGINE_LIMIT; then the rule stage;
 *    7. replacement of an infected mail: its header (without Content-Type)
 *       and the filled template "virremovedinfo.txt" as body, written over
 *       the source;
 *    8. engine stamp (JOB_AV_CHECK and something was scanned);
 *    9. output: the whole rebuilt mail when parts changed (to the target; a
 *       different source stays untouched), the header alone when only it
 *       changed (on the source, then copied to a different target), or a
 *       copy of the unchanged mail to a different target;
 *   10. finish: temporary backups of unchanged mails deleted, an empty rule
 *       chain gets the set's default rule, the callback (unless the service
 *       is stopping), job and tree released.
 * The callback runs after every failure except while the service stops.
 */
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "mailhdr/mailhdr.h"
#include "mime/mimemessage.h"
#include "miralib/miralib.h"
#include "pf/platform.h"
#include "pf/text.h"
#include "hostlib/host_values.h"
#include "qorcsock/qorcsock.h"
#include "service/mailward_service.h"
#include "service/mime_disagreement.h"
#include "vaveriz/vaveriz.h"

namespace {

// Whether saves flush a rewritten mail to disk before it replaces the old
// file; read per mail, like every configuration value.
bool FlushMails() {
    return miraconf_get_int("FlushMails", 1) != 0;
}

// The texts the information template names; filled just before the
// template is read, used by the worker only.
struct ReplacementContext {
    std::string virusName;
    std::string engineVersion;
};

int WriteVirusInfo(void*, void*, FILE* out, void* context) {
    const auto* ctx = static_cast<const ReplacementContext*>(context);
    if (ctx != nullptr && out != nullptr)
        std::fprintf(out, "%s", ctx->virusName.c_str());
    return 0;
}

int WriteEngineVersion(void*, void*, FILE* out, void* context) {
    const auto* ctx = static_cast<const ReplacementContext*>(context);
    if (ctx != nullptr && out != nullptr)
        std::fprintf(out, "%s", ctx->engineVersion.c_str());
    return 0;
}

const TemplateVariable kReplacementVariables[] = {
    {"${VirusInfoText}", &WriteVirusInfo},
    {"${AVEngineVersionText}", &WriteEngineVersion},
    {"", nullptr},
};

constexpr const char* INFO_TEMPLATE = "virremovedinfo.txt";

void LoadFailed(int result, const char* source) {
    const char* format = "[MAILCHECK] [ERROR] [unknown error loading %s]";
    switch (result) {
        case CMimeMessage::LOAD_PARSE_FAILED:
            format = "[MAILCHECK] [ERROR] [parsing %s]";
            break;
        case CMimeMessage::LOAD_NO_FILE:
            format = "[MAILCHECK] [ERROR] [opening file %s]";
            break;
        case CMimeMessage::LOAD_NO_MEMORY:
            format = "[MAILCHECK] [ERROR] [memory %s]";
            break;
        default:
            break;
    }
    errmsg(format, source);
    infomsg(format, source);
}

// Only a regular file no larger than MaxMailSize is checked: anything else
// (a FIFO or a device would block or never end; a mail above the limit would
// be cut or exhaust memory) is refused with its error line before the first
// byte is read or copied, and left as it is.
bool MailIsCheckable(const char* source) {
    pf::InputFile probe;
    const char* format = nullptr;
    if (!probe.open(source)) {
        format = probe.not_regular() ? "[MAILCHECK] [ERROR] [not a regular file %s]"
                                     : "[MAILCHECK] [ERROR] [opening file %s]";
    } else {
        const std::string text = ConfigText("MaxMailSize");
        const std::uint64_t limit = text.empty() ? MIRACONF_DEFAULT_MAX_MAIL_SIZE
                                                 : std::strtoull(text.c_str(), nullptr, 10);
        if (probe.size() > limit)
            format = "[MAILCHECK] [ERROR] [larger than MaxMailSize %s]";
    }
    if (format == nullptr)
        return true;
    errmsg(format, source);
    infomsg(format, source);
    return false;
}

void CheckFailed(CCheckReport& report) {
    errmsg("CMailWard::OnPop() - Virenchcheck schlug fehl");
    infomsg("[MAILCHECK] [ERROR] [SECUREMAIL]");
    report.SetError(ERR_CHECK);
}

// The engine stopped at a limit (its own line names it).
void LimitReached(CCheckReport& report) {
    infomsg("[MAILCHECK] [ERROR] [ENGINE LIMIT]");
    report.SetEngineLimit();
}

}  // namespace

void CMailWard::OnPop(MailJob* job) {
    if (job == nullptr)
        return;
    debugmsg(g_nMailwardDebug, "CMailWard::OnPop() - processing job: %s, %s", job->ruleSet,
             job->source);
    // Rules that this job records stay readable until its callback is over.
    CRuleHelper::ReadGuard rulesInUse;
    try {
        rulesInUse = m_ruleHelper.BeginRead();
    } catch (...) {
    }
    std::unique_ptr<CMimeMessage> message;
    try {
        if (!MailIsCheckable(job->source)) {
            m_report.Reset();
            m_report.SetError(ERR_LOAD);
            Finish(job, nullptr);
            return;
        }
        BackupMail(job->source);
        m_report.Reset();
        const bool scan = (job->flags & JOB_AV_CHECK) != 0 && m_pSecurity->IsActive();
        const CheckStep step = RunChecks(job, scan, message);
        if (step == CheckStep::FINISHED)
            return;
        if (step == CheckStep::INFECTED && !ReplaceInfectedMail(job, message)) {
            Finish(job, nullptr);
            return;
        }
        Stamp(job, message.get());
        WriteResult(job, message.get());
    } catch (...) {
        // Nothing inside a check may end the worker: the job is reported.
        errmsg("CMailWard::OnPop() - unexpected failure checking %s", job->source);
        m_report.SetError(ERR_CHECK);
    }
    Finish(job, message.get());
}

CMailWard::CheckStep CMailWard::RunChecks(MailJob* job, bool scan,
                                          std::unique_ptr<CMimeMessage>& message) {
    const bool filter = (job->flags & JOB_ATTACHMENT_FILTER) != 0;
    m_bWholeEncrypted = false;
    m_pSecurity->DeferEncrypted(filter);
    if (scan && ScanWholeMail(job))
        return CheckStep::INFECTED;
    if (!LoadMail(job, message))
        return CheckStep::FINISHED;
    // Where each part stood, before the part scan or the filter puts notices
    // in the place of any.
    std::optional<CPartPlaceSnapshot> places;
    if ((job->flags & JOB_ATTACHMENT_FILTER) != 0)
        places.emplace(message.get());
    if (scan && ScanParts(message))
        return CheckStep::INFECTED;
    if (places) {
        FilterAttachments(job, message.get(), *places);
        JudgeEncrypted(job);
    }
    CheckMailRules(job, message.get());
    return CheckStep::CHECKED;
}

bool CMailWard::ScanWholeMail(MailJob* job) {
    const int r = AV_CheckFile(job->source);
    const int failure = r == AV_RESULT_FAILED ? AV_GetLastFailure() : AV_FAILURE_NONE;
    if (failure == AV_FAILURE_ENCRYPTED && (job->flags & JOB_ATTACHMENT_FILTER) != 0) {
        m_bWholeEncrypted = true;
    } else if (failure == AV_FAILURE_LIMIT || failure == AV_FAILURE_ENCRYPTED) {
        // Without the filter nothing judges encrypted content: like a limit,
        // the same mail meets it at every try.
        LimitReached(m_report);
    } else if (r == AV_RESULT_FAILED) {
        errmsg("CMailWard::OnPop() - AV_CheckFile() failed");
        m_report.SetError(ERR_CHECK);
    }
    return r == AV_RESULT_VIRUS;
}

bool CMailWard::LoadMail(MailJob* job, std::unique_ptr<CMimeMessage>& message) {
    if (StopRequested()) {
        Finish(job, nullptr);
        return false;
    }
    message.reset(new (std::nothrow) CMimeMessage());
    if (!message) {
        errmsg("CMailWard::OnPop - could not create message. no memory.");
        Finish(job, nullptr);
        return false;
    }
    message->m_bFlushOnSave = FlushMails();
    const int loaded = message->LoadMsg(job->source, true);
    if (loaded != 0) {
        LoadFailed(loaded, job->source);
        m_report.SetError(ERR_LOAD);
        Finish(job, message.get());
        return false;
    }
    debugmsg(g_nMailwardDebug, "CMailWard::OnPop() - message %s loaded",
             message->GetHeader(MAILHDR_FLD_SUBJECT).c_str());
    InitStatus(message.get());
    m_pFilter->BeginMail(message.get());
    m_ruleHelper.m_nMatchMode = 0;
    return true;
}

bool CMailWard::ScanParts(std::unique_ptr<CMimeMessage>& message) {
    m_pSecurity->ForgetLastFailure();
    if (m_pSecurity->ProcessParts(message.get()) == -1) {
        if (m_pSecurity->LastFailureWasLimit())
            LimitReached(m_report);
        else
            CheckFailed(m_report);
    } else if (m_report.virusResult == VIRUS_CLEAN) {
        debugmsg(g_nMailwardDebug, "CMailWard::OnPop() - message secured");
        infomsg("[MAILCHECK] [OK] [SECUREMAIL] [%d]", m_report.CountParts());
    } else if (m_report.virusResult == VIRUS_FOUND) {
        errmsg("av-mailcheck failed, but av-partscheck succeeded!");
        message.reset();
        return true;
    }
    return false;
}

void CMailWard::FilterAttachments(MailJob* job, CMimeMessage* message,
                                  const CPartPlaceSnapshot& places) {
    m_ruleHelper.m_nMatchMode = MATCH_ATTACHMENT;
    if (m_pFilter->FilterParts(message, job->ruleSet) == -1)
        CheckFailed(m_report);
    CheckMimeDisagreement(job->source, m_ruleHelper, job->ruleSet, m_report, places,
                          &m_pFilter->AttachedMessages());
}

void CMailWard::JudgeEncrypted(MailJob* job) {
    const std::vector<const CMimePart*>& parts = m_pSecurity->EncryptedParts();
    if (!m_bWholeEncrypted && parts.empty())
        return;
    RuleSet* set = job->ruleSet ? m_ruleHelper.FindRuleSet(job->ruleSet) : nullptr;
    const bool named = set && m_ruleHelper.FindRuleOfKind(set, RuleKind::Encrypted) != nullptr;
    // The mail's own scan cannot tell which part it was: only a part scan can.
    std::string unjudged = m_bWholeEncrypted && parts.empty() ? "mail" : "";
    for (const CMimePart* part : parts) {
        const PartReport* r = m_report.FindPart(part);
        const bool gone = r && (r->action == PART_REMOVED || r->action == PART_MOVED);
        if (!gone && !named)
            unjudged +=
                (unjudged.empty() ? "" : ", ") + pf::blank_controls(PartNameOrUnnamed(part));
    }
    if (unjudged.empty())
        return;
    errmsg("CMailWard::OnPop() - encrypted content not judged: %s", unjudged.c_str());
    infomsg("[MAILCHECK] [UNSCANNED] [encrypted: %s]", unjudged.c_str());
    // Not judged now, not judged at the next try either.
    m_report.SetEngineLimit();
}

bool CMailWard::ReplaceInfectedMail(MailJob* job, std::unique_ptr<CMimeMessage>& message) {
    message.reset(new (std::nothrow) CMimeMessage());
    if (!message) {
        errmsg("CMailWard::OnPop - could not create message. no memory.");
        return false;
    }
    message->m_bFlushOnSave = FlushMails();
    message->LoadMsg(job->source, false);
    if (message->m_pHeader != nullptr)
        mailhdr_delfld(message->m_pHeader, MAILHDR_FLD_CONTENT_TYPE);
    m_report.AddPart(nullptr, "mail");
    ReplacementContext context{LastVirusNameText(), EngineVersionText()};
    m_report.SetPartVirus(nullptr, VIRUS_FOUND, 0, context.virusName.c_str(),
                          context.engineVersion.c_str());
    char* text = GiveTextFromReplacedTemplate(kReplacementVariables, INFO_TEMPLATE, &context, 0);
    message->SetData(text != nullptr ? text : "", -1);
    if (text != nullptr)
        cbcontext_free(text);
    message->SaveMsg(job->source);
    return true;
}

void CMailWard::Stamp(MailJob* job, CMimeMessage* message) {
    if ((job->flags & JOB_AV_CHECK) == 0 || m_report.virusResult == VIRUS_NOT_CHECKED)
        return;
    mailhdr* header = message->m_pHeader;
    SetAVStamp(header);
    if (m_report.virusResult == VIRUS_FOUND &&
        miraconf_get_int("VirusMailMode", 0) == VIRUS_MAIL_MODE_MARK) {
        const PartReport* whole = m_report.FindPart(nullptr);
        if (whole != nullptr && whole->virusResult == VIRUS_FOUND) {
            stringlist* list = nullptr;
            stringlist_append_string(&list, whole->virusName != nullptr ? whole->virusName : "");
            mailhdr_add_antispam(header, list, 0, "Virus:");
            stringlist_free(&list);
        }
    }
    m_report.headerChanged = 1;
}

void CMailWard::WriteResult(MailJob* job, CMimeMessage* message) {
    const char* source = job->source;
    const char* target = job->target;
    const bool sameFile = std::string(source) == target;
    auto saveFailed = [this](const char* path) {
        errmsg("CMailWard::OnPop() - Fehler beim Speichern der Mail unter %s", path);
        infomsg("[MAILCHECK] [ERROR] [saving %s]", path);
        m_report.SetError(ERR_SAVE);
    };
    auto saved = [](const char* path) {
        debugmsg(g_nMailwardDebug, "CMailWard::OnPop() - message saved to %s", path);
    };
    auto copyTo = [this, source, target]() {
        if (pf::copy_file(source, target)) {
            debugmsg(g_nMailwardDebug, "CMailWard::OnPop() - message copied from %s to %s", source,
                     target);
        } else {
            errmsg("CMailWard::OnPop() - Fehler beim Kopieren der Mail von %s nach %s.", source,
                   target);
            infomsg("[MAILCHECK] [ERROR] [saving %s]", target);
            m_report.SetError(ERR_SAVE);
        }
    };

    // A rebuilt mail goes whole to a different target; its header alone on
    // the source would no longer describe the source's own body, so the
    // source stays as it was. A header-only change is written to the
    // source as well, and the source then copied.
    if (!sameFile && !m_report.modified && m_report.headerChanged) {
        if (message->SaveHeaderChangedMsg(source))
            saved(source);
        else
            saveFailed(source);
    }
    if (m_report.modified) {
        if (message->SaveMsg(target))
            saved(target);
        else
            saveFailed(target);
        return;
    }
    if (m_report.headerChanged) {
        if (sameFile) {
            if (message->SaveHeaderChangedMsg(target))
                saved(target);
            else
                saveFailed(target);
        } else {
            copyTo();
        }
        m_report.modified = 1;
        return;
    }
    if (!sameFile)
        copyTo();
}

void CMailWard::Finish(MailJob* job, CMimeMessage* message) {
    DeleteTempBackups();
    if (m_report.ruleChain == nullptr) {
        Rule* fallback = m_ruleHelper.MakeDefaultRule(job->ruleSet);
        if (fallback != nullptr)
            m_report.ruleChain = fallback;
    }
    if (!StopRequested()) {
        debugmsg(g_nMailwardDebug, "CMailWard::OnPop() - callback");
        m_report.header = message != nullptr ? message->m_pHeader : nullptr;
        try {
            job->callback(&m_report, job->user);
        } catch (...) {
            // Whatever the host's callback raises stays here.
        }
        m_report.header = nullptr;
    }
    ReleaseMailJob(job);
    debugmsg(g_nMailwardDebug, "CMailWard::OnPop() - leaving");
}
