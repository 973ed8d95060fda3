/*
 * mailward_service.h - CMailWard, the one service object behind the exports.
 *
 * CMailWard is the job queue with its worker thread and owns what a mail
 * check needs: the check report, the list of temporary backups, the part
 * processors and the rule engine. It is built by MAILWARD_init and torn down
 * by MAILWARD_exit:
 *   construction: queue and worker, report, backup list, rule engine, debug
 *                 channel, "mailward started", security processor, filter
 *                 processor (a failure raises the error text);
 *   destruction:  "mailward stopping ...", stop the worker (waiting for a job
 *                 in progress to end), processors, "mailward stopped", rule
 *                 engine, backup list, report, queue (queued jobs dropped
 *                 without their callbacks).
 */
#ifndef MAILWARD_SERVICE_H
#define MAILWARD_SERVICE_H

#include <string>
#include <vector>

#include "service/check_report.h"
#include "service/job_queue.h"

// Handle of the "MAILWARD_Debug" channel; -1 until a service object exists.
extern int g_nMailwardDebug;

class CMailWard : public CJobQueue {
  public:
    CMailWard();
    ~CMailWard() override;

    int CheckMail(const char* ruleSet, const char* headerRuleSet, const char* source,
                  const char* target, int flags, SpamListCheck listCheck, std::uintptr_t listUser,
                  MailJobCallback callback, std::uintptr_t user);

    CCheckReport& Report() { return m_report; }

  protected:
    void OnPop(MailJob* job) override;

  private:
    void Finish(MailJob* job);

    CCheckReport m_report;
    std::vector<std::string> m_tempBackups;
};

#endif
