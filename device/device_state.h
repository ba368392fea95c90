/*
 * device_state.h - the reference device's configuration and the state its
 * host functions keep.
 *
 * The configuration is set once by main() before the module starts and is
 * read-only afterwards, so the module's threads read it without a lock (the
 * thread creation inside st_net_startNetServer orders the write before every
 * read).
 */
#ifndef RECNET_DEVICE_DEVICE_STATE_H
#define RECNET_DEVICE_DEVICE_STATE_H

#include <array>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "netserver/netserver.h"

struct DeviceState {
    uint16_t basePort = 5500;   // command port; data port +1, UDP responder +4
    uint8_t channels = 4;       // video channels, fixed while the server runs
    uint8_t serialPorts = 2;
    std::string addressText = "127.0.0.1";         // the device's own IPv4 address
    std::array<uint8_t, 4> address = {127, 0, 0, 1};  // the same, octets in written order
    std::string stateDir = "./device-state";
    std::string multicastBase = "239.255.0.0";     // multicast groups: fourth number per stream
    uint8_t disks = 1;          // simulated hard disks, 1..8
    unsigned formatSeconds = 5; // how long a format runs
    uint32_t flashSize = 16u << 20;   // bytes of the firmware flash (flash.bin)
    uint32_t flashSpeed = 2u << 20;   // bytes written to the flash per second
};

// Installs the configuration. Call once, before the module is started.
void setDeviceState(const DeviceState& state);

// The configuration installed by setDeviceState.
const DeviceState& deviceState();

// Creates `dir` with its parents when missing and checks that it is a writable
// directory. Returns false with a one-line reason in `error` otherwise.
bool prepareStateDir(const std::string& dir, std::string& error);

/* ---- device clock (host_time.cpp) -----------------------------------------
 * The device's own clock: the machine's clock plus an offset that the device
 * keeps in its store. Setting the time moves the offset, never the machine. */

// Seconds since 1970 on the device clock.
int64_t deviceNow();
// Reads the stored offset. Call once before the module starts.
void loadDeviceClock();
// Back to the machine's time (factory reset). False on a store failure.
bool resetDeviceClock();

/* ---- device log (host_log.cpp) ---------------------------------------------- */

// Appends one line (cut to 47 characters) with the device clock's time to the
// stored log and echoes it as "log: <text>" on stderr. Category: one of
// records::LOG_CATEGORY_*.
void deviceLog(uint32_t category, const std::string& text);

/* ---- key frames (host_recording.cpp) ---------------------------------------- */

// Asks the stream pool for a key frame on `channel` next.
void deviceRequestKeyFrame(int channel);
// True once per request: the stream pool calls it before it encodes a frame
// of `channel`, and makes that frame a key frame when it returns true.
bool deviceTakeKeyFrameRequest(int channel);

/* ---- counters for the system-status record (device_state.cpp) --------------- */

void deviceCountLogin(bool accepted);
void deviceCountServerStart();
struct DeviceCounters {
    uint32_t uptimeSeconds;
    uint32_t loginsAccepted;
    uint32_t loginsRefused;
    uint32_t serverStarts;
};
DeviceCounters deviceCounters();

/* ---- set-up and resets, one function per family ------------------------------ */

// Opens the store under the state folder (device.db) and brings every family
// to a usable state: parameter defaults with the running configuration, the
// default account, the version record, the clock, the disks and the record
// folder (setup.cpp). False with a one-line reason in `error`.
bool prepareDeviceState(std::string& error);
// Closes the store once the module has stopped; host functions called later
// (by a detached worker of the module) fail instead of writing.
void closeDeviceState();

bool ensureDefaultUser();    // admin/admin when there is no account (host_users.cpp)
bool resetUsersToDefault();  // admin/admin as the only account
bool ensureVersionRecord();  // host_info.cpp
bool resetVersionRecord();
bool setFirmwareVersion(const std::string& firmware);  // the version record's first text
bool loadDisks();            // host_disks.cpp

// The firmware flash (host_firmware.cpp): flash.bin in the state folder,
// created with the configured size. False with a one-line reason in `error`.
bool prepareFlash(std::string& error);
// After an upload (recvUpdateFile has returned): brings back the services that
// the upload stopped, and asks the control thread for a server restart when a
// write requested one. Call on the thread that called recvUpdateFile.
void finishFirmwareUpload();
// Whether an upload runs (from its first step until finishFirmwareUpload),
// and the progress of the running or last flash write, 0..100.
struct FirmwareProgress {
    bool running;
    int percent;
};
FirmwareProgress firmwareProgress();

// Runs the transfer that a MSG_TIME_INFO request's sub-type names (records.h)
// on the session's message thread, and returns its result; nullopt for any
// other sub-type (host_transfers.cpp).
std::optional<int> deviceTransfer(CommandSession* session, const void* message);

// Record files (host_recording.cpp): the folder "records" in the state folder.
bool prepareRecordFolder(std::string& error);
uint64_t recordFileBytes();
uint32_t recordFileCount();
void clearRecordFiles();
// Bit c set: channel c (below 32) records by hand.
uint32_t handRecordingMask();

#endif
