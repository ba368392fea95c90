// The device's snapshot pictures, decoded again: sizes per mode, the channel
// number and the time drawn in white, quality against file size, the picture
// buffer's limit and a capacity never overrun.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <memory>
#include <numeric>
#include <thread>

#include "snapshot.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int64_t kTime = 1700000000;  // a fixed instant; the tests compare, not read, it

// Renders into a buffer of PICTURE_MAX bytes; fails the test on -1.
Bytes render(int channel, int quality, int mode, int64_t time = kTime) {
    Bytes out(snapshot::PICTURE_MAX);
    std::string error;
    const int size = snapshot::renderJpeg({channel, time, quality, mode}, out.data(), out.size(), error);
    EXPECT_GT(size, 0) << error;
    out.resize(size > 0 ? static_cast<size_t>(size) : 0);
    return out;
}

struct Picture {
    int width = 0, height = 0, subsampling = -1;
    Bytes rgb;
    // Near-white pixels (every component above 220) in [x0, x1) x [y0, y1).
    int white(int x0, int y0, int x1, int y1) const {
        int n = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) {
                const uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
                n += p[0] > 220 && p[1] > 220 && p[2] > 220 ? 1 : 0;
            }
        return n;
    }
};

// Decodes a JPEG to RGB; an empty picture when it does not decode.
Picture decode(const Bytes& jpeg) {
    Picture p;
    const std::unique_ptr<void, int (*)(tjhandle)> handle(tjInitDecompress(), tjDestroy);
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

TEST(Snapshot, SizePerModeBaseline420ForAnyChannel) {
    struct Case {
        int channel, mode, width, height;
    };
    const Case cases[] = {{0, 0, 704, 576}, {0, 1, 352, 288}, {0, 2, 352, 288},
                          {0, -1, 352, 288}, {99, 1, 352, 288}, {INT_MAX, 1, 352, 288}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "channel " << c.channel << " mode " << c.mode);
        const Bytes jpeg = render(c.channel, 80, c.mode);
        ASSERT_GE(jpeg.size(), 4u);
        EXPECT_EQ(Bytes(jpeg.end() - 2, jpeg.end()), (Bytes{0xFF, 0xD9}));  // ends with EOI
        const Picture p = decode(jpeg);
        EXPECT_EQ(p.width, c.width);
        EXPECT_EQ(p.height, c.height);
        EXPECT_EQ(p.subsampling, TJSAMP_420);
    }
}

TEST(Snapshot, TextIsWhiteAndTheTimeChangesOnlyTheTimeText) {
    for (int channel = 0; channel < 8; ++channel) {
        const Picture p = decode(render(channel, 90, 0));
        ASSERT_EQ(p.width, 704);
        // No white in the middle band; the time ("YYYY-MM-DD HH:MM:SS") in
        // the bottom band, "CH n" at the top.
        EXPECT_EQ(p.white(0, 200, 704, 400), 0) << "channel " << channel;
        EXPECT_GT(p.white(0, 432, 704, 576), 3000) << "channel " << channel;
        EXPECT_GT(p.white(0, 0, 352, 144), 1000) << "channel " << channel;
    }
    const Picture a = decode(render(0, 80, 0)), b = decode(render(0, 80, 0, kTime + 1));
    ASSERT_EQ(a.rgb.size(), b.rgb.size());
    // Only the time's last digit, in the bottom quarter.
    const size_t bottom = a.rgb.size() / 4 * 3;
    EXPECT_TRUE(std::equal(a.rgb.begin(), a.rgb.begin() + static_cast<std::ptrdiff_t>(bottom), b.rgb.begin()));
    EXPECT_GT(std::inner_product(a.rgb.begin(), a.rgb.end(), b.rgb.begin(), 0, std::plus<>(),
                                 std::not_equal_to<>()),
              100);
}

TEST(Snapshot, QualityIsClampedTo1To100And100FitsThePictureBuffer) {
    const size_t best = render(3, 100, 0).size();
    EXPECT_LE(best, snapshot::PICTURE_MAX);
    EXPECT_GT(best, render(3, 90, 0).size());  // encoded at 100, not stepped down
    EXPECT_EQ(render(0, 0, 1), render(0, 1, 1));
    EXPECT_EQ(render(0, 200, 1), render(0, 100, 1));
}

TEST(Snapshot, StepsDownQualityToFitTheCapacityAndRefusalsWriteNothing) {
    // One byte less than the picture needs at quality 80: a lower quality,
    // written within the capacity.
    const size_t capacity = render(1, 80, 0).size() - 1;
    Bytes out(capacity + 64, 0xA5);
    std::string error;
    const int size = snapshot::renderJpeg({1, kTime, 80, 0}, out.data(), capacity, error);
    ASSERT_GT(size, 0) << error;
    EXPECT_LE(static_cast<size_t>(size), capacity);
    EXPECT_EQ(Bytes(out.begin() + static_cast<std::ptrdiff_t>(capacity), out.end()), Bytes(64, 0xA5));
    out.resize(static_cast<size_t>(size));
    EXPECT_EQ(decode(out).width, 704);
    // Too little room even at quality 1, no buffer, a negative channel.
    struct Case {
        int channel;
        size_t capacity;
        bool nullOutput;
    };
    const Case cases[] = {{0, 0, false}, {0, 100, false}, {0, 2000, false},
                          {0, snapshot::PICTURE_MAX, true}, {-1, snapshot::PICTURE_MAX, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "channel " << c.channel << " capacity " << c.capacity);
        Bytes untouched(c.capacity + 64, 0xA5);
        error.clear();
        EXPECT_EQ(snapshot::renderJpeg({c.channel, kTime, 80, 0}, c.nullOutput ? nullptr : untouched.data(),
                                       c.capacity, error),
                  -1);
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(untouched, Bytes(c.capacity + 64, 0xA5));
    }
}

TEST(Snapshot, ConcurrentCallsGiveTheSameBytes) {
    // The module's threads take snapshots at the same time; each call is independent.
    const Bytes expected = render(2, 70, 1);
    std::vector<Bytes> results(4);
    std::vector<std::thread> threads;
    for (Bytes& result : results) threads.emplace_back([&result] { result = render(2, 70, 1); });
    for (std::thread& t : threads) t.join();
    for (const Bytes& result : results) EXPECT_EQ(result, expected);
}

}  // namespace
