#!/usr/bin/env bash
# Benchmark: our module, SoftHSMv2 and OpenSSL's own RSA on the same keys, interleaved in
# one run; prints the comparison table (ratios included). Then, when pcscd, vpcd and the card
# emulator can run (scripts/pcsc-env.sh check), C_Sign RSA-2048 over the pcsc backend beside
# the directory backend, interleaved the same way. Not part of the test run.
#
#   scripts/bench.sh [--rounds N] [--seconds S] [--objects "10 100 1000"]
#
# BUILD_DIR (default build-bench) is configured as a Release build and the module, the
# card tool and the harness (tests/bench) are built there. SOFTHSM_MODULE overrides the
# SoftHSMv2 library path.
set -euo pipefail
cd "$(dirname "$0")/.."

ROUNDS=3
SECONDS_PER_CASE=1.5
OBJECT_COUNTS="10 100 1000"
while [ $# -gt 0 ]; do
    case "$1" in
        --rounds) ROUNDS=$2; shift 2 ;;
        --seconds) SECONDS_PER_CASE=$2; shift 2 ;;
        --objects) OBJECT_COUNTS=$2; shift 2 ;;
        *) echo "usage: $0 [--rounds N] [--seconds S] [--objects \"10 100 1000\"]" >&2; exit 2 ;;
    esac
done

BUILD_DIR=${BUILD_DIR:-build-bench}
SOFTHSM_MODULE=${SOFTHSM_MODULE:-/usr/lib/softhsm/libsofthsm2.so}
[ -f "$SOFTHSM_MODULE" ] || { echo "SoftHSMv2 not found at $SOFTHSM_MODULE (apt-get install softhsm2)" >&2; exit 1; }

cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C "$BUILD_DIR" vellumcrest-pkcs11 vellumcrest-card vellumcrest-card-emu vc-bench >/dev/null
OURS=$(realpath "$BUILD_DIR/libvellumcrest-pkcs11.so")
TOOL=$(realpath "$BUILD_DIR/vellumcrest-card")
BENCH=$(realpath "$BUILD_DIR/tests/bench/vc-bench")

export VC_EMU_PATH=$(realpath "$BUILD_DIR/vellumcrest-card-emu")

WORK=$(mktemp -d "${TMPDIR:-/tmp}/vc-bench.XXXXXX")
trap 'scripts/pcsc-env.sh stop "$WORK/pcsc" 2>/dev/null || true; rm -rf "$WORK"' EXIT
PIN=1234
SO_PIN=12345678

echo "== keys"
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$WORK/rsa2048.pem" 2>/dev/null
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out "$WORK/rsa1024.pem" 2>/dev/null

echo "== SoftHSMv2 tokens"
mkdir -p "$WORK/softhsm/tokens"
cat > "$WORK/softhsm/softhsm2.conf" <<EOF
directories.tokendir = $WORK/softhsm/tokens
objectstore.backend = file
log.level = ERROR
slots.removable = false
EOF
export SOFTHSM2_CONF="$WORK/softhsm/softhsm2.conf"
for label in bench-a bench-b $(for n in $OBJECT_COUNTS; do echo "bench-$n"; done); do
    softhsm2-util --init-token --free --label "$label" --pin "$PIN" --so-pin "$SO_PIN" >/dev/null
done
for label in bench-a bench-b; do
    softhsm2-util --import "$WORK/rsa2048.pem" --token "$label" --label rsa2048 --id 01 --pin "$PIN" >/dev/null
    softhsm2-util --import "$WORK/rsa1024.pem" --token "$label" --label rsa1024 --id 02 --pin "$PIN" >/dev/null
done
for n in $OBJECT_COUNTS; do
    "$BENCH" --module softhsm="$SOFTHSM_MODULE" --pin "$PIN" --token "bench-$n" --setup-data "$n"
done

echo "== virtual cards"
READERS="$WORK/readers"
mkdir -p "$READERS"
cat > "$WORK/vellumcrest.conf" <<EOF
[Core]
ReadersDir=$READERS
[Pkcs11]
LogLevelPkcs11=0
LogLevelCore=0
EOF
export VELLUMCREST_CONFIG="$WORK/vellumcrest.conf"
export VELLUMCREST_READERS_DIR="$READERS"
# The token label is the second half of the 32-character card identifier.
card_id() { local label=$1; printf 'VellumcrestBench%s' "$label"; printf '%*s' $((16 - ${#label})) '' | tr ' ' '.'; }
make_card() {
    local label=$1 image=${2:-$WORK/$1.vcard}
    "$TOOL" --readers-dir "$READERS" card-create "$image" --type 1 --id "$(card_id "$label")" \
        --user-pin "$PIN" --so-pin "$SO_PIN" --memory 4000000 >/dev/null
    echo "$image"
}
for label in bench-a bench-b; do
    image=$(make_card "$label")
    "$TOOL" --readers-dir "$READERS" key-import "$image" --pem "$WORK/rsa2048.pem" --label rsa2048 --id 01 >/dev/null
    "$TOOL" --readers-dir "$READERS" key-import "$image" --pem "$WORK/rsa1024.pem" --label rsa1024 --id 02 >/dev/null
    "$TOOL" --readers-dir "$READERS" reader-add "Reader $label" >/dev/null
    "$TOOL" --readers-dir "$READERS" card-insert "Reader $label" "$image" >/dev/null
done
for n in $OBJECT_COUNTS; do
    image=$(make_card "bench-$n")
    for ((i = 0; i < n; i++)); do
        printf 'value %d' "$i" > "$WORK/data.bin"
        "$TOOL" --readers-dir "$READERS" data-add "$image" --file "$WORK/data.bin" --label "data $i" >/dev/null
    done
    "$TOOL" --readers-dir "$READERS" reader-add "Reader bench-$n" >/dev/null
    "$TOOL" --readers-dir "$READERS" card-insert "Reader bench-$n" "$image" >/dev/null
done

# The pcsc backend: a second copy of the module with its own configuration, loaded into the
# same process; its bench-a card is served by the emulator in a reader of a private pcscd.
PCSC_WHY=$(scripts/pcsc-env.sh check) && PCSC_WHY=
if [ -z "$PCSC_WHY" ]; then
    echo "== pcsc: pcscd with an emulated card"
    image=$(make_card bench-a "$WORK/pcsc-bench-a.vcard")
    "$TOOL" --readers-dir "$READERS" key-import "$image" --pem "$WORK/rsa2048.pem" --label rsa2048 --id 01 >/dev/null
    mkdir -p "$WORK/pcsc-module"
    cp "$OURS" "$WORK/pcsc-module/"
    PCSC_MODULE="$WORK/pcsc-module/$(basename "$OURS")"
    printf '[Core]\nReaderBackend=pcsc\n[Pkcs11]\nLogLevelPkcs11=0\nLogLevelCore=0\n' > "$WORK/pcsc.conf"
    scripts/pcsc-env.sh start "$WORK/pcsc" --owner $$ >/dev/null
    scripts/pcsc-env.sh card "$WORK/pcsc" 0 "$image"
fi

CASES="sign2048 sign1024 decrypt2048 decrypt1024 verify2048 encrypt2048 threads"
for n in $OBJECT_COUNTS; do CASES="$CASES find-$n"; done
RESULTS="$WORK/results.txt"
: > "$RESULTS"
# Each round is one process with both modules and OpenSSL loaded; every case runs them in
# turns of 20 ms (100 ms with threads), so that all see the same machine load.
echo "== measuring: $ROUNDS rounds, ${SECONDS_PER_CASE}s per case and target"
for ((round = 1; round <= ROUNDS; round++)); do
    "$BENCH" --module ours="$OURS" --module softhsm="$SOFTHSM_MODULE" \
        --openssl "$WORK/rsa2048.pem" "$WORK/rsa1024.pem" --pin "$PIN" --seconds "$SECONDS_PER_CASE" $CASES >> "$RESULTS"
    if [ -z "$PCSC_WHY" ]; then
        "$BENCH" --module directory="$OURS" --module pcsc="$PCSC_MODULE" --config pcsc="$WORK/pcsc.conf" \
            --pin "$PIN" --seconds "$SECONDS_PER_CASE" sign2048 >> "$RESULTS"
    fi
    echo "   round $round done"
done

/usr/bin/python3 - "$RESULTS" "$OBJECT_COUNTS" "$PCSC_WHY" <<'EOF'
import statistics, sys
values = {}
for line in open(sys.argv[1]):
    target, case, value, unit = line.split()
    values.setdefault((target, case), []).append(float(value))
med = {key: statistics.median(v) for key, v in values.items()}
def get(target, case):
    return med.get((target, case))
def fmt(v, unit="ops/s"):
    if v is None: return "—"
    return ("%.2f ms" % v) if unit == "ms" else "{:,.0f}".format(v).replace(",", " ")
def ratio(a, b):
    return "—" if a is None or b is None or b == 0 else "%.2f×" % (a / b)
rows = [("C_SignInit+C_Sign RSA-2048, ops/s", "sign2048"), ("C_SignInit+C_Sign RSA-1024, ops/s", "sign1024"),
        ("C_DecryptInit+C_Decrypt RSA-2048, ops/s", "decrypt2048"), ("C_DecryptInit+C_Decrypt RSA-1024, ops/s", "decrypt1024"), ("C_VerifyInit+C_Verify RSA-2048, ops/s", "verify2048"),
        ("C_EncryptInit+C_Encrypt RSA-2048, ops/s", "encrypt2048"),
        ("2 threads signing on 2 slots (RSA-2048), total ops/s", "threads2")]
print()
print("| figure | ours | SoftHSMv2 | OpenSSL (kept key) | ours time / OpenSSL | ours speed / SoftHSMv2 |")
print("|---|---|---|---|---|---|")
for title, case in rows:
    o, s, p = get("ours", case), get("softhsm", case), get("openssl", case)
    print("| %s | %s | %s | %s | %s | %s |" % (title, fmt(o), fmt(s), fmt(p), ratio(p, o), ratio(o, s)))
for n in sys.argv[2].split():
    case = "find-" + n
    o, s = get("ours", case), get("softhsm", case)
    print("| first search after login, %s objects | %s | %s | — | — | %s |" % (n, fmt(o, "ms"), fmt(s, "ms"), ratio(s, o)))
print()
for target, name in (("ours", "ours"), ("softhsm", "SoftHSMv2"), ("openssl", "OpenSSL")):
    print("2 threads / 1 thread (RSA-2048 signing, measured in turns), %s: %s"
          % (name, ratio(get(target, "threads2"), get(target, "threads1"))))
print()
if sys.argv[3]:
    print("pcsc: skipped (%s)" % sys.argv[3])
else:
    d, p = get("directory", "sign2048"), get("pcsc", "sign2048")
    print("| C_SignInit+C_Sign RSA-2048, ops/s | directory backend | pcsc backend (pcscd, vpcd, emulator) "
          "| directory / pcsc |")
    print("|---|---|---|---|")
    print("| measured in the same turns | %s | %s | %s |" % (fmt(d), fmt(p), ratio(d, p)))
EOF
