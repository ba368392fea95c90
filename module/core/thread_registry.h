/*
 * thread_registry.h - how the module starts a thread, and the registries of
 * threads whose owner is the server itself.
 *
 * Every thread of the module starts through thread_start: joinable, never
 * detached, with the stack its kind needs. Each has one owner that joins it:
 * the server (listener, responder), a registry below (message threads,
 * data connections before they attach, partitioning and format workers),
 * a channel entry or a multicast channel (senders), its session (serial
 * forwarding, session worker) or the call that started it (flash writer).
 *
 * Message threads and data-connection threads are registered here by the
 * listener that starts them. A thread that ends on its own reports
 * itself finished and is joined by the listener's next pass or by the stop; a
 * thread whose work passes to another owner (a data connection that attaches
 * to its session) leaves the registry; the stop wakes what is left through the
 * socket each entry names, and joins it. Nothing is detached, so no thread of
 * the module outlives st_net_stopNetServer.
 */
#ifndef NETSERVER_CORE_THREAD_REGISTRY_H
#define NETSERVER_CORE_THREAD_REGISTRY_H

#include <pthread.h>

#include <chrono>
#include <cstddef>
#include <mutex>
#include <vector>

/* Starts `entry(arg)` as a joinable thread with a stack of `stackSize` bytes
 * (0: the process's default) and stores its handle in *thread. Returns the
 * pthread_create result; non-zero: no thread was started. */
int thread_start(pthread_t* thread, size_t stackSize, void* (*entry)(void*), void* arg);

/* Replaces what thread_start does (null: back to pthread_create), so that a
 * test can make a start fail or hold a thread back. For tests only. */
using ThreadStartFn = int (*)(pthread_t* thread, size_t stackSize, void* (*entry)(void*), void* arg);
void thread_set_start(ThreadStartFn start);

class ThreadRegistry {
public:
    using Clock = std::chrono::steady_clock;

    /* Starts `entry(arg)` with a stack of `stackSize` bytes and registers it
     * with the socket that wakes it (-1 for none). The handle is stored in
     * *handleOut under the registry's lock, before the thread can get past
     * started(). Returns the pthread_create result. Thread: the listener. */
    int start(void* (*entry)(void*), void* arg, size_t stackSize, int wakeFd, pthread_t* handleOut);

    /* As start, with a deadline: a thread still registered then is woken
     * through its socket by expire(), so that a peer cannot hold it. */
    int startUntil(void* (*entry)(void*), void* arg, size_t stackSize, int wakeFd,
                   pthread_t* handleOut, Clock::time_point deadline);

    /* Wakes every registered thread whose deadline has passed, once.
     * Returns the earliest deadline still ahead (Clock::time_point::max()
     * when none). Thread: the listener. */
    Clock::time_point expire(Clock::time_point now);

    /* The first call of every registered thread: returns once its starter
     * has stored the handle. */
    void started();

    /* The thread ends on its own: it may be joined from now on. When
     * `closeFd` is not -1 it is closed under the lock, so that the stop never
     * wakes a descriptor number that has been reused. */
    void finishSelf(int closeFd = -1);

    /* The thread's ownership passes elsewhere: it leaves the registry. */
    void releaseSelf();

    /* Joins the threads that have finished. Thread: the listener. */
    void reap();

    /* Joins one registered thread. */
    void join(pthread_t thread);

    /* Shuts down the wake socket of every thread still running. */
    void wakeAll();

    /* Joins every registered thread; call once no new one can appear. */
    void joinAll();

    /* Registered threads that have not reported themselves finished. */
    size_t running();

private:
    struct Entry {
        pthread_t thread;
        int wakeFd;
        bool finished;
        Clock::time_point deadline;  // max() when none
    };
    Entry* findSelf();

    std::mutex mutex_;
    std::vector<Entry> entries_;
};

/* Message threads, one per command connection. */
extern ThreadRegistry g_messageThreads;
/* Data-connection threads until they attach to their session. */
extern ThreadRegistry g_dataThreads;
/* Partitioning and format workers: they end by themselves when the host's
 * disk operation ends, and are joined by the next worker start or the stop. */
extern ThreadRegistry g_maintenanceThreads;

/* Stack of a message thread: room for the message buffer copies that it and
 * the command handlers keep on the stack, with margin for the sanitizers,
 * whatever the process's default stack size is. */
constexpr size_t MESSAGE_THREAD_STACK = 4u << 20;
constexpr size_t SENDER_THREAD_STACK = 1u << 20;

#endif
