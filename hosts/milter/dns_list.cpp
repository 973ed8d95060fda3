/*
 * dns_list.cpp - block-list look-ups with the resolver library's own state
 * (res_ninit / res_nquery), so that the list's server and timeout touch no
 * other resolver user of the process. Answers are read into a buffer of
 * the largest DNS message and parsed by the resolver library's own
 * ns_initparse / ns_parserr, which check every count and name against the
 * answer's length.
 */
#include "dns_list.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netinet/in.h>
#include <resolv.h>

#include <cstring>
#include <vector>

#include "common/text.h"

struct DnsBlockList::Resolver {
    struct __res_state state;
    bool open = false;
    // Room for the largest message DNS can carry: an answer over TCP may be
    // longer than a UDP datagram.
    std::vector<unsigned char> answer = std::vector<unsigned char>(DNSLIST_ANSWER_MAX);
    ~Resolver() {
        if (open)
            res_nclose(&state);
    }
};

namespace {

// A host name the list can be asked about: letters, digits, hyphens and
// dots, no empty label.
bool UsableName(const std::string& name) {
    if (name.empty() || name.front() == '.' || name.back() == '.' ||
        name.find("..") != std::string::npos)
        return false;
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
        if (!ok)
            return false;
    }
    return true;
}

bool ParseServer(const std::string& text, sockaddr_in& address) {
    std::string host = text;
    unsigned long port = NS_DEFAULTPORT;
    if (const std::size_t colon = text.rfind(':'); colon != std::string::npos) {
        host = text.substr(0, colon);
        const std::string digits = text.substr(colon + 1);
        if (digits.empty() || digits.size() > 5 ||
            digits.find_first_not_of("0123456789") != std::string::npos)
            return false;
        port = std::stoul(digits);
        if (port == 0 || port > 65535)
            return false;
    }
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return ::inet_pton(AF_INET, host.c_str(), &address.sin_addr) == 1;
}

}  // namespace

bool ParseDnsZones(const std::string& text, std::vector<std::string>& zones, std::string& error) {
    zones.clear();
    std::string word;
    auto take = [&]() {
        if (word.empty())
            return true;
        std::string zone = kit::ascii_lower(word);
        word.clear();
        if (!zone.empty() && zone.back() == '.')
            zone.pop_back();
        if (!UsableName(zone) || zone.find('.') == std::string::npos) {
            error = "'" + zone + "' is not a zone name";
            return false;
        }
        zones.push_back(zone);
        return true;
    };
    for (const char c : text) {
        if (c == ',' || c == ' ' || c == '\t') {
            if (!take())
                return false;
        } else {
            word += c;
        }
    }
    if (!take())
        return false;
    if (zones.size() > DNSLIST_MAX_ZONES) {
        error = "more than " + std::to_string(DNSLIST_MAX_ZONES) + " zones";
        return false;
    }
    return true;
}

bool ValidDnsServer(const std::string& text) {
    sockaddr_in address{};
    return ParseServer(text, address);
}

DnsBlockList::DnsBlockList() = default;
DnsBlockList::~DnsBlockList() = default;

bool DnsBlockList::Configure(const DnsListSettings& settings, std::string& error) {
    if (settings.zones.empty()) {
        error = "no zone";
        return false;
    }
    sockaddr_in server{};
    if (!settings.server.empty() && !ParseServer(settings.server, server)) {
        error = "'" + settings.server + "' is not an IPv4 address with an optional port";
        return false;
    }
    auto resolver = std::make_unique<Resolver>();
    std::memset(&resolver->state, 0, sizeof resolver->state);
    if (res_ninit(&resolver->state) != 0) {
        error = "the resolver did not start";
        return false;
    }
    resolver->open = true;
    resolver->state.retrans = settings.timeoutSeconds > 0 ? settings.timeoutSeconds : 1;
    resolver->state.retry = 1;
    // A block-list name is asked as it stands, never with search domains.
    resolver->state.options &= ~static_cast<unsigned long>(RES_DNSRCH | RES_DEFNAMES);
    if (!settings.server.empty()) {
        resolver->state.nscount = 1;
        resolver->state.nsaddr_list[0] = server;
    }
    m_resolver = std::move(resolver);
    m_zones = settings.zones;
    return true;
}

bool DnsBlockList::Lookup(const std::string& address, std::uint32_t& value) {
    value = 0;
    const std::size_t at = address.rfind('@');
    if (!m_resolver || at == std::string::npos)
        return false;
    std::string domain = kit::ascii_lower(address.substr(at + 1));
    if (!domain.empty() && domain.front() == '[')
        return false;  // an address literal names no domain
    if (!UsableName(domain))
        return false;
    for (const std::string& zone : m_zones) {
        const std::string name = domain + "." + zone;
        if (name.size() > DNSLIST_MAX_NAME)
            continue;
        std::vector<unsigned char>& answer = m_resolver->answer;
        ++m_queries;
        const int size = res_nquery(&m_resolver->state, name.c_str(), ns_c_in, ns_t_a,
                                    answer.data(), static_cast<int>(answer.size()));
        if (size < 0)
            continue;  // no such name, or no answer in time
        // res_nquery gives the whole length of an answer that did not fit:
        // only what is in the buffer is read, and a cut answer is none.
        if (static_cast<std::size_t>(size) > answer.size())
            continue;
        ns_msg message;
        if (ns_initparse(answer.data(), size, &message) != 0)
            continue;
        const int count = ns_msg_count(message, ns_s_an);
        for (int i = 0; i < count; ++i) {
            ns_rr record;
            if (ns_parserr(&message, ns_s_an, i, &record) != 0)
                break;
            if (ns_rr_type(record) != ns_t_a || ns_rr_rdlen(record) != 4)
                continue;
            const unsigned char* a = ns_rr_rdata(record);
            if (a[0] != 127)
                continue;  // outside 127.0.0.0/8: the list's error code
            value = a[3];
            return true;
        }
    }
    return false;
}
