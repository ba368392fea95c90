/*
 * params.cpp - the device's parameters: reading and writing a parameter
 * type, and the field layouts through which a client shows one.
 */
#include <cstdio>

#include "commands.h"
#include "netserver/records.h"
#include "netserver/wire.h"

namespace recnet {

/* ---- parameters ----------------------------------------------------------------- */

std::vector<uint8_t> getParam(Connection& conn, uint16_t type, Duration timeout) {
    return command(conn, wire::MSG_GET_PARAM, type, {}, timeout,
                   "get parameter " + std::to_string(type))
        .payload;
}

void setParam(Connection& conn, uint16_t type, const std::vector<uint8_t>& value,
              Duration timeout) {
    if (value.size() > wire::MAX_PAYLOAD) {
        throw Error(Error::Kind::Protocol, "parameter value is longer than " +
                                               std::to_string(wire::MAX_PAYLOAD) + " bytes");
    }
    command(conn, wire::MSG_SET_PARAM, type, value, timeout,
            "set parameter " + std::to_string(type));
}

void resetVideoConfig(Connection& conn, int channel, Duration timeout) {
    std::vector<uint8_t> p(1, static_cast<uint8_t>(static_cast<int8_t>(channel)));
    command(conn, wire::MSG_RESET_VIDEO_CONFIG, 0, p, timeout,
            "reset video config of channel " + std::to_string(channel));
}

const ParamLayout* paramLayout(uint16_t type) {
    using K = ParamField::Kind;
    static const std::vector<ParamLayout> layouts = {
        {wire::PARAM_NET_CONFIG,
         "network",
         wire::NETWORK_RECORD_SIZE,
         {{"base_port", wire::NETWORK_BASE_PORT, K::U16, 2},
          {"address", records::NETWORK_ADDRESS, K::Ipv4, 4},
          {"netmask", records::NETWORK_NETMASK, K::Ipv4, 4},
          {"gateway", records::NETWORK_GATEWAY, K::Ipv4, 4},
          {"dns", records::NETWORK_DNS, K::Ipv4, 4},
          {"mac", records::NETWORK_MAC, K::Mac, 6},
          {"dhcp", records::NETWORK_DHCP, K::U8, 1}}},
        {wire::PARAM_PTZ_CONFIG,
         "PTZ config",
         wire::TERMINATE_RECORD_SIZE,
         {{"protocol", records::PTZCFG_PROTOCOL, K::U32, 4},
          {"address", records::PTZCFG_ADDRESS, K::U32, 4},
          {"baud", records::PTZCFG_BAUD, K::U32, 4},
          {"serial_port", records::PTZCFG_PORT, K::U8, 1}}},
        {wire::PARAM_VIDEO_CONFIG,
         "video config",
         wire::VIDEO_CONFIG_RECORD_SIZE,
         {{"name", 0, K::Text, wire::VIDEO_CONFIG_NAME_SIZE},
          {"brightness", records::VIDEO_BRIGHTNESS, K::U8, 1},
          {"contrast", records::VIDEO_CONTRAST, K::U8, 1},
          {"saturation", records::VIDEO_SATURATION, K::U8, 1},
          {"hue", records::VIDEO_HUE, K::U8, 1}}},
        {wire::PARAM_VIDEO_ENCODE,
         "video encode",
         wire::VIDEO_ENCODE_RECORD_SIZE,
         {{"width", records::ENCODE_WIDTH, K::U32, 4},
          {"height", records::ENCODE_HEIGHT, K::U32, 4},
          {"frame_rate", records::ENCODE_FRAME_RATE, K::U32, 4},
          {"bit_rate", records::ENCODE_BIT_RATE, K::U32, 4},
          {"key_interval", records::ENCODE_KEY_INTERVAL, K::U32, 4},
          {"quality", records::ENCODE_QUALITY, K::U32, 4},
          {"vbr", records::ENCODE_VBR, K::U32, 4}}},
        {wire::PARAM_OSD,
         "OSD",
         wire::OSD_BLOCK_SIZE,
         {{"time_shown", records::OSD_TIME_SHOWN, K::U8, 1},
          {"time_format", records::OSD_TIME_FORMAT, K::U8, 1},
          {"time_x", records::OSD_TIME_X, K::U16, 2},
          {"time_y", records::OSD_TIME_Y, K::U16, 2},
          {"logo_shown", records::OSD_LOGO_SHOWN, K::U8, 1},
          {"logo_x", records::OSD_LOGO_X, K::U16, 2},
          {"logo_y", records::OSD_LOGO_Y, K::U16, 2},
          {"logo_text", records::OSD_LOGO_TEXT, K::Text, records::OSD_LOGO_TEXT_SIZE}}},
        {wire::PARAM_RECORD_TYPE,
         "record type",
         wire::RECORD_TYPE_RECORD_SIZE,
         {{"mode", records::RECTYPE_MODE, K::U32, 4},
          {"prerecord_seconds", records::RECTYPE_PRERECORD, K::U32, 4},
          {"file_minutes", records::RECTYPE_FILE_MINUTES, K::U32, 4},
          {"overwrite", records::RECTYPE_OVERWRITE, K::U32, 4}}},
        {records::PARAM_SERIAL,
         "serial",
         wire::SERIAL_SETTING_SIZE,
         {{"data_bits", wire::SERIAL_DATA_BITS, K::U8, 1},
          {"stop_bits", wire::SERIAL_STOP_BITS, K::U8, 1},
          {"parity", wire::SERIAL_PARITY, K::U32, 4},
          {"baud", wire::SERIAL_BAUD, K::U32, 4}}},
        {records::PARAM_TRANSPARENCE,
         "transparence",
         wire::TRANSPARENCE_SIZE,
         {{"port", wire::TRANSPARENCE_PORT, K::U8, 1},
          {"receive", wire::TRANSPARENCE_RECEIVE, K::U8, 1},
          {"send", wire::TRANSPARENCE_SEND, K::U8, 1}}},
        {records::PARAM_HAND_RECORD,
         "manual recording",
         wire::HAND_RECORD_SETTING_SIZE,
         {{"on", records::HAND_RECORD_ON, K::U8, 1},
          {"kind", records::HAND_RECORD_KIND, K::U8, 1},
          {"minutes", records::HAND_RECORD_MINUTES, K::U8, 1}}},
        {wire::PARAM_CMOS,
         "CMOS",
         wire::CMOS_RECORD_SIZE,
         {{"brightness", records::CMOS_BRIGHTNESS, K::U32, 4},
          {"contrast", records::CMOS_CONTRAST, K::U32, 4},
          {"saturation", records::CMOS_SATURATION, K::U32, 4},
          {"hue", records::CMOS_HUE, K::U32, 4},
          {"sharpness", records::CMOS_SHARPNESS, K::U32, 4},
          {"mirror", records::CMOS_MIRROR, K::U32, 4}}},
        {wire::PARAM_SYS_CONFIG,
         "system configuration",
         wire::SYSCONFIG_SIZE,
         {{"device_id", records::SYSCONFIG_DEVICE_ID, K::U32, 4},
          {"video_standard", records::SYSCONFIG_VIDEO_STANDARD, K::U8, 1},
          {"channels", wire::SYSCONFIG_CHANNEL_COUNT, K::U8, 1},
          {"alarm_inputs", records::SYSCONFIG_ALARM_INPUTS, K::U8, 1},
          {"alarm_outputs", records::SYSCONFIG_ALARM_OUTPUTS, K::U8, 1},
          {"serial_ports", wire::SYSCONFIG_SERIAL_PORT_COUNT, K::U8, 1},
          {"name", records::SYSCONFIG_NAME, K::Text, records::SYSCONFIG_NAME_SIZE}}},
        // Types without named fields: known record sizes only, so that
        // --channel can pick one record.
        {wire::PARAM_PROBER_ALARM, "prober alarm", wire::PROBER_RECORD_SIZE, {}},
        {wire::PARAM_TIMER_RECORD,
         "timer record",
         wire::TIMER_ENTRY_SIZE * wire::ENTRIES_PER_CHANNEL,
         {}},
        {wire::PARAM_LOST_ALARM, "video lost", wire::VIDEO_LOST_RECORD_SIZE, {}},
        {wire::PARAM_MOVE_ALARM, "motion", wire::MOVE_ENTRY_SIZE * wire::ENTRIES_PER_CHANNEL, {}},
        {wire::PARAM_VIDEO_OVERLAY, "video overlay", wire::OVERLAY_RECORD_SIZE, {}},
        {wire::PARAM_PPPOE, "PPPoE", wire::PPPOE_RECORD_SIZE, {}},
    };
    for (const ParamLayout& l : layouts) {
        if (l.type == type) return &l;
    }
    return nullptr;
}

std::string fieldText(const uint8_t* record, const ParamField& f) {
    using K = ParamField::Kind;
    const uint8_t* p = record + f.offset;
    char b[32];
    switch (f.kind) {
        case K::U8: return std::to_string(p[0]);
        case K::U16: return std::to_string(wire::getU16(record, f.offset));
        case K::U32: return std::to_string(wire::getU32(record, f.offset));
        case K::Text: return wire::getText(p, 0, f.size);
        case K::Ipv4: std::snprintf(b, sizeof b, "%u.%u.%u.%u", p[0], p[1], p[2], p[3]); return b;
        case K::Mac:
            std::snprintf(b, sizeof b, "%02x:%02x:%02x:%02x:%02x:%02x", p[0], p[1], p[2], p[3],
                          p[4], p[5]);
            return b;
    }
    return "";
}

}  // namespace recnet
