/*
 * password.cpp - password hashes.
 */
#include "password.h"

#include <sodium.h>

namespace {

// True when `hash` is Argon2id with the current parameters. libsodium's
// needs_rehash compares only the parameters of the hash's own algorithm, so
// the algorithm is checked here.
bool hasCurrentParameters(const std::string& hash) {
    static const std::string prefix = crypto_pwhash_argon2id_STRPREFIX;
    return hash.compare(0, prefix.size(), prefix) == 0 &&
           crypto_pwhash_str_needs_rehash(hash.c_str(), kPasswordOpsLimit, kPasswordMemLimit) == 0;
}

}  // namespace

std::optional<std::string> hashPassword(const std::string& password) {
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str_alg(hash, password.data(), password.size(), kPasswordOpsLimit,
                              kPasswordMemLimit, crypto_pwhash_ALG_ARGON2ID13) != 0)
        return std::nullopt;
    return std::string(hash);
}

PasswordCheck checkPassword(const std::string& hash, const std::string& password) {
    if (crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) != 0)
        return PasswordCheck::Wrong;
    return hasCurrentParameters(hash) ? PasswordCheck::Matches : PasswordCheck::MatchesStale;
}
