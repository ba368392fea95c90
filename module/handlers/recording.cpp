/*
 * recording.cpp - pan-tilt-zoom control, forcing a key frame, manual
 * recording and deleting a record file.
 *
 * The PTZ command and the manual-recording setting are shared by the client
 * and the host; the module passes them through unchanged.
 */
#include <cstring>

#include "handlers/handlers.h"
#include "netserver/host_api.h"
#include "netserver/netserver.h"

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

/* MSG_DELETE_RECORD_FILE: deleteRecordFile (an export the host may call
 * itself) answers; the dispatcher does not. */
void handle_delete_record_file(HandlerContext& ctx) {
    NetMessage message;
    std::memcpy(message.bytes, ctx.message, sizeof message.bytes);
    deleteRecordFile(ctx.session, message);
}
