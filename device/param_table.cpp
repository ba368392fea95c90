/*
 * param_table.cpp - sizes and defaults of the parameter records.
 */
#include "param_table.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>

#include "device_state.h"
#include "netserver/records.h"
#include "netserver/wire.h"

namespace {

using namespace wire;
namespace rec = records;

const std::vector<ParamType> kTypes = {
    {PARAM_NET_CONFIG, NETWORK_RECORD_SIZE, ParamScope::Single},
    {PARAM_PROBER_ALARM, PROBER_RECORD_SIZE, ParamScope::PerChannel},
    {PARAM_PTZ_CONFIG, TERMINATE_RECORD_SIZE, ParamScope::PerChannel},
    {PARAM_TIMER_RECORD, ENTRIES_PER_CHANNEL * TIMER_ENTRY_SIZE, ParamScope::PerChannel},
    {PARAM_LOST_ALARM, VIDEO_LOST_RECORD_SIZE, ParamScope::PerChannel},
    {PARAM_MOVE_ALARM, ENTRIES_PER_CHANNEL * MOVE_ENTRY_SIZE, ParamScope::PerChannel},
    {PARAM_VIDEO_CONFIG, VIDEO_CONFIG_RECORD_SIZE, ParamScope::PerChannel},
    {PARAM_VIDEO_ENCODE, VIDEO_ENCODE_RECORD_SIZE, ParamScope::PerChannel},
    {PARAM_OSD, OSD_BLOCK_SIZE, ParamScope::PerChannel},
    {PARAM_VIDEO_OVERLAY, OVERLAY_RECORD_SIZE, ParamScope::PerChannel},
    {PARAM_PPPOE, PPPOE_RECORD_SIZE, ParamScope::Single},
    {PARAM_RECORD_TYPE, RECORD_TYPE_RECORD_SIZE, ParamScope::Single},
    {PARAM_CMOS, CMOS_RECORD_SIZE, ParamScope::Single},
    {PARAM_SYS_CONFIG, SYSCONFIG_SIZE, ParamScope::Single},
    {rec::PARAM_SERIAL, wire::SERIAL_SETTING_SIZE, ParamScope::PerSerialPort},
    {rec::PARAM_TRANSPARENCE, wire::TRANSPARENCE_SIZE, ParamScope::Single},
    {rec::PARAM_HAND_RECORD, HAND_RECORD_SETTING_SIZE, ParamScope::PerChannel},
};

std::string channelName(size_t channel) {
    char name[16];
    std::snprintf(name, sizeof name, "CH%02u", static_cast<unsigned>(channel + 1));
    return name;
}

void putAddress(Bytes& r, size_t offset, const std::array<uint8_t, 4>& a) {
    std::copy(a.begin(), a.end(), r.begin() + static_cast<long>(offset));
}

Bytes networkDefault() {
    const DeviceState& d = deviceState();
    Bytes r(NETWORK_RECORD_SIZE, 0);
    putU16(r.data(), NETWORK_BASE_PORT, d.basePort);
    putAddress(r, rec::NETWORK_ADDRESS, d.address);
    putAddress(r, rec::NETWORK_NETMASK, {255, 255, 255, 0});
    putAddress(r, rec::NETWORK_GATEWAY, {d.address[0], d.address[1], d.address[2], 1});
    putAddress(r, rec::NETWORK_DNS, {d.address[0], d.address[1], d.address[2], 1});
    // A locally administered MAC address.
    const uint8_t mac[6] = {0x02, 0x00, 0x5e, 0x00, 0x00, 0x01};
    std::copy(mac, mac + 6, r.begin() + rec::NETWORK_MAC);
    return r;
}

Bytes sysConfigDefault() {
    const DeviceState& d = deviceState();
    Bytes r(SYSCONFIG_SIZE, 0);
    putU32(r.data(), rec::SYSCONFIG_DEVICE_ID, 1);
    r[rec::SYSCONFIG_VIDEO_STANDARD] = 0;
    r[SYSCONFIG_CHANNEL_COUNT] = d.channels;
    r[rec::SYSCONFIG_ALARM_INPUTS] = 4;
    r[rec::SYSCONFIG_ALARM_OUTPUTS] = 1;
    r[SYSCONFIG_SERIAL_PORT_COUNT] = d.serialPorts;
    wire::putText(r.data(), rec::SYSCONFIG_NAME, rec::SYSCONFIG_NAME_SIZE, "recnet-device");
    return r;
}

Bytes encodeDefault() {
    Bytes r(VIDEO_ENCODE_RECORD_SIZE, 0);
    putU32(r.data(), rec::ENCODE_WIDTH, 704);
    putU32(r.data(), rec::ENCODE_HEIGHT, 576);
    putU32(r.data(), rec::ENCODE_FRAME_RATE, 25);
    putU32(r.data(), rec::ENCODE_BIT_RATE, 1024);
    putU32(r.data(), rec::ENCODE_KEY_INTERVAL, 50);
    putU32(r.data(), rec::ENCODE_QUALITY, 3);
    putU32(r.data(), rec::ENCODE_VBR, 0);
    return r;
}

Bytes osdDefault(size_t channel) {
    Bytes r(OSD_BLOCK_SIZE, 0);
    r[rec::OSD_TIME_SHOWN] = 1;
    putU16(r.data(), rec::OSD_TIME_X, 16);
    putU16(r.data(), rec::OSD_TIME_Y, 16);
    r[rec::OSD_LOGO_SHOWN] = 1;
    putU16(r.data(), rec::OSD_LOGO_X, 16);
    putU16(r.data(), rec::OSD_LOGO_Y, 540);
    wire::putText(r.data(), rec::OSD_LOGO_TEXT, rec::OSD_LOGO_TEXT_SIZE, channelName(channel));
    return r;
}

Bytes timerDefault() {
    Bytes r(ENTRIES_PER_CHANNEL * TIMER_ENTRY_SIZE, 0);
    for (size_t day = 0; day < ENTRIES_PER_CHANNEL; ++day)
        putU32(r.data(), day * TIMER_ENTRY_SIZE + rec::TIMER_PERIODS + 4, 24 * 60);  // whole day
    return r;
}

}  // namespace

const ParamType* findParamType(uint16_t type) {
    for (const ParamType& t : kTypes)
        if (t.type == type) return &t;
    return nullptr;
}

const std::vector<ParamType>& paramTypes() { return kTypes; }

size_t paramRecordCount(const ParamType& type) {
    switch (type.scope) {
    case ParamScope::Single: return 1;
    case ParamScope::PerChannel: return deviceState().channels;
    case ParamScope::PerSerialPort: return deviceState().serialPorts;
    }
    return 0;
}

Bytes defaultParam(uint16_t type, size_t index) {
    const ParamType* t = findParamType(type);
    Bytes r(t ? t->size : 0, 0);
    switch (type) {
    case PARAM_NET_CONFIG: return networkDefault();
    case PARAM_SYS_CONFIG: return sysConfigDefault();
    case PARAM_VIDEO_ENCODE: return encodeDefault();
    case PARAM_OSD: return osdDefault(index);
    case PARAM_TIMER_RECORD: return timerDefault();
    case PARAM_VIDEO_CONFIG:
        // The same record as MSG_RESET_VIDEO_CONFIG builds.
        wire::putText(r.data(), 0, VIDEO_CONFIG_NAME_SIZE, channelName(index));
        std::fill(r.begin() + rec::VIDEO_BRIGHTNESS, r.end(), 128);
        break;
    case PARAM_PTZ_CONFIG:
        putU32(r.data(), rec::PTZCFG_ADDRESS, static_cast<uint32_t>(index + 1));
        putU32(r.data(), rec::PTZCFG_BAUD, 9600);
        break;
    case PARAM_RECORD_TYPE:
        putU32(r.data(), rec::RECTYPE_MODE, 2);
        putU32(r.data(), rec::RECTYPE_PRERECORD, 5);
        putU32(r.data(), rec::RECTYPE_FILE_MINUTES, 30);
        putU32(r.data(), rec::RECTYPE_OVERWRITE, 1);
        break;
    case PARAM_CMOS:
        for (size_t off = rec::CMOS_BRIGHTNESS; off < rec::CMOS_MIRROR; off += 4) putU32(r.data(), off, 128);
        break;
    case rec::PARAM_SERIAL:
        r[wire::SERIAL_DATA_BITS] = 8;
        r[wire::SERIAL_STOP_BITS] = 1;
        putU32(r.data(), wire::SERIAL_BAUD, 9600);
        break;
    case rec::PARAM_TRANSPARENCE:
        r[wire::TRANSPARENCE_RECEIVE] = 1;
        r[wire::TRANSPARENCE_SEND] = 1;
        break;
    }
    return r;
}

namespace {

// The running configuration wins over whatever the store holds.
bool applyRunningConfig() {
    const DeviceState& d = deviceState();
    Store& store = deviceStore();
    Bytes sys = store.param(PARAM_SYS_CONFIG, 0).value_or(sysConfigDefault());
    sys.resize(SYSCONFIG_SIZE, 0);
    sys[SYSCONFIG_CHANNEL_COUNT] = d.channels;
    sys[SYSCONFIG_SERIAL_PORT_COUNT] = d.serialPorts;
    Bytes net = store.param(PARAM_NET_CONFIG, 0).value_or(networkDefault());
    net.resize(NETWORK_RECORD_SIZE, 0);
    putU16(net.data(), NETWORK_BASE_PORT, d.basePort);
    putAddress(net, rec::NETWORK_ADDRESS, d.address);
    return store.putParam(PARAM_SYS_CONFIG, 0, sys) && store.putParam(PARAM_NET_CONFIG, 0, net);
}

}  // namespace

bool ensureParamDefaults() {
    for (const ParamType& t : kTypes) {
        std::vector<Bytes> defaults;
        for (size_t i = 0; i < paramRecordCount(t); ++i) defaults.push_back(defaultParam(t.type, i));
        if (!deviceStore().putParamsIfMissing(t.type, defaults)) return false;
    }
    return applyRunningConfig();
}

bool resetParam(uint16_t type) {
    const ParamType* t = findParamType(type);
    if (t == nullptr) return false;
    std::vector<Bytes> records;
    for (size_t i = 0; i < paramRecordCount(*t); ++i) records.push_back(defaultParam(type, i));
    return deviceStore().putParams(type, records);
}

int resetParamLogged(uint16_t type, uint32_t category, const char* line) {
    if (!resetParam(type)) return -1;
    deviceLog(category, line);
    return 0;
}

bool resetAllParams() {
    bool ok = true;
    for (const ParamType& t : kTypes) ok = resetParam(t.type) && ok;
    return applyRunningConfig() && ok;
}
