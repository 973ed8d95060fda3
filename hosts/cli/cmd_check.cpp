/*
 * cmd_check.cpp - "mailward check": queue mails with MAILWARD_check_mail,
 * wait for every callback, print each mail's report.
 *
 * The callback runs on the library's worker thread and the report is valid
 * only during the call, so the callback copies what is printed (CopyReport);
 * the main thread prints the mails in the order they were queued. At most
 * JOBS_IN_FLIGHT jobs are queued ahead of the callbacks, which bounds memory
 * for any number of mails.
 *
 * The callback wakes the main thread only when it has work that cannot
 * wait: the queue has run down to half its window, or every mail is done.
 * Otherwise the main thread looks every WAIT_SLICE_MS and prints what has
 * come in, so the worker does not pay a thread wake-up for every mail.
 *
 * With --quarantine (or Quarantine.Check = on) each mail's original is held
 * before it is queued and kept in the quarantine when its verdict is not OK
 * (check_quarantine.h); a mail whose original cannot be held is not
 * checked, and reported as an error.
 *
 * If no callback arrives for --timeout seconds (a job hanging in the
 * library), the mails still out are reported as errors and the program
 * ends at once with status 2: MAILWARD_exit would wait for the hanging job.
 */
#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "check_outcome.h"
#include "check_quarantine.h"
#include "common/cli_options.h"
#include "commands.h"
#include "common/console.h"
#include "common/host_session.h"
#include "mail_sources.h"
#include "report_output.h"
#include "common/spam_list.h"
#include "common/text.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t JOBS_IN_FLIGHT = 256;
constexpr int WAIT_SLICE_MS = 50;
constexpr int DEFAULT_TIMEOUT_SECONDS = 600;
constexpr int ALL_JOB_FLAGS =
    JOB_AV_CHECK | JOB_ATTACHMENT_FILTER | JOB_SPAM_LIST | JOB_HEADER_CHECK | JOB_KEYWORD_CHECK;
constexpr int ENGINE_LEAVE = 0;
// Engine modes other than 9 and 12 all mean "leave"; a bound keeps a typo
// from passing as a mode.
constexpr long ENGINE_MODE_LIMIT = 1000000;
constexpr long MAX_TIMEOUT_SECONDS = 365L * 24 * 3600;

const char* const kDescription =
    "Checks every mail (a folder: every file in it; a Maildir: cur/ and new/)\n"
    "through the library's job queue and prints what the check report says.";
const char* const kFooter =
    "Exit status: 0 all clean, 1 something was found or changed, 2 errors.\n";

bool ParseJobFlags(const std::string& text, int& flags, std::string& error) {
    if (text.empty()) {
        error = "--flags needs a value";
        return false;
    }
    if (std::isdigit(static_cast<unsigned char>(text[0]))) {
        char* end = nullptr;
        const unsigned long v = std::strtoul(text.c_str(), &end, 0);
        if (*end != '\0' || (v & ~static_cast<unsigned long>(ALL_JOB_FLAGS)) != 0) {
            error = "--flags " + text + ": not a combination of 0x01, 0x02, 0x08, 0x10, 0x20";
            return false;
        }
        flags = static_cast<int>(v);
        return true;
    }
    static const struct {
        const char* name;
        int bit;
    } kNames[] = {{"av", JOB_AV_CHECK},
                  {"attachments", JOB_ATTACHMENT_FILTER},
                  {"attachment", JOB_ATTACHMENT_FILTER},
                  {"keywords", JOB_KEYWORD_CHECK},
                  {"keyword", JOB_KEYWORD_CHECK},
                  {"header", JOB_HEADER_CHECK},
                  {"spamlist", JOB_SPAM_LIST},
                  {"spam-list", JOB_SPAM_LIST},
                  {"all", ALL_JOB_FLAGS},
                  {"none", 0}};
    std::vector<std::string> items;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = text.find(',', start);
        items.push_back(text.substr(start, comma == std::string::npos ? comma : comma - start));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    bool onlyRemovals = true;
    for (const std::string& item : items)
        onlyRemovals &= !item.empty() && item[0] == '-';
    int result = onlyRemovals ? ALL_JOB_FLAGS : 0;
    for (const std::string& item : items) {
        const bool remove = !item.empty() && item[0] == '-';
        const std::string name = remove ? item.substr(1) : item;
        int bit = -1;
        for (const auto& n : kNames) {
            if (name == n.name)
                bit = n.bit;
        }
        if (bit < 0) {
            error = "--flags: unknown flag '" + name +
                    "' (all, none, av, attachments, keywords, header, spamlist)";
            return false;
        }
        if (name == "none")
            result = 0;
        else if (remove)
            result &= ~bit;
        else
            result |= bit;
    }
    flags = result;
    return true;
}

bool ParseEngineMode(const std::string& text, int& mode, std::string& error) {
    if (text == "remove") {
        mode = AV_MODE_REMOVE;
    } else if (text == "rename") {
        mode = AV_MODE_RENAME;
    } else if (text == "leave") {
        mode = ENGINE_LEAVE;
    } else {
        char* end = nullptr;
        const long v = std::strtol(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || v < -ENGINE_MODE_LIMIT || v > ENGINE_MODE_LIMIT) {
            error = "--engine-mode " + text + ": use remove, rename, leave or a number";
            return false;
        }
        mode = static_cast<int>(v);
    }
    return true;
}

struct CheckRun;

struct JobTicket {
    CheckRun* run = nullptr;
    std::size_t index = 0;
    std::string copy;     // the private copy checked in place of the source, or empty
    std::string target;   // where the copy goes once checked
    QuarantineHold held;  // the original, while the quarantine may take it
};

// Puts the private copy of a checked mail in its target's place, or removes
// it when the check wrote no result; what fails is the outcome's error.
void FinishCopy(const JobTicket& ticket, bool reported, MailOutcome& outcome) {
    if (ticket.copy.empty())
        return;
    const bool written = reported && (outcome.errors & (ERR_LOAD | ERR_SAVE)) == 0;
    std::string error;
    if (!FinishCheckCopy(ticket.copy, ticket.target, written, error))
        outcome.outputError = error;
}

struct CheckRun {
    const MailwardApi* api = nullptr;
    CheckQuarantine* quarantine = nullptr;
    std::vector<MailOutcome> outcomes;
    std::vector<JobTicket> tickets;
    std::vector<char> done;  // 1 once the callback came or the job was refused
    std::mutex lock;
    std::condition_variable wake;
    std::size_t finished = 0;
    std::size_t wakeAt = 1;  // the callback wakes the main thread at this count
    Clock::time_point lastEvent;
};

void MAILWARD_CALL OnReport(const CheckReport* report, uintptr_t user) {
    auto* ticket = reinterpret_cast<JobTicket*>(user);
    CheckRun* run = ticket->run;
    MailOutcome copy;
    try {
        if (report != nullptr)
            CopyReport(*run->api, *report, copy);
        else
            copy.result = -1;  // a callback without a report counts as an error
        copy.log = Console::Get().CaptureTake();
    } catch (...) {
        copy.truncated = true;  // memory ran short while copying
    }
    FinishCopy(*ticket, report != nullptr, copy);
    {
        std::lock_guard<std::mutex> hold(run->lock);
        MailOutcome& slot = run->outcomes[ticket->index];
        copy.source = std::move(slot.source);
        copy.target = std::move(slot.target);
        copy.received = true;
        const Clock::time_point now = Clock::now();
        copy.seconds = std::chrono::duration<double>(now - run->lastEvent).count();
        run->lastEvent = now;
        slot = std::move(copy);
        run->done[ticket->index] = 1;
        if (++run->finished < run->wakeAt)
            return;
    }
    run->wake.notify_all();
}

// Engine version as the stamp of a checked mail names it (the stamp's lines
// after its first line), for the summary.
std::string EngineFromStamp(const MailOutcome& o) {
    std::string text;
    for (std::size_t i = 1; i < o.stamp.size(); ++i)
        text += (text.empty() ? "" : " ") + o.stamp[i];
    return text;
}

// What the command line asks for.
struct CheckOptions {
    CommonOptions common;
    std::string ruleSet = "default";
    std::string headerSet = "header";
    std::string outputDir;
    std::string spamListFile;
    int flags = ALL_JOB_FLAGS;
    int engineMode = AV_MODE_REMOVE;
    int timeout = DEFAULT_TIMEOUT_SECONDS;
    bool recursive = false;
    bool brief = false;
    bool quarantine = false;
    CheckEnvelope envelope;
    std::vector<std::string> operands;
};

// PARSE_GO_ON, or the exit status to end with.
int ParseCheckOptions(int argc, char** argv, int first, CheckOptions& o) {
    Console& console = Console::Get();
    std::string flagsText, modeText;
    auto app = MakeCommand("check", kDescription, kFooter);
    app->add_option("-s,--set", o.ruleSet, "rule set for attachments and keywords")
        ->type_name("NAME")
        ->capture_default_str();
    app->add_option("-H,--header-set", o.headerSet, "rule set for the header check (\"\" for none)")
        ->type_name("NAME")
        ->capture_default_str();
    app->add_option("-f,--flags", flagsText,
                    "job flags: all (default), none, or a comma list of av, attachments, "
                    "keywords, header, spamlist; -NAME drops one (all,-av); or a number (0x3b)")
        ->type_name("LIST");
    app->add_option("-o,--output", o.outputDir, "write checked mails into DIR (default: in place)")
        ->type_name("DIR");
    app->add_option("-m,--engine-mode", modeText,
                    "remove (9, default), rename (12) or leave (any other number): what the "
                    "engine does to an infected part")
        ->type_name("MODE");
    app->add_option("-l,--spam-list", o.spamListFile, "listed sender addresses and domains")
        ->type_name("FILE");
    app->add_flag("-r,--recursive", o.recursive, "also check the files of subfolders");
    app->add_flag("-b,--brief", o.brief, "only the verdict line of each mail");
    app->add_flag("-q,--quarantine", o.quarantine,
                  "keep the original of every mail that is not clean in the quarantine "
                  "(Quarantine.Dir) before it is rewritten; also Quarantine.Check = on");
    app->add_option("--sender", o.envelope.sender,
                    "the envelope sender the quarantine records (default: the mail's "
                    "Return-Path address, else the null sender)")
        ->type_name("ADDR");
    app->add_option("--recipient", o.envelope.recipients,
                    "an envelope recipient the quarantine records, repeatable (default: the "
                    "addresses of the mail's To and Cc fields)")
        ->type_name("ADDR")
        ->allow_extra_args(false);
    app->add_option("--timeout", o.timeout,
                    "give up when no report comes for this long (0: wait for ever)")
        ->type_name("SECONDS")
        ->check(CLI::Range(0L, MAX_TIMEOUT_SECONDS))
        ->capture_default_str();
    AddCommonOptions(*app, o.common,
                     OPTION_CONFIG | OPTION_RULES | OPTION_VALUE | OPTION_JSON | OPTION_LIBRARY |
                         OPTION_VERBOSE);
    app->add_option("mails", o.operands, "mail files, folders or Maildirs")->type_name("MAIL|DIR");
    if (const int status = ParseCommand(*app, argc, argv, first); status != PARSE_GO_ON)
        return status;
    std::string error;
    if ((!flagsText.empty() || app->count("--flags") > 0) &&
        !ParseJobFlags(flagsText, o.flags, error)) {
        console.Err("mailward check: " + error);
        return EXIT_ERRORS;
    }
    if (!modeText.empty() && !ParseEngineMode(modeText, o.engineMode, error)) {
        console.Err("mailward check: " + error);
        return EXIT_ERRORS;
    }
    if (o.operands.empty()) {
        console.Err("mailward check: no mail given (mailward check --help lists its options)");
        return EXIT_ERRORS;
    }
    return PARSE_GO_ON;
}

// Configuration, library, rules, the sets named, the spam list and the mails
// to check, each step reporting its own failure; false ends the command.
bool PrepareCheck(HostSession& session, const CheckOptions& o, SpamList& spamList,
                  std::vector<MailItem>& mails) {
    Console& console = Console::Get();
    session.InstallLog(o.common.verbosity);
    if (!session.Configure(o.common) || !session.LoadLibrary(o.common) ||
        !session.LoadRules(o.common))
        return false;
    if ((o.flags & (JOB_ATTACHMENT_FILTER | JOB_KEYWORD_CHECK)) != 0) {
        if (std::string missing = session.MissingSet(o.ruleSet); !missing.empty()) {
            console.Err("mailward check: " + missing);
            return false;
        }
    }
    if ((o.flags & JOB_HEADER_CHECK) != 0 && !o.headerSet.empty()) {
        if (std::string missing = session.MissingSet(o.headerSet); !missing.empty()) {
            console.Err("mailward check: " + missing + " (-H \"\" checks no header)");
            return false;
        }
    }
    if (!o.spamListFile.empty()) {
        std::vector<std::string> errors;
        if (!spamList.Load(o.spamListFile, errors)) {
            for (const std::string& e : errors)
                console.Err(e);
            console.Err("mailward check: " + o.spamListFile + ": refused");
            return false;
        }
    }
    std::string error;
    if (!CollectMails(o.operands, o.recursive, o.outputDir, mails, error)) {
        console.Err("mailward check: " + error);
        return false;
    }
    if (mails.empty()) {
        console.Err("mailward check: no mail found in the folders given");
        return false;
    }
    return true;
}

// Holds the original before the mail is queued; false (the mail is not
// checked) when it cannot be held.
bool HoldOriginal(CheckRun& run, const MailItem& m, JobTicket& ticket, std::string& error) {
    if (run.quarantine == nullptr || run.quarantine->Hold(m.source, ticket.held, error))
        return true;
    error = "not checked: the original cannot be kept in the quarantine: " + error;
    return false;
}

// Keeps the original of a mail that is not clean; what fails is the
// outcome's error.
void SettleOriginal(CheckRun& run, JobTicket& ticket, MailOutcome& outcome) {
    if (run.quarantine == nullptr || !ticket.held.Active())
        return;
    std::string entry, error;
    if (!run.quarantine->Settle(ticket.held, outcome, entry, error))
        outcome.outputError = "not quarantined: " + error;
    else if (!entry.empty())
        Console::Get().Err("mailward check: " + outcome.source + ": held in the quarantine as " +
                           entry);
}

// Prints one outcome and counts it.
void PrintOutcome(const CheckOptions& o, RunSummary& summary, const MailOutcome& outcome) {
    AddToSummary(summary, outcome);
    if (summary.engineVersion.empty())
        summary.engineVersion = EngineFromStamp(outcome);
    Console::Get().Out(o.common.json ? FormatMailJson(outcome) : FormatMailText(outcome, o.brief));
}

// No report came for the time-out: the mails still out are reported as
// errors, the summary follows as after a whole run, and the process ends at
// once, since MAILWARD_exit would wait for
// the job stuck in the library.
[[noreturn]] void GiveUp(const CheckOptions& o, const std::vector<MailItem>& mails,
                         std::size_t printed, RunSummary& summary) {
    Console& console = Console::Get();
    console.ProgressEnd();
    console.Err("mailward check: no report came back for " + std::to_string(o.timeout) +
                " seconds; giving up");
    for (; printed < mails.size(); ++printed) {
        MailOutcome outcome;
        outcome.source = mails[printed].source;
        PrintOutcome(o, summary, outcome);
    }
    console.Out(o.common.json ? FormatSummaryJson(summary) : FormatSummaryText(summary));
    std::fflush(nullptr);
    std::_Exit(EXIT_ERRORS);
}

// Queues the mails, never more than JOBS_IN_FLIGHT ahead of the callbacks,
// and prints each outcome in queue order as it comes in.
void RunJobWindow(const CheckOptions& o, const MailwardApi& api, SpamListResponder* responder,
                  const std::vector<MailItem>& mails, CheckRun& run, RunSummary& summary) {
    Console& console = Console::Get();
    const std::size_t n = mails.size();
    run.api = &api;
    run.outcomes.resize(n);
    run.tickets.resize(n);
    run.done.assign(n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        run.outcomes[i].source = mails[i].source;
        run.outcomes[i].target = mails[i].target;
        run.tickets[i].run = &run;
        run.tickets[i].index = i;
    }
    const char* header = o.headerSet.empty() ? nullptr : o.headerSet.c_str();
    SpamListCheck listCheck = responder != nullptr ? &SpamListResponder::ListCheck : nullptr;
    const uintptr_t listUser = reinterpret_cast<uintptr_t>(responder);
    run.lastEvent = Clock::now();
    console.ProgressStart(n);
    std::size_t queued = 0, printed = 0;
    while (printed < n) {
        std::size_t finished;
        {
            std::lock_guard<std::mutex> hold(run.lock);
            finished = run.finished;
        }
        for (; queued < n && queued - finished < JOBS_IN_FLIGHT; ++queued) {
            const MailItem& m = mails[queued];
            JobTicket& ticket = run.tickets[queued];
            // With an output folder the library checks a private copy in
            // place: the source is never written.
            std::string error;
            int r = -1;
            if (HoldOriginal(run, m, ticket, error) &&
                (m.target.empty() || MakeCheckCopy(m, ticket.copy, error))) {
                const std::string& checked = ticket.copy.empty() ? m.source : ticket.copy;
                const char* target =
                    m.target.empty() || !ticket.copy.empty() ? nullptr : m.target.c_str();
                ticket.target = m.target;
                r = api.MAILWARD_check_mail(o.ruleSet.c_str(), header, checked.c_str(), target,
                                            o.flags, listCheck, listUser, &OnReport,
                                            reinterpret_cast<uintptr_t>(&ticket));
            }
            if (r != 0) {
                std::lock_guard<std::mutex> hold(run.lock);
                if (!ticket.copy.empty())
                    FinishCheckCopy(ticket.copy, m.target, false, error);
                run.outcomes[queued].outputError = error;
                run.outcomes[queued].refused = error.empty();
                run.done[queued] = 1;
                ++run.finished;
                ++finished;
            }
        }
        std::vector<MailOutcome> ready;
        bool timedOut = false;
        {
            std::unique_lock<std::mutex> hold(run.lock);
            // Refill when half the window is done; at the end, when all are.
            const std::size_t refill =
                queued > JOBS_IN_FLIGHT / 2 ? queued - JOBS_IN_FLIGHT / 2 : 0;
            run.wakeAt = queued < n ? std::max(run.finished + 1, refill) : n;
            run.wake.wait_for(hold, std::chrono::milliseconds(WAIT_SLICE_MS),
                              [&] { return run.finished >= run.wakeAt; });
            while (printed + ready.size() < n && run.done[printed + ready.size()] != 0)
                ready.push_back(std::move(run.outcomes[printed + ready.size()]));
            timedOut = ready.empty() && o.timeout > 0 &&
                       Clock::now() - run.lastEvent > std::chrono::seconds(o.timeout);
        }
        for (MailOutcome& outcome : ready) {
            SettleOriginal(run, run.tickets[printed], outcome);
            PrintOutcome(o, summary, outcome);
            ++printed;
        }
        console.ProgressUpdate(printed);
        if (timedOut)
            GiveUp(o, mails, printed, summary);
    }
    console.ProgressEnd();
}

}  // namespace

int RunCheck(int argc, char** argv, int first, const std::string& exeDir) {
    CheckOptions o;
    if (const int status = ParseCheckOptions(argc, argv, first, o); status != PARSE_GO_ON)
        return status;
    Console& console = Console::Get();

    // Declared before the session, so destroyed after it: MAILWARD_exit
    // (the session's end) stops the worker, which may still be calling back
    // into the run or asking the responder until then.
    CheckRun run;
    const auto spamList = std::make_shared<SpamList>();
    std::unique_ptr<SpamListResponder> responder;
    HostSession session(exeDir);
    std::vector<MailItem> mails;
    if (!PrepareCheck(session, o, *spamList, mails) || !session.StartService(true))
        return EXIT_ERRORS;
    const MailwardApi& api = session.Api();
    CheckQuarantine quarantine;
    if (o.quarantine || kit::equals_nocase(ConfigValue("Quarantine.Check"), "on")) {
        std::string error;
        if (!quarantine.Open(
                QuarantineDirFor(ConfigValue("Quarantine.Dir"), session.Config().dataDir),
                o.envelope, error)) {
            console.Err("mailward check: " + error);
            return EXIT_ERRORS;
        }
        run.quarantine = &quarantine;
    }
    const bool engine = (o.flags & JOB_AV_CHECK) != 0;
    if (engine && api.MAILWARD_activate_av(o.engineMode, nullptr) != 0) {
        console.Err(
            "mailward check: the virus engine did not start (see the lines above); "
            "--flags all,-av checks without it");
        return EXIT_ERRORS;
    }
    if (!o.spamListFile.empty()) {
        responder = std::make_unique<SpamListResponder>(api, spamList);
        responder->Start();
    }

    RunSummary summary;
    summary.engine = engine;
    const Clock::time_point started = Clock::now();
    console.CaptureBegin();
    RunJobWindow(o, api, responder.get(), mails, run, summary);
    summary.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    console.CaptureEnd();
    session.StopService();
    if (responder)
        responder->Stop();
    console.Out(o.common.json ? FormatSummaryJson(summary) : FormatSummaryText(summary));
    if (summary.errors + summary.limits > 0)
        return EXIT_ERRORS;
    return summary.found + summary.filtered > 0 ? EXIT_FOUND : EXIT_CLEAN;
}
