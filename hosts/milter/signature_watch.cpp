/*
 * signature_watch.cpp - inotify on the signature folders (Linux).
 */
#include "signature_watch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

constexpr std::uint32_t WATCHED_EVENTS =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF;

using Clock = std::chrono::steady_clock;

}  // namespace

SignatureWatch::~SignatureWatch() {
    Stop();
}

bool SignatureWatch::Start(const std::vector<std::string>& folders, int settleMs, Callback onChange,
                           std::string& error) {
    m_inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_inotify < 0) {
        error = std::string("inotify: ") + std::strerror(errno);
        return false;
    }
    std::string missing;
    for (const std::string& folder : folders) {
        const int wd = ::inotify_add_watch(m_inotify, folder.c_str(), WATCHED_EVENTS | IN_ONLYDIR);
        if (wd >= 0)
            m_folders[wd] = folder;
        else
            missing += (missing.empty() ? "" : "; ") + folder + ": " + std::strerror(errno);
    }
    if (m_folders.empty() || ::pipe2(m_stopPipe, O_CLOEXEC) != 0) {
        error = m_folders.empty() ? "no folder can be watched (" + missing + ")"
                                  : std::string("pipe: ") + std::strerror(errno);
        Stop();
        return false;
    }
    m_settleMs = settleMs;
    m_onChange = std::move(onChange);
    m_thread = std::thread([this] { Run(); });
    return true;
}

void SignatureWatch::Stop() {
    if (m_thread.joinable()) {
        const char stop = 'x';
        while (::write(m_stopPipe[1], &stop, 1) < 0 && errno == EINTR) {
        }
        m_thread.join();
    }
    auto close = [](int& fd) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    };
    close(m_inotify);
    close(m_stopPipe[0]);
    close(m_stopPipe[1]);
    std::lock_guard<std::mutex> hold(m_lock);
    m_folders.clear();
}

std::vector<std::string> SignatureWatch::Watched() const {
    std::lock_guard<std::mutex> hold(m_lock);
    std::vector<std::string> out;
    for (const auto& [wd, folder] : m_folders)
        out.push_back(folder);
    return out;
}

std::string SignatureWatch::ReadEvents() {
    alignas(inotify_event) char buf[8192];
    std::string first;
    for (;;) {
        const ssize_t n = ::read(m_inotify, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return first;
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            std::lock_guard<std::mutex> hold(m_lock);
            const auto folder = m_folders.find(e->wd);
            if (folder == m_folders.end())
                continue;
            if ((e->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) != 0) {
                if (first.empty())
                    first = folder->second;
                if ((e->mask & IN_IGNORED) != 0)
                    m_folders.erase(folder);
                continue;
            }
            const char* name = e->len > 0 ? e->name : "";
            if ((e->mask & IN_ISDIR) != 0 || name[0] == '\0' || name[0] == '.')
                continue;
            if (first.empty())
                first = folder->second + "/" + name;
        }
    }
}

void SignatureWatch::Run() {
    std::string changed;  // the first change since the last call, "" while none
    Clock::time_point last;
    for (;;) {
        int timeout = -1;
        if (!changed.empty()) {
            const auto quiet =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - last).count();
            timeout = quiet >= m_settleMs ? 0 : static_cast<int>(m_settleMs - quiet);
        }
        pollfd fds[2] = {{m_inotify, POLLIN, 0}, {m_stopPipe[0], POLLIN, 0}};
        const int ready = ::poll(fds, 2, timeout);
        if (ready < 0 && errno != EINTR)
            return;
        if ((fds[1].revents & POLLIN) != 0)
            return;
        if ((fds[0].revents & POLLIN) != 0) {
            const std::string first = ReadEvents();
            if (!first.empty()) {
                if (changed.empty())
                    changed = first;
                last = Clock::now();
            }
            continue;
        }
        if (ready == 0 && !changed.empty()) {
            std::string what;
            what.swap(changed);
            m_onChange(what);
        }
    }
}
