// Layer 1 and the NCI driver on the synchronous dispatcher with a manual clock. A stub com task
// answers the link primitives and takes the driver's packets; a stub manager task takes what
// layer 1 sends up. The input is a script of steps: controller packets (answers to the last
// command, notifications, data, raw packets) and host operations (listens, I/O controls,
// selects, exchanges, checks, resets, time). Besides the sanitizers, two rules are checked: an
// I/O-control confirmation carries only bytes of the request's own output, and no request gets
// more confirmations than were asked for.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "L1/common/nfcll.h"
#include "hw/hw_timer.h"
#include "manual_clock.h"
#include "mm/mm.h"
#include "os/os.h"
#include "os/os_mem.h"
#include "stub_modules.h"
#include "transport/com.h"
#include "util/bytereader.h"

namespace {

constexpr uint8_t kCom = 0x33;
constexpr uint8_t kManager = 0xB2;
constexpr uint16_t kReaderNci = 0x40B;
constexpr uint32_t kGlobalPool = 0xF1;

constexpr uint32_t kIoCodes[] = {0x1003, 0x1004, 0x1006, 0x1007, 0x100B, 0x100C, 0x100D, 0x1203, 0x1300, 0x8001,
                                 0x8002, 0x8003, 0x8004, 0x8007, 0x8008, 0x800A, 0x800F, 0x110A, 0x110B,
                                 NFC_IOCTL_READER_TIMEOUT, 0x1234};
// Notifications the controller sends on its own: {MT|GID, OID}.
constexpr uint8_t kNotifications[][2] = {{0x61, 0x05}, {0x61, 0x03}, {0x61, 0x06}, {0x60, 0x00}, {0x60, 0x07},
                                         {0x60, 0x06}, {0x60, 0x08}, {0x61, 0x07}, {0x61, 0x08}, {0x62, 0x00}};

struct Harness {
    uint8_t lastCommand[2] = {0x40, 0x00};   // the response header of the last command sent
    uint8_t ioInput[64] = {};                // owned by the requester until the confirmation
    uint8_t ioOutput[256] = {};
    uint16_t ioOutputSize = 0;
    uint32_t ioPending = 0;
    uint8_t txData[64] = {};
    TNfcTagInfo device{};
    uint16_t layer1 = 0;
};
Harness* g_h = nullptr;

void release(uint32_t flags, void* buffer) {
    if ((flags & NFCLL_MSG_OWNS_BUFFER) && buffer) osBufferRelease(buffer);
}

void comAnswers(const OsMessage& m) {
    OsMessage answer{};
    answer.source = kCom;
    switch (m.command) {
    case PH_ACT_REQ: answer.command = PH_ACT_IND; break;
    case PH_RESET_REQ: answer.command = PH_RESET_CONF; break;
    case PH_DATA_REQ: {
        const auto f = osMsgFields<PhDataFields>(m);
        const uint8_t* packet = f.buffer ? f.buffer + f.offset : nullptr;
        if (packet && f.length >= 2 && (packet[0] & 0xE0) == 0x20) {
            g_h->lastCommand[0] = static_cast<uint8_t>(0x40 | (packet[0] & 0x0F));
            g_h->lastCommand[1] = packet[1] & 0x3F;
        }
        release(f.flags, f.buffer);
        return;
    }
    default: return;
    }
    osMessageSend(g_h->layer1, &answer);
}

void managerTakes(const OsMessage& m) {
    switch (m.command) {
    case NFCLL_TRANSACTION_IND:
    case NFCLL_CHECK_CONF: {
        const auto f = nfcllMsgGet<NFCLL_TRANSACTION_IND>(m);
        release(f.flags, f.result);
        return;
    }
    case PH_DATA_IND: {
        const auto f = nfcllMsgGet<PH_DATA_IND>(m);
        release(f.flags, f.buffer);
        return;
    }
    case NFCLL_IOCONTROL_CONF: {
        const auto f = nfcllMsgGet<NFCLL_IOCONTROL_CONF>(m);
        if (g_h->ioPending == 0) std::abort();   // an answer nobody asked for
        --g_h->ioPending;
        if (f.data && (f.data != g_h->ioOutput || f.length > g_h->ioOutputSize)) std::abort();
        return;
    }
    default: return;
    }
}

void post(const OsMessage& message) {
    osMessageSend(g_h->layer1, &message);
    osRunUntilIdle();
}

void deliverPacket(const uint8_t header[2], CByteReader& payload, uint64_t length) {
    const uint8_t* bytes = nullptr;
    if (length > 255 || !payload.take(length, bytes)) return;
    uint16_t pool = 0;
    void* buffer = nullptr;
    if (osPoolFindByName(0x201F7, &pool) != OS_OK || osBufferGet(pool, static_cast<uint16_t>(3 + length), &buffer, nullptr, nullptr) != OS_OK)
        return;
    auto* packet = static_cast<uint8_t*>(buffer);
    packet[0] = header[0];
    packet[1] = header[1];
    packet[2] = static_cast<uint8_t>(length);
    if (length) std::memcpy(packet + 3, bytes, length);
    post(nfcllMsgMake<PH_DATA_IND>(kCom, {NFCLL_MSG_OWNS_BUFFER, 0, static_cast<uint16_t>(3 + length), packet}));
}

uint64_t lengthFrom(CByteReader& in) {
    uint8_t n = 0;
    in.u8(n);
    return n < in.remaining() ? n : in.remaining();
}

void ioControl(CByteReader& in) {
    uint8_t pick = 0, room = 0;
    if (!in.u8(pick) || !in.u8(room)) return;
    const uint64_t n = lengthFrom(in) % (sizeof g_h->ioInput + 1);
    const uint8_t* bytes = nullptr;
    if (!in.take(n, bytes)) return;
    std::memcpy(g_h->ioInput, bytes, n);
    g_h->ioOutputSize = room;
    ++g_h->ioPending;
    const TNfcllIoControlReq request{nullptr, n ? g_h->ioInput : nullptr, (pick & 0x80) ? nullptr : g_h->ioOutput,
                                     kIoCodes[pick % std::size(kIoCodes)], 0, static_cast<uint16_t>(n), room};
    post(nfcllMsgMake<NFCLL_IOCONTROL_REQ>(kManager, request));
}

void exchange(CByteReader& in, bool check) {
    const uint64_t n = lengthFrom(in) % (sizeof g_h->txData + 1);
    const uint8_t* bytes = nullptr;
    if (!in.take(n, bytes)) return;
    std::memcpy(g_h->txData, bytes, n);
    const TNfcllTransactionReq request{g_h->txData, static_cast<uint16_t>(n), 0};
    post(check ? nfcllMsgMake<NFCLL_CHECK_REQ>(kManager, request) : nfcllMsgMake<NFCLL_TRANSACTION_REQ>(kManager, request));
}

void step(CByteReader& in, ManualClock& clock) {
    uint8_t op = 0, a = 0;
    if (!in.u8(op)) return;
    switch (op % 13) {
    case 0: deliverPacket(g_h->lastCommand, in, lengthFrom(in)); break;
    case 1: {
        uint8_t header[2] = {};
        if (!in.u8(header[0]) || !in.u8(header[1])) return;
        deliverPacket(header, in, lengthFrom(in));
        break;
    }
    case 2:
        if (in.u8(a)) deliverPacket(kNotifications[a % std::size(kNotifications)], in, lengthFrom(in));
        break;
    case 3:
        if (in.u8(a)) {
            const uint8_t header[2] = {static_cast<uint8_t>(a & 0x1F), 0};
            deliverPacket(header, in, lengthFrom(in));
        }
        break;
    case 4: {
        uint32_t mask = 0;
        if (in.u32be(mask)) post(nfcllMsgMake<NFCLL_LISTEN_REQ>(kManager, {mask, nullptr}));
        break;
    }
    case 5: ioControl(in); break;
    case 6:
        if (in.u8(a)) post(nfcllMsgMake<NFCLL_SELECT_REQ>(kManager, {a, 0}));
        break;
    case 7: exchange(in, false); break;
    case 8: exchange(in, true); break;
    case 9:
        if (in.u8(a)) {
            clock.advance(a * 16u);
            osRunUntilIdle();
        }
        break;
    case 10: post(nfcllMsgMake<PH_RESET_REQ>(kManager)); break;
    case 11: post(nfcllMsgMake<NFCLL_DEVICE_RESP>(kManager, {&g_h->device, 128})); break;
    case 12:
        if (in.u8(a)) post(nfcllMsgMake<NFCLL_HEALTHMON_REQ>(kManager, {static_cast<uint8_t>(a & 1)}));
        break;
    }
}

// The module manager builds layer 1 and the com stub below the manager stub, as on a real start.
bool build(StubModules& stubs) {
    if (hwTimerRegister() != OS_OK || stubs.registerModule(kCom, 0, MM_TYPE_STACK_LAYER) != OS_OK ||
        nfcllRegister(kReaderNci) != OS_OK || stubs.registerModule(kManager, 0, MM_TYPE_TASK) != OS_OK)
        return false;
    osRunUntilIdle();
    uint8_t bytes[sizeof(MmStackDescriptor)] = {0x01, 0x00, 0x02, 0x00, 0x00, 0x00, NFCLL_TASK_NCI, 0x00, 0x00,
                                                0x00, 0,    0,    0x00, 0x00, 0x0A, 0x00, 0x08,           0x00,
                                                0x08, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x08};
    uint16_t requester = 0, globalPool = 0, mm = 0;
    void* buffer = nullptr;
    if (osQueueFindByName(kManager, &requester) != OS_OK || osPoolFindByName(kGlobalPool, &globalPool) != OS_OK ||
        osBufferGet(globalPool, sizeof bytes, &buffer, nullptr, nullptr) != OS_OK ||
        osQueueFindByName(MM_QUEUE_NAME, &mm) != OS_OK)
        return false;
    std::memcpy(bytes + 10, &requester, 2);
    std::memcpy(buffer, bytes, sizeof bytes);
    OsMessage message{};
    message.command = MM_BUILD_REQ;
    message.source = kManager;
    osMsgSetFields(message, MmBuildFields{NFCLL_TASK_NCI, 0, static_cast<MmStackDescriptor*>(buffer)});
    const bool sent = osMessageSend(mm, &message) == OS_OK;
    osRunUntilIdle();
    osBufferRelease(buffer);
    return sent && osQueueFindByName(0x20000u | NFCLL_TASK_NCI, &g_h->layer1) == OS_OK;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ManualClock clock;
    Harness harness;
    g_h = &harness;
    osInit();
    uint16_t globalPool = 0;
    if (osPoolCreate(kGlobalPool, 128, 2, &globalPool) == OS_OK) {
        mmInit();
        StubModules stubs;
        stubs.add(kCom).onMessage = &comAnswers;
        stubs.add(kManager).onMessage = &managerTakes;
        if (build(stubs)) {
            post(nfcllMsgMake<NFCLL_ACT_REQ>(kManager));
            CByteReader in(data, size);
            while (!in.empty()) step(in, clock);
        }
        osDone();
    } else {
        osDone();
    }
    g_h = nullptr;
    return 0;
}
