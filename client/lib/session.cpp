/*
 * session.cpp - login, logout, echo, time and free-form requests.
 */
#include "session.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "errors.h"
#include "hex.h"
#include "netserver/records.h"

namespace recnet {

namespace {

std::string typeName(uint16_t type) {
    char b[7];
    std::snprintf(b, sizeof b, "0x%x", type);
    return b;
}

// Throws Error(Protocol) unless `m` is an answer of type `type`.
void expectType(const Message& m, uint16_t type, const char* what) {
    if (m.header.type != type) {
        throw Error(Error::Kind::Protocol, std::string("unexpected message of type ") +
                                               typeName(m.header.type) + " in answer to the " +
                                               what + " (expected " + typeName(type) + ")");
    }
}

// The text for a refused login's status byte.
std::string refusalText(uint8_t status) {
    switch (status) {
        case wire::STATUS_LOGIN_UNKNOWN_USER: return "login refused: unknown user";
        case wire::STATUS_LOGIN_BAD_PASSWORD: return "login refused: wrong password";
        default: return "login refused (status " + std::to_string(status) + ")";
    }
}

// The status byte our login request carries. The server answers a refusal it
// has no code of its own for with the request's status byte; were that 0, such
// a refusal would look like an acceptance without session id. STATUS_FAILED
// keeps the two apart.
constexpr uint8_t LOGIN_REQUEST_STATUS = wire::STATUS_FAILED;

}  // namespace

std::vector<uint8_t> buildLoginRequest(const std::string& user, const std::string& password) {
    std::vector<uint8_t> req(wire::LOGIN_REQUEST_SIZE, 0);
    wire::putText(req.data(), records::LOGIN_USER, records::LOGIN_TEXT_SIZE, user);
    wire::putText(req.data(), records::LOGIN_PASSWORD, records::LOGIN_TEXT_SIZE, password);
    return req;
}

std::optional<uint32_t> login(Connection& conn, const std::string& user,
                              const std::string& password, Duration timeout) {
    conn.sendMessage(wire::MSG_LOGIN, 0, buildLoginRequest(user, password), LOGIN_REQUEST_STATUS);
    Message answer = conn.readMessage(timeout);
    expectType(answer, wire::MSG_LOGIN, "login");

    if (answer.header.status != wire::STATUS_OK) {
        // A refusal is still followed by the session id message; read it so
        // that the next request on this connection meets its own answer.
        // Should it not come, the refusal is still the news worth reporting.
        try {
            conn.readMessage(timeout);
        } catch (const Error&) {
        }
        throw Error(Error::Kind::LoginRefused, refusalText(answer.header.status));
    }
    if (answer.header.length == 0) return std::nullopt;  // accepted, no id is sent
    if (answer.header.length != wire::LOGIN_REQUEST_SIZE) {
        throw Error(Error::Kind::Protocol, "login answer has length " +
                                               std::to_string(answer.header.length) +
                                               " (expected 0 or " +
                                               std::to_string(wire::LOGIN_REQUEST_SIZE) + ")");
    }
    Message idMsg = conn.readMessage(timeout);
    expectType(idMsg, wire::MSG_SESSION_ID, "login");
    if (idMsg.header.length != wire::SESSION_ID_PAYLOAD) {
        throw Error(Error::Kind::Protocol, "session id message has length " +
                                               std::to_string(idMsg.header.length) +
                                               " (expected " +
                                               std::to_string(wire::SESSION_ID_PAYLOAD) + ")");
    }
    return wire::getU32(idMsg.payload.data(), 0);
}

void logout(Connection& conn, Duration timeout) {
    conn.sendMessage(wire::MSG_LOGOUT, 0, {});
    expectType(conn.readMessage(timeout), wire::MSG_LOGOUT, "logout");
}

void echo(Connection& conn, Duration timeout) {
    // Distinctive values in every field that the server must carry back, so a
    // reply assembled from defaults would not pass.
    wire::MessageHeader sent;
    sent.type = wire::MSG_ECHO;
    sent.subtype = 0xec40;
    sent.length = 0;
    sent.status = 0x5a;
    sent.rest[0] = 0x13;
    sent.rest[1] = 0x57;
    sent.rest[2] = 0x9b;
    conn.sendHeader(sent);
    Message back = conn.readMessage(timeout);

    uint8_t want[wire::HEADER_SIZE];
    uint8_t got[wire::HEADER_SIZE];
    wire::encodeHeader(want, sent);
    wire::encodeHeader(got, back.header);
    if (std::memcmp(want, got, sizeof want) != 0) {
        throw Error(Error::Kind::Protocol, "echo came back changed: sent " +
                                               toHex(want, sizeof want) + ", got " +
                                               toHex(got, sizeof got));
    }
}

TimeInfo timeInfo(Connection& conn, Duration timeout) {
    conn.sendMessage(wire::MSG_TIME_INFO, 0, {});
    Message m = conn.readMessage(timeout);
    expectType(m, wire::MSG_TIME_INFO, "time request");
    if (m.header.status != wire::STATUS_OK) {
        throw Error(Error::Kind::Protocol,
                    "time request failed (status " + std::to_string(m.header.status) + ")");
    }
    if (m.header.length != wire::TIME_RECORD_SIZE) {
        throw Error(Error::Kind::Protocol, "time answer has length " +
                                               std::to_string(m.header.length) + " (expected " +
                                               std::to_string(wire::TIME_RECORD_SIZE) + ")");
    }
    return decodeTimeRecord(m.payload.data());
}

TimeInfo decodeTimeRecord(const uint8_t* p) {
    // TimeInfo lists the record's six words in their order on the wire.
    static_assert(records::TIME_YEAR == 0 && records::TIME_SECOND == 5 * 4);
    const auto w = wire::getWords<6>(p, records::TIME_YEAR);
    return {w[0], w[1], w[2], w[3], w[4], w[5]};
}

std::optional<Message> rawRequest(Connection& conn, const RawRequest& req, Duration timeout) {
    conn.sendMessage(req.type, req.subtype, req.payload, req.status, req.rest);
    return conn.tryReadMessage(timeout);
}

}  // namespace recnet
