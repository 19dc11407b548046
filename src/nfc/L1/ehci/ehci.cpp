// The ETSI HCI driver's frame: the layer-1 slots, the one instance, the chip switch, the
// up-call that maps the instance's events onto layer 1, and the start driven by the answers of
// the administration and identity pipes.
#include "L1/ehci/ehci.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>

#include "os/os_mem.h"
#include "platform/platform.h"
#include "util/trace.h"

namespace {

TEhciInstance g_instance;

constexpr uint32_t kTrc = NFCLL_TRC_STATE;
constexpr uint32_t kErr = NFCLL_TRC_ERROR;

// Admin and identity steps (the states name the answer they wait for).
enum : uint32_t {
    kAdmClearAll = 2,
    kAdmReopened = 3,
    kAdmIdentityCreated = 4,
    kAdmWhiteList = 7,
    kAdmSessionIdentity = 9,
    kAdmSaved = 10,
    kAdmOpened = 11,
    kAdmWhiteListSet = 17,
    kAdmHostList = 19,
    kAdmLoopbackCreated = 28,
    kIdOpened = 11,
    kIdGates = 41,
    kIdSoftware = 43,
    kIdHardware = 44,
    kIdVendor = 45,
    kIdModel = 46,
    kIdChip = 108,
    kIdHciVersion = EHCI_STATE_PRIVATE + 10,   // the identity gate's HCI version, read beside the Part's steps
};

constexpr uint8_t kOwnMark[3] = {'E', 'L', 'M'};

uint32_t elapsed(const TEhciInstance* e) { return platTickMs() - e->startTick; }

TNfcllContext* contextOf(void* userData) { return static_cast<TNfcllContext*>(userData); }

// ---- Layer-1 slots -------------------------------------------------------------------------------
uint16_t ehciInitializationStep(TNfcllContext* ll, TNfcCapabilityBlock* capabilities) {
    TEhciPart* part = ehciPart(ll);
    TRACE(kTrc, "ehciInitializationStep, state 0x%X", static_cast<unsigned>(part->state));
    switch (part->state) {
    case EHCI_DRV_CREATED:
        etsiHciCreateInstance(&part->instance, ll->readerType, ll, capabilities);
        TRACE(kTrc, "New ETSI HCI instance handle %p", static_cast<void*>(part->instance));
        return NFCLL_CAUSE_PENDING;
    case EHCI_DRV_REPORTED:
        part->state = EHCI_DRV_RUNNING;
        // A start that failed is a failed activation, not a controller that seems to work.
        return part->instance && part->instance->failure ? EHCI_CAUSE_FAILED : 0;
    default: return NFCLL_CAUSE_PENDING;
    }
}

void ehciHandleDataIndication(TNfcllContext* ll, const uint8_t* frame, uint16_t length, uint16_t offset) {
    TEhciPart* part = ehciPart(ll);
    if (ll->flags & NFCLL_FLAG_HEALTH_MONITOR) nfcllRestartTimer(ll, EHCI_TIMER_HEALTH, part->healthInterval);
    if (!part->instance) return;
    etsiHciReceiveFrame(part->instance, frame + offset, length);
}

void ehciSelectRequest(TNfcllContext*, uint8_t) {}

uint32_t ehciHandleOtherMessage(TNfcllContext* ll) {
    switch (ll->message.command) {
    case EHCI_TX_COMPLETED:
        if (ehciPart(ll)->instance) etsiHciTxCompleted(ehciPart(ll)->instance, osMsgFields<uint32_t>(ll->message));
        return 0;
    case 0x209: ehciNfcipDeactivate(ll, true); return 0;
    case 0x282: ehciNfcipDeactivate(ll, false); return 0;
    default: return EHCI_CAUSE_FAILED;
    }
}

void ehciHandlePhResetRequest(TNfcllContext* ll) {
    TRACE(kTrc, "ehci: ehciHandlePhResetRequest()");
    TEhciPart* part = ehciPart(ll);
    part->state = EHCI_DRV_RESETTING;
    if (part->instance) etsiHciReset(part->instance);
}

void ehciHandleCheckReq(TNfcllContext* ll, const uint8_t* data, uint16_t length) {
    TEhciInstance* e = ehciPart(ll)->instance;
    // A check that cannot go out is answered at once: the requester would wait for ever.
    if (!e || !e->hooks.checkRequest || e->hooks.checkRequest(e, data, length) < 0)
        nfcllSendUsTransactionResult(ll, NFCLL_CAUSE_WRONG_STATE);
}

// ---- Chip switch -----------------------------------------------------------------------------------
void chipSwitch(TEhciInstance* e, uint16_t readerType) {
    switch (readerType) {
    case 0x205:
        e->hooks.preInit = &ehciPn544PreInit;
        TRACE(kTrc, "ehci: requested PN544 SecureActivation Interface");
        e->seOps = &ehci544SeActivatorOps;
        e->seContext = e->seOps->init(e);
        return;
    case 0x208: e->hooks.preInit = &ehciDemoPreInit; return;
    case 0x204:
    case 0x210:
        e->flags |= EHCI_F_ST21 | (readerType == 0x210 ? uint32_t{EHCI_F_ST21B} : 0u);
        e->hooks.preInit = &ehciSt21PreInit;
        TRACE(kTrc, "ehci: requested ST21NFC SecureActivation Interface");
        e->seOps = &ehciSt21SeActivatorOps;
        e->seContext = e->seOps->init(e);
        return;
    case 0x209:
    case 0x20A: break;
    default: TRACE(kErr, "ehci: ! Unknown CHIP type 0x%X found", static_cast<unsigned>(readerType)); break;
    }
    // Plain controllers, and chips this driver does not know, start without a variant of their own.
    e->hooks.preInit = &ehciPlainPreInit;
}

// ---- Up-call ---------------------------------------------------------------------------------------
void initDone(TNfcllContext* ll, uint32_t code) {
    TEhciPart* part = ehciPart(ll);
    if (part->state == EHCI_DRV_RESETTING) {
        part->state = EHCI_DRV_RESET_DONE;
        nfcllSendUsCause(ll, PH_RESET_CONF, code ? EHCI_CAUSE_FAILED : 0);
        return;
    }
    part->state = EHCI_DRV_REPORTED;
    nfcllSendUsActConf(ll);
}

uint16_t causeAt(uintptr_t extra) {
    if (!extra) return 0;
    uint16_t cause;
    std::memcpy(&cause, reinterpret_cast<const void*>(extra), sizeof cause);
    return cause;
}

// The detected target's type as the trace names it.
struct TagName {
    uint32_t type;
    const char* text;
};
constexpr TagName kTagNames[] = {
    {0x1, "# ISO 14443-A detected #"},           {0x2, "# ISO 14443-B detected #"},
    {0x4, "# Tag 15693 detected #"},             {0x10, "# Mifare Standard 1k detected #"},
    {0x20, "# Mifare Standard 4k detected #"},   {0x40, "# Mifare Ultralight detected #"},
    {0x80, "# Mifare DESfire detected #"},       {0x100, "# Tag FELICA detected #"},
    {0x400, "# Tag JEWEL detected #"},           {0x1000, "# IP-1 Target detected #"},
    {0x2000, "# IP-1 Initiator detected #"},     {0x100000, "# CE HOST emu 14443-A detected #"},
    {0x200000, "# CE HOST emu 14443-B detected #"}, {0x400000, "# CE HOST emu FELICA detected #"},
    {0x800000, "# CE HOST emu 14443-B2 detected #"}, {0x1000000, "# Mifare S20 Mini detected #"},
    {0x2000000, "# Mifare Plus 2K detected #"},  {0x4000000, "# Mifare Plus 4K detected #"},
};

void traceTag(const TNfcTagInfo& tag) {
    for (const TagName& name : kTagNames)
        if (name.type == tag.tagType) {
            TRACE(kTrc, "%s", name.text);
            return;
        }
    TRACE(kTrc, "# Unknown/Unsupported type 0x%X atqa=0x%X detected #", static_cast<unsigned>(tag.tagType),
          static_cast<unsigned>(tag.a.atqa));
}

void targetDetected(TNfcllContext* ll, const void* record, uintptr_t extra) {
    std::memcpy(&ll->device, record, sizeof ll->device);
    ll->flags &= ~NFCLL_FLAG_PN53X_40;
    const uint32_t type = ll->device.tagType;
    ll->mode = type == 0x1000 ? 1 : type == 0x2000 ? 2 : 4;
    traceTag(ll->device);
    if (ehciNfcipTakeOver(ll, reinterpret_cast<const TNfcListenParam*>(extra))) return;
    // A link the chip runs itself is up: the health monitor's activity check starts from it.
    if (ll->mode == 1 || ll->mode == 2) nfcllHealthMonCheck(ll);
    nfcllSendUsDeviceInd(ll);
}

void hmInterval(TNfcllContext* ll, const void* p) {
    uint16_t ms = 0;
    std::memcpy(&ms, p, sizeof ms);
    ehciPart(ll)->healthInterval = ms + 500u;
    if (ll->flags & NFCLL_FLAG_HEALTH_MONITOR) nfcllRestartTimer(ll, EHCI_TIMER_HEALTH, ehciPart(ll)->healthInterval);
}

bool bufferEvent(TNfcllContext* ll, uint32_t event, void* p, uint32_t len, uintptr_t extra) {
    const uint16_t pool = ll->driverPool ? ll->driverPool : ll->rxPool;
    void** out = static_cast<void**>(p);
    switch (event) {
    case EV_EHCI_GET_BUFFER: osBufferGet(pool, static_cast<uint16_t>(len), out, nullptr, nullptr); return true;
    case EV_EHCI_GET_TX_BUFFER:
        osBufferGet(pool, static_cast<uint16_t>(len), out, &etsiHciTxCompletedCallBack, reinterpret_cast<void*>(extra));
        return true;
    case EV_EHCI_RELEASE_BUFFER:
        if (p) osBufferRelease(p);
        return true;
    case EV_EHCI_SEND:
        if (!nfcllSendDsDataReq(ll, static_cast<uint8_t*>(p), static_cast<uint16_t>(len)))
            TRACE(kErr, "ehci: ! packet of %d bytes not sent", static_cast<int>(len));
        return true;
    default: return false;
    }
}

bool timerEvent(TNfcllContext* ll, uint32_t event, void* p, uint32_t len) {
    if (event < EV_EHCI_TIMER_START || event > EV_EHCI_TIMER_RESTART) return false;
    const auto id = static_cast<uint8_t>(*static_cast<const uint8_t*>(p) + EHCI_TIMER_BASE);
    if (event == EV_EHCI_TIMER_START) nfcllSetTimer(ll, id, len);
    else if (event == EV_EHCI_TIMER_STOP) nfcllResetTimer(ll, id);
    else nfcllRestartTimer(ll, id, len);
    return true;
}

}  // namespace

uint32_t ehciCallBack(void* userData, uint32_t event, void* p, uint32_t len, uintptr_t extra) {
    TNfcllContext* ll = contextOf(userData);
    if (bufferEvent(ll, event, p, len, extra) || timerEvent(ll, event, p, len)) return 0;
    switch (event) {
    case EV_EHCI_INIT_DONE: initDone(ll, len); break;
    case EV_EHCI_READER_RESPONSE:
        if (!ehciNfcipReceive(ll, static_cast<const uint8_t*>(p), len))
            nfcllSendUsTransactionInd(ll, static_cast<const uint8_t*>(p), 0, len);
        break;
    case EV_EHCI_P2P_DATA:
        // A frame of a chip that runs NFC-DEP itself; the next one goes down once a message is whole.
        if (!len) {
            nfcllHealthMonCheck(ll);
            break;
        }
        nfcllSendUsLlcpTriggerInd(ll);
        nfcllStoreP2pRxData(ll, len, static_cast<const uint8_t*>(p), extra != 0);
        if (!extra) nfcllPushNextP2PFragment(ll);
        break;
    case EV_EHCI_TRANSACTION_TIMEOUT:
        if (!ehciNfcipTimeout(ll)) nfcllSendUsTransactionInd(ll, nullptr, EHCI_CAUSE_FAILED, len);
        break;
    case EV_EHCI_TRANSACTION_FAILED: nfcllSendUsTransactionInd(ll, nullptr, NFCLL_CAUSE_AUTH_FAILED, len); break;
    case EV_EHCI_LISTEN_CONF:
        nfcllSendUsListenConf(ll, len ? 13 : 0, static_cast<uint32_t>(extra));
        break;
    case EV_EHCI_LISTEN_CANCELLED: nfcllSendUsListenConf(ll, len ? NFCLL_CAUSE_WRONG_STATE : 0, 0); break;
    case EV_EHCI_TARGET_DETECTED: targetDetected(ll, p, extra); break;
    case EV_EHCI_TARGET_REMOVED:
        if (!ehciNfcipIgnoresRemoval(ll)) nfcllSendUsTechRemoved(ll, 29);
        break;
    case EV_EHCI_CHIP_FAILURE: nfcllSendUsCause(ll, NFCLL_ERROR_IND, EHCI_CAUSE_FAILED); break;
    case EV_EHCI_IO_DONE: nfcllSendUsIoControlConf(ll, len ? EHCI_CAUSE_FAILED : 0, nullptr, 0); break;
    case EV_EHCI_TRANSACTION_RESULT: nfcllSendUsTransactionResult(ll, causeAt(extra)); break;
    case EV_EHCI_LLCP_TRIGGER: nfcllSendUs(ll, nfcllMsgMake<NFCLL_LLCP_TRIGGER_IND>(ll->queueWord)); break;
    case EV_EHCI_IO_ANSWER:
        nfcllSendUsIoControlConf(ll, causeAt(extra), static_cast<const uint8_t*>(p), static_cast<uint16_t>(len));
        break;
    case EV_EHCI_HM_INTERVAL: hmInterval(ll, p); break;
    case EV_EHCI_FIELD: nfcllHealthMonResult(ll, len); break;
    case EV_EHCI_SE_STATE:
        nfcllSendUsSeInd(ll, TNfcllSeInd{len, static_cast<NfcSecureHandle>(extra), p ? *static_cast<const uint32_t*>(p) : 0,
                                         nullptr});
        break;
    case EV_EHCI_SE_TRANSACTION:
        nfcllSendUsSeInd(ll, TNfcllSeInd{NFCLL_SE_TRANSACTION, static_cast<NfcSecureHandle>(extra), 0,
                                         static_cast<const TNfcTransaction*>(p)});
        break;
    default: TRACE(kErr, "! ehciCallBack, unsupported event 0x%X", static_cast<unsigned>(event)); break;
    }
    return 0;
}

int32_t ehciInit(TNfcllContext* ll) {
    TRACE(NFCLL_TRC_STARTUP, "ehci: ehciInit()");
    auto* part = new (ll->driver) TEhciPart{};
    part->state = EHCI_DRV_CREATED;
    part->ll = ll;
    part->healthInterval = EHCI_HEALTH_DEFAULT_MS;
    TNfcllMiniport& mp = ll->miniport;
    mp.initializationStep = &ehciInitializationStep;
    mp.dataIndication = &ehciHandleDataIndication;
    mp.listenRequest = &ehciHandleListenReq;
    mp.transactionRequest = &ehciHandleTransactionReq;
    mp.ioControlRequest = &ehciHandleIoControlReq;
    mp.selectRequest = &ehciSelectRequest;
    mp.timerExpired = &ehciHandleTimerExpired;
    mp.otherMessage = &ehciHandleOtherMessage;
    mp.phResetRequest = &ehciHandlePhResetRequest;
    mp.checkRequest = &ehciHandleCheckReq;
    return 1;
}

TEhciInstance* ehciInstance() { return &g_instance; }
void ehciResetForTest() { g_instance = TEhciInstance{}; }

uint32_t etsiHciCreateInstance(TEhciInstance** handle, uint16_t readerType, void* userData, TNfcCapabilityBlock* caps) {
    TEhciInstance* e = &g_instance;
    *e = TEhciInstance{};
    e->capabilities = caps;
    e->readerType = readerType;
    chipSwitch(e, readerType);
    ehciPipeReset(e, true);
    ehciTxCompletionsTo(contextOf(userData));
    *handle = e;
    return etsiHciInitInstance(userData, 0, &ehciCallBack, e);
}

uint32_t etsiHciInitInstance(void* userData, uint32_t reinit, TEhciUpCall upCall, TEhciInstance* e) {
    e->state = 1;
    e->userData = userData;
    e->upCall = upCall;
    e->failure = 0;
    e->gatherJoin = TEhciJoin{};
    e->flags |= EHCI_F_INIT;
    if (reinit) {
        e->flags = (e->flags | EHCI_F_REINIT) & ~EHCI_F_CREATE_PIPES;
        ++e->retryCount;
        ehciPipeReset(e, false);
    }
    e->seReinitIndex = 0;
    e->seReinitPending = false;
    e->startTick = platTickMs();
    e->commandWatchTimeout = EHCI_COMMAND_WATCH_MS;
    std::fill(std::begin(e->slots), std::end(e->slots), TEhciTxSlot{});
    e->deferredCount = 0;
    e->whiteList[0] = 0x02;
    e->whiteListLength = 1;
    e->pipes.admin->state = kAdmOpened;
    e->pipes.admin->flags &= ~EHCI_P_OPEN;
    ehciOpenPipe(e->pipes.admin);
    return 0;
}

void etsiHciReset(TEhciInstance* e) {
    TRACE(kTrc, "ehci: etsiHciReset(), %d retry, listen mask 0x%X", static_cast<int>(e->retryCount),
          static_cast<unsigned>(e->listenMask));
    if (e->flags & EHCI_F_IO_PENDING) {
        TRACE(kTrc, "ehci: signal error for pending IoControl");
        ehciIoAnswer(e, 3);
    }
    if (e->flags & EHCI_F_WAITING) {
        TRACE(kTrc, "ehci: signal error for pending transaction");
        if (!(e->tagRecord.tagType & 0x3000))
            TRACE(kErr, "ehci: ! TRANSCEIVE failed 0x%X", static_cast<unsigned>(e->tagRecord.tagType));
        e->flags &= ~EHCI_F_WAITING;
        ehciUp(e, EV_EHCI_TRANSACTION_TIMEOUT, nullptr, 3);
    }
    ehciTimerStop(e, EHCI_TIMER_WATCHDOG);
    for (TEhciPipe& pipe : e->pipe) ehciReleaseRxBuffer(&pipe);
    etsiHciInitInstance(e->userData, 1, e->upCall, e);
}

// ---- The start ---------------------------------------------------------------------------------------
namespace {

void fail(TEhciInstance* e, uint32_t code) { ehciInitFailed(e, code); }

// Own only from a whole identity: a short answer is never read past its end.
bool ownIdentity(const uint8_t* data, uint32_t length) {
    return length >= 8 && std::memcmp(data + 4, kOwnMark, sizeof kOwnMark) == 0;
}

void sessionIdentityRead(TEhciInstance* e, const uint8_t* data, uint32_t length) {
    if (ownIdentity(data, length)) {
        TRACE(kTrc, "ehci: Own session identity detected");
        std::memcpy(e->sessionIdentity, data, sizeof e->sessionIdentity);
        e->flags |= EHCI_F_OWN_IDENTITY;
        if (e->flags & EHCI_F_ST21) {
            e->flags &= ~EHCI_F_CREATE_PIPES;
            ehciGetParam(e->pipes.admin, 0x04, kAdmHostList);
            return;
        }
    } else {
        TRACE(kTrc, "ehci: Session identity unknown, clear all pipes");
    }
    ehciClearAllPipes(e);
}

void hostListRead(TEhciInstance* e, const uint8_t* data, uint32_t length) {
    const bool uicc = std::find(data, data + length, 0x02) != data + length;
    const bool se = std::find(data, data + length, 0xC0) != data + length;
    if (uicc) e->flags |= EHCI_F_UICC_HOST;
    if (se) e->flags |= EHCI_F_SE_HOST;
    TRACE(kTrc, "%s", uicc ? "ehci: UICC in host list" : "ehci: UICC NOT in host list");
    TRACE(kTrc, "%s", se ? "ehci: SE in host list" : "ehci: SE NOT in host list");
    ehciGetParam(e->pipes.admin, 0x03, kAdmWhiteList);
}

void startPipeInitialization(TEhciInstance* e) {
    TRACE(kTrc, "ehci: ## START PIPE INITIALIZATION ##");
    if (e->flags & EHCI_F_CREATE_PIPES) {
        ehciCreatePipe("Loopback", e->pipes.loopback, EHCI_GATE_LOOPBACK, kAdmLoopbackCreated);
        return;
    }
    if (e->hooks.startPipes) e->hooks.startPipes(e);
}

uint8_t createdId(const uint8_t* data, uint32_t length) { return length >= 5 ? data[4] : 0; }

void openLoopback(TEhciInstance* e) {
    TEhciPipe* loop = e->pipes.loopback;
    if (!loop) {
        ehciInitCompleted(e);
        return;
    }
    if (loop->id == 0) {
        ehciCreatePipe("Loopback", loop, EHCI_GATE_LOOPBACK, kAdmLoopbackCreated);
        return;
    }
    ehciTakeRxBuffer(loop);
    loop->response = &ehciLoopbackResponse;
    loop->event = &ehciLoopbackEvent;
    loop->writeHeader = &ehciLoopbackHeader;
    loop->flags |= EHCI_P_RAW;
    ehciOpenPipe(loop);
}

}  // namespace

namespace {

// The steps read whole answers: the packets of one are joined first (cut at the buffer's size).
bool gathered(TEhciPipe* pipe, const uint8_t*& data, uint32_t& length, uint32_t& code) {
    TEhciInstance* e = pipe->owner;
    return ehciJoin(e->gatherJoin, pipe, e->gather, sizeof e->gather, data, length, code);
}

}  // namespace

void ehciAdminResponse(TEhciPipe* admin, const uint8_t* data, uint32_t length, uint32_t code) {
    TEhciInstance* e = admin->owner;
    if (!gathered(admin, data, length, code)) return;
    TRACE(kTrc, "ehci: # ADMIN RESP 0x%X, state %d, length %d", static_cast<unsigned>(code),
          static_cast<int>(admin->state), static_cast<int>(length));
    if ((e->flags & EHCI_F_INIT) && code != 0 && code != 1 && code != 0x0B) {
        fail(e, code);
        return;
    }
    const uint32_t state = admin->state;
    switch (state) {
    case kAdmOpened: ehciGetParam(admin, 0x01, kAdmSessionIdentity); break;
    case kAdmSessionIdentity: sessionIdentityRead(e, data, length); break;
    case kAdmClearAll:
        TRACE(kTrc, "ehci: # ALL PIPES CLEARED #");
        admin->flags &= ~EHCI_P_OPEN;
        ehciOpenPipe(admin);
        admin->state = kAdmReopened;
        break;
    case kAdmReopened: ehciGetParam(admin, 0x04, kAdmHostList); break;
    case kAdmHostList: hostListRead(e, data, length); break;
    case kAdmWhiteList:
        if (e->hooks.preInit) e->hooks.preInit(e);
        else ehciPreInitCompleted(e);
        break;
    case kAdmIdentityCreated:
        e->pipes.identity->id = createdId(data, length);
        TRACE(kTrc, "ehci: <%s>, ID=%d", e->pipes.identity->name, static_cast<int>(e->pipes.identity->id));
        ehciOpenPipe(e->pipes.identity);
        break;
    case kAdmWhiteListSet: startPipeInitialization(e); break;
    case kAdmLoopbackCreated:
        e->pipes.loopback->id = createdId(data, length);
        TRACE(kTrc, "ehci: loop back pipe created, ID=%d", static_cast<int>(e->pipes.loopback->id));
        e->pipes.loopback->state = 0;
        if (e->flags & EHCI_F_CREATE_PIPES) {
            if (e->hooks.startPipes) e->hooks.startPipes(e);
            else ehciSaveIdentity(e);
        } else {
            openLoopback(e);
        }
        break;
    case kAdmSaved: openLoopback(e); break;
    default: ehciCreatedResponse(admin, data, length, code); break;
    }
}

void ehciPreInitCompleted(TEhciInstance* e) {
    TRACE(kTrc, "ehci: PreInit phase completed");
    TEhciPipe* identity = e->pipes.identity;
    identity->name = "Identity pipe";
    if (e->flags & EHCI_F_CREATE_PIPES) {
        ehciCreatePipe("Identity pipe", identity, EHCI_GATE_IDENTITY, kAdmIdentityCreated);
        return;
    }
    identity->id = e->sessionIdentity[0];
    ehciGetParam(identity, 0x06, kIdGates);
}

namespace {

void copyVersion(uint8_t (&to)[4], const uint8_t* data, uint32_t length) {
    std::memset(to, 0, sizeof to);
    std::memcpy(to, data, std::min<uint32_t>(length, 3));
}

void gatesRead(TEhciInstance* e, const uint8_t* data, uint32_t length, uint32_t code) {
    if (code) TRACE(kErr, "! Get GATE list not supported - Mandatory");
    e->gateCount = 0;
    for (uint32_t i = 0; !code && i < length && e->gateCount < EHCI_GATES_MAX && data[i] != 0xFF; ++i)
        e->gateList[e->gateCount++] = data[i];
}

// The PN544's four values (32, 32, 16 and 16 bits): what came is copied, the rest is zero.
void chipValuesRead(TEhciInstance* e, const uint8_t* data, uint32_t length, uint32_t code) {
    uint8_t* to = e->capabilities->chipValues;
    std::memset(to, 0, 12);
    if (code) return;
    std::memcpy(to, data, std::min<uint32_t>(length, 12));
    if (length >= 1 && data[0] == 0xB1) e->flags |= EHCI_F_MODEL_B1;
}

void modelRead(TEhciInstance* e, const uint8_t* data, uint32_t length, uint32_t code) {
    if (code || length < 1) TRACE(kErr, "! NO RESPONSE for Model ID (optional)");
    e->modelId = code || length < 1 ? 0 : data[0];
    const TNfcCapabilityBlock& c = *e->capabilities;
    TRACE(kTrc, "ehci: HCI version %X, SW Version %X %X %X, HW Version %X %X %X", static_cast<unsigned>(e->hciVersion),
          c.softwareVersion[0], c.softwareVersion[1], c.softwareVersion[2], c.hardwareVersion[0], c.hardwareVersion[1],
          c.hardwareVersion[2]);
    TRACE(kTrc, "ehci: Vendor name <%s> model ID 0x%X", c.vendorName, static_cast<unsigned>(e->modelId));
    if (e->hooks.variantSetup) e->hooks.variantSetup(e);
    TRACE(kTrc, "ehci: Current work mode 0x%.08X, supported listen mask 0x%X", static_cast<unsigned>(e->flags),
          static_cast<unsigned>(e->supportedMask));
    TRACE(kTrc, "ehci: Set white list from host (UICC support)");
    ehciSetParam(e->pipes.admin, 0x03, e->whiteList, e->whiteListLength, kAdmWhiteListSet);
}

void identityResponse(TEhciPipe* pipe, const uint8_t* data, uint32_t length, uint32_t code) {
    TEhciInstance* e = pipe->owner;
    TNfcCapabilityBlock& caps = *e->capabilities;
    switch (pipe->state) {
    case kIdOpened: ehciGetParam(pipe, 0x06, kIdGates); break;
    case kIdGates:
        gatesRead(e, data, length, code);
        ehciGetParam(pipe, 0x01, kIdSoftware);
        break;
    case kIdSoftware:
        if (code) TRACE(kErr, "! NO RESPONSE for SW Version (optional)");
        copyVersion(caps.softwareVersion, data, code ? 0 : length);
        ehciGetParam(pipe, 0x02, kIdHciVersion);
        break;
    case kIdHciVersion:
        if (code || !length) TRACE(kErr, "! NO RESPONSE for HCI Version (optional)");
        e->hciVersion = !code && length ? data[0] : 0;
        ehciGetParam(pipe, 0x03, kIdHardware);
        break;
    case kIdHardware:
        if (code) TRACE(kErr, "! NO RESPONSE for HW Version (optional)");
        copyVersion(caps.hardwareVersion, data, code ? 0 : length);
        ehciGetParam(pipe, 0x04, kIdVendor);
        break;
    case kIdVendor: {
        if (code) TRACE(kErr, "! NO RESPONSE for Vendor Name (optional)");
        const uint32_t n = code ? 0 : std::min<uint32_t>(length, sizeof caps.vendorName - 1);
        std::memset(caps.vendorName, 0, sizeof caps.vendorName);
        std::memcpy(caps.vendorName, data, n);
        if (e->flags & EHCI_F_PN544) ehciGetParam(pipe, 0x10, kIdChip);
        else ehciGetParam(pipe, 0x05, kIdModel);
        break;
    }
    case kIdChip:
        chipValuesRead(e, data, length, code);
        ehciGetParam(pipe, 0x05, kIdModel);
        break;
    case kIdModel: modelRead(e, data, length, code); break;
    default:
        TRACE(kErr, "! unexpected response for pipe <%s> in state %d", pipe->name, static_cast<int>(pipe->state));
        break;
    }
}

}  // namespace

void ehciIdentityResponse(TEhciPipe* pipe, const uint8_t* data, uint32_t length, uint32_t code) {
    if (gathered(pipe, data, length, code)) identityResponse(pipe, data, length, code);
}

void ehciSaveIdentity(TEhciInstance* e) {
    TRACE(kTrc, "ehci: Save own session identity");
    e->sessionIdentity[0] = e->pipes.identity ? e->pipes.identity->id : 0;
    e->sessionIdentity[1] = e->pipes.extra ? e->pipes.extra->id : 0;
    e->sessionIdentity[2] = e->pipes.loopback ? e->pipes.loopback->id : 0;
    std::memcpy(e->sessionIdentity + 4, "ELMI", 4);
    ehciSetParam(e->pipes.admin, 0x01, e->sessionIdentity, sizeof e->sessionIdentity, kAdmSaved);
}

namespace {

// After a reset the secure elements go back to the modes they had, one per pass: the controller
// lost them, and the answer of each request continues the completion.
bool reinitNextSe(TEhciInstance* e) {
    if (!(e->flags & EHCI_F_REINIT) || !e->hooks.secureHandler) return false;
    while (e->seReinitIndex < std::size(e->seRecords)) {
        const uint32_t index = e->seReinitIndex++;
        TNfcInfoSE& se = e->seRecords[index];
        if (!se.handle || !se.mode) continue;
        TRACE(kTrc, "ehci: Reinit SE #%d", static_cast<int>(index));
        const uint32_t code = se.mode == 1 ? 0x8008 : 0x8009;
        se.mode = 0;
        e->seReinitPending = true;
        e->flags |= EHCI_F_IO_PENDING;
        e->currentSe = &se;
        e->hooks.secureHandler(e, code, &se, nullptr, 0);
        return true;
    }
    return false;
}

}  // namespace

bool ehciSeReinitAnswered(TEhciInstance* e) {
    if (!e->seReinitPending) return false;
    e->seReinitPending = false;
    e->flags &= ~EHCI_F_IO_PENDING;
    ehciInitCompleted(e);
    return true;
}

void ehciInitCompleted(TEhciInstance* e) {
    if (reinitNextSe(e)) return;
    e->flags &= ~(EHCI_F_INIT | EHCI_F_REINIT);
    e->state = 34;
    e->listenMask = e->listenStopMask = e->pendingMask = 0;
    TRACE(kTrc, "ehci: ETSI HCI initialization completed in %d ms", static_cast<int>(elapsed(e)));
    e->capabilities->supportedMask = e->supportedMask;
    struct Default {
        TEhciPipe* TEhciPipeNames::*pipe;
        uint32_t ms;
    };
    constexpr Default kDefaults[] = {{&TEhciPipeNames::iso15693, 1236}, {&TEhciPipeNames::readerA, 309},
                                     {&TEhciPipeNames::readerB, 2473}, {&TEhciPipeNames::felica, 309},
                                     {&TEhciPipeNames::jewel, 77}};
    for (const Default& d : kDefaults)
        if (TEhciPipe* pipe = e->pipes.*(d.pipe)) pipe->timeout = d.ms;
    ehciUp(e, EV_EHCI_INIT_DONE, e->capabilities, 0);
}

void ehciInitFailed(TEhciInstance* e, uint32_t code) {
    TRACE(kErr, "ehci: ETSI HCI initialization failed ! in %d ms", static_cast<int>(elapsed(e)));
    e->flags &= ~(EHCI_F_INIT | EHCI_F_REINIT);
    e->supportedMask = 0;
    e->state = 0;
    e->failure = static_cast<uint16_t>(code ? code : EHCI_CAUSE_FAILED);
    ehciUp(e, EV_EHCI_INIT_DONE, e->capabilities, code);
}
