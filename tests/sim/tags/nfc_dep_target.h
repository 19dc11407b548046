// An NFC-DEP target (ISO/IEC 18092 at 106 kbit/s on NFC-A) that a polling host meets as a peer:
// it answers ATR_REQ with the ATR_RES below (LLCP general bytes, TO) and every frame of the
// host with its next frame, or with an LLCP SYMM when it has nothing to say. The host's frames
// are the commands of its exchange log.
#pragma once

#include "peers/nfc_dep.h"
#include <deque>

#include "tags/tag.h"

namespace simtags {

class NfcDepTarget : public Tag {
public:
    static constexpr uint8_t TIMEOUT = 0x0E;   // TO: the longest response waiting time

    explicit NfcDepTarget(const Bytes& general = simpeers::llcpGeneralBytes());

    std::deque<Bytes> toSend;   // its frames, one for each of the host's

protected:
    std::optional<Bytes> respond(const Bytes& frame) override;
};

} // namespace simtags
