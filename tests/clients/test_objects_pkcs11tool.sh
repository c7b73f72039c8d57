# pkcs11-tool against a card with a key pair, its client certificate, a root certificate
# and a data file: the object listing with and without login, and objects read back.
source "$VC_CLIENT_LIB"
vc_setup
cd "$VC_ROOT"

openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 -subj "/CN=Client Test CA" \
    -addext basicConstraints=critical,CA:TRUE 2>/dev/null
openssl x509 -in ca.pem -outform DER -out ca.der
head -c 200 /dev/urandom > data.bin
vc_card objcli 1 1234 12345678
vc_tool key-generate @objcli --bits 2048 --label "Sign key" --id a1a2 >/dev/null
vc_tool cert-issue @objcli --id a1a2 --subject "/CN=Alice Client" --ca-cert ca.pem --ca-key ca.key \
    --label "Alice" >/dev/null
vc_tool cert-add @objcli --der ca.der --kind root --label "Client Test CA" --id 0f0f >/dev/null
vc_tool data-add @objcli --file data.bin --label notes >/dev/null

p11() { timeout 60 pkcs11-tool --module "$MODULE" "$@" </dev/null; }
count() { grep -c "$1" <<<"$2" || true; }

public=$(p11 -O)
[ "$(count '^Certificate Object' "$public")" = 2 ] || fail "two certificates expected: $public"
[ "$(count '^Public Key Object' "$public")" = 1 ] || fail "one public key expected: $public"
[ "$(count '^Data object' "$public")" = 1 ] || fail "one data object expected: $public"
[ "$(count '^Private Key Object' "$public")" = 0 ] || fail "private key listed without login: $public"
grep -q 'label: *Client Test CA' <<<"$public" || fail "root label missing: $public"
grep -q 'ID: *a1a2' <<<"$public" || fail "key ID missing: $public"

private=$(p11 --login --pin 1234 -O)
[ "$(count '^Private Key Object' "$private")" = 1 ] || fail "private key expected after login: $private"
[ "$(count '^Certificate Object' "$private")" = 2 ] || fail "certificates after login: $private"
grep -A6 '^Private Key Object' <<<"$private" | grep -q 'ID: *a1a2' || fail "private key ID: $private"

# Objects read back byte for byte.
p11 --read-object --type cert --id 0f0f --output-file root.der >/dev/null 2>&1 || fail "read root certificate"
cmp -s root.der ca.der || fail "root certificate differs from the stored DER"
p11 --read-object --type data --label notes --output-file data.out >/dev/null 2>&1 || fail "read data object"
cmp -s data.out data.bin || fail "data object differs"

# The client certificate certifies the card's public key.
p11 --read-object --type cert --id a1a2 --output-file client.der >/dev/null 2>&1 || fail "read client certificate"
openssl x509 -inform DER -in client.der -noout -subject | grep -q 'Alice Client' || fail "client subject"
openssl verify -CAfile ca.pem <(openssl x509 -inform DER -in client.der) >/dev/null || fail "client not issued by CA"
p11 --read-object --type pubkey --id a1a2 --output-file pub.der >/dev/null 2>&1 || fail "read public key"
[ "$(openssl rsa -pubin -inform DER -in pub.der -noout -modulus)" = \
  "$(openssl x509 -inform DER -in client.der -noout -modulus)" ] || fail "public key and certificate differ"

grep -q '    pridavam objekty do seznamu' "$VC_LOG" || fail "object loading not logged"
echo "OK"
