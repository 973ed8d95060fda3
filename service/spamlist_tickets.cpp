/*
 * spamlist_tickets.cpp - the registry of spam-list look-ups in flight
 * (contract in spamlist_tickets.h).
 */
#include "service/spamlist_tickets.h"

#include <mutex>
#include <unordered_map>

#include "qorcsock/qorcsock.h"
#include "service/immortal.h"

namespace {

struct TicketAnswer {
    bool answered = false;
    std::uint32_t hit = 0;
    std::uint32_t value = 0;
};

// The open tickets. Made once and never destroyed, so that an answer that
// comes while the process ends still finds a registry to be ignored by.
struct TicketRegistry {
    std::mutex mutex;
    std::unordered_map<std::uintptr_t, TicketAnswer> open;
    std::uintptr_t next = 1;
};

TicketRegistry& Registry() {
    return mailward::Immortal<TicketRegistry>();
}

}  // namespace

namespace spamlist {

std::uintptr_t Open() {
    TicketRegistry& r = Registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::uintptr_t ticket = r.next++;
    if (ticket == 0)  // wrapped: 0 is no ticket
        ticket = r.next++;
    try {
        r.open.emplace(ticket, TicketAnswer{});
    } catch (...) {
        return 0;
    }
    return ticket;
}

bool Answered(std::uintptr_t ticket, std::uint32_t& hit, std::uint32_t& value) {
    TicketRegistry& r = Registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.open.find(ticket);
    if (it == r.open.end() || !it->second.answered)
        return false;
    hit = it->second.hit;
    value = it->second.value;
    return true;
}

void Close(std::uintptr_t ticket) {
    TicketRegistry& r = Registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.open.erase(ticket);
}

std::size_t OpenTickets() {
    TicketRegistry& r = Registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.open.size();
}

}  // namespace spamlist

extern "C" void MAILWARD_CALL SpamListDoneImpl(int hit, std::uint32_t value, void* ticket) {
    const auto number = reinterpret_cast<std::uintptr_t>(ticket);
    {
        TicketRegistry& r = Registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        auto it = r.open.find(number);
        if (it != r.open.end() && !it->second.answered) {
            it->second.answered = true;
            it->second.hit = static_cast<std::uint32_t>(hit);
            it->second.value = value;
            return;
        }
    }
    // Logged outside the lock: the log may call back into the host.
    errmsg("SpamListDone() - answer for job %llu ignored: already answered or no longer waited for",
           static_cast<unsigned long long>(number));
}
