#!/usr/bin/env bash
# Configuration and log set-up when the library is loaded: levels, missing or unusable
# log paths, a missing ProgramData, and a long executable path.
source "${VC_CLIENT_LIB:-$(dirname "$0")/lib.sh}"
vc_setup

PY=/usr/bin/python3

# Loads the module in a fresh process and makes a few calls; prints their results.
calls() {
    "$PY" - "$MODULE" <<'PYEOF'
import ctypes, sys
lib = ctypes.CDLL(sys.argv[1])
for name in ("C_Initialize", "C_Finalize", "C_GetInfo"):
    getattr(lib, name).argtypes = [ctypes.c_void_p]
    getattr(lib, name).restype = ctypes.c_ulong
info = ctypes.create_string_buffer(256)
results = [lib.C_Initialize(None), lib.C_Initialize(None), lib.C_GetInfo(None), lib.C_GetInfo(info),
           lib.C_Finalize(None)]
print(" ".join("0x%x" % r for r in results))
PYEOF
}

write_config() {
    {
        echo "[Core]"
        echo "LogFile=$1"
        echo "Version=4.0.0-cfg"
        echo "CustomerCode=-12"
        echo "[Pkcs11]"
        printf '%b' "$2"
    } > "$VELLUMCREST_CONFIG"
}

expected="0x0 0x191 0x7 0x0 0x0"

# Level 1: only the exit lines of failed calls.
write_config "$VC_LOG" "LogLevelPkcs11=1\nLogLevelCore=0\n"
[ "$(calls)" = "$expected" ] || fail "results at level 1"
lines=$(grep -F "] Pkcs11: " "$VC_LOG" | sed 's/^.*] Pkcs11: //')
[ "$lines" = "Pkcs11Provider::C_Initialize() => CKR_CRYPTOKI_ALREADY_INITIALIZED
Pkcs11Provider::C_GetInfo() => CKR_ARGUMENTS_BAD" ] || fail "level 1 lines: $lines"

# Level 3: entry and exit lines and the product line from the core configuration.
: > "$VC_LOG"
write_config "$VC_LOG" "LogLevelPkcs11=3\n"
[ "$(calls)" = "$expected" ] || fail "results at level 3"
grep -qF "] Pkcs11: Vellumcrest: 4.0.0-cfg (-12)" "$VC_LOG" || fail "product line"
grep -qF "] Pkcs11: Pkcs11Provider::C_GetInfo() => CKR_OK" "$VC_LOG" || fail "exit line"
grep -qF "] Pkcs11: Pkcs11Provider::C_Finalize((nil))" "$VC_LOG" || fail "entry line"

# Module level 0: no module lines at all.
: > "$VC_LOG"
write_config "$VC_LOG" "LogLevelPkcs11=0\nLogLevelCore=4\n"
[ "$(calls)" = "$expected" ] || fail "results at level 0"
if grep -qF "] Pkcs11: " "$VC_LOG" 2>/dev/null; then fail "module lines at level 0"; fi

# Empty log path: loading works, no log file appears.
mkdir "$VC_ROOT/empty"
write_config "" "LogLevelPkcs11=4\nLogLevelCore=4\n"
(cd "$VC_ROOT/empty" && [ "$(calls)" = "$expected" ]) || fail "results without log file"
[ -z "$(ls -A "$VC_ROOT/empty")" ] || fail "files written without a log path"

# A log path of 260 characters or more is not used.
long_dir="$VC_ROOT/long"
while [ ${#long_dir} -lt 250 ]; do long_dir="$long_dir/dddddddddddddddddddd"; done
mkdir -p "$long_dir"
long_log="$long_dir/vellumcrest-with-a-long-name.log"
[ ${#long_log} -ge 260 ] || fail "test path too short"
write_config "$long_log" "LogLevelPkcs11=4\nLogLevelCore=4\n"
[ "$(calls)" = "$expected" ] || fail "results with a long log path"
[ ! -e "$long_log" ] || fail "long log path was used"

# Without ProgramData the trusted-applications list is not looked for below the
# current directory; loading works all the same.
write_config "$VC_LOG" "LogLevelPkcs11=3\n"
mkdir -p "$VC_ROOT/cwd/%ProgramData%/Orvo Vellumcrest"
echo "not a list" > "$VC_ROOT/cwd/%ProgramData%/Orvo Vellumcrest/trustedapps.ocf"
(cd "$VC_ROOT/cwd" && unset ProgramData && [ "$(calls)" = "$expected" ]) || fail "results without ProgramData"

# An executable path longer than 260 characters is logged cut at 260.
deep="$VC_ROOT/deep"
while [ ${#deep} -lt 300 ]; do deep="$deep/eeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeee"; done
mkdir -p "$deep"
deep=$(cd "$deep" && pwd -P)
cp "$(readlink -f "$(command -v pkcs11-tool)")" "$deep/pkcs11-tool"
: > "$VC_LOG"
# (-I fails without slots; only its C_Initialize matters here)
"$deep/pkcs11-tool" --module "$MODULE" -I > /dev/null 2>&1 || true
process=$(grep -F "] Pkcs11: Process: " "$VC_LOG" | head -1 | sed 's/^.*] Pkcs11: Process: //')
[ "$process" = "${deep:0:260}" ] || fail "process line: '$process' (${#process} characters)"
echo OK
