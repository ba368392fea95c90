/*
 * live_path.cpp - a shared device stream with its kept group of pictures.
 */
#include "live_path.h"

#include <iostream>

#include "device_link.h"
#include "errors.h"
#include "netserver/records.h"
#include "netserver/wire.h"
#include "stream.h"

namespace gateway {

namespace {
constexpr std::chrono::milliseconds BACKOFF_FIRST{250};
constexpr std::chrono::milliseconds BACKOFF_MAX{5000};
// A group of pictures above this is not kept (a device without key frames
// must not grow the gateway); viewers then wait for the next key frame.
constexpr size_t GOP_BYTES_MAX = 8 << 20;
}  // namespace

LivePath::LivePath(DeviceConfig device, uint32_t channel, uint8_t kind, int lingerMs,
                   std::atomic<int>& streams)
    : device_(std::move(device)),
      channel_(channel),
      kind_(kind),
      name_(device_.name + "/ch" + std::to_string(channel) + (kind ? "/sub" : "")),
      linger_(lingerMs),
      streams_(streams) {}

LivePath::~LivePath() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

uint64_t LivePath::subscribe(FrameSink sink) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const FramePtr& f : gop_) sink(f, true);
    const uint64_t id = nextId_++;
    sinks_.emplace(id, std::move(sink));
    ensureRunningLocked();
    return id;
}

void LivePath::unsubscribe(uint64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sinks_.erase(id) && sinks_.empty()) lastSeen_ = std::chrono::steady_clock::now();
}

int LivePath::viewers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(sinks_.size());
}

int LivePath::waitReady(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    ensureRunningLocked();
    // A waiting viewer keeps the stream from lingering out before its first
    // key frame.
    ++waiters_;
    const bool done = changed_.wait_for(lock, wait, [this] { return !gop_.empty() || lastStatus_ != 0; });
    --waiters_;
    lastSeen_ = std::chrono::steady_clock::now();
    if (!gop_.empty()) return 200;
    return done ? lastStatus_ : 504;
}

void LivePath::ensureRunningLocked() {
    lastSeen_ = std::chrono::steady_clock::now();
    if (running_ || stop_) return;
    // The previous thread has left its loop; join it before starting anew.
    if (thread_.joinable()) thread_.join();
    running_ = true;
    lastStatus_ = 0;
    thread_ = std::thread([this] { run(); });
}

bool LivePath::idleLocked() const {
    return sinks_.empty() && waiters_ == 0 && std::chrono::steady_clock::now() - lastSeen_ >= linger_;
}

void LivePath::run() {
    recnet::StreamOptions opt;
    opt.host = device_.host;
    opt.port = device_.port;
    opt.user = device_.user;
    opt.password = device_.password;
    opt.timeout = recnet::Duration(3000);
    opt.channel = static_cast<int32_t>(channel_);
    opt.kind = kind_;
    opt.transport = recnet::Transport::Tcp;
    std::chrono::milliseconds backoff{0};
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_ && !idleLocked()) {
        lock.unlock();
        int status = 0;
        std::string error;
        try {
            recnet::StreamClient client(opt);
            // Counts this device stream while it runs, however it ends.
            struct Count {
                std::atomic<int>& n;
                explicit Count(std::atomic<int>& c) : n(c) { n.fetch_add(1); }
                ~Count() { n.fetch_sub(1); }
            } count(streams_);
            std::cerr << "gateway: " << name_ << ": device stream started\n";
            backoff = std::chrono::milliseconds(0);
            recnet::FrameAssembler assembler([this](const recnet::FrameView& f) {
                onFrame(f.data, f.dataLength, f.type == wire::FRAME_TYPE_KEY,
                        wire::getU64(f.header, wire::FRAME_CAPTURE_TIME), f.afterLoss);
            });
            bool alive = true;
            while (alive) {
                alive = client.receive(recnet::Duration(100), assembler);
                std::lock_guard<std::mutex> check(mutex_);
                if (stop_ || idleLocked()) break;
            }
            if (!alive) {
                status = 503;
                error = "the device ended the stream";
            }
        } catch (const recnet::Error& e) {
            status = statusForError(e);
            error = e.what();
        }
        lock.lock();
        // Stopped on purpose; a viewer that came meanwhile found the thread
        // still running and waits for it, so the loop's condition decides
        // again under the lock.
        if (status == 0) continue;
        // The next stream starts with a key frame of its own; frames kept from
        // the lost one may not fit it.
        dropKeptLocked(false);
        lastStatus_ = status;
        changed_.notify_all();
        std::cerr << "gateway: " << name_ << ": " << error << " (" << status << ")\n";
        backoff = backoff.count() == 0 ? BACKOFF_FIRST : std::min(backoff * 2, BACKOFF_MAX);
        changed_.wait_for(lock, backoff, [this] { return stop_; });
    }
    dropKeptLocked(false);
    running_ = false;
    std::cerr << "gateway: " << name_ << ": device stream stopped\n";
}

void LivePath::onFrame(const uint8_t* data, uint32_t length, bool key, uint64_t captureUs,
                       bool afterLoss) {
    std::lock_guard<std::mutex> lock(mutex_);
    // After a loss the pictures up to the next key frame would refer to a
    // lost one: nobody gets them, and nothing is kept.
    if (afterLoss && !key) dropKeptLocked(false);
    if (key) dropKeptLocked(true);
    if (!synced_) return;
    auto frame = std::make_shared<Frame>();
    frame->captureUs = captureUs;
    frame->key = key;
    frame->data.assign(data, data + length);
    if (keeping_ && gopBytes_ + length <= GOP_BYTES_MAX) {
        gop_.push_back(frame);
        gopBytes_ += length;
    } else {
        dropKeptLocked(true);
        keeping_ = false;
    }
    lastStatus_ = 0;
    if (key) changed_.notify_all();
    for (auto& [id, sink] : sinks_) sink(frame, false);
}

void LivePath::dropKeptLocked(bool synced) {
    gop_.clear();
    gopBytes_ = 0;
    keeping_ = true;
    synced_ = synced;
}

}  // namespace gateway
