/*
 * recording.cpp - pan-tilt-zoom control, forcing a key frame, manual
 * recording, writing client bytes to a serial port, and the session worker.
 *
 * The PTZ command, the manual-recording setting and the worker's work
 * description are shared by the client and the host; the module passes them
 * through unchanged.
 */
#include <pthread.h>

#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "handlers/handlers.h"
#include "netserver/host_api.h"

namespace {

// The worker's block: the session reference, then the request's work
// description (64 bytes on the 32-bit device).
constexpr size_t WORKER_ARGS_SIZE = sizeof(CommandSession*) + wire::WORKER_WORK_SIZE;
constexpr int WORKER_WAIT_ROUNDS = 100;
constexpr auto WORKER_WAIT_STEP = std::chrono::milliseconds(100);

/* Workers that were started and not yet joined, by session id (ids are unique
 * while the module is loaded, so a record released and reused at the same
 * address can never inherit another session's entry). An entry present is
 * "a handle to join"; absent is "none". The session's own workerThread field
 * mirrors the handle; both are written only under this lock, which also
 * hands the handle safely from the thread that started the worker to the one
 * that ends it. */
struct WorkerTable {
    std::mutex mutex;
    std::map<uint32_t, pthread_t> joinable;
};

WorkerTable& worker_table() {
    static WorkerTable table;
    return table;
}

/* Takes the session's unjoined worker out of the table. False: none. */
bool worker_take(CommandSession* session, pthread_t* thread) {
    WorkerTable& t = worker_table();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.joinable.find(session->session_id);
    if (it == t.joinable.end()) return false;
    *thread = it->second;
    t.joinable.erase(it);
    session->workerThread = pthread_t{};
    return true;
}

void worker_keep(CommandSession* session, pthread_t thread) {
    WorkerTable& t = worker_table();
    std::lock_guard<std::mutex> lock(t.mutex);
    t.joinable[session->session_id] = thread;
    session->workerThread = thread;
}

/* The session worker has no work of its own: it releases its block and
 * reports itself finished. It is joined, not detached: by the next start or
 * by session_worker_end. The release store of workerBusy publishes the freed
 * block to whoever sees 0. */
void* SessionWorkerThread(void* arg) {
    auto* block = static_cast<uint8_t*>(arg);
    CommandSession* session;
    std::memcpy(&session, block, sizeof session);
    my_free(block);
    session->workerBusy.store(0, std::memory_order_release);
    return nullptr;
}

}  // namespace

/* MSG_PTZ_CONTROL: the sub-type and exactly the first 32 payload bytes. */
void handle_ptz_control(HandlerContext& ctx) {
    uint8_t work[wire::MESSAGE_BUFFER_SIZE];
    reply_copy_begin(ctx, work);
    PtzCommand command;
    std::memcpy(command.bytes, work + wire::HEADER_SIZE, sizeof command.bytes);
    int result = st_app_netPTZControl(wire::getU16(work, wire::HDR_SUBTYPE), command);
    reply_copy_send(ctx, work, status_for(result), 0);
}

/* MSG_FORCE_IFRAME: the channel's sender drops frames until the next key
 * frame, and the encoder is asked for one. Never answered. A channel the
 * session has no stream record for is ignored: there is nothing to mark, and
 * asking an encoder that does not exist for a key frame helps no one. */
void handle_force_iframe(HandlerContext& ctx) {
    uint32_t channel = wire::getU32(ctx.message, wire::HEADER_SIZE);
    if (channel >= ctx.session->channelCount) return;
    ctx.session->streams[channel].waitKeyFrame.store(1);
    st_enc_setIFrameForceFlag(static_cast<int>(channel), 0);
}

/* MSG_SET_HAND_RECORD: the channel's 3-byte setting; OK whatever the host
 * says. */
void handle_set_hand_record(HandlerContext& ctx) {
    const uint8_t* payload = ctx.message + wire::HEADER_SIZE;
    HandRecordSetting setting;
    std::memcpy(setting.bytes, payload + wire::HAND_RECORD_SETTING, sizeof setting.bytes);
    st_param_setHandRecordStruct(wire::getU32(payload, 0), setting);
    reply_in_place(ctx, wire::STATUS_OK);
}

/* MSG_CLEAR_HAND_RECORD: three zero bytes for the channel. */
void handle_clear_hand_record(HandlerContext& ctx) {
    HandRecordSetting setting{};
    st_param_setHandRecordStruct(wire::getU32(ctx.message, wire::HEADER_SIZE), setting);
    reply_in_place(ctx, wire::STATUS_OK);
}

/* MSG_SERIAL_SEND: the answer goes out before the port is touched; the bytes
 * are written only if the answer went out and the send switch is on.
 * A count above the 1024 data bytes a request carries cannot be written
 * faithfully, so nothing reaches the port and the client learns it from
 * STATUS_FAILED. */
void handle_serial_send(HandlerContext& ctx) {
    uint8_t work[wire::MESSAGE_BUFFER_SIZE];
    uint8_t scratch[wire::SCRATCH_SIZE];
    reply_copy_begin(ctx, work);

    uint8_t transparence[wire::TRANSPARENCE_SIZE] = {};
    st_param_getTransparenceStruct(transparence);
    const int port = wire::serialPortOf(transparence[wire::TRANSPARENCE_PORT]);
    uint8_t serial[wire::SERIAL_SETTING_SIZE] = {};
    st_param_getSerialStruct(port, serial);

    std::memcpy(scratch, work + wire::HEADER_SIZE, wire::SERIAL_DATA + wire::SERIAL_MAX_DATA);
    uint32_t count = wire::getU32(scratch, wire::SERIAL_COUNT);
    if (count > wire::SERIAL_MAX_DATA) {
        reply_copy_send(ctx, work, wire::STATUS_FAILED, 0);
        return;
    }
    if (reply_copy_send(ctx, work, wire::STATUS_OK, 0) < 0) return;
    if (transparence[wire::TRANSPARENCE_SEND] != 1) return;  // sending is off: dropped

    st_com_refreshSerialParam(port, wire::getU32(serial, wire::SERIAL_BAUD),
                              wire::getU32(serial, wire::SERIAL_PARITY),
                              serial[wire::SERIAL_STOP_BITS], serial[wire::SERIAL_DATA_BITS]);
    st_com_sendDataToCom(port, scratch + wire::SERIAL_DATA, count);
}

/* MSG_START_SESSION_THREAD: starts the session's worker with the request's
 * work description. No answer when it starts; STATUS_FAILED while a worker
 * runs, when the block cannot be had or the thread cannot be started. A
 * worker that has ended but was not joined is joined first (it has returned,
 * so the join does not wait). */
void handle_start_session_thread(HandlerContext& ctx) {
    uint8_t work[wire::MESSAGE_BUFFER_SIZE];
    reply_copy_begin(ctx, work);
    CommandSession* session = ctx.session;

    auto* block = static_cast<uint8_t*>(my_malloc(WORKER_ARGS_SIZE));
    if (block == nullptr) {
        reply_copy_send(ctx, work, wire::STATUS_FAILED, 0);
        return;
    }
    std::memset(block, 0, WORKER_ARGS_SIZE);
    std::memcpy(block, &session, sizeof session);
    std::memcpy(block + sizeof session, work + wire::HEADER_SIZE, wire::WORKER_WORK_SIZE);

    if (session->workerBusy.load(std::memory_order_acquire) == 1) {
        reply_copy_send(ctx, work, wire::STATUS_FAILED, 0);
        my_free(block);
        return;
    }
    pthread_t old;
    if (worker_take(session, &old)) pthread_join(old, nullptr);

    // Only this thread sets the flag to 1, so a plain store suffices.
    session->workerBusy.store(1, std::memory_order_release);
    pthread_t thread;
    if (handlers_start_thread(&thread, SessionWorkerThread, block) != 0) {
        session->workerBusy.store(0, std::memory_order_release);
        reply_copy_send(ctx, work, wire::STATUS_FAILED, 0);
        my_free(block);
        return;
    }
    worker_keep(session, thread);
}

void session_worker_end(CommandSession* session) {
    for (int i = 0; i < WORKER_WAIT_ROUNDS; ++i) {
        if (session->workerBusy.load(std::memory_order_acquire) != 1) break;
        std::this_thread::sleep_for(WORKER_WAIT_STEP);
    }
    // The worker ends by itself; a join after the wait only waits for a worker
    // that is slower than the wait, never for one that cannot end.
    pthread_t thread;
    if (worker_take(session, &thread)) pthread_join(thread, nullptr);
}
