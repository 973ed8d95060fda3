/*
 * spamlist_tickets.h - the spam-list look-ups in flight.
 *
 * The host is handed a ticket number (as the opaque job pointer), never the
 * address of anything: an answer looks its ticket up in a process-wide
 * registry under a mutex, so an answer that comes twice, or after the
 * worker closed the ticket (the job ended, the service stopped), finds
 * nothing and is ignored with an error line. Ticket numbers are never
 * reused, so a stale answer cannot reach another job. The registry is made
 * once and never destroyed: an answer that comes while the process ends
 * still finds a registry to be ignored by.
 */
#ifndef MAILWARD_SPAMLIST_TICKETS_H
#define MAILWARD_SPAMLIST_TICKETS_H

#include <cstddef>
#include <cstdint>

#include "mailward.h"

namespace spamlist {

// A new open ticket; 0 when memory is short.
std::uintptr_t Open();
// True once the ticket was answered, with the first answer's hit and value.
bool Answered(std::uintptr_t ticket, std::uint32_t& hit, std::uint32_t& value);
// Ends the ticket; answers after this are ignored.
void Close(std::uintptr_t ticket);
// Tickets open now (for the tests: every check closes its ticket).
std::size_t OpenTickets();

}  // namespace spamlist

// The library's SpamListDone: stores hit and value of an open ticket's first
// answer; a repeated or late answer is logged and changes nothing.
extern "C" void MAILWARD_CALL SpamListDoneImpl(int hit, std::uint32_t value, void* ticket);

#endif
