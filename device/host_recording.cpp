/*
 * host_recording.cpp - PTZ, key-frame requests, manual recording and the
 * record files of the state folder.
 */
#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "device_state.h"
#include "failures.h"
#include "netserver/host_api.h"
#include "netserver/records.h"
#include "netserver/wire.h"
#include "store.h"

namespace {

namespace fs = std::filesystem;
namespace rec = records;

/* ---- PTZ: one camera head per channel ---- */

struct PtzPosition {
    int pan = 0;     // degrees, 0..359
    int tilt = 0;    // degrees, -90..90
    int zoom = 1;    // 1..30
    int focus = 50;  // 0..100
    int iris = 50;   // 0..100
};

struct PtzHead {
    PtzPosition at;
    std::map<uint32_t, PtzPosition> presets;
};

std::mutex g_ptzMutex;
std::vector<PtzHead> g_ptz;  // one per channel, guarded by g_ptzMutex

// The sub-type's name, or null for an unknown sub-type.
const char* ptzName(uint16_t action) {
    static const char* const names[] = {nullptr,     "up",         "down",      "left",  "right",
                                        "zoom in",   "zoom out",   "focus near", "focus far",
                                        "iris open", "iris close", "stop",      "set preset",
                                        "go to preset", "clear preset"};
    return action < std::size(names) ? names[action] : nullptr;
}

// Applies one action; false when it cannot be done (unknown preset).
bool applyPtz(PtzHead& head, uint16_t action, int speed, uint32_t preset) {
    PtzPosition& p = head.at;
    switch (action) {
    case rec::PTZ_UP: p.tilt = std::min(90, p.tilt + speed); return true;
    case rec::PTZ_DOWN: p.tilt = std::max(-90, p.tilt - speed); return true;
    case rec::PTZ_LEFT: p.pan = ((p.pan - speed) % 360 + 360) % 360; return true;
    case rec::PTZ_RIGHT: p.pan = (p.pan + speed) % 360; return true;
    case rec::PTZ_ZOOM_IN: p.zoom = std::min(30, p.zoom + 1); return true;
    case rec::PTZ_ZOOM_OUT: p.zoom = std::max(1, p.zoom - 1); return true;
    case rec::PTZ_FOCUS_NEAR: p.focus = std::max(0, p.focus - speed); return true;
    case rec::PTZ_FOCUS_FAR: p.focus = std::min(100, p.focus + speed); return true;
    case rec::PTZ_IRIS_OPEN: p.iris = std::min(100, p.iris + speed); return true;
    case rec::PTZ_IRIS_CLOSE: p.iris = std::max(0, p.iris - speed); return true;
    case rec::PTZ_STOP: return true;
    case rec::PTZ_SET_PRESET: head.presets[preset] = p; return true;
    case rec::PTZ_GOTO_PRESET: {
        auto it = head.presets.find(preset);
        if (it == head.presets.end()) return false;
        p = it->second;
        return true;
    }
    case rec::PTZ_CLEAR_PRESET: return head.presets.erase(preset) == 1;
    }
    return false;
}

/* ---- key-frame requests, one flag per possible channel ---- */

std::array<std::atomic<bool>, 256> g_keyFrame{};

fs::path recordFolder() { return fs::path(deviceState().stateDir) / "records"; }

}  // namespace

void deviceRequestKeyFrame(int channel) {
    if (channel >= 0 && channel < static_cast<int>(g_keyFrame.size()))
        g_keyFrame[static_cast<size_t>(channel)].store(true, std::memory_order_relaxed);
}

bool deviceTakeKeyFrameRequest(int channel) {
    if (channel < 0 || channel >= static_cast<int>(g_keyFrame.size())) return false;
    return g_keyFrame[static_cast<size_t>(channel)].exchange(false, std::memory_order_relaxed);
}

// Moves the camera head of the command's channel (word 0) by its speed
// (word 4, 1..63) or handles preset number word 8 (1..255), and logs it.
// Returns 0, or -1 for an unknown sub-type, a channel out of range, a bad
// speed or preset, or a preset that was never set.
extern "C" int st_app_netPTZControl(uint16_t subType, PtzCommand command) {
    if (auto injected = injectedFailure("st_app_netPTZControl")) return *injected;
    const uint32_t channel = wire::getU32(command.bytes, rec::PTZ_CHANNEL);
    const uint32_t speed = wire::getU32(command.bytes, rec::PTZ_SPEED);
    const uint32_t preset = wire::getU32(command.bytes, rec::PTZ_PRESET);
    const char* name = ptzName(subType);
    const bool presetAction = subType >= rec::PTZ_SET_PRESET;
    if (name == nullptr || channel >= deviceState().channels) return -1;
    if (presetAction ? (preset < 1 || preset > 255) : (subType != rec::PTZ_STOP && (speed < 1 || speed > 63)))
        return -1;
    // The log line goes through a stream: `"literal" + std::to_string(...)`
    // here makes GCC 12 at -O3 report a bogus overlapping copy (-Wrestrict).
    std::ostringstream line;
    line << "ptz ch" << channel + 1 << ' ' << name;
    {
        std::lock_guard<std::mutex> lock(g_ptzMutex);
        if (g_ptz.size() != deviceState().channels) g_ptz.resize(deviceState().channels);
        PtzHead& head = g_ptz[channel];
        if (!applyPtz(head, subType, static_cast<int>(speed), preset)) return -1;
        if (presetAction) line << ' ' << preset;
        line << " pan " << head.at.pan << " tilt " << head.at.tilt << " zoom " << head.at.zoom;
    }
    deviceLog(wire::LOG_CATEGORY_CONTROL, line.str());
    return 0;
}

// Asks the stream pool for a key frame on `channel` next. Returns 0, or -1
// for a channel out of range.
extern "C" int st_enc_setIFrameForceFlag(int channel, int flag) {
    (void)flag;
    if (auto injected = injectedFailure("st_enc_setIFrameForceFlag")) return *injected;
    if (channel < 0 || channel >= deviceState().channels) return -1;
    deviceRequestKeyFrame(channel);
    return 0;
}

// Stores the channel's manual-recording setting (parameter type 24) and logs
// the switch. Returns 0, or -1 for a channel out of range or a store failure.
extern "C" int st_param_setHandRecordStruct(uint32_t channel, HandRecordSetting setting) {
    if (auto injected = injectedFailure("st_param_setHandRecordStruct")) return *injected;
    if (channel >= deviceState().channels) return -1;
    const Bytes bytes(setting.bytes, setting.bytes + sizeof setting.bytes);
    if (!deviceStore().putParam(rec::PARAM_HAND_RECORD, static_cast<int>(channel), bytes)) return -1;
    deviceLog(wire::LOG_CATEGORY_CONTROL, "manual recording ch" + std::to_string(channel + 1) +
                                             (setting.bytes[rec::HAND_RECORD_ON] ? " on" : " off"));
    return 0;
}

uint32_t handRecordingMask() {
    uint32_t mask = 0;
    for (int c = 0; c < std::min<int>(deviceState().channels, 32); ++c) {
        const std::optional<Bytes> s = deviceStore().param(rec::PARAM_HAND_RECORD, c);
        if (s && !s->empty() && (*s)[rec::HAND_RECORD_ON] != 0) mask |= 1u << c;
    }
    return mask;
}

/* ---- record files ---- */

bool prepareRecordFolder(std::string& error) {
    std::error_code ec;
    fs::create_directories(recordFolder(), ec);
    if (ec) error = "cannot create " + recordFolder().string() + ": " + ec.message();
    return !ec;
}

uint64_t recordFileBytes() {
    uint64_t total = 0;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(recordFolder(), ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file(ec)) total += it->file_size(ec);
    return total;
}

uint32_t recordFileCount() {
    uint32_t n = 0;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(recordFolder(), ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file(ec)) ++n;
    return n;
}

void clearRecordFiles() {
    std::error_code ec;
    for (fs::directory_iterator it(recordFolder(), ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code ignored;
        fs::remove_all(it->path(), ignored);
    }
}

// Deletes the record file `name` (relative to the record folder; the buffer
// holds 256 bytes). Returns 0, or -1 for an empty name, one without NUL in
// the buffer, one that leads out of the folder, or no regular file there.
extern "C" int st_record_netDeleteRecordFile(const char* name) {
    if (auto injected = injectedFailure("st_record_netDeleteRecordFile")) return *injected;
    if (name == nullptr) return -1;
    const size_t length = strnlen(name, wire::RECORD_FILE_NAME_BUFFER);
    if (length == 0 || length == wire::RECORD_FILE_NAME_BUFFER) return -1;
    const fs::path relative = fs::path(std::string(name, length)).lexically_normal();
    if (relative.is_absolute() || relative.empty() || *relative.begin() == ".." || relative == ".")
        return -1;
    // A symbolic link to a folder elsewhere could still lead out: compare the
    // resolved parent folder with the resolved record folder.
    std::error_code ec;
    const fs::path base = fs::canonical(recordFolder(), ec);
    if (ec) return -1;
    const fs::path target = base / relative;
    const fs::path parent = fs::canonical(target.parent_path(), ec);
    if (ec) return -1;
    const auto [stop, rest] = std::mismatch(base.begin(), base.end(), parent.begin(), parent.end());
    (void)rest;
    if (stop != base.end() || !fs::is_regular_file(fs::symlink_status(target, ec)) ||
        !fs::remove(target, ec))
        return -1;
    deviceLog(wire::LOG_CATEGORY_DISK, "record file " + relative.string() + " deleted");
    return 0;
}
