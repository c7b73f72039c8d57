#!/bin/bash
# OpenSSL with the pkcs11 engine and a key on the card: a CSR and a self-signed certificate
# that verify with the card's public key, a CMS signature that verifies against a test CA,
# and TLS 1.2 client authentication against `openssl s_server -Verify 1` on 127.0.0.1.
source "${VC_CLIENT_LIB:-$(dirname "$0")/lib.sh}"
vc_setup
cd "$VC_ROOT"
passed=0
ok() { passed=$((passed + 1)); echo "ok - $*"; }

PIN=Tl5pin42
CARD_ID=0000000000000000C11E47000000AB12
vc_card "TLS Reader" 3 "$PIN" 24682468 --id "$CARD_ID" >/dev/null
vc_tool key-generate "@TLS Reader" --bits 2048 --id 51 --label "TLS key" >/dev/null
vc_tool pubkey-export "@TLS Reader" --id 51 --out card-pub.pem
KEY="pkcs11:token=C11E47000000AB12;object=TLS%20key;type=private;pin-value=$PIN"

vc_engine_conf openssl.cnf "[req]" "distinguished_name = dn" "[dn]"
export OPENSSL_CONF="$VC_ROOT/openssl.cnf"
unset PKCS11_MODULE_PATH
plain() { OPENSSL_CONF=/dev/null openssl "$@"; }
pubkey_of() { plain "$1" -in "$2" -noout -pubkey; }

# Test CA and a server key, made in software.
plain req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=Client Test CA" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign 2>/dev/null
plain req -x509 -newkey rsa:2048 -nodes -keyout server.key -out server.pem -days 2 -subj "/CN=localhost" \
    -CA ca.pem -CAkey ca.key 2>/dev/null

# CSR signed on the card.
out=$(openssl req -new -engine pkcs11 -keyform engine -key "$KEY" -subj "/CN=Card User/O=Vellumcrest" \
    -out user.csr 2>&1) || fail "openssl req -new with the card key: $out"
plain req -in user.csr -noout -verify 2>&1 | grep -q "verify OK" || fail "the CSR signature does not verify"
[ "$(pubkey_of req user.csr)" = "$(cat card-pub.pem)" ] || fail "the CSR carries another public key"
grep -q 'Pkcs11Provider::C_Sign() => CKR_OK' "$VC_LOG" || fail "the card did not sign the CSR"
ok "CSR signed with the card key"

# Self-signed certificate.
# (the key named by its ID this time)
out=$(openssl req -x509 -new -engine pkcs11 -keyform engine -key "${KEY/object=TLS%20key/id=%51}" \
    -subj "/CN=Card Self" -days 1 \
    -out self.pem 2>&1) || fail "openssl req -x509 with the card key: $out"
plain verify -CAfile self.pem self.pem | grep -q ": OK" || fail "the self-signed certificate does not verify"
[ "$(pubkey_of x509 self.pem)" = "$(cat card-pub.pem)" ] || fail "the self-signed certificate has another key"
ok "self-signed certificate"

# Certificate from the test CA; CMS signature with the card key.
plain x509 -req -in user.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 1 -out user.pem \
    -extfile <(printf 'keyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=clientAuth,emailProtection\n') \
    2>/dev/null || fail "the CA did not issue the certificate"
printf 'Contract of %s\n' "$(date -u)" > document.txt
out=$(openssl cms -sign -engine pkcs11 -keyform engine -inkey "$KEY" -signer user.pem -in document.txt \
    -binary -outform DER -out document.p7s 2>&1) || fail "openssl cms -sign: $out"
plain cms -verify -binary -inform DER -in document.p7s -content document.txt -CAfile ca.pem -out verified.txt \
    2>/dev/null || fail "the CMS signature does not verify"
cmp -s document.txt verified.txt || fail "the signed content differs"
plain cms -cmsout -print -inform DER -in document.p7s | grep -q "CN=Card User" || fail "the signer is not named"
printf 'Contract of nobody\n' > other.txt
if plain cms -verify -binary -inform DER -in document.p7s -content other.txt -CAfile ca.pem -out /dev/null \
    >/dev/null 2>&1; then fail "the signature verified over other content"; fi
if plain cms -verify -binary -inform DER -in document.p7s -content document.txt -CAfile self.pem -out /dev/null \
    >/dev/null 2>&1; then fail "the signature verified against another CA"; fi
ok "CMS signature made on the card verifies against the CA"

# TLS 1.2 client authentication with the card key.
port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
OPENSSL_CONF=/dev/null openssl s_server -accept "127.0.0.1:$port" -cert server.pem -key server.key -CAfile ca.pem -Verify 1 -tls1_2 \
    -client_sigalgs RSA+SHA256 -www >server.log 2>&1 &
server=$!
stop_server() { kill $server 2>/dev/null || true; wait $server 2>/dev/null || true; [ -n "${VC_KEEP_TMP:-}" ] || rm -rf "$VC_ROOT"; }
trap stop_server EXIT
for _ in $(seq 50); do (: </dev/tcp/127.0.0.1/"$port") 2>/dev/null && break; sleep 0.1; done
response=$(printf 'GET / HTTP/1.0\r\n\r\n' | timeout 60 openssl s_client -engine pkcs11 -keyform engine \
    -key "$KEY" -cert user.pem -CAfile ca.pem -connect "127.0.0.1:$port" -tls1_2 -quiet 2>client.log) ||
    fail "TLS client authentication failed: $(cat client.log server.log)"
grep -q "Client certificate" <<<"$response" || fail "the server saw no client certificate: $response"
grep -q "Protocol *: TLSv1.2" <<<"$response" || fail "not TLS 1.2: $response"
sed -n '/Client certificate/,/END CERTIFICATE/p' <<<"$response" | sed 1d >seen.pem
cmp -s <(plain x509 -in seen.pem -outform DER) <(plain x509 -in user.pem -outform DER) ||
    fail "the server saw another certificate"
# Without the card key the server refuses the handshake.
if printf 'GET / HTTP/1.0\r\n\r\n' | timeout 60 openssl s_client -CAfile ca.pem -connect "127.0.0.1:$port" -tls1_2 \
    -quiet 2>/dev/null | grep -q "Client certificate"; then
    fail "the server accepted a client without a certificate"
fi
ok "TLS 1.2 client authentication with the card key"

echo "$passed passed, 0 failed"
