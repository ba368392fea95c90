/*
 * live_path.h - one channel and stream kind of one device, shared by every
 * viewer: the first viewer starts the device stream, the frames go to all
 * viewers, and the stream stops a while after the last one left.
 *
 * The path keeps the frames since the last key frame (which carries SPS and
 * PPS), so a new viewer starts at once with a decodable picture.
 */
#ifndef RECNET_GATEWAY_LIVE_PATH_H
#define RECNET_GATEWAY_LIVE_PATH_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "options.h"

namespace gateway {

// One H.264 access unit (Annex B) as the device sent it.
struct Frame {
    uint64_t captureUs = 0;  // capture time, microseconds since 1970
    bool key = false;
    std::vector<uint8_t> data;
};
using FramePtr = std::shared_ptr<const Frame>;

// Receives the frames of a path in order (`kept`: one of the frames kept
// from before the viewer came, handed over at once); called with the path's lock held,
// so it must be quick and must not call back into the path.
using FrameSink = std::function<void(const FramePtr&, bool kept)>;

class LivePath {
public:
    // `streams` counts the device streams running in the whole gateway.
    LivePath(DeviceConfig device, uint32_t channel, uint8_t kind, int lingerMs,
             std::atomic<int>& streams);
    LivePath(const LivePath&) = delete;
    LivePath& operator=(const LivePath&) = delete;
    // Stops the device stream and joins its thread.
    ~LivePath();

    // "dev/ch2" or "dev/ch2/sub".
    const std::string& name() const noexcept { return name_; }

    // Adds a viewer: hands it the kept frames from the last key frame at once,
    // then every new frame. Starts the device stream when it is not running.
    // Returns the id for unsubscribe().
    uint64_t subscribe(FrameSink sink);
    // Removes a viewer; its sink is not called after this returns.
    void unsubscribe(uint64_t id);

    // Starts the device stream if needed and waits at most `wait` for a key
    // frame. Returns 200 when one is kept, else the status of the last failure
    // (401 account refused, 404 channel refused, 503 unreachable, 504 no
    // picture in time).
    int waitReady(std::chrono::milliseconds wait);

    int viewers() const;

private:
    void ensureRunningLocked();
    void run();
    void onFrame(const uint8_t* data, uint32_t length, bool key, uint64_t captureUs, bool afterLoss);
    // Forgets the kept frames; `synced` says whether frames may go out again
    // (false until the next key frame).
    void dropKeptLocked(bool synced);
    // True when the stream should end: no viewer for the linger time.
    bool idleLocked() const;

    const DeviceConfig device_;
    const uint32_t channel_;
    const uint8_t kind_;
    const std::string name_;
    const std::chrono::milliseconds linger_;
    std::atomic<int>& streams_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<uint64_t, FrameSink> sinks_;
    uint64_t nextId_ = 1;
    int waiters_ = 0;             // callers inside waitReady
    std::vector<FramePtr> gop_;  // from the last key frame; empty while waiting for one
    size_t gopBytes_ = 0;
    bool synced_ = false;         // frames go out (a key frame came since the last loss)
    bool keeping_ = true;         // the current group of pictures fits the limit
    int lastStatus_ = 0;          // 0 no failure since the stream started
    std::chrono::steady_clock::time_point lastSeen_;  // last moment with a viewer or a request
    bool running_ = false;        // the thread is in its loop
    bool stop_ = false;           // the owner is ending
    std::thread thread_;
};

}  // namespace gateway

#endif
