// A device that polls the host while the host listens: an external reader that meets the host
// as an ISO-DEP card (ISO/IEC 14443-4 on NFC-A or NFC-B) or as a Type 3 tag on NFC-F, or an
// NFC-DEP initiator (ISO/IEC 18092) that meets it as a target. It speaks first: after each
// activation it sends its next command, and each answer of the host brings the next one.
//
//   auto reader = simpeers::RemotePoller::reader(simtags::Technology::A);
//   reader->log.toSend = {selectAid, readRecord};
//   sim.rf().approach(reader);             // activates the host if it listens on NFC-A
//   ... sim.call([&](Controller&) { answers = reader->log.received; });
#pragma once

#include <memory>

#include "peers/nfc_dep.h"
#include "tags/tag.h"

namespace simpeers {

class RemotePoller {
public:
    RemotePoller(simtags::Technology technology, simtags::Protocol protocol) : technology(technology), protocol(protocol) {}

    static std::shared_ptr<RemotePoller> reader(simtags::Technology technology);
    static std::shared_ptr<RemotePoller> nfcDepInitiator(const Bytes& general = llcpGeneralBytes());

    const simtags::Technology technology;
    const simtags::Protocol protocol;   // IsoDep, T3T or NfcDep
    // The activation parameters of the NCI listen activation: RATS parameter (NFC-A), the
    // ATTRIB command (NFC-B) or the ATR_REQ (NFC-DEP); none for a Type 3 tag.
    Bytes activation;
    FrameLog log;   // commands to send, answers of the host
};

using PollerPtr = std::shared_ptr<RemotePoller>;

} // namespace simpeers
