// The card emulator's APDU parser and dispatcher. The input is a sequence of messages, each
// a 2-byte big-endian length and that many bytes (cut at the end of the input): a command
// APDU, or a reset for a message of length 0. They go to an APDU server over a real card
// (user PIN 1234, SO PIN 87654321, one key pair, records 1 and 2) that is restored for every
// input. Every response must end in a status word.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/CardApduServer.h"
#include "core/CardImage.h"
#include "core/Reader.h"

using namespace Vellumcrest::Core;

namespace {

struct Card {
    std::string directory;
    std::string path;
    std::vector<unsigned char> pristine;
};

const Card& card();

void removeCard() {
    const Card& c = card();
    for (const char* name : {"card.vcard", "card.vcard.lock"}) ::unlink((c.directory + "/" + name).c_str());
    ::rmdir(c.directory.c_str());
}

// Never destroyed: the exit handler that removes the card still needs it.
const Card& card() {
    static Card* made = [] {
        Card* made = new Card;
        Card& c = *made;
        char dir[] = "/dev/shm/fuzz-card-apdu-XXXXXX";
        char fallback[] = "/tmp/fuzz-card-apdu-XXXXXX";
        const char* root = ::mkdtemp(dir);
        if (root == nullptr) root = ::mkdtemp(fallback);
        if (root == nullptr) std::abort();
        c.directory = root;
        c.path = c.directory + "/card.vcard";
        std::atexit(removeCard);
        CardSettings settings;
        settings.type = 3;
        settings.cardId = "FUZZAPDU";
        settings.totalMemory = 200000;
        settings.thirdCode = true;
        std::unique_ptr<CardImage> image;
        if (CardContent::CreateCard(settings, &image) != CoreOk || WriteCardImage(c.path, *image, nullptr) != CoreOk)
            std::abort();
        std::unique_ptr<ReaderCardPair> pair = ReaderCardPair::ForImage("fuzz", c.path);
        const unsigned char so[] = "87654321", user[] = "1234";
        CardContainerRecord* container = nullptr;
        CardPrivateKeyRecord* privateKey = nullptr;
        CardPublicKeyRecord* publicKey = nullptr;
        if (pair->InitAuthCode(CardAuthIdSo, so, 8) != CoreOk || pair->Login(CardAuthIdSo, so, 8) != CoreOk ||
            pair->InitAuthCode(CardAuthIdUser, user, 4) != CoreOk ||
            pair->CreateContainer(orvostd::OrvoStringW(), 0, CardObjectTypeKeyContainer, &container, false) != CoreOk ||
            pair->GenerateKeyPair(container, KeyPairFlagSign | KeyPairFlagDecrypt, &privateKey, &publicKey, nullptr) !=
                CoreOk)
            std::abort();
        std::unique_ptr<CardImage> done;
        CardFileStamp stamp;
        if (ReadCardImage(c.path, &done, &stamp) != CoreOk) std::abort();
        c.pristine = done->Serialise();
        return made;
    }();
    return *made;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Card& c = card();
    if (WriteFileAtomic(c.path, c.pristine, nullptr) != CoreOk) std::abort();
    std::unique_ptr<ReaderCardPair> pair = ReaderCardPair::ForImage("fuzz", c.path);
    CardApduServer server(pair.get());
    size_t offset = 0;
    while (offset + 2 <= size) {
        size_t length = static_cast<size_t>(data[offset]) << 8 | data[offset + 1];
        offset += 2;
        if (length > size - offset) length = size - offset;
        if (length == 0) {
            server.Reset();
            continue;
        }
        Apdu::Bytes response = server.Process(data + offset, length);
        offset += length;
        if (response.size() < 2 || response.size() > 0xFFFF) std::abort();
    }
    return 0;
}
