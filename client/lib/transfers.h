/*
 * transfers.h - the device's transfers: firmware upgrade (and the image
 * format it takes), JPEG snapshots (one picture, or a stream of them) and the
 * transparent serial channel.
 *
 * The device reaches these through MSG_TIME_INFO requests with special header
 * sub-types (any other sub-type still answers the time record). Each call
 * below writes its request and reads the answer(s) on the calling thread; a
 * call that fails with Error(Protocol) or Error(Timeout) in the middle of a
 * transfer leaves the connection out of step, so the caller drops it.
 */
#ifndef RECNET_CLIENT_TRANSFERS_H
#define RECNET_CLIENT_TRANSFERS_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "commands.h"
#include "connection.h"
#include "errors.h"
#include "netserver/records.h"

namespace recnet {

/* Each transfer starts with a MSG_TIME_INFO request of one of the sub-types
 * records::TRANSFER_*. The layouts of its records are in records.h too: the
 * firmware image (records::IMAGE_*), the snapshot fragments and the snapshot
 * stream request (wire::SNAP_*).
 */

/* ---- firmware image ---------------------------------------------------------- */

// The most characters of an image's version text (its field keeps a NUL).
constexpr size_t IMAGE_VERSION_TEXT_MAX = records::IMAGE_VERSION_TEXT_SIZE - 1;

// The fields of an image header.
struct FirmwareImageHeader {
    uint32_t headerVersion = 0;
    uint32_t payloadLength = 0;
    uint32_t crc = 0;
    std::string version;
};

// CRC-32 of `size` bytes as zlib's crc32() computes it ("123456789" gives
// 0xcbf43926).
uint32_t crc32Of(const uint8_t* data, size_t size);

// The image of `payload` with a header naming `version`. Throws
// std::invalid_argument when the version text has more than 31 characters or
// holds a NUL, or when the payload does not fit a 32-bit length.
std::vector<uint8_t> buildFirmwareImage(const std::string& version,
                                        const std::vector<uint8_t>& payload);

// Decodes the header at the start of `size` bytes. Throws
// std::invalid_argument when fewer than 64 bytes are given or the magic is
// not "RNFW"; the other fields are returned as found, unchecked.
FirmwareImageHeader parseFirmwareImageHeader(const uint8_t* data, size_t size);

// Checks a whole image as the device does before it writes one: the magic,
// header version 1, a payload length equal to what follows the header, and
// the payload's CRC. Returns the header; throws std::invalid_argument naming
// the first check that fails.
FirmwareImageHeader checkFirmwareImage(const std::vector<uint8_t>& image);

/* ---- firmware upgrade -------------------------------------------------------- */

// How an upgrade failed, as the device's answers tell it.
enum class UpgradeFailure {
    Refused,         // the acknowledgement refused the upload (busy, bad size, no memory)
    TransferFailed,  // the device did not receive the whole image
    WriteFailed,     // the device could not write the image (header or CRC check)
    Failed,          // a failure answer with a value of no known meaning
};

// The Error(Refused) of a failed upgrade; the status byte is the answer's.
class UpgradeFailed : public CommandRefused {
public:
    UpgradeFailed(UpgradeFailure failure, uint8_t status, uint32_t value,
                  const std::string& message)
        : CommandRefused(status, message), failure_(failure), value_(value) {}
    UpgradeFailure failure() const noexcept { return failure_; }
    // The word of the failure answer (0 for a refusal).
    uint32_t value() const noexcept { return value_; }

private:
    UpgradeFailure failure_;
    uint32_t value_;
};

// Optional observers of an upgrade's two phases.
struct UpgradeCallbacks {
    std::function<void(uint64_t sent, uint64_t total)> uploaded;  // after each chunk
    std::function<void(uint32_t percent)> written;  // each progress answer of the flash write
};

// The longest wait for one progress answer: the device reports about every
// 2 s while it writes, so the wait is `timeout` and 12 s more.
Duration upgradeProgressWait(Duration timeout);

// Uploads `image` and follows the flash write until the device reports 100 %.
// Nothing else may be sent on `conn` meanwhile (no KeepAlive): the device
// takes every message after the acknowledgement as part of the image.
// `timeout` bounds the wait for the acknowledgement; each progress answer is
// awaited for upgradeProgressWait(timeout). Throws UpgradeFailed for the
// device's refusal or failure answers, std::invalid_argument for an image of
// 2 GiB or more, and the connection's errors. After success the device
// restarts its server, which ends the session.
void upgradeFirmware(Connection& conn, const std::vector<uint8_t>& image,
                     const UpgradeCallbacks& callbacks, Duration timeout);

/* ---- snapshots -------------------------------------------------------------------
 * The request and its answer: u32 channel @0, u32 picture size @4 (0 in the
 * request). The picture follows the answer as raw fragments, not framed as
 * messages (wire::SNAP_FRAGMENT_*).
 */
constexpr size_t SNAPSHOT_REQUEST_SIZE = 8;
constexpr size_t SNAPSHOT_CHANNEL = 0;
constexpr size_t SNAPSHOT_SIZE = 4;
// The fragment count is one byte, so no picture can be larger than 255 full
// fragments.
constexpr uint32_t SNAPSHOT_PICTURE_MAX = 255 * wire::SNAP_FRAGMENT_MAX;

// The snapshot request for `channel` (from 0).
std::vector<uint8_t> buildSnapshotRequest(uint32_t channel);

// Fragments of a picture of `size` bytes (0 for none).
uint32_t snapshotFragmentCount(uint32_t size);

// Reads the fragments of a `size`-byte picture from `conn` and returns the
// picture, each fragment awaited for `timeout`. Throws Error(Protocol) for a
// fragment whose count, number or length does not fit the picture, or a size
// above SNAPSHOT_PICTURE_MAX.
std::vector<uint8_t> readSnapshotFragments(Connection& conn, uint32_t size, Duration timeout);

// Takes one JPEG picture of `channel` (from 0) and returns it (empty when
// the device answers success with size 0). Throws CommandRefused (status
// 0xff) when the device could not take it.
std::vector<uint8_t> takeSnapshot(Connection& conn, uint32_t channel, Duration timeout);

/* ---- snapshot stream --------------------------------------------------------------
 * The request is the 12-byte record wire::SNAP_STREAM_*. The device
 * answers with the same record, its fields as it applies them and the
 * picture's size, then the fragments; status 0xff means no picture this turn
 * (no fragments follow). The stream ends only when the client closes the
 * connection.
 */
struct SnapshotStreamSettings {
    uint8_t channel = 0;
    uint8_t mode = 0;
    uint8_t quality = 80;  // JPEG quality, 1..100
    uint8_t rate = 1;      // pictures a second, 1..10
};

std::vector<uint8_t> buildSnapshotStreamRequest(const SnapshotStreamSettings& s);

// One picture of a stream, valid during the call that hands it over.
struct StreamPicture {
    uint64_t number = 0;              // from 1
    SnapshotStreamSettings settings;  // as the device's answer states them
    const std::vector<uint8_t>* jpeg = nullptr;
};

// Starts a snapshot stream and hands each picture to `sink` until it returns
// false, or until `stop` (may be empty; asked at least every 100 ms) returns
// true. Returns the number of pictures handed over. `timeout` is the longest
// wait for an answer and for a picture: Error(Timeout) when the device falls
// silent, CommandRefused (0xff) when it answers without a picture for that
// long. The connection belongs to the stream afterwards: close it.
uint64_t snapshotStream(Connection& conn, const SnapshotStreamSettings& settings,
                        const std::function<bool(const StreamPicture&)>& sink,
                        const std::function<bool()>& stop, Duration timeout);

/* ---- serial channel ----------------------------------------------------------------
 * While the channel runs, the device pushes MSG_SERIAL_DATA messages: u32
 * count @0 (1..1024), then 1024 bytes of which the first count are the
 * port's. Bytes for the port go out as MSG_SERIAL_SEND messages of at most
 * wire::SERIAL_MAX_DATA bytes, each acknowledged.
 */

// The port's bytes in a MSG_SERIAL_DATA payload. Throws Error(Protocol) when
// the payload is shorter than its count word says or the count is above
// wire::SERIAL_MAX_DATA.
std::vector<uint8_t> decodeSerialData(const std::vector<uint8_t>& payload);

// The MSG_SERIAL_SEND payloads that carry `size` bytes, in order, each with
// at most wire::SERIAL_MAX_DATA of them (none for no bytes).
std::vector<std::vector<uint8_t>> buildSerialSendPieces(const uint8_t* data, size_t size);

// Receives the port's bytes as they arrive.
using SerialSink = std::function<void(const uint8_t* data, size_t size)>;

// A running serial channel on a session. Everything that reads goes through
// one of its calls, so that pushed serial data and the acknowledgements of
// sends are sorted out in one place: the owner's thread is the one reader.
// Other threads may still write on the connection (a KeepAlive).
class SerialChannel {
public:
    // Outstanding sends before send() waits for acknowledgements, so that a
    // long input cannot fill both directions' buffers at once.
    static constexpr size_t SEND_WINDOW = 8;

    // `conn` must outlive this object; `sink` gets the bytes of every serial
    // data message that any call below reads. `timeout` bounds each wait for
    // an answer.
    SerialChannel(Connection& conn, SerialSink sink, Duration timeout);

    // Starts the channel. Throws CommandRefused when the device cannot (or it
    // runs already for this session).
    void start();

    // Sends `size` bytes in pieces of at most wire::SERIAL_MAX_DATA without
    // waiting for each acknowledgement (pump() reads them), except while
    // SEND_WINDOW pieces are unacknowledged.
    void send(const uint8_t* data, size_t size);

    // Reads one message if one begins within `wait`: serial data goes to the
    // sink, acknowledgements are counted. Returns whether a message was read.
    // Throws CommandRefused when it reads the device's refusal of a send.
    bool pump(Duration wait);

    // Stops the channel and waits for the answer, handling what arrives
    // before it like pump() does, except that a refused send is only counted
    // (refusedSends()): the stop goes through regardless. Throws
    // CommandRefused when the stop itself is refused.
    void stop();

    size_t unacknowledged() const noexcept { return unacknowledged_; }
    uint64_t refusedSends() const noexcept { return refusedSends_; }
    uint64_t bytesSent() const noexcept { return bytesSent_; }
    uint64_t bytesReceived() const noexcept { return bytesReceived_; }

private:
    void dispatch(const Message& m);
    // Reads until the MSG_TIME_INFO answer with `subtype`, dispatching the rest.
    Message awaitAnswer(uint16_t subtype, const char* what);

    Connection& conn_;
    SerialSink sink_;
    Duration timeout_;
    size_t unacknowledged_ = 0;
    uint64_t refusedSends_ = 0;
    uint8_t lastRefusal_ = 0;  // status of the latest refused send
    uint64_t bytesSent_ = 0;
    uint64_t bytesReceived_ = 0;
};

}  // namespace recnet

#endif
