/*
 * stream_producer.h - the device's video sources: one producer thread per
 * channel and stream kind that feeds its ring of the stream pool, and the
 * video service that owns the pool and its producers for the process.
 *
 * Sources:
 *  - clip: an H.264 Annex B file per stream kind, played in a loop at the clip
 *    rate, one access unit per frame. Channel c starts c seconds into the clip
 *    (at the first key frame from there), so the channels look different.
 *  - synthetic: frames of a fixed size filled with a byte pattern, a key frame
 *    every `fps` frames; at fps 0 a batch of 8 frames is made whenever a
 *    reader has taken the newest one or waits for one, for benchmarks.
 * Frames point at the clip or the pattern (read-only, shared by every ring and
 * alive as long as the pool) instead of holding a copy.
 */
#ifndef RECNET_DEVICE_STREAM_PRODUCER_H
#define RECNET_DEVICE_STREAM_PRODUCER_H

#include <array>
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "h264_source.h"
#include "non_copyable.h"
#include "stream_pool.h"

struct VideoConfig {
    enum class Source { Clip, Synthetic };
    Source source = Source::Clip;
    std::string mainClip;  // Annex B file of kind 0; empty: the sample clip
    std::string subClip;   // Annex B file of kind 1; empty: the sample clip
    std::string mediaDir;  // directory of the sample clips; empty: found by sampleClipPath
    unsigned clipFps = 25;       // frames per second of a clip, 1..1000
    size_t frameSize = 16384;    // synthetic frame size in bytes
    unsigned fps = 25;           // synthetic frames per second; 0: on demand
};

// The sample clip of a stream kind (main.h264 or sub.h264): in `mediaDir` when
// it is given, else in the installed data directory (<bin>/../share/recnet/media),
// else in media/ beside the running executable (the build tree).
std::string sampleClipPath(int kind, const std::string& mediaDir);

// What the producers play. Clips are loaded once and shared read-only.
struct VideoMaterial {
    std::array<std::shared_ptr<const h264::Clip>, streampool::KIND_COUNT> clips;  // clip source
    std::vector<uint8_t> pattern;  // synthetic source: the data of every frame

    // The largest frame of a kind, for sizing the slot buffers.
    size_t largestFrame(int kind) const;
};

// Loads the clips (or makes the pattern) that `config` names. Returns false
// with a one-line reason in `error`.
bool loadVideoMaterial(const VideoConfig& config, VideoMaterial& material, std::string& error);

// Asked once per frame by each producer: true when a key frame was requested
// for the channel since the last call (the request is then taken).
using KeyFrameRequestFn = std::function<bool(int channel)>;

// The producer threads of a pool: one per ring. The owner starts and stops
// them; start and stop are not called concurrently.
class StreamProducers : NonCopyable {
public:
    StreamProducers(streampool::StreamPool& pool, VideoConfig config,
                    std::shared_ptr<const VideoMaterial> material,
                    KeyFrameRequestFn takeKeyFrameRequest = {});
    ~StreamProducers();

    // Starts a thread per ring; nothing when they run. Returns false with a
    // reason in `error` when a thread cannot be started (none then runs).
    bool start(std::string& error);
    // Sets the stop flag, wakes and joins every thread.
    void stop();
    bool running() const { return !threads_.empty(); }

    // The next frame of both kinds of the channel is a key frame (a clip
    // jumps to its next key frame). Any thread; out of range: nothing.
    void requestKeyFrame(int channel);

private:
    void run(int channel, int kind);
    bool takeKeyFrame(int channel, int kind);

    streampool::StreamPool& pool_;
    const VideoConfig config_;
    const std::shared_ptr<const VideoMaterial> material_;
    const KeyFrameRequestFn takeKeyFrameRequest_;
    std::unique_ptr<std::array<std::atomic<bool>, streampool::KIND_COUNT>[]> keyRequests_;
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

// The device's live video: the pool and its producers, one per process. The
// st_stream_* host functions reach the pool of the started service.
class VideoService : NonCopyable {
public:
    VideoService() = default;
    // stop().
    ~VideoService();

    // Loads the material, creates the pool for `channels` channels, starts
    // the producers and makes this the process's service. Returns false with
    // a one-line reason in `error`.
    bool start(const VideoConfig& config, int channels, KeyFrameRequestFn takeKeyFrameRequest,
               std::string& error);
    // Stops the producers and closes the pool: no frame is handed out until
    // restart(). Pool calls stay safe meanwhile.
    void deinit();
    // Opens the pool and starts the producers again after deinit().
    bool restart(std::string& error);
    // Stops the producers and withdraws the service. Call only when no thread
    // can call into the pool any more (after st_net_stopNetServer).
    void stop();

    streampool::StreamPool* pool() const { return pool_.get(); }
    StreamProducers* producers() const { return producers_.get(); }

private:
    std::mutex control_;  // deinit and restart may come from any thread
    std::unique_ptr<streampool::StreamPool> pool_;
    std::unique_ptr<StreamProducers> producers_;
    bool registered_ = false;
};

// The pool of the started service, or null.
streampool::StreamPool* currentStreamPool();

// deinit() of the started service (st_stream_deinitStreamLib); nothing when
// there is none.
void streamPoolDeinit();

// restart() of the started service: the device calls it to bring the live
// video back after st_stream_deinitStreamLib. A failure to start the
// producers is reported on stderr; the pool then stays without frames.
void streamPoolRestart();

#endif
