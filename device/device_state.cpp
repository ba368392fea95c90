/*
 * device_state.cpp - the configuration store and the state directory.
 */
#include "device_state.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace {
DeviceState g_state;
}

void setDeviceState(const DeviceState& state) { g_state = state; }

const DeviceState& deviceState() { return g_state; }

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
