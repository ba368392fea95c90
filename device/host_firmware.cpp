/*
 * host_firmware.cpp - the firmware flash and the services that an upload
 * stops: the host functions behind recvUpdateFile.
 *
 * The flash is flash.bin in the state folder, of the configured size. An
 * image (layout in records.h) is checked whole before a byte is written: a
 * bad header or CRC is a failed write and the old firmware stays. The write
 * is paced at the configured speed so that progress can be watched.
 *
 * The module calls these on the uploading session's message thread and on
 * its worker; the state below is atomic because the two read and write it
 * concurrently.
 */
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "control.h"
#include "device_state.h"
#include "failures.h"
#include "netserver/host_api.h"
#include "netserver/records.h"
#include "netserver/wire.h"
#include "stream_producer.h"
#include "unique_fd.h"

namespace {

namespace rec = records;

struct FirmwareState {
    // The thread of the upload that has begun stopping services; only it
    // brings them back, so that a refused upload on another session never
    // restarts what a running one stopped.
    std::mutex ownerMutex;
    std::optional<std::thread::id> owner;  // guarded by ownerMutex
    std::atomic<int> percent{0};
    std::atomic<bool> appStopped{false};
    std::atomic<bool> recorderStopped{false};
    std::atomic<bool> encoderStopped{false};
    std::atomic<bool> rebootRequested{false};
};

FirmwareState& firmware() {
    static FirmwareState state;
    return state;
}

std::string flashPath() { return deviceState().stateDir + "/flash.bin"; }

// Checks an image against the device's format and the flash. True with the
// version text in `version`; false with a one-line reason.
bool checkImage(const uint8_t* image, int size, std::string& version, std::string& reason) {
    if (image == nullptr || size < static_cast<int>(rec::IMAGE_HEADER_SIZE)) {
        reason = "shorter than the image header";
        return false;
    }
    if (std::memcmp(image + rec::IMAGE_MAGIC, rec::IMAGE_MAGIC_BYTES, sizeof rec::IMAGE_MAGIC_BYTES) != 0) {
        reason = "not a firmware image";
        return false;
    }
    if (wire::getU32(image, rec::IMAGE_HEADER_VERSION) != rec::IMAGE_FORMAT_VERSION) {
        reason = "unknown image header version";
        return false;
    }
    const uint32_t payload = wire::getU32(image, rec::IMAGE_PAYLOAD_LENGTH);
    if (payload != static_cast<uint32_t>(size) - rec::IMAGE_HEADER_SIZE) {
        reason = "payload length does not match the image";
        return false;
    }
    if (payload > deviceState().flashSize) {
        reason = "payload larger than the flash";
        return false;
    }
    const uint8_t* data = image + rec::IMAGE_HEADER_SIZE;
    uLong crc = crc32(0L, Z_NULL, 0);
    // zlib takes lengths as uInt; the flash size keeps payloads far below.
    crc = crc32(crc, data, static_cast<uInt>(payload));
    if (static_cast<uint32_t>(crc) != wire::getU32(image, rec::IMAGE_CRC)) {
        reason = "CRC mismatch";
        return false;
    }
    const char* text = reinterpret_cast<const char*>(image + rec::IMAGE_VERSION_TEXT);
    const size_t length = strnlen(text, rec::IMAGE_VERSION_TEXT_SIZE);
    if (length == rec::IMAGE_VERSION_TEXT_SIZE || length == 0) {
        reason = "version text missing or not terminated";
        return false;
    }
    version.assign(text, length);
    return true;
}

// Writes the payload to the flash at the configured speed, updating the
// progress. False when the flash file cannot be written.
bool writeFlash(const uint8_t* data, uint32_t length) {
    UniqueFd fd(::open(flashPath().c_str(), O_WRONLY | O_CLOEXEC));
    if (!fd) return false;
    const uint32_t speed = deviceState().flashSpeed;
    // About twenty steps a second, so that the progress moves smoothly.
    const uint32_t step = std::max<uint32_t>(4096, speed / 20);
    const auto start = std::chrono::steady_clock::now();
    uint32_t written = 0;
    while (written < length) {
        const uint32_t n = std::min(step, length - written);
        if (pwrite(fd.get(), data + written, n, written) != static_cast<ssize_t>(n)) return false;
        written += n;
        firmware().percent = static_cast<int>(static_cast<uint64_t>(written) * 100 / length);
        const auto due = start + std::chrono::microseconds(static_cast<uint64_t>(written) * 1000000 / speed);
        std::this_thread::sleep_until(due);
    }
    return fsync(fd.get()) == 0;
}

}  // namespace

bool prepareFlash(std::string& error) {
    UniqueFd fd(::open(flashPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    struct stat info {};
    if (!fd || fstat(fd.get(), &info) != 0) {
        error = "cannot open " + flashPath();
        return false;
    }
    // A flash of another size (a changed --flash-size) is resized: the image
    // it holds is kept as far as it fits.
    if (info.st_size != static_cast<off_t>(deviceState().flashSize) &&
        ftruncate(fd.get(), static_cast<off_t>(deviceState().flashSize)) != 0) {
        error = "cannot size " + flashPath();
        return false;
    }
    return true;
}

FirmwareProgress firmwareProgress() {
    FirmwareState& fw = firmware();
    std::lock_guard<std::mutex> lock(fw.ownerMutex);
    return {fw.owner.has_value(), fw.percent.load()};
}

void finishFirmwareUpload() {
    FirmwareState& fw = firmware();
    {
        std::lock_guard<std::mutex> lock(fw.ownerMutex);
        if (fw.owner != std::this_thread::get_id()) return;
        fw.owner.reset();
    }
    // The module released the pool as well as stopping the encoders.
    fw.encoderStopped = false;
    streamPoolRestart();
    const bool services = fw.appStopped.exchange(false) | fw.recorderStopped.exchange(false);
    if (services) deviceLog(wire::LOG_CATEGORY_SYSTEM, "services started again");
    if (fw.rebootRequested.exchange(false)) requestServerRestart("restart after update");
}

// The flash size in bytes (--flash-size). An image may be 64 bytes larger.
extern "C" int st_param_getFlashTotalSize(void) {
    if (auto injected = injectedFailure("st_param_getFlashTotalSize")) return *injected;
    return static_cast<int>(deviceState().flashSize);
}

// The device keeps no record memory to give up for an image; a 1 marks the
// calling thread as the upload that goes on to stop the services. Returns 0.
extern "C" int st_app_setFreeRecordMemFlag(int flag) {
    if (auto injected = injectedFailure("st_app_setFreeRecordMemFlag")) return *injected;
    FirmwareState& fw = firmware();
    if (flag != 0) {
        std::lock_guard<std::mutex> lock(fw.ownerMutex);
        fw.owner = std::this_thread::get_id();
    }
    return 0;
}

// The application service (the device's own bookkeeping) pauses until the
// upload ends. Returns 0.
extern "C" int st_app_stopAppService(void) {
    if (auto injected = injectedFailure("st_app_stopAppService")) return *injected;
    if (!firmware().appStopped.exchange(true)) deviceLog(wire::LOG_CATEGORY_SYSTEM, "application service stopped");
    return 0;
}

// The recorder service pauses until the upload ends. Returns 0.
extern "C" int st_record_stopRecordService(void) {
    if (auto injected = injectedFailure("st_record_stopRecordService")) return *injected;
    if (!firmware().recorderStopped.exchange(true)) deviceLog(wire::LOG_CATEGORY_SYSTEM, "recorder service stopped");
    return 0;
}

// The encoders (the stream pool's producers) stop until the upload ends.
// Returns 0.
extern "C" int st_enc_stopEncService(void) {
    if (auto injected = injectedFailure("st_enc_stopEncService")) return *injected;
    if (!firmware().encoderStopped.exchange(true)) streamPoolDeinit();
    return 0;
}

// Checks the image (header, length, CRC) and writes its payload to the flash
// at the configured speed; the version record then names the image's
// version. Returns 0, or -1 for a bad image or a flash that cannot be
// written (the old version stays).
extern "C" int st_app_netUpdateSystem(const void* image, int size) {
    if (auto injected = injectedFailure("st_app_netUpdateSystem")) return *injected;
    firmware().percent = 0;
    const auto* bytes = static_cast<const uint8_t*>(image);
    std::string version, reason;
    if (!checkImage(bytes, size, version, reason)) {
        deviceLog(wire::LOG_CATEGORY_SYSTEM, "image refused: " + reason);
        return -1;
    }
    const uint32_t payload = static_cast<uint32_t>(size) - rec::IMAGE_HEADER_SIZE;
    if (!writeFlash(bytes + rec::IMAGE_HEADER_SIZE, payload)) {
        deviceLog(wire::LOG_CATEGORY_SYSTEM, "flash write failed");
        return -1;
    }
    firmware().percent = 100;
    if (!setFirmwareVersion(version)) return -1;
    deviceLog(wire::LOG_CATEGORY_SYSTEM, "firmware " + version + " written");
    return 0;
}

// Progress of the running (or last) flash write, 0..100.
extern "C" int st_param_getUpdatePercent(void) {
    if (auto injected = injectedFailure("st_param_getUpdatePercent")) return *injected;
    return firmware().percent.load();
}

// Records that the device must restart; the restart comes once the upload
// has ended (finishFirmwareUpload), so that its last reply still reaches the
// client. Returns 0.
extern "C" int st_param_setSysRebootFlag(void) {
    if (auto injected = injectedFailure("st_param_setSysRebootFlag")) return *injected;
    firmware().rebootRequested = true;
    return 0;
}
