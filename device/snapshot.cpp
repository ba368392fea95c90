/*
 * snapshot.cpp - renders a channel's snapshot picture and encodes it as JPEG.
 *
 * The picture: a colour gradient whose hue depends on the channel, a fixed
 * fine texture (so that the quality setting shows in the size, as with a
 * camera picture), "CH n" at the top left and the local time at the bottom
 * left, in white with a black outline on a darkened box.
 */
#include "snapshot.h"

#include <turbojpeg.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

namespace snapshot {
namespace {

struct TjHandleDeleter {
    void operator()(void* handle) const { tjDestroy(handle); }
};
struct TjBufferDeleter {
    void operator()(unsigned char* buffer) const { tjFree(buffer); }
};
using TjHandle = std::unique_ptr<void, TjHandleDeleter>;
using TjBuffer = std::unique_ptr<unsigned char, TjBufferDeleter>;

// 5x7 glyphs, one byte per row, bit 4 = leftmost column.
using Glyph = std::array<uint8_t, 7>;
constexpr int GLYPH_W = 5;
constexpr int GLYPH_H = 7;
constexpr int ADVANCE = GLYPH_W + 1;  // one blank column between characters

// The glyph of `c`, or null for a blank (space and characters not drawn).
const Glyph* glyphFor(char c) {
    static constexpr std::array<Glyph, 10> digits = {{
        {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
        {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
        {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
        {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
        {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
    }};
    static constexpr Glyph letterC = {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E};
    static constexpr Glyph letterH = {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11};
    static constexpr Glyph dash = {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00};
    static constexpr Glyph colon = {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00};
    if (c >= '0' && c <= '9') return &digits[static_cast<size_t>(c - '0')];
    switch (c) {
        case 'C': return &letterC;
        case 'H': return &letterH;
        case '-': return &dash;
        case ':': return &colon;
        default: return nullptr;
    }
}

// An RGB picture, three bytes per pixel, rows top to bottom.
struct Canvas {
    int width;
    int height;
    std::vector<uint8_t> rgb;

    Canvas(int w, int h) : width(w), height(h), rgb(static_cast<size_t>(w) * h * 3) {}

    // Applies `f` to each pixel of the rectangle, clipped to the picture.
    template <typename F>
    void forEach(int x, int y, int w, int h, F f) {
        const int x0 = std::max(x, 0), x1 = std::min(x + w, width);
        const int y0 = std::max(y, 0), y1 = std::min(y + h, height);
        for (int py = y0; py < y1; ++py)
            for (int px = x0; px < x1; ++px) f(&rgb[(static_cast<size_t>(py) * width + px) * 3]);
    }

    // Fills the rectangle (clipped) with one grey level.
    void fill(int x, int y, int w, int h, uint8_t level) {
        forEach(x, y, w, h, [level](uint8_t* p) { std::memset(p, level, 3); });
    }
};

// Deterministic per-pixel noise in -16..15, different per channel.
int noise(int x, int y, int channel) {
    uint32_t v = static_cast<uint32_t>(x) * 0x9E3779B1u ^ static_cast<uint32_t>(y) * 0x85EBCA77u ^
                 static_cast<uint32_t>(channel) * 0xC2B2AE3Du;
    v ^= v >> 15;
    v *= 0x2C1B3C6Du;
    v ^= v >> 12;
    return static_cast<int>(v & 31u) - 16;
}

// The channel's background. Saturation >= 0.5 and value <= 0.8 keep every
// pixel well away from white, so the white text stands out on any channel.
void paintBackground(Canvas& c, int channel) {
    // The golden angle spreads neighbouring channels far apart on the hue circle.
    const double baseHue = std::fmod(channel * 137.508, 360.0);
    for (int y = 0; y < c.height; ++y) {
        const double fy = static_cast<double>(y) / c.height;
        const double s = 0.5 + 0.3 * fy;
        const double v = 0.8 - 0.35 * fy;
        for (int x = 0; x < c.width; ++x) {
            const double hue = std::fmod(baseHue + 70.0 * x / c.width, 360.0) / 60.0;
            const double chroma = v * s;
            const double second = chroma * (1.0 - std::fabs(std::fmod(hue, 2.0) - 1.0));
            // HSV to RGB: per sixth of the hue circle, which component is the
            // largest (chroma) and which the middle one; all lifted by v - chroma.
            static constexpr int largest[6] = {0, 1, 1, 2, 2, 0}, middle[6] = {1, 0, 2, 1, 0, 2};
            const int sector = static_cast<int>(hue) % 6;
            double rgb[3] = {0, 0, 0};
            rgb[largest[sector]] = chroma;
            rgb[middle[sector]] = second;
            // A soft diagonal ripple plus noise: texture that a camera picture has.
            const int texture = static_cast<int>(10.0 * std::sin((x + 2 * y) * 0.21)) +
                                noise(x, y, channel) / 3;
            uint8_t* p = &c.rgb[(static_cast<size_t>(y) * c.width + x) * 3];
            for (int k = 0; k < 3; ++k) {
                const int level = static_cast<int>((rgb[k] + v - chroma) * 255.0) + texture;
                p[k] = static_cast<uint8_t>(std::clamp(level, 0, 255));
            }
        }
    }
}

// Draws `text` with its top left glyph corner at (x, y), each glyph dot a
// `scale` square: a darkened box, then a black outline, then white dots.
void drawText(Canvas& c, int x, int y, int scale, std::string_view text) {
    const int pad = 2 * scale;
    const int w = static_cast<int>(text.size()) * ADVANCE * scale - scale;
    c.forEach(x - pad, y - pad, w + 2 * pad, GLYPH_H * scale + 2 * pad, [](uint8_t* p) {
        for (int k = 0; k < 3; ++k) p[k] = static_cast<uint8_t>(p[k] * 3 / 10);
    });
    const int outline = std::max(1, scale / 2);
    for (int pass = 0; pass < 2; ++pass) {  // the outline first, so white covers its inside
        for (size_t i = 0; i < text.size(); ++i) {
            const Glyph* g = glyphFor(text[i]);
            if (g == nullptr) continue;
            for (int row = 0; row < GLYPH_H; ++row)
                for (int col = 0; col < GLYPH_W; ++col) {
                    if (((*g)[static_cast<size_t>(row)] >> (GLYPH_W - 1 - col) & 1) == 0) continue;
                    const int px = x + (static_cast<int>(i) * ADVANCE + col) * scale;
                    const int py = y + row * scale;
                    const int side = scale + 2 * outline;
                    if (pass == 0)
                        c.fill(px - outline, py - outline, side, side, 0);
                    else
                        c.fill(px, py, scale, scale, 255);
                }
        }
    }
}

// Sets the one-line reason and returns -1.
int fail(std::string& error, std::string reason) {
    error = std::move(reason);
    return -1;
}

}  // namespace

int renderJpeg(const Request& r, uint8_t* out, size_t capacity, std::string& error) {
    if (out == nullptr) return fail(error, "no output buffer");
    if (r.channel < 0) return fail(error, "negative channel");
    const std::time_t when = static_cast<std::time_t>(r.time);
    std::tm local{};
    if (localtime_r(&when, &local) == nullptr) return fail(error, "time cannot be broken down");
    char timeText[64];
    std::snprintf(timeText, sizeof timeText, "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    char channelText[32];
    const long long shownChannel = static_cast<long long>(r.channel) + 1;  // no overflow at INT_MAX
    std::snprintf(channelText, sizeof channelText, "CH %lld", shownChannel);

    Canvas canvas(pictureWidth(r.mode), pictureHeight(r.mode));
    paintBackground(canvas, r.channel);
    const int margin = canvas.width / 44;
    // The time's 19 characters span the width less four margins.
    const int timeScale = std::max(1, (canvas.width - 4 * margin) / (19 * ADVANCE));
    const int channelScale = 2 * timeScale;
    const int channelAt = margin + 2 * channelScale;  // inside the margin by the box's padding
    drawText(canvas, channelAt, channelAt, channelScale, channelText);
    const int timeY = canvas.height - 2 * margin - GLYPH_H * timeScale;
    drawText(canvas, 2 * margin, timeY, timeScale, timeText);

    const TjHandle handle(tjInitCompress());
    if (!handle) return fail(error, std::string("JPEG encoder: ") + tjGetErrorStr2(nullptr));
    // A worst-case buffer with NOREALLOC: the encoder never writes into `out`,
    // so a picture too large for the caller cannot overrun it.
    const unsigned long worst = tjBufSize(canvas.width, canvas.height, TJSAMP_420);
    const TjBuffer buffer(tjAlloc(static_cast<int>(worst)));
    if (!buffer) return fail(error, "out of memory for the JPEG buffer");
    int quality = std::clamp(r.quality, 1, 100);
    for (;;) {
        unsigned char* target = buffer.get();
        unsigned long size = worst;
        if (tjCompress2(handle.get(), canvas.rgb.data(), canvas.width, 0, canvas.height, TJPF_RGB,
                        &target, &size, TJSAMP_420, quality, TJFLAG_NOREALLOC) != 0)
            return fail(error, std::string("JPEG encoder: ") + tjGetErrorStr2(handle.get()));
        if (size <= capacity) {
            std::memcpy(out, target, size);
            return static_cast<int>(size);
        }
        if (quality == 1) break;
        quality = quality > 10 ? quality - 10 : 1;  // coarse steps: each try costs an encode
    }
    return fail(error, "picture does not fit in " + std::to_string(capacity) +
                           " bytes even at quality 1");
}

}  // namespace snapshot
