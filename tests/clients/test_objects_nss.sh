# NSS: the module added to a database with modutil; certutil lists the card's certificates.
source "$VC_CLIENT_LIB"
vc_setup
cd "$VC_ROOT"

openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 -subj "/CN=NSS Test CA" \
    -addext basicConstraints=critical,CA:TRUE 2>/dev/null
openssl x509 -in ca.pem -outform DER -out ca.der
vc_card nss 1 1234 12345678
vc_tool key-generate @nss --bits 1024 --label "Key" --id c1c2 >/dev/null
vc_tool cert-issue @nss --id c1c2 --subject "/CN=Carol Client" --ca-cert ca.pem --ca-key ca.key --label "Carol" >/dev/null
vc_tool cert-add @nss --der ca.der --kind root --label "NSS Test CA" >/dev/null

db="$VC_ROOT/nssdb"
mkdir -p "$db"
echo 1234 > pin.txt
timeout 60 certutil -N -d "sql:$db" --empty-password </dev/null || fail "certutil -N"
timeout 60 modutil -dbdir "sql:$db" -add vellumcrest -libfile "$MODULE" -force </dev/null >/dev/null || fail "modutil -add"
modules=$(timeout 60 modutil -dbdir "sql:$db" -list </dev/null 2>&1) || fail "modutil -list: $modules"
grep -q 'vellumcrest' <<<"$modules" || fail "module not listed: $modules"

out=$(timeout 60 certutil -L -h all -d "sql:$db" -f pin.txt </dev/null 2>&1) || fail "certutil -L: $out"
grep -q ':NSS Test CA ' <<<"$out" || fail "root certificate missing: $out"
grep -q ':Carol ' <<<"$out" || fail "client certificate missing: $out"

# The certificate NSS reads from the token is the stored one.
nick=$(sed -n 's/^\(.*:NSS Test CA\) .*/\1/p' <<<"$out" | head -1)
token=${nick%%:*}
timeout 60 certutil -L -d "sql:$db" -h "$token" -f pin.txt -n "$nick" -r </dev/null > fromnss.der ||
    fail "certutil -r $nick"
cmp -s fromnss.der ca.der || fail "certificate from NSS differs from the stored DER"
echo "OK"
