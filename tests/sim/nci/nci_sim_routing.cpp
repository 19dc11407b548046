// Written from the NCI 1.0 listen-mode routing messages.
#include "nci/nci_sim_routing.h"

namespace ncisim {
namespace {

constexpr uint8_t TYPE_TECHNOLOGY = 0, TYPE_PROTOCOL = 1, TYPE_AID = 2;

bool validEntry(uint8_t type, size_t length, bool poll) {
    if (type == TYPE_TECHNOLOGY || type == TYPE_PROTOCOL) return length == 3;
    return !poll && type == TYPE_AID && length >= 2 + 5 && length <= 2 + 16;
}

// What the entries take in the controller's table: type and length bytes and the value.
size_t encodedSize(const std::vector<RoutingEntry>& entries) {
    size_t n = 0;
    for (const auto& e : entries) n += 2 + e.value.size();
    return n;
}

} // namespace

void ListenRouting::install() {
    c_.onCommand(RF_SET_LISTEN_MODE_ROUTING_CMD, [this](Controller&, const NciMessage& m) { set(m, listen_, false); });
    c_.onCommand(RF_GET_LISTEN_MODE_ROUTING_CMD, [this](Controller&, const NciMessage& m) { get(m); });
    if (c_.identity().pollModeRouting)
        c_.onCommand(POLL_MODE_ROUTING_CMD, [this](Controller&, const NciMessage& m) { set(m, poll_, true); });
    c_.onReset([this](bool resetConfig) {
        for (Table* t : {&listen_, &poll_}) {
            t->incoming.clear();
            if (resetConfig) t->entries.clear();
        }
    });
}

// More flag, count, then {type, length, value} per entry.
void ListenRouting::set(const NciMessage& m, Table& table, bool poll) {
    const uint16_t response = poll ? POLL_MODE_ROUTING_RSP : RF_SET_LISTEN_MODE_ROUTING_RSP;
    const auto& p = m.payload;
    std::vector<RoutingEntry> parsed;
    size_t pos = 2;
    bool ok = p.size() >= 2 && p[0] <= 1;
    for (size_t k = 0; ok && k < p[1]; ++k) {
        ok = pos + 2 <= p.size() && pos + 2 + p[pos + 1] <= p.size() && validEntry(p[pos], p[pos + 1], poll);
        if (!ok) break;
        auto begin = p.begin() + static_cast<std::ptrdiff_t>(pos + 2);
        parsed.push_back({p[pos], std::vector<uint8_t>(begin, begin + p[pos + 1])});
        pos += 2 + p[pos + 1];
    }
    if (!ok || pos != p.size()) {
        table.incoming.clear();
        return c_.respond(response, {STATUS_SYNTAX_ERROR});
    }
    table.incoming.insert(table.incoming.end(), parsed.begin(), parsed.end());
    if (encodedSize(table.incoming) > c_.identity().routingTableSize) {
        table.incoming.clear();
        return c_.respond(response, {STATUS_REJECTED});
    }
    c_.respond(response, {STATUS_OK});
    if (p[0] == 1) return;   // more commands follow
    table.entries = std::move(table.incoming);
    table.incoming.clear();
}

void ListenRouting::get(const NciMessage& m) {
    if (!m.payload.empty()) return c_.respond(RF_GET_LISTEN_MODE_ROUTING_RSP, {STATUS_SYNTAX_ERROR});
    c_.respond(RF_GET_LISTEN_MODE_ROUTING_RSP, {STATUS_OK});
    const std::vector<RoutingEntry>& entries = listen_.entries;
    // As many entries per notification as fit one packet; the last notification clears the more flag.
    const size_t room = MAX_SEGMENT_PAYLOAD - 2;
    size_t next = 0;
    do {
        std::vector<uint8_t> body;
        uint8_t count = 0;
        while (next < entries.size() && body.size() + 2 + entries[next].value.size() <= room) {
            const auto& e = entries[next++];
            body.insert(body.end(), {e.type, static_cast<uint8_t>(e.value.size())});
            body.insert(body.end(), e.value.begin(), e.value.end());
            ++count;
        }
        std::vector<uint8_t> p{static_cast<uint8_t>(next < entries.size() ? 1 : 0), count};
        p.insert(p.end(), body.begin(), body.end());
        c_.respond(RF_GET_LISTEN_MODE_ROUTING_NTF, std::move(p));
    } while (next < entries.size());
}

} // namespace ncisim
