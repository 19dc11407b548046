// The NCI driver's listen side below the NFC manager, against the simulated controller: readers
// and NFC-DEP initiators that activate the host, their deactivations, the P2P configuration of
// discovery, and the driver steps no layer-1 request reaches (raw request, parameter update,
// the presence-check start), which the tests push into the driver on its own thread.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "L1/common/nfcllmsg.h"
#include "L1/nci/nci.h"
#include "core/nfcmgr.h"
#include "nci/nci_simulator.h"
#include "nci_stack.h"
#include "platform.h"
#include "peers/remote_poller.h"
#include "tags/iso_dep_tag.h"
#include "tags/t2t_tag.h"
#include "trace_capture.h"
#include "util/trace.h"

namespace {

using Bytes = std::vector<uint8_t>;
using ncisim::NciIdentity;
using ncisim::NciMessage;
using ncisim::NciSimulator;
using simpeers::RemotePoller;
using simtags::Technology;

constexpr uint16_t kSetConfig = 0x2002, kRfDiscover = 0x2103, kRfDeactivate = 0x2106, kParameterUpdate = 0x210B;
constexpr uint32_t kListenA = 0x100000, kListenB = 0x200000, kListenF = 0x400000, kP2pTarget = 0x2000,
                   kP2pInitiator = 0x1000;

std::vector<Bytes> commands(const NciSimulator& sim, uint16_t opcode) {
    std::vector<Bytes> out;
    for (const NciMessage& m : sim.recorder().received())
        if (m.key() == opcode) out.push_back(m.payload);
    return out;
}

// The TLVs of a CORE_SET_CONFIG_CMD, by parameter id (a repeated id keeps its last value).
std::map<uint8_t, Bytes> parameters(const Bytes& payload) {
    std::map<uint8_t, Bytes> out;
    for (size_t pos = 1; pos + 2 <= payload.size() && pos + 2 + payload[pos + 1] <= payload.size();
         pos += 2 + payload[pos + 1])
        out[payload[pos]] = Bytes(payload.begin() + pos + 2, payload.begin() + pos + 2 + payload[pos + 1]);
    return out;
}

// A controller and the stack below the NFC manager.
struct Bench {
    ~Bench() { nfcmanSetStackBytes(0, 0); }
    bool start() {
        debugSetFlags(0xFFFFFFFFu);
        if (!stack.start(sim.portPath())) return false;
        const auto conf = stack.activate();
        return conf && conf->cause == 0;
    }

    // A listen request and its confirmation (the n-th one).
    bool listen(uint32_t mask, size_t nth = 0) {
        if (!stack.request<NFCLL_LISTEN_REQ>({mask, &params})) return false;
        const auto conf = stack.waitFor(NFCLL_LISTEN_CONF, nth);
        return conf && nfcllMsgGet<NFCLL_LISTEN_CONF>(*conf).cause == 0;
    }
    std::string state() {
        std::string name;
        stack.onDriver([&](TNciContext& nci) { name = smStateName(&nci.sm, nci.sm.current); });
        return name;
    }
    // Changes that send nothing up are seen in the driver's state, looked at until it is reached.
    bool waitForState(const std::string& name) {
        for (uint32_t start = platTickMs(); platTickMs() - start < NciStack::kBounded;) {
            if (state() == name) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }
    // The device record of the n-th device indication; the manager's answer lets the next ones up.
    std::optional<TNfcTagInfo> device(size_t nth = 0) {
        const auto ind = stack.waitFor(NFCLL_DEVICE_IND, nth);
        if (!ind || !nfcllMsgGet<NFCLL_DEVICE_IND>(*ind).device) return std::nullopt;
        const TNfcTagInfo record = *nfcllMsgGet<NFCLL_DEVICE_IND>(*ind).device;
        stack.request<NFCLL_DEVICE_RESP>({nullptr, 0});
        return record;
    }
    // The driver's state machine with an IO control under way, as the request would leave it.
    void push(uint16_t event, const Bytes* input = nullptr) {
        stack.onDriver([&](TNciContext& nci) {
            nci.ioInput = input ? input->data() : nullptr;
            nci.ioInputLength = input ? static_cast<uint16_t>(input->size()) : 0;
            nci.savedTransType = NCI_TRANSTYPE_IDLE;
            nciSetTransType(&nci, NCI_TRANSTYPE_IOCTL);
            nciPushEvent(&nci, event);
        });
    }
    std::optional<uint16_t> ioConfCause() {
        const auto conf = stack.waitFor(NFCLL_IOCONTROL_CONF);
        if (!conf) return std::nullopt;
        return nfcllMsgGet<NFCLL_IOCONTROL_CONF>(*conf).cause;
    }

    TraceCapture cap;
    TNfcListenParam params{};
    NciSimulator sim{NciIdentity::generic()};
    NciStack stack;
};

struct Listening : ::testing::Test, Bench {
    void SetUp() override { ASSERT_TRUE(start()); }
};

// ---- Activation by a reader or an initiator ---------------------------------------------------

struct ActivationCase {
    uint32_t mask;
    Technology technology;
    bool nfcDep;
    uint32_t tagType;
};

TEST(NciListenActivation, EachTechnologyActivatesTheHostIntoListenActiveWithItsRecord) {
    const ActivationCase cases[] = {
        {kListenA, Technology::A, false, kListenA},
        {kListenB, Technology::B, false, kListenB},
        {kListenF, Technology::F, false, kListenF},
        {kP2pTarget, Technology::A, true, kP2pTarget},
    };
    for (const ActivationCase& c : cases) {
        SCOPED_TRACE(c.tagType);
        Bench w;
        ASSERT_TRUE(w.start());
        ASSERT_TRUE(w.listen(c.mask)) << w.sim.describe();
        const auto poller = c.nfcDep ? RemotePoller::nfcDepInitiator() : RemotePoller::reader(c.technology);
        poller->log.toSend = {{0x00, 0xA4, 0x04, 0x00, 0x00}};
        w.sim.rf().approach(poller);
        const auto record = w.device();
        ASSERT_TRUE(record) << w.sim.describe();
        EXPECT_EQ(record->tagType, c.tagType);
        EXPECT_EQ(w.state(), "nciStateListenActive");
        if (c.nfcDep) {
            // The initiator's NFCID3 and its general bytes, LLCP magic first.
            EXPECT_EQ(Bytes(record->uid, record->uid + record->uidLength), Bytes(poller->activation.begin(), poller->activation.begin() + 10));
            const auto* gb = reinterpret_cast<const uint8_t*>(&*record) + NFCLL_GENERAL_BYTES_OFFSET;
            EXPECT_EQ(Bytes(gb, gb + record->historicalBytesLength), simpeers::llcpGeneralBytes());
            ASSERT_TRUE(w.stack.waitFor(PH_DATA_IND)) << w.sim.describe();
        } else {
            // The reader's first command is the next thing the host hears.
            const auto ind = w.stack.waitFor(NFCLL_TRANSACTION_IND);
            ASSERT_TRUE(ind) << w.sim.describe();
            const TNfcllTransactionResult* result = nfcllMsgGet<NFCLL_TRANSACTION_IND>(*ind).result;
            ASSERT_TRUE(result);
            EXPECT_EQ(Bytes(result->data, result->data + result->dataLength), (Bytes{0x00, 0xA4, 0x04, 0x00, 0x00}));
        }
        EXPECT_TRUE(w.sim.recorder().violations().empty()) << w.sim.describe();
    }
}

TEST_F(Listening, GeneralBytesBeyondTheirRoomAreCut) {
    ASSERT_TRUE(listen(kP2pTarget));
    sim.rf().approach(RemotePoller::nfcDepInitiator(Bytes(60, 0x5A)));
    const auto record = device();
    ASSERT_TRUE(record) << sim.describe();
    EXPECT_EQ(+record->historicalBytesLength, 50);
    EXPECT_TRUE(cap.contains("nci: ! Not enough room for generic bytes (60 bytes needed, 50 available)"));
}

// ---- Deactivation ------------------------------------------------------------------------------

struct DeactivationCase {
    bool asleep;                // the reader put the host to sleep first
    uint8_t type, reason;       // of RF_DEACTIVATE_NTF
    const char* next;
    bool removal;               // the reader's departure goes up
};

TEST(NciListenDeactivation, TheNotificationDecidesTheNextStateAndWhatGoesUp) {
    const DeactivationCase cases[] = {
        {false, 1, 1, "nciStateListenSleep", false},   // sleep at the reader's request
        {false, 3, 2, "nciStateDiscovery", true},      // link loss: the reader left
        {false, 3, 0, "nciStateDiscovery", false},
        {true, 3, 2, "nciStateDiscovery", true},       // gone while asleep
    };
    for (const DeactivationCase& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.asleep) << " " << int(c.type) << " " << int(c.reason));
        Bench w;
        ASSERT_TRUE(w.start());
        ASSERT_TRUE(w.listen(kListenA));
        w.sim.rf().approach(RemotePoller::reader(Technology::A));
        ASSERT_TRUE(w.device()) << w.sim.describe();
        if (c.asleep) {
            w.sim.rf().sleepPoller();
            ASSERT_TRUE(w.waitForState("nciStateListenSleep"));
        }
        w.sim.send(NciMessage::control(0x6106, {c.type, c.reason}));
        if (c.removal) {
            ASSERT_TRUE(w.stack.waitFor(NFCLL_TECH_REMOVE_IND)) << w.sim.describe();
        }
        EXPECT_TRUE(w.waitForState(c.next)) << w.state();
        EXPECT_EQ(w.stack.count(NFCLL_TECH_REMOVE_IND), c.removal ? 1u : 0u);
    }
}

TEST_F(Listening, ReaderThatWakesTheSleepingHostActivatesItAgain) {
    ASSERT_TRUE(listen(kListenA));
    auto reader = RemotePoller::reader(Technology::A);
    sim.rf().approach(reader);
    ASSERT_TRUE(device()) << sim.describe();
    sim.rf().sleepPoller();
    sim.call([&](ncisim::Controller&) { reader->log.toSend = {{0x00, 0xB0, 0x00, 0x00, 0x02}}; });
    sim.rf().wakePoller();
    const auto again = device(1);
    ASSERT_TRUE(again) << sim.describe();
    EXPECT_EQ(again->tagType, kListenA);
    ASSERT_TRUE(stack.waitFor(NFCLL_TRANSACTION_IND)) << sim.describe();
    EXPECT_EQ(state(), "nciStateListenActive");
    EXPECT_EQ(stack.count(NFCLL_TECH_REMOVE_IND), 0u);
}

TEST_F(Listening, HostThatStopsListeningDeactivatesTheReaderToIdle) {
    ASSERT_TRUE(listen(kListenA));
    sim.rf().approach(RemotePoller::reader(Technology::A));
    ASSERT_TRUE(device()) << sim.describe();
    ASSERT_TRUE(stack.request<NFCLL_LISTEN_REQ>({0, &params}));
    ASSERT_TRUE(stack.waitFor(NFCLL_LISTEN_CONF, 1)) << sim.describe();
    EXPECT_EQ(commands(sim, kRfDeactivate), (std::vector<Bytes>{{0x00}}));
    EXPECT_TRUE(waitForState("nciStateIdle")) << state();
}

// The card's answer waits for the reader's next command, which this reader never sends; a
// listen that takes the radio first ends it, and both requests get their answer.
TEST_F(Listening, AListenWhileTheCardsAnswerWaitsForTheReaderAnswersBoth) {
    ASSERT_TRUE(listen(kListenA));
    sim.rf().approach(RemotePoller::reader(Technology::A));
    ASSERT_TRUE(device()) << sim.describe();
    const Bytes answer{0x90, 0x00};
    ASSERT_TRUE(stack.request<NFCLL_TRANSACTION_REQ>({answer.data(), static_cast<uint16_t>(answer.size()), 0}));
    ASSERT_TRUE(sim.recorder().waitForReceived([](const NciMessage& m) { return m.mt == ncisim::MT_DATA; },
                                               NciStack::kBounded))
        << sim.describe();
    ASSERT_TRUE(stack.request<NFCLL_LISTEN_REQ>({0x1, &params}));
    ASSERT_TRUE(stack.waitFor(NFCLL_LISTEN_CONF, 1)) << sim.describe();
    const auto ended = stack.waitFor(NFCLL_TRANSACTION_IND);
    ASSERT_TRUE(ended) << sim.describe();
    const TNfcllTransactionResult* result = nfcllMsgGet<NFCLL_TRANSACTION_IND>(*ended).result;
    ASSERT_NE(result, nullptr);
    EXPECT_NE(result->cause, 0);
}

// ---- Driver steps no request reaches -----------------------------------------------------------

TEST_F(Listening, RawRequestSendsTheBytesAsTheyAreAndTheNextEventEndsItWithSuccess) {
    ASSERT_TRUE(listen(0x1));
    const Bytes raw{0x20, 0x03, 0x02, 0x01, 0x80};   // CORE_GET_CONFIG_CMD for RF_FIELD_INFO
    push(EV_NCI_IO_RAW_REQUEST, &raw);
    EXPECT_EQ(ioConfCause(), 0);
    EXPECT_EQ(commands(sim, 0x2003), (std::vector<Bytes>{{0x01, 0x80}}));
    EXPECT_TRUE(cap.contains("nci: ! WARNING: Sending raw packet"));
    EXPECT_EQ(state(), "nciStateDiscovery");
}

TEST_F(Listening, RawRequestWithoutBytesIsRefused) {
    ASSERT_TRUE(listen(0x1));
    push(EV_NCI_IO_RAW_REQUEST);
    EXPECT_EQ(ioConfCause(), NCI_CAUSE_INVALID_DATA);
    EXPECT_EQ(state(), "nciStateDiscovery");
}

TEST_F(Listening, ControllerWithItsOwnPresenceCheckHasItStartedBeforeDiscovery) {
    stack.onDriver([](TNciContext& nci) { nci.features |= NCI_FEATURE_PRESENCE_CHECK; });
    ASSERT_TRUE(listen(0x1)) << sim.describe();
    std::vector<uint16_t> order;
    for (uint16_t op : sim.commandOpcodes())
        if (op == kSetConfig || op == 0x2F01 || op == 0x2F02 || op == kRfDiscover) order.push_back(op);
    EXPECT_EQ(order, (std::vector<uint16_t>{kSetConfig, 0x2F01, kRfDiscover})) << sim.describe();
    EXPECT_EQ(commands(sim, 0x2F01), (std::vector<Bytes>{{0x01, 0x00}}));
}

TEST_F(Listening, DiscoveryWithoutReadersNeedsNoPresenceCheck) {
    stack.onDriver([](TNciContext& nci) { nci.features |= NCI_FEATURE_PRESENCE_CHECK; });
    ASSERT_TRUE(listen(0x40000000u | kListenA)) << sim.describe();
    EXPECT_TRUE(commands(sim, 0x2F01).empty());
    EXPECT_TRUE(commands(sim, 0x2F02).empty());
}

struct UpdateCase {
    bool frameInterface;   // a Type 2 tag on the Frame RF interface, else an ISO-DEP card
    bool withParameter;
    std::optional<uint16_t> refusal;
};

TEST(NciParameterUpdate, OnlyTheFrameInterfaceTakesParametersAndOnlyWhenThereAreAny) {
    const UpdateCase cases[] = {{true, true, std::nullopt}, {true, false, NCI_CAUSE_INVALID_DATA},
                                {false, true, NFCLL_CAUSE_WRONG_STATE}};
    for (const UpdateCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.frameInterface << c.withParameter);
        Bench w;
        ASSERT_TRUE(w.start());
        ASSERT_TRUE(w.listen(0x1 | 0x2));
        if (c.frameInterface) w.sim.rf().enter(std::make_shared<simtags::T2tTag>());
        else w.sim.rf().enter(std::make_shared<simtags::IsoDepTag>());
        ASSERT_TRUE(w.device()) << w.sim.describe();
        w.stack.onDriver([&](TNciContext& nci) {
            nciParamsClear(&nci);
            const uint8_t bitRate = 0x00;
            if (c.withParameter) nciParamsAdd(&nci, 0x01, &bitRate, 1);   // RF_TRANSMIT_BIT_RATE 106
        });
        w.push(EV_NCI_RF_PARAMETER_UPDATE_CMD);
        if (c.refusal) {
            EXPECT_EQ(w.ioConfCause(), *c.refusal);
            EXPECT_TRUE(commands(w.sim, kParameterUpdate).empty());
        } else {
            ASSERT_TRUE(w.sim.waitForCommands(kParameterUpdate, 1, NciStack::kBounded)) << w.sim.describe();
            EXPECT_EQ(commands(w.sim, kParameterUpdate), (std::vector<Bytes>{{0x01, 0x01, 0x01, 0x00}}));
            EXPECT_EQ(w.state(), "nciStatePollActive");
            EXPECT_EQ(w.stack.count(NFCLL_IOCONTROL_CONF), 0u);
        }
    }
}

// ---- P2P configuration of discovery ------------------------------------------------------------

const Bytes kLlcpDefault{0x46, 0x66, 0x6D, 0x01, 0x01, 0x11, 0x02, 0x02, 0x07, 0x80,
                         0x03, 0x02, 0x00, 0x03, 0x04, 0x01, 0x5A, 0x07, 0x01, 0x03};

struct P2pCase {
    const char* what;
    uint32_t mask;
    uint8_t rawMode;
    uint8_t nfcidLength;          // 0: no NFCID given
    uint8_t atrLength;
    std::map<uint8_t, Bytes> present;
    std::vector<uint8_t> absent;
    bool ownGeneralBytes = false; // the application's own: the configuration byte, then the general bytes
};

Bytes counting(size_t n) {
    Bytes out(n);
    for (size_t k = 0; k < n; ++k) out[k] = static_cast<uint8_t>(0xC0 + k);
    return out;
}

TEST(NciP2pConfiguration, ListenParametersBecomeTheP2pParametersOfDiscovery) {
    Bytes long48 = kLlcpDefault;
    long48.resize(48, 0xEE);
    const P2pCase cases[] = {
        {"initiator, raw mode 2", kP2pInitiator, 2, 0, 20, {{0x60, {10}}, {0x29, kLlcpDefault}, {0x18, {2}}}, {0x61}},
        {"initiator", kP2pInitiator, 0, 0, 20, {{0x29, kLlcpDefault}}, {0x60, 0x61, 0x33}},
        {"target", kP2pTarget, 0, 0, 20, {{0x32, {0x40}}, {0x61, kLlcpDefault}, {0x50, {2}}}, {0x29, 0x60}},
        {"general bytes longer than their field", kP2pInitiator, 0, 0, 60, {{0x29, long48}}, {}},
        {"NFCID of 4", kP2pTarget, 0, 4, 20, {{0x33, counting(4)}}, {}},
        {"NFCID of 5", kP2pTarget, 0, 5, 20, {{0x33, counting(4)}}, {}},
        {"NFCID of 7", kP2pTarget, 0, 7, 20, {{0x33, counting(7)}}, {}},
        {"NFCID of 9", kP2pTarget, 0, 9, 20, {{0x33, counting(7)}}, {}},
        {"NFCID of 10", kP2pTarget, 0, 10, 20, {{0x33, counting(10)}}, {}},
        {"NFCID longer than its field", kP2pInitiator, 0, 12, 20, {{0x33, counting(10)}}, {}},
        {"NFCID of 3", kP2pTarget, 0, 3, 20, {}, {0x33}},
        {"initiator, own general bytes", kP2pInitiator, 0, 0, 21, {{0x29, kLlcpDefault}, {0x2A, {0x32}}}, {0x61, 0x62}, true},
        {"target, own general bytes", kP2pTarget, 0, 0, 21, {{0x61, kLlcpDefault}, {0x62, {0x32}}}, {0x29, 0x2A}, true},
        {"own configuration byte alone", kP2pTarget, 0, 0, 1, {{0x62, {0x32}}}, {0x61}, true},
    };
    for (const P2pCase& c : cases) {
        SCOPED_TRACE(c.what);
        Bench w;
        ASSERT_TRUE(w.start());
        nfcmanSetStackBytes(c.rawMode, 0);
        TNfcListenParam& p = w.params;
        std::copy(long48.begin(), long48.end(), p.atrBytes);
        p.atrLength = c.atrLength;
        p.p2pFlags = NFC_P2P_DATA_RATE;
        if (c.ownGeneralBytes) {
            p.p2pFlags |= NFC_P2P_GENERAL_BYTES;
            p.atr.config = 0x32;
            std::copy(kLlcpDefault.begin(), kLlcpDefault.end(), p.atr.generalBytes);
        }
        p.p2pDataRate = 3;   // 424 kbit/s
        if (c.nfcidLength) {
            p.p2pFlags |= NFC_P2P_NFCID_VALID;
            const Bytes id = counting(10);
            std::copy(id.begin(), id.end(), p.p2pNfcid);
            p.p2pNfcidLength = c.nfcidLength;
        }
        ASSERT_TRUE(w.listen(c.mask)) << w.sim.describe();
        const auto configs = commands(w.sim, kSetConfig);
        ASSERT_FALSE(configs.empty());
        const auto set = parameters(configs.back());
        for (const auto& [id, value] : c.present) {
            ASSERT_TRUE(set.count(id)) << std::hex << int(id);
            EXPECT_EQ(set.at(id), value) << std::hex << int(id);
        }
        for (uint8_t id : c.absent) EXPECT_FALSE(set.count(id)) << std::hex << int(id);
    }
}

} // namespace
