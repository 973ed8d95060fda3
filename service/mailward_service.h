/*
 * mailward_service.h - CMailWard, the one service object behind the exports.
 *
 * CMailWard is the job queue with its worker thread and owns what a mail
 * check needs: the check report, the list of temporary backups, the part
 * processors and the rule engine.
 *   construction: queue and worker, report, backup list, rule engine, debug
 *                 channel, "mailward started", security processor, filter
 *                 processor; a processor that cannot be made stops the
 *                 worker and raises the error text.
 *   destruction:  "mailward stopping ...", stop the worker (a job in
 *                 progress runs to its end first), security processor (ends
 *                 the engine), filter processor, "mailward stopped", rule
 *                 engine, backup list, report, queue (queued jobs dropped
 *                 without their callbacks). A host that lets go of the
 *                 service from inside a job (MAILWARD_exit in the callback
 *                 or the spam-list look-up, on the worker) gets its call
 *                 back at once; the destruction then runs on the worker
 *                 after that job (CWorkerThread::ReleaseWhenIdle).
 *
 * The check of one mail (OnPop, pipeline.cpp): backup, whole-file scan,
 * load, part scan, attachment filter, rule stage (CheckMailRules,
 * rule_stage.cpp), whole-mail replacement after a virus, engine stamp,
 * output to the target, callback. Backups, stamp and engine update are in
 * backup_stamp.cpp.
 *
 * Rules recorded in the report stay readable for the whole job: the worker
 * holds a reader registration of the rule engine from the job's start to
 * after its callback.
 *
 * Errors (the service layer): the exports return 0 or a pointer, -1 or null
 * on failure, and never let an exception reach the host: each export, the
 * worker's job and every call into the host catch everything (catch (...)
 * is used there and only there, at the edge to C). The constructor of
 * CMailWard is the one place that throws out of the layer's objects (its
 * error text, a const char*), caught by MAILWARD_init. A mail check reports
 * every failure as an error bit of the check report (ERR_*), never silently:
 * a step that failed is never taken as clean.
 */
#ifndef MAILWARD_SERVICE_H
#define MAILWARD_SERVICE_H

#include <memory>
#include <string>
#include <vector>

#include "processors/filter_processor.h"
#include "processors/security_processor.h"
#include "rules/rulehelper.h"
#include "report/check_report.h"
#include "service/job_queue.h"

class CPartPlaceSnapshot;

class CMimeMessage;

// Handle of the "MAILWARD_Debug" channel; -1 until a service object exists.
extern int g_nMailwardDebug;

class CMailWard : public CJobQueue {
  public:
    // Longest entry a header rule adds to the anti-spam field.
    static constexpr std::size_t RULE_ENTRY_MAX = 1023;
    // Longest first line of the engine stamp.
    static constexpr std::size_t STAMP_LINE_MAX = 2047;
    // Column at which the engine text of the stamp is wrapped.
    static constexpr int STAMP_WRAP = 75;
    // VirusMailMode value that marks virus mails and skips the spam list.
    static constexpr int VIRUS_MAIL_MODE_MARK = 7;

    CMailWard();
    ~CMailWard() override;

    int CheckMail(const char* ruleSet, const char* headerRuleSet, const char* source,
                  const char* target, int flags, SpamListCheck listCheck, std::uintptr_t listUser,
                  MailJobCallback callback, std::uintptr_t user);

    bool BackupMail(const char* source);
    void DeleteTempBackups();
    void SetAVStamp(mailhdr* header);
    void InstallUpdateAV(int update);
    void InitStatus(CMimePart* message);
    void CheckMailRules(MailJob* job, CMimeMessage* message);
    void AddRuleHeaderEntry(mailhdr* header, const Rule* rule);

    CCheckReport& Report() { return m_report; }
    CRuleHelper& Rules() { return m_ruleHelper; }
    CSecurityProcessor& Security() { return *m_pSecurity; }
    CFilterProcessor& Filter() { return *m_pFilter; }
    const std::vector<std::string>& TempBackups() const { return m_tempBackups; }

  protected:
    void OnPop(MailJob* job) override;

  private:
    void AddPartReports(CMimePart* part);
    // Steps of OnPop (pipeline.cpp). RunChecks runs the scans, the load and
    // the checks of one mail; FINISHED: the job was finished on the way
    // (stop, no memory, not loaded), nothing more is done with it.
    enum class CheckStep { CHECKED, INFECTED, FINISHED };
    CheckStep RunChecks(MailJob* job, bool scan, std::unique_ptr<CMimeMessage>& message);
    // True when the engine found a virus in the file; a failure sets
    // ERR_CHECK, except one for encrypted content in a job of the
    // attachment filter (m_bWholeEncrypted: the filter's rules judge it).
    bool ScanWholeMail(MailJob* job);
    // False when the job was finished: stopping, no memory, or ERR_LOAD.
    bool LoadMail(MailJob* job, std::unique_ptr<CMimeMessage>& message);
    // True when a part is infected (the tree is released then).
    bool ScanParts(std::unique_ptr<CMimeMessage>& message);
    void FilterAttachments(MailJob* job, CMimeMessage* message, const CPartPlaceSnapshot& places);
    // After the filter: encrypted content the engine could not look into is
    // judged only when the part went (removed, moved) or the set holds an
    // "attachment-encrypted" rule; otherwise ERR_CHECK.
    void JudgeEncrypted(MailJob* job);
    bool ReplaceInfectedMail(MailJob* job, std::unique_ptr<CMimeMessage>& message);
    void Stamp(MailJob* job, CMimeMessage* message);
    void WriteResult(MailJob* job, CMimeMessage* message);
    void Finish(MailJob* job, CMimeMessage* message);

    CCheckReport m_report;
    bool m_bWholeEncrypted = false;  // the mail's own scan left encrypted content out
    std::vector<std::string> m_tempBackups;
    std::unique_ptr<CSecurityProcessor> m_pSecurity;
    std::unique_ptr<CFilterProcessor> m_pFilter;
    CRuleHelper m_ruleHelper;
};

#endif
