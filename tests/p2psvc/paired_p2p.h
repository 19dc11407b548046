// Two services joined through the scripted P2P layer: a client's connect reaches the started
// server's listener, and whatever one side sends arrives at the other.
#pragma once

#include <map>

#include "fake_p2p.h"

class PairedP2p : public FakeP2p {
public:
    PairedP2p() {
        onConnect = [this](Link& client) {
            Link* server = listener();
            if (!server) {
                event(client, nfcEventConnectFailed, 0x402);
                return;
            }
            Link& accepted = connectIndication(*server);
            if (accepted.refused) {
                event(client, nfcEventConnectFailed, 0x402);  // the peer's DM: no service there now
                return;
            }
            peer_[&client] = &accepted;
            peer_[&accepted] = &client;
            event(client, nfcEventConnectProceeding);
            connected(client);
        };
        onData = [this](Link& link, const Bytes& bytes) {
            transmitted(link);
            if (Link* other = peer(link)) data(*other, bytes);
        };
        onDisconnect = [this](Link& link) {
            if (Link* other = peer(link)) {
                event(*other, nfcEventDisconnected);
                peer_.erase(other);
                peer_.erase(&link);
            }
            hangup(link);
        };
    }
    Link* peer(Link& link) {
        auto it = peer_.find(&link);
        return it == peer_.end() ? nullptr : it->second;
    }

private:
    std::map<Link*, Link*> peer_;
};
