/*
 * probe.h - asks the recorder's UDP session responder (base port + 4) from
 * which address and port it sees this host's datagrams.
 *
 * The responder answers only hosts that hold a command connection, so the
 * caller keeps one open (logged in) while it probes.
 * The probe's layout is netserver/wire.h's PROBE_*.
 */
#ifndef RECNET_CLIENT_PROBE_H
#define RECNET_CLIENT_PROBE_H

#include <cstdint>
#include <string>

#include "connection.h"

namespace recnet {

struct ProbeResult {
    uint16_t family = 0;    // 2 for IPv4
    std::string address;    // dotted
    uint16_t port = 0;      // host order
    uint16_t localPort = 0; // the port the probe was sent from
};

// Sends probes from a fresh UDP socket on the command connection's local
// address to the responder of the server that `conn` is connected to, every
// half second until an answer that echoes our words arrives or `timeout`
// passes. Throws Error(Timeout) when none comes, Error(Protocol) for an answer
// of the wrong size.
ProbeResult probeAddress(const Connection& conn, Duration timeout);

}  // namespace recnet

#endif
