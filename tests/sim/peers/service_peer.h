// The services a simulated P2P peer runs over its LLCP endpoints (SNEP, NPP, connection
// handover): each looks, at every frame of the host, at what its endpoint got since its last
// look and queues its answers on the endpoint.
#pragma once

#include <cstdint>
#include <vector>

#include "peers/nfc_dep.h"

namespace llcpsim { class Peer; }

namespace simpeers {

class ServicePeer {
public:
    explicit ServicePeer(uint8_t sap) : sap_(sap) {}
    virtual ~ServicePeer() = default;
    uint8_t sap() const { return sap_; }
    // Takes the payloads that came since the last look, in order; a connection that ended drops
    // whatever was half received.
    void serve(llcpsim::Peer& peer);

protected:
    // One payload of the connection: an LLCP information field.
    virtual void take(llcpsim::Peer& peer, const Bytes& payload) = 0;
    // Once a look's payloads are taken, while the connection is up (a client starts from here).
    virtual void connected(llcpsim::Peer&) {}
    virtual void reset() {}

private:
    uint8_t sap_;
    size_t taken_ = 0;
    bool wasConnected_ = false;
};

// The LLCP peer as the host's frame hook, its services serving as each frame is taken, so that
// an answer they have at once goes back in the same turn.
FrameHook carry(llcpsim::Peer& peer, std::vector<ServicePeer*> services);

// Big-endian 32-bit length fields, as SNEP and NPP carry them.
uint32_t be32(const Bytes& b, size_t at);
void putBe32(Bytes& b, uint32_t v);

} // namespace simpeers
