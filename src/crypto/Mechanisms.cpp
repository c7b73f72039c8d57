#include "crypto/Mechanisms.h"

#include <new>

#include "module/ConfigPkcs11.h"

namespace Vellumcrest {
namespace Pkcs11 {
namespace Mechanisms {

namespace {

using Core::HashType;

constexpr CK_FLAGS kRsaClassic = CKF_HW | CKF_ENCRYPT | CKF_DECRYPT | CKF_SIGN | CKF_VERIFY;
constexpr CK_FLAGS kSignOnCard = CKF_HW | CKF_SIGN | CKF_VERIFY;
constexpr CK_FLAGS kCipherOnCard = CKF_HW | CKF_ENCRYPT | CKF_DECRYPT;
constexpr CK_ULONG kMinBits = 1024;
constexpr CK_ULONG kMaxBits = 2048;

// The classic seven first, in the order the classic module reports them.
const Mechanism kTable[] = {
    {CKM_MD5, 0, 0, CKF_DIGEST, Kind::Digest, Core::HashTypeMd5, Listing::Classic, 0},
    {CKM_SHA_1, 0, 0, CKF_DIGEST, Kind::Digest, Core::HashTypeSha1, Listing::Classic, 0},
    {CKM_SHA256, 0, 0, CKF_DIGEST, Kind::Digest, Core::HashTypeSha256, Listing::Classic, 0},
    {CKM_SHA384, 0, 0, CKF_DIGEST, Kind::Digest, Core::HashTypeSha384, Listing::Classic, 0},
    {CKM_SHA512, 0, 0, CKF_DIGEST, Kind::Digest, Core::HashTypeSha512, Listing::Classic, 0},
    {CKM_RSA_PKCS_KEY_PAIR_GEN, kMinBits, kMaxBits, CKF_HW | CKF_GENERATE_KEY_PAIR, Kind::KeyPairGen,
     Core::HashTypeSsl3, Listing::Classic, 0},
    {CKM_RSA_PKCS, kMinBits, kMaxBits, kRsaClassic, Kind::RsaRaw, Core::HashTypeSsl3, Listing::Classic, 0},

    // The classic module digests SHA-224 and verifies a given digest with the hash-and-sign
    // mechanisms (MD5 included) without listing them.
    {CKM_SHA224, 0, 0, CKF_DIGEST, Kind::Digest, Core::HashTypeSha224, Listing::Extended, CKF_DIGEST},
    {CKM_MD5_RSA_PKCS, kMinBits, kMaxBits, CKF_VERIFY, Kind::RsaHash, Core::HashTypeMd5, Listing::Never,
     CKF_VERIFY},

    {CKM_RSA_PKCS_PSS, kMinBits, kMaxBits, kSignOnCard, Kind::RsaPss, Core::HashTypeSsl3, Listing::Extended, 0},
    {CKM_SHA1_RSA_PKCS, kMinBits, kMaxBits, kSignOnCard, Kind::RsaHash, Core::HashTypeSha1, Listing::Extended,
     CKF_VERIFY},
    {CKM_SHA224_RSA_PKCS, kMinBits, kMaxBits, kSignOnCard, Kind::RsaHash, Core::HashTypeSha224, Listing::Extended,
     CKF_VERIFY},
    {CKM_SHA256_RSA_PKCS, kMinBits, kMaxBits, kSignOnCard, Kind::RsaHash, Core::HashTypeSha256, Listing::Extended,
     CKF_VERIFY},
    {CKM_SHA384_RSA_PKCS, kMinBits, kMaxBits, kSignOnCard, Kind::RsaHash, Core::HashTypeSha384, Listing::Extended,
     CKF_VERIFY},
    {CKM_SHA512_RSA_PKCS, kMinBits, kMaxBits, kSignOnCard, Kind::RsaHash, Core::HashTypeSha512, Listing::Extended,
     CKF_VERIFY},
    {CKM_SHA1_RSA_PKCS_PSS, kMinBits, kMaxBits, kSignOnCard, Kind::RsaHashPss, Core::HashTypeSha1,
     Listing::Extended, 0},
    {CKM_SHA224_RSA_PKCS_PSS, kMinBits, kMaxBits, kSignOnCard, Kind::RsaHashPss, Core::HashTypeSha224,
     Listing::Extended, 0},
    {CKM_SHA256_RSA_PKCS_PSS, kMinBits, kMaxBits, kSignOnCard, Kind::RsaHashPss, Core::HashTypeSha256,
     Listing::Extended, 0},
    {CKM_SHA384_RSA_PKCS_PSS, kMinBits, kMaxBits, kSignOnCard, Kind::RsaHashPss, Core::HashTypeSha384,
     Listing::Extended, 0},
    {CKM_SHA512_RSA_PKCS_PSS, kMinBits, kMaxBits, kSignOnCard, Kind::RsaHashPss, Core::HashTypeSha512,
     Listing::Extended, 0},
    {CKM_RSA_PKCS_OAEP, kMinBits, kMaxBits, kCipherOnCard, Kind::RsaOaep, Core::HashTypeSsl3, Listing::Extended, 0},
};

bool listed(const Mechanism& entry, bool extended) {
    return entry.listing == Listing::Classic || (extended && entry.listing == Listing::Extended);
}

// The SHA-1/SHA-2 digest mechanisms that PSS and OAEP parameters name, with their MGF1.
struct ParameterHash {
    CK_MECHANISM_TYPE mechanism;
    CK_RSA_PKCS_MGF_TYPE mgf;
    HashType hash;
};
const ParameterHash kParameterHashes[] = {
    {CKM_SHA_1, CKG_MGF1_SHA1, Core::HashTypeSha1},       {CKM_SHA224, CKG_MGF1_SHA224, Core::HashTypeSha224},
    {CKM_SHA256, CKG_MGF1_SHA256, Core::HashTypeSha256}, {CKM_SHA384, CKG_MGF1_SHA384, Core::HashTypeSha384},
    {CKM_SHA512, CKG_MGF1_SHA512, Core::HashTypeSha512},
};

// The hash of a parameter's hashAlg and MGF1; false unless both name the same SHA-1/SHA-2 hash.
bool matchingHashes(CK_MECHANISM_TYPE hashAlg, CK_RSA_PKCS_MGF_TYPE mgf, HashType* hash) {
    for (const ParameterHash& entry : kParameterHashes) {
        if (entry.mechanism != hashAlg) continue;
        if (entry.mgf != mgf) return false;
        *hash = entry.hash;
        return true;
    }
    return false;
}

CK_RV readPss(const Mechanism& mechanism, const CK_MECHANISM& given, unsigned long modulusBytes,
              OperationDetail* detail) {
    if (given.pParameter == nullptr || given.ulParameterLen != sizeof(CK_RSA_PKCS_PSS_PARAMS))
        return CKR_MECHANISM_PARAM_INVALID;
    const auto* params = static_cast<const CK_RSA_PKCS_PSS_PARAMS*>(given.pParameter);
    HashType hash;
    if (!matchingHashes(params->hash_alg, params->mgf, &hash)) return CKR_MECHANISM_PARAM_INVALID;
    // The hash-and-sign forms hash with their own algorithm; the parameter must name it.
    if (mechanism.kind == Kind::RsaHashPss && hash != mechanism.hash) return CKR_MECHANISM_PARAM_INVALID;
    unsigned long hashLength = DigestLength(hash);
    if (modulusBytes != 0 && (modulusBytes < hashLength + 2 || params->s_len > modulusBytes - hashLength - 2))
        return CKR_MECHANISM_PARAM_INVALID;
    detail->hash = hash;
    detail->mgfHash = hash;
    detail->saltLength = params->s_len;
    return CKR_OK;
}

// Labels longer than this are refused rather than copied.
constexpr CK_ULONG kMaxLabel = 64 * 1024;

CK_RV readOaep(const CK_MECHANISM& given, unsigned long modulusBytes, OperationDetail* detail) {
    if (given.pParameter == nullptr || given.ulParameterLen != sizeof(CK_RSA_PKCS_OAEP_PARAMS))
        return CKR_MECHANISM_PARAM_INVALID;
    const auto* params = static_cast<const CK_RSA_PKCS_OAEP_PARAMS*>(given.pParameter);
    HashType hash;
    if (!matchingHashes(params->hash_alg, params->mgf, &hash)) return CKR_MECHANISM_PARAM_INVALID;
    // No source means no label; a label is given as CKZ_DATA_SPECIFIED data.
    if (params->source != 0 && params->source != CKZ_DATA_SPECIFIED) return CKR_MECHANISM_PARAM_INVALID;
    if (params->source == 0 && (params->source_data != nullptr || params->source_data_len != 0))
        return CKR_MECHANISM_PARAM_INVALID;
    if (params->source_data == nullptr && params->source_data_len != 0) return CKR_MECHANISM_PARAM_INVALID;
    if (params->source_data_len > kMaxLabel) return CKR_MECHANISM_PARAM_INVALID;
    if (modulusBytes != 0 && modulusBytes < 2 * DigestLength(hash) + 2) return CKR_MECHANISM_PARAM_INVALID;
    detail->hash = hash;
    detail->mgfHash = hash;
    const auto* label = static_cast<const unsigned char*>(params->source_data);
    try {
        detail->label.assign(label, label + (label != nullptr ? params->source_data_len : 0));
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    }
    return CKR_OK;
}

}  // namespace

bool Extended() { return GetConfigPkcs11()->GetExtendedMechanisms(); }

CK_ULONG List(CK_MECHANISM_TYPE* out) {
    bool extended = Extended();
    CK_ULONG count = 0;
    for (const Mechanism& entry : kTable) {
        if (!listed(entry, extended)) continue;
        if (out != nullptr) out[count] = entry.type;
        ++count;
    }
    return count;
}

const Mechanism* Listed(CK_MECHANISM_TYPE type) {
    const Mechanism* entry = Find(type);
    return entry != nullptr && listed(*entry, Extended()) ? entry : nullptr;
}

const Mechanism* ForFunction(CK_MECHANISM_TYPE type, CK_FLAGS function) {
    const Mechanism* entry = Find(type);
    if (entry == nullptr) return nullptr;
    bool extended = Extended();
    if (listed(*entry, extended) && (entry->flags & function) != 0) return entry;
    if (!extended && (entry->classicFunctions & function) != 0) return entry;
    return nullptr;
}

const Mechanism* Find(CK_MECHANISM_TYPE type) {
    for (const Mechanism& entry : kTable)
        if (entry.type == type) return &entry;
    return nullptr;
}

Core::HashType MessageHash(const Mechanism& mechanism) {
    bool hashing = mechanism.kind == Kind::RsaHash || mechanism.kind == Kind::RsaHashPss;
    return hashing ? mechanism.hash : Core::HashTypeSsl3;
}

bool KeySizeAllowed(const Mechanism& mechanism, unsigned long modulusBytes) {
    CK_ULONG bits = static_cast<CK_ULONG>(modulusBytes) * 8;
    return bits == mechanism.minKeyBits || bits == mechanism.maxKeyBits;
}

unsigned long DigestLength(Core::HashType hash) {
    switch (hash) {
    case Core::HashTypeSha1: return 20;
    case Core::HashTypeSha224: return 28;
    case Core::HashTypeSha256: return 32;
    case Core::HashTypeSha384: return 48;
    case Core::HashTypeSha512: return 64;
    default: return 0;
    }
}

CK_RV ReadParameter(const Mechanism& mechanism, const CK_MECHANISM& given, unsigned long modulusBytes,
                    OperationDetail* detail) {
    detail->mechanism = mechanism.type;
    switch (mechanism.kind) {
    case Kind::RsaPss:
    case Kind::RsaHashPss: return readPss(mechanism, given, modulusBytes, detail);
    case Kind::RsaOaep: return readOaep(given, modulusBytes, detail);
    default: return CKR_OK;
    }
}

}  // namespace Mechanisms
}  // namespace Pkcs11
}  // namespace Vellumcrest
