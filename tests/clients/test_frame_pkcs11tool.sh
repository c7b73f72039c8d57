#!/usr/bin/env bash
# pkcs11-tool loads the module and shows its library information.
source "${VC_CLIENT_LIB:-$(dirname "$0")/lib.sh}"
vc_setup
vc_card "Frame Reader" 1 1234 12345678

out=$(pkcs11-tool --module "$MODULE" -I 2>&1) || fail "pkcs11-tool -I failed: $out"
echo "$out"
grep -qE '^Cryptoki version 2\.20$' <<<"$out" || fail "cryptoki version"
grep -qE '^Manufacturer +Orvo$' <<<"$out" || fail "manufacturer"
grep -qE '^Library +Orvo Vellumcrest PKCS#11 Library \(ver 4\.0\)$' <<<"$out" || fail "library description/version"

# The call went through C_Initialize, C_GetInfo and C_Finalize, each logged.
for line in "Pkcs11Provider::C_Initialize() => CKR_OK" "Pkcs11Provider::C_GetInfo() => CKR_OK" \
            "Pkcs11Provider::C_Finalize() => CKR_OK"; do
    grep -qF "Pkcs11: $line" "$VC_LOG" || fail "log lacks: $line"
done
grep -qF "Pkcs11: Process: $(readlink -f "$(command -v pkcs11-tool)")" "$VC_LOG" || fail "process line"
echo OK
