#!/bin/bash
# Installs a finished build into a temporary prefix, builds the minimal host
# of examples/minimal-host against it twice (pkg-config, then find_package),
# and checks that each build loads the installed module and answers logins
# from the installed recnet; then that the installed recnet-device finds its
# module and clips.
#
#   install_host_test.sh BUILD_DIR LIBDIR [SANITIZER]
#
# SANITIZER (address or thread) is that of the build: an instrumented module
# can only be loaded by a program built with the same sanitizer, so the host
# is built with it too.
set -euo pipefail

build=$1
libdir=$2
sanitizer=${3:-}
example=$(cd "$(dirname "$0")/../../examples/minimal-host" && pwd)
tmp=$(mktemp -d)
prefix=$tmp/prefix
server_pid=

cleanup() {
    if [ -n "$server_pid" ]; then kill -KILL "$server_pid" 2>/dev/null || true; fi
    rm -rf "$tmp"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

case $sanitizer in
    address) flags="-fsanitize=address,undefined" ;;
    thread) flags="-fsanitize=thread" ;;
    "") flags="" ;;
    *) fail "unknown sanitizer '$sanitizer'" ;;
esac

# Starts "$@ PORT" on a free base port and waits for its ready line; tries
# other ports when the program ends first (a port taken by someone else).
# Sets server_pid and base.
start_server() {
    local attempt
    for attempt in 1 2 3 4 5; do
        base=$((20000 + (RANDOM % 4000) * 5))
        "$@" "$base" >"$tmp/server.out" 2>"$tmp/server.err" &
        server_pid=$!
        local waited
        for waited in $(seq 1 200); do
            grep -q '^ready' "$tmp/server.out" && return 0
            kill -0 "$server_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
        server_pid=
    done
    cat "$tmp/server.err" >&2
    fail "$1 did not become ready"
}

# Stops the server with SIGTERM; it must end cleanly within 20 s.
stop_server() {
    kill -TERM "$server_pid"
    local status=0
    timeout 20 tail --pid="$server_pid" -f /dev/null || fail "server did not stop"
    wait "$server_pid" || status=$?
    server_pid=
    [ "$status" -eq 0 ] || { cat "$tmp/server.err" >&2; fail "server ended with status $status"; }
}

# Logs in to the server on $base with the installed CLI: accepted, then
# refused for an unknown user and for a wrong password, each with its line.
check_logins() {
    local out
    out=$("$prefix/bin/recnet" --port "$base" login) || fail "login: $out"
    [[ $out =~ ^session\ [1-9][0-9]*$ ]] || fail "login printed '$out'"
    out=$("$prefix/bin/recnet" --port "$base" --user nobody login 2>&1) && fail "unknown user accepted"
    [[ $out == *"login refused: unknown user"* ]] || fail "unknown user: '$out'"
    out=$("$prefix/bin/recnet" --port "$base" --password wrong login 2>&1) && fail "wrong password accepted"
    [[ $out == *"login refused: wrong password"* ]] || fail "wrong password: '$out'"
    return 0
}

cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" || { cat "$tmp/install.log"; fail "install"; }
for file in "$libdir/libnetserver.so.1" "$libdir/libnetserver.so" include/netserver/host_api.h \
            include/netserver/netserver.h "$libdir/pkgconfig/netserver.pc" \
            "$libdir/cmake/netserver/netserverConfig.cmake" bin/recnet-device bin/recnet \
            share/recnet/media/main.h264 share/recnet/media/sub.h264 \
            "$libdir/librecnet-client.a" include/recnet-client/session.h \
            "$libdir/pkgconfig/recnet-client.pc"; do
    [ -e "$prefix/$file" ] || fail "$file not installed"
done

# Through pkg-config: headers from --cflags, the module file from `module`.
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
module=$(pkg-config --variable=module netserver)
[ -f "$module" ] || fail "pkg-config names module '$module', which does not exist"
# shellcheck disable=SC2046,SC2086
c++ -std=c++20 -Wall -Wextra -Werror $flags $(pkg-config --cflags netserver) \
    -DNETSERVER_MODULE="\"$module\"" "$example/host.cpp" \
    "$example/host_refusals.cpp" \
    -o "$tmp/host_pkgconfig" -rdynamic -ldl || fail "pkg-config build"
start_server "$tmp/host_pkgconfig"
check_logins
stop_server

# Through find_package(netserver).
cmake -S "$example" -B "$tmp/host_cmake" -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_CXX_FLAGS="$flags -Werror" >"$tmp/cmake.log" || { cat "$tmp/cmake.log"; fail "configure"; }
cmake --build "$tmp/host_cmake" >"$tmp/build.log" || { cat "$tmp/build.log"; fail "find_package build"; }
start_server "$tmp/host_cmake/minimal_host"
check_logins
stop_server

# The installed device, run from a directory far from the build tree, finds
# the module and the clips relative to itself; the installed CLI logs in.
mkdir "$tmp/run"
cd "$tmp/run"
start_server "$prefix/bin/recnet-device" --state "$tmp/run/state" --base-port
check_logins
stop_server
echo "install tree, pkg-config and find_package hosts, installed device and CLI: ok"
