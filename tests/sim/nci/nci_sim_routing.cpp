// Written from the NCI 1.0 listen-mode routing messages.
#include "nci/nci_sim_routing.h"

namespace ncisim {
namespace {

constexpr uint8_t TYPE_TECHNOLOGY = 0, TYPE_PROTOCOL = 1, TYPE_AID = 2;

bool validEntry(uint8_t type, size_t length) {
    if (type == TYPE_TECHNOLOGY || type == TYPE_PROTOCOL) return length == 3;
    return type == TYPE_AID && length >= 2 + 5 && length <= 2 + 16;
}

// What the entries take in the controller's table: type and length bytes and the value.
size_t encodedSize(const std::vector<RoutingEntry>& entries) {
    size_t n = 0;
    for (const auto& e : entries) n += 2 + e.value.size();
    return n;
}

} // namespace

void ListenRouting::install() {
    c_.onCommand(RF_SET_LISTEN_MODE_ROUTING_CMD, [this](Controller&, const NciMessage& m) { set(m); });
    c_.onCommand(RF_GET_LISTEN_MODE_ROUTING_CMD, [this](Controller&, const NciMessage& m) { get(m); });
}

// More flag, count, then {type, length, value} per entry.
void ListenRouting::set(const NciMessage& m) {
    const auto& p = m.payload;
    std::vector<RoutingEntry> parsed;
    size_t pos = 2;
    bool ok = p.size() >= 2 && p[0] <= 1;
    for (size_t k = 0; ok && k < p[1]; ++k) {
        ok = pos + 2 <= p.size() && pos + 2 + p[pos + 1] <= p.size() && validEntry(p[pos], p[pos + 1]);
        if (!ok) break;
        auto begin = p.begin() + static_cast<std::ptrdiff_t>(pos + 2);
        parsed.push_back({p[pos], std::vector<uint8_t>(begin, begin + p[pos + 1])});
        pos += 2 + p[pos + 1];
    }
    if (!ok || pos != p.size()) {
        incoming_.clear();
        return c_.respond(RF_SET_LISTEN_MODE_ROUTING_RSP, {STATUS_SYNTAX_ERROR});
    }
    incoming_.insert(incoming_.end(), parsed.begin(), parsed.end());
    if (encodedSize(incoming_) > c_.identity().routingTableSize) {
        incoming_.clear();
        return c_.respond(RF_SET_LISTEN_MODE_ROUTING_RSP, {STATUS_REJECTED});
    }
    c_.respond(RF_SET_LISTEN_MODE_ROUTING_RSP, {STATUS_OK});
    if (p[0] == 1) return;   // more commands follow
    entries_ = std::move(incoming_);
    incoming_.clear();
}

void ListenRouting::get(const NciMessage& m) {
    if (!m.payload.empty()) return c_.respond(RF_GET_LISTEN_MODE_ROUTING_RSP, {STATUS_SYNTAX_ERROR});
    c_.respond(RF_GET_LISTEN_MODE_ROUTING_RSP, {STATUS_OK});
    // As many entries per notification as fit one packet; the last notification clears the more flag.
    const size_t room = MAX_SEGMENT_PAYLOAD - 2;
    size_t next = 0;
    do {
        std::vector<uint8_t> body;
        uint8_t count = 0;
        while (next < entries_.size() && body.size() + 2 + entries_[next].value.size() <= room) {
            const auto& e = entries_[next++];
            body.insert(body.end(), {e.type, static_cast<uint8_t>(e.value.size())});
            body.insert(body.end(), e.value.begin(), e.value.end());
            ++count;
        }
        std::vector<uint8_t> p{static_cast<uint8_t>(next < entries_.size() ? 1 : 0), count};
        p.insert(p.end(), body.begin(), body.end());
        c_.respond(RF_GET_LISTEN_MODE_ROUTING_NTF, std::move(p));
    } while (next < entries_.size());
}

} // namespace ncisim
