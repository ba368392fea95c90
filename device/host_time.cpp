/*
 * host_time.cpp - the device clock: MSG_SET_TIME, MSG_GET_TIME and the
 * device's answer to MSG_TIME_INFO, all on one clock.
 *
 * The device clock is the machine's clock plus an offset that the device
 * keeps in its store; setting the time moves only the offset. Calendar
 * fields are in the machine's local time zone.
 */
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>

#include "device_state.h"
#include "failures.h"
#include "module_loader.h"
#include "netserver/host_api.h"
#include "netserver/records.h"
#include "netserver/wire.h"
#include "store.h"

namespace {

constexpr const char* kOffsetKey = "clock.offset";

std::atomic<int64_t> g_offset{0};  // device clock minus machine clock, seconds

// Fills the 24-byte time record (year, month 1-12, day, hour, minute,
// second) from the device clock. False when the time cannot be broken down.
bool fillTimeRecord(uint8_t* record) {
    const std::time_t now = static_cast<std::time_t>(deviceNow());
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) return false;
    wire::putU32(record, records::TIME_YEAR, static_cast<uint32_t>(local.tm_year + 1900));
    wire::putU32(record, records::TIME_MONTH, static_cast<uint32_t>(local.tm_mon + 1));
    wire::putU32(record, records::TIME_DAY, static_cast<uint32_t>(local.tm_mday));
    wire::putU32(record, records::TIME_HOUR, static_cast<uint32_t>(local.tm_hour));
    wire::putU32(record, records::TIME_MINUTE, static_cast<uint32_t>(local.tm_min));
    wire::putU32(record, records::TIME_SECOND, static_cast<uint32_t>(local.tm_sec));
    return true;
}

bool storeOffset(int64_t offset) {
    Bytes value(8);
    wire::putU64(value.data(), 0, static_cast<uint64_t>(offset));
    g_offset.store(offset, std::memory_order_relaxed);
    return deviceStore().putBlob(kOffsetKey, value);
}

}  // namespace

int64_t deviceNow() {
    return static_cast<int64_t>(std::time(nullptr)) + g_offset.load(std::memory_order_relaxed);
}

void loadDeviceClock() {
    const std::optional<Bytes> value = deviceStore().blob(kOffsetKey);
    if (value && value->size() == 8)
        g_offset.store(static_cast<int64_t>(wire::getU64(value->data(), 0)), std::memory_order_relaxed);
}

bool resetDeviceClock() { return storeOffset(0); }

// Sets the device clock to year w0, month w1 (1-12), day w2, hour w3,
// minute w4, second w5 of local time. Returns 0, or -1 for a field out of
// range (years 1970 to 2105: the log's times are u32 seconds).
extern "C" int st_app_netSetTime(uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3, uint32_t w4,
                                 uint32_t w5) {
    if (auto injected = injectedFailure("st_app_netSetTime")) return *injected;
    if (w0 < 1970 || w0 > 2105 || w1 < 1 || w1 > 12 || w2 < 1 || w2 > 31 || w3 > 23 || w4 > 59 || w5 > 59)
        return -1;
    std::tm wanted{};
    wanted.tm_year = static_cast<int>(w0) - 1900;
    wanted.tm_mon = static_cast<int>(w1) - 1;
    wanted.tm_mday = static_cast<int>(w2);
    wanted.tm_hour = static_cast<int>(w3);
    wanted.tm_min = static_cast<int>(w4);
    wanted.tm_sec = static_cast<int>(w5);
    wanted.tm_isdst = -1;
    const int day = wanted.tm_mday;
    const std::time_t target = std::mktime(&wanted);
    // mktime normalises 31 April to 1 May; such a date is refused instead.
    if (target == static_cast<std::time_t>(-1) || wanted.tm_mday != day) return -1;
    if (!storeOffset(static_cast<int64_t>(target) - static_cast<int64_t>(std::time(nullptr)))) return -1;
    char text[48];
    std::snprintf(text, sizeof text, "clock set to %04u-%02u-%02u %02u:%02u:%02u", w0, w1, w2, w3, w4, w5);
    deviceLog(wire::LOG_CATEGORY_SYSTEM, text);
    return 0;
}

// Fills the 24-byte time record from the device clock. Returns 0, or -1.
extern "C" int st_app_netGetTime(void* out) {
    if (auto injected = injectedFailure("st_app_netGetTime")) return *injected;
    if (out == nullptr) return -1;
    return fillTimeRecord(static_cast<uint8_t*>(out)) ? 0 : -1;
}

// Answers MSG_TIME_INFO on the session's connection: the request's header with
// length 24 and status 0 (sub-type and bytes 13..15 as received), then the
// time record of the device clock. A request with one of the transfer
// sub-types of records.h runs that transfer instead (host_transfers.cpp).
// `message` is the module's copy of the request. Returns the result of
// st_net_sessionWrite (0 or -1), or the transfer's.
extern "C" int getTimeInfo(CommandSession* session, void* message) {
    if (auto injected = injectedFailure("getTimeInfo")) return *injected;
    if (session == nullptr || message == nullptr) return -1;
    if (std::optional<int> transfer = deviceTransfer(session, message)) return *transfer;

    uint8_t answer[wire::HEADER_SIZE + wire::TIME_RECORD_SIZE] = {};
    wire::MessageHeader header = wire::decodeHeader(message);
    header.length = wire::TIME_RECORD_SIZE;
    header.status = wire::STATUS_OK;
    wire::encodeHeader(answer, header);
    if (!fillTimeRecord(answer + wire::HEADER_SIZE)) return -1;

    // Through the module, under the session's write lock, so the answer never
    // interleaves with the module's own replies on the same connection.
    return moduleSessionWrite(session, answer, sizeof answer);
}
