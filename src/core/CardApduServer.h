// The card side of our APDU set (docs/card-apdu.md): each command is carried out by the
// same ReaderCardPair operation that the directory backend runs in the application's
// process, so that the card's rules have one implementation. Used by vellumcrest-card-emu.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/CardApdu.h"
#include "core/CardChannel.h"
#include "core/CoreTypes.h"

namespace Vellumcrest {
namespace Core {

class ReaderCardPair;

class CardApduServer {
public:
    // The pair is the card; it must outlive the server. Its login flags are the card's
    // security state.
    explicit CardApduServer(ReaderCardPair* pair);
    ~CardApduServer();
    CardApduServer(const CardApduServer&) = delete;
    CardApduServer& operator=(const CardApduServer&) = delete;

    // One command APDU in, the response (data and status word) out. Any input gets an
    // answer; none makes the server allocate more than a chain of 1 MiB.
    Apdu::Bytes Process(const unsigned char* apdu, size_t length);
    // Power cycle: forgets the selection, a chain in progress, the security environment and
    // every verified PIN.
    void Reset();
    // Answer to reset: direct convention, T=1, historical bytes "Vellumcrest".
    static Apdu::Bytes Atr();

private:
    // Security environment set by MSE SET for the next PSO.
    struct Environment {
        bool set = false;
        uint32_t keyRecord = 0;
        unsigned algorithm = 0;
        HashType hash = HashTypeSha256;
        HashType mgfHash = HashTypeSha256;
        unsigned long saltLength = 0;
        Apdu::Bytes label;
    };
    using Handler = uint16_t (CardApduServer::*)(const Apdu::Command& command, Apdu::Bytes* out);
    struct Route {
        unsigned char cla;
        unsigned char ins;
        Handler handler;
    };
    static const Route kRoutes[];

    uint16_t process(const unsigned char* apdu, size_t length, Apdu::Bytes* out);
    // Collects a chained part; false when the command is complete in *command.
    bool chain(Apdu::Command* command, uint16_t* sw);
    void dropChain();
    // Status word for a card core result; wrong PINs with the tries left of authId.
    uint16_t status(int result, int authId = 0);

    // Application and file (CardApduServer.cpp).
    uint16_t select(const Apdu::Command& command, Apdu::Bytes* out);
    uint16_t getData(const Apdu::Command& command, Apdu::Bytes* out);
    uint16_t readBinary(const Apdu::Command& command, Apdu::Bytes* out);
    // PINs and private-key operations (CardApduServerAuth.cpp).
    uint16_t verify(const Apdu::Command& command, Apdu::Bytes* out);
    uint16_t changeReferenceData(const Apdu::Command& command, Apdu::Bytes* out);
    uint16_t resetRetryCounter(const Apdu::Command& command, Apdu::Bytes* out);
    uint16_t disableVerification(const Apdu::Command& command, Apdu::Bytes* out);
    uint16_t manageSecurityEnvironment(const Apdu::Command& command, Apdu::Bytes* out);
    uint16_t performSecurityOperation(const Apdu::Command& command, Apdu::Bytes* out);
    uint16_t computeSignature(const Apdu::Bytes& data, Apdu::Bytes* out);
    uint16_t decipher(const Apdu::Bytes& data, Apdu::Bytes* out);
    uint16_t getAttestation(const Apdu::Command& command, Apdu::Bytes* out);
    // Content (CardApduServerContent.cpp).
    uint16_t generateKeyPair(const Apdu::Command& command, Apdu::Bytes* out);
    uint16_t create(const Apdu::Command& command, Apdu::Bytes* out);
    uint16_t remove(const Apdu::Command& command, Apdu::Bytes* out);
    uint16_t putData(const Apdu::Command& command, Apdu::Bytes* out);
    uint16_t erase(const Apdu::Command& command, Apdu::Bytes* out);

    ReaderCardPair* pair_;
    bool selected_ = false;
    bool verified_[4] = {};
    Environment signEnvironment_;
    Environment decipherEnvironment_;
    // Chain in progress: the header of its first part and the data so far.
    bool chaining_ = false;
    Apdu::Command chain_;
    // The public image as of the last READ BINARY at offset 0: a read in parts sees one version.
    std::vector<unsigned char> publicImage_;
    bool havePublicImage_ = false;
};

// A channel straight into an APDU server in the same process (tests, tools): what the
// pcsc backend sends through PC/SC reaches the card without pcscd.
class CardApduServerChannel : public CardChannel {
public:
    explicit CardApduServerChannel(CardApduServer* server) : server_(server) {}
    int Transmit(const Apdu::Bytes& command, Apdu::Response* response) override;
    int BeginTransaction() override { return CoreOk; }
    void EndTransaction() override {}
    unsigned long LastError() const override { return 0; }

private:
    CardApduServer* server_;
};

// Wipes and empties a buffer that may hold a PIN or key material.
void WipeBytes(Apdu::Bytes* bytes);

}  // namespace Core
}  // namespace Vellumcrest
