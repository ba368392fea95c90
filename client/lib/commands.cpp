/*
 * commands.cpp - the device's command messages: answers in general, the
 * clock and device information, maintenance, PTZ, manual recording, serial
 * and record files. Users and the log are in users_log.cpp, parameters in
 * params.cpp.
 *
 * Records are built and read field by field at their offsets with the wire
 * helpers; no structure is ever laid over a buffer.
 */
#include "commands.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "payload.h"
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

void ack(Connection& conn, uint16_t type, const std::vector<uint8_t>& payload, Duration timeout,
         const char* what) {
    command(conn, type, 0, payload, timeout, what);
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
    return {wire::getText(p, records::VERSION_FIRMWARE, n),
            wire::getText(p, records::VERSION_HARDWARE, n),
            wire::getText(p, records::VERSION_SERIAL_NUMBER, n),
            wire::getText(p, records::VERSION_RELEASE_DATE, n),
            wire::getText(p, records::VERSION_SYSTEM, n)};
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
    wire::putText(record.data(), records::VERSION_FIRMWARE, records::VERSION_TEXT_SIZE, firmware);
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
    // SystemStatus lists the record's words in their order on the wire.
    static_assert(records::STATUS_UPTIME == 0 && records::STATUS_RECORDING_MASK == 11 * 4);
    const auto w = wire::getWords<12>(payload.data(), records::STATUS_UPTIME);
    return {w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], w[8], w[9], w[10], w[11]};
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
    return wire::getText(m.payload.data(), 0, m.payload.size());
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
    static_assert(records::FDISK_DISK == 0 && records::FDISK_PARTITIONS == 4);
    const std::vector<uint8_t> p = words({disk, partitions});
    command(conn, wire::MSG_FDISK_HD, 0, p, timeout, "partition disk " + std::to_string(disk));
}

int32_t fdiskStatus(Connection& conn, Duration timeout) {
    Message m = request(conn, wire::MSG_GET_FDISK_STATUS, 0, {}, timeout);
    if (m.header.status != wire::STATUS_OK && m.header.status != wire::STATUS_FAILED) {
        throw CommandRefused(m.header.status,
                             "partitioning status: " + statusText(m.header.status));
    }
    expectSize(m.payload, wire::FDISK_STATUS_REPLY_SIZE, "partitioning status");
    return wire::getI32(m.payload.data(), wire::FDISK_STATUS_VALUE);
}

void startFormat(Connection& conn, uint32_t disk, uint32_t partition, uint32_t fileSystem,
                 Duration timeout) {
    static_assert(records::FORMAT_DISK == 0 && records::FORMAT_PARTITION == 4 &&
                  records::FORMAT_FILE_SYSTEM == 8);
    const std::vector<uint8_t> p = words({disk, partition, fileSystem});
    command(conn, wire::MSG_FORMAT_PART, 0, p, timeout,
            "format disk " + std::to_string(disk) + " partition " + std::to_string(partition));
}

int32_t formatPercent(Connection& conn, uint32_t disk, uint32_t partition, Duration timeout) {
    Message m = command(conn, wire::MSG_GET_FORMAT_PERCENT, 0, words({disk, partition}), timeout,
                        "format progress of disk " + std::to_string(disk) + " partition " +
                            std::to_string(partition));
    expectSize(m.payload, wire::FORMAT_PERCENT_REPLY_SIZE, "format progress");
    return wire::getI32(m.payload.data(), wire::FORMAT_PERCENT_VALUE);
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
    wire::putText(p.data(), 0, wire::RECORD_FILE_REQUEST_SIZE, name);
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
