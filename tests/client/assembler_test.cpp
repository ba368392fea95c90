// Frame reassembly, the H.264 file recorder and the multicast groups of the
// client library, fed with fragments laid out here by hand.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "netserver/wire.h"
#include "stream.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A frame as the device sends it: the 32-byte frame header (data length @4,
// sequence @8, channel @12, type @13) and the data, cut into payloads of 1400
// bytes, each behind a 16-byte header: sequence @0, data length @4, payload
// length @8, count @12, index (from 0) @13, type @14.
std::vector<Bytes> fragmentsOf(uint32_t seq, uint8_t type, uint8_t channel, const Bytes& data) {
    Bytes whole(32, 0);
    wire::putU32(whole.data(), 4, static_cast<uint32_t>(data.size()));
    wire::putU32(whole.data(), 8, seq);
    whole[12] = channel;
    whole[13] = type;
    whole.insert(whole.end(), data.begin(), data.end());
    std::vector<Bytes> out;
    for (size_t at = 0; at < whole.size(); at += 1400) {
        const size_t n = std::min<size_t>(1400, whole.size() - at);
        Bytes f(16, 0);
        wire::putU32(f.data(), 0, seq);
        wire::putU32(f.data(), 4, static_cast<uint32_t>(data.size()));
        wire::putU32(f.data(), 8, static_cast<uint32_t>(n));
        f[12] = static_cast<uint8_t>((whole.size() + 1399) / 1400);
        f[13] = static_cast<uint8_t>(at / 1400);
        f[14] = type;
        f.insert(f.end(), whole.begin() + static_cast<std::ptrdiff_t>(at),
                 whole.begin() + static_cast<std::ptrdiff_t>(at + n));
        out.push_back(std::move(f));
    }
    return out;
}

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

struct Collected {
    std::vector<uint32_t> seqs;
    std::vector<Bytes> data;
    std::vector<bool> afterLoss;
    recnet::FrameAssembler assembler{[this](const recnet::FrameView& v) {
        seqs.push_back(v.sequence);
        data.emplace_back(v.data, v.data + v.dataLength);
        afterLoss.push_back(v.afterLoss);
    }};
    void feed(const std::vector<Bytes>& frags) {
        for (const auto& f : frags) assembler.feed(f.data(), f.size());
    }
    uint64_t lost() const { return assembler.stats().lost; }
};

}  // namespace

TEST(FrameAssembler, ReassemblesFramesOfEverySize) {
    Collected c;
    uint32_t seq = 10;
    for (size_t n : {size_t(0), size_t(1), size_t(1368), size_t(1369), size_t(2768), size_t(65536),
                     size_t(400000), size_t(1048576 - 32)}) {
        const Bytes data = pattern(n, static_cast<uint8_t>(n));
        c.feed(fragmentsOf(seq, 2, 0, data));
        ASSERT_FALSE(c.seqs.empty());
        EXPECT_EQ(c.seqs.back(), seq++);
        EXPECT_EQ(c.data.back(), data) << "data length " << n;
    }
    EXPECT_EQ(c.seqs.size(), 8u);
    EXPECT_EQ(c.lost(), 0u);
    EXPECT_EQ(c.assembler.stats().badFragments, 0u);
}

TEST(FrameAssembler, AFrameMissingAFragmentIsDroppedAndCountedLost) {
    Collected c;
    c.feed(fragmentsOf(1, 1, 0, pattern(100, 1)));
    auto frags = fragmentsOf(2, 2, 0, pattern(5000, 2));
    frags.erase(frags.begin() + 1);  // fragment 1 of 4 never arrives
    c.feed(frags);
    c.feed(fragmentsOf(3, 2, 0, pattern(100, 3)));
    ASSERT_EQ(c.seqs.size(), 2u);
    EXPECT_EQ(c.seqs[1], 3u);
    EXPECT_TRUE(c.afterLoss[1]);
    EXPECT_EQ(c.lost(), 1u);
    // The last fragment missing shows when the next frame begins.
    frags = fragmentsOf(4, 2, 0, pattern(5000, 4));
    frags.pop_back();
    c.feed(frags);
    c.feed(fragmentsOf(5, 2, 0, pattern(10, 5)));
    EXPECT_EQ(c.lost(), 2u);
    EXPECT_EQ(c.seqs.back(), 5u);
    // A frame whose first fragment is missing.
    frags = fragmentsOf(6, 2, 0, pattern(5000, 6));
    frags.erase(frags.begin());
    c.feed(frags);
    c.feed(fragmentsOf(7, 2, 0, pattern(10, 7)));
    EXPECT_EQ(c.lost(), 3u);
    EXPECT_EQ(c.seqs.size(), 4u);
}

TEST(FrameAssembler, SequenceGapsCountLostFramesWithinOneChannelOnly) {
    Collected c;
    c.feed(fragmentsOf(100, 1, 0, pattern(10, 1)));
    c.feed(fragmentsOf(104, 2, 0, pattern(10, 2)));  // 101..103 never came
    EXPECT_EQ(c.lost(), 3u);
    EXPECT_TRUE(c.afterLoss[1]);
    // A tour's next channel has numbers of its own: no loss.
    c.feed(fragmentsOf(900, 1, 3, pattern(10, 3)));
    c.feed(fragmentsOf(20, 1, 1, pattern(10, 4)));
    EXPECT_EQ(c.lost(), 3u);
    EXPECT_EQ(c.seqs.size(), 4u);
}

TEST(FrameAssembler, InconsistentFragmentsAreRefused) {
    Collected c;
    const auto frags = fragmentsOf(1, 1, 0, pattern(3000, 1));
    // Payload length 0; a count that does not fit the data length; a data
    // length above the frame limit; a size that differs from the header's.
    for (auto [at, value] : {std::pair{8, 0u}, std::pair{12, 7u}, std::pair{4, 1048576u - 31}}) {
        Bytes bad = frags[0];
        wire::putU32(bad.data(), static_cast<size_t>(at), value);
        EXPECT_FALSE(c.assembler.feed(bad.data(), bad.size())) << "field @" << at;
    }
    EXPECT_FALSE(c.assembler.feed(frags[0].data(), frags[0].size() - 1));
    EXPECT_EQ(c.assembler.stats().badFragments, 4u);
    c.feed(frags);
    ASSERT_EQ(c.seqs.size(), 1u);
    EXPECT_EQ(c.data[0], pattern(3000, 1));
}

TEST(AnnexBRecorder, StartsAtAKeyFrameAndResyncsAfterLossOrChannelChange) {
    const std::string path = std::filesystem::temp_directory_path() /
                             std::to_string(getpid()).insert(0, "recnet-recorder-test-");
    {
        recnet::AnnexBRecorder rec(path);
        recnet::FrameAssembler a([&rec](const recnet::FrameView& v) { rec.write(v); });
        auto feed = [&a](uint32_t seq, uint8_t type, uint8_t channel, const Bytes& data) {
            for (const auto& f : fragmentsOf(seq, type, channel, data)) a.feed(f.data(), f.size());
        };
        feed(1, 2, 0, {0xAA});   // before the first key frame: skipped
        feed(2, 1, 0, {1, 2});   // written
        feed(3, 2, 0, {3});      // written
        feed(5, 2, 0, {0xBB});   // after a loss: skipped
        feed(6, 1, 0, {4});      // written
        feed(7, 2, 2, {0xCC});   // another channel, no key frame: skipped
        feed(8, 1, 2, {5, 6});   // written
        rec.close();
        EXPECT_EQ(rec.stats().frames, 4u);
        EXPECT_EQ(rec.stats().skipped, 3u);
        EXPECT_EQ(rec.stats().bytes, 6u);
    }
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), (Bytes{1, 2, 3, 4, 5, 6}));
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
