// The NDEF Push Protocol's server on the simulated peer (service com.android.npp): a push is one
// version byte (1), a 32-bit count of entries and the entries, each an action byte (1: act at
// once), a 32-bit NDEF length and the NDEF message; it is never answered.
#pragma once

#include "peers/service_peer.h"

namespace simpeers {

namespace npp {
constexpr uint8_t VERSION = 0x01;
constexpr uint8_t ACTION_IMMEDIATE = 0x01;
constexpr size_t HEADER = 5, ENTRY_HEADER = 5;
} // namespace npp

struct NppEntry {
    uint8_t action;
    Bytes ndef;
    bool operator==(const NppEntry&) const = default;
};

class NppServerPeer : public ServicePeer {
public:
    using ServicePeer::ServicePeer;

    std::vector<std::vector<NppEntry>> pushes;   // each complete push, its entries in order
    std::vector<uint8_t> refusedVersions;        // pushes of another version, left unread

protected:
    void take(llcpsim::Peer& peer, const Bytes& payload) override;
    void reset() override { bytes_.clear(); }

private:
    Bytes bytes_;
    bool refused_ = false;
};

// An NPP client that connects to the host's NPP server and pushes one message of entries once
// connected; nothing comes back.
class NppClientPeer : public ServicePeer {
public:
    explicit NppClientPeer(uint8_t sap) : ServicePeer(sap) {}
    void push(llcpsim::Peer& peer, const std::vector<NppEntry>& entries);

    bool pushed = false;   // the message went to the host

protected:
    void take(llcpsim::Peer&, const Bytes&) override {}
    void connected(llcpsim::Peer& peer) override;

private:
    Bytes message_;
};

} // namespace simpeers
