/*
 * host_config.cpp - embedded default configuration, configuration file and
 * command-line values, applied to the host library's store (miralib).
 */
#include "common/host_config.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "common/host_keys.h"
#include "common/text.h"
#include "miralib/miralib.h"

namespace fs = std::filesystem;

// The shipped files of the source tree (share/), for a build tree.
#ifndef MAILWARD_SOURCE_SHARE_DIR
#define MAILWARD_SOURCE_SHARE_DIR ""
#endif

namespace {

constexpr int BACKUPS_KEPT = 2;
// Room for the host library's "<path>:<line>: <reason>" of a refused file.
constexpr std::size_t CONFIG_ERROR_MAX = 1024;

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

bool HoldsShippedFiles(const fs::path& dir) {
    std::error_code ec;
    return fs::is_regular_file(dir / "templates" / "virremovedinfo.txt", ec) &&
           fs::is_directory(dir / "signatures", ec);
}

// What the configuration report names as the origin of the values set here.
constexpr const char* PROGRAM_DEFAULT = "the program's default";
constexpr const char* COMMAND_LINE = "-O";

bool Set(const char* key, const std::string& value, std::string& error,
         const char* origin = PROGRAM_DEFAULT) {
    if (miraconf_set_from(key, value.c_str(), origin) != 0) {
        error = std::string("configuration value ") + key + " = '" + value + "' was refused";
        return false;
    }
    return true;
}

bool MakeDir(const char* key, const std::string& dir, std::string& error) {
    if (dir.empty()) {
        error = std::string(key) + " is empty";
        return false;
    }
    std::error_code ec;
    // A folder made here is the service's alone (the library refuses to
    // keep backups in a folder others may write to, whatever the umask).
    if (fs::create_directories(dir, ec) && !ec)
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace, ec);
    if (ec || !fs::is_directory(dir, ec)) {
        error = std::string("cannot make ") + key + " " + dir +
                (ec ? ": " + ec.message() : std::string());
        return false;
    }
    return true;
}

}  // namespace

std::string ConfigValue(const char* key) {
    char buf[CONFIG_VALUE_MAX];
    if (miraconf_get(key, buf, sizeof buf) != 1)
        return "";
    return buf;
}

std::string FindShareDir(const std::string& exeDir) {
    std::vector<fs::path> candidates;
    if (!exeDir.empty())
        candidates.push_back(fs::path(exeDir) / ".." / "share" / "mailward");
    if (*MAILWARD_SOURCE_SHARE_DIR != '\0')
        candidates.emplace_back(MAILWARD_SOURCE_SHARE_DIR);
    for (const fs::path& dir : candidates) {
        if (HoldsShippedFiles(dir))
            return dir.lexically_normal().string();
    }
    return "";
}

std::string DefaultDataDir() {
    if (std::string dir = Env("MAILWARD_DATA_DIR"); !dir.empty())
        return dir;
    if (std::string state = Env("XDG_STATE_HOME"); !state.empty())
        return (fs::path(state) / "mailward").string();
#if defined(_WIN32)
    if (std::string local = Env("LOCALAPPDATA"); !local.empty())
        return (fs::path(local) / "mailward").string();
#else
    if (std::string home = Env("HOME"); !home.empty())
        return (fs::path(home) / ".local" / "state" / "mailward").string();
#endif
    std::error_code ec;
    return (fs::current_path(ec) / "mailward-data").string();
}

bool SetUpHostConfig(const HostConfigRequest& request, HostConfigResult& result,
                     std::string& error) {
    miraconf_reset();
    if (!Set("DataDir", DefaultDataDir(), error) ||
        !Set("BackupMode", std::to_string(BACKUPS_KEPT), error))
        return false;
    result.shareDir = FindShareDir(request.exeDir);
    if (!result.shareDir.empty()) {
        const fs::path share(result.shareDir);
        if (!Set("TemplateDir", (share / "templates").string(), error) ||
            !Set("SignatureDir", (share / "signatures").string(), error))
            return false;
    }

    // Every key of the file and of -O, and the programs' values, before
    // anything is applied: a typo is named with its line, and the key meant.
    std::vector<ConfigEntry> entries;
    std::vector<std::string> problems;
    if (!CheckConfiguration(request.configFile, request.overrides, entries, problems)) {
        error = kit::join(problems, "\n");
        return false;
    }
    if (!request.configFile.empty()) {
        char why[CONFIG_ERROR_MAX] = "";
        if (miraconf_load(request.configFile.c_str(), why, sizeof why) != 0) {
            error = *why != '\0' ? why : request.configFile + ": cannot be loaded";
            return false;
        }
    }
    for (const std::string& pair : request.overrides) {
        const std::size_t eq = pair.find('=');
        if (eq == std::string::npos || eq == 0) {
            error = "-O needs KEY=VALUE, got '" + pair + "'";
            return false;
        }
        const std::string key = pair.substr(0, eq);
        if (!Set(key.c_str(), pair.substr(eq + 1), error, COMMAND_LINE))
            return false;
    }
    // The scan file goes below the data folder in force, unless a folder of
    // its own was given.
    if (miraconf_is_set("TempDir") == 0 &&
        !Set("TempDir", (fs::path(ConfigValue("DataDir")) / "tmp").string(), error))
        return false;
    for (int id : HOST_TEXT_IDS) {
        const std::string key = "HostText." + std::to_string(id);
        if (miraconf_get(key.c_str(), nullptr, 0) == 1)
            S_MODULENAME_set(id, ConfigValue(key.c_str()).c_str());
    }

    result.dataDir = ConfigValue("DataDir");
    result.tempDir = ConfigValue("TempDir");
    return MakeDir("DataDir", result.dataDir, error) && MakeDir("TempDir", result.tempDir, error);
}
