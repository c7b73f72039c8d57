# pkcs11-tool --write-object: a PKCS#8 key pair, its CA's certificate (root), its own
# certificate (client, into the key's container), another party's (partner) and a data
# object, each checked after a reload (a new pkcs11-tool process) and in the card dump;
# relabelling and a new data value through C_SetAttributeValue (PyKCS11) persist.
source "$VC_CLIENT_LIB"
vc_setup
cd "$VC_ROOT"

vc_card imp 1 1234 12345678
p11() { timeout 60 pkcs11-tool --module "$MODULE" "$@" </dev/null; }
write() { p11 --login --pin 1234 --write-object "$@" >out.txt 2>&1 || fail "write-object $*: $(cat out.txt)"; }

openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 -subj "/CN=Import CA" \
    -addext basicConstraints=critical,CA:TRUE 2>/dev/null
openssl x509 -in ca.pem -outform DER -out ca.der
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out key.pem 2>/dev/null
openssl pkcs8 -topk8 -nocrypt -in key.pem -outform DER -out key.der
openssl req -new -key key.pem -subj "/CN=Import Client" -out key.csr
openssl x509 -req -in key.csr -CA ca.pem -CAkey ca.key -set_serial 5 -days 30 -outform DER -out cert.der 2>/dev/null
openssl req -newkey rsa:1024 -nodes -keyout partner.key -subj "/CN=Import Partner" -out partner.csr 2>/dev/null
openssl x509 -req -in partner.csr -CA ca.pem -CAkey ca.key -set_serial 6 -days 30 -outform DER -out partner.der \
    2>/dev/null
head -c 300 /dev/urandom > data.bin

# The key pair: not made on the card, signs there, verifies with the original key.
write key.der --type privkey --id 02 --label k --usage-sign
listing=$(p11 --login --pin 1234 -O)
grep -A6 '^Private Key Object' <<<"$listing" | grep -q 'ID: *02' || fail "private key: $listing"
grep -A6 '^Private Key Object' <<<"$listing" | grep 'Access:' | grep -q 'local' && fail "imported key is local: $listing"
grep -A6 '^Public Key Object' <<<"$listing" | grep -q 'ID: *02' || fail "public key: $listing"
printf 'imported and signed\n' > msg
openssl dgst -sha256 -binary msg > digest
{ printf '\x30\x31\x30\x0d\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01\x05\x00\x04\x20'; cat digest; } > info.der
p11 --login --pin 1234 --sign -m RSA-PKCS --id 02 -i info.der -o sig.bin >/dev/null 2>&1 || fail "sign"
openssl pkey -in key.pem -pubout -out pub.pem
openssl pkeyutl -verify -pubin -inkey pub.pem -in digest -sigfile sig.bin -pkeyopt digest:sha256 >/dev/null ||
    fail "card signature does not verify with the original key"

# Certificates: the client one needs its issuer first; twice gives the stored one.
p11 --login --pin 1234 --write-object cert.der --type cert --id 01 --label c >/dev/null 2>&1 &&
    fail "client certificate accepted without its issuer"
write ca.der --type cert --label ca
write cert.der --type cert --id 01 --label c
write cert.der --type cert --id 01 --label c
write partner.der --type cert --label partner
dump=$(vc_tool dump @imp)
[ "$(grep -c ': root ' <<<"$dump")" = 1 ] || fail "one root expected: $dump"
[ "$(grep -c ': client ' <<<"$dump")" = 1 ] || fail "one client expected: $dump"
[ "$(grep -c ': partner ' <<<"$dump")" = 1 ] || fail "one partner expected: $dump"
grep -B3 ': client ' <<<"$dump" | grep -q 'public key' || fail "client certificate not beside its key: $dump"
p11 --read-object --type cert --id 01 --output-file back.der >/dev/null 2>&1 || fail "read client certificate"
cmp -s back.der cert.der || fail "client certificate differs"

# Data object, read back by a new process.
write data.bin --type data --label d
p11 --read-object --type data --label d --output-file data.out >/dev/null 2>&1 || fail "read data object"
cmp -s data.out data.bin || fail "data object differs"

# Relabel and new value through C_SetAttributeValue, then read back by pkcs11-tool.
head -c 500 /dev/urandom > data2.bin
/usr/bin/python3 - "$MODULE" data2.bin <<'PY' || fail "C_SetAttributeValue through PyKCS11"
import sys, PyKCS11
lib = PyKCS11.PyKCS11Lib()
lib.load(sys.argv[1])
session = lib.openSession(lib.getSlotList(tokenPresent=True)[0], PyKCS11.CKF_SERIAL_SESSION | PyKCS11.CKF_RW_SESSION)
session.login("1234")
data = session.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_DATA), (PyKCS11.CKA_LABEL, "d")])[0]
session.setAttributeValue(data, [(PyKCS11.CKA_LABEL, "renamed")])
session.setAttributeValue(data, [(PyKCS11.CKA_VALUE, list(open(sys.argv[2], "rb").read()))])
key = session.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY)])[0]
assert session.getAttributeValue(key, [PyKCS11.CKA_LOCAL]) == [False]
# PyKCS11 answers None for an attribute the module refuses (CKR_ATTRIBUTE_SENSITIVE).
assert session.getAttributeValue(key, [0x80000012]) == [None], "proof of origin given for an imported key"
PY
p11 --read-object --type data --label renamed --output-file data.out >/dev/null 2>&1 || fail "read renamed data"
cmp -s data.out data2.bin || fail "new data value not kept"

# A second certificate for the key: refused, unless MZV mode replaces the stored one.
openssl x509 -req -in key.csr -CA ca.pem -CAkey ca.key -set_serial 7 -days 30 -outform DER -out cert2.der 2>/dev/null
p11 --login --pin 1234 --write-object cert2.der --type cert --label c2 >/dev/null 2>&1 &&
    fail "second certificate accepted into the key's container"
echo "MzvMode=1" >> "$VELLUMCREST_CONFIG"
write cert2.der --type cert --label c2
dump=$(vc_tool dump @imp)
[ "$(grep -c ': client ' <<<"$dump")" = 1 ] || fail "MZV mode: one client expected: $dump"
grep -q ': client .*label="c2"' <<<"$dump" || fail "MZV mode: certificate not replaced: $dump"
echo "OK"
