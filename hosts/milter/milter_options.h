/*
 * milter_options.h - the command line of mailward-milter.
 *
 * ParseMilterOptions reads argv with CLI11 (the forms "mailward check"
 * takes: -x VALUE, --name=VALUE, -O repeated); false with CLI11's reason.
 * --help is answered with MILTER_HELP, the program's manual page, rather
 * than CLI11's own list. --ping [SOCKET] asks a running milter for an
 * answer (milter_ping.h), on SOCKET or the one configured. --loader-fd N makes the program the
 * engine loader (checker_loader.h), which forks the checking processes, instead of the milter.
 *
 * MakePathsAbsolute turns the configuration, rules, library and spam-list
 * paths into absolute ones: the loader gets them on its command line
 * (LoaderArgv) and must not depend on a working folder.
 *
 * LoaderArgv is the command line of the engine loader, which its checking
 * processes run with: the same files and -O values,
 * TempDir=<state>/CHECKER_TEMP_FOLDER, the verbosity, and BackupMode=0 /
 * FlushMails=0 unless Milter.Backups = on (keepBackups).
 */
#ifndef MAILWARD_HOSTS_MILTER_MILTER_OPTIONS_H
#define MAILWARD_HOSTS_MILTER_MILTER_OPTIONS_H

#include <string>
#include <vector>

#include "common/host_session.h"

struct MainOptions {
    CommonOptions common;
    std::string socket;
    std::string spamListFile;
    std::string pidFile;
    int processes = 0;
    bool foreground = false;
    bool keepBackups = false;  // Milter.Backups = on
    int loaderFd = -1;
    bool version = false;      // --version: print it and end
    bool checkConfig = false;  // --check-config: milter_check.h
    bool ping = false;         // --ping [SOCKET]: milter_ping.h (SOCKET into `socket`)
};

// The TempDir of the checking processes below the state folder; each makes
// its private folders in it.
constexpr const char* CHECKER_TEMP_FOLDER = "checkers";

extern const char* const MILTER_HELP;

bool ParseMilterOptions(int argc, char** argv, MainOptions& o, bool& help, std::string& error);
void MakePathsAbsolute(MainOptions& o);
std::vector<std::string> LoaderArgv(const MainOptions& o, const std::string& stateDir);

// `path` made absolute and normal ("" stays "", a path that cannot be
// made absolute stays as it is).
std::string AbsolutePath(const std::string& path);

#endif
