/*
 * fake_host_transfers.cpp - the fake host's flash, camera and serial ring.
 */
#include "fake_host_transfers.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

#include "fake_host.h"
#include "netserver/host_api.h"

namespace {

using fake_host::transfers::Bytes;

constexpr size_t SERIAL_RING = 8192;
constexpr int SERIAL_PORTS = 2;

struct SerialRing {
    uint8_t bytes[SERIAL_RING] = {};
    uint32_t writePos = 0;
    uint64_t broadcasts = 0;
};

struct TransferState {
    std::mutex mutex;
    std::condition_variable serialChanged;
    int flashSize = 65536;
    std::chrono::milliseconds writeTime{0};
    int writeResult = 0;
    int percent = 0;
    Bytes flashed;
    int flashedSize = -1;
    Bytes picture = Bytes(100, 0xD8);
    std::optional<uint32_t> reportedSize;
    std::vector<fake_host::transfers::SnapCall> snapCalls;
    std::vector<uint32_t> snapSelectors;
    SerialRing rings[SERIAL_PORTS];
    int serialWaits = 0;
    std::chrono::milliseconds serialWaitLimit{1000};
};

TransferState& ts() {
    static TransferState s;
    return s;
}

/* Runs `f` on the state under its lock; returns what `f` returns. */
template <typename F>
auto locked(F f) {
    std::lock_guard<std::mutex> lock(ts().mutex);
    return f(ts());
}

int snapDeliver(void* buffer, uint32_t* size) {
    TransferState& s = ts();
    std::lock_guard<std::mutex> lock(s.mutex);
    // The buffer holds 311040 bytes; the scripted picture never exceeds it.
    if (!s.picture.empty()) std::memcpy(buffer, s.picture.data(), std::min<size_t>(s.picture.size(), 311040));
    *size = s.reportedSize.value_or(static_cast<uint32_t>(s.picture.size()));
    return 0;
}

SerialRing* ring(int port) { return port >= 0 && port < SERIAL_PORTS ? &ts().rings[port] : nullptr; }

}  // namespace

namespace fake_host {
namespace detail {
void resetTransfers() {
    TransferState& s = ts();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.flashSize = 65536;
    s.writeTime = std::chrono::milliseconds(0);
    s.writeResult = 0;
    s.percent = 0;
    s.flashed.clear();
    s.flashedSize = -1;
    s.picture = Bytes(100, 0xD8);
    s.reportedSize.reset();
    s.snapCalls.clear();
    s.snapSelectors.clear();
    for (SerialRing& r : s.rings) r = SerialRing{};
    s.serialWaits = 0;
    s.serialWaitLimit = std::chrono::milliseconds(1000);
}
}  // namespace detail

namespace transfers {

void setFlashSize(int bytes) { locked([&](TransferState& s) { s.flashSize = bytes; }); }
void setFlashWrite(std::chrono::milliseconds duration, int result) {
    std::lock_guard<std::mutex> lock(ts().mutex);
    ts().writeTime = duration;
    ts().writeResult = result;
}
Bytes flashedImage() { return locked([&](TransferState& s) { return s.flashed; }); }
int flashedSize() { return locked([&](TransferState& s) { return s.flashedSize; }); }
void setPicture(Bytes picture) { locked([&](TransferState& s) { s.picture = std::move(picture); }); }
void setReportedSize(uint32_t size) { locked([&](TransferState& s) { s.reportedSize = size; }); }
std::vector<SnapCall> snapCalls() { return locked([&](TransferState& s) { return s.snapCalls; }); }
std::vector<uint32_t> snapSelectors() { return locked([&](TransferState& s) { return s.snapSelectors; }); }
void serialArrive(int port, const Bytes& bytes) {
    {
        std::lock_guard<std::mutex> lock(ts().mutex);
        SerialRing* r = ring(port);
        if (r == nullptr) return;
        for (uint8_t b : bytes) r->bytes[r->writePos++ % SERIAL_RING] = b;
    }
    ts().serialChanged.notify_all();
}
void setSerialWaitLimit(std::chrono::milliseconds limit) { locked([&](TransferState& s) { s.serialWaitLimit = limit; }); }
int serialWaits() { return locked([&](TransferState& s) { return s.serialWaits; }); }

}  // namespace transfers
}  // namespace fake_host

using fake_host::enterCall;

extern "C" {

/* firmware */
int st_param_getFlashTotalSize(void) {
    if (auto forced = enterCall("st_param_getFlashTotalSize")) return *forced;
    std::lock_guard<std::mutex> lock(ts().mutex);
    return ts().flashSize;
}
int st_app_setFreeRecordMemFlag(int flag) {
    if (auto forced = enterCall(flag ? "st_app_setFreeRecordMemFlag(1)" : "st_app_setFreeRecordMemFlag(0)"))
        return *forced;
    return 0;
}
int st_app_stopAppService(void) { return enterCall("st_app_stopAppService").value_or(0); }
int st_record_stopRecordService(void) { return enterCall("st_record_stopRecordService").value_or(0); }
int st_enc_stopEncService(void) { return enterCall("st_enc_stopEncService").value_or(0); }
int st_app_netUpdateSystem(const void* image, int size) {
    if (auto forced = enterCall("st_app_netUpdateSystem")) return *forced;
    std::chrono::milliseconds duration;
    {
        std::lock_guard<std::mutex> lock(ts().mutex);
        const auto* bytes = static_cast<const uint8_t*>(image);
        ts().flashed.assign(bytes, bytes + std::max(size, 0));
        ts().flashedSize = size;
        ts().percent = 0;
        duration = ts().writeTime;
    }
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const auto elapsed = std::chrono::steady_clock::now() - start;
        std::lock_guard<std::mutex> lock(ts().mutex);
        if (elapsed >= duration) {
            ts().percent = 100;
            return ts().writeResult;
        }
        ts().percent = static_cast<int>(elapsed * 100 / duration);
        // Sleeping with the lock held would stall the progress readers.
        ts().mutex.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ts().mutex.lock();
    }
}
int st_param_setSysRebootFlag(void) { return enterCall("st_param_setSysRebootFlag").value_or(0); }
int st_param_getUpdatePercent(void) {
    if (auto forced = enterCall("st_param_getUpdatePercent")) return *forced;
    std::lock_guard<std::mutex> lock(ts().mutex);
    return ts().percent;
}

/* snapshots */
int st_app_netGetSnapJPEG(uint32_t selector, void* buffer, uint32_t* size) {
    {
        std::lock_guard<std::mutex> lock(ts().mutex);
        ts().snapSelectors.push_back(selector);
    }
    if (auto forced = enterCall("st_app_netGetSnapJPEG")) return *forced;
    return snapDeliver(buffer, size);
}
int st_app_netGetSnapJPEGEx(uint32_t selector, void* buffer, uint32_t* size, int flag, int mode, int quality) {
    {
        std::lock_guard<std::mutex> lock(ts().mutex);
        ts().snapCalls.push_back({selector, flag, mode, quality});
    }
    if (auto forced = enterCall("st_app_netGetSnapJPEGEx")) return *forced;
    return snapDeliver(buffer, size);
}

/* the serial receive ring */
int st_com_getRecBufWritePos(int port) {
    if (auto forced = enterCall("st_com_getRecBufWritePos")) return *forced;
    std::lock_guard<std::mutex> lock(ts().mutex);
    SerialRing* r = ring(port);
    return r ? static_cast<int>(r->writePos) : -1;
}
int st_com_recDataWaiting(int port) {
    if (auto forced = enterCall("st_com_recDataWaiting")) return *forced;
    std::unique_lock<std::mutex> lock(ts().mutex);
    SerialRing* r = ring(port);
    if (r == nullptr) return -1;
    ++ts().serialWaits;
    const uint32_t pos = r->writePos;
    const uint64_t broadcasts = r->broadcasts;
    ts().serialChanged.wait_for(lock, ts().serialWaitLimit,
                                [&] { return r->writePos != pos || r->broadcasts != broadcasts; });
    return 0;
}
int st_com_getDataFromRecBuf(int port, uint32_t* cursor) {
    if (auto forced = fake_host::quietResult("st_com_getDataFromRecBuf")) return *forced;
    std::lock_guard<std::mutex> lock(ts().mutex);
    SerialRing* r = ring(port);
    if (r == nullptr || cursor[0] == r->writePos) return -1;
    return r->bytes[cursor[0]++ % SERIAL_RING];
}
int st_com_sendRecBufBroadcast(int port) {
    if (auto forced = enterCall("st_com_sendRecBufBroadcast")) return *forced;
    {
        std::lock_guard<std::mutex> lock(ts().mutex);
        SerialRing* r = ring(port);
        if (r == nullptr) return -1;
        ++r->broadcasts;
    }
    ts().serialChanged.notify_all();
    return 0;
}

}  // extern "C"
