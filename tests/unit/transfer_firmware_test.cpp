// Firmware upload: the size bounds, the busy flag shared with partitioning
// and formatting, chunk checks, progress replies and the failure paths, with
// every reply spelled out from its header layout.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <future>
#include <string>
#include <thread>

#include "core/thread_registry.h"
#include "fake_host_transfers.h"
#include "handlers/maintenance_state.h"
#include "handlers_test_support.h"
#include "transfer/transfer.h"

using namespace ht;
namespace ft = fake_host::transfers;

namespace {

constexpr uint16_t UPLOAD = 0x103;    // the request type the caller chose
constexpr uint16_t SUBTYPE = 0x5201;  // echoed in every reply
constexpr uint16_t ACK = 4;
constexpr uint16_t PROGRESS = 5;

// The services' stop, in the order the upload must make it.
const std::vector<std::string> kServiceStops = {"st_app_setFreeRecordMemFlag(1)", "st_app_stopAppService",
                                                 "st_record_stopRecordService", "st_enc_stopEncService",
                                                 "st_stream_deinitStreamLib"};

/* A chunk: a header whose length field gives `data`'s size, then the data.
 * Magic, type and status are deliberately not a reply's. */
Bytes chunk(const Bytes& data, uint32_t declared) {
    Bytes h = {0xAA, 0xBB, 0xCC, 0xDD, 0x01, 0x02, 0x03, 0x04};
    h = concat(h, u32le(declared));
    h = concat(h, {0x77, 0, 0, 0});
    return concat(h, data);
}
Bytes chunk(const Bytes& data) { return chunk(data, static_cast<uint32_t>(data.size())); }

bool callsInclude(const std::string& name) {
    auto calls = fake_host::calls();
    return std::find(calls.begin(), calls.end(), name) != calls.end();
}

class Upload : public ::testing::Test {
protected:
    void SetUp() override {
        fake_host::reset();
        maintenance_release();
        renew();
    }
    /* A fresh session for the next upload of a test. */
    void renew() {
        if (upload.valid()) upload.wait();
        owned = std::make_unique<PairedSession>();
        std::strncpy(owned->session->userName, "operator", sizeof owned->session->userName);
    }
    void TearDown() override {
        if (upload.valid()) upload.wait();
        maintenance_release();
    }
    /* Starts recvUpdateFile on a thread of its own with a request for `size`. */
    void start(int32_t size) {
        auto request = std::make_unique<NetMessage>();
        std::memset(request->bytes, 0, sizeof request->bytes);
        Bytes m = ht::request(UPLOAD, u32le(static_cast<uint32_t>(size)), SUBTYPE);
        std::memcpy(request->bytes, m.data(), m.size());
        upload = std::async(std::launch::async, [this, r = std::move(request)] {
            return recvUpdateFile(owned->session, owned->session->sock.load(), *r);
        });
    }
    void send(const Bytes& b) {
        ASSERT_EQ(::send(owned->peerFd, b.data(), b.size(), MSG_NOSIGNAL), static_cast<ssize_t>(b.size()));
    }
    /* Reads one reply of 16 + payload bytes, waiting up to `seconds`. */
    Bytes reply(size_t payload, int seconds = 5) {
        timeval tv{seconds, 0};
        setsockopt(owned->peerFd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        Bytes out(16 + payload);
        size_t got = 0;
        while (got < out.size()) {
            ssize_t r = recv(owned->peerFd, out.data() + got, out.size() - got, 0);
            if (r <= 0) break;
            got += static_cast<size_t>(r);
        }
        out.resize(got);
        return out;
    }
    int result() { return upload.get(); }

    std::unique_ptr<PairedSession> owned;
    std::future<int> upload;
};

}  // namespace

TEST_F(Upload, ImageOfFlashSizePlus64InChunksOf1400_1400_200IsWritten) {
    ft::setFlashSize(3000 - 64);
    start(3000);
    EXPECT_EQ(reply(0), replyHeader(ACK, SUBTYPE, 0, 0x00));
    const Bytes image = pattern(3000, 9);
    send(chunk(Bytes(image.begin(), image.begin() + 1400)));
    send(chunk(Bytes(image.begin() + 1400, image.begin() + 2800)));
    send(chunk(Bytes(image.begin() + 2800, image.end())));
    // The write is immediate: the first poll, after 2 s, is the last reply.
    EXPECT_EQ(reply(4), concat(replyHeader(PROGRESS, SUBTYPE, 4, 0x00), u32le(100)));
    EXPECT_EQ(result(), 0);
    EXPECT_EQ(ft::flashedSize(), 3000);
    EXPECT_EQ(ft::flashedImage(), image);
    EXPECT_EQ(fake_host::callCount("st_param_setSysRebootFlag"), 1);
    EXPECT_EQ(fake_host::callCount("st_comm_sendThreadInfoForTop"), 1);
    EXPECT_TRUE(maintenance_try_acquire()) << "the busy flag must be free again";
    // The services stay stopped; the flag is not lowered after a good write.
    EXPECT_FALSE(callsInclude("st_app_setFreeRecordMemFlag(0)"));
}

TEST_F(Upload, ServicesStopInOrderBeforeTheImageBufferIsAllocated) {
    start(10);
    EXPECT_EQ(reply(0), replyHeader(ACK, SUBTYPE, 0, 0x00));
    auto calls = fake_host::calls();
    auto first = std::find(calls.begin(), calls.end(), kServiceStops[0]);
    ASSERT_NE(first, calls.end());
    ASSERT_GE(calls.end() - first, static_cast<long>(kServiceStops.size()) + 1);
    EXPECT_EQ(std::vector<std::string>(first, first + kServiceStops.size()), kServiceStops);
    EXPECT_EQ(*(first + kServiceStops.size()), "my_malloc");
    send(chunk(pattern(10)));
    EXPECT_EQ(reply(4).size(), 20u);
    EXPECT_EQ(result(), 0);
}

TEST_F(Upload, SizesOutsideTheFlashAreRefusedBeforeAnyServiceStops) {
    ft::setFlashSize(4096);
    for (int32_t size : {4096 + 65, 0, -1}) {
        SCOPED_TRACE(size);
        fake_host::reset();
        ft::setFlashSize(4096);
        renew();
        start(size);
        EXPECT_EQ(reply(0), replyHeader(ACK, SUBTYPE, 0, 0xFF));
        EXPECT_EQ(result(), -1);
        for (const auto& name : kServiceStops) EXPECT_FALSE(callsInclude(name)) << name;
        EXPECT_TRUE(callsInclude("st_app_setFreeRecordMemFlag(0)"));
        EXPECT_TRUE(owned->nothingPending());
        EXPECT_TRUE(maintenance_try_acquire());
        maintenance_release();
    }
}

TEST_F(Upload, BadChunksEndTheTransferWithTheRequestedSize) {
    struct Case {
        const char* what;
        int32_t size;
        std::vector<Bytes> chunks;
    };
    const std::vector<Case> cases = {
        {"length 1401", 3000, {chunk(pattern(1401))}},
        {"longer than the rest", 2000, {chunk(pattern(1400)), chunk(pattern(601))}},
        {"length 0", 100, {chunk({})}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake_host::reset();
        renew();
        start(c.size);
        EXPECT_EQ(reply(0), replyHeader(ACK, SUBTYPE, 0, 0x00));
        for (const Bytes& b : c.chunks) send(b);
        EXPECT_EQ(reply(4), concat(replyHeader(PROGRESS, SUBTYPE, 4, 0xFF), u32le(static_cast<uint32_t>(c.size))));
        EXPECT_EQ(result(), -1);
        EXPECT_EQ(fake_host::callCount("st_app_netUpdateSystem"), 0);
        EXPECT_TRUE(callsInclude("st_app_setFreeRecordMemFlag(0)"));
        EXPECT_TRUE(maintenance_try_acquire());
        maintenance_release();
    }
}

TEST_F(Upload, ProgressIsReportedEveryTwoSecondsUntilTheWriteEnds) {
    ft::setFlashWrite(std::chrono::milliseconds(3000), 0);
    start(10);
    EXPECT_EQ(reply(0), replyHeader(ACK, SUBTYPE, 0, 0x00));
    send(chunk(pattern(10)));
    // Polls at about 2 s (the write runs) and 4 s (it has ended).
    Bytes first = reply(4);
    ASSERT_EQ(first.size(), 20u);
    EXPECT_EQ(Bytes(first.begin(), first.begin() + 16), replyHeader(PROGRESS, SUBTYPE, 4, 0x00));
    const uint32_t percent = testnet::u32At(first, 16);
    EXPECT_GT(percent, 0u);
    EXPECT_LT(percent, 100u);
    EXPECT_EQ(reply(4), concat(replyHeader(PROGRESS, SUBTYPE, 4, 0x00), u32le(100)));
    EXPECT_EQ(result(), 0);
}

TEST_F(Upload, TheFailureLineOfALongUserNameIsCutAt47Characters) {
    std::strncpy(owned->session->userName, "abcdefghijklmnopqrstuvw", sizeof owned->session->userName);  // 23
    ft::setFlashWrite(std::chrono::milliseconds(0), -1);
    start(10);
    EXPECT_EQ(reply(0).size(), 16u);
    send(chunk(pattern(10)));
    EXPECT_EQ(reply(4).size(), 20u);
    EXPECT_EQ(result(), -1);
    const std::string full = "abcdefghijklmnopqrstuvw net update system failure";
    EXPECT_EQ(fake_host::logLines(), std::vector<std::string>{full.substr(0, 47)});
}


TEST_F(Upload, FlashWriterThatCannotStartFailsTheTransferAndFreesEverything) {
    thread_set_start([](pthread_t*, size_t, void* (*)(void*), void*) { return EAGAIN; });
    start(10);
    EXPECT_EQ(reply(0), replyHeader(ACK, SUBTYPE, 0, 0x00));
    send(chunk(pattern(10)));
    // "transfer failed": type 5, length 4, status 0xff, the requested size.
    EXPECT_EQ(reply(4), concat(replyHeader(PROGRESS, SUBTYPE, 4, 0xFF), u32le(10)));
    EXPECT_EQ(result(), -1);
    thread_set_start(nullptr);
    EXPECT_EQ(fake_host::callCount("st_app_netUpdateSystem"), 0);
    EXPECT_EQ(updateImage, nullptr);
    EXPECT_TRUE(maintenance_try_acquire()) << "the busy flag must be free again";
}
