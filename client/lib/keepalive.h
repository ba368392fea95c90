/*
 * keepalive.h - keeps a command session alive while its owner is busy.
 *
 * The server ends a session that has been silent for 15 s. A KeepAlive sends
 * a keep-alive message (which is never answered) every few seconds on its own
 * thread, so that a caller may wait for long on something else.
 */
#ifndef RECNET_CLIENT_KEEPALIVE_H
#define RECNET_CLIENT_KEEPALIVE_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "connection.h"

namespace recnet {

class KeepAlive {
public:
    // Starts sending on `conn` every `interval`; the first message goes out
    // after one interval. `conn` must outlive this object.
    explicit KeepAlive(Connection& conn, std::chrono::milliseconds interval = std::chrono::seconds(5));
    KeepAlive(const KeepAlive&) = delete;
    KeepAlive& operator=(const KeepAlive&) = delete;
    // Stops and joins the thread.
    ~KeepAlive();

    // Stops the thread promptly (it does not finish its current wait) and
    // joins it. Idempotent.
    void stop();

    // Whether a send failed; the thread stops sending after the first failure
    // and leaves it to the owner's next read to report why.
    bool failed() const noexcept { return failed_.load(std::memory_order_relaxed); }

    // Number of keep-alive messages sent so far.
    unsigned sent() const noexcept { return sent_.load(std::memory_order_relaxed); }

private:
    void run();

    Connection& conn_;
    std::chrono::milliseconds interval_;
    std::mutex mutex_;                  // pairs with wake_
    std::condition_variable wake_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> failed_{false};
    std::atomic<unsigned> sent_{0};
    std::thread thread_;                // last: starts once the rest is built
};

}  // namespace recnet

#endif
