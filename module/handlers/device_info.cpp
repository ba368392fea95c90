/*
 * device_info.cpp - the clock, the device's identity and status records, the
 * Wi-Fi access point list, the version record, the session flag, the
 * camera re-initialisation and the colliery information.
 *
 * The records are the host's: each case calls one host function and passes
 * the record through unchanged; only the sizes are the protocol's.
 */
#include <cstring>

#include "handlers/handlers.h"
#include "handlers/maintenance_state.h"
#include "netserver/host_api.h"

namespace {

using RecordGetter = int (*)(void* out);

/* A getter case: the host fills a record of `size` bytes in the call's own
 * storage (at most the largest record, the system status); on success it is
 * copied behind the reply header, on failure a bare STATUS_FAILED goes out. */
void reply_record(HandlerContext& ctx, RecordGetter getter, size_t size) {
    uint8_t work[wire::MESSAGE_BUFFER_SIZE];
    reply_copy_begin(ctx, work);
    uint8_t record[wire::SYSTEM_STATUS_RECORD_SIZE] = {};
    int result = getter(record);
    if (result < 0) {
        reply_copy_send(ctx, work, wire::STATUS_FAILED, 0);
        return;
    }
    std::memcpy(work + wire::HEADER_SIZE, record, size);
    reply_copy_send(ctx, work, wire::STATUS_OK, static_cast<uint32_t>(size));
}

}  // namespace

/* MSG_SET_TIME: the six words of the time record, by value. */
void handle_set_time(HandlerContext& ctx) {
    uint8_t work[wire::MESSAGE_BUFFER_SIZE];
    reply_copy_begin(ctx, work);
    const uint8_t* p = work + wire::HEADER_SIZE;
    int result = st_app_netSetTime(wire::getU32(p, 0), wire::getU32(p, 4), wire::getU32(p, 8),
                                   wire::getU32(p, 12), wire::getU32(p, 16), wire::getU32(p, 20));
    reply_copy_send(ctx, work, status_for(result), 0);
}

void handle_get_time(HandlerContext& ctx) {
    reply_record(ctx, st_app_netGetTime, wire::TIME_RECORD_SIZE);
}

void handle_get_version_info(HandlerContext& ctx) {
    reply_record(ctx, st_app_netGetVersionInfo, wire::VERSION_RECORD_SIZE);
}

/* MSG_GET_HARDDISK_DATA: while a partitioning, a format or an upload runs the
 * disks are not asked; the client sees STATUS_DISK_BUSY. */
void handle_get_harddisk_data(HandlerContext& ctx) {
    if (maintenance_busy()) {
        uint8_t work[wire::MESSAGE_BUFFER_SIZE];
        reply_copy_begin(ctx, work);
        reply_copy_send(ctx, work, wire::STATUS_DISK_BUSY, 0);
        return;
    }
    reply_record(ctx, st_app_netGetHardDiskData, wire::HARDDISK_RECORD_SIZE);
}

void handle_get_system_status_info(HandlerContext& ctx) {
    reply_record(ctx, st_app_netGetSystemStatusInfo, wire::SYSTEM_STATUS_RECORD_SIZE);
}

void handle_get_update_system_info(HandlerContext& ctx) {
    reply_record(ctx, st_app_netGetUpdateSystemInfo, wire::UPDATE_INFO_SIZE);
}

/* MSG_SET_SESSION_FLAG: only 0 and 1 take effect; the answer is OK anyway. */
void handle_set_session_flag(HandlerContext& ctx) {
    uint8_t work[wire::MESSAGE_BUFFER_SIZE];
    reply_copy_begin(ctx, work);
    uint32_t value = wire::getU32(work, wire::HEADER_SIZE);
    if (value == 0 || value == 1) ctx.session->sessionFlag.store(value);
    reply_copy_send(ctx, work, wire::STATUS_OK, 0);
}

/* MSG_GET_FLAT_TYPE: the host's value, then a zero word; always OK. */
void handle_get_flat_type(HandlerContext& ctx) {
    uint8_t work[wire::MESSAGE_BUFFER_SIZE];
    reply_copy_begin(ctx, work);
    int type = st_param_getFlatType();
    wire::putU32(work, wire::HEADER_SIZE, static_cast<uint32_t>(type));
    wire::putU32(work, wire::HEADER_SIZE + 4, 0);
    reply_copy_send(ctx, work, wire::STATUS_OK, wire::FLAT_TYPE_REPLY_SIZE);
}

/* MSG_GET_AP_INFO: the Wi-Fi scan fills the scratch area. An RT73 adapter
 * is read with the second call; the first call's result does not matter. A
 * result that is negative or larger than the scratch area cannot describe
 * bytes the scan wrote, so nothing of it is sent. */
void handle_get_ap_info(HandlerContext& ctx) {
    uint8_t work[wire::MESSAGE_BUFFER_SIZE];
    uint8_t scratch[wire::SCRATCH_SIZE];
    reply_copy_begin(ctx, work);
    int sock = ctx.session->sock.load();
    int n;
    if (st_iwlist_iwprivIsRt73() == 1) {
        st_iwlist_getApInfo(scratch, sock);
        n = st_iwlist_getIwprivApInfo(scratch, sock);
    } else {
        n = st_iwlist_getApInfo(scratch, sock);
    }
    if (n < 0 || static_cast<size_t>(n) > wire::SCRATCH_SIZE) {
        reply_copy_send(ctx, work, wire::STATUS_FAILED, 0);
        return;
    }
    std::memcpy(work + wire::HEADER_SIZE, scratch, static_cast<size_t>(n));
    reply_copy_send(ctx, work, wire::STATUS_OK, static_cast<uint32_t>(n));
}

/* MSG_SET_VERSION_INFO: the 160-byte record by value; always OK. */
void handle_set_version_info(HandlerContext& ctx) {
    uint8_t work[wire::MESSAGE_BUFFER_SIZE];
    reply_copy_begin(ctx, work);
    VersionRecord record;
    std::memcpy(record.bytes, work + wire::HEADER_SIZE, sizeof record.bytes);
    st_param_setVersionInfo(record);
    reply_copy_send(ctx, work, wire::STATUS_OK, 0);
}

void handle_init_camera_info(HandlerContext& ctx) {
    st_param_initCameraInfo();
    reply_in_place(ctx, wire::STATUS_OK);
}

void handle_init_camera_itu(HandlerContext& ctx) {
    st_param_initCameraItu();
    reply_in_place(ctx, wire::STATUS_OK);
}

/* MSG_GET_COLLIERY_INFO: the last 72 bytes of the host's colliery record,
 * answered from the message thread's own buffer. */
bool handle_get_colliery_info(HandlerContext& ctx) {
    uint8_t record[wire::COLLIERY_RECORD_SIZE] = {};
    st_param_getCollieryInfo(record);
    std::memcpy(ctx.message + wire::HEADER_SIZE, record + wire::COLLIERY_REPLY_OFFSET,
                wire::COLLIERY_REPLY_SIZE);
    framing_send_reply(ctx.session, ctx.message, wire::STATUS_OK, wire::COLLIERY_REPLY_SIZE);
    return true;
}
