/*
 * password.cpp - password hashes, and the turns that bound how many run at once.
 */
#include "password.h"

#include <sodium.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace {

/* A first-come, first-served counting gate: at most `turns` holders at once,
 * waiters sleep on a condition variable and enter in the order they came.
 * Ticket t may enter once fewer than `turns` of the tickets before it are
 * still inside, i.e. when t < released + turns. */
class TurnGate {
public:
    explicit TurnGate(unsigned turns) : turns_(turns) {}

    // Blocks until the caller's turn has come.
    void enter() {
        std::unique_lock<std::mutex> lock(mutex_);
        const uint64_t ticket = next_++;
        changed_.wait(lock, [&] { return ticket < released_ + turns_; });
    }

    // Ends a turn that enter() began.
    void leave() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++released_;
        }
        // Every waiter re-checks its own ticket; only the next one enters.
        changed_.notify_all();
    }

private:
    const unsigned turns_;
    std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t next_ = 0;      // the next ticket handed out; under mutex_
    uint64_t released_ = 0;  // turns ended so far; under mutex_
};

TurnGate& passwordGate() {
    static TurnGate gate(std::max(1u, std::thread::hardware_concurrency()));
    return gate;
}

// One turn at the password gate, for the life of the object.
class PasswordTurn {
public:
    PasswordTurn() { passwordGate().enter(); }
    ~PasswordTurn() { passwordGate().leave(); }
    PasswordTurn(const PasswordTurn&) = delete;
    PasswordTurn& operator=(const PasswordTurn&) = delete;
};

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
    PasswordTurn turn;
    if (crypto_pwhash_str_alg(hash, password.data(), password.size(), kPasswordOpsLimit,
                              kPasswordMemLimit, crypto_pwhash_ALG_ARGON2ID13) != 0)
        return std::nullopt;
    return std::string(hash);
}

PasswordCheck checkPassword(const std::string& hash, const std::string& password) {
    {
        PasswordTurn turn;
        if (crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) != 0)
            return PasswordCheck::Wrong;
    }
    return hasCurrentParameters(hash) ? PasswordCheck::Matches : PasswordCheck::MatchesStale;
}
