#include "peers/service_peer.h"

#include "llcp/llcp_peer.h"

namespace simpeers {

void ServicePeer::serve(llcpsim::Peer& peer) {
    const llcpsim::Endpoint* e = peer.endpoint(sap_);
    if (!e) return;
    if (e->data.size() < taken_) taken_ = 0;   // the endpoint was set up anew
    for (; taken_ < e->data.size(); ++taken_) take(peer, Bytes(e->data[taken_]));
    e = peer.endpoint(sap_);
    if (e->connected) {
        wasConnected_ = true;
        connected(peer);
    } else if (wasConnected_) {
        wasConnected_ = false;
        reset();
    }
}

FrameHook carry(llcpsim::Peer& peer, std::vector<ServicePeer*> services) {
    peer.onTaken = [services = std::move(services)](llcpsim::Peer& p) {
        for (ServicePeer* s : services) s->serve(p);
    };
    return carry(peer);
}

uint32_t be32(const Bytes& b, size_t at) {
    return uint32_t{b[at]} << 24 | uint32_t{b[at + 1]} << 16 | uint32_t{b[at + 2]} << 8 | b[at + 3];
}

void putBe32(Bytes& b, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<uint8_t>(v >> shift));
}

} // namespace simpeers
