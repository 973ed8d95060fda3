/*
 * outcome_settings.h - what the milter does beside its answer to the MTA:
 * the trial mode, the SMTP reply texts per outcome, the administrator's
 * notice and the site's hook. Read with the other Milter.* keys
 * (ReadMilterSettings calls ReadOutcomeSettings) and reloaded on SIGHUP.
 *
 *   Milter.Mode          enforce (default) | monitor: every mail checked and
 *                        its verdict logged, counted and written in the
 *                        verdict field, but the mail delivered as received
 *                        whatever the verdict, even when the check failed
 *                        (timeout, a checking process that died, busy):
 *                        the one setting that lets unchecked mail through
 *   Milter.ReplyVirus, Milter.ReplyFiltered, Milter.ReplyParseError,
 *   Milter.ReplyDisagreement, Milter.ReplyLimit, Milter.ReplyTooBig,
 *   Milter.ReplyTempfail
 *                        the text after the SMTP codes when that outcome is
 *                        refused (ReplyTempfail: a check that failed);
 *                        placeholders %{virus} %{rules} %{queueid}
 *                        %{verdict}, %% for '%' (placeholders.h); empty:
 *                        the program's own text
 *   Milter.NoticeTo      address told of each rejected, discarded or
 *                        quarantined message (default: none)
 *   Milter.NoticeTemplate the notice's template: header lines, an empty
 *                        line, the body, with NOTICE_PLACEHOLDERS (default
 *                        <TemplateDir>/admin-notice.txt); read at start and
 *                        reload, and refused there with FILE:LINE
 *   Milter.Sendmail      the MTA's sendmail program (default
 *                        /usr/sbin/sendmail)
 *   Milter.Hook          a program and its fixed arguments, blank between,
 *                        run for every message whose verdict is not
 *                        "clean", with the facts in its environment (no
 *                        shell: outcome_hook.h)
 *   Milter.HookTimeout   seconds a hook or notice may run before it is
 *                        killed (default 30)
 *   Milter.MaxChildren   notices and hooks running at once (default 8); one
 *                        more is logged and dropped
 *
 * ReadOutcomeSettings: false with one "KEY = 'v': reason" per bad value.
 * The template is not read here (LoadNoticeTemplate, admin_notice.h).
 */
#ifndef MAILWARD_HOSTS_MILTER_OUTCOME_SETTINGS_H
#define MAILWARD_HOSTS_MILTER_OUTCOME_SETTINGS_H

#include <functional>
#include <string>
#include <vector>

constexpr const char* DEFAULT_SENDMAIL = "/usr/sbin/sendmail";
constexpr const char* NOTICE_TEMPLATE_NAME = "admin-notice.txt";
constexpr int DEFAULT_HOOK_TIMEOUT_SECONDS = 30;
constexpr int HOOK_TIMEOUT_LIMIT_SECONDS = 3600;
constexpr int DEFAULT_MAX_CHILDREN = 8;
constexpr int MAX_CHILDREN_LIMIT = 256;

enum class MilterMode { Enforce, Monitor };

struct ReplyTexts {
    std::string virus;
    std::string filtered;
    std::string parseError;
    std::string disagreement;
    std::string limit;
    std::string tooBig;
    std::string tempfail;

    bool operator==(const ReplyTexts&) const = default;
};

struct OutcomeSettings {
    MilterMode mode = MilterMode::Enforce;
    ReplyTexts replies;  // "": the program's own text
    std::string noticeTo;
    std::string noticeTemplate;  // "": <TemplateDir>/admin-notice.txt
    std::string noticeText;      // the template as read (LoadNoticeTemplate)
    std::string sendmail = DEFAULT_SENDMAIL;
    std::vector<std::string> hook;  // the program and its arguments; empty: none
    int hookTimeoutSeconds = DEFAULT_HOOK_TIMEOUT_SECONDS;
    int maxChildren = DEFAULT_MAX_CHILDREN;

    bool operator==(const OutcomeSettings&) const = default;
};

bool ReadOutcomeSettings(const std::function<std::string(const char*)>& lookup, OutcomeSettings& s,
                         std::vector<std::string>& errors);

#endif
