/*
 * login.cpp - auth_user, the answer to MSG_LOGIN.
 */
#include <cstdio>
#include <cstring>

#include "command/framing.h"
#include "core/session.h"
#include "netserver/host_api.h"
#include "netserver/netserver.h"

namespace {

constexpr int AUTH_OK = 0;
constexpr int AUTH_OK_NO_ID = 3;
constexpr int AUTH_UNKNOWN_USER = -1;
constexpr int AUTH_WRONG_PASSWORD = -2;

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

/* Thread: the session's message thread (or a host thread that owns the
 * session's connection for the moment). Works on its own copy of the header
 * and the record; the caller's buffer is not changed. */
int auth_user(CommandSession* session, void* message) {
    uint8_t reply[wire::HEADER_SIZE + wire::LOGIN_REQUEST_SIZE];
    const uint8_t* request = static_cast<const uint8_t*>(message);
    std::memcpy(reply, request, wire::HEADER_SIZE);
    uint8_t* record = reply + wire::HEADER_SIZE;
    std::memcpy(record, request + wire::HEADER_SIZE, wire::LOGIN_REQUEST_SIZE);

    int result = st_app_netAuthUser(record);

    uint8_t status = wire::getU8(request, wire::HDR_STATUS);
    uint32_t length = 0;
    if (result == AUTH_OK || result == AUTH_OK_NO_ID) {
        login_update_session(session, record);
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
