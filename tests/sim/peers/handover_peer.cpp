#include "peers/handover_peer.h"

#include "llcp/llcp_peer.h"
#include "tags/ndef_image.h"

namespace simpeers {

void HandoverServerPeer::take(llcpsim::Peer& peer, const Bytes& payload) {
    bytes_.insert(bytes_.end(), payload.begin(), payload.end());
    // The request ends where its records decode to a whole message.
    if (!simtags::parseNdef(bytes_)) return;
    requests.push_back(bytes_);
    bytes_.clear();
    if (!select.empty()) peer.send(sap(), select);
}

} // namespace simpeers
