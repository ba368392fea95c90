/*
 * registry.cpp - path names to devices and live paths.
 */
#include "registry.h"

namespace gateway {

bool parsePathName(const std::string& text, PathName& out) {
    std::string t = text;
    if (!t.empty() && t.front() == '/') t.erase(0, 1);
    const size_t slash = t.find('/');
    if (slash == std::string::npos || slash == 0) return false;
    out.device = t.substr(0, slash);
    std::string rest = t.substr(slash + 1);
    out.kind = 0;
    const std::string sub = "/sub";
    if (rest.size() > sub.size() && rest.compare(rest.size() - sub.size(), sub.size(), sub) == 0) {
        out.kind = 1;
        rest.erase(rest.size() - sub.size());
    }
    if (rest.size() < 3 || rest.size() > 5 || rest.compare(0, 2, "ch") != 0) return false;
    const std::string digits = rest.substr(2);
    if (digits.find_first_not_of("0123456789") != std::string::npos) return false;
    const unsigned long n = std::stoul(digits);
    if (n > 255) return false;
    out.channel = static_cast<uint32_t>(n);
    return true;
}

Registry::Registry(const GatewayConfig& config) : lingerMs_(config.lingerMs) {
    for (const DeviceConfig& d : config.devices) devices_.push_back(std::make_unique<DeviceLink>(d));
}

DeviceLink* Registry::device(const std::string& name) {
    for (auto& d : devices_) {
        if (d->config().name == name) return d.get();
    }
    return nullptr;
}

Registry::Lookup Registry::resolve(const std::string& text) {
    Lookup out;
    PathName p;
    if (!parsePathName(text, p)) {
        out.error = "no such path: " + text;
        return out;
    }
    DeviceLink* link = device(p.device);
    if (!link) {
        out.error = "no such device: " + p.device;
        return out;
    }
    try {
        if (p.channel >= link->channels()) {
            out.error = "device " + p.device + " has no channel " + std::to_string(p.channel);
            return out;
        }
    } catch (const GatewayError& e) {
        out.status = e.status();
        out.error = e.what();
        return out;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto& slot = paths_[{p.device, p.channel, p.kind}];
    if (!slot) slot = std::make_unique<LivePath>(link->config(), p.channel, p.kind, lingerMs_, streams_);
    out.status = 200;
    out.path = slot.get();
    return out;
}

}  // namespace gateway
