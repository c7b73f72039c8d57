# pkcs11-tool against the module: RSA-PKCS signature over a DigestInfo checked by
# openssl pkeyutl with the exported public key, decryption of an openssl-encrypted
# message, and digests compared with the coreutils sums.
source "$VC_CLIENT_LIB"
vc_setup

PIN=Tq58wz
vc_card Tool 1 "$PIN" 24681357 >/dev/null
vc_tool key-generate @Tool --bits 2048 --id 4b01 --label toolkey --usage sign,decrypt >/dev/null
W="$VC_ROOT/work"
mkdir -p "$W"
p11() { pkcs11-tool --module "$MODULE" "$@"; }

# Signature over a SHA-256 DigestInfo.
printf 'document to sign\n' > "$W/msg"
{ printf '\x30\x31\x30\x0d\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01\x05\x00\x04\x20'
  openssl dgst -sha256 -binary "$W/msg"; } > "$W/info.der"
p11 --login --pin "$PIN" --sign -m RSA-PKCS --id 4b01 -i "$W/info.der" -o "$W/sig.bin" >/dev/null 2>"$W/err" ||
    fail "pkcs11-tool --sign: $(cat "$W/err")"
[ "$(stat -c %s "$W/sig.bin")" = 256 ] || fail "signature size $(stat -c %s "$W/sig.bin")"
p11 --read-object --type pubkey --id 4b01 -o "$W/pub.der" >/dev/null 2>"$W/err" ||
    fail "pkcs11-tool --read-object: $(cat "$W/err")"
openssl pkeyutl -verify -pubin -keyform DER -inkey "$W/pub.der" -in "$W/info.der" -sigfile "$W/sig.bin" \
    >/dev/null || fail "openssl pkeyutl -verify rejected the signature"
# A changed DigestInfo must not verify.
printf 'other\n' | openssl dgst -sha256 -binary > "$W/other"
{ head -c 19 "$W/info.der"; cat "$W/other"; } > "$W/info2.der"
if openssl pkeyutl -verify -pubin -keyform DER -inkey "$W/pub.der" -in "$W/info2.der" -sigfile "$W/sig.bin" \
    >/dev/null 2>&1; then fail "a signature verified over other data"; fi
echo "sign: ok"

# Decryption on the card of a message encrypted by openssl.
printf 'secret for the card only' > "$W/plain"
openssl pkeyutl -encrypt -pubin -keyform DER -inkey "$W/pub.der" -in "$W/plain" -out "$W/cipher" ||
    fail "openssl pkeyutl -encrypt"
p11 --login --pin "$PIN" --decrypt -m RSA-PKCS --id 4b01 -i "$W/cipher" -o "$W/out" >/dev/null 2>"$W/err" ||
    fail "pkcs11-tool --decrypt: $(cat "$W/err")"
cmp -s "$W/plain" "$W/out" || fail "decrypted text differs"
echo "decrypt: ok"

# Digests.
head -c 100000 /dev/urandom > "$W/blob"
check_hash() {
    local mech=$1 sum=$2
    p11 --hash -m "$mech" -i "$W/blob" -o "$W/h.$mech" >/dev/null 2>"$W/err" ||
        fail "pkcs11-tool --hash -m $mech: $(cat "$W/err")"
    local got want
    got=$(od -An -tx1 -v "$W/h.$mech" | tr -d ' \n')
    want=$($sum "$W/blob" | cut -d' ' -f1)
    [ "$got" = "$want" ] || fail "$mech: $got != $want"
    echo "hash $mech: ok"
}
check_hash MD5 md5sum
check_hash SHA-1 sha1sum
check_hash SHA224 sha224sum
check_hash SHA256 sha256sum
check_hash SHA384 sha384sum
check_hash SHA512 sha512sum

# The PIN never reaches the log.
grep -q 'Pkcs11Provider::C_Sign() => CKR_OK' "$VC_LOG" || fail "no sign result in the log"
if grep -q -- "$PIN" "$VC_LOG"; then fail "PIN found in the log"; fi
echo "1 passed, 0 failed"
