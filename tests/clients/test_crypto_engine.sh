# OpenSSL's pkcs11 engine signs a file with a key on the virtual card; the signature is
# checked by openssl with the key's public half. The engine gets the module through a
# private openssl configuration, so the test does not depend on the system's one.
source "$VC_CLIENT_LIB"
vc_setup

PIN=Ng62xr
vc_card Engine 1 "$PIN" 97531246 >/dev/null
vc_tool key-generate @Engine --bits 2048 --id 77e1 --label enginekey --usage sign,decrypt >/dev/null
W="$VC_ROOT/work"
mkdir -p "$W"
vc_tool pubkey-export @Engine --id 77e1 --out "$W/pub.pem" >/dev/null

vc_engine_conf "$W/openssl.cnf"
export OPENSSL_CONF="$W/openssl.cnf"
unset PKCS11_MODULE_PATH

head -c 20000 /dev/urandom > "$W/file"
for uri in "pkcs11:object=enginekey;type=private;pin-value=$PIN" "pkcs11:id=%77%e1;type=private;pin-value=$PIN"; do
    rm -f "$W/file.sig"
    openssl dgst -sha256 -engine pkcs11 -keyform engine -sign "$uri" -out "$W/file.sig" "$W/file" \
        >"$W/out" 2>&1 || fail "openssl dgst -engine pkcs11 -sign: $(cat "$W/out")"
    [ "$(stat -c %s "$W/file.sig")" = 256 ] || fail "signature size"
    OPENSSL_CONF=/dev/null openssl dgst -sha256 -verify "$W/pub.pem" -signature "$W/file.sig" "$W/file" \
        >/dev/null || fail "signature made through the engine does not verify"
done
# Tampered input does not verify.
printf 'x' >> "$W/file"
if OPENSSL_CONF=/dev/null openssl dgst -sha256 -verify "$W/pub.pem" -signature "$W/file.sig" "$W/file" \
    >/dev/null 2>&1; then fail "signature verified over changed data"; fi
grep -q 'Pkcs11Provider::C_Sign() => CKR_OK' "$VC_LOG" || fail "the module did not sign"
echo "engine sign: ok"
echo "1 passed, 0 failed"
