/*
 * device_state.cpp - the configuration, the state directory and the
 * counters of the system-status record.
 */
#include "device_state.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace {
// Never destroyed, like the other state of the host functions, so that no
// exit path has to order its destruction after the module's threads.
DeviceState& state() {
    static DeviceState* s = new DeviceState;
    return *s;
}

// The device's start, for its uptime.
const std::chrono::steady_clock::time_point g_started = std::chrono::steady_clock::now();
std::atomic<uint32_t> g_loginsAccepted{0};
std::atomic<uint32_t> g_loginsRefused{0};
std::atomic<uint32_t> g_serverStarts{0};
}  // namespace

void setDeviceState(const DeviceState& config) { state() = config; }

const DeviceState& deviceState() { return state(); }

bool prepareStateDir(const std::string& dir, std::string& error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        error = "cannot create state directory " + dir + ": " + ec.message();
        return false;
    }
    // create_directories succeeds on an existing path without saying what it is.
    if (!fs::is_directory(dir, ec)) {
        error = "state directory " + dir + " exists and is not a directory";
        return false;
    }
    if (::access(dir.c_str(), W_OK | X_OK) != 0) {
        error = "state directory " + dir + " is not writable: " + std::strerror(errno);
        return false;
    }
    return true;
}

void deviceCountLogin(bool accepted) {
    (accepted ? g_loginsAccepted : g_loginsRefused).fetch_add(1, std::memory_order_relaxed);
}

void deviceCountServerStart() { g_serverStarts.fetch_add(1, std::memory_order_relaxed); }

DeviceCounters deviceCounters() {
    const auto up = std::chrono::steady_clock::now() - g_started;
    return {static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::seconds>(up).count()),
            g_loginsAccepted.load(std::memory_order_relaxed),
            g_loginsRefused.load(std::memory_order_relaxed),
            g_serverStarts.load(std::memory_order_relaxed)};
}
