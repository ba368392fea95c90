/*
 * host_transfers.cpp - how a client reaches the transfers that the host
 * drives: firmware upload, the transparent serial channel and JPEG
 * snapshots.
 *
 * The module never calls these transfers itself; the device runs them on the
 * message thread of the session that asks, when a MSG_TIME_INFO request
 * carries one of the transfer sub-types of records.h (no client sends these
 * by accident; every other sub-type gets the time record).
 */
#include <cstring>
#include <memory>
#include <optional>

#include "device_state.h"
#include "module_loader.h"
#include "netserver/records.h"
#include "netserver/wire.h"

namespace {

namespace rec = records;

// The module's copy of the request as a whole message by value: header and
// the payload that its length announces, the rest zero.
std::unique_ptr<NetMessage> copyRequest(const void* message) {
    auto request = std::make_unique<NetMessage>();
    std::memset(request->bytes, 0, sizeof request->bytes);
    uint32_t length = wire::getU32(message, wire::HDR_LENGTH);
    if (length > wire::MAX_PAYLOAD) length = wire::MAX_PAYLOAD;
    std::memcpy(request->bytes, message, wire::HEADER_SIZE + length);
    return request;
}

// The request's header with length 0 and `status`, on the session's
// connection.
int answerStatus(CommandSession* session, const void* message, uint8_t status) {
    uint8_t answer[wire::HEADER_SIZE];
    std::memcpy(answer, message, wire::HEADER_SIZE);
    wire::putU32(answer, wire::HDR_LENGTH, 0);
    wire::putU8(answer, wire::HDR_STATUS, status);
    return moduleSessionWrite(session, answer, sizeof answer);
}

}  // namespace

std::optional<int> deviceTransfer(CommandSession* session, const void* message) {
    switch (wire::getU16(message, wire::HDR_SUBTYPE)) {
    case rec::TRANSFER_FIRMWARE: {
        const auto request = copyRequest(message);
        const int result = moduleRecvUpdateFile(session, moduleSessionSocket(session), *request);
        finishFirmwareUpload();
        return result;
    }
    case rec::TRANSFER_SERIAL_START: {
        const bool started = moduleStartSerialChannel(session) == 0;
        answerStatus(session, message, started ? wire::STATUS_OK : wire::STATUS_FAILED);
        return 0;
    }
    case rec::TRANSFER_SERIAL_STOP:
        moduleStopSerialChannel(session);
        answerStatus(session, message, wire::STATUS_OK);
        return 0;
    case rec::TRANSFER_SNAPSHOT:
        return moduleSendSnapshot(moduleSessionSocket(session), *copyRequest(message));
    case rec::TRANSFER_SNAPSHOT_STREAM:
        // Returns once the client has gone; the message thread then sees the
        // connection's end and tears the session down.
        moduleSendSnapshotStream(moduleSessionSocket(session), *copyRequest(message));
        return 0;
    default:
        return std::nullopt;
    }
}
