/*
 * milter_settings.h - the milter's settings as read from the configuration
 * file, at start and again on SIGHUP, and the copy in force that every
 * session reads.
 *
 * LoadMilterSettings is the one routine that reads them, at start and on
 * a reload: the whole configuration checked first (CheckConfiguration of
 * host_keys.h: the library's keys and the programs', unknown keys and
 * values of the wrong kind with file and line), the configuration file
 * (none when `configFile` is empty), its
 * Milter.* keys with the -O values after them (ParseMilterKeys), then every
 * setting (ReadMilterSettings) over the defaults, and the notice's template
 * when Milter.NoticeTo is set (LoadNoticeTemplate). False with one line per
 * problem ("FILE: cannot be read", "FILE:LINE: reason", "KEY = 'v': ...");
 * `keys` and `settings` are then not to be used.
 *
 * MilterConfig holds the settings in force and the keys they came from
 * (the rule-set choices are looked up in the keys per message). A session
 * takes a copy of both at the start of its work, so a reload in between
 * never mixes two versions within one message. Reload puts fresh settings
 * in place, but only what may change while the milter runs: the policies,
 * the limits (Milter.MaxSize, MaxInFlight, Timeout), the rule sets, the
 * verdict field, and the mode, reply texts, notice (its template read anew)
 * and hook (outcome_settings.h). The socket, the state folder, the processes, the engine,
 * the worker park and the DNS lists are read once at start (the checking
 * processes read the last three themselves when they start).
 *
 * THREADS: every MilterConfig member may be called from any thread.
 */
#ifndef MAILWARD_HOSTS_MILTER_MILTER_SETTINGS_H
#define MAILWARD_HOSTS_MILTER_MILTER_SETTINGS_H

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "milter_policy.h"

bool LoadMilterSettings(const std::string& configFile, const std::vector<std::string>& overrides,
                        MilterKeys& keys, MilterSettings& settings,
                        std::vector<std::string>& errors);

class MilterConfig {
  public:
    // The settings read at start, with what the command line set over them.
    void Start(MilterSettings settings, MilterKeys keys);
    // Takes what may change at run time from `fresh` (see above).
    void Reload(const MilterSettings& fresh, MilterKeys keys);

    MilterSettings Settings() const;
    std::shared_ptr<const MilterKeys> Keys() const;

  private:
    mutable std::mutex m_lock;
    MilterSettings m_settings;
    std::shared_ptr<const MilterKeys> m_keys = std::make_shared<MilterKeys>();
};

#endif
