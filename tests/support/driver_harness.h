// The real layer 1 hosting a chip driver under test, with everything around it in the test's
// hand: the module manager builds it below a test task that plays the NFC manager and keeps
// every upward message; a com stand-in hands each PH_DATA_REQ's bytes to an in-process
// simulator and sends what it answers back up as PH_DATA_IND, cut into the pieces the test asks
// for; frames' transmit buffers go back when the test says; time is a manual clock, and the OS
// dispatcher runs on the test thread.
//
//   DriverHarness h;
//   h.resetHook([] { myDriverModuleData = {}; });
//   h.build(0x102, &myDriverInit, sizeof(MyPart));
//   h.setPeer([&](const Bytes& frame) { return sim.feed(frame); });
//   ... call the driver through h.context() ...; h.run();
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "L1/common/nfcll.h"
#include "manual_clock.h"
#include "stub_modules.h"

class DriverHarness {
public:
    using Bytes = std::vector<uint8_t>;
    using Peer = std::function<Bytes(const Bytes& frame)>;
    using PacketPeer = std::function<std::vector<Bytes>(const Bytes& frame)>;
    static constexpr uint8_t kCom = 0x33;
    static constexpr uint8_t kManager = 0xB2;

    DriverHarness();
    ~DriverHarness();
    DriverHarness(const DriverHarness&) = delete;
    DriverHarness& operator=(const DriverHarness&) = delete;

    // Runs at build and at the end: module data of the driver that outlives one context.
    void resetHook(std::function<void()> hook);
    // Builds layer 1 of the reader type with this driver init in place of the family's.
    bool build(uint16_t readerType, TNfcllDriverInit init, uint16_t driverSize);
    TNfcllContext* context() const { return ll_; }

    void setPeer(Peer peer) { peer_ = std::move(peer); }
    // A peer whose answers are packets: each goes up in an indication of its own.
    void setPacketPeer(PacketPeer peer) { packetPeer_ = std::move(peer); }
    // Each answer goes up in pieces of these sizes, the rest in one; empty: whole.
    void setSplit(std::vector<size_t> pieces) { split_ = std::move(pieces); }
    // Bytes up from the com layer as the peer would send them, split as set.
    void deliver(const Bytes& bytes);

    // Frames that came down, oldest first.
    const std::vector<Bytes>& sent() const { return sent_; }
    void clearSent() { sent_.clear(); }
    // While held, transmit buffers stay with the com stand-in until releaseTx().
    void holdTx(bool hold) { hold_ = hold; }
    size_t heldTx() const { return held_.size(); }
    void releaseTx();
    uint16_t freeRxBuffers() const;

    // A message to layer 1 as the NFC manager sends it; handled before this returns.
    void toLayer1(const OsMessage& message);
    // A pool buffer of layer 1's receive pool holding these bytes, for a frame sent from above.
    uint8_t* rxBuffer(const Bytes& bytes);

    void run();                         // the dispatcher until idle
    void advance(uint32_t ms);          // time moves after what was posted is handled
    std::vector<OsMessage> upward(uint16_t command);
    std::vector<uint16_t> upwardCommands();
    // Whether every I/O-control confirmation so far carries only bytes of the room it was given.
    bool ioAnswersWithin(const uint8_t* room, size_t size);

private:
    void comMessage(const OsMessage& message);
    void up(const Bytes& bytes);
    uint16_t layer1Queue() const;
    static int32_t trampoline(TNfcllContext* ll);

    ManualClock clock_;
    StubModules stubs_;
    std::vector<std::function<void()>> hooks_;
    TNfcllContext* ll_ = nullptr;
    TNfcllDriverInit init_ = nullptr;
    uint8_t task_ = 0;
    uint16_t globalPool_ = 0;
    uint16_t rxPool_ = 0;
    Peer peer_;
    PacketPeer packetPeer_;
    std::vector<size_t> split_;
    std::vector<Bytes> sent_;
    std::deque<Bytes> answers_;      // the peer's, waiting to go up
    std::vector<void*> held_;
    bool hold_ = false;
};
