// The handlers' answers when the host works: one row per request, with the
// reply byte for byte (nothing behind it) and what the host was handed.
#include <cstdio>

#include "handlers_test_support.h"

using namespace ht;

namespace {

/* Position of the first call named `name` in the fake host's record. */
long callIndex(const std::string& name) {
    auto calls = fake_host::calls();
    return std::find(calls.begin(), calls.end(), name) - calls.begin();
}
Fn output(const char* host, Bytes b) { return [=](Ctx&) { fh::setOutput(host, b); }; }
Fn flagIs(uint32_t v) { return [=](Ctx& c) { EXPECT_EQ(c.ps.session->sessionFlag.load(), v); }; }
/* A getter's record answered whole. */
Row getter(uint16_t type, const char* host, size_t size) {
    return D(type, pattern(30)).on(host, "Record").given(output(host, pattern(size, 0x21))).reply(0, pattern(size, 0x21));
}
Row apInfo(size_t size) {
    return D(0x815).on("st_iwlist_getApInfo", std::string("Scan") + std::to_string(size)).given(output("st_iwlist_getApInfo", pattern(size, 7)))
        .reply(0, pattern(size, 7)).then(both(called("st_iwlist_getIwprivApInfo", 0), [](Ctx& c) {
            EXPECT_EQ(fh::last("st_iwlist_getApInfo").args, std::vector<int64_t>{c.sock()});
        }));
}
/* Reboot and factory reset answer before the host acts. */
Row answersFirst(uint16_t type, const char* host) {
    return D(type, pattern(3)).on(host, "AfterTheAnswer").reply(0).then(both(called(host, 1), [=](Ctx&) {
        EXPECT_LT(callIndex("writen"), callIndex(host));
    }));
}
/* The three resets print their line on stdout. */
Row printed(uint16_t type, const char* host, const char* line) {
    return D(type, u32le(0xA1B2C3D4)).on(host, "Printed").given([](Ctx&) { testing::internal::CaptureStdout(); }).reply(0)
        .then(both(called(host, 1), [=](Ctx&) {
            fflush(stdout);
            EXPECT_EQ(testing::internal::GetCapturedStdout(), line);
        }));
}
/* The single-record commands hand the host the record by value: as many bytes
 * as it holds, zeros behind a shorter request; the log query goes with a list
 * request. */
Row byValue(uint16_t type, const char* host, Bytes payload, Bytes passed, const char* kind = "ByValue") {
    Row r = D(type, payload).on(host, kind).reply(0, type == 0x807 ? Bytes(4, 0) : Bytes{}).then(hostGot(host, {}, passed));
    return r.as(std::string("Records") + r.target);
}
/* The record file's name: the host gets 256 bytes, the name cut to 47
 * characters, then zeros. */
Row recordFile(Bytes payload, const std::string& name, const char* kind) {
    Bytes passed(256, 0);
    std::copy(name.begin(), name.end(), passed.begin());
    return D(0x842, payload).on("st_record_netDeleteRecordFile", kind).reply(0).then(hostGot("st_record_netDeleteRecordFile", {}, passed));
}
Bytes field48(const std::string& name) { return concat(Bytes(name.begin(), name.end()), Bytes(48 - name.size(), 0)); }

std::vector<Row> answers() {
    Bytes bob(56, 0);
    bob[0] = 'b', bob[1] = 'o', bob[2] = 'b';
    std::vector<Row> t = {
        // Device information and time.
        getter(0x803, "st_app_netGetTime", 24), getter(0x804, "st_app_netGetVersionInfo", 160),
        getter(0x805, "st_app_netGetHardDiskData", 968), getter(0x806, "st_app_netGetSystemStatusInfo", 1244),
        getter(0x80b, "st_app_netGetUpdateSystemInfo", 4),
        D(0x802, words({2026, 3, 14, 15, 9, 26})).on("st_app_netSetTime", "SixWords").reply(0)
            .then(hostGot("st_app_netSetTime", {2026, 3, 14, 15, 9, 26})),
        D(0x812, pattern(12)).on("st_param_getFlatType", "Value").given([](Ctx&) { fh::setResult("st_param_getFlatType", 0x1234); })
            .reply(0, {0x34, 0x12, 0, 0, 0, 0, 0, 0}),
        apInfo(0), apInfo(300), apInfo(51200),
        D(0x854, pattern(170, 0x41)).on("st_param_setVersionInfo", "Record").reply(0)
            .then(hostGot("st_param_setVersionInfo", {}, pattern(160, 0x41))),
        // The session flag takes only 0 and 1; no payload reads as 0.
        D(0x80a, u32le(2)).on("session", "Two").given(flagIs(1)).reply(0).then(flagIs(1)),
        D(0x80a).on("session", "Empty").reply(0).then(flagIs(0)),
        D(0x80a, u32le(1)).on("session", "One").given([](Ctx& c) { c.ps.session->sessionFlag.store(0); }).reply(0).then(flagIs(1)),
        // Maintenance.
        answersFirst(0x843, "st_app_netRebootSystem"), answersFirst(0x853, "st_param_resetFactoryParam"),
        D(0x844).on("st_param_resetAllStruct", "ThenLog").reply(0).then([](Ctx&) {
            EXPECT_LT(callIndex("st_param_resetAllStruct"), callIndex("writen"));
            EXPECT_LT(callIndex("writen"), callIndex("st_param_writeLogBuffer"));
            EXPECT_EQ(fake_host::logLines(), std::vector<std::string>{"resume default param"});
            EXPECT_EQ(fake_host::logCategories(), std::vector<int>{4});
        }),
        printed(0x863, "at_Reset", "MSG_RESET_3G_MODULE\n"), printed(0x864, "st_param_initCmos", "MSG_CMOS_DEFAULT\n"),
        printed(0x865, "Default3GConfigStruct", "MSG_3GCONFIG_DEFAULT\n").also(hostGot("Default3GConfigStruct", {0xA1B2C3D4})),
        // Parameters: the host's bytes up to a full payload area.
        D(0x402, pattern(8), 13).on("st_app_netGetParam", "Empty").reply(0).then(hostGot("st_app_netGetParam", {13})),
        D(0x402, pattern(8), 13).on("st_app_netGetParam", "Full").given(output("st_app_netGetParam", pattern(102400, 0x30)))
            .reply(0, pattern(102400, 0x30)),
        // A channel's video config back to its default: name CHnn, then four times 0x80.
        D(0x403, {9, 0xAA}).on("st_param_setVideoConfigParam", "Ch10").given([](Ctx&) { fake_host::setChannels(10); }).reply(0)
            .then(hostGot("st_param_setVideoConfigParam", {9}, Bytes{'C', 'H', '1', '0', 0, 0, 0, 0, 0x80, 0x80, 0x80, 0x80})),
        D(0x403, {0, 0xAA}).on("st_param_setVideoConfigParam", "Ch01").reply(0)
            .then(hostGot("st_param_setVideoConfigParam", {0}, Bytes{'C', 'H', '0', '1', 0, 0, 0, 0, 0x80, 0x80, 0x80, 0x80})),
        // PTZ, manual recording, serial send.
        D(0x7, pattern(40, 0x70), 0x0103).on("st_app_netPTZControl", "Command").reply(0)
            .then(hostGot("st_app_netPTZControl", {0x0103}, pattern(32, 0x70))),
        D(0x840, {3, 0, 0, 0, 0xA1, 0xA2, 0xA3, 0xA4}).on("st_param_setHandRecordStruct", "ThreeBytes").reply(0)
            .then(hostGot("st_param_setHandRecordStruct", {3}, Bytes{0xA1, 0xA2, 0xA3})),
        D(0x841, {3, 0, 0, 0, 0xA1, 0xA2, 0xA3, 0xA4}).on("st_param_setHandRecordStruct", "Zeroes").reply(0)
            .then(hostGot("st_param_setHandRecordStruct", {3}, Bytes{0, 0, 0})),
        // Serial send answers, then sets the port up from its setting (bytes 0x11,
        // 0x22, u32 9600 at 4, u32 8 at 8) and writes `count` bytes.
        D(0x818, concat(u32le(3), {'a', 'b', 'c', 'd'})).on("st_com_sendDataToCom", "TransparentPort").reply(0)
            .given(both(output("st_param_getTransparenceStruct", {1, 0, 1, 0}), output("st_param_getSerialStruct", {0x11, 0x22, 0, 0, 0x80, 0x25, 0, 0, 8})))
            .then(both(both(hostGot("st_param_getSerialStruct", {1}), hostGot("st_com_refreshSerialParam", {1, 8, 9600, 0x22, 0x11})), [](Ctx&) {
                EXPECT_EQ(fh::last("st_com_sendDataToCom").args, (std::vector<int64_t>{1, 3}));
                EXPECT_EQ(fh::last("st_com_sendDataToCom").data, (Bytes{'a', 'b', 'c'}));
                EXPECT_EQ(fake_host::calls(), (std::vector<std::string>{"st_param_getSysConfig", "st_param_getTransparenceStruct",
                    "st_param_getSerialStruct", "writen", "st_com_refreshSerialParam", "st_com_sendDataToCom"}));
            })),
        D(0x818, concat(u32le(2), {'h', 'i'})).on("st_com_sendDataToCom", "PortFiveIsZero")
            .given(output("st_param_getTransparenceStruct", {5, 1, 1, 0})).reply(0)
            .then(both(hostGot("st_com_sendDataToCom", {0, 2}),
                       both(hostGot("st_param_getSerialStruct", {0}), hostGot("st_com_refreshSerialParam", {0, 0, 0, 0, 0})))),
        D(0x818, concat(u32le(1024), pattern(1100))).on("st_com_sendDataToCom", "All1024").reply(0)
            .then(hostGot("st_com_sendDataToCom", {0, 1024}, pattern(1024))),
        // Users and log: an empty list is a count of zero.
        D(0x80e).on("st_app_netGetUserList", "Empty").reply(0, Bytes(4, 0)).then(called("my_free", 0)),
        D(0x807).on("st_app_netGetLogList", "Empty").reply(0, Bytes(4, 0)).then(called("my_free", 0)),
        byValue(0x807, "st_app_netGetLogList", pattern(60, 0x10), pattern(52, 0x10)),
        byValue(0x808, "st_app_netDeleteLogInfo", pattern(52, 0x33), pattern(52, 0x33)),
        byValue(0x80f, "st_app_netAddUser", pattern(56, 0x50), pattern(56, 0x50)),
        byValue(0x810, "st_app_netDeleteUser", pattern(56, 0x50), pattern(56, 0x50)),
        byValue(0x811, "st_app_netModifyUser", pattern(56, 0x50), pattern(56, 0x50)),
        byValue(0x80f, "st_app_netAddUser", {'b', 'o', 'b'}, bob, "ShortRequest"),
        // Record files.
        recordFile(concat(field48("2026/ch01/0001.rec"), pattern(20)), "2026/ch01/0001.rec", "Name"),
        recordFile({}, "", "EmptyRequest"),
        recordFile(Bytes(100, 'z'), std::string(47, 'z'), "NoNul"),  // no NUL in the field, nor after it
        recordFile(field48(std::string(47, 'k')), std::string(47, 'k'), "Longest"),
    };
    return t;
}

class HostAnswer : public RowTest {};

}  // namespace

TEST_P(HostAnswer, AnswersAsDocumented) { run(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Rows, HostAnswer, ::testing::ValuesIn(answers()), rowName);
