# Key generation and deletion with pkcs11-tool and p11tool, each call a new process that
# reads the card again: a generated pair is listed, signs (verified by OpenSSL) and is
# local; deleting a private key leaves the public one; the last object takes its container;
# on a type-4 card the kind of a signature key follows SignatureKeyType or the dialog's
# configured answer, and the e-signature places run out.
source "$VC_CLIENT_LIB"
vc_setup
cd "$VC_ROOT"

p11() { timeout 120 pkcs11-tool --module "$MODULE" "$@" </dev/null 2>&1; }
containers() { vc_tool dump "@$1" | grep -c '^container ' || true; }

vc_card gen 2 1234 12345678
out=$(p11 --keypairgen --key-type rsa:2048 --login --pin 1234 --id 01 --label k) || fail "keypairgen: $out"
grep -q 'Key pair generated' <<<"$out" || fail "no key pair: $out"

# A new process: the pair is on the card, made there, and signs.
out=$(p11 -O --login --pin 1234) || fail "listing: $out"
[ "$(grep -c 'label: *k$' <<<"$out")" = 2 ] || fail "pair not listed: $out"
grep -q 'Access:.*never extractable, local' <<<"$out" || fail "private key not local: $out"
printf 'generated on the card' > data
openssl dgst -sha256 -binary data > digest
printf '\x30\x31\x30\x0d\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01\x05\x00\x04\x20' | cat - digest > digestinfo
p11 --login --pin 1234 --sign -m RSA-PKCS --id 01 -i digestinfo -o signature >/dev/null || fail "sign"
p11 --read-object --type pubkey --id 01 -o pub.der >/dev/null || fail "public key export"
openssl pkeyutl -verify -pubin -keyform DER -inkey pub.der -in digestinfo -sigfile signature >/dev/null ||
    fail "signature does not verify"

# p11tool (GnuTLS) generates into the same token.
token=$(p11 -L | sed -n 's/^ *token label *: *//p' | head -1)
[ -n "$token" ] || fail "no token label"
out=$(GNUTLS_PIN=1234 timeout 120 p11tool --provider "$MODULE" --generate-privkey rsa --bits 2048 --label g \
    --login "pkcs11:token=$token" </dev/null 2>&1) || fail "p11tool generate: $out"
grep -q 'BEGIN PUBLIC KEY' <<<"$out" || fail "p11tool printed no public key: $out"
out=$(GNUTLS_PIN=1234 timeout 60 p11tool --provider "$MODULE" --login --list-privkeys "pkcs11:token=$token" \
    </dev/null 2>&1) || fail "p11tool list: $out"
grep -q 'Label: g' <<<"$out" || fail "p11tool key not listed: $out"
[ "$(containers gen)" = 2 ] || fail "two containers expected"

# Deleting the private key leaves the public key and the container; the public key then
# takes the container with it.
p11 --login --pin 1234 --delete-object --type privkey --id 01 >/dev/null || fail "delete private key"
out=$(p11 -O --login --pin 1234)
grep -q 'Public Key Object' <<<"$out" && grep -q 'ID: *01' <<<"$out" || fail "public key gone too: $out"
[ "$(grep -c 'Private Key Object' <<<"$out")" = 1 ] || fail "private key still there: $out"
[ "$(containers gen)" = 2 ] || fail "container deleted with the private key"
p11 --login --pin 1234 --delete-object --type pubkey --id 01 >/dev/null || fail "delete public key"
[ "$(containers gen)" = 1 ] || fail "empty container left: $(vc_tool dump @gen)"
grep -q 'C_DestroyObject(): prazdny kontejner smazan' "$VC_LOG" || fail "no container deletion line"

# Type-4 cards, one configuration per run (the module reads it when it is loaded).
config() {
    sed '/^\[Pkcs11\]/,$d' "$VC_ROOT/vellumcrest.conf" > "$VC_ROOT/$1.conf"
    printf '%s\n' "$2" "[Pkcs11]" "LogLevelPkcs11=3" "LogLevelCore=3" "$3" >> "$VC_ROOT/$1.conf"
    echo "$VC_ROOT/$1.conf"
}
sign_key() { VELLUMCREST_CONFIG=$1 p11 --keypairgen --key-type rsa:1024 --usage-sign --login --pin 1234 --slot "$2"; }
slot_of() { p11 -L | sed -n "s/^Slot [0-9]* (\(0x[0-9a-f]*\)): $1\$/\1/p"; }

vc_card t4 4 1234 12345678 --esign-places 1
t4=$(slot_of t4)
esign=$(config esign "" "SignatureKeyType=6")
: > "$VC_LOG"
out=$(sign_key "$esign" "$t4") || fail "e-signature key: $out"
vc_tool dump @t4 | grep -q 'private key .*usage=sign,esign' || fail "not an e-signature key: $(vc_tool dump @t4)"
grep -q 'CspSelectKeyTypeUI' "$VC_LOG" && fail "key-type dialog shown with SignatureKeyType 6"
out=$(sign_key "$esign" "$t4") && fail "second e-signature key on one place: $out"
grep -q 'CKR_DEVICE_MEMORY' <<<"$out" || fail "places run out, not CKR_DEVICE_MEMORY: $out"
grep -q 'CspNoFreeEsignSlotUI(): no free place' "$VC_LOG" || fail "no no-free-place dialog"
[ "$(containers t4)" = 1 ] || fail "container of the refused key left on the card"
quiet=$(config quiet "" "$(printf 'SignatureKeyType=6\nEsignErrorDialog=0')")
: > "$VC_LOG"
out=$(sign_key "$quiet" "$t4") && fail "e-signature key without a place: $out"
grep -q 'CKR_DEVICE_MEMORY' <<<"$out" || fail "not CKR_DEVICE_MEMORY: $out"
grep -q 'CspNoFreeEsignSlotUI' "$VC_LOG" && fail "no-free-place dialog shown with EsignErrorDialog=0"

app=$(config app "" "SignatureKeyType=2")
sign_key "$app" "$t4" >/dev/null || fail "application key"
[ "$(vc_tool dump @t4 | grep -c 'private key .*usage=sign,app')" = 1 ] || fail "no application key: $(vc_tool dump @t4)"

ask=$(config ask "CspKeyType=6" "SignatureKeyType=0")
vc_card t4b 4 1234 12345678 --esign-places 1
t4b=$(slot_of t4b)
: > "$VC_LOG"
sign_key "$ask" "$t4b" >/dev/null || fail "key chosen in the dialog"
grep -q 'CspSelectKeyTypeUI(): key type 6 selected (answer from CspKeyType)' "$VC_LOG" || fail "dialog not asked"
vc_tool dump @t4b | grep -q 'private key .*usage=sign,esign' || fail "dialog answer not used"
cancel=$(config cancel "" "SignatureKeyType=0")
out=$(sign_key "$cancel" "$t4b") && fail "generated without an answer: $out"
grep -q 'CKR_FUNCTION_CANCELED' <<<"$out" || fail "no answer is not CKR_FUNCTION_CANCELED: $out"
echo "OK"
