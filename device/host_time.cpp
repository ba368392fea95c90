/*
 * host_time.cpp - the device's answer to MSG_TIME_INFO.
 */
#include <cstdint>
#include <ctime>

#include "failures.h"
#include "module_loader.h"
#include "netserver/host_api.h"
#include "netserver/records.h"
#include "netserver/wire.h"

// Answers MSG_TIME_INFO on the session's connection: the request's header with
// length 24 and status 0 (sub-type and bytes 13..15 as received), then the
// time record with the device's local time. `message` is the module's copy of
// the request. Returns the result of st_net_sessionWrite (0 or -1).
extern "C" int getTimeInfo(CommandSession* session, void* message) {
    if (auto injected = injectedFailure("getTimeInfo")) return *injected;
    if (session == nullptr || message == nullptr) return -1;

    uint8_t answer[wire::HEADER_SIZE + records::TIME_RECORD_SIZE] = {};
    wire::MessageHeader header = wire::decodeHeader(message);
    header.length = records::TIME_RECORD_SIZE;
    header.status = wire::STATUS_OK;
    wire::encodeHeader(answer, header);

    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) return -1;
    uint8_t* record = answer + wire::HEADER_SIZE;
    wire::putU32(record, records::TIME_YEAR, static_cast<uint32_t>(local.tm_year + 1900));
    wire::putU32(record, records::TIME_MONTH, static_cast<uint32_t>(local.tm_mon + 1));
    wire::putU32(record, records::TIME_DAY, static_cast<uint32_t>(local.tm_mday));
    wire::putU32(record, records::TIME_HOUR, static_cast<uint32_t>(local.tm_hour));
    wire::putU32(record, records::TIME_MINUTE, static_cast<uint32_t>(local.tm_min));
    wire::putU32(record, records::TIME_SECOND, static_cast<uint32_t>(local.tm_sec));

    // Through the module, under the session's write lock, so the answer never
    // interleaves with the module's own replies on the same connection.
    return moduleSessionWrite(session, answer, sizeof answer);
}
