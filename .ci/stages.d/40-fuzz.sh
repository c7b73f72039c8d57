#!/usr/bin/env bash
# libFuzzer (clang, ASan + UBSan): every target in tests/fuzz runs FUZZ_SECONDS (default
# 60) from its committed seed corpus; the corpus grown meanwhile stays in the build
# directory. Any crash, leak, UBSan report or timeout fails the stage; its input is kept
# as an artifact in $BUILD/fuzz-artifacts/.
set -euo pipefail
cd "$(dirname "$0")/../.."

BUILD=${FUZZ_BUILD_DIR:-build-fuzz}
SECONDS_EACH=${FUZZ_SECONDS:-60}
TARGETS=(card_image card_apdu ini trusted_apps certificate capi card_response)

CC=clang CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DVC_FUZZ=ON -DVC_BUILD_TESTS=OFF >/dev/null
ninja -C "$BUILD" "${TARGETS[@]/#/fuzz_}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
mkdir -p "$BUILD/fuzz-artifacts"
summary=()
failed=0
for target in "${TARGETS[@]}"; do
    corpus="$BUILD/fuzz-corpus/$target"
    log="$BUILD/fuzz-$target.log"
    mkdir -p "$corpus"
    status=0
    "$BUILD/tests/fuzz/fuzz_$target" -max_total_time="$SECONDS_EACH" -timeout=20 -rss_limit_mb=2560 \
        -print_final_stats=1 -artifact_prefix="$BUILD/fuzz-artifacts/$target-" \
        "$corpus" "tests/fuzz/$target" >"$log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    took=$(sed -n 's/^stat::.*//; s/.*Done \([0-9]*\) runs in \([0-9]*\) second.*/\2/p' "$log" | tail -1)
    if [ "$status" -ne 0 ]; then
        failed=1
        echo "--- fuzz_$target failed (exit $status); end of its log:"
        tail -40 "$log"
    fi
    summary+=("$(printf '%-14s %-6s %10s runs %5ss' "$target" "$([ "$status" -eq 0 ] && echo ok || echo FAILED)" "${runs:-?}" "${took:-?}")")
done

echo "=== fuzzing summary (${SECONDS_EACH}s per target)"
printf '%s\n' "${summary[@]}"
exit "$failed"
