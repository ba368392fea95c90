/*
 * msg_threads.cpp - registry of the message threads; see msg_threads.h.
 */
#include "core/msg_threads.h"

#include <pthread.h>

#include <algorithm>
#include <mutex>
#include <vector>

namespace {

// Room for the message buffer copies that a message thread keeps on its stack
// (the dispatcher's working copy and scratch area, the login copy), with
// margin for the sanitizers, whatever the process's default stack size is.
constexpr size_t MESSAGE_THREAD_STACK = 4u << 20;

std::mutex g_mutex;
std::vector<pthread_t> g_live;      // started, still serving or ended by the stop
std::vector<pthread_t> g_finished;  // tore their own session down; to be joined

bool takeFrom(std::vector<pthread_t>& v, pthread_t t) {
    auto it = std::find_if(v.begin(), v.end(), [t](pthread_t x) { return pthread_equal(x, t); });
    if (it == v.end()) return false;
    v.erase(it);
    return true;
}

void joinEach(const std::vector<pthread_t>& threads) {
    for (pthread_t t : threads) pthread_join(t, nullptr);
}

}  // namespace

int msg_threads_start(CommandSession* session, void* (*entry)(void*)) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, MESSAGE_THREAD_STACK);
    // The new thread's first act is msg_threads_started(), which waits for this
    // lock: the record cannot be released before its handle is stored.
    std::lock_guard<std::mutex> lock(g_mutex);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, entry, session);
    pthread_attr_destroy(&attr);
    if (rc == 0) {
        session->msgThread = thread;
        g_live.push_back(thread);
    }
    return rc;
}

void msg_threads_started() {
    std::lock_guard<std::mutex> lock(g_mutex);
}

void msg_threads_finish_self() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (takeFrom(g_live, pthread_self())) g_finished.push_back(pthread_self());
}

void msg_threads_reap() {
    std::vector<pthread_t> done;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        done.swap(g_finished);
    }
    joinEach(done);
}

void msg_threads_join_session(CommandSession* session) {
    pthread_t thread;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        thread = session->msgThread;
        if (!takeFrom(g_live, thread)) return;
    }
    pthread_join(thread, nullptr);
}

void msg_threads_join_all() {
    std::vector<pthread_t> all;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        all.swap(g_finished);
        all.insert(all.end(), g_live.begin(), g_live.end());
        g_live.clear();
    }
    joinEach(all);
}
