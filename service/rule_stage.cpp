/*
 * rule_stage.cpp - the header, keyword and spam-list stage of a mail check.
 *
 * CheckMailRules(job, message), in this order:
 *   1. header check (JOB_HEADER_CHECK and a header rule set): a matching
 *      rule other than the default is recorded (ST_HEADER_RULE) and switches
 *      the spam-list check off; a first header rule with action 1 adds its
 *      entry to X-ZANAntiSpam and ends the stage;
 *   2. keyword passes (JOB_KEYWORD_CHECK): the keyword-exception pass; a part
 *      rule that acted ends the stage; a matched header rule then adds its
 *      entry (and marks the Subject for action 6) and ends the stage; else
 *      the keyword pass, after which a part rule that acted ends the stage;
 *   3. spam list (JOB_SPAM_LIST and a host function): skipped for a virus
 *      mail when VirusMailMode is 7; otherwise the host is asked and its
 *      answer awaited (polled every 100 ms; the wait ends when the service
 *      stops, since a stopping service calls no callback); the host holds
 *      a ticket number, not the job, so a second answer or one after the
 *      wait ended is ignored with an error line (job_queue.h); a hit sets
 *      ST_SPAM_LISTED, the header-changed flag and the report's listValue.
 * Entries and marks the stage writes set the report's header-changed flag, so
 * the changed header is written with the mail.
 * AddRuleHeaderEntry(header, rule): "<rule name>: <first value of the rule's
 *   first criterion>" (cut to RULE_ENTRY_MAX) appended to X-ZANAntiSpam.
 */
#include <cstdio>
#include <new>

#include "mailhdr/mailhdr.h"
#include "mime/mimemessage.h"
#include "miralib/miralib.h"
#include "hostlib/host_values.h"
#include "pf/platform.h"
#include "qorcsock/qorcsock.h"
#include "service/mailward_service.h"
#include "service/spamlist_tickets.h"

namespace {

void KeywordPass(CFilterProcessor& filter, CCheckReport& report, CMimeMessage* message,
                 const char* ruleSet) {
    if (filter.FilterParts(message, ruleSet) == -1) {
        errmsg("CMailWard::OnPop() - Schl\xFCsselw\xF6rter-Check schlug fehl");
        infomsg("[MAILCHECK] [ERROR] [SECUREMAIL]");
        report.SetError(ERR_CHECK);
    }
}

}  // namespace

void CMailWard::AddRuleHeaderEntry(mailhdr* header, const Rule* rule) {
    const char* value = "";
    if (rule->hdr != nullptr) {
        for (int id = 0; id < MAILHDR_NFLDS; ++id) {
            const mailhdr_fld* fld = rule->hdr->flds[id];
            if (fld != nullptr && fld->lines != nullptr) {
                value = fld->lines->str;
                break;
            }
        }
    }
    char entry[RULE_ENTRY_MAX + 1];
    std::snprintf(entry, sizeof entry, "%s: %s", rule->name != nullptr ? rule->name : "", value);
    stringlist* list = nullptr;
    if (stringlist_append_string(&list, entry) < 0)
        return;
    mailhdr_add_antispam(header, list, 0, nullptr);
    stringlist_free(&list);
}

void CMailWard::CheckMailRules(MailJob* job, CMimeMessage* message) {
    mailhdr* header = message->m_pHeader;

    if ((job->flags & JOB_HEADER_CHECK) != 0 && job->headerRuleSet != nullptr) {
        Rule* rule = m_ruleHelper.CheckHeader(job->headerRuleSet, header);
        if (rule != nullptr && rule->is_default == 0) {
            ptrset::Add(m_report.headerRules, rule);
            m_report.status |= ST_HEADER_RULE;
            job->flags &= ~static_cast<std::uint32_t>(JOB_SPAM_LIST);
            const auto* first = static_cast<const Rule*>(ptrset::First(m_report.headerRules));
            if (first != nullptr && first->action == ACTION_KEYWORD_EXCEPTION) {
                AddRuleHeaderEntry(header, first);
                // An entry is a change of the header: the mail is written.
                m_report.headerChanged = 1;
                return;
            }
        }
    }

    if ((job->flags & JOB_KEYWORD_CHECK) != 0) {
        m_ruleHelper.m_nMatchMode |= MATCH_KEYWORD_EXCEPTION;
        KeywordPass(*m_pFilter, m_report, message, job->ruleSet);
        if ((m_report.status & ST_PART_RULE) != 0)
            return;
        const auto* first = static_cast<const Rule*>(ptrset::First(m_report.headerRules));
        if (first != nullptr) {
            AddRuleHeaderEntry(header, first);
            m_report.headerChanged = 1;
            if (first->action == ACTION_MARK_SUBJECT) {
                mailhdr_marksubject(header, ConfigText("SubjectMark").c_str());
            }
            return;
        }
        m_ruleHelper.m_nMatchMode &= ~MATCH_KEYWORD_EXCEPTION;
        m_ruleHelper.m_nMatchMode |= MATCH_KEYWORD;
        KeywordPass(*m_pFilter, m_report, message, job->ruleSet);
        if ((m_report.status & ST_PART_RULE) != 0)
            return;
    }

    if ((job->flags & JOB_SPAM_LIST) != 0 && job->listCheck != nullptr) {
        if (m_report.virusResult == VIRUS_FOUND &&
            miraconf_get_int("VirusMailMode", 0) == VIRUS_MAIL_MODE_MARK) {
            infomsg("[MAILCHECK] No SPAM_BL-Check because Virus was found");
            return;
        }
        // The host gets a ticket number, never an address: an answer that
        // comes twice or after this wait ended is ignored (job_queue.h).
        const std::uintptr_t ticket = spamlist::Open();
        if (ticket == 0)
            return;
        try {
            job->listCheck(header, job->listUser, &SpamListDoneImpl,
                           reinterpret_cast<void*>(ticket));
        } catch (...) {
            // A host function that raises gives no answer; see below.
        }
        std::uint32_t hit = 0;
        std::uint32_t value = 0;
        while (!spamlist::Answered(ticket, hit, value)) {
            if (StopRequested()) {
                spamlist::Close(ticket);
                return;
            }
            pf::sleep_ms(m_nPollInterval);
        }
        spamlist::Close(ticket);
        job->listHit = hit;
        job->listValue = value;
        job->listDone = 1;
        if (job->listHit != 0) {
            m_report.status |= ST_SPAM_LISTED;
            m_report.headerChanged = 1;
            m_report.listValue = job->listValue;
        }
    }
}
