#!/bin/bash
# OpenSSH with a key on the card: ssh-keygen -D prints it, an sshd of the test's own on
# 127.0.0.1 accepts `ssh -I <module>` with it in authorized_keys (the PIN comes through
# SSH_ASKPASS), and refuses once the key is deleted from the card through PKCS#11.
source "${VC_CLIENT_LIB:-$(dirname "$0")/lib.sh}"
vc_setup
cd "$VC_ROOT"
passed=0
ok() { passed=$((passed + 1)); echo "ok - $*"; }

SSHD=/usr/sbin/sshd
[ -x "$SSHD" ] || fail "sshd not installed"
PIN=55ssh21
vc_card "SSH Reader" 1 "$PIN" 13572468 --id 000000000000000000000000055A1234 >/dev/null
key_id=$(vc_tool key-generate "@SSH Reader" --bits 2048 --label "SSH key")
vc_tool pubkey-export "@SSH Reader" --id "$key_id" --out card-pub.pem

keys=$(ssh-keygen -D "$MODULE" 2>&1) || fail "ssh-keygen -D: $keys"
[ "$(grep -c '^ssh-rsa ' <<<"$keys")" = 1 ] || fail "ssh-keygen -D: $keys"
grep "^ssh-rsa " <<<"$keys" | cut -d" " -f1,2 > authorized_keys
cp authorized_keys card.pub
[ "$(cut -d' ' -f1,2 <<<"$(ssh-keygen -i -m PKCS8 -f card-pub.pem)")" = "$(cat authorized_keys)" ] ||
    fail "ssh-keygen -D prints another key than the card's"
ok "ssh-keygen -D prints the card key"

user=$(id -un)
port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
ssh-keygen -q -t ed25519 -N '' -f host_key
[ "$(id -u)" != 0 ] || mkdir -p /run/sshd
cat > sshd_config <<CONF
ListenAddress 127.0.0.1:$port
HostKey $VC_ROOT/host_key
PidFile $VC_ROOT/sshd.pid
AuthorizedKeysFile $VC_ROOT/authorized_keys
StrictModes no
UsePAM no
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
AllowUsers $user
CONF
"$SSHD" -D -e -f "$VC_ROOT/sshd_config" 2>sshd.log &
sshd=$!
stop_sshd() {
    kill $sshd 2>/dev/null || true
    wait $sshd 2>/dev/null || true
    [ -n "${VC_KEEP_TMP:-}" ] || rm -rf "$VC_ROOT"
}
trap stop_sshd EXIT
for _ in $(seq 50); do (: </dev/tcp/127.0.0.1/"$port") 2>/dev/null && break; sleep 0.1; done

printf '#!/bin/sh\necho %s\n' "$PIN" > askpass
chmod 700 askpass
connect() {
    SSH_ASKPASS="$VC_ROOT/askpass" SSH_ASKPASS_REQUIRE=force DISPLAY='' timeout 60 \
        ssh -F /dev/null -I "$MODULE" -p "$port" -o IdentitiesOnly=yes -i "$VC_ROOT/card.pub" \
        -o UserKnownHostsFile="$VC_ROOT/known_hosts" -o StrictHostKeyChecking=no -o PasswordAuthentication=no \
        -o KbdInteractiveAuthentication=no -o ConnectTimeout=20 -o LogLevel=ERROR "$user@127.0.0.1" "$@" </dev/null
}
out=$(connect echo "logged in with the card") 2>ssh.log || fail "ssh -I refused: $(cat ssh.log sshd.log)"
[ "$out" = "logged in with the card" ] || fail "ssh output: $out"
grep -q "Accepted publickey for $user" sshd.log || fail "sshd did not accept the card key: $(cat sshd.log)"
grep -q 'Pkcs11Provider::C_Sign() => CKR_OK' "$VC_LOG" || fail "the card did not sign"
ok "sshd accepts ssh -I with the card key"

# Deleting the key pair from the card through PKCS#11.
out=$(pkcs11-tool --module "$MODULE" --login --pin "$PIN" --delete-object --type privkey --id "$key_id" 2>&1) || {
    if grep -q CKR_FUNCTION_NOT_SUPPORTED <<<"$out"; then
        echo "SKIP: the module does not delete objects yet (CKR_FUNCTION_NOT_SUPPORTED)"
        echo "$passed passed, 0 failed"
        exit 0
    fi
    fail "pkcs11-tool --delete-object: $out"
}
pkcs11-tool --module "$MODULE" --login --pin "$PIN" --delete-object --type pubkey --id "$key_id" >/dev/null 2>&1 || true
[ -z "$(ssh-keygen -D "$MODULE" 2>/dev/null | grep '^ssh-rsa ')" ] || fail "ssh-keygen -D still prints the key"
if connect true 2>ssh.log; then fail "sshd accepted a key that is no longer on the card"; fi
grep -q "Permission denied" ssh.log || fail "ssh failed otherwise: $(cat ssh.log)"
ok "sshd refuses once the key is deleted from the card"

echo "$passed passed, 0 failed"
