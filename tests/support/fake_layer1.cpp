#include "fake_layer1.h"

#include <atomic>
#include <cstring>

#include "mm/mm.h"
#include "os/os_mem.h"

namespace {

std::atomic<FakeLayer1*> g_current{nullptr};
constexpr uint32_t kGlobalPoolName = 0xF1;

} // namespace

FakeLayer1::FakeLayer1() {
    arrived_.create(0, 100000);
    g_current = this;
}

FakeLayer1::~FakeLayer1() { g_current = nullptr; }

OsResult FakeLayer1::registerModules(uint16_t) {
    const OsResult com = osModuleRegister(kCom, 0, &FakeLayer1::startCom, nullptr, MM_TYPE_STACK_LAYER);
    return com != OS_OK ? com : osModuleRegister(kTask, 0, &FakeLayer1::startTask, nullptr, MM_TYPE_STACK_LAYER);
}

int32_t FakeLayer1::startTask(void*, uint32_t word) {
    FakeLayer1* self = g_current.load();
    if (!self) return -1;
    self->word_ = word;
    return osTaskCreate(self, &FakeLayer1::procedure, word, &self->queue_) == OS_OK ? 0 : -1;
}

int32_t FakeLayer1::startCom(void*, uint32_t word) {
    FakeLayer1* self = g_current.load();
    if (!self) return -1;
    return osTaskCreate(self, &FakeLayer1::comProcedure, word, &self->comQueue_) == OS_OK ? 0 : -1;
}

void FakeLayer1::procedure(void* instance) {
    auto* self = static_cast<FakeLayer1*>(instance);
    OsMessage message{};
    if (osMessageReceive(self->queue_, &message) == OS_OK) self->handle(message);
}

void FakeLayer1::comProcedure(void* instance) {
    auto* self = static_cast<FakeLayer1*>(instance);
    OsMessage message{};
    osMessageReceive(self->comQueue_, &message);
}

uint32_t FakeLayer1::word() const {
    std::lock_guard<std::mutex> g(m_);
    return word_;
}

void FakeLayer1::onCommand(uint16_t command, Script script) {
    std::lock_guard<std::mutex> g(m_);
    scripts_[command] = std::move(script);
}

void FakeLayer1::handle(const OsMessage& message) {
    Script script;
    {
        std::lock_guard<std::mutex> g(m_);
        if (message.command == MM_LINK_PROTOCOL) up_ = osMsgFields<MmLinkProtocolFields>(message).above;
        if (message.command == NFCLL_US_QUEUE_REQ) up_ = nfcllMsgGet<NFCLL_US_QUEUE_REQ>(message).queueId;
        auto it = scripts_.find(message.command);
        if (it != scripts_.end()) script = it->second;
    }
    if (script) {
        script(*this, message);
    } else {
        switch (message.command) {
        case NFCLL_ACT_REQ:
            if (answerActivation) indicate<NFCLL_ACT_CONF>({activationCause, &capabilities});
            break;
        case NFCLL_LISTEN_REQ:
            if (answerListen) indicate<NFCLL_LISTEN_CONF>({0, 0});
            break;
        case PH_RESET_REQ:
            if (answerReset) indicate<PH_RESET_CONF>({0});
            break;
        case NFCLL_US_QUEUE_REQ: answer(message, nfcllMsgMake<NFCLL_US_QUEUE_CONF>(word_)); break;
        case NFCLL_IOCONTROL_REQ: indicate<NFCLL_IOCONTROL_CONF>({0, 0, nullptr}); break;
        default: break;
        }
    }
    // Counted only once its answer is on its way, so a test that waits for a request and then
    // plays the controller's next move cannot overtake the answer (a device reported before the
    // listen confirmation would meet a manager still waiting for it).
    {
        std::lock_guard<std::mutex> g(m_);
        received_.push_back(message);
    }
    arrived_.release();
}

// Answers go to the queue the request came from.
void FakeLayer1::answer(const OsMessage& request, OsMessage reply) {
    reply.source = request.source;
    osMessageSendByName(&reply, word_);
}

void FakeLayer1::send(OsMessage message) {
    uint16_t up;
    {
        std::lock_guard<std::mutex> g(m_);
        up = up_;
        message.source = word_;
    }
    osMessageSend(up, &message);
}

void FakeLayer1::deviceIndication(const TNfcTagInfo& device, uint16_t cause) {
    TNfcTagInfo* record;
    {
        std::lock_guard<std::mutex> g(m_);
        devices_.push_back(device);
        record = &devices_.back();
    }
    indicate<NFCLL_DEVICE_IND>({cause, record});
}

TNfcllTransactionInd FakeLayer1::result(uint16_t cause, const std::vector<uint8_t>& data, bool ownsBuffer) {
    const auto length = static_cast<uint16_t>(data.size());
    const TNfcllTransactionResult record{cause, cause ? length : uint16_t{0}, cause ? uint16_t{0} : length, nullptr};
    if (ownsBuffer) {
        uint16_t pool = 0;
        void* buffer = nullptr;
        if (osPoolFindByName(kGlobalPoolName, &pool) != OS_OK ||
            osBufferGet(pool, static_cast<uint16_t>(sizeof record + length), &buffer, nullptr, nullptr) != OS_OK)
            return TNfcllTransactionInd{};
        auto* owned = static_cast<TNfcllTransactionResult*>(buffer);
        *owned = record;
        auto* bytes = static_cast<uint8_t*>(buffer) + sizeof record;
        if (length) std::memcpy(bytes, data.data(), length);
        owned->data = bytes;
        return TNfcllTransactionInd{NFCLL_MSG_OWNS_BUFFER, sizeof record, owned};
    }
    std::lock_guard<std::mutex> g(m_);
    data_.push_back(data);
    results_.push_back(record);
    results_.back().data = data_.back().data();
    return TNfcllTransactionInd{0, sizeof record, &results_.back()};
}

void FakeLayer1::transactionIndication(uint16_t cause, const std::vector<uint8_t>& data, bool ownsBuffer) {
    indicate<NFCLL_TRANSACTION_IND>(result(cause, data, ownsBuffer));
}

void FakeLayer1::checkConfirmation(uint16_t cause, const std::vector<uint8_t>& data) {
    indicate<NFCLL_CHECK_CONF>(result(cause, data, false));
}

void FakeLayer1::ioControlConfirmation(uint16_t cause, const std::vector<uint8_t>& data) {
    const uint8_t* bytes;
    {
        std::lock_guard<std::mutex> g(m_);
        data_.push_back(data);
        bytes = data_.back().data();
    }
    indicate<NFCLL_IOCONTROL_CONF>({cause, static_cast<uint16_t>(data.size()), bytes});
}

std::vector<OsMessage> FakeLayer1::received() const {
    std::lock_guard<std::mutex> g(m_);
    return received_;
}

std::vector<OsMessage> FakeLayer1::received(uint16_t command) const {
    std::vector<OsMessage> out;
    for (const OsMessage& m : received())
        if (m.command == command) out.push_back(m);
    return out;
}

size_t FakeLayer1::count(uint16_t command) const { return received(command).size(); }

std::vector<uint32_t> FakeLayer1::listenMasks() const {
    std::vector<uint32_t> masks;
    for (const OsMessage& m : received(NFCLL_LISTEN_REQ)) masks.push_back(nfcllMsgGet<NFCLL_LISTEN_REQ>(m).mask);
    return masks;
}

bool FakeLayer1::waitFor(uint16_t command, size_t n, uint32_t timeoutMs) {
    for (;;) {
        if (count(command) >= n) return true;
        if (arrived_.wait(timeoutMs) != PlatWait::Signaled) return count(command) >= n;
    }
}

void FakeLayer1::clearReceived() {
    std::lock_guard<std::mutex> g(m_);
    received_.clear();
}
