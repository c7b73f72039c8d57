# pkcs11-tool with the extended mechanisms: hash-and-sign, PSS over a digest, hash-and-sign
# PSS and OAEP decryption, each checked by openssl pkeyutl with the exported public key;
# pkcs11-tool --test runs them. Without the setting (or without any configuration file)
# the token offers the classic seven mechanisms only.
source "$VC_CLIENT_LIB"
vc_setup

PIN=Tq58wz
vc_card Mech 1 "$PIN" 24681357 >/dev/null
vc_tool key-generate @Mech --bits 2048 --id 4b01 --label mechkey --usage sign,decrypt >/dev/null
W="$VC_ROOT/work"
mkdir -p "$W"
p11() { pkcs11-tool --module "$MODULE" "$@"; }
vc_tool pubkey-export @Mech --id 4b01 --out "$W/pub.pem" >/dev/null

classic="MD5 SHA-1 SHA256 SHA384 SHA512 RSA-PKCS-KEY-PAIR-GEN RSA-PKCS"
mechanisms() { p11 -M 2>/dev/null | sed -n 's/^  \([A-Z0-9-]*\),.*/\1/p' | tr '\n' ' ' | sed 's/ $//'; }

# Classic: no key, and no configuration file at all.
[ "$(mechanisms)" = "$classic" ] || fail "classic list: $(mechanisms)"
[ "$(VELLUMCREST_CONFIG="$VC_ROOT/none.conf" mechanisms)" = "$classic" ] || fail "list without a configuration file"
printf 'document to sign\n' > "$W/msg"
if p11 --login --pin "$PIN" --sign -m SHA256-RSA-PKCS --id 4b01 -i "$W/msg" -o "$W/none" >/dev/null 2>&1; then
    fail "SHA256-RSA-PKCS signed without ExtendedMechanisms"
fi
echo "classic list: ok"

echo "ExtendedMechanisms=1" >> "$VELLUMCREST_CONFIG"
[ "$(mechanisms | wc -w)" = 20 ] || fail "extended list: $(mechanisms)"
openssl dgst -sha256 -binary "$W/msg" > "$W/digest"
pss_verify() {  # signature file
    openssl pkeyutl -verify -pubin -inkey "$W/pub.pem" -in "$W/digest" -sigfile "$1" -pkeyopt digest:sha256 \
        -pkeyopt rsa_padding_mode:pss -pkeyopt rsa_pss_saltlen:32 >/dev/null
}
sign() {  # output, pkcs11-tool options...
    local out=$1; shift
    p11 --login --pin "$PIN" --sign --id 4b01 -o "$out" "$@" >/dev/null 2>"$W/err" ||
        fail "pkcs11-tool --sign $*: $(cat "$W/err")"
    [ "$(stat -c %s "$out")" = 256 ] || fail "signature size of $*"
}

sign "$W/sig1" -m SHA256-RSA-PKCS -i "$W/msg"
openssl pkeyutl -verify -pubin -inkey "$W/pub.pem" -in "$W/digest" -sigfile "$W/sig1" -pkeyopt digest:sha256 \
    >/dev/null || fail "SHA256-RSA-PKCS signature rejected by openssl"
echo "SHA256-RSA-PKCS: ok"

sign "$W/sig2" -m RSA-PKCS-PSS --hash-algorithm SHA256 --mgf MGF1-SHA256 -i "$W/digest"
pss_verify "$W/sig2" || fail "RSA-PKCS-PSS signature rejected by openssl"
echo "RSA-PKCS-PSS: ok"

sign "$W/sig3" -m SHA256-RSA-PKCS-PSS -i "$W/msg"
pss_verify "$W/sig3" || fail "SHA256-RSA-PKCS-PSS signature rejected by openssl"
# Over other data the same signature must not verify.
printf 'other\n' | openssl dgst -sha256 -binary > "$W/digest"
if pss_verify "$W/sig3" 2>/dev/null; then fail "a PSS signature verified over other data"; fi
echo "SHA256-RSA-PKCS-PSS: ok"

printf 'session key for the card only' > "$W/plain"
openssl pkeyutl -encrypt -pubin -inkey "$W/pub.pem" -in "$W/plain" -out "$W/cipher" -pkeyopt rsa_padding_mode:oaep \
    -pkeyopt rsa_oaep_md:sha256 -pkeyopt rsa_mgf1_md:sha256 || fail "openssl pkeyutl -encrypt"
p11 --login --pin "$PIN" --decrypt -m RSA-PKCS-OAEP --hash-algorithm SHA256 --id 4b01 -i "$W/cipher" -o "$W/out" \
    >/dev/null 2>"$W/err" || fail "pkcs11-tool --decrypt -m RSA-PKCS-OAEP: $(cat "$W/err")"
cmp -s "$W/plain" "$W/out" || fail "OAEP: decrypted text differs"
echo "RSA-PKCS-OAEP: ok"

# The self-test runs the new mechanisms. Its remaining complaints are the module's classic
# rules (a too small buffer ends C_Sign and C_Digest; no random numbers), nothing else.
p11 --login --pin "$PIN" --test >"$W/test.out" 2>&1 || true
for line in "SHA256-RSA-PKCS: OK" "SHA1-RSA-PKCS: OK" "RSA-PKCS-OAEP: mgf not set"; do
    grep -q -- "$line" "$W/test.out" || fail "pkcs11-tool --test: no '$line'$(printf '\n')$(cat "$W/test.out")"
done
grep -q "^OAEP parameters: hashAlg=SHA256" "$W/test.out" || fail "pkcs11-tool --test did not run OAEP"
unexpected=$(grep "ERR:" "$W/test.out" | grep -v -e "C_GenerateRandom failed" -e "NULL output buf" \
    -e "ended prematurely" || true)
[ -z "$unexpected" ] || fail "pkcs11-tool --test: $unexpected"
echo "pkcs11-tool --test: ok"

if grep -q -- "$PIN" "$VC_LOG"; then fail "PIN found in the log"; fi
if grep -q "session key for the card" "$VC_LOG"; then fail "plaintext found in the log"; fi
echo "1 passed, 0 failed"
