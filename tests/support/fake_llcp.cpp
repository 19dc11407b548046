#include "fake_llcp.h"

#include <atomic>

#include "core/nfcmgr.h"
#include "mm/mm.h"
#include "os/os_mem.h"

namespace {

std::atomic<FakeLlcp*> g_current{nullptr};

} // namespace

FakeLlcp::FakeLlcp() { g_current = this; }
FakeLlcp::~FakeLlcp() { g_current = nullptr; }

OsResult FakeLlcp::registerModule(uint16_t) { return osModuleRegister(kQueue, 0, &FakeLlcp::start, nullptr, MM_TYPE_TASK); }

int32_t FakeLlcp::start(void*, uint32_t word) {
    FakeLlcp* self = g_current.load();
    return self && osTaskCreate(self, &FakeLlcp::procedure, word, &self->queue_) == OS_OK ? 0 : -1;
}

void FakeLlcp::procedure(void* instance) {
    auto* self = static_cast<FakeLlcp*>(instance);
    OsMessage message{};
    if (osMessageReceive(self->queue_, &message) != OS_OK) return;
    std::lock_guard<std::mutex> g(self->m_);
    self->received_.push_back(message);
    if (message.command == NFCMAN_LLCP_SET_PARAMETER) {
        TNfcmanLlcpParameters* parameters = osMsgFields<TNfcmanSetParameterFields>(message).parameters;
        self->roles_.push_back(parameters->role);
        osBufferRelease(parameters);
    }
}

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
