// Where a link's connection procedures begin: a checked PDU for a link, and a data request
// waiting on a connected link. The procedures themselves (CONNECT/CC, I-frames and their
// acknowledgements, DISC/DM) answer here as they are built; until then such a PDU is traced
// and the request stays queued on its link.
#include "llcp/llcplm.h"
#include "util/trace.h"

void llcpLinkReceive(TLlcp*, TLlcpLink* link, const LlcpPdu& pdu) {
    TRACE(LLCP_TRACE, "LLCP: %s for link %d (sSAP 0x%X dSAP 0x%X) in state %d", llcpPtypeName(pdu.header.ptype),
          llcpLinkIndex(link), link->localSap, link->remoteSap, static_cast<int>(link->state));
}

void llcpLinkSendData(TLlcp*, TLlcpLink* link) {
    TRACE(LLCP_TRACE, "LLCP: link %d holds %d data requests", llcpLinkIndex(link), link->pending.count);
}

void llcpLinkAccepted(TLlcp*, TLlcpLink* link) {
    TRACE(LLCP_TRACE, "LLCP: link %d accepted by its application", llcpLinkIndex(link));
}
