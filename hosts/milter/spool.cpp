/*
 * spool.cpp - private spool folder and message files (POSIX).
 */
#include "spool.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <vector>

namespace {

constexpr std::size_t READ_CHUNK = 65536;

std::string Errno(int e) {
    return std::strerror(e);
}

std::uint64_t RandomTag() {
    static std::mutex lock;
    static std::mt19937_64 engine{std::random_device{}()};
    std::lock_guard<std::mutex> hold(lock);
    return engine();
}

}  // namespace

bool Spool::Open(const std::string& dir, std::string& error) {
    m_dir = dir;
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot make the spool folder " + dir + ": " + Errno(errno);
        return false;
    }
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = "the spool " + dir + " is not a folder";
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        error = "the spool folder " + dir + " belongs to another user";
        return false;
    }
    if ((st.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0) {
        error = "cannot make the spool folder " + dir + " private: " + Errno(errno);
        return false;
    }
    m_removed = RemoveAll();
    return true;
}

std::size_t Spool::RemoveAll() {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(m_dir.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            if (std::strncmp(e->d_name, SPOOL_PREFIX, std::strlen(SPOOL_PREFIX)) == 0)
                names.emplace_back(e->d_name);
        }
        ::closedir(d);
    }
    std::size_t removed = 0;
    for (const std::string& n : names)
        removed += ::unlink((m_dir + "/" + n).c_str()) == 0 ? 1 : 0;
    return removed;
}

int Spool::Create(std::string& path, std::string& error) {
    for (int attempt = 0; attempt < SPOOL_CREATE_TRIES; ++attempt) {
        char name[96];
        std::snprintf(name, sizeof name, "%s%ld-%llu-%016llx.eml", SPOOL_PREFIX,
                      static_cast<long>(::getpid()), static_cast<unsigned long long>(++m_sequence),
                      static_cast<unsigned long long>(RandomTag()));
        path = m_dir + "/" + name;
        const int fd =
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0)
            return fd;
        if (errno != EEXIST) {
            error = "cannot make " + path + ": " + Errno(errno);
            path.clear();
            return -1;
        }
    }
    error = "no free spool name in " + m_dir;
    path.clear();
    return -1;
}

bool SpoolMessage::Begin(Spool& spool, std::string& error) {
    Discard();
    m_fd = spool.Create(m_path, error);
    m_size = 0;
    m_errno = 0;
    return m_fd >= 0;
}

bool SpoolMessage::Write(const char* data, std::size_t size) {
    if (m_fd < 0 || m_errno != 0)
        return false;
    while (size > 0) {
        const ssize_t n = ::write(m_fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            m_errno = errno;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        m_size += static_cast<std::uint64_t>(n);
    }
    return true;
}

bool SpoolMessage::Finish(std::string& error) {
    if (m_fd >= 0 && ::close(m_fd) != 0 && m_errno == 0)
        m_errno = errno;
    m_fd = -1;
    if (m_errno != 0) {
        error = "cannot write " + m_path + ": " + Errno(m_errno);
        return false;
    }
    return true;
}

void SpoolMessage::Discard() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    if (!m_path.empty()) {
        ::unlink(m_path.c_str());
        m_path.clear();
    }
}

bool ReadWholeFile(const std::string& path, std::string& text) {
    text.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[READ_CHUNK];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::close(fd);
            return n == 0;
        }
        text.append(buf, static_cast<std::size_t>(n));
    }
}
