// The client side of the device's transfers: the firmware image format, the
// upgrade, snapshots (one picture and a stream) and the serial channel,
// against a scripted device (scripted_device.h).
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include "errors.h"
#include "scripted_device.h"
#include "transfers.h"

using namespace scripted;

namespace {

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
