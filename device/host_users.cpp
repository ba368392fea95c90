/*
 * host_users.cpp - the device's user accounts and the login check. Passwords
 * are kept only as password hashes (password.h).
 */
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>

#include "device_state.h"
#include "failures.h"
#include "netserver/host_api.h"
#include "netserver/records.h"
#include "netserver/wire.h"
#include "password.h"
#include "store.h"

namespace {

// A text field of 24 bytes, or nothing when no NUL ends it inside the field.
std::optional<std::string> textField(const uint8_t* record, size_t offset) {
    const char* field = reinterpret_cast<const char*>(record) + offset;
    const size_t n = strnlen(field, records::USER_TEXT_SIZE);
    if (n == records::USER_TEXT_SIZE) return std::nullopt;
    return std::string(field, n);
}

// Held around every change of the account table made here. A login's
// re-hash reads, checks and writes an account in three store calls; with this
// lock no add, modify, delete or reset can land between them. Never held while
// a hash is computed: that takes a while and waits for a turn.
std::mutex g_accountWrites;

// Replaces a login's stale hash with one of the current parameters, unless the
// account changed since the check read it (a new password must not be undone
// by the old one). A failure only leaves the old hash, which still verifies.
void rehashAfterLogin(const StoredUser& checked, const std::string& password) {
    const std::optional<std::string> hash = hashPassword(password);
    if (!hash) return;
    {
        std::lock_guard<std::mutex> lock(g_accountWrites);
        const std::optional<StoredUser> now = deviceStore().user(checked.name);
        if (!now || now->hash != checked.hash) return;
        if (deviceStore().modifyUser(now->name, hash, now->rights) != UserChange::Done) return;
    }
    deviceLog(wire::LOG_CATEGORY_SYSTEM, "user " + checked.name + " password re-hashed");
}

// Checks a login's password; a match against a hash of older parameters is
// stored again with the current ones. Returns 0 accepted or -2 wrong password.
int checkLogin(const StoredUser& account, const std::optional<std::string>& password) {
    if (!password) return records::AUTH_WRONG_PASSWORD;
    switch (checkPassword(account.hash, *password)) {
    case PasswordCheck::Wrong:
        return records::AUTH_WRONG_PASSWORD;
    case PasswordCheck::MatchesStale:
        rehashAfterLogin(account, *password);
        return records::AUTH_ACCEPTED;
    case PasswordCheck::Matches:
        return records::AUTH_ACCEPTED;
    }
    return records::AUTH_WRONG_PASSWORD;
}

std::optional<StoredUser> defaultAccount() {
    std::optional<std::string> hash = hashPassword(records::DEFAULT_PASSWORD);
    if (!hash) return std::nullopt;
    return StoredUser{records::DEFAULT_USER, *hash, records::RIGHTS_ALL};
}

// One account change under g_accountWrites; once the store has made it,
// "user <name> <what>" goes to the device log (outside the lock). Returns 0,
// or -1 when the store did not make the change.
template <class Change>
int changeAccount(const std::string& name, const char* what, Change change) {
    {
        std::lock_guard<std::mutex> lock(g_accountWrites);
        if (change() != UserChange::Done) return -1;
    }
    deviceLog(wire::LOG_CATEGORY_SYSTEM, "user " + name + " " + what);
    return 0;
}

}  // namespace

bool ensureDefaultUser() {
    if (deviceStore().userCount() > 0) return true;
    std::optional<StoredUser> admin = defaultAccount();
    if (!admin) return false;
    std::lock_guard<std::mutex> lock(g_accountWrites);
    return deviceStore().ensureUser(*admin);
}

bool resetUsersToDefault() {
    std::optional<StoredUser> admin = defaultAccount();
    if (!admin) return false;
    std::lock_guard<std::mutex> lock(g_accountWrites);
    return deviceStore().resetUsers(*admin);
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
    const int result = account ? checkLogin(*account, password) : records::AUTH_UNKNOWN_USER;
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
    return changeAccount(*name, "added", [&] { return deviceStore().addUser({*name, *hash, rights}); });
}

// Deletes the account of that name. Returns 0, or -1 for an unknown name or
// the last account.
extern "C" int st_app_netDeleteUser(UserRecord user) {
    if (auto injected = injectedFailure("st_app_netDeleteUser")) return *injected;
    const std::optional<std::string> name = textField(user.bytes, records::USER_NAME);
    if (!name) return -1;
    return changeAccount(*name, "deleted", [&] { return deviceStore().deleteUser(*name); });
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
    return changeAccount(*name, "modified", [&] { return deviceStore().modifyUser(*name, hash, rights); });
}
