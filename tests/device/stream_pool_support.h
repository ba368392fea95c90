/*
 * stream_pool_support.h - what the stream pool tests share: H.264 units
 * written out by hand, a reader that works like the module's senders, the
 * sample clips and ffprobe's view of a file.
 */
#ifndef RECNET_TESTS_DEVICE_STREAM_POOL_SUPPORT_H
#define RECNET_TESTS_DEVICE_STREAM_POOL_SUPPORT_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "h264_source.h"
#include "netserver/records.h"
#include "netserver/wire.h"
#include "stream_pool.h"
#include "stream_producer.h"

namespace pooltest {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using streampool::StreamPool;
using streampool::StreamRing;

/* ---- helpers ------------------------------------------------------------ */

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A NAL unit behind a 3-byte start code; units behind 4-byte start codes, as
// the device writes them.
inline Bytes nal3(const Bytes& unit) { return concat({{0, 0, 1}, unit}); }
inline Bytes nals(std::initializer_list<Bytes> units) {
    Bytes out;
    for (const Bytes& u : units) out = concat({out, {0, 0, 0, 1}, u});
    return out;
}

inline std::vector<uint8_t> types(const std::vector<h264::NalUnit>& nals) {
    std::vector<uint8_t> out;
    for (const auto& n : nals) out.push_back(n.type);
    return out;
}

inline const Bytes kAud = {0x09, 0xF0};
inline const Bytes kSpsA = {0x67, 0x42, 0x00, 0x1E, 0xAB};
inline const Bytes kPpsA = {0x68, 0xCE, 0x3C, 0x80};
inline const Bytes kSpsB = {0x67, 0x42, 0x00, 0x28, 0xCD};
inline const Bytes kPpsB = {0x68, 0xCE, 0x06, 0xE2};
inline const Bytes kSei = {0x06, 0x05, 0x01, 0x11, 0x80};
inline const Bytes kIdr = {0x65, 0x88, 0x84, 0x21};       // first_mb_in_slice 0
inline const Bytes kIdrSecond = {0x65, 0x40, 0x11, 0x22};  // first_mb_in_slice not 0
inline const Bytes kP1 = {0x41, 0x9A, 0x11};
inline const Bytes kP2 = {0x41, 0x9A, 0x22};
inline const Bytes kIdr2 = {0x65, 0x88, 0x99, 0x31};

inline std::vector<h264::AccessUnit> parse(const Bytes& stream) {
    return h264::parseAccessUnits(stream.data(), stream.size());
}

inline const std::atomic<bool> never{false};

// Writes one frame as the producer does.
inline void writeFrame(StreamRing& ring, const Bytes& data, uint8_t type, uint64_t micros = 0) {
    const StreamRing::Writing w = ring.beginFrame(data.size(), never);
    ASSERT_NE(w.data, nullptr);
    if (!data.empty()) std::memcpy(w.data, data.data(), data.size());
    ASSERT_TRUE(ring.commitFrame(type, micros, never));
}

inline uint32_t seqOf(const NetFrame* f) { return wire::getU32(f->header, wire::FRAME_SEQUENCE); }
inline uint32_t lenOf(const NetFrame* f) { return wire::getU32(f->header, wire::FRAME_DATA_LENGTH); }
inline uint8_t typeOf(const Bytes& frame) { return frame[wire::FRAME_TYPE]; }
inline Bytes dataOf(const Bytes& frame) { return Bytes(frame.begin() + 32, frame.end()); }

// A reader that works like the module's senders: a five-word cursor set at
// the live end, the lock around every fetch and every copy, and before every
// further fragment the sequence check and the invalid flag.
struct Reader {
    enum class Got { Nothing, Frame, Abandoned };

    const StreamPool& pool;
    int channel;
    int kind;
    uint32_t cursor[5] = {};

    Reader(const StreamPool& p, int ch, int k) : pool(p), channel(ch), kind(k) { select(); }

    void select() {
        std::fill(std::begin(cursor), std::end(cursor), 0u);
        cursor[0] = cursor[1] = cursor[4] = pool.writePosition(channel, kind);
    }

    // One frame: header and data into `out`.
    Got fetch(Bytes& out, size_t fragment = 1400) {
        if (pool.lock(channel, kind) != 0) return Got::Nothing;
        const NetFrame* f = pool.next(channel, kind, cursor);
        if (f == nullptr || f->invalid == 1) {
            pool.unlock(channel, kind);
            return Got::Nothing;
        }
        const size_t total = lenOf(f) + wire::FRAME_HEADER_SIZE;
        out.assign(total, 0);
        for (size_t offset = 0; offset < total; offset += fragment) {
            if (offset > 0) {
                pool.lock(channel, kind);
                if (seqOf(f) != cursor[2] || f->invalid == 1) {
                    cursor[3] = UINT32_MAX;
                    pool.unlock(channel, kind);
                    return Got::Abandoned;
                }
            }
            const size_t end = std::min(total, offset + fragment);
            for (size_t i = offset; i < end; ++i)
                out[i] = i < wire::FRAME_HEADER_SIZE ? f->header[i]
                                                        : f->data[i - wire::FRAME_HEADER_SIZE];
            pool.unlock(channel, kind);
        }
        return Got::Frame;
    }

    // Waits (up to `limit`) for the next complete frame.
    std::optional<Bytes> nextFrame(std::chrono::milliseconds limit = 3000ms) {
        const auto deadline = Clock::now() + limit;
        Bytes out;
        while (Clock::now() < deadline) {
            if (fetch(out) == Got::Frame) return out;
            pool.waitForFrame(channel, kind, streampool::WAIT_LIMIT);
        }
        return std::nullopt;
    }
};

// The held record of the one frame the reader has not fetched yet.
inline NetFrame* holdNext(StreamPool& pool, Reader& reader) {
    EXPECT_EQ(pool.lock(reader.channel, reader.kind), 0);
    NetFrame* held = pool.next(reader.channel, reader.kind, reader.cursor);
    EXPECT_EQ(pool.unlock(reader.channel, reader.kind), 0);
    return held;
}

inline std::string mediaPath(const char* name) {
    return (std::filesystem::path(RECNET_MEDIA_DIR) / name).string();
}

inline std::string tempPath(const char* name) {
    return (std::filesystem::temp_directory_path() /
            ("recnet-pool-" + std::to_string(::getpid()) + "-" + name))
        .string();
}

inline bool haveFfprobe() { return std::system("command -v ffprobe >/dev/null 2>&1") == 0; }

// ffprobe's decoded frame count and size of an H.264 file, "W H N".
inline std::string probe(const std::string& file) {
    std::string out;
    FILE* pipe = ::popen(("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                          "stream=width,height,nb_read_frames -of "
                          "default=noprint_wrappers=1:nokey=1 '" +
                          file + "' 2>&1 | tr '\\n' ' '")
                             .c_str(),
                         "r");
    if (pipe == nullptr) return out;
    char buf[512];
    while (std::fgets(buf, sizeof buf, pipe) != nullptr) out += buf;
    ::pclose(pipe);
    return out;
}

inline VideoConfig syntheticConfig(size_t frameSize, unsigned fps) {
    VideoConfig config;
    config.source = VideoConfig::Source::Synthetic;
    config.frameSize = frameSize;
    config.fps = fps;
    return config;
}

inline std::shared_ptr<VideoMaterial> loadMaterial(const VideoConfig& config) {
    auto material = std::make_shared<VideoMaterial>();
    std::string error;
    EXPECT_TRUE(loadVideoMaterial(config, *material, error)) << error;
    return material;
}

inline std::shared_ptr<VideoMaterial> clipMaterial(const std::string& main,
                                            const std::string& sub = mediaPath("sub.h264")) {
    VideoConfig config;
    config.mainClip = main;
    config.subClip = sub;
    return loadMaterial(config);
}

inline VideoConfig clipConfig(unsigned clipFps) {
    VideoConfig config;
    config.clipFps = clipFps;
    return config;
}

// A pool whose slots hold the largest frames of `material`.
inline StreamPool poolFor(const VideoMaterial& material, int channels) {
    return StreamPool(channels, {material.largestFrame(0), material.largestFrame(1)});
}

inline void start(StreamProducers& producers) {
    std::string error;
    ASSERT_TRUE(producers.start(error)) << error;
}

}  // namespace pooltest

#endif
