/*
 * milter_log.h - the milter's log: stderr in the foreground, syslog
 * (facility mail) once it runs as a daemon.
 *
 * Log writes one line; an error line gets "error: " in front on stderr and
 * priority LOG_ERR in syslog, every other line LOG_INFO. Lines on stderr
 * carry a time stamp and the process id, as syslog would add them.
 *
 * LogToSyslog opens syslog and from then on sends every line there; it
 * also turns stderr into a pipe whose lines go to syslog (LOG_NOTICE), so
 * that the library's log of the checking processes, which inherit stderr,
 * lands in syslog too. Call it once, after the daemon set-up.
 *
 * THREADS: Log may be called from any thread.
 */
#ifndef MAILWARD_HOSTS_MILTER_MILTER_LOG_H
#define MAILWARD_HOSTS_MILTER_MILTER_LOG_H

#include <string>

void Log(bool error, const std::string& line);
void LogToSyslog();

#endif
