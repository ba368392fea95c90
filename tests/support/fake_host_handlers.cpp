#include "fake_host_handlers.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "netserver/wire.h"

namespace {

using fake_host::handlers::Bytes;
using fake_host::enterCall;

constexpr size_t RECORDED_PAYLOAD = 1024;  // bytes of a set-param payload kept

struct State {
    // The device's default transparent setting: port 0, receive and send on.
    std::map<std::string, Bytes> outputs = {{"st_param_getTransparenceStruct", {0, 1, 1, 0}}};
    std::map<std::string, int> results;
    std::map<uint16_t, Bytes> stored;
    std::optional<uint32_t> getParamCount;
    std::vector<Bytes> users, logs;
    std::vector<const void*> handedOut, freed;
    bool fdiskHeld = false;
};

std::mutex mutex;
std::condition_variable fdiskReleased;
State& state() {  // under `mutex`
    static State s;
    return s;
}

template <typename F>
auto locked(F f) {
    std::lock_guard<std::mutex> lock(mutex);
    return f(state());
}

int resultOf(const char* name, int fallback = 0) {
    return locked([&](State& s) { return s.results.count(name) ? s.results[name] : fallback; });
}
Bytes outputOf(const char* name) {
    return locked([&](State& s) { return s.outputs.count(name) ? s.outputs[name] : Bytes{}; });
}
/* Up to `size` bytes of `from` to `to` (nothing for none: an empty vector's
 * data() may be null, which memcpy must not get); the number copied. */
size_t copyBytes(void* to, const Bytes& from, size_t size) {
    const size_t n = std::min(size, from.size());
    if (n > 0) std::memcpy(to, from.data(), n);
    return n;
}
Bytes bytesOf(const void* p, size_t n) { return Bytes(static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n); }

/* A getter of a stored parameter: `size` bytes at `offset` of the type's
 * image, zero where the image is shorter. */
int storedGetter(const char* name, std::vector<int64_t> args, uint16_t type, size_t offset, void* out, size_t size) {
    if (auto forced = enterCall(name, std::move(args))) return *forced;
    std::memset(out, 0, size);
    locked([&](State& s) {
        const Bytes& image = s.stored[type];
        if (offset < image.size()) std::memcpy(out, image.data() + offset, std::min(size, image.size() - offset));
    });
    return 0;
}

/* The list the host hands over: nodes from malloc, in the records' order. */
template <typename Node>
Node* buildList(std::vector<Bytes> State::*records) {
    return locked([&](State& s) {
        Node* head = nullptr;
        Node** tail = &head;
        for (const Bytes& r : s.*records) {
            auto* node = static_cast<Node*>(std::calloc(1, sizeof(Node)));
            copyBytes(node->record, r, sizeof node->record);
            s.handedOut.push_back(node);
            *tail = node;
            tail = &node->next;
        }
        return head;
    });
}

int recordGetter(const char* name, void* out, size_t size, std::vector<int64_t> args = {}) {
    if (auto forced = enterCall(name, std::move(args))) return *forced;
    std::memset(out, 0, size);
    copyBytes(out, outputOf(name), size);
    return resultOf(name);
}

int simpleCall(const char* name, std::vector<int64_t> args = {}, Bytes data = {}) {
    if (auto forced = enterCall(name, std::move(args), std::move(data))) return *forced;
    return resultOf(name);
}

/* The Wi-Fi scans: their output to the scratch area, the byte count as the
 * default result. */
int wifiScan(const char* name, void* buffer, int sock) {
    if (auto forced = enterCall(name, {sock})) return *forced;
    return resultOf(name, static_cast<int>(copyBytes(buffer, outputOf(name), wire::SCRATCH_SIZE)));
}

}  // namespace

namespace fake_host::handlers {

std::vector<Call> calls(const std::string& name) {
    std::vector<Call> out;
    for (Call& c : recordedCalls())
        if (c.name == name) out.push_back(std::move(c));
    return out;
}

Call last(const std::string& name) {
    std::vector<Call> all = calls(name);
    return all.empty() ? Call{} : all.back();
}

void setOutput(const std::string& name, Bytes bytes) { locked([&](State& s) { s.outputs[name] = std::move(bytes); }); }
void setResult(const std::string& name, int result) { locked([&](State& s) { s.results[name] = result; }); }
void setGetParamCount(uint32_t count) { locked([&](State& s) { s.getParamCount = count; }); }
void setStoredParam(uint16_t type, Bytes image) { locked([&](State& s) { s.stored[type] = std::move(image); }); }
void setUserList(std::vector<Bytes> records) { locked([&](State& s) { s.users = std::move(records); }); }
void setLogList(std::vector<Bytes> records) { locked([&](State& s) { s.logs = std::move(records); }); }
std::vector<const void*> handedOutNodes() { return locked([](State& s) { return s.handedOut; }); }
std::vector<const void*> freedBlocks() { return locked([](State& s) { return s.freed; }); }
void holdFdisk() { locked([](State& s) { s.fdiskHeld = true; }); }
void releaseFdisk() {
    locked([](State& s) { s.fdiskHeld = false; });
    fdiskReleased.notify_all();
}

}  // namespace fake_host::handlers

namespace fake_host::detail {

void resetHandlers() {
    locked([](State& s) { s = State{}; });
    fdiskReleased.notify_all();
}

void noteFree(void* block) { locked([&](State& s) { s.freed.push_back(block); }); }

}  // namespace fake_host::detail

/* The forwarders: a getter of a stored parameter per channel, per channel
 * entry or whole; a getter of one scripted record; a call without arguments;
 * a call that passes one record by value. */
#define CHANNEL_GETTER(fn, type, size) \
    int fn(int c, void* out) { return storedGetter(#fn, {c}, wire::type, c * wire::size, out, wire::size); }
#define ENTRY_GETTER(fn, type, size)                                                                                 \
    int fn(int c, int i, void* out) {                                                                                \
        return storedGetter(#fn, {c, i}, wire::type, (c * wire::ENTRIES_PER_CHANNEL + i) * wire::size, out, wire::size); \
    }
#define WHOLE_GETTER(fn, type, size) \
    int fn(void* out) { return storedGetter(#fn, {}, wire::type, 0, out, wire::size); }
#define RECORD_GETTER(fn, size) \
    int fn(void* out) { return recordGetter(#fn, out, wire::size); }
#define SIMPLE_CALL(fn) \
    int fn(void) { return simpleCall(#fn); }
#define RECORD_CALL(fn, Type) \
    int fn(Type r) { return simpleCall(#fn, {}, bytesOf(r.bytes, sizeof r.bytes)); }

extern "C" {

int st_app_netSetParam(uint16_t type, const void* payload) {
    return simpleCall("st_app_netSetParam", {type}, bytesOf(payload, RECORDED_PAYLOAD));
}
int st_app_netGetParam(uint16_t type, void* out, uint32_t* count) {
    if (auto forced = enterCall("st_app_netGetParam", {type})) return *forced;
    const size_t n = copyBytes(out, outputOf("st_app_netGetParam"), wire::MAX_PAYLOAD);
    *count = locked([&](State& s) { return s.getParamCount.value_or(static_cast<uint32_t>(n)); });
    return resultOf("st_app_netGetParam");
}
CHANNEL_GETTER(st_param_getProberStruct, PARAM_PROBER_ALARM, PROBER_RECORD_SIZE)
CHANNEL_GETTER(st_param_getTerminateStruct, PARAM_PTZ_CONFIG, TERMINATE_RECORD_SIZE)
CHANNEL_GETTER(st_param_getVideoLoseStruct, PARAM_LOST_ALARM, VIDEO_LOST_RECORD_SIZE)
CHANNEL_GETTER(st_param_getVideoConfigParam, PARAM_VIDEO_CONFIG, VIDEO_CONFIG_RECORD_SIZE)
CHANNEL_GETTER(st_param_getVideoEncodeParam, PARAM_VIDEO_ENCODE, VIDEO_ENCODE_RECORD_SIZE)
CHANNEL_GETTER(st_param_getOverlayStruct, PARAM_VIDEO_OVERLAY, OVERLAY_RECORD_SIZE)
ENTRY_GETTER(st_param_getTimerStruct, PARAM_TIMER_RECORD, TIMER_ENTRY_SIZE)
ENTRY_GETTER(st_param_getVideoMoveStruct, PARAM_MOVE_ALARM, MOVE_ENTRY_SIZE)
WHOLE_GETTER(st_param_getPppoeInfoStruct, PARAM_PPPOE, PPPOE_RECORD_SIZE)
WHOLE_GETTER(st_param_getRecParamStruct, PARAM_RECORD_TYPE, RECORD_TYPE_RECORD_SIZE)
WHOLE_GETTER(st_param_getCmos, PARAM_CMOS, CMOS_RECORD_SIZE)
int st_param_getOsdLogoStruct(int c, void* out) {
    return storedGetter("st_param_getOsdLogoStruct", {c}, wire::PARAM_OSD,
                        c * wire::OSD_BLOCK_SIZE + wire::OSD_LOGO_OFFSET, out, wire::OSD_LOGO_SIZE);
}
int st_param_getOsdTimeStruct(int c, void* out) {
    return storedGetter("st_param_getOsdTimeStruct", {c}, wire::PARAM_OSD, c * wire::OSD_BLOCK_SIZE, out, wire::OSD_TIME_SIZE);
}
int st_param_setVideoConfigParam(int channel, VideoConfigRecord r) {
    return simpleCall("st_param_setVideoConfigParam", {channel}, bytesOf(r.bytes, sizeof r.bytes));
}

int st_app_netSetTime(uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3, uint32_t w4, uint32_t w5) {
    return simpleCall("st_app_netSetTime", {w0, w1, w2, w3, w4, w5});
}
RECORD_GETTER(st_app_netGetTime, TIME_RECORD_SIZE)
RECORD_GETTER(st_app_netGetVersionInfo, VERSION_RECORD_SIZE)
RECORD_GETTER(st_app_netGetHardDiskData, HARDDISK_RECORD_SIZE)
RECORD_GETTER(st_app_netGetSystemStatusInfo, SYSTEM_STATUS_RECORD_SIZE)
RECORD_GETTER(st_app_netGetUpdateSystemInfo, UPDATE_INFO_SIZE)
SIMPLE_CALL(st_param_getFlatType)
RECORD_CALL(st_param_setVersionInfo, VersionRecord)
SIMPLE_CALL(st_param_initCameraInfo)
SIMPLE_CALL(st_param_initCameraItu)
SIMPLE_CALL(st_iwlist_iwprivIsRt73)
int st_iwlist_getApInfo(void* buffer, int sock) { return wifiScan("st_iwlist_getApInfo", buffer, sock); }
int st_iwlist_getIwprivApInfo(void* buffer, int sock) { return wifiScan("st_iwlist_getIwprivApInfo", buffer, sock); }

int st_app_netGetUserList(UserNode** head) {
    if (auto forced = enterCall("st_app_netGetUserList")) return *forced;
    *head = buildList<UserNode>(&State::users);
    return resultOf("st_app_netGetUserList");
}
RECORD_CALL(st_app_netAddUser, UserRecord)
RECORD_CALL(st_app_netDeleteUser, UserRecord)
RECORD_CALL(st_app_netModifyUser, UserRecord)
int st_app_netGetLogList(LogQuery query, LogNode** head) {
    if (auto forced = enterCall("st_app_netGetLogList", {}, bytesOf(query.bytes, sizeof query.bytes))) return *forced;
    *head = buildList<LogNode>(&State::logs);
    return resultOf("st_app_netGetLogList");
}
RECORD_CALL(st_app_netDeleteLogInfo, LogQuery)

SIMPLE_CALL(st_app_netDefaultSetting)
SIMPLE_CALL(st_app_netRebootSystem)
SIMPLE_CALL(st_param_resetAllStruct)
SIMPLE_CALL(st_param_resetFactoryParam)
SIMPLE_CALL(st_param_initCmos)
SIMPLE_CALL(at_Reset)
SIMPLE_CALL(st_comm_openHdLogFile)
int Default3GConfigStruct(uint32_t value) { return simpleCall("Default3GConfigStruct", {value}); }
int st_app_fdiskHd(uint32_t word0, uint32_t word1, int32_t flag) {
    if (auto forced = enterCall("st_app_fdiskHd", {word0, word1, flag})) return *forced;
    {  // while held, a partitioning that runs
        std::unique_lock<std::mutex> lock(mutex);
        fdiskReleased.wait(lock, [] { return !state().fdiskHeld; });
    }
    return resultOf("st_app_fdiskHd");
}
int st_app_formatPart(uint32_t word0, uint32_t word1, uint32_t word2, int32_t flag) {
    return simpleCall("st_app_formatPart", {word0, word1, word2, flag});
}
int st_app_getFormatPercent(uint32_t word0, uint32_t word1) { return simpleCall("st_app_getFormatPercent", {word0, word1}); }
int st_comm_sendThreadInfoForTop(const char* name) {
    return simpleCall("st_comm_sendThreadInfoForTop", {}, bytesOf(name, std::strlen(name)));
}

int st_app_netPTZControl(uint16_t subType, PtzCommand command) {
    return simpleCall("st_app_netPTZControl", {subType}, bytesOf(command.bytes, sizeof command.bytes));
}
int st_enc_setIFrameForceFlag(int channel, int flag) { return simpleCall("st_enc_setIFrameForceFlag", {channel, flag}); }
int st_param_setHandRecordStruct(uint32_t channel, HandRecordSetting setting) {
    return simpleCall("st_param_setHandRecordStruct", {channel}, bytesOf(setting.bytes, sizeof setting.bytes));
}
int st_record_netDeleteRecordFile(const char* name) {
    return simpleCall("st_record_netDeleteRecordFile", {}, bytesOf(name, wire::RECORD_FILE_NAME_BUFFER));
}

RECORD_GETTER(st_param_getTransparenceStruct, TRANSPARENCE_SIZE)
int st_param_getSerialStruct(int port, void* out) {
    return recordGetter("st_param_getSerialStruct", out, wire::SERIAL_SETTING_SIZE, {port});
}
int st_com_refreshSerialParam(int port, uint32_t word8, uint32_t word4, uint32_t byte1, uint32_t byte0) {
    return simpleCall("st_com_refreshSerialParam", {port, word8, word4, byte1, byte0});
}
int st_com_sendDataToCom(int port, const uint8_t* data, uint32_t count) {
    return simpleCall("st_com_sendDataToCom", {port, count}, bytesOf(data, count));
}

}  // extern "C"
