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
using fake_host::enterCall;

constexpr size_t SERIAL_RING = 8192;

struct SerialRing {
    uint8_t bytes[SERIAL_RING] = {};
    uint32_t writePos = 0;
    uint64_t broadcasts = 0;
};

struct State {
    int flashSize = 65536;
    std::chrono::milliseconds writeTime{0};
    int writeResult = 0, percent = 0;
    Bytes picture = Bytes(100, 0xD8);
    std::optional<uint32_t> reportedSize;
    SerialRing rings[2];  // serial ports 0 and 1
    int serialWaits = 0;
    std::chrono::milliseconds serialWaitLimit{1000};
};

std::mutex mutex;
std::condition_variable serialChanged;
State& state() {  // under `mutex`
    static State s;
    return s;
}

template <typename F>
auto locked(F f) {
    std::lock_guard<std::mutex> lock(mutex);
    return f(state());
}

/* The scripted picture into the host's 311040-byte buffer. */
int snapDeliver(void* buffer, uint32_t* size) {
    return locked([&](State& s) {
        if (!s.picture.empty()) std::memcpy(buffer, s.picture.data(), std::min<size_t>(s.picture.size(), 311040));
        *size = s.reportedSize.value_or(static_cast<uint32_t>(s.picture.size()));
        return 0;
    });
}

SerialRing* ring(State& s, int port) { return port == 0 || port == 1 ? &s.rings[port] : nullptr; }

}  // namespace

namespace fake_host {
namespace detail {
void resetTransfers() {
    locked([](State& s) { s = State{}; });
}
}  // namespace detail

namespace transfers {

void setFlashSize(int bytes) { locked([&](State& s) { s.flashSize = bytes; }); }
void setFlashWrite(std::chrono::milliseconds duration, int result) {
    locked([&](State& s) { s.writeTime = duration, s.writeResult = result; });
}
void setPicture(Bytes picture) { locked([&](State& s) { s.picture = std::move(picture); }); }
void setReportedSize(uint32_t size) { locked([&](State& s) { s.reportedSize = size; }); }
void serialArrive(int port, const Bytes& bytes) {
    locked([&](State& s) {
        if (SerialRing* r = ring(s, port))
            for (uint8_t b : bytes) r->bytes[r->writePos++ % SERIAL_RING] = b;
    });
    serialChanged.notify_all();
}
void setSerialWaitLimit(std::chrono::milliseconds limit) { locked([&](State& s) { s.serialWaitLimit = limit; }); }
int serialWaits() { return locked([](State& s) { return s.serialWaits; }); }

}  // namespace transfers
}  // namespace fake_host

extern "C" {

int st_param_getFlashTotalSize(void) {
    if (auto forced = enterCall("st_param_getFlashTotalSize")) return *forced;
    return locked([](State& s) { return s.flashSize; });
}
int st_app_setFreeRecordMemFlag(int flag) {
    return enterCall(flag ? "st_app_setFreeRecordMemFlag(1)" : "st_app_setFreeRecordMemFlag(0)").value_or(0);
}
int st_app_stopAppService(void) { return enterCall("st_app_stopAppService").value_or(0); }
int st_record_stopRecordService(void) { return enterCall("st_record_stopRecordService").value_or(0); }
int st_enc_stopEncService(void) { return enterCall("st_enc_stopEncService").value_or(0); }
int st_param_setSysRebootFlag(void) { return enterCall("st_param_setSysRebootFlag").value_or(0); }
int st_app_netUpdateSystem(const void* image, int size) {
    const auto* bytes = static_cast<const uint8_t*>(image);
    if (auto forced = enterCall("st_app_netUpdateSystem", {size}, Bytes(bytes, bytes + std::max(size, 0)))) return *forced;
    const auto duration = locked([&](State& s) { return s.percent = 0, s.writeTime; });
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const auto elapsed = std::chrono::steady_clock::now() - start;
        if (elapsed >= duration) return locked([](State& s) { return s.percent = 100, s.writeResult; });
        locked([&](State& s) { s.percent = static_cast<int>(elapsed * 100 / duration); });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}
int st_param_getUpdatePercent(void) {
    if (auto forced = enterCall("st_param_getUpdatePercent")) return *forced;
    return locked([](State& s) { return s.percent; });
}

int st_app_netGetSnapJPEG(uint32_t selector, void* buffer, uint32_t* size) {
    if (auto forced = enterCall("st_app_netGetSnapJPEG", {selector})) return *forced;
    return snapDeliver(buffer, size);
}
int st_app_netGetSnapJPEGEx(uint32_t selector, void* buffer, uint32_t* size, int flag, int mode, int quality) {
    if (auto forced = enterCall("st_app_netGetSnapJPEGEx", {selector, flag, mode, quality})) return *forced;
    return snapDeliver(buffer, size);
}

int st_com_getRecBufWritePos(int port) {
    if (auto forced = enterCall("st_com_getRecBufWritePos")) return *forced;
    return locked([&](State& s) { return ring(s, port) ? static_cast<int>(ring(s, port)->writePos) : -1; });
}
int st_com_recDataWaiting(int port) {
    if (auto forced = enterCall("st_com_recDataWaiting")) return *forced;
    std::unique_lock<std::mutex> lock(mutex);
    SerialRing* r = ring(state(), port);
    if (r == nullptr) return -1;
    ++state().serialWaits;
    const uint32_t pos = r->writePos;
    const uint64_t broadcasts = r->broadcasts;
    serialChanged.wait_for(lock, state().serialWaitLimit, [&] { return r->writePos != pos || r->broadcasts != broadcasts; });
    return 0;
}
int st_com_getDataFromRecBuf(int port, uint32_t* cursor) {
    if (auto forced = fake_host::quietResult("st_com_getDataFromRecBuf")) return *forced;
    return locked([&](State& s) {
        SerialRing* r = ring(s, port);
        return r == nullptr || cursor[0] == r->writePos ? -1 : r->bytes[cursor[0]++ % SERIAL_RING];
    });
}
int st_com_sendRecBufBroadcast(int port) {
    if (auto forced = enterCall("st_com_sendRecBufBroadcast")) return *forced;
    const bool known = locked([&](State& s) {
        SerialRing* r = ring(s, port);
        if (r != nullptr) ++r->broadcasts;
        return r != nullptr;
    });
    serialChanged.notify_all();
    return known ? 0 : -1;
}

}  // extern "C"
