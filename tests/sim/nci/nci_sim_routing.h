// The listen-mode routing table the host gives the simulated controller
// (RF_SET_LISTEN_MODE_ROUTING_CMD, possibly over several commands) and reads back
// (RF_GET_LISTEN_MODE_ROUTING_CMD, answered by as many notifications as the entries need).
#pragma once

#include <cstdint>
#include <vector>

#include "nci/nci_sim_controller.h"

namespace ncisim {

struct RoutingEntry {
    uint8_t type = 0;                // 0 technology, 1 protocol, 2 AID
    std::vector<uint8_t> value;      // route (NFCEE id, 0 the host), power state, then the technology, protocol or AID
};

class ListenRouting {
public:
    explicit ListenRouting(Controller& controller) : c_(controller) {}
    void install();
    const std::vector<RoutingEntry>& entries() const { return entries_; }

private:
    void set(const NciMessage& m);
    void get(const NciMessage& m);

    Controller& c_;
    std::vector<RoutingEntry> entries_;
    std::vector<RoutingEntry> incoming_;   // of a table sent over several commands
};

} // namespace ncisim
