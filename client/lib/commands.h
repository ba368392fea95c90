/*
 * commands.h - the device's command messages: request builders, reply
 * decoders, and one call per command that sends the request and reads its
 * answer on the calling thread.
 *
 * Every call throws Error(Refused) when the device answers with a failure or
 * busy status (the message says which), Error(Timeout) when no answer comes
 * within `timeout`, Error(Closed) when the connection ends, and
 * Error(Protocol) for an answer of the wrong shape.
 */
#ifndef RECNET_CLIENT_COMMANDS_H
#define RECNET_CLIENT_COMMANDS_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "connection.h"
#include "errors.h"
#include "session.h"

namespace recnet {

/* ---- answers in general ---------------------------------------------------- */

// A person's wording for a reply status byte ("failed", "a disk operation is
// running", ...).
std::string statusText(uint8_t status);

// Sends one message and returns the answer of the same type, skipping any
// message of another type (for example serial data the device pushes) that
// arrives first. Throws Error(Timeout) when none comes within `timeout`.
Message request(Connection& conn, uint16_t type, uint16_t subtype,
                const std::vector<uint8_t>& payload, Duration timeout);

// As request(), and throws Error(Refused) unless the status is STATUS_OK;
// `what` names the command in the message ("add user").
Message command(Connection& conn, uint16_t type, uint16_t subtype,
                const std::vector<uint8_t>& payload, Duration timeout, const std::string& what);

// Throws Error(Protocol) ("WHAT answer has length N (expected SIZE)") unless
// an answer's payload holds at least `size` bytes.
void expectSize(const std::vector<uint8_t>& payload, size_t size, const char* what);

// The Error(Refused) that command() throws: it keeps the status byte.
class CommandRefused : public Error {
public:
    CommandRefused(uint8_t status, const std::string& message)
        : Error(Kind::Refused, message), status_(status) {}
    uint8_t status() const noexcept { return status_; }

private:
    uint8_t status_;
};

/* ---- users ----------------------------------------------------------------- */

struct UserInfo {
    std::string name;
    uint32_t rights = 0;
};

// The 56-byte user record; texts are cut to 23 characters.
std::vector<uint8_t> buildUserRecord(const std::string& name, const std::string& password,
                                     uint32_t rights);
// The records of a user list reply (count word, then whole records).
std::vector<UserInfo> decodeUserList(const std::vector<uint8_t>& payload);

std::vector<UserInfo> listUsers(Connection& conn, Duration timeout);
void addUser(Connection& conn, const std::string& name, const std::string& password,
             uint32_t rights, Duration timeout);
void deleteUser(Connection& conn, const std::string& name, Duration timeout);
// An empty password keeps the stored one.
void modifyUser(Connection& conn, const std::string& name, const std::string& password,
                uint32_t rights, Duration timeout);

/* ---- device log ------------------------------------------------------------ */

struct LogQuery {
    uint32_t since = 0;     // seconds since 1970, device clock
    uint32_t until = 0;     // 0: no end
    uint32_t category = 0;  // 0: every category
    uint32_t max = 0;       // 0: all
};

struct LogEntry {
    uint32_t id = 0;
    uint32_t time = 0;
    uint32_t category = 0;
    std::string text;
};

std::vector<uint8_t> buildLogQuery(const LogQuery& q);
std::vector<LogEntry> decodeLogList(const std::vector<uint8_t>& payload);
// "system", "disk", "control", "operation", or the number.
std::string logCategoryName(uint32_t category);

std::vector<LogEntry> listLog(Connection& conn, const LogQuery& q, Duration timeout);
void deleteLog(Connection& conn, const LogQuery& q, Duration timeout);

/* ---- parameters ------------------------------------------------------------ */

std::vector<uint8_t> getParam(Connection& conn, uint16_t type, Duration timeout);
void setParam(Connection& conn, uint16_t type, const std::vector<uint8_t>& value, Duration timeout);
void resetVideoConfig(Connection& conn, int channel, Duration timeout);

// One field of a parameter record as the device lays it out.
struct ParamField {
    enum class Kind { U8, U16, U32, Text, Ipv4, Mac };
    const char* name;
    size_t offset;
    Kind kind;
    size_t size;  // Text: field size
};

// The layout of a parameter type: the size of one record (one channel or
// port) and its fields; nullptr for a type without a known layout.
struct ParamLayout {
    uint16_t type;
    const char* name;
    size_t recordSize;
    std::vector<ParamField> fields;
};
const ParamLayout* paramLayout(uint16_t type);

// The value of `field` in `record` as text (numbers decimal; texts as stored).
std::string fieldText(const uint8_t* record, const ParamField& field);

/* ---- clock and device information ------------------------------------------- */

std::vector<uint8_t> buildTimeRecord(const TimeInfo& t);
TimeInfo getTime(Connection& conn, Duration timeout);
void setTime(Connection& conn, const TimeInfo& t, Duration timeout);

struct VersionInfo {
    std::string firmware, hardware, serialNumber, releaseDate, system;
};
VersionInfo decodeVersion(const std::vector<uint8_t>& payload);
VersionInfo getVersion(Connection& conn, Duration timeout);
// Stores a version record whose firmware text is `firmware`; the other texts
// are kept as the device reports them.
void setVersion(Connection& conn, const std::string& firmware, Duration timeout);

struct PartitionInfo {
    uint64_t capacity = 0, free = 0;
    uint32_t state = 0, fileSystem = 0;
};
struct DiskInfo {
    uint32_t state = 0;
    uint64_t capacity = 0, free = 0;
    std::vector<PartitionInfo> partitions;
};
std::vector<DiskInfo> decodeHardDisk(const std::vector<uint8_t>& payload);
// Throws Error(Refused) with status 0x11 while a disk operation runs.
std::vector<DiskInfo> getHardDisk(Connection& conn, Duration timeout);
std::string diskStateName(uint32_t state);
std::string partitionStateName(uint32_t state);

struct SystemStatus {
    uint32_t uptime = 0, clock = 0, channels = 0, serialPorts = 0, disks = 0;
    uint32_t loginsAccepted = 0, loginsRefused = 0, serverStarts = 0;
    uint32_t users = 0, logLines = 0, recordFiles = 0, recordingMask = 0;
};
SystemStatus decodeSystemStatus(const std::vector<uint8_t>& payload);
SystemStatus getSystemStatus(Connection& conn, Duration timeout);

uint32_t getUpdateInfo(Connection& conn, Duration timeout);
uint32_t getPlatformType(Connection& conn, Duration timeout);
// The access-point list as the device sends it (text on the reference device).
std::string getAccessPoints(Connection& conn, Duration timeout);

void setSessionFlag(Connection& conn, uint32_t value, Duration timeout);
void initCamera(Connection& conn, bool itu, Duration timeout);

/* ---- maintenance ------------------------------------------------------------ */

// Each sends its message and waits for the acknowledgement.
void reboot(Connection& conn, Duration timeout);
void defaultSetting(Connection& conn, Duration timeout);
void resumeDefaultParam(Connection& conn, Duration timeout);
void factoryReset(Connection& conn, Duration timeout);
void cmosDefault(Connection& conn, Duration timeout);
void reset3g(Connection& conn, Duration timeout);
void default3gConfig(Connection& conn, uint32_t value, Duration timeout);

// Starts partitioning; Error(Refused) with 0x12 when a disk operation runs.
void startFdisk(Connection& conn, uint32_t disk, uint32_t partitions, Duration timeout);
// The outcome word of the last partitioning: 0 none or running, 1 done, -1 failed.
int32_t fdiskStatus(Connection& conn, Duration timeout);
// Starts a format; Error(Refused) with 0x11 when busy, 0xff when refused.
void startFormat(Connection& conn, uint32_t disk, uint32_t partition, uint32_t fileSystem,
                 Duration timeout);
// The format's percent (100 done); Error(Refused) when the device reports failure.
int32_t formatPercent(Connection& conn, uint32_t disk, uint32_t partition, Duration timeout);

/* ---- PTZ, key frames, manual recording, serial, record files ---------------- */

std::vector<uint8_t> buildPtzCommand(uint32_t channel, uint32_t speed, uint32_t preset);
void ptz(Connection& conn, uint16_t action, uint32_t channel, uint32_t speed, uint32_t preset,
         Duration timeout);
// "up", "down", ... "clear-preset" to the action number; nullopt if unknown.
std::optional<uint16_t> ptzActionNumber(const std::string& name);

// Asks for a key frame on `channel`. The device never answers this message;
// an echo afterwards confirms that the session took it.
void forceKeyFrame(Connection& conn, uint32_t channel, Duration timeout);

void setHandRecord(Connection& conn, uint32_t channel, uint8_t kind, uint8_t minutes,
                   Duration timeout);
void clearHandRecord(Connection& conn, uint32_t channel, Duration timeout);

// At most wire::SERIAL_MAX_DATA bytes (Error(Protocol) otherwise, nothing sent).
void serialSend(Connection& conn, const std::vector<uint8_t>& data, Duration timeout);

void deleteRecordFile(Connection& conn, const std::string& name, Duration timeout);

// Starts the session worker with a 60-byte work description (zero here).
// Returns normally when no refusal arrives within `wait`.
void startWorker(Connection& conn, Duration wait);

}  // namespace recnet

#endif
