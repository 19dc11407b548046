// The com layer between a layer-1 stand-in (a task on the OS layer that keeps what it gets) and
// the bus: a scripted NCI controller on a pseudo-terminal, an in-process miniport below the chip
// transport, or a recording lower interface where the com layer's own rules are under test.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/nfcapi_init.h"
#include "com_events.h"
#include "fake_miniport.h"
#include "hw/hw_timer.h"
#include "manual_clock.h"
#include "mm/mm.h"
#include "os/os.h"
#include "os/os_mem.h"
#include "os_send.h"
#include "pty_pair.h"
#include "scripted_peer.h"
#include "stub_modules.h"
#include "shdlc/shdlc_endpoint.h"
#include "spbproxy_fake.h"
#include "trace_capture.h"
#include "transport/com.h"
#include "transport/etsitransport.h"
#include "transport/ncitransport.h"
#include "transport/serialfrontend.h"
#include "util/trace.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kLayer1 = 0xB7;
constexpr uint32_t kLayer1PoolName = 0x1F7;
constexpr uint16_t kLayer1Buffers = 8;
constexpr uint32_t kBounded = 5000;   // ms: only reached when something is broken

const Bytes kResetCmd = {0x20, 0x00, 0x01, 0x00};
const Bytes kResetRsp = {0x40, 0x00, 0x03, 0x00, 0x11, 0x00};
const Bytes kInitCmd = {0x20, 0x01, 0x00};
const Bytes kCredits = {0x60, 0x06, 0x03, 0x01, 0x00, 0x01};

Bytes joined(const std::vector<Bytes>& parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// A lower interface that records what the com layer asks of it and reports events on demand.
struct FakeLower {
    DWORD openStatus = COM_PENDING;
    DWORD writeStatus = COM_SUCCESS;
    DWORD propertyStatus = COM_SUCCESS;

    std::mutex m;
    std::vector<Bytes> writes;
    std::vector<BYTE*> written;
    std::vector<std::pair<DWORD, Bytes>> properties;   // property, value bytes
    int closes = 0;
    TComCallback callBack = nullptr;
    void* context = nullptr;

    FakeLower() { current() = this; }
    ~FakeLower() { current() = nullptr; }

    static TComLowerInterface table() { return {&open, &close, &write, &comNoResponse, &setProperty, &getProperty}; }
    void fire(DWORD event, DWORD status = 0, BYTE* buffer = nullptr, DWORD length = 0) {
        callBack(context, event, status, buffer, length);
    }
    std::vector<std::pair<DWORD, Bytes>> propertiesSet() {
        std::lock_guard<std::mutex> g(m);
        return properties;
    }

private:
    static FakeLower*& current() {
        static FakeLower* fake = nullptr;
        return fake;
    }
    static DWORD open(const char*, const char*, TComCallback callBack, void* context, void** handle) {
        FakeLower* self = current();
        self->callBack = callBack;
        self->context = context;
        *handle = self;
        return self->openStatus;
    }
    static DWORD close(void*) {
        ++current()->closes;
        return COM_SUCCESS;
    }
    static DWORD write(void*, BYTE* buffer, DWORD length) {
        FakeLower* self = current();
        std::lock_guard<std::mutex> g(self->m);
        self->writes.emplace_back(buffer, buffer + length);
        self->written.push_back(buffer);
        return self->writeStatus;
    }
    static DWORD setProperty(void*, DWORD property, void* value, DWORD length) {
        FakeLower* self = current();
        std::lock_guard<std::mutex> g(self->m);
        const auto* bytes = static_cast<const BYTE*>(value);
        self->properties.emplace_back(property, Bytes(bytes, bytes + length));
        return self->propertyStatus;
    }
    static DWORD getProperty(void*, DWORD, void*, DWORD*) { return COM_ERR_PROPERTY; }
};

// The OS layer with the timer task and a layer-1 stand-in; the test runs the dispatcher itself.
struct ComLayer : ::testing::Test {
    void SetUp() override {
        debugSetFlags(TRC_ERROR);
        ASSERT_NO_FATAL_FAILURE(startTimerTaskWithStub(stubs, kLayer1));
        layer1Word = stubs[kLayer1].startWords.at(0);
        ASSERT_EQ(osQueueFindByName(layer1Word, &layer1Queue), OS_OK);
        ASSERT_EQ(osPoolCreate(kLayer1PoolName, 2051, kLayer1Buffers, &layer1Pool), OS_OK);
        posted.create(0, 0x7FFFFFFF);
        osSetSchedulerHook(&ComLayer::onPost, this);
    }
    void TearDown() override {
        if (com) {
            comShutdown(com);
            osRunUntilIdle();
            osMemoryRelease(com);
        }
        osSetSchedulerHook(nullptr, nullptr);
        osDone();
    }
    static void onPost(void* self) { static_cast<ComLayer*>(self)->posted.release(); }

    // comInit on a fresh instance, then the module manager's LINK_PROTOCOL.
    void start(const std::string& text) {
        configuration = text;
        void* memory = nullptr;
        ASSERT_EQ(osMemoryAllocate(sizeof(TComInstance), &memory), OS_OK);
        com = static_cast<TComInstance*>(memory);
        ASSERT_EQ(comInit(configuration.c_str(), com, COM_QUEUE_NAME), 0);
        OsMessage link{};
        link.command = MM_LINK_PROTOCOL;
        link.source = MM_QUEUE_NAME;
        osMsgSetFields(link, MmLinkProtocolFields{layer1Queue, 0, layer1Pool, 0, 0, 0, 0, 0, 0});
        ASSERT_EQ(osMessageSend(com->ownQueue, &link), OS_OK);
        osRunUntilIdle();
    }
    // Starts on the recording lower interface and opens it.
    void startOnFake(const char* readerType = "NCI") {
        start(std::string("READERTYPE=") + readerType);
        com->lower = FakeLower::table();
        down(PH_ACT_REQ);
        fake.fire(comeOpenCompleted);
        ASSERT_TRUE(waitUp(PH_ACT_IND));
    }

    void down(uint16_t command) { down(command, PhParamFields{0}); }
    template <typename Fields>
    void down(uint16_t command, const Fields& fields) {
        sendAndRun(com->ownQueue, command, layer1Word, fields);
    }
    // A layer-1 pool buffer with the packet at the offset, handed down with the request.
    void sendData(const Bytes& packet, uint32_t flags = PH_DATA_OWNED, uint16_t offset = 1) {
        void* buffer = nullptr;
        ASSERT_EQ(osBufferGet(layer1Pool, static_cast<uint16_t>(packet.size() + offset), &buffer, nullptr, nullptr), OS_OK);
        std::copy(packet.begin(), packet.end(), static_cast<BYTE*>(buffer) + offset);
        down(PH_DATA_REQ, PhDataFields{flags, offset, static_cast<uint16_t>(packet.size()), static_cast<BYTE*>(buffer)});
    }

    // Runs the dispatcher until layer 1 holds n messages of the command, or time runs out.
    bool waitUp(uint16_t command, size_t n = 1) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBounded);
        for (;;) {
            osRunUntilIdle();
            if (stubs[kLayer1].count(command) >= n) return true;
            using std::chrono::milliseconds;
            const auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || posted.wait(static_cast<uint32_t>(left.count())) != PlatWait::Signaled) {
                osRunUntilIdle();
                return stubs[kLayer1].count(command) >= n;
            }
        }
    }
    std::vector<OsMessage> up(uint16_t command) {
        std::vector<OsMessage> result;
        for (const OsMessage& m : stubs[kLayer1].received())
            if (m.command == command) result.push_back(m);
        return result;
    }
    uint16_t parameterOf(const OsMessage& m) { return osMsgFields<PhParamFields>(m).parameter; }

    // The payload of every PH_DATA_IND so far; each buffer goes back to its pool, as layer 1 does.
    std::vector<Bytes> takeIndications() {
        std::vector<Bytes> packets;
        const auto all = up(PH_DATA_IND);
        for (size_t i = taken; i < all.size(); ++i) {
            const auto f = osMsgFields<PhDataFields>(all[i]);
            EXPECT_EQ(f.flags, PH_DATA_OWNED);
            packets.emplace_back(f.buffer + f.offset, f.buffer + f.offset + f.length);
            EXPECT_EQ(osBufferRelease(f.buffer), OS_OK);
        }
        taken = all.size();
        return packets;
    }

    ManualClock clock;
    TraceCapture cap;
    StubModules stubs;
    FakeLower fake;
    PlatSemaphore posted;
    std::string configuration;
    TComInstance* com = nullptr;
    uint32_t layer1Word = 0;
    uint16_t layer1Queue = 0;
    uint16_t layer1Pool = 0;
    size_t taken = 0;
};

// ---- The NCI transport on a pseudo-terminal --------------------------------------------------
struct ComOnPty : ComLayer {
    PtyPair pty;
    void activate() {
        ASSERT_TRUE(pty.ok());
        start("READERTYPE=NCI IOTYPE=SERIAL PORT=" + pty.slavePath());
        down(PH_ACT_REQ);
        ASSERT_TRUE(waitUp(PH_ACT_IND));
        ASSERT_NE(com->hCom.load(), nullptr);
    }
};

TEST_F(ComOnPty, ActivationPacketsBothWaysResetAndRelease) {
    activate();
    // Each request is one frame: a second copy of the first would stand where the second is expected.
    ScriptedPeer peer(pty, {ScriptedPeer::expect(kResetCmd), ScriptedPeer::send(joined({kResetRsp, kCredits})),
                            ScriptedPeer::expect(kInitCmd)});
    sendData(kResetCmd);
    ASSERT_TRUE(waitUp(PH_DATA_IND, 2));
    sendData(kInitCmd);
    EXPECT_EQ(peer.wait(), "");
    EXPECT_EQ(takeIndications(), (std::vector<Bytes>{kResetRsp, kCredits}));
    EXPECT_EQ(osPoolFree(layer1Pool), kLayer1Buffers);
    EXPECT_EQ(osPoolFree(com->rxPool), COM_RX_BUFFERS);

    down(PH_RESET_REQ);
    ASSERT_TRUE(waitUp(PH_RESET_CONF));
    EXPECT_EQ(parameterOf(up(PH_RESET_CONF)[0]), 0);

    down(PH_RELEASE_REQ);
    ASSERT_TRUE(waitUp(PH_RELEASE_CONF));
    EXPECT_EQ(com->hCom.load(), nullptr);
    comShutdown(com);   // the stack's shut-down after the release finds nothing left to do
    EXPECT_EQ(cap.count("comShutdown() exit"), 2u);
    EXPECT_TRUE(up(PH_DEACT_IND).empty());
}

TEST_F(ComOnPty, RemovalOfThePeerIsReportedUp) {
    activate();
    pty.hangUp();
    ASSERT_TRUE(waitUp(PH_ADAPTER_REMOVED));
    down(PH_RELEASE_REQ);
    EXPECT_TRUE(waitUp(PH_RELEASE_CONF));
}

TEST_F(ComOnPty, AnOpenThatFailsIsADeactivation) {
    start("READERTYPE=NCI IOTYPE=SERIAL PORT=/dev/corvane-no-such-port");
    down(PH_ACT_REQ);
    ASSERT_EQ(up(PH_DEACT_IND).size(), 1u);
    EXPECT_TRUE(up(PH_ACT_IND).empty());
    EXPECT_TRUE(cap.contains("! comOpenDownStream(), 'comOpen , READERTYPE=NCI"));
}

TEST_F(ComOnPty, ThousandsOfPacketsLeaveEveryPoolFull) {
    constexpr int kPackets = 2000;
    activate();
    std::vector<ScriptedPeer::Step> script;
    std::vector<Bytes> answers;
    for (int i = 0; i < kPackets; ++i) {
        const auto b = static_cast<uint8_t>(i);
        script.push_back(ScriptedPeer::expect({0x00, 0x00, 0x02, b, static_cast<uint8_t>(i >> 8)}));
        answers.push_back({0x00, 0x00, 0x03, b, b, b});
        script.push_back(ScriptedPeer::send(answers.back()));
    }
    ScriptedPeer peer(pty, script);
    for (int i = 0; i < kPackets; ++i) {
        sendData({0x00, 0x00, 0x02, static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)});
        ASSERT_TRUE(waitUp(PH_DATA_IND, i + 1)) << "packet " << i;
        ASSERT_EQ(takeIndications(), std::vector<Bytes>{answers[i]});
    }
    EXPECT_EQ(peer.wait(), "");
    EXPECT_EQ(osPoolFree(layer1Pool), kLayer1Buffers);
    EXPECT_EQ(osPoolFree(com->rxPool), COM_RX_BUFFERS);
    EXPECT_TRUE(up(PH_DEACT_IND).empty());
}

// ---- Chunks as the bus delivers them, through the chip transport -----------------------------
struct ChunkCase {
    const char* name;
    std::vector<Bytes> chunks;
};

class ComOnChip : public ComLayer, public ::testing::WithParamInterface<ChunkCase> {};

TEST_P(ComOnChip, EveryPacketBecomesOneIndication) {
    FakeMiniport miniport;
    start("READERTYPE=NCI_ST21 IOTYPE=I2C PORT=bus0");
    down(PH_ACT_REQ);
    ASSERT_TRUE(waitUp(PH_ACT_IND));
    sendData(kResetCmd);
    ASSERT_TRUE(miniport.waitWrites(1));
    EXPECT_EQ(miniport.writes(), std::vector<Bytes>{kResetCmd});
    for (const Bytes& chunk : GetParam().chunks) miniport.receive(chunk);
    ASSERT_TRUE(waitUp(PH_DATA_IND, 2));
    EXPECT_EQ(takeIndications(), (std::vector<Bytes>{kResetRsp, kCredits}));
    EXPECT_EQ(osPoolFree(layer1Pool), kLayer1Buffers);
    down(PH_RELEASE_REQ);   // while the miniport is there
    EXPECT_TRUE(waitUp(PH_RELEASE_CONF));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ComOnChip,
    ::testing::Values(ChunkCase{"TwoInOneRead", {joined({kResetRsp, kCredits})}},
                      ChunkCase{"SplitAcrossThreeReads", {{0x40}, {0x00, 0x03, 0x00}, {0x11, 0x00}, kCredits}},
                      ChunkCase{"TailAndNextHeadInOneRead",
                                {{0x40, 0x00, 0x03, 0x00}, {0x11, 0x00, 0x60, 0x06}, {0x03, 0x01, 0x00, 0x01}}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- The SPB miniport, whose second reset in one open gives its bus up -------------------------
struct SelfClosingCase {
    const char* name;
    const char* readerType;
    size_t resetsDone;  // confirmed as done: the first reset, when the adapter's reset is the bus's
    Bytes firstWrite;   // what the bus carries first after the link opened again
};
std::ostream& operator<<(std::ostream& os, const SelfClosingCase& c) { return os << c.name; }

class ComOnSpb : public ComLayer, public ::testing::WithParamInterface<SelfClosingCase> {
protected:
    void SetUp() override {
        spFakeReset();
        ComLayer::SetUp();
    }
    void TearDown() override {
        ComLayer::TearDown();
        spFakeReset();
    }
    Bytes lastWrite() {
        Bytes b(300);
        b.resize(spFakeWrite(spFakeWriteCount() - 1, b.data(), b.size()));
        return b;
    }
};

TEST_P(ComOnSpb, ATransportThatClosedItselfIsReportedLostAndOpensAgain) {
    start(std::string("READERTYPE=") + GetParam().readerType + " IOTYPE=SPB");
    down(PH_ACT_REQ);
    ASSERT_TRUE(waitUp(PH_ACT_IND));
    down(PH_RESET_REQ);
    down(PH_RESET_REQ);
    ASSERT_TRUE(waitUp(PH_ADAPTER_REMOVED));
    size_t done = 0;
    for (const OsMessage& confirmation : up(PH_RESET_CONF)) done += parameterOf(confirmation) == 0;
    EXPECT_EQ(done, GetParam().resetsDone);   // the second reset is never confirmed as done
    EXPECT_EQ(spFakeCloseCount(), 1u);

    // Layer 1 releases the link it lost and activates it again: the bus is there once more.
    down(PH_RELEASE_REQ);
    ASSERT_TRUE(waitUp(PH_RELEASE_CONF));
    down(PH_ACT_REQ);
    ASSERT_TRUE(waitUp(PH_ACT_IND, 2));
    const size_t before = spFakeWriteCount();
    down(PH_RESET_REQ);
    sendData(kResetCmd, PH_DATA_OWNED, 0);
    ASSERT_TRUE(eventually([&] { return spFakeWriteCount() > before; }, kBounded));
    EXPECT_EQ(lastWrite(), GetParam().firstWrite);
    EXPECT_EQ(up(PH_ADAPTER_REMOVED).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Adapters, ComOnSpb,
    ::testing::Values(SelfClosingCase{"Nci", "NCI", 1, kResetCmd},
                      SelfClosingCase{"Etsi", "ST21NFCA", 0, shdlcsim::encode(shdlcsim::Framing::flag, 0xF9, {2, 0})}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- The com layer's own rules, on the recording lower interface -------------------------------
TEST_F(ComLayer, ReceivedFramesTakeTheOwnPoolThenLayer1sThenGiveUp) {
    startOnFake();
    Bytes frame = kCredits;
    auto receive = [&] {
        fake.fire(comeDataReceived, 0, frame.data(), static_cast<DWORD>(frame.size()));
        osRunUntilIdle();
    };
    for (int i = 0; i < COM_RX_BUFFERS; ++i) receive();
    EXPECT_EQ(osPoolFree(com->rxPool), 0);
    EXPECT_EQ(osPoolFree(layer1Pool), kLayer1Buffers);
    receive();
    EXPECT_EQ(osPoolFree(layer1Pool), kLayer1Buffers - 1);
    for (int i = 1; i < kLayer1Buffers; ++i) receive();
    receive();
    ASSERT_EQ(up(PH_DATA_IND).size(), static_cast<size_t>(COM_RX_BUFFERS + kLayer1Buffers));
    ASSERT_EQ(up(PH_DEACT_IND).size(), 1u);
    EXPECT_EQ(parameterOf(up(PH_DEACT_IND)[0]), COM_CAUSE_NO_RX_BUFFER);
    EXPECT_TRUE(cap.contains("! comTask, cannot alloc buffer for rx data len 6)"));
    EXPECT_EQ(takeIndications(), std::vector<Bytes>(COM_RX_BUFFERS + kLayer1Buffers, kCredits));
    EXPECT_EQ(osPoolFree(com->rxPool), COM_RX_BUFFERS);

    // Without layer 1's pool a frame that finds the own pool empty is dropped at once.
    com->upstreamPool = 0;
    std::vector<void*> held(COM_RX_BUFFERS);
    for (void*& b : held) ASSERT_EQ(osBufferGet(com->rxPool, 1, &b, nullptr, nullptr), OS_OK);
    receive();
    EXPECT_TRUE(cap.contains("! comTask, missing usPoolID for rx data len 6)"));
    EXPECT_EQ(up(PH_DEACT_IND).size(), 2u);
    for (void* b : held) osBufferRelease(b);
}

TEST_F(ComLayer, AFrameNobodyCanTakeGoesBackToThePool) {
    startOnFake();
    com->upstreamQueue = 0;   // no layer above
    Bytes frame = kCredits;
    fake.fire(comeDataReceived, 0, frame.data(), static_cast<DWORD>(frame.size()));
    EXPECT_EQ(osPoolFree(com->rxPool), COM_RX_BUFFERS);
    EXPECT_TRUE(cap.contains("! comTask, PH_DATA_IND len 6 not delivered"));
}

struct OwnershipCase {
    const char* name;
    const char* readerType;
    uint32_t flags;
    DWORD writeStatus;
    uint16_t freeAfterWrite;        // layer-1 buffers free once the write returned
    uint16_t freeAfterCompletion;   // and once the lower interface reported the transmission
};

class ComOwnership : public ComLayer, public ::testing::WithParamInterface<OwnershipCase> {};

TEST_P(ComOwnership, AWrittenBufferIsReleasedExactlyOnce) {
    const OwnershipCase& c = GetParam();
    startOnFake(c.readerType);
    fake.writeStatus = c.writeStatus;
    sendData(kResetCmd, c.flags, 0);
    ASSERT_EQ(fake.writes, std::vector<Bytes>{kResetCmd});
    EXPECT_EQ(osPoolFree(layer1Pool), c.freeAfterWrite);
    if (c.writeStatus < COM_ERR_CONTROL_BLOCK) fake.fire(comeTransmitCompleted, 0, fake.written[0], 4);
    EXPECT_EQ(osPoolFree(layer1Pool), c.freeAfterCompletion);
    EXPECT_FALSE(cap.contains("osBufferRelease"));
    EXPECT_EQ(cap.contains("! comapi write failed"), c.writeStatus >= COM_ERR_CONTROL_BLOCK);
}

constexpr uint16_t kAll = kLayer1Buffers, kOneHeld = kLayer1Buffers - 1;

INSTANTIATE_TEST_SUITE_P(
    Cases, ComOwnership,
    ::testing::Values(OwnershipCase{"HandedOverReleasedAfterTheWrite", "NCI", PH_DATA_OWNED, COM_SUCCESS, kAll, kAll},
                      OwnershipCase{"HandedOverReleasedAfterAFailedWrite", "NCI", PH_DATA_OWNED, COM_ERR_STATE, kAll, kAll},
                      OwnershipCase{"KeptByTheSender", "NCI", 0, COM_SUCCESS, kOneHeld, kOneHeld},
                      OwnershipCase{"EtsiReleasesOnCompletion", "ST21NFCA", 0, COM_SUCCESS, kOneHeld, kAll},
                      OwnershipCase{"EtsiReleasesOnCompletionOnlyOnce", "POLARIC", PH_DATA_OWNED, COM_SUCCESS, kOneHeld,
                                    kAll},
                      OwnershipCase{"EtsiReleasesAfterAFailedWrite", "ST21NFCA", 0, COM_ERR_STATE, kAll, kAll}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Link-layer timers ---------------------------------------------------------------------
struct ComTimers : ComLayer {
    void SetUp() override {
        ComLayer::SetUp();
        startOnFake("ST21NFCA");
    }
    // From the lower interface, then the timer task takes the command at the current time.
    void startTimer(DWORD slot, DWORD ms, bool run = true) {
        fake.fire(comeTimerStart, slot, nullptr, ms);
        if (run) osRunUntilIdle();
    }
    void stopTimer(DWORD slot, bool run = true) {
        fake.fire(comeTimerStop, slot);
        if (run) osRunUntilIdle();
    }
    void advance(uint32_t ms) {
        clock.advance(ms);
        osRunUntilIdle();
    }
    // Slots whose expiry reached the lower interface, in order.
    std::vector<int> expired() {
        std::vector<int> slots;
        for (const auto& [property, value] : fake.propertiesSet())
            if (property == compTimerExpired && value.size() == 1) slots.push_back(value[0]);
        return slots;
    }
    // An expiry as the timer task sends it.
    void expiry(uint8_t slot, uint8_t sequence) {
        sendAndRun(com->ownQueue, HW_TIMER_EXPIRED, HW_TIMER_QUEUE_NAME, HwTimerFields{slot, sequence, 0, 0, 0});
    }
};

TEST_F(ComTimers, ExpiryReachesTheLowerInterfaceOnceInTensOfMilliseconds) {
    startTimer(1, 59);   // 5 ticks
    advance(40);
    EXPECT_TRUE(expired().empty());
    advance(10);
    EXPECT_EQ(expired(), std::vector<int>{1});
    EXPECT_EQ(com->timers[1].running, 0u);
    startTimer(1, 20);   // the slot is free again
    startTimer(1, 20);
    EXPECT_TRUE(cap.contains("comTask: timer 1 already started !"));
    advance(20);
    EXPECT_EQ(expired(), (std::vector<int>{1, 1}));
}

TEST_F(ComTimers, AStaleExpiryReachesNobody) {
    startTimer(2, 100);
    const uint8_t first = com->timers[2].sequence;
    stopTimer(2);
    expiry(2, first);            // crossed the stop
    startTimer(2, 100);
    expiry(2, first);            // carries the sequence of the stopped run
    expiry(7, 0);                // no such slot
    EXPECT_TRUE(expired().empty());
    advance(100);
    EXPECT_EQ(expired(), std::vector<int>{2});
    expiry(2, com->timers[2].sequence);   // the slot no longer runs
    EXPECT_EQ(expired(), std::vector<int>{2});
}

TEST_F(ComTimers, ShutDownStopsRunningTimersAndASlotOutOfRangeIsRefused) {
    startTimer(0, 50);
    startTimer(3, 50);
    startTimer(4, 50);
    EXPECT_TRUE(cap.contains("comTask: ! timer 4 does not exist"));
    comShutdown(com);
    EXPECT_TRUE(cap.contains("stop timer 0"));
    EXPECT_TRUE(cap.contains("stop timer 3"));
    EXPECT_EQ(fake.closes, 1);
    advance(100);
    EXPECT_TRUE(expired().empty());
    comShutdown(com);
    EXPECT_EQ(fake.closes, 1);
}

TEST_F(ComTimers, AStartTheTimerTaskNeverGotLeavesTheSlotFree) {
    OsMessage filler{};
    filler.command = PH_LINK_INFO;
    while (osMessageSend(com->ownQueue, &filler) == OS_OK) {}
    startTimer(1, 50, false);
    EXPECT_TRUE(cap.contains("comTask: ! timer 1 not started"));
    EXPECT_EQ(com->timers[1].running, 0u);
    osRunUntilIdle();
    startTimer(1, 50);
    advance(50);
    EXPECT_EQ(expired(), std::vector<int>{1});
    EXPECT_FALSE(cap.contains("already started"));
}

TEST_F(ComTimers, StartsAndStopsRacingExpiriesNeverLeaveASlotStuck) {
    // A lower thread restarts a timer of one tick while the com task handles its expiries.
    std::atomic<bool> done{false};
    std::thread lower([&] {
        for (int i = 0; i < 3000; ++i) {
            startTimer(0, 0, false);
            if (i % 2) stopTimer(0, false);
        }
        done = true;
    });
    while (!done) osRunUntilIdle();
    lower.join();
    osRunUntilIdle();
    const size_t before = expired().size();
    startTimer(0, 10);
    advance(10);
    EXPECT_EQ(expired().size(), before + 1);
}

// ---- Reset, line signals and the other messages --------------------------------------------
struct ResetCase {
    const char* name;
    DWORD status;
    int confirmations;   // sent at once
    uint16_t parameter;
};

class ComReset : public ComLayer, public ::testing::WithParamInterface<ResetCase> {};

TEST_P(ComReset, ConfirmedAtOnceOnlyWhenTheInterfaceCannotResetOrFailed) {
    const ResetCase& c = GetParam();
    startOnFake();
    fake.propertyStatus = c.status;
    down(PH_RESET_REQ, PhParamFields{0x1234});
    ASSERT_EQ(fake.propertiesSet().size(), 1u);
    EXPECT_EQ(fake.propertiesSet()[0], (std::pair<DWORD, Bytes>{compResetController, {0x34, 0x12}}));
    const auto confirmations = up(PH_RESET_CONF);
    ASSERT_EQ(confirmations.size(), static_cast<size_t>(c.confirmations));
    if (c.confirmations) {
        EXPECT_EQ(parameterOf(confirmations[0]), c.parameter);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ComReset,
                         ::testing::Values(ResetCase{"Unknown", COM_ERR_PROPERTY, 1, 0},
                                           ResetCase{"Unsupported", COM_ERR_UNSUPPORTED, 1, 0},
                                           ResetCase{"Failed", COM_ERR_OPEN, 1, 1},
                                           ResetCase{"CompletesLater", COM_SUCCESS, 0, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ComLayer, ResetWithoutAnOpenLinkIsConfirmedAtOnceAndACompletionLater) {
    start("READERTYPE=NCI");
    down(PH_RESET_REQ);
    ASSERT_EQ(up(PH_RESET_CONF).size(), 1u);
    com->lower = FakeLower::table();
    down(PH_ACT_REQ);
    fake.fire(comeResetCompleted);
    osRunUntilIdle();
    EXPECT_EQ(up(PH_RESET_CONF).size(), 2u);
}

TEST_F(ComLayer, LowerEventsBecomeLayer1Messages) {
    startOnFake();
    struct Line {
        DWORD event, status;
        uint16_t code;
    } lines[] = {{comeDsr, 1, 6}, {comeDsr, 0, 7}, {comeCts, 1, 4}, {comeCts, 0, 5},
                 {comeDcd, 1, 2}, {comeDcd, 0, 3}, {comeRing, 1, 0}, {comeRing, 0, 1}};
    for (const Line& l : lines) fake.fire(l.event, l.status);
    fake.fire(comeBreak, 1);
    fake.fire(comeDeviceError, 0x33);
    fake.fire(comeAdapterPlugin);
    fake.fire(comeAdapterPlugout);
    fake.fire(comeCloseCompleted);
    fake.fire(0x55);
    osRunUntilIdle();
    const auto signals = up(PH_LINE_SIGNAL);
    ASSERT_EQ(signals.size(), std::size(lines));
    for (size_t i = 0; i < signals.size(); ++i) EXPECT_EQ(parameterOf(signals[i]), lines[i].code) << i;
    ASSERT_EQ(up(PH_DEACT_IND).size(), 1u);
    EXPECT_EQ(parameterOf(up(PH_DEACT_IND)[0]), COM_CAUSE_DEVICE_ERROR);
    EXPECT_EQ(up(PH_ADAPTER_REMOVED).size(), 1u);
    for (const char* text : {"comTaskCallBack() Device Error: 0x33", "comTaskCallBack() lower adapter is inserted again",
                             "comTaskCallBack() lower adapter is removed", "comTaskCallBack(), Close completed",
                             "comTaskCallBack() ! Serial event 0x55 unknown"})
        EXPECT_TRUE(cap.contains(text)) << text;
    for (const OsMessage& m : stubs[kLayer1].received()) EXPECT_EQ(m.source, COM_QUEUE_NAME);
}

TEST_F(ComLayer, AFailedOpenCompletionIsADeactivation) {
    start("READERTYPE=NCI");
    com->lower = FakeLower::table();
    down(PH_ACT_REQ);
    fake.fire(comeOpenCompleted, COM_ERR_OPEN);
    osRunUntilIdle();
    EXPECT_EQ(up(PH_DEACT_IND).size(), 1u);
    EXPECT_TRUE(up(PH_ACT_IND).empty());
}

TEST_F(ComLayer, LineSetupPrecedesTheActivation) {
    start("READERTYPE=PN532");
    com->lower = FakeLower::table();
    com->lineSetup = true;
    down(PH_ACT_REQ);
    fake.fire(comeOpenCompleted);
    ASSERT_TRUE(waitUp(PH_ACT_IND));
    const Bytes one = {1, 0, 0, 0}, eight = {8, 0, 0, 0};
    EXPECT_EQ(fake.propertiesSet(), (std::vector<std::pair<DWORD, Bytes>>{{20, one}, {21, one}, {19, eight}}));
}

TEST_F(ComLayer, ParameterMessagesAreAnsweredAndUnknownOnesTraced) {
    startOnFake();
    BYTE token = 0;
    down(PH_HWIO_PARAM_REQ);
    down(PH_SET_PARAMETER_REQ, PhSetParameterFields{&token, 0x77});
    down(PH_LINK_INFO);
    down(PH_LINE_SIGNAL);
    down(0x1FF);
    ASSERT_EQ(up(PH_HWIO_PARAM_CONF).size(), 1u);
    const auto conf = up(PH_SET_PARAMETER_CONF);
    ASSERT_EQ(conf.size(), 1u);
    EXPECT_EQ(osMsgFields<PhSetParameterFields>(conf[0]).buffer, &token);
    EXPECT_EQ(osMsgFields<PhSetParameterFields>(conf[0]).result, 0);
    EXPECT_EQ(cap.count("[comTask] ! unknown Message"), 1u);
    EXPECT_TRUE(cap.contains("[comTask] ! unknown Message 0x1FF"));
}

// ---- Set-up and the lower interface of each reader family ------------------------------------
TEST_F(ComLayer, DownloadModeMakesNeitherTaskNorPool) {
    configuration = "READERTYPE=NCI IOTYPE=SERIAL FWDOWNLOAD=1";
    TComInstance instance{};
    ASSERT_EQ(comInit(configuration.c_str(), &instance, COM_QUEUE_NAME), 0);
    uint16_t id = 0;
    EXPECT_NE(osPoolFindByName(COM_RX_POOL_NAME, &id), OS_OK);
    EXPECT_NE(osQueueFindByName(COM_QUEUE_NAME, &id), OS_OK);
    EXPECT_EQ(comLowerInterface(&instance)->open, &nciTransportOpen);
    comShutdown(&instance);
}

TEST_F(ComLayer, ASecondInitKeepsTheTaskAndThePool) {
    start("READERTYPE=NCI");
    const uint16_t queue = com->ownQueue;
    ASSERT_EQ(comInit(configuration.c_str(), com, COM_QUEUE_NAME), 0);
    uint16_t id = 0;
    ASSERT_EQ(osQueueFindByName(COM_QUEUE_NAME, &id), OS_OK);
    EXPECT_EQ(id, queue);
    EXPECT_EQ(com->ownQueue, queue);
    EXPECT_EQ(osPoolFree(com->rxPool), COM_RX_BUFFERS);
}

struct SelectCase {
    const char* configuration;
    TComOpenFunc open;
    TComResponseFunc response;
};

TEST(ComSelect, ByReaderFamily) {
    const SelectCase cases[] = {
        {"READERTYPE=NCI", &nciTransportOpen, &comNoResponse},
        {"READERTYPE=NCI_ST21 IOTYPE=I2C", &nciTransportOpen, &comNoResponse},
        {"READERTYPE=PN533", &comOpen, &comNoResponse},
        {"READERTYPE=ST21NFCA IOTYPE=SERIAL FWDOWNLOAD=RAW", &comOpen, nullptr},
        {"READERTYPE=ST21NFCA", &etsiTransportOpen, &etsiTransportResponse},
        {"READERTYPE=NONSENSE", nullptr, nullptr},
    };
    for (const SelectCase& c : cases) {
        TComLowerInterface table;
        comSelectLowerInterface(&table, c.configuration, "");
        EXPECT_EQ(table.open, c.open) << c.configuration;
        EXPECT_EQ(table.response, c.response) << c.configuration;
        EXPECT_EQ(table.write != nullptr, c.open != nullptr) << c.configuration;
    }
}

TEST_F(ComLayer, AFamilyWithoutItsTransportFailsTheActivation) {
    start("READERTYPE=NONSENSE");   // no family, so no transport
    down(PH_ACT_REQ);
    EXPECT_EQ(up(PH_DEACT_IND).size(), 1u);
    sendData(kResetCmd);
    EXPECT_TRUE(cap.contains("! comapi write failed"));
    EXPECT_EQ(osPoolFree(layer1Pool), kLayer1Buffers);   // refused, so released at once
}

// The library's own module table carries the com layer: download mode hands out its choice.
TEST(ComModule, DownloadModeHandsOutTheLowerInterfaceOfTheFamily) {
    static TNfcDownloadRecord got{};
    auto onDownload = [](void*, uint32_t, const TNfcDownloadRecord* record) { got = *record; };
    ASSERT_EQ(nfcapiInitialize("READERTYPE=NCI IOTYPE=SERIAL FWDOWNLOAD=1", onDownload, nullptr), 0u);
    EXPECT_EQ(got.transport.open, &nciTransportOpen);
    EXPECT_EQ(got.transport.write, &nciTransportWrite);
    EXPECT_EQ(got.transport.response, nullptr);
    EXPECT_EQ(nfcapiDone(), 0u);
}

} // namespace

// ---- The ETSI transport on a pseudo-terminal, with the SHDLC endpoint as the controller -------
namespace {

using shdlcsim::ShdlcEndpoint;

const Bytes kHcpOpenPipe = {0x81, 0x03};                          // HCP: pipe 1, ANY-OPEN_PIPE
const Bytes kHcpAnswer = {0x81, 0x80, 0x7E, 0x7D};                // with a flag and an escape byte

// The com layer releases a written buffer by the pointer the completion carries, so these
// requests put their packet at the buffer's start.
struct ComOnEtsiPty : ComLayer {
    PtyPair pty;
    ShdlcEndpoint peer{shdlcsim::Framing::flag};
    std::unique_ptr<shdlcsim::ShdlcPtyEndpoint> wire;

    // Activation over IOTYPE SERIAL, then the reset that brings the SHDLC link up.
    void linkUp(const std::string& options = "") {
        ASSERT_TRUE(pty.ok());
        wire = std::make_unique<shdlcsim::ShdlcPtyEndpoint>(pty, peer);
        start("READERTYPE=ST21NFCA IOTYPE=SERIAL PORT=" + pty.slavePath() + options);
        down(PH_ACT_REQ);
        ASSERT_TRUE(waitUp(PH_ACT_IND));
        down(PH_RESET_REQ);
        // The link's own retry timer runs meanwhile, so a loaded machine that delays the first
        // RSET or its UA past the peer's patience still sees the link come up.
        ASSERT_TRUE(waitUpFast(PH_RESET_CONF));
        EXPECT_EQ(parameterOf(up(PH_RESET_CONF)[0]), 0);
        EXPECT_TRUE(cap.contains("SHDLC link established, reset completed"));
    }
    void TearDown() override {
        if (com) {
            comShutdown(com);
            osRunUntilIdle();
        }
        wire.reset();
        ComLayer::TearDown();
    }
    // Lets the link's timers run, ten milliseconds at a time, until the endpoint sees what it
    // waits for; each step waits on the endpoint's change with a bounded time-out.
    bool driveUntil(const std::function<bool(const ShdlcEndpoint&)>& done, int steps = 400) {
        for (int i = 0; i < steps; ++i) {
            if (peer.waitFor(done, 5)) return true;
            clock.advance(10);
            osRunUntilIdle();
        }
        return done(peer);
    }
    bool received(size_t n) {
        return driveUntil([n](const ShdlcEndpoint& p) { return p.received().size() >= n; });
    }
    // Waits for n data indications while the timers run.
    bool indications(size_t n) {
        for (int i = 0; i < 400; ++i) {
            if (waitUp(PH_DATA_IND, n) || stubs[kLayer1].count(PH_DATA_IND) >= n) return true;
            clock.advance(10);
        }
        return false;
    }
    bool waitUpFast(uint16_t command, size_t n = 1) {
        for (int i = 0; i < 400; ++i) {
            osRunUntilIdle();
            if (stubs[kLayer1].count(command) >= n) return true;
            posted.wait(5);
            clock.advance(10);
        }
        osRunUntilIdle();
        return stubs[kLayer1].count(command) >= n;
    }
};

TEST_F(ComOnEtsiPty, HcpFramesCrossBothWaysThroughLostAndDamagedFrames) {
    linkUp();
    sendData(kHcpOpenPipe, PH_DATA_OWNED, 0);
    ASSERT_TRUE(received(1));
    peer.send(kHcpAnswer);
    ASSERT_TRUE(waitUpFast(PH_DATA_IND, 1));

    peer.dropNextIncoming(1);    // lost on the way to the controller: T2 sends it again
    sendData(Bytes{0x81, 0x01}, PH_DATA_OWNED, 0);
    ASSERT_TRUE(received(2));
    peer.corruptNextFcs(1);      // damaged on the way up: the controller sends it again
    peer.send(Bytes{0x81, 0x02});
    ASSERT_TRUE(driveUntil([](const ShdlcEndpoint& p) { return p.badFrames() == 0; }));
    peer.resendUnacknowledged();
    ASSERT_TRUE(waitUpFast(PH_DATA_IND, 2));
    for (uint8_t i = 0; i < 6; ++i) sendData(Bytes{0x81, 0x10, i}, PH_DATA_OWNED, 0);   // the window fills and wraps
    ASSERT_TRUE(received(8));
    ASSERT_TRUE(driveUntil([](const ShdlcEndpoint& p) { return p.unacknowledged() == 0; }));

    EXPECT_EQ(peer.received()[0], kHcpOpenPipe);
    EXPECT_EQ(peer.received()[1], (Bytes{0x81, 0x01}));
    EXPECT_EQ(peer.received()[7], (Bytes{0x81, 0x10, 5}));
    EXPECT_EQ(takeIndications(), (std::vector<Bytes>{kHcpAnswer, {0x81, 0x02}}));
    // Every written buffer went back once its frame was confirmed.
    ASSERT_TRUE(driveUntil([this](const ShdlcEndpoint&) { return osPoolFree(layer1Pool) == kLayer1Buffers; })) << osPoolFree(layer1Pool);
    EXPECT_TRUE(up(PH_DEACT_IND).empty());
}

TEST_F(ComOnEtsiPty, AProtocolErrorIsMendedByAResetWithoutLoss) {
    linkUp();
    peer.setSilent(true);
    sendData(kHcpOpenPipe, PH_DATA_OWNED, 0);
    ASSERT_TRUE(peer.waitFor([](const ShdlcEndpoint& p) { return !p.incoming().empty() && p.incoming().size() >= 2; }, kBounded));
    peer.setSilent(false);
    peer.sendRaw(shdlcsim::encode(shdlcsim::Framing::flag, 0xD5, {}));   // RNR(5): nothing like it was sent
    ASSERT_TRUE(driveUntil([](const ShdlcEndpoint& p) { return p.rsetCount() >= 2 && p.received().size() >= 1; }));
    sendData(Bytes{0x81, 0x05}, PH_DATA_OWNED, 0);
    ASSERT_TRUE(received(2));
    EXPECT_EQ(peer.received(), (std::vector<Bytes>{kHcpOpenPipe, {0x81, 0x05}}));
    EXPECT_TRUE(up(PH_DEACT_IND).empty());
}

TEST_F(ComOnEtsiPty, APeerThatResetsIsReportedAsLinkLossOnce) {
    linkUp();
    peer.sendRset();
    ASSERT_TRUE(waitUpFast(PH_DEACT_IND));
    EXPECT_TRUE(cap.contains("comTaskCallBack() Device Error: 0x35"));
    for (int i = 0; i < 50; ++i) {
        clock.advance(10);
        osRunUntilIdle();
    }
    EXPECT_EQ(up(PH_DEACT_IND).size(), 1u);
}

TEST_F(ComOnEtsiPty, APeerThatFallsSilentIsReportedAsLinkLossOnce) {
    linkUp();
    peer.setSilent(true);
    sendData(kHcpOpenPipe, PH_DATA_OWNED, 0);
    ASSERT_TRUE(waitUpFast(PH_DEACT_IND));
    EXPECT_EQ(cap.count("comTaskCallBack() Device Error: 0x35"), 1u);
    EXPECT_TRUE(cap.contains("! shdlc: repeated i-frame > 10 times. Enforcing reset."));
    for (int i = 0; i < 50; ++i) {
        clock.advance(10);
        osRunUntilIdle();
    }
    EXPECT_EQ(up(PH_DEACT_IND).size(), 1u);
}

TEST_F(ComOnEtsiPty, LengthModeAndTheBaudRateResetOnTheWire) {
    peer.setFraming(shdlcsim::Framing::length);
    linkUp(" LENGTHMODE=1 BAUDRATE=115200,460800 WINDOWSIZE=1");
    const auto rsets = peer.incoming();
    ASSERT_FALSE(rsets.empty());
    EXPECT_EQ(rsets[0].control, 0xF9);
    EXPECT_EQ(rsets[0].payload, (Bytes{2, 0, 7}));
    EXPECT_TRUE(cap.contains("set baudRate to 115200"));
    sendData(kHcpOpenPipe, PH_DATA_OWNED, 0);
    ASSERT_TRUE(received(1));
}

// A controller that honours the rate its reset asks for talks at that rate once its UA is out.
struct RateCase {
    const char* name;
    const char* rates;   // BAUDRATE: the port's first rate, then the one the reset asks for
    uint32_t first;
    uint32_t then;
};
std::ostream& operator<<(std::ostream& os, const RateCase& c) { return os << c.name; }
class ComEtsiRateChange : public ComOnEtsiPty, public ::testing::WithParamInterface<RateCase> {};

TEST_P(ComEtsiRateChange, ThePortFollowsTheControllerToTheRateItsResetAskedFor) {
    peer.setLineRate(GetParam().first);
    linkUp(std::string(" BAUDRATE=") + GetParam().rates);
    EXPECT_EQ(peer.lineRate(), GetParam().then);
    EXPECT_EQ(wire->hostRate(), GetParam().then);
    const uint32_t lost = wire->lineErrors();   // resets the host repeated before the UA came
    sendData(kHcpOpenPipe, PH_DATA_OWNED, 0);
    ASSERT_TRUE(received(1));
    peer.send(kHcpAnswer);
    ASSERT_TRUE(waitUpFast(PH_DATA_IND, 1));
    EXPECT_EQ(takeIndications(), std::vector<Bytes>{kHcpAnswer});
    EXPECT_EQ(wire->lineErrors(), lost);         // nothing after the change crossed at a wrong rate
    EXPECT_TRUE(up(PH_DEACT_IND).empty());
}

INSTANTIATE_TEST_SUITE_P(Rates, ComEtsiRateChange,
                         ::testing::Values(RateCase{"Up460800", "115200,460800", 115200, 460800},
                                           RateCase{"Up230400", "115200,230400", 115200, 230400},
                                           RateCase{"Down115200", "230400,115200", 230400, 115200},
                                           RateCase{"Down9600", "115200,9600", 115200, 9600}),
                         [](const auto& info) { return std::string(info.param.name); });


} // namespace
