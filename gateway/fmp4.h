/*
 * fmp4.h - fragmented MP4 for H.264, as Media Source Extensions take it: an
 * initialisation segment (ftyp, moov with an avcC built from SPS and PPS),
 * then one moof/mdat pair per access unit.
 *
 * MP4 fields are big-endian; they are written with explicit helpers.
 */
#ifndef RECNET_GATEWAY_FMP4_H
#define RECNET_GATEWAY_FMP4_H

#include <cstdint>
#include <string>
#include <vector>

namespace gateway {

// What an SPS says about the picture.
struct SpsInfo {
    uint8_t profile = 0, compatibility = 0, level = 0;
    uint32_t width = 0, height = 0;
};

// Parses an SPS NAL unit (header byte included, emulation prevention bytes
// still in). False when it is too short or malformed; never reads outside
// `size` bytes.
bool parseSps(const uint8_t* nal, size_t size, SpsInfo& out);

// The NAL units of an Annex B access unit (start codes removed), in order.
struct NalView {
    const uint8_t* data;
    size_t size;
};
std::vector<NalView> splitAnnexB(const uint8_t* data, size_t size);

class Fmp4Muxer {
public:
    // Builds the initialisation segment from the SPS and PPS in a key frame's
    // access unit. False when either is missing or the SPS does not parse.
    bool start(const uint8_t* keyFrame, size_t size);

    const std::vector<uint8_t>& initSegment() const noexcept { return init_; }
    const SpsInfo& sps() const noexcept { return sps_; }
    // "avc1.PPCCLL" for the MIME type's codecs parameter.
    std::string codec() const;

    // One moof/mdat pair for an access unit decoded at `timeUs` (from the
    // stream's start) and shown for `durationUs`; the NAL units go in with
    // 4-byte lengths instead of start codes.
    std::vector<uint8_t> fragment(const uint8_t* data, size_t size, bool key, uint64_t timeUs,
                                  uint32_t durationUs);

private:
    std::vector<uint8_t> init_;
    SpsInfo sps_;
    uint32_t sequence_ = 0;
};

}  // namespace gateway

#endif
