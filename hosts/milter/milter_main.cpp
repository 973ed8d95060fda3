/*
 * milter_main.cpp - mailward-milter: mailward in the mail flow of Postfix
 * or Sendmail through libmilter.
 *
 * THREADS: libmilter runs one thread per SMTP session (smfi_main runs on a
 * thread of its own); a session spools its message and waits in
 * CheckerPool::Check for its own answer, so a slow check holds up only its
 * session. The main thread takes SIGHUP (reload) and SIGTERM/SIGINT (stop)
 * with sigwait; every other thread blocks them. libmilter's own signal
 * thread waits for the same signals, but Linux hands a signal sent to the
 * process to its main thread first when that thread waits for it, which is
 * what the main thread does whenever it is not working.
 *
 * STOP: new messages are tempfailed, smfi_stop ends the listener, the
 * messages in work get STOP_DRAIN_SECONDS to finish, then the checking
 * processes are stopped and the spool is emptied.
 *
 * The checking processes are this program run again with --checker-fd
 * (checker_process.h); each gets TempDir=<state>/checker-N of its own.
 * They share DataDir (the folders of "move" rules, and the backups when
 * Milter.Backups = on) and the signature folders: that relies on the
 * library keeping several processes on one DataDir safe, as it does for
 * any host that runs more than one process.
 */
#include <grp.h>
#include <libmilter/mfapi.h>
#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "body_digest.h"
#include "checker_pool.h"
#include "checker_process.h"
#include "common/cli_options.h"
#include "common/console.h"
#include "header_diff.h"
#include "common/host_session.h"
#include "milter_policy.h"
#include "spool.h"

namespace fs = std::filesystem;

namespace {

constexpr int STOP_DRAIN_SECONDS = 5;
constexpr std::size_t REPLACE_CHUNK = 65535;  // the protocol's largest body chunk
constexpr const char* DEFAULT_SOCKET_NAME = "mailward-milter.sock";
constexpr int MILTER_TIMEOUT_SECONDS = 600;
constexpr mode_t SOCKET_DIR_MODE = 0755;  // a socket folder the milter makes

const char* const kHelp =
    "NAME\n"
    "    mailward-milter - mailward as a mail filter (milter) for Postfix and Sendmail\n"
    "\n"
    "SYNOPSIS\n"
    "    mailward-milter [-f] [-s SOCKET] [-c FILE] [--rules FILE] [-l FILE]\n"
    "                    [-O KEY=VALUE]... [-p N] [--pid-file FILE] [-v]\n"
    "\n"
    "DESCRIPTION\n"
    "    Receives every message from the MTA over the milter protocol, spools it\n"
    "    into a private folder, has it checked by the mailward library in one of\n"
    "    its checking processes, and makes the delivered mail equal to what the\n"
    "    library wrote (header fields changed, added or removed; the body\n"
    "    replaced when it changed). Each mail gets a verdict field\n"
    "    (X-Mailward-Verdict: clean | virus NAME | filtered (...) | unchecked (...)).\n"
    "    Configuration, rules file and spam list are those of \"mailward check\".\n"
    "\n"
    "OPTIONS\n"
    "    -s, --socket SPEC      unix:/path/to/socket or inet:PORT@127.0.0.1\n"
    "                           (default: Milter.Socket, else\n"
    "                           unix:<state>/mailward-milter.sock)\n"
    "    -c, --config FILE      configuration file (library keys and Milter.* keys)\n"
    "        --rules FILE       rules file (default: the embedded example rules)\n"
    "    -l, --spam-list FILE   listed sender addresses and domains\n"
    "    -O, --option KEY=VALUE one configuration value (after the file)\n"
    "        --library PATH     the mailward library to load\n"
    "    -p, --processes N      checking processes (default: Milter.Processes, else\n"
    "                           one per core)\n"
    "    -f, --foreground       stay in the foreground and log to stderr (default:\n"
    "                           run as a daemon and log to syslog, facility mail)\n"
    "        --pid-file FILE    write the process id into FILE\n"
    "    -v, --verbose          also the library's info lines; -vv debug lines\n"
    "    -h, --help             this text\n"
    "\n"
    "CONFIGURATION KEYS (beside the library's own)\n"
    "    Milter.Socket, Milter.SocketMode (octal, default 0660), Milter.SocketGroup\n"
    "    (group of the socket, e.g. postfix), Milter.StateDir\n"
    "    (default <DataDir>/milter), Milter.Processes, Milter.MaxSize (bytes,\n"
    "    default 52428800), Milter.MaxInFlight (default 64), Milter.Timeout\n"
    "    (seconds, default 120), Milter.Engine (on | off), Milter.RuleSet\n"
    "    (default \"default\"), Milter.HeaderRuleSet (default \"header\"),\n"
    "    Milter.RuleSetFrom.ADDRESS|DOMAIN and Milter.RuleSetFor.DOMAIN (rule set by\n"
    "    envelope sender, else by recipient domain, else Milter.RuleSet),\n"
    "    Milter.VerdictField (default X-Mailward-Verdict), Milter.Backups (on: the\n"
    "    library's BackupMode and FlushMails apply; default off: no backup and no\n"
    "    flush of each spooled message, which the MTA holds anyway),\n"
    "    Milter.WorkerPark (on | off, default on: each checking process keeps its\n"
    "    library worker waiting for the next message, which then starts at once\n"
    "    instead of at the worker's next look at its queue, every 100 ms),\n"
    "    Milter.DnsList (DNS block lists of sender domains, asked beside the spam\n"
    "    list: a zone or several; an answer in 127.0.0.0/8 lists the sender),\n"
    "    Milter.DnsServer (IPv4[:PORT]; default the system's resolver),\n"
    "    Milter.DnsTimeout (seconds, default 3; a list that does not answer\n"
    "    lists no one).\n"
    "\n"
    "POLICIES\n"
    "    Milter.OnVirus      deliver (rewritten, with the notice; default) |\n"
    "                        reject (550) | discard | quarantine (MTA hold queue)\n"
    "    Milter.OnFiltered   deliver (default) | reject | discard | quarantine\n"
    "    Milter.OnParseError accept (untouched, tagged; default) | tempfail | reject\n"
    "    Milter.OnScanError  tempfail (default) | accept: engine failed or timed out\n"
    "    Milter.OnTooBig     accept (untouched, tagged; default) | tempfail\n"
    "    A checking process that died, the library refusing a job, too many\n"
    "    messages in flight, or a stop in progress: always tempfail (451).\n"
    "\n"
    "SIGNALS\n"
    "    SIGHUP   reload the Milter.* policies, limits and rule-set choices of the\n"
    "             configuration file, and the rules file and spam list in every\n"
    "             checking process; a file with a bad line is reported\n"
    "             (FILE:LINE: reason) and the old settings, rules and list stay\n"
    "    SIGTERM  finish the messages in work, tempfail new ones, exit\n"
    "\n"
    "FILES\n"
    "    <state>/spool       one private file per message in work; empty after a\n"
    "                        clean stop, leftovers removed at start\n"
    "    <state>/checker-N   TempDir of checking process N\n"
    "\n"
    "EXAMPLE (Postfix main.cf)\n"
    "    smtpd_milters = unix:/run/mailward/milter.sock\n"
    "    milter_default_action = tempfail\n"
    "    milter_protocol = 6\n"
    "\n"
    "EXIT STATUS\n"
    "    0 after a clean stop, 2 when the set-up failed.\n";

// --------------------------------------------------------------------------
// Logging: stderr in the foreground, syslog as a daemon.

std::atomic<bool> g_syslog{false};
std::mutex g_logLock;

void Log(bool error, const std::string& line) {
    if (g_syslog) {
        syslog(error ? LOG_ERR : LOG_INFO, "%s", line.c_str());
        return;
    }
    std::lock_guard<std::mutex> hold(g_logLock);
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
    std::fprintf(stderr, "%s mailward-milter[%ld]: %s%s\n", stamp, static_cast<long>(::getpid()),
                 error ? "error: " : "", line.c_str());
}

// Lines written to stderr (the library's log of the checking processes,
// which inherit it) go to syslog in daemon mode.
void ForwardStderrToSyslog() {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return;
    ::dup2(pipeFds[1], STDERR_FILENO);
    ::close(pipeFds[1]);
    std::thread([fd = pipeFds[0]] {
        std::string pending;
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0)
                return;
            pending.append(buf, static_cast<std::size_t>(n));
            for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
                syslog(LOG_NOTICE, "%s", pending.substr(0, nl).c_str());
                pending.erase(0, nl + 1);
            }
        }
    }).detach();
}

// --------------------------------------------------------------------------
// The filter's state shared by all sessions.

struct Filter {
    MilterSettings settings;
    std::mutex settingsLock;  // settings change on SIGHUP
    Spool spool;
    std::unique_ptr<CheckerPool> pool;
    std::atomic<bool> stopping{false};
    std::atomic<int> inFlight{0};
    std::atomic<bool> leadingSpace{false};  // the MTA sends values with their blank
    std::atomic<bool> noReply{false};       // header, end of header, body: no reply
    std::atomic<unsigned long> messages{0};

    std::shared_ptr<const MilterKeys> keys = std::make_shared<MilterKeys>();

    MilterSettings Settings() {
        std::lock_guard<std::mutex> hold(settingsLock);
        return settings;
    }
    std::shared_ptr<const MilterKeys> Keys() {
        std::lock_guard<std::mutex> hold(settingsLock);
        return keys;
    }
};

Filter* g_filter = nullptr;

struct Session {
    std::string sender;                   // envelope sender, bare, lower case
    std::vector<std::string> recipients;  // envelope recipients, the same
    std::vector<HeaderField> headers;     // as received
    SpoolMessage message;
    bool inBody = false;
    bool mtaIsPostfix = false;  // the MTA's "v" macro names Postfix
    // The body as received: the library may rewrite its source file too,
    // so the spooled file cannot be read back as the mail received.
    BodyDigest bodyDigest;
    std::uint64_t bodySize = 0;
    std::uint64_t size = 0;
    std::uint64_t maxSize = 0;
    bool tooBig = false;
    bool failed = false;
    std::string error;

    void Reset() {
        headers.clear();
        message.Discard();
        size = 0;
        inBody = false;
        bodyDigest.Reset();
        bodySize = 0;
        tooBig = failed = false;
        error.clear();
    }
    // Starts the spool file at the first data of a message.
    bool Ensure() {
        if (message.Active() || tooBig || failed)
            return !failed;
        if (!message.Begin(g_filter->spool, error))
            failed = true;
        return !failed;
    }
    void Append(const char* data, std::size_t n) {
        size += n;
        if (tooBig || failed)
            return;
        if (size > maxSize) {
            tooBig = true;
            message.Discard();
            return;
        }
        if (!Ensure())
            return;
        if (!message.Write(data, n)) {
            failed = true;
            error = "cannot write the spool file";
        }
    }
};

Session* Get(SMFICTX* ctx) {
    return static_cast<Session*>(smfi_getpriv(ctx));
}

sfsistat OnNegotiate(SMFICTX*, unsigned long f0, unsigned long f1, unsigned long, unsigned long,
                     unsigned long* pf0, unsigned long* pf1, unsigned long* pf2,
                     unsigned long* pf3) {
    const unsigned long wanted = SMFIF_ADDHDRS | SMFIF_CHGHDRS | SMFIF_CHGBODY | SMFIF_QUARANTINE;
    *pf0 = f0 & wanted;
    // No reply to header lines, end of header and body chunks: the MTA
    // streams them without waiting, which saves a round trip per line and
    // chunk. A failure there is answered at the end of the message.
    const unsigned long noReply = SMFIP_NR_HDR | SMFIP_NR_EOH | SMFIP_NR_BODY;
    *pf1 = f1 & (SMFIP_HDR_LEADSPC | SMFIP_NOHELO | SMFIP_NOUNKNOWN | SMFIP_NODATA |
                 SMFIP_NOCONNECT | noReply);
    g_filter->leadingSpace = (f1 & SMFIP_HDR_LEADSPC) != 0;
    g_filter->noReply = (f1 & noReply) == noReply;
    if (!g_filter->noReply)
        *pf1 &= ~noReply;
    *pf2 = 0;
    *pf3 = 0;
    return SMFIS_CONTINUE;
}

sfsistat OnEnvFrom(SMFICTX* ctx, char** argv) {
    Session* s = Get(ctx);
    if (s == nullptr) {
        s = new (std::nothrow) Session;
        if (s == nullptr)
            return SMFIS_TEMPFAIL;
        smfi_setpriv(ctx, s);
    }
    s->Reset();
    s->sender = argv != nullptr && argv[0] != nullptr ? EnvelopeAddress(argv[0]) : "";
    s->recipients.clear();
    s->maxSize = g_filter->Settings().maxSize;
    return SMFIS_CONTINUE;
}

sfsistat OnEnvRcpt(SMFICTX* ctx, char** argv) {
    Session* s = Get(ctx);
    if (s == nullptr)
        return SMFIS_TEMPFAIL;
    if (argv != nullptr && argv[0] != nullptr)
        s->recipients.push_back(EnvelopeAddress(argv[0]));
    return SMFIS_CONTINUE;
}

// The answer to a header line, the end of the header or a body chunk.
sfsistat Streamed() {
    return g_filter->noReply ? SMFIS_NOREPLY : SMFIS_CONTINUE;
}

sfsistat OnHeader(SMFICTX* ctx, char* name, char* value) {
    Session* s = Get(ctx);
    if (s == nullptr)
        return Streamed();
    std::string v = ToCrLf(value);
    if (!g_filter->leadingSpace)
        v.insert(0, " ");
    std::string line = std::string(name) + ":" + v + "\r\n";
    s->Append(line.data(), line.size());
    s->headers.push_back({name, std::move(v)});
    return Streamed();
}

sfsistat OnEndOfHeader(SMFICTX* ctx) {
    Session* s = Get(ctx);
    if (s == nullptr)
        return Streamed();
    s->Append("\r\n", 2);
    s->inBody = true;
    return Streamed();
}

sfsistat OnBody(SMFICTX* ctx, unsigned char* data, size_t n) {
    Session* s = Get(ctx);
    if (s == nullptr)
        return Streamed();
    const char* bytes = reinterpret_cast<const char*>(data);
    s->Append(bytes, n);
    s->bodyDigest.Update(bytes, n);
    s->bodySize += n;
    return Streamed();
}

// The value as the MTA takes it: LF line breaks, the leading blank only
// when the MTA keeps it.
std::string OutValue(const std::string& value) {
    std::string v = ToLf(value);
    if (!g_filter->leadingSpace && !v.empty() && v[0] == ' ')
        v.erase(0, 1);
    return v;
}

sfsistat Reply(SMFICTX* ctx, const Decision& d, sfsistat status) {
    std::string text = d.text;
    smfi_setreply(ctx, const_cast<char*>(d.rcode.c_str()), const_cast<char*>(d.xcode.c_str()),
                  text.data());
    return status;
}

// Makes the delivered mail the one the library wrote. False when the
// written mail cannot be read or the MTA refused a change.
// The written mail's body from `at`, in CR LF pieces of at most
// REPLACE_CHUNK bytes, handed to `use`; false when it cannot be read or
// `use` says stop.
bool ForEachBodyPiece(std::FILE* f, long at, const std::function<bool(const std::string&)>& use) {
    if (std::fseek(f, at, SEEK_SET) != 0)
        return false;
    CrLfStream crlf;
    std::string piece;
    std::vector<char> buf(REPLACE_CHUNK / 2);
    for (;;) {
        const std::size_t n = std::fread(buf.data(), 1, buf.size(), f);
        if (n == 0)
            return std::ferror(f) == 0;
        crlf.Feed(std::string_view(buf.data(), n), piece);
        if (!use(piece))
            return false;
    }
}

// Makes the delivered mail the one the library wrote. False when the
// written mail cannot be read or the MTA refused a change. The body is
// streamed from the file, twice when it changed (once to see whether it
// did, once to send it), so no message is held in memory whole.
bool ApplyRewrite(SMFICTX* ctx, Session& s, std::string& error) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(s.message.Path().c_str(), "rb"),
                                                         &std::fclose);
    if (!file) {
        error = "the checked mail was not written";
        return false;
    }
    std::string head;
    std::size_t bodyAt = std::string::npos;
    std::vector<char> buf(REPLACE_CHUNK);
    while (bodyAt == std::string::npos) {
        const std::size_t n = std::fread(buf.data(), 1, buf.size(), file.get());
        if (n == 0)
            break;
        head.append(buf.data(), n);
        bodyAt = BodyOffset(head);
    }
    if (std::ferror(file.get())) {
        error = "the checked mail cannot be read";
        return false;
    }
    if (bodyAt == std::string::npos)
        bodyAt = head.size();
    head.resize(bodyAt);
    std::vector<HeaderField> after;
    std::string noBody;
    SplitMail(head, after, noBody);
    std::vector<HeaderField> before = s.headers;
    // Postfix shows the milter the Received field it adds itself, on top,
    // but leaves it out of the positions and occurrence numbers of header
    // changes: it stays as Postfix wrote it and out of the comparison.
    if (s.mtaIsPostfix && !before.empty() && SameFieldName(before[0].name, "Received")) {
        before.erase(before.begin());
        for (auto it = after.begin(); it != after.end(); ++it) {
            if (SameFieldName(it->name, "Received")) {
                after.erase(it);
                break;
            }
        }
    }
    for (const HeaderOp& op : DiffHeaders(before, after)) {
        std::string value = OutValue(op.value);
        int rc = MI_SUCCESS;
        char* name = const_cast<char*>(op.name.c_str());
        switch (op.kind) {
            case HeaderOpKind::Change:
                rc = smfi_chgheader(ctx, name, op.index, value.data());
                break;
            case HeaderOpKind::Delete:
                rc = smfi_chgheader(ctx, name, op.index, nullptr);
                break;
            case HeaderOpKind::Insert:
                rc = smfi_insheader(ctx, op.index, name, value.data());
                break;
            case HeaderOpKind::Append:
                rc = smfi_addheader(ctx, name, value.data());
                break;
        }
        if (rc != MI_SUCCESS) {
            error = "the MTA refused a change of " + op.name;
            return false;
        }
    }
    const long at = static_cast<long>(bodyAt);
    BodyDigest written;
    std::uint64_t size = 0;
    if (!ForEachBodyPiece(file.get(), at, [&](const std::string& piece) {
            written.Update(piece.data(), piece.size());
            size += piece.size();
            return true;
        })) {
        error = "the checked mail cannot be read";
        return false;
    }
    if (SameBody(size, written, s.bodySize, s.bodyDigest))
        return true;
    if (size == 0 && smfi_replacebody(ctx, nullptr, 0) != MI_SUCCESS) {
        error = "the MTA refused the new body";
        return false;
    }
    if (!ForEachBodyPiece(file.get(), at, [&](const std::string& piece) {
            std::string copy = piece;
            return smfi_replacebody(ctx, reinterpret_cast<unsigned char*>(copy.data()),
                                    static_cast<int>(copy.size())) == MI_SUCCESS;
        })) {
        error = "the MTA refused the new body";
        return false;
    }
    return true;
}

sfsistat OnEndOfMessage(SMFICTX* ctx) {
    Session* s = Get(ctx);
    if (s == nullptr)
        return SMFIS_TEMPFAIL;
    const MilterSettings settings = g_filter->Settings();
    const char* queueId = smfi_getsymval(ctx, const_cast<char*>("i"));
    const std::string id = queueId != nullptr ? queueId : "NOQUEUE";
    const auto started = std::chrono::steady_clock::now();
    const char* mta = smfi_getsymval(ctx, const_cast<char*>("v"));
    s->mtaIsPostfix = mta != nullptr && std::strstr(mta, "Postfix") != nullptr;

    CheckResult result;
    std::string error;
    if (s->tooBig) {
        result.kind = CheckResult::Kind::TooBig;
    } else if (!s->Ensure() || !s->message.Finish(error)) {
        Log(true, id + ": " + (s->error.empty() ? error : s->error));
        result.kind = CheckResult::Kind::Refused;
    } else if (g_filter->stopping) {
        result.kind = CheckResult::Kind::Busy;
    } else if (g_filter->inFlight.fetch_add(1) >= settings.maxInFlight) {
        g_filter->inFlight.fetch_sub(1);
        result.kind = CheckResult::Kind::Busy;
    } else {
        CheckRequest request;
        request.ruleSet =
            ChooseRuleSet(LookupIn(*g_filter->Keys()), s->sender, s->recipients, settings.ruleSet);
        if (!FieldSafe(request.ruleSet)) {
            Log(true, id + ": rule set '" + FieldText(request.ruleSet) + "' cannot be used");
            request.ruleSet = settings.ruleSet;
        }
        request.headerRuleSet = settings.headerRuleSet;
        request.source = s->message.Path();
        request.target = s->message.Path();  // checked in place
        result = g_filter->pool->Check(request, settings.timeoutSeconds);
        g_filter->inFlight.fetch_sub(1);
    }
    Decision d = Decide(settings, result);
    sfsistat status = SMFIS_CONTINUE;
    if (d.action == MilterAction::Deliver || d.action == MilterAction::Quarantine) {
        if (!ApplyRewrite(ctx, *s, error)) {
            Log(true, id + ": " + error);
            d = {MilterAction::Tempfail, "unchecked (filter error)", "451", "4.3.0",
                 "mail filter failed"};
        }
    }
    std::string verdict = (g_filter->leadingSpace ? " " : "") + d.verdict;
    switch (d.action) {
        case MilterAction::Quarantine:
            smfi_quarantine(ctx, d.text.data());
            [[fallthrough]];
        case MilterAction::Deliver:
        case MilterAction::AcceptUntouched:
            smfi_addheader(ctx, const_cast<char*>(settings.verdictField.c_str()), verdict.data());
            break;
        case MilterAction::Tempfail:
            status = Reply(ctx, d, SMFIS_TEMPFAIL);
            break;
        case MilterAction::Reject:
            status = Reply(ctx, d, SMFIS_REJECT);
            break;
        case MilterAction::Discard:
            status = SMFIS_DISCARD;
            break;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    char took[32];
    std::snprintf(took, sizeof took, "%.3f", seconds);
    Log(false, id + ": " + d.verdict + ", " + ActionWord(d.action) + ", " + took + " s");
    ++g_filter->messages;
    s->Reset();
    return status;
}

sfsistat OnAbort(SMFICTX* ctx) {
    if (Session* s = Get(ctx))
        s->Reset();
    return SMFIS_CONTINUE;
}

sfsistat OnClose(SMFICTX* ctx) {
    delete Get(ctx);
    smfi_setpriv(ctx, nullptr);
    return SMFIS_CONTINUE;
}

// --------------------------------------------------------------------------

struct MainOptions {
    CommonOptions common;
    std::string socket;
    std::string spamListFile;
    std::string pidFile;
    int processes = 0;
    bool foreground = false;
    bool keepBackups = false;  // Milter.Backups = on
    int checkerFd = -1;
};

// Parses the command line with CLI11; --help is answered with the manual
// page above rather than CLI11's own list.
bool ParseMain(int argc, char** argv, MainOptions& o, bool& help, std::string& error) {
    CLI::App app("mailward as a mail filter (milter)", "mailward-milter");
    app.set_help_flag();
    app.add_flag("-h,--help", help);
    app.add_option("-s,--socket", o.socket);
    app.add_option("-l,--spam-list", o.spamListFile);
    app.add_option("-p,--processes", o.processes)->check(CLI::Range(1, MAX_PROCESSES));
    app.add_flag("-f,--foreground", o.foreground);
    app.add_option("--pid-file", o.pidFile);
    app.add_option("--checker-fd", o.checkerFd)->check(CLI::NonNegativeNumber);
    AddCommonOptions(app, o.common,
                     OPTION_CONFIG | OPTION_RULES | OPTION_VALUE | OPTION_LIBRARY | OPTION_VERBOSE);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        error = e.what();
        return false;
    }
    return true;
}

// The command line of checking process `index`.
std::vector<std::string> CheckerArgv(const MainOptions& o, const std::string& stateDir, int index) {
    std::vector<std::string> a = {"mailward-milter", "--checker-fd", std::to_string(CHECKER_FD)};
    if (!o.common.configFile.empty())
        a.insert(a.end(), {"--config", o.common.configFile});
    if (!o.common.rulesFile.empty())
        a.insert(a.end(), {"--rules", o.common.rulesFile});
    if (!o.common.library.empty())
        a.insert(a.end(), {"--library", o.common.library});
    if (!o.spamListFile.empty())
        a.insert(a.end(), {"--spam-list", o.spamListFile});
    // The spool files are scratch: the MTA holds the mail until the milter
    // answers and keeps the delivered copy. So no backup of every message
    // and no flush of every written mail, unless the operator asks.
    if (!o.keepBackups)
        a.insert(a.end(), {"--option", "BackupMode=0", "--option", "FlushMails=0"});
    for (const std::string& kv : o.common.overrides)
        a.insert(a.end(), {"--option", kv});
    a.insert(a.end(), {"--option", "TempDir=" + stateDir + "/checker-" + std::to_string(index)});
    for (int v = 0; v < o.common.verbosity; ++v)
        a.push_back("--verbose");
    return a;
}

std::string Absolute(const std::string& path) {
    if (path.empty())
        return path;
    std::error_code ec;
    const fs::path p = fs::absolute(path, ec);
    return ec ? path : p.lexically_normal().string();
}

// The file of a unix socket spec ("" for inet).
std::string UnixSocketPath(const std::string& spec) {
    if (spec.rfind("unix:", 0) == 0)
        return spec.substr(5);
    if (spec.rfind("local:", 0) == 0)
        return spec.substr(6);
    if (!spec.empty() && spec[0] == '/')
        return spec;
    return "";
}

// Makes the socket's folder when missing and removes a socket file left by
// an earlier run; refuses anything else in its place.
bool PrepareSocketPath(const std::string& spec, std::string& error) {
    const std::string path = UnixSocketPath(spec);
    if (path.empty())
        return true;
    std::error_code ec;
    const fs::path parent = fs::path(path).parent_path();
    if (!parent.empty() && !fs::is_directory(parent, ec)) {
        fs::create_directories(parent, ec);
        if (ec) {
            error = "cannot make " + parent.string() + ": " + ec.message();
            return false;
        }
        ::chmod(parent.c_str(), SOCKET_DIR_MODE);
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return true;
    if (!S_ISSOCK(st.st_mode)) {
        error = path + " exists and is not a socket";
        return false;
    }
    ::unlink(path.c_str());
    return true;
}

void BlockSignals(sigset_t& set) {
    sigemptyset(&set);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool Daemonize(std::string& error) {
    const pid_t pid = ::fork();
    if (pid < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (pid > 0)
        std::_Exit(EXIT_CLEAN);
    ::setsid();
    if (::fork() > 0)
        std::_Exit(EXIT_CLEAN);
    if (std::FILE* in = std::freopen("/dev/null", "r", stdin); in == nullptr)
        return false;
    if (std::FILE* out = std::freopen("/dev/null", "w", stdout); out == nullptr)
        return false;
    return true;
}

// Re-reads the Milter.* keys of the configuration file. Policies, limits,
// rule-set choices and the verdict field change at once for new messages;
// the socket, the state folder, the processes, the engine and the library's
// own keys need a restart. A file with a bad line changes nothing.
void ReloadSettings(Filter& filter, const MainOptions& o) {
    std::vector<std::string> errors;
    MilterKeys keys;
    std::string text;
    if (!o.common.configFile.empty() && !ReadWholeFile(o.common.configFile, text))
        errors.push_back(o.common.configFile + ": cannot be read");
    MilterSettings fresh;
    if (errors.empty() &&
        ParseMilterKeys(text, o.common.configFile, o.common.overrides, keys, errors))
        ReadMilterSettings(LookupIn(keys), fresh, errors);
    if (!errors.empty()) {
        for (const std::string& e : errors)
            Log(true, e);
        Log(true, "configuration reload refused, the old settings stay");
        return;
    }
    std::lock_guard<std::mutex> hold(filter.settingsLock);
    MilterSettings& s = filter.settings;
    s.maxSize = fresh.maxSize;
    s.maxInFlight = fresh.maxInFlight;
    s.timeoutSeconds = fresh.timeoutSeconds;
    s.ruleSet = fresh.ruleSet;
    s.headerRuleSet = fresh.headerRuleSet;
    s.onVirus = fresh.onVirus;
    s.onFiltered = fresh.onFiltered;
    s.onParseError = fresh.onParseError;
    s.onScanError = fresh.onScanError;
    s.onTooBig = fresh.onTooBig;
    s.verdictField = fresh.verdictField;
    filter.keys = std::make_shared<MilterKeys>(std::move(keys));
    Log(false, "reloaded the milter settings");
}

}  // namespace

int main(int argc, char** argv) {
    MainOptions o;
    bool help = false;
    std::string error;
    if (!ParseMain(argc, argv, o, help, error)) {
        std::fprintf(stderr, "mailward-milter: %s (--help lists the options)\n", error.c_str());
        return EXIT_ERRORS;
    }
    if (help) {
        std::fputs(kHelp, stdout);
        return EXIT_CLEAN;
    }
    const std::string exeDir = ExecutableDir(argv[0]);
    if (o.checkerFd >= 0) {
        CheckerOptions c;
        c.common = o.common;
        c.spamListFile = o.spamListFile;
        c.fd = o.checkerFd;
        return RunChecker(c, exeDir);
    }
    // Checking processes run with another working folder's view of nothing:
    // every path they get is absolute.
    o.common.configFile = Absolute(o.common.configFile);
    o.common.rulesFile = Absolute(o.common.rulesFile);
    o.common.library = Absolute(o.common.library);
    o.spamListFile = Absolute(o.spamListFile);

    Filter filter;
    g_filter = &filter;
    {
        HostSession session(exeDir);
        if (!session.Configure(o.common))
            return EXIT_ERRORS;
        std::vector<std::string> errors;
        MilterKeys keys;
        std::string text;
        if (!o.common.configFile.empty() && !ReadWholeFile(o.common.configFile, text))
            errors.push_back(o.common.configFile + ": cannot be read");
        if (errors.empty())
            ParseMilterKeys(text, o.common.configFile, o.common.overrides, keys, errors);
        if (!errors.empty() || !ReadMilterSettings(LookupIn(keys), filter.settings, errors)) {
            for (const std::string& e : errors)
                std::fprintf(stderr, "mailward-milter: %s\n", e.c_str());
            return EXIT_ERRORS;
        }
        o.keepBackups = LookupIn(keys)("Milter.Backups") == "on";
        filter.keys = std::make_shared<MilterKeys>(std::move(keys));
        if (filter.settings.stateDir.empty())
            filter.settings.stateDir = session.Config().dataDir + "/milter";
    }
    MilterSettings& settings = filter.settings;
    settings.stateDir = Absolute(settings.stateDir);
    if (!o.socket.empty())
        settings.socket = o.socket;
    if (settings.socket.empty())
        settings.socket = "unix:" + settings.stateDir + "/" + DEFAULT_SOCKET_NAME;
    if (o.processes > 0)
        settings.processes = o.processes;
    if (settings.processes <= 0) {
        const unsigned cores = std::thread::hardware_concurrency();
        settings.processes =
            cores == 0 ? 1 : static_cast<int>(std::min<unsigned>(cores, MAX_PROCESSES));
    }
    if (!FieldSafe(settings.ruleSet) || !FieldSafe(settings.headerRuleSet) ||
        !FieldSafe(settings.stateDir)) {
        std::fprintf(
            stderr,
            "mailward-milter: rule-set names and Milter.StateDir cannot hold a TAB or line end\n");
        return EXIT_ERRORS;
    }
    std::error_code ec;
    fs::create_directories(settings.stateDir, ec);
    if (!filter.spool.Open(settings.stateDir + "/spool", error)) {
        std::fprintf(stderr, "mailward-milter: %s\n", error.c_str());
        return EXIT_ERRORS;
    }
    for (int i = 0; i < settings.processes; ++i)
        fs::create_directories(settings.stateDir + "/checker-" + std::to_string(i), ec);
    if (!PrepareSocketPath(settings.socket, error)) {
        std::fprintf(stderr, "mailward-milter: %s\n", error.c_str());
        return EXIT_ERRORS;
    }

    // Every thread from here on (the syslog forwarder, the pool's, libmilter's)
    // inherits the blocked set; only the main thread takes these signals.
    sigset_t signals;
    BlockSignals(signals);
    if (!o.foreground) {
        if (!Daemonize(error)) {
            std::fprintf(stderr, "mailward-milter: %s\n", error.c_str());
            return EXIT_ERRORS;
        }
        openlog("mailward-milter", LOG_PID, LOG_MAIL);
        g_syslog = true;
        ForwardStderrToSyslog();
    }
    if (!o.pidFile.empty()) {
        if (std::FILE* f = std::fopen(o.pidFile.c_str(), "w")) {
            std::fprintf(f, "%ld\n", static_cast<long>(::getpid()));
            std::fclose(f);
        }
    }
    if (filter.spool.Removed() > 0)
        Log(false, "removed " + std::to_string(filter.spool.Removed()) +
                       " leftover spool files of an earlier run");

    const std::string stateDir = settings.stateDir;
    filter.pool = std::make_unique<CheckerPool>(
        "/proc/self/exe", [&o, stateDir](int index) { return CheckerArgv(o, stateDir, index); },
        settings.processes, Log);
    if (!filter.pool->Start(error)) {
        Log(true, error);
        return EXIT_ERRORS;
    }

    smfiDesc desc{};
    desc.xxfi_name = const_cast<char*>("mailward-milter");
    desc.xxfi_version = SMFI_VERSION;
    desc.xxfi_flags = SMFIF_ADDHDRS | SMFIF_CHGHDRS | SMFIF_CHGBODY | SMFIF_QUARANTINE;
    desc.xxfi_envfrom = OnEnvFrom;
    desc.xxfi_envrcpt = OnEnvRcpt;
    desc.xxfi_header = OnHeader;
    desc.xxfi_eoh = OnEndOfHeader;
    desc.xxfi_body = OnBody;
    desc.xxfi_eom = OnEndOfMessage;
    desc.xxfi_abort = OnAbort;
    desc.xxfi_close = OnClose;
    desc.xxfi_negotiate = OnNegotiate;
    if (smfi_register(desc) != MI_SUCCESS ||
        smfi_setconn(const_cast<char*>(settings.socket.c_str())) != MI_SUCCESS ||
        smfi_settimeout(MILTER_TIMEOUT_SECONDS) != MI_SUCCESS ||
        smfi_opensocket(true) != MI_SUCCESS) {
        Log(true, "cannot listen on " + settings.socket);
        filter.pool->Stop();
        return EXIT_ERRORS;
    }
    if (const std::string path = UnixSocketPath(settings.socket); !path.empty()) {
        ::chmod(path.c_str(), settings.socketMode);
        if (!settings.socketGroup.empty()) {
            const group* g = ::getgrnam(settings.socketGroup.c_str());
            if (g == nullptr || ::chown(path.c_str(), static_cast<uid_t>(-1), g->gr_gid) != 0)
                Log(true, "cannot give the socket to group " + settings.socketGroup);
        }
    }
    Log(false, "listening on " + settings.socket + " with " + std::to_string(settings.processes) +
                   " checking process(es), engine " + (settings.engine ? "on" : "off"));

    std::atomic<bool> milterEnded{false};
    std::thread milter([&milterEnded] {
        smfi_main();
        milterEnded = true;
        ::kill(::getpid(), SIGTERM);  // wakes the main thread
    });

    std::atomic<bool> reloading{false};
    for (;;) {
        int sig = 0;
        if (sigwait(&signals, &sig) != 0)
            continue;
        if (sig == SIGHUP) {
            // Reloads on a thread of its own, so that the main thread is
            // back in sigwait at once for the next signal.
            if (reloading.exchange(true)) {
                Log(false, "a reload is already running");
                continue;
            }
            std::thread([&filter, &reloading, &o] {
                ReloadSettings(filter, o);
                std::string errors;
                if (filter.pool->Reload(errors))
                    Log(false, o.spamListFile.empty() ? "reloaded the rules"
                                                      : "reloaded the rules and the spam list");
                else
                    Log(true, "reload refused, the old rules and spam list stay: " + errors);
                reloading = false;
            }).detach();
            continue;
        }
        break;
    }
    Log(false, "stopping");
    filter.stopping = true;
    smfi_stop();
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(STOP_DRAIN_SECONDS);
    while (filter.inFlight > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    filter.pool->Stop();
    if (milter.joinable()) {
        if (milterEnded)
            milter.join();
        else
            milter.detach();
    }
    filter.spool.RemoveAll();
    if (const std::string path = UnixSocketPath(settings.socket); !path.empty())
        ::unlink(path.c_str());
    if (!o.pidFile.empty())
        ::unlink(o.pidFile.c_str());
    Log(false, "stopped after " + std::to_string(filter.messages.load()) + " message(s)");
    std::fflush(nullptr);
    std::_Exit(EXIT_CLEAN);
}
