/*
 * milter_daemon.h - the milter's set-up as a daemon: its folders, its
 * socket file, its signals, the fork into the background and its pid file.
 *
 *   UnixSocketPath      the file of a socket address ("unix:/p", "local:/p" or
 *                       "/p"); "" for an inet socket
 *   PrepareSocketPath   makes the socket's folder (mode 0755) when missing
 *                       and removes a socket file an earlier run left;
 *                       refuses anything else in the socket's place
 *   GiveSocket          the socket file's mode and, when named, its group
 *                       (after libmilter made it); false when the group
 *                       cannot be given
 *   PrepareStateDir     <state>, <state>/spool (opened, leftovers removed)
 *                       and <state>/checkers (CHECKER_TEMP_FOLDER, emptied)
 *   BlockSignals        blocks SIGHUP, SIGTERM and SIGINT in the calling
 *                       thread, and so in every thread it starts after;
 *                       the set is what the main thread then waits for
 *   Daemonize           forks twice into a session of its own, stdin and
 *                       stdout on /dev/null (stderr stays until the log
 *                       takes it: milter_log.h); the parents exit 0
 *   WritePidFile        the process id into FILE ("" writes nothing)
 * Functions with `error` return false with the reason in it.
 */
#ifndef MAILWARD_HOSTS_MILTER_MILTER_DAEMON_H
#define MAILWARD_HOSTS_MILTER_MILTER_DAEMON_H

#include <signal.h>

#include <string>

#include "spool.h"

constexpr unsigned SOCKET_DIR_MODE = 0755;  // a socket folder the milter makes

std::string UnixSocketPath(const std::string& where);
bool PrepareSocketPath(const std::string& where, std::string& error);
bool GiveSocket(const std::string& where, unsigned mode, const std::string& group);
bool PrepareStateDir(const std::string& stateDir, Spool& spool, std::string& error);
void BlockSignals(sigset_t& set);
bool Daemonize(std::string& error);
void WritePidFile(const std::string& file);

#endif
