// A stand-in for the LLCP task: a module on queue 0xB1 that keeps what it receives (releasing
// the set-parameter buffers as LLCP does, after noting the role) and sends LLCP primitives up
// to the NFC manager as the real task would.
//
// Serving layer 1 it also plays LLCP's part below it: the device response of a P2P device goes
// down to layer 1, a set-parameter request is answered with the activation confirmation, a
// deactivation request with the deactivation indication up, every
// PH_DATA_IND frame is kept whole (its buffer released) and frames go down as PH_DATA_REQ in
// buffers of its own pool, which layer 1 releases.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "os/os.h"

class FakeLlcp {
public:
    static constexpr uint8_t kQueue = 0xB1;
    static constexpr uint32_t kPoolName = 0x7FB1;
    static constexpr uint16_t kPoolBuffers = 4;
    static constexpr uint16_t kPoolBufferSize = 2200;   // room for a frame beyond what layer 1 carries

    explicit FakeLlcp(bool servesLayer1 = false);
    ~FakeLlcp();
    FakeLlcp(const FakeLlcp&) = delete;
    FakeLlcp& operator=(const FakeLlcp&) = delete;

    static OsResult registerModule(uint16_t readerType);

    // A primitive for the application of entry index (0-based), carrying the request identity.
    template <typename Fields>
    void up(uint16_t code, int app, uint16_t request, const Fields& fields) {
        OsMessage message{};
        message.command = code;
        message.spare = request;
        message.source = kQueue | static_cast<uint32_t>(app + 1) << 19;
        osMsgSetFields(message, fields);
        send(message);
    }
    void send(const OsMessage& message);

    std::vector<OsMessage> received(uint16_t command) const;
    bool waitForMessage(uint16_t command, uint32_t timeoutMs);
    std::vector<uint32_t> roles() const;       // of the set-parameter requests, in order

    // ---- Serving layer 1.
    // A frame to the peer as PH_DATA_REQ; false when no buffer or no layer 1 is there.
    bool sendFrame(const std::vector<uint8_t>& frame);
    std::vector<std::vector<uint8_t>> frames() const;   // of PH_DATA_IND, in order
    bool waitForFrames(size_t n, uint32_t timeoutMs);
    uint16_t poolFree() const;                          // buffers of its pool not in use

private:
    static int32_t start(void* segment, uint32_t word);
    static void procedure(void* self);
    void serve(const OsMessage& message);

    const bool servesLayer1_;
    mutable std::mutex m_;
    std::condition_variable arrived_;
    std::vector<OsMessage> received_;
    std::vector<uint32_t> roles_;
    std::vector<std::vector<uint8_t>> frames_;
    uint16_t queue_ = 0;
    std::atomic<uint16_t> below_{0};
    std::atomic<uint16_t> pool_{0};
    uint32_t word_ = kQueue;
};
