#!/bin/bash
# NSS with the module added by modutil: certutil lists the card's certificates (byte for
# byte as stored) and keys,
# makes a certificate request with the card key, and cmsutil signs with it; the signature
# verifies with NSS (CA trusted in the database) and with OpenSSL.
source "${VC_CLIENT_LIB:-$(dirname "$0")/lib.sh}"
vc_setup
cd "$VC_ROOT"
passed=0
ok() { passed=$((passed + 1)); echo "ok - $*"; }
plain() { OPENSSL_CONF=/dev/null openssl "$@"; }

PIN=4nss2468
TOKEN=00000000000A55A1
plain req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=NSS Client Test CA" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
vc_card nss 2 "$PIN" 12345678 --id "0000000000000000$TOKEN" >/dev/null
key_id=$(vc_tool key-generate @nss --bits 2048 --label "Signing key")
vc_tool pubkey-export @nss --id "$key_id" --out card-pub.pem
vc_tool cert-issue @nss --id "$key_id" --subject "/CN=Nora Signer/O=Vellumcrest" --ca-cert ca.pem --ca-key ca.key \
    --label "Nora" >/dev/null
plain x509 -in ca.pem -outform DER -out ca.der
vc_tool cert-add @nss --der ca.der --kind root --label "Card Root" >/dev/null

db="sql:$VC_ROOT/nssdb"
mkdir -p nssdb
echo "$PIN" > pin.txt
NSS() { timeout 60 "$@" </dev/null; }
NSS certutil -N -d "$db" --empty-password || fail "certutil -N"
NSS modutil -dbdir "$db" -add vellumcrest -libfile "$MODULE" -force >/dev/null || fail "modutil -add"
out=$(NSS modutil -dbdir "$db" -list vellumcrest 2>&1) || fail "modutil -list: $out"
grep -q "Token Name: $TOKEN" <<<"$out" || fail "modutil does not see the token: $out"
NSS certutil -A -d "$db" -n "NSS Client Test CA" -t "C,C,C" -i ca.pem || fail "certutil -A (CA)"
ok "modutil -add; the token is listed"

out=$(NSS certutil -L -h all -d "$db" -f pin.txt 2>&1) || fail "certutil -L: $out"
grep -q "^$TOKEN:Nora " <<<"$out" && grep -q "^$TOKEN:Card Root " <<<"$out" || fail "certutil -L -h all: $out"
# The certificate NSS reads from the token is the stored one.
NSS certutil -L -d "$db" -h "$TOKEN" -f pin.txt -n "$TOKEN:Card Root" -r > fromnss.der || fail "certutil -L -r"
cmp -s fromnss.der ca.der || fail "the certificate from NSS differs from the stored DER"
out=$(NSS certutil -K -h all -d "$db" -f pin.txt 2>&1) || fail "certutil -K: $out"
grep -qi "rsa *$key_id" <<<"$out" || fail "certutil -K -h all does not show the card key: $out"
ok "certutil -L and -K -h all"

out=$(NSS certutil -R -d "$db" -h "$TOKEN" -f pin.txt -k "$key_id" -s "CN=Nora Request,O=Vellumcrest" -a \
    -o request.csr 2>&1) || fail "certutil -R: $out"
plain req -in request.csr -noout -verify 2>&1 | grep -q "verify OK" || fail "the request does not verify"
[ "$(plain req -in request.csr -noout -pubkey)" = "$(cat card-pub.pem)" ] || fail "the request has another key"
grep -q "CN *= *Nora Request" <<<"$(plain req -in request.csr -noout -subject)" || fail "request subject"
ok "certutil -R makes a request signed with the card key"

printf 'Signed with NSS on %s\n' "$(date -u)" > document.txt
out=$(NSS cmsutil -S -d "$db" -f pin.txt -N "$TOKEN:Nora" -i document.txt -o document.p7m 2>&1) ||
    fail "cmsutil -S: $out"
out=$(NSS cmsutil -D -d "$db" -i document.p7m 2>&1) || fail "cmsutil -D: $out"
[ "$out" = "$(cat document.txt)" ] || fail "cmsutil -D content: $out"
out=$(NSS cmsutil -D -d "$db" -i document.p7m -h 0 2>&1) || fail "cmsutil -D -h 0: $out"
grep -q 'signer0.id="Nora Signer"; signer0.status=GoodSignature;' <<<"$out" ||
    fail "NSS does not call the signature good: $out"
plain cms -verify -binary -inform DER -in document.p7m -CAfile ca.pem -out verified.txt 2>/dev/null ||
    fail "OpenSSL does not verify the NSS signature"
cmp -s document.txt verified.txt || fail "OpenSSL verified other content"
ok "cmsutil -S signs with the card key; NSS and OpenSSL verify it"

echo "$passed passed, 0 failed"
