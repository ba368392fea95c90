// Forced key frames, serial send's refusal and the session worker's life (the
// answers of PTZ, manual recording and serial send: handlers_answers_test.cpp).
#include <atomic>

#include "core/thread_registry.h"
#include "handlers_test_support.h"

using namespace ht;

namespace {

constexpr uint16_t START_WORKER = 0x801, SERIAL_SEND = 0x818, FORCE_IFRAME = 0x830;

/* Thread start that holds every new thread at a gate until the test opens it,
 * so that a worker is seen while it runs. */
std::atomic<bool> g_gateOpen{false};
std::atomic<int> g_started{0};
struct Gated { void* (*entry)(void*); void* arg; };
int gatedStart(pthread_t* thread, size_t, void* (*entry)(void*), void* arg) {
    g_started.fetch_add(1);
    auto* g = new Gated{entry, arg};
    int r = pthread_create(
        thread, nullptr,
        [](void* p) -> void* {
            auto* g = static_cast<Gated*>(p);
            while (!g_gateOpen.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            void* result = g->entry(g->arg);
            delete g;
            return result;
        },
        g);
    if (r != 0) delete g;
    return r;
}
class Worker : public ::testing::Test {
protected:
    void SetUp() override {
        fake_host::reset();
        g_gateOpen = false;
        g_started = 0;
        thread_set_start(gatedStart);
    }
    void TearDown() override {
        g_gateOpen = true;
        session_worker_end(ps.session);
        thread_set_start(nullptr);
        // The next fixture's session is made before its SetUp: no forced
        // result of this test may reach it.
        fake_host::reset();
    }
    PairedSession ps;
};

}  // namespace

// Only a channel of the session is marked; there is never an answer.
TEST(ForceIFrame, MarksTheChannelAsksTheEncoderAndNeverAnswers) {
    fake_host::reset();
    PairedSession ps(4);
    for (uint32_t channel : {4u, 5u, 0x80000000u, 0xFFFFFFFFu}) dispatch(ps, request(FORCE_IFRAME, u32le(channel)));
    EXPECT_EQ(fake_host::callCount("st_enc_setIFrameForceFlag"), 0);
    dispatch(ps, request(FORCE_IFRAME, u32le(2)));
    EXPECT_TRUE(ps.nothingPending());
    for (uint32_t c = 0; c < 4; ++c) EXPECT_EQ(ps.session->streams[c].waitKeyFrame.load(), c == 2 ? 1u : 0u) << c;
    EXPECT_EQ(fh::last("st_enc_setIFrameForceFlag").args, (std::vector<int64_t>{2, 0}));
}

TEST(SerialSend, CountAbove1024WritesNothing) {
    for (uint32_t count : {1025u, 5000u, 0xFFFFFFFFu}) {
        fake_host::reset();
        PairedSession ps;
        dispatch(ps, request(SERIAL_SEND, concat(u32le(count), pattern(1100))));
        EXPECT_EQ(ps.read(16), replyHeader(SERIAL_SEND, 0, 0, 0xFF)) << count;
        EXPECT_TRUE(ps.nothingPending());
        EXPECT_EQ(fake_host::callCount("st_com_refreshSerialParam"), 0);
        EXPECT_EQ(fake_host::callCount("st_com_sendDataToCom"), 0);
    }
}

TEST_F(Worker, StartIsNotAnsweredAndTheWorkerEndsByItself) {
    dispatch(ps, request(START_WORKER, pattern(60)));
    EXPECT_TRUE(ps.nothingPending());
    EXPECT_EQ(ps.session->workerBusy.load(), 1u);
    EXPECT_EQ(fake_host::callCount("my_malloc"), 1);
    g_gateOpen = true;
    ASSERT_TRUE(waitFor([&] { return ps.session->workerBusy.load() == 0; }));
    EXPECT_TRUE(waitFor([] { return fh::freedBlocks().size() == 1; }));
}

TEST_F(Worker, SecondStartWhileRunningIsRefused) {
    dispatch(ps, request(START_WORKER, pattern(60)));
    dispatch(ps, request(START_WORKER, pattern(60)));
    EXPECT_EQ(ps.read(16), replyHeader(START_WORKER, 0, 0, 0xFF));
    EXPECT_TRUE(ps.nothingPending());
    EXPECT_EQ(g_started.load(), 1);
    EXPECT_EQ(fh::freedBlocks().size(), 1u);  // the refused request's block
    EXPECT_EQ(ps.session->workerBusy.load(), 1u);
}

TEST_F(Worker, StartAfterTheEndJoinsTheOldWorkerAndStartsANewOne) {
    g_gateOpen = true;
    dispatch(ps, request(START_WORKER, pattern(60)));
    ASSERT_TRUE(waitFor([&] { return ps.session->workerBusy.load() == 0; }));
    dispatch(ps, request(START_WORKER, pattern(60)));
    EXPECT_TRUE(ps.nothingPending());
    EXPECT_EQ(g_started.load(), 2);
    ASSERT_TRUE(waitFor([&] { return ps.session->workerBusy.load() == 0; }));
    // The sanitizer build reports a thread that is never joined.
}

TEST_F(Worker, WorkerThatCannotStartIsRefused) {
    thread_set_start(failingStart);
    dispatch(ps, request(START_WORKER, pattern(60)));
    EXPECT_EQ(ps.read(16), replyHeader(START_WORKER, 0, 0, 0xFF));
    EXPECT_EQ(ps.session->workerBusy.load(), 0u);
    EXPECT_EQ(fh::freedBlocks().size(), 1u);
}

TEST_F(Worker, EndWaitsForARunningWorker) {
    dispatch(ps, request(START_WORKER, pattern(60)));
    std::thread opener([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        g_gateOpen = true;
    });
    auto t0 = std::chrono::steady_clock::now();
    session_worker_end(ps.session);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(250));
    EXPECT_EQ(ps.session->workerBusy.load(), 0u);
    EXPECT_EQ(fh::freedBlocks().size(), 1u);
    opener.join();
    session_worker_end(ps.session);  // nothing left: returns at once
}
