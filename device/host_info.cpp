/*
 * host_info.cpp - device information: the version record, the system status,
 * update information, the platform type, camera re-initialisation and the
 * Wi-Fi access-point list.
 */
#include <sys/utsname.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "device_state.h"
#include "failures.h"
#include "netserver/host_api.h"
#include "netserver/records.h"
#include "netserver/wire.h"
#include "param_table.h"
#include "store.h"

namespace {

namespace rec = records;

constexpr const char* kVersionKey = "version";
constexpr const char* kFirmwareVersion = "recnet-device 1.0.0";
constexpr const char* kHardware = "recnet reference recorder";
constexpr const char* kReleaseDate = "2026-01-15";

// The device's fixed access-point list: one line per access point.
constexpr const char kAccessPoints[] =
    "ssid=recnet-lab bssid=02:00:5e:10:00:01 channel=6 signal=-48 security=WPA2\n"
    "ssid=recnet-guest bssid=02:00:5e:10:00:02 channel=11 signal=-67 security=open\n"
    "ssid=warehouse-cam bssid=02:00:5e:10:00:03 channel=1 signal=-79 security=WPA2\n";

void putText(Bytes& r, size_t offset, const std::string& text) {
    std::memcpy(r.data() + offset, text.data(), std::min(text.size(), rec::VERSION_TEXT_SIZE - 1));
}

Bytes defaultVersionRecord() {
    Bytes r(wire::VERSION_RECORD_SIZE, 0);
    putText(r, rec::VERSION_FIRMWARE, kFirmwareVersion);
    putText(r, rec::VERSION_HARDWARE, kHardware);
    putText(r, rec::VERSION_SERIAL_NUMBER, "RN-000001");
    putText(r, rec::VERSION_RELEASE_DATE, kReleaseDate);
    utsname system{};
    if (uname(&system) == 0) putText(r, rec::VERSION_SYSTEM, std::string(system.sysname) + " " + system.release);
    return r;
}

int accessPoints(void* buffer) {
    if (buffer == nullptr) return -1;
    std::memcpy(buffer, kAccessPoints, sizeof kAccessPoints - 1);
    return static_cast<int>(sizeof kAccessPoints - 1);
}

}  // namespace

bool ensureVersionRecord() {
    return deviceStore().blob(kVersionKey) || deviceStore().putBlob(kVersionKey, defaultVersionRecord());
}

bool resetVersionRecord() { return deviceStore().putBlob(kVersionKey, defaultVersionRecord()); }

bool setFirmwareVersion(const std::string& firmware) {
    Bytes r = deviceStore().blob(kVersionKey).value_or(defaultVersionRecord());
    r.resize(wire::VERSION_RECORD_SIZE, 0);
    std::fill_n(r.begin() + rec::VERSION_FIRMWARE, rec::VERSION_TEXT_SIZE, 0);
    putText(r, rec::VERSION_FIRMWARE, firmware);
    return deviceStore().putBlob(kVersionKey, r);
}

// The stored 160-byte version record (five texts, layout in records.h).
// Returns 0, or -1 on a store failure.
extern "C" int st_app_netGetVersionInfo(void* out) {
    if (auto injected = injectedFailure("st_app_netGetVersionInfo")) return *injected;
    std::optional<Bytes> r = deviceStore().blob(kVersionKey);
    if (out == nullptr || !r) return -1;
    r->resize(wire::VERSION_RECORD_SIZE, 0);
    std::memcpy(out, r->data(), wire::VERSION_RECORD_SIZE);
    return 0;
}

// Stores the version record as given. Returns 0, or -1 on a store failure.
extern "C" int st_param_setVersionInfo(VersionRecord record) {
    if (auto injected = injectedFailure("st_param_setVersionInfo")) return *injected;
    if (!deviceStore().putBlob(kVersionKey, Bytes(record.bytes, record.bytes + sizeof record.bytes))) return -1;
    const std::string firmware(reinterpret_cast<const char*>(record.bytes) + rec::VERSION_FIRMWARE,
                               strnlen(reinterpret_cast<const char*>(record.bytes), rec::VERSION_TEXT_SIZE));
    deviceLog(wire::LOG_CATEGORY_SYSTEM, "version set to " + firmware);
    return 0;
}

// Fills the 1244-byte system-status record (layout in records.h): uptime,
// device clock, counts of channels, ports, disks, logins, server starts,
// users, log lines, record files, and the manual-recording mask. Returns 0.
extern "C" int st_app_netGetSystemStatusInfo(void* out) {
    if (auto injected = injectedFailure("st_app_netGetSystemStatusInfo")) return *injected;
    if (out == nullptr) return -1;
    const DeviceState& d = deviceState();
    const DeviceCounters counters = deviceCounters();
    auto* r = static_cast<uint8_t*>(out);
    std::fill(r, r + wire::SYSTEM_STATUS_RECORD_SIZE, 0);
    wire::putU32(r, rec::STATUS_UPTIME, counters.uptimeSeconds);
    wire::putU32(r, rec::STATUS_CLOCK, static_cast<uint32_t>(deviceNow()));
    wire::putU32(r, rec::STATUS_CHANNELS, d.channels);
    wire::putU32(r, rec::STATUS_SERIAL_PORTS, d.serialPorts);
    wire::putU32(r, rec::STATUS_DISKS, d.disks);
    wire::putU32(r, rec::STATUS_LOGINS_ACCEPTED, counters.loginsAccepted);
    wire::putU32(r, rec::STATUS_LOGINS_REFUSED, counters.loginsRefused);
    wire::putU32(r, rec::STATUS_SERVER_STARTS, counters.serverStarts);
    wire::putU32(r, rec::STATUS_USERS, static_cast<uint32_t>(deviceStore().userCount()));
    wire::putU32(r, rec::STATUS_LOG_LINES, static_cast<uint32_t>(deviceStore().logCount()));
    wire::putU32(r, rec::STATUS_RECORD_FILES, recordFileCount());
    wire::putU32(r, rec::STATUS_RECORDING_MASK, handRecordingMask());
    return 0;
}

// One u32: bit 0 set, firmware uploads are accepted. Returns 0.
extern "C" int st_app_netGetUpdateSystemInfo(void* out) {
    if (auto injected = injectedFailure("st_app_netGetUpdateSystemInfo")) return *injected;
    if (out == nullptr) return -1;
    wire::putU32(out, 0, rec::UPDATE_UPLOAD_SUPPORTED);
    return 0;
}

// The platform type of this device (records::PLATFORM_REFERENCE).
extern "C" int st_param_getFlatType(void) {
    if (auto injected = injectedFailure("st_param_getFlatType")) return *injected;
    return static_cast<int>(rec::PLATFORM_REFERENCE);
}

// Re-initialises the cameras: every channel's video config back to its
// default. Returns 0, or -1 on a store failure.
extern "C" int st_param_initCameraInfo(void) {
    if (auto injected = injectedFailure("st_param_initCameraInfo")) return *injected;
    return resetParamLogged(wire::PARAM_VIDEO_CONFIG, wire::LOG_CATEGORY_CONTROL,
                            "camera settings reinitialised");
}

// Re-initialises the cameras' video interface: every channel's video encode
// record back to its default. Returns 0, or -1 on a store failure.
extern "C" int st_param_initCameraItu(void) {
    if (auto injected = injectedFailure("st_param_initCameraItu")) return *injected;
    return resetParamLogged(wire::PARAM_VIDEO_ENCODE, wire::LOG_CATEGORY_CONTROL,
                            "camera video interface reinitialised");
}

// The device's Wi-Fi adapter is not of the RT73 family. Returns 0.
extern "C" int st_iwlist_iwprivIsRt73(void) {
    if (auto injected = injectedFailure("st_iwlist_iwprivIsRt73")) return *injected;
    return 0;
}

// The fixed access-point list as text, one line per access point; returns its
// length in bytes.
extern "C" int st_iwlist_getApInfo(void* buffer, int sock) {
    (void)sock;
    if (auto injected = injectedFailure("st_iwlist_getApInfo")) return *injected;
    return accessPoints(buffer);
}

// The same list, as an RT73-family adapter would report it.
extern "C" int st_iwlist_getIwprivApInfo(void* buffer, int sock) {
    (void)sock;
    if (auto injected = injectedFailure("st_iwlist_getIwprivApInfo")) return *injected;
    return accessPoints(buffer);
}
