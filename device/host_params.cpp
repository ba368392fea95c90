/*
 * host_params.cpp - host functions of the parameter store: the system
 * configuration, the network and colliery-information records, and the
 * device log.
 */
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "device_state.h"
#include "failures.h"
#include "netserver/host_api.h"
#include "netserver/records.h"
#include "netserver/wire.h"

namespace {

// The site name that the colliery-information record reports.
constexpr const char* kSiteName = "recnet reference";
constexpr uint32_t kSiteNumber = 1;

std::mutex g_logMutex;
std::vector<LogEntry> g_log;

// Copies `text` into a `size`-byte field, cut so that a NUL always ends it.
void putText(void* record, size_t offset, size_t size, const std::string& text) {
    auto* field = static_cast<char*>(record) + offset;
    std::memset(field, 0, size);
    std::memcpy(field, text.data(), std::min(text.size(), size - 1));
}

}  // namespace

// Fills the 88-byte system configuration: all zero except the channel count
// (byte 9) and the serial port count (byte 12). Returns 0.
extern "C" int st_param_getSysConfig(void* record) {
    if (auto injected = injectedFailure("st_param_getSysConfig")) return *injected;
    if (record == nullptr) return -1;
    const DeviceState& device = deviceState();
    std::memset(record, 0, wire::SYSCONFIG_SIZE);
    wire::putU8(record, wire::SYSCONFIG_CHANNEL_COUNT, device.channels);
    wire::putU8(record, wire::SYSCONFIG_SERIAL_PORT_COUNT, device.serialPorts);
    return 0;
}

// The channel count, as in byte 9 of the system configuration.
extern "C" int st_param_getChannelNum(void) {
    if (auto injected = injectedFailure("st_param_getChannelNum")) return *injected;
    return deviceState().channels;
}

// Fills the 92-byte network record: the base port (u16 at 0) and the device
// address (network order at 4); everything else zero. Returns 0.
extern "C" int st_param_getNetworkStruct(void* record) {
    if (auto injected = injectedFailure("st_param_getNetworkStruct")) return *injected;
    if (record == nullptr) return -1;
    const DeviceState& device = deviceState();
    std::memset(record, 0, wire::NETWORK_RECORD_SIZE);
    wire::putU16(record, wire::NETWORK_BASE_PORT, device.basePort);
    for (size_t i = 0; i < device.address.size(); ++i)
        wire::putU8(record, records::NETWORK_ADDRESS + i, device.address[i]);
    return 0;
}

// Fills the 192-byte colliery-information record (layout in records.h): site
// name and number, channel and serial port counts, base port and the device
// address as text; every other byte zero. Returns 0.
extern "C" int st_param_getCollieryInfo(void* record) {
    if (auto injected = injectedFailure("st_param_getCollieryInfo")) return *injected;
    if (record == nullptr) return -1;
    const DeviceState& device = deviceState();
    std::memset(record, 0, wire::COLLIERY_RECORD_SIZE);
    putText(record, records::COLLIERY_SITE_NAME, records::COLLIERY_SITE_NAME_SIZE, kSiteName);
    wire::putU32(record, records::COLLIERY_SITE_NUMBER, kSiteNumber);
    wire::putU32(record, records::COLLIERY_CHANNELS, device.channels);
    wire::putU32(record, records::COLLIERY_SERIAL_PORTS, device.serialPorts);
    wire::putU32(record, records::COLLIERY_BASE_PORT, device.basePort);
    putText(record, records::COLLIERY_ADDRESS, records::COLLIERY_TEXT_SIZE, device.addressText);
    return 0;
}

// Appends one line to the device log and echoes it as "log: <text>" on
// stderr. Reads at most LOG_TEXT_MAX characters of `text`, so a line without
// its NUL is cut rather than overrun. Returns 0, or -1 for a null text.
extern "C" int st_param_writeLogBuffer(int category, const char* text) {
    if (auto injected = injectedFailure("st_param_writeLogBuffer")) return *injected;
    if (text == nullptr) return -1;
    LogEntry entry{std::time(nullptr), category, std::string(text, strnlen(text, LOG_TEXT_MAX))};
    {
        std::lock_guard<std::mutex> lock(g_logMutex);
        g_log.push_back(entry);
    }
    // One fprintf per line: stdio locks the stream per call, so lines of
    // concurrent writers do not mix.
    std::fprintf(stderr, "log: %s\n", entry.text.c_str());
    return 0;
}

std::vector<LogEntry> deviceLogSnapshot() {
    std::lock_guard<std::mutex> lock(g_logMutex);
    return g_log;
}
