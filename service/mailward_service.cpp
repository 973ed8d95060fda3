/*
 * mailward_service.cpp - construction, destruction and job intake of the
 * service object (see mailward_service.h).
 */
#include "service/mailward_service.h"

#include <cstdlib>
#include <new>

#include "platform.h"
#include "qorcsock.h"

int g_nMailwardDebug = -1;

CMailWard::CMailWard() {
    g_nMailwardDebug = debug_gethandle("MAILWARD_Debug");
    debugmsg(g_nMailwardDebug, "CMailWard::CMailWard() - mailward started");
}

CMailWard::~CMailWard() {
    debugmsg(g_nMailwardDebug, "CMailWard::~CMailWard() - mailward stopping ...");
    Stop();
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

void CMailWard::OnPop(MailJob* job) {
    if (job == nullptr)
        return;
    debugmsg(g_nMailwardDebug, "CMailWard::OnPop() - processing job: %s, %s", job->ruleSet,
             job->source);
    m_report.Reset();
    Finish(job);
}

void CMailWard::Finish(MailJob* job) {
    if (!StopRequested()) {
        debugmsg(g_nMailwardDebug, "CMailWard::OnPop() - callback");
        try {
            job->callback(&m_report, job->user);
        } catch (...) {
            // A host callback that raises must not end the worker.
        }
        m_report.header = nullptr;
    }
    ReleaseMailJob(job);
    debugmsg(g_nMailwardDebug, "CMailWard::OnPop() - leaving");
}
