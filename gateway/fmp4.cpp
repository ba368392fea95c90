/*
 * fmp4.cpp - SPS parsing and the boxes of fragmented MP4.
 */
#include "fmp4.h"

#include <cstdio>

namespace gateway {

namespace {

constexpr uint32_t TIMESCALE = 90000;

// Reads bits of an RBSP from a NAL unit, skipping emulation prevention bytes
// (00 00 03). Reading past the end yields zeros and marks the reader failed.
class BitReader {
public:
    BitReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint32_t bit() {
        if (bitPos_ == 0) {
            if (pos_ >= size_) {
                failed_ = true;
                return 0;
            }
            if (zeros_ >= 2 && data_[pos_] == 3) {
                zeros_ = 0;
                if (++pos_ >= size_) {
                    failed_ = true;
                    return 0;
                }
            }
            zeros_ = data_[pos_] == 0 ? zeros_ + 1 : 0;
        }
        const uint32_t b = (data_[pos_] >> (7 - bitPos_)) & 1u;
        if (++bitPos_ == 8) {
            bitPos_ = 0;
            ++pos_;
        }
        return b;
    }
    uint32_t bits(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) v = (v << 1) | bit();
        return v;
    }
    // Unsigned Exp-Golomb; more than 31 leading zeros is malformed.
    uint32_t ue() {
        int zeros = 0;
        while (bit() == 0) {
            if (failed_ || ++zeros > 31) {
                failed_ = true;
                return 0;
            }
        }
        return zeros == 0 ? 0 : ((1u << zeros) - 1 + bits(zeros));
    }
    int32_t se() {
        const uint32_t k = ue();
        return (k & 1) ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
    }
    bool failed() const noexcept { return failed_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    int bitPos_ = 0;
    int zeros_ = 0;
    bool failed_ = false;
};

void skipScalingList(BitReader& r, int size) {
    int last = 8, next = 8;
    for (int j = 0; j < size && !r.failed(); ++j) {
        if (next != 0) next = (last + r.se() + 256) % 256;
        last = next == 0 ? last : next;
    }
}

// Big-endian box writing.
void u8(std::vector<uint8_t>& b, uint32_t v) { b.push_back(static_cast<uint8_t>(v)); }
void u16(std::vector<uint8_t>& b, uint32_t v) { u8(b, v >> 8); u8(b, v); }
void u32(std::vector<uint8_t>& b, uint32_t v) { u16(b, v >> 16); u16(b, v); }
void u64(std::vector<uint8_t>& b, uint64_t v) { u32(b, static_cast<uint32_t>(v >> 32)); u32(b, static_cast<uint32_t>(v)); }
void zeros(std::vector<uint8_t>& b, size_t n) { b.insert(b.end(), n, 0); }
void putBe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// Opens a box: writes a size placeholder and the type; returns where it starts.
size_t open(std::vector<uint8_t>& b, const char* type) {
    const size_t at = b.size();
    u32(b, 0);
    b.insert(b.end(), type, type + 4);
    return at;
}
// A full box: a box with version and flags.
size_t openFull(std::vector<uint8_t>& b, const char* type, uint8_t version, uint32_t flags) {
    const size_t at = open(b, type);
    u8(b, version);
    u8(b, flags >> 16);
    u16(b, flags);
    return at;
}
void close(std::vector<uint8_t>& b, size_t at) { putBe32(b, at, static_cast<uint32_t>(b.size() - at)); }

void matrix(std::vector<uint8_t>& b) {
    const uint32_t m[9] = {0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000};
    for (uint32_t v : m) u32(b, v);
}

}  // namespace

bool parseSps(const uint8_t* nal, size_t size, SpsInfo& out) {
    if (size < 4 || (nal[0] & 0x1f) != 7) return false;
    out.profile = nal[1];
    out.compatibility = nal[2];
    out.level = nal[3];
    BitReader r(nal + 4, size - 4);
    r.ue();  // seq_parameter_set_id
    uint32_t chroma = 1;
    const uint8_t p = out.profile;
    if (p == 100 || p == 110 || p == 122 || p == 244 || p == 44 || p == 83 || p == 86 || p == 118 ||
        p == 128 || p == 138 || p == 139 || p == 134 || p == 135) {
        chroma = r.ue();
        if (chroma == 3) r.bit();  // separate_colour_plane_flag
        r.ue();                    // bit_depth_luma_minus8
        r.ue();                    // bit_depth_chroma_minus8
        r.bit();                   // qpprime_y_zero_transform_bypass_flag
        if (r.bit()) {             // seq_scaling_matrix_present_flag
            for (int i = 0; i < (chroma != 3 ? 8 : 12) && !r.failed(); ++i) {
                if (r.bit()) skipScalingList(r, i < 6 ? 16 : 64);
            }
        }
    }
    r.ue();  // log2_max_frame_num_minus4
    const uint32_t pocType = r.ue();
    if (pocType == 0) {
        r.ue();
    } else if (pocType == 1) {
        r.bit();
        r.se();
        r.se();
        const uint32_t cycle = r.ue();
        for (uint32_t i = 0; i < cycle && i < 256 && !r.failed(); ++i) r.se();
    }
    r.ue();   // max_num_ref_frames
    r.bit();  // gaps_in_frame_num_value_allowed_flag
    const uint32_t widthMbs = r.ue() + 1;
    const uint32_t heightUnits = r.ue() + 1;
    const uint32_t frameMbsOnly = r.bit();
    if (!frameMbsOnly) r.bit();  // mb_adaptive_frame_field_flag
    r.bit();                     // direct_8x8_inference_flag
    uint32_t cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
    if (r.bit()) {
        cropLeft = r.ue();
        cropRight = r.ue();
        cropTop = r.ue();
        cropBottom = r.ue();
    }
    if (r.failed() || chroma > 3 || widthMbs > 1024 || heightUnits > 1024) return false;
    const uint32_t subWidth = (chroma == 1 || chroma == 2) ? 2 : 1;
    const uint32_t subHeight = chroma == 1 ? 2 : 1;
    const uint32_t cropX = chroma == 0 ? 1 : subWidth;
    const uint32_t cropY = (chroma == 0 ? 1 : subHeight) * (2 - frameMbsOnly);
    const uint64_t w = widthMbs * 16ull, h = (2 - frameMbsOnly) * heightUnits * 16ull;
    const uint64_t cw = uint64_t{cropX} * (cropLeft + uint64_t{cropRight});
    const uint64_t ch = uint64_t{cropY} * (cropTop + uint64_t{cropBottom});
    if (cw >= w || ch >= h) return false;
    out.width = static_cast<uint32_t>(w - cw);
    out.height = static_cast<uint32_t>(h - ch);
    return true;
}

std::vector<NalView> splitAnnexB(const uint8_t* data, size_t size) {
    std::vector<NalView> out;
    size_t i = 0, start = SIZE_MAX;
    while (i + 3 <= size) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            if (start != SIZE_MAX) {
                size_t end = i;
                while (end > start && data[end - 1] == 0) --end;  // a 4-byte start code's zero
                if (end > start) out.push_back({data + start, end - start});
            }
            i += 3;
            start = i;
        } else {
            ++i;
        }
    }
    if (start != SIZE_MAX && start < size) out.push_back({data + start, size - start});
    return out;
}

bool Fmp4Muxer::start(const uint8_t* keyFrame, size_t size) {
    const NalView* sps = nullptr;
    const NalView* pps = nullptr;
    const std::vector<NalView> nals = splitAnnexB(keyFrame, size);
    for (const NalView& n : nals) {
        if ((n.data[0] & 0x1f) == 7 && !sps) sps = &n;
        if ((n.data[0] & 0x1f) == 8 && !pps) pps = &n;
    }
    if (!sps || !pps || sps->size > 0xffff || pps->size > 0xffff || !parseSps(sps->data, sps->size, sps_)) {
        return false;
    }
    std::vector<uint8_t>& b = init_;
    b.clear();
    size_t ftyp = open(b, "ftyp");
    b.insert(b.end(), {'i', 's', 'o', 'm'});  // major brand
    u32(b, 0x200);                            // minor version
    for (const char* brand : {"isom", "iso6", "avc1", "mp41"}) b.insert(b.end(), brand, brand + 4);
    close(b, ftyp);

    size_t moov = open(b, "moov");
    size_t mvhd = openFull(b, "mvhd", 0, 0);
    zeros(b, 8);       // creation, modification
    u32(b, 1000);      // timescale
    u32(b, 0);         // duration: unknown
    u32(b, 0x10000);   // rate 1.0
    u16(b, 0x100);     // volume 1.0
    zeros(b, 10);
    matrix(b);
    zeros(b, 24);      // pre_defined
    u32(b, 2);         // next track id
    close(b, mvhd);

    size_t trak = open(b, "trak");
    size_t tkhd = openFull(b, "tkhd", 0, 3);  // enabled, in movie
    zeros(b, 8);
    u32(b, 1);  // track id
    zeros(b, 4);
    u32(b, 0);  // duration
    zeros(b, 8);
    u16(b, 0);  // layer
    u16(b, 0);  // alternate group
    u16(b, 0);  // volume
    zeros(b, 2);
    matrix(b);
    u32(b, sps_.width << 16);
    u32(b, sps_.height << 16);
    close(b, tkhd);
    size_t mdia = open(b, "mdia");
    size_t mdhd = openFull(b, "mdhd", 0, 0);
    zeros(b, 8);
    u32(b, TIMESCALE);
    u32(b, 0);
    u16(b, 0x55c4);  // language "und"
    u16(b, 0);
    close(b, mdhd);
    size_t hdlr = openFull(b, "hdlr", 0, 0);
    u32(b, 0);
    b.insert(b.end(), {'v', 'i', 'd', 'e'});
    zeros(b, 12);
    for (char c : std::string("VideoHandler")) u8(b, static_cast<uint8_t>(c));
    u8(b, 0);
    close(b, hdlr);
    size_t minf = open(b, "minf");
    size_t vmhd = openFull(b, "vmhd", 0, 1);
    zeros(b, 8);
    close(b, vmhd);
    size_t dinf = open(b, "dinf");
    size_t dref = openFull(b, "dref", 0, 0);
    u32(b, 1);
    close(b, openFull(b, "url ", 0, 1));  // media in this file
    close(b, dref);
    close(b, dinf);
    size_t stbl = open(b, "stbl");
    size_t stsd = openFull(b, "stsd", 0, 0);
    u32(b, 1);
    size_t avc1 = open(b, "avc1");
    zeros(b, 6);
    u16(b, 1);  // data reference index
    zeros(b, 16);
    u16(b, sps_.width);
    u16(b, sps_.height);
    u32(b, 0x480000);  // 72 dpi
    u32(b, 0x480000);
    u32(b, 0);
    u16(b, 1);  // frame count
    zeros(b, 32);
    u16(b, 0x18);    // depth
    u16(b, 0xffff);  // pre_defined -1
    size_t avcc = open(b, "avcC");
    u8(b, 1);
    u8(b, sps_.profile);
    u8(b, sps_.compatibility);
    u8(b, sps_.level);
    u8(b, 0xff);  // 4-byte NAL lengths
    u8(b, 0xe1);  // one SPS
    u16(b, static_cast<uint32_t>(sps->size));
    b.insert(b.end(), sps->data, sps->data + sps->size);
    u8(b, 1);  // one PPS
    u16(b, static_cast<uint32_t>(pps->size));
    b.insert(b.end(), pps->data, pps->data + pps->size);
    close(b, avcc);
    close(b, avc1);
    close(b, stsd);
    for (const char* empty : {"stts", "stsc", "stco"}) {
        size_t at = openFull(b, empty, 0, 0);
        u32(b, 0);
        close(b, at);
    }
    size_t stsz = openFull(b, "stsz", 0, 0);
    u32(b, 0);
    u32(b, 0);
    close(b, stsz);
    close(b, stbl);
    close(b, minf);
    close(b, mdia);
    close(b, trak);
    size_t mvex = open(b, "mvex");
    size_t trex = openFull(b, "trex", 0, 0);
    u32(b, 1);  // track id
    u32(b, 1);  // sample description index
    zeros(b, 12);
    close(b, trex);
    close(b, mvex);
    close(b, moov);
    sequence_ = 0;
    return true;
}

std::string Fmp4Muxer::codec() const {
    char text[16];
    std::snprintf(text, sizeof text, "avc1.%02x%02x%02x", sps_.profile, sps_.compatibility, sps_.level);
    return text;
}

std::vector<uint8_t> Fmp4Muxer::fragment(const uint8_t* data, size_t size, bool key, uint64_t timeUs,
                                         uint32_t durationUs) {
    const std::vector<NalView> nals = splitAnnexB(data, size);
    uint32_t sampleSize = 0;
    for (const NalView& n : nals) sampleSize += static_cast<uint32_t>(4 + n.size);
    std::vector<uint8_t> b;
    b.reserve(sampleSize + 128);
    size_t moof = open(b, "moof");
    size_t mfhd = openFull(b, "mfhd", 0, 0);
    u32(b, ++sequence_);
    close(b, mfhd);
    size_t traf = open(b, "traf");
    size_t tfhd = openFull(b, "tfhd", 0, 0x020000);  // default base is moof
    u32(b, 1);
    close(b, tfhd);
    size_t tfdt = openFull(b, "tfdt", 1, 0);
    u64(b, timeUs * TIMESCALE / 1000000);
    close(b, tfdt);
    // data offset, sample duration, size and flags present
    size_t trun = openFull(b, "trun", 0, 0x000701);
    u32(b, 1);
    const size_t offsetAt = b.size();
    u32(b, 0);
    u32(b, static_cast<uint32_t>(uint64_t{durationUs} * TIMESCALE / 1000000));
    u32(b, sampleSize);
    u32(b, key ? 0x02000000 : 0x01010000);  // sync sample / depends on others, non-sync
    close(b, trun);
    close(b, traf);
    close(b, moof);
    putBe32(b, offsetAt, static_cast<uint32_t>(b.size() - moof + 8));
    size_t mdat = open(b, "mdat");
    for (const NalView& n : nals) {
        u32(b, static_cast<uint32_t>(n.size));
        b.insert(b.end(), n.data, n.data + n.size);
    }
    close(b, mdat);
    return b;
}

}  // namespace gateway
