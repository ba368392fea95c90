/*
 * h264_source.h - H.264 Annex B elementary streams cut into access units, the
 * frames of the device's stream pool.
 *
 * A clip is read once and prepared for playing in a loop: every access unit
 * becomes one frame (key when it holds an IDR picture), written with 4-byte
 * start codes, and every key frame carries a sequence and a picture parameter
 * set, so that a client that starts at any key frame can decode.
 */
#ifndef RECNET_DEVICE_H264_SOURCE_H
#define RECNET_DEVICE_H264_SOURCE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace h264 {

// NAL unit types the device looks at.
constexpr uint8_t NAL_SLICE = 1;       // coded slice of a non-IDR picture
constexpr uint8_t NAL_IDR = 5;         // coded slice of an IDR picture
constexpr uint8_t NAL_SEI = 6;
constexpr uint8_t NAL_SPS = 7;
constexpr uint8_t NAL_PPS = 8;
constexpr uint8_t NAL_AUD = 9;         // access unit delimiter

// One NAL unit inside a byte string: its header byte and payload, without the
// start code and without trailing zero bytes.
struct NalUnit {
    size_t offset = 0;
    size_t size = 0;
    uint8_t type = 0;  // low five bits of the header byte
};

// Finds the NAL units of an Annex B byte string. Start codes are 00 00 01,
// with any number of zero bytes before them (so 00 00 00 01 as well); bytes
// before the first start code and empty units are skipped.
std::vector<NalUnit> splitNalUnits(const uint8_t* data, size_t size);

// One access unit, ready to go into a frame.
struct AccessUnit {
    std::vector<uint8_t> bytes;  // Annex B, every NAL unit behind 00 00 00 01
    bool key = false;            // holds a slice of an IDR picture
};

// Groups the NAL units of an Annex B byte string into access units, by the
// first-of-an-access-unit rules of H.264: a delimiter, SEI or parameter set
// after a picture's slices, or a slice whose first_mb_in_slice is 0, starts a
// new unit. Units without a slice (parameter sets at the end of a file) are
// dropped.
//
// Key units that lack an SPS or a PPS get the last ones seen before them in
// the stream; for units before the first ones in the stream, the stream's last
// ones (as seen when the stream plays in a loop). In a key unit the NAL units
// come in this order: delimiters, SPS, PPS, then the others as in the stream.
std::vector<AccessUnit> parseAccessUnits(const uint8_t* data, size_t size);

// A clip ready for playing in a loop.
struct Clip {
    std::string path;
    std::vector<AccessUnit> units;
    size_t largestUnit = 0;  // bytes of the largest access unit

    // The index of the first key unit at or after `from` (wrapping around);
    // `from` itself when the clip has no key unit. `from` must be below the
    // unit count.
    size_t keyAtOrAfter(size_t from) const;
};

// Reads an Annex B file into `clip`. Returns false with a one-line reason in
// `error` when the file cannot be read or holds no picture.
bool loadClip(const std::string& path, Clip& clip, std::string& error);

}  // namespace h264

#endif
