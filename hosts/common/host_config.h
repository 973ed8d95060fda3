/*
 * host_config.h - the host's configuration: the embedded default set-up,
 * the configuration file and single values given on the command line.
 *
 * EMBEDDED DEFAULT (used for every key the configuration file does not
 * name, so the program runs with no set-up at all):
 *   DataDir       $MAILWARD_DATA_DIR, else $XDG_STATE_HOME/mailward, else
 *                 ~/.local/state/mailward (%LOCALAPPDATA%\mailward on
 *                 Windows), else ./mailward-data
 *   TempDir       <DataDir>/tmp
 *   BackupMode    2 (backups are kept in <DataDir>/origmail)
 *   TemplateDir   <share>/templates      (the shipped virremovedinfo.txt)
 *   SignatureDir  <share>/signatures (the shipped signature database)
 * where <share> is the first of <exe>/../share/mailward (an installed tree)
 * and the source tree the program was built from that holds both folders.
 * Every other key keeps the host library's default (StampLabel "mailward",
 * SubjectMark "[SPAM]", VirusMailMode 0, SystemSignatureDir
 * /var/lib/clamav, ...), and the host texts their English defaults.
 *
 * ORDER: embedded default, then the configuration file (--config; a file
 * with a bad line is refused whole), then -O KEY=VALUE values in the order
 * given. Afterwards DataDir and TempDir are made when missing.
 *
 * HOST TEXTS: a configuration key HostText.N (N one of the numbers the
 * library uses: 63, 65, 67, 68, 69, 70) replaces host text N.
 */
#ifndef MAILWARD_TOOLS_HOST_CONFIG_H
#define MAILWARD_TOOLS_HOST_CONFIG_H

#include <string>
#include <vector>

// Longest value the tool reads back from the configuration store.
constexpr std::size_t CONFIG_VALUE_MAX = 4097;

struct HostConfigRequest {
    std::string configFile;              // empty: none
    std::vector<std::string> overrides;  // "KEY=VALUE"
    std::string exeDir;
};

struct HostConfigResult {
    std::string shareDir;  // where the shipped files were found ("" none)
    std::string dataDir;   // DataDir in force
    std::string tempDir;   // TempDir in force
};

// Applies the configuration in the order above and makes the folders.
// False with `error` when the file or a value is refused, or a folder
// cannot be made.
bool SetUpHostConfig(const HostConfigRequest& request, HostConfigResult& result,
                     std::string& error);

// The value of a configuration key ("" when it has none).
std::string ConfigValue(const char* key);

// The folder holding the shipped templates/ and signatures/, "" when
// none is found.
std::string FindShareDir(const std::string& exeDir);

// The embedded default DataDir (see the file comment).
std::string DefaultDataDir();

#endif
