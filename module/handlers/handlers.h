/*
 * handlers.h - the handlers that the dispatcher's tables name, one family
 * per file, and the end of a session's worker thread.
 *
 * Every handler runs on the message thread of its session with the context
 * of dispatcher.h, writes at most one reply and returns. Working copies and
 * scratch areas live on the calling thread's stack (message threads have
 * large stacks); no handler keeps state between calls except the module-wide
 * maintenance state (maintenance_state.h) and the session's own fields.
 */
#ifndef NETSERVER_HANDLERS_HANDLERS_H
#define NETSERVER_HANDLERS_HANDLERS_H

#include "core/session.h"
#include "handlers/dispatcher.h"

/* ---- session-level types (login.cpp, session.cpp, stream.cpp) -------------- */
bool handle_login(HandlerContext& ctx);
bool handle_logout(HandlerContext& ctx);
bool handle_keepalive(HandlerContext& ctx);
bool handle_echo(HandlerContext& ctx);
bool handle_time_info(HandlerContext& ctx);
bool handle_start_stream(HandlerContext& ctx);
bool handle_stop_stream(HandlerContext& ctx);
bool handle_set_poll_config(HandlerContext& ctx);

/* ---- parameters (params.cpp) ---------------------------------------------- */
void handle_set_param(HandlerContext& ctx);
void handle_get_param(HandlerContext& ctx);
void handle_reset_video_config(HandlerContext& ctx);

/* ---- device information and time (device_info.cpp) ------------------------ */
void handle_set_time(HandlerContext& ctx);
void handle_get_time(HandlerContext& ctx);
void handle_get_version_info(HandlerContext& ctx);
void handle_get_harddisk_data(HandlerContext& ctx);
void handle_get_system_status_info(HandlerContext& ctx);
void handle_set_session_flag(HandlerContext& ctx);
void handle_get_update_system_info(HandlerContext& ctx);
void handle_get_flat_type(HandlerContext& ctx);
void handle_get_ap_info(HandlerContext& ctx);
void handle_set_version_info(HandlerContext& ctx);
void handle_init_camera_info(HandlerContext& ctx);
void handle_init_camera_itu(HandlerContext& ctx);
bool handle_get_colliery_info(HandlerContext& ctx);  // session-level

/* ---- users and log (users_log.cpp) ------------------------------------------ */
void handle_get_log_list(HandlerContext& ctx);
void handle_delete_log(HandlerContext& ctx);
void handle_get_user_list(HandlerContext& ctx);
void handle_add_user(HandlerContext& ctx);
void handle_delete_user(HandlerContext& ctx);
void handle_modify_user(HandlerContext& ctx);

/* ---- maintenance (maintenance.cpp) ------------------------------------------- */
void handle_default_setting(HandlerContext& ctx);
void handle_reboot_system(HandlerContext& ctx);
void handle_resume_default_param(HandlerContext& ctx);
void handle_fdisk_hd(HandlerContext& ctx);
void handle_format_part(HandlerContext& ctx);
void handle_get_format_percent(HandlerContext& ctx);
void handle_get_fdisk_status(HandlerContext& ctx);
void handle_reset_factory_param(HandlerContext& ctx);
void handle_reset_3g_module(HandlerContext& ctx);
void handle_cmos_default(HandlerContext& ctx);
void handle_3gconfig_default(HandlerContext& ctx);

/* ---- recording, PTZ and record files (recording.cpp) ----------------------- */
void handle_ptz_control(HandlerContext& ctx);
void handle_force_iframe(HandlerContext& ctx);
void handle_set_hand_record(HandlerContext& ctx);
void handle_clear_hand_record(HandlerContext& ctx);
void handle_delete_record_file(HandlerContext& ctx);

/* ---- serial port (serial.cpp) ------------------------------------------------- */
void handle_serial_send(HandlerContext& ctx);

/* ---- session worker (session_worker.cpp) -------------------------------------- */
void handle_start_session_thread(HandlerContext& ctx);

/* Ends the session's worker before its record is released: waits while
 * workerBusy is 1 (at most 100 times 100 ms), then joins the worker thread if
 * one was started and not yet joined. The worker is never cancelled; it ends
 * by itself (frees its block, sets workerBusy 0, returns). Safe to call when
 * no worker was ever started, and more than once.
 * Thread: the session's message thread, or a thread that has joined it. */
void session_worker_end(CommandSession* session);

#endif
