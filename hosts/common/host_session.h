/*
 * host_session.h - what every subcommand sets up before it talks to the
 * library, in this order: the log sink, the configuration (host_config.h),
 * the library itself (library_loader.h), the rule book (rules_file.h), and
 * for the commands that need one, the service with its rules.
 *
 * Each step reports its own failure on stderr and returns false; the
 * command then exits with EXIT_ERRORS. StopService ends the service
 * (queued jobs are dropped by the library; the check command waits for
 * every callback before it stops).
 */
#ifndef MAILWARD_TOOLS_HOST_SESSION_H
#define MAILWARD_TOOLS_HOST_SESSION_H

#include <string>
#include <vector>

#include "common/host_config.h"
#include "common/library_loader.h"
#include "common/rules_file.h"

// Exit status of the program.
constexpr int EXIT_CLEAN = 0;
constexpr int EXIT_FOUND = 1;   // something was found or changed
constexpr int EXIT_ERRORS = 2;  // a mail or the set-up met an error

struct CommonOptions {
    std::string configFile;
    std::string rulesFile;  // empty: the embedded example rule set
    std::string library;
    std::vector<std::string> overrides;
    int verbosity = 0;
    bool json = false;
};

class HostSession {
  public:
    explicit HostSession(std::string exeDir) : m_exeDir(std::move(exeDir)) {}
    ~HostSession();
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;

    bool InstallLog(int verbosity);
    bool Configure(const CommonOptions& o);
    bool LoadLibrary(const CommonOptions& o);
    bool LoadRules(const CommonOptions& o);
    // MAILWARD_init and the rules; move folders are made when `makeDirs`.
    bool StartService(bool makeDirs);
    void StopService();

    const MailwardApi& Api() const { return m_api; }
    const RuleBook& Book() const { return m_book; }
    const std::string& RulesName() const { return m_rulesName; }
    const HostConfigResult& Config() const { return m_config; }
    const std::string& LibraryPath() const { return m_libraryPath; }

    // "no rule set 'x' in FILE (its sets: a, b)" or "" when it exists.
    std::string MissingSet(const std::string& name) const;

  private:
    std::string m_exeDir;
    MailwardApi m_api;
    std::string m_libraryPath;
    HostConfigResult m_config;
    RuleBook m_book;
    std::string m_rulesName;
    bool m_logInstalled = false;
    bool m_serviceRunning = false;
};

#endif
