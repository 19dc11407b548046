// P2P frames through layer 1: the frames from above are sent in fragments the driver can carry,
// one frame after the other; the fragments from below are put together into whole frames.
#include <algorithm>
#include <cstring>

#include "L1/common/nfcll_internal.h"
#include "os/os_mem.h"
#include "util/trace.h"

namespace {

constexpr char kSource[] = "..\\..\\src\\nfc\\L1\\common\\nfcll.c";

void releaseOwned(const TNfcllTransmit& tx) {
    if ((tx.flags & NFCLL_MSG_OWNS_BUFFER) && tx.buffer) osBufferRelease(tx.buffer);
}

TNfcllTransmit transmitOf(const OsMessage& message) {
    const auto f = nfcllMsgGet<PH_DATA_REQ>(message);
    return TNfcllTransmit{f.flags, f.offset, f.length, f.buffer, 0};
}

bool takeQueued(TNfcllContext* ll, TNfcllTransmit* tx) {
    if (ll->txCount == 0) return false;
    *tx = transmitOf(ll->txQueue[ll->txHead]);
    ll->txHead = static_cast<uint16_t>((ll->txHead + 1) % NFCLL_TX_QUEUE_MAX);
    --ll->txCount;
    return true;
}

void pushToDriver(TNfcllContext* ll, const uint8_t* data, uint16_t length) {
    if (ll->miniport.transactionRequest) ll->miniport.transactionRequest(ll, data, length, 0);
}

} // namespace

void nfcllHandleDataRequest(TNfcllContext* ll) {
    // Only a driver that chains small fragments itself carries frames beyond one receive buffer:
    // cut for any other, such a frame would reach the peer as several frames.
    const TNfcllTransmit frame = transmitOf(ll->message);
    if (!(ll->readerType & NFCLL_FAMILY_PN53X) && frame.length > NFCLL_RX_BUFFER_SIZE) {
        TRACE(NFCLL_TRC_ERROR, "nfcll: ! P2P frame of %d bytes refused, at most %d", static_cast<int>(frame.length),
              static_cast<int>(NFCLL_RX_BUFFER_SIZE));
        releaseOwned(frame);
        return;
    }
    if (ll->tx.buffer) {
        TRACE(NFCLL_TRC_P2P, "nfcllHandleDataRequest: Queue Busy");
        if (ll->txCount == NFCLL_TX_QUEUE_MAX) {
            TRACE(NFCLL_TRC_ERROR, "nfcll: ! P2P transmit queue full, frame dropped");
            releaseOwned(transmitOf(ll->message));
            return;
        }
        ll->txQueue[(ll->txHead + ll->txCount) % NFCLL_TX_QUEUE_MAX] = ll->message;
        ++ll->txCount;
        ++ll->hmQueued;
        return;
    }
    TRACE(NFCLL_TRC_P2P, "nfcllHandleDataRequest: Prepare Next Data");
    ll->tx = transmitOf(ll->message);
    nfcllPushNextP2PFragment(ll);
}

void nfcllPushNextP2PFragment(TNfcllContext* ll) {
    for (;;) {
        TNfcllTransmit& tx = ll->tx;
        if (tx.buffer && tx.sent < tx.length) {
            const uint16_t most = (ll->readerType & NFCLL_FAMILY_PN53X) ? NFCLL_FRAGMENT_PN53X : NFCLL_RX_BUFFER_SIZE;
            const uint16_t fragment = std::min<uint16_t>(static_cast<uint16_t>(tx.length - tx.sent), most);
            TRACE(NFCLL_TRC_P2P, "nfcllPushNextP2PFragment: request datalen=%d ", static_cast<int>(fragment));
            const uint8_t* data = tx.buffer + tx.offset + tx.sent;
            tx.sent = static_cast<uint16_t>(tx.sent + fragment);
            ++ll->hmFragments;
            pushToDriver(ll, data, fragment);
            return;
        }
        if (tx.buffer) {
            TRACE(NFCLL_TRC_P2P, "nfcllPushNextP2PFragment: release old buffer = %d ",
                  static_cast<int>(tx.flags & NFCLL_MSG_OWNS_BUFFER));
            releaseOwned(tx);
            tx = {};
        }
        if (!takeQueued(ll, &tx)) {
            TRACE(NFCLL_TRC_P2P, "nfcllPushNextP2PFragment: dsQueue empty ");
            tx = {};
            pushToDriver(ll, nullptr, 0);
            return;
        }
        TRACE(NFCLL_TRC_P2P, "nfcllPushNextP2PFragment: next buffer to begin");
    }
}

void nfcllPurgeTxQueue(TNfcllContext* ll) {
    if (ll->tx.buffer) {
        TRACE(NFCLL_TRC_P2P, "nfcllPurgeTxQueue: release old buffer ");
        releaseOwned(ll->tx);
    }
    TNfcllTransmit queued{};
    while (takeQueued(ll, &queued)) {
        TRACE(NFCLL_TRC_P2P, "nfcllPurgeTxQueue: next buffer to purge");
        releaseOwned(queued);
    }
    TRACE(NFCLL_TRC_P2P, "nfcllPurgeTxQueue: dsQueue empty ");
    ll->tx = {};
}

bool nfcllPrepareNewRxBuffer(TNfcllContext* ll) {
    void* buffer = nullptr;
    if (osBufferGet(ll->rxPool, NFCLL_RX_BUFFER_SIZE, &buffer, nullptr, nullptr) != OS_OK) {
        TRACE(NFCLL_TRC_ERROR, "nfcll: ! nfcllPrepareNewRxBuffer: no new buffer available!");
        return false;
    }
    ll->rx = TNfcllReceive{0, static_cast<uint8_t*>(buffer)};
    return true;
}

void nfcllStoreP2pRxData(TNfcllContext* ll, uint32_t length, const uint8_t* data, bool more) {
    TRACE(NFCLL_TRC_P2P, "nfcllStoreP2pRxData: datalen=%d more=%d", static_cast<int>(length), more ? 1 : 0);
    // An empty piece adds nothing, but when it is the last of a chained frame it ends that frame:
    // left open, the frame would take the next frame's bytes as its own.
    const bool endsFrame = length == 0 && !more && ll->rx.buffer && ll->rx.length > 0;
    if (!endsFrame && (length == 0 || !data)) return;
    if (!ll->rx.buffer && !nfcllPrepareNewRxBuffer(ll)) return;
    if (ll->rx.length + length > NFCLL_RX_BUFFER_SIZE) {
        // The fragments already kept belong to the refused frame: the next frame starts clean.
        DEBUG_BREAK(kSource);
        ll->rx.length = 0;
        return;
    }
    if (length) std::memcpy(ll->rx.buffer + ll->rx.length, data, length);
    ll->rx.length = static_cast<uint16_t>(ll->rx.length + length);
    if (more) {
        nfcllSendUs(ll, nfcllMsgMake<NFCLL_LLCP_TRIGGER_IND>(ll->queueWord));
        return;
    }
    TRACE(NFCLL_TRC_P2P, "nfcllStoreP2pRxData: send PH_DATA_IND");
    const TNfcllPhData frame{NFCLL_MSG_OWNS_BUFFER, 0, ll->rx.length, ll->rx.buffer};
    ll->rx = {};
    nfcllSendUsDeferrable(ll, nfcllMsgMake<PH_DATA_IND>(ll->queueWord, frame));
    nfcllPrepareNewRxBuffer(ll);
}
