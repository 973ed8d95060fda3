/*
 * milter_ping.cpp - the option negotiation with a running milter (see
 * milter_ping.h; POSIX).
 */
#include "milter_ping.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/host_session.h"
#include "milter_daemon.h"

namespace {

// The milter protocol's packets: a 4-byte length (big-endian) and a command.
constexpr char COMMAND_OPTNEG = 'O';
constexpr char COMMAND_QUIT = 'Q';
// All actions and protocol steps offered, as an MTA that can do everything.
constexpr std::uint32_t OFFERED_ACTIONS = 0x1ff;
constexpr std::uint32_t OFFERED_STEPS = 0x1fffff;
// A negotiation answer is 13 bytes, with macro lists a few hundred.
constexpr std::uint32_t ANSWER_MAX = 65536;

using Clock = std::chrono::steady_clock;

void PutU32(std::vector<unsigned char>& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<unsigned char>(v >> shift));
}

std::uint32_t GetU32(const unsigned char* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

std::vector<unsigned char> Packet(char command, const std::vector<std::uint32_t>& words) {
    std::vector<unsigned char> p;
    PutU32(p, static_cast<std::uint32_t>(1 + 4 * words.size()));
    p.push_back(static_cast<unsigned char>(command));
    for (std::uint32_t w : words)
        PutU32(p, w);
    return p;
}

int MillisLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// The address an inet:PORT@HOST or inet6:PORT@HOST socket names; false with the
// reason.
bool InetAddress(const std::string& where, bool six, sockaddr_storage& address, socklen_t& length,
                 std::string& error) {
    const std::string rest = where.substr(where.find(':') + 1);
    const std::size_t at = rest.find('@');
    const std::string port = rest.substr(0, at);
    const std::string host = at == std::string::npos ? "localhost" : rest.substr(at + 1);
    addrinfo hints{};
    hints.ai_family = six ? AF_INET6 : AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0) {
        error = "cannot resolve '" + host + "' port '" + port + "': " + ::gai_strerror(rc);
        return false;
    }
    std::memcpy(&address, found->ai_addr, found->ai_addrlen);
    length = found->ai_addrlen;
    ::freeaddrinfo(found);
    return true;
}

// A connected socket to `where` within the deadline, or -1 with the reason.
int Connect(const std::string& where, Clock::time_point deadline, std::string& error) {
    sockaddr_storage address{};
    socklen_t length = 0;
    if (const std::string path = UnixSocketPath(where); !path.empty()) {
        sockaddr_un& un = reinterpret_cast<sockaddr_un&>(address);
        if (path.size() >= sizeof un.sun_path) {
            error = "the socket path is too long";
            return -1;
        }
        un.sun_family = AF_UNIX;
        path.copy(un.sun_path, sizeof un.sun_path - 1);
        length = sizeof un;
    } else if (where.rfind("inet:", 0) == 0 || where.rfind("inet6:", 0) == 0) {
        if (!InetAddress(where, where.rfind("inet6:", 0) == 0, address, length, error))
            return -1;
    } else {
        error = "not a socket (use unix:/path, inet:PORT@HOST or inet6:PORT@HOST)";
        return -1;
    }
    const int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&address), length);
    if (rc != 0 && (errno == EINPROGRESS || errno == EAGAIN)) {
        pollfd p{fd, POLLOUT, 0};
        while ((rc = ::poll(&p, 1, MillisLeft(deadline))) < 0 && errno == EINTR) {
        }
        int failure = 0;
        socklen_t size = sizeof failure;
        if (rc == 0) {
            errno = ETIMEDOUT;
            rc = -1;
        } else if (rc > 0 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &size) == 0) {
            errno = failure;
            rc = failure == 0 ? 0 : -1;
        }
    }
    if (rc != 0) {
        error = errno == ENOENT ? std::string("no such socket")
                                : std::string("cannot connect: ") + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const std::vector<unsigned char>& data, Clock::time_point deadline) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, MillisLeft(deadline)) == 0)
            return false;
    }
    return true;
}

// Reads exactly `size` bytes before the deadline; false with the reason.
bool ReadAll(int fd, unsigned char* data, std::size_t size, Clock::time_point deadline,
             int timeoutMs, std::string& error) {
    std::size_t got = 0;
    while (got < size) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, MillisLeft(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0) {
            error = "no answer within " + std::to_string(timeoutMs / 1000) + " s";
            return false;
        }
        const ssize_t n = ::recv(fd, data + got, size - got, 0);
        if (n == 0) {
            error = "the connection was closed without an answer";
            return false;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            error = std::string("read: ") + std::strerror(errno);
            return false;
        }
        if (n > 0)
            got += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool PingMilter(const std::string& socket, int timeoutMs, unsigned& version, std::string& error) {
    const Clock::time_point connectBy = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const int fd = Connect(socket, connectBy, error);
    if (fd < 0)
        return false;
    const Clock::time_point answerBy = Clock::now() + std::chrono::milliseconds(timeoutMs);
    bool good = false;
    unsigned char head[4];
    std::vector<unsigned char> body;
    if (!SendAll(fd,
                 Packet(COMMAND_OPTNEG, {PING_PROTOCOL_VERSION, OFFERED_ACTIONS, OFFERED_STEPS}),
                 answerBy)) {
        error = "the negotiation could not be sent";
    } else if (ReadAll(fd, head, sizeof head, answerBy, timeoutMs, error)) {
        const std::uint32_t length = GetU32(head);
        if (length < 13 || length > ANSWER_MAX) {
            error = "the answer is not a milter's option negotiation";
        } else {
            body.resize(length);
            if (ReadAll(fd, body.data(), body.size(), answerBy, timeoutMs, error)) {
                good = body[0] == static_cast<unsigned char>(COMMAND_OPTNEG);
                if (good)
                    version = GetU32(body.data() + 1);
                else
                    error = "the answer is not a milter's option negotiation";
            }
        }
    }
    if (good)
        SendAll(fd, Packet(COMMAND_QUIT, {}), answerBy);
    ::close(fd);
    return good;
}

int RunPing(const std::string& socket) {
    const Clock::time_point began = Clock::now();
    unsigned version = 0;
    std::string error;
    if (!PingMilter(socket, PING_TIMEOUT_MS, version, error)) {
        std::fprintf(stderr, "mailward-milter: ping %s: %s\n", socket.c_str(), error.c_str());
        return EXIT_FOUND;
    }
    const long long ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began).count();
    std::printf("PONG (%s, milter protocol %u, %lld ms)\n", socket.c_str(), version, ms);
    return EXIT_CLEAN;
}
