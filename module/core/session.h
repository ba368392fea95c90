/*
 * session.h - the command session record, its per-channel stream records and
 * the module-wide session list.
 *
 * Ownership: the listener creates a record, the session's message thread links
 * it into the list and owns it; it is released exactly once, by removal, either
 * in the message thread's own teardown or in the server stop. Whoever ends a
 * session claims it first (session_claim) under the list lock, so the two can
 * never both tear one session down.
 */
#ifndef NETSERVER_CORE_SESSION_H
#define NETSERVER_CORE_SESSION_H

#include <netinet/in.h>
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "netserver/netserver.h"

/* Five words that a stream sender hands to the host's stream pool:
 * 0 read position, 1 write position at channel selection, 2 sequence number of
 * the frame last handed out, 3 abandon mark, 4 lock key. Owned by one sender. */
struct StreamCursor {
    uint32_t words[5];
};

/* Channel-tour settings of one channel of a session. Written by the session's
 * message thread, read by its senders while they run, hence atomic. */
struct PollConfig {
    std::atomic<uint32_t> channel{0};
    std::atomic<uint32_t> enabled{0};
    std::atomic<int32_t> dwell{0};
    std::atomic<uint32_t> mask{0};
};

/* Live-stream state of one channel of a session. The flags are written by the
 * message thread (or the stop) and polled by the channel's sender thread. */
struct ChannelStream {
    std::atomic<int32_t> channel{0};
    std::atomic<uint32_t> kind{0};
    std::atomic<uint32_t> sendEnabled{0};
    std::atomic<uint32_t> frameFilter{0};
    std::atomic<uint32_t> waitKeyFrame{0};
    std::atomic<uint32_t> running{0};
    std::atomic<uint32_t> transport{0};
    StreamCursor cursor{};
    std::atomic<int> sock{-1};
    pthread_t senderThread{};  // valid while hasSender
    sockaddr_in destination{};
    PollConfig* poll = nullptr;
    // This module's own: whether senderThread holds a thread to join, and
    // whether the host holds this stream back (st_net_holdStream).
    bool hasSender = false;
    std::atomic<uint32_t> held{0};
};

/* Who ends a session; see session_claim. */
enum SessionEnding : uint32_t {
    SESSION_LIVE = 0,
    SESSION_ENDED_BY_SELF = 1,  // its message thread tears it down
    SESSION_ENDED_BY_STOP = 2,  // the server stop tears it down
};

/* One command connection. The host sees it only as an opaque reference
 * (netserver.h), so the layout is this module's own. Created by
 * session_create and released when its last reference is dropped (see
 * SessionRef). */
struct CommandSession {
    uint32_t session_id = 0;
    std::atomic<uint32_t> running{0};
    std::atomic<int32_t> sock{-1};
    pthread_t msgThread{};  // guarded by the message-thread registry's lock
    // MSG_SET_SESSION_FLAG's value (0 or 1); 1 from the start.
    std::atomic<uint32_t> sessionFlag{0};
    // The accepted login's user name (at most 23 characters) and user
    // information, as the host left them in the login record.
    char userName[24] = {};
    sockaddr_in peer{};
    uint8_t userInfo[24] = {};
    // 1 while the session worker runs (handlers/session_worker.cpp).
    std::atomic<uint32_t> workerBusy{0};
    // The transparent serial forwarding (transfer/serial_channel.cpp): its
    // run flag and thread, valid while hasSerialThread.
    std::atomic<uint32_t> serialRun{0};
    pthread_t serialThread{};
    std::unique_ptr<ChannelStream[]> streams;
    std::unique_ptr<PollConfig[]> pollConfigs;
    // The session's write lock: every message written on the command
    // connection, by any thread, is written whole under it. It is held
    // across a write, so nothing that another session needs may wait for it.
    std::mutex sessionMutex;
    CommandSession* next = nullptr;  // guarded by the session list mutex

    uint32_t channelCount = 0;                // size of the per-channel arrays
    std::atomic<uint32_t> ending{SESSION_LIVE};  // written under the list mutex
    // 1 once a login has been accepted on this connection.
    std::atomic<uint32_t> loggedIn{0};
    // References: one for the owning message thread, one for each holder of
    // a SessionRef. The record is released when the last one is dropped.
    std::atomic<uint32_t> refs{1};
    // Guards the hand-over of each ChannelStream's sender (thread, socket)
    // and of the serial forwarding: attach, start, stop and teardown. Held
    // across the join of a sender; never taken under the list mutex.
    std::mutex streamMutex;
    // 1 while this session has joined the channel's multicast stream; read
    // and written under that channel's multicast mutex.
    std::unique_ptr<uint8_t[]> mcastJoined;
    // Whether serialThread holds a forwarding thread to join. Written under
    // streamMutex.
    std::atomic<bool> hasSerialThread{false};
};

/* A counted reference to a session record, taken under the list mutex by the
 * look-ups below. The record stays allocated while it is held; its
 * connection may end meanwhile (then `ending` is set and `sock` is -1), so a
 * holder checks what it needs under the session's own locks. Move-only. */
class SessionRef {
public:
    SessionRef() = default;
    explicit SessionRef(CommandSession* adopted) : session_(adopted) {}
    SessionRef(SessionRef&& other) noexcept : session_(other.session_) { other.session_ = nullptr; }
    SessionRef& operator=(SessionRef&& other) noexcept;
    SessionRef(const SessionRef&) = delete;
    SessionRef& operator=(const SessionRef&) = delete;
    ~SessionRef() { reset(); }

    CommandSession* get() const { return session_; }
    CommandSession* operator->() const { return session_; }
    explicit operator bool() const { return session_ != nullptr; }
    void reset();

private:
    CommandSession* session_ = nullptr;
};

/* Creates a record for an accepted command connection: memory from the host's
 * my_malloc, the per-channel arrays from the standard allocator, a new session
 * id. Returns null when the host has no memory (nothing is then allocated).
 * Thread: the listener only (it alone assigns ids). */
CommandSession* session_create(int sock, const sockaddr_in& peer, uint32_t channelCount);

/* Releases a record that was never linked (its message thread could not be
 * started). */
void session_destroy_unlinked(CommandSession* session);

/* Links the record at the end of the session list, unless the server is
 * stopping. Returns false (record not linked) when it is. */
bool session_link(CommandSession* session);

/* Claims the right to end the session for `who` (self or stop). Returns true
 * when the caller now owns the teardown, false when someone else already
 * claimed it. Takes the list mutex. */
bool session_claim(CommandSession* session, SessionEnding who);

/* Unlinks the record and drops the owner's reference, which releases it
 * with its arrays unless a SessionRef still holds it. A record that is not in
 * the list is left untouched. */
void session_remove(CommandSession* session);

/* Claims every live session for the stop, marks the server as stopping so
 * that no new session can link, and returns the claimed sessions in list
 * order. Sessions already claimed by their own thread are not returned. */
std::vector<CommandSession*> session_claim_all_for_stop();

/* Number of linked sessions. */
size_t session_count();

/* Number of records that exist (created and not yet released): what the
 * session cap counts. */
uint32_t session_records();

/* A reference to the newest session with id `id` that is not ending; empty
 * when there is none. */
SessionRef session_ref_by_id(uint32_t id);

/* Runs `fn` on the live session `id` with its streamMutex held, and returns
 * false (fn not run) when there is no such session or its ending has begun.
 * The check is made under streamMutex, which the ending takes after it has
 * marked the session, so whatever `fn` starts is ended by that ending. */
bool session_with_live_streams(uint32_t id, const std::function<void(CommandSession*)>& fn);
/* The same for a session the caller holds a reference to. */
bool session_with_live_streams(CommandSession* session, const std::function<void(CommandSession*)>& fn);

/* A reference to the newest session from `address`, ending or not; empty
 * when there is none. */
SessionRef session_ref_by_address(in_addr_t address);

/* A reference to the session whose command socket is `fd`, ending or not;
 * empty when no session owns it. */
SessionRef session_ref_by_socket(int fd);

/* Whether a host at `address` may use the UDP session responder: it has a
 * session (a logged-in one while logins are required). */
bool session_address_may_probe(in_addr_t address);

/* Whether the session may use commands beyond login, logout, keep-alive and
 * echo. */
bool session_may_command(const CommandSession* session);

/* Writes a whole message on the session's command connection under its write
 * lock. Returns 0, or -1 when the write failed or the connection is gone. */
int session_write(CommandSession* session, const void* data, size_t length);

/* As session_write, but only while the session's command socket is still
 * `fd`: a connection closed meanwhile is never written to through a reused
 * descriptor number. */
int session_write_on(CommandSession* session, int fd, const void* data, size_t length);

/* Closes the command socket under the write lock, so that no writer of
 * another thread can write to a descriptor number that has been reused. */
void session_close_socket(CommandSession* session);

/* Writes a whole message on `fd`: under the write lock of the session whose
 * command socket it is (so that it never interleaves with that session's
 * other messages; -1 once that session's connection is closed), or directly
 * when no session owns it. Returns 0, or -1 when the write failed. */
int session_write_fd(int fd, const void* data, size_t length);

/* Resets the list for a new start (the id counter keeps counting). */
void session_list_reset();

#endif
