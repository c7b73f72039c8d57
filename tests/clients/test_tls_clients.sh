# TLS client authentication with a key on a virtual card (ExtendedMechanisms=1): an
# openssl s_server on 127.0.0.1 demands a client certificate (-Verify 1) and is reached by
# openssl s_client and curl through OpenSSL's pkcs11 engine and by gnutls-cli with a
# PKCS#11 key URL, each with TLS 1.3 (RSA-PSS) and with TLS 1.2 at default settings.
source "$VC_CLIENT_LIB"
vc_setup
echo "ExtendedMechanisms=1" >> "$VELLUMCREST_CONFIG"

for tool in curl gnutls-cli; do command -v $tool >/dev/null || fail "$tool not installed"; done

PIN=Tls7xq
vc_card Tls 1 "$PIN" 24681357 >/dev/null
vc_tool key-generate @Tls --bits 2048 --id 7151 --label tlskey --usage sign,decrypt >/dev/null
W="$VC_ROOT/work"
mkdir -p "$W"
cd "$W"

# A CA in software, a server certificate for 127.0.0.1 and the client certificate of the card key.
export OPENSSL_CONF=/dev/null
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=Vellumcrest Test CA" \
    >/dev/null 2>&1 || fail "CA"
openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj "/CN=localhost" >/dev/null 2>&1 ||
    fail "server request"
printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\n' > server.ext
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 \
    -extfile server.ext >/dev/null 2>&1 || fail "server certificate"
vc_tool cert-issue @Tls --id 7151 --subject "/CN=Card Holder 7151" --ca-cert ca.pem --ca-key ca.key \
    --label tlscert >/dev/null || fail "cert-issue"
pkcs11-tool --module "$MODULE" --read-object --type cert --id 7151 -o client.der >/dev/null 2>&1 ||
    fail "reading the client certificate from the card"
openssl x509 -inform DER -in client.der -out client.pem || fail "client certificate"

vc_engine_conf engine.cnf
KEY_URI="pkcs11:object=tlskey;type=private"

SERVER=""
stop_server() {
    if [ -n "$SERVER" ]; then kill "$SERVER" 2>/dev/null || true; wait "$SERVER" 2>/dev/null || true; fi
    SERVER=""
}
trap 'stop_server; [ -n "${VC_KEEP_TMP:-}" ] || rm -rf "$VC_ROOT"' EXIT

# start_server -tls1_3|-tls1_2: s_server with -www on a free port of 127.0.0.1.
start_server() {
    local attempt
    for attempt in 1 2 3; do
        PORT=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
        openssl s_server -accept "127.0.0.1:$PORT" -cert server.pem -key server.key -CAfile ca.pem -Verify 1 \
            "$1" -www >"server$1.log" 2>&1 &
        SERVER=$!
        for _ in $(seq 50); do
            if (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; then return 0; fi
            kill -0 "$SERVER" 2>/dev/null || break
            sleep 0.1
        done
        stop_server
    done
    fail "s_server did not start: $(cat "server$1.log")"
}

# The s_server status page names the protocol and the verified client certificate.
check_page() {  # client, version, page file
    grep -q "CN *= *Card Holder 7151" "$3" || grep -q "Card Holder 7151" "$3" ||
        fail "$1 $2: the server saw no client certificate: $(tail -5 "$3")"
    grep -q "$2" "$3" || fail "$1: not $2: $(grep -m1 -o 'TLSv1\.[0-9]' "$3")"
}

# gnutls-cli ends the connection at the end of its input: keep it open until the page came.
request() { printf 'GET / HTTP/1.0\r\n\r\n'; sleep "${1:-0}"; }

for version in TLSv1.3 TLSv1.2; do
    flag=-tls1_3
    [ "$version" = TLSv1.2 ] && flag=-tls1_2
    start_server "$flag"
    signs_before=$(grep -c 'C_Sign() => CKR_OK' "$VC_LOG" || true)

    request | OPENSSL_CONF=engine.cnf timeout 30 openssl s_client -engine pkcs11 -keyform engine \
        -key "$KEY_URI;pin-value=$PIN" -cert client.pem -CAfile ca.pem -connect "127.0.0.1:$PORT" \
        -servername localhost -ign_eof >s_client.out 2>&1 || true
    check_page "openssl s_client" "$version" s_client.out
    echo "openssl s_client $version: ok"

    OPENSSL_CONF=engine.cnf timeout 30 curl -sS --engine pkcs11 --key-type ENG --key "$KEY_URI;pin-value=$PIN" \
        --cert client.pem --cacert ca.pem "https://127.0.0.1:$PORT/" >curl.out 2>&1 ||
        fail "curl $version: $(tail -3 curl.out)"
    check_page curl "$version" curl.out
    echo "curl $version: ok"

    request 3 | GNUTLS_PIN=$PIN timeout 30 gnutls-cli --provider "$MODULE" --x509keyfile "$KEY_URI" \
        --x509certfile client.pem --x509cafile ca.pem -p "$PORT" 127.0.0.1 >gnutls.out 2>&1 || true
    check_page gnutls-cli "$version" gnutls.out
    echo "gnutls-cli $version: ok"

    signs_after=$(grep -c 'C_Sign() => CKR_OK' "$VC_LOG" || true)
    [ "$signs_after" -ge $((signs_before + 3)) ] || fail "$version: the card made no signature for some client"
    stop_server
done

if grep -q -- "$PIN" "$VC_LOG"; then fail "PIN found in the log"; fi
echo "1 passed, 0 failed"
