/*
 * stream_pool.h - the device's stream pool: per channel and stream kind a ring
 * of frame slots, written by one producer and read by the module's senders.
 *
 * Positions. Every ring counts the frames written to it; a position is that
 * count as a u32 (it wraps). Frame number p lives in slot p mod the slot count
 * (a power of two, so the mapping survives the wrap). The write position is
 * the number of the next frame to be written. The frames still readable are
 * the newest slot count - 1: the oldest slot is the one the producer rewrites
 * next.
 *
 * A reader's cursor (five u32 words, owned by the reader):
 *   0  the position of the next frame to hand out; advanced by the pool
 *   1  not used by the pool
 *   2  the sequence number of the frame last handed out (written by the pool)
 *   3  not used by the pool (a reader writes -1 there when it drops a frame)
 *   4  the lock key; the pool has one lock per ring and ignores the key
 * A reader starts at the live end: word 0 = the write position. A reader that
 * fell behind by the whole ring resumes at the live end, without a frame.
 *
 * Locking. Each ring has one lock. A reader takes it around every fetch and
 * every copy from a frame and drops it while it sends; the producer takes it
 * only to mark a slot invalid (and to grow its buffer) and to publish the
 * slot's new frame; it writes the frame's data between the two, without the
 * lock, into a slot that is marked invalid. So a reader that dereferences a
 * frame's data only while it holds the lock, after checking the sequence
 * number and the invalid flag, never sees data being written or freed.
 * NetFrame records never move: a ring's slots live as long as the pool.
 *
 * Waiting is bounded: waitForFrame returns on the next frame of the ring or
 * after its limit, and lock() gives up after LOCK_LIMIT, so that no reader
 * blocks forever even when another thread keeps a lock it never releases.
 */
#ifndef RECNET_DEVICE_STREAM_POOL_H
#define RECNET_DEVICE_STREAM_POOL_H

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "netserver/host_api.h"

namespace streampool {

constexpr int KIND_COUNT = 2;  // 0 main, 1 sub

// How long a reader's wait for the next frame lasts at most.
constexpr std::chrono::milliseconds WAIT_LIMIT{100};
// How long lock() tries before it gives up and reports -1.
constexpr std::chrono::milliseconds LOCK_LIMIT{2000};

// The slot count for frames of up to `frameBytes` bytes: a power of two from
// 8 to 64, fewer for large frames so that a ring holds about 16 MiB at most.
unsigned slotCountFor(size_t frameBytes);

// The ring of one channel and stream kind.
class StreamRing {
public:
    // `slotCount` must be a power of two of at least 2; every slot buffer is
    // allocated with `slotBytes` bytes now (at least 1), or, with 0, when
    // beginFrame first needs it (a ring fed by publishFrame needs none).
    StreamRing(uint8_t channel, uint8_t kind, unsigned slotCount, size_t slotBytes);
    StreamRing(const StreamRing&) = delete;
    StreamRing& operator=(const StreamRing&) = delete;

    unsigned slotCount() const { return slotCount_; }

    /* ---- readers ---------------------------------------------------------- */

    // The number of the next frame to be written.
    uint32_t writePosition() const { return writePos_.load(std::memory_order_acquire); }

    // Returns when a frame is written to this ring, or after `limit`.
    void waitForFrame(std::chrono::milliseconds limit);

    // Takes the ring's lock for the calling thread. Returns 0, or -1 when the
    // thread already holds it (nothing changes) or it was not free within
    // LOCK_LIMIT.
    int lock();
    // Releases the lock. Returns 0, or -1 when the calling thread does not
    // hold it (nothing changes).
    int unlock();

    // With the lock held by the calling thread: the frame at cursor word 0,
    // or null when none is ready (or the lock is not held, or `cursor` is
    // null). On a frame, word 0 moves past it and word 2 gets its sequence
    // number. Slots marked invalid are skipped.
    NetFrame* next(uint32_t* cursor);

    // Frames that readers skipped because they fell behind by the whole ring
    // and resumed at the live end; any thread.
    uint64_t skippedFrames() const { return skipped_.load(std::memory_order_relaxed); }

    // Closed, the ring hands out no frame and every slot is invalid; open
    // again, it hands out the frames written after. Call close only while no
    // producer writes to the ring.
    void close();
    void open();

    /* ---- the producer (one thread per ring) --------------------------------- */

    // A slot being written: its buffer, and a word that the producer may use
    // to remember what it left in that buffer (0 after the buffer was
    // allocated).
    struct Writing {
        uint8_t* data = nullptr;
        uint64_t* tag = nullptr;
    };

    // Starts the next frame, of `size` bytes: marks its slot invalid and grows
    // the slot's buffer if needed, under the lock. The producer then fills
    // `data` and calls commitFrame. Returns a null `data` when `stop` became
    // true while it waited for the lock.
    Writing beginFrame(size_t size, const std::atomic<bool>& stop);

    // Publishes the frame started by beginFrame: header, valid, new write
    // position, then wakes the waiting readers. Returns false (the slot stays
    // invalid) when `stop` became true while it waited for the lock.
    bool commitFrame(uint8_t type, uint64_t captureMicros, const std::atomic<bool>& stop);

    // Publishes a frame whose `size` data bytes live outside the ring, in
    // read-only memory that stays valid as long as the ring is read (the
    // producers' material): the slot points at them instead of holding a copy.
    // Header, valid and the new write position as commitFrame. Returns false
    // when `stop` became true while it waited for the lock.
    bool publishFrame(uint8_t type, uint64_t captureMicros, const uint8_t* data, size_t size,
                      const std::atomic<bool>& stop);

    // On demand, a reader that reaches the live end asks the producer for the
    // next frame (see waitForDemand). Set by the producer before it waits.
    void setOnDemand(bool onDemand) { onDemand_.store(onDemand, std::memory_order_relaxed); }

    // Waits until a reader asks for a frame; false when `stop` is set.
    bool waitForDemand(const std::atomic<bool>& stop);
    // Waits until `deadline`; false when `stop` is set.
    bool sleepUntil(std::chrono::steady_clock::time_point deadline, const std::atomic<bool>& stop);
    // Wakes the producer's wait; call after setting its stop flag.
    void wakeProducer();

private:
    struct Slot {
        NetFrame frame{};            // under the lock
        uint32_t position = 0;       // frame number held, under the lock
        std::unique_ptr<uint8_t[]> buffer;
        size_t capacity = 0;         // changed under the lock, with the slot invalid
        uint64_t tag = 0;            // the producer's own
    };

    bool heldByCaller() const {
        return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
    }
    // The producer's lock: tries until it has it or `stop` is set.
    bool lockForProducer(const std::atomic<bool>& stop);
    // Tells an on-demand producer that a reader wants the next frame.
    void askForFrame();
    // With the lock held: fills the slot at the write position with a frame
    // of `size` bytes at `data`, makes it valid, moves the write position on,
    // releases the lock and wakes the waiting readers.
    void publishLocked(uint8_t type, uint64_t captureMicros, uint8_t* data, size_t size);

    const uint8_t channel_;
    const uint8_t kind_;
    const unsigned slotCount_;
    std::unique_ptr<Slot[]> slots_;

    std::timed_mutex lock_;                     // the ring's lock
    std::atomic<std::thread::id> owner_{};      // the reader thread holding lock_
    std::atomic<uint32_t> writePos_{0};         // written under lock_
    uint32_t nextSequence_ = 1;                 // the producer's own
    size_t pendingSize_ = 0;                    // the producer's own, between begin and commit
    bool open_ = true;                          // under lock_
    std::atomic<uint64_t> skipped_{0};          // frames skipped by slow readers

    // Wake-ups: readers waiting for a frame, the producer waiting for demand,
    // its tick or its stop.
    std::mutex signalMutex_;
    std::condition_variable frameWritten_;
    std::condition_variable producerWake_;
    std::atomic<bool> onDemand_{false};
    std::atomic<bool> demand_{false};
};

// The rings of every channel and kind. The pool's operations take any
// channel and kind: out of range they do nothing and report 0, null or -1.
class StreamPool {
public:
    // Rings for channels 0..channels-1 and both kinds, with as many slots as
    // frames of frameBytes[kind] bytes call for. `preallocate`: slot buffers
    // of that size now; otherwise only when beginFrame needs them (producers
    // that publish frames from their own memory need none).
    StreamPool(int channels, std::array<size_t, KIND_COUNT> frameBytes, bool preallocate = true);

    int channels() const { return static_cast<int>(rings_.size() / KIND_COUNT); }
    // The ring, or null out of range.
    StreamRing* ring(int channel, int kind) const;

    uint32_t writePosition(int channel, int kind) const;
    // Out of range, it waits the limit out, so that a caller's loop never spins.
    void waitForFrame(int channel, int kind, std::chrono::milliseconds limit) const;
    int lock(int channel, int kind) const;
    int unlock(int channel, int kind) const;
    NetFrame* next(int channel, int kind, uint32_t* cursor) const;

    // close() or open() every ring.
    void close();
    void open();

private:
    std::vector<std::unique_ptr<StreamRing>> rings_;  // channel * KIND_COUNT + kind
};

}  // namespace streampool

#endif
