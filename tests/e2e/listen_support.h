// What the listen-side end-to-end tests share: how the simulated controller returns credits on
// the static RF connection, and the test's part when it withholds them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "api_stack.h"
#include "nci/nci_sim_message.h"
#include "platform.h"

enum class Credits {
    PerPacket,   // one at once for every segment
    Delayed,     // one for every segment, each held back on the line
    Withheld,    // only when the test grants one, after the host has used the last
};

inline const char* creditsName(Credits c) {
    switch (c) {
    case Credits::PerPacket: return "PerPacket";
    case Credits::Delayed: return "Delayed";
    case Credits::Withheld: return "Withheld";
    }
    return "?";
}

// Segments of at most 64 bytes from the host, one credit at a time.
inline void configureCredits(ApiStack& stack, Credits credits) {
    ncisim::RfSettings s;
    s.maxDataPayload = 64;
    s.initialCredits = 1;
    s.creditReturn = credits == Credits::Withheld ? ncisim::CreditReturn::Never : ncisim::CreditReturn::PerPacket;
    stack.sim().rf().configure(s);
    if (credits == Credits::Delayed) stack.sim().setFault(ncisim::CORE_CONN_CREDITS_NTF, ncisim::Fault::delayed(5));
}

// With credits withheld, grants one whenever the host has used its last, until done() holds.
inline bool grantUntil(ApiStack& stack, Credits credits, const std::function<bool()>& done) {
    for (uint32_t start = platTickMs(); platTickMs() - start < ApiStack::kBounded;) {
        if (done()) return true;
        const size_t seen = stack.sim().recorder().packets().size();
        if (credits == Credits::Withheld) {
            auto left = std::make_shared<uint8_t>(1);
            stack.sim().call([left](ncisim::Controller& c) {
                if (ncisim::Connection* rf = c.connection(0)) *left = rf->credits;
            });
            if (*left == 0) stack.sim().rf().grantCredits(1);
        }
        stack.sim().recorder().waitForPackets(seen + 1, 50);
    }
    return done();
}

// A frame of n bytes whose content tells its origin and position apart.
inline std::vector<uint8_t> patterned(size_t n, uint8_t seed) {
    std::vector<uint8_t> out(n);
    for (size_t k = 0; k < n; ++k) out[k] = static_cast<uint8_t>(seed + k * 13 + (k >> 8));
    return out;
}
