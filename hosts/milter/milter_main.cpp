/*
 * milter_main.cpp - mailward-milter: mailward in the mail flow of Postfix
 * or Sendmail through libmilter.
 *
 * main reads the command line (milter_options.h) and prints its version,
 * checks the configuration (--check-config, milter_check.h), becomes the
 * engine loader (--loader-fd, checker_loader.h), which forks the checking
 * processes (checker_process.h), or sets up the milter:
 * its settings (milter_settings.h, with the command line over the file),
 * its state folder and socket (milter_daemon.h), the daemon and its log
 * (milter_log.h), the checking processes (checker_pool.h), the callbacks
 * (milter_callbacks.h), and then runs it until a stop (milter_loop.h).
 * Once it listens it tells the service manager so and starts the watchdog
 * (service_notify.h). With Milter.MetricsAddress its metrics endpoint
 * starts before the engine loads (milter_metrics.h); --ping asks a running
 * milter on its socket instead (milter_ping.h). The quarantine
 * (Quarantine.Dir) is opened at the start, so that a reload may turn a
 * policy to quarantine.
 *
 * THREADS: libmilter runs one thread per SMTP session (smfi_main runs on a
 * thread of its own); a session spools its message and waits in
 * CheckerPool::Check for its own answer, so a slow check holds up only its
 * session. The main thread takes the signals (milter_loop.h).
 *
 * The checking processes are forked from the engine loader, this program
 * run again with --loader-fd (checker_loader.h), and share its engine;
 * their TempDir is <state>/checkers, in which each library service makes
 * private folders of its own. They share DataDir (the folders of "move"
 * rules, and the backups when Milter.Backups = on) and the signature
 * folders: that relies on the library keeping several processes on one
 * DataDir safe, as it does for any host that runs more than one process.
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

#include "checker_loader.h"
#include "checker_pool.h"
#include "common/host_session.h"
#include "common/text.h"
#include "milter_callbacks.h"
#include "milter_check.h"
#include "milter_daemon.h"
#include "milter_log.h"
#include "milter_loop.h"
#include "milter_metrics.h"
#include "milter_options.h"
#include "milter_ping.h"
#include "milter_settings.h"
#include "service_notify.h"
#include "signature_watch.h"

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

// The engine loader and the checking processes, started and ready.
bool StartPool(Filter& filter, const MainOptions& o, const MilterSettings& settings) {
    const std::string stateDir = settings.stateDir;
    filter.pool = std::make_unique<CheckerPool>(
        "/proc/self/exe", [&o, stateDir] { return LoaderArgv(o, stateDir); }, settings.processes,
        Log);
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

// A new engine when the signature folders change (Milter.WatchSignatures),
// for the engine in the process (clamd loads its own database).
void WatchSignatures(SignatureWatch& watch, Filter& filter, const MilterSettings& settings) {
    const std::string backEnd = kit::ascii_lower(ConfigValue("Engine"));
    if (!settings.engine || !settings.watchSignatures || (!backEnd.empty() && backEnd != "local"))
        return;
    std::vector<std::string> folders = {ConfigValue("SignatureDir")};
    if (const std::string system = ConfigValue("SystemSignatureDir"); !system.empty())
        folders.push_back(system);
    std::string error;
    CheckerPool* pool = filter.pool.get();
    if (!watch.Start(
            folders, SIGNATURE_SETTLE_MS,
            [pool](const std::string& changed) { pool->RequestRenewal(changed + " changed"); },
            error)) {
        Log(true, "the signature folders are not watched: " + error);
        return;
    }
    std::string watched;
    for (const std::string& f : watch.Watched())
        watched += (watched.empty() ? "" : ", ") + f;
    Log(false, "watching " + watched + " for new signatures");
}

int RunLoaderProcess(const MainOptions& o, const std::string& exeDir) {
    CheckerOptions c;
    c.common = o.common;
    c.spamListFile = o.spamListFile;
    c.fd = o.loaderFd;
    return RunLoader(c, exeDir);
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
    if (o.ping) {
        MakePathsAbsolute(o);
        MilterSettings settings;
        MilterKeys keys;
        if (o.socket.empty() && !StartSettings(exeDir, o, settings, keys))
            return EXIT_ERRORS;
        return RunPing(o.socket.empty() ? settings.socket : o.socket);
    }
    if (o.loaderFd >= 0)
        return RunLoaderProcess(o, exeDir);
    MakePathsAbsolute(o);

    Filter filter;
    MilterSettings settings;
    MilterKeys keys;
    if (!StartSettings(exeDir, o, settings, keys))
        return EXIT_ERRORS;
    filter.config.Start(settings, std::move(keys));
    const std::string quarantineDir =
        AbsolutePath(QuarantineDirFor(ConfigValue("Quarantine.Dir"), ConfigValue("DataDir")));
    if (!PrepareStateDir(settings.stateDir, filter.spool, error) ||
        !filter.quarantine.Open(quarantineDir, error) || !PrepareSocketPath(settings.socket, error))
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
    // Up before the engine loads, so that a scrape tells "not ready" then;
    // after the fork into the background, which the Exposer's threads
    // would not survive.
    if (!settings.metricsAddress.empty()) {
        if (!StartMetrics(settings.metricsAddress, error)) {
            Log(true, error);
            return EXIT_ERRORS;
        }
        Log(false, "metrics on http://" + settings.metricsAddress + METRICS_PATH);
    }
    if (!StartPool(filter, o, settings))
        return EXIT_ERRORS;
    SetMetricsSources(
        {[&filter] { return filter.pool->Alive(); }, [&filter] { return filter.inFlight.load(); }});
    if (!RegisterMilter(filter, settings.socket)) {
        Log(true, "cannot listen on " + settings.socket);
        filter.pool->Stop();
        return EXIT_ERRORS;
    }
    if (!GiveSocket(settings.socket, settings.socketMode, settings.socketGroup))
        Log(true, "cannot give the socket to group " + settings.socketGroup);
    // Both live until the exit: RunMilter does not return. Started before
    // the main thread takes the signals, their threads block them as every
    // other thread.
    SignatureWatch watch;
    WatchSignatures(watch, filter, settings);
    Watchdog watchdog;
    watchdog.Start([&filter] { return Healthy(filter); });
    const std::string listening =
        "listening on " + settings.socket + " with " + std::to_string(settings.processes) +
        " checking process(es), engine " + (settings.engine ? "on" : "off");
    Log(false, listening);
    if (!CatchSignals(signals)) {
        Log(true, "cannot take the signals");
        filter.pool->Stop();
        return EXIT_ERRORS;
    }
    SetMetricsListening(true);
    NotifyReady(listening);
    RunMilter(filter, o, settings.socket, signals);
}
