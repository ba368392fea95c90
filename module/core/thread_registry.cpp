/*
 * thread_registry.cpp - threads owned by the server; see thread_registry.h.
 */
#include "core/thread_registry.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

ThreadRegistry g_messageThreads;
ThreadRegistry g_dataThreads;
ThreadRegistry g_maintenanceThreads;

namespace {

std::atomic<ThreadStartFn> g_threadStart{nullptr};

}  // namespace

int thread_start(pthread_t* thread, size_t stackSize, void* (*entry)(void*), void* arg) {
    ThreadStartFn replaced = g_threadStart.load();
    if (replaced != nullptr) return replaced(thread, stackSize, entry, arg);
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return EAGAIN;
    if (stackSize != 0) pthread_attr_setstacksize(&attr, stackSize);
    int rc = pthread_create(thread, &attr, entry, arg);
    pthread_attr_destroy(&attr);
    return rc;
}

void thread_set_start(ThreadStartFn start) { g_threadStart.store(start); }

int ThreadRegistry::start(void* (*entry)(void*), void* arg, size_t stackSize, int wakeFd,
                          pthread_t* handleOut) {
    return startUntil(entry, arg, stackSize, wakeFd, handleOut, Clock::time_point::max());
}

int ThreadRegistry::startUntil(void* (*entry)(void*), void* arg, size_t stackSize, int wakeFd,
                               pthread_t* handleOut, Clock::time_point deadline) {
    // The new thread waits in started() for this lock, so whatever `arg`
    // refers to cannot be released before the handle is stored.
    std::lock_guard<std::mutex> lock(mutex_);
    pthread_t thread;
    int rc = thread_start(&thread, stackSize, entry, arg);
    if (rc == 0) {
        if (handleOut != nullptr) *handleOut = thread;
        entries_.push_back({thread, wakeFd, false, deadline});
    }
    return rc;
}

void ThreadRegistry::started() {
    std::lock_guard<std::mutex> lock(mutex_);
}

ThreadRegistry::Entry* ThreadRegistry::findSelf() {
    pthread_t self = pthread_self();
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [self](const Entry& e) { return pthread_equal(e.thread, self); });
    return it == entries_.end() ? nullptr : &*it;
}

void ThreadRegistry::finishSelf(int closeFd) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (Entry* e = findSelf()) {
        e->finished = true;
        e->wakeFd = -1;
    }
    if (closeFd >= 0) close(closeFd);
}

void ThreadRegistry::releaseSelf() {
    std::lock_guard<std::mutex> lock(mutex_);
    pthread_t self = pthread_self();
    std::erase_if(entries_, [self](const Entry& e) { return pthread_equal(e.thread, self); });
}

void ThreadRegistry::reap() {
    std::vector<pthread_t> done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Entry& e : entries_)
            if (e.finished) done.push_back(e.thread);
        std::erase_if(entries_, [](const Entry& e) { return e.finished; });
    }
    for (pthread_t t : done) pthread_join(t, nullptr);
}

void ThreadRegistry::join(pthread_t thread) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto before = entries_.size();
        std::erase_if(entries_, [thread](const Entry& e) { return pthread_equal(e.thread, thread); });
        if (entries_.size() == before) return;  // not ours (any more)
    }
    pthread_join(thread, nullptr);
}

void ThreadRegistry::wakeAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Entry& e : entries_)
        if (!e.finished && e.wakeFd >= 0) shutdown(e.wakeFd, SHUT_RDWR);
}

ThreadRegistry::Clock::time_point ThreadRegistry::expire(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    Clock::time_point next = Clock::time_point::max();
    for (Entry& e : entries_) {
        if (e.finished || e.deadline == Clock::time_point::max()) continue;
        if (e.deadline <= now) {
            // The thread closes its socket itself once woken; shutdown only
            // wakes it (under this lock, so the number cannot be reused).
            if (e.wakeFd >= 0) shutdown(e.wakeFd, SHUT_RDWR);
            e.deadline = Clock::time_point::max();
        } else if (e.deadline < next) {
            next = e.deadline;
        }
    }
    return next;
}

void ThreadRegistry::joinAll() {
    std::vector<Entry> all;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        all.swap(entries_);
    }
    for (const Entry& e : all) pthread_join(e.thread, nullptr);
}

size_t ThreadRegistry::running() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(std::count_if(entries_.begin(), entries_.end(),
                                              [](const Entry& e) { return !e.finished; }));
}
