/*
 * maintenance.cpp - restoring settings, rebooting, resetting the 3G module and
 * the CMOS settings, partitioning disks and formatting partitions, and the two
 * progress queries.
 *
 * Partitioning and formatting run long: the handler starts them and answers
 * at once; a worker finishes the partitioning (fdiskHdThread) or watches the
 * format (getFormatStatusThread). The workers touch only the module-wide
 * maintenance state and the host, never a session record, so a session may
 * end while they run; the server stop joins them, so it waits for a disk
 * operation that is still running to end.
 */
#include <pthread.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "core/thread_registry.h"
#include "handlers/handlers.h"
#include "handlers/maintenance_state.h"
#include "netserver/host_api.h"

std::atomic<int32_t> maintenanceBusy{0};
std::atomic<int32_t> fdiskStatus{0};
std::atomic<uint32_t> formatArgs[3] = {0, 0, 0};

namespace {

constexpr int32_t FDISK_FLAG = 1;
constexpr int32_t FORMAT_FLAG = 1;
constexpr int FORMAT_DONE_PERCENT = 100;
constexpr size_t FDISK_ARGS_SIZE = 8;  // two u32: the request's words 0 and 1

void sleep_one_second() { std::this_thread::sleep_for(std::chrono::seconds(1)); }

/* Starts a maintenance worker in the maintenance registry, after joining
 * the workers that have finished. Returns false when the thread could not
 * be started; the caller still owns `arg`. */
bool start_worker(void* (*entry)(void*), void* arg) {
    g_maintenanceThreads.reap();
    return g_maintenanceThreads.start(entry, arg, 0, -1, nullptr) == 0;
}

/* The first step of a long operation: the working copy, then the busy flag.
 * False (and `busyStatus` answered) when another operation holds the flag. */
bool maintenance_begin(HandlerContext& ctx, uint8_t* work, uint8_t busyStatus) {
    reply_copy_begin(ctx, work);
    if (maintenance_try_acquire()) return true;
    reply_copy_send(ctx, work, busyStatus, 0);
    return false;
}

/* Polls the format selected by the two words once a second until the host
 * reports it finished (100 or more: the disk's log file is opened again) or
 * failed (negative). Either way the busy flag is released first. */
void format_watch(uint32_t word0, uint32_t word1) {
    for (;;) {
        int percent = st_app_getFormatPercent(word0, word1);
        if (percent >= FORMAT_DONE_PERCENT) {
            maintenance_release();
            st_comm_openHdLogFile();
            return;
        }
        if (percent < 0) {
            maintenance_release();
            return;
        }
        sleep_one_second();
    }
}

/* Partitions with the two words of the request block, which it owns. */
void* fdiskHdThread(void* arg) {
    st_comm_sendThreadInfoForTop("fdiskHdThread");
    auto* block = static_cast<uint8_t*>(arg);
    fdiskStatus.store(0);
    int result = st_app_fdiskHd(wire::getU32(block, 0), wire::getU32(block, 4), FDISK_FLAG);
    fdiskStatus.store(result < 0 ? -1 : 1);
    my_free(block);
    maintenance_release();
    g_maintenanceThreads.finishSelf();
    return nullptr;
}

/* Watches the format of formatArgs (words 0 and 1, read before anything else
 * so that the words are this format's). */
void* getFormatStatusThread(void* arg) {
    auto* words = static_cast<std::atomic<uint32_t>*>(arg);
    uint32_t word0 = words[0].load();
    uint32_t word1 = words[1].load();
    st_comm_sendThreadInfoForTop("getFormatStatusThread");
    format_watch(word0, word1);
    g_maintenanceThreads.finishSelf();
    return nullptr;
}

}  // namespace

int maintenance_workers_running() { return static_cast<int>(g_maintenanceThreads.running()); }

void maintenance_workers_join() { g_maintenanceThreads.joinAll(); }

/* MSG_DEFAULT_SETTING: status by the sign of the host's result. */
void handle_default_setting(HandlerContext& ctx) {
    uint8_t work[wire::MESSAGE_BUFFER_SIZE];
    reply_copy_begin(ctx, work);
    int result = st_app_netDefaultSetting();
    reply_copy_send(ctx, work, status_for(result), 0);
}

/* MSG_REBOOT_SYSTEM: the answer goes out first; the host only records the
 * request and restarts from its own thread. */
void handle_reboot_system(HandlerContext& ctx) {
    reply_in_place(ctx, wire::STATUS_OK);
    st_app_netRebootSystem();
}

/* MSG_RESUME_DEFAULT_PARAM: reset, answer, then one log line. */
void handle_resume_default_param(HandlerContext& ctx) {
    st_param_resetAllStruct();
    reply_in_place(ctx, wire::STATUS_OK);
    st_param_writeLogBuffer(wire::LOG_CATEGORY_OPERATION, "resume default param");
}

/* MSG_FDISK_HD: takes the busy flag and hands the two words to a worker.
 * Where no worker can run (no block, no thread) nothing was begun on the host,
 * so the flag is given back and the client gets STATUS_FAILED. */
void handle_fdisk_hd(HandlerContext& ctx) {
    uint8_t work[wire::MESSAGE_BUFFER_SIZE];
    if (!maintenance_begin(ctx, work, wire::STATUS_FDISK_BUSY)) return;
    auto* block = static_cast<uint8_t*>(my_malloc(FDISK_ARGS_SIZE));
    if (block == nullptr) {
        maintenance_release();
        reply_copy_send(ctx, work, wire::STATUS_FAILED, 0);
        return;
    }
    wire::putU32(block, 0, wire::getU32(work, wire::HEADER_SIZE));
    wire::putU32(block, 4, wire::getU32(work, wire::HEADER_SIZE + 4));
    if (!start_worker(fdiskHdThread, block)) {
        my_free(block);
        maintenance_release();
        reply_copy_send(ctx, work, wire::STATUS_FAILED, 0);
        return;
    }
    reply_copy_send(ctx, work, wire::STATUS_OK, 0);
}

/* MSG_FORMAT_PART: takes the busy flag, asks the host to begin the format and
 * leaves the flag to the watcher, which releases it when the format ends.
 * A refused format gives the flag back at once.
 * If the watcher cannot be started, the host's format is already running: the
 * flag must neither be released early (another operation would overlap it)
 * nor stay set forever. This message thread then watches the format itself,
 * after its answer, and releases the flag at the format's end; its session
 * answers nothing else meanwhile. */
void handle_format_part(HandlerContext& ctx) {
    uint8_t work[wire::MESSAGE_BUFFER_SIZE];
    if (!maintenance_begin(ctx, work, wire::STATUS_DISK_BUSY)) return;
    const uint8_t* payload = work + wire::HEADER_SIZE;
    uint32_t word0 = wire::getU32(payload, 0);
    uint32_t word1 = wire::getU32(payload, 4);
    uint32_t word2 = wire::getU32(payload, 8);
    formatArgs[0].store(word0);
    formatArgs[1].store(word1);
    formatArgs[2].store(word2);

    bool watchHere = false;
    uint8_t status = wire::STATUS_OK;
    if (st_app_formatPart(word0, word1, word2, FORMAT_FLAG) < 0) {
        status = wire::STATUS_FAILED;
        maintenance_release();
    } else if (!start_worker(getFormatStatusThread, formatArgs)) {
        watchHere = true;
    }
    // The pause gives the host's format a moment before the client's first
    // progress query.
    if (reply_copy_send(ctx, work, status, 0) >= 0) sleep_one_second();
    if (watchHere) format_watch(word0, word1);
}

/* MSG_GET_FORMAT_PERCENT: the progress of the format the request's own two
 * words select, busy or not. Only -1 counts as failure. */
void handle_get_format_percent(HandlerContext& ctx) {
    uint8_t work[wire::MESSAGE_BUFFER_SIZE];
    reply_copy_begin(ctx, work);
    uint8_t* payload = work + wire::HEADER_SIZE;
    uint32_t word0 = wire::getU32(payload, 0);
    uint32_t word1 = wire::getU32(payload, 4);
    int percent = st_app_getFormatPercent(word0, word1);
    wire::putU32(payload, 0, word0);
    wire::putU32(payload, 4, word1);
    wire::putI32(payload, wire::FORMAT_PERCENT_VALUE, percent);
    uint8_t status = percent == -1 ? wire::STATUS_FAILED : wire::STATUS_OK;
    reply_copy_send(ctx, work, status, wire::FORMAT_PERCENT_REPLY_SIZE);
}

/* MSG_GET_FDISK_STATUS: answers from fdiskStatus alone. */
void handle_get_fdisk_status(HandlerContext& ctx) {
    uint8_t work[wire::MESSAGE_BUFFER_SIZE];
    reply_copy_begin(ctx, work);
    int32_t status = fdiskStatus.load();
    uint8_t* payload = work + wire::HEADER_SIZE;
    wire::putU32(payload, 0, 0);
    wire::putI32(payload, wire::FDISK_STATUS_VALUE, status);
    reply_copy_send(ctx, work, status == -1 ? wire::STATUS_FAILED : wire::STATUS_OK,
                    wire::FDISK_STATUS_REPLY_SIZE);
}

/* MSG_RESET_FACTORY_PARAM: the answer goes out before the host resets. */
void handle_reset_factory_param(HandlerContext& ctx) {
    reply_in_place(ctx, wire::STATUS_OK);
    st_param_resetFactoryParam();
}

void handle_reset_3g_module(HandlerContext& ctx) {
    at_Reset();
    puts("MSG_RESET_3G_MODULE");
    reply_in_place(ctx, wire::STATUS_OK);
}

void handle_cmos_default(HandlerContext& ctx) {
    puts("MSG_CMOS_DEFAULT");
    st_param_initCmos();
    reply_in_place(ctx, wire::STATUS_OK);
}

void handle_3gconfig_default(HandlerContext& ctx) {
    puts("MSG_3GCONFIG_DEFAULT");
    Default3GConfigStruct(wire::getU32(ctx.message, wire::HEADER_SIZE));
    reply_in_place(ctx, wire::STATUS_OK);
}
