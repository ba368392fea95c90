/*
 * registry.h - the gateway's devices and their live paths, looked up by
 * path name: "NAME/chN" (main stream of channel N, from 0) and
 * "NAME/chN/sub" (its sub stream).
 */
#ifndef RECNET_GATEWAY_REGISTRY_H
#define RECNET_GATEWAY_REGISTRY_H

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "device_link.h"
#include "live_path.h"
#include "options.h"

namespace gateway {

struct PathName {
    std::string device;
    uint32_t channel = 0;
    uint8_t kind = 0;  // 0 main, 1 sub
};

// Parses "NAME/chN" or "NAME/chN/sub" (a leading '/' allowed; N decimal,
// 0..255). False for anything else.
bool parsePathName(const std::string& text, PathName& out);

class Registry {
public:
    explicit Registry(const GatewayConfig& config);

    // The outcome of a lookup: status 200 and the path, or the status that
    // tells the viewer why not (404 unknown device, channel or path; 401 or
    // 503 when the device could not say which channels it has).
    struct Lookup {
        int status = 404;
        LivePath* path = nullptr;
        std::string error;
    };
    Lookup resolve(const std::string& text);

    // The device of that name, or nullptr.
    DeviceLink* device(const std::string& name);
    const std::vector<std::unique_ptr<DeviceLink>>& devices() const noexcept { return devices_; }

    // Device streams running now, over all paths.
    int deviceStreams() const noexcept { return streams_.load(); }

private:
    const int lingerMs_;
    std::atomic<int> streams_{0};
    std::vector<std::unique_ptr<DeviceLink>> devices_;
    std::mutex mutex_;  // guards paths_
    std::map<std::tuple<std::string, uint32_t, uint8_t>, std::unique_ptr<LivePath>> paths_;
};

}  // namespace gateway

#endif
