// Helpers of the RemoteCard implementation (core internal; RemoteCard*.cpp only).
#pragma once

#include <cstdint>

#include "core/CardApdu.h"
#include "core/CardChannel.h"

namespace Vellumcrest {
namespace Core {
namespace RemoteWire {

// Wipes and empties a buffer that may hold a PIN, a key or a plaintext.
void Wipe(Apdu::Bytes* bytes);
// Appends one TLV with a secret value; the caller has reserved room for it.
void AddSecret(Apdu::Bytes* out, unsigned char tag, const unsigned char* value, size_t length);
// Sends a command, as a chain when its data is long, and gives the answer of the last part
// (or of the first part the card refused). 0, or the failure of the channel.
int Send(CardChannel* channel, unsigned char cla, unsigned char ins, unsigned char p1, unsigned char p2,
         const Apdu::Bytes& data, size_t le, Apdu::Response* response);
// Send, with the status word turned into a card core result (see RemoteCard::exchange);
// the answer's data in *out (may be null).
int Exchange(CardChannel* channel, unsigned char cla, unsigned char ins, unsigned char p1, unsigned char p2,
             const Apdu::Bytes& data, size_t le, Apdu::Bytes* out, int* triesLeft = nullptr,
             bool forDecipher = false);
// Logs an answer that does not have the documented form; CoreIoError.
int Malformed(const char* command);
// Record identifiers of an answer: both key-pair records, or the one under tag. False
// unless present, four bytes long and not 0.
bool RecordIds(const Apdu::Bytes& data, uint32_t* privateRecord, uint32_t* publicRecord);
bool OneId(const Apdu::Bytes& data, unsigned char tag, uint32_t* id);

}  // namespace RemoteWire
}  // namespace Core
}  // namespace Vellumcrest
