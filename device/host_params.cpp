/*
 * host_params.cpp - host functions of the parameter store: the system
 * configuration, the network and colliery-information records, and the
 * parameter records of MSG_SET_PARAM / MSG_GET_PARAM with their getters.
 */
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "device_state.h"
#include "failures.h"
#include "netserver/host_api.h"
#include "netserver/records.h"
#include "netserver/wire.h"
#include "param_table.h"
#include "store.h"

namespace {

// The site name that the colliery-information record reports.
constexpr const char* kSiteName = "recnet reference";
constexpr uint32_t kSiteNumber = 1;

// Writes `text` into a `size`-byte field whose bytes after the text are zero.
void putText(void* record, size_t offset, size_t size, const std::string& text) {
    std::memset(static_cast<char*>(record) + offset, 0, size);
    wire::putText(record, offset, size, text);
}

// Copies `length` bytes from `offset` of the stored record (type, index) into
// `out`; a stored record that is shorter reads as zero. Returns 0, or -1 for
// a channel (or port) out of range or a store failure.
int readRecord(uint16_t type, int index, size_t offset, size_t length, void* out) {
    const ParamType* t = findParamType(type);
    if (t == nullptr || out == nullptr || index < 0 ||
        static_cast<size_t>(index) >= paramRecordCount(*t))
        return -1;
    std::optional<Bytes> record = deviceStore().param(type, index);
    if (!record) return -1;
    record->resize(std::max(record->size(), offset + length), 0);
    std::memcpy(out, record->data() + offset, length);
    return 0;
}

// The record as a set would store it: refuses a change of what the command
// line fixes (channel and serial port counts, base port, address).
bool keepsRunningConfig(uint16_t type, const uint8_t* payload) {
    const DeviceState& d = deviceState();
    if (type == wire::PARAM_SYS_CONFIG)
        return payload[wire::SYSCONFIG_CHANNEL_COUNT] == d.channels &&
               payload[wire::SYSCONFIG_SERIAL_PORT_COUNT] == d.serialPorts;
    if (type == wire::PARAM_NET_CONFIG)
        return wire::getU16(payload, wire::NETWORK_BASE_PORT) == d.basePort &&
               std::equal(d.address.begin(), d.address.end(), payload + records::NETWORK_ADDRESS);
    return true;
}

}  // namespace

// The stored 88-byte system configuration; bytes 9 (channels) and 12 (serial
// ports) are always the running counts. Returns 0, or -1 on a store failure.
extern "C" int st_param_getSysConfig(void* record) {
    if (auto injected = injectedFailure("st_param_getSysConfig")) return *injected;
    if (record == nullptr) return -1;
    if (readRecord(wire::PARAM_SYS_CONFIG, 0, 0, wire::SYSCONFIG_SIZE, record) != 0) return -1;
    wire::putU8(record, wire::SYSCONFIG_CHANNEL_COUNT, deviceState().channels);
    wire::putU8(record, wire::SYSCONFIG_SERIAL_PORT_COUNT, deviceState().serialPorts);
    return 0;
}

// The channel count, as in byte 9 of the system configuration.
extern "C" int st_param_getChannelNum(void) {
    if (auto injected = injectedFailure("st_param_getChannelNum")) return *injected;
    return deviceState().channels;
}

// The stored 92-byte network record (base port u16 at 0 and address at 4 are
// the running ones). Returns 0, or -1 on a store failure.
extern "C" int st_param_getNetworkStruct(void* record) {
    if (auto injected = injectedFailure("st_param_getNetworkStruct")) return *injected;
    return readRecord(wire::PARAM_NET_CONFIG, 0, 0, wire::NETWORK_RECORD_SIZE, record);
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

// Stores the records of `type` from the payload: as many bytes as the type's
// records take on this device (no length comes with the call). Returns 0, or
// -1 for an unknown type, records that would not fit in a payload, a change
// of the running configuration, or a store failure.
extern "C" int st_app_netSetParam(uint16_t type, const void* payload) {
    if (auto injected = injectedFailure("st_app_netSetParam")) return *injected;
    const ParamType* t = findParamType(type);
    if (t == nullptr || payload == nullptr) return -1;
    const size_t count = paramRecordCount(*t);
    if (count * t->size > wire::MAX_PAYLOAD) return -1;
    const auto* bytes = static_cast<const uint8_t*>(payload);
    if (!keepsRunningConfig(type, bytes)) return -1;
    std::vector<Bytes> records;
    for (size_t i = 0; i < count; ++i)
        records.emplace_back(bytes + i * t->size, bytes + (i + 1) * t->size);
    return deviceStore().putParams(type, records) ? 0 : -1;
}

// Writes every record of `type` back to back (channel or port 0 first) and
// their byte count into *count. Returns 0, or -1 for an unknown type or a
// store failure.
extern "C" int st_app_netGetParam(uint16_t type, void* out, uint32_t* count) {
    if (auto injected = injectedFailure("st_app_netGetParam")) return *injected;
    const ParamType* t = findParamType(type);
    if (t == nullptr || out == nullptr || count == nullptr) return -1;
    const size_t n = paramRecordCount(*t);
    if (n * t->size > wire::MAX_PAYLOAD) return -1;
    for (size_t i = 0; i < n; ++i)
        if (readRecord(type, static_cast<int>(i), 0, t->size, static_cast<uint8_t*>(out) + i * t->size) != 0)
            return -1;
    *count = static_cast<uint32_t>(n * t->size);
    return 0;
}

/* ---- the stored values behind the audit of MSG_SET_PARAM ----------------------
 * Each returns 0, or -1 for a channel or entry out of range (the buffer is
 * then left untouched). */

namespace {
int entryOf(uint16_t type, int channel, int index, size_t entrySize, void* out) {
    if (index < 0 || index >= static_cast<int>(wire::ENTRIES_PER_CHANNEL)) return -1;
    return readRecord(type, channel, static_cast<size_t>(index) * entrySize, entrySize, out);
}
}  // namespace

extern "C" int st_param_getProberStruct(int channel, void* out) {
    if (auto injected = injectedFailure("st_param_getProberStruct")) return *injected;
    return readRecord(wire::PARAM_PROBER_ALARM, channel, 0, wire::PROBER_RECORD_SIZE, out);
}
extern "C" int st_param_getTerminateStruct(int channel, void* out) {
    if (auto injected = injectedFailure("st_param_getTerminateStruct")) return *injected;
    return readRecord(wire::PARAM_PTZ_CONFIG, channel, 0, wire::TERMINATE_RECORD_SIZE, out);
}
extern "C" int st_param_getTimerStruct(int channel, int index, void* out) {
    if (auto injected = injectedFailure("st_param_getTimerStruct")) return *injected;
    return entryOf(wire::PARAM_TIMER_RECORD, channel, index, wire::TIMER_ENTRY_SIZE, out);
}
extern "C" int st_param_getVideoLoseStruct(int channel, void* out) {
    if (auto injected = injectedFailure("st_param_getVideoLoseStruct")) return *injected;
    return readRecord(wire::PARAM_LOST_ALARM, channel, 0, wire::VIDEO_LOST_RECORD_SIZE, out);
}
extern "C" int st_param_getVideoMoveStruct(int channel, int index, void* out) {
    if (auto injected = injectedFailure("st_param_getVideoMoveStruct")) return *injected;
    return entryOf(wire::PARAM_MOVE_ALARM, channel, index, wire::MOVE_ENTRY_SIZE, out);
}
extern "C" int st_param_getVideoConfigParam(int channel, void* out) {
    if (auto injected = injectedFailure("st_param_getVideoConfigParam")) return *injected;
    return readRecord(wire::PARAM_VIDEO_CONFIG, channel, 0, wire::VIDEO_CONFIG_RECORD_SIZE, out);
}
extern "C" int st_param_getVideoEncodeParam(int channel, void* out) {
    if (auto injected = injectedFailure("st_param_getVideoEncodeParam")) return *injected;
    return readRecord(wire::PARAM_VIDEO_ENCODE, channel, 0, wire::VIDEO_ENCODE_RECORD_SIZE, out);
}
extern "C" int st_param_getOsdLogoStruct(int channel, void* out) {
    if (auto injected = injectedFailure("st_param_getOsdLogoStruct")) return *injected;
    return readRecord(wire::PARAM_OSD, channel, wire::OSD_TIME_SIZE, wire::OSD_LOGO_SIZE, out);
}
extern "C" int st_param_getOsdTimeStruct(int channel, void* out) {
    if (auto injected = injectedFailure("st_param_getOsdTimeStruct")) return *injected;
    return readRecord(wire::PARAM_OSD, channel, 0, wire::OSD_TIME_SIZE, out);
}
extern "C" int st_param_getOverlayStruct(int channel, void* out) {
    if (auto injected = injectedFailure("st_param_getOverlayStruct")) return *injected;
    return readRecord(wire::PARAM_VIDEO_OVERLAY, channel, 0, wire::OVERLAY_RECORD_SIZE, out);
}
extern "C" int st_param_getPppoeInfoStruct(void* out) {
    if (auto injected = injectedFailure("st_param_getPppoeInfoStruct")) return *injected;
    return readRecord(wire::PARAM_PPPOE, 0, 0, wire::PPPOE_RECORD_SIZE, out);
}
extern "C" int st_param_getRecParamStruct(void* out) {
    if (auto injected = injectedFailure("st_param_getRecParamStruct")) return *injected;
    return readRecord(wire::PARAM_RECORD_TYPE, 0, 0, wire::RECORD_TYPE_RECORD_SIZE, out);
}
extern "C" int st_param_getCmos(void* out) {
    if (auto injected = injectedFailure("st_param_getCmos")) return *injected;
    return readRecord(wire::PARAM_CMOS, 0, 0, wire::CMOS_RECORD_SIZE, out);
}

// Stores one channel's 12-byte video config record. Returns 0, or -1 for a
// channel out of range or a store failure.
extern "C" int st_param_setVideoConfigParam(int channel, VideoConfigRecord record) {
    if (auto injected = injectedFailure("st_param_setVideoConfigParam")) return *injected;
    if (channel < 0 || channel >= deviceState().channels) return -1;
    const Bytes bytes(record.bytes, record.bytes + sizeof record.bytes);
    return deviceStore().putParam(wire::PARAM_VIDEO_CONFIG, channel, bytes) ? 0 : -1;
}
