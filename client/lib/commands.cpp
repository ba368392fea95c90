/*
 * commands.cpp - the device's command messages.
 *
 * Records are built and read field by field at their offsets with the wire
 * helpers; no structure is ever laid over a buffer.
 */
#include "commands.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "netserver/records.h"
#include "netserver/wire.h"

namespace recnet {

namespace {

using Clock = std::chrono::steady_clock;

std::string hex16(unsigned v) {
    char b[8];
    std::snprintf(b, sizeof b, "0x%x", v);
    return b;
}

// Copies `text` into the `size`-byte field at `off`, cut so that its NUL fits.
void putText(std::vector<uint8_t>& buf, size_t off, size_t size, const std::string& text) {
    size_t n = std::min(text.size(), size - 1);
    std::memcpy(buf.data() + off, text.data(), n);
    buf[off + n] = 0;
}

// The NUL-terminated text of the `size`-byte field at `p` (all of it when no
// NUL is inside).
std::string getText(const uint8_t* p, size_t size) {
    const uint8_t* end = static_cast<const uint8_t*>(std::memchr(p, 0, size));
    return std::string(reinterpret_cast<const char*>(p), end ? size_t(end - p) : size);
}

std::vector<uint8_t> words(std::initializer_list<uint32_t> values) {
    std::vector<uint8_t> out(values.size() * 4);
    size_t off = 0;
    for (uint32_t v : values) {
        wire::putU32(out.data(), off, v);
        off += 4;
    }
    return out;
}

void ack(Connection& conn, uint16_t type, const std::vector<uint8_t>& payload, Duration timeout,
         const char* what) {
    command(conn, type, 0, payload, timeout, what);
}

// The count word of a list reply, checked against the records that follow.
size_t listCount(const std::vector<uint8_t>& payload, size_t recordSize, const char* what) {
    expectSize(payload, wire::LIST_COUNT_SIZE, what);
    size_t n = wire::getU32(payload.data(), 0);
    size_t fit = (payload.size() - wire::LIST_COUNT_SIZE) / recordSize;
    return std::min(n, fit);
}

}  // namespace

/* ---- answers in general ------------------------------------------------------ */

std::string statusText(uint8_t status) {
    switch (status) {
        case wire::STATUS_OK: return "ok";
        case wire::STATUS_FAILED: return "failed (status 0xff)";
        case wire::STATUS_DISK_BUSY:
            return "device busy: a disk operation (partitioning, format or upload) is running "
                   "(status 0x11)";
        case wire::STATUS_FDISK_BUSY:
            return "device busy: a disk operation (partitioning, format or upload) is running "
                   "(status 0x12)";
        default: return "failed (status " + hex16(status) + ")";
    }
}

void expectSize(const std::vector<uint8_t>& payload, size_t size, const char* what) {
    if (payload.size() < size) {
        throw Error(Error::Kind::Protocol, std::string(what) + " answer has length " +
                                               std::to_string(payload.size()) + " (expected " +
                                               std::to_string(size) + ")");
    }
}

Message request(Connection& conn, uint16_t type, uint16_t subtype,
                const std::vector<uint8_t>& payload, Duration timeout) {
    conn.sendMessage(type, subtype, payload);
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<Duration>(deadline - Clock::now());
        if (left.count() <= 0) left = Duration(1);
        Message m = conn.readMessage(left);
        if (m.header.type == type) return m;
        // Another kind of message (pushed serial data, progress of an
        // earlier operation): not the answer, keep waiting.
    }
}

Message command(Connection& conn, uint16_t type, uint16_t subtype,
                const std::vector<uint8_t>& payload, Duration timeout, const std::string& what) {
    Message m = request(conn, type, subtype, payload, timeout);
    if (m.header.status != wire::STATUS_OK) {
        throw CommandRefused(m.header.status, what + ": " + statusText(m.header.status));
    }
    return m;
}

/* ---- users ------------------------------------------------------------------- */

std::vector<uint8_t> buildUserRecord(const std::string& name, const std::string& password,
                                     uint32_t rights) {
    std::vector<uint8_t> r(wire::USER_RECORD_SIZE, 0);
    putText(r, records::USER_NAME, records::USER_TEXT_SIZE, name);
    putText(r, records::USER_PASSWORD, records::USER_TEXT_SIZE, password);
    wire::putU32(r.data(), records::USER_RIGHTS, rights);
    return r;
}

std::vector<UserInfo> decodeUserList(const std::vector<uint8_t>& payload) {
    size_t n = listCount(payload, wire::USER_RECORD_SIZE, "user list");
    std::vector<UserInfo> out;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* r = payload.data() + wire::LIST_COUNT_SIZE + i * wire::USER_RECORD_SIZE;
        out.push_back({getText(r + records::USER_NAME, records::USER_TEXT_SIZE),
                       wire::getU32(r, records::USER_RIGHTS)});
    }
    return out;
}

std::vector<UserInfo> listUsers(Connection& conn, Duration timeout) {
    return decodeUserList(
        command(conn, wire::MSG_GET_USER_LIST, 0, {}, timeout, "user list").payload);
}

void addUser(Connection& conn, const std::string& name, const std::string& password,
             uint32_t rights, Duration timeout) {
    command(conn, wire::MSG_ADD_USER, 0, buildUserRecord(name, password, rights), timeout,
            "add user '" + name + "'");
}

void deleteUser(Connection& conn, const std::string& name, Duration timeout) {
    command(conn, wire::MSG_DELETE_USER, 0, buildUserRecord(name, "", 0), timeout,
            "delete user '" + name + "'");
}

void modifyUser(Connection& conn, const std::string& name, const std::string& password,
                uint32_t rights, Duration timeout) {
    command(conn, wire::MSG_MODIFY_USER, 0, buildUserRecord(name, password, rights), timeout,
            "modify user '" + name + "'");
}

/* ---- device log --------------------------------------------------------------- */

std::vector<uint8_t> buildLogQuery(const LogQuery& q) {
    std::vector<uint8_t> r(wire::LOG_QUERY_SIZE, 0);
    wire::putU32(r.data(), records::QUERY_START, q.since);
    wire::putU32(r.data(), records::QUERY_END, q.until);
    wire::putU32(r.data(), records::QUERY_CATEGORY, q.category);
    wire::putU32(r.data(), records::QUERY_MAX, q.max);
    return r;
}

std::vector<LogEntry> decodeLogList(const std::vector<uint8_t>& payload) {
    size_t n = listCount(payload, wire::LOG_RECORD_SIZE, "log list");
    std::vector<LogEntry> out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* r = payload.data() + wire::LIST_COUNT_SIZE + i * wire::LOG_RECORD_SIZE;
        out.push_back({wire::getU32(r, records::LOG_ID), wire::getU32(r, records::LOG_TIME),
                       wire::getU32(r, records::LOG_CATEGORY),
                       getText(r + records::LOG_TEXT, wire::LOG_LINE_SIZE)});
    }
    return out;
}

std::string logCategoryName(uint32_t category) {
    switch (category) {
        case wire::LOG_CATEGORY_SYSTEM: return "system";
        case wire::LOG_CATEGORY_DISK: return "disk";
        case wire::LOG_CATEGORY_CONTROL: return "control";
        case wire::LOG_CATEGORY_OPERATION: return "operation";
        default: return std::to_string(category);
    }
}

std::vector<LogEntry> listLog(Connection& conn, const LogQuery& q, Duration timeout) {
    return decodeLogList(
        command(conn, wire::MSG_GET_LOG_LIST, 0, buildLogQuery(q), timeout, "log list").payload);
}

void deleteLog(Connection& conn, const LogQuery& q, Duration timeout) {
    command(conn, wire::MSG_DELETE_LOG, 0, buildLogQuery(q), timeout, "delete log");
}

/* ---- parameters ----------------------------------------------------------------- */

std::vector<uint8_t> getParam(Connection& conn, uint16_t type, Duration timeout) {
    return command(conn, wire::MSG_GET_PARAM, type, {}, timeout,
                   "get parameter " + std::to_string(type))
        .payload;
}

void setParam(Connection& conn, uint16_t type, const std::vector<uint8_t>& value,
              Duration timeout) {
    if (value.size() > wire::MAX_PAYLOAD) {
        throw Error(Error::Kind::Protocol, "parameter value is longer than " +
                                               std::to_string(wire::MAX_PAYLOAD) + " bytes");
    }
    command(conn, wire::MSG_SET_PARAM, type, value, timeout,
            "set parameter " + std::to_string(type));
}

void resetVideoConfig(Connection& conn, int channel, Duration timeout) {
    std::vector<uint8_t> p(1, static_cast<uint8_t>(static_cast<int8_t>(channel)));
    command(conn, wire::MSG_RESET_VIDEO_CONFIG, 0, p, timeout,
            "reset video config of channel " + std::to_string(channel));
}

const ParamLayout* paramLayout(uint16_t type) {
    using K = ParamField::Kind;
    static const std::vector<ParamLayout> layouts = {
        {wire::PARAM_NET_CONFIG,
         "network",
         wire::NETWORK_RECORD_SIZE,
         {{"base_port", wire::NETWORK_BASE_PORT, K::U16, 2},
          {"address", records::NETWORK_ADDRESS, K::Ipv4, 4},
          {"netmask", records::NETWORK_NETMASK, K::Ipv4, 4},
          {"gateway", records::NETWORK_GATEWAY, K::Ipv4, 4},
          {"dns", records::NETWORK_DNS, K::Ipv4, 4},
          {"mac", records::NETWORK_MAC, K::Mac, 6},
          {"dhcp", records::NETWORK_DHCP, K::U8, 1}}},
        {wire::PARAM_PTZ_CONFIG,
         "PTZ config",
         wire::TERMINATE_RECORD_SIZE,
         {{"protocol", records::PTZCFG_PROTOCOL, K::U32, 4},
          {"address", records::PTZCFG_ADDRESS, K::U32, 4},
          {"baud", records::PTZCFG_BAUD, K::U32, 4},
          {"serial_port", records::PTZCFG_PORT, K::U8, 1}}},
        {wire::PARAM_VIDEO_CONFIG,
         "video config",
         wire::VIDEO_CONFIG_RECORD_SIZE,
         {{"name", 0, K::Text, wire::VIDEO_CONFIG_NAME_SIZE},
          {"brightness", records::VIDEO_BRIGHTNESS, K::U8, 1},
          {"contrast", records::VIDEO_CONTRAST, K::U8, 1},
          {"saturation", records::VIDEO_SATURATION, K::U8, 1},
          {"hue", records::VIDEO_HUE, K::U8, 1}}},
        {wire::PARAM_VIDEO_ENCODE,
         "video encode",
         wire::VIDEO_ENCODE_RECORD_SIZE,
         {{"width", records::ENCODE_WIDTH, K::U32, 4},
          {"height", records::ENCODE_HEIGHT, K::U32, 4},
          {"frame_rate", records::ENCODE_FRAME_RATE, K::U32, 4},
          {"bit_rate", records::ENCODE_BIT_RATE, K::U32, 4},
          {"key_interval", records::ENCODE_KEY_INTERVAL, K::U32, 4},
          {"quality", records::ENCODE_QUALITY, K::U32, 4},
          {"vbr", records::ENCODE_VBR, K::U32, 4}}},
        {wire::PARAM_OSD,
         "OSD",
         wire::OSD_BLOCK_SIZE,
         {{"time_shown", records::OSD_TIME_SHOWN, K::U8, 1},
          {"time_format", records::OSD_TIME_FORMAT, K::U8, 1},
          {"time_x", records::OSD_TIME_X, K::U16, 2},
          {"time_y", records::OSD_TIME_Y, K::U16, 2},
          {"logo_shown", records::OSD_LOGO_SHOWN, K::U8, 1},
          {"logo_x", records::OSD_LOGO_X, K::U16, 2},
          {"logo_y", records::OSD_LOGO_Y, K::U16, 2},
          {"logo_text", records::OSD_LOGO_TEXT, K::Text, records::OSD_LOGO_TEXT_SIZE}}},
        {wire::PARAM_RECORD_TYPE,
         "record type",
         wire::RECORD_TYPE_RECORD_SIZE,
         {{"mode", records::RECTYPE_MODE, K::U32, 4},
          {"prerecord_seconds", records::RECTYPE_PRERECORD, K::U32, 4},
          {"file_minutes", records::RECTYPE_FILE_MINUTES, K::U32, 4},
          {"overwrite", records::RECTYPE_OVERWRITE, K::U32, 4}}},
        {records::PARAM_SERIAL,
         "serial",
         wire::SERIAL_SETTING_SIZE,
         {{"data_bits", wire::SERIAL_DATA_BITS, K::U8, 1},
          {"stop_bits", wire::SERIAL_STOP_BITS, K::U8, 1},
          {"parity", wire::SERIAL_PARITY, K::U32, 4},
          {"baud", wire::SERIAL_BAUD, K::U32, 4}}},
        {records::PARAM_TRANSPARENCE,
         "transparence",
         wire::TRANSPARENCE_SIZE,
         {{"port", wire::TRANSPARENCE_PORT, K::U8, 1},
          {"receive", wire::TRANSPARENCE_RECEIVE, K::U8, 1},
          {"send", wire::TRANSPARENCE_SEND, K::U8, 1}}},
        {records::PARAM_HAND_RECORD,
         "manual recording",
         wire::HAND_RECORD_SETTING_SIZE,
         {{"on", records::HAND_RECORD_ON, K::U8, 1},
          {"kind", records::HAND_RECORD_KIND, K::U8, 1},
          {"minutes", records::HAND_RECORD_MINUTES, K::U8, 1}}},
        {wire::PARAM_CMOS,
         "CMOS",
         wire::CMOS_RECORD_SIZE,
         {{"brightness", records::CMOS_BRIGHTNESS, K::U32, 4},
          {"contrast", 4, K::U32, 4},
          {"saturation", 8, K::U32, 4},
          {"hue", 12, K::U32, 4},
          {"sharpness", 16, K::U32, 4},
          {"mirror", records::CMOS_MIRROR, K::U32, 4}}},
        {wire::PARAM_SYS_CONFIG,
         "system configuration",
         wire::SYSCONFIG_SIZE,
         {{"device_id", records::SYSCONFIG_DEVICE_ID, K::U32, 4},
          {"video_standard", records::SYSCONFIG_VIDEO_STANDARD, K::U8, 1},
          {"channels", wire::SYSCONFIG_CHANNEL_COUNT, K::U8, 1},
          {"alarm_inputs", records::SYSCONFIG_ALARM_INPUTS, K::U8, 1},
          {"alarm_outputs", records::SYSCONFIG_ALARM_OUTPUTS, K::U8, 1},
          {"serial_ports", wire::SYSCONFIG_SERIAL_PORT_COUNT, K::U8, 1},
          {"name", records::SYSCONFIG_NAME, K::Text, records::SYSCONFIG_NAME_SIZE}}},
        // Types without named fields: known record sizes only, so that
        // --channel can pick one record.
        {wire::PARAM_PROBER_ALARM, "prober alarm", wire::PROBER_RECORD_SIZE, {}},
        {wire::PARAM_TIMER_RECORD,
         "timer record",
         wire::TIMER_ENTRY_SIZE * wire::ENTRIES_PER_CHANNEL,
         {}},
        {wire::PARAM_LOST_ALARM, "video lost", wire::VIDEO_LOST_RECORD_SIZE, {}},
        {wire::PARAM_MOVE_ALARM, "motion", wire::MOVE_ENTRY_SIZE * wire::ENTRIES_PER_CHANNEL, {}},
        {wire::PARAM_VIDEO_OVERLAY, "video overlay", wire::OVERLAY_RECORD_SIZE, {}},
        {wire::PARAM_PPPOE, "PPPoE", wire::PPPOE_RECORD_SIZE, {}},
    };
    for (const ParamLayout& l : layouts) {
        if (l.type == type) return &l;
    }
    return nullptr;
}

std::string fieldText(const uint8_t* record, const ParamField& f) {
    using K = ParamField::Kind;
    const uint8_t* p = record + f.offset;
    char b[32];
    switch (f.kind) {
        case K::U8: return std::to_string(p[0]);
        case K::U16: return std::to_string(wire::getU16(record, f.offset));
        case K::U32: return std::to_string(wire::getU32(record, f.offset));
        case K::Text: return getText(p, f.size);
        case K::Ipv4: std::snprintf(b, sizeof b, "%u.%u.%u.%u", p[0], p[1], p[2], p[3]); return b;
        case K::Mac:
            std::snprintf(b, sizeof b, "%02x:%02x:%02x:%02x:%02x:%02x", p[0], p[1], p[2], p[3],
                          p[4], p[5]);
            return b;
    }
    return "";
}

/* ---- clock and device information -------------------------------------------------- */

std::vector<uint8_t> buildTimeRecord(const TimeInfo& t) {
    return words({t.year, t.month, t.day, t.hour, t.minute, t.second});
}

TimeInfo getTime(Connection& conn, Duration timeout) {
    Message m = command(conn, wire::MSG_GET_TIME, 0, {}, timeout, "get time");
    expectSize(m.payload, wire::TIME_RECORD_SIZE, "time");
    return decodeTimeRecord(m.payload.data());
}

void setTime(Connection& conn, const TimeInfo& t, Duration timeout) {
    command(conn, wire::MSG_SET_TIME, 0, buildTimeRecord(t), timeout, "set time");
}

VersionInfo decodeVersion(const std::vector<uint8_t>& payload) {
    expectSize(payload, wire::VERSION_RECORD_SIZE, "version");
    const uint8_t* p = payload.data();
    const size_t n = records::VERSION_TEXT_SIZE;
    return {getText(p + records::VERSION_FIRMWARE, n), getText(p + records::VERSION_HARDWARE, n),
            getText(p + records::VERSION_SERIAL_NUMBER, n),
            getText(p + records::VERSION_RELEASE_DATE, n), getText(p + records::VERSION_SYSTEM, n)};
}

VersionInfo getVersion(Connection& conn, Duration timeout) {
    return decodeVersion(
        command(conn, wire::MSG_GET_VERSION_INFO, 0, {}, timeout, "version information").payload);
}

void setVersion(Connection& conn, const std::string& firmware, Duration timeout) {
    std::vector<uint8_t> record =
        command(conn, wire::MSG_GET_VERSION_INFO, 0, {}, timeout, "version information").payload;
    expectSize(record, wire::VERSION_RECORD_SIZE, "version");
    record.resize(wire::VERSION_RECORD_SIZE);
    std::fill(record.begin() + records::VERSION_FIRMWARE,
              record.begin() + records::VERSION_FIRMWARE + records::VERSION_TEXT_SIZE, 0);
    putText(record, records::VERSION_FIRMWARE, records::VERSION_TEXT_SIZE, firmware);
    command(conn, wire::MSG_SET_VERSION_INFO, 0, record, timeout, "set version");
}

std::vector<DiskInfo> decodeHardDisk(const std::vector<uint8_t>& payload) {
    expectSize(payload, wire::HARDDISK_RECORD_SIZE, "hard-disk");
    const uint8_t* p = payload.data();
    size_t count = std::min<size_t>(wire::getU32(p, records::HD_DISK_COUNT), records::HD_MAX_DISKS);
    std::vector<DiskInfo> out;
    for (size_t d = 0; d < count; ++d) {
        const size_t base = records::HD_DISKS + d * records::HD_DISK_SIZE;
        DiskInfo disk;
        disk.state = wire::getU32(p, base + records::HD_DISK_STATE);
        disk.capacity = wire::getU64(p, base + records::HD_DISK_CAPACITY);
        disk.free = wire::getU64(p, base + records::HD_DISK_FREE);
        size_t parts = std::min<size_t>(wire::getU32(p, base + records::HD_DISK_PARTITIONS),
                                        records::HD_MAX_PARTITIONS);
        for (size_t i = 0; i < parts; ++i) {
            const size_t pb = base + records::HD_PARTS + i * records::HD_PART_SIZE;
            disk.partitions.push_back({wire::getU64(p, pb + records::HD_PART_CAPACITY),
                                       wire::getU64(p, pb + records::HD_PART_FREE),
                                       wire::getU32(p, pb + records::HD_PART_STATE),
                                       wire::getU32(p, pb + records::HD_PART_FILE_SYSTEM)});
        }
        out.push_back(std::move(disk));
    }
    return out;
}

std::vector<DiskInfo> getHardDisk(Connection& conn, Duration timeout) {
    return decodeHardDisk(
        command(conn, wire::MSG_GET_HARDDISK_DATA, 0, {}, timeout, "hard-disk information")
            .payload);
}

std::string diskStateName(uint32_t state) {
    switch (state) {
        case records::DISK_ABSENT: return "absent";
        case records::DISK_READY: return "ready";
        case records::DISK_PARTITIONING: return "partitioning";
        case records::DISK_FORMATTING: return "formatting";
        default: return std::to_string(state);
    }
}

std::string partitionStateName(uint32_t state) {
    switch (state) {
        case records::PART_UNFORMATTED: return "unformatted";
        case records::PART_FORMATTED: return "formatted";
        case records::PART_FORMATTING: return "formatting";
        default: return std::to_string(state);
    }
}

SystemStatus decodeSystemStatus(const std::vector<uint8_t>& payload) {
    expectSize(payload, wire::SYSTEM_STATUS_RECORD_SIZE, "system status");
    const uint8_t* p = payload.data();
    SystemStatus s;
    s.uptime = wire::getU32(p, records::STATUS_UPTIME);
    s.clock = wire::getU32(p, records::STATUS_CLOCK);
    s.channels = wire::getU32(p, records::STATUS_CHANNELS);
    s.serialPorts = wire::getU32(p, records::STATUS_SERIAL_PORTS);
    s.disks = wire::getU32(p, records::STATUS_DISKS);
    s.loginsAccepted = wire::getU32(p, records::STATUS_LOGINS_ACCEPTED);
    s.loginsRefused = wire::getU32(p, records::STATUS_LOGINS_REFUSED);
    s.serverStarts = wire::getU32(p, records::STATUS_SERVER_STARTS);
    s.users = wire::getU32(p, records::STATUS_USERS);
    s.logLines = wire::getU32(p, records::STATUS_LOG_LINES);
    s.recordFiles = wire::getU32(p, records::STATUS_RECORD_FILES);
    s.recordingMask = wire::getU32(p, records::STATUS_RECORDING_MASK);
    return s;
}

SystemStatus getSystemStatus(Connection& conn, Duration timeout) {
    return decodeSystemStatus(
        command(conn, wire::MSG_GET_SYSTEM_STATUS_INFO, 0, {}, timeout, "system status").payload);
}

uint32_t getUpdateInfo(Connection& conn, Duration timeout) {
    Message m =
        command(conn, wire::MSG_GET_UPDATE_SYSTEM_INFO, 0, {}, timeout, "update information");
    expectSize(m.payload, wire::UPDATE_INFO_SIZE, "update information");
    return wire::getU32(m.payload.data(), 0);
}

uint32_t getPlatformType(Connection& conn, Duration timeout) {
    Message m = command(conn, wire::MSG_GET_FLAT_TYPE, 0, {}, timeout, "platform type");
    expectSize(m.payload, wire::FLAT_TYPE_REPLY_SIZE, "platform type");
    return wire::getU32(m.payload.data(), 0);
}

std::string getAccessPoints(Connection& conn, Duration timeout) {
    Message m = command(conn, wire::MSG_GET_AP_INFO, 0, {}, timeout, "Wi-Fi scan");
    return getText(m.payload.data(), m.payload.size());
}

void setSessionFlag(Connection& conn, uint32_t value, Duration timeout) {
    ack(conn, wire::MSG_SET_SESSION_FLAG, words({value}), timeout, "session flag");
}

void initCamera(Connection& conn, bool itu, Duration timeout) {
    ack(conn, itu ? wire::MSG_INIT_CAMERA_ITU : wire::MSG_INIT_CAMERA_INFO, {}, timeout,
        "camera initialisation");
}

/* ---- maintenance ------------------------------------------------------------------- */

void reboot(Connection& conn, Duration timeout) {
    ack(conn, wire::MSG_REBOOT_SYSTEM, {}, timeout, "reboot");
}
void defaultSetting(Connection& conn, Duration timeout) {
    ack(conn, wire::MSG_DEFAULT_SETTING, {}, timeout, "default setting");
}
void resumeDefaultParam(Connection& conn, Duration timeout) {
    ack(conn, wire::MSG_RESUME_DEFAULT_PARAM, {}, timeout, "resume default parameters");
}
void factoryReset(Connection& conn, Duration timeout) {
    ack(conn, wire::MSG_RESET_FACTORY_PARAM, {}, timeout, "factory reset");
}
void cmosDefault(Connection& conn, Duration timeout) {
    ack(conn, wire::MSG_CMOS_DEFAULT, {}, timeout, "CMOS default");
}
void reset3g(Connection& conn, Duration timeout) {
    ack(conn, wire::MSG_RESET_3G_MODULE, {}, timeout, "3G module reset");
}
void default3gConfig(Connection& conn, uint32_t value, Duration timeout) {
    ack(conn, wire::MSG_3GCONFIG_DEFAULT, words({value}), timeout, "3G default configuration");
}

void startFdisk(Connection& conn, uint32_t disk, uint32_t partitions, Duration timeout) {
    std::vector<uint8_t> p(8, 0);
    wire::putU32(p.data(), records::FDISK_DISK, disk);
    wire::putU32(p.data(), records::FDISK_PARTITIONS, partitions);
    command(conn, wire::MSG_FDISK_HD, 0, p, timeout, "partition disk " + std::to_string(disk));
}

int32_t fdiskStatus(Connection& conn, Duration timeout) {
    Message m = request(conn, wire::MSG_GET_FDISK_STATUS, 0, {}, timeout);
    if (m.header.status != wire::STATUS_OK && m.header.status != wire::STATUS_FAILED) {
        throw CommandRefused(m.header.status,
                             "partitioning status: " + statusText(m.header.status));
    }
    expectSize(m.payload, wire::FDISK_STATUS_REPLY_SIZE, "partitioning status");
    return wire::getI32(m.payload.data(), 4);
}

void startFormat(Connection& conn, uint32_t disk, uint32_t partition, uint32_t fileSystem,
                 Duration timeout) {
    std::vector<uint8_t> p(12, 0);
    wire::putU32(p.data(), records::FORMAT_DISK, disk);
    wire::putU32(p.data(), records::FORMAT_PARTITION, partition);
    wire::putU32(p.data(), records::FORMAT_FILE_SYSTEM, fileSystem);
    command(conn, wire::MSG_FORMAT_PART, 0, p, timeout,
            "format disk " + std::to_string(disk) + " partition " + std::to_string(partition));
}

int32_t formatPercent(Connection& conn, uint32_t disk, uint32_t partition, Duration timeout) {
    Message m = command(conn, wire::MSG_GET_FORMAT_PERCENT, 0, words({disk, partition}), timeout,
                        "format progress of disk " + std::to_string(disk) + " partition " +
                            std::to_string(partition));
    expectSize(m.payload, wire::FORMAT_PERCENT_REPLY_SIZE, "format progress");
    return wire::getI32(m.payload.data(), 8);
}

/* ---- PTZ, key frames, manual recording, serial, record files ------------------------- */

std::vector<uint8_t> buildPtzCommand(uint32_t channel, uint32_t speed, uint32_t preset) {
    std::vector<uint8_t> r(wire::PTZ_COMMAND_SIZE, 0);
    wire::putU32(r.data(), records::PTZ_CHANNEL, channel);
    wire::putU32(r.data(), records::PTZ_SPEED, speed);
    wire::putU32(r.data(), records::PTZ_PRESET, preset);
    return r;
}

void ptz(Connection& conn, uint16_t action, uint32_t channel, uint32_t speed, uint32_t preset,
         Duration timeout) {
    command(conn, wire::MSG_PTZ_CONTROL, action, buildPtzCommand(channel, speed, preset), timeout,
            "PTZ action " + std::to_string(action) + " on channel " + std::to_string(channel));
}

std::optional<uint16_t> ptzActionNumber(const std::string& name) {
    static const char* const names[] = {"up",          "down",        "left",       "right",
                                        "zoom-in",     "zoom-out",    "focus-near", "focus-far",
                                        "iris-open",   "iris-close",  "stop",       "set-preset",
                                        "goto-preset", "clear-preset"};
    for (size_t i = 0; i < std::size(names); ++i) {
        if (name == names[i]) return static_cast<uint16_t>(i + 1);
    }
    return std::nullopt;
}

void forceKeyFrame(Connection& conn, uint32_t channel, Duration timeout) {
    conn.sendMessage(wire::MSG_FORCE_IFRAME, 0, words({channel}));
    // Messages of one session are handled in order: the echo's answer means
    // that the key-frame request has been taken.
    echo(conn, timeout);
}

void setHandRecord(Connection& conn, uint32_t channel, uint8_t kind, uint8_t minutes,
                   Duration timeout) {
    std::vector<uint8_t> p(wire::HAND_RECORD_SETTING + wire::HAND_RECORD_SETTING_SIZE, 0);
    wire::putU32(p.data(), 0, channel);
    p[wire::HAND_RECORD_SETTING + records::HAND_RECORD_ON] = 1;
    p[wire::HAND_RECORD_SETTING + records::HAND_RECORD_KIND] = kind;
    p[wire::HAND_RECORD_SETTING + records::HAND_RECORD_MINUTES] = minutes;
    command(conn, wire::MSG_SET_HAND_RECORD, 0, p, timeout,
            "start recording on channel " + std::to_string(channel));
}

void clearHandRecord(Connection& conn, uint32_t channel, Duration timeout) {
    command(conn, wire::MSG_CLEAR_HAND_RECORD, 0, words({channel}), timeout,
            "stop recording on channel " + std::to_string(channel));
}

void serialSend(Connection& conn, const std::vector<uint8_t>& data, Duration timeout) {
    if (data.size() > wire::SERIAL_MAX_DATA) {
        throw Error(Error::Kind::Protocol, "serial data of " + std::to_string(data.size()) +
                                               " bytes is above the limit of " +
                                               std::to_string(wire::SERIAL_MAX_DATA));
    }
    std::vector<uint8_t> p(wire::SERIAL_DATA + data.size(), 0);
    wire::putU32(p.data(), wire::SERIAL_COUNT, static_cast<uint32_t>(data.size()));
    std::copy(data.begin(), data.end(), p.begin() + wire::SERIAL_DATA);
    command(conn, wire::MSG_SERIAL_SEND, 0, p, timeout, "serial send");
}

void deleteRecordFile(Connection& conn, const std::string& name, Duration timeout) {
    std::vector<uint8_t> p(wire::RECORD_FILE_REQUEST_SIZE, 0);
    putText(p, 0, wire::RECORD_FILE_REQUEST_SIZE, name);
    command(conn, wire::MSG_DELETE_RECORD_FILE, 0, p, timeout, "delete record file '" + name + "'");
}

void startWorker(Connection& conn, Duration wait) {
    conn.sendMessage(wire::MSG_START_SESSION_THREAD, 0,
                     std::vector<uint8_t>(wire::WORKER_WORK_SIZE, 0));
    // Started: no answer. Refused: a failure answer.
    std::optional<Message> m = conn.tryReadMessage(wait);
    if (m && m->header.type == wire::MSG_START_SESSION_THREAD &&
        m->header.status != wire::STATUS_OK) {
        throw CommandRefused(m->header.status, "worker start: " + statusText(m->header.status));
    }
}

}  // namespace recnet
