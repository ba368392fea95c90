/*
 * values.h - values on the recnet command line that need more than a range
 * check (seconds, hex bytes, files, dates), and the files that commands write.
 *
 * Each reader throws UsageError with a message that names the option and
 * what it expects, so that a bad value is reported before any connection.
 */
#ifndef RECNET_CLI_VALUES_H
#define RECNET_CLI_VALUES_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app.h"
#include "session.h"

namespace recnet::cli {

// Seconds, fractions allowed, up to a day (86400), 0 only when `zeroAllowed`;
// rounded up to whole milliseconds. Throws UsageError "bad value 'TEXT' for
// WHAT (seconds, more than 0 and at most 86400)", or "(seconds, 0 to 86400)"
// when zero is allowed.
Duration seconds(const std::string& what, const std::string& text, bool zeroAllowed);

// Bytes given as pairs of hex digits. Throws UsageError "bad value 'TEXT' for
// WHAT (hex digit pairs)" otherwise.
std::vector<uint8_t> hexBytes(const std::string& what, const std::string& text);

// The whole file at `path`, at most `max` bytes. A file that cannot be read is
// a bad command line: UsageError "cannot read file 'PATH'" or "file 'PATH' is
// longer than MAX bytes". With `regularOnly`, only a regular file will do: its
// size is checked before it is read (a firmware image may be large), and a
// path that is missing or not a regular file says why ("cannot read file
// 'PATH': REASON"). Otherwise anything that reads will do (a pipe, /dev/stdin).
std::vector<uint8_t> readFile(const std::string& path, uint64_t max, bool regularOnly);

// Writes `data` to a temporary file beside `path` and renames it to `path`,
// so that readers only ever see a complete file. Throws std::runtime_error
// "cannot write 'PATH': REASON".
void writeFileReplacing(const std::string& path, const std::vector<uint8_t>& data);

// "YYYY-MM-DD HH:MM:SS" (or with a T), also without seconds, or a date alone;
// nullopt for anything else or a field out of range.
std::optional<TimeInfo> parseDateTime(const std::string& text);

// A time bound: seconds since 1970, or a local date (and time) as
// parseDateTime reads it. Throws UsageError naming `what` otherwise.
uint32_t parseTimeBound(const std::string& what, const std::string& text);

// "YYYY-MM-DD HH:MM:SS".
std::string formatDateTime(const TimeInfo& t);

// Seconds since 1970 as this machine's local date and time (the device's
// clock is kept in the same zone when both run here).
std::string formatEpoch(uint32_t seconds);

}  // namespace recnet::cli

#endif
