/*
 * session.h - the session-level conversations of a command connection:
 * login and logout, echo, the device's time, and free-form requests.
 *
 * Each function writes one request and reads the answer(s) that belong to it
 * on the calling thread; `timeout` bounds each wait for an answer.
 */
#ifndef RECNET_CLIENT_SESSION_H
#define RECNET_CLIENT_SESSION_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "connection.h"

namespace recnet {

// The 84-byte login record: user name at 0 and password at 24, each a
// NUL-terminated text in a 24-byte field (longer input is cut to 23
// characters), every other byte zero.
std::vector<uint8_t> buildLoginRequest(const std::string& user, const std::string& password);

// Logs in. Returns the session id that the server assigned, or nullopt when
// the server accepted the login without sending one. Throws
// Error(LoginRefused) ("login refused: unknown user", "...: wrong password",
// "login refused (status N)"); the connection stays usable after a refusal.
std::optional<uint32_t> login(Connection& conn, const std::string& user,
                              const std::string& password, Duration timeout);

// Ends the session politely: sends the logout and waits for its answer, after
// which the server closes the connection.
void logout(Connection& conn, Duration timeout);

// Sends an echo request and checks that the same 16 header bytes come back.
// Throws Error(Protocol) when they differ.
void echo(Connection& conn, Duration timeout);

// The device's clock as its time answer states it.
struct TimeInfo {
    uint32_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// Reads the 24-byte time record (six u32: year, month, day, hour, minute,
// second) at `record`.
TimeInfo decodeTimeRecord(const uint8_t* record);

// Asks for the device's time. Throws Error(Protocol) when the answer is not a
// successful 24-byte time record.
TimeInfo timeInfo(Connection& conn, Duration timeout);

// A message of any type, as a caller composes it by hand.
struct RawRequest {
    uint16_t type = 0;
    uint16_t subtype = 0;
    std::vector<uint8_t> payload;
    uint8_t status = 0;
    std::array<uint8_t, 3> rest{0, 0, 0};
};

// Sends `req` and returns the first message that arrives within `timeout`,
// or nullopt when none does (many types are never answered).
std::optional<Message> rawRequest(Connection& conn, const RawRequest& req, Duration timeout);

}  // namespace recnet

#endif
