// Maintenance: partitioning and formatting on workers, with the module-wide
// busy flag, and the progress queries.
#include <atomic>

#include "core/thread_registry.h"
#include "handlers_test_support.h"

using namespace ht;

namespace {

constexpr uint16_t GET_HARDDISK = 0x805, FDISK = 0x845, FORMAT = 0x846, FDISK_STATUS = 0x848;

class Maintenance : public ::testing::Test {
protected:
    void SetUp() override {
        fake_host::reset();
        fdiskStatus.store(0);
        maintenance_release();
    }
    // Lets every worker that a test started come to its end, so that none
    // runs into the next test.
    void TearDown() override {
        thread_set_start(nullptr);
        fh::setResult("st_app_getFormatPercent", 100);
        fh::releaseFdisk();
        EXPECT_TRUE(waitFor([] { return maintenance_workers_running() == 0; }));
        maintenance_workers_join();
        maintenance_release();
    }
};

}  // namespace

TEST_F(Maintenance, FdiskRunsOnAWorkerAndReportsItsOutcome) {
    PairedSession ps;
    fh::holdFdisk();
    dispatch(ps, request(FDISK, words({1, 2, 99})));
    EXPECT_EQ(ps.read(16), replyHeader(FDISK, 0, 0, 0x00));
    EXPECT_TRUE(maintenance_busy());
    ASSERT_TRUE(waitFor([] { return fake_host::callCount("st_app_fdiskHd") == 1; }));
    EXPECT_EQ(fh::last("st_app_fdiskHd").args, (std::vector<int64_t>{1, 2, 1}));
    EXPECT_EQ(fh::last("st_comm_sendThreadInfoForTop").data, Bytes(std::begin("fdiskHdThread"), std::end("fdiskHdThread") - 1));

    dispatch(ps, request(FDISK_STATUS));  // running: the same 0 as before any
    EXPECT_EQ(ps.read(24), concat(replyHeader(FDISK_STATUS, 0, 8, 0x00), words({0, 0})));

    fh::releaseFdisk();
    ASSERT_TRUE(waitFor([] { return maintenance_workers_running() == 0; }));
    EXPECT_FALSE(maintenance_busy());
    EXPECT_EQ(fh::freedBlocks().size(), 1u);  // the argument block
    dispatch(ps, request(FDISK_STATUS));
    EXPECT_EQ(ps.read(24), concat(replyHeader(FDISK_STATUS, 0, 8, 0x00), words({0, 1})));
}

TEST_F(Maintenance, FdiskWithoutThreadIsRefusedAndFreesTheFlag) {
    PairedSession ps;
    fake_host::reset();
    thread_set_start(failingStart);
    dispatch(ps, request(FDISK, words({1, 2})));
    EXPECT_EQ(ps.read(16), replyHeader(FDISK, 0, 0, 0xFF));
    EXPECT_FALSE(maintenance_busy());
    EXPECT_EQ(fh::freedBlocks().size(), 1u);
    EXPECT_EQ(fake_host::callCount("st_app_fdiskHd"), 0);
    EXPECT_EQ(maintenance_workers_running(), 0);
}

TEST_F(Maintenance, BusyInterplayAcrossTwoSessions) {
    PairedSession a;
    PairedSession b;
    fake_host::reset();  // the sessions' own records are not the subject
    fh::setResult("st_app_getFormatPercent", 40);  // the format runs
    dispatch(a, request(FORMAT, words({3, 1, 7})));
    EXPECT_EQ(a.read(16), replyHeader(FORMAT, 0, 0, 0x00));
    EXPECT_EQ(fh::last("st_app_formatPart").args, (std::vector<int64_t>{3, 1, 7, 1}));
    EXPECT_EQ(formatArgs[0].load(), 3u);
    EXPECT_EQ(formatArgs[2].load(), 7u);
    EXPECT_TRUE(maintenance_busy());

    dispatch(b, request(GET_HARDDISK));
    EXPECT_EQ(b.read(16), replyHeader(GET_HARDDISK, 0, 0, 0x11));
    dispatch(b, request(FORMAT, words({4, 4, 4})));
    EXPECT_EQ(b.read(16), replyHeader(FORMAT, 0, 0, 0x11));
    dispatch(b, request(FDISK, words({1, 1})));
    EXPECT_EQ(b.read(16), replyHeader(FDISK, 0, 0, 0x12));
    EXPECT_EQ(fake_host::callCount("st_app_formatPart"), 1);
    EXPECT_EQ(fake_host::callCount("st_app_netGetHardDiskData"), 0);
    EXPECT_EQ(fake_host::callCount("my_malloc"), 0);

    // The watcher polls the first two words and frees the flag at the end.
    EXPECT_EQ(fh::last("st_app_getFormatPercent").args, (std::vector<int64_t>{3, 1}));
    fh::setResult("st_app_getFormatPercent", 100);
    ASSERT_TRUE(waitFor([] { return maintenance_workers_running() == 0; }));
    EXPECT_FALSE(maintenance_busy());
    EXPECT_EQ(fake_host::callCount("st_comm_openHdLogFile"), 1);
    EXPECT_EQ(fh::last("st_comm_sendThreadInfoForTop").data,
              Bytes(std::begin("getFormatStatusThread"), std::end("getFormatStatusThread") - 1));
    Bytes got = dispatchRead(b, request(GET_HARDDISK), 984);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 16), replyHeader(GET_HARDDISK, 0, 968, 0x00));
}

TEST_F(Maintenance, FormatPausesOneSecondAfterAWrittenReplyOnly) {
    PairedSession ps;
    fh::setResult("st_app_formatPart", -1);
    auto t0 = std::chrono::steady_clock::now();
    dispatch(ps, request(FORMAT, words({1, 2, 3})));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(950));
    ps.read(16);

    fake_host::force("writen", -1);
    t0 = std::chrono::steady_clock::now();
    dispatch(ps, request(FORMAT, words({1, 2, 3})));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
}

TEST_F(Maintenance, FormatWhoseWatcherCannotStartIsWatchedByTheMessageThread) {
    PairedSession ps;
    thread_set_start(failingStart);
    fh::setResult("st_app_getFormatPercent", 20);
    std::thread handler([&] { dispatch(ps, request(FORMAT, words({5, 6, 7}))); });
    EXPECT_EQ(ps.read(16), replyHeader(FORMAT, 0, 0, 0x00));
    // The host's format runs: the flag stays until it ends.
    EXPECT_TRUE(waitFor([] { return fake_host::callCount("st_app_getFormatPercent") >= 1; }));
    EXPECT_TRUE(maintenance_busy());
    fh::setResult("st_app_getFormatPercent", 100);
    handler.join();
    EXPECT_FALSE(maintenance_busy());
    EXPECT_EQ(fake_host::callCount("st_comm_openHdLogFile"), 1);
    EXPECT_EQ(fake_host::callCount("st_comm_sendThreadInfoForTop"), 0);
    EXPECT_EQ(fh::last("st_app_getFormatPercent").args, (std::vector<int64_t>{5, 6}));
}

TEST_F(Maintenance, OnlyOneOfManySessionsGetsTheFlag) {
    constexpr int N = 8;
    std::vector<std::unique_ptr<PairedSession>> sessions;
    for (int i = 0; i < N; ++i) sessions.push_back(std::make_unique<PairedSession>());
    fh::holdFdisk();
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < N; ++i) {
        threads.emplace_back([&, i] {
            while (!go.load()) std::this_thread::yield();
            dispatch(*sessions[i], request(FDISK, words({1, 1})));
        });
    }
    go = true;
    for (auto& t : threads) t.join();
    int ok = 0;
    int busy = 0;
    for (auto& s : sessions) {
        Bytes r = s->read(16);
        ok += r == replyHeader(FDISK, 0, 0, 0x00);
        busy += r == replyHeader(FDISK, 0, 0, 0x12);
    }
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(busy, N - 1);
}
