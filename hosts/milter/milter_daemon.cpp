/*
 * milter_daemon.cpp - folders, socket file, signals and the fork of the
 * milter daemon.
 */
#include "milter_daemon.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "common/host_session.h"
#include "milter_options.h"

namespace fs = std::filesystem;

std::string UnixSocketPath(const std::string& where) {
    if (where.rfind("unix:", 0) == 0)
        return where.substr(5);
    if (where.rfind("local:", 0) == 0)
        return where.substr(6);
    if (!where.empty() && where[0] == '/')
        return where;
    return "";
}

bool PrepareSocketPath(const std::string& where, std::string& error) {
    const std::string path = UnixSocketPath(where);
    if (path.empty())
        return true;
    std::error_code ec;
    const fs::path parent = fs::path(path).parent_path();
    if (!parent.empty() && !fs::is_directory(parent, ec)) {
        fs::create_directories(parent, ec);
        if (ec) {
            error = "cannot make " + parent.string() + ": " + ec.message();
            return false;
        }
        ::chmod(parent.c_str(), SOCKET_DIR_MODE);
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return true;
    if (!S_ISSOCK(st.st_mode)) {
        error = path + " exists and is not a socket";
        return false;
    }
    ::unlink(path.c_str());
    return true;
}

bool GiveSocket(const std::string& where, unsigned mode, const std::string& group) {
    const std::string path = UnixSocketPath(where);
    if (path.empty())
        return true;
    ::chmod(path.c_str(), mode);
    if (group.empty())
        return true;
    const struct group* g = ::getgrnam(group.c_str());
    return g != nullptr && ::chown(path.c_str(), static_cast<uid_t>(-1), g->gr_gid) == 0;
}

bool PrepareStateDir(const std::string& stateDir, Spool& spool, std::string& error) {
    std::error_code ec;
    fs::create_directories(stateDir, ec);
    if (!spool.Open(stateDir + "/spool", error))
        return false;
    // What checking processes of an earlier run left there is of no use.
    fs::remove_all(stateDir + "/" + CHECKER_TEMP_FOLDER, ec);
    fs::create_directories(stateDir + "/" + CHECKER_TEMP_FOLDER, ec);
    return true;
}

void BlockSignals(sigset_t& set) {
    sigemptyset(&set);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool Daemonize(std::string& error) {
    const pid_t pid = ::fork();
    if (pid < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (pid > 0)
        std::_Exit(EXIT_CLEAN);
    ::setsid();
    if (::fork() > 0)
        std::_Exit(EXIT_CLEAN);
    if (std::FILE* in = std::freopen("/dev/null", "r", stdin); in == nullptr)
        return false;
    if (std::FILE* out = std::freopen("/dev/null", "w", stdout); out == nullptr)
        return false;
    return true;
}

void WritePidFile(const std::string& file) {
    if (file.empty())
        return;
    if (std::FILE* f = std::fopen(file.c_str(), "w")) {
        std::fprintf(f, "%ld\n", static_cast<long>(::getpid()));
        std::fclose(f);
    }
}
