#!/bin/bash
# GnuTLS and p11-kit with the module of the build: p11tool lists, exports, test-signs and
# generates; a user's p11-kit module file makes the module visible to `p11-kit list-modules`,
# to pkcs11-tool through p11-kit-proxy.so and to gnutls-cli, which authenticates to
# `openssl s_server -Verify 1` on 127.0.0.1 with TLS 1.2 and the card's key and certificate.
# p11-kit reads a user's module files only for users other than root, so as root the test
# runs itself again as nobody.
source "${VC_CLIENT_LIB:-$(dirname "$0")/lib.sh}"
vc_setup
if [ "$(id -u)" = 0 ]; then
    # The build and the checkout may lie below a directory that nobody cannot enter: the
    # module, the tool and the scripts are copied to a directory of nobody's own.
    copy=$(mktemp -d /tmp/vc-gnutls-XXXXXX)
    trap 'rm -rf "$copy"; [ -n "${VC_KEEP_TMP:-}" ] || rm -rf "$VC_ROOT"' EXIT
    cp "$MODULE" "$VC_TOOL_PATH" "$VC_CLIENT_LIB" "${BASH_SOURCE[0]}" "$copy/"
    mkdir "$copy/tmp"
    chown -R nobody:nogroup "$copy"
    chmod 755 "$copy"
    status=0
    setpriv --reuid=nobody --regid=nogroup --clear-groups env VC_TEST_TMP="$copy/tmp" HOME="$copy/tmp" \
        VC_MODULE_PATH="$copy/$(basename "$MODULE")" VC_TOOL_PATH="$copy/$(basename "$VC_TOOL_PATH")" \
        VC_CLIENT_LIB="$copy/$(basename "$VC_CLIENT_LIB")" bash "$copy/$(basename "${BASH_SOURCE[0]}")" || status=$?
    exit $status
fi
cd "$VC_ROOT"
export HOME="$VC_ROOT/home"
mkdir -p "$HOME/.config/pkcs11/modules"
passed=0
ok() { passed=$((passed + 1)); echo "ok - $*"; }
plain() { OPENSSL_CONF=/dev/null openssl "$@"; }

PIN=6nu7ls
LABEL=0000000000C1A55E
vc_card "GnuTLS Reader" 3 "$PIN" 86428642 --id "0000000000000000$LABEL" >/dev/null
key_id=$(vc_tool key-generate "@GnuTLS Reader" --bits 2048 --label "Client key")
plain req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=GnuTLS Test CA" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign 2>/dev/null
plain req -x509 -newkey rsa:2048 -nodes -keyout server.key -out server.pem -days 2 -subj "/CN=localhost" \
    -addext subjectAltName=IP:127.0.0.1,DNS:localhost -CA ca.pem -CAkey ca.key 2>/dev/null
vc_tool cert-issue "@GnuTLS Reader" --id "$key_id" --subject "/CN=GnuTLS Client" --ca-cert ca.pem --ca-key ca.key \
    --label "Client cert" >/dev/null
TOKEN="pkcs11:token=$LABEL"

# ---- p11tool with the module named on the command line
P11() { timeout 60 p11tool --provider "$MODULE" "$@" </dev/null; }
out=$(P11 --list-all "$TOKEN" 2>&1) || fail "p11tool --list-all: $out"
grep -q "Type: X.509 Certificate" <<<"$out" && grep -q "Label: Client cert" <<<"$out" &&
    grep -q "Type: Public key" <<<"$out" || fail "p11tool --list-all without login: $out"
if grep -q "Type: Private key" <<<"$out"; then fail "private key listed without login"; fi
out=$(GNUTLS_PIN=$PIN P11 --login --list-all "$TOKEN" 2>&1) || fail "p11tool --login --list-all: $out"
grep -q "Type: Private key" <<<"$out" && grep -q "Label: Client key" <<<"$out" ||
    fail "p11tool --login --list-all: $out"
P11 --export "$TOKEN;object=Client%20cert;type=cert" --outfile exported.pem 2>/dev/null ||
    fail "p11tool --export"
[ "$(plain x509 -in exported.pem -noout -subject)" = "subject=CN = GnuTLS Client" ] || fail "exported certificate"
plain verify -CAfile ca.pem exported.pem | grep -q ": OK" || fail "the exported certificate does not verify"
out=$(GNUTLS_PIN=$PIN P11 --login --test-sign "$TOKEN;object=Client%20key;type=private" 2>&1) ||
    fail "p11tool --test-sign: $out"
grep -q "Verifying against public key in the token... ok" <<<"$out" || fail "p11tool --test-sign: $out"
ok "p11tool --list-all, --export and --test-sign"

out=$(GNUTLS_PIN=$PIN P11 --login --generate-privkey rsa --bits 2048 --label "Generated" "$TOKEN" 2>&1) || true
grep -q "BEGIN PUBLIC KEY" <<<"$out" || fail "p11tool --generate-privkey: $out"
sed -n '/BEGIN PUBLIC KEY/,/END PUBLIC KEY/p' <<<"$out" > generated.pem
bits=$(plain pkey -pubin -in generated.pem -noout -text | sed -n 's/.*Public-Key: (\([0-9]*\) bit).*/\1/p')
[ "$bits" = 2048 ] || fail "generated key of $bits bits"
out=$(GNUTLS_PIN=$PIN P11 --login --test-sign "$TOKEN;object=Generated;type=private" 2>&1) ||
    fail "p11tool --test-sign with the generated key: $out"
grep -q "Verifying against public key in the token... ok" <<<"$out" || fail "test-sign generated: $out"
ok "p11tool --generate-privkey makes a key that signs"

# ---- p11-kit: a user's module file pointing at the build
printf 'module: %s\n' "$MODULE" > "$HOME/.config/pkcs11/modules/vellumcrest.module"
modules=$(p11-kit list-modules 2>&1) || fail "p11-kit list-modules: $modules"
block=$(awk '/^[^ ]/{show=($0 ~ /^vellumcrest:/)} show' <<<"$modules")
grep -q "library-description: Orvo Vellumcrest PKCS#11 Library" <<<"$block" &&
    grep -q "token: $LABEL" <<<"$block" || fail "p11-kit list-modules: $modules"
PROXY=/usr/lib/x86_64-linux-gnu/p11-kit-proxy.so
out=$(pkcs11-tool --module "$PROXY" --token-label "$LABEL" --login --pin "$PIN" -O 2>&1) ||
    fail "pkcs11-tool through p11-kit-proxy.so: $out"
grep -q "Private Key Object; RSA" <<<"$out" && grep -q "label: *Client key" <<<"$out" &&
    grep -q "Certificate Object; type = X.509 cert" <<<"$out" || fail "objects through p11-kit-proxy.so: $out"
ok "p11-kit list-modules and pkcs11-tool --module p11-kit-proxy.so -O"

# ---- gnutls-cli: TLS 1.2 client authentication with the card key and certificate
port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
OPENSSL_CONF=/dev/null openssl s_server -accept "127.0.0.1:$port" -cert server.pem -key server.key -CAfile ca.pem -Verify 1 -tls1_2 \
    -client_sigalgs RSA+SHA256 -www >server.log 2>&1 &
server=$!
stop_server() { kill $server 2>/dev/null || true; wait $server 2>/dev/null || true; }
trap 'stop_server; [ -n "${VC_KEEP_TMP:-}" ] || rm -rf "$VC_ROOT"' EXIT
for _ in $(seq 50); do (: </dev/tcp/127.0.0.1/"$port") 2>/dev/null && break; sleep 0.1; done
response=$(printf 'GET / HTTP/1.0\r\n\r\n' | timeout 60 gnutls-cli --x509cafile ca.pem \
    --x509keyfile "$TOKEN;object=Client%20key;type=private;pin-value=$PIN" \
    --x509certfile "$TOKEN;object=Client%20cert;type=cert" --priority "NORMAL:-VERS-ALL:+VERS-TLS1.2" \
    -p "$port" 127.0.0.1 2>client.log) || fail "gnutls-cli client authentication: $(cat client.log server.log)"
grep -q "Client certificate" <<<"$response" || fail "the server saw no client certificate: $response"
grep -q "Protocol *: TLSv1.2" <<<"$response" || fail "not TLS 1.2: $response"
seen=$(sed -n '/Client certificate/,/END CERTIFICATE/p' <<<"$response" | sed 1d | plain x509 -noout -subject)
[ "$seen" = "subject=CN = GnuTLS Client" ] || fail "the server saw the certificate of '$seen'"
ok "gnutls-cli TLS 1.2 client authentication with the card"

echo "$passed passed, 0 failed"
