/*
 * dns_list.h - a DNS block list of sender domains (RFC 5782, a "right-hand
 * side" list), asked through the resolver library beside the spam-list
 * file.
 *
 * LOOK-UP: for the sender address user@host.example and the zone
 * dbl.example the list is asked for the A record of
 * host.example.dbl.example. An answer in 127.0.0.0/8 lists the sender;
 * its last byte is the value reported with the hit (lists code the reason
 * there). No such name, an answer outside 127.0.0.0/8 (a list's error
 * code), no answer within the timeout or a sender without a usable domain
 * name: not listed. A list that cannot be reached never holds a mail back.
 * Zones are asked in the order given; the first hit counts.
 *
 * RESOLVER: the system's (/etc/resolv.conf), or one name server given as
 * IPv4 address with an optional port. Each try waits `timeoutSeconds`;
 * one try per server (a block list answers fast or not at all).
 *
 * THREADS: one look-up at a time per object (the spam-list responder's
 * answering thread is the only caller).
 *
 * LIMITS: DNSLIST_MAX_ZONES zones; names over DNSLIST_MAX_NAME characters
 * are not asked. An answer is read up to DNSLIST_ANSWER_MAX bytes, the
 * most a DNS message can hold (over TCP); an answer that does not parse
 * (counts that promise more records than it holds, a name that points
 * into a loop) lists no one.
 */
#ifndef MAILWARD_TOOLS_MILTER_DNS_LIST_H
#define MAILWARD_TOOLS_MILTER_DNS_LIST_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

constexpr std::size_t DNSLIST_MAX_ZONES = 8;
constexpr std::size_t DNSLIST_MAX_NAME = 253;
constexpr int DNSLIST_DEFAULT_TIMEOUT_SECONDS = 3;
constexpr std::size_t DNSLIST_ANSWER_MAX = 65535;

struct DnsListSettings {
    std::vector<std::string> zones;  // empty: no list
    std::string server;              // "" (the system's), "IP" or "IP:PORT"
    int timeoutSeconds = DNSLIST_DEFAULT_TIMEOUT_SECONDS;
};

// Reads "zone zone2" or "zone,zone2" into `zones`; false with the reason.
bool ParseDnsZones(const std::string& text, std::vector<std::string>& zones, std::string& error);
// True when `text` is an IPv4 address with an optional ":PORT".
bool ValidDnsServer(const std::string& text);

class DnsBlockList {
  public:
    DnsBlockList();
    ~DnsBlockList();
    DnsBlockList(const DnsBlockList&) = delete;
    DnsBlockList& operator=(const DnsBlockList&) = delete;

    // False with the reason (a bad server address, no zone, a resolver that
    // cannot start).
    bool Configure(const DnsListSettings& settings, std::string& error);
    // True when `address` (a bare address) is listed, with the value.
    bool Lookup(const std::string& address, std::uint32_t& value);
    // Questions sent to the resolver (for tests and the log).
    std::size_t Queries() const { return m_queries; }

  private:
    struct Resolver;
    std::unique_ptr<Resolver> m_resolver;
    std::vector<std::string> m_zones;
    std::size_t m_queries = 0;
};

#endif
