// An APDU server on a real virtual card made with the card tool, and a client side that
// speaks to it as the module's reader backend would.
#pragma once

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <memory>
#include <string>
#include <vector>

#include "core/CardApdu.h"
#include "core/CardApduServer.h"
#include "core/CardImage.h"
#include "unit/core_card/CardTestUtil.h"

namespace apdutest {

using Vellumcrest::Core::Apdu::Bytes;
using Vellumcrest::Core::Apdu::Response;
namespace Apdu = Vellumcrest::Core::Apdu;

inline Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

class ApduTest : public cardtest::CardTest {
protected:
    // A card made with the card tool from createArgs, served by a new server.
    void Serve(const std::string& createArgs) {
        path_ = InsertNewCard("R1", createArgs);
        Restart();
    }
    // A new pair and server on the same image: another process serving the card.
    void Restart() {
        channel_.reset();
        server_.reset();
        pair_ = Vellumcrest::Core::ReaderCardPair::ForImage("Emu", path_);
        server_ = std::make_unique<Vellumcrest::Core::CardApduServer>(pair_.get());
        channel_ = std::make_unique<Vellumcrest::Core::CardApduServerChannel>(server_.get());
    }

    Response Send(const Bytes& apdu) {
        Response response;
        EXPECT_EQ(channel_->Transmit(apdu, &response), Vellumcrest::Core::CoreOk);
        return response;
    }
    // Sends a command, chained when its data needs it, and returns the last response.
    Response Command(unsigned char cla, unsigned char ins, unsigned char p1, unsigned char p2,
                     const Bytes& data = Bytes(), size_t le = 0, size_t maxPart = Apdu::kMaxExtendedData) {
        Response last;
        for (const Bytes& part : Apdu::BuildChain(cla, ins, p1, p2, data, le, maxPart)) {
            last = Send(part);
            if (last.sw != Apdu::SwOk) break;
        }
        return last;
    }
    uint16_t Sw(unsigned char cla, unsigned char ins, unsigned char p1, unsigned char p2, const Bytes& data = Bytes()) {
        return Command(cla, ins, p1, p2, data).sw;
    }
    uint16_t Select() { return Sw(0x00, Apdu::InsSelect, 0x04, 0x00, Bytes(Apdu::kAid, Apdu::kAid + 8)); }
    uint16_t Verify(int authId, const std::string& pin) {
        return Sw(0x00, Apdu::InsVerify, 0x00, static_cast<unsigned char>(0x80 | authId), Text(pin));
    }
    // The public image read in parts of chunk bytes, parsed.
    std::unique_ptr<Vellumcrest::Core::CardImage> PublicImage(size_t chunk = Apdu::kReadChunk, Bytes* raw = nullptr) {
        Bytes image;
        for (;;) {
            Bytes offset = Apdu::TlvWriter().AddU32(Apdu::TagOffset, static_cast<uint32_t>(image.size())).Take();
            Response r = Command(0x00, Apdu::InsReadBinaryOdd, 0x50, 0x01, offset, chunk);
            EXPECT_TRUE(r.sw == Apdu::SwOk || r.sw == Apdu::SwEndOfFile) << std::hex << r.sw;
            image.insert(image.end(), r.data.begin(), r.data.end());
            if (r.sw != Apdu::SwOk || r.data.empty()) break;
        }
        if (raw != nullptr) *raw = image;
        std::unique_ptr<Vellumcrest::Core::CardImage> parsed;
        EXPECT_EQ(Vellumcrest::Core::CardImage::ParsePublic(image.data(), image.size(), &parsed),
                  Vellumcrest::Core::CoreOk);
        return parsed;
    }
    // Record identifiers of a response TLV.
    static uint32_t Id(const Response& response, unsigned char tag) {
        Apdu::TlvReader tlv;
        uint32_t value = 0;
        EXPECT_TRUE(tlv.Parse(response.data) && tlv.U32(tag, &value)) << "tag " << std::hex << unsigned(tag);
        return value;
    }

    std::string path_;
    std::unique_ptr<Vellumcrest::Core::ReaderCardPair> pair_;
    std::unique_ptr<Vellumcrest::Core::CardApduServer> server_;
    std::unique_ptr<Vellumcrest::Core::CardApduServerChannel> channel_;
};

}  // namespace apdutest
