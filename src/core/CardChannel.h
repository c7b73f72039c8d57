// A connection to a card that speaks our APDU set (docs/card-apdu.md): through PC/SC for
// the pcsc reader backend, straight into a card application in tests and tools.
#pragma once

#include "core/CardApdu.h"

namespace Vellumcrest {
namespace Core {

class CardChannel {
public:
    virtual ~CardChannel() = default;
    // Sends one command APDU; *response gets the response data and status word. 0, or
    // CoreSCardError (see LastError) / CoreCardNotPresent when the card could not be reached,
    // CoreCardUnsupported when it answers no protocol (mute).
    virtual int Transmit(const Apdu::Bytes& command, Apdu::Response* response) = 0;
    // Exclusive use of the card across processes, for a span of commands.
    virtual int BeginTransaction() = 0;
    virtual void EndTransaction() = 0;
    // Code of the last failure of the reader subsystem (0 when none).
    virtual unsigned long LastError() const = 0;
};

}  // namespace Core
}  // namespace Vellumcrest
