// The connection handover server on the simulated peer (service urn:nfc:sn:handover), from the
// NFC Forum Connection Handover definition: each Handover Request is a whole NDEF message on the
// connection, answered with one Handover Select message.
#pragma once

#include "peers/service_peer.h"

namespace simpeers {

class HandoverServerPeer : public ServicePeer {
public:
    using ServicePeer::ServicePeer;

    Bytes select;                    // the answer to each request (none: the request goes unanswered)
    std::vector<Bytes> requests;     // the whole request messages, in order

protected:
    void take(llcpsim::Peer& peer, const Bytes& payload) override;
    void reset() override { bytes_.clear(); }

private:
    Bytes bytes_;
};

} // namespace simpeers
