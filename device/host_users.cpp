/*
 * host_users.cpp - the device's user accounts and the login check. Passwords
 * are kept only as libsodium password hashes (crypto_pwhash_str).
 */
#include <sodium.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "device_state.h"
#include "failures.h"
#include "netserver/host_api.h"
#include "netserver/records.h"
#include "netserver/wire.h"
#include "store.h"

namespace {

// A text field of 24 bytes, or nothing when no NUL ends it inside the field.
std::optional<std::string> textField(const uint8_t* record, size_t offset) {
    const char* field = reinterpret_cast<const char*>(record) + offset;
    const size_t n = strnlen(field, records::USER_TEXT_SIZE);
    if (n == records::USER_TEXT_SIZE) return std::nullopt;
    return std::string(field, n);
}

// The salted hash of `password`, or nothing when hashing fails (out of memory).
std::optional<std::string> hashPassword(const std::string& password) {
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(hash, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        return std::nullopt;
    return std::string(hash);
}

bool passwordMatches(const std::string& hash, const std::string& password) {
    return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

std::optional<StoredUser> defaultAccount() {
    std::optional<std::string> hash = hashPassword(records::DEFAULT_PASSWORD);
    if (!hash) return std::nullopt;
    return StoredUser{records::DEFAULT_USER, *hash, records::RIGHTS_ALL};
}

}  // namespace

bool ensureDefaultUser() {
    if (deviceStore().userCount() > 0) return true;
    std::optional<StoredUser> admin = defaultAccount();
    return admin && deviceStore().ensureUser(*admin);
}

bool resetUsersToDefault() {
    std::optional<StoredUser> admin = defaultAccount();
    return admin && deviceStore().resetUsers(*admin);
}

// Checks the user name (offset 0) and password (offset 24) of the 84-byte
// login record against the stored accounts. The module sends the record back
// to the client as the check leaves it, so the password field is cleared: a
// password never travels back over the network.
// Returns 0 accepted, -1 unknown user, -2 wrong password.
extern "C" int st_app_netAuthUser(void* loginRequest) {
    if (auto injected = injectedFailure("st_app_netAuthUser")) return *injected;
    if (loginRequest == nullptr) return records::AUTH_UNKNOWN_USER;
    auto* record = static_cast<uint8_t*>(loginRequest);
    // A field without NUL is longer than any stored name or password.
    const std::optional<std::string> name = textField(record, records::LOGIN_USER);
    const std::optional<std::string> password = textField(record, records::LOGIN_PASSWORD);
    std::memset(record + records::LOGIN_PASSWORD, 0, records::LOGIN_TEXT_SIZE);

    // The hash is checked outside the store's lock: it takes a while on purpose.
    const std::optional<StoredUser> account = name ? deviceStore().user(*name) : std::nullopt;
    int result = records::AUTH_UNKNOWN_USER;
    if (account)
        result = password && passwordMatches(account->hash, *password) ? records::AUTH_ACCEPTED
                                                                        : records::AUTH_WRONG_PASSWORD;
    deviceCountLogin(result == records::AUTH_ACCEPTED);
    return result;
}

// Hands over every account, in the order they were added, as malloc'ed
// UserNodes: name and rights filled, the password field zero. Returns 0, or
// -1 when a node cannot be allocated (nothing is handed over then).
extern "C" int st_app_netGetUserList(UserNode** head) {
    if (auto injected = injectedFailure("st_app_netGetUserList")) return *injected;
    if (head == nullptr) return -1;
    *head = nullptr;
    UserNode** tail = head;
    for (const StoredUser& user : deviceStore().users()) {
        auto* node = static_cast<UserNode*>(std::calloc(1, sizeof(UserNode)));
        if (node == nullptr) {
            while (*head != nullptr) {
                UserNode* next = (*head)->next;
                std::free(*head);
                *head = next;
            }
            return -1;
        }
        std::memcpy(node->record + records::USER_NAME, user.name.data(),
                    std::min(user.name.size(), records::USER_TEXT_SIZE - 1));
        wire::putU32(node->record, records::USER_RIGHTS, user.rights);
        *tail = node;
        tail = &node->next;
    }
    return 0;
}

// Adds an account. Returns 0, or -1 for an empty or unterminated name or
// password field, a name that exists, or a failure to hash or store.
extern "C" int st_app_netAddUser(UserRecord user) {
    if (auto injected = injectedFailure("st_app_netAddUser")) return *injected;
    const std::optional<std::string> name = textField(user.bytes, records::USER_NAME);
    const std::optional<std::string> password = textField(user.bytes, records::USER_PASSWORD);
    if (!name || name->empty() || !password) return -1;
    const std::optional<std::string> hash = hashPassword(*password);
    if (!hash) return -1;
    const uint32_t rights = wire::getU32(user.bytes, records::USER_RIGHTS);
    if (deviceStore().addUser({*name, *hash, rights}) != UserChange::Done) return -1;
    deviceLog(records::LOG_CATEGORY_SYSTEM, "user " + *name + " added");
    return 0;
}

// Deletes the account of that name. Returns 0, or -1 for an unknown name or
// the last account.
extern "C" int st_app_netDeleteUser(UserRecord user) {
    if (auto injected = injectedFailure("st_app_netDeleteUser")) return *injected;
    const std::optional<std::string> name = textField(user.bytes, records::USER_NAME);
    if (!name || deviceStore().deleteUser(*name) != UserChange::Done) return -1;
    deviceLog(records::LOG_CATEGORY_SYSTEM, "user " + *name + " deleted");
    return 0;
}

// Sets the rights of the account of that name and, when the password field
// is not empty, its password (a user list carries no passwords, so an empty
// field means "keep it"). Returns 0, or -1 for an unknown name.
extern "C" int st_app_netModifyUser(UserRecord user) {
    if (auto injected = injectedFailure("st_app_netModifyUser")) return *injected;
    const std::optional<std::string> name = textField(user.bytes, records::USER_NAME);
    const std::optional<std::string> password = textField(user.bytes, records::USER_PASSWORD);
    if (!name || !password) return -1;
    std::optional<std::string> hash;
    if (!password->empty()) {
        hash = hashPassword(*password);
        if (!hash) return -1;
    }
    const uint32_t rights = wire::getU32(user.bytes, records::USER_RIGHTS);
    if (deviceStore().modifyUser(*name, hash, rights) != UserChange::Done) return -1;
    deviceLog(records::LOG_CATEGORY_SYSTEM, "user " + *name + " modified");
    return 0;
}
