// The listen-mode routing table the host gives the simulated controller
// (RF_SET_LISTEN_MODE_ROUTING_CMD, possibly over several commands) and reads back
// (RF_GET_LISTEN_MODE_ROUTING_CMD, answered by as many notifications as the entries need), and,
// for a controller that has it, the poll-mode table of the proprietary command 0x2F05 in the
// same layout (technology and protocol entries only). Each table is bounded by the controller's
// routing table size; a reset of the configuration clears both.
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
    const std::vector<RoutingEntry>& entries() const { return listen_.entries; }
    const std::vector<RoutingEntry>& pollEntries() const { return poll_.entries; }

private:
    struct Table {
        std::vector<RoutingEntry> entries;
        std::vector<RoutingEntry> incoming;   // of a table sent over several commands
    };
    void set(const NciMessage& m, Table& table, bool poll);
    void get(const NciMessage& m);

    Controller& c_;
    Table listen_;
    Table poll_;
};

} // namespace ncisim
