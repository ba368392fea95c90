/*
 * device_link.h - the gateway's command session with one device: login,
 * the device's channel count, status and snapshots, reconnecting with
 * back-off after a failure.
 *
 * Failures map onto the answer a viewer gets: the device refused the
 * account -> 401, the device cannot be reached -> 503.
 */
#ifndef RECNET_GATEWAY_DEVICE_LINK_H
#define RECNET_GATEWAY_DEVICE_LINK_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "connection.h"
#include "errors.h"
#include "options.h"

namespace gateway {

// A failure with the HTTP/RTSP status code that tells a viewer about it.
class GatewayError : public std::runtime_error {
public:
    GatewayError(int status, const std::string& message) : std::runtime_error(message), status_(status) {}
    int status() const noexcept { return status_; }

private:
    int status_;
};

// 401 for a refused login, 404 for a refused command (no such channel),
// 503 for everything else (the device is unreachable or failed mid-way).
int statusForError(const recnet::Error& e);

// The device's status as the page shows it.
struct DeviceStatus {
    std::string firmware;
    uint32_t uptime = 0;    // seconds
    uint32_t channels = 0;
    uint32_t sessions = 0;  // logins the device has accepted since it started
    struct Disk {
        std::string state;
        uint64_t capacity = 0, free = 0;
    };
    std::vector<Disk> disks;
};

class DeviceLink {
public:
    explicit DeviceLink(DeviceConfig config);
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;

    const DeviceConfig& config() const noexcept { return config_; }

    // The device's channel count (asked once per connection). Throws GatewayError.
    uint32_t channels();
    // Firmware, disks, logins and uptime. Throws GatewayError.
    DeviceStatus status();
    // One JPEG of `channel` (from 0). Throws GatewayError.
    std::vector<uint8_t> snapshot(uint32_t channel);

private:
    // Runs `work` on a logged-in connection; reconnects first when needed,
    // unless the last attempt failed less than the back-off ago. A failure
    // drops the connection and doubles the back-off (at most 5 s).
    template <typename Work>
    auto withConnection(Work&& work) -> decltype(work(std::declval<recnet::Connection&>()));

    DeviceConfig config_;
    std::mutex mutex_;  // one request at a time; guards everything below
    std::unique_ptr<recnet::Connection> conn_;
    uint32_t channels_ = 0;
    std::chrono::steady_clock::time_point retryAt_{};
    std::chrono::milliseconds backoff_{0};
    int lastStatus_ = 503;
    std::string lastError_;
};

}  // namespace gateway

#endif
