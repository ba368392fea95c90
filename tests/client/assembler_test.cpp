// Frame reassembly and the H.264 file recorder of the client library, fed
// with fragments built here from the documented layout.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "netserver/wire.h"
#include "stream.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct TestFrame {
    uint32_t seq = 0;
    uint8_t type = 2;
    uint8_t channel = 0;
    Bytes data;
};

/* The fragments of `f` as the server sends them. */
std::vector<Bytes> fragmentsOf(const TestFrame& f) {
    Bytes whole(32, 0);
    wire::putU32(whole.data(), 4, static_cast<uint32_t>(f.data.size()));
    wire::putU32(whole.data(), 8, f.seq);
    whole[12] = f.channel;
    whole[13] = f.type;
    whole.insert(whole.end(), f.data.begin(), f.data.end());
    std::vector<Bytes> out;
    uint32_t count = static_cast<uint32_t>((whole.size() + 1399) / 1400);
    for (uint32_t i = 0; i < count; ++i) {
        size_t start = static_cast<size_t>(i) * 1400;
        size_t n = std::min<size_t>(1400, whole.size() - start);
        Bytes frag(16 + n, 0);
        wire::putU32(frag.data(), 0, f.seq);
        wire::putU32(frag.data(), 4, static_cast<uint32_t>(f.data.size()));
        wire::putU32(frag.data(), 8, static_cast<uint32_t>(n));
        frag[12] = static_cast<uint8_t>(count);
        frag[13] = static_cast<uint8_t>(i);
        frag[14] = f.type;
        std::copy(whole.begin() + static_cast<std::ptrdiff_t>(start),
                  whole.begin() + static_cast<std::ptrdiff_t>(start + n), frag.begin() + 16);
        out.push_back(std::move(frag));
    }
    return out;
}

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

struct Collected {
    std::vector<TestFrame> frames;
    std::vector<bool> afterLoss;
    recnet::FrameAssembler assembler{[this](const recnet::FrameView& v) {
        TestFrame f;
        f.seq = v.sequence;
        f.type = v.type;
        f.channel = v.header[12];
        f.data.assign(v.data, v.data + v.dataLength);
        frames.push_back(f);
        afterLoss.push_back(v.afterLoss);
    }};
    void feed(const std::vector<Bytes>& frags) {
        for (const auto& f : frags) assembler.feed(f.data(), f.size());
    }
};

}  // namespace

TEST(FrameAssembler, ReassemblesFramesOfEverySize) {
    Collected c;
    uint32_t seq = 10;
    for (size_t n : {size_t(0), size_t(1), size_t(1368), size_t(1369), size_t(2768), size_t(65536),
                     size_t(400000), size_t(1048576 - 32)}) {
        TestFrame f{seq++, 2, 0, pattern(n, static_cast<uint8_t>(n))};
        c.feed(fragmentsOf(f));
        ASSERT_FALSE(c.frames.empty());
        EXPECT_EQ(c.frames.back().seq, f.seq);
        EXPECT_EQ(c.frames.back().data, f.data) << "data length " << n;
    }
    EXPECT_EQ(c.frames.size(), 8u);
    EXPECT_EQ(c.assembler.stats().lost, 0u);
    EXPECT_EQ(c.assembler.stats().badFragments, 0u);
}

TEST(FrameAssembler, AFrameMissingAFragmentIsDroppedAndCountedLost) {
    Collected c;
    c.feed(fragmentsOf({1, 1, 0, pattern(100, 1)}));
    auto frags = fragmentsOf({2, 2, 0, pattern(5000, 2)});
    frags.erase(frags.begin() + 1);  // fragment 1 of 4 never arrives
    c.feed(frags);
    c.feed(fragmentsOf({3, 2, 0, pattern(100, 3)}));
    ASSERT_EQ(c.frames.size(), 2u);
    EXPECT_EQ(c.frames[1].seq, 3u);
    EXPECT_TRUE(c.afterLoss[1]);
    EXPECT_EQ(c.assembler.stats().lost, 1u);

    // The last fragment missing shows when the next frame begins.
    frags = fragmentsOf({4, 2, 0, pattern(5000, 4)});
    frags.pop_back();
    c.feed(frags);
    c.feed(fragmentsOf({5, 2, 0, pattern(10, 5)}));
    EXPECT_EQ(c.assembler.stats().lost, 2u);
    EXPECT_EQ(c.frames.back().seq, 5u);

    // A frame whose first fragment is missing.
    frags = fragmentsOf({6, 2, 0, pattern(5000, 6)});
    frags.erase(frags.begin());
    c.feed(frags);
    c.feed(fragmentsOf({7, 2, 0, pattern(10, 7)}));
    EXPECT_EQ(c.assembler.stats().lost, 3u);
    EXPECT_EQ(c.frames.size(), 4u);
}

TEST(FrameAssembler, SequenceGapsCountLostFramesWithinOneChannelOnly) {
    Collected c;
    c.feed(fragmentsOf({100, 1, 0, pattern(10, 1)}));
    c.feed(fragmentsOf({104, 2, 0, pattern(10, 2)}));  // 101..103 never came
    EXPECT_EQ(c.assembler.stats().lost, 3u);
    EXPECT_TRUE(c.afterLoss[1]);
    // A tour's next channel has numbers of its own: no loss.
    c.feed(fragmentsOf({900, 1, 3, pattern(10, 3)}));
    c.feed(fragmentsOf({20, 1, 1, pattern(10, 4)}));
    EXPECT_EQ(c.assembler.stats().lost, 3u);
    EXPECT_EQ(c.frames.size(), 4u);
}

TEST(FrameAssembler, InconsistentFragmentsAreRefused) {
    Collected c;
    auto frags = fragmentsOf({1, 1, 0, pattern(3000, 1)});
    Bytes bad = frags[0];
    wire::putU32(bad.data(), 8, 0);  // payload length 0
    EXPECT_FALSE(c.assembler.feed(bad.data(), bad.size()));
    bad = frags[0];
    bad[12] = 7;  // count does not fit the data length
    EXPECT_FALSE(c.assembler.feed(bad.data(), bad.size()));
    bad = frags[0];
    EXPECT_FALSE(c.assembler.feed(bad.data(), bad.size() - 1));  // size differs from the header
    Bytes tooBig = frags[0];
    wire::putU32(tooBig.data(), 4, 1048576 - 31);  // above the frame limit
    EXPECT_FALSE(c.assembler.feed(tooBig.data(), tooBig.size()));
    EXPECT_EQ(c.assembler.stats().badFragments, 4u);
    c.feed(frags);
    ASSERT_EQ(c.frames.size(), 1u);
    EXPECT_EQ(c.frames[0].data, pattern(3000, 1));
}

TEST(FrameAssembler, BytesToCompleteCountsWhatTheFrameInProgressStillNeeds) {
    Collected c;
    EXPECT_EQ(c.assembler.bytesToComplete(), 0u);
    // 3000 data bytes: 3032 with the frame header, fragments of 1400, 1400 and
    // 232 payload bytes, 16 header bytes each.
    auto frags = fragmentsOf({7, 1, 0, pattern(3000, 1)});
    ASSERT_EQ(frags.size(), 3u);
    c.assembler.feed(frags[0].data(), frags[0].size());
    EXPECT_EQ(c.assembler.bytesToComplete(), size_t{16 + 1400 + 16 + 232});
    c.assembler.feed(frags[1].data(), frags[1].size());
    EXPECT_EQ(c.assembler.bytesToComplete(), size_t{16 + 232});
    c.assembler.feed(frags[2].data(), frags[2].size());
    EXPECT_EQ(c.assembler.bytesToComplete(), 0u);
    EXPECT_EQ(c.frames.size(), 1u);

    // A frame that loses a fragment is no longer in progress.
    auto next = fragmentsOf({8, 2, 0, pattern(5000, 2)});
    c.assembler.feed(next[0].data(), next[0].size());
    EXPECT_GT(c.assembler.bytesToComplete(), 0u);
    c.assembler.feed(next[2].data(), next[2].size());
    EXPECT_EQ(c.assembler.bytesToComplete(), 0u);
}

TEST(AnnexBRecorder, StartsAtAKeyFrameAndResyncsAfterLossOrChannelChange) {
    std::string path = (std::filesystem::temp_directory_path() /
                        ("recnet-recorder-test-" + std::to_string(getpid()) + ".h264"))
                           .string();
    {
        recnet::AnnexBRecorder rec(path);
        recnet::FrameAssembler a([&rec](const recnet::FrameView& v) { rec.write(v); });
        auto feed = [&a](const TestFrame& f) {
            for (const auto& fr : fragmentsOf(f)) a.feed(fr.data(), fr.size());
        };
        feed({1, 2, 0, Bytes{0xAA}});           // before the first key frame: skipped
        feed({2, 1, 0, Bytes{1, 2}});           // written
        feed({3, 2, 0, Bytes{3}});              // written
        feed({5, 2, 0, Bytes{0xBB}});           // after a loss: skipped
        feed({6, 1, 0, Bytes{4}});              // written
        feed({7, 2, 2, Bytes{0xCC}});           // another channel, no key frame: skipped
        feed({8, 1, 2, Bytes{5, 6}});           // written
        rec.close();
        EXPECT_EQ(rec.stats().frames, 4u);
        EXPECT_EQ(rec.stats().skipped, 3u);
        EXPECT_EQ(rec.stats().bytes, 6u);
    }
    std::ifstream in(path, std::ios::binary);
    Bytes got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(got, (Bytes{1, 2, 3, 4, 5, 6}));
    std::filesystem::remove(path);
}

TEST(MulticastGroup, AddressAndPortFollowChannelAndKind) {
    auto g = recnet::multicastGroup("239.255.0.0", 5500, 0, 0);
    EXPECT_EQ(g.address, "239.255.0.0");
    EXPECT_EQ(g.port, 5499);
    g = recnet::multicastGroup("239.1.2.3", 5500, 2, 1);
    EXPECT_EQ(g.address, "239.1.2.18");
    EXPECT_EQ(g.port, 5500 - 19);
    g = recnet::multicastGroup("239.255.0.0", 5, 3, 1);  // wraps modulo 65536
    EXPECT_EQ(g.port, (5 - 1 - 3 - 16 + 65536) % 65536);
    EXPECT_THROW(recnet::multicastGroup("nope", 5500, 0, 0), std::invalid_argument);
}
