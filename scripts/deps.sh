#!/bin/sh
# Installs the Debian packages that building and testing recnet need, and
# only those that are missing. Runs as root, or through sudo.
set -eu

# One group a line: build, module tests, device and client libraries, the
# gateway's media libraries, tools and the browser the gateway tests drive.
PACKAGES="g++ cmake make pkg-config libgtest-dev libgmock-dev
 libsqlite3-dev libsodium-dev zlib1g-dev libturbojpeg0-dev
 libcli11-dev nlohmann-json3-dev libcpp-httplib-dev
 libgstrtspserver-1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-plugins-base
 gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
 ffmpeg iproute2 clang libclang-rt-14-dev tshark dpkg-dev python3 python3-pil chromium chromium-driver"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    SUDO=""
elif command -v sudo >/dev/null 2>&1; then
    SUDO="sudo"
else
    echo "deps.sh: missing packages:$missing (run as root to install them)" >&2
    exit 1
fi
echo "deps.sh: installing$missing"
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends $missing
