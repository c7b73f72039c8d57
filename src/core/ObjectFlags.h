// Object flags of the card's records, shared by the core objects and their list (core
// internal).
#pragma once

#include <cstring>

#include "core/CardRecords.h"
#include "core/CoreTypes.h"

namespace Vellumcrest {
namespace Core {
namespace ObjectFlags {

inline void copyId(tKeyIdentifier& target, const unsigned char* data, size_t length) {
    std::memset(&target, 0, sizeof(target));
    if (length > sizeof(target.value)) length = sizeof(target.value);
    if (length > 0) std::memcpy(target.value, data, length);
    target.length = static_cast<uint32_t>(length);
}

// Flags of the objects read from the card, by the key-pair flags of their records.
constexpr int kMaySign = KeyPairFlagSign | KeyPairFlagEsign | KeyPairFlagApplication;

inline CoreObjectFlags tokenFlags(const CardCommonAttribute* common) {
    CoreObjectFlags flags = {};
    flags.token = 1;
    flags.modifiable = 1;
    if (common != nullptr && common->HasId())
        copyId(flags.id, common->GetId().data(), common->GetId().size());
    return flags;
}

inline CoreObjectFlags publicKeyFlags(const CardPublicKeyRecord* record) {
    CoreObjectFlags flags = tokenFlags(record != nullptr ? &record->common : nullptr);
    int usage = record != nullptr ? record->keyPairFlags : 0;
    flags.extractable = 1;
    flags.encrypt = (usage & KeyPairFlagDecrypt) ? 1 : 0;
    flags.verify = (usage & kMaySign) ? 1 : 0;
    flags.esign = (usage & KeyPairFlagEsign) ? 1 : 0;
    return flags;
}

inline CoreObjectFlags privateKeyFlags(const CardPrivateKeyRecord* record) {
    CoreObjectFlags flags = tokenFlags(record != nullptr ? &record->common : nullptr);
    int usage = record != nullptr ? record->keyPairFlags : 0;
    flags.privateObject = 1;
    flags.extractable = 0;
    flags.decrypt = (usage & KeyPairFlagDecrypt) ? 1 : 0;
    flags.sign = (usage & kMaySign) ? 1 : 0;
    flags.esign = (usage & KeyPairFlagEsign) ? 1 : 0;
    return flags;
}

}  // namespace ObjectFlags
}  // namespace Core
}  // namespace Vellumcrest
