// Exports of the tag family that carry raw PDUs: an exchange that waits for the tag's answer,
// and the transmit that answers a reader in card emulation without waiting.
#include <algorithm>
#include <map>
#include <memory>
#include <new>

#include "api/nfcapi_request.h"
#include "api/nfcapi_tag.h"
#include "core/nfaceregistry.h"
#include "core/nfcmgr.h"
#include "os/os.h"
#include "util/trace.h"

namespace {

// The reader time-out that an exchange with a tag of the type waits for.
NfcapiReader readerOf(uint32_t tagType) {
    if (tagType & TAG_FELICA_TYPE3) return READER_FELICA;
    if (tagType & TAG_15693) return READER_15693;
    if (tagType & TAG_JEWEL_TYPE1) return READER_JEWEL;
    if (tagType & TAG_14443B) return READER_14443B;
    return READER_DEFAULT;
}

uint32_t exchangeTimeout(TNfcApiInstance* instance) {
    PlatLockGuard g(instance->lock);
    return instance->readerTimeouts[readerOf(instance->tag.tagType)];
}

NfcApiStatus exchange(NfcListenerHandle hListener, const BYTE* pdu, WORD pduLength, BYTE* output, WORD* outputLength) {
    TNfcListener* listener = nullptr;
    NfcapiHold held;
    if (const NfcApiStatus status = nfcapiTagPrelude(hListener, &listener, &held); status != nfcStatusOk) return status;
    if (const NfcApiStatus status = nfcapiCheckPduBuffers(pdu, output, outputLength); status != nfcStatusOk)
        return status;
    TNfcApiInstance* instance = listener->owner;
    const uint16_t size = *outputLength;
    TnfcapiMsg message = nfaceMsgMake<NFACE_TRANSACTION_REQ>({&instance->io.transfer});
    uint16_t received = 0;
    const NfcApiStatus status = nfcapiTransferRequest(instance, &message, TNfaceTransfer{output, pdu, 0, pduLength, size},
                                                      exchangeTimeout(instance), &received);
    // Never more than the buffer took.
    if (status == nfcStatusOk) *outputLength = std::min(received, size);
    return status;
}

// A transmit returns before the stack reads its PDU: the stack reads a copy the library keeps,
// with a descriptor of its own that names no room for an answer. Each application keeps more
// copies than the stack can hold requests at once (every message element of the OS layer queued,
// the manager's parked requests and the one it handles).
struct TransmitCopy {
    TNfaceTransfer transfer{};
    std::unique_ptr<uint8_t[]> pdu;
};
constexpr size_t kTransmitsKept = 64;
static_assert(kTransmitsKept > OS_MESSAGE_ELEMENTS + NFCMAN_PARKED + 1);
struct TransmitCopies {
    std::unique_ptr<TransmitCopy> kept[kTransmitsKept];
    size_t next = 0;
};

PlatLock& copiesLock() {
    static PlatLock lock;
    static const bool made = (lock.create(), true);
    (void)made;
    return lock;
}

std::map<const TNfcApiInstance*, TransmitCopies>& copies() {
    static std::map<const TNfcApiInstance*, TransmitCopies> all;
    return all;
}

// Empty without memory.
TNfaceTransfer* keepCopy(const TNfcApiInstance* instance, const BYTE* pdu, WORD length) {
    auto copy = std::unique_ptr<TransmitCopy>(new (std::nothrow) TransmitCopy);
    if (!copy) return nullptr;
    copy->pdu.reset(new (std::nothrow) uint8_t[std::max<size_t>(length, 1)]);
    if (!copy->pdu) return nullptr;
    std::copy(pdu, pdu + length, copy->pdu.get());
    copy->transfer = TNfaceTransfer{nullptr, copy->pdu.get(), NFACE_TRANSFER_UNANSWERED, length, 0};
    PlatLockGuard g(copiesLock());
    auto& all = copies();
    // Applications that are gone get nothing more from the stack.
    std::erase_if(all, [](const auto& entry) { return !nfcapiInstanceLive(entry.first); });
    TransmitCopies& mine = all[instance];
    std::unique_ptr<TransmitCopy>& slot = mine.kept[mine.next++ % kTransmitsKept];
    slot = std::move(copy);
    return &slot->transfer;
}

NfcApiStatus transmit(NfcListenerHandle hListener, const BYTE* pdu, WORD length) {
    NfcapiHold held;
    TNfcListener* listener = nfcapiHoldListener(hListener, &held);
    if (!listener) return nfcStatusInvalidHandle;
    if (!pdu) {
        TRACE(TRC_ERROR, "! pvInputPdu pointer %p is not readable", static_cast<const void*>(pdu));
        return nfcStatusBadParameter;
    }
    const NfaceEntryTable* table = nfcapiEntryTable();
    if (!table) return nfcStatusBadParameter;
    TNfcApiInstance* instance = listener->owner;
    TNfaceTransfer* transfer = keepCopy(instance, pdu, length);
    if (!transfer) return nfcStatusNoResources;
    void* hApp;
    {
        PlatLockGuard g(instance->lock);
        hApp = instance->hApp;
    }
    TnfcapiMsg message = nfaceMsgMake<NFACE_TRANSACTION_REQ>({transfer});
    if (table->putMessage(hApp, &message) != nfcStatusOk) {
        TRACE(TRC_ERROR, "nfcapi: putMessage failed ! ");
        PlatLockGuard g(instance->lock);
        return instance->destroyed ? nfcStatusInvalidHandle : nfcStatusBadParameter;
    }
    return nfcStatusPending;
}

} // namespace

NfcApiStatus nfcExchangePdu(NfcListenerHandle hListener, const BYTE* pdu, WORD pduLength, BYTE* output,
                            WORD* outputLength) {
    TRACE(TRC_ENTER_EXIT, "nfcExchangePdu() enter, hListener=%p, pdu %p length %d, output buffer %p length %d",
          static_cast<void*>(hListener), static_cast<const void*>(pdu), pduLength, static_cast<void*>(output),
          outputLength ? *outputLength : 0);
    const NfcApiStatus status = exchange(hListener, pdu, pduLength, output, outputLength);
    if (outputLength && status != nfcStatusOk && status != nfcStatusPending) *outputLength = 0;
    TRACE(TRC_ENTER_EXIT, "nfcExchangePdu() exit, status=0x%X, length=%d", status, outputLength ? *outputLength : 0);
    return status;
}

NfcApiStatus nfcTransmitPdu(NfcListenerHandle hListener, const BYTE* pdu, WORD length) {
    TRACE(TRC_ENTER_EXIT, "nfcTransmitPdu() enter, hListener=%p, pdu %p length %d", static_cast<void*>(hListener),
          static_cast<const void*>(pdu), length);
    return nfcapiExit("nfcTransmitPdu", transmit(hListener, pdu, length));
}
