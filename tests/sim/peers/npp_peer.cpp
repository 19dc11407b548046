#include "peers/npp_peer.h"

#include <optional>

#include "llcp/llcp_peer.h"

namespace simpeers {
namespace {

// The entries of a whole push, none while it is not complete.
std::optional<std::vector<NppEntry>> entries(const Bytes& push) {
    if (push.size() < npp::HEADER) return std::nullopt;
    const uint32_t count = be32(push, 1);
    std::vector<NppEntry> out;
    size_t at = npp::HEADER;
    for (uint32_t k = 0; k < count; ++k) {
        if (push.size() - at < npp::ENTRY_HEADER) return std::nullopt;
        const uint32_t length = be32(push, at + 1);
        if (push.size() - at - npp::ENTRY_HEADER < length) return std::nullopt;
        const auto ndef = push.begin() + static_cast<long>(at + npp::ENTRY_HEADER);
        out.push_back({push[at], Bytes(ndef, ndef + length)});
        at += npp::ENTRY_HEADER + length;
    }
    return out;
}

} // namespace

void NppServerPeer::take(llcpsim::Peer&, const Bytes& payload) {
    if (refused_) return;
    bytes_.insert(bytes_.end(), payload.begin(), payload.end());
    if (bytes_[0] != npp::VERSION) {
        refusedVersions.push_back(bytes_[0]);
        refused_ = true;
        return;
    }
    if (auto push = entries(bytes_)) {
        pushes.push_back(std::move(*push));
        bytes_.clear();
    }
}


void NppClientPeer::push(llcpsim::Peer& peer, const std::vector<NppEntry>& entries) {
    message_ = {npp::VERSION};
    putBe32(message_, static_cast<uint32_t>(entries.size()));
    for (const NppEntry& entry : entries) {
        message_.push_back(entry.action);
        putBe32(message_, static_cast<uint32_t>(entry.ndef.size()));
        message_.insert(message_.end(), entry.ndef.begin(), entry.ndef.end());
    }
    pushed = false;
    peer.connect(sap(), 0, "com.android.npp", 1);
}

// The whole push in fragments of the host's MIU.
void NppClientPeer::connected(llcpsim::Peer& peer) {
    if (pushed || message_.empty()) return;
    peer.send(sap(), message_);
    pushed = true;
}

} // namespace simpeers
