/*
 * login.cpp - auth_user, the answer to MSG_LOGIN, and the slowing of
 * repeated failed logins from one address.
 */
#include <arpa/inet.h>
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "handlers/handlers.h"
#include "handlers/login.h"
#include "core/counters.h"
#include "core/framing.h"
#include "core/session.h"
#include "netserver/host_api.h"
#include "netserver/netserver.h"

namespace {

constexpr int AUTH_OK = 0;
constexpr int AUTH_OK_NO_ID = 3;
constexpr int AUTH_UNKNOWN_USER = -1;
constexpr int AUTH_WRONG_PASSWORD = -2;

using Clock = std::chrono::steady_clock;

/* Repeated failed logins from one address are slowed down: once an address
 * has failed LOGIN_FAILURES_FREE times within LOGIN_FAILURE_WINDOW, each
 * further check from it waits for a slot of its own, one per
 * LOGIN_SLOWED_STEP, whatever connection it comes on. A success clears the
 * address. */
constexpr int LOGIN_FAILURES_FREE = 5;
constexpr auto LOGIN_FAILURE_WINDOW = std::chrono::seconds(60);
constexpr auto LOGIN_SLOWED_STEP = std::chrono::seconds(1);
constexpr auto LOGIN_LONGEST_WAIT = std::chrono::seconds(15);  // the idle limit
constexpr size_t LOGIN_ADDRESSES_KEPT = 4096;  // bounds the table under a spray of addresses

struct FailureRecord {
    int failures = 0;            // within the window that began at `since`
    Clock::time_point since;
    Clock::time_point nextSlot;  // when the next slowed check may run
    bool logged = false;         // the log line of this episode was written
};

struct LoginThrottle {
    std::mutex mutex;
    std::map<in_addr_t, FailureRecord> addresses;
};

LoginThrottle& login_throttle() {
    static LoginThrottle throttle;
    return throttle;
}

/* When a check from an address may run. */
struct LoginTurn {
    Clock::time_point at;
    bool slowed = false;       // the address is slowed: wait until `at`
    bool firstSlowed = false;  // and this is the first check of the episode
    bool refused = false;      // its turn lies too far ahead: no check at all
};

/* Reserves the turn of a check from `address`: now, or a slot one step after
 * the previous one while the address is slowed. A slot more than
 * LOGIN_LONGEST_WAIT ahead is not reserved (refused): one address cannot fill
 * the server with connections that wait their turn. */
LoginTurn login_turn(in_addr_t address) {
    LoginThrottle& t = login_throttle();
    std::lock_guard<std::mutex> lock(t.mutex);
    const Clock::time_point now = Clock::now();
    LoginTurn turn{now};
    auto it = t.addresses.find(address);
    if (it == t.addresses.end()) return turn;
    FailureRecord& r = it->second;
    if (now - r.since > LOGIN_FAILURE_WINDOW) {
        t.addresses.erase(it);
        return turn;
    }
    if (r.failures < LOGIN_FAILURES_FREE) return turn;
    const Clock::time_point slot = r.nextSlot > now ? r.nextSlot : now + LOGIN_SLOWED_STEP;
    turn.firstSlowed = !r.logged;
    r.logged = true;
    if (slot - now > LOGIN_LONGEST_WAIT) {
        turn.refused = true;
        return turn;
    }
    r.nextSlot = slot + LOGIN_SLOWED_STEP;
    turn.slowed = true;
    turn.at = slot;
    return turn;
}

/* Counts the outcome of a check from `address`. */
void login_note(in_addr_t address, bool failed) {
    LoginThrottle& t = login_throttle();
    std::lock_guard<std::mutex> lock(t.mutex);
    if (!failed) {
        t.addresses.erase(address);
        return;
    }
    const Clock::time_point now = Clock::now();
    if (t.addresses.size() >= LOGIN_ADDRESSES_KEPT && t.addresses.count(address) == 0) {
        // Forget what has aged out; if nothing has, the oldest entry.
        std::erase_if(t.addresses, [&](const auto& e) { return now - e.second.since > LOGIN_FAILURE_WINDOW; });
        if (t.addresses.size() >= LOGIN_ADDRESSES_KEPT) t.addresses.erase(t.addresses.begin());
    }
    FailureRecord& r = t.addresses[address];
    if (r.failures == 0 || now - r.since > LOGIN_FAILURE_WINDOW) r = FailureRecord{0, now, now, false};
    ++r.failures;
}

/* Waits until `until` unless the connection ends first (the client goes, or
 * the stop shuts the socket down). False when it ended. */
bool login_wait(const CommandSession* session, Clock::time_point until) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        if (left.count() <= 0) return true;
        pollfd p{session->sock.load(), POLLRDHUP, 0};
        int n = poll(&p, 1, static_cast<int>(left.count()));
        if (n > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0) return false;
        if (n < 0 && errno != EINTR) return false;
    }
}

/* Writes "<address> login failures slowed" to the device log, once per
 * episode of an address. */
void login_log_slowed(in_addr_t address) {
    char text[INET_ADDRSTRLEN] = "";
    in_addr a{};
    a.s_addr = address;
    inet_ntop(AF_INET, &a, text, sizeof text);
    char line[wire::LOG_LINE_SIZE];
    snprintf(line, sizeof line, "%s login failures slowed", text);
    st_param_writeLogBuffer(wire::LOG_CATEGORY_OPERATION, line);
}

/* Keeps the user name (cut to the 23 characters the field holds) and the
 * user information of an accepted login. */
void login_update_session(CommandSession* session, const uint8_t* record) {
    const char* name = reinterpret_cast<const char*>(record);
    size_t n = strnlen(name, wire::USER_NAME_SIZE - 1);
    std::memcpy(session->userName, name, n);
    session->userName[n] = '\0';
    std::memcpy(session->userInfo, record + wire::LOGIN_USERINFO_OFFSET, wire::LOGIN_USERINFO_SIZE);
}

}  // namespace

void login_throttle_reset() {
    LoginThrottle& t = login_throttle();
    std::lock_guard<std::mutex> lock(t.mutex);
    t.addresses.clear();
}

/* Thread: the session's message thread (or a host thread that owns the
 * session's connection for the moment). Works on its own copy of the header
 * and the record; the caller's buffer is not changed. */
int auth_user(CommandSession* session, void* message) {
    uint8_t reply[wire::HEADER_SIZE + wire::LOGIN_REQUEST_SIZE];
    const uint8_t* request = static_cast<const uint8_t*>(message);
    std::memcpy(reply, request, wire::HEADER_SIZE);
    uint8_t* record = reply + wire::HEADER_SIZE;
    std::memcpy(record, request + wire::HEADER_SIZE, wire::LOGIN_REQUEST_SIZE);

    const in_addr_t address = session->peer.sin_addr.s_addr;
    const LoginTurn turn = login_turn(address);
    if (turn.firstSlowed) login_log_slowed(address);
    // A login that would wait longer than the idle limit ends its connection
    // unanswered, as a silent one does.
    if (turn.refused || (turn.slowed && !login_wait(session, turn.at))) return -1;

    int result = st_app_netAuthUser(record);
    const bool accepted = result == AUTH_OK || result == AUTH_OK_NO_ID;
    login_note(address, !accepted);
    counters_login(accepted);

    uint8_t status = wire::getU8(request, wire::HDR_STATUS);
    uint32_t length = 0;
    if (accepted) {
        login_update_session(session, record);
        session->loggedIn = 1;
        status = wire::STATUS_OK;
        if (result == AUTH_OK) length = wire::LOGIN_REQUEST_SIZE;
    } else if (result == AUTH_UNKNOWN_USER) {
        status = wire::STATUS_LOGIN_UNKNOWN_USER;
    } else if (result == AUTH_WRONG_PASSWORD) {
        status = wire::STATUS_LOGIN_BAD_PASSWORD;
    }
    if (framing_send_reply(session, reply, status, length) < 0) {
        perror("write login ack.");
        return -1;
    }
    if (result == AUTH_OK_NO_ID) return 0;

    wire::putU16(reply, wire::HDR_TYPE, wire::MSG_SESSION_ID);
    wire::putU32(reply + wire::HEADER_SIZE, 0, session->session_id);
    return framing_send_reply(session, reply, status, wire::SESSION_ID_PAYLOAD) < 0 ? -1 : 0;
}

/* MSG_LOGIN on the session's message thread: the session ends when an
 * answer could not be sent (or the login was given up unanswered). */
bool handle_login(HandlerContext& ctx) {
    return auth_user(ctx.session, ctx.message) == 0;
}
