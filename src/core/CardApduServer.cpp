// APDU server: command parsing, chaining, dispatch, selection, identity and the public image.
#include "core/CardApduServer.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "core/Reader.h"
#include "core/RemoteCard.h"

namespace Vellumcrest {
namespace Core {

using namespace Apdu;

void WipeBytes(Bytes* bytes) {
    if (!bytes->empty()) OPENSSL_cleanse(bytes->data(), bytes->size());
    bytes->clear();
}

int CardApduServerChannel::Transmit(const Bytes& command, Response* response) {
    Bytes raw = server_->Process(command.data(), command.size());
    bool ok = ParseResponse(raw.data(), raw.size(), response);
    WipeBytes(&raw);
    return ok ? CoreOk : CoreIoError;
}

const CardApduServer::Route CardApduServer::kRoutes[] = {
    {ClaIso, InsSelect, &CardApduServer::select},
    {ClaIso, InsGetData, &CardApduServer::getData},
    {ClaIso, InsReadBinaryOdd, &CardApduServer::readBinary},
    {ClaIso, InsVerify, &CardApduServer::verify},
    {ClaIso, InsChangeReferenceData, &CardApduServer::changeReferenceData},
    {ClaIso, InsResetRetryCounter, &CardApduServer::resetRetryCounter},
    {ClaIso, InsDisableVerification, &CardApduServer::disableVerification},
    {ClaIso, InsManageSecurityEnvironment, &CardApduServer::manageSecurityEnvironment},
    {ClaIso, InsPerformSecurityOperation, &CardApduServer::performSecurityOperation},
    {ClaIso, InsGenerateKeyPair, &CardApduServer::generateKeyPair},
    {ClaProprietary, InsGenerateKeyPair, &CardApduServer::generateKeyPair},
    {ClaProprietary, InsGetAttestation, &CardApduServer::getAttestation},
    {ClaProprietary, InsCreate, &CardApduServer::create},
    {ClaProprietary, InsDelete, &CardApduServer::remove},
    {ClaProprietary, InsPutData, &CardApduServer::putData},
    {ClaProprietary, InsErase, &CardApduServer::erase},
};

CardApduServer::CardApduServer(ReaderCardPair* pair) : pair_(pair) {}

CardApduServer::~CardApduServer() {
    dropChain();
    WipeBytes(&publicImage_);
}

Bytes CardApduServer::Atr() {
    static const char kHistorical[] = "Vellumcrest";
    const size_t historical = sizeof kHistorical - 1;
    // TS direct; T0: TD1 present, K historical bytes; TD1: TD2 present, T=1; TD2: TA3 and
    // TB3 present, T=1; TA3: IFSC 254; TB3: BWI 4, CWI 5.
    Bytes atr = {0x3B, static_cast<unsigned char>(0x80 | historical), 0x81, 0x31, 0xFE, 0x45};
    atr.insert(atr.end(), kHistorical, kHistorical + historical);
    unsigned char check = 0;
    for (size_t i = 1; i < atr.size(); ++i) check ^= atr[i];
    atr.push_back(check);
    return atr;
}

void CardApduServer::Reset() {
    selected_ = false;
    dropChain();
    signEnvironment_ = Environment();
    decipherEnvironment_ = Environment();
    for (bool& flag : verified_) flag = false;
    pair_->Logout();
}

void CardApduServer::dropChain() {
    chaining_ = false;
    WipeBytes(&chain_.data);
    chain_ = Command();
}

Bytes CardApduServer::Process(const unsigned char* apdu, size_t length) {
    Bytes out;
    uint16_t sw;
    try {
        // The pair stays held for the whole command: records looked up are valid until it ends.
        LockGuard<ReaderCardPair> guard(*pair_);
        sw = process(apdu, length, &out);
    } catch (...) {
        // Out of memory (or worse) half way: nothing partial goes out.
        WipeBytes(&out);
        dropChain();
        sw = SwUnknown;
    }
    if (sw != SwOk && sw != SwEndOfFile) WipeBytes(&out);
    Bytes response;
    try {
        response = BuildResponse(out, sw);
    } catch (...) {
        response = Bytes{static_cast<unsigned char>(SwUnknown >> 8), static_cast<unsigned char>(SwUnknown & 0xFF)};
    }
    // A deciphered plaintext goes to the caller only.
    WipeBytes(&out);
    return response;
}

uint16_t CardApduServer::process(const unsigned char* apdu, size_t length, Bytes* out) {
    Command command;
    if (!ParseCommand(apdu, length, &command)) {
        dropChain();
        return SwWrongLength;
    }
    // Secure messaging and logical channels are not offered.
    unsigned char cla = static_cast<unsigned char>(command.cla & ~ClaChaining);
    if (cla != ClaIso && cla != ClaProprietary) {
        WipeBytes(&command.data);
        dropChain();
        return SwClaNotSupported;
    }
    uint16_t sw = SwOk;
    if (chain(&command, &sw)) return sw;
    if (!selected_ && !(cla == ClaIso && command.ins == InsSelect)) {
        WipeBytes(&command.data);
        return SwConditionsNotSatisfied;
    }
    command.cla = cla;
    for (const Route& route : kRoutes) {
        if (route.cla != cla || route.ins != command.ins) continue;
        sw = (this->*route.handler)(command, out);
        WipeBytes(&command.data);
        return sw;
    }
    WipeBytes(&command.data);
    bool known = false;
    for (const Route& route : kRoutes) known = known || route.ins == command.ins;
    return known ? SwClaNotSupported : SwInsNotSupported;
}

bool CardApduServer::chain(Command* command, uint16_t* sw) {
    bool more = (command->cla & ClaChaining) != 0;
    bool sameChain = chaining_ && chain_.cla == (command->cla | ClaChaining) && chain_.ins == command->ins &&
                     chain_.p1 == command->p1 && chain_.p2 == command->p2;
    if (chaining_ && !sameChain) dropChain();  // another command ends a chain unfinished
    if (!chaining_ && !more) return false;
    if (chain_.data.size() + command->data.size() > kMaxCommandData) {
        WipeBytes(&command->data);
        dropChain();
        *sw = SwWrongLength;
        return true;
    }
    if (!chaining_) {
        chaining_ = true;
        chain_.cla = static_cast<unsigned char>(command->cla | ClaChaining);
        chain_.ins = command->ins;
        chain_.p1 = command->p1;
        chain_.p2 = command->p2;
    }
    // Appending may move the buffer: the old one is wiped first.
    Bytes joined;
    joined.reserve(chain_.data.size() + command->data.size());
    joined.insert(joined.end(), chain_.data.begin(), chain_.data.end());
    joined.insert(joined.end(), command->data.begin(), command->data.end());
    WipeBytes(&chain_.data);
    WipeBytes(&command->data);
    chain_.data = std::move(joined);
    if (more) {
        *sw = SwOk;
        return true;
    }
    command->data = std::move(chain_.data);
    chaining_ = false;
    chain_ = Command();
    return false;
}

uint16_t CardApduServer::status(int result, int authId) {
    switch (result) {
    case CoreWrongPin: {
        bool initialised = false;
        int tries = 0;
        pair_->GetAuthCodeState(authId, &initialised, &tries);
        return StatusFor(result, tries);
    }
    case CoreCardNotPresent:
    case CoreCardUnsupported:
        // The image went away or became unreadable: as far as the reader can tell, not our card.
        selected_ = false;
        return SwApplicationNotFound;
    case CoreBufferTooSmall: return SwUnknown;
    default: return StatusFor(result);
    }
}

uint16_t CardApduServer::select(const Command& command, Bytes* out) {
    if (command.p1 != 0x04 || (command.p2 != 0x00 && command.p2 != 0x0C)) return SwWrongP1P2;
    if (command.data.size() != sizeof kAid || std::memcmp(command.data.data(), kAid, sizeof kAid) != 0) {
        selected_ = false;
        return SwApplicationNotFound;
    }
    RemoteIdentity identity;
    int rc = pair_->GetCardIdentity(&identity);
    if (rc != CoreOk) {
        selected_ = false;
        return rc == CoreIoError ? SwMemoryFailure : SwApplicationNotFound;
    }
    selected_ = true;
    if (command.p2 == 0x00) {
        TlvWriter fci;
        fci.Add(TagKeyReference, kAid, sizeof kAid);
        TlvWriter outer;
        outer.Add(TagFci, fci.Data());
        *out = outer.Take();
    }
    return SwOk;
}

uint16_t CardApduServer::getData(const Command& command, Bytes* out) {
    if (command.p1 != 0x01 || command.p2 != 0x01) return SwWrongP1P2;
    RemoteIdentity identity;
    int rc = pair_->GetCardIdentity(&identity);
    if (rc != CoreOk) return status(rc);
    TlvWriter tlv;
    tlv.Add(kIdentityCardId, reinterpret_cast<const unsigned char*>(identity.cardId.data()), identity.cardId.size());
    tlv.AddU64(kIdentitySerial, identity.insertionSerial);
    tlv.AddU64(kIdentityGeneration, identity.generation);
    tlv.AddU8(kIdentityCardType, static_cast<unsigned>(identity.type));
    *out = tlv.Take();
    return SwOk;
}

uint16_t CardApduServer::readBinary(const Command& command, Bytes* out) {
    if (((command.p1 << 8) | command.p2) != kPublicImageFile) return SwWrongP1P2;
    TlvReader tlv;
    const Bytes* offsetValue = tlv.Parse(command.data) ? tlv.Find(TagOffset) : nullptr;
    if (offsetValue == nullptr || offsetValue->empty() || offsetValue->size() > 4) return SwWrongData;
    size_t offset = 0;
    for (unsigned char b : *offsetValue) offset = (offset << 8) | b;
    if (offset == 0 || !havePublicImage_) {
        Bytes fresh;
        int rc = pair_->GetPublicImage(&fresh, nullptr);
        if (rc != CoreOk) return status(rc);
        publicImage_ = std::move(fresh);
        havePublicImage_ = true;
    }
    if (offset > publicImage_.size()) return SwWrongData;
    // What one response can carry: vpcd frames are at most 65535 bytes, status word included.
    size_t wanted = command.hasLe ? command.le : kMaxShortData + 1;
    size_t room = std::min(wanted, kMaxExtendedData - 2);
    size_t n = std::min(room, publicImage_.size() - offset);
    out->assign(publicImage_.begin() + static_cast<long>(offset), publicImage_.begin() + static_cast<long>(offset + n));
    return n < wanted && offset + n == publicImage_.size() ? SwEndOfFile : SwOk;
}

}  // namespace Core
}  // namespace Vellumcrest
