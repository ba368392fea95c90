#!/bin/bash
# Builds the Debian packages of a finished build with cpack, unpacks them into
# a scratch root (dpkg -x) and checks their names, contents, the module's
# soname links, the pkg-config files and the stated dependencies.
#
#   install_deb_test.sh BUILD_DIR VERSION
set -euo pipefail

build=$1
version=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
root=$tmp/root

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

(cd "$tmp" && cpack --config "$build/CPackConfig.cmake" -B "$tmp/out") >"$tmp/cpack.log" 2>&1 ||
    { cat "$tmp/cpack.log"; fail "cpack"; }

# The one .deb of PACKAGE, checked for its name and unpacked into the root.
# Prints its Depends field.
unpack() {
    local package=$1 debs
    debs=("$tmp/out/${package}_${version}"_*.deb)
    [ -f "${debs[0]}" ] && [ "${#debs[@]}" -eq 1 ] || fail "no single package file for $package"
    [ "$(dpkg-deb -f "${debs[0]}" Package)" = "$package" ] || fail "${debs[0]} is not $package"
    [ "$(dpkg-deb -f "${debs[0]}" Version)" = "$version" ] || fail "$package is not version $version"
    dpkg-deb -x "${debs[0]}" "$root"
    dpkg-deb -f "${debs[0]}" Depends
}

# Checks that the Depends field DEPENDS of PACKAGE names each of the rest.
expect_depends() {
    local package=$1 depends=$2
    shift 2
    local wanted
    for wanted in "$@"; do
        grep -qF -- "$wanted" <<<"$depends" || fail "$package Depends '$depends' lacks '$wanted'"
    done
}

lib_depends=$(unpack libnetserver1)
dev_depends=$(unpack libnetserver-dev)
device_depends=$(unpack recnet-device)
cli_depends=$(unpack recnet)
client_depends=$(unpack librecnet-client-dev)

expect_depends libnetserver1 "$lib_depends" libc6 libstdc++6
expect_depends libnetserver-dev "$dev_depends" "libnetserver1 (= $version)"
expect_depends recnet-device "$device_depends" "libnetserver1 (= $version)" libc6 libsqlite3-0 \
    libsodium23 libturbojpeg0
expect_depends recnet "$cli_depends" libc6 zlib1g
expect_depends librecnet-client-dev "$client_depends" "libnetserver-dev (= $version)"

usr=$root/usr
for file in bin/recnet-device bin/recnet share/recnet/media/main.h264 share/recnet/media/sub.h264 \
            include/netserver/host_api.h include/netserver/netserver.h include/netserver/wire.h \
            include/netserver/records.h include/recnet-client/session.h \
            lib/cmake/netserver/netserverConfig.cmake lib/cmake/netserver/netserverTargets.cmake \
            lib/librecnet-client.a "lib/libnetserver.so.$version" \
            share/doc/libnetserver-dev/examples/minimal-host/host.cpp; do
    [ -e "$usr/$file" ] || fail "/usr/$file is in no package"
done
[ "$(readlink "$usr/lib/libnetserver.so.1")" = "libnetserver.so.$version" ] ||
    fail "libnetserver.so.1 is not a link to libnetserver.so.$version"
[ "$(readlink "$usr/lib/libnetserver.so")" = "libnetserver.so.1" ] ||
    fail "libnetserver.so is not a link to libnetserver.so.1"
soname=$(objdump -p "$usr/lib/libnetserver.so.$version" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = libnetserver.so.1 ] || fail "module soname '$soname'"

# The pkg-config files work wherever the tree is unpacked.
export PKG_CONFIG_PATH=$usr/lib/pkgconfig
[ "$(pkg-config --modversion netserver)" = "$version" ] || fail "netserver.pc version"
[ -f "$(pkg-config --variable=module netserver)" ] || fail "netserver.pc module"
[ -f "$(pkg-config --variable=includedir netserver)/netserver/host_api.h" ] || fail "netserver.pc includedir"
[ -f "$(pkg-config --variable=includedir recnet-client)/recnet-client/session.h" ] ||
    fail "recnet-client.pc includedir"
echo "packages libnetserver1 libnetserver-dev recnet-device recnet librecnet-client-dev: ok"
