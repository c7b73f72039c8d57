# p11tool (GnuTLS) lists the certificates of a card.
source "$VC_CLIENT_LIB"
vc_setup
cd "$VC_ROOT"

openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 -subj "/CN=P11tool Test CA" \
    -addext basicConstraints=critical,CA:TRUE 2>/dev/null
openssl x509 -in ca.pem -outform DER -out ca.der
vc_card gnutls 2 1234 12345678
vc_tool key-generate @gnutls --bits 1024 --label "Key" --id b1b2 >/dev/null
vc_tool cert-issue @gnutls --id b1b2 --subject "/CN=Bob Client" --ca-cert ca.pem --ca-key ca.key --label "Bob" >/dev/null
vc_tool cert-add @gnutls --der ca.der --kind root --label "P11tool Test CA" >/dev/null

out=$(timeout 60 p11tool --provider "$MODULE" --list-all-certs </dev/null 2>&1) || fail "p11tool failed: $out"
grep -q 'Label: P11tool Test CA' <<<"$out" || fail "root certificate missing: $out"
grep -q 'Label: Bob' <<<"$out" || fail "client certificate missing: $out"
[ "$(grep -c 'Type: X.509 Certificate' <<<"$out")" = 2 ] || fail "two certificates expected: $out"
grep -q 'ID: b1:b2' <<<"$out" || fail "client certificate ID missing: $out"

# The certificate exported by URL is the stored one.
url=$(grep -B3 'Label: P11tool Test CA' <<<"$out" | sed -n 's/^[^:]*URL: //p' | head -1)
[ -n "$url" ] || fail "no URL for the root certificate: $out"
timeout 60 p11tool --provider "$MODULE" --export "$url" --outder --outfile exported.der </dev/null >/dev/null 2>&1 ||
    fail "export of $url"
cmp -s exported.der ca.der || fail "exported certificate differs from the stored DER"
echo "OK"
