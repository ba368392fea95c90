/*
 * options.h - the gateway's configuration: its devices (name, address,
 * account) and its ports, from the command line and the environment.
 */
#ifndef RECNET_GATEWAY_OPTIONS_H
#define RECNET_GATEWAY_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

namespace gateway {

struct DeviceConfig {
    std::string name;  // the first element of every path of this device
    std::string host;
    uint16_t port = 5500;
    std::string user = "admin";
    std::string password = "admin";
};

struct GatewayConfig {
    std::vector<DeviceConfig> devices;
    uint16_t rtspPort = 8554;
    uint16_t httpPort = 8080;
    std::string bind = "0.0.0.0";
    int lingerMs = 3000;  // a device stream stays up this long after its last viewer
};

// Parses the command line. Prints help or an error and returns false (with
// `exitCode` set) when the gateway should not start.
bool parseOptions(int argc, char** argv, GatewayConfig& config, int& exitCode);

// "NAME=HOST:PORT" into `out` (name, host, port). Returns an error text, or
// "" on success.
std::string parseDeviceSpec(const std::string& spec, DeviceConfig& out);

}  // namespace gateway

#endif
