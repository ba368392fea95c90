// The device's stream pool, H.264 sources and producers, in process: Annex B
// splitting and grouping, the rings (live end, slow readers, slot rewrites,
// bounded waits, locking), the producers, deinit and restart, eight
// concurrent readers, and a sample clip decoded by ffprobe.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <thread>

#include "h264_source.h"
#include "netserver/wire.h"
#include "stream_pool.h"
#include "stream_producer.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using streampool::StreamPool;
using streampool::StreamRing;

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
const Bytes S3 = {0, 0, 1}, S4 = {0, 0, 0, 1};  // start codes
// Units behind 4-byte start codes, as the device writes them.
Bytes nals(std::initializer_list<Bytes> units) {
    Bytes out;
    for (const Bytes& u : units) out = cat({out, S4, u});
    return out;
}
const Bytes kAud = {0x09, 0xF0}, kSei = {0x06, 0x05, 0x01, 0x11, 0x80};
const Bytes kSpsA = {0x67, 0x42, 0x00, 0x1E, 0xAB}, kPpsA = {0x68, 0xCE, 0x3C, 0x80};
const Bytes kSpsB = {0x67, 0x42, 0x00, 0x28, 0xCD}, kPpsB = {0x68, 0xCE, 0x06, 0xE2};
const Bytes kIdr = {0x65, 0x88, 0x84, 0x21};        // first_mb_in_slice 0
const Bytes kIdrSecond = {0x65, 0x40, 0x11, 0x22};  // first_mb_in_slice not 0
const Bytes kIdr2 = {0x65, 0x88, 0x99, 0x31};
const Bytes kP1 = {0x41, 0x9A, 0x11}, kP2 = {0x41, 0x9A, 0x22};

const std::atomic<bool> never{false};

// Writes one frame as the producer does.
void writeFrame(StreamRing& ring, const Bytes& data, uint8_t type, uint64_t micros = 0) {
    const StreamRing::Writing w = ring.beginFrame(data.size(), never);
    ASSERT_NE(w.data, nullptr);
    if (!data.empty()) std::memcpy(w.data, data.data(), data.size());
    ASSERT_TRUE(ring.commitFrame(type, micros, never));
}

uint32_t seqOf(const NetFrame* f) { return wire::getU32(f->header, wire::FRAME_SEQUENCE); }
uint8_t typeOf(const Bytes& frame) { return frame[wire::FRAME_TYPE]; }

// A reader that works like the module's senders: a cursor set at the live
// end, the lock around every fetch and every copy of a 1400-byte fragment,
// and before every further fragment the sequence check and the invalid flag.
struct Reader {
    enum class Got { Nothing, Frame, Abandoned };
    const StreamPool& pool;
    int channel, kind;
    uint32_t cursor[5] = {};

    Reader(const StreamPool& p, int ch, int k) : pool(p), channel(ch), kind(k) { select(); }
    void select() { cursor[0] = cursor[1] = cursor[4] = pool.writePosition(channel, kind); }

    // One frame, header and data, into `out`.
    Got fetch(Bytes& out) {
        if (pool.lock(channel, kind) != 0) return Got::Nothing;
        const NetFrame* f = pool.next(channel, kind, cursor);
        if (f == nullptr || f->invalid == 1) {
            pool.unlock(channel, kind);
            return Got::Nothing;
        }
        out.assign(wire::getU32(f->header, wire::FRAME_DATA_LENGTH) + wire::FRAME_HEADER_SIZE, 0);
        for (size_t at = 0; at < out.size(); at += 1400) {
            if (at > 0) {
                pool.lock(channel, kind);
                if (seqOf(f) != cursor[2] || f->invalid == 1) {
                    pool.unlock(channel, kind);
                    return Got::Abandoned;
                }
            }
            for (size_t i = at; i < std::min(out.size(), at + 1400); ++i)
                out[i] = i < wire::FRAME_HEADER_SIZE ? f->header[i]
                                                     : f->data[i - wire::FRAME_HEADER_SIZE];
            pool.unlock(channel, kind);
        }
        return Got::Frame;
    }

    // The next complete frame within `limit`.
    std::optional<Bytes> nextFrame(std::chrono::milliseconds limit = 3000ms) {
        const auto deadline = Clock::now() + limit;
        for (Bytes out; Clock::now() < deadline;) {
            if (fetch(out) == Got::Frame) return out;
            pool.waitForFrame(channel, kind, streampool::WAIT_LIMIT);
        }
        return std::nullopt;
    }

    // The record of the frame not fetched yet, kept.
    NetFrame* holdNext() {
        EXPECT_EQ(pool.lock(channel, kind), 0);
        NetFrame* held = pool.next(channel, kind, cursor);
        EXPECT_EQ(pool.unlock(channel, kind), 0);
        return held;
    }
};

VideoConfig syntheticConfig(size_t frameSize, unsigned fps) {
    VideoConfig config;
    config.source = VideoConfig::Source::Synthetic;
    config.frameSize = frameSize;
    config.fps = fps;
    return config;
}
// The sample clips played at `clipFps`.
VideoConfig clipConfig(unsigned clipFps) {
    VideoConfig config;
    config.mediaDir = RECNET_MEDIA_DIR;
    config.clipFps = clipFps;
    return config;
}

std::shared_ptr<VideoMaterial> loadMaterial(const VideoConfig& config) {
    auto material = std::make_shared<VideoMaterial>();
    std::string error;
    EXPECT_TRUE(loadVideoMaterial(config, *material, error)) << error;
    return material;
}

void start(StreamProducers& producers) {
    std::string error;
    ASSERT_TRUE(producers.start(error)) << error;
}

std::string tempPath(const std::string& name) {
    std::string file = std::to_string(::getpid());
    file.append("-").append(name).insert(0, "recnet-pool-");
    return std::filesystem::temp_directory_path() / file;
}

/* ---- Annex B ------------------------------------------------------------- */

TEST(AnnexB, SplitsAndGroupsUnitsAndEveryKeyUnitGetsTheLastParameterSetsSeen) {
    struct Row {
        const char* what;
        Bytes in;
        std::vector<Bytes> units;
        std::string keys;  // K: a key unit
    };
    const Row rows[] = {
        // Units behind 3- and 4-byte start codes are exactly their bytes: no
        // zero of a following 4-byte start code, no trailing zeros, nothing
        // of what comes before the first start code.
        {"a delimiter or a first slice starts a unit",
         cat({{0xFF, 0x17}, S4, kAud, S3, kSpsA, S3, kPpsA, S4, kIdr, S3, kIdrSecond, S4, kAud, S4,
              kP1, S3, kP2, {0, 0}}),
         {nals({kAud, kSpsA, kPpsA, kIdr, kIdrSecond}), nals({kAud, kP1}), nals({kP2})}, "K.."},
        {"SEI and sets after slices start a unit; trailing sets make none",
         nals({kSpsA, kPpsA, kIdr, kSei, kP1, kSpsB, kPpsB}),
         {nals({kSpsA, kPpsA, kIdr}), nals({kSei, kP1})}, "K."},
        {"key units get the last sets seen, other pictures stay as they are",
         nals({kSpsA, kPpsA, kIdr, kP1, kIdr2, kP2, kSpsB, kPpsB, kIdr, kP1, kIdr2}),
         {nals({kSpsA, kPpsA, kIdr}), nals({kP1}), nals({kSpsA, kPpsA, kIdr2}), nals({kP2}),
          nals({kSpsB, kPpsB, kIdr}), nals({kP1}), nals({kSpsB, kPpsB, kIdr2})}, "K.K.K.K"},
        {"injected sets follow the delimiter, a unit keeps its own SPS",
         nals({kSpsA, kPpsA, kIdr, kAud, kSei, kIdr2, kAud, kSpsB, kIdr}),
         {nals({kSpsA, kPpsA, kIdr}), nals({kAud, kSpsA, kPpsA, kSei, kIdr2}),
          nals({kAud, kSpsB, kPpsA, kIdr})}, "KKK"},
        {"played in a loop, a key unit before the first sets gets the last ones",
         nals({kIdr, kP1, kSpsB, kPpsB, kIdr2}),
         {nals({kSpsB, kPpsB, kIdr}), nals({kP1}), nals({kSpsB, kPpsB, kIdr2})}, "K.K"},
        {"a stream without sets is left alone", nals({kIdr, kP1}), {nals({kIdr}), nals({kP1})},
         "K."},
        {"start codes only", {0, 0, 1, 0, 0, 0, 1, 0, 0}, {}, ""},
        {"nothing", {}, {}, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const auto units = h264::parseAccessUnits(row.in.data(), row.in.size());
        ASSERT_EQ(units.size(), row.units.size());
        for (size_t i = 0; i < units.size(); ++i) {
            EXPECT_EQ(units[i].bytes, row.units[i]) << "unit " << i;
            EXPECT_EQ(units[i].key, row.keys[i] == 'K') << "unit " << i;
        }
    }
}

TEST(Clip, MissingAndEmptyClipsAreReported) {
    h264::Clip clip;
    std::string error;
    const std::string junk = tempPath("junk.h264");
    std::ofstream(junk) << "no video here";
    EXPECT_FALSE(h264::loadClip(junk, clip, error));
    EXPECT_NE(error.find("no H.264 picture"), std::string::npos) << error;
    std::filesystem::remove(junk);
    // The video service reports it and leaves no pool behind.
    VideoService service;
    VideoConfig config;
    config.mainClip = "/nonexistent/main.h264";
    EXPECT_FALSE(service.start(config, 1, {}, error));
    EXPECT_NE(error.find("/nonexistent/main.h264"), std::string::npos) << error;
    EXPECT_EQ(currentStreamPool(), nullptr);
}

/* ---- rings --------------------------------------------------------------- */

TEST(StreamRing, FrameHeaderLayout) {
    StreamPool pool(3, {64, 64});
    Reader reader(pool, 2, 1);
    writeFrame(*pool.ring(2, 1), {1, 2, 3, 4, 5}, wire::FRAME_TYPE_KEY, 0x0102030405060708ull);
    Bytes frame;
    ASSERT_EQ(reader.fetch(frame), Reader::Got::Frame);
    // Data length 5, sequence 1, channel 2, type 1 (key), kind 1, the capture
    // time, zeros to byte 32, the data.
    Bytes want = {0, 0, 0, 0, 5, 0, 0, 0, 1, 0, 0, 0, 2, 1, 1, 0, 8, 7, 6, 5, 4, 3, 2, 1};
    want.resize(32, 0);
    EXPECT_EQ(frame, cat({want, {1, 2, 3, 4, 5}}));
    EXPECT_EQ(reader.cursor[2], 1u);
}

TEST(StreamRing, ReaderStartsAtTheLiveEndFollowsInOrderAndResumesThereWhenSlow) {
    StreamPool pool(1, {16, 16});
    StreamRing& ring = *pool.ring(0, 0);
    const unsigned slots = ring.slotCount();
    writeFrame(ring, {9}, 1);  // before the readers: not seen
    Reader keeps(pool, 0, 0);
    Reader falls(pool, 0, 0);
    Bytes frame;
    EXPECT_EQ(keeps.fetch(frame), Reader::Got::Nothing);
    // The newest slots - 1 frames stay readable.
    for (unsigned i = 0; i < slots - 1; ++i) writeFrame(ring, {static_cast<uint8_t>(i)}, 2);
    for (uint8_t i = 0; i < 5; ++i) {
        ASSERT_EQ(keeps.fetch(frame), Reader::Got::Frame);
        EXPECT_EQ(frame.back(), i);
        EXPECT_EQ(keeps.cursor[2], i + 2u);  // sequence numbers rise from 1
    }
    // Two more frames: `falls`, still at the first, is a ring behind.
    writeFrame(ring, {100}, 2);
    writeFrame(ring, {101}, 2);
    EXPECT_EQ(falls.fetch(frame), Reader::Got::Nothing);
    EXPECT_EQ(falls.cursor[0], ring.writePosition());
    EXPECT_EQ(ring.skippedFrames(), slots + 1u);  // every frame since it started
    writeFrame(ring, {102}, 1);
    ASSERT_EQ(falls.fetch(frame), Reader::Got::Frame);
    EXPECT_EQ(frame.back(), 102);
    EXPECT_EQ(falls.cursor[2], slots + 3);
    EXPECT_EQ(falls.fetch(frame), Reader::Got::Nothing);
    EXPECT_EQ(falls.cursor[0], ring.writePosition());
    // Three more: the frame `keeps` would read next has left the ring too.
    for (int i = 0; i < 3; ++i) writeFrame(ring, {1}, 2);
    EXPECT_EQ(keeps.fetch(frame), Reader::Got::Nothing);
    EXPECT_EQ(ring.skippedFrames(), 2 * slots + 1u);
    // A cursor ahead of the ring (set up elsewhere) skipped nothing.
    keeps.cursor[0] = ring.writePosition() + 5;
    EXPECT_EQ(keeps.fetch(frame), Reader::Got::Nothing);
    EXPECT_EQ(ring.skippedFrames(), 2 * slots + 1u);
    // Positions survive many wraps of the slot index.
    for (unsigned i = 0; i < 10 * slots; ++i) writeFrame(ring, {1}, 2);
    EXPECT_EQ(ring.writePosition(), 11 * slots + 6);
}

TEST(StreamRing, SlotIsInvalidWhileItIsRewrittenThenHasANewSequence) {
    StreamPool pool(1, {16, 16});
    StreamRing& ring = *pool.ring(0, 0);
    Reader reader(pool, 0, 0);
    writeFrame(ring, {7}, 1);
    NetFrame* held = reader.holdNext();
    ASSERT_NE(held, nullptr);
    // The record stays where it is while the rest of the ring is written.
    for (unsigned i = 1; i < ring.slotCount(); ++i) writeFrame(ring, {8}, 2);
    pool.lock(0, 0);
    EXPECT_EQ(held->invalid, 0u);  // not reached yet
    EXPECT_EQ(seqOf(held), reader.cursor[2]);
    pool.unlock(0, 0);
    // The producer starts the frame that goes into the held record's slot and
    // grows its buffer: the record is invalid until the frame is published.
    const Bytes big(5000, 0x5A);
    const StreamRing::Writing w = ring.beginFrame(big.size(), never);
    ASSERT_NE(w.data, nullptr);
    pool.lock(0, 0);
    EXPECT_EQ(held->invalid, 1u);
    pool.unlock(0, 0);
    std::memcpy(w.data, big.data(), big.size());
    ASSERT_TRUE(ring.commitFrame(2, 0, never));
    // Valid again, but the sequence check sees the reused slot.
    pool.lock(0, 0);
    EXPECT_EQ(held->invalid, 0u);
    EXPECT_NE(seqOf(held), reader.cursor[2]);
    EXPECT_EQ(wire::getU32(held->header, wire::FRAME_DATA_LENGTH), big.size());
    EXPECT_EQ(0, std::memcmp(held->data, big.data(), big.size()));
    pool.unlock(0, 0);
}

TEST(StreamRing, LockBelongsToTheCallingThread) {
    StreamPool pool(1, {16, 16});
    uint32_t cursor[5] = {};
    EXPECT_EQ(pool.unlock(0, 0), -1);             // not held
    EXPECT_EQ(pool.next(0, 0, cursor), nullptr);  // not held: nothing
    ASSERT_EQ(pool.lock(0, 0), 0);
    EXPECT_EQ(pool.lock(0, 0), -1);               // already held: no self-deadlock
    EXPECT_EQ(pool.next(0, 0, nullptr), nullptr);
    std::thread([&] { EXPECT_EQ(pool.unlock(0, 0), -1); }).join();
    EXPECT_EQ(pool.unlock(0, 0), 0);
    EXPECT_EQ(pool.unlock(0, 0), -1);
    std::thread([&] {  // another thread can take it now
        EXPECT_EQ(pool.lock(0, 0), 0);
        EXPECT_EQ(pool.unlock(0, 0), 0);
    }).join();
}

TEST(StreamPool, OutOfRangeChannelsAndKindsAreHarmless) {
    StreamPool pool(2, {16, 16});
    uint32_t cursor[5] = {};
    for (auto [channel, kind] : std::vector<std::pair<int, int>>{
             {-1, 0}, {2, 0}, {255, 0}, {0, -1}, {0, 2}, {1, 7}, {INT32_MIN, INT32_MAX}}) {
        EXPECT_EQ(pool.ring(channel, kind), nullptr);
        EXPECT_EQ(pool.writePosition(channel, kind), 0u);
        EXPECT_EQ(pool.lock(channel, kind), -1);
        EXPECT_EQ(pool.next(channel, kind, cursor), nullptr);
        EXPECT_EQ(pool.unlock(channel, kind), -1);
    }
    const auto start = Clock::now();
    pool.waitForFrame(9, 0, 30ms);
    EXPECT_GE(Clock::now() - start, 25ms);
    EXPECT_EQ(StreamPool(0, {16, 16}).ring(0, 0), nullptr);
}

TEST(StreamRing, WaitReturnsOnTheNextFrameOrAfterItsLimit) {
    StreamPool pool(1, {16, 16});
    StreamRing& ring = *pool.ring(0, 0);
    auto start = Clock::now();
    ring.waitForFrame(streampool::WAIT_LIMIT);
    EXPECT_GE(Clock::now() - start, 90ms);
    EXPECT_LT(Clock::now() - start, 1s);
    std::thread writer([&] {
        std::this_thread::sleep_for(50ms);
        writeFrame(ring, {1}, 1);
    });
    start = Clock::now();
    ring.waitForFrame(5000ms);
    const auto waited = Clock::now() - start;
    writer.join();
    EXPECT_EQ(ring.writePosition(), 1u);
    EXPECT_LT(waited, 2s);
}

/* ---- producers ----------------------------------------------------------- */

TEST(Producers, SyntheticOnDemandMakesFramesOnlyForReaders) {
    StreamPool pool(1, {3000, 3000});
    auto material = loadMaterial(syntheticConfig(3000, 0));
    StreamProducers producers(pool, syntheticConfig(3000, 0), material);
    start(producers);
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(pool.writePosition(0, 0), 0u);  // no reader, no frame

    Reader reader(pool, 0, 0);
    std::vector<uint32_t> keys;
    for (int i = 0; i < 60; ++i) {
        auto frame = reader.nextFrame();
        ASSERT_TRUE(frame) << "frame " << i;
        ASSERT_EQ(frame->size(), 3032u);
        EXPECT_EQ(0, std::memcmp(frame->data() + 32, material->pattern.data(), 3000));
        if (typeOf(*frame) == wire::FRAME_TYPE_KEY)
            keys.push_back(wire::getU32(frame->data(), wire::FRAME_SEQUENCE));
        else
            EXPECT_EQ(typeOf(*frame), wire::FRAME_TYPE_OTHER);
    }
    // Key frames every 25 frames, and none made for nobody in between: a
    // reader at the live end gets a batch of 8 more, no further.
    ASSERT_GE(keys.size(), 2u);
    EXPECT_EQ(keys[1] - keys[0], 25u);
    EXPECT_LE(pool.writePosition(0, 0), 60u + 2 * 8);
    EXPECT_EQ(pool.writePosition(0, 1), 0u);  // the sub stream had no reader

    // A requested key frame comes next (after the frames of a batch made
    // before the request, at most), long before the next one of the cadence.
    producers.requestKeyFrame(0);
    bool key = false;
    for (int i = 0; i < 2 * 8 + 1 && !key; ++i) {
        auto frame = reader.nextFrame();
        ASSERT_TRUE(frame);
        key = typeOf(*frame) == wire::FRAME_TYPE_KEY;
    }
    EXPECT_TRUE(key);
    producers.stop();
    EXPECT_FALSE(producers.running());
}

TEST(Producers, ClipChannelsStartAtAKeyFrameAndJumpToTheNextOnRequest) {
    auto material = loadMaterial(clipConfig(25));
    StreamPool pool(1, {material->largestFrame(0), material->largestFrame(1)});
    std::atomic<bool> requested{false};
    StreamProducers producers(pool, clipConfig(25), material, [&](int) { return requested.exchange(false); });
    Reader main(pool, 0, 0), sub(pool, 0, 1);
    start(producers);
    for (Reader* reader : {&main, &sub}) {
        auto frame = reader->nextFrame();
        ASSERT_TRUE(frame);
        EXPECT_EQ(typeOf(*frame), wire::FRAME_TYPE_KEY);
        // The clip's own first picture: a channel's stream begins at a key frame.
        const h264::Clip& clip = *material->clips[static_cast<size_t>(reader->kind)];
        EXPECT_EQ(Bytes(frame->begin() + 32, frame->end()), clip.units[0].bytes);
        ASSERT_TRUE(reader->nextFrame());
    }
    // The next key would be 20+ frames away; the frame made when the request
    // is taken is a key frame (the reader may be a frame or two behind).
    requested = true;
    for (Reader* reader : {&main, &sub}) {
        int waited = 0;
        for (;; ++waited) {
            auto frame = reader->nextFrame();
            ASSERT_TRUE(frame);
            if (typeOf(*frame) == wire::FRAME_TYPE_KEY) break;
        }
        EXPECT_LE(waited, 5) << "kind " << reader->kind;
    }
}

/* ---- concurrency --------------------------------------------------------- */

// `count` reader threads, reader r on the main stream of channel r % 2 of
// `pool`, fetch until `during` returns. A frame must be whole, of its
// channel, newer than the reader's last and hold `pattern`. With `producers`,
// reader 0 asks for a key frame every 100 frames. Returns {frames, bad ones}.
std::pair<uint64_t, uint64_t> readWhile(const StreamPool& pool, int count, const Bytes& pattern,
                                        StreamProducers* producers,
                                        const std::function<void()>& during) {
    std::atomic<bool> done{false};
    std::atomic<uint64_t> frames{0}, bad{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < count; ++r) {
        readers.emplace_back([&, r] {
            const int channel = r % pool.channels();
            Reader reader(pool, channel, 0);
            uint32_t lastSeq = 0;
            Bytes frame;
            while (!done.load()) {
                pool.waitForFrame(channel, 0, streampool::WAIT_LIMIT);
                for (Reader::Got got; (got = reader.fetch(frame)) != Reader::Got::Nothing;) {
                    if (got == Reader::Got::Abandoned) continue;
                    const uint32_t seq = wire::getU32(frame.data(), wire::FRAME_SEQUENCE);
                    if (frame.size() != pattern.size() + 32 || seq <= lastSeq ||
                        frame[wire::FRAME_CHANNEL] != channel ||
                        std::memcmp(frame.data() + 32, pattern.data(), pattern.size()) != 0)
                        bad++;
                    lastSeq = seq;
                    if (++frames % 100 == 0 && r == 0 && producers) producers->requestKeyFrame(channel);
                }
            }
        });
    }
    during();
    done = true;
    for (std::thread& t : readers) t.join();
    return {frames.load(), bad.load()};
}

TEST(Concurrency, EightReadersSeeWholeFramesInOrder) {
    constexpr size_t kFrame = 5000;  // four fragments
    StreamPool pool(2, {kFrame, kFrame});
    auto material = loadMaterial(syntheticConfig(kFrame, 0));
    StreamProducers producers(pool, syntheticConfig(kFrame, 0), material);
    start(producers);
    auto [frames, bad] = readWhile(pool, 8, material->pattern, &producers,
                                   [] { std::this_thread::sleep_for(1500ms); });
    producers.stop();
    EXPECT_EQ(bad, 0u);
    EXPECT_GT(frames, 100u);
}

/* ---- the video service: deinit and restart ------------------------------- */

TEST(VideoService, DeinitStopsFramesAndRestartBringsThemBack) {
    VideoService service;
    const VideoConfig config = syntheticConfig(2000, 200);
    std::string error;
    ASSERT_TRUE(service.start(config, 2, {}, error)) << error;
    StreamPool* pool = currentStreamPool();
    ASSERT_EQ(pool, service.pool());
    VideoService second;
    EXPECT_FALSE(second.start(config, 1, {}, error));  // one per process

    Reader reader(*pool, 1, 1);
    auto frame = reader.nextFrame();
    ASSERT_TRUE(frame);
    const uint32_t seqBefore = reader.cursor[2];
    // A frame held across the deinit.
    std::this_thread::sleep_for(20ms);
    NetFrame* held = reader.holdNext();
    ASSERT_NE(held, nullptr);

    streamPoolDeinit();
    const uint32_t stopped = pool->writePosition(1, 1);
    ASSERT_EQ(pool->lock(1, 1), 0);
    EXPECT_EQ(held->invalid, 1u);
    EXPECT_EQ(pool->next(1, 1, reader.cursor), nullptr);
    ASSERT_EQ(pool->unlock(1, 1), 0);
    const auto start = Clock::now();
    pool->waitForFrame(1, 1, streampool::WAIT_LIMIT);
    EXPECT_GE(Clock::now() - start, 90ms);
    EXPECT_EQ(pool->writePosition(1, 1), stopped);
    streamPoolDeinit();  // twice is harmless

    reader.select();
    streamPoolRestart();
    frame = reader.nextFrame();
    ASSERT_TRUE(frame);
    EXPECT_GT(reader.cursor[2], seqBefore);
    EXPECT_EQ(typeOf(*frame), wire::FRAME_TYPE_KEY);  // a fresh start

    service.stop();
    EXPECT_EQ(currentStreamPool(), nullptr);
    streamPoolDeinit();  // no service: nothing
    streamPoolRestart();
}

TEST(VideoService, ReadersKeepRunningThroughDeinitAndRestart) {
    VideoService service;
    std::string error;
    ASSERT_TRUE(service.start(syntheticConfig(6000, 0), 1, {}, error)) << error;
    auto [frames, bad] = readWhile(*service.pool(), 4,
                                   loadMaterial(syntheticConfig(6000, 0))->pattern, nullptr, [&] {
                                       for (int i = 0; i < 5; ++i) {
                                           std::this_thread::sleep_for(60ms);
                                           service.deinit();
                                           std::this_thread::sleep_for(30ms);
                                           EXPECT_TRUE(service.restart(error)) << error;
                                       }
                                   });
    EXPECT_GT(frames, 0u);
    EXPECT_EQ(bad, 0u);
}

/* ---- the sample clips decode from any key frame -------------------------- */

}  // namespace
