/*
 * checker_process.h - one checking process: its own library instance
 * behind the socket it shares with the milter.
 *
 * The process, forked from the engine loader (checker_loader.h), sets up
 * like "mailward check" (configuration, library, rules, engine: the one the
 * loader built, spam list), answers "H", then queues every request with
 * MAILWARD_check_mail; each report is answered from the library's worker
 * thread as it arrives, so requests queue up in the library as they come.
 * It ends when the milter closes the socket, after the reports of the
 * messages it has queued (the library drops queued jobs at its exit, and
 * the milter would wait for them).
 */
#ifndef MAILWARD_TOOLS_MILTER_CHECKER_PROCESS_H
#define MAILWARD_TOOLS_MILTER_CHECKER_PROCESS_H

#include <string>

#include "common/host_session.h"

struct CheckerOptions {
    CommonOptions common;
    std::string spamListFile;  // empty: none
    int fd = -1;               // the socket to the milter
};

// Runs until the milter closes the socket; the process's exit status.
int RunChecker(const CheckerOptions& o, const std::string& exeDir);

#endif
