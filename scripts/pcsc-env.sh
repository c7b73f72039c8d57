#!/usr/bin/env bash
# A private pcscd with virtual readers of vsmartcard-vpcd, and emulated cards in them.
#
#   scripts/pcsc-env.sh check              prerequisites; prints why not and exits 1
#   scripts/pcsc-env.sh start DIR [--owner PID]
#                                          pcscd with two readers (one vpcd entry), state in DIR;
#                                          with --owner, all is stopped once PID has exited
#   scripts/pcsc-env.sh card DIR I CARD    card CARD (image path or @READER) into reader I (0-based),
#                                          replacing the card there; waits until pcscd sees it
#   scripts/pcsc-env.sh foreign DIR I      a card of another application into reader I (no AID of ours)
#   scripts/pcsc-env.sh pull DIR I         the card of reader I pulled; waits until pcscd sees it
#   scripts/pcsc-env.sh stop DIR           every emulator started in DIR, then pcscd, stopped
#
# start writes DIR/readers (one "PORT<TAB>NAME" line per reader) and DIR/pcscd.pid; stop
# removes nothing else. The emulator is VC_EMU_PATH, else vellumcrest-card-emu next to
# VC_TOOL_PATH, in build/ or on PATH. pcscd's socket is system-wide (/run/pcscd), so this
# refuses to start while another pcscd runs; stop only touches processes whose pid it recorded.
set -euo pipefail

VPCD_DRIVER=${VPCD_DRIVER:-/usr/lib/pcsc/drivers/serial/libifdvpcd.so}
PCSCD=${PCSCD:-$(command -v pcscd || echo /usr/sbin/pcscd)}
READER_NAME="Vellumcrest Virtual"
PYTHON=/usr/bin/python3

die() { echo "pcsc-env: $*" >&2; exit 1; }

emulator() {
    local here candidate
    here=$(cd "$(dirname "$0")/.." && pwd)
    for candidate in "${VC_EMU_PATH:-}" "${VC_TOOL_PATH:+$(dirname "${VC_TOOL_PATH}")/vellumcrest-card-emu}" \
        "$here/build/vellumcrest-card-emu" "$(command -v vellumcrest-card-emu || true)"; do
        if [ -n "$candidate" ] && [ -x "$candidate" ]; then echo "$candidate"; return 0; fi
    done
    return 1
}

# Pids of running (not zombie) processes named pcscd.
running_pcscd() {
    local pid
    for pid in $(pgrep -x pcscd || true); do
        [ "$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null)" = Z ] || echo "$pid"
    done
}

# Prints the first missing prerequisite; status 1 when one is missing.
why_not() {
    [ -x "$PCSCD" ] || { echo "pcscd not installed (Debian package pcscd)"; return 1; }
    [ -f "$VPCD_DRIVER" ] || { echo "vpcd driver $VPCD_DRIVER missing (Debian package vsmartcard-vpcd)"; return 1; }
    command -v opensc-tool >/dev/null || { echo "opensc-tool not installed (Debian package opensc)"; return 1; }
    [ -x "$PYTHON" ] || { echo "$PYTHON missing"; return 1; }
    emulator >/dev/null || { echo "vellumcrest-card-emu not found (set VC_EMU_PATH or build it)"; return 1; }
    local other
    other=$(running_pcscd | tr '\n' ' ')
    [ -z "$other" ] || { echo "another pcscd is running (pid ${other% }); only one can use /run/pcscd"; return 1; }
    if command -v systemctl >/dev/null && systemctl is-active --quiet pcscd.socket 2>/dev/null; then
        echo "systemd's pcscd.socket holds /run/pcscd (sudo systemctl stop pcscd.socket)"; return 1
    fi
    if [ "$(id -u)" != 0 ] && ! { mkdir -p /run/pcscd 2>/dev/null && [ -w /run/pcscd ]; }; then
        echo "pcscd needs to write /run/pcscd (run as root)"; return 1
    fi
    return 0
}

# COUNT consecutive TCP ports free on every address (vpcd listens on all of them).
free_ports() {
    "$PYTHON" - "$1" <<'EOF'
import random, socket, sys
count = int(sys.argv[1])
for _ in range(200):
    base = random.randrange(20000, 60000 - count)
    sockets = []
    try:
        for port in range(base, base + count):
            s = socket.socket()
            sockets.append(s)
            s.bind(("0.0.0.0", port))
        print(base)
        sys.exit(0)
    except OSError:
        pass
    finally:
        for s in sockets:
            s.close()
sys.exit(1)
EOF
}

# Reader lines of opensc-tool -l: "Yes" or "No" then the name, one a line.
reader_states() {
    timeout 10 opensc-tool -l 2>/dev/null | sed -n 's/^[0-9][0-9]* *\(Yes\|No\) *\(.*[^ ]\) *$/\1\t\2/p' || true
}

# Waits until reader NAME shows STATE (Yes/No/any), up to 10 s.
wait_reader() {
    local name=$1 state=$2 i
    for ((i = 0; i < 100; i++)); do
        case "$state" in
            any) reader_states | cut -f2 | grep -q -F -x "$name" && return 0 ;;
            *) reader_states | grep -q -F -x "$state	$name" && return 0 ;;
        esac
        sleep 0.1
    done
    return 1
}

# Sends SIGTERM to PID if it still is COMM, waits up to 10 s, then SIGKILL.
stop_pid() {
    local pid=$1 comm=$2 i
    [ -n "$pid" ] || return 0
    [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = "$comm" ] || return 0
    kill -TERM "$pid" 2>/dev/null || return 0
    for ((i = 0; i < 100; i++)); do
        [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = "$comm" ] || return 0
        [ "$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null)" != Z ] || return 0
        sleep 0.1
    done
    echo "pcsc-env: $comm (pid $pid) did not stop on SIGTERM, killed" >&2
    kill -KILL "$pid" 2>/dev/null || true
}

reader_line() {
    local dir=$1 index=$2 line
    [ -f "$dir/readers" ] || die "no pcscd started in $dir"
    line=$(sed -n "$((index + 1))p" "$dir/readers")
    [ -n "$line" ] || die "no reader $index in $dir"
    echo "$line"
}

# Stops everything of DIR once OWNER has exited (a test killed on timeout), or ends by itself
# once pcscd of DIR was stopped.
watch() {
    local dir=$1 owner=$2
    (
        while kill -0 "$owner" 2>/dev/null && [ -f "$dir/pcscd.pid" ]; do sleep 1; done
        cmd_stop "$dir"
    ) >>"$dir/watch.log" 2>&1 </dev/null &
}

cmd_start() {
    local dir=$1 owner=${2:-} reason base attempt port reader ok
    reason=$(why_not) || die "$reason"
    mkdir -p "$dir/reader.conf.d"
    dir=$(cd "$dir" && pwd)
    for attempt in 1 2 3; do
        base=$(free_ports 2) || die "no free ports"
        # vpcd makes two readers of one entry, "NAME 00 00" on the port and "NAME 00 01" on the next.
        printf 'FRIENDLYNAME "%s"\nDEVICENAME   /dev/null:0x%X\nLIBPATH      %s\nCHANNELID    0x%X\n' \
            "$READER_NAME" "$base" "$VPCD_DRIVER" "$base" > "$dir/reader.conf.d/vpcd"
        printf '%s\t%s 00 00\n' "$base" "$READER_NAME" > "$dir/readers"
        printf '%s\t%s 00 01\n' "$((base + 1))" "$READER_NAME" >> "$dir/readers"
        "$PCSCD" --foreground -c "$dir/reader.conf.d" >"$dir/pcscd.log" 2>&1 </dev/null &
        echo $! > "$dir/pcscd.pid"
        ok=1
        while IFS=$'\t' read -r port reader; do
            wait_reader "$reader" any || { ok=0; break; }
        done < "$dir/readers"
        if [ "$ok" = 1 ]; then
            [ -z "$owner" ] || watch "$dir" "$owner"
            echo "pcscd (pid $(cat "$dir/pcscd.pid")) with 2 readers on vpcd ports $base and $((base + 1))"
            return 0
        fi
        stop_pid "$(cat "$dir/pcscd.pid")" pcscd
        rm -f "$dir/pcscd.pid"
        echo "pcsc-env: readers did not appear (attempt $attempt); end of pcscd's log:" >&2
        tail -5 "$dir/pcscd.log" >&2
    done
    die "pcscd did not come up"
}

cmd_card() {
    local dir=$1 index=$2 card=$3 line port name emu pid i
    line=$(reader_line "$dir" "$index")
    port=${line%%$'\t'*}
    name=${line#*$'\t'}
    cmd_pull "$dir" "$index"
    emu=$(emulator) || die "vellumcrest-card-emu not found"
    "$emu" --vpcd-port "$port" "$card" >"$dir/emu-$index.log" 2>&1 </dev/null &
    pid=$!
    echo "$pid $(basename "$emu" | cut -c1-15)" > "$dir/emu-$index.pid"  # pid and process name
    for ((i = 0; i < 100; i++)); do
        grep -q "^serving " "$dir/emu-$index.log" && break
        kill -0 "$pid" 2>/dev/null || die "emulator for reader $index exited: $(cat "$dir/emu-$index.log")"
        sleep 0.1
    done
    wait_reader "$name" Yes || die "no card in \"$name\" after 10 s: $(cat "$dir/emu-$index.log")"
}

cmd_pull() {
    local dir=$1 index=$2 line
    line=$(reader_line "$dir" "$index")
    [ -f "$dir/emu-$index.pid" ] || return 0
    # shellcheck disable=SC2046  # "PID COMM"
    stop_pid $(cat "$dir/emu-$index.pid")
    rm -f "$dir/emu-$index.pid"
    wait_reader "${line#*$'\t'}" No || die "card still in \"${line#*$'\t'}\" after 10 s"
}

cmd_stop() {
    local dir=$1 file
    for file in "$dir"/emu-*.pid; do
        [ -f "$file" ] || continue
        # shellcheck disable=SC2046  # "PID COMM"
        stop_pid $(cat "$file")
        rm -f "$file"
    done
    if [ -f "$dir/pcscd.pid" ]; then
        stop_pid "$(cat "$dir/pcscd.pid")" pcscd
        rm -f "$dir/pcscd.pid"
    fi
}

case "${1:-}" in
    check) reason=$(why_not) || { echo "$reason"; exit 1; } ;;
    start)
        if [ $# -eq 2 ]; then cmd_start "$2"
        elif [ $# -eq 4 ] && [ "$3" = --owner ]; then cmd_start "$2" "$4"
        else die "usage: $0 start DIR [--owner PID]"; fi ;;
    card) [ $# -eq 4 ] || die "usage: $0 card DIR INDEX CARD"; cmd_card "$2" "$3" "$4" ;;
    foreign)
        # The emulator serves a file that is no card image as a card of another application.
        [ $# -eq 3 ] || die "usage: $0 foreign DIR INDEX"
        printf 'not a card image\n' > "$2/foreign-$3.bin"
        cmd_card "$2" "$3" "$2/foreign-$3.bin" ;;
    pull) [ $# -eq 3 ] || die "usage: $0 pull DIR INDEX"; cmd_pull "$2" "$3" ;;
    stop) [ $# -eq 2 ] || die "usage: $0 stop DIR"; cmd_stop "$2" ;;
    *) sed -n '2,17s/^# \{0,1\}//p' "$0" >&2; exit 2 ;;
esac
