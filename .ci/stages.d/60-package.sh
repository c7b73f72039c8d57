#!/usr/bin/env bash
# Builds the Debian package, installs it with apt-get and checks the installed module the way
# a user meets it: the files and man pages in place, the readers directory usable by the
# vellumcrest group, the configuration kept on reinstall, the module listed by
# `p11-kit list-modules` and used through p11-kit-proxy.so and GnuTLS. The package is removed
# again at the end unless it was installed before the stage.
set -euo pipefail
cd "$(dirname "$0")/../.."

SUDO=$(command -v sudo || true)
[ "$(id -u)" = 0 ] && SUDO=
PKG_BUILD=${PACKAGE_BUILD_DIR:-${BUILD_DIR:-build}-package}
MULTIARCH=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
MODULE=/usr/lib/$MULTIARCH/pkcs11/libvellumcrest-pkcs11.so
PROXY=/usr/lib/$MULTIARCH/p11-kit-proxy.so
APT=(apt-get -y -q -o DPkg::Lock::Timeout=600)
passed=0
fail() { echo "FAIL: $*" >&2; exit 1; }
ok() { echo "ok: $*"; passed=$((passed + 1)); }

echo "--- building the package in $PKG_BUILD"
cmake -S . -B "$PKG_BUILD" -G Ninja -DVC_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    >/dev/null
ninja -C "$PKG_BUILD" >/dev/null
rm -f "$PKG_BUILD"/vellumcrest_*.deb
(cd "$PKG_BUILD" && cpack -G DEB >/dev/null)
deb=$(realpath "$PKG_BUILD"/vellumcrest_*_amd64.deb)
version=$(dpkg-deb -f "$deb" Version)
[ "$(basename "$deb")" = "vellumcrest_${version}_amd64.deb" ] || fail "package file name $(basename "$deb")"
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for path in ".$MODULE" ./usr/bin/vellumcrest-card ./usr/bin/vellumcrest-card-emu \
    ./usr/share/p11-kit/modules/vellumcrest.module \
    ./etc/vellumcrest/vellumcrest.conf ./usr/share/man/man1/vellumcrest-card.1.gz \
    ./usr/share/man/man1/vellumcrest-card-emu.1.gz \
    ./usr/share/man/man5/vellumcrest.conf.5.gz; do
    grep -qxF "$path" <<<"$contents" || fail "$path missing from the package"
done
if grep -q '^\./\(work\|tmp\|home\)' <<<"$contents"; then fail "build paths in the package"; fi
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles | grep -qxF /etc/vellumcrest/vellumcrest.conf ||
    fail "the configuration is no conffile"
ok "package $(basename "$deb") with module, tool, p11-kit file, man pages and conffile"

installed_before=no
if dpkg-query -W -f='${Status}' vellumcrest 2>/dev/null | grep -q 'install ok installed'; then installed_before=yes; fi
group_before=no
if getent group vellumcrest >/dev/null; then group_before=yes; fi
WORK=$(mktemp -d /tmp/vellumcrest-package-XXXXXX)
chmod 755 "$WORK"
shared_reader="CI package check $$"
cleanup() {
    VELLUMCREST_READERS_DIR='' vellumcrest-card reader-remove "$shared_reader" >/dev/null 2>&1 || true
    if [ "$installed_before" = no ] && dpkg-query -W vellumcrest >/dev/null 2>&1; then
        $SUDO "${APT[@]}" purge vellumcrest >/dev/null || true
        # The package leaves its group behind on purge; the CI machine gets rid of it too.
        if [ "$group_before" = no ]; then $SUDO groupdel vellumcrest 2>/dev/null || true; fi
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT

echo "--- installing"
$SUDO "${APT[@]}" install "$deb" >/dev/null
[ -f "$MODULE" ] && [ -x /usr/bin/vellumcrest-card ] || fail "installed files"
[ "$(vellumcrest-card --version)" = "vellumcrest-card $version" ] || fail "tool version $(vellumcrest-card --version)"
man -w vellumcrest-card >/dev/null && man -w 5 vellumcrest.conf >/dev/null || fail "man pages not found by man"
MANWIDTH=80 man 5 vellumcrest.conf 2>/dev/null | grep -q 'ReadersDir=DIR' || fail "man page vellumcrest.conf(5) text"
grep -qx 'ExtendedMechanisms=1' /etc/vellumcrest/vellumcrest.conf || fail "default configuration"
ok "installed: module, tool $version, man pages, default configuration"

# An ordinary user of the vellumcrest group adds a reader to the shared readers directory.
gid=$(getent group vellumcrest | cut -d: -f3)
[ -n "$gid" ] || fail "no group vellumcrest"
[ "$(stat -c '%G %a' /var/lib/vellumcrest/readers)" = "vellumcrest 2775" ] ||
    fail "readers directory: $(stat -c '%U:%G %a' /var/lib/vellumcrest/readers)"
as_user=($SUDO setpriv --reuid=nobody --regid=nogroup --groups="$gid" env -u VELLUMCREST_READERS_DIR -u VELLUMCREST_CONFIG)
out=$("${as_user[@]}" vellumcrest-card reader-add "$shared_reader" 2>&1) || fail "reader-add as a group member: $out"
"${as_user[@]}" vellumcrest-card list | grep -q "^$shared_reader	" || fail "the shared reader is not listed"
out=$("${as_user[@]}" vellumcrest-card reader-remove "$shared_reader" 2>&1) || fail "reader-remove: $out"
out=$($SUDO setpriv --reuid=nobody --regid=nogroup --clear-groups env -u VELLUMCREST_READERS_DIR \
    vellumcrest-card reader-add "$shared_reader" 2>&1) && fail "a user outside the group wrote the readers directory"
ok "group vellumcrest may add readers to /var/lib/vellumcrest/readers, others may not"

if [ "$installed_before" = no ]; then
    echo "; changed by the administrator" | $SUDO tee -a /etc/vellumcrest/vellumcrest.conf >/dev/null
    $SUDO "${APT[@]}" install --reinstall "$deb" >/dev/null
    tail -1 /etc/vellumcrest/vellumcrest.conf | grep -qx '; changed by the administrator' ||
        fail "the configuration was overwritten on reinstall"
    ok "a changed configuration survives a reinstall"
fi

echo "--- the installed module through p11-kit"
export VELLUMCREST_READERS_DIR="$WORK/readers"
PIN=3141
card_id=$(printf "CIPACKAGE%023d" $$)
vellumcrest-card reader-add "Package Reader" >/dev/null
vellumcrest-card card-create "$WORK/card.vcard" --type 2 --id "$card_id" --user-pin $PIN --so-pin 27182818 >/dev/null
vellumcrest-card card-insert "Package Reader" "$WORK/card.vcard" >/dev/null
key_id=$(vellumcrest-card key-generate "@Package Reader" --bits 2048 --label "Package key")
vellumcrest-card pubkey-export "@Package Reader" --id "$key_id" --out "$WORK/pub.pem"
label=${card_id: -16}

modules=$(p11-kit list-modules 2>&1) || fail "p11-kit list-modules: $modules"
block=$(awk '/^[^ ]/{show=($0 ~ /^vellumcrest:/)} show' <<<"$modules")
grep -q "library-description: Orvo Vellumcrest PKCS#11 Library" <<<"$block" || fail "module not listed: $modules"
grep -q "library-manufacturer: Orvo" <<<"$block" || fail "manufacturer: $block"
grep -q "token: $label" <<<"$block" || fail "token $label not listed: $block"
grep -q "model: Vellumcrest T2" <<<"$block" || fail "token model: $block"
ok "p11-kit list-modules lists the module and the token $label"

slots=$(pkcs11-tool --module "$PROXY" -L 2>&1) || fail "pkcs11-tool -L through the proxy: $slots"
grep -q "token label *: $label" <<<"$slots" || fail "token not seen through p11-kit-proxy.so: $slots"
objects=$(pkcs11-tool --module "$PROXY" --token-label "$label" --login --pin $PIN -O 2>&1) ||
    fail "pkcs11-tool -O through the proxy: $objects"
grep -q "Private Key Object; RSA" <<<"$objects" && grep -q "label: *Package key" <<<"$objects" &&
    grep -q "ID: *$key_id" <<<"$objects" || fail "objects through the proxy: $objects"
head -c 32 /dev/urandom > "$WORK/data"
pkcs11-tool --module "$PROXY" --token-label "$label" --login --pin $PIN --sign -m RSA-PKCS --id "$key_id" \
    -i "$WORK/data" -o "$WORK/data.sig" >/dev/null 2>&1 || fail "signing through the proxy"
openssl pkeyutl -verifyrecover -pubin -inkey "$WORK/pub.pem" -in "$WORK/data.sig" -out "$WORK/recovered" ||
    fail "the signature made through the proxy does not verify"
cmp -s "$WORK/data" "$WORK/recovered" || fail "the signature holds other data"
ok "pkcs11-tool --module p11-kit-proxy.so: token, objects and a signature that verifies"

tokens=$(p11tool --list-token-urls 2>&1) || fail "p11tool --list-token-urls: $tokens"
grep -q "manufacturer=Orvo.*serial=$label" <<<"$tokens" || fail "GnuTLS does not see the token: $tokens"
ok "GnuTLS finds the token through the p11-kit module file"

# The start-up lines tell a user which readers directory the installed module reads.
cat > "$WORK/logged.conf" <<CONF
[Core]
LogFile=$WORK/vellumcrest.log
[Pkcs11]
LogLevelCore=3
CONF
VELLUMCREST_CONFIG="$WORK/logged.conf" pkcs11-tool --module "$MODULE" -L >/dev/null
grep -q "Pkcs11-core: Adresar ctecek: $WORK/readers (VELLUMCREST_READERS_DIR)" "$WORK/vellumcrest.log" &&
    grep -q "Pkcs11-core: Nalezeno ctecek: 1" "$WORK/vellumcrest.log" || fail "start-up lines: $(cat "$WORK/vellumcrest.log")"
ok "the installed module logs its configuration and readers directory"

echo "package stage: $passed checks passed ($(basename "$deb"))"
