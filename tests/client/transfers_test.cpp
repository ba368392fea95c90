// A scripted device compares what the client sends with the bytes laid out here by hand.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <thread>

#include "errors.h"
#include "netserver/wire.h"
#include "transfers.h"

namespace {

using Bytes = std::vector<uint8_t>;
using recnet::Duration;

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes word(size_t v) {
    Bytes b(4);
    wire::putU32(b.data(), 0, static_cast<uint32_t>(v));
    return b;
}

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 8));
    return b;
}

// A message header: magic 4C 4C 4C 50, type @4, sub-type @6, length @8,
// status @12, three zero bytes.
Bytes header(uint16_t type, uint16_t subtype, size_t length, uint8_t status = 0) {
    Bytes h = {0x4C, 0x4C, 0x4C, 0x50, 0, 0, 0, 0, 0, 0, 0, 0, status, 0, 0, 0};
    wire::putU16(h.data(), 4, type);
    wire::putU16(h.data(), 6, subtype);
    wire::putU32(h.data(), 8, static_cast<uint32_t>(length));
    return h;
}

// Snapshot picture fragments of at most 1400 bytes: 8 zero bytes, u32 length
// @8, u8 count @12, u8 number (from 1) @13, 2 zero bytes, the bytes.
Bytes fragments(const Bytes& picture) {
    Bytes out;
    const size_t count = (picture.size() + 1399) / 1400;
    for (size_t i = 0; i < count; ++i) {
        const size_t n = std::min<size_t>(1400, picture.size() - i * 1400);
        Bytes f = cat({Bytes(8, 0), word(n), {static_cast<uint8_t>(count), static_cast<uint8_t>(i + 1), 0, 0}});
        const auto from = picture.begin() + static_cast<std::ptrdiff_t>(i * 1400);
        out = cat({out, f, Bytes(from, from + static_cast<std::ptrdiff_t>(n))});
    }
    return out;
}

// Each read and write of the scripted device is bounded by 5 s.

bool sendAll(int fd, const Bytes& b) {
    return ::send(fd, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size());
}

// Reads as many bytes as `want` holds; throws when they do not come or differ.
void expect(int fd, const Bytes& want) {
    Bytes got(want.size());
    if (::recv(fd, got.data(), got.size(), MSG_WAITALL) != static_cast<ssize_t>(got.size()))
        throw std::runtime_error("device: the client sent less than expected");
    if (got != want) {
        std::string m = "device: the client's bytes differ from byte ";
        m.append(std::to_string(std::mismatch(got.begin(), got.end(), want.begin()).first - got.begin()));
        throw std::runtime_error(m);
    }
}

void exchange(int fd, const Bytes& want, const Bytes& reply) {
    expect(fd, want);
    sendAll(fd, reply);
}

bool closesWithoutData(int fd) {
    uint8_t c;
    return ::recv(fd, &c, 1, 0) == 0;
}

// Runs `client` on a connection to a device that plays `script` on its own
// thread; returns the script's failure, "" when it ran through.
std::string withDevice(const std::function<void(int)>& script,
                       const std::function<void(recnet::Connection&)>& client) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        throw std::runtime_error("cannot listen on 127.0.0.1");
    std::string failure;
    std::jthread device([&] {
        pollfd p{listener, POLLIN, 0};
        const int fd = ::poll(&p, 1, 5000) == 1 ? ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
        ::close(listener);
        if (fd < 0) {
            failure = "device: no connection came";
            return;
        }
        const timeval limit{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        try {
            script(fd);
        } catch (const std::exception& e) {
            failure = e.what();
        }
        ::close(fd);
    });
    try {
        recnet::Connection conn;
        conn.connect("127.0.0.1", ntohs(a.sin_port), Duration(2000));
        client(conn);
    } catch (...) {  // a device that found other bytes tells why
        device.join();
        if (!failure.empty()) ADD_FAILURE() << failure;
        throw;
    }
    device.join();
    return failure;
}

// The exception of type E that `f` throws; none when it returns.
template <class E, class F>
std::optional<E> caught(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e;
    }
    return std::nullopt;
}

bool has(const std::exception& e, const char* text) {
    return std::string(e.what()).find(text) != std::string::npos;
}

}  // namespace

TEST(FirmwareImage, HeaderBytesAsLaidOut) {
    EXPECT_EQ(recnet::crc32Of(nullptr, 0), 0u);
    const Bytes payload = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    const uint8_t fields[] = {'R', 'N', 'F', 'W',      // magic
                              1, 0, 0, 0,              // header version 1
                              9, 0, 0, 0,              // payload length
                              0x26, 0x39, 0xf4, 0xcb,  // CRC-32 0xCBF43926 of the check string
                              'v', '1', '.', '2'};     // version text, NUL-padded to 32 bytes
    // The 64-byte header zeroed (version padding, then 16 reserved bytes),
    // the fields over its start and the payload after it.
    Bytes want(64 + payload.size(), 0);
    std::copy_n(fields, sizeof fields, want.begin());
    std::copy_n(payload.begin(), payload.size(), want.begin() + 64);
    EXPECT_EQ(recnet::buildFirmwareImage("v1.2", payload), want);

    recnet::FirmwareImageHeader h = recnet::checkFirmwareImage(want);
    EXPECT_EQ(h.headerVersion, 1u);
    EXPECT_EQ(h.payloadLength, 9u);
    EXPECT_EQ(h.crc, 0xCBF43926u);
    EXPECT_EQ(h.version, "v1.2");

    // A version text of 31 characters at most, NUL-terminated.
    const std::string v31(31, 'x');
    Bytes image = recnet::buildFirmwareImage(v31, {});
    ASSERT_EQ(image.size(), 64u);
    EXPECT_EQ(image[16 + 30], 'x');
    EXPECT_EQ(image[16 + 31], 0);
    EXPECT_EQ(recnet::checkFirmwareImage(image).version, v31);
    EXPECT_THROW(recnet::buildFirmwareImage(std::string(32, 'x'), {}), std::invalid_argument);
}

TEST(FirmwareImage, DamagedImagesAreRejected) {
    const Bytes good = recnet::buildFirmwareImage("2.0", pattern(100, 1));
    EXPECT_NO_THROW(recnet::checkFirmwareImage(good));
    EXPECT_THROW(recnet::parseFirmwareImageHeader(good.data(), 63), std::invalid_argument);
    EXPECT_THROW(recnet::checkFirmwareImage(Bytes(good.begin(), good.end() - 1)),
                 std::invalid_argument);
    for (size_t at : {3, 4, 64 + 50}) {  // the magic, the header version, the payload (CRC)
        Bytes bad = good;
        bad[at] ^= 1;
        EXPECT_THROW(recnet::checkFirmwareImage(bad), std::invalid_argument) << "byte " << at;
    }
}

namespace {

// The upgrade request of an image of `size` bytes (sub-type 0x5201, the size)
// and the device's acknowledgement (type 4) with `status`.
void acceptUpgrade(int fd, size_t size, uint8_t status) {
    exchange(fd, cat({header(0x103, 0x5201, 4), word(size)}), header(4, 0x5201, 0, status));
}

// The image in chunks of 1400 bytes, each behind its own header.
void expectChunks(int fd, const Bytes& image) {
    for (size_t at = 0; at < image.size(); at += 1400) {
        const size_t n = std::min<size_t>(1400, image.size() - at);
        const auto from = image.begin() + static_cast<std::ptrdiff_t>(at);
        expect(fd, cat({header(0x103, 0x5201, n), Bytes(from, from + static_cast<std::ptrdiff_t>(n))}));
    }
}

// A progress answer: type 5, the word.
void progress(int fd, uint8_t status, uint32_t value) {
    sendAll(fd, cat({header(5, 0x5201, 4, status), word(value)}));
}

}  // namespace

TEST(Upgrade, ChunksOf1400ThenProgressToSuccess) {
    // (The progress the CLI prints from the callbacks shows in
    // E2eUpgrade.BuiltImageIsWrittenAndTheNewVersionReported.)
    const Bytes image = pattern(3000, 7);
    EXPECT_EQ(withDevice(
                  [&](int fd) {
                      acceptUpgrade(fd, 3000, 0);
                      expectChunks(fd, image);  // 1400, 1400, 200
                      for (uint32_t p : {0, 50, 100}) progress(fd, 0, p);
                  },
                  [&](recnet::Connection& conn) {
                      recnet::upgradeFirmware(conn, image, {}, Duration(2000));
                  }),
              "");
}

TEST(Upgrade, RefusalSendsNoImage) {
    bool closedClean = false;
    std::optional<recnet::UpgradeFailed> e;
    EXPECT_EQ(withDevice(
                  [&](int fd) {
                      acceptUpgrade(fd, 3000, 0xff);
                      closedClean = closesWithoutData(fd);
                  },
                  [&](recnet::Connection& conn) {
                      e = caught<recnet::UpgradeFailed>([&] {
                          recnet::upgradeFirmware(conn, pattern(3000, 1), {}, Duration(2000));
                      });
                  }),
              "");
    ASSERT_TRUE(e) << "no refusal";
    EXPECT_EQ(e->failure(), recnet::UpgradeFailure::Refused);
    EXPECT_EQ(e->status(), 0xff);
    EXPECT_EQ(e->kind(), recnet::Error::Kind::Refused);
    EXPECT_TRUE(has(*e, "refused")) << e->what();
    EXPECT_TRUE(closedClean);
}

TEST(Upgrade, TransferFailureDuringTheUploadIsItsOwnError) {
    // A device that gives up after the first chunk, while the client still
    // uploads; the word of a transfer failure is the image size. (A write
    // failure, word -1, shows in E2eUpgrade.BadImageFailsTheWriteAndKeepsTheVersion.)
    const Bytes image = pattern(300000, 2);
    uint64_t sent = 0;
    recnet::UpgradeCallbacks cb;
    cb.uploaded = [&](uint64_t s, uint64_t) { sent = s; };
    cb.written = [](uint32_t p) { ADD_FAILURE() << "progress " << p; };
    std::optional<recnet::UpgradeFailed> e;
    EXPECT_EQ(withDevice(
                  [&](int fd) {
                      acceptUpgrade(fd, image.size(), 0);
                      expectChunks(fd, Bytes(image.begin(), image.begin() + 1400));
                      progress(fd, 0xff, 300000);
                      uint8_t b[4096];  // what the client still sends
                      while (::recv(fd, b, sizeof b, 0) > 0) {
                      }
                  },
                  [&](recnet::Connection& conn) {
                      e = caught<recnet::UpgradeFailed>(
                          [&] { recnet::upgradeFirmware(conn, image, cb, Duration(2000)); });
                  }),
              "");
    ASSERT_TRUE(e) << "no failure";
    EXPECT_EQ(e->failure(), recnet::UpgradeFailure::TransferFailed);
    EXPECT_EQ(e->value(), 300000u);
    EXPECT_TRUE(has(*e, "did not receive the whole image")) << e->what();
    EXPECT_GE(sent, 1400u);
}

namespace {

// Takes a snapshot of channel 3 (sub-type 0x5204: channel, size 0) from a
// device that answers with `status`, `size` and `frags`.
Bytes snapshotFrom(uint8_t status, size_t size, const Bytes& frags) {
    Bytes got;
    EXPECT_EQ(withDevice(
                  [&](int fd) {
                      exchange(fd, cat({header(0x103, 0x5204, 8), word(3), word(0)}),
                               cat({header(0x103, 0x5204, 8, status), word(3), word(size), frags}));
                  },
                  [&](recnet::Connection& conn) {
                      got = recnet::takeSnapshot(conn, 3, Duration(2000));
                  }),
              "");
    return got;
}

}  // namespace

TEST(Snapshot, PicturesOf0And1400And1401Bytes) {
    for (size_t size : {0, 1400, 1401}) {
        const Bytes picture = pattern(size, static_cast<uint8_t>(size));
        EXPECT_EQ(snapshotFrom(0, size, fragments(picture)), picture) << size << " bytes";
    }
}

TEST(Snapshot, FragmentCountAndNumberAreChecked) {
    const Bytes picture = pattern(1401, 5);
    struct Row {
        size_t at;
        uint8_t value;
        const char* message;
    };
    const Row rows[] = {{12, 3, "fragment count 3, expected 2"},         // first claims three
                        {16 + 1400 + 13, 3, "fragment number 3"},        // second numbered 3
                        {8, 0x79, "length 1401 does not fit"}};         // 1401 in the first
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message);
        Bytes frags = fragments(picture);
        frags[row.at] = row.value;
        auto e = caught<recnet::Error>([&] { snapshotFrom(0, picture.size(), frags); });
        ASSERT_TRUE(e) << "damaged fragments accepted";
        EXPECT_EQ(e->kind(), recnet::Error::Kind::Protocol) << e->what();
        EXPECT_TRUE(has(*e, row.message)) << e->what();
    }
}

TEST(Snapshot, FailureNamesTheChannel) {
    auto e = caught<recnet::CommandRefused>([] { snapshotFrom(0xff, 0, {}); });
    ASSERT_TRUE(e) << "no refusal";
    EXPECT_EQ(e->status(), 0xff);
    EXPECT_TRUE(has(*e, "picture of channel 3")) << e->what();
}

TEST(SnapshotStream, SkipsATurnWithoutAPictureAndEndsWhenTheSinkSaysSo) {
    // (Several pictures in a row: E2eSnapshot.StreamSavesTheRequestedCount.)
    const Bytes picture = pattern(1500, 2);
    int pictures = 0;
    EXPECT_EQ(withDevice(
                  [&](int fd) {
                      // Sub-type 0x5205: channel 2, mode 0, quality 70, rate 5, size 0, flag 0.
                      const Bytes request = {2, 0, 70, 5, 0, 0, 0, 0, 0, 0, 0, 0};
                      // A turn without a picture, then one at the quality the device applies.
                      exchange(fd, cat({header(0x103, 0x5205, 12), request}),
                               cat({header(0x103, 0x5205, 12, 0xff), request, header(0x103, 0x5205, 12),
                                    {2, 0, 71, 5}, word(picture.size()), Bytes(4, 0), fragments(picture)}));
                      closesWithoutData(fd);
                  },
                  [&](recnet::Connection& conn) {
                      recnet::SnapshotStreamSettings s;
                      s.channel = 2;
                      s.quality = 70;
                      s.rate = 5;
                      const auto sink = [&](const recnet::StreamPicture& p) {
                          EXPECT_EQ(p.number, 1u);
                          EXPECT_EQ(p.settings.quality, 71);
                          EXPECT_EQ(*p.jpeg, picture);
                          return ++pictures < 1;
                      };
                      EXPECT_EQ(recnet::snapshotStream(conn, s, sink, {}, Duration(2000)), 1u);
                  }),
              "");
    EXPECT_EQ(pictures, 1);
}

// A device that stays silent: the caller's stop condition (SIGINT in the CLI)
// still ends the wait promptly.
TEST(SnapshotStream, StopConditionEndsTheWait) {
    EXPECT_EQ(withDevice(
                  [](int fd) {
                      Bytes request(28);
                      ::recv(fd, request.data(), request.size(), MSG_WAITALL);
                      if (!closesWithoutData(fd)) throw std::runtime_error("device: the client did not leave");
                  },
                  [](recnet::Connection& conn) {
                      const auto start = std::chrono::steady_clock::now();
                      int asked = 0;
                      EXPECT_EQ(recnet::snapshotStream(
                                    conn, {}, [](const recnet::StreamPicture&) { return true; },
                                    [&] { return ++asked > 3; }, Duration(4000)),
                                0u);
                      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
                  }),
              "");
}

namespace {

// Serial data from the device: type 0x819, length 1028, the count, 1024 bytes.
Bytes serialData(const std::string& text) {
    Bytes data(text.begin(), text.end());
    data.resize(1024, 0);
    return cat({header(0x819, 0, 1028), word(text.size()), data});
}

const Bytes kStart = header(0x103, 0x5202, 0), kStop = header(0x103, 0x5203, 0);

}  // namespace

TEST(Serial, DataOfFiveBytesDecodes) {
    const Bytes m = serialData("hello");
    Bytes payload(m.begin() + 16, m.end());
    EXPECT_EQ(recnet::decodeSerialData(payload), (Bytes{'h', 'e', 'l', 'l', 'o'}));
    wire::putU32(payload.data(), 0, 1025);
    EXPECT_THROW(recnet::decodeSerialData(payload), recnet::Error);
    EXPECT_THROW(recnet::decodeSerialData(Bytes{5, 0, 0}), recnet::Error);
    EXPECT_TRUE(recnet::buildSerialSendPieces(payload.data(), 0).empty());
}

TEST(Serial, AttachSendInPiecesOfAtMost1024AndStop) {
    const Bytes data = pattern(3000, 33);
    std::string out;
    uint64_t sent = 0, received = 0;
    EXPECT_EQ(withDevice(
                  [&](int fd) {
                      exchange(fd, kStart, cat({kStart, serialData("hello")}));
                      auto from = data.begin();
                      for (size_t n : {1024, 1024, 952}) {  // type 0x818: the count, the bytes
                          exchange(fd, cat({header(0x818, 0, 4 + n), word(n), Bytes(from, from + static_cast<std::ptrdiff_t>(n))}),
                                   header(0x818, 0, 0));
                          from += static_cast<std::ptrdiff_t>(n);
                      }
                      // Data on its way before the stop comes ahead of its answer.
                      exchange(fd, kStop, cat({serialData(" world"), kStop}));
                  },
                  [&](recnet::Connection& conn) {
                      recnet::SerialChannel channel(
                          conn,
                          [&](const uint8_t* d, size_t n) {
                              out.append(reinterpret_cast<const char*>(d), n);
                          },
                          Duration(2000));
                      channel.start();
                      channel.send(data.data(), data.size());
                      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
                      while ((channel.unacknowledged() > 0 || out.size() < 5) &&
                             std::chrono::steady_clock::now() < deadline)
                          channel.pump(Duration(100));
                      channel.stop();
                      sent = channel.bytesSent();
                      received = channel.bytesReceived();
                  }),
              "");
    EXPECT_EQ(out, "hello world");
    EXPECT_EQ(sent, 3000u);
    EXPECT_EQ(received, 11u);
}

TEST(Serial, RefusedStartAndRefusedSendAreReported) {
    EXPECT_EQ(withDevice([](int fd) { exchange(fd, kStart, header(0x103, 0x5202, 0, 0xff)); },
                         [](recnet::Connection& conn) {
                             recnet::SerialChannel channel(conn, {}, Duration(2000));
                             auto e = caught<recnet::CommandRefused>([&] { channel.start(); });
                             ASSERT_TRUE(e) << "no refusal";
                             EXPECT_EQ(e->status(), 0xff);
                             EXPECT_TRUE(has(*e, "cannot start the serial channel")) << e->what();
                         }),
              "");
    EXPECT_EQ(withDevice(
                  [](int fd) {
                      exchange(fd, kStart, kStart);
                      exchange(fd, cat({header(0x818, 0, 5), word(1), {'x'}}), header(0x818, 0, 0, 0xff));
                      exchange(fd, kStop, kStop);
                  },
                  [](recnet::Connection& conn) {
                      recnet::SerialChannel channel(conn, {}, Duration(2000));
                      channel.start();
                      const Bytes b = {'x'};
                      channel.send(b.data(), b.size());
                      EXPECT_THROW(channel.pump(Duration(2000)), recnet::CommandRefused);
                      EXPECT_EQ(channel.refusedSends(), 1u);
                      EXPECT_NO_THROW(channel.stop());
                  }),
              "");
}
