/*
 * serial_channel.cpp - the transparent serial channel: bytes that arrive on
 * the device's serial port go to one client as MSG_SERIAL_DATA messages on
 * its command connection.
 *
 * MSG_SERIAL_DATA, always 1044 bytes: header (type 0x819, length 1028,
 * status 0, other bytes 0), u32 count (1..1024) @16, 1024 data bytes @20 of
 * which the first count carry meaning (the rest are zero).
 */
#include <unistd.h>

#include <cstring>
#include <mutex>

#include "core/session.h"
#include "core/thread_registry.h"
#include "netserver/host_api.h"
#include "netserver/netserver.h"
#include "netserver/wire.h"
#include "transfer/transfer.h"

namespace {

constexpr size_t SERIAL_PAYLOAD = wire::SERIAL_DATA + wire::SERIAL_MAX_DATA;  // 1028
constexpr size_t SERIAL_MESSAGE = wire::HEADER_SIZE + SERIAL_PAYLOAD;            // 1044
constexpr useconds_t SWITCH_OFF_SLEEP_US = 1000000;
constexpr useconds_t GATHER_SLEEP_US = 20000;

void serial_build(uint8_t* message, const uint8_t* data, uint32_t count) {
    std::memset(message, 0, SERIAL_MESSAGE);
    wire::putU32(message, wire::HDR_MAGIC, wire::MSG_MAGIC);
    wire::putU16(message, wire::HDR_TYPE, wire::MSG_SERIAL_DATA);
    wire::putU32(message, wire::HDR_LENGTH, SERIAL_PAYLOAD);
    wire::putU32(message, wire::HEADER_SIZE + wire::SERIAL_COUNT, count);
    std::memcpy(message + wire::HEADER_SIZE + wire::SERIAL_DATA, data, count);
}

}  // namespace

/* Thread: the session's forwarding. Reads serialRun, which its starter set
 * to 1 before the thread existed and its stopper clears. */
extern "C" void* startRecvTransparentThread(void* arg) {
    auto* session = static_cast<CommandSession*>(arg);
    st_comm_sendThreadInfoForTop("startRecvTransparentThread");
    uint8_t setting[wire::TRANSPARENCE_SIZE] = {};
    st_param_getTransparenceStruct(setting);
    const int port = wire::serialPortOf(setting[wire::TRANSPARENCE_PORT]);
    const bool receiving = setting[wire::TRANSPARENCE_RECEIVE] == 1;
    // A write position that cannot be read would start the cursor anywhere
    // in the ring and forward bytes that never arrived: no forwarding then.
    const int first = st_com_getRecBufWritePos(port);
    const int second = st_com_getRecBufWritePos(port);
    if (first < 0 || second < 0) return nullptr;
    uint32_t cursor[2] = {static_cast<uint32_t>(first), static_cast<uint32_t>(second)};

    uint8_t data[wire::SERIAL_MAX_DATA];
    uint8_t message[SERIAL_MESSAGE];
    for (;;) {
        if (!receiving) {
            usleep(SWITCH_OFF_SLEEP_US);
            if (session->serialRun.load() == 0) return nullptr;
            continue;
        }
        if (cursor[0] == cursor[1] && cursor[0] == static_cast<uint32_t>(st_com_getRecBufWritePos(port))) {
            // A stop that came before the wait has already sent its wake-up;
            // waiting now would last until the host's own limit.
            if (session->serialRun.load() == 0) return nullptr;
            st_com_recDataWaiting(port);
        }
        if (session->serialRun.load() == 0) return nullptr;
        usleep(GATHER_SLEEP_US);
        uint32_t count = 0;
        while (count < wire::SERIAL_MAX_DATA) {
            int byte = st_com_getDataFromRecBuf(port, cursor);
            if (byte < 0) break;
            data[count++] = static_cast<uint8_t>(byte);
        }
        if (count == 0) {
            if (session->serialRun.load() == 0) return nullptr;
            continue;
        }
        serial_build(message, data, count);
        if (session_write(session, message, SERIAL_MESSAGE) < 0) return nullptr;
        if (session->serialRun.load() == 0) return nullptr;
    }
}

/* Thread: the host's. Starts forwarding for the session; -1 when the thread
 * cannot be started, one already runs for the session or the session is
 * ending. */
int startTransparentCmd(CommandSession* session) {
    if (session == nullptr) return -1;
    // The stream mutex orders a host's start and stop against the session's
    // own ending, so that one thread alone joins the forwarding.
    std::lock_guard<std::mutex> lock(session->streamMutex);
    // A session whose ending has begun is past the point where its ending
    // stops the forwarding (it marks the session before it takes this lock).
    if (session->ending.load() != SESSION_LIVE) return -1;
    if (session->hasSerialThread.load()) return -1;
    // Set before the thread exists, so that a stop that comes at once is
    // never undone by the thread.
    session->serialRun = 1;
    if (thread_start(&session->serialThread, 0, startRecvTransparentThread, session) != 0) {
        session->serialRun = 0;
        return -1;
    }
    session->hasSerialThread = true;
    return 0;
}

/* Thread: the host's. Stops the session's forwarding and waits for it;
 * does nothing when none runs. Returns 0. */
int stopTransparentCmd(CommandSession* session) {
    if (session == nullptr) return 0;
    std::lock_guard<std::mutex> lock(session->streamMutex);
    if (!session->hasSerialThread.load()) return 0;
    session->serialRun = 0;
    const uint32_t ports = NUGetSysConfig(3);
    for (uint32_t p = 0; p < ports; ++p) st_com_sendRecBufBroadcast(static_cast<int>(p));
    pthread_join(session->serialThread, nullptr);
    session->hasSerialThread = false;
    return 0;
}

void serial_channel_end(CommandSession* session) {
    stopTransparentCmd(session);
}
