#include "driver_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "hw/hw_timer.h"
#include "mm/mm.h"
#include "os/os_mem.h"
#include "transport/com.h"
#include "util/trace.h"

namespace {
DriverHarness* g_current = nullptr;   // the trampoline's way back to the harness
}

DriverHarness::DriverHarness() {
    g_current = this;
    debugSetFlags(0xFFFFFFFFu);
    osInit();
    osPoolCreate(0xF1, 128, 2, &globalPool_);
    mmInit();
    stubs_.add(kCom).onMessage = [this](const OsMessage& m) { comMessage(m); };
    stubs_.add(kManager);
}

DriverHarness::~DriverHarness() {
    releaseTx();
    osDone();
    nfcllSetDriverInit(nullptr, 0);
    for (auto& hook : hooks_) hook();
    g_current = nullptr;
}

void DriverHarness::resetHook(std::function<void()> hook) { hooks_.push_back(std::move(hook)); }

int32_t DriverHarness::trampoline(TNfcllContext* ll) {
    g_current->ll_ = ll;
    return g_current->init_(ll);
}

bool DriverHarness::build(uint16_t readerType, TNfcllDriverInit init, uint16_t driverSize) {
    for (auto& hook : hooks_) hook();
    init_ = init;
    nfcllSetDriverInit(&DriverHarness::trampoline, driverSize);
    if (hwTimerRegister() != OS_OK || stubs_.registerModule(kCom, 0, MM_TYPE_STACK_LAYER) != OS_OK ||
        nfcllRegister(readerType) != OS_OK || stubs_.registerModule(kManager, 0, MM_TYPE_TASK) != OS_OK)
        return false;
    run();
    task_ = (readerType & NFCLL_FAMILY_PN53X) ? NFCLL_TASK_PN53X
            : (readerType & NFCLL_FAMILY_ETSI) ? NFCLL_TASK_ETSI
                                                : NFCLL_TASK_NCI;
    // The stack descriptor the NFC manager sends: layer 1 over the com layer.
    uint8_t bytes[sizeof(MmStackDescriptor)] = {0x01, 0x00, 0x02, 0x00, 0x00, 0x00, task_, 0x00, 0x00, 0x00, 0, 0, 0x00,
                                                0x00, 0x0A, 0x00, 0x08, 0x00, 0x08, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x08};
    uint16_t requester = 0, mm = 0;
    void* buffer = nullptr;
    if (osQueueFindByName(kManager, &requester) != OS_OK || osQueueFindByName(MM_QUEUE_NAME, &mm) != OS_OK ||
        osBufferGet(globalPool_, sizeof bytes, &buffer, nullptr, nullptr) != OS_OK)
        return false;
    std::memcpy(bytes + 10, &requester, 2);
    std::memcpy(buffer, bytes, sizeof bytes);
    OsMessage message{};
    message.command = MM_BUILD_REQ;
    message.source = kManager;
    osMsgSetFields(message, MmBuildFields{task_, 0, static_cast<MmStackDescriptor*>(buffer)});
    const bool posted = osMessageSend(mm, &message) == OS_OK;
    run();
    osBufferRelease(buffer);
    return posted && ll_ && osPoolFindByName(0x201F7, &rxPool_) == OS_OK;
}

// The com layer: opens at once, resets at once, and carries data frames to and from the peer.
void DriverHarness::comMessage(const OsMessage& m) {
    OsMessage answer{};
    answer.source = kCom;
    if (m.command == PH_ACT_REQ) answer.command = PH_ACT_IND;
    else if (m.command == PH_RESET_REQ) answer.command = PH_RESET_CONF;
    if (answer.command) {
        osMessageSend(layer1Queue(), &answer);
        return;
    }
    if (m.command != PH_DATA_REQ) return;
    const auto f = nfcllMsgGet<PH_DATA_REQ>(m);
    Bytes frame(f.buffer + f.offset, f.buffer + f.offset + f.length);
    sent_.push_back(frame);
    if (f.flags & NFCLL_MSG_OWNS_BUFFER) {
        if (hold_) held_.push_back(f.buffer);
        else osBufferRelease(f.buffer);
    }
    if (peer_) answers_.push_back(peer_(frame));   // goes up once this message is handled
    if (packetPeer_)
        for (Bytes& packet : packetPeer_(frame)) answers_.push_back(std::move(packet));
}

void DriverHarness::deliver(const Bytes& bytes) {
    answers_.push_back(bytes);
    run();
}

// One piece at a time, each handled before the next is taken from the pool, as a serial
// reader hands them over.
void DriverHarness::up(const Bytes& bytes) {
    size_t at = 0, piece = 0;
    while (at < bytes.size()) {
        const size_t n = piece < split_.size() ? std::min(split_[piece], bytes.size() - at) : bytes.size() - at;
        ++piece;
        if (n == 0) continue;
        void* buffer = nullptr;
        if (osBufferGet(rxPool_, static_cast<uint16_t>(n), &buffer, nullptr, nullptr) != OS_OK) {
            ADD_FAILURE() << "no receive buffer for " << n << " bytes";
            return;
        }
        std::memcpy(buffer, bytes.data() + at, n);
        const OsMessage m =
            nfcllMsgMake<PH_DATA_IND>(kCom, {NFCLL_MSG_OWNS_BUFFER, 0, static_cast<uint16_t>(n), static_cast<uint8_t*>(buffer)});
        if (osMessageSend(layer1Queue(), &m) != OS_OK) {
            osBufferRelease(buffer);
            ADD_FAILURE() << "layer 1 did not take the data";
            return;
        }
        osRunUntilIdle();
        at += n;
    }
}

void DriverHarness::releaseTx() {
    for (void* buffer : held_) osBufferRelease(buffer);
    held_.clear();
}

uint16_t DriverHarness::freeRxBuffers() const { return osPoolFree(rxPool_); }

void DriverHarness::toLayer1(const OsMessage& message) {
    if (osMessageSend(layer1Queue(), &message) != OS_OK) ADD_FAILURE() << "layer 1 did not take the message";
    run();
}

uint8_t* DriverHarness::rxBuffer(const Bytes& bytes) {
    void* buffer = nullptr;
    if (osBufferGet(rxPool_, static_cast<uint16_t>(bytes.size()), &buffer, nullptr, nullptr) != OS_OK) return nullptr;
    if (!bytes.empty()) std::memcpy(buffer, bytes.data(), bytes.size());   // an empty vector may have no data
    return static_cast<uint8_t*>(buffer);
}

void DriverHarness::run() {
    osRunUntilIdle();
    while (!answers_.empty()) {
        const Bytes answer = answers_.front();
        answers_.pop_front();
        up(answer);
    }
}

void DriverHarness::advance(uint32_t ms) {
    run();
    clock_.advance(ms);
    run();
}

uint16_t DriverHarness::layer1Queue() const {
    uint16_t id = 0;
    osQueueFindByName(0x20000u | task_, &id);
    return id;
}

bool DriverHarness::ioAnswersWithin(const uint8_t* room, size_t size) {
    for (const OsMessage& m : upward(NFCLL_IOCONTROL_CONF)) {
        const TNfcllIoControlConf conf = nfcllMsgGet<NFCLL_IOCONTROL_CONF>(m);
        if (conf.length && (conf.data < room || conf.data + conf.length > room + size)) return false;
    }
    return true;
}

std::vector<OsMessage> DriverHarness::upward(uint16_t command) {
    std::vector<OsMessage> result;
    for (const OsMessage& m : stubs_[kManager].received())
        if (m.command == command) result.push_back(m);
    return result;
}

std::vector<uint16_t> DriverHarness::upwardCommands() {
    std::vector<uint16_t> result;
    for (const OsMessage& m : stubs_[kManager].received())
        if (m.command != MM_BUILD_ANSWER) result.push_back(m.command);
    return result;
}
