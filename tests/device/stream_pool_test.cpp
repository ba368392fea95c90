/*
 * stream_pool_test.cpp - the device's stream pool, H.264 sources and
 * producers, in process: Annex B parsing, parameter sets before key frames,
 * the rings (wrap, sequence check, invalid flag, bounded waits, locking),
 * the producers, deinit and restart, eight concurrent readers, and the sample
 * clips decoded by ffprobe.
 */
#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <thread>

#include "stream_pool_support.h"

namespace {

using namespace pooltest;
using namespace std::chrono_literals;

/* ---- Annex B parsing -------------------------------------------------------- */

TEST(AnnexB, SplitsUnitsBehindThreeAndFourByteStartCodes) {
    const Bytes stream = concat({{0xFF, 0x17},  // before the first start code: skipped
                                 nals({kAud}), nal3(kSpsA), nal3(kPpsA), nals({kIdr}),
                                 nal3(kIdrSecond), nals({kP1}), nal3(kP2), {0, 0}});
    const auto units = h264::splitNalUnits(stream.data(), stream.size());
    ASSERT_EQ(types(units), (std::vector<uint8_t>{9, 7, 8, 5, 5, 1, 1}));
    // Each unit is exactly its bytes: no start code, no zero byte of a 4-byte
    // start code that follows, no trailing zeros at the end.
    const std::vector<Bytes> expected = {kAud, kSpsA, kPpsA, kIdr, kIdrSecond, kP1, kP2};
    for (size_t i = 0; i < units.size(); ++i)
        EXPECT_EQ(Bytes(stream.begin() + units[i].offset,
                        stream.begin() + units[i].offset + units[i].size),
                  expected[i])
            << "unit " << i;
    // Empty and start-code-only inputs have no units.
    EXPECT_TRUE(h264::splitNalUnits(nullptr, 0).empty());
    const Bytes codes = {0, 0, 1, 0, 0, 0, 1, 0, 0};
    EXPECT_TRUE(h264::splitNalUnits(codes.data(), codes.size()).empty());
    EXPECT_TRUE(parse(codes).empty());
}

TEST(AnnexB, GroupsAccessUnitsByDelimiterFirstSliceSeiAndSets) {
    auto units = parse(concat({nals({kAud}), nal3(kSpsA), nal3(kPpsA), nals({kIdr}),
                               nal3(kIdrSecond), nals({kAud, kP1}), nal3(kP2)}));
    ASSERT_EQ(units.size(), 3u);
    EXPECT_TRUE(units[0].key);
    EXPECT_EQ(units[0].bytes, nals({kAud, kSpsA, kPpsA, kIdr, kIdrSecond}));
    EXPECT_FALSE(units[1].key);
    EXPECT_EQ(units[1].bytes, nals({kAud, kP1}));
    EXPECT_FALSE(units[2].key);  // a first slice starts a unit without a delimiter
    EXPECT_EQ(units[2].bytes, nals({kP2}));

    // SEI and parameter sets after slices start the next unit; trailing sets
    // without a picture make none.
    units = parse(nals({kSpsA, kPpsA, kIdr, kSei, kP1, kSpsB, kPpsB}));
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[0].bytes, nals({kSpsA, kPpsA, kIdr}));
    EXPECT_EQ(units[1].bytes, nals({kSei, kP1}));
}

/* ---- parameter sets before every key frame ------------------------------------ */

TEST(AnnexB, EveryKeyUnitGetsTheLastParameterSetsSeen) {
    auto units = parse(
        nals({kSpsA, kPpsA, kIdr, kP1, kIdr2, kP2, kSpsB, kPpsB, kIdr, kP1, kIdr2}));
    ASSERT_EQ(units.size(), 7u);
    EXPECT_EQ(units[0].bytes, nals({kSpsA, kPpsA, kIdr}));
    EXPECT_EQ(units[1].bytes, nals({kP1}));  // other pictures stay as they are
    EXPECT_EQ(units[2].bytes, nals({kSpsA, kPpsA, kIdr2}));
    EXPECT_EQ(units[3].bytes, nals({kP2}));
    EXPECT_EQ(units[4].bytes, nals({kSpsB, kPpsB, kIdr}));
    EXPECT_EQ(units[6].bytes, nals({kSpsB, kPpsB, kIdr2}));

    // Injected sets follow the delimiter, and a unit keeps its own SPS.
    units = parse(nals({kSpsA, kPpsA, kIdr, kAud, kSei, kIdr2, kAud, kSpsB, kIdr}));
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(units[1].bytes, nals({kAud, kSpsA, kPpsA, kSei, kIdr2}));
    EXPECT_EQ(units[2].bytes, nals({kAud, kSpsB, kPpsA, kIdr}));

    // Played in a loop, a key unit before the first sets follows the stream's
    // end and gets its last ones.
    units = parse(nals({kIdr, kP1, kSpsB, kPpsB, kIdr2}));
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(units[0].bytes, nals({kSpsB, kPpsB, kIdr}));
    EXPECT_EQ(units[2].bytes, nals({kSpsB, kPpsB, kIdr2}));

    // A stream without parameter sets is left alone.
    units = parse(nals({kIdr, kP1}));
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[0].bytes, nals({kIdr}));
}

TEST(Clip, MissingAndEmptyClipsAreReported) {
    h264::Clip clip;
    std::string error;
    EXPECT_FALSE(h264::loadClip("/nonexistent/clip.h264", clip, error));
    EXPECT_NE(error.find("/nonexistent/clip.h264"), std::string::npos) << error;
    const std::string junk = tempPath("junk.h264");
    std::ofstream(junk) << "no video here";
    error.clear();
    EXPECT_FALSE(h264::loadClip(junk, clip, error));
    EXPECT_NE(error.find("no H.264 picture"), std::string::npos) << error;
    std::filesystem::remove(junk);

    // The video service reports it and leaves no pool behind.
    VideoService service;
    VideoConfig config;
    config.mainClip = "/nonexistent/main.h264";
    error.clear();
    EXPECT_FALSE(service.start(config, 1, {}, error));
    EXPECT_NE(error.find("/nonexistent/main.h264"), std::string::npos);
    EXPECT_EQ(currentStreamPool(), nullptr);
}

/* ---- rings ------------------------------------------------------------------ */

TEST(StreamRing, FrameHeaderLayout) {
    StreamPool pool(3, {64, 64});
    Reader reader(pool, 2, 1);
    writeFrame(*pool.ring(2, 1), {1, 2, 3, 4, 5}, wire::FRAME_TYPE_KEY,
               0x0102030405060708ull);
    Bytes frame;
    ASSERT_EQ(reader.fetch(frame), Reader::Got::Frame);
    ASSERT_EQ(frame.size(), 37u);
    Bytes expected(32, 0);
    wire::putU32(expected.data(), 4, 5);
    wire::putU32(expected.data(), 8, 1);
    expected[12] = 2;
    expected[13] = 1;
    expected[14] = 1;
    wire::putU64(expected.data(), 16, 0x0102030405060708ull);
    expected.insert(expected.end(), {1, 2, 3, 4, 5});
    EXPECT_EQ(frame, expected);
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
    NetFrame* held = holdNext(pool, reader);
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
    EXPECT_EQ(lenOf(held), big.size());
    EXPECT_EQ(0, std::memcmp(held->data, big.data(), big.size()));
    pool.unlock(0, 0);
}

TEST(StreamRing, LockBelongsToTheCallingThread) {
    StreamPool pool(1, {16, 16});
    uint32_t cursor[5] = {};
    EXPECT_EQ(pool.unlock(0, 0), -1);               // not held
    EXPECT_EQ(pool.next(0, 0, cursor), nullptr);   // not held: nothing
    ASSERT_EQ(pool.lock(0, 0), 0);
    EXPECT_EQ(pool.lock(0, 0), -1);                // already held: no self-deadlock
    EXPECT_EQ(pool.next(0, 0, nullptr), nullptr);
    std::thread other([&] { EXPECT_EQ(pool.unlock(0, 0), -1); });
    other.join();
    EXPECT_EQ(pool.unlock(0, 0), 0);
    EXPECT_EQ(pool.unlock(0, 0), -1);
    // Another thread can take it now.
    std::thread taker([&] {
        EXPECT_EQ(pool.lock(0, 0), 0);
        EXPECT_EQ(pool.unlock(0, 0), 0);
    });
    taker.join();
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
    StreamPool empty(0, {16, 16});
    EXPECT_EQ(empty.ring(0, 0), nullptr);
}

TEST(StreamRing, WaitReturnsOnTheNextFrameOrAfterItsLimit) {
    StreamPool pool(1, {16, 16});
    StreamRing& ring = *pool.ring(0, 0);
    auto start = Clock::now();
    ring.waitForFrame(streampool::WAIT_LIMIT);
    auto waited = Clock::now() - start;
    EXPECT_GE(waited, 90ms);
    EXPECT_LT(waited, 1s);

    std::thread writer([&] {
        std::this_thread::sleep_for(50ms);
        writeFrame(ring, {1}, 1);
    });
    start = Clock::now();
    ring.waitForFrame(5000ms);
    waited = Clock::now() - start;
    writer.join();
    EXPECT_EQ(ring.writePosition(), 1u);
    EXPECT_LT(waited, 2s);
}

/* ---- producers ----------------------------------------------------------------- */

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

TEST(Producers, ClipChannelsStartAtDifferentKeyFrames) {
    auto material = clipMaterial(mediaPath("main.h264"));
    StreamPool pool = poolFor(*material, 3);
    std::vector<Reader> readers;
    for (int channel = 0; channel < 3; ++channel)
        for (int kind = 0; kind < 2; ++kind) readers.emplace_back(pool, channel, kind);
    StreamProducers producers(pool, clipConfig(25), material);
    start(producers);
    for (Reader& reader : readers) {
        auto frame = reader.nextFrame();
        ASSERT_TRUE(frame);
        const h264::Clip& clip = *material->clips[static_cast<size_t>(reader.kind)];
        // Channel c starts c seconds (25 frames) into the clip.
        const auto& unit = clip.units[static_cast<size_t>(reader.channel) * 25 % clip.units.size()];
        EXPECT_EQ(dataOf(*frame), unit.bytes)
            << "channel " << reader.channel << " kind " << reader.kind;
        EXPECT_EQ(typeOf(*frame), wire::FRAME_TYPE_KEY);
        EXPECT_EQ((*frame)[wire::FRAME_CHANNEL], reader.channel);
        EXPECT_EQ((*frame)[wire::FRAME_KIND], reader.kind);
        const uint64_t micros = wire::getU64(frame->data(), wire::FRAME_CAPTURE_TIME);
        const uint64_t now = static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(
                std::chrono::system_clock::now().time_since_epoch())
                .count());
        EXPECT_LE(micros, now);
        EXPECT_GT(micros + 10'000'000, now);
    }
}

TEST(Producers, KeyFrameRequestJumpsToTheClipsNextKeyFrame) {
    auto material = clipMaterial(mediaPath("main.h264"));
    StreamPool pool = poolFor(*material, 1);
    std::atomic<bool> requested{false};
    StreamProducers producers(pool, clipConfig(50), material, [&](int channel) {
        return channel == 0 && requested.exchange(false);
    });
    Reader main(pool, 0, 0);
    Reader sub(pool, 0, 1);
    start(producers);
    // Two frames each (the key frame, then an ordinary one), so that the next
    // key would be 20+ frames away.
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(main.nextFrame());
        ASSERT_TRUE(sub.nextFrame());
    }
    requested = true;
    for (Reader* reader : {&main, &sub}) {
        int waited = 0;
        for (;; ++waited) {
            auto frame = reader->nextFrame();
            ASSERT_TRUE(frame);
            if (typeOf(*frame) == wire::FRAME_TYPE_KEY) break;
        }
        // The frame made when the request was taken is the key frame; the
        // reader may have been a frame or two behind.
        EXPECT_LE(waited, 5) << "kind " << reader->kind;
    }
}

/* ---- concurrency ------------------------------------------------------------------ */

TEST(Concurrency, EightReadersSeeWholeFramesInOrder) {
    constexpr size_t kFrame = 5000;  // four fragments
    StreamPool pool(2, {kFrame, kFrame});
    auto material = loadMaterial(syntheticConfig(kFrame, 0));
    StreamProducers producers(pool, syntheticConfig(kFrame, 0), material);
    start(producers);

    std::atomic<bool> done{false};
    std::atomic<uint64_t> frames{0}, bad{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 8; ++r) {
        readers.emplace_back([&, r] {
            const int channel = r % 2;
            Reader reader(pool, channel, 0);
            uint32_t lastSeq = 0;
            Bytes frame;
            while (!done.load()) {
                pool.waitForFrame(channel, 0, streampool::WAIT_LIMIT);
                for (;;) {
                    const Reader::Got got = reader.fetch(frame);
                    if (got == Reader::Got::Nothing) break;
                    if (got == Reader::Got::Abandoned) continue;
                    const uint32_t seq = wire::getU32(frame.data(), wire::FRAME_SEQUENCE);
                    const bool ok =
                        frame.size() == kFrame + 32 && seq > lastSeq &&
                        frame[wire::FRAME_CHANNEL] == channel &&
                        std::memcmp(frame.data() + 32, material->pattern.data(), kFrame) == 0;
                    if (!ok) bad++;
                    lastSeq = seq;
                    frames++;
                    if (r == 0 && frames.load() % 100 == 0) producers.requestKeyFrame(channel);
                }
            }
        });
    }
    std::this_thread::sleep_for(1500ms);
    done = true;
    for (std::thread& t : readers) t.join();
    producers.stop();
    EXPECT_EQ(bad.load(), 0u);
    EXPECT_GT(frames.load(), 100u);
}

/* ---- the video service: deinit and restart ------------------------------------------ */

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
    NetFrame* held = holdNext(*pool, reader);
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
    streamPoolDeinit();   // no service: nothing
    streamPoolRestart();
}

TEST(VideoService, ReadersKeepRunningThroughDeinitAndRestart) {
    VideoService service;
    std::string error;
    ASSERT_TRUE(service.start(syntheticConfig(6000, 0), 1, {}, error)) << error;
    StreamPool& pool = *service.pool();
    std::atomic<bool> done{false};
    std::atomic<uint64_t> frames{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 4; ++r) {
        readers.emplace_back([&] {
            Reader reader(pool, 0, 0);
            Bytes frame;
            while (!done.load()) {
                pool.waitForFrame(0, 0, streampool::WAIT_LIMIT);
                while (reader.fetch(frame) != Reader::Got::Nothing) frames++;
            }
        });
    }
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(60ms);
        service.deinit();
        std::this_thread::sleep_for(30ms);
        ASSERT_TRUE(service.restart(error)) << error;
    }
    done = true;
    for (std::thread& t : readers) t.join();
    EXPECT_GT(frames.load(), 0u);
}

/* ---- the sample clips decode from any key frame -------------------------------------- */

// Plays `material` on three channels at 200 frames a second (the ring holds a
// third of a second); for each of `records` {channel, kind, count, file}
// starts a reader at the live end, skips to the first key frame and writes
// `count` frames' data to `file`.
struct Recording {
    int channel, kind, count;
    std::string file;
};
void recordFromKeyFrames(const std::shared_ptr<VideoMaterial>& material,
                         const std::vector<Recording>& records) {
    StreamPool pool = poolFor(*material, 3);
    StreamProducers producers(pool, clipConfig(200), material);
    start(producers);
    for (const Recording& r : records) {
        Reader reader(pool, r.channel, r.kind);
        std::ofstream out(r.file, std::ios::binary);
        for (int written = 0; written < r.count;) {
            auto frame = reader.nextFrame();
            ASSERT_TRUE(frame) << "frame " << written;
            if (written == 0 && typeOf(*frame) != wire::FRAME_TYPE_KEY) continue;
            out.write(reinterpret_cast<const char*>(frame->data() + 32),
                      static_cast<std::streamsize>(frame->size() - 32));
            ++written;
        }
    }
}

TEST(SampleClip, FramesFromAKeyFrameDecode) {
    if (!haveFfprobe()) GTEST_SKIP() << "ffprobe is not installed";
    // Joins mid-clip, goes over the clip's end and back to its start.
    const std::string mainFile = tempPath("main-ch2.h264");
    const std::string subFile = tempPath("sub-ch1.h264");
    recordFromKeyFrames(clipMaterial(mediaPath("main.h264")),
                        {{2, 0, 170, mainFile}, {1, 1, 60, subFile}});
    EXPECT_EQ(probe(mainFile), "640 360 170 ");
    EXPECT_EQ(probe(subFile), "320 180 60 ");
    std::filesystem::remove(mainFile);
    std::filesystem::remove(subFile);
}

}  // namespace
