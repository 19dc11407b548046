// LLCP is not part of this build. Its task still starts, so that the stack serves tags and card
// emulation; whatever reaches it is refused with a trace, and the buffers that travel with such
// messages go back to their pools.
#include "llcp/llcp.h"

#include "core/nfcmgr.h"
#include "mm/mm.h"
#include "os/os_mem.h"
#include "transport/com.h"
#include "util/trace.h"

namespace {

uint16_t g_queue;

void releaseCarriedBuffer(const OsMessage& message) {
    if (message.command == NFCMAN_LLCP_SET_PARAMETER) {
        osBufferRelease(osMsgFields<TNfcmanSetParameterFields>(message).parameters);
    } else if (message.command == PH_DATA_IND) {
        const auto data = osMsgFields<PhDataFields>(message);
        if (data.flags & PH_DATA_OWNED) osBufferRelease(data.buffer);
    }
}

void llcpTask(void*) {
    OsMessage message{};
    if (osMessageReceive(g_queue, &message) != OS_OK) return;
    if (message.command != MM_LINK_PROTOCOL)
        TRACE(TRC_ERROR, "llcp: ! LLCP is not part of this build, message 0x%X from 0x%X refused",
              static_cast<unsigned>(message.command), static_cast<unsigned>(message.source));
    releaseCarriedBuffer(message);
}

int32_t llcpStart(void*, uint32_t moduleWord) {
    TRACE(TRC_API, "llcp: LLCP is not part of this build; peer-to-peer links are refused");
    return osTaskCreate(nullptr, &llcpTask, moduleWord, &g_queue) == OS_OK ? 0 : -1;
}

} // namespace

OsResult llcpRegister(uint16_t) { return osModuleRegister(NFCMAN_LLCP_QUEUE_NAME, 0, &llcpStart, nullptr, MM_TYPE_TASK); }
