#!/bin/sh
# Regenerates the device's sample clips, device/media/main.h264 and
# device/media/sub.h264: six seconds of ffmpeg's testsrc2 pattern (a moving
# picture with a running clock, so channels that start the clip at different
# offsets look different), encoded with libx264 in the baseline profile at
# 25 frames per second with a key frame every second, written as raw H.264
# Annex B elementary streams. x264 writes the parameter sets (SPS, PPS) before
# every key frame and, with its zero-latency tuning, two slices per picture.
# Files with the parameter sets only once play as well: the device repeats
# them before every key frame.
#
# Usage: scripts/make-sample-clips.sh [OUTPUT_DIR]   (default: device/media)
# Needs ffmpeg with libx264 (scripts/deps.sh installs it).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
out=${1:-"$here/../device/media"}
mkdir -p "$out"

# make_clip NAME SIZE BITRATE
make_clip() {
    ffmpeg -hide_banner -loglevel error -y \
        -f lavfi -i "testsrc2=size=$2:rate=25:duration=6" \
        -an -c:v libx264 -profile:v baseline -pix_fmt yuv420p \
        -preset veryfast -tune zerolatency \
        -g 25 -keyint_min 25 -sc_threshold 0 \
        -b:v "$3" -maxrate "$3" -bufsize "$3" \
        -f h264 "$out/$1"
}

make_clip main.h264 640x360 240k
make_clip sub.h264 320x180 80k

ls -l "$out/main.h264" "$out/sub.h264"
