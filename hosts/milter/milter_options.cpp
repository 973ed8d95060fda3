/*
 * milter_options.cpp - the options of mailward-milter, its manual page and
 * the command line of its checking processes.
 */
#include "milter_options.h"

#include <filesystem>

#include "checker_pool.h"
#include "common/cli_options.h"
#include "milter_policy.h"

namespace fs = std::filesystem;

const char* const MILTER_HELP =
    "NAME\n"
    "    mailward-milter - mailward as a mail filter (milter) for Postfix and Sendmail\n"
    "\n"
    "SYNOPSIS\n"
    "    mailward-milter [-f] [-s SOCKET] [-c FILE] [--rules FILE] [-l FILE]\n"
    "                    [-O KEY=VALUE]... [-p N] [--pid-file FILE] [-v]\n"
    "    mailward-milter --check-config [-c FILE] [--rules FILE] [-l FILE]\n"
    "    mailward-milter --ping [SOCKET] [-c FILE] [-O KEY=VALUE]...\n"
    "    mailward-milter --version\n"
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
    "        --check-config     check the configuration, the rules file and the spam\n"
    "                           list as a start would, print every key in force with\n"
    "                           where its value came from, and end (0 good, 2 not)\n"
    "        --ping [SOCKET]    ask the milter listening on SOCKET (default: the one\n"
    "                           configured) for the milter protocol's option\n"
    "                           negotiation; prints PONG and ends with 0 when it\n"
    "                           answers within 5 s, else says why and ends with 1\n"
    "        --version          the program's version\n"
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
    "    envelope sender, else by recipient domain, else Milter.RuleSet; the\n"
    "    envelope sender is whatever the client claims, so a set chosen by it is\n"
    "    chosen by the sender), Milter.VerdictField (default X-Mailward-Verdict;\n"
    "    a sender's own field of that name is removed), Milter.Backups (on: the\n"
    "    library's BackupMode and FlushMails apply; default off: no backup and no\n"
    "    flush of each spooled message, which the MTA holds anyway),\n"
    "    Milter.WorkerPark (on | off, default on: each checking process keeps its\n"
    "    library worker waiting for the next message, which then starts at once\n"
    "    instead of at the worker's next look at its queue, every 100 ms),\n"
    "    Milter.WatchSignatures (on | off, default on: a file written, moved in\n"
    "    or removed in SignatureDir or SystemSignatureDir loads a new engine),\n"
    "    Milter.DnsList (DNS block lists of sender domains, asked beside the spam\n"
    "    list: a zone or several; an answer in 127.0.0.0/8 lists the sender),\n"
    "    Milter.DnsServer (IPv4[:PORT]; default the system's resolver),\n"
    "    Milter.DnsTimeout (seconds, default 3; a list that does not answer\n"
    "    lists no one), Milter.MetricsAddress (HOST:PORT on a loopback address,\n"
    "    e.g. 127.0.0.1:9358; default none: see WATCHING).\n"
    "\n"
    "POLICIES\n"
    "    Milter.OnVirus      deliver (rewritten, with the notice; default) |\n"
    "                        reject (550) | discard | quarantine\n"
    "    Milter.OnFiltered   deliver (default) | reject | discard | quarantine\n"
    "    Milter.OnParseError reject (550 5.6.0; default) | quarantine | tempfail |\n"
    "                        accept (as received, tagged):\n"
    "                        a mail the library cannot parse\n"
    "    Milter.OnDisagreement reject (550 5.6.0; default) | quarantine | tempfail |\n"
    "                        accept (as the library wrote it, tagged): mail readers\n"
    "                        may see an attachment the check did not\n"
    "    Milter.OnScanError  tempfail (default) | accept (as received, tagged): the\n"
    "                        engine failed or timed out; it wins over a parse\n"
    "                        failure\n"
    "    Milter.OnLimit      reject (550 5.7.0; default) | quarantine | accept (as\n"
    "                        received, tagged): the engine\n"
    "                        stopped at one of its limits, as it would at every\n"
    "                        try; never tempfailed\n"
    "    Milter.OnTooBig     reject (552 5.3.4; default) | tempfail | accept (as\n"
    "                        received, tagged): over Milter.MaxSize\n"
    "    quarantine: the mail as received (never the rewritten copy) goes into\n"
    "    the quarantine (Quarantine.Dir, default <DataDir>/quarantine) and the\n"
    "    MTA discards its own copy; an entry that cannot be made tempfails the\n"
    "    mail. \"mailward quarantine list | show | release | delete | expire\"\n"
    "    manage it; release hands the original to the MTA's sendmail, whose mail\n"
    "    Postfix does not pass to the milters again (non_smtpd_milters is empty\n"
    "    by default).\n"
    "    A checking process that died, the library refusing a job, too many\n"
    "    messages in flight, or a stop in progress: always tempfail (451),\n"
    "    except in monitor mode.\n"
    "    One rule set per SMTP transaction: a recipient whose rule set differs\n"
    "    from the first accepted recipient's gets 451 4.7.1 and comes again in a\n"
    "    transaction of its own (in monitor mode it is taken, the first\n"
    "    recipient's set judging).\n"
    "    Milter.Mode         enforce (default) | monitor: a trial beside the\n"
    "                        site's own filter. Every mail is checked, its verdict\n"
    "                        logged (action=accept (monitor: would reject)),\n"
    "                        counted and put in the verdict field, and the mail\n"
    "                        delivered as received, header and body untouched.\n"
    "                        A check that failed (timeout, a checking process\n"
    "                        that died, busy) is delivered as received too: the\n"
    "                        one setting that lets unchecked mail through\n"
    "\n"
    "REPLY TEXTS, NOTICES, HOOKS\n"
    "    Milter.ReplyVirus, Milter.ReplyFiltered, Milter.ReplyParseError,\n"
    "    Milter.ReplyDisagreement, Milter.ReplyLimit, Milter.ReplyTooBig,\n"
    "    Milter.ReplyTempfail (a check that failed): the SMTP reply text after the\n"
    "    codes when that outcome is refused; %{virus} %{rules} %{queueid}\n"
    "    %{verdict}, %% for '%'; an unknown placeholder is refused with its line.\n"
    "    Sent as printable ASCII, at most 400 bytes. Default: the program's own.\n"
    "    Milter.NoticeTo ADDRESS: a notice by mail of every rejected, discarded or\n"
    "    quarantined message (monitor mode: every one that would have been),\n"
    "    through Milter.Sendmail (default /usr/sbin/sendmail), from\n"
    "    Milter.NoticeTemplate (default <TemplateDir>/admin-notice.txt; also\n"
    "    %{sender} %{recipients} %{subject} %{messageid} %{size} %{time}\n"
    "    %{action} %{outcome}; the sender's texts cut, control characters as ?).\n"
    "    Milter.Hook PROGRAM [ARG]...: run without a shell for every message whose\n"
    "    verdict is not clean, with MAILWARD_OUTCOME, MAILWARD_QUEUE_ID,\n"
    "    MAILWARD_SENDER, MAILWARD_RECIPIENTS, MAILWARD_VERDICT, MAILWARD_ACTION,\n"
    "    MAILWARD_VIRUS, MAILWARD_RULES, MAILWARD_MESSAGE_ID, MAILWARD_SUBJECT,\n"
    "    MAILWARD_SIZE, MAILWARD_MODE (and MAILWARD_WOULD in monitor mode) in its\n"
    "    environment. Notices and hooks start after the answer to the MTA and are\n"
    "    never waited for: at most Milter.MaxChildren (default 8) at once, one more\n"
    "    logged and dropped; one running past Milter.HookTimeout (default 30 s)\n"
    "    is killed; each end is logged with its exit status.\n"

    "\n"
    "SIGNALS\n"
    "    SIGHUP   reload the Milter.* policies, limits, rule-set choices, mode,\n"
    "             reply texts, notice (and its template) and hook of the\n"
    "             configuration file, and the rules file and spam list in every\n"
    "             checking process; a file with a bad line is reported\n"
    "             (FILE:LINE: reason) and the old settings, rules and list stay;\n"
    "             then a new engine is loaded beside the running one and takes\n"
    "             over once it is ready (new checking processes; the old ones\n"
    "             finish their messages); a database that does not load keeps\n"
    "             the running engine\n"
    "    SIGTERM  finish the messages in work, tempfail new ones, exit\n"
    "\n"
    "WATCHING\n"
    "    With Milter.MetricsAddress set, http://HOST:PORT/metrics serves the\n"
    "    Prometheus text format: mailward_milter_messages_total{verdict,action}\n"
    "    (verdict clean | virus | filtered | unchecked; action deliver | accept |\n"
    "    tempfail | reject | discard | quarantine), mailward_milter_check_seconds\n"
    "    (histogram), mailward_milter_messages_in_flight,\n"
    "    mailward_milter_checking_processes, mailward_milter_engine_signatures and\n"
    "    mailward_milter_engine_age_seconds (seconds since the engine in force\n"
    "    loaded its databases; the local engine only),\n"
    "    mailward_milter_reloads_total{result=ok|refused},\n"
    "    mailward_milter_engine_loads_total{result=ok|failed} and\n"
    "    mailward_milter_ready (1 while it listens with a checking process alive).\n"
    "    mailward-milter --ping checks that the milter answers on its socket.\n"
    "\n"
    "FILES\n"
    "    <state>/spool       one private file per message in work; empty after a\n"
    "                        clean stop, leftovers removed at start\n"
    "    <state>/checkers    TempDir of the checking processes (each makes its\n"
    "                        private folders in it)\n"
    "\n"
    "EXAMPLE (Postfix main.cf)\n"
    "    smtpd_milters = unix:/run/mailward/milter.sock\n"
    "    milter_default_action = tempfail\n"
    "    milter_protocol = 6\n"
    "\n"
    "EXIT STATUS\n"
    "    0 after a clean stop, 2 when the set-up failed; --ping: 0 when the milter\n"
    "    answered, 1 when it did not, 2 when the configuration is bad.\n";

bool ParseMilterOptions(int argc, char** argv, MainOptions& o, bool& help, std::string& error) {
    CLI::App app("mailward as a mail filter (milter)", "mailward-milter");
    app.set_help_flag();
    app.add_flag("-h,--help", help);
    app.add_option("-s,--socket", o.socket);
    app.add_option("-l,--spam-list", o.spamListFile);
    app.add_option("-p,--processes", o.processes)->check(CLI::Range(1, MAX_PROCESSES));
    app.add_flag("-f,--foreground", o.foreground);
    app.add_option("--pid-file", o.pidFile);
    app.add_option("--loader-fd", o.loaderFd)->check(CLI::NonNegativeNumber);
    app.add_flag("--version", o.version);
    app.add_flag("--check-config", o.checkConfig);
    std::string pingSocket;
    CLI::Option* ping = app.add_option("--ping", pingSocket)->expected(0, 1);
    AddCommonOptions(app, o.common,
                     OPTION_CONFIG | OPTION_RULES | OPTION_VALUE | OPTION_LIBRARY | OPTION_VERBOSE);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        error = e.what();
        return false;
    }
    o.ping = ping->count() > 0;
    if (!pingSocket.empty())
        o.socket = pingSocket;
    return true;
}

std::string AbsolutePath(const std::string& path) {
    if (path.empty())
        return path;
    std::error_code ec;
    const fs::path p = fs::absolute(path, ec);
    return ec ? path : p.lexically_normal().string();
}

void MakePathsAbsolute(MainOptions& o) {
    o.common.configFile = AbsolutePath(o.common.configFile);
    o.common.rulesFile = AbsolutePath(o.common.rulesFile);
    o.common.library = AbsolutePath(o.common.library);
    o.spamListFile = AbsolutePath(o.spamListFile);
}

std::vector<std::string> LoaderArgv(const MainOptions& o, const std::string& stateDir) {
    std::vector<std::string> a = {"mailward-milter", "--loader-fd", std::to_string(CHECKER_FD)};
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
    a.insert(a.end(), {"--option", "TempDir=" + stateDir + "/" + CHECKER_TEMP_FOLDER});
    for (int v = 0; v < o.common.verbosity; ++v)
        a.push_back("--verbose");
    return a;
}
