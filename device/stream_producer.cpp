/*
 * stream_producer.cpp - producer threads and the device's video service.
 */
#include "stream_producer.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "netserver/records.h"

namespace {

using Clock = std::chrono::steady_clock;

// Synthetic key frames at fps 0 (no rate to count a second by).
constexpr unsigned kOnDemandKeyInterval = 25;
// Frames made per demand at fps 0: a reader at the live end then finds
// several frames before it has to wait for the producer again.
constexpr unsigned kOnDemandBatch = 8;

std::atomic<VideoService*> g_service{nullptr};

uint64_t captureMicros() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
}

}  // namespace

/* ---- material ------------------------------------------------------------- */

std::string sampleClipPath(int kind, const std::string& mediaDir) {
    const char* name = kind == 0 ? "main.h264" : "sub.h264";
    if (!mediaDir.empty()) return (std::filesystem::path(mediaDir) / name).string();
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return (std::filesystem::path("media") / name).string();
    const std::filesystem::path bin = exe.parent_path();
#ifdef RECNET_MEDIA_FROM_BIN
    const std::filesystem::path installed = bin / RECNET_MEDIA_FROM_BIN / name;
    if (std::filesystem::exists(installed, ec)) return installed.lexically_normal().string();
#endif
    // The build tree keeps the clips in media/ beside the device; when neither
    // exists, that is the path the error message names.
    return (bin / "media" / name).string();
}

size_t VideoMaterial::largestFrame(int kind) const {
    const auto& clip = clips[static_cast<size_t>(kind)];
    return clip ? clip->largestUnit : pattern.size();
}

bool loadVideoMaterial(const VideoConfig& config, VideoMaterial& material, std::string& error) {
    if (config.source == VideoConfig::Source::Synthetic) {
        material.pattern.resize(config.frameSize);
        // Any bytes will do; a pattern that changes along the frame lets a
        // reader notice misplaced fragments.
        for (size_t i = 0; i < material.pattern.size(); ++i)
            material.pattern[i] = static_cast<uint8_t>(i * 131 + i / 251);
        return true;
    }
    const std::string paths[streampool::KIND_COUNT] = {
        config.mainClip.empty() ? sampleClipPath(0, config.mediaDir) : config.mainClip,
        config.subClip.empty() ? sampleClipPath(1, config.mediaDir) : config.subClip,
    };
    for (int kind = 0; kind < streampool::KIND_COUNT; ++kind) {
        auto clip = std::make_shared<h264::Clip>();
        if (!h264::loadClip(paths[kind], *clip, error)) return false;
        material.clips[static_cast<size_t>(kind)] = std::move(clip);
    }
    return true;
}

/* ---- StreamProducers ---------------------------------------------------------- */

StreamProducers::StreamProducers(streampool::StreamPool& pool, VideoConfig config,
                                 std::shared_ptr<const VideoMaterial> material,
                                 KeyFrameRequestFn takeKeyFrameRequest)
    : pool_(pool),
      config_(std::move(config)),
      material_(std::move(material)),
      takeKeyFrameRequest_(std::move(takeKeyFrameRequest)),
      keyRequests_(std::make_unique<std::array<std::atomic<bool>, streampool::KIND_COUNT>[]>(
          static_cast<size_t>(pool.channels()))) {}

StreamProducers::~StreamProducers() { stop(); }

bool StreamProducers::start(std::string& error) {
    if (running()) return true;
    stop_.store(false, std::memory_order_release);
    for (int channel = 0; channel < pool_.channels(); ++channel) {
        for (int kind = 0; kind < streampool::KIND_COUNT; ++kind) {
            try {
                threads_.emplace_back(&StreamProducers::run, this, channel, kind);
            } catch (const std::system_error& e) {
                error = std::string("cannot start a stream producer thread: ") + e.what();
                stop();
                return false;
            }
        }
    }
    return true;
}

void StreamProducers::stop() {
    stop_.store(true, std::memory_order_release);
    for (int channel = 0; channel < pool_.channels(); ++channel)
        for (int kind = 0; kind < streampool::KIND_COUNT; ++kind)
            pool_.ring(channel, kind)->wakeProducer();
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
}

void StreamProducers::requestKeyFrame(int channel) {
    if (channel < 0 || channel >= pool_.channels()) return;
    for (std::atomic<bool>& flag : keyRequests_[static_cast<size_t>(channel)])
        flag.store(true, std::memory_order_relaxed);
}

bool StreamProducers::takeKeyFrame(int channel, int kind) {
    // Either kind's producer may take the device's request; it then stands
    // for both kinds of the channel.
    if (takeKeyFrameRequest_ && takeKeyFrameRequest_(channel)) requestKeyFrame(channel);
    return keyRequests_[static_cast<size_t>(channel)][static_cast<size_t>(kind)].exchange(
        false, std::memory_order_relaxed);
}

void StreamProducers::run(int channel, int kind) {
    streampool::StreamRing& ring = *pool_.ring(channel, kind);
    const h264::Clip* clip = material_->clips[static_cast<size_t>(kind)].get();
    const unsigned fps = clip != nullptr ? config_.clipFps : config_.fps;
    const bool onDemand = fps == 0;
    const unsigned keyInterval = fps != 0 ? fps : kOnDemandKeyInterval;
    const auto interval = std::chrono::nanoseconds(onDemand ? 0 : 1'000'000'000 / fps);

    // Channel c starts c seconds into the clip, at a key frame.
    size_t index = 0;
    if (clip != nullptr)
        index = clip->keyAtOrAfter(static_cast<size_t>(channel) * config_.clipFps %
                                   clip->units.size());
    uint64_t made = 0;

    ring.setOnDemand(onDemand);
    Clock::time_point due = Clock::now();
    for (;;) {
        if (onDemand) {
            if (!ring.waitForDemand(stop_)) break;
        } else {
            if (!ring.sleepUntil(due, stop_)) break;
            due += interval;
            // After a stall (a suspended process), go on from now instead of
            // catching up with a burst.
            const Clock::time_point now = Clock::now();
            if (now - due > std::chrono::seconds(1)) due = now;
        }

        auto makeFrame = [&]() -> bool {
            const bool forceKey = takeKeyFrame(channel, kind);
            const uint8_t* bytes = nullptr;
            size_t size = 0;
            bool key = false;
            if (clip != nullptr) {
                if (forceKey) index = clip->keyAtOrAfter(index);
                const h264::AccessUnit& unit = clip->units[index];
                index = (index + 1) % clip->units.size();
                bytes = unit.bytes.data();
                size = unit.bytes.size();
                key = unit.key;
            } else {
                bytes = material_->pattern.data();
                size = material_->pattern.size();
                key = forceKey || made % keyInterval == 0;
            }
            ++made;

            // The clips and the pattern are read-only and outlive the pool's
            // readers, so a frame points at them rather than holding a copy.
            const uint8_t type = key ? wire::FRAME_TYPE_KEY : wire::FRAME_TYPE_OTHER;
            return ring.publishFrame(type, captureMicros(), bytes, size, stop_);
        };
        const unsigned batch = onDemand ? kOnDemandBatch : 1;
        bool published = true;
        for (unsigned n = 0; published && n < batch; ++n) published = makeFrame();
        if (!published) break;
    }
    ring.setOnDemand(false);
}

/* ---- VideoService ------------------------------------------------------------- */

VideoService::~VideoService() { stop(); }

bool VideoService::start(const VideoConfig& config, int channels,
                         KeyFrameRequestFn takeKeyFrameRequest, std::string& error) {
    std::lock_guard<std::mutex> lock(control_);
    if (pool_) {
        error = "the video service is already started";
        return false;
    }
    auto material = std::make_shared<VideoMaterial>();
    if (!loadVideoMaterial(config, *material, error)) return false;
    // The producers publish frames straight from the material.
    auto pool = std::make_unique<streampool::StreamPool>(
        channels,
        std::array<size_t, streampool::KIND_COUNT>{material->largestFrame(0), material->largestFrame(1)},
        false);
    auto producers = std::make_unique<StreamProducers>(*pool, config, std::move(material),
                                                       std::move(takeKeyFrameRequest));
    if (!producers->start(error)) return false;
    pool_ = std::move(pool);
    producers_ = std::move(producers);
    VideoService* none = nullptr;
    if (!g_service.compare_exchange_strong(none, this, std::memory_order_acq_rel)) {
        error = "another video service is running";
        producers_.reset();
        pool_.reset();
        return false;
    }
    registered_ = true;
    return true;
}

void VideoService::deinit() {
    std::lock_guard<std::mutex> lock(control_);
    if (!pool_) return;
    producers_->stop();
    pool_->close();
}

bool VideoService::restart(std::string& error) {
    std::lock_guard<std::mutex> lock(control_);
    if (!pool_) {
        error = "the video service is not started";
        return false;
    }
    if (producers_->running()) return true;
    pool_->open();
    return producers_->start(error);
}

void VideoService::stop() {
    std::lock_guard<std::mutex> lock(control_);
    if (producers_) producers_->stop();
    if (registered_) {
        g_service.store(nullptr, std::memory_order_release);
        registered_ = false;
    }
}

streampool::StreamPool* currentStreamPool() {
    const VideoService* service = g_service.load(std::memory_order_acquire);
    return service != nullptr ? service->pool() : nullptr;
}

void streamPoolDeinit() {
    if (VideoService* service = g_service.load(std::memory_order_acquire)) service->deinit();
}

void streamPoolRestart() {
    VideoService* service = g_service.load(std::memory_order_acquire);
    if (service == nullptr) return;
    std::string error;
    if (!service->restart(error)) std::fprintf(stderr, "recnet-device: %s\n", error.c_str());
}
