// A stand-in for the LLCP task: a module on queue 0xB1 that keeps what it receives (releasing
// the set-parameter buffers as LLCP does, after noting the role) and sends LLCP primitives up
// to the NFC manager as the real task would.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "os/os.h"

class FakeLlcp {
public:
    static constexpr uint8_t kQueue = 0xB1;

    FakeLlcp();
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
    std::vector<uint32_t> roles() const;       // of the set-parameter requests, in order

private:
    static int32_t start(void* segment, uint32_t word);
    static void procedure(void* self);

    mutable std::mutex m_;
    std::vector<OsMessage> received_;
    std::vector<uint32_t> roles_;
    uint16_t queue_ = 0;
};
