/*
 * milter_main.cpp - mailward-milter: mailward in the mail flow of Postfix
 * or Sendmail through libmilter.
 *
 * main reads the command line (milter_options.h) and prints its version,
 * checks the configuration (--check-config, milter_check.h), becomes a
 * checking process (--checker-fd, checker_process.h) or sets up the milter:
 * its settings (milter_settings.h, with the command line over the file),
 * its state folder and socket (milter_daemon.h), the daemon and its log
 * (milter_log.h), the checking processes (checker_pool.h), the callbacks
 * (milter_callbacks.h), and then runs it until a stop (milter_loop.h).
 * Once it listens it tells the service manager so and starts the watchdog
 * (service_notify.h).
 *
 * THREADS: libmilter runs one thread per SMTP session (smfi_main runs on a
 * thread of its own); a session spools its message and waits in
 * CheckerPool::Check for its own answer, so a slow check holds up only its
 * session. The main thread takes the signals (milter_loop.h).
 *
 * The checking processes are this program run again with --checker-fd;
 * each gets TempDir=<state>/checker-N of its own. They share DataDir (the
 * folders of "move" rules, and the backups when Milter.Backups = on) and
 * the signature folders: that relies on the library keeping several
 * processes on one DataDir safe, as it does for any host that runs more
 * than one process.
 *
 * EXIT STATUS: EXIT_CLEAN after a clean stop, EXIT_ERRORS when the set-up
 * failed (with the reason on stderr, or in the log once it runs).
 */
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "checker_pool.h"
#include "checker_process.h"
#include "common/host_session.h"
#include "milter_callbacks.h"
#include "milter_check.h"
#include "milter_daemon.h"
#include "milter_log.h"
#include "milter_loop.h"
#include "milter_options.h"
#include "milter_settings.h"
#include "service_notify.h"

namespace {

constexpr const char* DEFAULT_SOCKET_NAME = "mailward-milter.sock";

int SetUpFailed(const std::string& reason) {
    std::fprintf(stderr, "mailward-milter: %s\n", reason.c_str());
    return EXIT_ERRORS;
}

// The settings at start: the library's configuration (for DataDir), the
// Milter.* keys, then the command line over them. False with the reasons
// printed.
bool StartSettings(const std::string& exeDir, MainOptions& o, MilterSettings& settings,
                   MilterKeys& keys) {
    HostSession session(exeDir);
    if (!session.Configure(o.common))
        return false;
    std::vector<std::string> errors;
    if (!LoadMilterSettings(o.common.configFile, o.common.overrides, keys, settings, errors)) {
        for (const std::string& e : errors)
            SetUpFailed(e);
        return false;
    }
    o.keepBackups = settings.backups;
    if (settings.stateDir.empty())
        settings.stateDir = session.Config().dataDir + "/milter";
    settings.stateDir = AbsolutePath(settings.stateDir);
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
        SetUpFailed("rule-set names and Milter.StateDir cannot hold a TAB or line end");
        return false;
    }
    return true;
}

// The checking processes, started and ready.
bool StartPool(Filter& filter, const MainOptions& o, const MilterSettings& settings) {
    const std::string stateDir = settings.stateDir;
    filter.pool = std::make_unique<CheckerPool>(
        "/proc/self/exe", [&o, stateDir](int index) { return CheckerArgv(o, stateDir, index); },
        settings.processes, Log);
    std::string error;
    if (!filter.pool->Start(error)) {
        Log(true, error);
        return false;
    }
    return true;
}

// The watchdog's look at the milter: the locks its sessions take are free
// (the settings', then the checking processes'), and one checking process
// at least is alive.
bool Healthy(const Filter& filter) {
    if (filter.stopping)
        return false;
    (void)filter.config.Settings();
    return filter.pool->Alive() > 0;
}

int RunCheckerProcess(const MainOptions& o, const std::string& exeDir) {
    CheckerOptions c;
    c.common = o.common;
    c.spamListFile = o.spamListFile;
    c.fd = o.checkerFd;
    return RunChecker(c, exeDir);
}

}  // namespace

int main(int argc, char** argv) {
    MainOptions o;
    bool help = false;
    std::string error;
    if (!ParseMilterOptions(argc, argv, o, help, error)) {
        std::fprintf(stderr, "mailward-milter: %s (--help lists the options)\n", error.c_str());
        return EXIT_ERRORS;
    }
    if (help) {
        std::fputs(MILTER_HELP, stdout);
        return EXIT_CLEAN;
    }
    if (o.version) {
        std::printf("mailward-milter %s\n", MAILWARD_VERSION);
        return EXIT_CLEAN;
    }
    const std::string exeDir = ExecutableDir(argv[0]);
    if (o.checkConfig)
        return RunCheckConfig(o, exeDir);
    if (o.checkerFd >= 0)
        return RunCheckerProcess(o, exeDir);
    MakePathsAbsolute(o);

    Filter filter;
    MilterSettings settings;
    MilterKeys keys;
    if (!StartSettings(exeDir, o, settings, keys))
        return EXIT_ERRORS;
    filter.config.Start(settings, std::move(keys));
    if (!PrepareStateDir(settings.stateDir, settings.processes, filter.spool, error) ||
        !PrepareSocketPath(settings.socket, error))
        return SetUpFailed(error);

    // Every thread from here on (the syslog forwarder, the pool's, libmilter's)
    // inherits the blocked set; only the main thread takes these signals.
    sigset_t signals;
    BlockSignals(signals);
    if (!o.foreground) {
        if (!Daemonize(error))
            return SetUpFailed(error);
        LogToSyslog();
    }
    WritePidFile(o.pidFile);
    if (filter.spool.Removed() > 0)
        Log(false, "removed " + std::to_string(filter.spool.Removed()) +
                       " leftover spool files of an earlier run");
    if (!StartPool(filter, o, settings))
        return EXIT_ERRORS;
    if (!RegisterMilter(filter, settings.socket)) {
        Log(true, "cannot listen on " + settings.socket);
        filter.pool->Stop();
        return EXIT_ERRORS;
    }
    if (!GiveSocket(settings.socket, settings.socketMode, settings.socketGroup))
        Log(true, "cannot give the socket to group " + settings.socketGroup);
    const std::string listening =
        "listening on " + settings.socket + " with " + std::to_string(settings.processes) +
        " checking process(es), engine " + (settings.engine ? "on" : "off");
    Log(false, listening);
    // Lives until the exit: RunMilter does not return. Started before the
    // main thread takes the signals, it blocks them as every other thread.
    Watchdog watchdog;
    watchdog.Start([&filter] { return Healthy(filter); });
    if (!CatchSignals(signals)) {
        Log(true, "cannot take the signals");
        filter.pool->Stop();
        return EXIT_ERRORS;
    }
    NotifyReady(listening);
    RunMilter(filter, o, settings.socket, signals);
}
