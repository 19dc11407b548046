// Layer 1 and the NCI driver on the synchronous dispatcher with a manual clock. A stub com task
// answers the link primitives and takes the driver's packets; a stub manager task takes what
// layer 1 sends up. The input is a script of steps: controller packets (answers to the last
// command, notifications, data, raw packets) and host operations (listens, I/O controls,
// selects, exchanges, checks, resets, time). Besides the sanitizers, two rules are checked: an
// I/O-control confirmation carries only bytes of the request's own output, and no request gets
// more confirmations than were asked for.
//
// An input that begins with 0x5C runs against the simulated controller in-process instead: its
// steps are the manager's requests, tags and readers in the field, and the controller's faults
// (it resets itself, reports generic and interface errors, loses a response, notifies while a
// sub-state runs). Then time runs until everything settles, and two more rules are checked:
// every request got exactly one answer, and the driver's RF state is the controller's.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "L1/common/nfcll.h"
#include "hw/hw_timer.h"
#include "manual_clock.h"
#include "mm/mm.h"
#include "os/os.h"
#include "os/os_mem.h"
#include "stub_modules.h"
#include "transport/com.h"
#include "util/bytereader.h"
#include "L1/nci/nci.h"
#include "driver_harness.h"
#include "nci/nci_sim_controller.h"
#include "nci/nci_sim_hci.h"
#include "nci/nci_sim_nfcee.h"
#include "nci/nci_sim_recorder.h"
#include "nci/nci_sim_rf.h"
#include "peers/remote_poller.h"
#include "tags/iso_dep_tag.h"
#include "tags/t2t_tag.h"

namespace {

constexpr uint8_t kSimulatedControllerMark = 0x5C;
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

// ---- Against the simulated controller ---------------------------------------------------------
namespace simulated {

using Bytes = std::vector<uint8_t>;
using ncisim::Controller;

constexpr uint8_t kEse = 0x10;

// The controller with its RF world and NFCEEs, in-process: what it writes goes up as packets.
struct Simulation {
    explicit Simulation(ncisim::NciIdentity identity)
        : controller(std::move(identity), recorder, {[this](const Bytes& b) { line.insert(line.end(), b.begin(), b.end()); return true; },
                                                     [] {}}) {
        ncisim::installCore(controller);
        rf.install();
        nfcees.install();
        hci.install();
    }
    // What the controller has written since, packet by packet.
    std::vector<Bytes> packets() {
        controller.flushDue();
        std::vector<Bytes> out;
        size_t at = 0;
        while (at + 3 <= line.size() && at + 3 + line[at + 2] <= line.size()) {
            out.emplace_back(line.begin() + static_cast<std::ptrdiff_t>(at), line.begin() + static_cast<std::ptrdiff_t>(at + 3 + line[at + 2]));
            at += 3 + line[at + 2];
        }
        line.erase(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(at));
        return out;
    }

    ncisim::Recorder recorder;
    Bytes line;
    Controller controller;
    ncisim::RfModel rf{controller};
    ncisim::NfceeModel nfcees{controller};
    ncisim::HciNetworkModel hci{controller, nfcees};
};

ncisim::NciIdentity identity() {
    ncisim::NciIdentity id = ncisim::NciIdentity::generic();
    ncisim::NfceeInfo ese;
    ese.id = kEse;
    id.nfcees = {ese};
    id.pollModeRouting = true;
    return id;
}

// What the manager has asked for and not yet been answered: it asks again only once answered,
// as the NFC manager does.
struct Owed {
    int listen = 0;     // answered by a listen confirmation, or excused by an error indication
    bool listenErrored = false;
    bool resetErrored = false;
    int reset = 0;      // by the reset confirmation, or excused by an error indication
    int device = 0;     // a transaction, check or select; or excused by a removal
    bool deviceRemoved = false;
    int io = 0;
};

struct Run {
    Run() : sim(identity()) {
        debugSetFlags(0);   // traces nobody reads cost the fuzzer its speed
        h.setPacketPeer([this](const Bytes& frame) {
            sim.controller.receiveBytes(frame.data(), frame.size());
            std::vector<Bytes> out = sim.packets();
            for (const Bytes& p : out)
                if (p.size() >= 2 && p[0] == 0x61 && (p[1] & 0x3F) == 0x05 && ++activationsUnpaced > kActivationsUnpaced) clearField();
            return out;
        });
    }
    // A tag or reader the host lets go at once is found again at the next poll, for as long as
    // it stays; a controller paces that by its poll period, the in-process one by nothing, so
    // with no time passing they leave after a few rounds, as a tester would take them away.
    void clearField() {
        for (const ncisim::TagPtr& tag : field) sim.rf.leave(tag);
        field.clear();
        sim.rf.departPoller();
        activationsUnpaced = 0;
    }
    void advance(uint32_t ms) {
        activationsUnpaced = 0;
        h.advance(ms);
        flush();
    }
    // What the controller sends on its own goes up as the line brings it.
    void flush() {
        for (const Bytes& p : sim.packets()) h.deliver(p);
        account();
    }
    void toLayer1(const OsMessage& m) {
        h.toLayer1(m);
        flush();
    }
    // Every answer is counted against what is owed; one that nobody is owed is a fault.
    void account() {
        const std::vector<uint16_t> commands = h.upwardCommands();
        bool deviceIndicated = false;
        for (; seen < commands.size(); ++seen) {
            switch (commands[seen]) {
            case NFCLL_DEVICE_IND: deviceIndicated = true; break;
            case NFCLL_LISTEN_CONF:
                take(owed.listen);
                owed.listenErrored = false;
                break;
            case PH_RESET_CONF:
                take(owed.reset);
                owed.resetErrored = false;
                break;
            case NFCLL_IOCONTROL_CONF: take(owed.io); break;
            case NFCLL_CHECK_CONF:
            case NFCLL_SELECT_CONF:
            case NFCLL_TRANSACTION_IND:
                take(owed.device);
                owed.deviceRemoved = false;
                break;
            // A removal excuses the device request from an answer, an error a listen or reset;
            // but a request that waits behind them may still be served afterwards, and the
            // answer that comes is its own.
            case NFCLL_TECH_REMOVE_IND:
                if (owed.device) owed.deviceRemoved = true;
                break;
            case NFCLL_ERROR_IND:
                if (owed.listen) owed.listenErrored = true;
                if (owed.reset) owed.resetErrored = true;
                break;
            default: break;
            }
        }
        releaseBuffers();
        // The manager answers every device indication; what layer 1 held back for it goes up then.
        if (deviceIndicated) toLayer1(nfcllMsgMake<NFCLL_DEVICE_RESP>(kManager, {nullptr, 0}));
    }
    static void take(int& owed) {
        if (owed == 0) std::abort();   // an answer nobody asked for
        --owed;
    }
    void releaseBuffers() {
        for (uint16_t command : {NFCLL_TRANSACTION_IND, NFCLL_CHECK_CONF}) {
            const std::vector<OsMessage> all = h.upward(command);
            size_t& done = command == NFCLL_CHECK_CONF ? checksReleased : transactionsReleased;
            for (; done < all.size(); ++done) release(nfcllMsgGet<NFCLL_TRANSACTION_IND>(all[done]).flags,
                                                      nfcllMsgGet<NFCLL_TRANSACTION_IND>(all[done]).result);
        }
        const std::vector<OsMessage> frames = h.upward(PH_DATA_IND);
        for (; framesReleased < frames.size(); ++framesReleased) {
            const auto f = nfcllMsgGet<PH_DATA_IND>(frames[framesReleased]);
            release(f.flags, f.buffer);
        }
    }
    NfcSecureHandle eseHandle() {
        TNfcInfoSE* ses[NFC_MAX_SECURE_ELEMENTS];
        std::memcpy(ses, &h.context()->capabilities.secureElements, sizeof ses);   // the public block is packed
        for (const TNfcInfoSE* se : ses)
            if (se && se->id == kEse) return se->handle;
        return 0;
    }

    static constexpr int kActivationsUnpaced = 16;

    DriverHarness h;
    Simulation sim;
    Owed owed;
    std::vector<ncisim::TagPtr> field;
    int activationsUnpaced = 0;
    size_t seen = 0;
    size_t transactionsReleased = 0, checksReleased = 0, framesReleased = 0;
    TNfcListenParam params{};
    uint8_t input[64] = {};
    uint8_t output[8 * 27] = {};
    uint8_t data[32] = {};
};

constexpr uint32_t kMasks[] = {0x1, 0x3, 0x100000, 0x100001, 0x1004, 0x2000, 0x0};
constexpr uint16_t kResponses[] = {0x4103, 0x4106, 0x4104, 0x4101, 0x4002, 0x4201, 0x4102, 0x4004, 0x4003, 0x4F05};
constexpr uint8_t kErrors[] = {0x03, 0xA1, 0xA2, 0xB0, 0xB1, 0xB2, 0x06};

ncisim::TagPtr tagOf(uint8_t pick) {
    switch (pick % 3) {
    case 0: return std::make_shared<simtags::T2tTag>();
    case 1: return std::make_shared<simtags::IsoDepTag>(simtags::Technology::A);
    default: {
        auto card = std::make_shared<simtags::IsoDepTag>(simtags::Technology::A);
        card->a.selRes = 0x60;   // announced twice: ISO-DEP and NFC-DEP
        return card;
    }
    }
}

// Route records of 27 bytes: a listen technology route to the eSE and a poll one to the host.
uint16_t routes(uint8_t* out, uint8_t pick) {
    std::memset(out, 0, 2 * 27);
    out[4] = 0x00;
    out[8] = 0x01;
    out[9] = kEse;
    out[10] = pick % 3;
    out[27 + 4] = 0x80;
    out[27 + 8] = 0x01;
    out[27 + 10] = pick % 2;
    return (pick & 0x80) ? 27 : 2 * 27;
}

void ioControl(Run& r, uint8_t pick) {
    if (r.owed.io) return;
    uint32_t code = 0;
    void* instance = nullptr;
    uint16_t inLength = 0, outSize = 0;
    switch (pick % 8) {
    case 0: code = 0x1004, outSize = 3; break;
    case 1: code = 0x8008, instance = reinterpret_cast<void*>(static_cast<uintptr_t>(r.eseHandle())); break;
    case 2: code = 0x800A, instance = reinterpret_cast<void*>(static_cast<uintptr_t>(r.eseHandle())); break;
    case 3: code = 0x800E, outSize = sizeof r.output; break;
    case 4: code = 0x800D, inLength = routes(r.input, pick); break;
    case 5: code = 0x1300, r.input[0] = 1, r.input[1] = 0x30, inLength = 2, outSize = 32; break;
    case 6: code = 0x1007; break;
    default: code = 0x1006; break;
    }
    ++r.owed.io;
    const TNfcllIoControlReq request{instance, inLength ? r.input : nullptr, outSize ? r.output : nullptr, code, 0, inLength, outSize};
    r.toLayer1(nfcllMsgMake<NFCLL_IOCONTROL_REQ>(kManager, request));
}

void deviceRequest(Run& r, uint8_t op, uint8_t pick) {
    if (r.owed.device) return;
    ++r.owed.device;
    r.data[0] = 0x30;
    r.data[1] = pick & 0x0F;
    const TNfcllTransactionReq request{r.data, 2, 0};
    if (op == 0) r.toLayer1(nfcllMsgMake<NFCLL_TRANSACTION_REQ>(kManager, request));
    else if (op == 1) r.toLayer1(nfcllMsgMake<NFCLL_CHECK_REQ>(kManager, request));
    else r.toLayer1(nfcllMsgMake<NFCLL_SELECT_REQ>(kManager, {static_cast<uint8_t>(pick % 6), 0}));
}

void step(Run& r, CByteReader& in) {
    std::vector<ncisim::TagPtr>& field = r.field;
    uint8_t op = 0, a = 0;
    if (!in.u8(op) || !in.u8(a)) return;
    Controller& c = r.sim.controller;
    switch (op % 14) {
    case 0:
        if (r.owed.listen || r.owed.reset) return;
        ++r.owed.listen;
        r.toLayer1(nfcllMsgMake<NFCLL_LISTEN_REQ>(kManager, {kMasks[a % std::size(kMasks)], &r.params}));
        return;
    case 1: deviceRequest(r, a % 3, a >> 2); return;
    case 2: ioControl(r, a); return;
    case 3:
        if (r.owed.listen || r.owed.reset) return;
        ++r.owed.reset;
        r.toLayer1(nfcllMsgMake<PH_RESET_REQ>(kManager));
        return;
    case 4: {
        // The driver's own view of an empty check, as the manager's presence poll asks for it.
        if (r.owed.device) return;
        ++r.owed.device;
        r.toLayer1(nfcllMsgMake<NFCLL_CHECK_REQ>(kManager, {nullptr, 0, 0}));
        return;
    }
    case 5: r.advance(a * 20u); return;
    case 6:
        field.push_back(tagOf(a));
        r.sim.rf.enter(field.back());
        break;
    case 7:
        if (!field.empty()) r.sim.rf.leave(field[a % field.size()]);
        break;
    case 8:
        if (a & 1) r.sim.rf.approach(simpeers::RemotePoller::reader(simtags::Technology::A));
        else r.sim.rf.departPoller();
        break;
    case 9: c.resetByItself(0x00, (a & 1) != 0); break;
    case 10: r.sim.rf.discoveryError(kErrors[a % std::size(kErrors)]); break;
    case 11: c.respond(ncisim::CORE_INTERFACE_ERROR_NTF, {kErrors[a % std::size(kErrors)], static_cast<uint8_t>(a >> 6)}); break;
    case 12: {
        ncisim::Fault lost = ncisim::Fault::dropped();
        lost.times = 1;
        c.setFault(kResponses[a % std::size(kResponses)], lost);
        return;
    }
    default:
        if (a & 1) r.sim.nfcees.sendStatus(kEse, a & 2 ? 0x01 : 0x00);
        else r.sim.nfcees.sendDiscoveryRequest(kEse, 0x80 | (a >> 6 & 1), 0x04, (a & 2) != 0);
        break;
    }
    r.flush();
}

// The driver's RF state and the controller's, once nothing is under way.
bool consistent(const std::string& state, ncisim::RfState rf) {
    using ncisim::RfState;
    if (state == "nciStateDeact") return true;   // a start-up that failed: the controller is anyone's
    if (state == "nciStateIdle" || state == "nciStateRadioOff") return rf == RfState::Idle;
    if (state == "nciStateDiscovery") return rf == RfState::Discovery;
    if (state == "nciStateW4AllDiscoveries" || state == "nciStateW4HostSelect") return rf == RfState::W4HostSelect;
    if (state == "nciStatePollActive" || state == "nciStateMfPollActive") return rf == RfState::PollActive;
    if (state == "nciStateListenActive") return rf == RfState::ListenActive;
    if (state == "nciStateListenSleep") return rf == RfState::ListenSleep;
    return false;   // still on its way after all that time
}

int run(const uint8_t* data, size_t size) {
    Run r;
    if (!r.h.build(kReaderNci, &nciInit, static_cast<uint16_t>(sizeof(TNciContext)))) return 0;
    r.toLayer1(nfcllMsgMake<NFCLL_ACT_REQ>(kManager));
    for (int k = 0; k < 30 && r.h.upward(NFCLL_ACT_CONF).empty(); ++k) r.advance(100);
    CByteReader in(data, size);
    while (!in.empty()) step(r, in);
    // Long enough for every time-out and every recovery to run its course. A reader keeps its
    // own time, which the simulated one lacks: one that never speaks again leaves in the end, as
    // a real one does once it gives up, and ends what the host as its card waits for.
    for (int k = 0; k < 100; ++k) r.advance(100);
    r.sim.rf.departPoller();
    r.flush();
    for (int k = 0; k < 20; ++k) r.advance(100);
    const Owed& o = r.owed;
    if ((o.listen && !o.listenErrored) || (o.reset && !o.resetErrored) || (o.device && !o.deviceRemoved) || o.io)
        std::abort();   // a request never answered
    std::string state;
    const TNciContext* nci = nfcllDriver<TNciContext>(r.h.context());
    state = smStateName(&nci->sm, nci->sm.current);
    if (nci->waitingCount || nci->heldCount || !consistent(state, r.sim.rf.state())) std::abort();
    for (const std::string& v : r.sim.recorder.violations())
        if (v.find("outstanding") != std::string::npos) std::abort();   // a second command before an answer
    return 0;
}

} // namespace simulated

int runAgainstSimulatedController(const uint8_t* data, size_t size) { return simulated::run(data, size); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size && data[0] == kSimulatedControllerMark) return runAgainstSimulatedController(data + 1, size - 1);
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
