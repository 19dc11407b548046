// The simulated controller's RF world (NCI RF communication states idle, discovery, waiting for
// host select, poll active, listen active, listen sleep). Poll side: tags enter and leave the
// field at any time; discovery finds those of the configured technologies (one is activated at
// once, several are announced for the host to select, an ISO-DEP card on NFC-A whose SAK also
// offers NFC-DEP once for each protocol); the active tag answers the host's data
// on the static RF connection through the Frame, ISO-DEP or NFC-DEP RF interface (or maker
// 0x04's MIFARE interface); deactivation follows its type. Listen side (nci_sim_listen.cpp): a remote poller (an external reader or an
// NFC-DEP initiator) that approaches while the host listens on its technology activates the
// host, sends its commands and takes the host's answers, may put the host to sleep, wake it
// again and leave.
//
//   auto tag = std::make_shared<simtags::T2tTag>();
//   sim.rf().enter(tag);                      // found by a running discovery at once
//   sim.rf().leave(tag);
//   sim.call([&](Controller&) { copy = tag->memory; });   // tags are read on the simulator's thread
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "nci/nci_sim_controller.h"
#include "nci/nci_sim_routing.h"
#include "peers/remote_poller.h"
#include "tags/tag.h"

namespace ncisim {

using TagPtr = std::shared_ptr<simtags::Tag>;
using simpeers::PollerPtr;

enum class RfState { Idle, Discovery, W4HostSelect, PollActive, ListenActive, ListenSleep };

// How the host gets its credits back on the static RF connection.
enum class CreditReturn {
    PerPacket,     // one credit at once for every packet received
    AfterAnswer,   // all used credits together, after the answer to the whole message
    Never,         // only when the test grants them
};

// What the controller does when the active tag leaves the field.
enum class Removal {
    Silent,     // nothing until the host sends data, which then fails with an RF time-out
    LinkLoss,   // RF_DEACTIVATE_NTF (discovery, link loss) at once, and discovery goes on
};

struct RfSettings {
    uint8_t maxDataPayload = 255;   // in RF_INTF_ACTIVATED_NTF: the largest segment the host may send
    uint8_t initialCredits = 1;     // 0xFF: no flow control on the static RF connection
    CreditReturn creditReturn = CreditReturn::PerPacket;
    Removal removal = Removal::Silent;
    uint8_t t5tProtocol = 0x06;     // RF protocol value of ISO 15693 tags (some controllers use 0x86)
    bool t5tFrameStatus = true;     // the Frame RF interface's status byte behind ISO 15693 answers
};

class RfModel {
public:
    explicit RfModel(Controller& controller) : c_(controller), routing_(controller) {}
    // Installs the RF handlers; after the core's, whose reset it chains.
    void install();

    void enter(TagPtr tag);
    void leave(const TagPtr& tag);
    // A remote poller: it activates the host once discovery listens on its technology.
    void approach(PollerPtr poller);
    void sleepPoller();    // the active poller puts the host to sleep (DESELECT, SLP_REQ or DSL_REQ)
    void wakePoller();     // and activates it again
    void departPoller();   // the active or sleeping poller leaves: link loss
    // CORE_GENERIC_ERROR_NTF with status: a discovery the controller tore down itself or an
    // activation that failed (0xA1, 0xA2) sends a discovering controller back to discovery.
    void discoveryError(uint8_t status);
    // An external reader's field (RF_FIELD_INFO_NTF when the host enabled it with RF_FIELD_INFO).
    void remoteField(bool on);
    RfSettings& settings() { return settings_; }
    RfState state() const { return state_; }
    const ListenRouting& routing() const { return routing_; }

private:
    // One protocol of a tag in the field: a tag that speaks two is announced once for each,
    // under one RF Discovery ID.
    struct Endpoint {
        uint8_t id;
        TagPtr tag;
        uint8_t protocol;
    };

    void discoverMap(const NciMessage& m);
    void discover(const NciMessage& m);
    void select(const NciMessage& m);
    void deactivate(const NciMessage& m);
    void t3tPolling(const NciMessage& m);
    void parameterUpdate(const NciMessage& m);
    void data(const NciMessage& m);
    void reset(bool resetConfig);

    void poll();
    void activate(const Endpoint& endpoint, uint8_t rfInterface);
    void openStaticConnection();
    // The listen side (nci_sim_listen.cpp).
    bool listenPoll();
    void activateListen();
    void sendNextCommand();
    void listenData(const NciMessage& m);
    void listenDeactivate(uint8_t type);
    void endActivation();
    void toDiscovery();
    void toIdle();
    void interfaceError(uint8_t status);
    std::optional<simtags::Bytes> mifare(simtags::Tag& tag, const simtags::Bytes& request);
    void returnCredits();
    bool present(const TagPtr& tag) const;
    uint8_t protocolOf(const simtags::Tag& tag) const;
    uint8_t interfaceFor(const simtags::Tag& tag) const;

    Controller& c_;
    ListenRouting routing_;
    RfSettings settings_;
    RfState state_ = RfState::Idle;
    std::vector<TagPtr> field_;               // in the order they entered
    std::set<uint8_t> pollModes_;             // technology-and-mode values of the running discovery
    std::map<uint8_t, uint8_t> pollMapping_;  // RF protocol -> RF interface in poll mode
    std::vector<Endpoint> endpoints_;         // of the current discovery
    std::optional<Endpoint> active_;
    std::vector<PollerPtr> pollers_;          // approached and not yet gone
    PollerPtr poller_;                        // the one that activated the host
    uint8_t activeInterface_ = 0;
    bool activeLost_ = false;                 // the active tag left without the controller noticing
    std::optional<uint8_t> pendingWrite_;     // MIFARE: the block of a write whose data comes next
};

// The test's handle on the RF model: every call is carried onto the simulator's thread.
class RfField {
public:
    using Caller = std::function<bool(const std::function<void(Controller&)>&)>;
    RfField(RfModel& model, Caller call) : model_(model), call_(std::move(call)) {}

    void enter(TagPtr tag);
    void leave(const TagPtr& tag);
    void approach(PollerPtr poller);
    void sleepPoller();
    void wakePoller();
    void departPoller();
    void configure(const RfSettings& settings);
    RfState state();
    void remoteField(bool on);
    void grantCredits(uint8_t credits);   // on the static RF connection

private:
    RfModel& model_;
    Caller call_;
};

} // namespace ncisim
