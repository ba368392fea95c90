/*
 * ports.h - the device's checks of the server's ports around the start.
 */
#ifndef RECNET_DEVICE_PORTS_H
#define RECNET_DEVICE_PORTS_H

#include <chrono>
#include <cstdint>
#include <string>

// Checks that TCP base and base + 1 and UDP base + 4 can be bound on every
// address, with SO_REUSEADDR as the module's listener sets it, and releases
// them again. The listener binds on its own thread and does not report a
// taken port, so the device finds out here instead. Returns false with a
// one-line reason in `error`.
bool checkPortsFree(uint16_t basePort, std::string& error);

// Looks every 20 ms whether TCP base and base + 1 are listening, until they
// are or `timeout` has passed. Returns whether they are. It reads the
// system's socket table (/proc/net/tcp) rather than connecting, so the
// check opens no session: nothing is counted or printed for it. Only where
// that table cannot be read does it connect to 127.0.0.1:base instead.
bool waitUntilListening(uint16_t basePort, std::chrono::milliseconds timeout);

#endif
