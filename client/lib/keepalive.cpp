/*
 * keepalive.cpp - the keep-alive thread.
 */
#include "keepalive.h"

#include "errors.h"
#include "netserver/wire.h"

namespace recnet {

KeepAlive::KeepAlive(Connection& conn, std::chrono::milliseconds interval)
    : conn_(conn), interval_(interval), thread_([this] { run(); }) {}

KeepAlive::~KeepAlive() { stop(); }

void KeepAlive::stop() {
    {
        // Set under the mutex so that the thread cannot miss the notification
        // between testing the flag and starting its wait.
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_.store(true, std::memory_order_relaxed);
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void KeepAlive::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (wake_.wait_for(lock, interval_,
                           [this] { return stopping_.load(std::memory_order_relaxed); })) {
            return;
        }
        // Not holding our mutex while writing: a slow write must not delay stop().
        lock.unlock();
        try {
            conn_.sendMessage(wire::MSG_KEEPALIVE, 0, {});
            sent_.fetch_add(1, std::memory_order_relaxed);
        } catch (const Error&) {
            failed_.store(true, std::memory_order_relaxed);
            return;
        }
        lock.lock();
    }
}

}  // namespace recnet
