/*
 * wire.h - on-the-wire constants and layouts of the recorder's network protocol.
 *
 * Every multi-byte field on the wire is little-endian, except the port and the
 * address inside an IPv4 socket address, which are in network order. Fields are
 * read and written with the helpers below at their documented offsets; no
 * structure is ever laid over a buffer.
 *
 * Shared by the module, the reference device and the client. Header-only,
 * standard library only.
 */
#ifndef NETSERVER_WIRE_H
#define NETSERVER_WIRE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace wire {

/* ---- little-endian field helpers ---------------------------------------- */

inline uint8_t getU8(const void* buf, size_t off) {
    return static_cast<const uint8_t*>(buf)[off];
}
inline uint16_t getU16(const void* buf, size_t off) {
    const uint8_t* p = static_cast<const uint8_t*>(buf) + off;
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t getU32(const void* buf, size_t off) {
    const uint8_t* p = static_cast<const uint8_t*>(buf) + off;
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline int32_t getI32(const void* buf, size_t off) {
    return static_cast<int32_t>(getU32(buf, off));
}
inline uint64_t getU64(const void* buf, size_t off) {
    return static_cast<uint64_t>(getU32(buf, off)) |
           (static_cast<uint64_t>(getU32(buf, off + 4)) << 32);
}
inline void putU8(void* buf, size_t off, uint8_t v) { static_cast<uint8_t*>(buf)[off] = v; }
inline void putU16(void* buf, size_t off, uint16_t v) {
    uint8_t* p = static_cast<uint8_t*>(buf) + off;
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void putU32(void* buf, size_t off, uint32_t v) {
    uint8_t* p = static_cast<uint8_t*>(buf) + off;
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
inline void putI32(void* buf, size_t off, int32_t v) { putU32(buf, off, static_cast<uint32_t>(v)); }
inline void putU64(void* buf, size_t off, uint64_t v) {
    putU32(buf, off, static_cast<uint32_t>(v));
    putU32(buf, off + 4, static_cast<uint32_t>(v >> 32));
}

/* `N` consecutive u32 fields from `off`, for records whose fields are words
 * in a row. */
template <size_t N>
std::array<uint32_t, N> getWords(const void* buf, size_t off) {
    std::array<uint32_t, N> w{};
    for (size_t i = 0; i < N; ++i) w[i] = getU32(buf, off + 4 * i);
    return w;
}

/* ---- text fields ----------------------------------------------------------
 * A text travels in a fixed-size field, NUL-terminated when shorter. */

/* Writes `text` into the `size`-byte field at `off`, cut so that its NUL
 * fits; bytes after the NUL are left as they are. */
inline void putText(void* buf, size_t off, size_t size, const std::string& text) {
    uint8_t* p = static_cast<uint8_t*>(buf) + off;
    const size_t n = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(p, text.data(), n);
    p[n] = 0;
}

/* The text of the `size`-byte field at `off`: up to its first NUL, the whole
 * field when it has none. */
inline std::string getText(const void* buf, size_t off, size_t size) {
    const char* p = static_cast<const char*>(buf) + off;
    const void* nul = std::memchr(p, 0, size);
    return std::string(p, nul ? static_cast<size_t>(static_cast<const char*>(nul) - p) : size);
}

/* ---- MessageHeader ------------------------------------------------------- */

// 16 bytes: magic u32 @0, type u16 @4, sub-type u16 @6, length u32 @8,
// status u8 @12, three further bytes @13 that a reply carries back unchanged.
constexpr uint32_t MSG_MAGIC = 0x504C4C4C;  // bytes 4C 4C 4C 50 on the wire
constexpr size_t HEADER_SIZE = 16;
constexpr size_t HDR_MAGIC = 0;
constexpr size_t HDR_TYPE = 4;
constexpr size_t HDR_SUBTYPE = 6;
constexpr size_t HDR_LENGTH = 8;
constexpr size_t HDR_STATUS = 12;
constexpr size_t HDR_REST = 13;

constexpr uint32_t MAX_PAYLOAD = 102400;                        // 0x19000
constexpr size_t MESSAGE_BUFFER_SIZE = HEADER_SIZE + MAX_PAYLOAD;  // 102416

struct MessageHeader {
    uint32_t magic = MSG_MAGIC;
    uint16_t type = 0;
    uint16_t subtype = 0;
    uint32_t length = 0;
    uint8_t status = 0;
    uint8_t rest[3] = {0, 0, 0};
};

inline MessageHeader decodeHeader(const void* buf) {
    MessageHeader h;
    h.magic = getU32(buf, HDR_MAGIC);
    h.type = getU16(buf, HDR_TYPE);
    h.subtype = getU16(buf, HDR_SUBTYPE);
    h.length = getU32(buf, HDR_LENGTH);
    h.status = getU8(buf, HDR_STATUS);
    std::memcpy(h.rest, static_cast<const uint8_t*>(buf) + HDR_REST, 3);
    return h;
}

inline void encodeHeader(void* buf, const MessageHeader& h) {
    putU32(buf, HDR_MAGIC, h.magic);
    putU16(buf, HDR_TYPE, h.type);
    putU16(buf, HDR_SUBTYPE, h.subtype);
    putU32(buf, HDR_LENGTH, h.length);
    putU8(buf, HDR_STATUS, h.status);
    std::memcpy(static_cast<uint8_t*>(buf) + HDR_REST, h.rest, 3);
}

/* ---- message types ------------------------------------------------------- */

constexpr uint16_t MSG_LOGIN = 0x1;
constexpr uint16_t MSG_LOGOUT = 0x2;
constexpr uint16_t MSG_START_STREAM = 0x3;
constexpr uint16_t MSG_STOP_STREAM = 0x4;      // client to server
constexpr uint16_t MSG_UPDATE_ACK = 0x4;       // server to client, firmware upload
constexpr uint16_t MSG_UPDATE_PROGRESS = 0x5;  // server to client, firmware upload
// Client types that the message thread drops without an answer, logged in
// or not: 0x5, 0x6 and the range 0x105..0x107.
constexpr uint16_t MSG_IGNORED_5 = 0x5;
constexpr uint16_t MSG_IGNORED_6 = 0x6;
constexpr uint16_t MSG_IGNORED_FIRST = 0x105;
constexpr uint16_t MSG_IGNORED_LAST = 0x107;
constexpr uint16_t MSG_PTZ_CONTROL = 0x7;
constexpr uint16_t MSG_DEFAULT_SETTING = 0x8;
constexpr uint16_t MSG_SESSION_ID = 0x9;
constexpr uint16_t MSG_KEEPALIVE = 0x102;
constexpr uint16_t MSG_TIME_INFO = 0x103;
constexpr uint16_t MSG_GET_COLLIERY_INFO = 0x104;
constexpr uint16_t MSG_SET_PARAM = 0x401;
constexpr uint16_t MSG_GET_PARAM = 0x402;
constexpr uint16_t MSG_RESET_VIDEO_CONFIG = 0x403;
constexpr uint16_t MSG_START_SESSION_THREAD = 0x801;
constexpr uint16_t MSG_SET_TIME = 0x802;
constexpr uint16_t MSG_GET_TIME = 0x803;
constexpr uint16_t MSG_GET_VERSION_INFO = 0x804;
constexpr uint16_t MSG_GET_HARDDISK_DATA = 0x805;
constexpr uint16_t MSG_GET_SYSTEM_STATUS_INFO = 0x806;
constexpr uint16_t MSG_GET_LOG_LIST = 0x807;
constexpr uint16_t MSG_DELETE_LOG = 0x808;
constexpr uint16_t MSG_SET_SESSION_FLAG = 0x80a;
constexpr uint16_t MSG_GET_UPDATE_SYSTEM_INFO = 0x80b;
constexpr uint16_t MSG_ECHO = 0x80c;
constexpr uint16_t MSG_GET_USER_LIST = 0x80e;
constexpr uint16_t MSG_ADD_USER = 0x80f;
constexpr uint16_t MSG_DELETE_USER = 0x810;
constexpr uint16_t MSG_MODIFY_USER = 0x811;
constexpr uint16_t MSG_GET_FLAT_TYPE = 0x812;
constexpr uint16_t MSG_SET_POLL_CONFIG = 0x813;
constexpr uint16_t MSG_GET_AP_INFO = 0x815;
constexpr uint16_t MSG_SERIAL_SEND = 0x818;
constexpr uint16_t MSG_SERIAL_DATA = 0x819;
constexpr uint16_t MSG_FORCE_IFRAME = 0x830;
constexpr uint16_t MSG_SET_HAND_RECORD = 0x840;
constexpr uint16_t MSG_CLEAR_HAND_RECORD = 0x841;
constexpr uint16_t MSG_DELETE_RECORD_FILE = 0x842;
constexpr uint16_t MSG_REBOOT_SYSTEM = 0x843;
constexpr uint16_t MSG_RESUME_DEFAULT_PARAM = 0x844;
constexpr uint16_t MSG_FDISK_HD = 0x845;
constexpr uint16_t MSG_FORMAT_PART = 0x846;
constexpr uint16_t MSG_GET_FORMAT_PERCENT = 0x847;
constexpr uint16_t MSG_GET_FDISK_STATUS = 0x848;
constexpr uint16_t MSG_RESET_FACTORY_PARAM = 0x853;
constexpr uint16_t MSG_SET_VERSION_INFO = 0x854;
constexpr uint16_t MSG_INIT_CAMERA_INFO = 0x857;
constexpr uint16_t MSG_INIT_CAMERA_ITU = 0x858;
constexpr uint16_t MSG_RESET_3G_MODULE = 0x863;
constexpr uint16_t MSG_CMOS_DEFAULT = 0x864;
constexpr uint16_t MSG_3GCONFIG_DEFAULT = 0x865;

/* ---- status codes (reply byte 12) ---------------------------------------- */

constexpr uint8_t STATUS_OK = 0x00;
constexpr uint8_t STATUS_FAILED = 0xff;
constexpr uint8_t STATUS_DISK_BUSY = 0x11;
constexpr uint8_t STATUS_FDISK_BUSY = 0x12;
// The login answer also uses 1 (unknown user) and 2 (wrong password).
constexpr uint8_t STATUS_LOGIN_UNKNOWN_USER = 0x01;
constexpr uint8_t STATUS_LOGIN_BAD_PASSWORD = 0x02;

/* ---- transports ---------------------------------------------------------- */

constexpr uint32_t TRANSPORT_TCP = 1;
constexpr uint32_t TRANSPORT_UDP = 2;
constexpr uint32_t TRANSPORT_MULTICAST = 3;

/* ---- LoginRequest, payload of MSG_LOGIN (84 bytes) ----------------------- */

constexpr size_t LOGIN_REQUEST_SIZE = 84;
constexpr size_t LOGIN_CREDENTIALS_SIZE = 60;  // host layout, user name first
constexpr size_t LOGIN_USERINFO_OFFSET = 60;   // 24 bytes the host's check may fill
constexpr size_t LOGIN_USERINFO_SIZE = 24;
constexpr size_t USER_NAME_SIZE = 24;          // user name field incl. its NUL

/* ---- MSG_SESSION_ID ------------------------------------------------------ */

constexpr size_t SESSION_ID_PAYLOAD = 4;  // u32 session id

/* ---- StreamStartRequest, payload of MSG_START_STREAM --------------------- */

constexpr size_t START_CHANNEL = 0;      // i32
constexpr size_t START_TRANSPORT = 4;    // u32
constexpr size_t START_DESTINATION = 8;  // 16-byte IPv4 socket address
constexpr size_t START_KIND = 24;        // u8
constexpr size_t START_OPTION = 25;      // u8, not interpreted
constexpr size_t START_REQUEST_SIZE = 28;  // 26 bytes of fields, padded to a word
static_assert(START_OPTION < START_REQUEST_SIZE);

/* ---- MSG_STOP_STREAM payload --------------------------------------------- */

constexpr size_t STOP_CHANNEL = 0;  // i32
constexpr size_t STOP_REQUEST_SIZE = 4;

/* ---- MSG_SET_POLL_CONFIG payload: four words ---------------------------- */

constexpr size_t POLL_CHANNEL = 0;
constexpr size_t POLL_ENABLED = 4;
constexpr size_t POLL_DWELL = 8;
constexpr size_t POLL_MASK = 12;

/* ---- MSG_GET_COLLIERY_INFO ---------------------------------------------- */

constexpr size_t COLLIERY_RECORD_SIZE = 192;  // the host's record
constexpr size_t COLLIERY_REPLY_OFFSET = 120;  // the reply is its last 72 bytes
constexpr size_t COLLIERY_REPLY_SIZE = 72;

/* ---- host records the module reads -------------------------------------- */

constexpr size_t SYSCONFIG_SIZE = 88;  // system-configuration record
constexpr size_t SYSCONFIG_CHANNEL_COUNT = 9;       // u8
constexpr size_t SYSCONFIG_SERIAL_PORT_COUNT = 12;  // u8
constexpr size_t NETWORK_RECORD_SIZE = 92;  // network record, base port u16 @0
constexpr size_t NETWORK_BASE_PORT = 0;

/* ---- ports relative to the base port ------------------------------------ */

constexpr unsigned DATA_PORT_OFFSET = 1;
constexpr unsigned UDP_RESPONDER_PORT_OFFSET = 4;

/* ---- IPv4 socket address (16 bytes) inside a payload ----------------------
 * Family u16 little-endian @0, port @2 and IPv4 address @4 in network order
 * (the bytes as they stand in a sockaddr_in), 8 zero bytes @8. Ports and
 * addresses below are host-order numbers: 127.0.0.1 is 0x7F000001. */
constexpr size_t SOCKADDR_FAMILY = 0;
constexpr size_t SOCKADDR_PORT = 2;
constexpr size_t SOCKADDR_IPV4 = 4;
constexpr size_t SOCKADDR_SIZE = 16;
constexpr uint16_t FAMILY_IPV4 = 2;  // AF_INET of the device and the client
static_assert(SOCKADDR_IPV4 + 4 + 8 == SOCKADDR_SIZE);

struct AddressV4 {
    uint16_t family = FAMILY_IPV4;
    uint16_t port = 0;     // host order
    uint32_t address = 0;  // host order
};

/* Writes all 16 bytes of the socket address at `off`. */
inline void putAddressV4(void* buf, size_t off, const AddressV4& a) {
    uint8_t* p = static_cast<uint8_t*>(buf) + off;
    std::memset(p, 0, SOCKADDR_SIZE);
    putU16(p, SOCKADDR_FAMILY, a.family);
    putU8(p, SOCKADDR_PORT, static_cast<uint8_t>(a.port >> 8));
    putU8(p, SOCKADDR_PORT + 1, static_cast<uint8_t>(a.port));
    for (size_t i = 0; i < 4; ++i)
        putU8(p, SOCKADDR_IPV4 + i, static_cast<uint8_t>(a.address >> (24 - 8 * i)));
}

/* Reads the family, port and address of the socket address at `off`. */
inline AddressV4 getAddressV4(const void* buf, size_t off) {
    const uint8_t* p = static_cast<const uint8_t*>(buf) + off;
    AddressV4 a;
    a.family = getU16(p, SOCKADDR_FAMILY);
    a.port = static_cast<uint16_t>((p[SOCKADDR_PORT] << 8) | p[SOCKADDR_PORT + 1]);
    a.address = 0;
    for (size_t i = 0; i < 4; ++i) a.address = (a.address << 8) | p[SOCKADDR_IPV4 + i];
    return a;
}

/* ---- the address probe of the UDP session responder -----------------------
 * 44 bytes, the same layout both ways: header @0 (status 0 in the answer),
 * client words @16 and @20, observed IPv4 socket address @24 (written by the
 * responder), client word @40. The responder echoes every other byte. */
constexpr size_t PROBE_SIZE = 44;
constexpr size_t PROBE_WORD_A = 16;
constexpr size_t PROBE_WORD_B = 20;
constexpr size_t PROBE_ADDRESS = 24;
constexpr size_t PROBE_WORD_C = 40;
static_assert(PROBE_ADDRESS + SOCKADDR_SIZE == PROBE_WORD_C);
static_assert(PROBE_WORD_C + 4 == PROBE_SIZE);

/* ---- the data connection's handshake (base port + 1) ----------------------
 * Client: a message whose payload holds the u32 session id @0; server: the
 * same header back, length 0, status 0. Client: a message of type 0 whose
 * payload holds the i32 channel @0 and the u8 kind @4; server: that header
 * with length 8 and the first 8 payload bytes. Fragments follow. */
constexpr size_t DATA_SESSION_ID = 0;
constexpr size_t DATA_SESSION_ID_SIZE = 4;
constexpr size_t SUBSCRIBE_CHANNEL = 0;
constexpr size_t SUBSCRIBE_KIND = 4;
constexpr size_t SUBSCRIBE_SIZE = 8;
static_assert(SUBSCRIBE_KIND < SUBSCRIBE_SIZE);

/* ---- frame header: the first 32 bytes of every live frame -----------------
 * The host's stream pool writes it; the module sends it in front of the
 * frame's data, byte for byte, and reads the length, sequence and type.
 *     0  4 bytes   zero
 *     4  u32       data length in bytes, header excluded
 *     8  u32       sequence number, rising by one per frame of a stream
 *    12  u8        channel, from 0
 *    13  u8        frame type: FRAME_TYPE_KEY or FRAME_TYPE_OTHER
 *    14  u8        stream kind: 0 main, 1 sub
 *    15  1 byte    zero
 *    16  u64       capture time, microseconds since 1970-01-01 00:00 UTC
 *    24  8 bytes   zero
 * From a clip, a frame's data is one H.264 access unit in Annex B form, and
 * every key frame carries the stream's sequence and picture parameter sets;
 * the synthetic source fills its frames with a fixed byte pattern. */
constexpr size_t FRAME_DATA_LENGTH = 4;
constexpr size_t FRAME_SEQUENCE = 8;
constexpr size_t FRAME_CHANNEL = 12;
constexpr size_t FRAME_TYPE = 13;
constexpr size_t FRAME_KIND = 14;
constexpr size_t FRAME_CAPTURE_TIME = 16;
constexpr size_t FRAME_HEADER_SIZE = 32;
static_assert(FRAME_CAPTURE_TIME + 8 + 8 == FRAME_HEADER_SIZE);
constexpr uint8_t FRAME_TYPE_KEY = 1;    // key frame (from a clip: IDR picture, SPS, PPS)
constexpr uint8_t FRAME_TYPE_OTHER = 2;  // any other video frame
constexpr uint8_t FRAME_TYPE_AUDIO = 3;  // an audio frame (the reference device has none)
constexpr uint32_t FRAME_TOTAL_MAX = 0x100000;  // frame header and data; larger is not sent

/* ---- stream fragments -----------------------------------------------------
 * A frame goes out as its frame header followed by its data, cut into
 * fragments of at most 1400 payload bytes, each behind a 16-byte header:
 *   u32 sequence @0, u32 data length @4 (frame header excluded), u32 payload
 *   length @8 (1..1400), u8 fragment count @12, u8 index @13 (both their low
 *   8 bits), u8 frame type @14, u8 0 @15.
 * Fragment 0 carries the frame header and the first 1368 data bytes. */
constexpr size_t FRAGMENT_SEQUENCE = 0;
constexpr size_t FRAGMENT_DATA_LENGTH = 4;
constexpr size_t FRAGMENT_PAYLOAD_LENGTH = 8;
constexpr size_t FRAGMENT_COUNT = 12;
constexpr size_t FRAGMENT_INDEX = 13;
constexpr size_t FRAGMENT_TYPE = 14;
constexpr size_t FRAGMENT_HEADER_SIZE = 16;
constexpr size_t FRAGMENT_PAYLOAD_MAX = 1400;
constexpr size_t FRAGMENT_SIZE_MAX = FRAGMENT_HEADER_SIZE + FRAGMENT_PAYLOAD_MAX;  // 1416
constexpr size_t FIRST_FRAGMENT_DATA = FRAGMENT_PAYLOAD_MAX - FRAME_HEADER_SIZE;  // 1368
static_assert(FRAGMENT_TYPE + 2 == FRAGMENT_HEADER_SIZE && FRAGMENT_SIZE_MAX == 1416 &&
              FIRST_FRAGMENT_DATA == 1368);

/* Fragments of a frame with `dataLength` data bytes: (data length + 32) /
 * 1400 rounded up, not cut to 8 bits. */
constexpr uint32_t fragmentCount(uint32_t dataLength) {
    const uint64_t total = static_cast<uint64_t>(dataLength) + FRAME_HEADER_SIZE;
    return static_cast<uint32_t>((total + FRAGMENT_PAYLOAD_MAX - 1) / FRAGMENT_PAYLOAD_MAX);
}

struct FragmentHeader {
    uint32_t sequence = 0;
    uint32_t dataLength = 0;
    uint32_t payloadLength = 0;
    uint8_t count = 0;  // low 8 bits
    uint8_t index = 0;  // low 8 bits
    uint8_t type = 0;
};

inline FragmentHeader decodeFragmentHeader(const void* buf) {
    return {getU32(buf, FRAGMENT_SEQUENCE), getU32(buf, FRAGMENT_DATA_LENGTH),
            getU32(buf, FRAGMENT_PAYLOAD_LENGTH), getU8(buf, FRAGMENT_COUNT),
            getU8(buf, FRAGMENT_INDEX), getU8(buf, FRAGMENT_TYPE)};
}

/* Writes all 16 header bytes, the zero byte @15 included. */
inline void encodeFragmentHeader(void* buf, const FragmentHeader& h) {
    static_assert(FRAGMENT_DATA_LENGTH == FRAGMENT_SEQUENCE + 4 &&
                  FRAGMENT_PAYLOAD_LENGTH == FRAGMENT_SEQUENCE + 8 &&
                  FRAGMENT_INDEX == FRAGMENT_COUNT + 1 && FRAGMENT_TYPE == FRAGMENT_COUNT + 2);
    const uint32_t words[] = {h.sequence, h.dataLength, h.payloadLength};
    for (size_t i = 0; i < 3; ++i) putU32(buf, FRAGMENT_SEQUENCE + 4 * i, words[i]);
    const uint8_t bytes[] = {h.count, h.index, h.type, 0};
    std::memcpy(static_cast<uint8_t*>(buf) + FRAGMENT_COUNT, bytes, sizeof bytes);
}


/* ---- command handlers: parameter types, record sizes, payload offsets ----
 * The module passes these records through without looking inside; only their
 * sizes and the few fields named here are fixed by the protocol. */

// Parameter types (sub-type of MSG_SET_PARAM / MSG_GET_PARAM) whose changes
// are audited; every other type goes to the host without comparison.
constexpr uint16_t PARAM_NET_CONFIG = 5;
constexpr uint16_t PARAM_PROBER_ALARM = 7;
constexpr uint16_t PARAM_PTZ_CONFIG = 9;
constexpr uint16_t PARAM_TIMER_RECORD = 10;
constexpr uint16_t PARAM_LOST_ALARM = 11;
constexpr uint16_t PARAM_MOVE_ALARM = 12;
constexpr uint16_t PARAM_VIDEO_CONFIG = 13;
constexpr uint16_t PARAM_VIDEO_ENCODE = 14;
constexpr uint16_t PARAM_OSD = 17;
constexpr uint16_t PARAM_VIDEO_OVERLAY = 18;
constexpr uint16_t PARAM_PPPOE = 20;
constexpr uint16_t PARAM_RECORD_TYPE = 21;
constexpr uint16_t PARAM_CMOS = 65;
constexpr uint16_t PARAM_SYS_CONFIG = 144;

// Stored parameter records, bytes per channel or per record.
constexpr size_t PROBER_RECORD_SIZE = 396;
constexpr size_t TERMINATE_RECORD_SIZE = 16;
constexpr size_t TIMER_ENTRY_SIZE = 36;
constexpr size_t MOVE_ENTRY_SIZE = 80;
constexpr size_t ENTRIES_PER_CHANNEL = 7;  // timer and motion entries
constexpr size_t VIDEO_LOST_RECORD_SIZE = 20;
constexpr size_t VIDEO_CONFIG_RECORD_SIZE = 12;  // name 0..7, four bytes 8..11
constexpr size_t VIDEO_CONFIG_NAME_SIZE = 8;
constexpr size_t VIDEO_ENCODE_RECORD_SIZE = 36;
constexpr size_t OSD_BLOCK_SIZE = 64;  // OSD time 0..7, OSD logo 8..63
constexpr size_t OSD_TIME_SIZE = 8;
constexpr size_t OSD_LOGO_OFFSET = 8;
constexpr size_t OSD_LOGO_SIZE = 56;
constexpr size_t OVERLAY_RECORD_SIZE = 196;
constexpr size_t PPPOE_RECORD_SIZE = 620;
constexpr size_t RECORD_TYPE_RECORD_SIZE = 16;
constexpr size_t CMOS_RECORD_SIZE = 24;

// Device information records.
constexpr size_t TIME_RECORD_SIZE = 24;  // six u32
constexpr size_t VERSION_RECORD_SIZE = 160;
constexpr size_t HARDDISK_RECORD_SIZE = 968;
constexpr size_t SYSTEM_STATUS_RECORD_SIZE = 1244;
constexpr size_t UPDATE_INFO_SIZE = 4;
constexpr size_t FLAT_TYPE_REPLY_SIZE = 8;  // u32 type, u32 zero
constexpr size_t SCRATCH_SIZE = 51200;      // Wi-Fi list, serial data

// Users and log; a list reply is a u32 count followed by whole records.
constexpr size_t USER_RECORD_SIZE = 56;
constexpr size_t LOG_QUERY_SIZE = 52;
constexpr size_t LOG_RECORD_SIZE = 76;
constexpr size_t LIST_COUNT_SIZE = 4;

// The device log: a line holds 47 characters and its NUL; a longer one is
// cut. Every line the module writes is of the operation category.
constexpr size_t LOG_LINE_SIZE = 48;
constexpr uint32_t LOG_CATEGORY_SYSTEM = 1;     // start, restart, resets, clock, users
constexpr uint32_t LOG_CATEGORY_DISK = 2;       // partitioning, formatting, record files
constexpr uint32_t LOG_CATEGORY_CONTROL = 3;    // PTZ, manual recording, camera, serial
constexpr uint32_t LOG_CATEGORY_OPERATION = 4;  // the module's audit lines

// Maintenance replies.
constexpr size_t FORMAT_PERCENT_REPLY_SIZE = 12;  // word 0, word 1, i32 percent
constexpr size_t FORMAT_PERCENT_VALUE = 8;
constexpr size_t FDISK_STATUS_REPLY_SIZE = 8;     // zero, i32 status
constexpr size_t FDISK_STATUS_VALUE = 4;

// Recording, PTZ and serial.
constexpr size_t PTZ_COMMAND_SIZE = 32;
constexpr size_t HAND_RECORD_SETTING = 4;  // 3 bytes after the channel word
constexpr size_t HAND_RECORD_SETTING_SIZE = 3;
constexpr size_t SERIAL_COUNT = 0;  // u32, the data follow at 4
constexpr size_t SERIAL_DATA = 4;
constexpr size_t SERIAL_MAX_DATA = 1024;
// SerialSetting (32 bytes, per port): u8 data bits (5..8) @0, u8 stop bits
// (1, 2) @1, parity @4 (0 none, 1 odd, 2 even), baud rate @8, the rest zero.
constexpr size_t SERIAL_DATA_BITS = 0;
constexpr size_t SERIAL_STOP_BITS = 1;
constexpr size_t SERIAL_PARITY = 4;
constexpr size_t SERIAL_BAUD = 8;
constexpr size_t SERIAL_SETTING_SIZE = 32;
static_assert(SERIAL_BAUD + 4 <= SERIAL_SETTING_SIZE);
// TransparenceSetting (4 bytes): u8 port @0, u8 receive on (1) @1, u8 send
// on (1) @2, 1 zero byte.
constexpr size_t TRANSPARENCE_PORT = 0;
constexpr size_t TRANSPARENCE_RECEIVE = 1;
constexpr size_t TRANSPARENCE_SEND = 2;
constexpr size_t TRANSPARENCE_SIZE = 4;
static_assert(TRANSPARENCE_SEND + 2 == TRANSPARENCE_SIZE);
constexpr uint8_t SERIAL_PORTS_ADDRESSED = 2;

/* The serial port a TransparenceSetting's port byte selects: a port number
 * from 2 up means port 0. */
constexpr int serialPortOf(uint8_t portByte) {
    return portByte >= SERIAL_PORTS_ADDRESSED ? 0 : portByte;
}
constexpr size_t WORKER_WORK_SIZE = 60;     // MSG_START_SESSION_THREAD payload

/* ---- JPEG snapshots and the firmware upload ------------------------------ */
// Snapshot picture fragments: a 16-byte header (8 bytes 0, u32 length @8,
// u8 count @12, u8 number from 1 @13, 2 bytes 0) and up to 1400 bytes.
constexpr size_t SNAP_FRAGMENT_HEADER = 16;
constexpr size_t SNAP_FRAGMENT_LENGTH = 8;
constexpr size_t SNAP_FRAGMENT_COUNT = 12;
constexpr size_t SNAP_FRAGMENT_NUMBER = 13;
constexpr uint32_t SNAP_FRAGMENT_MAX = 1400;
constexpr uint32_t SNAP_PICTURE_MAX = 311040;

// Snapshot stream request (12 bytes): u8 selector @0 (1..7 kept, else 0),
// u8 mode @1 (the host's), u8 quality @2 (1..100 kept, else 80), u8 rate @3
// (pictures a second, 1..10 kept, else 10), u32 picture size @4 (in every
// reply), u8 flag @8 (1 stays 1, else 0).
constexpr size_t SNAP_STREAM_REQUEST_SIZE = 12;
constexpr size_t SNAP_STREAM_CHANNEL = 0;
constexpr size_t SNAP_STREAM_MODE = 1;
constexpr size_t SNAP_STREAM_QUALITY = 2;
constexpr size_t SNAP_STREAM_RATE = 3;
constexpr size_t SNAP_STREAM_SIZE = 4;
constexpr size_t SNAP_STREAM_FLAG = 8;

// Firmware upload chunk: a 16-byte header whose length (u32 @8) gives the
// data bytes that follow, 1 to this many.
constexpr uint32_t UPDATE_CHUNK_MAX = 1400;

// Record files: the request's name field and the host's name buffer.
constexpr size_t RECORD_FILE_REQUEST_SIZE = 48;
constexpr size_t RECORD_FILE_NAME_BUFFER = 256;

}  // namespace wire

#endif
