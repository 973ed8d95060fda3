/*
 * test_dns_list.cpp - the DNS block list against a name server of the
 * test's own on loopback: listed, unlisted and error answers, zones in
 * turn, senders that are never asked about, a server that keeps silent,
 * hostile answers (5,000 bytes over TCP, a compression loop, counts and
 * lengths that lie), and the settings.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "milter/dns_list.h"
#include "milter/milter_policy.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr std::size_t UDP_ANSWER_MAX = 512;
constexpr int BIND_TRIES = 20;

// Answers A questions over UDP and TCP on one port: the names in `records`
// with their address, the names in `silent` not at all, the names in
// `shaped` with the answer their function builds from the query's header
// and question (over UDP only the header and question with the truncation
// bit when it is longer than a datagram may be, so that the resolver asks
// again over TCP), every other name NXDOMAIN.
class FakeNameServer {
  public:
    std::map<std::string, std::array<unsigned char, 4>> records;
    std::set<std::string> silent;
    std::map<std::string, std::function<Bytes(const Bytes& question)>> shaped;

    FakeNameServer() {
        for (int tries = 0; tries < BIND_TRIES && m_port == 0; ++tries)
            BindBoth();
    }
    ~FakeNameServer() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        for (int fd : {m_fd, m_tcp})
            if (fd >= 0)
                ::close(fd);
    }
    void Start() {
        m_thread = std::thread([this] { Serve(); });
    }
    std::string Address() const { return "127.0.0.1:" + std::to_string(m_port); }
    int Asked() const { return m_asked; }

  private:
    // A UDP and a TCP socket on one free port of the loopback.
    void BindBoth() {
        const int udp = ::socket(AF_INET, SOCK_DGRAM, 0);
        const int tcp = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        const bool ok =
            udp >= 0 && tcp >= 0 && ::bind(udp, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::getsockname(udp, reinterpret_cast<sockaddr*>(&a), &size) == 0 &&
            ::bind(tcp, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(tcp, 4) == 0;
        if (!ok) {
            for (int fd : {udp, tcp})
                if (fd >= 0)
                    ::close(fd);
            return;
        }
        m_fd = udp;
        m_tcp = tcp;
        m_port = ntohs(a.sin_port);
    }

    // The answer to query `q`, or nothing (no answer at all).
    std::optional<Bytes> Answer(const Bytes& q, bool overTcp) {
        if (q.size() < 12)
            return std::nullopt;
        ++m_asked;
        // The question's name, label by label.
        std::string name;
        std::size_t at = 12;
        while (at < q.size() && q[at] != 0) {
            if (!name.empty())
                name += '.';
            name.append(reinterpret_cast<const char*>(q.data() + at + 1),
                        std::min<std::size_t>(q[at], q.size() - at - 1));
            at += q[at] + 1u;
        }
        const std::size_t questionEnd = at + 5;  // the 0, type and class
        if (questionEnd > q.size() || silent.count(name) != 0)
            return std::nullopt;
        const Bytes question(q.begin(), q.begin() + static_cast<std::ptrdiff_t>(questionEnd));
        if (const auto s = shaped.find(name); s != shaped.end()) {
            Bytes r = s->second(question);
            if (!overTcp && r.size() > UDP_ANSWER_MAX) {
                r.assign(question.begin(), question.end());
                r[2] = 0x83;  // answer, truncated, recursion desired
                r[3] = 0x80;
                r[6] = r[7] = r[8] = r[9] = r[10] = r[11] = 0;
            }
            return r;
        }
        const auto record = records.find(name);
        Bytes r = question;
        r[2] = 0x81;                                   // answer, recursion desired
        r[3] = record == records.end() ? 0x83 : 0x80;  // NXDOMAIN or no error
        r[4] = 0, r[5] = 1;                            // one question
        r[6] = 0, r[7] = record == records.end() ? 0 : 1;
        r[8] = r[9] = r[10] = r[11] = 0;
        if (record != records.end()) {
            const unsigned char answer[] = {0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4};
            r.insert(r.end(), answer, answer + sizeof answer);
            r.insert(r.end(), record->second.begin(), record->second.end());
        }
        return r;
    }

    void ServeUdp() {
        unsigned char q[UDP_ANSWER_MAX];
        sockaddr_in from{};
        socklen_t size = sizeof from;
        const ssize_t n =
            ::recvfrom(m_fd, q, sizeof q, 0, reinterpret_cast<sockaddr*>(&from), &size);
        if (n <= 0)
            return;
        if (const auto r = Answer(Bytes(q, q + n), false))
            ::sendto(m_fd, r->data(), r->size(), 0, reinterpret_cast<sockaddr*>(&from), size);
    }

    // One question over TCP: two bytes of length, the message.
    void ServeTcp() {
        const int c = ::accept(m_tcp, nullptr, nullptr);
        if (c < 0)
            return;
        timeval wait{2, 0};
        ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        unsigned char length[2];
        Bytes q;
        if (::recv(c, length, 2, MSG_WAITALL) == 2) {
            q.resize(static_cast<std::size_t>(length[0] << 8 | length[1]));
            if (::recv(c, q.data(), q.size(), MSG_WAITALL) == static_cast<ssize_t>(q.size())) {
                if (auto r = Answer(q, true)) {
                    const unsigned char head[2] = {static_cast<unsigned char>(r->size() >> 8),
                                                   static_cast<unsigned char>(r->size())};
                    r->insert(r->begin(), head, head + 2);
                    ::send(c, r->data(), r->size(), MSG_NOSIGNAL);
                }
            }
        }
        ::close(c);
    }

    void Serve() {
        while (!m_stop) {
            pollfd p[2] = {{m_fd, POLLIN, 0}, {m_tcp, POLLIN, 0}};
            if (::poll(p, 2, 50) <= 0)
                continue;
            if ((p[0].revents & POLLIN) != 0)
                ServeUdp();
            if ((p[1].revents & POLLIN) != 0)
                ServeTcp();
        }
    }

    int m_fd = -1;
    int m_tcp = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_asked{0};
    std::thread m_thread;
};

class DnsList : public ::testing::Test {
  protected:
    FakeNameServer server;
    DnsBlockList list;

    void Use(std::vector<std::string> zones, int timeout = 2) {
        server.Start();
        std::string error;
        ASSERT_TRUE(list.Configure({std::move(zones), server.Address(), timeout}, error)) << error;
    }
};

TEST_F(DnsList, ListedUnlistedAndErrorAnswers) {
    server.records["spam.example.dbl.test"] = {127, 0, 0, 2};
    server.records["error.example.dbl.test"] = {10, 0, 0, 1};
    Use({"dbl.test"});
    std::uint32_t value = 99;
    EXPECT_TRUE(list.Lookup("offers@spam.example", value));
    EXPECT_EQ(value, 2u);
    EXPECT_TRUE(list.Lookup("offers@SPAM.Example", value)) << "names are asked in lower case";
    EXPECT_FALSE(list.Lookup("a@fine.example", value));
    EXPECT_EQ(value, 0u);
    EXPECT_FALSE(list.Lookup("a@error.example", value)) << "outside 127/8 is the list's error";
    EXPECT_EQ(server.Asked(), 4);
}

TEST_F(DnsList, SendersWithoutAUsableDomainAreNeverAskedAbout) {
    Use({"dbl.test"});
    std::uint32_t value = 0;
    for (const char* sender : {"", "no-domain", "a@", "a@[192.0.2.1]", "a@bad_name.example",
                               "a@dots..example", "a@.example", "a@x.example\nb.c"})
        EXPECT_FALSE(list.Lookup(sender, value)) << sender;
    EXPECT_FALSE(list.Lookup("a@" + std::string(250, 'x') + ".example", value));
    EXPECT_EQ(server.Asked(), 0);
}

TEST_F(DnsList, ZonesAreAskedInTurnUntilOneLists) {
    server.records["spam.example.second.test"] = {127, 0, 1, 5};
    Use({"first.test", "second.test"});
    std::uint32_t value = 0;
    EXPECT_TRUE(list.Lookup("x@spam.example", value));
    EXPECT_EQ(value, 5u);
    EXPECT_EQ(server.Asked(), 2);
    EXPECT_EQ(list.Queries(), 2u);
}

TEST_F(DnsList, AServerThatKeepsSilentListsNoOne) {
    server.silent.insert("slow.example.dbl.test");
    Use({"dbl.test"}, 1);
    std::uint32_t value = 0;
    EXPECT_FALSE(list.Lookup("x@slow.example", value));
    EXPECT_GE(server.Asked(), 1);
}

// An answer to `question` with `count` claimed in its answer count and
// `records` after the question.
Bytes Reply(const Bytes& question, int count, const Bytes& records) {
    Bytes r = question;
    r[2] = 0x81;
    r[3] = 0x80;
    r[4] = 0, r[5] = 1;
    r[6] = static_cast<unsigned char>(count >> 8);
    r[7] = static_cast<unsigned char>(count);
    r[8] = r[9] = r[10] = r[11] = 0;
    r.insert(r.end(), records.begin(), records.end());
    return r;
}

// An A record for the question's name (a pointer to offset 12).
Bytes ARecord(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
    return {0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, a, b, c, d};
}

TEST_F(DnsList, HostileAnswersAreReadWithinTheirBytes) {
    // 5,000 bytes over TCP, the listing record last: read whole, not past
    // the end of a datagram-sized buffer.
    const std::size_t bigRecords = 5000 / ARecord(0, 0, 0, 0).size();
    server.shaped["big.example.dbl.test"] = [bigRecords](const Bytes& q) {
        Bytes records;
        for (std::size_t i = 0; i < bigRecords; ++i) {
            const Bytes r =
                ARecord(10, 0, static_cast<unsigned char>(i >> 8), static_cast<unsigned char>(i));
            records.insert(records.end(), r.begin(), r.end());
        }
        const Bytes last = ARecord(127, 0, 0, 9);
        records.insert(records.end(), last.begin(), last.end());
        return Reply(q, static_cast<int>(bigRecords + 1), records);
    };
    // A record whose name points at itself, then a listing one.
    server.shaped["loop.example.dbl.test"] = [](const Bytes& q) {
        const auto self = static_cast<unsigned char>(q.size());
        Bytes records = {0xC0, self, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 127, 0, 0, 2};
        const Bytes listed = ARecord(127, 0, 0, 2);
        records.insert(records.end(), listed.begin(), listed.end());
        return Reply(q, 2, records);
    };
    // 300 records promised, one there.
    server.shaped["count.example.dbl.test"] = [](const Bytes& q) {
        return Reply(q, 300, ARecord(127, 0, 0, 2));
    };
    // A record whose data length runs past the end of the answer.
    server.shaped["length.example.dbl.test"] = [](const Bytes& q) {
        return Reply(q, 1, {0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0x10, 0, 127, 0, 0, 2});
    };
    server.records["plain.example.dbl.test"] = {127, 0, 0, 4};
    Use({"dbl.test"});
    std::uint32_t value = 0;
    EXPECT_TRUE(list.Lookup("a@big.example", value)) << "the record after byte 512 was not read";
    EXPECT_EQ(value, 9u);
    for (const char* sender : {"a@loop.example", "a@count.example", "a@length.example"}) {
        EXPECT_FALSE(list.Lookup(sender, value)) << sender << ": a broken answer lists no one";
        EXPECT_EQ(value, 0u) << sender;
    }
    EXPECT_TRUE(list.Lookup("a@plain.example", value)) << "the resolver is still usable";
    EXPECT_EQ(value, 4u);
}

TEST(DnsListSettings, ZonesServersAndMilterKeys) {
    std::vector<std::string> zones;
    std::string error;
    ASSERT_TRUE(ParseDnsZones("dbl.example, Zen.Example. ", zones, error)) << error;
    EXPECT_EQ(zones, (std::vector<std::string>{"dbl.example", "zen.example"}));
    for (const char* bad :
         {"localhost", "a..b", "bad_zone.example", "a.x b.x c.x d.x e.x f.x g.x h.x i.x"}) {
        EXPECT_FALSE(ParseDnsZones(bad, zones, error)) << bad;
        EXPECT_FALSE(error.empty());
    }
    EXPECT_TRUE(ValidDnsServer("127.0.0.1"));
    EXPECT_TRUE(ValidDnsServer("192.0.2.53:5353"));
    for (const char* bad : {"", "name.example", "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:65536",
                            "::1", "127.0.0.1:53x"})
        EXPECT_FALSE(ValidDnsServer(bad)) << bad;

    DnsBlockList unused;
    EXPECT_FALSE(unused.Configure({{}, "", 1}, error));
    EXPECT_FALSE(unused.Configure({{"dbl.example"}, "nowhere", 1}, error));
    std::uint32_t value = 0;
    EXPECT_FALSE(unused.Lookup("a@b.example", value)) << "an unconfigured list lists no one";

    MilterSettings s;
    std::vector<std::string> errors;
    const std::map<std::string, std::string> keys = {{"milter.dnslist", "dbl.example"},
                                                     {"milter.dnsserver", "127.0.0.1:5353"},
                                                     {"milter.dnstimeout", "7"}};
    ASSERT_TRUE(ReadMilterSettings(LookupIn(keys), s, errors));
    EXPECT_EQ(s.dnsZones, std::vector<std::string>{"dbl.example"});
    EXPECT_EQ(s.dnsServer, "127.0.0.1:5353");
    EXPECT_EQ(s.dnsTimeoutSeconds, 7);
    for (const auto& [key, value] : std::map<std::string, std::string>{
             {"milter.dnslist", "x"}, {"milter.dnsserver", "x"}, {"milter.dnstimeout", "0"}}) {
        MilterSettings t;
        std::vector<std::string> e;
        EXPECT_FALSE(ReadMilterSettings(LookupIn({{key, value}}), t, e)) << key;
        EXPECT_EQ(e.size(), 1u) << key;
    }
}

}  // namespace
