/*
 * outcome_tell.cpp - starting the administrator's notice and the hook.
 */
#include "outcome_tell.h"

#include <cstdlib>

#include "admin_notice.h"
#include "common/placeholders.h"
#include "outcome.h"

namespace {

constexpr const char* DEFAULT_PATH = "/usr/bin:/bin";

bool HeldBack(MilterAction a) {
    return a == MilterAction::Reject || a == MilterAction::Discard ||
           a == MilterAction::Quarantine || a == MilterAction::QuarantineUntouched;
}

void Begin(ChildRunner& runner, const ChildJob& job, int limit, const ChildRunner::LogFn& log) {
    if (std::string error; !runner.Start(job, limit, error))
        log(true, job.label + ": not started, dropped: " + error);
}

}  // namespace

std::vector<std::string> HookEnvironment(const MessageFacts& f, std::time_t when) {
    const char* path = std::getenv("PATH");
    std::vector<std::string> env = {std::string("PATH=") + (path != nullptr ? path : DEFAULT_PATH)};
    auto put = [&env](const char* name, const std::string& value) {
        env.push_back(std::string(name) + "=" + value);
    };
    auto fact = [&f, when](const char* name) { return FactValue(f, name, when); };
    std::string recipients;
    for (const std::string& r : f.recipients) {
        std::string one = PrintableText(r, FACT_TEXT_MAX);
        for (char& c : one) {
            if (c == ' ')
                c = '?';
        }
        recipients += (recipients.empty() ? "" : " ") + one;
    }
    put("MAILWARD_OUTCOME", fact("outcome"));
    put("MAILWARD_MODE", f.monitor ? "monitor" : "enforce");
    put("MAILWARD_ACTION", ActionWord(f.action));
    if (f.monitor)
        put("MAILWARD_WOULD", ActionWord(f.intended));
    put("MAILWARD_QUEUE_ID", fact("queueid"));
    put("MAILWARD_SENDER", PrintableText(f.sender, FACT_TEXT_MAX));
    put("MAILWARD_RECIPIENTS", recipients);
    put("MAILWARD_VERDICT", fact("verdict"));
    put("MAILWARD_VIRUS", fact("virus"));
    put("MAILWARD_RULES", fact("rules"));
    put("MAILWARD_MESSAGE_ID", fact("messageid"));
    put("MAILWARD_SUBJECT", fact("subject"));
    put("MAILWARD_SIZE", fact("size"));
    return env;
}

void TellOutcome(ChildRunner& runner, const OutcomeSettings& s, const MessageFacts& f,
                 std::time_t when, const ChildRunner::LogFn& log) {
    const std::string id = PrintableText(f.queueId, FACT_TEXT_MAX);
    if (!s.noticeTo.empty() && !s.noticeText.empty() && HeldBack(f.intended)) {
        ChildJob notice;
        notice.argv = NoticeArgv(s);
        const char* path = std::getenv("PATH");
        notice.env = {std::string("PATH=") + (path != nullptr ? path : DEFAULT_PATH)};
        notice.input = NoticeMessage(s.noticeText, s.noticeTo, f, when);
        notice.label = id + ": notice to " + s.noticeTo;
        notice.timeoutSeconds = s.hookTimeoutSeconds;
        Begin(runner, notice, s.maxChildren, log);
    }
    if (!s.hook.empty() && OutcomeOf(f.verdict) != Outcome::Clean) {
        ChildJob hook;
        hook.argv = s.hook;
        hook.env = HookEnvironment(f, when);
        hook.label = id + ": hook " + s.hook[0];
        hook.timeoutSeconds = s.hookTimeoutSeconds;
        Begin(runner, hook, s.maxChildren, log);
    }
}
