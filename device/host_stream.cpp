/*
 * host_stream.cpp - the st_stream_* host functions: the module's senders read
 * live frames from the device's stream pool (stream_pool.h) through these.
 *
 * Every function takes any channel and kind: out of range, or before the
 * video service has started, it reports 0, null or -1, and the wait still
 * lasts its limit so that a caller's loop never spins.
 */
#include <thread>

#include "failures.h"
#include "netserver/host_api.h"
#include "stream_pool.h"
#include "stream_producer.h"

// The number of the next frame to be written to the ring (0 out of range).
extern "C" uint32_t st_stream_getNetStreamWritePos(int channel, int kind) {
    if (auto injected = injectedFailure("st_stream_getNetStreamWritePos"))
        return static_cast<uint32_t>(*injected);
    const streampool::StreamPool* pool = currentStreamPool();
    return pool != nullptr ? pool->writePosition(channel, kind) : 0;
}

// Returns when the next frame of the ring is written, or after 100 ms.
extern "C" int st_stream_netStreamWaiting(int channel, int kind) {
    if (auto injected = injectedFailure("st_stream_netStreamWaiting")) return *injected;
    if (const streampool::StreamPool* pool = currentStreamPool())
        pool->waitForFrame(channel, kind, streampool::WAIT_LIMIT);
    else
        std::this_thread::sleep_for(streampool::WAIT_LIMIT);
    return 0;
}

// Takes the ring's lock; the key (cursor word 4) is not used, each ring has
// one lock. 0, or -1 (out of range, already held by this thread, or not free
// within 2 s).
extern "C" int st_stream_lockMutex(int channel, int kind, uint32_t key) {
    (void)key;
    if (auto injected = injectedFailure("st_stream_lockMutex")) return *injected;
    const streampool::StreamPool* pool = currentStreamPool();
    return pool != nullptr ? pool->lock(channel, kind) : -1;
}

// Releases the ring's lock. 0, or -1 when the calling thread does not hold it.
extern "C" int st_stream_unlockMutex(int channel, int kind, uint32_t key) {
    (void)key;
    if (auto injected = injectedFailure("st_stream_unlockMutex")) return *injected;
    const streampool::StreamPool* pool = currentStreamPool();
    return pool != nullptr ? pool->unlock(channel, kind) : -1;
}

// With the ring's lock held by the caller: the frame at cursor word 0 (word 0
// then moves past it, word 2 gets its sequence number), or null when none is
// ready. A cursor that fell more than the ring behind resumes at the live end.
extern "C" NetFrame* st_stream_getNetStreamFromPool_ex(int channel, int kind, uint32_t* cursor) {
    if (injectedFailure("st_stream_getNetStreamFromPool_ex")) return nullptr;
    const streampool::StreamPool* pool = currentStreamPool();
    return pool != nullptr ? pool->next(channel, kind, cursor) : nullptr;
}

// Stops the producers and closes the pool: no frames until the device calls
// streamPoolRestart(). Buffers and frame records stay allocated, so a sender
// that still holds a frame finds it marked invalid. Returns 0.
extern "C" int st_stream_deinitStreamLib(void) {
    if (auto injected = injectedFailure("st_stream_deinitStreamLib")) return *injected;
    streamPoolDeinit();
    return 0;
}
