#!/usr/bin/env bash
# From nothing to a document signed with a key on a card: builds the module and the card
# tool, makes a virtual reader and card in demo/ (inside the checkout), generates a key pair
# on the card with pkcs11-tool, makes a CSR with OpenSSL's pkcs11 engine, has a throwaway
# test CA issue the certificate, stores it on the card, signs a document with the card key
# and verifies the signature. Every command is printed as a user would type it.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${BUILD_DIR:-build}
# A build directory set up before keeps its settings (its tests stay on).
configure=(-G Ninja -DVC_BUILD_TESTS=OFF)
[ ! -f "$BUILD_DIR/CMakeCache.txt" ] || configure=()
cmake -S . -B "$BUILD_DIR" "${configure[@]}" >/dev/null
ninja -C "$BUILD_DIR" vellumcrest-pkcs11 vellumcrest-card >/dev/null
BUILD_DIR=$(cd "$BUILD_DIR" && pwd)

rm -rf demo
mkdir -p demo
cd demo
MODULE=$BUILD_DIR/libvellumcrest-pkcs11.so
ENGINE=/usr/lib/x86_64-linux-gnu/engines-3/pkcs11.so
PIN=1234
TOKEN=DEMO000000000001

# Prints a command the way it is typed (the build directory as $BUILD), then runs it.
run() {
    local word line=""
    for word in "$@"; do
        if [[ "$word" =~ ^[A-Za-z0-9_./:=@%+,-]+$ ]]; then line+=" $word"; else line+=" '${word//\'/\'\\\'\'}'"; fi
    done
    if [ -t 1 ]; then printf '\n\033[1m$%s\033[0m\n' "${line//$BUILD_DIR/\$BUILD}"
    else printf '\n$%s\n' "${line//$BUILD_DIR/\$BUILD}"; fi
    "$@"
}
say() { printf '\n# %s\n' "$*"; }

cat > vellumcrest.conf <<CONF
[Core]
ReadersDir=$PWD/readers
LogFile=$PWD/vellumcrest.log
[Pkcs11]
LogLevelPkcs11=3
LogLevelCore=3
ExtendedMechanisms=1
CONF
cat > openssl.cnf <<CONF
openssl_conf = openssl_init
[openssl_init]
engines = engine_section
[engine_section]
pkcs11 = pkcs11_section
[pkcs11_section]
engine_id = pkcs11
dynamic_path = $ENGINE
MODULE_PATH = $MODULE
init = 0
[req]
distinguished_name = dn
[dn]
CONF
printf '%s' "$PIN" > pin.txt
chmod 600 pin.txt
export BUILD="$BUILD_DIR"
export VELLUMCREST_CONFIG=$PWD/vellumcrest.conf
say "In demo/: BUILD=$BUILD_DIR; VELLUMCREST_CONFIG=demo/vellumcrest.conf names the readers directory"
say "demo/readers and the log demo/vellumcrest.log; demo/openssl.cnf loads the pkcs11 engine with the module."

say "1. A virtual reader with a new card (user PIN $PIN, SO PIN 12345678)"
run "$BUILD_DIR/vellumcrest-card" reader-add "Demo Reader"
run "$BUILD_DIR/vellumcrest-card" card-create demo.vcard --type 3 --id "0000000000000000$TOKEN" \
    --user-pin "$PIN" --so-pin 12345678
run "$BUILD_DIR/vellumcrest-card" card-insert "Demo Reader" demo.vcard
run pkcs11-tool --module "$MODULE" --list-token-slots

say "2. A key pair generated on the card"
run pkcs11-tool --module "$MODULE" --token-label "$TOKEN" --login --pin "$PIN" \
    --keypairgen --key-type rsa:2048 --id 01 --label "Demo key"

say "3. A certificate request signed with the card key (OpenSSL's pkcs11 engine; PIN from a file)"
KEY="pkcs11:token=$TOKEN;id=%01;type=private;pin-source=file:pin.txt"
run env OPENSSL_CONF=openssl.cnf openssl req -new -engine pkcs11 -keyform engine -key "$KEY" \
    -subj "/CN=Demo User/O=Vellumcrest Demo" -out user.csr
run openssl req -in user.csr -noout -verify -subject

say "4. A throwaway test CA issues the certificate"
run openssl genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out ca.key
run openssl req -x509 -key ca.key -out ca.pem -days 30 -subj "/CN=Demo Test CA" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign
run openssl x509 -req -in user.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 -out user.pem
run openssl x509 -in user.pem -outform DER -out user.der
run openssl x509 -in ca.pem -outform DER -out ca.der

say "5. The CA certificate on the card first (a certificate for a card key needs its issuer's), then the user's"
run pkcs11-tool --module "$MODULE" --token-label "$TOKEN" --login --pin "$PIN" \
    --write-object ca.der --type cert --label "Demo Test CA"
run pkcs11-tool --module "$MODULE" --token-label "$TOKEN" --login --pin "$PIN" \
    --write-object user.der --type cert --id 01 --label "Demo certificate"
run pkcs11-tool --module "$MODULE" --token-label "$TOKEN" --login --pin "$PIN" --list-objects

say "6. A document signed with the card key"
printf 'I, Demo User, agree.\n' > document.txt
run env OPENSSL_CONF=openssl.cnf openssl cms -sign -engine pkcs11 -keyform engine -inkey "$KEY" \
    -signer user.pem -in document.txt -binary -outform DER -out document.p7s

say "7. The signature verified against the test CA"
run openssl cms -verify -binary -inform DER -in document.p7s -content document.txt -CAfile ca.pem -out /dev/null

say "Done. To go on from this shell:"
echo "  export VELLUMCREST_CONFIG=$PWD/vellumcrest.conf"
echo "  pkcs11-tool --module $MODULE --token-label $TOKEN --login -O"
