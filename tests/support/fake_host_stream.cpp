#include "fake_host_stream.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "fake_host.h"
#include "netserver/wire.h"

namespace {

struct Slot {
    NetFrame frame{};
    std::vector<uint8_t> data;
};

struct Stream {
    std::mutex lock;  // the pool lock the senders take
    std::condition_variable arrived;
    std::vector<std::unique_ptr<Slot>> frames;
    uint32_t sequence = 0;
    int handedOut = 0;
    bool endless = false;
    Slot endlessSlot;
};

struct Pool {
    std::mutex mutex;  // guards the map and the addresses
    std::map<std::pair<int, int>, std::unique_ptr<Stream>> streams;
    std::string own = "127.0.0.1";
    std::string multicast = "239.255.0.0";
};

Pool& pool() {
    static Pool p;
    return p;
}

Stream& stream(int channel, int kind) {
    std::lock_guard<std::mutex> lock(pool().mutex);
    auto& s = pool().streams[{channel, kind}];
    if (!s) s = std::make_unique<Stream>();
    return *s;
}

void fillFrame(Slot& slot, int channel, uint8_t type, uint32_t length, uint32_t sequence, uint8_t fill) {
    std::memset(slot.frame.header, 0, sizeof slot.frame.header);
    wire::putU32(slot.frame.header, 4, length);
    wire::putU32(slot.frame.header, 8, sequence);
    wire::putU8(slot.frame.header, 12, static_cast<uint8_t>(channel));
    wire::putU8(slot.frame.header, 13, type);
    slot.data.resize(length);
    for (uint32_t i = 0; i < length; ++i) slot.data[i] = static_cast<uint8_t>(fill + i);
    slot.frame.data = slot.data.data();
    slot.frame.invalid = 0;
}

}  // namespace

namespace fake_host {

uint32_t pushFrame(int channel, int kind, uint8_t type, uint32_t dataLength, uint8_t fill) {
    Stream& s = stream(channel, kind);
    uint32_t sequence;
    {
        std::lock_guard<std::mutex> lock(s.lock);
        auto slot = std::make_unique<Slot>();
        fillFrame(*slot, channel, type, dataLength, ++s.sequence, fill);
        s.frames.push_back(std::move(slot));
        sequence = s.sequence;
    }
    s.arrived.notify_all();
    return sequence;
}

void setEndlessFrames(int channel, int kind, uint8_t type, uint32_t dataLength) {
    Stream& s = stream(channel, kind);
    std::lock_guard<std::mutex> lock(s.lock);
    s.endless = true;
    fillFrame(s.endlessSlot, channel, type, dataLength, s.sequence, 0);
}

int framesHandedOut(int channel, int kind) {
    Stream& s = stream(channel, kind);
    std::lock_guard<std::mutex> lock(s.lock);
    return s.handedOut;
}

void setOwnAddress(const std::string& dotted) { std::lock_guard<std::mutex> lock(pool().mutex); pool().own = dotted; }
void setMulticastBase(const std::string& dotted) { std::lock_guard<std::mutex> lock(pool().mutex); pool().multicast = dotted; }

void detail::resetStream() {
    std::lock_guard<std::mutex> lock(pool().mutex);
    pool().streams.clear();
    pool().own = "127.0.0.1";
    pool().multicast = "239.255.0.0";
}
}  // namespace fake_host

using fake_host::enterCall;

extern "C" {

uint32_t st_stream_getNetStreamWritePos(int channel, int kind) {
    if (auto forced = enterCall("st_stream_getNetStreamWritePos")) return static_cast<uint32_t>(*forced);
    Stream& s = stream(channel, kind);
    std::lock_guard<std::mutex> lock(s.lock);
    return static_cast<uint32_t>(s.frames.size());
}

int st_stream_netStreamWaiting(int channel, int kind) {
    Stream& s = stream(channel, kind);
    std::unique_lock<std::mutex> lock(s.lock);
    if (s.endless) return 0;
    size_t seen = s.frames.size();
    s.arrived.wait_for(lock, std::chrono::milliseconds(20), [&] { return s.frames.size() != seen; });
    return 0;
}

int st_stream_lockMutex(int channel, int kind, uint32_t) {
    stream(channel, kind).lock.lock();
    return 0;
}

int st_stream_unlockMutex(int channel, int kind, uint32_t) {
    stream(channel, kind).lock.unlock();
    return 0;
}

/* Called with the stream's lock held (the module holds it). */
NetFrame* st_stream_getNetStreamFromPool_ex(int channel, int kind, uint32_t* cursor) {
    Stream& s = stream(channel, kind);
    if (s.endless) {
        wire::putU32(s.endlessSlot.frame.header, 8, ++s.sequence);
        cursor[2] = s.sequence;
        ++s.handedOut;
        return &s.endlessSlot.frame;
    }
    if (cursor[0] >= s.frames.size()) return nullptr;
    Slot& slot = *s.frames[cursor[0]++];
    cursor[2] = wire::getU32(slot.frame.header, 8);
    ++s.handedOut;
    return &slot.frame;
}

int st_stream_deinitStreamLib(void) { return enterCall("st_stream_deinitStreamLib").value_or(0); }

int st_comm_getIpAddr(char* text, int size) {
    if (auto forced = enterCall("st_comm_getIpAddr")) return *forced;
    std::lock_guard<std::mutex> lock(pool().mutex);
    snprintf(text, static_cast<size_t>(size), "%s", pool().own.c_str());
    return 0;
}

int st_net_getMulticastAddr(const char*, char* group) {
    if (auto forced = enterCall("st_net_getMulticastAddr")) return *forced;
    std::lock_guard<std::mutex> lock(pool().mutex);
    snprintf(group, 16, "%s", pool().multicast.c_str());
    return 0;
}

}  // extern "C"
