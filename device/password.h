/*
 * password.h - the device's password hashes (libsodium, Argon2id).
 *
 * Argon2 is slow and memory-hard on purpose, which makes every check cost
 * the recorder real memory. So the cost is sized for a recorder, and every
 * hash or check waits for one of as many turns as there are cores: a burst
 * of logins queues instead of growing the device by a hash's memory per login.
 */
#ifndef RECNET_DEVICE_PASSWORD_H
#define RECNET_DEVICE_PASSWORD_H

#include <cstddef>
#include <optional>
#include <string>

// What new hashes cost: Argon2id with 19 MiB and two passes.
constexpr size_t kPasswordMemLimit = 19u << 20;
constexpr unsigned long long kPasswordOpsLimit = 2;

// The salted hash of `password` with the parameters above, or nothing when
// hashing fails (out of memory). Waits for a turn.
std::optional<std::string> hashPassword(const std::string& password);

enum class PasswordCheck {
    Wrong,        // no match, or not a hash this device can read
    Matches,      // a match, stored with the current parameters
    MatchesStale  // a match, but the hash has other parameters: hash it again
};

// Checks `password` against a stored hash of any parameters. Waits for a turn.
PasswordCheck checkPassword(const std::string& hash, const std::string& password);

#endif
