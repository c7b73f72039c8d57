#!/usr/bin/env bash
# Builds the module and the card tool, puts a virtual reader with a fresh card into
# demo/ (inside the checkout) and lists the slots with pkcs11-tool.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${BUILD_DIR:-build}
DEMO_DIR=$PWD/demo

cmake -S . -B "$BUILD_DIR" -G Ninja -DVC_BUILD_TESTS=OFF
ninja -C "$BUILD_DIR" vellumcrest-pkcs11 vellumcrest-card

rm -rf "$DEMO_DIR"
mkdir -p "$DEMO_DIR/readers"
cat > "$DEMO_DIR/vellumcrest.conf" <<CONF
[Core]
LogFile=$DEMO_DIR/vellumcrest.log
ReadersDir=$DEMO_DIR/readers
[Pkcs11]
LogLevelPkcs11=3
LogLevelCore=3
CONF
export VELLUMCREST_CONFIG=$DEMO_DIR/vellumcrest.conf
export VELLUMCREST_READERS_DIR=$DEMO_DIR/readers

tool=$BUILD_DIR/vellumcrest-card
"$tool" reader-add "Demo Reader"
"$tool" card-create "$DEMO_DIR/demo.vcard" --type 1 --user-pin 1234 --so-pin 12345678
"$tool" card-insert "Demo Reader" "$DEMO_DIR/demo.vcard"
"$tool" list

pkcs11-tool --module "$BUILD_DIR/libvellumcrest-pkcs11.so" -L

echo
echo "Demo readers: $DEMO_DIR/readers, log: $DEMO_DIR/vellumcrest.log"
echo "To use them from this shell: export VELLUMCREST_CONFIG=$DEMO_DIR/vellumcrest.conf"
