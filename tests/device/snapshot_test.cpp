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
};

// Decodes a JPEG whole; an empty picture when it does not decode.
Picture decode(const Bytes& jpeg) {
    Picture p;
    const std::unique_ptr<void, int (*)(tjhandle)> handle(tjInitDecompress(), tjDestroy);
    int colorspace = 0;
    if (!handle || jpeg.empty() ||
        tjDecompressHeader3(handle.get(), jpeg.data(), jpeg.size(), &p.width, &p.height,
                            &p.subsampling, &colorspace) != 0)
        return {};
    Bytes rgb(static_cast<size_t>(p.width) * p.height * 3);
    if (tjDecompress2(handle.get(), jpeg.data(), jpeg.size(), rgb.data(), p.width, 0, p.height,
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
