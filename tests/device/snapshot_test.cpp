/*
 * snapshot_test.cpp - the device's snapshot pictures, decoded again: sizes
 * per mode, a background per channel, the channel number and the time drawn
 * in white, quality against file size, the picture buffer's limit, and the
 * capacity never overrun.
 */
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "snapshot.h"

namespace {

using Bytes = std::vector<uint8_t>;
using snapshot::Request;

constexpr int64_t kTime = 1700000000;  // a fixed instant; the tests compare, not read, it

struct TjHandleDeleter {
    void operator()(void* handle) const { tjDestroy(handle); }
};

// Renders into a buffer of PICTURE_MAX bytes; fails the test on -1.
Bytes render(const Request& r) {
    Bytes out(snapshot::PICTURE_MAX);
    std::string error;
    const int size = snapshot::renderJpeg(r, out.data(), out.size(), error);
    EXPECT_GT(size, 0) << error;
    out.resize(size > 0 ? static_cast<size_t>(size) : 0);
    return out;
}

struct Picture {
    int width = 0;
    int height = 0;
    int subsampling = -1;
    Bytes rgb;
    // The pixel at (x, y), component k.
    int at(int x, int y, int k) const { return rgb[(static_cast<size_t>(y) * width + x) * 3 + k]; }
    // True when every component is above 220.
    bool nearWhite(int x, int y) const {
        return at(x, y, 0) > 220 && at(x, y, 1) > 220 && at(x, y, 2) > 220;
    }
};

// Decodes a JPEG to RGB; an empty picture when it does not decode.
Picture decode(const Bytes& jpeg) {
    Picture p;
    const std::unique_ptr<void, TjHandleDeleter> handle(tjInitDecompress());
    int colorspace = 0;
    if (!handle || jpeg.empty() ||
        tjDecompressHeader3(handle.get(), jpeg.data(), jpeg.size(), &p.width, &p.height,
                            &p.subsampling, &colorspace) != 0)
        return {};
    p.rgb.resize(static_cast<size_t>(p.width) * p.height * 3);
    if (tjDecompress2(handle.get(), jpeg.data(), jpeg.size(), p.rgb.data(), p.width, 0, p.height,
                      TJPF_RGB, 0) != 0)
        return {};
    return p;
}

// Near-white pixels in the rectangle [x0, x1) x [y0, y1).
int whiteCount(const Picture& p, int x0, int y0, int x1, int y1) {
    int n = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) n += p.nearWhite(x, y) ? 1 : 0;
    return n;
}

TEST(Snapshot, SizePerModeBaseline420ForAnyChannel) {
    struct Case {
        int channel, mode, width, height;
    };
    const Case cases[] = {{0, 0, 704, 576}, {0, 1, 352, 288}, {0, 2, 352, 288},
                          {0, -1, 352, 288}, {99, 1, 352, 288}, {INT_MAX, 1, 352, 288}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "channel " << c.channel << " mode " << c.mode);
        const Bytes jpeg = render({c.channel, kTime, 80, c.mode});
        ASSERT_GE(jpeg.size(), 4u);
        EXPECT_EQ(Bytes(jpeg.begin(), jpeg.begin() + 2), (Bytes{0xFF, 0xD8}));
        EXPECT_EQ(Bytes(jpeg.end() - 2, jpeg.end()), (Bytes{0xFF, 0xD9}));
        const Picture p = decode(jpeg);
        EXPECT_EQ(p.width, c.width);
        EXPECT_EQ(p.height, c.height);
        EXPECT_EQ(p.subsampling, TJSAMP_420);
    }
}

TEST(Snapshot, TextIsWhiteAndBackgroundIsNot) {
    for (int channel = 0; channel < 8; ++channel) {
        const Picture p = decode(render({channel, kTime, 90, 0}));
        ASSERT_EQ(p.width, 704);
        // The middle band holds no text: no white there.
        EXPECT_EQ(whiteCount(p, 0, 200, 704, 400), 0) << "channel " << channel;
        // The time ("YYYY-MM-DD HH:MM:SS") in the bottom band, "CH n" at the top.
        EXPECT_GT(whiteCount(p, 0, 432, 704, 576), 3000) << "channel " << channel;
        EXPECT_GT(whiteCount(p, 0, 0, 352, 144), 1000) << "channel " << channel;
    }
}

TEST(Snapshot, TimeChangesOnlyTheTimeText) {
    const Picture a = decode(render({0, kTime, 80, 0}));
    const Picture b = decode(render({0, kTime + 1, 80, 0}));
    ASSERT_EQ(a.rgb.size(), b.rgb.size());
    int changed = 0, changedAbove = 0;
    for (int y = 0; y < a.height; ++y)
        for (int x = 0; x < a.width; ++x)
            for (int k = 0; k < 3; ++k)
                if (a.at(x, y, k) != b.at(x, y, k)) {
                    ++changed;
                    changedAbove += y < a.height * 3 / 4 ? 1 : 0;
                }
    EXPECT_GT(changed, 100);
    EXPECT_EQ(changedAbove, 0);  // only the time's last digit, in the bottom band
}

TEST(Snapshot, QualityIsClampedTo1To100And100FitsThePictureBuffer) {
    const size_t best = render({3, kTime, 100, 0}).size();
    EXPECT_LE(best, snapshot::PICTURE_MAX);
    EXPECT_GT(best, render({3, kTime, 90, 0}).size());  // encoded at 100, not stepped down
    EXPECT_EQ(render({0, kTime, 0, 1}), render({0, kTime, 1, 1}));
    EXPECT_EQ(render({0, kTime, 200, 1}), render({0, kTime, 100, 1}));
}

TEST(Snapshot, StepsDownQualityToFitTheCapacity) {
    const size_t atRequested = render({1, kTime, 80, 0}).size();
    const size_t capacity = atRequested - 1;
    Bytes out(capacity + 64, 0xA5);
    std::string error;
    const int size = snapshot::renderJpeg({1, kTime, 80, 0}, out.data(), capacity, error);
    ASSERT_GT(size, 0) << error;
    EXPECT_LE(static_cast<size_t>(size), capacity);
    for (size_t i = capacity; i < out.size(); ++i) ASSERT_EQ(out[i], 0xA5) << "byte " << i;
    out.resize(static_cast<size_t>(size));
    EXPECT_EQ(decode(out).width, 704);
}

TEST(Snapshot, RefusalsWriteNothing) {
    struct Case {
        int channel;
        size_t capacity;
        bool nullOutput;
    };
    const Case cases[] = {{0, 0, false}, {0, 100, false}, {0, 2000, false},
                          {0, snapshot::PICTURE_MAX, true}, {-1, snapshot::PICTURE_MAX, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "channel " << c.channel << " capacity " << c.capacity);
        Bytes out(c.capacity + 64, 0xA5);
        std::string error;
        EXPECT_EQ(snapshot::renderJpeg({c.channel, kTime, 80, 0}, c.nullOutput ? nullptr : out.data(),
                                       c.capacity, error),
                  -1);
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(out, Bytes(c.capacity + 64, 0xA5));
    }
}

TEST(Snapshot, ConcurrentCallsGiveTheSameBytes) {
    // The module's threads take snapshots at the same time; each call is independent.
    const Bytes expected = render({2, kTime, 70, 1});
    std::vector<Bytes> results(4);
    std::vector<std::thread> threads;
    for (Bytes& result : results)
        threads.emplace_back([&result] { result = render({2, kTime, 70, 1}); });
    for (std::thread& t : threads) t.join();
    for (const Bytes& result : results) EXPECT_EQ(result, expected);
}

}  // namespace
