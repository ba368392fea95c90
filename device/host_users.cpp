/*
 * host_users.cpp - the device's user accounts and the login check.
 */
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "failures.h"
#include "netserver/host_api.h"
#include "netserver/records.h"

namespace {

struct UserAccount {
    std::string name;
    std::string password;
};

// The account table; the user commands will change it while sessions log in.
std::mutex g_usersMutex;
std::vector<UserAccount> g_users = {{records::DEFAULT_USER, records::DEFAULT_PASSWORD}};

// Reads a NUL-terminated text field of LOGIN_TEXT_SIZE bytes without reading
// past it: a field without NUL yields all of its bytes, which is longer than
// any stored name or password and so never matches.
std::string readTextField(const void* record, size_t offset) {
    const char* field = static_cast<const char*>(record) + offset;
    return std::string(field, strnlen(field, records::LOGIN_TEXT_SIZE));
}

}  // namespace

// Checks the user name (offset 0) and password (offset 24) of the 84-byte
// login record against the account table. The module sends the record back to
// the client as the check leaves it, so the password field is cleared: a
// password never travels back over the network.
// Returns 0 accepted, -1 unknown user, -2 wrong password.
extern "C" int st_app_netAuthUser(void* loginRequest) {
    if (auto injected = injectedFailure("st_app_netAuthUser")) return *injected;
    if (loginRequest == nullptr) return records::AUTH_UNKNOWN_USER;
    const std::string name = readTextField(loginRequest, records::LOGIN_USER);
    const std::string password = readTextField(loginRequest, records::LOGIN_PASSWORD);

    std::memset(static_cast<char*>(loginRequest) + records::LOGIN_PASSWORD, 0,
                records::LOGIN_TEXT_SIZE);

    std::lock_guard<std::mutex> lock(g_usersMutex);
    for (const UserAccount& account : g_users) {
        if (account.name != name) continue;
        return account.password == password ? records::AUTH_ACCEPTED
                                            : records::AUTH_WRONG_PASSWORD;
    }
    return records::AUTH_UNKNOWN_USER;
}
