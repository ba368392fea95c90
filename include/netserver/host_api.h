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

/* Reads exactly n bytes. Returns a positive value on success, 0 or less when
 * the peer closed the connection or the read failed. */
int readn(int fd, void* buffer, int n);

/* Writes exactly n bytes. Returns a negative value on failure. */
int writen(int fd, const void* buffer, int n);

/* ---- memory -------------------------------------------------------------- */

/* Allocator pair. my_malloc returns null on failure, and its blocks must be
 * releasable with the standard free() as well as with my_free. */
void* my_malloc(unsigned int size);
void my_free(void* block);

/* ---- parameter store ----------------------------------------------------- */

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

/* Checks the 84-byte LoginRequest of MSG_LOGIN, which it may change (the
 * module sends it back as the host leaves it). Results:
 *    0 accepted: answer with the record, then MSG_SESSION_ID
 *    3 accepted: answer without the record, no MSG_SESSION_ID
 *   -1 unknown user (status 1), -2 wrong password (status 2)
 *   any other: refused with the request's own status byte. */
int st_app_netAuthUser(void* loginRequest);

/* ---- others -------------------------------------------------------------- */

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
