/*
 * mailward_service.cpp - construction, destruction, job intake and the
 * report's part records of the service object (see mailward_service.h).
 */
#include "service/mailward_service.h"

#include <cstdlib>
#include <new>

#include "mime/mimemessage.h"
#include "mime/partnames.h"
#include "pf/platform.h"
#include "qorcsock/qorcsock.h"

int g_nMailwardDebug = -1;

CMailWard::CMailWard() {
    g_nMailwardDebug = debug_gethandle("MAILWARD_Debug");
    debugmsg(g_nMailwardDebug, "CMailWard::CMailWard() - mailward started");
    const char* failure = nullptr;
    try {
        failure = "CMailWard::CMailWard() - error creating security processor";
        m_pSecurity = std::make_unique<CSecurityProcessor>(&m_report);
        failure = "CMailWard::CMailWard() - error creating filter processor";
        m_pFilter = std::make_unique<CFilterProcessor>(&m_report, &m_ruleHelper);
    } catch (...) {
        errmsg("%s", failure);
        // The worker already runs: it must end before the members go.
        Stop();
        throw failure;
    }
}

CMailWard::~CMailWard() {
    debugmsg(g_nMailwardDebug, "CMailWard::~CMailWard() - mailward stopping ...");
    Stop();
    m_pSecurity.reset();
    m_pFilter.reset();
    debugmsg(g_nMailwardDebug, "CMailWard::~CMailWard() - mailward stopped");
}

int CMailWard::CheckMail(const char* ruleSet, const char* headerRuleSet, const char* source,
                         const char* target, int flags, SpamListCheck listCheck,
                         std::uintptr_t listUser, MailJobCallback callback, std::uintptr_t user) {
    debugmsg(g_nMailwardDebug, "CMailWard::CheckMail() - set: %s, source: %s, target: %s",
             ruleSet ? ruleSet : "(null)", source ? source : "(null)", target ? target : "(null)");
    if (ruleSet == nullptr || source == nullptr || callback == nullptr)
        return -1;
    auto* job = new (std::nothrow) MailJob;
    if (job == nullptr)
        return -1;
    job->ruleSet = pf::strdup(ruleSet);
    job->headerRuleSet = headerRuleSet != nullptr ? pf::strdup(headerRuleSet) : nullptr;
    job->source = pf::strdup(source);
    job->target = pf::strdup(target != nullptr ? target : source);
    job->flags = static_cast<std::uint32_t>(flags);
    job->listCheck = listCheck;
    job->listUser = listUser;
    job->callback = callback;
    job->user = user;
    if (job->ruleSet == nullptr || job->source == nullptr || job->target == nullptr) {
        errmsg("CMailWard::CheckMail() - not enough memory");
        ReleaseMailJob(job);
        return -1;
    }
    Push(job);
    debugmsg(g_nMailwardDebug, "CMailWard::CheckMail() - job added to job-queue successfully");
    return 0;
}

void CMailWard::InitStatus(CMimePart* message) {
    debugmsg(g_nMailwardDebug, "CMailWard::InitStatus() - initiating status");
    m_report.Reset();
    AddPartReports(message);
}

void CMailWard::AddPartReports(CMimePart* part) {
    if (part == nullptr)
        return;
    std::string name = MimeReportName(*part);
    if (name.empty())
        name = part->GetContentType();
    m_report.AddPart(part, name.c_str());
    for (int i = 0; i < part->GetPartCount(); ++i)
        AddPartReports(part->GetPart(static_cast<unsigned>(i)));
}
