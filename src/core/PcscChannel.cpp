#include "core/PcscChannel.h"

#include <PCSC/reader.h>

#include <cstring>

#include "core/CoreTypes.h"
#include "core/Log.h"

namespace Vellumcrest {
namespace Core {

namespace {

// Largest response: extended Le plus the status word.
constexpr size_t kMaxResponse = Apdu::kMaxExtendedData + 1 + 2;

}  // namespace

bool FindReaderFeature(const unsigned char* tlv, size_t length, unsigned char feature, uint32_t* controlCode) {
    if (tlv == nullptr) return false;
    size_t at = 0;
    while (at + 2 <= length) {
        unsigned char tag = tlv[at];
        size_t size = tlv[at + 1];
        if (at + 2 + size > length) return false;  // truncated: nothing after it can be trusted
        if (tag == feature && size == 4) {
            const unsigned char* value = tlv + at + 2;
            *controlCode = (uint32_t(value[0]) << 24) | (uint32_t(value[1]) << 16) | (uint32_t(value[2]) << 8) |
                           uint32_t(value[3]);
            return true;
        }
        at += 2 + size;
    }
    return false;
}

PcscChannel::PcscChannel(const std::string& reader) : reader_(reader) {}

PcscChannel::~PcscChannel() { Disconnect(); }

int PcscChannel::fail(LONG rc) {
    lastError_ = static_cast<unsigned long>(static_cast<uint32_t>(rc));
    context_.Check(rc);
    if (PcscContextLost(rc) || PcscCardGone(rc) || rc == SCARD_E_INVALID_HANDLE) {
        // The handle is of no further use: a new connection is made at the next command.
        if (!PcscContextLost(rc)) Disconnect();
        card_ = 0;
        transactionDepth_ = 0;
    }
    return PcscCardGone(rc) ? CoreCardNotPresent : CoreSCardError;
}

PcscChannel::Presence PcscChannel::Status(unsigned* eventCount) {
    *eventCount = 0;
    const PcscApi* api = GetPcscApi();
    if (api == nullptr) return Presence::Gone;
    SCARDCONTEXT context = 0;
    LONG rc = context_.Get(&context);
    if (rc != SCARD_S_SUCCESS) {
        // No service: no readers.
        lastError_ = static_cast<uint32_t>(rc);
        return rc == SCARD_E_NO_SERVICE ? Presence::Gone : Presence::Failed;
    }
    SCARD_READERSTATE state;
    std::memset(&state, 0, sizeof state);
    state.szReader = reader_.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    rc = api->GetStatusChange(context, 0, &state, 1);
    context_.Check(rc);
    if (rc == SCARD_E_UNKNOWN_READER || rc == SCARD_E_NO_READERS_AVAILABLE || PcscContextLost(rc)) {
        if (card_ != 0) fail(SCARD_E_READER_UNAVAILABLE);
        return Presence::Gone;
    }
    if (rc != SCARD_S_SUCCESS && rc != SCARD_E_TIMEOUT) {
        lastError_ = static_cast<uint32_t>(rc);
        return Presence::Failed;
    }
    *eventCount = static_cast<unsigned>((state.dwEventState >> 16) & 0xFFFF);
    DWORD event = state.dwEventState & 0xFFFF;
    if (event & (SCARD_STATE_UNKNOWN | SCARD_STATE_IGNORE | SCARD_STATE_UNAVAILABLE)) return Presence::Gone;
    if (event & SCARD_STATE_PRESENT) return Presence::Present;
    return Presence::Empty;
}

int PcscChannel::Connect() {
    if (card_ != 0) return CoreOk;
    const PcscApi* api = GetPcscApi();
    if (api == nullptr) return fail(SCARD_E_NO_SERVICE);
    SCARDCONTEXT context = 0;
    LONG rc = context_.Get(&context);
    if (rc != SCARD_S_SUCCESS) return fail(rc);
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    rc = api->Connect(context, reader_.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card,
                      &protocol);
    if (rc == SCARD_W_UNRESPONSIVE_CARD || rc == SCARD_W_UNSUPPORTED_CARD) {
        // Mute, or no protocol in common: a card, but not one of ours.
        lastError_ = static_cast<uint32_t>(rc);
        return CoreCardUnsupported;
    }
    if (rc != SCARD_S_SUCCESS) return fail(rc);
    card_ = card;
    protocol_ = protocol;
    transactionDepth_ = 0;
    if (!featuresRead_) readFeatures();
    return CoreOk;
}

void PcscChannel::Disconnect() {
    if (card_ == 0) return;
    if (const PcscApi* api = GetPcscApi()) api->Disconnect(card_, SCARD_LEAVE_CARD);
    card_ = 0;
    transactionDepth_ = 0;
}

void PcscChannel::readFeatures() {
    featuresRead_ = true;
    unsigned char answer[256];
    DWORD length = 0;
    LONG rc = GetPcscApi()->Control(card_, CM_IOCTL_GET_FEATURE_REQUEST, nullptr, 0, answer, sizeof answer, &length);
    // Another process holding the card: ask again at the next connection.
    if (rc == SCARD_E_SHARING_VIOLATION) featuresRead_ = false;
    // Readers without part 10 support refuse the request: no PIN pad.
    if (rc != SCARD_S_SUCCESS || length > sizeof answer) return;
    uint32_t code = 0;
    pinPad_ = FindReaderFeature(answer, length, FEATURE_VERIFY_PIN_DIRECT, &code);
    verifyPinCode_ = pinPad_ ? code : 0;
    if (pinPad_) GetCoreLog()->Info("PC/SC: ctecka %s ma klavesnici pro PIN", reader_.c_str());
}

LONG PcscChannel::recoverFromReset() {
    DWORD protocol = 0;
    LONG rc = GetPcscApi()->Reconnect(card_, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                                      SCARD_LEAVE_CARD, &protocol);
    if (rc != SCARD_S_SUCCESS) return rc;
    protocol_ = protocol;
    GetCoreLog()->Warning("PC/SC: karta ve ctecce %s byla resetovana, znovu pripojena", reader_.c_str());
    Apdu::Bytes select = Apdu::BuildCommand(Apdu::ClaIso, Apdu::InsSelect, 0x04, 0x00,
                                            Apdu::Bytes(Apdu::kAid, Apdu::kAid + sizeof Apdu::kAid), 256);
    Apdu::Bytes ignored;
    return exchange(select, &ignored);
}

LONG PcscChannel::transmitOnce(const Apdu::Bytes& command, Apdu::Bytes* raw) {
    const SCARD_IO_REQUEST pci = {protocol_, sizeof(SCARD_IO_REQUEST)};
    raw->assign(kMaxResponse, 0);
    DWORD length = static_cast<DWORD>(raw->size());
    LONG rc = GetPcscApi()->Transmit(card_, &pci, command.data(), static_cast<DWORD>(command.size()), nullptr,
                                     raw->data(), &length);
    raw->resize(rc == SCARD_S_SUCCESS && length <= kMaxResponse ? length : 0);
    return rc;
}

LONG PcscChannel::exchange(const Apdu::Bytes& command, Apdu::Bytes* raw) {
    return protocol_ == SCARD_PROTOCOL_T0 ? transmitT0(command, raw) : transmitOnce(command, raw);
}

// T=0 carries no Le in the exchange: the card asks for GET RESPONSE (61xx) or for the
// command again with the right Le (6Cxx).
LONG PcscChannel::transmitT0(const Apdu::Bytes& command, Apdu::Bytes* raw) {
    LONG rc = transmitOnce(command, raw);
    if (rc != SCARD_S_SUCCESS || raw->size() != 2) return rc;
    if ((*raw)[0] == 0x6C && command.size() >= 5) {
        Apdu::Bytes again(command);
        again.back() = (*raw)[1];
        rc = transmitOnce(again, raw);
    }
    Apdu::Bytes data;
    for (int parts = 0; rc == SCARD_S_SUCCESS && raw->size() >= 2 && (*raw)[raw->size() - 2] == 0x61; ++parts) {
        if (parts > 512 || data.size() > Apdu::kMaxExtendedData) return SCARD_F_COMM_ERROR;
        data.insert(data.end(), raw->begin(), raw->end() - 2);
        Apdu::Bytes getResponse = {0x00, 0xC0, 0x00, 0x00, (*raw)[raw->size() - 1]};
        rc = transmitOnce(getResponse, raw);
    }
    if (rc == SCARD_S_SUCCESS && !data.empty()) raw->insert(raw->begin(), data.begin(), data.end());
    return rc;
}

int PcscChannel::Transmit(const Apdu::Bytes& command, Apdu::Response* response) {
    int connected = Connect();
    if (connected != CoreOk) return connected;
    Apdu::Bytes raw;
    LONG rc = exchange(command, &raw);
    if (rc == SCARD_W_RESET_CARD) {
        rc = recoverFromReset();
        if (rc == SCARD_S_SUCCESS) rc = exchange(command, &raw);
    }
    if (rc != SCARD_S_SUCCESS) return fail(rc);
    if (!Apdu::ParseResponse(raw.data(), raw.size(), response)) return fail(SCARD_F_COMM_ERROR);
    return CoreOk;
}

int PcscChannel::BeginTransaction() {
    if (transactionDepth_ > 0) {
        ++transactionDepth_;
        return CoreOk;
    }
    int connected = Connect();
    if (connected != CoreOk) return connected;
    LONG rc = GetPcscApi()->BeginTransaction(card_);
    if (rc == SCARD_W_RESET_CARD) {
        rc = recoverFromReset();
        if (rc == SCARD_S_SUCCESS) rc = GetPcscApi()->BeginTransaction(card_);
    }
    if (rc != SCARD_S_SUCCESS) return fail(rc);
    transactionDepth_ = 1;
    return CoreOk;
}

void PcscChannel::EndTransaction() {
    if (transactionDepth_ == 0 || --transactionDepth_ > 0 || card_ == 0) return;
    LONG rc = GetPcscApi()->EndTransaction(card_, SCARD_LEAVE_CARD);
    if (rc != SCARD_S_SUCCESS) fail(rc);
}

}  // namespace Core
}  // namespace Vellumcrest
