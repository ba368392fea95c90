/*
 * device_link.cpp - the command session with one device.
 */
#include "device_link.h"

#include <iostream>

#include "commands.h"
#include "session.h"
#include "transfers.h"

namespace gateway {

namespace {
constexpr recnet::Duration TIMEOUT{3000};
constexpr std::chrono::milliseconds BACKOFF_FIRST{250};
constexpr std::chrono::milliseconds BACKOFF_MAX{5000};
}  // namespace

int statusForError(const recnet::Error& e) {
    switch (e.kind()) {
        case recnet::Error::Kind::LoginRefused: return 401;
        case recnet::Error::Kind::Refused: return 404;
        default: return 503;
    }
}

DeviceLink::DeviceLink(DeviceConfig config) : config_(std::move(config)) {}

template <typename Work>
auto DeviceLink::withConnection(Work&& work) -> decltype(work(std::declval<recnet::Connection&>())) {
    std::lock_guard<std::mutex> lock(mutex_);
    // The device closes a session that stays idle for 15 s, so a kept
    // connection may be gone by now: one failure on it earns a fresh one.
    if (conn_) {
        try {
            return work(*conn_);
        } catch (const recnet::Error& e) {
            if (e.kind() == recnet::Error::Kind::Refused) throw GatewayError(404, e.what());
            conn_.reset();
        }
    }
    if (std::chrono::steady_clock::now() < retryAt_) throw GatewayError(lastStatus_, lastError_);
    try {
        auto conn = std::make_unique<recnet::Connection>();
        conn->connect(config_.host, config_.port, TIMEOUT);
        recnet::login(*conn, config_.user, config_.password, TIMEOUT);
        channels_ = recnet::getSystemStatus(*conn, TIMEOUT).channels;
        conn_ = std::move(conn);
        if (backoff_.count() != 0) std::cerr << "gateway: device " << config_.name << " reachable again\n";
        backoff_ = std::chrono::milliseconds(0);
        return work(*conn_);
    } catch (const recnet::Error& e) {
        if (e.kind() == recnet::Error::Kind::Refused) throw GatewayError(404, e.what());
        conn_.reset();
        lastStatus_ = statusForError(e);
        backoff_ = backoff_.count() == 0 ? BACKOFF_FIRST : std::min(backoff_ * 2, BACKOFF_MAX);
        retryAt_ = std::chrono::steady_clock::now() + backoff_;
        lastError_ = "device " + config_.name + ": " + e.what();
        std::cerr << "gateway: " << lastError_ << "\n";
        throw GatewayError(lastStatus_, lastError_);
    }
}

uint32_t DeviceLink::channels() {
    return withConnection([this](recnet::Connection&) { return channels_; });
}

DeviceStatus DeviceLink::status() {
    return withConnection([](recnet::Connection& c) {
        DeviceStatus s;
        s.firmware = recnet::getVersion(c, TIMEOUT).firmware;
        const recnet::SystemStatus sys = recnet::getSystemStatus(c, TIMEOUT);
        s.uptime = sys.uptime;
        s.channels = sys.channels;
        s.sessions = sys.loginsAccepted;
        try {
            for (const recnet::DiskInfo& d : recnet::getHardDisk(c, TIMEOUT)) {
                s.disks.push_back({recnet::diskStateName(d.state), d.capacity, d.free});
            }
        } catch (const recnet::CommandRefused&) {
            // Busy with a disk operation: the status goes out without disks.
        }
        return s;
    });
}

std::vector<uint8_t> DeviceLink::snapshot(uint32_t channel) {
    return withConnection([channel](recnet::Connection& c) { return recnet::takeSnapshot(c, channel, TIMEOUT); });
}

}  // namespace gateway
