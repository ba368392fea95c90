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

/* Zeroes `size` bytes of `out`, then writes the scripted output over them. */
void writeOutput(const char* name, void* out, size_t size) {
    std::lock_guard<std::mutex> lock(hs().mutex);
    std::memset(out, 0, size);
    auto it = hs().outputs.find(name);
    if (it != hs().outputs.end())
        std::memcpy(out, it->second.data(), std::min(size, it->second.size()));
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
        std::memcpy(node->record, r.data(), std::min(r.size(), sizeof node->record));
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
        if (it != hs().outputs.end()) std::memcpy(buffer, it->second.data(), n);
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

void setOutput(const std::string& name, Bytes bytes) {
    std::lock_guard<std::mutex> lock(hs().mutex);
    hs().outputs[name] = std::move(bytes);
}

void setResult(const std::string& name, int result) {
    std::lock_guard<std::mutex> lock(hs().mutex);
    hs().results[name] = result;
}

void setGetParamCount(uint32_t count) {
    std::lock_guard<std::mutex> lock(hs().mutex);
    hs().getParamCount = count;
}

void setStoredParam(uint16_t type, Bytes image) {
    std::lock_guard<std::mutex> lock(hs().mutex);
    hs().stored[type] = std::move(image);
}

void setUserList(std::vector<Bytes> records) {
    std::lock_guard<std::mutex> lock(hs().mutex);
    hs().users = std::move(records);
}

void setLogList(std::vector<Bytes> records) {
    std::lock_guard<std::mutex> lock(hs().mutex);
    hs().logs = std::move(records);
}

std::vector<const void*> handedOutNodes() {
    std::lock_guard<std::mutex> lock(hs().mutex);
    return hs().handedOut;
}

std::vector<const void*> freedBlocks() {
    std::lock_guard<std::mutex> lock(hs().mutex);
    return hs().freed;
}

void holdFdisk() {
    std::lock_guard<std::mutex> lock(hs().mutex);
    hs().fdiskHeld = true;
}

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

void noteFree(void* block) {
    std::lock_guard<std::mutex> lock(hs().mutex);
    hs().freed.push_back(block);
}

}  // namespace fake_host::detail

/* ---- the host functions ------------------------------------------------- */

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
        if (it != hs().outputs.end()) std::memcpy(out, it->second.data(), n);
        *count = hs().getParamCount.value_or(static_cast<uint32_t>(n));
    }
    return resultOf("st_app_netGetParam");
}

int st_param_getProberStruct(int c, void* out) {
    return storedGetter("st_param_getProberStruct", {c}, wire::PARAM_PROBER_ALARM,
                        c * wire::PROBER_RECORD_SIZE, out, wire::PROBER_RECORD_SIZE);
}
int st_param_getTerminateStruct(int c, void* out) {
    return storedGetter("st_param_getTerminateStruct", {c}, wire::PARAM_PTZ_CONFIG,
                        c * wire::TERMINATE_RECORD_SIZE, out, wire::TERMINATE_RECORD_SIZE);
}
int st_param_getTimerStruct(int c, int i, void* out) {
    size_t offset = c * wire::ENTRIES_PER_CHANNEL * wire::TIMER_ENTRY_SIZE + i * wire::TIMER_ENTRY_SIZE;
    return storedGetter("st_param_getTimerStruct", {c, i}, wire::PARAM_TIMER_RECORD, offset, out,
                        wire::TIMER_ENTRY_SIZE);
}
int st_param_getVideoLoseStruct(int c, void* out) {
    return storedGetter("st_param_getVideoLoseStruct", {c}, wire::PARAM_LOST_ALARM,
                        c * wire::VIDEO_LOST_RECORD_SIZE, out, wire::VIDEO_LOST_RECORD_SIZE);
}
int st_param_getVideoMoveStruct(int c, int i, void* out) {
    size_t offset = c * wire::ENTRIES_PER_CHANNEL * wire::MOVE_ENTRY_SIZE + i * wire::MOVE_ENTRY_SIZE;
    return storedGetter("st_param_getVideoMoveStruct", {c, i}, wire::PARAM_MOVE_ALARM, offset, out,
                        wire::MOVE_ENTRY_SIZE);
}
int st_param_getVideoConfigParam(int c, void* out) {
    return storedGetter("st_param_getVideoConfigParam", {c}, wire::PARAM_VIDEO_CONFIG,
                        c * wire::VIDEO_CONFIG_RECORD_SIZE, out, wire::VIDEO_CONFIG_RECORD_SIZE);
}
int st_param_getVideoEncodeParam(int c, void* out) {
    return storedGetter("st_param_getVideoEncodeParam", {c}, wire::PARAM_VIDEO_ENCODE,
                        c * wire::VIDEO_ENCODE_RECORD_SIZE, out, wire::VIDEO_ENCODE_RECORD_SIZE);
}
int st_param_getOsdLogoStruct(int c, void* out) {
    return storedGetter("st_param_getOsdLogoStruct", {c}, wire::PARAM_OSD,
                        c * wire::OSD_BLOCK_SIZE + wire::OSD_LOGO_OFFSET, out, wire::OSD_LOGO_SIZE);
}
int st_param_getOsdTimeStruct(int c, void* out) {
    return storedGetter("st_param_getOsdTimeStruct", {c}, wire::PARAM_OSD, c * wire::OSD_BLOCK_SIZE,
                        out, wire::OSD_TIME_SIZE);
}
int st_param_getOverlayStruct(int c, void* out) {
    return storedGetter("st_param_getOverlayStruct", {c}, wire::PARAM_VIDEO_OVERLAY,
                        c * wire::OVERLAY_RECORD_SIZE, out, wire::OVERLAY_RECORD_SIZE);
}
int st_param_getPppoeInfoStruct(void* out) {
    return storedGetter("st_param_getPppoeInfoStruct", {}, wire::PARAM_PPPOE, 0, out,
                        wire::PPPOE_RECORD_SIZE);
}
int st_param_getRecParamStruct(void* out) {
    return storedGetter("st_param_getRecParamStruct", {}, wire::PARAM_RECORD_TYPE, 0, out,
                        wire::RECORD_TYPE_RECORD_SIZE);
}
int st_param_getCmos(void* out) {
    return storedGetter("st_param_getCmos", {}, wire::PARAM_CMOS, 0, out, wire::CMOS_RECORD_SIZE);
}
int st_param_setVideoConfigParam(int channel, VideoConfigRecord record) {
    return simpleCall("st_param_setVideoConfigParam", {channel},
                      bytesOf(record.bytes, sizeof record.bytes));
}

/* device information and time */
int st_app_netSetTime(uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3, uint32_t w4, uint32_t w5) {
    return simpleCall("st_app_netSetTime", {w0, w1, w2, w3, w4, w5});
}
int st_app_netGetTime(void* out) {
    return recordGetter("st_app_netGetTime", out, wire::TIME_RECORD_SIZE);
}
int st_app_netGetVersionInfo(void* out) {
    return recordGetter("st_app_netGetVersionInfo", out, wire::VERSION_RECORD_SIZE);
}
int st_app_netGetHardDiskData(void* out) {
    return recordGetter("st_app_netGetHardDiskData", out, wire::HARDDISK_RECORD_SIZE);
}
int st_app_netGetSystemStatusInfo(void* out) {
    return recordGetter("st_app_netGetSystemStatusInfo", out, wire::SYSTEM_STATUS_RECORD_SIZE);
}
int st_app_netGetUpdateSystemInfo(void* out) {
    return recordGetter("st_app_netGetUpdateSystemInfo", out, wire::UPDATE_INFO_SIZE);
}
int st_param_getFlatType(void) { return simpleCall("st_param_getFlatType"); }
int st_param_setVersionInfo(VersionRecord record) {
    return simpleCall("st_param_setVersionInfo", {}, bytesOf(record.bytes, sizeof record.bytes));
}
int st_param_initCameraInfo(void) { return simpleCall("st_param_initCameraInfo"); }
int st_param_initCameraItu(void) { return simpleCall("st_param_initCameraItu"); }
int st_iwlist_iwprivIsRt73(void) { return simpleCall("st_iwlist_iwprivIsRt73"); }
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
int st_app_netAddUser(UserRecord user) {
    return simpleCall("st_app_netAddUser", {}, bytesOf(user.bytes, sizeof user.bytes));
}
int st_app_netDeleteUser(UserRecord user) {
    return simpleCall("st_app_netDeleteUser", {}, bytesOf(user.bytes, sizeof user.bytes));
}
int st_app_netModifyUser(UserRecord user) {
    return simpleCall("st_app_netModifyUser", {}, bytesOf(user.bytes, sizeof user.bytes));
}
int st_app_netGetLogList(LogQuery query, LogNode** head) {
    if (auto forced = enter("st_app_netGetLogList", {}, bytesOf(query.bytes, sizeof query.bytes)))
        return *forced;
    {
        std::lock_guard<std::mutex> lock(hs().mutex);
        *head = buildList<LogNode>(hs().logs);
    }
    return resultOf("st_app_netGetLogList");
}
int st_app_netDeleteLogInfo(LogQuery query) {
    return simpleCall("st_app_netDeleteLogInfo", {}, bytesOf(query.bytes, sizeof query.bytes));
}

/* maintenance */
int st_app_netDefaultSetting(void) { return simpleCall("st_app_netDefaultSetting"); }
int st_app_netRebootSystem(void) { return simpleCall("st_app_netRebootSystem"); }
int st_param_resetAllStruct(void) { return simpleCall("st_param_resetAllStruct"); }
int st_param_resetFactoryParam(void) { return simpleCall("st_param_resetFactoryParam"); }
int st_param_initCmos(void) { return simpleCall("st_param_initCmos"); }
int at_Reset(void) { return simpleCall("at_Reset"); }
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
int st_comm_openHdLogFile(void) { return simpleCall("st_comm_openHdLogFile"); }
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
int st_param_getTransparenceStruct(void* out) {
    return recordGetter("st_param_getTransparenceStruct", out, wire::TRANSPARENCE_SIZE);
}
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
