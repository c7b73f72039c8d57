#!/usr/bin/env bash
# The library exports exactly the PKCS#11 and vendor C functions, the handle-list
# instantiations, the ConfigPkcs11 class and GetConfigPkcs11.
set -euo pipefail
MODULE=${VC_MODULE_PATH:?}
fail() { echo "FAIL: $*" >&2; exit 1; }

functions="C_Initialize C_Finalize C_GetInfo C_GetFunctionList C_GetSlotList C_GetSlotInfo C_GetTokenInfo
C_GetMechanismList C_GetMechanismInfo C_InitToken C_InitPIN C_SetPIN C_OpenSession C_CloseSession
C_CloseAllSessions C_GetSessionInfo C_GetOperationState C_SetOperationState C_Login C_Logout C_CreateObject
C_CopyObject C_DestroyObject C_GetObjectSize C_GetAttributeValue C_SetAttributeValue C_FindObjectsInit
C_FindObjects C_FindObjectsFinal C_EncryptInit C_Encrypt C_EncryptUpdate C_EncryptFinal C_DecryptInit
C_Decrypt C_DecryptUpdate C_DecryptFinal C_DigestInit C_Digest C_DigestUpdate C_DigestKey C_DigestFinal
C_SignInit C_Sign C_SignUpdate C_SignFinal C_SignRecoverInit C_SignRecover C_VerifyInit C_Verify
C_VerifyUpdate C_VerifyFinal C_VerifyRecoverInit C_VerifyRecover C_DigestEncryptUpdate
C_DecryptDigestUpdate C_SignEncryptUpdate C_DecryptVerifyUpdate C_GenerateKey C_GenerateKeyPair C_WrapKey
C_UnwrapKey C_DeriveKey C_SeedRandom C_GenerateRandom C_GetFunctionStatus C_CancelFunction
C_WaitForSlotEvent C_GetSlotListEx C_GetReaderCardPair C_PINPadPseudoLogin C_DeleteContainer"

element_types="Vellumcrest::Core::CardCertificateRecord Vellumcrest::Core::CardContainerRecord
Vellumcrest::Core::CardFileStorageRecord Vellumcrest::Core::CardPrivateKeyRecord
Vellumcrest::Core::CardPublicKeyRecord Vellumcrest::Core::CardRootHashRecord Vellumcrest::Csp::Context
Vellumcrest::Core::CoreObject Vellumcrest::Core::Hash Vellumcrest::Core::Key Vellumcrest::Core::ReaderCardPair
Vellumcrest::Pkcs11::Session Vellumcrest::Pkcs11::SessionGroup"

raw=$(nm -D --defined-only "$MODULE" | awk '{print $NF}' | grep -vxE '_init|_fini|_edata|_end|__bss_start' || true)
demangled=$(printf '%s\n' "$raw" | c++filt | sort -u)

# 1. Nothing outside the allowed families.
config='Vellumcrest::Pkcs11::ConfigPkcs11'
unexpected=$(printf '%s\n' "$demangled" | grep -vE \
    "^C_[A-Za-z]+\$|^((vtable|typeinfo|typeinfo name) for )?Vellumcrest::Core::List<|^((vtable|typeinfo|typeinfo name) for )?${config}(\$|::)|^Vellumcrest::Pkcs11::GetConfigPkcs11\(\)\$" || true)

# 2. Exactly the 72 C functions.
c_exports=$(printf '%s\n' "$demangled" | grep -E '^C_' | sort)
expected_c=$(printf '%s\n' $functions | sort)
[ "$c_exports" = "$expected_c" ] || fail "C exports differ:
$(diff <(echo "$expected_c") <(echo "$c_exports") || true)"
[ "$(printf '%s\n' "$c_exports" | wc -l)" -eq 72 ] || fail "not 72 C functions"

# 3. Every instantiation with its table and all its operations.
members=("List()" "~List()" "GetCount()" "VerifyHandle(unsigned long)" "GetFirst(unsigned long&)"
         "GetLast(unsigned long&)" "GetNext(unsigned long&)" "GetPrev(unsigned long&)" "Add(T*)"
         "Remove(unsigned long)" "RemoveAll()" "FindObject(int)" "FindObject(unsigned long)" "FindHandle(int)"
         "FindHandle(T*)" "RemoveAndDestroyAll()")
missing=""
for type in $element_types; do
    list="Vellumcrest::Core::List<$type>"
    for prefix in "vtable for " "typeinfo for "; do
        grep -qxF "$prefix$list" <<<"$demangled" || missing+="$prefix$list"$'\n'
    done
    for member in "${members[@]}"; do
        name="$list::${member//T\*/$type*}"
        grep -qxF "$name" <<<"$demangled" || missing+="$name"$'\n'
    done
done

# 4. The configuration class and its accessor.
for name in "$config::ConfigPkcs11()" "$config::ConfigPkcs11($config const&)" "$config::ConfigPkcs11($config&&)" \
            "$config::operator=($config const&)" "$config::operator=($config&&)" "$config::~ConfigPkcs11()" \
            "$config::Load(void*)" "vtable for $config" "typeinfo for $config" \
            "Vellumcrest::Pkcs11::GetConfigPkcs11()"; do
    grep -qxF "$name" <<<"$demangled" || missing+="$name"$'\n'
done
[ -z "$unexpected" ] || echo "unexpected exports:"$'\n'"$unexpected" >&2
[ -z "$missing" ] || echo "missing exports:"$'\n'"$missing" >&2
[ -z "$unexpected$missing" ] || fail "the exported symbols differ from the contract"

echo "OK: $(printf '%s\n' "$raw" | wc -l) exported symbols"
