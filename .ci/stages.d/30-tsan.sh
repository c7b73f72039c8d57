#!/usr/bin/env bash
# ThreadSanitizer stage: builds build-tsan/ with -DVC_TSAN=ON and runs the threaded test
# cases and, when it exists, the stress test under TSan. Any report fails the stage.
set -euo pipefail
cd "$(dirname "$0")/../.."

BUILD_DIR=${TSAN_BUILD_DIR:-build-tsan}
STRESS_SECONDS=${VC_TSAN_STRESS_SECONDS:-30}
# Test cases that run several threads at once, by name.
FILTER='*Concurrent*:*Concurrency*:*Thread*:*Sweep*:*FinalizeFromAnotherThread*:LockOrder.*'

cmake -S . -B "$BUILD_DIR" -G Ninja -DVC_TSAN=ON -DVC_BUILD_TESTS=ON >/dev/null
ninja -C "$BUILD_DIR"

export TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 suppressions=$PWD/.ci/tsan.supp"
export VC_STRESS_SECONDS=$STRESS_SECONDS

failed=()
ran=0
summary=()
for test in "$BUILD_DIR"/tests/unit_* "$BUILD_DIR"/tests/bb_*; do
    [ -x "$test" ] || continue
    name=$(basename "$test")
    filter=$FILTER
    case "$name" in *stress*) filter='*' ;; esac
    count=$("$test" --gtest_filter="$filter" --gtest_list_tests | grep -c '^  ' || true)
    [ "$count" -gt 0 ] || continue
    log="$BUILD_DIR/tsan-$name.log"
    if "$test" --gtest_filter="$filter" >"$log" 2>&1; then
        summary+=("  ok      $name ($count cases)")
    else
        summary+=("  FAILED  $name ($count cases), see $log")
        failed+=("$name")
        grep -m1 -A20 'WARNING: ThreadSanitizer' "$log" || tail -20 "$log"
    fi
    ran=$((ran + count))
done
# A stress program outside gtest, when there is one.
for stress in "$BUILD_DIR"/tests/stress "$BUILD_DIR"/tests/vc_stress; do
    [ -x "$stress" ] || continue
    log="$BUILD_DIR/tsan-$(basename "$stress").log"
    if "$stress" >"$log" 2>&1; then summary+=("  ok      $(basename "$stress")")
    else summary+=("  FAILED  $(basename "$stress"), see $log"); failed+=("$(basename "$stress")"); fi
done

echo "ThreadSanitizer: $ran threaded test cases"
printf '%s\n' "${summary[@]}"
if [ "${#failed[@]}" -gt 0 ]; then
    echo "ThreadSanitizer stage FAILED: ${failed[*]}"
    exit 1
fi
echo "ThreadSanitizer stage passed: no reports"
