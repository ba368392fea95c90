// The client side of the device's transfers: the firmware image format, the
// upgrade, snapshots (one picture and a stream) and the serial channel. The
// device's side is played by a scripted server on 127.0.0.1 that writes the
// bytes of the protocol as laid out here by hand; every wait is bounded.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "connection.h"
#include "errors.h"
#include "netserver/wire.h"
#include "transfers.h"

namespace {

using Bytes = std::vector<uint8_t>;
using recnet::Duration;

constexpr int IO_LIMIT_MS = 5000;  // the longest any single wait of the scripted device lasts

/* ---- the scripted device --------------------------------------------------------- */

// Reads exactly `n` bytes; throws when they do not come within IO_LIMIT_MS or
// the peer closes first.
Bytes readBytes(int fd, size_t n) {
    Bytes b(n);
    size_t done = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(IO_LIMIT_MS);
    while (done < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            throw std::runtime_error("device: timed out reading " + std::to_string(n) + " bytes");
        }
        ssize_t got = ::recv(fd, b.data() + done, n - done, 0);
        if (got <= 0) throw std::runtime_error("device: peer closed while reading");
        done += static_cast<size_t>(got);
    }
    return b;
}

// Writes all bytes; false when the peer is gone (or the write stalls).
bool sendBytes(int fd, const Bytes& b) {
    size_t done = 0;
    while (done < b.size()) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, IO_LIMIT_MS) <= 0) return false;
        ssize_t n = ::send(fd, b.data() + done, b.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Whether the peer closes without sending another byte within `ms`.
bool closesWithoutData(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return false;
    uint8_t c;
    return ::recv(fd, &c, 1, 0) == 0;
}

// A message header as the protocol lays it out: magic @0, type @4, sub-type
// @6, length @8, status @12, three zero bytes @13.
Bytes header(uint16_t type, uint16_t subtype, uint32_t length, uint8_t status) {
    Bytes h(16, 0);
    h[0] = 0x4c, h[1] = 0x4c, h[2] = 0x4c, h[3] = 0x50;  // 0x504C4C4C, little-endian
    wire::putU16(h.data(), 4, type);
    wire::putU16(h.data(), 6, subtype);
    wire::putU32(h.data(), 8, length);
    h[12] = status;
    return h;
}

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes word(uint32_t v) {
    Bytes b(4);
    wire::putU32(b.data(), 0, v);
    return b;
}

struct Received {
    uint16_t type, subtype;
    uint32_t length;
    uint8_t status;
    Bytes rest, payload;
};

// One message from the client; checks its magic.
Received readMessage(int fd) {
    Bytes h = readBytes(fd, 16);
    if (wire::getU32(h.data(), 0) != 0x504C4C4C) throw std::runtime_error("device: bad magic");
    Received r{wire::getU16(h.data(), 4), wire::getU16(h.data(), 6), wire::getU32(h.data(), 8),
               h[12], Bytes(h.begin() + 13, h.end()), {}};
    r.payload = readBytes(fd, r.length);
    return r;
}

// The picture fragments of `picture`: 8 zero bytes, u32 length @8, u8 count
// @12, u8 number (from 1) @13, 2 zero bytes, then the bytes.
Bytes fragments(const Bytes& picture) {
    Bytes out;
    const size_t count = (picture.size() + 1399) / 1400;
    for (size_t i = 0; i < count; ++i) {
        const size_t n = std::min<size_t>(1400, picture.size() - i * 1400);
        Bytes f(16, 0);
        wire::putU32(f.data(), 8, static_cast<uint32_t>(n));
        f[12] = static_cast<uint8_t>(count);
        f[13] = static_cast<uint8_t>(i + 1);
        out = cat(out, f);
        out.insert(out.end(), picture.begin() + static_cast<std::ptrdiff_t>(i * 1400),
                   picture.begin() + static_cast<std::ptrdiff_t>(i * 1400 + n));
    }
    return out;
}

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 8));
    return b;
}

// A device on 127.0.0.1 (ephemeral port) that accepts one connection and
// runs `script` on it on its own thread. A script failure (an exception, or a
// connection that never comes) is kept for failure().
class ScriptedDevice {
public:
    explicit ScriptedDevice(std::function<void(int)> script) {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        socklen_t len = sizeof a;
        if (listen_ < 0 || ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listen_, 1) != 0 ||
            ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            throw std::runtime_error("cannot listen on 127.0.0.1");
        }
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this, script = std::move(script)] {
            pollfd p{listen_, POLLIN, 0};
            if (::poll(&p, 1, IO_LIMIT_MS) <= 0) {
                failure_ = "device: no connection came";
                return;
            }
            int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                failure_ = "device: accept failed";
                return;
            }
            try {
                script(fd);
            } catch (const std::exception& e) {
                failure_ = e.what();
            }
            ::close(fd);
        });
    }
    ~ScriptedDevice() {
        if (thread_.joinable()) thread_.join();
        ::close(listen_);
    }
    ScriptedDevice(const ScriptedDevice&) = delete;
    ScriptedDevice& operator=(const ScriptedDevice&) = delete;

    uint16_t port() const { return port_; }

    // Waits for the script to end; "" when it ran through.
    std::string failure() {
        if (thread_.joinable()) thread_.join();
        return failure_;
    }

private:
    int listen_ = -1;
    uint16_t port_ = 0;
    std::string failure_;  // written by the thread, read after join
    std::thread thread_;
};

// Runs `client` on a connection to a device playing `script`, closes the
// connection and returns the script's failure ("" when it ran through).
std::string withDevice(std::function<void(int)> script,
                       const std::function<void(recnet::Connection&)>& client) {
    ScriptedDevice device(std::move(script));
    {
        recnet::Connection conn;
        conn.connect("127.0.0.1", device.port(), Duration(2000));
        client(conn);
    }
    return device.failure();
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

/* ---- the upgrade's device side --------------------------------------------------- */

// Reads the upgrade request for an image of `size` bytes, answers it with
// type 4 (update acknowledgement) and `status`, and on success reads the
// upload chunks into `chunks`.
void acceptUpgrade(int fd, uint32_t size, uint8_t status, std::vector<Received>* chunks) {
    Received r = readMessage(fd);
    if (r.type != 0x103 || r.subtype != 0x5201 || r.length != 4 || r.status != 0 ||
        wire::getU32(r.payload.data(), 0) != size) {
        throw std::runtime_error("device: not the upgrade request expected");
    }
    sendBytes(fd, header(4, 0x5201, 0, status));
    for (size_t have = 0; chunks != nullptr && have < size; have += chunks->back().length)
        chunks->push_back(readMessage(fd));
}

// A progress answer: type 5, length 4, the word.
void progress(int fd, uint8_t status, uint32_t value) {
    sendBytes(fd, cat(header(5, 0x5201, 4, status), word(value)));
}

}  // namespace

/* ---- the firmware image ------------------------------------------------------------ */

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
    Bytes badMagic = good;
    badMagic[3] = 'X';
    EXPECT_THROW(recnet::parseFirmwareImageHeader(badMagic.data(), badMagic.size()),
                 std::invalid_argument);
    EXPECT_THROW(recnet::parseFirmwareImageHeader(good.data(), 63), std::invalid_argument);
    Bytes badPayload = good;
    badPayload[64 + 50] ^= 1;
    EXPECT_THROW(recnet::checkFirmwareImage(badPayload), std::invalid_argument);
    EXPECT_THROW(recnet::checkFirmwareImage(Bytes(good.begin(), good.end() - 1)),
                 std::invalid_argument);
    Bytes badVersion = good;
    badVersion[4] = 2;
    EXPECT_THROW(recnet::checkFirmwareImage(badVersion), std::invalid_argument);
    EXPECT_NO_THROW(recnet::checkFirmwareImage(good));
}

/* ---- the upgrade ------------------------------------------------------------------- */

TEST(Upgrade, ChunksOf1400ThenProgressToSuccess) {
    const Bytes image = pattern(3000, 7);
    std::vector<Received> chunks;
    std::vector<uint64_t> sent;
    std::vector<uint32_t> percents;
    recnet::UpgradeCallbacks cb;
    cb.uploaded = [&](uint64_t s, uint64_t total) {
        EXPECT_EQ(total, 3000u);
        sent.push_back(s);
    };
    cb.written = [&](uint32_t p) { percents.push_back(p); };
    ASSERT_EQ(withDevice(
                  [&](int fd) {
                      acceptUpgrade(fd, 3000, 0, &chunks);
                      for (uint32_t p : {0, 50, 100}) progress(fd, 0, p);
                  },
                  [&](recnet::Connection& conn) {
                      recnet::upgradeFirmware(conn, image, cb, Duration(2000));
                  }),
              "");

    ASSERT_EQ(chunks.size(), 3u);
    const uint32_t lengths[] = {1400, 1400, 200};
    Bytes joined;
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(chunks[i].type, 0x103);
        EXPECT_EQ(chunks[i].subtype, 0x5201);
        EXPECT_EQ(chunks[i].length, lengths[i]);
        EXPECT_EQ(chunks[i].status, 0);
        EXPECT_EQ(chunks[i].rest, Bytes(3, 0));
        joined = cat(joined, chunks[i].payload);
    }
    EXPECT_EQ(joined, image);
    EXPECT_EQ(sent, (std::vector<uint64_t>{1400, 2800, 3000}));
    EXPECT_EQ(percents, (std::vector<uint32_t>{0, 50, 100}));
}

TEST(Upgrade, RefusalSendsNoImage) {
    bool closedClean = false;
    std::optional<recnet::UpgradeFailed> e;
    EXPECT_EQ(withDevice(
                  [&](int fd) {
                      acceptUpgrade(fd, 3000, 0xff, nullptr);
                      closedClean = closesWithoutData(fd, IO_LIMIT_MS);
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
    EXPECT_TRUE(closedClean);
}

TEST(Upgrade, TransferAndWriteFailuresAreTheirOwnErrors) {
    // The transfer failure's word is the image size; a write failure's -1
    // says that the image did not pass the checks.
    for (auto [failure, value] :
         {std::pair{recnet::UpgradeFailure::TransferFailed, 3000u},
          std::pair{recnet::UpgradeFailure::WriteFailed, 0xffffffffu}}) {
        const bool write = failure == recnet::UpgradeFailure::WriteFailed;
        std::vector<uint32_t> percents;
        recnet::UpgradeCallbacks cb;
        cb.written = [&](uint32_t p) { percents.push_back(p); };
        std::optional<recnet::UpgradeFailed> e;
        EXPECT_EQ(withDevice(
                      [&, value = value](int fd) {
                          std::vector<Received> chunks;
                          acceptUpgrade(fd, 3000, 0, &chunks);
                          if (write) progress(fd, 0, 0);
                          progress(fd, 0xff, value);
                      },
                      [&](recnet::Connection& conn) {
                          e = caught<recnet::UpgradeFailed>([&] {
                              recnet::upgradeFirmware(conn, pattern(3000, 2), cb, Duration(2000));
                          });
                      }),
                  "");
        ASSERT_TRUE(e) << "no failure";
        EXPECT_EQ(e->failure(), failure);
        EXPECT_EQ(e->value(), value);
        EXPECT_EQ(percents, write ? std::vector<uint32_t>{0} : std::vector<uint32_t>{});
    }
}

TEST(Upgrade, EarlyTransferFailureStopsTheUpload) {
    // A device that gives up after the first chunk and says so at once.
    uint64_t lastSent = 0;
    recnet::UpgradeCallbacks cb;
    cb.uploaded = [&](uint64_t s, uint64_t) { lastSent = s; };
    std::optional<recnet::UpgradeFailed> e;
    EXPECT_EQ(withDevice(
                  [&](int fd) {
                      acceptUpgrade(fd, 300000, 0, nullptr);
                      readMessage(fd);
                      progress(fd, 0xff, 300000);
                      // Drain what the client still sends until it closes.
                      uint8_t b[4096];
                      pollfd p{fd, POLLIN, 0};
                      while (::poll(&p, 1, IO_LIMIT_MS) > 0 && ::recv(fd, b, sizeof b, 0) > 0) {
                      }
                  },
                  [&](recnet::Connection& conn) {
                      e = caught<recnet::UpgradeFailed>([&] {
                          recnet::upgradeFirmware(conn, pattern(300000, 4), cb, Duration(2000));
                      });
                  }),
              "");
    ASSERT_TRUE(e) << "no failure";
    EXPECT_EQ(e->failure(), recnet::UpgradeFailure::TransferFailed);
    EXPECT_GE(lastSent, 1400u);
}

/* ---- snapshots --------------------------------------------------------------------- */

namespace {

// Takes a snapshot of channel 3 from a device that checks the request and
// answers with `status` and a picture of `size` bytes sent as `frags`.
Bytes snapshotFrom(uint8_t status, size_t size, const Bytes& frags) {
    Bytes got;
    EXPECT_EQ(withDevice(
                  [&](int fd) {
                      Received r = readMessage(fd);
                      if (r.type != 0x103 || r.subtype != 0x5204 || r.length != 8 ||
                          wire::getU32(r.payload.data(), 0) != 3 ||
                          wire::getU32(r.payload.data(), 4) != 0) {
                          throw std::runtime_error("device: not the snapshot request expected");
                      }
                      Bytes answer = cat(header(0x103, 0x5204, 8, status), word(3));
                      sendBytes(fd, cat(cat(answer, word(static_cast<uint32_t>(size))), frags));
                  },
                  [&](recnet::Connection& conn) {
                      got = recnet::takeSnapshot(conn, 3, Duration(2000));
                  }),
              "");
    return got;
}

Bytes snapshotOf(const Bytes& picture) {
    return snapshotFrom(0, picture.size(), fragments(picture));
}

}  // namespace

TEST(Snapshot, PicturesOf0And1400And1401Bytes) {
    EXPECT_TRUE(snapshotOf({}).empty());
    const Bytes one = pattern(1400, 9);
    EXPECT_EQ(snapshotOf(one), one);
    const Bytes two = pattern(1401, 11);
    EXPECT_EQ(snapshotOf(two), two);
}

TEST(Snapshot, FragmentCountAndNumberAreChecked) {
    const Bytes picture = pattern(1401, 5);
    Bytes badCount = fragments(picture);
    badCount[12] = 3;  // first fragment claims three
    Bytes badNumber = fragments(picture);
    badNumber[16 + 1400 + 13] = 3;  // second fragment numbered 3
    Bytes badLength = fragments(picture);
    wire::putU32(badLength.data(), 8, 1401);  // more than a fragment holds
    for (const Bytes* frags : {&badCount, &badNumber, &badLength}) {
        auto e = caught<recnet::Error>([&] { snapshotFrom(0, picture.size(), *frags); });
        ASSERT_TRUE(e) << "damaged fragments accepted";
        EXPECT_EQ(e->kind(), recnet::Error::Kind::Protocol) << e->what();
    }
}

TEST(Snapshot, FailureNamesTheChannel) {
    auto e = caught<recnet::CommandRefused>([] { snapshotFrom(0xff, 0, {}); });
    ASSERT_TRUE(e) << "no refusal";
    EXPECT_EQ(e->status(), 0xff);
    EXPECT_NE(std::string(e->what()).find("picture of channel 3"), std::string::npos);
}

TEST(SnapshotStream, ReadsKPicturesThenCloses) {
    const std::vector<Bytes> pictures = {pattern(10, 1), pattern(1500, 2), pattern(2800, 3)};
    std::vector<Bytes> got;
    EXPECT_EQ(
        withDevice(
            [&](int fd) {
                Received r = readMessage(fd);
                if (r.type != 0x103 || r.subtype != 0x5205 || r.length != 12) {
                    throw std::runtime_error("device: not the stream request expected");
                }
                const Bytes want = {2, 0, 70, 5, 0, 0, 0, 0, 0, 0, 0, 0};
                if (r.payload != want)
                    throw std::runtime_error("device: stream request fields differ");
                // A turn without a picture, then pictures until the client leaves.
                sendBytes(fd, cat(header(0x103, 0x5205, 12, 0xff), r.payload));
                for (size_t i = 0; i < 50; ++i) {
                    const Bytes& p = pictures[i % pictures.size()];
                    Bytes answer = r.payload;
                    answer[2] = 71;  // the quality the device applies
                    wire::putU32(answer.data(), 4, static_cast<uint32_t>(p.size()));
                    if (!sendBytes(fd, cat(cat(header(0x103, 0x5205, 12, 0), answer),
                                           fragments(p)))) {
                        return;  // the client closed the connection: the stream ends
                    }
                }
            },
            [&](recnet::Connection& conn) {
                recnet::SnapshotStreamSettings s;
                s.channel = 2;
                s.quality = 70;
                s.rate = 5;
                uint64_t n = recnet::snapshotStream(
                    conn, s,
                    [&](const recnet::StreamPicture& p) {
                        EXPECT_EQ(p.number, got.size() + 1);
                        EXPECT_EQ(p.settings.channel, 2);
                        EXPECT_EQ(p.settings.quality, 71);
                        EXPECT_EQ(p.settings.rate, 5);
                        got.push_back(*p.jpeg);
                        return got.size() < 3;
                    },
                    {}, Duration(2000));
                EXPECT_EQ(n, 3u);
            }),
        "");
    EXPECT_EQ(got, pictures);
}

TEST(SnapshotStream, StopConditionEndsTheWait) {
    EXPECT_EQ(withDevice(
                  [&](int fd) {
                      readMessage(fd);
                      closesWithoutData(fd, IO_LIMIT_MS);  // silent until the client leaves
                  },
                  [&](recnet::Connection& conn) {
                      const auto start = std::chrono::steady_clock::now();
                      int asked = 0;
                      uint64_t n = recnet::snapshotStream(
                          conn, {}, [](const recnet::StreamPicture&) { return true; },
                          [&] { return ++asked > 3; }, Duration(4000));
                      EXPECT_EQ(n, 0u);
                      EXPECT_LT(std::chrono::steady_clock::now() - start,
                                std::chrono::seconds(2));
                  }),
              "");
}

/* ---- the serial channel ------------------------------------------------------------ */

namespace {

// A MSG_SERIAL_DATA message: length 1028, count @0, 1024 data bytes.
Bytes serialData(const std::string& text) {
    Bytes payload(1028, 0);
    wire::putU32(payload.data(), 0, static_cast<uint32_t>(text.size()));
    std::memcpy(payload.data() + 4, text.data(), text.size());
    return cat(header(0x819, 0, 1028, 0), payload);
}

// Reads a serial start (sub-type 0x5202) or stop (0x5203) and answers it.
void serialControl(int fd, uint16_t subtype, uint8_t status, const Bytes& before = {}) {
    Received r = readMessage(fd);
    if (r.type != 0x103 || r.subtype != subtype || r.length != 0) {
        throw std::runtime_error("device: not the serial start or stop expected");
    }
    sendBytes(fd, cat(before, header(0x103, subtype, 0, status)));
}

}  // namespace

TEST(Serial, DataOfFiveBytesDecodes) {
    Bytes m = serialData("hello");
    ASSERT_EQ(m.size(), 1044u);
    const Bytes payload(m.begin() + 16, m.end());
    EXPECT_EQ(recnet::decodeSerialData(payload), (Bytes{'h', 'e', 'l', 'l', 'o'}));
    Bytes tooMany = payload;
    wire::putU32(tooMany.data(), 0, 1025);
    EXPECT_THROW(recnet::decodeSerialData(tooMany), recnet::Error);
    EXPECT_THROW(recnet::decodeSerialData(Bytes{5, 0, 0}), recnet::Error);
    EXPECT_TRUE(recnet::buildSerialSendPieces(payload.data(), 0).empty());
}

TEST(Serial, AttachSendInPiecesOfAtMost1024AndStop) {
    const Bytes data = pattern(3000, 33);
    std::vector<Received> sends;
    std::string out;
    uint64_t sent = 0, received = 0;
    ASSERT_EQ(
        withDevice(
            [&](int fd) {
                serialControl(fd, 0x5202, 0);
                sendBytes(fd, serialData("hello"));
                for (int i = 0; i < 3; ++i) {
                    sends.push_back(readMessage(fd));
                    if (sends.back().type != 0x818)
                        throw std::runtime_error("device: not a serial send");
                    sendBytes(fd, header(0x818, 0, 0, 0));
                }
                // Data that was on its way before the stop comes ahead of its answer.
                serialControl(fd, 0x5203, 0, serialData(" world"));
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
                       std::chrono::steady_clock::now() < deadline) {
                    channel.pump(Duration(100));
                }
                channel.stop();
                sent = channel.bytesSent();
                received = channel.bytesReceived();
            }),
        "");
    EXPECT_EQ(out, "hello world");
    EXPECT_EQ(sent, 3000u);
    EXPECT_EQ(received, 11u);
    ASSERT_EQ(sends.size(), 3u);
    const uint32_t counts[] = {1024, 1024, 952};
    Bytes joined;
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(sends[i].length, 4 + counts[i]);
        EXPECT_EQ(wire::getU32(sends[i].payload.data(), 0), counts[i]);
        joined.insert(joined.end(), sends[i].payload.begin() + 4, sends[i].payload.end());
    }
    EXPECT_EQ(joined, data);
}

TEST(Serial, RefusedStartAndRefusedSendAreReported) {
    EXPECT_EQ(withDevice([&](int fd) { serialControl(fd, 0x5202, 0xff); },
                         [&](recnet::Connection& conn) {
                             recnet::SerialChannel channel(conn, {}, Duration(2000));
                             auto e = caught<recnet::CommandRefused>([&] { channel.start(); });
                             ASSERT_TRUE(e) << "no refusal";
                             EXPECT_EQ(e->status(), 0xff);
                         }),
              "");
    EXPECT_EQ(withDevice(
                  [&](int fd) {
                      serialControl(fd, 0x5202, 0);
                      readMessage(fd);
                      sendBytes(fd, header(0x818, 0, 0, 0xff));
                      serialControl(fd, 0x5203, 0);
                  },
                  [&](recnet::Connection& conn) {
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
