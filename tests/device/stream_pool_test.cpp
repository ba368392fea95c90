/*
 * stream_pool_test.cpp - the device's stream pool, H.264 sources and
 * producers, in process: Annex B parsing, parameter sets before key frames,
 * the rings (wrap, sequence check, invalid flag, bounded waits, locking),
 * the producers, deinit and restart, eight concurrent readers, and the sample
 * clips decoded by ffprobe.
 */
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "h264_source.h"
#include "netserver/records.h"
#include "netserver/wire.h"
#include "stream_pool.h"
#include "stream_producer.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using streampool::StreamPool;
using streampool::StreamRing;

/* ---- helpers ------------------------------------------------------------ */

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A NAL unit behind a 4-byte start code, as the device writes them.
Bytes nal4(const Bytes& unit) { return concat({{0, 0, 0, 1}, unit}); }
Bytes nal3(const Bytes& unit) { return concat({{0, 0, 1}, unit}); }

std::vector<uint8_t> types(const std::vector<h264::NalUnit>& nals) {
    std::vector<uint8_t> out;
    for (const auto& n : nals) out.push_back(n.type);
    return out;
}

// The NAL unit types of an access unit's bytes.
std::vector<uint8_t> unitTypes(const h264::AccessUnit& unit) {
    return types(h264::splitNalUnits(unit.bytes.data(), unit.bytes.size()));
}

const Bytes kAud = {0x09, 0xF0};
const Bytes kSpsA = {0x67, 0x42, 0x00, 0x1E, 0xAB};
const Bytes kPpsA = {0x68, 0xCE, 0x3C, 0x80};
const Bytes kSpsB = {0x67, 0x42, 0x00, 0x28, 0xCD};
const Bytes kPpsB = {0x68, 0xCE, 0x06, 0xE2};
const Bytes kSei = {0x06, 0x05, 0x01, 0x11, 0x80};
const Bytes kIdr = {0x65, 0x88, 0x84, 0x21};       // first_mb_in_slice 0
const Bytes kIdrSecond = {0x65, 0x40, 0x11, 0x22};  // first_mb_in_slice not 0
const Bytes kP1 = {0x41, 0x9A, 0x11};
const Bytes kP2 = {0x41, 0x9A, 0x22};
const Bytes kIdr2 = {0x65, 0x88, 0x99, 0x31};

std::vector<h264::AccessUnit> parse(const Bytes& stream) {
    return h264::parseAccessUnits(stream.data(), stream.size());
}

// Writes one frame as the producer does.
void writeFrame(StreamRing& ring, const Bytes& data, uint8_t type, uint64_t micros = 0) {
    static const std::atomic<bool> never{false};
    const StreamRing::Writing w = ring.beginFrame(data.size(), never);
    ASSERT_NE(w.data, nullptr);
    if (!data.empty()) std::memcpy(w.data, data.data(), data.size());
    ASSERT_TRUE(ring.commitFrame(type, micros, never));
}

uint32_t seqOf(const NetFrame* f) { return wire::getU32(f->header, records::FRAME_SEQUENCE); }
uint32_t lenOf(const NetFrame* f) { return wire::getU32(f->header, records::FRAME_DATA_LENGTH); }

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
        cursor[0] = cursor[4] = pool.writePosition(channel, kind);
        cursor[1] = pool.writePosition(channel, kind);
    }

    // One frame: header and data into `out`.
    Got fetch(Bytes& out, size_t fragment = 1400) {
        if (pool.lock(channel, kind) != 0) return Got::Nothing;
        const NetFrame* f = pool.next(channel, kind, cursor);
        if (f == nullptr || f->invalid == 1) {
            pool.unlock(channel, kind);
            return Got::Nothing;
        }
        const size_t total = lenOf(f) + records::FRAME_HEADER_SIZE;
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
                out[i] = i < records::FRAME_HEADER_SIZE ? f->header[i]
                                                        : f->data[i - records::FRAME_HEADER_SIZE];
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

std::string mediaPath(const char* name) {
    return (std::filesystem::path(RECNET_MEDIA_DIR) / name).string();
}

std::string tempPath(const char* name) {
    return (std::filesystem::temp_directory_path() /
            ("recnet-pool-" + std::to_string(::getpid()) + "-" + name))
        .string();
}

bool haveFfprobe() { return std::system("command -v ffprobe >/dev/null 2>&1") == 0; }

// Runs a command and returns its standard output and error.
std::string run(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return out;
    char buf[512];
    while (std::fgets(buf, sizeof buf, pipe) != nullptr) out += buf;
    ::pclose(pipe);
    return out;
}

// ffprobe's decoded frame count and size of an H.264 file, "W H N".
std::string probe(const std::string& file) {
    return run("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
               "stream=width,height,nb_read_frames -of default=noprint_wrappers=1:nokey=1 '" +
               file + "' | tr '\\n' ' '");
}

std::shared_ptr<VideoMaterial> clipMaterial(const std::string& main, const std::string& sub) {
    VideoConfig config;
    config.mainClip = main;
    config.subClip = sub;
    auto material = std::make_shared<VideoMaterial>();
    std::string error;
    EXPECT_TRUE(loadVideoMaterial(config, *material, error)) << error;
    return material;
}

std::shared_ptr<VideoMaterial> syntheticMaterial(size_t frameSize) {
    VideoConfig config;
    config.source = VideoConfig::Source::Synthetic;
    config.frameSize = frameSize;
    auto material = std::make_shared<VideoMaterial>();
    std::string error;
    EXPECT_TRUE(loadVideoMaterial(config, *material, error)) << error;
    return material;
}

/* ---- Annex B parsing -------------------------------------------------------- */

TEST(AnnexB, SplitsUnitsBehindThreeAndFourByteStartCodes) {
    const Bytes stream = concat({{0xFF, 0x17},  // before the first start code: skipped
                                 nal4(kAud), nal3(kSpsA), nal3(kPpsA), nal4(kIdr),
                                 nal3(kIdrSecond), nal4(kP1), nal3(kP2), {0, 0}});
    const auto nals = h264::splitNalUnits(stream.data(), stream.size());
    ASSERT_EQ(types(nals), (std::vector<uint8_t>{9, 7, 8, 5, 5, 1, 1}));
    // Each unit is exactly its bytes: no start code, no zero byte of a 4-byte
    // start code that follows, no trailing zeros at the end.
    const std::vector<Bytes> expected = {kAud, kSpsA, kPpsA, kIdr, kIdrSecond, kP1, kP2};
    for (size_t i = 0; i < nals.size(); ++i)
        EXPECT_EQ(Bytes(stream.begin() + nals[i].offset,
                        stream.begin() + nals[i].offset + nals[i].size),
                  expected[i])
            << "unit " << i;
}

TEST(AnnexB, EmptyAndStartCodeOnlyInputsHaveNoUnits) {
    EXPECT_TRUE(h264::splitNalUnits(nullptr, 0).empty());
    const Bytes codes = {0, 0, 1, 0, 0, 0, 1, 0, 0};
    EXPECT_TRUE(h264::splitNalUnits(codes.data(), codes.size()).empty());
    EXPECT_TRUE(parse(codes).empty());
}

TEST(AnnexB, GroupsAccessUnitsByDelimiterAndFirstSlice) {
    const Bytes stream = concat({nal4(kAud), nal3(kSpsA), nal3(kPpsA), nal4(kIdr),
                                 nal3(kIdrSecond), nal4(kAud), nal4(kP1), nal3(kP2)});
    const auto units = parse(stream);
    ASSERT_EQ(units.size(), 3u);
    EXPECT_TRUE(units[0].key);
    EXPECT_EQ(units[0].bytes,
              concat({nal4(kAud), nal4(kSpsA), nal4(kPpsA), nal4(kIdr), nal4(kIdrSecond)}));
    EXPECT_FALSE(units[1].key);
    EXPECT_EQ(units[1].bytes, concat({nal4(kAud), nal4(kP1)}));
    EXPECT_FALSE(units[2].key);  // a first slice starts a unit without a delimiter
    EXPECT_EQ(units[2].bytes, nal4(kP2));
}

TEST(AnnexB, SeiAndParameterSetsAfterSlicesStartTheNextUnit) {
    const Bytes stream = concat({nal4(kSpsA), nal4(kPpsA), nal4(kIdr), nal4(kSei), nal4(kP1),
                                 nal4(kSpsB), nal4(kPpsB)});  // trailing sets: no picture
    const auto units = parse(stream);
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(unitTypes(units[0]), (std::vector<uint8_t>{7, 8, 5}));
    EXPECT_EQ(unitTypes(units[1]), (std::vector<uint8_t>{6, 1}));
}

/* ---- parameter sets before every key frame ------------------------------------ */

TEST(AnnexB, EveryKeyUnitGetsTheLastParameterSetsSeen) {
    const Bytes stream = concat({nal4(kSpsA), nal4(kPpsA), nal4(kIdr), nal4(kP1), nal4(kIdr2),
                                 nal4(kP2), nal4(kSpsB), nal4(kPpsB), nal4(kIdr), nal4(kP1),
                                 nal4(kIdr2)});
    const auto units = parse(stream);
    ASSERT_EQ(units.size(), 7u);
    EXPECT_EQ(units[0].bytes, concat({nal4(kSpsA), nal4(kPpsA), nal4(kIdr)}));
    EXPECT_EQ(units[1].bytes, nal4(kP1));  // other pictures stay as they are
    EXPECT_EQ(units[2].bytes, concat({nal4(kSpsA), nal4(kPpsA), nal4(kIdr2)}));
    EXPECT_EQ(units[3].bytes, nal4(kP2));
    EXPECT_EQ(units[4].bytes, concat({nal4(kSpsB), nal4(kPpsB), nal4(kIdr)}));
    EXPECT_EQ(units[6].bytes, concat({nal4(kSpsB), nal4(kPpsB), nal4(kIdr2)}));
    for (const auto& unit : units) {
        if (!unit.key) continue;
        const auto t = unitTypes(unit);
        ASSERT_GE(t.size(), 3u);
        EXPECT_EQ(t[0], h264::NAL_SPS);
        EXPECT_EQ(t[1], h264::NAL_PPS);
    }
}

TEST(AnnexB, InjectedSetsFollowTheDelimiterAndKeepTheUnitsOwn) {
    // Key unit with a delimiter and no sets; key unit with its own SPS only.
    const Bytes stream = concat({nal4(kSpsA), nal4(kPpsA), nal4(kIdr), nal4(kAud), nal4(kSei),
                                 nal4(kIdr2), nal4(kAud), nal4(kSpsB), nal4(kIdr)});
    const auto units = parse(stream);
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(units[1].bytes,
              concat({nal4(kAud), nal4(kSpsA), nal4(kPpsA), nal4(kSei), nal4(kIdr2)}));
    EXPECT_EQ(units[2].bytes, concat({nal4(kAud), nal4(kSpsB), nal4(kPpsA), nal4(kIdr)}));
}

TEST(AnnexB, KeyUnitBeforeTheFirstSetsGetsTheStreamsLastOnes) {
    // Played in a loop, the unit at the start follows the stream's end.
    const Bytes stream = concat({nal4(kIdr), nal4(kP1), nal4(kSpsB), nal4(kPpsB), nal4(kIdr2)});
    const auto units = parse(stream);
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(units[0].bytes, concat({nal4(kSpsB), nal4(kPpsB), nal4(kIdr)}));
    EXPECT_EQ(units[2].bytes, concat({nal4(kSpsB), nal4(kPpsB), nal4(kIdr2)}));
}

TEST(AnnexB, StreamWithoutParameterSetsIsLeftAlone) {
    const auto units = parse(concat({nal4(kIdr), nal4(kP1)}));
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[0].bytes, nal4(kIdr));
}

TEST(Clip, KeyAtOrAfterWraps) {
    h264::Clip clip;
    for (bool key : {true, false, false, true, false}) clip.units.push_back({{1}, key});
    EXPECT_EQ(clip.keyAtOrAfter(0), 0u);
    EXPECT_EQ(clip.keyAtOrAfter(1), 3u);
    EXPECT_EQ(clip.keyAtOrAfter(3), 3u);
    EXPECT_EQ(clip.keyAtOrAfter(4), 0u);
}

TEST(Clip, LoadReportsMissingAndEmptyFiles) {
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
}

TEST(Clip, SampleClipsHaveKeyFramesEverySecondWithParameterSets) {
    for (const char* name : {"main.h264", "sub.h264"}) {
        h264::Clip clip;
        std::string error;
        ASSERT_TRUE(h264::loadClip(mediaPath(name), clip, error)) << error;
        EXPECT_GE(clip.units.size(), 75u) << name;
        size_t keys = 0;
        for (size_t i = 0; i < clip.units.size(); ++i) {
            EXPECT_EQ(clip.units[i].key, i % 25 == 0) << name << " unit " << i;
            if (!clip.units[i].key) continue;
            ++keys;
            const auto t = unitTypes(clip.units[i]);
            EXPECT_NE(std::find(t.begin(), t.end(), h264::NAL_SPS), t.end());
            EXPECT_NE(std::find(t.begin(), t.end(), h264::NAL_PPS), t.end());
        }
        EXPECT_GE(keys, 3u);
    }
    // Small enough to live in the repository.
    EXPECT_LT(std::filesystem::file_size(mediaPath("main.h264")) +
                  std::filesystem::file_size(mediaPath("sub.h264")),
              1000000u);
}

/* ---- rings ------------------------------------------------------------------ */

TEST(StreamRing, FrameHeaderLayout) {
    StreamPool pool(3, {64, 64});
    StreamRing& ring = *pool.ring(2, 1);
    Reader reader(pool, 2, 1);
    writeFrame(ring, {1, 2, 3, 4, 5}, records::FRAME_TYPE_KEY, 0x0102030405060708ull);
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

TEST(StreamRing, ReaderStartsAtTheLiveEndAndFollowsInOrder) {
    StreamPool pool(1, {16, 16});
    StreamRing& ring = *pool.ring(0, 0);
    writeFrame(ring, {9}, 1);  // before the reader: not seen
    Reader reader(pool, 0, 0);
    Bytes frame;
    EXPECT_EQ(reader.fetch(frame), Reader::Got::Nothing);
    for (uint8_t i = 0; i < 5; ++i) writeFrame(ring, {i}, 2);
    for (uint8_t i = 0; i < 5; ++i) {
        ASSERT_EQ(reader.fetch(frame), Reader::Got::Frame);
        EXPECT_EQ(frame.back(), i);
        EXPECT_EQ(reader.cursor[2], i + 2u);  // sequence numbers rise from 1
    }
    EXPECT_EQ(reader.fetch(frame), Reader::Got::Nothing);
    EXPECT_EQ(reader.cursor[0], ring.writePosition());
}

TEST(StreamRing, SlowReaderResumesAtTheLiveEnd) {
    StreamPool pool(1, {16, 16});
    StreamRing& ring = *pool.ring(0, 0);
    const unsigned slots = ring.slotCount();
    Reader keeps(pool, 0, 0);
    Reader falls(pool, 0, 0);
    // The newest slots - 1 frames stay readable.
    for (unsigned i = 0; i < slots - 1; ++i) writeFrame(ring, {static_cast<uint8_t>(i)}, 2);
    Bytes frame;
    ASSERT_EQ(keeps.fetch(frame), Reader::Got::Frame);
    EXPECT_EQ(frame.back(), 0);
    // Two more frames: `falls`, still at the first, is a ring behind.
    writeFrame(ring, {100}, 2);
    writeFrame(ring, {101}, 2);
    EXPECT_EQ(falls.fetch(frame), Reader::Got::Nothing);
    EXPECT_EQ(falls.cursor[0], ring.writePosition());
    writeFrame(ring, {102}, 1);
    ASSERT_EQ(falls.fetch(frame), Reader::Got::Frame);
    EXPECT_EQ(frame.back(), 102);
    EXPECT_EQ(falls.cursor[2], slots + 2);
    // `keeps` was one frame further: it too is now a whole ring behind.
    EXPECT_EQ(keeps.fetch(frame), Reader::Got::Nothing);
    // Positions survive many wraps of the slot index.
    for (unsigned i = 0; i < 10 * slots; ++i) writeFrame(ring, {1}, 2);
    EXPECT_EQ(ring.writePosition(), 11 * slots + 2);
}

TEST(StreamRing, SequenceCheckSeesAReusedSlot) {
    StreamPool pool(1, {16, 16});
    StreamRing& ring = *pool.ring(0, 0);
    Reader reader(pool, 0, 0);
    writeFrame(ring, {7}, 1);
    ASSERT_EQ(pool.lock(0, 0), 0);
    NetFrame* held = pool.next(0, 0, reader.cursor);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(seqOf(held), reader.cursor[2]);
    ASSERT_EQ(pool.unlock(0, 0), 0);
    // The record stays where it is while the ring goes round once.
    for (unsigned i = 0; i < ring.slotCount(); ++i) writeFrame(ring, {8}, 2);
    ASSERT_EQ(pool.lock(0, 0), 0);
    EXPECT_EQ(held->invalid, 0u);
    EXPECT_NE(seqOf(held), reader.cursor[2]);
    ASSERT_EQ(pool.unlock(0, 0), 0);
}

TEST(StreamRing, SlotIsInvalidWhileItIsRewritten) {
    StreamPool pool(1, {16, 16});
    StreamRing& ring = *pool.ring(0, 0);
    Reader reader(pool, 0, 0);
    writeFrame(ring, {7}, 1);
    pool.lock(0, 0);
    NetFrame* held = pool.next(0, 0, reader.cursor);
    ASSERT_NE(held, nullptr);
    pool.unlock(0, 0);
    for (unsigned i = 1; i < ring.slotCount(); ++i) writeFrame(ring, {8}, 2);
    pool.lock(0, 0);
    EXPECT_EQ(held->invalid, 0u);  // not reached yet
    EXPECT_EQ(seqOf(held), reader.cursor[2]);
    pool.unlock(0, 0);

    // The producer starts the frame that goes into the held record's slot and
    // grows its buffer: the record is invalid until the frame is published.
    static const std::atomic<bool> never{false};
    const Bytes big(5000, 0x5A);
    const StreamRing::Writing w = ring.beginFrame(big.size(), never);
    ASSERT_NE(w.data, nullptr);
    pool.lock(0, 0);
    EXPECT_EQ(held->invalid, 1u);
    pool.unlock(0, 0);
    std::memcpy(w.data, big.data(), big.size());
    ASSERT_TRUE(ring.commitFrame(2, 0, never));
    pool.lock(0, 0);
    EXPECT_EQ(held->invalid, 0u);
    EXPECT_NE(seqOf(held), reader.cursor[2]);
    EXPECT_EQ(lenOf(held), big.size());
    EXPECT_EQ(0, std::memcmp(held->data, big.data(), big.size()));
    pool.unlock(0, 0);
}

TEST(StreamRing, ReaderAbandonsAFrameRewrittenBetweenFragments) {
    StreamPool pool(1, {4000, 4000});
    StreamRing& ring = *pool.ring(0, 0);
    Reader reader(pool, 0, 0);
    writeFrame(ring, Bytes(3000, 1), 1);
    pool.lock(0, 0);
    NetFrame* held = pool.next(0, 0, reader.cursor);
    ASSERT_NE(held, nullptr);
    pool.unlock(0, 0);
    for (unsigned i = 0; i < ring.slotCount(); ++i) writeFrame(ring, Bytes(3000, 2), 2);
    // The sender's check before fragment 1.
    pool.lock(0, 0);
    const bool reused = seqOf(held) != reader.cursor[2] || held->invalid == 1;
    pool.unlock(0, 0);
    EXPECT_TRUE(reused);
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

TEST(StreamRing, SlotCountsArePowersOfTwoWithinTheBudget) {
    const size_t mib = size_t{1} << 20;
    for (size_t bytes : {size_t{0}, size_t{1000}, size_t{200000}, mib, 4 * mib}) {
        const unsigned n = streampool::slotCountFor(bytes);
        EXPECT_TRUE(std::has_single_bit(n)) << bytes;
        EXPECT_GE(n, 8u);
        EXPECT_LE(n, 64u);
    }
    EXPECT_EQ(streampool::slotCountFor(20000), 64u);
    EXPECT_EQ(streampool::slotCountFor(size_t{1} << 20), 16u);
}

/* ---- producers ----------------------------------------------------------------- */

TEST(Producers, SyntheticOnDemandMakesFramesOnlyForReaders) {
    StreamPool pool(1, {3000, 3000});
    VideoConfig config;
    config.source = VideoConfig::Source::Synthetic;
    config.frameSize = 3000;
    config.fps = 0;
    auto material = syntheticMaterial(3000);
    StreamProducers producers(pool, config, material);
    std::string error;
    ASSERT_TRUE(producers.start(error)) << error;
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(pool.writePosition(0, 0), 0u);  // no reader, no frame

    Reader reader(pool, 0, 0);
    std::vector<uint32_t> keys;
    for (int i = 0; i < 60; ++i) {
        auto frame = reader.nextFrame();
        ASSERT_TRUE(frame) << "frame " << i;
        ASSERT_EQ(frame->size(), 3032u);
        EXPECT_EQ(0, std::memcmp(frame->data() + 32, material->pattern.data(), 3000));
        if ((*frame)[records::FRAME_TYPE] == records::FRAME_TYPE_KEY)
            keys.push_back(wire::getU32(frame->data(), records::FRAME_SEQUENCE));
        else
            EXPECT_EQ((*frame)[records::FRAME_TYPE], records::FRAME_TYPE_OTHER);
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
        key = (*frame)[records::FRAME_TYPE] == records::FRAME_TYPE_KEY;
    }
    EXPECT_TRUE(key);
    producers.stop();
    EXPECT_FALSE(producers.running());
}

TEST(Producers, SyntheticRealTimeKeepsItsRateAndKeyInterval) {
    StreamPool pool(1, {100, 100});
    VideoConfig config;
    config.source = VideoConfig::Source::Synthetic;
    config.frameSize = 100;
    config.fps = 50;
    StreamProducers producers(pool, config, syntheticMaterial(100));
    std::string error;
    ASSERT_TRUE(producers.start(error)) << error;
    std::this_thread::sleep_for(500ms);
    const uint32_t made = pool.writePosition(0, 0);
    EXPECT_GE(made, 15u);
    EXPECT_LE(made, 35u);
    producers.stop();
    // Frame 1 and frame 51 would be keys; check the first one.
    Reader reader(pool, 0, 0);
    reader.cursor[0] = 0;
    Bytes frame;
    ASSERT_EQ(reader.fetch(frame), Reader::Got::Frame);
    EXPECT_EQ(frame[records::FRAME_TYPE], records::FRAME_TYPE_KEY);
    ASSERT_EQ(reader.fetch(frame), Reader::Got::Frame);
    EXPECT_EQ(frame[records::FRAME_TYPE], records::FRAME_TYPE_OTHER);
}

TEST(Producers, ClipChannelsStartAtDifferentKeyFrames) {
    auto material = clipMaterial(mediaPath("main.h264"), mediaPath("sub.h264"));
    StreamPool pool(3, {material->largestFrame(0), material->largestFrame(1)});
    VideoConfig config;
    config.clipFps = 25;
    std::vector<Reader> readers;
    for (int channel = 0; channel < 3; ++channel)
        for (int kind = 0; kind < 2; ++kind) readers.emplace_back(pool, channel, kind);
    StreamProducers producers(pool, config, material);
    std::string error;
    ASSERT_TRUE(producers.start(error)) << error;
    for (Reader& reader : readers) {
        auto frame = reader.nextFrame();
        ASSERT_TRUE(frame);
        const h264::Clip& clip = *material->clips[static_cast<size_t>(reader.kind)];
        // Channel c starts c seconds (25 frames) into the clip.
        const auto& unit = clip.units[static_cast<size_t>(reader.channel) * 25 % clip.units.size()];
        EXPECT_EQ(Bytes(frame->begin() + 32, frame->end()), unit.bytes)
            << "channel " << reader.channel << " kind " << reader.kind;
        EXPECT_EQ((*frame)[records::FRAME_TYPE], records::FRAME_TYPE_KEY);
        EXPECT_EQ((*frame)[records::FRAME_CHANNEL], reader.channel);
        EXPECT_EQ((*frame)[records::FRAME_KIND], reader.kind);
        const uint64_t micros = wire::getU64(frame->data(), records::FRAME_CAPTURE_TIME);
        const uint64_t now = static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(
                std::chrono::system_clock::now().time_since_epoch())
                .count());
        EXPECT_LE(micros, now);
        EXPECT_GT(micros + 10'000'000, now);
    }
}

TEST(Producers, KeyFrameRequestJumpsToTheClipsNextKeyFrame) {
    auto material = clipMaterial(mediaPath("main.h264"), mediaPath("sub.h264"));
    StreamPool pool(1, {material->largestFrame(0), material->largestFrame(1)});
    std::atomic<bool> requested{false};
    VideoConfig config;
    config.clipFps = 50;
    StreamProducers producers(pool, config, material,
                              [&](int channel) {
                                  return channel == 0 && requested.exchange(false);
                              });
    Reader main(pool, 0, 0);
    Reader sub(pool, 0, 1);
    std::string error;
    ASSERT_TRUE(producers.start(error)) << error;
    ASSERT_TRUE(main.nextFrame());
    ASSERT_TRUE(sub.nextFrame());
    // Two ordinary frames each, so that the next key would be 20+ frames away.
    ASSERT_TRUE(main.nextFrame());
    ASSERT_TRUE(sub.nextFrame());
    requested = true;
    for (Reader* reader : {&main, &sub}) {
        int waited = 0;
        for (;; ++waited) {
            auto frame = reader->nextFrame();
            ASSERT_TRUE(frame);
            if ((*frame)[records::FRAME_TYPE] == records::FRAME_TYPE_KEY) break;
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
    VideoConfig config;
    config.source = VideoConfig::Source::Synthetic;
    config.frameSize = kFrame;
    config.fps = 0;
    auto material = syntheticMaterial(kFrame);
    StreamProducers producers(pool, config, material);
    std::string error;
    ASSERT_TRUE(producers.start(error)) << error;

    std::atomic<bool> done{false};
    std::atomic<uint64_t> frames{0}, abandoned{0}, bad{0};
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
                    if (got == Reader::Got::Abandoned) {
                        abandoned++;
                        continue;
                    }
                    const uint32_t seq = wire::getU32(frame.data(), records::FRAME_SEQUENCE);
                    const bool ok =
                        frame.size() == kFrame + 32 && seq > lastSeq &&
                        frame[records::FRAME_CHANNEL] == channel &&
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
    std::printf("[          ] %llu frames read, %llu abandoned\n",
                static_cast<unsigned long long>(frames.load()),
                static_cast<unsigned long long>(abandoned.load()));
}

/* ---- the video service: deinit and restart ------------------------------------------ */

TEST(VideoService, DeinitStopsFramesAndRestartBringsThemBack) {
    VideoService service;
    VideoConfig config;
    config.source = VideoConfig::Source::Synthetic;
    config.frameSize = 2000;
    config.fps = 200;
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
    ASSERT_EQ(pool->lock(1, 1), 0);
    NetFrame* held = pool->next(1, 1, reader.cursor);
    ASSERT_NE(held, nullptr);
    ASSERT_EQ(pool->unlock(1, 1), 0);

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
    EXPECT_EQ((*frame)[records::FRAME_TYPE], records::FRAME_TYPE_KEY);  // a fresh start

    service.stop();
    EXPECT_EQ(currentStreamPool(), nullptr);
    streamPoolDeinit();   // no service: nothing
    streamPoolRestart();
}

TEST(VideoService, ReadersKeepRunningThroughDeinitAndRestart) {
    VideoService service;
    VideoConfig config;
    config.source = VideoConfig::Source::Synthetic;
    config.frameSize = 6000;
    config.fps = 0;
    std::string error;
    ASSERT_TRUE(service.start(config, 1, {}, error)) << error;
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

TEST(VideoService, MissingClipIsReported) {
    VideoService service;
    VideoConfig config;
    config.mainClip = "/nonexistent/main.h264";
    std::string error;
    EXPECT_FALSE(service.start(config, 1, {}, error));
    EXPECT_NE(error.find("/nonexistent/main.h264"), std::string::npos);
    EXPECT_EQ(currentStreamPool(), nullptr);
}

/* ---- the sample clips decode from any key frame -------------------------------------- */

// Starts a reader at the live end, skips to the first key frame (other than
// one whose data is `avoid`) and writes `count` frames' data to `file`.
void recordFromKeyFrame(const StreamPool& pool, int channel, int kind, int count,
                        const std::string& file, const Bytes& avoid = {}) {
    Reader reader(pool, channel, kind);
    std::ofstream out(file, std::ios::binary);
    int written = 0;
    while (written < count) {
        auto frame = reader.nextFrame();
        ASSERT_TRUE(frame) << "frame " << written;
        if (written == 0 && ((*frame)[records::FRAME_TYPE] != records::FRAME_TYPE_KEY ||
                             Bytes(frame->begin() + 32, frame->end()) == avoid))
            continue;
        out.write(reinterpret_cast<const char*>(frame->data() + 32),
                  static_cast<std::streamsize>(frame->size() - 32));
        ++written;
    }
}

TEST(SampleClip, FramesFromAKeyFrameDecode) {
    if (!haveFfprobe()) GTEST_SKIP() << "ffprobe is not installed";
    auto material = clipMaterial(mediaPath("main.h264"), mediaPath("sub.h264"));
    StreamPool pool(3, {material->largestFrame(0), material->largestFrame(1)});
    VideoConfig config;
    config.clipFps = 200;  // quick; the ring holds a third of a second
    StreamProducers producers(pool, config, material);
    std::string error;
    ASSERT_TRUE(producers.start(error)) << error;
    // Joins mid-clip, goes over the clip's end and back to its start.
    const std::string mainFile = tempPath("main-ch2.h264");
    const std::string subFile = tempPath("sub-ch1.h264");
    recordFromKeyFrame(pool, 2, 0, 170, mainFile);
    recordFromKeyFrame(pool, 1, 1, 60, subFile);
    producers.stop();
    EXPECT_EQ(probe(mainFile), "640 360 170 ");
    EXPECT_EQ(probe(subFile), "320 180 60 ");
    std::filesystem::remove(mainFile);
    std::filesystem::remove(subFile);
}

TEST(SampleClip, ParameterSetsOnlyOnceStillDecodeFromLaterKeyFrames) {
    if (!haveFfprobe()) GTEST_SKIP() << "ffprobe is not installed";
    // The sample clip with its SPS and PPS removed everywhere but at the start.
    std::ifstream in(mediaPath("main.h264"), std::ios::binary);
    const Bytes original((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Bytes stripped;
    int sps = 0, pps = 0;
    for (const auto& nal : h264::splitNalUnits(original.data(), original.size())) {
        if (nal.type == h264::NAL_SPS && sps++ > 0) continue;
        if (nal.type == h264::NAL_PPS && pps++ > 0) continue;
        stripped.insert(stripped.end(), {0, 0, 0, 1});
        stripped.insert(stripped.end(), original.begin() + nal.offset,
                        original.begin() + nal.offset + nal.size);
    }
    ASSERT_GT(sps, 1);
    const std::string strippedFile = tempPath("stripped.h264");
    std::ofstream(strippedFile, std::ios::binary)
        .write(reinterpret_cast<const char*>(stripped.data()),
               static_cast<std::streamsize>(stripped.size()));
    auto material = clipMaterial(strippedFile, mediaPath("sub.h264"));
    StreamPool pool(3, {material->largestFrame(0), material->largestFrame(1)});
    VideoConfig config;
    config.clipFps = 200;
    StreamProducers producers(pool, config, material);
    std::string error;
    ASSERT_TRUE(producers.start(error)) << error;
    // From a key frame other than the clip's first, which has its own sets.
    const std::string file = tempPath("stripped-ch2.h264");
    recordFromKeyFrame(pool, 2, 0, 40, file, material->clips[0]->units[0].bytes);
    producers.stop();
    EXPECT_EQ(probe(file), "640 360 40 ");
    std::filesystem::remove(file);
    std::filesystem::remove(strippedFile);
}

}  // namespace
