/*
 * admin_notice.h - the mail that tells an administrator of a rejected,
 * discarded or quarantined message (Milter.NoticeTo).
 *
 * THE TEMPLATE (share/templates/admin-notice.txt as installed) is a mail
 * without its To: header lines ("Name: value"), an empty line, then the
 * body; placeholders are those of NOTICE_PLACEHOLDERS (placeholders.h):
 * %{virus} %{rules} %{queueid} %{verdict} %{action} %{outcome} %{sender}
 * %{recipients} %{subject} %{messageid} %{size} %{time}.
 *
 *   LoadNoticeTemplate  reads s.noticeTemplate (empty: <TemplateDir>/
 *                       admin-notice.txt) into s.noticeText. False with
 *                       "FILE: cannot be read", "FILE:LINE: reason" for an
 *                       unknown placeholder or a header line that is not
 *                       one, or a file over NOTICE_TEMPLATE_MAX
 *   NoticeMessage       the notice for `facts`, as sendmail reads it on its
 *                       input (LF line ends): To, Auto-Submitted,
 *                       MIME-Version and Content-Type fields, then the
 *                       template expanded. Every value is cut to
 *                       FACT_TEXT_MAX bytes of printable ASCII: a sender's
 *                       Subject with CR LF in it cannot end its header
 *                       line, add a field (a Bcc:) or start the body
 *   NoticeArgv          sendmail -i -- ADDRESS: the address is never
 *                       read as an option, the body never ends at a "."
 */
#ifndef MAILWARD_HOSTS_MILTER_ADMIN_NOTICE_H
#define MAILWARD_HOSTS_MILTER_ADMIN_NOTICE_H

#include <ctime>
#include <string>
#include <vector>

#include "message_facts.h"
#include "outcome_settings.h"

constexpr std::size_t NOTICE_TEMPLATE_MAX = 16 * 1024;

bool LoadNoticeTemplate(OutcomeSettings& s, std::vector<std::string>& errors);

std::string NoticeMessage(const std::string& templateText, const std::string& to,
                          const MessageFacts& facts, std::time_t when);

std::vector<std::string> NoticeArgv(const OutcomeSettings& s);

// The value of placeholder `name` for `facts`, as it goes out (cleaned).
std::string FactValue(const MessageFacts& facts, std::string_view name, std::time_t when);

#endif
