// Frames that a test pushes, handed out in order to every cursor.
#ifndef RECNET_TESTS_FAKE_HOST_STREAM_H
#define RECNET_TESTS_FAKE_HOST_STREAM_H

#include <cstdint>
#include <string>

namespace fake_host {

/* Appends a frame to the stream of (channel, kind): a 32-byte header with
 * data length @4, sequence @8 (rising from 1), channel @12, type @13; data
 * bytes i = (fill + i) & 0xff. Returns the frame's sequence number. */
uint32_t pushFrame(int channel, int kind, uint8_t type, uint32_t dataLength, uint8_t fill = 0);

/* From now on the stream always has a frame ready (a new sequence number at
 * each fetch), of `dataLength` bytes and `type`. */
void setEndlessFrames(int channel, int kind, uint8_t type, uint32_t dataLength);

int framesHandedOut(int channel, int kind);

/* The device's own address and the multicast base the host reports. */
void setOwnAddress(const std::string& dotted);
void setMulticastBase(const std::string& dotted);

}  // namespace fake_host

#endif
