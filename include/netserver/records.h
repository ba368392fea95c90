/*
 * records.h - record layouts that the reference device (recnet-device) and the
 * client agree on. The module does not interpret these: they are the host's
 * side of the protocol. All fields are little-endian; offsets in bytes.
 */
#ifndef NETSERVER_RECORDS_H
#define NETSERVER_RECORDS_H

#include <cstddef>
#include <cstdint>

namespace records {

/* ---- credentials inside the 84-byte LoginRequest ------------------------ */
// user name at 0 (24 bytes, NUL-terminated), password at 24 (24 bytes,
// NUL-terminated), 12 bytes reserved, then the 24 bytes of user information.
constexpr size_t LOGIN_USER = 0;
constexpr size_t LOGIN_PASSWORD = 24;
constexpr size_t LOGIN_TEXT_SIZE = 24;

// Results of the device's user check (st_app_netAuthUser).
constexpr int AUTH_ACCEPTED = 0;
constexpr int AUTH_UNKNOWN_USER = -1;
constexpr int AUTH_WRONG_PASSWORD = -2;

constexpr const char* DEFAULT_USER = "admin";
constexpr const char* DEFAULT_PASSWORD = "admin";

/* ---- time record: the payload of the MSG_TIME_INFO answer (24 bytes) ---- */
// six u32: full year (e.g. 2026), month 1-12, day 1-31, hour, minute, second.
constexpr size_t TIME_RECORD_SIZE = 24;
constexpr size_t TIME_YEAR = 0;
constexpr size_t TIME_MONTH = 4;
constexpr size_t TIME_DAY = 8;
constexpr size_t TIME_HOUR = 12;
constexpr size_t TIME_MINUTE = 16;
constexpr size_t TIME_SECOND = 20;

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

/* ---- network record (92 bytes, the device's layout) --------------------- */
// The module reads only the base port. Offsets:
//     0  u16       base port (command port; data port +1, UDP responder +4)
//     2  2 bytes   zero
//     4  4 bytes   device IPv4 address in network order: the octets in written
//                  order, so 127.0.0.1 is the bytes 7F 00 00 01
//     8  84 bytes  zero
constexpr size_t NETWORK_ADDRESS = 4;

}  // namespace records

#endif
