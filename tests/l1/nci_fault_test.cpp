// The NCI driver below the NFC manager against a simulated controller that does what NCI 1.0
// allows at awkward moments: notifications that cross a sub-state, vendor notifications,
// NFCEEs announced during the HCI network's start, routing tables at the controller's limit,
// more discoveries than the driver keeps, an activation that outlasts layer 1's patience, and
// the state of the active endpoint as layer 1 sees it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "L1/common/nfcllmsg.h"
#include "L1/nci/nci.h"
#include "nci/nci_simulator.h"
#include "nci_stack.h"
#include "os/os_mem.h"
#include "peers/remote_poller.h"
#include "tags/iso_dep_tag.h"
#include "tags/mifare_tag.h"
#include "tags/t2t_tag.h"
#include "util/trace.h"

namespace {

using Bytes = std::vector<uint8_t>;
using ncisim::Controller;
using ncisim::Fault;
using ncisim::NciIdentity;
using ncisim::NciMessage;
using ncisim::NciSimulator;
using ncisim::RfState;
using simtags::Technology;

constexpr uint16_t kModeSet = 0x2201, kModeSetRsp = 0x4201;
constexpr uint8_t kEse = 0x10;
constexpr uint32_t kSeOff = 0x800A, kAddRoutes = 0x800D;
constexpr uint32_t kListenA = 0x100000;

NciIdentity withSecureElement(NciIdentity id = NciIdentity::generic()) {
    ncisim::NfceeInfo ese;
    ese.id = kEse;
    id.nfcees = {ese};
    return id;
}

// Where the first message with this command stands among the upward ones.
size_t position(const std::vector<uint16_t>& commands, uint16_t command) {
    return static_cast<size_t>(std::find(commands.begin(), commands.end(), command) - commands.begin());
}

// The stack started on the controller, listening for the mask.
struct Bench {
    explicit Bench(NciIdentity identity = NciIdentity::generic()) : sim(std::move(identity)) {}
    bool start() {
        debugSetFlags(0xFFFFFFFFu);
        if (!stack.start(sim.portPath())) return false;
        const auto act = stack.activate();
        return act && act->cause == 0;
    }
    bool listen(uint32_t mask) {
        const size_t before = stack.count(NFCLL_LISTEN_CONF);
        if (!stack.request<NFCLL_LISTEN_REQ>({mask, &params})) return false;
        const auto conf = stack.waitFor(NFCLL_LISTEN_CONF, before);
        return conf && nfcllMsgGet<NFCLL_LISTEN_CONF>(*conf).cause == 0;
    }
    template <typename T>
    T onDriver(T (*read)(TNciContext&)) {
        T value{};
        stack.onDriver([&](TNciContext& nci) { value = read(nci); });
        return value;
    }
    std::string state() {
        std::string name;
        stack.onDriver([&](TNciContext& nci) { name = smStateName(&nci.sm, nci.sm.current); });
        return name;
    }
    NfcSecureHandle eseHandle() {
        NfcSecureHandle handle = 0;
        stack.onDriver([&](TNciContext& nci) { handle = nciNfceeById(&nci, kEse)->info.handle; });
        return handle;
    }
    // The eSE switched off with the controller's answer held back.
    bool heldModeSet(uint32_t heldMs) {
        Fault held = Fault::delayed(heldMs);
        held.times = 1;
        sim.setFault(kModeSetRsp, held);
        void* instance = reinterpret_cast<void*>(static_cast<uintptr_t>(eseHandle()));
        return stack.request<NFCLL_IOCONTROL_REQ>({instance, nullptr, nullptr, kSeOff, 0, 0, 0}) &&
               sim.waitForCommands(kModeSet, 1, NciStack::kBounded);
    }
    bool noViolation() const { return sim.recorder().violations().empty(); }

    TNfcListenParam params{};
    NciSimulator sim;
    NciStack stack;
};

// ---- Notifications that cross a sub-state ----------------------------------------------------

// The request whose sub-state the notification crosses: the eSE switched off in discovery, or
// an echo of the controller while a tag is active.
enum class Crossed { ModeSet, Echo };

struct CrossingCase {
    const char* name;
    Crossed request;
    uint16_t expected;        // what reaches layer 1 once the request has its answer
    const char* driverState;
    RfState controllerState;
};

std::ostream& operator<<(std::ostream& os, const CrossingCase& c) { return os << c.name; }

struct NotificationsCrossingASubState : ::testing::TestWithParam<CrossingCase> {};

TEST_P(NotificationsCrossingASubState, ReachTheMasterStateOnceTheRequestIsAnswered) {
    const CrossingCase& c = GetParam();
    Bench b(withSecureElement());
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(b.listen(0x1));
    ncisim::RfSettings settings;
    settings.removal = ncisim::Removal::LinkLoss;
    b.sim.rf().configure(settings);
    auto tag = std::make_shared<simtags::T2tTag>();
    uint8_t echo[3] = {};
    Fault held = Fault::delayed(300);
    held.times = 1;
    if (c.request == Crossed::Echo) {
        b.sim.rf().enter(tag);
        ASSERT_TRUE(b.stack.waitFor(NFCLL_DEVICE_IND)) << b.sim.describe();
        b.sim.setFault(0x0100, held);   // the answer on the loop-back connection, the first one opened
        ASSERT_TRUE(b.stack.request<NFCLL_IOCONTROL_REQ>({nullptr, nullptr, echo, 0x1004, 0, 0, sizeof echo}));
        ASSERT_TRUE(b.sim.recorder().waitForReceived([](const NciMessage& m) { return m.isData() && m.gidOrConn == 1; },
                                                     NciStack::kBounded))
            << b.sim.describe();
        b.sim.rf().leave(tag);   // the tag goes while the controller still owes the echo
    } else {
        ASSERT_TRUE(b.heldModeSet(300)) << b.sim.describe();
        b.sim.rf().enter(tag);   // the tag comes while the controller still owes the mode set
    }
    const auto io = b.stack.waitFor(NFCLL_IOCONTROL_CONF);
    ASSERT_TRUE(io) << b.sim.describe();
    EXPECT_EQ(nfcllMsgGet<NFCLL_IOCONTROL_CONF>(*io).cause, 0);
    ASSERT_TRUE(b.stack.waitFor(c.expected)) << b.sim.describe();
    EXPECT_LT(position(b.stack.commands(), NFCLL_IOCONTROL_CONF), position(b.stack.commands(), c.expected));
    EXPECT_EQ(b.state(), c.driverState);
    EXPECT_EQ(b.sim.rf().state(), c.controllerState);
    EXPECT_TRUE(b.noViolation()) << b.sim.describe();
}

INSTANTIATE_TEST_SUITE_P(
    Masters, NotificationsCrossingASubState,
    ::testing::Values(
        CrossingCase{"ATagArrivesDuringAnSeRequest", Crossed::ModeSet, NFCLL_DEVICE_IND, "nciStatePollActive", RfState::PollActive},
        CrossingCase{"ATagLeavesDuringAnEcho", Crossed::Echo, NFCLL_TECH_REMOVE_IND, "nciStateDiscovery", RfState::Discovery}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- The default handler ------------------------------------------------------------------

TEST(NciVendorNotifications, LeaveTheNfceesListenTechnologiesAsTheyAre) {
    Bench b(withSecureElement());
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(b.listen(0x1));
    b.sim.call([&](Controller&) { b.sim.nfcees().sendDiscoveryRequest(kEse, 0x80, 0x04); });
    auto listenMask = [](TNciContext& nci) { return nciNfceeById(&nci, kEse)->supportedListenMask; };
    uint32_t before = 0;
    // The request crosses the serial line: waited for by time, however loaded the machine is.
    for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
         before == 0 && std::chrono::steady_clock::now() < until; std::this_thread::yield())
        before = b.onDriver<uint32_t>(listenMask);
    ASSERT_EQ(before, kListenA);
    // Debug output of the vendor whose bytes read like a request to remove that technology.
    const Bytes removal{0x01, 0x01, 0x03, kEse, 0x80, 0x04};
    for (uint16_t vendor : {0x603E, 0x603F}) b.sim.send(NciMessage::control(vendor, removal));
    b.stack.onDriver([](TNciContext&) {});
    EXPECT_EQ(b.onDriver<uint32_t>(listenMask), kListenA);
}

// ---- Start-up ----------------------------------------------------------------------------

NciIdentity hciNetwork() {
    NciIdentity id = NciIdentity::generic();
    id.manufacturer = 0x02;
    ncisim::NfceeInfo access;
    access.id = 0x01;
    access.protocols = {0x01};
    ncisim::NfceeInfo uicc;
    uicc.id = 0x02;
    id.nfcees = {access, uicc};
    return id;
}

TEST(NciStartup, AnNfceeThatChangesWhileTheHciNetworkComesUpIsTakenOnTheWay) {
    Bench b(hciNetwork());
    // The controller reports the UICC's status as it enables the HCI-access NFCEE.
    b.sim.call([](Controller& c) {
        c.intercept(kModeSet, [](Controller& ctl, const NciMessage& m) {
            ctl.respond(0x6200, {0x02, 0x01, 0x01, 0x00, 0x00});   // UICC 2 disabled
            ctl.handle(m);
        });
    });
    ASSERT_TRUE(b.stack.start(b.sim.portPath()));
    const auto act = b.stack.activate();
    ASSERT_TRUE(act);
    EXPECT_EQ(act->cause, 0) << b.sim.describe();
    EXPECT_EQ(b.onDriver<uint8_t>([](TNciContext& nci) { return nciNfceeById(&nci, 0x02)->status; }), NCI_NFCEE_DISABLED);
}

TEST(NciStartup, AnActivationThatTimesOutIsConfirmedOnceAndTheStartupStops) {
    Bench b(hciNetwork());
    // The HCI network never answers its admin pipe; its timer runs longer than layer 1 waits.
    b.sim.call([&](Controller&) { b.sim.nfcees().setDataHandler(0x01, [](uint8_t, const std::vector<uint8_t>&) {}); });
    ASSERT_TRUE(b.stack.start(b.sim.portPath()));
    const auto act = b.stack.activate();
    ASSERT_TRUE(act);
    EXPECT_EQ(act->cause, NFCLL_CAUSE_ACT_TIMEOUT);
    const size_t commands = b.sim.commandOpcodes().size();
    // Past the HCI network's own timer: nothing more is confirmed, nothing more is sent.
    EXPECT_FALSE(b.stack.waitFor(NFCLL_ACT_CONF, 1, 1500));
    EXPECT_EQ(b.sim.commandOpcodes().size(), commands) << b.sim.describe();
    EXPECT_EQ(b.state(), "nciStateDeact");
}

// ---- Routing ---------------------------------------------------------------------------------

Bytes routeRecord(uint32_t type, uint8_t nfceeId, uint8_t value) {
    Bytes r(NCI_ROUTE_RECORD_SIZE, 0);
    r[4] = static_cast<uint8_t>(type);
    r[8] = 0x01;   // power state: switched on
    r[9] = nfceeId;
    r[10] = value;
    return r;
}

uint16_t addRoutes(Bench& b, const Bytes& records) {
    const size_t before = b.stack.count(NFCLL_IOCONTROL_CONF);
    if (!b.stack.request<NFCLL_IOCONTROL_REQ>(
            {nullptr, records.data(), nullptr, kAddRoutes, 0, static_cast<uint16_t>(records.size()), 0}))
        return 0xFFFF;
    const auto conf = b.stack.waitFor(NFCLL_IOCONTROL_CONF, before);
    return conf ? nfcllMsgGet<NFCLL_IOCONTROL_CONF>(*conf).cause : 0xFFFF;
}

TEST(NciRoutingOnTheController, PollModeRoutesGoOutBesideListenModeRoutes) {
    NciIdentity id = withSecureElement();
    id.pollModeRouting = true;
    Bench b(id);
    ASSERT_TRUE(b.start());
    Bytes records = routeRecord(NCI_ROUTE_TECH, kEse, 0x01);   // listen B to the eSE
    const Bytes poll = routeRecord(NCI_ROUTE_POLL_TECH, 0x00, 0x00);   // poll A to the host
    records.insert(records.end(), poll.begin(), poll.end());
    ASSERT_EQ(addRoutes(b, records), 0);
    ASSERT_TRUE(b.listen(0x1));
    size_t listen = 0, polled = 0;
    b.sim.call([&](Controller&) {
        listen = b.sim.routing().entries().size();
        polled = b.sim.routing().pollEntries().size();
    });
    EXPECT_EQ(listen, 1u);
    EXPECT_EQ(polled, 1u);
    EXPECT_TRUE(b.noViolation()) << b.sim.describe();
}

TEST(NciRoutingOnTheController, ATableLargerThanTheControllersIsRefusedWhenAddedAndTheListenGoesOn) {
    NciIdentity id = withSecureElement();
    id.routingTableSize = 12;   // two entries of 5 bytes; a third would take 15
    Bench b(id);
    ASSERT_TRUE(b.start());
    Bytes records;
    for (uint8_t tech : {0x00, 0x01, 0x02}) {
        const Bytes r = routeRecord(NCI_ROUTE_TECH, kEse, tech);
        records.insert(records.end(), r.begin(), r.end());
    }
    EXPECT_EQ(addRoutes(b, records), 23);
    EXPECT_TRUE(b.listen(0x1)) << b.sim.describe();
    EXPECT_EQ(b.stack.count(NFCLL_ERROR_IND), 0u);
}

// ---- Discovery ------------------------------------------------------------------------------

TEST(NciDiscoveryOfMany, ASixthNotificationEndsTheDiscoveryAndTheHostSelects) {
    Bench b;
    ASSERT_TRUE(b.start());
    for (int k = 0; k < 3; ++k) {
        auto card = std::make_shared<simtags::IsoDepTag>(Technology::A);
        card->a.selRes = 0x60;   // ISO-DEP and NFC-DEP: two notifications each
        b.sim.rf().enter(card);
    }
    ASSERT_TRUE(b.listen(0x1));
    const auto last = b.stack.waitFor(NFCLL_ENDPOINT_IND, 5);
    ASSERT_TRUE(last) << b.sim.describe();
    EXPECT_EQ(nfcllMsgGet<NFCLL_ENDPOINT_IND>(*last).last, 1u);
    ASSERT_TRUE(b.stack.request<NFCLL_SELECT_REQ>({2, 0x1}));   // the second card's ISO-DEP
    const auto device = b.stack.waitFor(NFCLL_DEVICE_IND);
    ASSERT_TRUE(device) << b.sim.describe();
    EXPECT_EQ(+nfcllMsgGet<NFCLL_DEVICE_IND>(*device).device->tagType, 0x1u);
    EXPECT_TRUE(b.noViolation()) << b.sim.describe();
}

// ---- The active endpoint as layer 1 sees it ------------------------------------------------------

struct ActiveCase {
    const char* name;
    NciIdentity identity;
    uint32_t mask;
    bool poller;                 // a reader activates the host, else a tag is found
    uint32_t mode;               // layer 1's activation kind
};

std::ostream& operator<<(std::ostream& os, const ActiveCase& c) { return os << c.name; }

struct ActiveEndpoint : ::testing::TestWithParam<ActiveCase> {
    void activate(Bench& b, const ActiveCase& c) {
        ASSERT_TRUE(b.start());
        ASSERT_TRUE(b.listen(c.mask));
        if (c.poller) b.sim.rf().approach(simpeers::RemotePoller::reader(Technology::A));
        else if (c.identity.manufacturer == 0x04) b.sim.rf().enter(std::make_shared<simtags::MifareTag>());
        else b.sim.rf().enter(std::make_shared<simtags::T2tTag>());
        ASSERT_TRUE(b.stack.waitFor(NFCLL_DEVICE_IND)) << b.sim.describe();
        ASSERT_TRUE(b.stack.request<NFCLL_DEVICE_RESP>({nullptr, 0}));
    }
};

TEST_P(ActiveEndpoint, IsPresentToACheckWithoutDataAndItsLossIsARemoval) {
    const ActiveCase& c = GetParam();
    Bench b(c.identity);
    activate(b, c);
    EXPECT_EQ(b.onDriver<uint32_t>([](TNciContext& nci) { return nci.ll->mode; }), c.mode);
    ASSERT_TRUE(b.stack.request<NFCLL_CHECK_REQ>({nullptr, 0, 0}));
    const auto check = b.stack.waitFor(NFCLL_CHECK_CONF);
    ASSERT_TRUE(check);
    const auto f = nfcllMsgGet<NFCLL_CHECK_CONF>(*check);
    EXPECT_EQ(f.result->cause, 0);
    if (f.flags & NFCLL_MSG_OWNS_BUFFER) osBufferRelease(f.result);
    // The line to the controller goes: the endpoint goes with it.
    OsMessage lost{};
    lost.command = PH_DEACT_IND;
    ASSERT_TRUE(b.stack.post(lost));
    EXPECT_TRUE(b.stack.waitFor(NFCLL_TECH_REMOVE_IND));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ActiveEndpoint,
    ::testing::Values(ActiveCase{"Tag", NciIdentity::generic(), 0x1, false, 4},
                      ActiveCase{"MifareClassic", NciIdentity::nxp(), 0x1, false, 4},
                      ActiveCase{"HostAsACard", NciIdentity::generic(), kListenA, true, 3}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Requests while the radio is off ----------------------------------------------------------

// A tag's request that crossed the radio going off, as the manager may send it before it has
// taken the removal: each is answered, none is left waiting.
struct RadioOffCase {
    const char* name;
    uint16_t request;
    uint16_t answer;
};

std::ostream& operator<<(std::ostream& os, const RadioOffCase& c) { return os << c.name; }

struct RequestsWhileTheRadioIsOff : ::testing::TestWithParam<RadioOffCase> {};

TEST_P(RequestsWhileTheRadioIsOff, AreAnsweredWithTheWrongState) {
    const RadioOffCase& c = GetParam();
    Bench b;
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(b.listen(0x1));
    ASSERT_TRUE(b.stack.request<NFCLL_IOCONTROL_REQ>({nullptr, nullptr, nullptr, 0x1007, 0, 0, 0}));
    ASSERT_TRUE(b.stack.waitFor(NFCLL_IOCONTROL_CONF)) << b.sim.describe();
    ASSERT_EQ(b.state(), "nciStateRadioOff");
    uint8_t read[2] = {0x30, 0x04};
    OsMessage m = c.request == NFCLL_SELECT_REQ ? nfcllMsgMake<NFCLL_SELECT_REQ>(NciStack::kManager, {1, 0})
                  : c.request == NFCLL_CHECK_REQ ? nfcllMsgMake<NFCLL_CHECK_REQ>(NciStack::kManager, {read, sizeof read, 0})
                                                 : nfcllMsgMake<NFCLL_TRANSACTION_REQ>(NciStack::kManager, {read, sizeof read, 0});
    ASSERT_TRUE(b.stack.post(m));
    const auto answer = b.stack.waitFor(c.answer);
    ASSERT_TRUE(answer) << b.sim.describe();
    if (c.answer == NFCLL_SELECT_CONF) {
        EXPECT_NE(nfcllMsgGet<NFCLL_SELECT_CONF>(*answer).cause, 0);
    } else {
        const auto f = nfcllMsgGet<NFCLL_TRANSACTION_IND>(*answer);
        EXPECT_EQ(f.result->cause, NFCLL_CAUSE_WRONG_STATE);
        if (f.flags & NFCLL_MSG_OWNS_BUFFER) osBufferRelease(f.result);
    }
    EXPECT_EQ(b.state(), "nciStateRadioOff");
    EXPECT_TRUE(b.noViolation()) << b.sim.describe();
}

INSTANTIATE_TEST_SUITE_P(
    Requests, RequestsWhileTheRadioIsOff,
    ::testing::Values(RadioOffCase{"Exchange", NFCLL_TRANSACTION_REQ, NFCLL_TRANSACTION_IND},
                      RadioOffCase{"Check", NFCLL_CHECK_REQ, NFCLL_CHECK_CONF},
                      RadioOffCase{"Select", NFCLL_SELECT_REQ, NFCLL_SELECT_CONF}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
