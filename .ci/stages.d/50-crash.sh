#!/usr/bin/env bash
# The card-write crash test at CI size: 600 card writers killed with SIGKILL mid-write
# (the normal suite kills 120), then the two-process write test, on the normal build.
set -euo pipefail
cd "$(dirname "$0")/../.."

BUILD=${BUILD_DIR:-build}
cmake -S . -B "$BUILD" -G Ninja -DVC_BUILD_TESTS=ON >/dev/null
ninja -C "$BUILD" bb_crash vellumcrest-pkcs11 vellumcrest-card

log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
VC_CRASH_KILLS=${VC_CRASH_KILLS:-600} "$BUILD/tests/bb_crash" >"$log" 2>&1 || status=$?
grep -E '^\[  (FAILED|PASSED) |Failure' -A3 "$log" || true
echo "=== crash stage: $(grep -E '^(crash|two writers):' "$log" | tr '\n' ' ')"
[ "$status" -eq 0 ] && echo "=== crash stage passed" || echo "=== crash stage FAILED"
exit "$status"
