// Firmware upload, with every reply spelled out from its header layout.
#include <future>

#include "core/thread_registry.h"
#include "fake_host_transfers.h"
#include "handlers_test_support.h"
#include "transfer/transfer.h"

using namespace ht;
namespace ft = fake_host::transfers;

namespace {

constexpr uint16_t SUBTYPE = 0x5201;  // echoed in every reply
const Bytes kAck = replyHeader(4, SUBTYPE, 0, 0x00), kRefused = replyHeader(4, SUBTYPE, 0, 0xFF);

// The services' stop, in the order the upload must make it.
const std::vector<std::string> kServiceStops = {"st_app_setFreeRecordMemFlag(1)", "st_app_stopAppService",
                                                 "st_record_stopRecordService", "st_enc_stopEncService",
                                                 "st_stream_deinitStreamLib"};

/* A chunk: a header whose length field gives `data`'s size, then the data.
 * Magic, type and status are deliberately not a reply's. */
Bytes chunk(const Bytes& data) {
    return concat(concat({0xAA, 0xBB, 0xCC, 0xDD, 0x01, 0x02, 0x03, 0x04}, words({static_cast<uint32_t>(data.size()), 0x77})), data);
}

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
        auto r = netMessage(request(0x103, u32le(static_cast<uint32_t>(size)), SUBTYPE));
        upload = std::async(std::launch::async, [this, r] { return recvUpdateFile(owned->session, owned->session->sock.load(), *r); });
    }
    void send(const Bytes& b) {
        ASSERT_EQ(::send(owned->peerFd, b.data(), b.size(), MSG_NOSIGNAL), static_cast<ssize_t>(b.size()));
    }
    Bytes reply(size_t payload) { return owned->read(16 + payload, 5); }
    int result() { return upload.get(); }

    std::unique_ptr<PairedSession> owned;
    std::future<int> upload;
};

}  // namespace

TEST_F(Upload, ImageOfFlashSizePlus64InChunksOf1400_1400_200IsWritten) {
    ft::setFlashSize(3000 - 64);
    start(3000);
    EXPECT_EQ(reply(0), kAck);
    const Bytes image = pattern(3000, 9);
    send(chunk(Bytes(image.begin(), image.begin() + 1400)));
    send(chunk(Bytes(image.begin() + 1400, image.begin() + 2800)));
    send(chunk(Bytes(image.begin() + 2800, image.end())));
    // The write is immediate: the first poll, after 2 s, is the last reply.
    EXPECT_EQ(reply(4), progress(0, 100));
    EXPECT_EQ(result(), 0);
    EXPECT_EQ(fh::last("st_app_netUpdateSystem").args, std::vector<int64_t>{3000});
    EXPECT_EQ(fh::last("st_app_netUpdateSystem").data, image);
    EXPECT_EQ(fake_host::callCount("st_param_setSysRebootFlag"), 1);
    EXPECT_EQ(fake_host::callCount("st_comm_sendThreadInfoForTop"), 1);
    EXPECT_TRUE(maintenance_try_acquire()) << "the busy flag must be free again";
    // The services stay stopped; the flag is not lowered after a good write.
    EXPECT_FALSE(callsInclude("st_app_setFreeRecordMemFlag(0)"));
}

TEST_F(Upload, ServicesStopInOrderBeforeTheImageBufferIsAllocated) {
    start(10);
    EXPECT_EQ(reply(0), kAck);
    auto calls = fake_host::calls();
    auto first = std::find(calls.begin(), calls.end(), kServiceStops[0]);
    ASSERT_NE(first, calls.end());
    ASSERT_GE(calls.end() - first, static_cast<long>(kServiceStops.size()) + 1);
    EXPECT_EQ(std::vector<std::string>(first, first + kServiceStops.size()), kServiceStops);
    EXPECT_EQ(*(first + kServiceStops.size()), "my_malloc");
    send(chunk(pattern(10)));
    EXPECT_EQ(reply(4), progress(0, 100));
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
        EXPECT_EQ(reply(0), kRefused);
        EXPECT_EQ(result(), -1);
        for (const auto& name : kServiceStops) EXPECT_FALSE(callsInclude(name)) << name;
        EXPECT_TRUE(callsInclude("st_app_setFreeRecordMemFlag(0)"));
        EXPECT_TRUE(owned->nothingPending());
        EXPECT_TRUE(maintenance_try_acquire());
        maintenance_release();
    }
}

TEST_F(Upload, BadChunksEndTheTransferWithTheRequestedSize) {
    struct Case { const char* what; int32_t size; std::vector<Bytes> chunks; };
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
        EXPECT_EQ(reply(0), kAck);
        for (const Bytes& b : c.chunks) send(b);
        EXPECT_EQ(reply(4), progress(0xFF, static_cast<uint32_t>(c.size)));
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
    EXPECT_EQ(reply(0), kAck);
    send(chunk(pattern(10)));
    // Polls at about 2 s (the write runs) and 4 s (it has ended).
    Bytes first = reply(4);
    ASSERT_EQ(first.size(), 20u);
    EXPECT_EQ(Bytes(first.begin(), first.begin() + 16), replyHeader(5, SUBTYPE, 4, 0x00));
    EXPECT_GT(testnet::u32At(first, 16), 0u);
    EXPECT_LT(testnet::u32At(first, 16), 100u);
    EXPECT_EQ(reply(4), progress(0, 100));
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
    thread_set_start(failingStart);
    start(10);
    EXPECT_EQ(reply(0), kAck);
    send(chunk(pattern(10)));
    EXPECT_EQ(reply(4), progress(0xFF, 10));
    EXPECT_EQ(result(), -1);
    thread_set_start(nullptr);
    EXPECT_EQ(fake_host::callCount("st_app_netUpdateSystem"), 0);
    EXPECT_EQ(updateImage, nullptr);
    EXPECT_TRUE(maintenance_try_acquire()) << "the busy flag must be free again";
}
