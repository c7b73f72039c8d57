# Shared set-up for client integration tests: a temporary readers directory and
# configuration, and helpers to run the card tool. Source it, then call vc_setup.
set -euo pipefail

vc_setup() {
    local base="${VC_TEST_TMP:-/tmp}"
    mkdir -p "$base"
    VC_ROOT=$(mktemp -d "$base/client-XXXXXX")
    VC_READERS="$VC_ROOT/readers"
    VC_LOG="$VC_ROOT/vellumcrest.log"
    mkdir -p "$VC_READERS" "$VC_ROOT/programdata/Orvo Vellumcrest"
    cat > "$VC_ROOT/vellumcrest.conf" <<CONF
[Core]
LogFile=$VC_LOG
ReadersDir=$VC_READERS
[Pkcs11]
LogLevelPkcs11=3
LogLevelCore=3
CONF
    export VELLUMCREST_CONFIG="$VC_ROOT/vellumcrest.conf"
    export VELLUMCREST_READERS_DIR="$VC_READERS"
    export ProgramData="$VC_ROOT/programdata"
    MODULE="$VC_MODULE_PATH"
    if [ -z "${VC_KEEP_TMP:-}" ]; then trap 'rm -rf "$VC_ROOT"' EXIT; fi
}

vc_tool() { "$VC_TOOL_PATH" --readers-dir "$VC_READERS" "$@"; }

# vc_card READER TYPE USERPIN SOPIN [extra card-create options]
vc_card() {
    local reader=$1 type=$2 user=$3 so=$4; shift 4
    vc_tool reader-add "$reader"
    vc_tool card-create "$VC_ROOT/$reader.vcard" --type "$type" --user-pin "$user" --so-pin "$so" "$@"
    vc_tool card-insert "$reader" "$VC_ROOT/$reader.vcard"
}

fail() { echo "FAIL: $*" >&2; exit 1; }

ENGINE=/usr/lib/x86_64-linux-gnu/engines-3/pkcs11.so

# vc_engine_conf FILE [extra lines]: an OpenSSL configuration that loads the pkcs11 engine
# with the module under test; the extra lines are appended (e.g. [req] sections).
vc_engine_conf() {
    [ -f "$ENGINE" ] || fail "pkcs11 engine not installed ($ENGINE)"
    local file=$1; shift
    cat > "$file" <<CNF
openssl_conf = openssl_init
[openssl_init]
engines = engine_section
[engine_section]
pkcs11 = pkcs11_section
[pkcs11_section]
engine_id = pkcs11
dynamic_path = $ENGINE
MODULE_PATH = $MODULE
init = 0
CNF
    local line
    for line in "$@"; do printf '%s\n' "$line" >> "$file"; done
}
