// A card in a PC/SC reader, reached through pcsc-lite: the channel of the pcsc reader backend.
// Used under the lock of its reader/card pair only.
#pragma once

#include <cstdint>
#include <string>

#include "core/CardChannel.h"
#include "core/PcscLibrary.h"

namespace Vellumcrest {
namespace Core {

// Finds a PC/SC part 10 feature in the answer to CM_IOCTL_GET_FEATURE_REQUEST: a list of
// tag, length 4, big-endian control code. Stops at the first malformed element.
bool FindReaderFeature(const unsigned char* tlv, size_t length, unsigned char feature, uint32_t* controlCode);

class PcscChannel : public CardChannel {
public:
    explicit PcscChannel(const std::string& reader);
    ~PcscChannel() override;
    PcscChannel(const PcscChannel&) = delete;
    PcscChannel& operator=(const PcscChannel&) = delete;

    // Connects first when not connected. A reset of the card by another process is
    // answered by one reconnection and a new SELECT of our application.
    int Transmit(const Apdu::Bytes& command, Apdu::Response* response) override;
    // Nested calls count; the outermost EndTransaction ends it, leaving the card as it is.
    int BeginTransaction() override;
    void EndTransaction() override;
    unsigned long LastError() const override { return lastError_; }

    enum class Presence { Gone, Empty, Present, Failed };
    // The reader's state now, by one SCardGetStatusChange with timeout 0. *eventCount gets
    // pcsc-lite's insertion/removal counter of the reader. Failed: LastError tells why.
    Presence Status(unsigned* eventCount);
    // SCardConnect (shared, T=0 or T=1) unless connected. 0, CoreCardNotPresent,
    // CoreCardUnsupported (a mute card or one without T=0/T=1) or CoreSCardError; the
    // reader's features are read at the first connection.
    int Connect();
    // Disconnects leaving the card as it is (a transaction still held ends with it).
    void Disconnect();
    bool Connected() const { return card_ != 0; }
    // True when the reader verifies PINs on its own keypad (FEATURE_VERIFY_PIN_DIRECT).
    bool PinPad() const { return pinPad_; }
    uint32_t VerifyPinControlCode() const { return verifyPinCode_; }

private:
    // Records the failure; the core result for it.
    int fail(LONG rc);
    LONG transmitOnce(const Apdu::Bytes& command, Apdu::Bytes* raw);
    LONG exchange(const Apdu::Bytes& command, Apdu::Bytes* raw);
    LONG transmitT0(const Apdu::Bytes& command, Apdu::Bytes* raw);
    // After SCARD_W_RESET_CARD: reconnect and select our application again.
    LONG recoverFromReset();
    void readFeatures();

    std::string reader_;
    PcscContext context_;
    SCARDHANDLE card_ = 0;
    DWORD protocol_ = 0;
    int transactionDepth_ = 0;
    bool featuresRead_ = false;
    bool pinPad_ = false;
    uint32_t verifyPinCode_ = 0;
    unsigned long lastError_ = 0;
};

}  // namespace Core
}  // namespace Vellumcrest
