/*
 * test_dns_list.cpp - the DNS block list against a name server of the
 * test's own on loopback: listed, unlisted and error answers, zones in
 * turn, senders that are never asked about, a server that keeps silent,
 * and the settings.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "milter/dns_list.h"
#include "milter/milter_policy.h"

namespace {

// Answers A questions over UDP: the names in `records` with their
// address, the names in `silent` not at all, every other name NXDOMAIN.
class FakeNameServer {
  public:
    std::map<std::string, std::array<unsigned char, 4>> records;
    std::set<std::string> silent;

    FakeNameServer() {
        m_fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        if (m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &size) == 0)
            m_port = ntohs(a.sin_port);
    }
    ~FakeNameServer() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_fd >= 0)
            ::close(m_fd);
    }
    void Start() {
        m_thread = std::thread([this] { Serve(); });
    }
    std::string Address() const { return "127.0.0.1:" + std::to_string(m_port); }
    int Asked() const { return m_asked; }

  private:
    void Serve() {
        while (!m_stop) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            unsigned char q[512];
            sockaddr_in from{};
            socklen_t size = sizeof from;
            const ssize_t n =
                ::recvfrom(m_fd, q, sizeof q, 0, reinterpret_cast<sockaddr*>(&from), &size);
            if (n < 12)
                continue;
            ++m_asked;
            // The question's name, label by label.
            std::string name;
            std::size_t at = 12;
            while (at < static_cast<std::size_t>(n) && q[at] != 0) {
                if (!name.empty())
                    name += '.';
                name.append(reinterpret_cast<const char*>(q + at + 1), q[at]);
                at += q[at] + 1u;
            }
            const std::size_t questionEnd = at + 5;  // the 0, type and class
            if (questionEnd > static_cast<std::size_t>(n) || silent.count(name) != 0)
                continue;
            const auto record = records.find(name);
            std::vector<unsigned char> r(q, q + questionEnd);
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
            ::sendto(m_fd, r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&from), size);
        }
    }

    int m_fd = -1;
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
