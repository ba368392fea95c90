#!/usr/bin/env bash
# scripts/fuzz.sh [SECONDS] - builds the libFuzzer targets (fuzz/) with clang
# in build-fuzz and runs each for SECONDS (default 30) over a work copy of its
# seed corpus (fuzz/corpus/<target>, left unchanged). Exits non-zero when a
# target finds a crash, a leak or a hang; the reproducer is left in
# build-fuzz/findings/<target>/.
set -euo pipefail

SECONDS_PER_TARGET="${1:-30}"
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="$ROOT/build-fuzz"
TARGETS=(fuzz_message_stream fuzz_dispatcher fuzz_data_handshake fuzz_probe
         fuzz_firmware fuzz_client_reply fuzz_fragments)

CXX="${CXX:-clang++}" cmake -S "$ROOT/fuzz" -B "$BUILD" >/dev/null
cmake --build "$BUILD" -j "$(nproc)"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

failed=()
for t in "${TARGETS[@]}"; do
    work="$BUILD/corpus-work/$t"
    findings="$BUILD/findings/$t"
    rm -rf "$work"
    mkdir -p "$work" "$findings"
    cp "$ROOT/fuzz/corpus/$t/"* "$work/"
    echo "== $t: ${SECONDS_PER_TARGET} s"
    # -close_fd_mask=3: the module's diagnostic lines go nowhere; libFuzzer
    # and the sanitizers keep their own copy of stderr for their reports.
    if ! "$BUILD/$t" "$work" -max_total_time="$SECONDS_PER_TARGET" -timeout=20 \
            -rss_limit_mb=2048 -close_fd_mask=3 -print_final_stats=1 \
            -artifact_prefix="$findings/" >"$BUILD/$t.log" 2>&1; then
        failed+=("$t")
        echo "!! $t found a fault; see $BUILD/$t.log and $findings/"
        tail -n 40 "$BUILD/$t.log"
    fi
    grep -E "stat::number_of_executed_units|stat::average_exec_per_sec" "$BUILD/$t.log" || true
done

if ((${#failed[@]})); then
    echo "faults found by: ${failed[*]}"
    exit 1
fi
echo "no faults found"
