// The simulated P2P peer as an end-to-end test reaches it: its state is only touched on the
// controller's thread, where its target or poller answers the host.
#pragma once

#include <memory>

#include "api_stack.h"
#include "llcp/llcp_peer.h"
#include "platform.h"

namespace peeraccess {

// f(peer) run on the controller's thread; its result.
template <typename F>
auto with(ApiStack& stack, llcpsim::Peer& peer, F f) {
    auto out = std::make_shared<decltype(f(peer))>();
    EXPECT_TRUE(stack.sim().call([&](ncisim::Controller&) { *out = f(peer); }));
    return *out;
}

// Waits (bounded) until the peer's state satisfies done, looking again at each packet on the line.
template <typename F>
bool until(ApiStack& stack, llcpsim::Peer& peer, F done) {
    for (uint32_t start = platTickMs(); platTickMs() - start < ApiStack::kBounded;) {
        const size_t seen = stack.sim().recorder().packets().size();
        if (with(stack, peer, done)) return true;
        stack.sim().recorder().waitForPackets(seen + 1, 50);
    }
    return with(stack, peer, done);
}

} // namespace peeraccess
