/*
 * firmware.cpp - recvUpdateFile: a firmware image received over a command
 * connection and written to flash by the host, with progress reports.
 *
 * Replies are the request's header with type, length and status replaced:
 *   refused          type 4, length 0, 0xff
 *   ready            type 4, length 0, 0
 *   transfer failed  type 5, length 4, 0xff, the requested size
 *   progress         type 5, length 4, 0, the host's percent
 *   write failed     type 5, length 4, 0xff, -1
 * Chunks: a 16-byte header whose length (@8) gives 1..1400 data bytes.
 */
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "core/session.h"
#include "core/thread_registry.h"
#include "handlers/maintenance_state.h"
#include "transfer/transfer.h"
#include "netserver/host_api.h"
#include "netserver/netserver.h"
#include "netserver/wire.h"

uint8_t* updateImage = nullptr;
std::atomic<int32_t> updateStatus{0};

namespace {

constexpr int32_t FLASH_HEADER_ROOM = 64;
constexpr useconds_t SERVICES_SETTLE_US = 60000;
constexpr unsigned POLL_SECONDS = 2;

enum UpdateState : int32_t { UPDATE_RUNNING = 0, UPDATE_DONE = 1, UPDATE_FAILED = -1 };

struct Upload {
    CommandSession* session;
    int sock;
    uint8_t reply[wire::HEADER_SIZE + 4];
};

int upload_send(Upload& u, uint16_t type, uint8_t status, const uint32_t* word) {
    wire::putU16(u.reply, wire::HDR_TYPE, type);
    wire::putU8(u.reply, wire::HDR_STATUS, status);
    wire::putU32(u.reply, wire::HDR_LENGTH, word ? 4 : 0);
    if (word) wire::putU32(u.reply, wire::HEADER_SIZE, *word);
    const size_t size = wire::HEADER_SIZE + (word ? 4 : 0);
    // Under the session's write lock, so that no other message of the
    // session can come between, and never once that connection is closed.
    if (u.session != nullptr) return session_write_on(u.session, u.sock, u.reply, size);
    return session_write_fd(u.sock, u.reply, size);
}

void upload_release_image() {
    if (updateImage != nullptr) my_free(updateImage);
    updateImage = nullptr;
}

/* Ends an upload that never reached the flash. */
int upload_fail(Upload& u, const uint32_t* sizeWord) {
    st_app_setFreeRecordMemFlag(0);
    maintenance_release();
    upload_release_image();
    if (sizeWord != nullptr)
        upload_send(u, wire::MSG_UPDATE_PROGRESS, wire::STATUS_FAILED, sizeWord);
    else
        upload_send(u, wire::MSG_UPDATE_ACK, wire::STATUS_FAILED, nullptr);
    return -1;
}

/* Receives the chunks straight into the image. False when the transfer fails. */
bool upload_receive(int sock, uint8_t* image, uint32_t size) {
    uint8_t header[wire::HEADER_SIZE];
    uint32_t remaining = size;
    while (remaining > 0) {
        if (readn(sock, header, static_cast<int>(wire::HEADER_SIZE)) <= 0) return false;
        const uint32_t length = wire::getU32(header, wire::HDR_LENGTH);
        if (length == 0 || length > wire::UPDATE_CHUNK_MAX || length > remaining) return false;
        if (readn(sock, image + (size - remaining), static_cast<int>(length)) <= 0) return false;
        remaining -= length;
    }
    return true;
}

}  // namespace

/* Thread: the upload's worker; its argument is the image size itself. */
extern "C" void* updateSystemFileThread(void* arg) {
    const int size = static_cast<int>(reinterpret_cast<intptr_t>(arg));
    st_comm_sendThreadInfoForTop("updateSystemFileThread");
    updateStatus = UPDATE_RUNNING;
    int result = st_app_netUpdateSystem(updateImage, size);
    st_param_setSysRebootFlag();
    updateStatus = result < 0 ? UPDATE_FAILED : UPDATE_DONE;
    return nullptr;
}

/* Thread: the caller's, for the whole upload; nothing else may read `sock`
 * meanwhile. Returns 0 when the image was written, -1 otherwise. */
int recvUpdateFile(CommandSession* session, int sock, NetMessage request) {
    // Answers go through the session only when `sock` is its connection.
    Upload u{session != nullptr && session->sock.load() == sock ? session : nullptr, sock, {}};
    std::memcpy(u.reply, request.bytes, wire::HEADER_SIZE);
    if (!maintenance_try_acquire()) {
        // Another upload, partitioning or format holds the flag: it stays theirs.
        upload_send(u, wire::MSG_UPDATE_ACK, wire::STATUS_FAILED, nullptr);
        return -1;
    }
    const int32_t size = wire::getI32(request.bytes, wire::HEADER_SIZE);
    const uint32_t sizeWord = static_cast<uint32_t>(size);
    // A flash whose size cannot be read takes no image at all.
    const int flashSize = st_param_getFlashTotalSize();
    if (size < 1 || flashSize < 0 || static_cast<int64_t>(size) > static_cast<int64_t>(flashSize) + FLASH_HEADER_ROOM)
        return upload_fail(u, nullptr);

    st_app_setFreeRecordMemFlag(1);
    st_app_stopAppService();
    st_record_stopRecordService();
    st_enc_stopEncService();
    st_stream_deinitStreamLib();
    usleep(SERVICES_SETTLE_US);
    updateImage = static_cast<uint8_t*>(my_malloc(static_cast<unsigned>(size)));
    if (updateImage == nullptr) {
        perror("my_malloc");
        return upload_fail(u, nullptr);
    }
    upload_send(u, wire::MSG_UPDATE_ACK, wire::STATUS_OK, nullptr);
    if (!upload_receive(sock, updateImage, sizeWord)) return upload_fail(u, &sizeWord);

    pthread_t worker;
    updateStatus = UPDATE_RUNNING;
    if (thread_start(&worker, 0, updateSystemFileThread,
                     reinterpret_cast<void*>(static_cast<intptr_t>(size))) != 0)
        return upload_fail(u, &sizeWord);
    for (;;) {
        sleep(POLL_SECONDS);
        const int32_t state = updateStatus.load();
        if (state == UPDATE_RUNNING) {
            uint32_t percent = static_cast<uint32_t>(st_param_getUpdatePercent());
            upload_send(u, wire::MSG_UPDATE_PROGRESS, wire::STATUS_OK, &percent);
            continue;
        }
        // The worker has set its final state; it ends right after.
        pthread_join(worker, nullptr);
        if (state == UPDATE_DONE) {
            uint32_t percent = static_cast<uint32_t>(st_param_getUpdatePercent());
            upload_send(u, wire::MSG_UPDATE_PROGRESS, wire::STATUS_OK, &percent);
            maintenance_release();
            upload_release_image();
            return 0;
        }
        const uint32_t failed = 0xFFFFFFFFu;
        upload_send(u, wire::MSG_UPDATE_PROGRESS, wire::STATUS_FAILED, &failed);
        char line[wire::LOG_LINE_SIZE];
        // A longer line is cut at the 47 characters that a log line holds.
        if (snprintf(line, sizeof line, "%.23s net update system failure", session ? session->userName : "") < 0)
            line[0] = '\0';
        st_param_writeLogBuffer(wire::LOG_CATEGORY_OPERATION, line);
        upload_release_image();
        maintenance_release();
        st_app_setFreeRecordMemFlag(0);
        return -1;
    }
}
