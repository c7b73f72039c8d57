# NSS: certutil -A stores a certificate on the token (module added with modutil); a later
# certutil -L lists it and gives back the stored DER.
source "$VC_CLIENT_LIB"
vc_setup
cd "$VC_ROOT"

openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 -subj "/CN=NSS Import CA" \
    -addext basicConstraints=critical,CA:TRUE 2>/dev/null
openssl req -newkey rsa:1024 -nodes -keyout other.key -subj "/CN=NSS Import Partner" -out other.csr 2>/dev/null
openssl x509 -req -in other.csr -CA ca.pem -CAkey ca.key -set_serial 9 -days 30 -outform DER -out cert.der 2>/dev/null
vc_card nssimp 1 1234 12345678 --id AAAAAAAAAAAAAAAANSSIMPORTTOKEN01

db="$VC_ROOT/nssdb"
mkdir -p "$db"
echo 1234 > pin.txt
timeout 60 certutil -N -d "sql:$db" --empty-password </dev/null || fail "certutil -N"
timeout 60 modutil -dbdir "sql:$db" -add vellumcrest -libfile "$MODULE" -force </dev/null >/dev/null || fail "modutil"
token=$(timeout 60 modutil -dbdir "sql:$db" -list </dev/null 2>&1 | sed -n 's/^[[:space:]]*token: \(NSSIMPORTTOKEN01\)$/\1/p' |
        head -1)
[ -n "$token" ] || fail "token not listed by modutil"

timeout 60 certutil -A -n c -t ,, -h "$token" -i cert.der -d "sql:$db" -f pin.txt </dev/null || fail "certutil -A"
out=$(timeout 60 certutil -L -h all -d "sql:$db" -f pin.txt </dev/null 2>&1) || fail "certutil -L: $out"
grep -q "^$token:c " <<<"$out" || fail "stored certificate not listed: $out"
timeout 60 certutil -L -d "sql:$db" -h "$token" -f pin.txt -n "$token:c" -r </dev/null > back.der || fail "certutil -r"
cmp -s back.der cert.der || fail "certificate from NSS differs"
vc_tool dump @nssimp | grep -q ': partner .*label="c"' || fail "not on the card as a partner certificate"
echo "OK"
