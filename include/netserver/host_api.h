/*
 * host_api.h - every function that a host application must provide to
 * libnetserver.so. The module leaves these symbols undefined; they are
 * resolved against the host process when the host loads the module, so the
 * host's executable must export them (link it with -rdynamic).
 *
 * The contract, for every function below:
 *  - The module calls them from its own threads, several at once: each must be
 *    callable concurrently.
 *  - Records are caller-owned buffers of the size given with each function.
 *  - Results: negative is failure, zero or more is success, unless a function
 *    says otherwise. Getters fill the caller's buffer.
 *  - A host function must not call st_net_stopNetServer (it would wait for the
 *    thread it runs on). It records the request and stops from its own thread.
 */
#ifndef NETSERVER_HOST_API_H
#define NETSERVER_HOST_API_H

#include "netserver.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- socket I/O ---------------------------------------------------------- */
/* Device: device/host_io.cpp */

/* Reads exactly n bytes. Returns a positive value on success, 0 or less when
 * the peer closed the connection or the read failed. */
int readn(int fd, void* buffer, int n);

/* Writes exactly n bytes. Returns a negative value on failure. */
int writen(int fd, const void* buffer, int n);

/* ---- memory -------------------------------------------------------------- */
/* Device: device/host_io.cpp */

/* Allocator pair. my_malloc returns null on failure, and its blocks must be
 * releasable with the standard free() as well as with my_free. */
void* my_malloc(unsigned int size);
void my_free(void* block);

/* ---- parameter store ----------------------------------------------------- */
/* Device: device/host_params.cpp (the log line: device/host_log.cpp) */

/* Fills the 88-byte system-configuration record: channel count at byte 9 (u8),
 * serial port count at byte 12 (u8). The channel count must not change while
 * the server runs. */
int st_param_getSysConfig(void* record);

/* The channel count, the same value as byte 9 of the system configuration. */
int st_param_getChannelNum(void);

/* Fills the 92-byte network record; its first field, a u16, is the base port:
 * command connections on it, data connections on base + 1, the UDP session
 * responder on base + 4. */
int st_param_getNetworkStruct(void* record);

/* Fills the 192-byte colliery-information record. MSG_GET_COLLIERY_INFO
 * answers its last 72 bytes (120..191) unchanged. */
int st_param_getCollieryInfo(void* record);

/* Appends one NUL-terminated line (at most 47 characters) to the device log.
 * The module always passes category 4. */
int st_param_writeLogBuffer(int category, const char* text);

/* ---- application services ------------------------------------------------ */
/* Device: device/host_users.cpp */

/* Checks the 84-byte LoginRequest of MSG_LOGIN, which it may change (the
 * module sends it back as the host leaves it). Results:
 *    0 accepted: answer with the record, then MSG_SESSION_ID
 *    3 accepted: answer without the record, no MSG_SESSION_ID
 *   -1 unknown user (status 1), -2 wrong password (status 2)
 *   any other: refused with the request's own status byte. */
int st_app_netAuthUser(void* loginRequest);

/* ---- records passed by value -------------------------------------------
 * Records that cross the boundary by value are byte arrays wrapped in a
 * struct, so that their size is part of the type. Their inner layout belongs
 * to the host (and, for the device, to records.h). */
typedef struct VideoConfigRecord { uint8_t bytes[12]; } VideoConfigRecord;
typedef struct VersionRecord { uint8_t bytes[160]; } VersionRecord;
typedef struct UserRecord { uint8_t bytes[56]; } UserRecord;
typedef struct LogQuery { uint8_t bytes[52]; } LogQuery;
typedef struct PtzCommand { uint8_t bytes[32]; } PtzCommand;
typedef struct HandRecordSetting { uint8_t bytes[3]; } HandRecordSetting;

/* Host lists: nodes allocated by the host, released by the module with
 * my_free, one by one, in list order. */
typedef struct UserNode {
    uint8_t record[56];
    struct UserNode* next;
} UserNode;
typedef struct LogNode {
    uint8_t record[76];
    struct LogNode* next;
} LogNode;

/* ---- stream pool ----------------------------------------------------------
 * Device: device/host_stream.cpp (the pool: device/stream_pool.cpp).
 * Frames of every channel and stream kind (0 main, 1 sub). A sender owns a
 * five-word cursor: 0 read position, 1 write position at selection, 2 sequence
 * number of the frame last handed out (written by the pool), 3 abandon mark
 * (the sender writes -1 when it drops a frame midway), 4 lock key. */

/* A frame as the pool hands it out. The 32-byte header goes on the wire as it
 * is: u32 data length at 4, u32 sequence number at 8, u8 frame type at 13
 * (1 key frame); the other bytes are the pool's. The record stays addressable
 * while the pool is unlocked; `invalid` is 1 while the slot holds no valid
 * frame or is being rewritten. */
typedef struct NetFrame {
    uint8_t header[32];
    const uint8_t* data;
    uint32_t invalid;
} NetFrame;

/* The current write position of a channel's stream. */
uint32_t st_stream_getNetStreamWritePos(int channel, int kind);
/* Returns when a new frame was written, or after a bounded wait. */
int st_stream_netStreamWaiting(int channel, int kind);
/* The pool lock around every fetch; `key` is cursor word 4. */
int st_stream_lockMutex(int channel, int kind, uint32_t key);
int st_stream_unlockMutex(int channel, int kind, uint32_t key);
/* With the lock held: the next frame for the cursor, or null when none is
 * ready. Advances the cursor and stores the frame's sequence number in word 2. */
NetFrame* st_stream_getNetStreamFromPool_ex(int channel, int kind, uint32_t* cursor);
/* Releases the pool (before a firmware image is received). Pool calls stay
 * safe afterwards: no frame, bounded waits. */
int st_stream_deinitStreamLib(void);

/* ---- parameter store: parameter records ----------------------------------- */
/* Device: device/host_params.cpp */

/* Stores a parameter record of `type`; the payload is the message's payload
 * area (no length is passed). Negative: refused. */
int st_app_netSetParam(uint16_t type, const void* payload);
/* Writes a parameter record into `out` (room for 102400 bytes) and its size
 * into *count. Negative: failure. */
int st_app_netGetParam(uint16_t type, void* out, uint32_t* count);

/* Stored values, read to decide whether a change is audited. Per-channel
 * records take the channel (0-based); timer and motion records also an entry
 * index 0..6. Sizes: prober 396, terminate (PTZ config) 16, timer 36, video
 * lost 20, video motion 80, video config 12, video encode 36, OSD logo 56, OSD
 * time 8, overlay 196, PPPoE 620, record type 16, CMOS 24. */
int st_param_getProberStruct(int channel, void* out);
int st_param_getTerminateStruct(int channel, void* out);
int st_param_getTimerStruct(int channel, int index, void* out);
int st_param_getVideoLoseStruct(int channel, void* out);
int st_param_getVideoMoveStruct(int channel, int index, void* out);
int st_param_getVideoConfigParam(int channel, void* out);
int st_param_getVideoEncodeParam(int channel, void* out);
int st_param_getOsdLogoStruct(int channel, void* out);
int st_param_getOsdTimeStruct(int channel, void* out);
int st_param_getOverlayStruct(int channel, void* out);
int st_param_getPppoeInfoStruct(void* out);
int st_param_getRecParamStruct(void* out);
int st_param_getCmos(void* out);
/* Stores one channel's 12-byte video config record. */
int st_param_setVideoConfigParam(int channel, VideoConfigRecord record);

/* ---- device information and time ------------------------------------------ */
/* Device: device/host_info.cpp, device/host_time.cpp */

/* Sets the clock from the six words of the 24-byte time record. */
int st_app_netSetTime(uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3, uint32_t w4, uint32_t w5);
int st_app_netGetTime(void* out);                /* 24 bytes */
int st_app_netGetVersionInfo(void* out);         /* 160 bytes */
int st_app_netGetHardDiskData(void* out);        /* 968 bytes */
int st_app_netGetSystemStatusInfo(void* out);    /* 1244 bytes */
int st_app_netGetUpdateSystemInfo(void* out);    /* one u32 */
/* The platform type; the result is the value. */
int st_param_getFlatType(void);
int st_param_setVersionInfo(VersionRecord record);
int st_param_initCameraInfo(void);
int st_param_initCameraItu(void);

/* Wi-Fi: st_iwlist_iwprivIsRt73 is 1 for an adapter whose list is read with
 * st_iwlist_getIwprivApInfo. The getters fill at most 51200 bytes and return
 * the byte count, or -1. `sock` is the session's command socket. */
int st_iwlist_iwprivIsRt73(void);
int st_iwlist_getApInfo(void* buffer, int sock);
int st_iwlist_getIwprivApInfo(void* buffer, int sock);

/* ---- users and log ---------------------------------------------------------- */
/* Device: device/host_users.cpp, device/host_log.cpp */

/* The lists are handed over: the module frees every node with my_free. */
int st_app_netGetUserList(UserNode** head);
int st_app_netAddUser(UserRecord user);
int st_app_netDeleteUser(UserRecord user);
int st_app_netModifyUser(UserRecord user);
int st_app_netGetLogList(LogQuery query, LogNode** head);
int st_app_netDeleteLogInfo(LogQuery query);

/* ---- maintenance ------------------------------------------------------------- */
/* Device: device/host_maintenance.cpp, device/host_disks.cpp */

int st_app_netDefaultSetting(void);
/* Must only record the request: the host restarts the server from its own
 * thread once the handler has returned. */
int st_app_netRebootSystem(void);
int st_param_resetAllStruct(void);
int st_param_resetFactoryParam(void);
int st_param_initCmos(void);
int at_Reset(void);
int Default3GConfigStruct(uint32_t value);
/* The module watches a partitioning and a format on worker threads that
 * poll these functions until the host reports the end; its stop joins them,
 * so st_net_stopNetServer returns only once a running disk operation has
 * ended.
 *
 * Partitions (disk and layout words as the client sent them; `flag` is 1).
 * Returns when the partitioning has ended, negative on failure. */
int st_app_fdiskHd(uint32_t word0, uint32_t word1, int32_t flag);
/* Starts a format and returns while it runs; negative: refused. */
int st_app_formatPart(uint32_t word0, uint32_t word1, uint32_t word2, int32_t flag);
/* 0..99 running, 100 or more finished, negative failed. */
int st_app_getFormatPercent(uint32_t word0, uint32_t word1);
int st_comm_openHdLogFile(void);
/* First call of every worker thread of the module, with its name. */
int st_comm_sendThreadInfoForTop(const char* name);

/* ---- recording, PTZ, encoder ----------------------------------------------------- */
/* Device: device/host_recording.cpp */

int st_app_netPTZControl(uint16_t subType, PtzCommand command);
/* Asks the channel's encoder for a key frame. */
int st_enc_setIFrameForceFlag(int channel, int flag);
int st_param_setHandRecordStruct(uint32_t channel, HandRecordSetting setting);
/* Deletes a record file; `name` is a 256-byte buffer starting with the name. */
int st_record_netDeleteRecordFile(const char* name);

/* ---- serial ports ------------------------------------------------------------------ */
/* Device: device/host_serial.cpp */

/* TransparenceSetting, 4 bytes: port at 0, receive switch at 1, send switch at 2. */
int st_param_getTransparenceStruct(void* out);
/* SerialSetting of one port, at most 32 bytes. */
int st_param_getSerialStruct(int port, void* out);
int st_com_refreshSerialParam(int port, uint32_t word8, uint32_t word4, uint32_t byte1, uint32_t byte0);
int st_com_sendDataToCom(int port, const uint8_t* data, uint32_t count);
/* The receive ring of a port: write position (negative when it cannot be
 * read: forwarding then sends nothing and ends); wait for data (or a
 * broadcast); next byte (0..255) for a two-word cursor, negative when none;
 * wake every waiter. */
int st_com_getRecBufWritePos(int port);
int st_com_recDataWaiting(int port);
int st_com_getDataFromRecBuf(int port, uint32_t* cursor);
int st_com_sendRecBufBroadcast(int port);

/* ---- firmware ----------------------------------------------------------------------- */
/* Device: device/host_firmware.cpp */

/* Bytes of flash; negative when unknown (an upload is then refused). */
int st_param_getFlashTotalSize(void);
int st_app_setFreeRecordMemFlag(int flag);
int st_app_stopAppService(void);
int st_record_stopRecordService(void);
int st_enc_stopEncService(void);
/* Writes the image to flash; returns when done, negative on failure. */
int st_app_netUpdateSystem(const void* image, int size);
/* Must only record the request (see st_app_netRebootSystem). */
int st_param_setSysRebootFlag(void);
int st_param_getUpdatePercent(void);

/* ---- snapshots ------------------------------------------------------------------------ */
/* Device: device/host_snapshot.cpp */

/* Takes a JPEG picture into `buffer` (room for 311040 bytes) and its size
 * into *size. Negative: no picture. */
int st_app_netGetSnapJPEG(uint32_t selector, void* buffer, uint32_t* size);
int st_app_netGetSnapJPEGEx(uint32_t selector, void* buffer, uint32_t* size, int flag, int mode,
                            int quality);

/* ---- addresses ---------------------------------------------------------------------------- */
/* Device: device/host_address.cpp */

/* The device's own IPv4 address as dotted text into `text` (16 bytes). */
int st_comm_getIpAddr(char* text, int size);
/* A dotted multicast address for the device into `group` (16 bytes). */
int st_net_getMulticastAddr(const char* ownAddress, char* group);

/* ---- others -------------------------------------------------------------- */
/* Device: device/host_time.cpp (getTimeInfo), device/host_sessions.cpp
 * (freeSockInfoList), device/host_io.cpp (assert) */

/* The host's own answer to MSG_TIME_INFO. `message` is the module's copy of
 * the whole 102416-byte message buffer, valid during the call; the module sends
 * no answer itself. The host answers through st_net_sessionWrite. The result
 * is ignored. */
int getTimeInfo(CommandSession* session, void* message);

/* Releases whatever the host keeps for a session. Called by the server stop,
 * once for each session that the stop ends. The result is ignored. */
int freeSockInfoList(CommandSession* session);

/* The host's assertion: a plain function taking the truth value. Call it as
 * (assert)(condition) so that the standard macro cannot replace it. */
void(assert)(int condition);

#ifdef __cplusplus
}
#endif

#endif
