/*
 * notify_socket.h - a service manager's notification socket for the tests
 * (POSIX): a datagram socket bound at a path in a scratch folder of its own
 * below /tmp (socket paths have at most 107 bytes), that a program under
 * test finds through NOTIFY_SOCKET as systemd gives it.
 *
 *   NotifySocket  Bound() false when the socket could not be made;
 *                 Path() its path, for NOTIFY_SOCKET;
 *                 Next(ms) the next message, or "" when none came in `ms`.
 */
#ifndef MAILWARD_TESTS_SUPPORT_NOTIFY_SOCKET_H
#define MAILWARD_TESTS_SUPPORT_NOTIFY_SOCKET_H

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "support/test_files.h"

namespace testkit {

class NotifySocket {
  public:
    NotifySocket() {
        m_path = m_scratch.Path("notify");
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (m_fd < 0 || m_path.size() >= sizeof addr.sun_path)
            return;
        m_path.copy(addr.sun_path, m_path.size());
        m_bound = ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~NotifySocket() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    bool Bound() const { return m_bound; }
    const std::string& Path() const { return m_path; }
    std::string Next(int ms) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, ms) != 1)
            return "";
        char buf[4096];
        const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
    }

  private:
    ScratchDir m_scratch;
    std::string m_path;
    int m_fd = -1;
    bool m_bound = false;
};

}  // namespace testkit

#endif
