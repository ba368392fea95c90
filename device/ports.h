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

// Connects to 127.0.0.1:port every 20 ms until a connection succeeds (and is
// closed again) or `timeout` has passed. Returns whether it succeeded.
bool waitUntilListening(uint16_t port, std::chrono::milliseconds timeout);

#endif
