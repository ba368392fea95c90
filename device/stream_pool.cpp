/*
 * stream_pool.cpp - the rings of frame slots behind the st_stream_* host
 * functions.
 */
#include "stream_pool.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "netserver/records.h"
#include "netserver/wire.h"

namespace streampool {

namespace {

constexpr size_t kRingBudget = size_t{16} << 20;
constexpr unsigned kMostSlots = 64;
constexpr unsigned kFewestSlots = 8;
// How long the producer waits for the lock before it looks at its stop flag.
constexpr std::chrono::milliseconds kProducerLockStep{100};

// Tries the lock for at most `limit`. The deadline is on the system clock on
// purpose: libstdc++ then uses pthread_mutex_timedlock, which ThreadSanitizer
// understands, instead of pthread_mutex_clocklock, which GCC 12's does not.
// A clock step only makes the limit longer or shorter.
bool tryLockFor(std::timed_mutex& mutex, std::chrono::milliseconds limit) {
    return mutex.try_lock() || mutex.try_lock_until(std::chrono::system_clock::now() + limit);
}

}  // namespace

unsigned slotCountFor(size_t frameBytes) {
    unsigned count = kMostSlots;
    const size_t bytes = std::max<size_t>(frameBytes, 1);
    while (count > kFewestSlots && count * bytes > kRingBudget) count /= 2;
    return count;
}

/* ---- StreamRing ---------------------------------------------------------- */

StreamRing::StreamRing(uint8_t channel, uint8_t kind, unsigned slotCount, size_t slotBytes)
    : channel_(channel),
      kind_(kind),
      slotCount_(std::max(2u, std::bit_floor(slotCount))),
      slots_(std::make_unique<Slot[]>(slotCount_)) {
    for (unsigned i = 0; i < slotCount_; ++i) {
        Slot& slot = slots_[i];
        if (slotBytes != 0) {
            slot.buffer = std::make_unique_for_overwrite<uint8_t[]>(slotBytes);
            slot.capacity = slotBytes;
            slot.frame.data = slot.buffer.get();
        }
        slot.frame.invalid = 1;
        // Never equal to a position that the slot is asked for before it is written.
        slot.position = i + 1;
    }
}

void StreamRing::waitForFrame(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(signalMutex_);
    const uint32_t start = writePos_.load(std::memory_order_acquire);
    if (onDemand_.load(std::memory_order_relaxed)) {
        demand_.store(true, std::memory_order_relaxed);
        producerWake_.notify_one();
    }
    frameWritten_.wait_for(lock, limit,
                           [&] { return writePos_.load(std::memory_order_acquire) != start; });
}

int StreamRing::lock() {
    if (heldByCaller()) return -1;
    if (!tryLockFor(lock_, LOCK_LIMIT)) return -1;
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    return 0;
}

int StreamRing::unlock() {
    if (!heldByCaller()) return -1;
    owner_.store(std::thread::id(), std::memory_order_relaxed);
    lock_.unlock();
    return 0;
}

NetFrame* StreamRing::next(uint32_t* cursor) {
    if (cursor == nullptr || !heldByCaller() || !open_) return nullptr;
    const uint32_t end = writePos_.load(std::memory_order_relaxed);
    // Unsigned distance: also catches a cursor "ahead" of the ring, such as one
    // that was set up on another ring. Only a reader that is behind (by less
    // than half the position range) has skipped frames.
    const uint32_t behind = end - cursor[0];
    if (behind > slotCount_ - 1) {
        if (behind < 0x80000000u) skipped_.fetch_add(behind, std::memory_order_relaxed);
        cursor[0] = end;
    }
    while (cursor[0] != end) {
        const uint32_t position = cursor[0]++;
        Slot& slot = slots_[position & (slotCount_ - 1)];
        if (slot.frame.invalid != 0 || slot.position != position) continue;
        cursor[2] = wire::getU32(slot.frame.header, wire::FRAME_SEQUENCE);
        if (cursor[0] == end) askForFrame();
        return &slot.frame;
    }
    askForFrame();
    return nullptr;
}

void StreamRing::close() {
    std::lock_guard<std::timed_mutex> lock(lock_);
    open_ = false;
    for (unsigned i = 0; i < slotCount_; ++i) slots_[i].frame.invalid = 1;
}

void StreamRing::open() {
    std::lock_guard<std::timed_mutex> lock(lock_);
    open_ = true;
}

bool StreamRing::lockForProducer(const std::atomic<bool>& stop) {
    while (!stop.load(std::memory_order_acquire))
        if (tryLockFor(lock_, kProducerLockStep)) return true;
    return false;
}

StreamRing::Writing StreamRing::beginFrame(size_t size, const std::atomic<bool>& stop) {
    if (!lockForProducer(stop)) return {};
    Slot& slot = slots_[writePos_.load(std::memory_order_relaxed) & (slotCount_ - 1)];
    slot.frame.invalid = 1;
    if (size > slot.capacity) {
        // Readers never touch the data of an invalid slot, and they look only
        // under the lock, so the old buffer can go now.
        slot.buffer = std::make_unique_for_overwrite<uint8_t[]>(size);
        slot.capacity = size;
        slot.frame.data = slot.buffer.get();
        slot.tag = 0;
    }
    pendingSize_ = size;
    lock_.unlock();
    return {slot.buffer.get(), &slot.tag};
}

bool StreamRing::commitFrame(uint8_t type, uint64_t captureMicros, const std::atomic<bool>& stop) {
    if (!lockForProducer(stop)) return false;
    Slot& slot = slots_[writePos_.load(std::memory_order_relaxed) & (slotCount_ - 1)];
    publishLocked(type, captureMicros, slot.buffer.get(), pendingSize_);
    return true;
}

bool StreamRing::publishFrame(uint8_t type, uint64_t captureMicros, const uint8_t* data, size_t size,
                              const std::atomic<bool>& stop) {
    if (!lockForProducer(stop)) return false;
    // Readers only read frame data; the pointer is const for them in spirit.
    publishLocked(type, captureMicros, const_cast<uint8_t*>(data), size);
    return true;
}

void StreamRing::publishLocked(uint8_t type, uint64_t captureMicros, uint8_t* data, size_t size) {
    const uint32_t position = writePos_.load(std::memory_order_relaxed);
    Slot& slot = slots_[position & (slotCount_ - 1)];
    uint8_t* header = slot.frame.header;
    std::memset(header, 0, wire::FRAME_HEADER_SIZE);
    wire::putU32(header, wire::FRAME_DATA_LENGTH, static_cast<uint32_t>(size));
    wire::putU32(header, wire::FRAME_SEQUENCE, nextSequence_++);
    wire::putU8(header, wire::FRAME_CHANNEL, channel_);
    wire::putU8(header, wire::FRAME_TYPE, type);
    wire::putU8(header, wire::FRAME_KIND, kind_);
    wire::putU64(header, wire::FRAME_CAPTURE_TIME, captureMicros);
    slot.frame.data = data;
    slot.frame.invalid = 0;
    slot.position = position;
    writePos_.store(position + 1, std::memory_order_release);
    lock_.unlock();
    {
        // A waiter reads the write position under this mutex, so taking it
        // here orders the store before the waiter's next look.
        std::lock_guard<std::mutex> signal(signalMutex_);
    }
    frameWritten_.notify_all();
}

void StreamRing::askForFrame() {
    if (!onDemand_.load(std::memory_order_relaxed)) return;
    if (demand_.exchange(true, std::memory_order_relaxed)) return;  // already asked
    std::lock_guard<std::mutex> signal(signalMutex_);
    producerWake_.notify_one();
}

bool StreamRing::waitForDemand(const std::atomic<bool>& stop) {
    std::unique_lock<std::mutex> lock(signalMutex_);
    producerWake_.wait(lock, [&] {
        return stop.load(std::memory_order_acquire) || demand_.load(std::memory_order_relaxed);
    });
    if (stop.load(std::memory_order_acquire)) return false;
    demand_.store(false, std::memory_order_relaxed);
    return true;
}

bool StreamRing::sleepUntil(std::chrono::steady_clock::time_point deadline,
                            const std::atomic<bool>& stop) {
    std::unique_lock<std::mutex> lock(signalMutex_);
    producerWake_.wait_until(lock, deadline, [&] { return stop.load(std::memory_order_acquire); });
    return !stop.load(std::memory_order_acquire);
}

void StreamRing::wakeProducer() {
    {
        std::lock_guard<std::mutex> signal(signalMutex_);
    }
    producerWake_.notify_all();
}

/* ---- StreamPool ---------------------------------------------------------- */

StreamPool::StreamPool(int channels, std::array<size_t, KIND_COUNT> frameBytes, bool preallocate) {
    const int count = std::clamp(channels, 0, 256);
    rings_.reserve(static_cast<size_t>(count) * KIND_COUNT);
    for (int channel = 0; channel < count; ++channel)
        for (int kind = 0; kind < KIND_COUNT; ++kind)
            rings_.push_back(std::make_unique<StreamRing>(
                static_cast<uint8_t>(channel), static_cast<uint8_t>(kind),
                slotCountFor(frameBytes[kind]), preallocate ? std::max<size_t>(frameBytes[kind], 1) : 0));
}

StreamRing* StreamPool::ring(int channel, int kind) const {
    if (channel < 0 || channel >= channels() || kind < 0 || kind >= KIND_COUNT) return nullptr;
    return rings_[static_cast<size_t>(channel) * KIND_COUNT + static_cast<size_t>(kind)].get();
}

uint32_t StreamPool::writePosition(int channel, int kind) const {
    const StreamRing* r = ring(channel, kind);
    return r != nullptr ? r->writePosition() : 0;
}

void StreamPool::waitForFrame(int channel, int kind, std::chrono::milliseconds limit) const {
    if (StreamRing* r = ring(channel, kind))
        r->waitForFrame(limit);
    else
        std::this_thread::sleep_for(limit);
}

int StreamPool::lock(int channel, int kind) const {
    StreamRing* r = ring(channel, kind);
    return r != nullptr ? r->lock() : -1;
}

int StreamPool::unlock(int channel, int kind) const {
    StreamRing* r = ring(channel, kind);
    return r != nullptr ? r->unlock() : -1;
}

NetFrame* StreamPool::next(int channel, int kind, uint32_t* cursor) const {
    StreamRing* r = ring(channel, kind);
    return r != nullptr ? r->next(cursor) : nullptr;
}

void StreamPool::close() {
    for (auto& r : rings_) r->close();
}

void StreamPool::open() {
    for (auto& r : rings_) r->open();
}

}  // namespace streampool
