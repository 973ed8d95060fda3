/*
 * milter_ping.h - mailward-milter --ping: is a milter answering on its
 * socket? As clamdscan --ping asks clamd.
 *
 * RunPing connects to `socket` (unix:/path, local:/path, /path,
 * inet:PORT@HOST or inet6:PORT@HOST, as Milter.Socket takes it), sends the
 * milter protocol's option negotiation (what an MTA sends first) and waits
 * for the milter's own. It prints "PONG (SOCKET, milter protocol N, T ms)"
 * and returns EXIT_CLEAN when the answer came within PING_TIMEOUT_MS;
 * otherwise "mailward-milter: ping SOCKET: REASON" on stderr (no such
 * socket, connection refused, no answer within the time, an answer that
 * is not a milter's) and EXIT_FOUND. The connection is closed without a
 * session: the milter sees an MTA that went away after negotiating.
 *
 * PingMilter is the same without the printing: true, or false with the
 * reason.
 */
#ifndef MAILWARD_HOSTS_MILTER_MILTER_PING_H
#define MAILWARD_HOSTS_MILTER_MILTER_PING_H

#include <string>

// How long a ping waits for the connection and for the answer, each.
constexpr int PING_TIMEOUT_MS = 5000;
// The protocol version the ping offers (Postfix's milter_protocol = 6).
constexpr unsigned PING_PROTOCOL_VERSION = 6;

bool PingMilter(const std::string& socket, int timeoutMs, unsigned& version, std::string& error);
int RunPing(const std::string& socket);

#endif
