/*
 * netserver.h - the functions that libnetserver.so exports to its host.
 *
 * The host loads the module (dlopen), calls st_net_startNetServer once, and
 * st_net_stopNetServer once when it wants the server gone; start and stop
 * alternate, beginning with start, and are called from one host thread.
 * Everything else the module needs it asks of the host through the functions
 * declared in host_api.h.
 */
#ifndef NETSERVER_NETSERVER_H
#define NETSERVER_NETSERVER_H

#include <stdint.h>

/* The module is built with hidden visibility; these are its only exports. */
#define NETSERVER_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* One command connection. The host only ever sees it as an opaque reference
 * (getTimeInfo, freeSockInfoList and the exported functions below). */
typedef struct CommandSession CommandSession;

/* Starts the server: reads the channel count and the base port from the host,
 * sets up the module state and starts the TCP listener. Returns 0, or -1 when
 * a server thread cannot be started (the following stop releases what the
 * start created). The listener binds its ports on its own thread, so a port
 * that is taken is not reported here: a host that cares checks the ports
 * (base, base + 1, UDP base + 4) before it calls the start. */
NETSERVER_API int st_net_startNetServer(void);

/* Stops the server: ends every session and the listener, joins every thread
 * the module started for them, closes every socket and releases the module
 * state. Returns 0. Must not be called from inside a host callback of the
 * module (it would wait for the very thread it runs on); a host records such a
 * request and stops from its own thread. */
NETSERVER_API int st_net_stopNetServer(void);

/* Reads one field of the host's 88-byte system-configuration record, asking
 * the host for the whole record on every call:
 *   1 channel count (byte 9), 2 byte 8, 3 serial port count (byte 12),
 *   4 u32 at bytes 0..3, 5 byte 10, 6 u32 at bytes 4..7.
 * Any other selector is a programming error (no network input reaches it):
 * the module prints "netserver:32: NUGetSysConfig: Assertion `0' failed." on
 * standard error and aborts the process. */
NETSERVER_API uint32_t NUGetSysConfig(unsigned int selector);

/* Answers MSG_LOGIN for a session: `message` is the whole 102416-byte message
 * buffer. Returns 0 when every answer went out, -1 when a send failed. */
NETSERVER_API int auth_user(CommandSession* session, void* message);

/* Answers one command message that the session's message thread does not
 * answer itself. `message` is the whole 102416-byte message buffer. Types
 * without a handler are dropped without a reply. */
NETSERVER_API void DefaultMessageHandler(CommandSession* session, void* message);

/* Writes `length` bytes on the session's command connection under the
 * session's write lock, so that the bytes never interleave with a message of
 * another writer (the module's replies, other host answers). A host that
 * answers on a session's connection (getTimeInfo does) must use this and not
 * write on the socket itself. Returns 0 when every byte went out, -1 when the
 * write failed or the session has no connection. */
NETSERVER_API int st_net_sessionWrite(CommandSession* session, const void* data, uint32_t length);

/* A whole command message as the exported entry points below take it by
 * value: the 16-byte header and the 102400-byte payload area. */
typedef struct NetMessage {
    uint8_t bytes[16 + 102400];
} NetMessage;

/* Answers MSG_DELETE_RECORD_FILE: asks the host to delete the record file
 * named at the start of the payload (48 bytes; a name without a terminator is
 * cut to 47 characters) and replies with status 0 or 0xff. Returns 0 when the
 * host deleted the file, -1 otherwise. */
NETSERVER_API int deleteRecordFile(CommandSession* session, NetMessage message);
/* Entry points for playing and downloading record files: they take no action
 * and return 0. */
NETSERVER_API int sendPlayRecordFile(void);
NETSERVER_API int sendDownloadRecordFile(void);

/* Live video. A stream sends as soon as it starts: MSG_START_STREAM over UDP
 * sends from the first key frame on; over TCP the data connection's
 * subscription starts the flow. A host can hold a session's channel back and
 * release it again: while held, its frames are fetched and dropped. Returns
 * 0, or -1 for an unknown (or ending) session or a channel out of range. */
NETSERVER_API int st_net_holdStream(uint32_t sessionId, int channel, int hold);

/* Receives a firmware image on the session's command connection `sock` and
 * has the host write it to flash, reporting progress every 2 s. `request`
 * holds the upload request: header, then the image size (i32) at 16. Runs on
 * the caller's thread until the upload has been refused, has failed or the
 * image is written; nothing else may read `sock` meanwhile. Returns 0 when
 * the image was written, -1 otherwise. */
NETSERVER_API int recvUpdateFile(CommandSession* session, int sock, NetMessage request);

/* JPEG snapshots on a socket the host names (`context` is the host's own).
 * sendJPEGSnapData answers one request with one picture: -1 when no picture
 * could be taken, else 0. sendJPEGSnapStream sends pictures at the requested
 * rate until a write fails, the peer closes or, for a session's socket, the
 * session ends (also while the host keeps failing to take a picture), then
 * returns -1; the host calls it on a thread of its own. When `sock` is a
 * session's command socket, every write goes under that session's write
 * lock and stops once its connection is closed, so a descriptor number
 * reused meanwhile never receives a picture; a stream does not begin on a
 * session whose ending has begun. */
NETSERVER_API int sendJPEGSnapData(void* context, int sock, NetMessage request);
NETSERVER_API int sendJPEGSnapStream(void* context, int sock, NetMessage request);

/* The transparent serial channel: bytes arriving on the configured serial
 * port go to the session's client as MSG_SERIAL_DATA messages (1044 bytes:
 * count at 16, data at 20). startTransparentCmd returns -1 when the thread
 * cannot be started, forwarding already runs for the session or the session's
 * ending has begun; the session's end stops it too. stopTransparentCmd waits for the forwarding's end and
 * returns 0 (also when none runs). */
NETSERVER_API int startTransparentCmd(CommandSession* session);
NETSERVER_API int stopTransparentCmd(CommandSession* session);

/* Network safety. The module keeps these rules whatever the host does:
 *  - Video goes only to the client's own host: a UDP MSG_START_STREAM whose
 *    destination address is not the session's peer address is answered with
 *    STATUS_FAILED (any port is accepted; the address probe serves clients
 *    behind NAT).
 *  - No unauthenticated connection holds a thread for long: a data
 *    connection that has not completed its handshake within 15 s is closed,
 *    as is a command connection that stays silent for 15 s and, while logins
 *    are required, one that has not logged in within 15 s of its connect.
 *  - Failed logins are slowed down: once an address has failed 5 times within
 *    a minute, each further login check from it waits for a slot of its own,
 *    one a second across all its connections, until a minute has passed or a
 *    login succeeds; a login whose slot lies more than 15 s ahead ends its
 *    connection unanswered. The device log gets "<address> login failures
 *    slowed" once per episode.
 *  - When the process runs out of descriptors, a pending connection is
 *    accepted and closed at once and the listener pauses 100 ms; the
 *    diagnostic "TcpListenThread():accept()" is printed once per episode.
 *  - No lock that another session needs is held across a socket call or a
 *    thread join, so a client that stops reading stalls only its own session.
 *
 * The settings below may be changed at any time from any thread; they apply
 * to messages and connections handled from then on.
 *
 * Log in first (on unless turned off): until a session's login has
 * succeeded, the module serves only MSG_LOGIN, MSG_LOGOUT, MSG_KEEPALIVE and
 * MSG_ECHO on it (and ignores what it always ignores); every other command is
 * answered with its header, length 0 and STATUS_FAILED, and is not handed to
 * the host. A data connection must name a logged-in session, and the UDP
 * session responder answers only hosts with a logged-in session. 0 turns the
 * rule off, for hosts that must serve peers that never log in: that lets any
 * TCP client command the device, so it is unsafe on a shared network. */
NETSERVER_API void st_net_setLoginRequired(int required);

/* Caps the number of command sessions: a command connection beyond `max`
 * live sessions is closed at once, and "TcpListenThread(): session limit
 * reached" is printed once per episode. 0 (the default) sets no cap. */
NETSERVER_API void st_net_setMaxSessions(int max);

/* The session's id, as MSG_SESSION_ID reports it to the client. */
NETSERVER_API uint32_t st_net_sessionId(const CommandSession* session);

/* The session's command socket (what recvUpdateFile and the snapshot
 * functions are given), or -1 once the connection is closed. */
NETSERVER_API int st_net_sessionSocket(const CommandSession* session);

/* The server's counters since the module was loaded (they survive a stop
 * and a start). Calls `fn` once per value, on the caller's thread, with:
 *   name    without prefix; a name ending in "_total" only grows, the others
 *           (sessions_open, streams_live) go up and down:
 *             sessions_open, sessions_total          command connections linked
 *                                                    into the session list
 *             logins_total{result}                   the host's verdicts,
 *                                                    accepted or refused
 *             commands_total{type,status}            answers by request type
 *                                                    (hex) and status byte
 *             streams_live{transport,channel}        running senders
 *             stream_frames_sent_total{transport}    frames that went out whole
 *             stream_bytes_sent_total{transport}     bytes on the wire, also of
 *                                                    frames given up
 *             stream_frames_dropped_total{transport,reason}  slot_rewritten (the
 *                                                    pool overtook a slow
 *                                                    reader) or send_failed
 *   labels  the labels as `key="value"` pairs joined by commas ("" for none);
 *           the values never need escaping
 *   value   the count
 * Any host thread may call it at any time while the module is loaded, also
 * while the server is stopped or starting. It never calls the host and holds
 * no lock while `fn` runs. Each value is read atomically; values read a
 * moment apart may be a few events apart, which is consistent enough for
 * rates and dashboards. The strings live until `fn` returns. */
NETSERVER_API void st_net_forEachCounter(void (*fn)(const char* name, const char* labels, uint64_t value,
                                                    void* context),
                                         void* context);

#ifdef __cplusplus
}
#endif

#endif
