/*
 * dispatcher.cpp - DefaultMessageHandler and the reply helpers.
 */
#include "handlers/dispatcher.h"
#include "handlers/handlers.h"

#include <arpa/inet.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "core/framing.h"
#include "netserver/host_api.h"
#include "netserver/netserver.h"

namespace {

struct HandlerEntry {
    uint16_t type;
    CommandHandler handler;
};

// One entry per message type that has a handler, in type order; the
// handlers are in their families' files (handlers.h). A type that is missing
// gets no reply at all.
constexpr std::array<HandlerEntry, 39> kHandlers{{
    {wire::MSG_PTZ_CONTROL, handle_ptz_control},
    {wire::MSG_DEFAULT_SETTING, handle_default_setting},
    {wire::MSG_SET_PARAM, handle_set_param},
    {wire::MSG_GET_PARAM, handle_get_param},
    {wire::MSG_RESET_VIDEO_CONFIG, handle_reset_video_config},
    {wire::MSG_START_SESSION_THREAD, handle_start_session_thread},
    {wire::MSG_SET_TIME, handle_set_time},
    {wire::MSG_GET_TIME, handle_get_time},
    {wire::MSG_GET_VERSION_INFO, handle_get_version_info},
    {wire::MSG_GET_HARDDISK_DATA, handle_get_harddisk_data},
    {wire::MSG_GET_SYSTEM_STATUS_INFO, handle_get_system_status_info},
    {wire::MSG_GET_LOG_LIST, handle_get_log_list},
    {wire::MSG_DELETE_LOG, handle_delete_log},
    {wire::MSG_SET_SESSION_FLAG, handle_set_session_flag},
    {wire::MSG_GET_UPDATE_SYSTEM_INFO, handle_get_update_system_info},
    {wire::MSG_GET_USER_LIST, handle_get_user_list},
    {wire::MSG_ADD_USER, handle_add_user},
    {wire::MSG_DELETE_USER, handle_delete_user},
    {wire::MSG_MODIFY_USER, handle_modify_user},
    {wire::MSG_GET_FLAT_TYPE, handle_get_flat_type},
    {wire::MSG_GET_AP_INFO, handle_get_ap_info},
    {wire::MSG_SERIAL_SEND, handle_serial_send},
    {wire::MSG_FORCE_IFRAME, handle_force_iframe},
    {wire::MSG_SET_HAND_RECORD, handle_set_hand_record},
    {wire::MSG_CLEAR_HAND_RECORD, handle_clear_hand_record},
    {wire::MSG_DELETE_RECORD_FILE, handle_delete_record_file},
    {wire::MSG_REBOOT_SYSTEM, handle_reboot_system},
    {wire::MSG_RESUME_DEFAULT_PARAM, handle_resume_default_param},
    {wire::MSG_FDISK_HD, handle_fdisk_hd},
    {wire::MSG_FORMAT_PART, handle_format_part},
    {wire::MSG_GET_FORMAT_PERCENT, handle_get_format_percent},
    {wire::MSG_GET_FDISK_STATUS, handle_get_fdisk_status},
    {wire::MSG_RESET_FACTORY_PARAM, handle_reset_factory_param},
    {wire::MSG_SET_VERSION_INFO, handle_set_version_info},
    {wire::MSG_INIT_CAMERA_INFO, handle_init_camera_info},
    {wire::MSG_INIT_CAMERA_ITU, handle_init_camera_itu},
    {wire::MSG_RESET_3G_MODULE, handle_reset_3g_module},
    {wire::MSG_CMOS_DEFAULT, handle_cmos_default},
    {wire::MSG_3GCONFIG_DEFAULT, handle_3gconfig_default},
}};

// The types that a session's message thread handles itself, in type order.
constexpr std::array<SessionEntry, 9> kSessionHandlers{{
    {wire::MSG_LOGIN, handle_login, true},
    {wire::MSG_LOGOUT, handle_logout, true},
    {wire::MSG_START_STREAM, handle_start_stream, false},
    {wire::MSG_STOP_STREAM, handle_stop_stream, false},
    {wire::MSG_KEEPALIVE, handle_keepalive, true},
    {wire::MSG_TIME_INFO, handle_time_info, false},
    {wire::MSG_GET_COLLIERY_INFO, handle_get_colliery_info, false},
    {wire::MSG_ECHO, handle_echo, true},
    {wire::MSG_SET_POLL_CONFIG, handle_set_poll_config, false},
}};

}  // namespace

CommandHandler dispatch_find(uint16_t type) {
    for (const HandlerEntry& e : kHandlers)
        if (e.type == type) return e.handler;
    return nullptr;
}

const SessionEntry* dispatch_find_session(uint16_t type) {
    for (const SessionEntry& e : kSessionHandlers)
        if (e.type == type) return &e;
    return nullptr;
}

bool dispatch_ignored(uint16_t type) {
    return type == wire::MSG_IGNORED_5 || type == wire::MSG_IGNORED_6 ||
           (type >= wire::MSG_IGNORED_FIRST && type <= wire::MSG_IGNORED_LAST);
}

/* Thread: the session's message thread. One message at a time per session;
 * several sessions call it at once, so it keeps nothing between calls. */
void DefaultMessageHandler(CommandSession* session, void* message) {
    // The channel count is read for every message, whatever its type.
    HandlerContext ctx{session, static_cast<uint8_t*>(message), NUGetSysConfig(1)};
    CommandHandler handler = dispatch_find(wire::getU16(message, wire::HDR_TYPE));
    if (handler == nullptr) return;
    handler(ctx);
}

int reply_in_place(HandlerContext& ctx, uint8_t status) {
    return framing_send_reply(ctx.session, ctx.message, status, 0);
}

void reply_copy_begin(const HandlerContext& ctx, uint8_t* work) {
    std::memcpy(work, ctx.message, wire::MESSAGE_BUFFER_SIZE);
    wire::putU32(work, wire::HDR_LENGTH, 0);
}

int reply_copy_send(HandlerContext& ctx, uint8_t* work, uint8_t status, uint32_t length) {
    if (length > wire::MAX_PAYLOAD) return -1;  // a host that overran the area
    return framing_send_reply(ctx.session, work, status, length);
}

void audit_write(const CommandSession* session, const char* what) {
    char address[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &session->peer.sin_addr, address, sizeof address);
    char line[wire::LOG_LINE_SIZE];
    snprintf(line, sizeof line, "%.23s %s %s", session->userName, address, what);
    st_param_writeLogBuffer(wire::LOG_CATEGORY_OPERATION, line);
}
