/*
 * session_worker.cpp - MSG_START_SESSION_THREAD: the session's worker
 * thread, and its end before the session's record is released.
 *
 * The worker's work description is shared by the client and the host; the
 * module passes it through unchanged.
 */
#include <pthread.h>

#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "core/thread_registry.h"
#include "handlers/handlers.h"
#include "netserver/host_api.h"

namespace {

// The worker's block: the session reference, then the request's work
// description (64 bytes on the 32-bit device).
constexpr size_t WORKER_ARGS_SIZE = sizeof(CommandSession*) + wire::WORKER_WORK_SIZE;
constexpr int WORKER_WAIT_ROUNDS = 100;
constexpr auto WORKER_WAIT_STEP = std::chrono::milliseconds(100);

/* Workers that were started and not yet joined, by session id (ids are unique
 * while the module is loaded, so a record released and reused at the same
 * address can never inherit another session's entry). An entry present is
 * "a handle to join"; absent is "none". The lock hands the handle safely from
 * the thread that started the worker to the one that ends it. */
std::mutex g_workerMutex;
std::map<uint32_t, pthread_t> g_joinable;  // guarded by g_workerMutex

/* Takes the session's unjoined worker out of the table. False: none. */
bool worker_take(const CommandSession* session, pthread_t* thread) {
    std::lock_guard<std::mutex> lock(g_workerMutex);
    auto it = g_joinable.find(session->session_id);
    if (it == g_joinable.end()) return false;
    *thread = it->second;
    g_joinable.erase(it);
    return true;
}

/* Records the session's new worker as the one to join. */
void worker_keep(const CommandSession* session, pthread_t thread) {
    std::lock_guard<std::mutex> lock(g_workerMutex);
    g_joinable[session->session_id] = thread;
}

/* The session worker has no work of its own: it releases its block and
 * reports itself finished. It is joined, not detached: by the next start or
 * by session_worker_end. The release store of workerBusy publishes the freed
 * block to whoever sees 0. */
void* SessionWorkerThread(void* arg) {
    auto* block = static_cast<uint8_t*>(arg);
    CommandSession* session;
    std::memcpy(&session, block, sizeof session);
    my_free(block);
    session->workerBusy.store(0, std::memory_order_release);
    return nullptr;
}

}  // namespace

/* MSG_START_SESSION_THREAD: starts the session's worker with the request's
 * work description. No answer when it starts; STATUS_FAILED while a worker
 * runs, when the block cannot be had or the thread cannot be started. A
 * worker that has ended but was not joined is joined first (it has returned,
 * so the join does not wait). */
void handle_start_session_thread(HandlerContext& ctx) {
    uint8_t work[wire::MESSAGE_BUFFER_SIZE];
    reply_copy_begin(ctx, work);
    CommandSession* session = ctx.session;

    auto* block = static_cast<uint8_t*>(my_malloc(WORKER_ARGS_SIZE));
    if (block == nullptr) {
        reply_copy_send(ctx, work, wire::STATUS_FAILED, 0);
        return;
    }
    std::memset(block, 0, WORKER_ARGS_SIZE);
    std::memcpy(block, &session, sizeof session);
    std::memcpy(block + sizeof session, work + wire::HEADER_SIZE, wire::WORKER_WORK_SIZE);

    if (session->workerBusy.load(std::memory_order_acquire) == 1) {
        reply_copy_send(ctx, work, wire::STATUS_FAILED, 0);
        my_free(block);
        return;
    }
    pthread_t old;
    if (worker_take(session, &old)) pthread_join(old, nullptr);

    // Only this thread sets the flag to 1, so a plain store suffices.
    session->workerBusy.store(1, std::memory_order_release);
    pthread_t thread;
    if (thread_start(&thread, 0, SessionWorkerThread, block) != 0) {
        session->workerBusy.store(0, std::memory_order_release);
        reply_copy_send(ctx, work, wire::STATUS_FAILED, 0);
        my_free(block);
        return;
    }
    worker_keep(session, thread);
}

void session_worker_end(CommandSession* session) {
    for (int i = 0; i < WORKER_WAIT_ROUNDS; ++i) {
        if (session->workerBusy.load(std::memory_order_acquire) != 1) break;
        std::this_thread::sleep_for(WORKER_WAIT_STEP);
    }
    // The worker ends by itself; a join after the wait only waits for a worker
    // that is slower than the wait, never for one that cannot end.
    pthread_t thread;
    if (worker_take(session, &thread)) pthread_join(thread, nullptr);
}
