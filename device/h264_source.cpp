/*
 * h264_source.cpp - Annex B parsing into access units, parameter sets before
 * every key frame.
 */
#include "h264_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace h264 {

namespace {

constexpr uint8_t kStartCode[] = {0, 0, 0, 1};

bool isSlice(uint8_t type) { return type >= NAL_SLICE && type <= NAL_IDR; }

// Types that, after a picture's slices, begin the next access unit (besides
// the first slice of the next picture): delimiter, SEI, SPS, PPS and the
// reserved types 14..18.
bool beginsUnitAfterSlices(uint8_t type) {
    return type == NAL_AUD || type == NAL_SEI || type == NAL_SPS || type == NAL_PPS ||
           (type >= 14 && type <= 18);
}

// first_mb_in_slice is the first ue(v) of the slice header; it is 0 exactly
// when the first bit after the NAL header byte is 1.
bool firstSliceOfPicture(const uint8_t* data, const NalUnit& nal) {
    return nal.size < 2 || (data[nal.offset + 1] & 0x80) != 0;
}

struct ParamSet {
    const uint8_t* bytes = nullptr;
    size_t size = 0;
    explicit operator bool() const { return bytes != nullptr; }
};

void appendNal(std::vector<uint8_t>& out, const uint8_t* bytes, size_t size) {
    out.insert(out.end(), std::begin(kStartCode), std::end(kStartCode));
    out.insert(out.end(), bytes, bytes + size);
}

// Builds access units from the NAL units of one stream, in order.
class UnitBuilder {
public:
    UnitBuilder(const uint8_t* data, ParamSet loopSps, ParamSet loopPps)
        : data_(data), lastSps_(loopSps), lastPps_(loopPps) {}

    void add(const NalUnit& nal) {
        const bool slice = isSlice(nal.type);
        if (hasSlice_ && (beginsUnitAfterSlices(nal.type) ||
                          (slice && firstSliceOfPicture(data_, nal))))
            finish();
        current_.push_back(nal);
        if (slice) hasSlice_ = true;
    }

    std::vector<AccessUnit> take() {
        finish();
        return std::move(units_);
    }

private:
    void finish() {
        if (current_.empty()) return;
        bool key = false, hasSps = false, hasPps = false;
        for (const NalUnit& nal : current_) {
            key = key || nal.type == NAL_IDR;
            hasSps = hasSps || nal.type == NAL_SPS;
            hasPps = hasPps || nal.type == NAL_PPS;
        }
        if (hasSlice_) {
            AccessUnit unit;
            unit.key = key;
            const bool inject = key && ((!hasSps && lastSps_) || (!hasPps && lastPps_));
            if (inject)
                buildWithParamSets(unit.bytes, hasSps, hasPps);
            else
                for (const NalUnit& nal : current_)
                    appendNal(unit.bytes, data_ + nal.offset, nal.size);
            units_.push_back(std::move(unit));
        }
        // The unit's own parameter sets become the last ones seen.
        for (const NalUnit& nal : current_) {
            if (nal.type == NAL_SPS) lastSps_ = {data_ + nal.offset, nal.size};
            if (nal.type == NAL_PPS) lastPps_ = {data_ + nal.offset, nal.size};
        }
        current_.clear();
        hasSlice_ = false;
    }

    // Delimiters, SPS (own or the last seen), PPS (own or the last seen), rest.
    void buildWithParamSets(std::vector<uint8_t>& out, bool hasSps, bool hasPps) const {
        for (const NalUnit& nal : current_)
            if (nal.type == NAL_AUD) appendNal(out, data_ + nal.offset, nal.size);
        if (hasSps) {
            for (const NalUnit& nal : current_)
                if (nal.type == NAL_SPS) appendNal(out, data_ + nal.offset, nal.size);
        } else if (lastSps_) {
            appendNal(out, lastSps_.bytes, lastSps_.size);
        }
        if (hasPps) {
            for (const NalUnit& nal : current_)
                if (nal.type == NAL_PPS) appendNal(out, data_ + nal.offset, nal.size);
        } else if (lastPps_) {
            appendNal(out, lastPps_.bytes, lastPps_.size);
        }
        for (const NalUnit& nal : current_)
            if (nal.type != NAL_AUD && nal.type != NAL_SPS && nal.type != NAL_PPS)
                appendNal(out, data_ + nal.offset, nal.size);
    }

    const uint8_t* data_;
    ParamSet lastSps_;
    ParamSet lastPps_;
    std::vector<NalUnit> current_;
    bool hasSlice_ = false;
    std::vector<AccessUnit> units_;
};

}  // namespace

std::vector<NalUnit> splitNalUnits(const uint8_t* data, size_t size) {
    // Positions of every 00 00 01.
    std::vector<size_t> codes;
    size_t i = 0;
    while (i + 3 <= size) {
        if (data[i + 2] > 1) {
            // No start code can begin at i, i + 1 or i + 2.
            i += 3;
        } else if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            codes.push_back(i);
            i += 3;
        } else {
            ++i;
        }
    }
    std::vector<NalUnit> nals;
    nals.reserve(codes.size());
    for (size_t k = 0; k < codes.size(); ++k) {
        const size_t begin = codes[k] + 3;
        size_t end = k + 1 < codes.size() ? codes[k + 1] : size;
        // Zero bytes before the next start code belong to it (a 4-byte start
        // code) or are trailing padding.
        while (end > begin && data[end - 1] == 0) --end;
        if (end == begin) continue;
        nals.push_back({begin, end - begin, static_cast<uint8_t>(data[begin] & 0x1f)});
    }
    return nals;
}

std::vector<AccessUnit> parseAccessUnits(const uint8_t* data, size_t size) {
    const std::vector<NalUnit> nals = splitNalUnits(data, size);
    // A key unit before the stream's first parameter sets gets the stream's
    // last ones: those are the ones seen when the stream plays in a loop.
    ParamSet loopSps, loopPps;
    for (const NalUnit& nal : nals) {
        if (nal.type == NAL_SPS) loopSps = {data + nal.offset, nal.size};
        if (nal.type == NAL_PPS) loopPps = {data + nal.offset, nal.size};
    }
    UnitBuilder builder(data, loopSps, loopPps);
    for (const NalUnit& nal : nals) builder.add(nal);
    return builder.take();
}

size_t Clip::keyAtOrAfter(size_t from) const {
    for (size_t i = 0; i < units.size(); ++i) {
        const size_t index = (from + i) % units.size();
        if (units[index].key) return index;
    }
    return from;
}

bool loadClip(const std::string& path, Clip& clip, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open video file " + path + ": " + std::strerror(errno);
        return false;
    }
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = "cannot read video file " + path;
        return false;
    }
    std::vector<AccessUnit> units = parseAccessUnits(bytes.data(), bytes.size());
    if (units.empty()) {
        error = "video file " + path +
                " holds no H.264 picture (an Annex B elementary stream is expected)";
        return false;
    }
    clip.path = path;
    clip.units = std::move(units);
    clip.largestUnit = 0;
    for (const AccessUnit& unit : clip.units)
        clip.largestUnit = std::max(clip.largestUnit, unit.bytes.size());
    return true;
}

}  // namespace h264
