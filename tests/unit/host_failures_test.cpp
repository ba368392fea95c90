// Every host failure: each host function that a handler or an export calls, failing in each way it can; one row
// per (message type or export, host function, failure kind, answer). A row checks the bytes on the wire, the
// result and that the call returns within 5 s; the sanitizer build checks that nothing leaks.
#include "fake_host_transfers.h"
#include "handlers/dispatcher.h"
#include "handlers_test_support.h"

using namespace ht;
using namespace wire;
namespace ft = fake_host::transfers;

namespace {

constexpr uint16_t TRANSFER = 0x103, UPLOAD_SUB = 0x5201, SNAP_SUB = 0x5204, STREAM_SUB = 0x5205;

/* MSG_SET_PARAM of an audited type whose stored value equals the payload:
 * only a getter that fails (the module reads zeros) makes it a change. */
Row audited(uint16_t type, size_t size, const char* getter) {
    Bytes v = pattern(size, static_cast<uint8_t>(type));
    return D(MSG_SET_PARAM, v, type).as("SetParam" + std::to_string(type)).on(getter, "Untouched")
        .given([type, v](Ctx&) { fh::setStoredParam(type, v); }).reply(STATUS_OK).audit(1);
}

Bytes streamPayload(uint32_t size = 0) { return concat(Bytes{1, 0, 50, 10}, words({size, 0})); }
Bytes chunk(uint8_t declared, size_t sent) { return concat(concat(Bytes(8, 0), {declared, 0, 0, 0, 0, 0, 0, 0}), pattern(sent)); }
Bytes ack(uint8_t status) { return replyHeader(MSG_UPDATE_ACK, UPLOAD_SUB, 0, status); }
/* The peer of a serial forwarding: waits until the thread waits for data
 * (or a moment), then one byte arrives on port 0 unless `arrive` is false. */
Fn serialPeer(bool waits, bool arrive = true) {
    return [=](Ctx&) {
        if (waits) EXPECT_TRUE(waitFor([] { return ft::serialWaits() >= 1; }));
        else std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (arrive) ft::serialArrive(0, {'x'});
    };
}
Fn workersEnd(bool stillBusy = false) {
    return [stillBusy](Ctx&) { EXPECT_TRUE(waitFor([] { return maintenance_workers_running() == 0; })); EXPECT_EQ(maintenance_busy(), stillBusy); };
}
const Fn busy = [](Ctx&) { ASSERT_TRUE(maintenance_try_acquire()); };
const Fn allNodesFreed = [](Ctx&) { EXPECT_EQ(fh::freedBlocks(), fh::handedOutNodes()); };

std::vector<Row> rows() {
    const Bytes serial = concat(u32le(2), Bytes{'h', 'i'}), sysConfig = concat(Bytes(9, 0), {4, 0, 0, 2});  // the fake's record
    const Bytes wifi = pattern(50, 0x60), login = request(MSG_LOGIN, testnet::loginRecord("admin", "admin"));
    const Row auth = X("AuthUser", MSG_LOGIN, 0, [login](Ctx& c) { return auth_user(c.ps.session, buffer(login).get()); });
    auto refusal = [&](int result, uint8_t status, const char* label) {  // the answer, then the session id
        Row r = Row(auth).on("st_app_netAuthUser", "Negative", result).ret(0).given([](Ctx& c) { std::strcpy(c.ps.session->userName, "earlier"); });
        r.then([](Ctx& c) { EXPECT_STREQ(c.ps.session->userName, "earlier"); });  // a refusal keeps the name
        const Bytes answers = concat(replyHeader(MSG_LOGIN, 0, 0, status), replyHeader(MSG_SESSION_ID, 0, 4, status));
        r.expect = [answers](Ctx& c) { return concat(answers, u32le(c.ps.session->session_id)); };
        return r.answer = label, r;
    };
    auto del = netMessage(request(MSG_DELETE_RECORD_FILE, {'a', '.', 'r', 'e', 'c'}));
    const Row remove = X("DeleteRecordFile", MSG_DELETE_RECORD_FILE, 0, [del](Ctx& c) { return deleteRecordFile(c.ps.session, *del); });
    auto snapData = netMessage(request(TRANSFER, words({1, 0x12345678}), SNAP_SUB)), snapStream = netMessage(request(TRANSFER, streamPayload(), STREAM_SUB));
    const Row snap = X("SnapData", TRANSFER, SNAP_SUB, [snapData](Ctx& c) { return sendJPEGSnapData(nullptr, c.sock(), *snapData); });
    const Row stream = X("SnapStream", TRANSFER, STREAM_SUB, [snapStream](Ctx& c) { return sendJPEGSnapStream(nullptr, c.sock(), *snapStream); });
    // A stream whose pictures fail: one failure reply, then the peer leaves.
    auto peerGone = [&](const char* kind) {
        return Row(stream).as("SnapStreamPeerGone").on("st_app_netGetSnapJPEGEx", kind).none().ret(-1).peerDoes([](Ctx& c) {
            EXPECT_EQ(c.ps.read(28), concat(replyHeader(TRANSFER, STREAM_SUB, 12, STATUS_FAILED), streamPayload()));
            close(c.ps.peerFd), c.ps.peerFd = -1;
        });
    };
    // A firmware upload of 10 bytes in one chunk.
    auto upReq = netMessage(request(TRANSFER, u32le(10), UPLOAD_SUB));
    Row upload = X("RecvUpdateFile", TRANSFER, UPLOAD_SUB, [upReq](Ctx& c) { return recvUpdateFile(c.ps.session, c.sock(), *upReq); });
    upload.peerDoes([](Ctx& c) { send(c.ps.peerFd, chunk(10, 10).data(), 26, MSG_NOSIGNAL); }).then([](Ctx&) { EXPECT_FALSE(maintenance_busy()); });
    const Bytes transferFailed = concat(ack(0), progress(STATUS_FAILED, 10)), writeFailed = concat(ack(0), progress(STATUS_FAILED, 0xFFFFFFFF));
    auto written = [&](const char* host) { return Row(upload).on(host, "Negative").wire(concat(ack(0), progress(0, 100)), "Written").ret(0); };
    Row forwarding = X("StartTransparentCmd", 0, 0, [](Ctx& c) { return startTransparentCmd(c.ps.session); });
    forwarding.ret(0).peerDoes(serialPeer(true)).finish = [](Ctx& c) { return stopTransparentCmd(c.ps.session); };
    auto fwd = [&](const char* host, const char* kind = "Negative") { return Row(forwarding).on(host, kind); };

    std::vector<Row> t = {
        // A getter of a stored value that fails leaves zeros.
        D(MSG_SET_PARAM, pattern(92), 5).as("SetParam5").on("st_app_netSetParam", "Negative").reply(STATUS_FAILED).audit(1),
        audited(7, 4 * 396, "").on("my_malloc", "Null").then(called("my_free", 0)),
        D(MSG_SET_PARAM, sysConfig, 144).as("SetParam144").on("my_malloc", "Null").reply(STATUS_OK).audit(1),
        D(MSG_SET_PARAM, concat({0x34, 0x12}, Bytes(90, 0)), 5).as("SetParam5").on("st_param_getNetworkStruct", "Untouched")
            .given([](Ctx&) { fake_host::setBasePort(0x1234); }).reply(STATUS_OK).audit(1),
        audited(7, 4 * 396, "st_param_getProberStruct"), audited(9, 4 * 16, "st_param_getTerminateStruct"),
        audited(10, 4 * 252, "st_param_getTimerStruct"), audited(11, 4 * 20, "st_param_getVideoLoseStruct"),
        audited(12, 4 * 560, "st_param_getVideoMoveStruct"), audited(13, 4 * 12, "st_param_getVideoConfigParam"),
        audited(14, 4 * 36, "st_param_getVideoEncodeParam"), audited(17, 4 * 64, "st_param_getOsdLogoStruct"),
        audited(17, 4 * 64, "st_param_getOsdTimeStruct"), audited(18, 4 * 196, "st_param_getOverlayStruct"),
        audited(20, 620, "st_param_getPppoeInfoStruct"), audited(21, 16, "st_param_getRecParamStruct"),
        audited(65, 24, "st_param_getCmos"),
        D(MSG_SET_PARAM, sysConfig, 144).as("SetParam144").on("st_param_getSysConfig", "Untouched").reply(STATUS_OK).audit(1),
        audited(7, 4 * 396, "st_param_getSysConfig").audit(0),  // no channel count: nothing to compare
        D(MSG_SET_PARAM, pattern(92), 5).as("SetParam5").on("st_param_writeLogBuffer", "Negative").reply(STATUS_OK).then(called("st_app_netSetParam", 1)),
        D(MSG_GET_PARAM, {}, 5).on("st_app_netGetParam", "Negative").reply(STATUS_FAILED),
        D(MSG_GET_PARAM, {}, 5).on("st_app_netGetParam", "Oversized").reply(STATUS_FAILED)
            .given([](Ctx&) { fh::setOutput("st_app_netGetParam", pattern(40)), fh::setGetParamCount(102401); }),
        D(MSG_RESET_VIDEO_CONFIG, {0}).on("st_param_setVideoConfigParam", "Negative").reply(STATUS_OK),
        D(MSG_RESET_VIDEO_CONFIG, {0}).on("st_param_getSysConfig", "Untouched").reply(STATUS_FAILED).then(called("st_param_setVideoConfigParam", 0)),
        D(MSG_SET_TIME, words({2026, 3, 14, 15, 9, 26})).on("st_app_netSetTime", "Negative").reply(STATUS_FAILED),
        D(MSG_GET_TIME).on("st_app_netGetTime", "Negative").reply(STATUS_FAILED),
        D(MSG_GET_VERSION_INFO).on("st_app_netGetVersionInfo", "Negative").reply(STATUS_FAILED),
        D(MSG_GET_HARDDISK_DATA).on("st_app_netGetHardDiskData", "Negative").reply(STATUS_FAILED),
        D(MSG_GET_HARDDISK_DATA).as("GetHardDiskDataWhileBusy").on("st_app_netGetHardDiskData", "Negative").given(busy)
            .reply(STATUS_DISK_BUSY).then(called("st_app_netGetHardDiskData", 0)),
        D(MSG_GET_SYSTEM_STATUS_INFO).on("st_app_netGetSystemStatusInfo", "Negative").reply(STATUS_FAILED),
        D(MSG_GET_UPDATE_SYSTEM_INFO).on("st_app_netGetUpdateSystemInfo", "Negative").reply(STATUS_FAILED),
        D(MSG_GET_FLAT_TYPE).on("st_param_getFlatType", "Negative").reply(STATUS_OK, words({0xFFFFFFFF, 0})),
        D(MSG_GET_AP_INFO).on("st_iwlist_getApInfo", "Negative").reply(STATUS_FAILED),
        D(MSG_GET_AP_INFO).on("st_iwlist_getApInfo", "Oversized").reply(STATUS_FAILED)
            .given([](Ctx&) { fh::setOutput("st_iwlist_getApInfo", pattern(64)), fh::setResult("st_iwlist_getApInfo", 51201); }),
        D(MSG_GET_AP_INFO).on("st_iwlist_iwprivIsRt73", "Negative").reply(STATUS_OK, wifi)
            .given([=](Ctx&) { fh::setOutput("st_iwlist_getApInfo", wifi); }),
        D(MSG_GET_AP_INFO).as("GetApInfoRt73").on("st_iwlist_getApInfo", "Negative").reply(STATUS_OK, wifi)
            .given([=](Ctx&) { fh::setResult("st_iwlist_iwprivIsRt73", 1), fh::setOutput("st_iwlist_getIwprivApInfo", wifi); }),
        D(MSG_GET_AP_INFO).as("GetApInfoRt73").on("st_iwlist_getIwprivApInfo", "Negative").reply(STATUS_FAILED)
            .given([](Ctx&) { fh::setResult("st_iwlist_iwprivIsRt73", 1); }),
        D(MSG_SET_VERSION_INFO, pattern(160)).on("st_param_setVersionInfo", "Negative").reply(STATUS_OK),
        D(MSG_INIT_CAMERA_INFO).on("st_param_initCameraInfo", "Negative").reply(STATUS_OK),
        D(MSG_INIT_CAMERA_ITU).on("st_param_initCameraItu", "Negative").reply(STATUS_OK),
        // Users and log: a failed list hands nothing over; a list is freed whole.
        D(MSG_GET_LOG_LIST).on("st_app_netGetLogList", "Negative").reply(STATUS_FAILED).then(called("my_free", 0)),
        D(MSG_GET_USER_LIST).on("st_app_netGetUserList", "Negative").reply(STATUS_FAILED).then(called("my_free", 0)),
        D(MSG_GET_LOG_LIST).on("writen", "WriteFails").none().given([](Ctx&) { fh::setLogList({pattern(76), pattern(76)}); }).then(allNodesFreed),
        D(MSG_GET_USER_LIST).on("writen", "WriteShort", 20).wire(concat(replyHeader(MSG_GET_USER_LIST, 0, 116, 0), u32le(2)), "Cut")
            .given([](Ctx&) { fh::setUserList({pattern(56), pattern(56)}); }).then(allNodesFreed),
        D(MSG_DELETE_LOG, pattern(52)).on("st_app_netDeleteLogInfo", "Negative").reply(STATUS_FAILED),
        D(MSG_ADD_USER, pattern(56)).on("st_app_netAddUser", "Negative").reply(STATUS_FAILED),
        D(MSG_DELETE_USER, pattern(56)).on("st_app_netDeleteUser", "Negative").reply(STATUS_FAILED),
        D(MSG_MODIFY_USER, pattern(56)).on("st_app_netModifyUser", "Negative").reply(STATUS_FAILED),
        // Maintenance, with the busy flag that partitioning and formatting share.
        D(MSG_DEFAULT_SETTING).on("st_app_netDefaultSetting", "Negative").reply(STATUS_FAILED),
        D(MSG_REBOOT_SYSTEM).on("st_app_netRebootSystem", "Negative").reply(STATUS_OK),
        D(MSG_RESUME_DEFAULT_PARAM).on("st_param_resetAllStruct", "Negative").reply(STATUS_OK).audit(1),
        D(MSG_RESUME_DEFAULT_PARAM).on("st_param_writeLogBuffer", "Negative").reply(STATUS_OK),
        D(MSG_FDISK_HD, words({1, 2})).on("my_malloc", "Null").reply(STATUS_FAILED).then(workersEnd()),
        D(MSG_FDISK_HD, words({1, 2})).on("st_app_fdiskHd", "Negative").reply(STATUS_OK).then(both(workersEnd(), [](Ctx& c) {
            EXPECT_EQ(fh::freedBlocks().size(), 1u);
            dispatch(c.ps, request(MSG_GET_FDISK_STATUS));
            EXPECT_EQ(c.ps.read(24), concat(replyHeader(MSG_GET_FDISK_STATUS, 0, 8, STATUS_FAILED), words({0, 0xFFFFFFFF})));
        })),
        D(MSG_FDISK_HD, words({1, 2})).on("st_comm_sendThreadInfoForTop", "Negative").reply(STATUS_OK)
            .then(both(workersEnd(), [](Ctx&) { EXPECT_EQ(fdiskStatus.load(), 1); })),
        D(MSG_FDISK_HD, words({1, 2})).as("FdiskHdWhileBusy").on("my_malloc", "Null").given(busy).reply(STATUS_FDISK_BUSY)
            .then(both(workersEnd(true), called("my_malloc", 0))),
        D(MSG_FORMAT_PART, words({1, 2, 3})).on("st_app_formatPart", "Negative").reply(STATUS_FAILED).then(workersEnd()),
        D(MSG_FORMAT_PART, words({1, 2, 3})).on("st_app_getFormatPercent", "Negative").reply(STATUS_OK)
            .then(both(workersEnd(), called("st_comm_openHdLogFile", 0))),
        D(MSG_FORMAT_PART, words({1, 2, 3})).on("st_comm_openHdLogFile", "Negative").reply(STATUS_OK).then(workersEnd()),
        D(MSG_FORMAT_PART, words({1, 2, 3})).on("st_comm_sendThreadInfoForTop", "Negative").reply(STATUS_OK).then(workersEnd()),
        D(MSG_FORMAT_PART, words({1, 2, 3})).as("FormatPartWhileBusy").on("st_app_formatPart", "Negative").given(busy)
            .reply(STATUS_DISK_BUSY).then(both(workersEnd(true), called("st_app_formatPart", 0))),
        // Only -1 is a failed format; other negative values are passed on.
        D(MSG_GET_FORMAT_PERCENT, words({9, 8})).on("st_app_getFormatPercent", "Negative").reply(STATUS_FAILED, words({9, 8, 0xFFFFFFFF})),
        D(MSG_GET_FORMAT_PERCENT, words({9, 8})).on("st_app_getFormatPercent", "Negative", -2).reply(STATUS_OK, words({9, 8, 0xFFFFFFFE})),
        D(MSG_RESET_FACTORY_PARAM).on("st_param_resetFactoryParam", "Negative").reply(STATUS_OK),
        D(MSG_RESET_3G_MODULE).on("at_Reset", "Negative").reply(STATUS_OK),
        D(MSG_CMOS_DEFAULT).on("st_param_initCmos", "Negative").reply(STATUS_OK),
        D(MSG_3GCONFIG_DEFAULT).on("Default3GConfigStruct", "Negative").reply(STATUS_OK),
        D(MSG_PTZ_CONTROL, pattern(32), 2).on("st_app_netPTZControl", "Negative").reply(STATUS_FAILED),
        D(MSG_FORCE_IFRAME, u32le(2)).on("st_enc_setIFrameForceFlag", "Negative").none()
            .then([](Ctx& c) { EXPECT_EQ(c.ps.session->streams[2].waitKeyFrame.load(), 1u); }),
        D(MSG_SET_HAND_RECORD, pattern(8)).on("st_param_setHandRecordStruct", "Negative").reply(STATUS_OK),
        D(MSG_CLEAR_HAND_RECORD, u32le(1)).on("st_param_setHandRecordStruct", "Negative").reply(STATUS_OK),
        D(MSG_SERIAL_SEND, serial).on("st_param_getTransparenceStruct", "Untouched").reply(STATUS_OK)  // send switch off
            .then(both(called("st_com_refreshSerialParam", 0), called("st_com_sendDataToCom", 0))),
        D(MSG_SERIAL_SEND, serial).on("st_param_getSerialStruct", "Untouched").reply(STATUS_OK).then([](Ctx&) {
            EXPECT_EQ(fh::last("st_com_refreshSerialParam").args, (std::vector<int64_t>{0, 0, 0, 0, 0}));
            EXPECT_EQ(fh::last("st_com_sendDataToCom").data, (Bytes{'h', 'i'}));
        }),
        D(MSG_SERIAL_SEND, serial).on("st_com_refreshSerialParam", "Negative").reply(STATUS_OK).then(called("st_com_sendDataToCom", 1)),
        D(MSG_SERIAL_SEND, serial).on("st_com_sendDataToCom", "Negative").reply(STATUS_OK),
        D(MSG_SERIAL_SEND, serial).on("writen", "WriteFails").none().then(called("st_com_sendDataToCom", 0)),
        D(MSG_START_SESSION_THREAD, pattern(60)).on("my_malloc", "Null").reply(STATUS_FAILED)
            .then([](Ctx& c) { EXPECT_EQ(c.ps.session->workerBusy.load(), 0u); }),
        D(MSG_DELETE_RECORD_FILE, pattern(10)).on("st_record_netDeleteRecordFile", "Negative").reply(STATUS_FAILED),
        refusal(-1, STATUS_LOGIN_UNKNOWN_USER, "UnknownUser"), refusal(-2, STATUS_LOGIN_BAD_PASSWORD, "BadPassword"),
        refusal(-7, 0x5A, "RequestStatus"), Row(auth).on("writen", "WriteFails").none().ret(-1),
        Row(auth).on("writen", "WriteShort", 100).wire(concat(replyHeader(MSG_LOGIN, 0, 84, 0), Bytes(login.begin() + 16, login.end())), "NoSessionId").ret(-1),
        X("SessionWrite", 0, 0, [](Ctx& c) { return st_net_sessionWrite(c.ps.session, "abc", 3); }).on("writen", "WriteFails").none().ret(-1),
        Row(remove).on("st_record_netDeleteRecordFile", "Negative").reply(STATUS_FAILED).ret(-1),
        Row(remove).on("writen", "WriteFails").none().ret(0),
        Row(snap).on("st_app_netGetSnapJPEG", "Negative").reply(STATUS_FAILED, words({1, 0x12345678})).ret(-1),
        Row(snap).on("st_app_netGetSnapJPEG", "Oversized").reply(STATUS_FAILED, words({1, 0x12345678})).ret(-1)
            .given([](Ctx&) { ft::setReportedSize(311041); }),
        Row(snap).on("writen", "WriteFails").none().ret(0),
        Row(snap).on("writen", "WriteShort", 24).reply(STATUS_OK, words({1, 100})).ret(0),
        peerGone("Negative"), peerGone("Oversized").given([](Ctx&) { ft::setReportedSize(311041); }),
        Row(stream).on("writen", "WriteFails").none().ret(-1),
        Row(stream).on("writen", "WriteShort", 28).reply(STATUS_OK, streamPayload(100)).ret(-1),
        Row(upload).on("my_malloc", "Null").wire(ack(STATUS_FAILED), "Refused").ret(-1),
        Row(upload).as("RecvUpdateFileWhileBusy").on("my_malloc", "Null").given(busy).wire(ack(STATUS_FAILED), "Refused").ret(-1)
            .then(both(workersEnd(true), called("st_param_getFlashTotalSize", 0))),
        Row(upload).on("st_param_getFlashTotalSize", "Negative", -1).wire(ack(STATUS_FAILED), "Refused").ret(-1),
        Row(upload).on("readn", "ReadFails").wire(transferFailed, "TransferFailed").ret(-1).peerDoes(nullptr),
        Row(upload).on("readn", "ReadShort").wire(transferFailed, "TransferFailed").ret(-1).peerDoes([](Ctx& c) {
            send(c.ps.peerFd, chunk(10, 4).data(), 20, MSG_NOSIGNAL), shutdown(c.ps.peerFd, SHUT_WR);
        }),
        Row(upload).on("writen", "WriteFails").none().ret(0).then(hostGot("st_app_netUpdateSystem", {10})),
        Row(upload).on("st_app_netUpdateSystem", "Negative").wire(writeFailed, "WriteFailed").ret(-1).audit(1),
        Row(upload).on("st_param_writeLogBuffer", "Negative").wire(writeFailed, "WriteFailed").ret(-1)
            .given([](Ctx&) { ft::setFlashWrite(std::chrono::milliseconds(0), -1); }),
        Row(upload).on("st_param_getUpdatePercent", "Negative").wire(concat(ack(0), progress(0, 0xFFFFFFFF)), "Written").ret(0),
        written("st_app_setFreeRecordMemFlag(1)"), written("st_app_stopAppService"), written("st_record_stopRecordService"),
        written("st_enc_stopEncService"), written("st_stream_deinitStreamLib"), written("st_comm_sendThreadInfoForTop"),
        written("st_param_setSysRebootFlag"),
        fwd("st_comm_sendThreadInfoForTop").wire(serialMessage({'x'}), "Forwarded"),
        fwd("st_param_getTransparenceStruct", "Untouched").none().peerDoes(serialPeer(false)),
        fwd("st_com_recDataWaiting").wire(serialMessage({'x'}), "Forwarded").peerDoes(serialPeer(false)),
        fwd("st_com_getDataFromRecBuf").none(), fwd("st_com_sendRecBufBroadcast").none().peerDoes(serialPeer(true, false)),
        fwd("writen", "WriteFails").none(),
    };
    // A write position that cannot be read forwards nothing (not a byte of
    // the ring that never arrived).
    t.push_back(fwd("st_com_getRecBufWritePos").none().peerDoes(serialPeer(false)));
    // A stream whose peer has gone ends although no picture can be taken, also
    // when the peer sent something first that nobody read.
    t.push_back(peerGone("Negative").as("SnapStreamPeerGoneAfterSending"));
    t.back().peer = [inner = t.back().peer](Ctx& c) { send(c.ps.peerFd, request(MSG_KEEPALIVE).data(), 16, MSG_NOSIGNAL), inner(c); };
    // A reply that cannot be written: nothing reaches the peer and the handler
    // returns. Types without a reply to lose, or with such a row above, are left out.
    for (const auto& [key, name] : kTypes) {
        const uint16_t type = key;
        const std::string target = name;
        if (type == MSG_FORCE_IFRAME || type == MSG_START_SESSION_THREAD) continue;
        if (std::none_of(t.begin(), t.end(), [&](const Row& r) { return r.target == target && r.host == "writen"; }))
            t.push_back(D(type, type == MSG_RESET_VIDEO_CONFIG ? Bytes{0} : Bytes{}).on("writen", "WriteFails").none());
    }
    return t;
}

class HostFailure : public RowTest {};

}  // namespace

TEST_P(HostFailure, AnswersAsDocumentedAndReturnsInTime) { run(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Rows, HostFailure, ::testing::ValuesIn(rows()), rowName);

TEST(DispatchTable, HoldsExactlyTheThirtyNineTypes) {
    ASSERT_EQ(kTypes.size(), 39u);
    for (uint32_t type = 0; type <= 0xFFFF; ++type) {
        bool has = dispatch_find(static_cast<uint16_t>(type)) != nullptr;
        EXPECT_EQ(has, kTypes.count(static_cast<uint16_t>(type)) == 1) << std::hex << type;
    }
}
