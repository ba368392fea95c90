/*
 * records.h - record layouts that the reference device (recnet-device) and the
 * client agree on. The module does not interpret these: they are the host's
 * side of the protocol. All fields are little-endian; offsets in bytes.
 *
 * Sizes of the records the module moves, and every layout the module reads
 * or writes itself (the frame header, the serial settings, the log line), are
 * in wire.h; this file adds the fields inside them that only the host and the
 * client look at.
 */
#ifndef NETSERVER_RECORDS_H
#define NETSERVER_RECORDS_H

#include <cstddef>
#include <cstdint>

#include "netserver/wire.h"

namespace records {

/* ---- credentials inside the 84-byte LoginRequest ------------------------ */
// user name at 0 (24 bytes, NUL-terminated), password at 24 (24 bytes,
// NUL-terminated), 12 bytes reserved, then the 24 bytes of user information.
constexpr size_t LOGIN_USER = 0;
constexpr size_t LOGIN_PASSWORD = 24;
constexpr size_t LOGIN_TEXT_SIZE = wire::USER_NAME_SIZE;

// Results of the device's user check (st_app_netAuthUser).
constexpr int AUTH_ACCEPTED = 0;
constexpr int AUTH_UNKNOWN_USER = -1;
constexpr int AUTH_WRONG_PASSWORD = -2;

constexpr const char* DEFAULT_USER = "admin";
constexpr const char* DEFAULT_PASSWORD = "admin";

/* ---- time record: the payload of the MSG_TIME_INFO answer (24 bytes) ---- */
// six u32: full year (e.g. 2026), month 1-12, day 1-31, hour, minute, second.
constexpr size_t TIME_YEAR = 0;
constexpr size_t TIME_MONTH = 4;
constexpr size_t TIME_DAY = 8;
constexpr size_t TIME_HOUR = 12;
constexpr size_t TIME_MINUTE = 16;
constexpr size_t TIME_SECOND = 20;
static_assert(TIME_SECOND + 4 == wire::TIME_RECORD_SIZE);

/* ---- transfers through MSG_TIME_INFO ------------------------------------ */
// The device answers MSG_TIME_INFO with the time record whatever the header's
// sub-type says, except for these sub-types, through which a client reaches
// the transfers that the host drives:
constexpr uint16_t TRANSFER_FIRMWARE = 0x5201;      // payload: i32 image size; upload follows
constexpr uint16_t TRANSFER_SERIAL_START = 0x5202;  // status 0, or 0xff (cannot, or runs)
constexpr uint16_t TRANSFER_SERIAL_STOP = 0x5203;   // status 0
constexpr uint16_t TRANSFER_SNAPSHOT = 0x5204;      // payload: u32 channel, u32 size (answer)
constexpr uint16_t TRANSFER_SNAPSHOT_STREAM = 0x5205;  // payload: 12-byte stream request

// The snapshot fragments and the stream request are the module's own wire
// format: wire.h (SNAP_*).

/* ---- firmware image (the device's format) -------------------------------- */
// A 64-byte header of little-endian u32 fields, then the payload:
//    0  4 bytes   magic "RNFW"
//    4  u32       header version, 1
//    8  u32       payload length (the image size - 64)
//   12  u32       CRC-32 of the payload (zlib's crc32)
//   16  32 bytes  version text, NUL-terminated (at most 31 characters)
//   48  16 bytes  reserved, zero
constexpr size_t IMAGE_HEADER_SIZE = 64;
constexpr size_t IMAGE_MAGIC = 0;
constexpr size_t IMAGE_HEADER_VERSION = 4;
constexpr size_t IMAGE_PAYLOAD_LENGTH = 8;
constexpr size_t IMAGE_CRC = 12;
constexpr size_t IMAGE_VERSION_TEXT = 16;
constexpr size_t IMAGE_VERSION_TEXT_SIZE = 32;
constexpr uint8_t IMAGE_MAGIC_BYTES[4] = {'R', 'N', 'F', 'W'};
constexpr uint32_t IMAGE_FORMAT_VERSION = 1;
static_assert(IMAGE_VERSION_TEXT + IMAGE_VERSION_TEXT_SIZE + 16 == IMAGE_HEADER_SIZE);

/* ---- colliery-information record (192 bytes, the device's layout) ------- */
// Bytes 0..119 are the device's own and stay zero. The last 72 bytes are what
// MSG_GET_COLLIERY_INFO answers (reply offsets in brackets):
//   120 [0]  24 bytes  site name, NUL-terminated text
//   144 [24] u32       site number
//   148 [28] u32       channel count
//   152 [32] u32       serial port count
//   156 [36] u32       base port
//   160 [40] 16 bytes  device address as dotted-decimal text, NUL-terminated
//   176 [56] 16 bytes  reserved, zero
constexpr size_t COLLIERY_SITE_NAME = 120;
constexpr size_t COLLIERY_SITE_NAME_SIZE = 24;
constexpr size_t COLLIERY_SITE_NUMBER = 144;
constexpr size_t COLLIERY_CHANNELS = 148;
constexpr size_t COLLIERY_SERIAL_PORTS = 152;
constexpr size_t COLLIERY_BASE_PORT = 156;
constexpr size_t COLLIERY_ADDRESS = 160;
constexpr size_t COLLIERY_TEXT_SIZE = 16;
static_assert(COLLIERY_SITE_NAME == wire::COLLIERY_REPLY_OFFSET);
static_assert(COLLIERY_ADDRESS + 2 * COLLIERY_TEXT_SIZE == wire::COLLIERY_RECORD_SIZE);

/* ---- network record (92 bytes, the device's layout) --------------------- */
// The module reads only the base port. Offsets:
//     0  u16       base port (command port; data port +1, UDP responder +4)
//     2  2 bytes   zero
//     4  4 bytes   device IPv4 address in network order: the octets in written
//                  order, so 127.0.0.1 is the bytes 7F 00 00 01
//     8  84 bytes  zero
constexpr size_t NETWORK_ADDRESS = 4;

/* ==== records of the reference device's host functions ====================
 * Everything below is the device's side of the command handlers: the module
 * passes these records through unchanged. Little-endian; u32 unless stated. */

/* ---- UserRecord (56 bytes) ------------------------------------------------ */
//  0  24 bytes  user name, NUL-terminated (at most 23 characters)
// 24  24 bytes  password, NUL-terminated; always zero in a user list
// 48  u32       rights, a bit mask (informational: nothing enforces it)
// 52  4 bytes   reserved, zero
constexpr size_t USER_NAME = 0;
constexpr size_t USER_PASSWORD = 24;
constexpr size_t USER_TEXT_SIZE = wire::USER_NAME_SIZE;
constexpr size_t USER_RIGHTS = 48;
static_assert(USER_RIGHTS + 8 == wire::USER_RECORD_SIZE);
constexpr uint32_t RIGHT_LIVE = 1u << 0;
constexpr uint32_t RIGHT_PTZ = 1u << 1;
constexpr uint32_t RIGHT_PARAMS = 1u << 2;
constexpr uint32_t RIGHT_USERS = 1u << 3;
constexpr uint32_t RIGHT_MAINTENANCE = 1u << 4;
constexpr uint32_t RIGHTS_ALL = 0xffffffffu;

/* ---- LogRecord (76 bytes) and LogQuery (52 bytes) ------------------------ */
// LogRecord:  0 id, 4 time (seconds since 1970, device clock), 8 category,
//            12 text (48 bytes, NUL-terminated), 60 16 bytes reserved.
// LogQuery:   0 start time, 4 end time (0: no end), 8 category (0: all),
//            12 maximum count (0: all), 16 36 bytes reserved. Lists are oldest
//            first; with a maximum, the oldest that match.
constexpr size_t LOG_ID = 0;
constexpr size_t LOG_TIME = 4;
constexpr size_t LOG_CATEGORY = 8;
constexpr size_t LOG_TEXT = 12;
constexpr size_t QUERY_START = 0;
constexpr size_t QUERY_END = 4;
constexpr size_t QUERY_CATEGORY = 8;
constexpr size_t QUERY_MAX = 12;
static_assert(LOG_TEXT + wire::LOG_LINE_SIZE + 16 == wire::LOG_RECORD_SIZE);
static_assert(QUERY_MAX + 4 + 36 == wire::LOG_QUERY_SIZE);

/* ---- version record (160 bytes): five texts of 32 bytes, NUL-terminated -- */
constexpr size_t VERSION_FIRMWARE = 0;
constexpr size_t VERSION_HARDWARE = 32;
constexpr size_t VERSION_SERIAL_NUMBER = 64;
constexpr size_t VERSION_RELEASE_DATE = 96;
constexpr size_t VERSION_SYSTEM = 128;  // the operating system release
constexpr size_t VERSION_TEXT_SIZE = 32;
static_assert(VERSION_SYSTEM + VERSION_TEXT_SIZE == wire::VERSION_RECORD_SIZE);

/* ---- hard-disk record (968 bytes) ---------------------------------------- */
//  0 disk count, 4 reserved, then 8 disk entries of 120 bytes from offset 8:
//  +0 state (DISK_*), +4 partition count, +8 u64 capacity in bytes,
//  +16 u64 free bytes, +24 four partition entries of 24 bytes:
//      +0 u64 capacity, +8 u64 free, +16 state (PART_*), +20 file system
//      (the third format word).
constexpr size_t HD_DISK_COUNT = 0;
constexpr size_t HD_DISKS = 8;
constexpr size_t HD_DISK_SIZE = 120;
constexpr size_t HD_MAX_DISKS = 8;
constexpr size_t HD_DISK_STATE = 0;
constexpr size_t HD_DISK_PARTITIONS = 4;
constexpr size_t HD_DISK_CAPACITY = 8;
constexpr size_t HD_DISK_FREE = 16;
constexpr size_t HD_PARTS = 24;
constexpr size_t HD_PART_SIZE = 24;
constexpr size_t HD_MAX_PARTITIONS = 4;
constexpr size_t HD_PART_CAPACITY = 0;
constexpr size_t HD_PART_FREE = 8;
constexpr size_t HD_PART_STATE = 16;
constexpr size_t HD_PART_FILE_SYSTEM = 20;
static_assert(HD_PARTS + HD_MAX_PARTITIONS * HD_PART_SIZE == HD_DISK_SIZE);
static_assert(HD_DISKS + HD_MAX_DISKS * HD_DISK_SIZE == wire::HARDDISK_RECORD_SIZE);
constexpr uint32_t DISK_ABSENT = 0, DISK_READY = 1, DISK_PARTITIONING = 2, DISK_FORMATTING = 3;
constexpr uint32_t PART_UNFORMATTED = 0, PART_FORMATTED = 1, PART_FORMATTING = 2;

/* ---- fdisk and format words ---------------------------------------------- */
// MSG_FDISK_HD: word 0 disk (from 0), word 1 partition count (1..4).
// MSG_FORMAT_PART: word 0 disk, word 1 partition (from 0), word 2 file system
// (kept in the hard-disk record). MSG_GET_FORMAT_PERCENT: words 0 and 1 as in
// the format.
constexpr size_t FDISK_DISK = 0;
constexpr size_t FDISK_PARTITIONS = 4;
constexpr size_t FORMAT_DISK = 0;
constexpr size_t FORMAT_PARTITION = 4;
constexpr size_t FORMAT_FILE_SYSTEM = 8;

/* ---- system-status record (1244 bytes); the rest is zero ----------------- */
constexpr size_t STATUS_UPTIME = 0;          // seconds since the device started
constexpr size_t STATUS_CLOCK = 4;           // device clock, seconds since 1970
constexpr size_t STATUS_CHANNELS = 8;
constexpr size_t STATUS_SERIAL_PORTS = 12;
constexpr size_t STATUS_DISKS = 16;
constexpr size_t STATUS_LOGINS_ACCEPTED = 20;  // since the device started
constexpr size_t STATUS_LOGINS_REFUSED = 24;
constexpr size_t STATUS_SERVER_STARTS = 28;    // 1 + restarts
constexpr size_t STATUS_USERS = 32;
constexpr size_t STATUS_LOG_LINES = 36;
constexpr size_t STATUS_RECORD_FILES = 40;
constexpr size_t STATUS_RECORDING_MASK = 44;   // bit c: channel c records by hand (c < 32)
static_assert(STATUS_RECORDING_MASK + 4 <= wire::SYSTEM_STATUS_RECORD_SIZE);

/* ---- update information (4 bytes) and platform type ---------------------- */
constexpr uint32_t UPDATE_UPLOAD_SUPPORTED = 1;  // bit 0 of the update word
constexpr uint32_t PLATFORM_REFERENCE = 1;       // st_param_getFlatType of this device

/* ---- PtzCommand (32 bytes, eight u32) and its sub-types ------------------ */
// 0 channel, 4 speed (steps, 1..63), 8 preset number (1..255), 12..31 zero.
constexpr size_t PTZ_CHANNEL = 0;
constexpr size_t PTZ_SPEED = 4;
constexpr size_t PTZ_PRESET = 8;
static_assert(PTZ_PRESET + 4 <= wire::PTZ_COMMAND_SIZE);
constexpr uint16_t PTZ_UP = 1, PTZ_DOWN = 2, PTZ_LEFT = 3, PTZ_RIGHT = 4, PTZ_ZOOM_IN = 5,
                   PTZ_ZOOM_OUT = 6, PTZ_FOCUS_NEAR = 7, PTZ_FOCUS_FAR = 8, PTZ_IRIS_OPEN = 9,
                   PTZ_IRIS_CLOSE = 10, PTZ_STOP = 11, PTZ_SET_PRESET = 12, PTZ_GOTO_PRESET = 13,
                   PTZ_CLEAR_PRESET = 14;

/* ---- HandRecordSetting (3 bytes) ------------------------------------------ */
// 0 u8 recording on (1) or off (0), 1 u8 stream kind (0 main, 1 sub),
// 2 u8 minutes to record (0: until cleared).
constexpr size_t HAND_RECORD_ON = 0;
constexpr size_t HAND_RECORD_KIND = 1;
constexpr size_t HAND_RECORD_MINUTES = 2;
static_assert(HAND_RECORD_MINUTES + 1 == wire::HAND_RECORD_SETTING_SIZE);

/* ---- parameter types the device adds (sub-type of MSG_GET/SET_PARAM) ----- */
constexpr uint16_t PARAM_SERIAL = 22;        // SerialSetting per serial port
constexpr uint16_t PARAM_TRANSPARENCE = 23;  // TransparenceSetting
constexpr uint16_t PARAM_HAND_RECORD = 24;   // HandRecordSetting per channel

/* ---- fields of the parameter records that the device's defaults fill ---- */
// System configuration (88): 0 device id, 8 u8 video standard (0 PAL,
// 1 NTSC), 9 u8 channels, 10 u8 alarm inputs, 11 u8 alarm outputs, 12 u8
// serial ports, 16 device name (32 bytes). A set that changes byte 9 or 12
// is refused.
constexpr size_t SYSCONFIG_DEVICE_ID = 0;
constexpr size_t SYSCONFIG_VIDEO_STANDARD = 8;
constexpr size_t SYSCONFIG_ALARM_INPUTS = 10;
constexpr size_t SYSCONFIG_ALARM_OUTPUTS = 11;
constexpr size_t SYSCONFIG_NAME = 16;
constexpr size_t SYSCONFIG_NAME_SIZE = 32;
static_assert(SYSCONFIG_NAME + SYSCONFIG_NAME_SIZE <= wire::SYSCONFIG_SIZE);
// Network record (92), beyond the base port and address above: 8 netmask,
// 12 gateway, 16 DNS server (IPv4, network order), 20 MAC (6 bytes), 26 u8
// DHCP on. A set that changes the base port or the address is refused.
constexpr size_t NETWORK_NETMASK = 8;
constexpr size_t NETWORK_GATEWAY = 12;
constexpr size_t NETWORK_DNS = 16;
constexpr size_t NETWORK_MAC = 20;
constexpr size_t NETWORK_DHCP = 26;
static_assert(NETWORK_DHCP < wire::NETWORK_RECORD_SIZE);
// Video config (12 per channel): name 0..7 ("CH01"), then u8 brightness,
// contrast, saturation, hue (128 each by default).
constexpr size_t VIDEO_BRIGHTNESS = 8;
constexpr size_t VIDEO_CONTRAST = 9;
constexpr size_t VIDEO_SATURATION = 10;
constexpr size_t VIDEO_HUE = 11;
static_assert(VIDEO_HUE + 1 == wire::VIDEO_CONFIG_RECORD_SIZE);
// Video encode (36 per channel): 0 width, 4 height, 8 frame rate, 12 bit rate
// (kbit/s), 16 key-frame interval (frames), 20 quality (1 best .. 6),
// 24 bit-rate mode (0 constant, 1 variable), 28..35 zero.
constexpr size_t ENCODE_WIDTH = 0;
constexpr size_t ENCODE_HEIGHT = 4;
constexpr size_t ENCODE_FRAME_RATE = 8;
constexpr size_t ENCODE_BIT_RATE = 12;
constexpr size_t ENCODE_KEY_INTERVAL = 16;
constexpr size_t ENCODE_QUALITY = 20;
constexpr size_t ENCODE_VBR = 24;
static_assert(ENCODE_VBR + 4 + 8 == wire::VIDEO_ENCODE_RECORD_SIZE);
// OSD (64 per channel): time 0 u8 shown, 1 u8 format, 2 u16 x, 4 u16 y;
// logo 8 u8 shown, 10 u16 x, 12 u16 y, 16 text (48 bytes, the channel name).
constexpr size_t OSD_TIME_SHOWN = 0;
constexpr size_t OSD_TIME_FORMAT = 1;
constexpr size_t OSD_TIME_X = 2;
constexpr size_t OSD_TIME_Y = 4;
constexpr size_t OSD_LOGO_SHOWN = 8;
constexpr size_t OSD_LOGO_X = 10;
constexpr size_t OSD_LOGO_Y = 12;
constexpr size_t OSD_LOGO_TEXT = 16;
constexpr size_t OSD_LOGO_TEXT_SIZE = 48;
static_assert(OSD_LOGO_TEXT + OSD_LOGO_TEXT_SIZE == wire::OSD_BLOCK_SIZE);
// PTZ config (16 per channel): 0 protocol (0 Pelco-D, 1 Pelco-P), 4 address,
// 8 baud rate, 12 u8 serial port.
constexpr size_t PTZCFG_PROTOCOL = 0;
constexpr size_t PTZCFG_ADDRESS = 4;
constexpr size_t PTZCFG_BAUD = 8;
constexpr size_t PTZCFG_PORT = 12;
static_assert(PTZCFG_PORT + 4 == wire::TERMINATE_RECORD_SIZE);
// Timer entry (36, seven per channel, one per weekday from Sunday): 0 enabled,
// then four periods of (start minute, end minute) from 4.
constexpr size_t TIMER_ENABLED = 0;
constexpr size_t TIMER_PERIODS = 4;
static_assert(TIMER_PERIODS + 4 * 8 == wire::TIMER_ENTRY_SIZE);
// Record type (16): 0 mode (0 manual only, 1 timer, 2 always), 4 pre-record
// seconds, 8 file length in minutes, 12 overwrite when full (1).
constexpr size_t RECTYPE_MODE = 0;
constexpr size_t RECTYPE_PRERECORD = 4;
constexpr size_t RECTYPE_FILE_MINUTES = 8;
constexpr size_t RECTYPE_OVERWRITE = 12;
static_assert(RECTYPE_OVERWRITE + 4 == wire::RECORD_TYPE_RECORD_SIZE);
// CMOS (24): six u32: brightness, contrast, saturation, hue, sharpness (128
// each by default), mirror (0).
constexpr size_t CMOS_BRIGHTNESS = 0;
constexpr size_t CMOS_CONTRAST = 4;
constexpr size_t CMOS_SATURATION = 8;
constexpr size_t CMOS_HUE = 12;
constexpr size_t CMOS_SHARPNESS = 16;
constexpr size_t CMOS_MIRROR = 20;
static_assert(CMOS_MIRROR + 4 == wire::CMOS_RECORD_SIZE);
// Prober alarm, video lost, motion, overlay, PPPoE and HandRecordSetting
// records are zero by default; the device stores them as they come.

}  // namespace records

#endif
