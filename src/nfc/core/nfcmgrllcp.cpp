// The LLCP binding: the manager tells LLCP its neighbours, hands it the upper queue of layer 1
// while a P2P link runs, and relays the LLCP primitives between the applications and LLCP.
#include <cstring>

#include "core/nfcmgr.h"
#include "mm/mm.h"
#include "os/os_mem.h"
#include "util/trace.h"

namespace {

constexpr char kPrefix[] = "nfcman:";
constexpr uint32_t kGlobalPoolName = 0xF1;

} // namespace

bool nfcmanBindLlcp(TNfcManager* p) {
    if (osQueueFindByName(NFCMAN_LLCP_QUEUE_NAME, &p->llcpQueue) != OS_OK) {
        TRACE(TRC_ERROR, "%s ! Can't get LLCP queue id", kPrefix);
        return false;
    }
    OsMessage message{};
    message.command = MM_LINK_PROTOCOL;
    osMsgSetFields(message, MmLinkProtocolFields{p->ownQueue, p->l1Queue, 0, 0, 0, 0, 0, 0, 0});
    return nfcmanSendTo(p, p->llcpQueue, message);
}

void nfcmanLlcpSetParameter(TNfcManager* p, uint32_t tagType) {
    uint16_t pool = 0;
    void* buffer = nullptr;
    if (osPoolFindByName(kGlobalPoolName, &pool) != OS_OK ||
        osBufferGet(pool, sizeof(TNfcmanLlcpParameters), &buffer, nullptr, nullptr) != OS_OK) {
        TRACE(TRC_ERROR, "!nfcman_llcp: nfcmanSendDsSET_PARAMETER_REQ: no memory for command");
        return;
    }
    auto* parameters = static_cast<TNfcmanLlcpParameters*>(buffer);
    *parameters = TNfcmanLlcpParameters{};
    parameters->role = (tagType & ~NFCMAN_NDEF_LISTENER) == P2P_INITIATOR ? NFCMAN_LLCP_INITIATOR : NFCMAN_LLCP_TARGET;
    parameters->lto = 0;
    OsMessage message{};
    message.command = NFCMAN_LLCP_SET_PARAMETER;
    osMsgSetFields(message, TNfcmanSetParameterFields{parameters});
    if (!nfcmanSendTo(p, p->llcpQueue, message)) osBufferRelease(buffer);
}

void nfcmanLlcpDeviceResponse(TNfcManager* p, const TNfcTagInfo& device) {
    nfcmanSendTo(p, p->llcpQueue, nfcllMsgMake<NFCLL_DEVICE_RESP>(p->ownWord, {&device, 0}));
}

void nfcmanLlcpDeactivate(TNfcManager* p) {
    if (p->llcpQueue == 0) return;
    nfcmanSendTo(p, p->llcpQueue, nfcllMsgMake<DL_DEACT_REQ>(p->ownWord, {&p->device}));
}

void nfcmanLlcpForward(TNfcManager* p) {
    // Unchanged: LLCP copies the application index of the source word into its answers.
    if (p->llcpQueue == 0 || osMessageSend(p->llcpQueue, &p->msg) != OS_OK)
        TRACE(TRC_ERROR, "%s ! LLCP request 0x%X not forwarded", kPrefix, p->msg.command);
}

void nfcmanLlcpUpward(TNfcManager* p) {
    const int index = mmWordInstance(p->msg.source);
    TNfcmanApp* app = index >= 1 && index <= NFCMAN_APPS ? &p->apps[index - 1] : nullptr;
    if (!app || !app->inUse) {
        TRACE(TRC_ERROR, "%s ! LLCP message 0x%X for application %d, which is not registered", kPrefix,
              p->msg.command, index);
        return;
    }
    TnfcapiMsg message{};
    message.code = p->msg.command;
    message.length = NFACE_MESSAGE_MAX;
    message.request = p->msg.spare;
    static_assert(sizeof message.payload >= sizeof p->msg.fields);
    std::memcpy(message.payload, p->msg.fields, sizeof p->msg.fields);
    nfcmanDeliver(app->callback, app->userHandle, message);
}

void nfcmanSendUsQueue(TNfcManager* p, uint16_t queue) {
    nfcmanSendL1(p, nfcllMsgMake<NFCLL_US_QUEUE_REQ>(p->ownWord, {queue}));
}
