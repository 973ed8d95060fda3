// vaveriz_clamd.cpp - the back end that has clamd scan (Engine = clamd), for
// sites that share one scanner farm among many mail servers.
//
// Every scan opens one connection to a clamd and streams the bytes with
// clamd's INSTREAM command ("zINSTREAM\0", then chunks of at most
// CLAMD_CHUNK_BYTES, each behind its length as four bytes in network order,
// and a chunk of length 0 at the end), then reads clamd's answer up to its
// NUL byte:
//   "stream: OK"                  clean
//   "stream: NAME FOUND"          a finding; a name that starts with
//                                 "Heuristics.Limits.Exceeded." is a limit
//                                 clamd reached (ENGINE_RESULT_LIMIT)
//   "INSTREAM size limit exceeded. ERROR"
//                                 clamd's StreamMaxLength: a limit
//   anything else ("... ERROR", an empty or cut answer)
//                                 a failure, never clean
// Data longer than ClamdStreamMaxLength, EngineMaxFileSize or
// EngineMaxScanSize is not sent at all: it is a limit reached, since clamd
// would only see its start.
//
// Sockets: a unix socket's path (it starts with '/') or HOST:PORT
// ("[v6]:port" for an IPv6 address). Each scan starts at the socket after
// the one the last scan started at (round robin); a scan whose clamd cannot
// be reached, closes the connection before its answer or does not answer
// within ClamdTimeout goes on to the next socket (failover), and that clamd
// is passed over for CLAMD_RETRY_SECONDS while any other is left. An answer
// is final: a clamd that says ERROR is not asked again for the same data.
// When every socket failed, the scan fails with one error line naming each.
//
// BuildClamdEngine asks the sockets in order for clamd's VERSION and takes
// the first answer; null when none answers. Describe() is that answer and
// " via clamd".
//
// On Windows the same code runs on Winsock (unix sockets through afunix.h).
#include "vaveriz/engine.h"
#include "qorcsock/qorcsock.h"

#if defined(_WIN32)
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0600
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // WSAPoll
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <afunix.h>
#else
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace vaveriz {
namespace {

// Bytes of one INSTREAM chunk (clamd reads them into its own buffer).
constexpr std::size_t CLAMD_CHUNK_BYTES = 64 * 1024;
// The longest answer read; clamd's are a line.
constexpr std::size_t CLAMD_ANSWER_MAX = 4096;
// How long a connection that failed while sending waits for the answer
// clamd may have sent before it closed (its size-limit answer).
constexpr int CLAMD_LAST_WORD_MS = 1000;

constexpr const char* LIMIT_ALERT_PREFIX = "Heuristics.Limits.Exceeded.";
constexpr const char* SIZE_LIMIT_ANSWER = "INSTREAM size limit exceeded";

using Clock = std::chrono::steady_clock;

#if defined(_WIN32)
using SocketHandle = SOCKET;
const SocketHandle NO_SOCKET = INVALID_SOCKET;
void CloseSocket(SocketHandle s) {
    closesocket(s);
}
int LastSocketError() {
    return WSAGetLastError();
}
bool WouldBlock(int error) {
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
}
int PollSockets(pollfd* fds, unsigned count, int timeoutMs) {
    return WSAPoll(fds, count, timeoutMs);
}
bool SetNonBlocking(SocketHandle s) {
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0;
}
std::string ErrorText(int error) {
    return "socket error " + std::to_string(error);
}
// Winsock is started once per process and left running.
bool StartSockets() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}
constexpr int SEND_FLAGS = 0;
#else
using SocketHandle = int;
const SocketHandle NO_SOCKET = -1;
void CloseSocket(SocketHandle s) {
    ::close(s);
}
int LastSocketError() {
    return errno;
}
bool WouldBlock(int error) {
    return error == EINPROGRESS || error == EAGAIN || error == EWOULDBLOCK;
}
int PollSockets(pollfd* fds, unsigned count, int timeoutMs) {
    return ::poll(fds, count, timeoutMs);
}
bool SetNonBlocking(SocketHandle s) {
    const int flags = ::fcntl(s, F_GETFL, 0);
    return flags >= 0 && ::fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
}
std::string ErrorText(int error) {
    return std::strerror(error);
}
bool StartSockets() {
    return true;
}
constexpr int SEND_FLAGS = MSG_NOSIGNAL;
#endif

// A connection to one clamd, closed with the object. Every wait ends at the
// deadline given to the call.
class Connection {
  public:
    Connection() = default;
    ~Connection() {
        if (m_socket != NO_SOCKET) {
            CloseSocket(m_socket);
        }
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Connects to `address` by `deadline`; false with the reason.
    bool Open(const std::string& address, Clock::time_point deadline, std::string* why);
    // Sends all `size` bytes by `deadline`.
    bool Send(const void* data, std::size_t size, Clock::time_point deadline, std::string* why);
    // Reads the answer up to its NUL byte (or the end of the connection) by
    // `deadline`; false when none came whole.
    bool ReadAnswer(Clock::time_point deadline, std::string* answer, std::string* why);

  private:
    // Waits for `events` by `deadline`; false with the reason.
    bool Wait(short events, Clock::time_point deadline, std::string* why);
    bool OpenUnix(const std::string& path, std::string* why);
    bool OpenInet(const std::string& host, const std::string& port, Clock::time_point deadline,
                  std::string* why);
    bool FinishConnect(Clock::time_point deadline, std::string* why);

    SocketHandle m_socket = NO_SOCKET;
};

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

bool Connection::Wait(short events, Clock::time_point deadline, std::string* why) {
    for (;;) {
        pollfd entry{};
        entry.fd = m_socket;
        entry.events = events;
        const int left = MillisecondsLeft(deadline);
        const int ready = PollSockets(&entry, 1, left);
        if (ready > 0) {
            return true;
        }
        if (ready == 0) {
            *why = "no answer in time";
            return false;
        }
        if (LastSocketError() != EINTR) {
            *why = ErrorText(LastSocketError());
            return false;
        }
    }
}

bool Connection::FinishConnect(Clock::time_point deadline, std::string* why) {
    if (!Wait(POLLOUT, deadline, why)) {
        if (*why == "no answer in time") {
            *why = "no connection in time";
        }
        return false;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(m_socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0 ||
        error != 0) {
        *why = ErrorText(error != 0 ? error : LastSocketError());
        return false;
    }
    return true;
}

bool Connection::OpenUnix(const std::string& path, std::string* why) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        *why = "the path is too long for a socket";
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    m_socket = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (m_socket == NO_SOCKET || !SetNonBlocking(m_socket)) {
        *why = ErrorText(LastSocketError());
        return false;
    }
    if (::connect(m_socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        return true;
    }
    if (!WouldBlock(LastSocketError())) {
        *why = ErrorText(LastSocketError());
        return false;
    }
    return true;  // FinishConnect waits
}

bool Connection::OpenInet(const std::string& host, const std::string& port,
                          Clock::time_point deadline, std::string* why) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (rc != 0 || found == nullptr) {
        *why = "cannot resolve " + host;
        return false;
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> hold(found, ::freeaddrinfo);
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        if (m_socket != NO_SOCKET) {
            CloseSocket(m_socket);
        }
        m_socket = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (m_socket == NO_SOCKET || !SetNonBlocking(m_socket)) {
            *why = ErrorText(LastSocketError());
            continue;
        }
        if (::connect(m_socket, a->ai_addr, static_cast<socklen_t>(a->ai_addrlen)) == 0) {
            return true;
        }
        if (WouldBlock(LastSocketError()) && FinishConnect(deadline, why)) {
            return true;
        }
        if (!WouldBlock(LastSocketError())) {
            *why = ErrorText(LastSocketError());
        }
    }
    return false;
}

bool Connection::Open(const std::string& address, Clock::time_point deadline, std::string* why) {
    if (!StartSockets()) {
        *why = "the sockets did not start";
        return false;
    }
    if (!address.empty() && address[0] == '/') {
        return OpenUnix(address, why) && FinishConnect(deadline, why);
    }
    std::string host;
    std::string port;
    const std::size_t colon = address.rfind(':');
    if (colon == std::string::npos || colon + 1 == address.size()) {
        *why = "not a unix socket path or HOST:PORT";
        return false;
    }
    host = address.substr(0, colon);
    port = address.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    return OpenInet(host, port, deadline, why);
}

bool Connection::Send(const void* data, std::size_t size, Clock::time_point deadline,
                      std::string* why) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const auto sent = ::send(m_socket, p, static_cast<int>(size), SEND_FLAGS);
        if (sent > 0) {
            p += sent;
            size -= static_cast<std::size_t>(sent);
            continue;
        }
        const int error = LastSocketError();
        if (sent < 0 && error == EINTR) {
            continue;
        }
        if (sent < 0 && WouldBlock(error)) {
            if (!Wait(POLLOUT, deadline, why)) {
                return false;
            }
            continue;
        }
        *why = "the connection broke off while sending (" + ErrorText(error) + ")";
        return false;
    }
    return true;
}

bool Connection::ReadAnswer(Clock::time_point deadline, std::string* answer, std::string* why) {
    answer->clear();
    char buffer[512];
    for (;;) {
        const auto got = ::recv(m_socket, buffer, sizeof buffer, 0);
        if (got > 0) {
            answer->append(buffer, static_cast<std::size_t>(got));
            const std::size_t nul = answer->find('\0');
            if (nul != std::string::npos) {
                answer->resize(nul);
                return true;
            }
            if (answer->size() > CLAMD_ANSWER_MAX) {
                *why = "an answer longer than " + std::to_string(CLAMD_ANSWER_MAX) + " bytes";
                return false;
            }
            continue;
        }
        if (got == 0) {
            // clamd closes after its answer; one without its NUL still
            // counts when it is a whole line.
            if (!answer->empty()) {
                return true;
            }
            *why = "the connection closed without an answer";
            return false;
        }
        const int error = LastSocketError();
        if (error == EINTR) {
            continue;
        }
        if (!WouldBlock(error)) {
            *why = "the connection broke off (" + ErrorText(error) + ")";
            return false;
        }
        if (!Wait(POLLIN, deadline, why)) {
            return false;
        }
    }
}

// The bytes of one scan, read again from the start for each attempt.
class Source {
  public:
    virtual ~Source() = default;
    // Back to the first byte; false with the reason.
    virtual bool Rewind(std::string* why) = 0;
    // The next bytes, at most CLAMD_CHUNK_BYTES (0 at the end); false when
    // they cannot be read.
    virtual bool Read(char* buffer, std::size_t* got) = 0;
};

class FileSource : public Source {
  public:
    explicit FileSource(std::string path) : m_path(std::move(path)) {}
    ~FileSource() override {
        if (m_file != nullptr) {
            std::fclose(m_file);
        }
    }
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    bool Rewind(std::string* why) override {
        if (m_file == nullptr) {
            m_file = std::fopen(m_path.c_str(), "rb");
        } else {
            std::rewind(m_file);
        }
        if (m_file == nullptr) {
            *why = std::strerror(errno);
            return false;
        }
        return true;
    }
    bool Read(char* buffer, std::size_t* got) override {
        *got = std::fread(buffer, 1, CLAMD_CHUNK_BYTES, m_file);
        return std::ferror(m_file) == 0;
    }

  private:
    std::string m_path;
    std::FILE* m_file = nullptr;
};

class MemorySource : public Source {
  public:
    MemorySource(const void* data, std::size_t size)
        : m_data(static_cast<const char*>(data)), m_size(size) {}
    bool Rewind(std::string*) override {
        m_offset = 0;
        return true;
    }
    bool Read(char* buffer, std::size_t* got) override {
        *got = std::min(CLAMD_CHUNK_BYTES, m_size - m_offset);
        std::memcpy(buffer, m_data + m_offset, *got);
        m_offset += *got;
        return true;
    }

  private:
    const char* m_data;
    std::size_t m_size;
    std::size_t m_offset = 0;
};

// How one attempt at one clamd ended.
enum class Attempt { ANSWERED, TRANSPORT_FAILED, SOURCE_FAILED };

class ClamdEngine : public Engine {
  public:
    ClamdEngine(ClamdSettings settings, const EngineLimits& limits, std::string version)
        : m_settings(std::move(settings)),
          m_limits(limits),
          m_version(std::move(version)),
          m_downUntil(m_settings.sockets.size()) {
        for (auto& d : m_downUntil) {
            d.store(0);
        }
    }

    int Scan(const char* path, std::string* virus) const override {
        std::error_code ec;
        const std::uintmax_t size = std::filesystem::file_size(path, ec);
        if (ec) {
            errmsg("vaveriz: scanning %s failed: %s", path, ec.message().c_str());
            return AV_RESULT_FAILED;
        }
        FileSource source(path);
        return ScanStream(size, source, path, virus);
    }

    int ScanBuffer(const void* data, std::size_t size, const char* name,
                   std::string* virus) const override {
        MemorySource source(data, size);
        return ScanStream(size, source, name, virus);
    }

    std::string Describe() const override { return m_version + " via clamd"; }

  private:
    // The limit `size` bytes pass, or null when they pass none.
    const char* LimitPassed(std::uint64_t size) const {
        if (size > m_settings.streamMaxLength) {
            return "ClamdStreamMaxLength";
        }
        if (size > m_limits.maxFileSize) {
            return "MaxFileSize";
        }
        if (size > m_limits.maxScanSize) {
            return "MaxScanSize";
        }
        return nullptr;
    }

    int ScanStream(std::uint64_t size, Source& source, const char* label,
                   std::string* virus) const {
        if (const char* limit = LimitPassed(size)) {
            errmsg("vaveriz: scanning %s stopped at a limit: %s (%llu bytes)", label, limit,
                   static_cast<unsigned long long>(size));
            return ENGINE_RESULT_LIMIT;
        }
        const std::size_t count = m_settings.sockets.size();
        const std::size_t start = m_next.fetch_add(1) % count;
        std::string failures;
        // Sockets that failed lately go last: first the others in turn, then
        // those, so that a scan still tries every clamd before it fails.
        std::vector<std::size_t> order;
        const std::int64_t now = NowSeconds();
        for (int pass = 0; pass < 2; ++pass) {
            for (std::size_t i = 0; i < count; ++i) {
                const std::size_t index = (start + i) % count;
                const bool down = m_downUntil[index].load() > now;
                if (down == (pass == 1)) {
                    order.push_back(index);
                }
            }
        }
        for (std::size_t index : order) {
            std::string answer;
            std::string why;
            const Attempt attempt = StreamTo(m_settings.sockets[index], source, &answer, &why);
            if (attempt == Attempt::ANSWERED) {
                m_downUntil[index].store(0);
                return Answer(answer, label, virus);
            }
            if (attempt == Attempt::SOURCE_FAILED) {
                errmsg("vaveriz: scanning %s failed: %s", label, why.c_str());
                return AV_RESULT_FAILED;
            }
            m_downUntil[index].store(NowSeconds() + CLAMD_RETRY_SECONDS);
            failures += (failures.empty() ? "" : "; ") + m_settings.sockets[index] + ": " + why;
        }
        errmsg("vaveriz: scanning %s failed: no clamd answered (%s)", label, failures.c_str());
        return AV_RESULT_FAILED;
    }

    // One INSTREAM of `source` at `address`.
    Attempt StreamTo(const std::string& address, Source& source, std::string* answer,
                     std::string* why) const {
        if (!source.Rewind(why)) {
            return Attempt::SOURCE_FAILED;
        }
        const Clock::time_point connectBy =
            Clock::now() + std::chrono::seconds(m_settings.connectTimeoutSeconds);
        Connection connection;
        if (!connection.Open(address, connectBy, why)) {
            return Attempt::TRANSPORT_FAILED;
        }
        const Clock::time_point answerBy =
            Clock::now() + std::chrono::seconds(m_settings.timeoutSeconds);
        static const char COMMAND[] = "zINSTREAM";
        bool sent = connection.Send(COMMAND, sizeof COMMAND, answerBy, why);
        std::vector<char> chunk(4 + CLAMD_CHUNK_BYTES);
        while (sent) {
            std::size_t got = 0;
            if (!source.Read(chunk.data() + 4, &got)) {
                *why = "the data could not be read";
                return Attempt::SOURCE_FAILED;
            }
            const auto length = static_cast<std::uint32_t>(got);
            chunk[0] = static_cast<char>(length >> 24);
            chunk[1] = static_cast<char>(length >> 16);
            chunk[2] = static_cast<char>(length >> 8);
            chunk[3] = static_cast<char>(length);
            sent = connection.Send(chunk.data(), 4 + got, answerBy, why);
            if (got == 0) {
                break;  // the chunk of length 0 ends the stream
            }
        }
        if (!sent) {
            // clamd closes a stream above its StreamMaxLength after saying so.
            std::string ignored;
            const Clock::time_point lastWord =
                std::min(answerBy, Clock::now() + std::chrono::milliseconds(CLAMD_LAST_WORD_MS));
            if (connection.ReadAnswer(lastWord, answer, &ignored)) {
                return Attempt::ANSWERED;
            }
            return Attempt::TRANSPORT_FAILED;
        }
        return connection.ReadAnswer(answerBy, answer, why) ? Attempt::ANSWERED
                                                            : Attempt::TRANSPORT_FAILED;
    }

    // The result of clamd's `answer` for `label`.
    static int Answer(const std::string& answer, const char* label, std::string* virus) {
        std::string text = answer;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        if (text.find(SIZE_LIMIT_ANSWER) != std::string::npos) {
            errmsg("vaveriz: scanning %s stopped at a limit: clamd's StreamMaxLength", label);
            return ENGINE_RESULT_LIMIT;
        }
        const std::string prefix = "stream: ";
        const std::string found = " FOUND";
        if (text == prefix + "OK") {
            return AV_RESULT_CLEAN;
        }
        if (text.size() > prefix.size() + found.size() &&
            text.compare(0, prefix.size(), prefix) == 0 &&
            text.compare(text.size() - found.size(), found.size(), found) == 0) {
            std::string name =
                text.substr(prefix.size(), text.size() - prefix.size() - found.size());
            if (name.compare(0, std::strlen(LIMIT_ALERT_PREFIX), LIMIT_ALERT_PREFIX) == 0) {
                errmsg("vaveriz: scanning %s stopped at a limit: %s (clamd)", label, name.c_str());
                return ENGINE_RESULT_LIMIT;
            }
            *virus = name;
            return AV_RESULT_VIRUS;
        }
        errmsg("vaveriz: scanning %s failed: clamd answered \"%s\"", label, text.c_str());
        return AV_RESULT_FAILED;
    }

    static std::int64_t NowSeconds() {
        return std::chrono::duration_cast<std::chrono::seconds>(Clock::now().time_since_epoch())
            .count();
    }

    const ClamdSettings m_settings;
    const EngineLimits m_limits;
    const std::string m_version;
    mutable std::atomic<std::size_t> m_next{0};
    // Per socket: until when (NowSeconds) it goes last, after a failure.
    mutable std::vector<std::atomic<std::int64_t>> m_downUntil;
};

// clamd's VERSION answer at `address`; false with the reason.
bool AskVersion(const std::string& address, const ClamdSettings& settings, std::string* version,
                std::string* why) {
    Connection connection;
    if (!connection.Open(
            address, Clock::now() + std::chrono::seconds(settings.connectTimeoutSeconds), why)) {
        return false;
    }
    const Clock::time_point answerBy = Clock::now() + std::chrono::seconds(settings.timeoutSeconds);
    static const char COMMAND[] = "zVERSION";
    if (!connection.Send(COMMAND, sizeof COMMAND, answerBy, why) ||
        !connection.ReadAnswer(answerBy, version, why)) {
        return false;
    }
    while (!version->empty() && (version->back() == '\n' || version->back() == '\r')) {
        version->pop_back();
    }
    if (version->compare(0, 7, "ClamAV ") != 0) {
        *why = "not clamd's answer: \"" + *version + "\"";
        return false;
    }
    // "ClamAV 1.4.6/27456/Mon Dec  1 09:00:00 2025": the engine and its
    // database version, without the date.
    const std::size_t second = version->find('/', version->find('/') + 1);
    if (second != std::string::npos) {
        version->resize(second);
    }
    return true;
}

}  // namespace

std::shared_ptr<const Engine> BuildClamdEngine(const ClamdSettings& settings,
                                               const EngineLimits& limits, std::string* error) {
    std::string failures;
    for (const std::string& address : settings.sockets) {
        std::string version;
        std::string why;
        if (AskVersion(address, settings, &version, &why)) {
            return std::make_shared<ClamdEngine>(settings, limits, version);
        }
        failures += (failures.empty() ? "" : "; ") + address + ": " + why;
    }
    *error = "no clamd answers (" + failures + ")";
    return nullptr;
}

}  // namespace vaveriz
