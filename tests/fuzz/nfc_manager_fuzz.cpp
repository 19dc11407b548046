// The NFC manager with four applications on the synchronous dispatcher and a manual clock, over a
// fake layer 1 that answers only what the input says, a fake LLCP and a stand-in tag family. The
// input is a script of steps: an application registers, is released, asks (listen, read, write,
// format, make read-only, raw transaction, check, NDEF check, select, I/O control), cancels or
// gives up a request; layer 1 reports a tag, its removal, a transaction or check result, an
// I/O-control or listen confirmation, an error; time passes. Besides the sanitizers, the rules
// checked: a request is answered at most once, only with an identity its application gave, and
// never when its caller gave it up before the manager took it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <set>
#include <vector>

#include "core/nfaceapi.h"
#include "core/nfcmgr.h"
#include "fake_layer1.h"
#include "fake_llcp.h"
#include "fake_taghandler.h"
#include "hw/hw_timer.h"
#include "manual_clock.h"
#include "mm/mm.h"
#include "os/os_mem.h"
#include "util/bytereader.h"

namespace {

constexpr uint16_t kReaderNci = 0x400;
constexpr uint32_t kGlobalPool = 0xF1;
constexpr uint32_t kTagTypes[] = {TAG_ULTRALIGHT_TYPE2, TAG_ISO14443A, TAG_MIFARE_STD_1K, TAG_14443B, TAG_FELICA_TYPE3,
                                  TAG_JEWEL_TYPE1, P2P_TARGET, CE_HOST_14443A_106};
constexpr uint32_t kMasks[] = {0, TAG_ISO14443A, TAG_14443B | TAG_ISO14443A, NFCMAN_NDEF_LISTENER | TAG_ISO14443A,
                               TAG_FELICA_TYPE3, P2P_TARGET | P2P_INITIATOR, CE_HOST_14443A_106, 0x08000000u};
constexpr uint32_t kIoCodes[] = {0x1008, 0x1103, 0x120B, 0x1203, 0x1300, 0x8008, 0x800A, 0x800E};
constexpr uint16_t kCauses[] = {0, nfcCauseRejected, nfcCauseWrongState, nfcCauseNotPlausible};

struct App {
    int index = -1;
    void* hApp = nullptr;
    bool registering = false;
    uint16_t next = 0;
    std::set<uint16_t> sent, answered;
    std::set<uint16_t> postedSinceRun, givenUpUntaken;     // the manager has not run since
    uint8_t room[64] = {};
    uint8_t data[32] = {};
    TNfaceTransfer transfer{};

    static void upcall(void* instance, const void* message) {
        auto* self = static_cast<App*>(instance);
        const auto& m = *static_cast<const TnfcapiMsg*>(message);
        if (m.code == NFACE_REGISTER_CONF) {
            self->registering = false;
            const auto conf = nfaceMsgGet<NFACE_REGISTER_CONF>(m);
            if (conf.cause == 0 && conf.hApp) {
                self->hApp = conf.hApp;
                auto* entry = static_cast<TNfcmanApp*>(conf.hApp);
                self->index = nfcmanAppIndex(entry->owner, entry);
            }
            return;
        }
        if (m.code == NFACE_RELEASE_CONF) return;
        if (m.request == 0) return;
        // One answer per request, of a request it asked, never of one given up before it was taken.
        if (!self->sent.count(m.request) || !self->answered.insert(m.request).second ||
            self->givenUpUntaken.count(m.request))
            std::abort();
    }
};

struct World {
    ManualClock clock;
    FakeLayer1 l1;
    FakeLlcp llcp;
    FakeTagHandler th;
    App apps[NFCMAN_APPS];
    uint16_t managerQueue = 0;

    void run() {
        osRunUntilIdle();
        for (App& a : apps) {
            a.postedSinceRun.clear();
            a.givenUpUntaken.clear();
        }
    }
};

// The next byte of the script, 0 past its end.
uint8_t next(CByteReader& in) {
    uint8_t b = 0;
    in.u8(b);
    return b;
}

void request(World& w, App& a, uint16_t code, const void* fields, size_t length) {
    if (a.index < 0) return;
    OsMessage m{};
    m.command = code;
    m.spare = ++a.next == 0 ? ++a.next : a.next;
    m.source = NFCMAN_QUEUE_NAME | static_cast<uint32_t>(a.index + 1) << 19;
    std::memcpy(m.fields, fields, length < sizeof m.fields ? length : sizeof m.fields);
    if (osMessageSend(w.managerQueue, &m) != OS_OK) return;
    a.sent.insert(m.spare);
    a.postedSinceRun.insert(m.spare);
}

template <typename Fields>
void request(World& w, App& a, uint16_t code, const Fields& f) {
    request(w, a, code, &f, sizeof f);
}

void ask(World& w, App& a, CByteReader& in) {
    const uint8_t what = next(in) % 11;
    const uint8_t arg = next(in);
    a.transfer = TNfaceTransfer{a.room, a.data, 0, static_cast<uint16_t>(arg % sizeof a.data),
                                static_cast<uint16_t>(arg % (sizeof a.room + 1))};
    switch (what) {
    case 0: request(w, a, NFACE_LISTEN_REQ, TNfaceListenReq{kMasks[arg % std::size(kMasks)], nullptr}); break;
    case 1: request(w, a, NFACE_READ_REQ, TNfaceReadReq{static_cast<uint16_t>(1 + arg % 2), a.room, 0, uint16_t{16}}); break;
    case 2:
        request(w, a, NFACE_WRITE_REQ, TNfaceWriteReq{static_cast<uint16_t>(arg & 0x81), a.data, 0, uint16_t{8}});
        break;
    case 3: request(w, a, NFACE_FORMAT_REQ, TNfaceFormatReq{1, arg, static_cast<uint16_t>(arg & 0xC)}); break;
    case 4: request(w, a, NFACE_SET_READONLY_REQ, TNfaceReadonlyReq{}); break;
    case 5: request(w, a, NFACE_TRANSACTION_REQ, TNfaceTransferReq{&a.transfer}); break;
    case 6: request(w, a, NFACE_TEST_REQ, TNfaceEmpty{}); break;
    case 7: request(w, a, NFACE_NFC_NDEF_CHECK_REQ, TNfaceEmpty{}); break;
    case 8: request(w, a, NFACE_TAG_SELECT, TNfaceTransferReq{&a.transfer}); break;
    case 9:
        request(w, a, NFACE_IO_CONTROL_REQ, TNfaceIoControlReq{&a.transfer, kIoCodes[arg % std::size(kIoCodes)], 0, 0});
        break;
    default: {
        // The caller of the newest request stops waiting, as the API core does on a time-out.
        if (a.sent.empty() || a.index < 0) break;
        const uint16_t id = *a.sent.rbegin();
        nfaceGiveUp(a.hApp, &a, id);
        if (a.postedSinceRun.count(id)) a.givenUpUntaken.insert(id);
        OsMessage cancel{};
        cancel.command = NFACE_CANCEL_REQ;
        cancel.spare = id;
        cancel.source = NFCMAN_QUEUE_NAME | static_cast<uint32_t>(a.index + 1) << 19;
        osMessageSend(w.managerQueue, &cancel);
        break;
    }
    }
}

// A tag of layer 1's, of one of the types the manager knows.
TNfcTagInfo tagOf(uint8_t type) {
    TNfcTagInfo t{};
    t.tagType = kTagTypes[type % std::size(kTagTypes)];
    t.uidLength = 4;
    t.uid[0] = 0x04;
    t.a.atqa = 0x0044;
    return t;
}

void step(World& w, CByteReader& in) {
    // What happens (low nibble), to which application (bits 4 and 5), and whether the manager
    // runs afterwards (bit 6).
    const uint8_t op = next(in);
    App& a = w.apps[(op >> 4) & 3];
    const uint8_t arg = next(in);
    switch (op & 0x0F) {
    case 0:
        if (a.index < 0 && !a.registering)
            a.registering = nfcmanRegisterApplication(NfcapiRegistration{&a, &App::upcall, 0, 0}) == 0;
        break;
    case 1:
        // As the API core's destroy does, nothing more is asked once the release is on its way.
        if (a.hApp && nfaceRelease(a.hApp) == 0) {
            a.hApp = nullptr;
            a.index = -1;
        }
        break;
    case 2: case 3: case 4: ask(w, a, in); break;
    case 5: w.l1.deviceIndication(tagOf(arg)); break;
    case 6: w.l1.indicate<NFCLL_TECH_REMOVE_IND>({0}); break;
    case 7: {
        std::vector<uint8_t> answer(arg % 24, 0x5A);
        w.l1.transactionIndication(kCauses[arg % std::size(kCauses)], answer, arg & 1);
        break;
    }
    case 8: w.l1.checkConfirmation(kCauses[arg % std::size(kCauses)]); break;
    case 9: w.l1.ioControlConfirmation(kCauses[arg % std::size(kCauses)], std::vector<uint8_t>(arg % 8, 0x06)); break;
    case 10: w.l1.indicate<NFCLL_LISTEN_CONF>({0, 0}); break;
    case 11: w.l1.indicate<NFCLL_ERROR_IND>({static_cast<uint16_t>(arg & 1 ? nfcCauseWrongState : 0x206)}); break;
    default:
        for (uint32_t ms = 0; ms < 10u * (arg % 200); ms += 10) {
            w.clock.advance(10);
            w.run();
        }
        return;
    }
    // Now and then the manager runs behind: several steps queue up before it takes them.
    if (op & 0x40) w.run();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    World w;
    w.l1.capabilities.supportedMask = 0x00F3FFFFu;
    w.l1.capabilities.flags = 0x1000D;
    w.l1.answerListen = false;
    w.l1.onCommand(NFCLL_IOCONTROL_REQ, [](FakeLayer1&, const OsMessage&) {});
    osInit();
    uint16_t pool = 0;
    if (osPoolCreate(kGlobalPool, 128, 2, &pool) == OS_OK) {
        mmInit();
        if (hwTimerRegister() == OS_OK && FakeLayer1::registerModules(kReaderNci) == OS_OK &&
            FakeLlcp::registerModule(kReaderNci) == OS_OK && nfcmanRegister(kReaderNci) == OS_OK) {
            w.run();
            if (osQueueFindByName(NFCMAN_QUEUE_NAME, &w.managerQueue) == OS_OK) {
                CByteReader in(data, size);
                while (!in.empty()) step(w, in);
                w.run();
            }
        }
    }
    osDone();
    return 0;
}
