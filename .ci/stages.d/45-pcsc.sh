#!/usr/bin/env bash
# The pcsc reader backend end to end: the backend suite (tests/python/test_backends.py) over
# pcsc, and the client checks (tests/clients/test_pcsc_clients.sh: pcsc_scan, opensc-tool,
# pkcs11-tool, p11tool/certtool, the OpenSSL engine). Each starts its own pcscd with vpcd
# readers and card emulators through scripts/pcsc-env.sh and stops them at the end. Without
# pcscd, the vpcd driver or the emulator, or while another pcscd runs, the stage says why it
# was skipped and passes: the rest of CI never needs pcscd.
set -euo pipefail
cd "$(dirname "$0")/../.."

BUILD=${BUILD_DIR:-build}
cmake -S . -B "$BUILD" -G Ninja >/dev/null
ninja -C "$BUILD" vellumcrest-pkcs11 vellumcrest-card vellumcrest-card-emu >/dev/null
BUILD=$(cd "$BUILD" && pwd)
export VC_MODULE_PATH="$BUILD/libvellumcrest-pkcs11.so" VC_TOOL_PATH="$BUILD/vellumcrest-card"
export VC_EMU_PATH="$BUILD/vellumcrest-card-emu" VC_TEST_TMP="$BUILD/test-tmp"
export VC_CLIENT_LIB="$PWD/tests/clients/lib.sh" PYTHONPATH="$PWD/tests/python" VC_PCSC=1

if ! why=$(scripts/pcsc-env.sh check); then
    echo "pcsc stage skipped: $why"
    exit 0
fi

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
summary=()
failed=0
# run NAME COMMAND...: runs one part, keeps its output for the summary; 77 (skipped) is a
# failure here, since the prerequisites were checked.
run() {
    local name=$1 status=0 start=$SECONDS
    shift
    timeout 600 "$@" >"$logs/$name.log" 2>&1 || status=$?
    if [ "$status" = 0 ]; then
        summary+=("$(printf '%-32s ok      %4ss' "$name" $((SECONDS - start)))")
    else
        failed=1
        summary+=("$(printf '%-32s FAILED  %4ss (exit %s)' "$name" $((SECONDS - start)) "$status")")
        echo "--- $name failed (exit $status):"
        tail -60 "$logs/$name.log"
    fi
}
run "backend suite over pcsc" /usr/bin/python3 tests/python/test_backends.py --backend pcsc
run "client checks over pcsc" bash tests/clients/test_pcsc_clients.sh

echo "=== pcsc summary"
printf '%s\n' "${summary[@]}"
grep -h -E '^(Ran|OK|FAILED)|: ok$' "$logs"/*.log | sed 's/^/    /' || true
exit "$failed"
