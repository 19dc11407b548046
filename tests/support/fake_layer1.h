// A stand-in for layer 1 under the NFC manager: a task on the OS layer that the module manager
// builds into the protocol stack like the real one (with a com module under it that takes
// nothing). By itself it answers activation, listen, reset, upper-queue and I/O-control
// requests; a test may script any command instead and injects indications from any thread.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "L1/common/nfcllmsg.h"
#include "os/os.h"
#include "platform.h"

class FakeLayer1 {
public:
    static constexpr uint8_t kTask = 0xB7;      // the NCI family's layer-1 task
    static constexpr uint8_t kCom = 0x33;

    FakeLayer1();
    ~FakeLayer1();
    FakeLayer1(const FakeLayer1&) = delete;
    FakeLayer1& operator=(const FakeLayer1&) = delete;

    // Registers the com stand-in and the layer-1 task as protocol-stack modules.
    static OsResult registerModules(uint16_t readerType);

    // What the default answers carry.
    TNfcCapabilityBlock capabilities{};
    uint16_t activationCause = 0;
    bool answerActivation = true;
    bool answerListen = true;
    bool answerReset = true;

    // Replaces the default handling of one command; runs on the thread that runs the task.
    using Script = std::function<void(FakeLayer1&, const OsMessage&)>;
    void onCommand(uint16_t command, Script script);

    // Indications to the upper queue (the NFC manager, or whoever took it over).
    template <uint16_t Code>
    void indicate(const typename NfcllFieldsOf<Code>::type& fields = {}) {
        send(nfcllMsgMake<Code>(word(), fields));
    }
    void deviceIndication(const TNfcTagInfo& device, uint16_t cause = 0);
    // A transaction or check result; with ownsBuffer the record travels in a global-pool buffer
    // that the receiver must release.
    void transactionIndication(uint16_t cause, const std::vector<uint8_t>& data, bool ownsBuffer = false);
    void checkConfirmation(uint16_t cause, const std::vector<uint8_t>& data = {});
    void ioControlConfirmation(uint16_t cause, const std::vector<uint8_t>& data);
    void send(OsMessage message);

    std::vector<OsMessage> received() const;
    std::vector<OsMessage> received(uint16_t command) const;
    size_t count(uint16_t command) const;
    // The masks of the listen requests, in order.
    std::vector<uint32_t> listenMasks() const;
    // Waits at most timeoutMs until count messages of the command have come.
    bool waitFor(uint16_t command, size_t count, uint32_t timeoutMs);
    void clearReceived();

private:
    static int32_t startTask(void* segment, uint32_t word);
    static int32_t startCom(void* segment, uint32_t word);
    static void procedure(void* self);
    static void comProcedure(void* self);
    uint32_t word() const;
    void handle(const OsMessage& message);
    void answer(const OsMessage& request, OsMessage reply);
    TNfcllTransactionInd result(uint16_t cause, const std::vector<uint8_t>& data, bool ownsBuffer);

    mutable std::mutex m_;
    PlatSemaphore arrived_;
    std::vector<OsMessage> received_;
    std::map<uint16_t, Script> scripts_;
    std::deque<TNfcTagInfo> devices_;                   // stable while the fake lives
    std::deque<TNfcllTransactionResult> results_;
    std::deque<std::vector<uint8_t>> data_;
    uint16_t queue_ = 0;
    uint16_t comQueue_ = 0;
    uint32_t word_ = 0;
    uint16_t up_ = 0;
};
