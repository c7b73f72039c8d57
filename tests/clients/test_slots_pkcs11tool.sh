#!/bin/bash
# Slots, tokens, mechanisms, login and token initialisation with OpenSC's pkcs11-tool.
source "${VC_CLIENT_LIB:-$(dirname "$0")/lib.sh}"
vc_setup

P11() { pkcs11-tool --module "$MODULE" "$@"; }
passed=0
ok() { passed=$((passed + 1)); echo "ok - $*"; }

# Two readers, a card in the first only.
USER=Us7Pin1
SO=So24Pin86
vc_card "Reader A" 1 "$USER" "$SO" --id 0123456789abcdef0123456789ABCDEF --model "Vellum One"
vc_tool reader-add "Reader B"

out=$(P11 -L)
echo "$out"
[ "$(grep -c '^Slot ' <<<"$out")" = 2 ] || fail "-L: expected 2 slots"
grep -q 'Reader A' <<<"$out" || fail "-L: Reader A missing"
grep -q 'Reader B' <<<"$out" || fail "-L: Reader B missing"
grep -q 'token label *: 0123456789ABCDEF' <<<"$out" || fail "-L: token label"
grep -q 'token manufacturer *: Orvo Card Technologies' <<<"$out" || fail "-L: token manufacturer"
grep -q 'token model *: Vellum One' <<<"$out" || fail "-L: token model"
grep -q 'serial num *: 0123456789ABCDEF' <<<"$out" || fail "-L: serial number"
grep -q 'token flags *:.*login required' <<<"$out" || fail "-L: login required flag"
grep -q 'token flags *:.*PIN initialized' <<<"$out" || fail "-L: PIN initialized flag"
grep -q 'token flags *:.*token initialized' <<<"$out" || fail "-L: token initialized flag"
ok "-L lists both readers and the token"

out=$(P11 -T)
echo "$out"
[ "$(grep -c '^Slot ' <<<"$out")" = 1 ] || fail "-T: expected 1 token slot"
grep -q 'Reader A' <<<"$out" || fail "-T: Reader A missing"
ok "-T lists the one token"

# --slot-index counts all slots: the empty reader is the second, there is no third.
grep -q 'RSA-PKCS' <<<"$(P11 --slot-index 0 -M)" || fail "--slot-index 0: mechanisms of the token"
out=$(P11 --slot-index 1 -M 2>&1 || true)
grep -q 'CKR_TOKEN_NOT_PRESENT' <<<"$out" || fail "--slot-index 1: expected CKR_TOKEN_NOT_PRESENT: $out"
out=$(P11 --slot-index 2 -M 2>&1 || true)
grep -q 'not available' <<<"$out" || fail "--slot-index 2: expected no such slot: $out"
ok "--slot-index sees two slots, one with a token"

out=$(P11 -M)
echo "$out"
for mech in MD5 SHA-1 SHA256 SHA384 SHA512 RSA-PKCS-KEY-PAIR-GEN RSA-PKCS; do
    grep -qE "^ +$mech(,| |$)" <<<"$out" || fail "-M: $mech missing"
done
[ "$(grep -cE '^ +[A-Z0-9-]+' <<<"$out")" = 7 ] || fail "-M: expected 7 mechanisms"
grep -E '^ +RSA-PKCS,' <<<"$out" | grep -q 'keySize={1024,2048}' || fail "-M: RSA-PKCS key sizes"
grep -E '^ +RSA-PKCS,' <<<"$out" | grep -q 'hw' || fail "-M: RSA-PKCS hardware flag"
ok "-M lists the seven mechanisms"

vc_tool key-generate "@Reader A" --bits 1024 --label "tool key" --id 4142 >/dev/null
out=$(P11 --login --pin "$USER" -O)
echo "$out"
grep -q 'Private Key Object' <<<"$out" || fail "-O: private key not listed after login"
grep -q 'tool key' <<<"$out" || fail "-O: key label"
ok "--login --pin -O shows the objects"

if P11 --login --pin Bad0Pin -O >/dev/null 2>&1; then fail "wrong PIN accepted"; fi
out=$(P11 -L)
grep -q 'token flags *:.*user PIN count low' <<<"$out" || fail "count low after a wrong PIN"
P11 --login --pin "$USER" -O >/dev/null || fail "login after one wrong PIN"
out=$(P11 -L)
if grep -q 'user PIN count low' <<<"$out"; then fail "count low not cleared"; fi
ok "a wrong PIN is refused and counted"

# Token initialisation: checks the SO PIN, erases the card, leaves the user PIN unset.
if P11 --init-token --so-pin Wr0ngSo9 --label x >/dev/null 2>&1; then fail "init-token with a wrong SO PIN"; fi
grep -q 'tool key' <<<"$(vc_tool dump "@Reader A")" || fail "wrong SO PIN erased the card"
P11 --init-token --so-pin "$SO" --label x || fail "--init-token"
if grep -q 'tool key' <<<"$(vc_tool dump "@Reader A")"; then fail "card not erased"; fi
out=$(P11 -L)
grep -q 'token flags *:.*token initialized' <<<"$out" || fail "token not initialised after --init-token"
if grep -q 'token flags *:.*PIN initialized' <<<"$out"; then fail "user PIN still initialised"; fi
if P11 --login --pin "$USER" -O >/dev/null 2>&1; then fail "old user PIN still works"; fi
ok "--init-token erases the card"

P11 --init-pin --login --login-type so --so-pin "$SO" --pin Qz5678 || fail "--init-pin"
out=$(P11 -L)
grep -q 'token flags *:.*PIN initialized' <<<"$out" || fail "user PIN not initialised after --init-pin"
P11 --login --pin Qz5678 -O >/dev/null || fail "user login with the new PIN"
P11 --login --pin Qz5678 --change-pin --new-pin Qz24680 >/dev/null || fail "--change-pin"
P11 --login --pin Qz24680 -O >/dev/null || fail "user login after --change-pin"
ok "--init-pin sets the user PIN; the user logs in"

# A card that was never initialised: --init-token sets the SO PIN.
vc_tool reader-add "Reader C"
vc_tool card-create "$VC_ROOT/blank.vcard" --type 1 >/dev/null
vc_tool card-insert "Reader C" "$VC_ROOT/blank.vcard"
P11 --slot-description "Reader C" --init-token --so-pin Blank7So --label blank || fail "--init-token on a blank card"
P11 --slot-description "Reader C" --init-pin --login --login-type so --so-pin Blank7So --pin Blank7Us \
    || fail "--init-pin on the blank card"
P11 --slot-description "Reader C" --login --pin Blank7Us -O >/dev/null || fail "user login on the blank card"
ok "--init-token sets the SO PIN of a blank card"

for pin in "$USER" "$SO" Wr0ngSo9 Bad0Pin Blank7So Blank7Us Qz5678 Qz24680; do
    if grep -q -- "$pin" "$VC_LOG"; then fail "PIN $pin is in the log"; fi
done
ok "no PIN in the log"

echo "$passed passed, 0 failed"
