#include "fake_llcp.h"

#include <atomic>
#include <chrono>
#include <cstring>

#include "L1/common/nfcllmsg.h"
#include "core/nfcmgr.h"
#include "mm/mm.h"
#include "os/os_mem.h"

namespace {

std::atomic<FakeLlcp*> g_current{nullptr};

} // namespace

FakeLlcp::FakeLlcp(bool servesLayer1) : servesLayer1_(servesLayer1) { g_current = this; }
FakeLlcp::~FakeLlcp() { g_current = nullptr; }

OsResult FakeLlcp::registerModule(uint16_t) { return osModuleRegister(kQueue, 0, &FakeLlcp::start, nullptr, MM_TYPE_TASK); }

int32_t FakeLlcp::start(void*, uint32_t word) {
    FakeLlcp* self = g_current.load();
    if (!self || osTaskCreate(self, &FakeLlcp::procedure, word, &self->queue_) != OS_OK) return -1;
    self->word_ = word;
    uint16_t pool = 0;
    if (self->servesLayer1_ && osPoolFindByName(kPoolName, &pool) != OS_OK &&
        osPoolCreate(kPoolName, kPoolBufferSize, kPoolBuffers, &pool) != OS_OK)
        return -1;
    self->pool_ = pool;
    return 0;
}

void FakeLlcp::procedure(void* instance) {
    auto* self = static_cast<FakeLlcp*>(instance);
    OsMessage message{};
    if (osMessageReceive(self->queue_, &message) != OS_OK) return;
    {
        std::lock_guard<std::mutex> g(self->m_);
        self->received_.push_back(message);
        self->arrived_.notify_all();
        if (message.command == NFCMAN_LLCP_SET_PARAMETER) {
            TNfcmanLlcpParameters* parameters = osMsgFields<TNfcmanSetParameterFields>(message).parameters;
            self->roles_.push_back(parameters->role);
            osBufferRelease(parameters);
        }
    }
    if (self->servesLayer1_) self->serve(message);
}

void FakeLlcp::serve(const OsMessage& message) {
    switch (message.command) {
    case MM_LINK_PROTOCOL: below_ = osMsgFields<MmLinkProtocolFields>(message).below; return;
    case NFCLL_DEVICE_RESP: {
        OsMessage down = message;
        down.source = word_;
        osMessageSend(below_.load(), &down);
        return;
    }
    case NFCMAN_LLCP_SET_PARAMETER: {
        OsMessage activated = nfcllMsgMake<NFCLL_ACT_CONF>(word_, {0, nullptr});
        osMessageSend(below_.load(), &activated);
        return;
    }
    case DL_DEACT_REQ: {
        // The link is down at once: LLCP's shutdown time has nothing to wait for here.
        OsMessage down{};
        down.command = NFCMAN_DL_DEACT_IND;
        down.source = word_;
        send(down);
        return;
    }
    case PH_DATA_IND: {
        const TNfcllPhData data = nfcllMsgGet<PH_DATA_IND>(message);
        std::vector<uint8_t> frame;
        if (data.buffer) frame.assign(data.buffer + data.offset, data.buffer + data.offset + data.length);
        if ((data.flags & NFCLL_MSG_OWNS_BUFFER) && data.buffer) osBufferRelease(data.buffer);
        std::lock_guard<std::mutex> g(m_);
        frames_.push_back(std::move(frame));
        arrived_.notify_all();
        return;
    }
    default: return;
    }
}

bool FakeLlcp::sendFrame(const std::vector<uint8_t>& frame) {
    void* buffer = nullptr;
    if (!below_ || frame.size() > kPoolBufferSize ||
        osBufferGet(pool_, static_cast<uint16_t>(frame.size()), &buffer, nullptr, nullptr) != OS_OK)
        return false;
    std::memcpy(buffer, frame.data(), frame.size());
    const TNfcllPhData data{NFCLL_MSG_OWNS_BUFFER, 0, static_cast<uint16_t>(frame.size()), static_cast<uint8_t*>(buffer)};
    OsMessage request = nfcllMsgMake<PH_DATA_REQ>(word_, data);
    if (osMessageSend(below_.load(), &request) == OS_OK) return true;
    osBufferRelease(buffer);
    return false;
}

bool FakeLlcp::waitForMessage(uint16_t command, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(m_);
    return arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        for (const OsMessage& m : received_)
            if (m.command == command) return true;
        return false;
    });
}

std::vector<std::vector<uint8_t>> FakeLlcp::frames() const {
    std::lock_guard<std::mutex> g(m_);
    return frames_;
}

bool FakeLlcp::waitForFrames(size_t n, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(m_);
    return arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return frames_.size() >= n; });
}

uint16_t FakeLlcp::poolFree() const { return osPoolFree(pool_); }

void FakeLlcp::send(const OsMessage& message) {
    uint16_t manager = 0;
    OsMessage copy = message;
    if (osQueueFindByName(NFCMAN_QUEUE_NAME, &manager) == OS_OK) osMessageSend(manager, &copy);
}

std::vector<OsMessage> FakeLlcp::received(uint16_t command) const {
    std::lock_guard<std::mutex> g(m_);
    std::vector<OsMessage> out;
    for (const OsMessage& m : received_)
        if (m.command == command) out.push_back(m);
    return out;
}

std::vector<uint32_t> FakeLlcp::roles() const {
    std::lock_guard<std::mutex> g(m_);
    return roles_;
}
