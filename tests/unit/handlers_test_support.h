// The rows of the table-driven handler tests: one call each, with what the
// host does, the bytes on the wire and what the host saw.
#ifndef RECNET_TESTS_HANDLERS_TEST_SUPPORT_H
#define RECNET_TESTS_HANDLERS_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "fake_host_handlers.h"
#include "handlers/handlers.h"
#include "handlers/maintenance_state.h"
#include "netserver/netserver.h"
#include "netserver/wire.h"
#include "unit_support.h"

namespace ht {

using testnet::Bytes;
namespace fh = fake_host::handlers;

/* A whole message buffer holding `m`, zero behind it, as the message thread
 * hands it over; and the same as a NetMessage. */
inline std::unique_ptr<uint8_t[]> buffer(const Bytes& m) {
    auto buf = std::make_unique<uint8_t[]>(16 + 102400);
    std::memcpy(buf.get(), m.data(), m.size());
    return buf;
}
inline std::shared_ptr<NetMessage> netMessage(const Bytes& m) {
    auto msg = std::make_shared<NetMessage>();
    std::copy(m.begin(), m.end(), msg->bytes);
    return msg;
}

/* Status byte 0x5A in every request: a reply must overwrite it. The rest
 * bytes D1 D2 D3: a reply must echo them. */
inline Bytes request(uint16_t type, const Bytes& payload = {}, uint16_t subtype = 0) {
    static const uint8_t rest[3] = {0xD1, 0xD2, 0xD3};
    return testnet::message(type, payload, subtype, 0x5A, 0x504C4C4C, rest);
}

/* The reply header written out field by field: magic 4C 4C 4C 50, type,
 * sub-type, length, status, D1 D2 D3. */
inline Bytes replyHeader(uint16_t type, uint16_t subtype, uint32_t length, uint8_t status) {
    auto b = [](uint32_t v, int n) { return static_cast<uint8_t>(v >> (8 * n)); };
    return {0x4C, 0x4C, 0x4C, 0x50, b(type, 0), b(type, 1), b(subtype, 0), b(subtype, 1),
            b(length, 0), b(length, 1), b(length, 2), b(length, 3), status, 0xD1, 0xD2, 0xD3};
}

inline Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes pattern(size_t n, uint8_t seed = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i);
    return b;
}

inline Bytes words(std::initializer_list<uint32_t> ws) {
    Bytes b;
    for (uint32_t w : ws)
        for (int n = 0; n < 4; ++n) b.push_back(static_cast<uint8_t>(w >> (8 * n)));
    return b;
}
inline Bytes u32le(uint32_t v) { return words({v}); }

/* A firmware upload's progress reply (sub-type 0x5201): status, one word. */
inline Bytes progress(uint8_t status, uint32_t word) {
    return concat(replyHeader(wire::MSG_UPDATE_PROGRESS, 0x5201, 4, status), u32le(word));
}
/* One MSG_SERIAL_DATA as it must travel: magic, type 0x819, sub-type 0,
 * length 1028, status 0, three zero bytes; count; 1024 data bytes of which
 * those behind the count are zero. */
inline Bytes serialMessage(const Bytes& data) {
    Bytes m = {0x4C, 0x4C, 0x4C, 0x50, 0x19, 0x08, 0x00, 0x00, 0x04, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    m = concat(concat(m, u32le(static_cast<uint32_t>(data.size()))), data);
    return m.resize(1044, 0), m;
}

/* Runs the handler on this thread; for requests whose reply is small. */
inline void dispatch(PairedSession& ps, const Bytes& m) { DefaultMessageHandler(ps.session, buffer(m).get()); }

/* Runs the handler on a thread of its own while this one reads `n` reply
 * bytes, so that a reply larger than the socket buffer cannot block it. */
inline Bytes dispatchRead(PairedSession& ps, const Bytes& m, size_t n) {
    auto buf = buffer(m);
    std::thread handler([&] { DefaultMessageHandler(ps.session, buf.get()); });
    Bytes got = ps.read(n);
    handler.join();
    return got;
}

inline int failingStart(pthread_t*, size_t, void* (*)(void*), void*) { return EAGAIN; }

inline bool waitFor(const std::function<bool()>& done, int ms = 5000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

/* Every message type the dispatcher handles, by the name its rows carry. */
inline const std::map<uint16_t, const char*> kTypes = {
    {0x7, "Ptz"}, {0x8, "DefaultSetting"}, {0x401, "SetParam"}, {0x402, "GetParam"}, {0x403, "ResetVideoConfig"},
    {0x801, "StartSessionThread"}, {0x802, "SetTime"}, {0x803, "GetTime"}, {0x804, "GetVersionInfo"}, {0x805, "GetHardDiskData"},
    {0x806, "GetSystemStatusInfo"}, {0x807, "GetLogList"}, {0x808, "DeleteLog"}, {0x80a, "SetSessionFlag"}, {0x80e, "GetUserList"},
    {0x80b, "GetUpdateSystemInfo"}, {0x80f, "AddUser"}, {0x810, "DeleteUser"}, {0x811, "ModifyUser"}, {0x812, "GetFlatType"},
    {0x815, "GetApInfo"}, {0x818, "SerialSend"}, {0x830, "ForceIFrame"}, {0x840, "SetHandRecord"}, {0x841, "ClearHandRecord"},
    {0x842, "DeleteRecordFileMsg"}, {0x843, "RebootSystem"}, {0x844, "ResumeDefaultParam"}, {0x845, "FdiskHd"}, {0x846, "FormatPart"},
    {0x847, "GetFormatPercent"}, {0x848, "GetFdiskStatus"}, {0x853, "ResetFactoryParam"}, {0x854, "SetVersionInfo"},
    {0x857, "InitCameraInfo"}, {0x858, "InitCameraItu"}, {0x863, "Reset3GModule"}, {0x864, "CmosDefault"}, {0x865, "3GConfigDefault"}};

struct Ctx {
    PairedSession ps;
    ~Ctx() { stopTransparentCmd(ps.session), session_worker_end(ps.session); }
    int sock() const { return ps.session->sock.load(); }
};
using Fn = std::function<void(Ctx&)>;
using Call = std::function<int(Ctx&)>;
inline Fn both(Fn a, Fn b) { return [=](Ctx& c) { a(c), b(c); }; }

/* A row: `target` (export or message type) with host function `host`
 * behaving as `kind` gives `answer`. Kinds Null (my_malloc), WriteFails,
 * WriteShort (`forced` bytes go out), Negative and Untouched (forced result),
 * and for readn / st_com_getDataFromRecBuf any kind force the host; any other
 * kind names a case in which the host works. */
struct Row {
    std::string target, host, kind, answer;
    int forced = -1;
    uint16_t type = 0, sub = 0;
    Call call, finish;                  // finish: a second bounded call once the wire is read
    std::function<Bytes(Ctx&)> expect;  // null: the wire is not looked at
    std::optional<int> returns;
    int audits = -1;  // device-log lines expected; -1: not looked at
    Fn before, peer, after;

    Row& on(std::string h, std::string k, int f = -1) { return host = h, kind = k, forced = f, *this; }
    Row& wire(Bytes b, std::string label) { return expect = [b](Ctx&) { return b; }, answer = label, *this; }
    Row& reply(uint8_t status, Bytes payload = {}) {
        auto label = status == 0 ? "Ok" : status == 0xFF ? "Failed" : "Busy";
        return wire(concat(replyHeader(type, sub, static_cast<uint32_t>(payload.size()), status), payload), label);
    }
    Row& none() { return wire({}, "NoAnswer"); }
    Row& given(Fn f) { return before = f, *this; }
    Row& peerDoes(Fn f) { return peer = f, *this; }
    Row& then(Fn f) { return after = f, *this; }
    Row& also(Fn f) { return after = after ? both(after, f) : f, *this; }
    Row& ret(int r) { return returns = r, *this; }
    Row& audit(int n) { return audits = n, *this; }
    Row& as(std::string t) { return target = t, *this; }
};

inline void PrintTo(const Row& r, std::ostream* os) { *os << r.target << " " << r.host << " " << r.kind << " " << r.answer; }

/* A row of an export or message type; the builders fill in the rest. */
inline Row X(std::string target, uint16_t type, uint16_t sub, Call call) {
    Row r;
    return r.target = target, r.type = type, r.sub = sub, r.call = call, r;
}
inline Row D(uint16_t type, Bytes payload = {}, uint16_t sub = 0) {
    Bytes m = request(type, payload, sub);
    return X(kTypes.at(type), type, sub, [m](Ctx& c) { return DefaultMessageHandler(c.ps.session, buffer(m).get()), 0; });
}

inline Fn called(const char* host, int times) { return [=](Ctx&) { EXPECT_EQ(fake_host::callCount(host), times) << host; }; }
/* The newest call of `host` had these integer arguments and, unless
 * nullopt, this record. */
inline Fn hostGot(const char* host, std::vector<int64_t> args, std::optional<Bytes> data = std::nullopt) {
    return [=](Ctx&) {
        fh::Call c = fh::last(host);
        EXPECT_EQ(c.name, host);
        EXPECT_EQ(c.args, args) << host;
        if (data) { EXPECT_EQ(c.data, *data) << host; }
    };
}

/* Runs `call` on a thread of its own and `meanwhile` on this one. nullopt when
 * the call has not returned within 5 s; the host's failures are then lifted,
 * and a call that still does not end is left running with its state. */
inline std::optional<int> bounded(const std::shared_ptr<Ctx>& ctx, const Call& call,
                                  const std::function<void()>& meanwhile = {}) {
    constexpr auto bound = std::chrono::seconds(5);
    auto done = std::make_shared<std::promise<int>>();
    std::future<int> result = done->get_future();
    const auto deadline = std::chrono::steady_clock::now() + bound;
    std::thread thread([ctx, done, call] { done->set_value(call(*ctx)); });
    if (meanwhile) meanwhile();
    if (result.wait_until(deadline) == std::future_status::ready) return thread.join(), result.get();
    fake_host::reset();
    if (result.wait_for(bound) == std::future_status::ready) thread.join();
    else thread.detach();
    return std::nullopt;
}

/* Runs a row: the bytes on the wire exactly and nothing behind them, the
 * result, the log lines, within 5 s. */
class RowTest : public ::testing::TestWithParam<Row> {
protected:
    void TearDown() override {  // no worker of a row runs into the next
        fake_host::reset();
        fh::setResult("st_app_getFormatPercent", 100);  // a format watcher ends
        EXPECT_TRUE(waitFor([] { return maintenance_workers_running() == 0; }));
        maintenance_workers_join();
        maintenance_release();
    }
    void run(const Row& row) {
        fake_host::reset();
        auto ctx = std::make_shared<Ctx>();
        fake_host::reset();  // the session's own record is not the row's
        maintenance_release(), fdiskStatus.store(0);
        fh::setResult("st_app_getFormatPercent", 100);  // a format ends at once
        if (row.kind == "Null") fake_host::force("my_malloc", 0);
        else if (row.kind == "WriteFails") fake_host::force("writen", -1);
        else if (row.kind == "WriteShort") fake_host::failWritesAfter(static_cast<size_t>(row.forced));
        else if (row.host == "readn" || row.host == "st_com_getDataFromRecBuf") fake_host::forceQuiet(row.host, row.forced);
        else if (row.kind == "Negative" || row.kind == "Untouched") fake_host::force(row.host, row.forced);
        if (row.before) row.before(*ctx);

        Bytes got;
        std::optional<int> result = bounded(ctx, row.call, [&] {
            if (row.peer) row.peer(*ctx);
            if (row.expect) got = ctx->ps.read(row.expect(*ctx).size(), 5);
        });
        ASSERT_TRUE(result.has_value()) << "the call did not return within 5 s";
        if (row.finish) { EXPECT_EQ(bounded(ctx, row.finish), std::optional<int>(0)) << "the stop did not return 0 within 5 s"; }
        if (row.expect) { EXPECT_EQ(got, row.expect(*ctx)); EXPECT_TRUE(ctx->ps.nothingPending()); }
        if (row.returns) { EXPECT_EQ(result, row.returns); }
        if (row.audits >= 0) { EXPECT_EQ(fake_host::logLines().size(), static_cast<size_t>(row.audits)); }
        if (row.after) row.after(*ctx);
    }
};

inline std::string rowName(const ::testing::TestParamInfo<Row>& info) {
    std::string name = info.param.target + "_" + info.param.host + "_" + info.param.kind + "_" + info.param.answer;
    std::replace_if(name.begin(), name.end(), [](char ch) { return !std::isalnum(static_cast<unsigned char>(ch)); }, '_');
    return name;
}

}  // namespace ht

#endif
