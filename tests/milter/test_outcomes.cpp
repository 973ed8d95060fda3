/*
 * test_outcomes.cpp - what the milter does beside its answer: the trial
 * mode's decision and log line, the reply texts (placeholders, their
 * refusal, the cleaning of what libmilter would refuse), the
 * administrator's notice (its template, its header safe from the sender's
 * texts), and the hook and notice processes (environment, argv, limits,
 * timeouts) run for real.
 */
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "common/host_keys.h"
#include "common/placeholders.h"
#include "mailward.h"
#include "milter/admin_notice.h"
#include "milter/child_runner.h"
#include "milter/outcome.h"
#include "milter/outcome_tell.h"
#include "milter/milter_settings.h"
#include "platform/pf_scratch.h"

namespace {

using Kind = CheckResult::Kind;

MilterSettings Read(const std::map<std::string, std::string>& values,
                    std::vector<std::string>* errors = nullptr) {
    MilterSettings s;
    std::vector<std::string> e;
    ReadMilterSettings(
        [&values](const char* key) {
            const auto it = values.find(key);
            return it == values.end() ? std::string() : it->second;
        },
        s, e);
    if (errors != nullptr)
        errors->insert(errors->end(), e.begin(), e.end());
    else
        EXPECT_TRUE(e.empty()) << e.front();
    return s;
}

CheckResult Virus(const std::string& name) {
    CheckResult r;
    r.virusResult = VIRUS_FOUND;
    r.virusName = name;
    r.partActions = PART_REMOVED;
    return r;
}

CheckResult Of(Kind k) {
    CheckResult r;
    r.kind = k;
    return r;
}

MessageFacts Facts(const CheckResult& r, const Decision& d) {
    return GatherFacts("4XyZ1", "bad@sender.example", {"a@ours.example", "b@ours.example"},
                       {{"Subject", " hello"}, {"Message-ID", " <m1@sender.example>"}}, 1234, r, d,
                       0);
}

// Collects the lines a ChildRunner logs.
struct LogLines {
    std::mutex lock;
    std::vector<std::string> lines;
    ChildRunner::LogFn Fn() {
        return [this](bool error, const std::string& line) {
            std::lock_guard<std::mutex> hold(lock);
            lines.push_back((error ? "E " : "I ") + line);
        };
    }
    std::string All() {
        std::lock_guard<std::mutex> hold(lock);
        std::string all;
        for (const std::string& l : lines)
            all += l + "\n";
        return all;
    }
};

std::string Script(const pftest::Scratch& scratch, const std::string& name,
                   const std::string& body) {
    const std::string path = scratch.Path(name);
    EXPECT_TRUE(pftest::WriteFile(path, "#!/bin/sh\n" + body));
    ::chmod(path.c_str(), 0755);
    return path;
}

TEST(Placeholders, ExpandKnownNamesAndPercentSigns) {
    const std::string text = "refused: %{virus} (100%% sure) in %{queueid}";
    EXPECT_EQ(PlaceholderProblem(text, REPLY_PLACEHOLDERS), "");
    EXPECT_EQ(
        ExpandPlaceholders(
            text, [](std::string_view n) { return n == "virus" ? std::string("Eicar") : "Q1"; }),
        "refused: Eicar (100% sure) in Q1");
    // Values are not expanded again: a virus named "%{queueid}" stays so.
    EXPECT_EQ(ExpandPlaceholders("%{virus}", [](std::string_view) { return "%{queueid}"; }),
              "%{queueid}");
}

TEST(Placeholders, UnknownNamesLonePercentAndUnclosedAreRefusedWithWhere) {
    std::size_t at = 0;
    const std::string why = PlaceholderProblem("ok %{virus}, %{sender}", REPLY_PLACEHOLDERS, &at);
    EXPECT_NE(why.find("unknown placeholder %{sender}"), std::string::npos) << why;
    EXPECT_NE(why.find("%{virus}, %{rules}, %{queueid}, %{verdict}"), std::string::npos) << why;
    EXPECT_EQ(at, 13u);
    // The notice may name the sender; the reply may not.
    EXPECT_EQ(PlaceholderProblem("%{sender}", NOTICE_PLACEHOLDERS), "");
    EXPECT_NE(PlaceholderProblem("50% off", REPLY_PLACEHOLDERS), "");
    EXPECT_NE(PlaceholderProblem("end %", REPLY_PLACEHOLDERS), "");
    EXPECT_NE(PlaceholderProblem("%{virus", REPLY_PLACEHOLDERS), "");
    EXPECT_NE(PlaceholderProblem("%{VIRUS}", REPLY_PLACEHOLDERS), "");
}

// A reply text's unknown placeholder is refused by the reader and by the
// configuration check, there with its file and line.
TEST(ReplyTexts, UnknownPlaceholderRefusedAtReadAndWithItsLine) {
    std::vector<std::string> errors;
    Read({{"Milter.ReplyVirus", "bad %{virusname}"}}, &errors);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("Milter.ReplyVirus"), std::string::npos);

    pftest::Scratch scratch;
    const std::string file = scratch.Path("mailward.conf");
    ASSERT_TRUE(pftest::WriteFile(file,
                                  "Milter.OnVirus = reject\r\n"
                                  "Milter.ReplyVirus = \"%{virus} found\"\r\n"
                                  "Milter.ReplyTempfail = try at 5%\r\n"));
    MilterKeys keys;
    MilterSettings s;
    errors.clear();
    EXPECT_FALSE(LoadMilterSettings(file, {"Milter.ReplyLimit=%{size}"}, keys, s, errors));
    ASSERT_EQ(errors.size(), 2u) << errors[0];
    EXPECT_EQ(errors[0].rfind(file + ":3: Milter.ReplyTempfail", 0), 0u) << errors[0];
    EXPECT_EQ(errors[1].rfind("-O: Milter.ReplyLimit = '%{size}': unknown placeholder", 0), 0u)
        << errors[1];
}

// The configured text of each refused outcome replaces the program's own;
// what goes to libmilter never has CR, LF, control bytes or a lone '%'.
TEST(ReplyTexts, PerOutcomeAndCleanedForTheMta) {
    const MilterSettings s = Read({{"Milter.OnVirus", "reject"},
                                   {"Milter.OnFiltered", "reject"},
                                   {"Milter.ReplyVirus", "no: %{virus} [%{queueid}]"},
                                   {"Milter.ReplyFiltered", "rules %{rules}"},
                                   {"Milter.ReplyTempfail", "later (%{verdict})"}});
    const CheckResult hostile = Virus("Evil%s%n\r\n250 2.0.0 OK\x01");
    Decision d = Decide(s, hostile);
    ApplyReplyText(s.outcomes.replies, Facts(hostile, d), d);
    EXPECT_EQ(d.text, "no: Evil%s%n\r\n250 2.0.0 OK\x01 [4XyZ1]");
    EXPECT_EQ(SmtpReplyText(d.text), "no: Evil%%s%%n??250 2.0.0 OK? [4XyZ1]");

    CheckResult filtered;
    filtered.status = ST_HEADER_RULE;
    filtered.ruleNames = {"no-exe", "big%"};
    d = Decide(s, filtered);
    ApplyReplyText(s.outcomes.replies, Facts(filtered, d), d);
    EXPECT_EQ(d.text, "rules no-exe, big%");

    d = Decide(s, Of(Kind::Busy));
    ApplyReplyText(s.outcomes.replies, Facts(Of(Kind::Busy), d), d);
    EXPECT_EQ(d.text, "later (unchecked (busy))");

    // Not configured: the program's own text stays.
    d = Decide(s, Of(Kind::TooBig));
    ApplyReplyText(s.outcomes.replies, Facts(Of(Kind::TooBig), d), d);
    EXPECT_EQ(d.text, "message refused: too big to be checked");
    // A delivered mail has no reply to change.
    const MilterSettings deliver = Read({{"Milter.ReplyVirus", "x %{virus}"}});
    d = Decide(deliver, Virus("E"));
    ApplyReplyText(deliver.outcomes.replies, Facts(Virus("E"), d), d);
    EXPECT_EQ(d.text, "");

    // Long texts are cut below libmilter's 980 bytes, never inside a "%%".
    const std::string cut = SmtpReplyText(std::string(REPLY_TEXT_MAX - 1, 'a') + "%%%%");
    EXPECT_EQ(cut.size(), REPLY_TEXT_MAX - 1);
    const std::string percents = SmtpReplyText(std::string(1000, '%'));
    EXPECT_EQ(percents.size(), REPLY_TEXT_MAX);
    EXPECT_EQ(percents.find_first_not_of('%'), std::string::npos);
}

TEST(Outcome, EachPolicyOutcomeIsNamedByItsVerdict) {
    const MilterSettings s = Read({});
    CheckResult parse;
    parse.errors = ERR_LOAD;
    parse.result = -1;
    CheckResult limit;
    limit.errors = ERR_CHECK;
    limit.result = -1;
    limit.status = ST_ENGINE_LIMIT;
    CheckResult disagree;
    disagree.status = ST_MIME_DISAGREEMENT;
    CheckResult spam;
    spam.status = ST_SPAM_LISTED;
    const struct {
        CheckResult r;
        const char* word;
    } cases[] = {{CheckResult{}, "clean"},
                 {Virus("E"), "virus"},
                 {spam, "filtered"},
                 {parse, "parse-error"},
                 {disagree, "disagreement"},
                 {limit, "limit"},
                 {Of(Kind::TooBig), "too-big"},
                 {Of(Kind::TimedOut), "unchecked"},
                 {Of(Kind::Died), "unchecked"},
                 {Of(Kind::Busy), "unchecked"}};
    for (const auto& c : cases)
        EXPECT_STREQ(OutcomeWord(OutcomeOf(Decide(s, c.r).verdict)), c.word) << c.word;
}

// Monitor mode: whatever the check says, and when it could not say, the
// mail goes through as received with the verdict it would have had; the
// log line tells both.
TEST(MonitorMode, DeliversAsReceivedAndTheLineSaysWhatWouldHaveBeen) {
    std::vector<std::string> errors;
    Read({{"Milter.Mode", "trial"}}, &errors);
    EXPECT_EQ(errors.size(), 1u);
    const MilterSettings s = Read({{"Milter.Mode", "Monitor"}, {"Milter.OnVirus", "reject"}});
    ASSERT_EQ(s.outcomes.mode, MilterMode::Monitor);
    for (const CheckResult& r : {Virus("Eicar"), Of(Kind::TimedOut), Of(Kind::Died), Of(Kind::Busy),
                                 Of(Kind::TooBig), CheckResult{}}) {
        const Decision intended = Decide(s, r);
        const Decision d = MonitorDecision(intended);
        EXPECT_EQ(d.action, MilterAction::AcceptUntouched) << intended.verdict;
        EXPECT_EQ(d.verdict, intended.verdict);
        EXPECT_EQ(d.rcode, "");
    }
    const Decision intended = Decide(s, Virus("Eicar"));
    MessageFacts f = Facts(Virus("Eicar"), intended);
    f.monitor = true;
    f.action = MonitorDecision(intended).action;
    const std::string line = MessageLine(f);
    EXPECT_NE(line.find("verdict=\"virus Eicar\", action=accept (monitor: would reject),"),
              std::string::npos)
        << line;
    f.monitor = false;
    EXPECT_EQ(ActionText(f), "accept");
}

TEST(AdminNotice, TemplateRefusedWithItsLineAndTheShippedOneLoads) {
    pftest::Scratch scratch;
    OutcomeSettings s;
    std::vector<std::string> errors;
    s.noticeTemplate = scratch.Path("notice.txt");
    ASSERT_TRUE(pftest::WriteFile(s.noticeTemplate,
                                  "Subject: %{verdict}\r\n\r\nline two\r\n%{virus} %{sendr}\r\n"));
    EXPECT_FALSE(LoadNoticeTemplate(s, errors));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind(s.noticeTemplate + ":4: unknown placeholder %{sendr}", 0), 0u)
        << errors[0];
    errors.clear();
    ASSERT_TRUE(pftest::WriteFile(s.noticeTemplate, "Subject: x\nno header line\n\nbody\n"));
    EXPECT_FALSE(LoadNoticeTemplate(s, errors));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind(s.noticeTemplate + ":2: not a header line", 0), 0u) << errors[0];
    errors.clear();
    s.noticeTemplate = scratch.Path("missing.txt");
    EXPECT_FALSE(LoadNoticeTemplate(s, errors));

    errors.clear();
    s.noticeTemplate = std::string(MAILWARD_SOURCE_DIR) + "/share/templates/admin-notice.txt";
    EXPECT_TRUE(LoadNoticeTemplate(s, errors)) << errors.front();
    EXPECT_NE(s.noticeText.find("%{virus}"), std::string::npos);
}

// A Subject or virus name with CR LF cannot add a field to the notice or
// end its header: the header has the template's lines and the program's.
TEST(AdminNotice, SenderTextsCannotInjectHeaderFields) {
    CheckResult r = Virus("Bad\r\nBcc: victim@example.org");
    const MilterSettings s = Read({{"Milter.OnVirus", "reject"}});
    const Decision d = Decide(s, r);
    MessageFacts f = Facts(r, d);
    f.subject = "urgent\r\nBcc: victim@example.org\r\n\r\nfake body";
    f.sender = "x@y\nTo: other@example.org";
    const std::string notice =
        NoticeMessage("Subject: [mw] %{subject} from %{sender}\nX-Virus: %{virus}\n\n%{action}\n",
                      "admin@example.org", f, 0);
    const std::size_t end = notice.find("\n\n");
    ASSERT_NE(end, std::string::npos);
    const std::string header = notice.substr(0, end + 1);
    EXPECT_EQ(std::count(header.begin(), header.end(), '\n'), 7) << header;
    EXPECT_EQ(header.find("\nBcc:"), std::string::npos) << header;
    EXPECT_EQ(header.find("\nTo: other"), std::string::npos) << header;
    EXPECT_EQ(header.find("\r"), std::string::npos);
    EXPECT_EQ(header.rfind("To: admin@example.org\n", 0), 0u) << header;
    EXPECT_NE(header.find("Subject: [mw] urgent??Bcc: victim@example.org????fake body from "
                          "x@y?To: other@example.org\n"),
              std::string::npos)
        << header;
    EXPECT_EQ(notice.substr(end + 2), "reject\n");
    EXPECT_EQ(NoticeArgv(Read({{"Milter.NoticeTo", "admin@example.org"}}).outcomes),
              (std::vector<std::string>{DEFAULT_SENDMAIL, "-i", "--", "admin@example.org"}));
    std::vector<std::string> errors;
    Read({{"Milter.NoticeTo", "-oQ/tmp/x@example.org"}}, &errors);
    Read({{"Milter.NoticeTo", "a@b.example, c@d.example"}}, &errors);
    Read({{"Milter.Sendmail", "sendmail"}}, &errors);
    Read({{"Milter.Hook", "notify.sh"}}, &errors);
    EXPECT_EQ(errors.size(), 4u);
}

// The hook runs for real with exactly the facts as its environment, each
// as it was, never read by a shell.
TEST(Hook, RunsWithTheFactsInItsEnvironmentAndNoShellReadsThem) {
    pftest::Scratch scratch;
    const std::string out = scratch.Path("env.txt");
    const std::string marker = scratch.Path("pwned");
    const std::string hook = Script(scratch, "hook.sh", "env > '" + out + "'\n");
    const MilterSettings s = Read({{"Milter.OnVirus", "reject"}, {"Milter.Hook", hook + " --x"}});
    ASSERT_EQ(s.outcomes.hook, (std::vector<std::string>{hook, "--x"}));
    CheckResult r = Virus("Eicar-Test");
    r.ruleNames = {"no-exe", "spam list"};
    MessageFacts f = Facts(r, Decide(s, r));
    f.sender = "$(touch " + marker + ");`touch " + marker + "`@evil.example";
    f.subject = "hi\r\nthere";
    LogLines log;
    {
        ChildRunner runner(log.Fn());
        TellOutcome(runner, s.outcomes, f, 0, log.Fn());
        runner.Drain();
    }
    std::map<std::string, std::string> env;
    const std::string text = pftest::ReadFile(out);
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t nl = std::min(text.find('\n', pos), text.size());
        const std::string line = text.substr(pos, nl - pos);
        pos = nl + 1;
        if (const std::size_t eq = line.find('='); eq != std::string::npos)
            env[line.substr(0, eq)] = line.substr(eq + 1);
    }
    EXPECT_EQ(env["MAILWARD_OUTCOME"], "virus");
    EXPECT_EQ(env["MAILWARD_MODE"], "enforce");
    EXPECT_EQ(env["MAILWARD_ACTION"], "reject");
    EXPECT_EQ(env["MAILWARD_QUEUE_ID"], "4XyZ1");
    EXPECT_EQ(env["MAILWARD_SENDER"], f.sender);
    EXPECT_EQ(env["MAILWARD_RECIPIENTS"], "a@ours.example b@ours.example");
    EXPECT_EQ(env["MAILWARD_VERDICT"], "virus Eicar-Test");
    EXPECT_EQ(env["MAILWARD_VIRUS"], "Eicar-Test");
    EXPECT_EQ(env["MAILWARD_RULES"], "no-exe, spam list");
    EXPECT_EQ(env["MAILWARD_MESSAGE_ID"], "<m1@sender.example>");
    EXPECT_EQ(env["MAILWARD_SUBJECT"], "hi??there");
    EXPECT_EQ(env["MAILWARD_SIZE"], "1234");
    EXPECT_EQ(env.count("MAILWARD_WOULD"), 0u);
    EXPECT_FALSE(std::filesystem::exists(marker)) << "a shell read the sender's text";
    EXPECT_NE(log.All().find("I 4XyZ1: hook " + hook + ": exit status 0"), std::string::npos)
        << log.All();

    // A clean mail runs no hook; monitor mode tells what would have been.
    std::filesystem::remove(out);
    const Decision clean = Decide(s, CheckResult{});
    ChildRunner runner(log.Fn());
    TellOutcome(runner, s.outcomes, Facts(CheckResult{}, clean), 0, log.Fn());
    runner.Drain();
    EXPECT_FALSE(std::filesystem::exists(out));
    f.monitor = true;
    f.action = MilterAction::AcceptUntouched;
    TellOutcome(runner, s.outcomes, f, 0, log.Fn());
    runner.Drain();
    const std::string monitored = pftest::ReadFile(out);
    EXPECT_NE(monitored.find("MAILWARD_MODE=monitor\n"), std::string::npos);
    EXPECT_NE(monitored.find("MAILWARD_ACTION=accept\n"), std::string::npos);
    EXPECT_NE(monitored.find("MAILWARD_WOULD=reject\n"), std::string::npos);
}

// The notice goes to sendmail's input with its argv; a clean or delivered
// mail sends none.
TEST(AdminNotice, SentThroughSendmailForHeldBackMailOnly) {
    pftest::Scratch scratch;
    const std::string args = scratch.Path("args.txt"), input = scratch.Path("input.txt");
    const std::string sendmail = Script(
        scratch, "sendmail", "printf '%s\\n' \"$@\" > '" + args + "'\ncat > '" + input + "'\n");
    const std::string templ = scratch.Path("notice.txt");
    ASSERT_TRUE(pftest::WriteFile(templ, "Subject: %{outcome} %{queueid}\n\n%{virus}\n"));
    MilterSettings s = Read({{"Milter.OnVirus", "quarantine"},
                             {"Milter.NoticeTo", "admin@example.org"},
                             {"Milter.NoticeTemplate", templ},
                             {"Milter.Sendmail", sendmail}});
    std::vector<std::string> errors;
    ASSERT_TRUE(LoadNoticeTemplate(s.outcomes, errors));
    LogLines log;
    ChildRunner runner(log.Fn());
    const Decision held = Decide(s, Virus("Eicar"));
    ASSERT_EQ(held.action, MilterAction::Quarantine);
    TellOutcome(runner, s.outcomes, Facts(Virus("Eicar"), held), 0, log.Fn());
    runner.Drain();
    EXPECT_EQ(pftest::ReadFile(args), "-i\n--\nadmin@example.org\n");
    const std::string mail = pftest::ReadFile(input);
    EXPECT_EQ(mail.rfind("To: admin@example.org\n", 0), 0u) << mail;
    EXPECT_NE(mail.find("\nSubject: virus 4XyZ1\n\nEicar\n"), std::string::npos) << mail;

    std::filesystem::remove(input);
    s.outcomes.hook.clear();
    const MilterSettings delivering = Read({{"Milter.NoticeTo", "admin@example.org"}});
    OutcomeSettings o = delivering.outcomes;
    o.noticeText = s.outcomes.noticeText;
    o.sendmail = sendmail;
    TellOutcome(runner, o, Facts(Virus("Eicar"), Decide(delivering, Virus("Eicar"))), 0, log.Fn());
    runner.Drain();
    EXPECT_FALSE(std::filesystem::exists(input)) << "a delivered mail sent a notice";
}

// Bounded: one more child than the limit is refused at once; one that
// outlives its timeout is killed; each end is logged with its status.
TEST(ChildRunnerTest, LimitTimeoutAndExitStatus) {
    pftest::Scratch scratch;
    const std::string slow = Script(scratch, "slow.sh", "sleep 30\n");
    const std::string fails = Script(scratch, "fails.sh", "exit 3\n");
    LogLines log;
    ChildRunner runner(log.Fn());
    ChildJob job;
    job.argv = {slow};
    job.label = "slow";
    job.timeoutSeconds = 1;
    std::string error;
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(runner.Start(job, 1, error)) << error;
    job.label = "second";
    EXPECT_FALSE(runner.Start(job, 1, error));
    EXPECT_NE(error.find("1 already running"), std::string::npos) << error;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(500))
        << "the refused start waited for the running child";
    runner.Drain();
    EXPECT_NE(log.All().find("E slow: timed out after 1 s, killed"), std::string::npos)
        << log.All();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));

    job.argv = {fails};
    job.label = "fails";
    ASSERT_TRUE(runner.Start(job, 1, error)) << error;
    // No descriptor of the milter's reaches the child, close-on-exec or not.
    const int open = ::open(slow.c_str(), O_RDONLY);
    ASSERT_GE(open, 3);
    const std::string probe =
        Script(scratch, "probe.sh", "[ -e /proc/$$/fd/$1 ] && exit 9\nexit 0\n");
    job.argv = {probe, std::to_string(open)};
    job.label = "probe";
    ASSERT_TRUE(runner.Start(job, 2, error)) << error;
    ::close(open);
    job.argv = {"relative/path"};
    EXPECT_FALSE(runner.Start(job, 2, error));
    job.argv = {scratch.Path("no-such-program")};
    EXPECT_FALSE(runner.Start(job, 2, error));
    runner.Drain();
    EXPECT_NE(log.All().find("E fails: exit status 3"), std::string::npos) << log.All();
    EXPECT_NE(log.All().find("I probe: exit status 0"), std::string::npos) << log.All();
    EXPECT_EQ(runner.Running(), 0);
}

}  // namespace
