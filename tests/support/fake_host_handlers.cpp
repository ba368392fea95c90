/*
 * fake_host_handlers.cpp - the fake host's functions behind the command
 * handlers: parameters, information, users and log, maintenance, PTZ,
 * recording, serial ports, firmware and snapshots.
 */
#include "fake_host_handlers.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>

#include "netserver/wire.h"

namespace {

using fake_host::handlers::Bytes;
using fake_host::handlers::Call;

constexpr size_t RECORDED_PAYLOAD = 1024;  // bytes of a set-param payload kept

struct HandlerState {
    std::mutex mutex;
    std::condition_variable fdiskReleased;
    std::vector<Call> calls;
    std::map<std::string, Bytes> outputs;
    std::map<std::string, int> results;
    std::map<uint16_t, Bytes> stored;
    std::optional<uint32_t> getParamCount;
    std::vector<Bytes> users;
    std::vector<Bytes> logs;
    std::vector<const void*> handedOut;
    std::vector<const void*> freed;
    bool fdiskHeld = false;
};

HandlerState& hs() {
    static HandlerState s;
    return s;
}

/* Runs `f` on the state under its lock; returns what `f` returns. */
template <typename F>
auto locked(F f) {
    std::lock_guard<std::mutex> lock(hs().mutex);
    return f(hs());
}

/* Records the call (also when its result is forced) and returns the forced
 * result, if any. */
std::optional<int> enter(const char* name, std::vector<int64_t> args = {}, Bytes data = {}) {
    std::optional<int> forced = fake_host::enterCall(name);
    std::lock_guard<std::mutex> lock(hs().mutex);
    hs().calls.push_back(Call{name, std::move(args), std::move(data)});
    return forced;
}

int resultOf(const char* name, int fallback = 0) {
    std::lock_guard<std::mutex> lock(hs().mutex);
    auto it = hs().results.find(name);
    return it == hs().results.end() ? fallback : it->second;
}

/* The first `n` bytes of `from` to `to`; nothing for n == 0 (an empty
 * vector's data() may be null, which memcpy must not get). */
void copyBytes(void* to, const Bytes& from, size_t n) {
    if (n > 0) std::memcpy(to, from.data(), n);
}

/* Zeroes `size` bytes of `out`, then writes the scripted output over them. */
void writeOutput(const char* name, void* out, size_t size) {
    std::lock_guard<std::mutex> lock(hs().mutex);
    std::memset(out, 0, size);
    auto it = hs().outputs.find(name);
    if (it != hs().outputs.end())
        copyBytes(out, it->second, std::min(size, it->second.size()));
}

size_t outputSize(const char* name) {
    std::lock_guard<std::mutex> lock(hs().mutex);
    auto it = hs().outputs.find(name);
    return it == hs().outputs.end() ? 0 : it->second.size();
}

Bytes bytesOf(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    return Bytes(b, b + n);
}

/* A getter of a stored parameter: `size` bytes at `offset` of the type's
 * image, zero where the image is shorter. */
int storedGetter(const char* name, std::vector<int64_t> args, uint16_t type, size_t offset,
                 void* out, size_t size) {
    if (auto forced = enter(name, std::move(args))) return *forced;
    std::lock_guard<std::mutex> lock(hs().mutex);
    std::memset(out, 0, size);
    const Bytes& image = hs().stored[type];
    if (offset < image.size())
        std::memcpy(out, image.data() + offset, std::min(size, image.size() - offset));
    return 0;
}

template <typename Node>
Node* buildList(const std::vector<Bytes>& records) {
    Node* head = nullptr;
    Node** tail = &head;
    for (const Bytes& r : records) {
        auto* node = static_cast<Node*>(std::malloc(sizeof(Node)));
        std::memset(node, 0, sizeof(Node));
        copyBytes(node->record, r, std::min(r.size(), sizeof node->record));
        hs().handedOut.push_back(node);
        *tail = node;
        tail = &node->next;
    }
    return head;
}

/* The getters that fill one fixed-size record. */
int recordGetter(const char* name, void* out, size_t size) {
    if (auto forced = enter(name)) return *forced;
    writeOutput(name, out, size);
    return resultOf(name);
}

int simpleCall(const char* name, std::vector<int64_t> args = {}, Bytes data = {}) {
    if (auto forced = enter(name, std::move(args), std::move(data))) return *forced;
    return resultOf(name);
}

int wifiScan(const char* name, void* buffer, int sock) {
    if (auto forced = enter(name, {sock})) return *forced;
    size_t n = std::min(outputSize(name), wire::SCRATCH_SIZE);
    {
        std::lock_guard<std::mutex> lock(hs().mutex);
        auto it = hs().outputs.find(name);
        if (it != hs().outputs.end()) copyBytes(buffer, it->second, n);
    }
    return resultOf(name, static_cast<int>(n));
}

}  // namespace

namespace fake_host::handlers {

std::vector<Call> calls(const std::string& name) {
    std::lock_guard<std::mutex> lock(hs().mutex);
    std::vector<Call> out;
    for (const Call& c : hs().calls)
        if (c.name == name) out.push_back(c);
    return out;
}

Call last(const std::string& name) {
    std::vector<Call> all = calls(name);
    return all.empty() ? Call{} : all.back();
}

void setOutput(const std::string& name, Bytes bytes) { locked([&](HandlerState& s) { s.outputs[name] = std::move(bytes); }); }

void setResult(const std::string& name, int result) { locked([&](HandlerState& s) { s.results[name] = result; }); }

void setGetParamCount(uint32_t count) { locked([&](HandlerState& s) { s.getParamCount = count; }); }

void setStoredParam(uint16_t type, Bytes image) { locked([&](HandlerState& s) { s.stored[type] = std::move(image); }); }

void setUserList(std::vector<Bytes> records) { locked([&](HandlerState& s) { s.users = std::move(records); }); }

void setLogList(std::vector<Bytes> records) { locked([&](HandlerState& s) { s.logs = std::move(records); }); }

std::vector<const void*> handedOutNodes() {
    std::lock_guard<std::mutex> lock(hs().mutex);
    return hs().handedOut;
}

std::vector<const void*> freedBlocks() {
    std::lock_guard<std::mutex> lock(hs().mutex);
    return hs().freed;
}

void holdFdisk() { locked([&](HandlerState& s) { s.fdiskHeld = true; }); }

void releaseFdisk() {
    {
        std::lock_guard<std::mutex> lock(hs().mutex);
        hs().fdiskHeld = false;
    }
    hs().fdiskReleased.notify_all();
}

}  // namespace fake_host::handlers

namespace fake_host::detail {

void resetHandlers() {
    {
        std::lock_guard<std::mutex> lock(hs().mutex);
        HandlerState& s = hs();
        s.calls.clear();
        s.outputs.clear();
        s.results.clear();
        s.stored.clear();
        s.getParamCount.reset();
        s.users.clear();
        s.logs.clear();
        s.handedOut.clear();
        s.freed.clear();
        // The device's default transparent setting: port 0, receive and send on.
        s.outputs["st_param_getTransparenceStruct"] = Bytes{0, 1, 1, 0};
    }
    handlers::releaseFdisk();
}

void noteFree(void* block) { locked([&](HandlerState& s) { s.freed.push_back(block); }); }

}  // namespace fake_host::detail

/* ---- the host functions ------------------------------------------------- */

/* The forwarders: a getter of a stored parameter per channel, per channel
 * entry or whole; a getter of one scripted record; a call without arguments;
 * a call that passes one record by value. */
#define CHANNEL_GETTER(fn, type, size)                                                         \
    int fn(int c, void* out) {                                                                 \
        return storedGetter(#fn, {c}, wire::type, c * wire::size, out, wire::size);            \
    }
#define ENTRY_GETTER(fn, type, size)                                                           \
    int fn(int c, int i, void* out) {                                                          \
        return storedGetter(#fn, {c, i}, wire::type,                                           \
                            (c * wire::ENTRIES_PER_CHANNEL + i) * wire::size, out, wire::size); \
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

/* parameters */
int st_app_netSetParam(uint16_t type, const void* payload) {
    return simpleCall("st_app_netSetParam", {type}, bytesOf(payload, RECORDED_PAYLOAD));
}

int st_app_netGetParam(uint16_t type, void* out, uint32_t* count) {
    if (auto forced = enter("st_app_netGetParam", {type})) return *forced;
    size_t n = std::min(outputSize("st_app_netGetParam"), size_t{wire::MAX_PAYLOAD});
    {
        std::lock_guard<std::mutex> lock(hs().mutex);
        auto it = hs().outputs.find("st_app_netGetParam");
        if (it != hs().outputs.end()) copyBytes(out, it->second, n);
        *count = hs().getParamCount.value_or(static_cast<uint32_t>(n));
    }
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
    return storedGetter("st_param_getOsdTimeStruct", {c}, wire::PARAM_OSD, c * wire::OSD_BLOCK_SIZE,
                        out, wire::OSD_TIME_SIZE);
}
int st_param_setVideoConfigParam(int channel, VideoConfigRecord record) {
    return simpleCall("st_param_setVideoConfigParam", {channel},
                      bytesOf(record.bytes, sizeof record.bytes));
}

/* device information and time */
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
int st_iwlist_getApInfo(void* buffer, int sock) {
    return wifiScan("st_iwlist_getApInfo", buffer, sock);
}
int st_iwlist_getIwprivApInfo(void* buffer, int sock) {
    return wifiScan("st_iwlist_getIwprivApInfo", buffer, sock);
}

/* users and log */
int st_app_netGetUserList(UserNode** head) {
    if (auto forced = enter("st_app_netGetUserList")) return *forced;
    {
        std::lock_guard<std::mutex> lock(hs().mutex);
        *head = buildList<UserNode>(hs().users);
    }
    return resultOf("st_app_netGetUserList");
}
RECORD_CALL(st_app_netAddUser, UserRecord)
RECORD_CALL(st_app_netDeleteUser, UserRecord)
RECORD_CALL(st_app_netModifyUser, UserRecord)
int st_app_netGetLogList(LogQuery query, LogNode** head) {
    if (auto forced = enter("st_app_netGetLogList", {}, bytesOf(query.bytes, sizeof query.bytes)))
        return *forced;
    {
        std::lock_guard<std::mutex> lock(hs().mutex);
        *head = buildList<LogNode>(hs().logs);
    }
    return resultOf("st_app_netGetLogList");
}
RECORD_CALL(st_app_netDeleteLogInfo, LogQuery)

/* maintenance */
SIMPLE_CALL(st_app_netDefaultSetting)
SIMPLE_CALL(st_app_netRebootSystem)
SIMPLE_CALL(st_param_resetAllStruct)
SIMPLE_CALL(st_param_resetFactoryParam)
SIMPLE_CALL(st_param_initCmos)
SIMPLE_CALL(at_Reset)
int Default3GConfigStruct(uint32_t value) { return simpleCall("Default3GConfigStruct", {value}); }
int st_app_fdiskHd(uint32_t word0, uint32_t word1, int32_t flag) {
    if (auto forced = enter("st_app_fdiskHd", {word0, word1, flag})) return *forced;
    {
        std::unique_lock<std::mutex> lock(hs().mutex);
        hs().fdiskReleased.wait(lock, [] { return !hs().fdiskHeld; });
    }
    return resultOf("st_app_fdiskHd");
}
int st_app_formatPart(uint32_t word0, uint32_t word1, uint32_t word2, int32_t flag) {
    return simpleCall("st_app_formatPart", {word0, word1, word2, flag});
}
int st_app_getFormatPercent(uint32_t word0, uint32_t word1) {
    return simpleCall("st_app_getFormatPercent", {word0, word1});
}
SIMPLE_CALL(st_comm_openHdLogFile)
int st_comm_sendThreadInfoForTop(const char* name) {
    return simpleCall("st_comm_sendThreadInfoForTop", {}, bytesOf(name, std::strlen(name)));
}

/* recording, PTZ, encoder */
int st_app_netPTZControl(uint16_t subType, PtzCommand command) {
    return simpleCall("st_app_netPTZControl", {subType}, bytesOf(command.bytes, sizeof command.bytes));
}
int st_enc_setIFrameForceFlag(int channel, int flag) {
    return simpleCall("st_enc_setIFrameForceFlag", {channel, flag});
}
int st_param_setHandRecordStruct(uint32_t channel, HandRecordSetting setting) {
    return simpleCall("st_param_setHandRecordStruct", {channel},
                      bytesOf(setting.bytes, sizeof setting.bytes));
}
int st_record_netDeleteRecordFile(const char* name) {
    return simpleCall("st_record_netDeleteRecordFile", {},
                      bytesOf(name, wire::RECORD_FILE_NAME_BUFFER));
}

/* serial ports */
RECORD_GETTER(st_param_getTransparenceStruct, TRANSPARENCE_SIZE)
int st_param_getSerialStruct(int port, void* out) {
    if (auto forced = enter("st_param_getSerialStruct", {port})) return *forced;
    writeOutput("st_param_getSerialStruct", out, wire::SERIAL_SETTING_SIZE);
    return resultOf("st_param_getSerialStruct");
}
int st_com_refreshSerialParam(int port, uint32_t word8, uint32_t word4, uint32_t byte1, uint32_t byte0) {
    return simpleCall("st_com_refreshSerialParam", {port, word8, word4, byte1, byte0});
}
int st_com_sendDataToCom(int port, const uint8_t* data, uint32_t count) {
    return simpleCall("st_com_sendDataToCom", {port, count}, bytesOf(data, count));
}

}  // extern "C"
