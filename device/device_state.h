/*
 * device_state.h - the reference device's configuration and the state its
 * host functions keep.
 *
 * The configuration is set once by main() before the module starts and is
 * read-only afterwards, so the module's threads read it without a lock (the
 * thread creation inside st_net_startNetServer orders the write before every
 * read).
 */
#ifndef RECNET_DEVICE_DEVICE_STATE_H
#define RECNET_DEVICE_DEVICE_STATE_H

#include <array>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

struct DeviceState {
    uint16_t basePort = 5500;   // command port; data port +1, UDP responder +4
    uint8_t channels = 4;       // video channels, fixed while the server runs
    uint8_t serialPorts = 2;
    std::string addressText = "127.0.0.1";         // the device's own IPv4 address
    std::array<uint8_t, 4> address = {127, 0, 0, 1};  // the same, octets in written order
    std::string stateDir = "./device-state";
};

// Installs the configuration. Call once, before the module is started.
void setDeviceState(const DeviceState& state);

// The configuration installed by setDeviceState.
const DeviceState& deviceState();

// Creates `dir` with its parents when missing and checks that it is a writable
// directory. Returns false with a one-line reason in `error` otherwise.
bool prepareStateDir(const std::string& dir, std::string& error);

/* ---- device log ----------------------------------------------------------- */

// One line of the device log, as st_param_writeLogBuffer stored it.
struct LogEntry {
    std::time_t time;
    int category;
    std::string text;  // at most LOG_TEXT_MAX characters
};

constexpr std::size_t LOG_TEXT_MAX = 47;

// A copy of the device log, oldest line first.
std::vector<LogEntry> deviceLogSnapshot();

#endif
