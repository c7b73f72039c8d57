# Clients over the pcsc backend: a private pcscd with vpcd readers, a card served by the card
# emulator. pcsc_scan and opensc-tool see the card, pkcs11-tool lists it as our token, and
# pkcs11-tool, p11tool/certtool (GnuTLS) and OpenSSL's pkcs11 engine sign with its key; every
# signature is checked by openssl with the key's public half exported from the card image.
# Runs when VC_PCSC=1 (the pcsc CI stage); otherwise, or without pcscd, vpcd or the emulator,
# it exits 77 (skipped) and says why.
source "$VC_CLIENT_LIB"
HARNESS="$(dirname "$VC_CLIENT_LIB")/../../scripts/pcsc-env.sh"
skip() { echo "pcsc client checks skipped: $*"; exit 77; }
[ "${VC_PCSC:-}" = 1 ] || skip "VC_PCSC=1 not set (the pcsc CI stage sets it)"
why=$(bash "$HARNESS" check) || skip "$why"

vc_setup
sed -i '/^\[Core\]$/a ReaderBackend=pcsc' "$VELLUMCREST_CONFIG"
PCSC="$VC_ROOT/pcsc"
trap 'bash "$HARNESS" stop "$PCSC"; [ -n "${VC_KEEP_TMP:-}" ] || rm -rf "$VC_ROOT"' EXIT
bash "$HARNESS" start "$PCSC" --owner $$ >/dev/null
READER=$(sed -n '1s/^[0-9]*\t//p' "$PCSC/readers")
W="$VC_ROOT/work"
mkdir -p "$W"

PIN=Pc5c42
CARD_ID=00000000000000000000PCSC00000001
LABEL=${CARD_ID:16}
IMAGE="$VC_ROOT/pcsc.vcard"
vc_tool card-create "$IMAGE" --type 2 --id "$CARD_ID" --user-pin "$PIN" --so-pin 86421357 >/dev/null
vc_tool key-generate "$IMAGE" --bits 2048 --id 5c01 --label pcsckey --usage sign,decrypt >/dev/null
vc_tool pubkey-export "$IMAGE" --id 5c01 --out "$W/pub.pem" >/dev/null
bash "$HARNESS" card "$PCSC" 0 "$IMAGE"
plain() { OPENSSL_CONF=/dev/null openssl "$@"; }

# ---- PC/SC tools see the card in the first reader, and nothing in the second.
out=$(timeout 10 pcsc_scan -n -t 1 2>&1 </dev/null || true)
grep -A3 -F "Reader 0: $READER" <<<"$out" | grep -q "Card state: Card inserted" || fail "pcsc_scan: $out"
out=$(timeout 10 opensc-tool -l 2>&1) || fail "opensc-tool -l: $out"
grep -E -q "^0 +Yes +$READER\$" <<<"$out" || fail "opensc-tool -l shows no card in $READER: $out"
grep -E -q "^1 +No " <<<"$out" || fail "opensc-tool -l shows a card in the second reader: $out"
echo "pcsc_scan, opensc-tool -l: ok"

# ---- pkcs11-tool lists the card as our token in the reader's slot.
out=$(pkcs11-tool --module "$MODULE" -L 2>&1) || fail "pkcs11-tool -L: $out"
slot=$(grep -F -A3 "$READER" <<<"$out")
grep -q "token label *: $LABEL" <<<"$slot" || fail "pkcs11-tool -L does not list token $LABEL in $READER: $out"
[ "$(grep -c "token label" <<<"$out")" = 1 ] || fail "more than one token: $out"
echo "pkcs11-tool -L: ok"

# ---- pkcs11-tool signs a SHA-256 DigestInfo.
printf 'signed over pcsc\n' > "$W/msg"
{ printf '\x30\x31\x30\x0d\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01\x05\x00\x04\x20'
  openssl dgst -sha256 -binary "$W/msg"; } > "$W/info.der"
pkcs11-tool --module "$MODULE" --token-label "$LABEL" --login --pin "$PIN" --sign -m RSA-PKCS --id 5c01 \
    -i "$W/info.der" -o "$W/p11.sig" >/dev/null 2>"$W/err" || fail "pkcs11-tool --sign: $(cat "$W/err")"
plain dgst -sha256 -verify "$W/pub.pem" -signature "$W/p11.sig" "$W/msg" >/dev/null ||
    fail "the pkcs11-tool signature does not verify"
echo "pkcs11-tool --sign: ok"

# ---- GnuTLS: p11tool's test signature, and certtool signing a certificate with the card key.
URI="pkcs11:token=$LABEL;id=%5c%01;type=private"
out=$(GNUTLS_PIN=$PIN timeout 60 p11tool --provider "$MODULE" --login --test-sign "$URI" 2>&1 </dev/null) ||
    fail "p11tool --test-sign: $out"
grep -q "Verifying against public key in the token... ok" <<<"$out" || fail "p11tool --test-sign: $out"
printf 'cn = "PCSC Self"\nexpiration_days = 2\nsigning_key\n' > "$W/cert.tmpl"
out=$(GNUTLS_PIN=$PIN timeout 60 certtool --provider "$MODULE" --generate-self-signed --load-privkey "$URI" \
    --template "$W/cert.tmpl" --outfile "$W/self.pem" 2>&1 </dev/null) || fail "certtool: $out"
plain x509 -in "$W/self.pem" -noout -pubkey > "$W/cert-pub.pem"
cmp -s <(plain pkey -pubin -in "$W/cert-pub.pem" -outform DER) <(plain pkey -pubin -in "$W/pub.pem" -outform DER) ||
    fail "the certificate holds another key"
plain verify -check_ss_sig -CAfile "$W/self.pem" "$W/self.pem" >/dev/null ||
    fail "the certificate signed by certtool with the card key does not verify"
echo "p11tool --test-sign, certtool: ok"

# ---- OpenSSL's pkcs11 engine.
vc_engine_conf "$W/openssl.cnf"
head -c 5000 /dev/urandom > "$W/file"
OPENSSL_CONF="$W/openssl.cnf" openssl dgst -sha256 -engine pkcs11 -keyform engine \
    -sign "pkcs11:token=$LABEL;object=pcsckey;type=private;pin-value=$PIN" -out "$W/engine.sig" "$W/file" \
    >"$W/out" 2>&1 || fail "openssl -engine pkcs11 -sign: $(cat "$W/out")"
plain dgst -sha256 -verify "$W/pub.pem" -signature "$W/engine.sig" "$W/file" >/dev/null ||
    fail "the engine's signature does not verify"
echo "openssl engine sign: ok"

grep -q 'Pkcs11Provider::C_Sign() => CKR_OK' "$VC_LOG" || fail "the module did not sign"
if grep -q -- "$PIN" "$VC_LOG"; then fail "PIN found in the log"; fi
echo "1 passed, 0 failed"
