#!/bin/bash
# What a new user meets when the readers directory is wrong: the module logs which
# configuration file and readers directory it uses and that there are no readers, the card
# tool says the directory is missing; with the right directory the log counts the readers.
source "${VC_CLIENT_LIB:-$(dirname "$0")/lib.sh}"
vc_setup

wrong="$VC_ROOT/no-such-dir"
out=$(VELLUMCREST_READERS_DIR="$wrong" pkcs11-tool --module "$MODULE" -L 2>&1) || true
grep -q "No slots" <<<"$out" || fail "pkcs11-tool -L with a missing readers directory: $out"
grep -q "Pkcs11-core: Konfiguracni soubor: $VELLUMCREST_CONFIG\$" "$VC_LOG" || fail "no configuration line: $(cat "$VC_LOG")"
grep -q "Pkcs11-core: Adresar ctecek: $wrong (VELLUMCREST_READERS_DIR)\$" "$VC_LOG" || fail "no readers directory line"
grep -q "Pkcs11-core: Adresar ctecek $wrong neexistuje (No such file or directory): zadne sloty" "$VC_LOG" ||
    fail "no warning about the missing directory"
if out=$("$VC_TOOL_PATH" --readers-dir "$wrong" list 2>&1); then fail "list on a missing directory succeeded"; fi
grep -q "the readers directory $wrong does not exist" <<<"$out" || fail "card tool list: $out"

: > "$VC_LOG"
vc_tool reader-add "First" >/dev/null
vc_tool reader-add "Second" >/dev/null
unset VELLUMCREST_READERS_DIR
out=$(pkcs11-tool --module "$MODULE" -L 2>&1) || fail "pkcs11-tool -L: $out"
[ "$(grep -c '^Slot ' <<<"$out")" = 2 ] || fail "slots: $out"
grep -q "Pkcs11-core: Adresar ctecek: $VC_READERS (ReadersDir)\$" "$VC_LOG" || fail "readers directory from the file"
grep -q "Pkcs11-core: Nalezeno ctecek: 2\$" "$VC_LOG" || fail "reader count: $(cat "$VC_LOG")"

echo "OK"
