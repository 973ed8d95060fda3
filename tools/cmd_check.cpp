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
#include "cli_args.h"
#include "commands.h"
#include "console.h"
#include "host_session.h"
#include "mail_sources.h"
#include "report_output.h"
#include "spam_list.h"

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

enum OptionId {
    OPT_SET = 1,
    OPT_HEADER_SET,
    OPT_FLAGS,
    OPT_OUTPUT,
    OPT_ENGINE_MODE,
    OPT_CONFIG,
    OPT_RULES,
    OPT_SPAM_LIST,
    OPT_OPTION,
    OPT_RECURSIVE,
    OPT_JSON,
    OPT_BRIEF,
    OPT_TIMEOUT,
    OPT_LIBRARY,
    OPT_VERBOSE,
    OPT_HELP,
};

const std::vector<OptionSpec> kOptions = {
    {OPT_SET, "set", 's', true},
    {OPT_HEADER_SET, "header-set", 'H', true},
    {OPT_FLAGS, "flags", 'f', true},
    {OPT_OUTPUT, "output", 'o', true},
    {OPT_ENGINE_MODE, "engine-mode", 'm', true},
    {OPT_CONFIG, "config", 'c', true},
    {OPT_RULES, "rules", 0, true},
    {OPT_SPAM_LIST, "spam-list", 'l', true},
    {OPT_OPTION, "option", 'O', true},
    {OPT_RECURSIVE, "recursive", 'r', false},
    {OPT_JSON, "json", 0, false},
    {OPT_BRIEF, "brief", 'b', false},
    {OPT_TIMEOUT, "timeout", 0, true},
    {OPT_LIBRARY, "library", 0, true},
    {OPT_VERBOSE, "verbose", 'v', false},
    {OPT_HELP, "help", 'h', false},
};

const char* const kUsage =
    "usage: mailward check [options] MAIL|DIR...\n"
    "\n"
    "Checks every mail (a folder: every file in it; a Maildir: cur/ and new/)\n"
    "through the library's job queue and prints what the check report says.\n"
    "\n"
    "  -s, --set NAME          rule set for attachments and keywords (default: default)\n"
    "  -H, --header-set NAME   rule set for the header check (default: header;\n"
    "                          \"\" for none)\n"
    "  -f, --flags LIST        job flags: all (default), none, or a comma list of\n"
    "                          av, attachments, keywords, header, spamlist; -NAME\n"
    "                          drops one (all,-av); or a number (0x3b)\n"
    "  -o, --output DIR        write checked mails into DIR (default: in place)\n"
    "  -m, --engine-mode MODE  remove (9, default), rename (12) or leave (any other\n"
    "                          number): what the engine does to an infected part\n"
    "  -c, --config FILE       configuration file (default: embedded set-up)\n"
    "      --rules FILE        rules file (default: the embedded example rules)\n"
    "  -l, --spam-list FILE    listed sender addresses and domains\n"
    "  -O, --option KEY=VALUE  one configuration value (after the file)\n"
    "  -r, --recursive         also check the files of subfolders\n"
    "      --json              one JSON object per mail and a summary line\n"
    "  -b, --brief             only the verdict line of each mail\n"
    "      --timeout SECONDS   give up when no report comes for this long\n"
    "                          (default 600, 0: wait for ever)\n"
    "      --library PATH      the mailward library to load\n"
    "  -v, --verbose           also info lines; -vv also debug lines\n"
    "\n"
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
};

struct CheckRun {
    const MailwardApi* api = nullptr;
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

}  // namespace

int RunCheck(int argc, char** argv, int first, const std::string& exeDir) {
    ParsedArgs args;
    std::string error;
    Console& console = Console::Get();
    if (!ParseArgs(argc, argv, first, kOptions, args, error)) {
        console.Err("mailward check: " + error + "\n\n" + kUsage);
        return EXIT_ERRORS;
    }
    CommonOptions common;
    std::string ruleSet = "default", headerSet = "header", outputDir, spamListFile;
    int flags = ALL_JOB_FLAGS, engineMode = AV_MODE_REMOVE, timeout = DEFAULT_TIMEOUT_SECONDS;
    bool recursive = false, brief = false;
    for (const auto& [id, value] : args.options) {
        switch (id) {
            case OPT_SET:
                ruleSet = value;
                break;
            case OPT_HEADER_SET:
                headerSet = value;
                break;
            case OPT_FLAGS:
                if (!ParseJobFlags(value, flags, error)) {
                    console.Err("mailward check: " + error);
                    return EXIT_ERRORS;
                }
                break;
            case OPT_OUTPUT:
                outputDir = value;
                break;
            case OPT_ENGINE_MODE:
                if (!ParseEngineMode(value, engineMode, error)) {
                    console.Err("mailward check: " + error);
                    return EXIT_ERRORS;
                }
                break;
            case OPT_CONFIG:
                common.configFile = value;
                break;
            case OPT_RULES:
                common.rulesFile = value;
                break;
            case OPT_SPAM_LIST:
                spamListFile = value;
                break;
            case OPT_OPTION:
                common.overrides.push_back(value);
                break;
            case OPT_RECURSIVE:
                recursive = true;
                break;
            case OPT_JSON:
                common.json = true;
                break;
            case OPT_BRIEF:
                brief = true;
                break;
            case OPT_TIMEOUT: {
                char* end = nullptr;
                const long v = std::strtol(value.c_str(), &end, 10);
                if (value.empty() || *end != '\0' || v < 0 || v > MAX_TIMEOUT_SECONDS) {
                    console.Err("mailward check: --timeout " + value + ": not a number of seconds");
                    return EXIT_ERRORS;
                }
                timeout = static_cast<int>(v);
                break;
            }
            case OPT_LIBRARY:
                common.library = value;
                break;
            case OPT_VERBOSE:
                ++common.verbosity;
                break;
            case OPT_HELP:
                console.Out(kUsage);
                return EXIT_CLEAN;
        }
    }
    if (args.operands.empty()) {
        console.Err(std::string("mailward check: no mail given\n\n") + kUsage);
        return EXIT_ERRORS;
    }

    // Declared before the session, so destroyed after it: MAILWARD_exit
    // (the session's end) stops the worker, which may still be calling back
    // into the run or asking the responder until then.
    CheckRun run;
    SpamList spamList;
    std::unique_ptr<SpamListResponder> responder;
    HostSession session(exeDir);
    session.InstallLog(common.verbosity);
    if (!session.Configure(common) || !session.LoadLibrary(common) || !session.LoadRules(common))
        return EXIT_ERRORS;
    if ((flags & (JOB_ATTACHMENT_FILTER | JOB_KEYWORD_CHECK)) != 0) {
        if (std::string missing = session.MissingSet(ruleSet); !missing.empty()) {
            console.Err("mailward check: " + missing);
            return EXIT_ERRORS;
        }
    }
    if ((flags & JOB_HEADER_CHECK) != 0 && !headerSet.empty()) {
        if (std::string missing = session.MissingSet(headerSet); !missing.empty()) {
            console.Err("mailward check: " + missing + " (-H \"\" checks no header)");
            return EXIT_ERRORS;
        }
    }
    if (!spamListFile.empty()) {
        std::vector<std::string> errors;
        if (!spamList.Load(spamListFile, errors)) {
            for (const std::string& e : errors)
                console.Err(e);
            console.Err("mailward check: " + spamListFile + ": refused");
            return EXIT_ERRORS;
        }
    }
    std::vector<MailItem> mails;
    if (!CollectMails(args.operands, recursive, outputDir, mails, error)) {
        console.Err("mailward check: " + error);
        return EXIT_ERRORS;
    }
    if (mails.empty()) {
        console.Err("mailward check: no mail found in the folders given");
        return EXIT_ERRORS;
    }

    if (!session.StartService(true))
        return EXIT_ERRORS;
    const MailwardApi& api = session.Api();
    const bool engine = (flags & JOB_AV_CHECK) != 0;
    if (engine && api.activate_av(engineMode, nullptr) != 0) {
        console.Err(
            "mailward check: the virus engine did not start (see the lines above); "
            "--flags all,-av checks without it");
        return EXIT_ERRORS;
    }
    if (!spamListFile.empty()) {
        responder = std::make_unique<SpamListResponder>(api, spamList);
        responder->Start();
    }

    run.api = &api;
    const std::size_t n = mails.size();
    run.outcomes.resize(n);
    run.tickets.resize(n);
    run.done.assign(n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        run.outcomes[i].source = mails[i].source;
        run.outcomes[i].target = mails[i].target;
        run.tickets[i] = {&run, i};
    }
    const char* header = headerSet.empty() ? nullptr : headerSet.c_str();
    SpamListCheck listCheck = responder ? &SpamListResponder::ListCheck : nullptr;
    const uintptr_t listUser = reinterpret_cast<uintptr_t>(responder.get());

    RunSummary summary;
    summary.engine = engine;
    const Clock::time_point started = Clock::now();
    run.lastEvent = started;
    console.CaptureBegin();
    console.ProgressStart(n);
    std::size_t queued = 0, printed = 0;
    bool timedOut = false;
    while (printed < n) {
        std::size_t finished;
        {
            std::lock_guard<std::mutex> hold(run.lock);
            finished = run.finished;
        }
        while (queued < n && queued - finished < JOBS_IN_FLIGHT) {
            const MailItem& m = mails[queued];
            const int r = api.check_mail(ruleSet.c_str(), header, m.source.c_str(),
                                         m.target.empty() ? nullptr : m.target.c_str(), flags,
                                         listCheck, listUser, &OnReport,
                                         reinterpret_cast<uintptr_t>(&run.tickets[queued]));
            if (r != 0) {
                std::lock_guard<std::mutex> hold(run.lock);
                run.outcomes[queued].refused = true;
                run.done[queued] = 1;
                ++run.finished;
                ++finished;
            }
            ++queued;
        }
        std::vector<MailOutcome> ready;
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
            if (ready.empty() && timeout > 0 &&
                Clock::now() - run.lastEvent > std::chrono::seconds(timeout))
                timedOut = true;
        }
        for (MailOutcome& o : ready) {
            AddToSummary(summary, o);
            if (summary.engineVersion.empty())
                summary.engineVersion = EngineFromStamp(o);
            console.Out(common.json ? FormatMailJson(o) : FormatMailText(o, brief));
            ++printed;
        }
        console.ProgressUpdate(printed);
        if (timedOut) {
            console.ProgressEnd();
            console.Err("mailward check: no report came back for " + std::to_string(timeout) +
                        " seconds; giving up");
            for (; printed < n; ++printed) {
                MailOutcome o;
                o.source = mails[printed].source;
                AddToSummary(summary, o);
                console.Out(common.json ? FormatMailJson(o) : FormatMailText(o, brief));
            }
            std::fflush(nullptr);
            // The library's worker is stuck inside a job: MAILWARD_exit would
            // wait for it, so the process ends here.
            std::_Exit(EXIT_ERRORS);
        }
    }
    summary.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    console.ProgressEnd();
    console.CaptureEnd();
    session.StopService();
    if (responder)
        responder->Stop();
    if (common.json)
        console.Out(FormatSummaryJson(summary));
    else
        console.Out(FormatSummaryText(summary));
    if (summary.errors > 0)
        return EXIT_ERRORS;
    return summary.found + summary.filtered > 0 ? EXIT_FOUND : EXIT_CLEAN;
}
