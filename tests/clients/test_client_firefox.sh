#!/bin/bash
# Firefox ESR, headless, with the module in its profile: a page on a local `openssl s_server`
# that requires a client certificate loads with the card's key. The reader has a PIN pad
# (ProtectAuthPath=1), so no PIN dialog blocks, and "Select Automatically" picks the
# certificate. TLS 1.2 signs with RSA PKCS#1 v1.5; TLS 1.3 needs RSA-PSS and is tried only
# when the module offers it.
source "${VC_CLIENT_LIB:-$(dirname "$0")/lib.sh}"
vc_setup
cd "$VC_ROOT"
FIREFOX=$(command -v firefox-esr || command -v firefox || true)
if [ -z "$FIREFOX" ]; then
    echo "SKIP: firefox-esr is not installed"
    exit 0
fi
passed=0
ok() { passed=$((passed + 1)); echo "ok - $*"; }
plain() { OPENSSL_CONF=/dev/null openssl "$@"; }
cat >> "$VELLUMCREST_CONFIG" <<CONF
ProtectAuthPath=1
ExtendedMechanisms=1
CONF

PIN=2580
vc_tool reader-add "Pad Reader" --pinpad-pin "$PIN" >/dev/null
vc_tool card-create pad.vcard --type 3 --user-pin "$PIN" --so-pin 12345678 >/dev/null
vc_tool card-insert "Pad Reader" pad.vcard >/dev/null
key_id=$(vc_tool key-generate "@Pad Reader" --bits 2048 --label "Browser key")
plain req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=Firefox Test CA" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign 2>/dev/null
plain req -x509 -newkey rsa:2048 -nodes -keyout server.key -out server.pem -days 2 -subj "/CN=localhost" \
    -addext subjectAltName=IP:127.0.0.1,DNS:localhost -CA ca.pem -CAkey ca.key 2>/dev/null
vc_tool cert-issue "@Pad Reader" --id "$key_id" --subject "/CN=Browser User" --ca-cert ca.pem --ca-key ca.key \
    --label "Browser certificate" >/dev/null

export HOME="$VC_ROOT/home"
profile="$VC_ROOT/profile"
mkdir -p "$HOME" "$profile"
certutil -N -d "sql:$profile" --empty-password </dev/null || fail "certutil -N"
certutil -A -d "sql:$profile" -n "Firefox Test CA" -t "C,," -i ca.pem </dev/null || fail "certutil -A"
modutil -dbdir "sql:$profile" -add vellumcrest -libfile "$MODULE" -force </dev/null >/dev/null || fail "modutil -add"
cat > "$profile/user.js" <<'PREFS'
user_pref("security.default_personal_cert", "Select Automatically");
user_pref("security.osclientcerts.autoload", false);
user_pref("browser.shell.checkDefaultBrowser", false);
user_pref("datareporting.policy.dataSubmissionEnabled", false);
user_pref("toolkit.telemetry.reportingpolicy.firstRun", false);
user_pref("browser.startup.homepage_override.mstone", "ignore");
user_pref("app.update.disabledForTesting", true);
user_pref("network.proxy.type", 0);
PREFS

server=
stop_server() { [ -z "$server" ] || { kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; }; server=; }
trap 'stop_server; [ -n "${VC_KEEP_TMP:-}" ] || rm -rf "$VC_ROOT"' EXIT

# browse TLS-OPTION...: serves the status page that needs a client certificate and loads it.
browse() {
    local port
    port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    : > "$VC_LOG"
    OPENSSL_CONF=/dev/null openssl s_server -accept "127.0.0.1:$port" -cert server.pem -key server.key -CAfile ca.pem -Verify 1 "$@" -www \
        >server.log 2>&1 &
    server=$!
    for _ in $(seq 50); do (: </dev/tcp/127.0.0.1/"$port") 2>/dev/null && break; sleep 0.1; done
    MOZ_HEADLESS=1 timeout 90 "$FIREFOX" --headless --profile "$profile" --screenshot "$VC_ROOT/page.png" \
        "https://127.0.0.1:$port/" >firefox.log 2>&1 || true
    stop_server
}
accepted() {
    grep -q "depth=0 CN = Browser User" server.log && grep -q "verify return:1" server.log &&
        grep -q 'Pkcs11Provider::C_Sign\(Final\)\?() => CKR_OK' "$VC_LOG"
}

browse -tls1_2 -client_sigalgs RSA+SHA256
accepted || fail "TLS 1.2: no client certificate from the card: $(cat server.log firefox.log)"
grep -q 'Pkcs11Provider::C_Login() => CKR_OK' "$VC_LOG" || fail "Firefox did not log in through the PIN pad"
[ -s page.png ] || fail "Firefox rendered no page"
ok "Firefox authenticates with the card key over TLS 1.2 (PIN from the pad)"

browse -tls1_3
accepted || fail "TLS 1.3: no client certificate from the card: $(cat server.log firefox.log)"
ok "Firefox authenticates with the card key over TLS 1.3 (RSA-PSS)"
echo "$passed passed, 0 failed"
