/*
 * params.cpp - MSG_SET_PARAM (with its audit line), MSG_GET_PARAM and
 * MSG_RESET_VIDEO_CONFIG.
 *
 * The module does not interpret parameter records; the host stores and reads
 * them. It reads the stored value itself only to decide whether a set changes
 * something, in which case one audit line goes to the device log.
 */
#include <cstdio>
#include <cstring>

#include "handlers/handlers.h"
#include "netserver/host_api.h"
#include "netserver/netserver.h"

namespace {

/* How the stored value of an audited type is read and laid out. */
enum class StoredLayout {
    NetConfig,    // single record, st_param_getNetworkStruct
    Pppoe,        // single record, compared in ranges
    RecordType,   // single record
    Cmos,         // single record
    SysConfig,    // single record from my_malloc
    PerChannel,   // one record per channel, getter (channel, out)
    Timer,        // seven entries per channel, getter (channel, index, out)
    Move,         // seven entries per channel, getter (channel, index, out)
    Osd,          // per channel: time at 0, logo at 8
};

using ChannelGetter = int (*)(int channel, void* out);

struct AuditedType {
    uint16_t type;
    StoredLayout layout;
    size_t size;  // bytes of a single record, or bytes per channel
    ChannelGetter getter;  // PerChannel only
    const char* what;      // the audit text after user and address
};

constexpr AuditedType kAudited[] = {
    {wire::PARAM_NET_CONFIG, StoredLayout::NetConfig, wire::NETWORK_RECORD_SIZE, nullptr,
     "modify net config param"},
    {wire::PARAM_PROBER_ALARM, StoredLayout::PerChannel, wire::PROBER_RECORD_SIZE,
     st_param_getProberStruct, "modify prober alarm param"},
    {wire::PARAM_PTZ_CONFIG, StoredLayout::PerChannel, wire::TERMINATE_RECORD_SIZE,
     st_param_getTerminateStruct, "modify PTZ config param"},
    {wire::PARAM_TIMER_RECORD, StoredLayout::Timer,
     wire::ENTRIES_PER_CHANNEL * wire::TIMER_ENTRY_SIZE, nullptr, "modify timer record param"},
    {wire::PARAM_LOST_ALARM, StoredLayout::PerChannel, wire::VIDEO_LOST_RECORD_SIZE,
     st_param_getVideoLoseStruct, "modify lost alarm param"},
    {wire::PARAM_MOVE_ALARM, StoredLayout::Move, wire::ENTRIES_PER_CHANNEL * wire::MOVE_ENTRY_SIZE,
     nullptr, "modify move alarm param"},
    {wire::PARAM_VIDEO_CONFIG, StoredLayout::PerChannel, wire::VIDEO_CONFIG_RECORD_SIZE,
     st_param_getVideoConfigParam, "modify video config param"},
    {wire::PARAM_VIDEO_ENCODE, StoredLayout::PerChannel, wire::VIDEO_ENCODE_RECORD_SIZE,
     st_param_getVideoEncodeParam, "modify video encode param"},
    {wire::PARAM_OSD, StoredLayout::Osd, wire::OSD_BLOCK_SIZE, nullptr, "modify OSD param"},
    {wire::PARAM_VIDEO_OVERLAY, StoredLayout::PerChannel, wire::OVERLAY_RECORD_SIZE,
     st_param_getOverlayStruct, "modify video overlay param"},
    {wire::PARAM_PPPOE, StoredLayout::Pppoe, wire::PPPOE_RECORD_SIZE, nullptr,
     "modify PPPOE param"},
    {wire::PARAM_RECORD_TYPE, StoredLayout::RecordType, wire::RECORD_TYPE_RECORD_SIZE, nullptr,
     "modify record type param"},
    // The CMOS settings share the record-type text on purpose: clients and
    // log readers know the line by it.
    {wire::PARAM_CMOS, StoredLayout::Cmos, wire::CMOS_RECORD_SIZE, nullptr,
     "modify record type param"},
    {wire::PARAM_SYS_CONFIG, StoredLayout::SysConfig, wire::SYSCONFIG_SIZE, nullptr,
     "modify sys config"},
};

/* The compared byte ranges of the PPPoE record, [first, last]. Bytes 88..103,
 * 105 and 106 change on their own on the device and are not compared. */
struct ByteRange {
    size_t first;
    size_t last;
};
constexpr ByteRange kPppoeRanges[] = {
    {0, 63}, {64, 87}, {108, 363}, {364, 491}, {492, 619}, {104, 104}, {107, 107},
};

const AuditedType* audited_find(uint16_t type) {
    for (const AuditedType& a : kAudited)
        if (a.type == type) return &a;
    return nullptr;
}

/* True when any of the first `count` bytes differ. */
bool bytes_differ(const uint8_t* a, const uint8_t* b, size_t count) {
    return std::memcmp(a, b, count) != 0;
}

bool pppoe_differs(const uint8_t* stored, const uint8_t* payload) {
    for (const ByteRange& r : kPppoeRanges)
        if (bytes_differ(stored + r.first, payload + r.first, r.last - r.first + 1)) return true;
    return false;
}

/* Fills `out` (channels × a.size bytes, zeroed by the caller) with the stored
 * per-channel records, channel 0 first. Getter results are not looked at. */
void read_per_channel(const AuditedType& a, uint32_t channels, uint8_t* out) {
    for (uint32_t c = 0; c < channels; ++c) {
        uint8_t* block = out + static_cast<size_t>(c) * a.size;
        int ch = static_cast<int>(c);
        switch (a.layout) {
        case StoredLayout::Timer:
            for (size_t i = 0; i < wire::ENTRIES_PER_CHANNEL; ++i)
                st_param_getTimerStruct(ch, static_cast<int>(i), block + i * wire::TIMER_ENTRY_SIZE);
            break;
        case StoredLayout::Move:
            for (size_t i = 0; i < wire::ENTRIES_PER_CHANNEL; ++i)
                st_param_getVideoMoveStruct(ch, static_cast<int>(i), block + i * wire::MOVE_ENTRY_SIZE);
            break;
        case StoredLayout::Osd:
            st_param_getOsdLogoStruct(ch, block + wire::OSD_LOGO_OFFSET);
            st_param_getOsdTimeStruct(ch, block);
            break;
        default:
            a.getter(ch, block);
            break;
        }
    }
}

/* Decides whether setting `payload` changes the stored value of `a`.
 * When the temporary buffer cannot be had, the value cannot be compared; the
 * set is then treated as a change, because an audit trail that misses a
 * change is worse than one line too many. */
bool set_changes_value(const AuditedType& a, const uint8_t* payload, uint32_t channels) {
    if (a.layout == StoredLayout::SysConfig) {
        auto* stored = static_cast<uint8_t*>(my_malloc(wire::SYSCONFIG_SIZE));
        if (stored == nullptr) return true;
        std::memset(stored, 0, wire::SYSCONFIG_SIZE);
        st_param_getSysConfig(stored);
        bool differ = bytes_differ(stored, payload, wire::SYSCONFIG_SIZE);
        my_free(stored);
        return differ;
    }
    if (a.layout == StoredLayout::NetConfig || a.layout == StoredLayout::Pppoe ||
        a.layout == StoredLayout::RecordType || a.layout == StoredLayout::Cmos) {
        uint8_t stored[wire::PPPOE_RECORD_SIZE] = {};  // the largest single record
        switch (a.layout) {
        case StoredLayout::NetConfig: st_param_getNetworkStruct(stored); break;
        case StoredLayout::Pppoe:
            st_param_getPppoeInfoStruct(stored);
            return pppoe_differs(stored, payload);
        case StoredLayout::RecordType: st_param_getRecParamStruct(stored); break;
        default: st_param_getCmos(stored); break;
        }
        return bytes_differ(stored, payload, a.size);
    }

    size_t total = static_cast<size_t>(channels) * a.size;
    if (total == 0) return false;  // no channel, nothing to compare
    auto* stored = static_cast<uint8_t*>(my_malloc(static_cast<unsigned int>(total)));
    if (stored == nullptr) return true;
    std::memset(stored, 0, total);
    read_per_channel(a, channels, stored);
    // Many channels of a large record can outgrow the payload area; only the
    // bytes a message can carry are compared.
    size_t compared = total < wire::MAX_PAYLOAD ? total : wire::MAX_PAYLOAD;
    bool differ = bytes_differ(stored, payload, compared);
    my_free(stored);
    return differ;
}

}  // namespace

/* MSG_SET_PARAM: audit line if the value changes, then the host stores it,
 * whatever the comparison found. A declared length above the payload area
 * (only a direct caller can present one) is dropped without a host call. */
void handle_set_param(HandlerContext& ctx) {
    uint8_t work[wire::MESSAGE_BUFFER_SIZE];
    reply_copy_begin(ctx, work);
    uint32_t declared = wire::getU32(ctx.message, wire::HDR_LENGTH);
    uint16_t type = wire::getU16(work, wire::HDR_SUBTYPE);
    if (declared > wire::MAX_PAYLOAD) return;

    uint32_t channels = NUGetSysConfig(1);
    const uint8_t* payload = work + wire::HEADER_SIZE;
    if (const AuditedType* a = audited_find(type)) {
        if (set_changes_value(*a, payload, channels)) audit_write(ctx.session, a->what);
    }
    int result = st_app_netSetParam(type, payload);
    reply_copy_send(ctx, work, status_for(result), 0);
}

/* MSG_GET_PARAM: the host writes the record straight into the working copy's
 * payload area. A count that does not fit that area is a host fault and is
 * answered as a failure, never sent. */
void handle_get_param(HandlerContext& ctx) {
    uint8_t work[wire::MESSAGE_BUFFER_SIZE];
    reply_copy_begin(ctx, work);
    uint16_t type = wire::getU16(work, wire::HDR_SUBTYPE);
    uint32_t count = 0;
    int result = st_app_netGetParam(type, work + wire::HEADER_SIZE, &count);
    if (result < 0 || count > wire::MAX_PAYLOAD) {
        reply_copy_send(ctx, work, wire::STATUS_FAILED, 0);
        return;
    }
    reply_copy_send(ctx, work, wire::STATUS_OK, count);
}

/* MSG_RESET_VIDEO_CONFIG: one channel's video config back to its default
 * (name CHnn, the four values 128). The channel is a signed byte. */
void handle_reset_video_config(HandlerContext& ctx) {
    int channel = static_cast<int8_t>(wire::getU8(ctx.message, wire::HEADER_SIZE));
    if (channel < 0 || static_cast<uint32_t>(channel) >= ctx.channelCount) {
        reply_in_place(ctx, wire::STATUS_FAILED);
        return;
    }
    constexpr uint8_t DEFAULT_VALUE = 0x80;
    VideoConfigRecord record{};
    char name[wire::VIDEO_CONFIG_NAME_SIZE] = {};
    snprintf(name, sizeof name, "CH%02d", channel + 1);
    std::memcpy(record.bytes, name, sizeof name);
    std::memset(record.bytes + wire::VIDEO_CONFIG_NAME_SIZE, DEFAULT_VALUE,
                wire::VIDEO_CONFIG_RECORD_SIZE - wire::VIDEO_CONFIG_NAME_SIZE);
    st_param_setVideoConfigParam(channel, record);
    reply_in_place(ctx, wire::STATUS_OK);
}
