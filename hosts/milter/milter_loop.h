/*
 * milter_loop.h - the milter's main thread once it listens: libmilter on a
 * thread of its own, signals taken here, then the stop.
 *
 * SIGNALS: the main thread takes SIGHUP (reload) and SIGTERM/SIGINT (stop);
 * every other thread blocks them (BlockSignals before any thread starts;
 * a thread the main thread starts later starts with them blocked). The main thread leaves
 * them unblocked (CatchSignals), with a handler that writes each one's
 * number into a pipe it reads. libmilter's own signal thread waits for the
 * same signals with sigwait and takes a SIGHUP as a stop of its listener;
 * a thread in sigwait has the signals it waits for unblocked, so the
 * kernel may hand it a signal sent to the process (and any signal sent to
 * that thread alone). The program therefore defines sigwait itself: after
 * CatchSignals it never returns, and libmilter's thread never sees a
 * signal. CatchSignals comes before the milter tells the service manager
 * it is ready, so a reload right after is a reload. A reload runs on a
 * thread of its own, so that the main thread reads the next signal at
 * once; a SIGHUP during a reload has one more reload follow it (a file may
 * have changed after the running one read it), and more SIGHUPs meanwhile
 * add nothing.
 *
 * RELOAD: the settings (LoadMilterSettings; a file with a bad line changes
 * nothing and is logged), then the rules file and spam list in every
 * checking process (CheckerPool::Reload; a refused file keeps the old
 * rules and list, and its FILE:LINE: reason is logged), then, when those
 * took, a new engine beside the running one (CheckerPool::RequestRenewal,
 * which logs its outcome). Each reload is counted, ok when the settings
 * and the rules both took (CountReload, milter_metrics.h).
 *
 * STOP: new messages are tempfailed, smfi_stop ends the listener, the
 * messages in work get STOP_DRAIN_SECONDS to finish, then the checking
 * processes are stopped, the spool emptied, the socket and pid files
 * removed, and the process exits with EXIT_CLEAN (libmilter's threads are
 * not waited for).
 */
#ifndef MAILWARD_HOSTS_MILTER_MILTER_LOOP_H
#define MAILWARD_HOSTS_MILTER_MILTER_LOOP_H

#include <signal.h>

#include <string>

#include "milter_callbacks.h"
#include "milter_options.h"

constexpr int STOP_DRAIN_SECONDS = 5;
constexpr int DRAIN_POLL_MS = 50;

// From here on the calling (main) thread takes the signals of `signals`
// (see above). False when the pipe or a handler cannot be set up.
bool CatchSignals(const sigset_t& signals);

// Runs libmilter and answers signals until a stop; never returns. Call
// CatchSignals first.
[[noreturn]] void RunMilter(Filter& filter, const MainOptions& o, const std::string& socket,
                            const sigset_t& signals);

// The reload of SIGHUP (see above).
void ReloadMilter(Filter& filter, const MainOptions& o);

#endif
