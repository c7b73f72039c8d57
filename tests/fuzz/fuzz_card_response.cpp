// The module's side of the card protocol over a channel whose card answers with the fuzz
// input: RemoteCard's commands one by one, or (first byte odd) a reader/card pair of the
// pcsc backend reading the card and doing card work with it. After the first byte the input
// is a list of responses, each a 2-byte big-endian length and that many bytes (data and
// status word); a response shorter than a status word is a failure of the reader, and the
// end of the input is the card being pulled. Every command the module sends must be a
// well-formed APDU.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "core/CardApdu.h"
#include "core/CardChannel.h"
#include "core/CardImage.h"
#include "core/Reader.h"
#include "core/RemoteCard.h"

using namespace Vellumcrest::Core;

namespace {

class FuzzChannel : public CardChannel {
public:
    FuzzChannel(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    int Transmit(const Apdu::Bytes& command, Apdu::Response* response) override {
        Apdu::Command parsed;
        if (!Apdu::ParseCommand(command.data(), command.size(), &parsed)) std::abort();
        if (at_ + 2 > size_) return CoreCardNotPresent;
        size_t length = (size_t(data_[at_]) << 8) | data_[at_ + 1];
        at_ += 2;
        if (length > size_ - at_) length = size_ - at_;
        const uint8_t* piece = data_ + at_;
        at_ += length;
        if (!Apdu::ParseResponse(piece, length, response)) {
            lastError_ = 0x80100016;  // SCARD_F_COMM_ERROR-like: the reader failed
            return CoreSCardError;
        }
        return CoreOk;
    }
    int BeginTransaction() override { return CoreOk; }
    void EndTransaction() override {}
    unsigned long LastError() const override { return lastError_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
    unsigned long lastError_ = 0;
};

void checkOutput(int rc, const std::vector<unsigned char>& out) {
    if (rc == CoreOk && out.size() > Apdu::kMaxExtendedData + 1) std::abort();
}

// The pair's card work as the module does it: look, open, log in, sign, close, look again.
void drivePair(const uint8_t* data, size_t size) {
    std::unique_ptr<ReaderCardPair> pair =
        ReaderCardPair::ForChannel("fuzz", std::make_unique<FuzzChannel>(data, size));
    pair->Refresh();
    pair->GetCardInfo(true);
    if (pair->Open() == CoreOk) {
        const unsigned char pin[] = {'1', '2', '3', '4'};
        pair->Login(CardAuthIdUser, pin, sizeof pin);
        for (CardPrivateKeyRecord* key : pair->GetPrivateKeyRecords()) {
            const unsigned char digestInfo[51] = {0x30, 0x31};
            unsigned char signature[512];
            unsigned long length = sizeof signature;
            if (pair->Sign(key, digestInfo, sizeof digestInfo, signature, &length) == CoreOk &&
                length > sizeof signature)
                std::abort();
            break;
        }
        pair->Logout();
        pair->Close();
    }
    pair->Refresh();
    pair->GetCardType();
    pair->GetLastSCardError();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    if (data[0] & 1) {
        drivePair(data + 1, size - 1);
        return 0;
    }
    FuzzChannel channel(data + 1, size - 1);
    RemoteCard card(&channel);

    RemoteIdentity identity;
    if (card.Select(&identity) == CoreOk && (identity.type < 1 || identity.type > 4 || identity.cardId.empty()))
        std::abort();
    std::unique_ptr<CardImage> image;
    if (card.ReadPublicImage(&image) == CoreOk && !image) std::abort();

    const unsigned char pin[] = {'1', '2', '3', '4'};
    int tries = -1;
    card.Verify(CardAuthIdUser, pin, sizeof pin, &tries);
    if (tries > 15) std::abort();
    card.ResetSecurityState();

    std::vector<unsigned char> out;
    const unsigned char digestInfo[51] = {0x30, 0x31};
    checkOutput(card.SignPkcs1(0x01020304, digestInfo, sizeof digestInfo, &out), out);
    out.clear();
    const unsigned char digest[32] = {1};
    checkOutput(card.SignPss(0x01020304, HashTypeSha256, HashTypeSha256, 32, digest, sizeof digest, &out), out);
    out.clear();
    const unsigned char cipher[256] = {0, 2};
    checkOutput(card.DecryptPkcs1(0x01020304, cipher, sizeof cipher, &out), out);
    out.clear();
    checkOutput(card.DecryptOaep(0x01020304, HashTypeSha1, HashTypeSha1, nullptr, 0, cipher, sizeof cipher, &out), out);
    out.clear();
    checkOutput(card.GetAttestation(0x01020305, &out), out);

    uint32_t privateRecord = 0, publicRecord = 0, container = 0, record = 0;
    card.GenerateKeyPair(7, 0, &privateRecord, &publicRecord);
    card.CreateContainer("kontejner", 1, 0, &container);
    const unsigned char der[16] = {0x30, 0x0E};
    card.CreateCertificate(Apdu::ItemCertificate, der, sizeof der, publicRecord, &record);
    card.CreateDataFile("soubor", container, 0, der, sizeof der, &record);
    card.PutAttributes(Apdu::ItemKeyPair, privateRecord, publicRecord, "label", {1, 2, 3});
    card.DeleteKeyPair(privateRecord, publicRecord);
    card.Erase(false);
    return 0;
}
