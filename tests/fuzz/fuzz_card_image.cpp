// Card image parser. The input is the body of an image; the target puts a valid header
// (magic, version, length, SHA-256) in front, so that the fuzzer reaches the items
// instead of the checksum. An input starting with the magic is parsed as it is. An image
// that parses must write back to bytes that parse to the same bytes again.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/CardImage.h"

using namespace Vellumcrest::Core;

namespace {

std::vector<unsigned char> withHeader(const uint8_t* body, size_t size) {
    std::vector<unsigned char> bytes = {'V', 'C', 'A', 'R', 'D', 'I', 'M', 'G', 1, 0, 0, 0};
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<unsigned char>(size >> (8 * i)));
    std::vector<unsigned char> hashed(bytes);
    hashed.insert(hashed.end(), body, body + size);
    std::vector<unsigned char> digest = CardCrypto::Sha256(hashed.data(), hashed.size());
    bytes.insert(bytes.end(), digest.begin(), digest.end());
    bytes.insert(bytes.end(), body, body + size);
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<unsigned char> bytes =
        size >= 8 && std::memcmp(data, "VCARDIMG", 8) == 0 ? std::vector<unsigned char>(data, data + size)
                                                           : withHeader(data, size);
    std::unique_ptr<CardImage> image;
    if (CardImage::Parse(bytes.data(), bytes.size(), &image) != CoreOk) return 0;
    image->Identity();
    image->UsedMemory();
    image->EsignKeysInUse();
    std::vector<unsigned char> again = image->Serialise();
    std::unique_ptr<CardImage> reparsed;
    if (CardImage::Parse(again.data(), again.size(), &reparsed) != CoreOk || reparsed->Serialise() != again) std::abort();
    // Its public image parses as one, keeps the memory figures and stays public.
    std::vector<unsigned char> shown = image->SerialisePublic();
    std::unique_ptr<CardImage> seen;
    if (CardImage::ParsePublic(shown.data(), shown.size(), &seen) != CoreOk || !seen->publicOnly ||
        seen->FreeMemory() != image->FreeMemory() || seen->Serialise() != shown)
        std::abort();
    return 0;
}
