// Exports of the secure-element family that hold a wired connection to an element: open, close,
// APDU exchange and its ATR. A connection handle is valid while it is in the library's list.
#include <algorithm>
#include <cstring>
#include <new>

#include "api/nfcapi_ioctl.h"
#include "api/nfcapi_request.h"
#include "api/nfcapi_secure.h"
#include "core/nfaceregistry.h"
#include "util/dlqueue.h"
#include "util/trace.h"

constexpr size_t kAtrMax = 64;

struct TNfcSecureConnection {
    dlQueueNode link;
    TNfcApiInstance* owner;
    NfcSecureHandle hSecure;
    BYTE atr[kAtrMax];
    uint16_t atrLength;
};

namespace {

dlQueue& connections() {
    static dlQueue list;
    static const bool made = (list.lock.create(), true);
    (void)made;
    return list;
}

bool listed(const TNfcSecureConnection* connection) {
    for (const dlQueueNode* node = connections().head; node; node = node->next)
        if (node == &connection->link) return true;
    return false;
}

// What an exchange needs of a connection, copied under the list's lock: a close may free the
// connection as soon as the lock is left.
struct Peer {
    TNfcApiInstance* owner;
    NfcSecureHandle hSecure;
};

bool peerOf(const TNfcSecureConnection* connection, Peer* peer) {
    PlatLockGuard g(connections().lock);
    if (!connection || !listed(connection)) {
        TRACE(TRC_ERROR, "! invalid secure connection %p", static_cast<const void*>(connection));
        return false;
    }
    *peer = Peer{connection->owner, connection->hSecure};
    return true;
}

NfcApiStatus openConnection(NfcHandle hNfc, NfcSecureHandle hSecure, NfcSecureConnectionHandle* hSecureConnection) {
    const NfcapiHold held = nfcapiHoldApp(hNfc);
    TNfcApiInstance* instance = held.get();
    if (!instance) return nfcStatusInvalidHandle;
    if (!hSecureConnection) {
        TRACE(TRC_ERROR, "! nfcSecureOpen(), no room for the connection handle");
        return nfcStatusBadParameter;
    }
    *hSecureConnection = nullptr;
    if (!nfcapiSecureKnown(hSecure)) return nfcStatusInvalidHandle;
    auto* connection = new (std::nothrow) TNfcSecureConnection{};
    if (!connection) return nfcStatusNoResources;
    connection->owner = instance;
    connection->hSecure = hSecure;
    uint16_t atrLength = 0;
    const NfcApiStatus status = nfcapiIoControl(
        instance, {NFC_IOCTL_SE_OPEN, hSecure, nullptr, 0, connection->atr, kAtrMax, 0}, &atrLength);
    // Listed also when the open failed: the caller closes it either way.
    PlatLockGuard g(connections().lock);
    connection->atrLength = status == nfcStatusOk ? atrLength : 0;
    dlQueueAddTail(&connections(), &connection->link);
    *hSecureConnection = connection;
    return status;
}

NfcApiStatus closeConnection(NfcSecureConnectionHandle hSecureConnection) {
    Peer peer{};
    {
        PlatLockGuard g(connections().lock);
        if (!peerOf(hSecureConnection, &peer)) return nfcStatusInvalidHandle;
        dlRemove(&hSecureConnection->link, &connections());
    }
    delete hSecureConnection;
    // The application may have gone before its connection: there is nobody left to send for.
    const NfcapiHold held = nfcapiHoldApp(peer.owner);
    TNfcApiInstance* instance = held.get();
    if (!instance) return nfcStatusInvalidHandle;
    return nfcapiIoControl(instance, {NFC_IOCTL_SE_CLOSE, peer.hSecure, nullptr, 0, nullptr, 0, 0}, nullptr);
}

NfcApiStatus exchange(NfcSecureConnectionHandle hSecureConnection, const BYTE* apdu, WORD length, BYTE* output,
                      WORD* outputLength) {
    Peer peer{};
    if (!peerOf(hSecureConnection, &peer)) return nfcStatusInvalidHandle;
    if (const NfcApiStatus status = nfcapiCheckPduBuffers(apdu, output, outputLength); status != nfcStatusOk)
        return status;
    const NfcapiHold held = nfcapiHoldApp(peer.owner);
    TNfcApiInstance* instance = held.get();
    if (!instance) return nfcStatusInvalidHandle;
    uint16_t timeoutMs;
    {
        PlatLockGuard g(instance->lock);
        timeoutMs = static_cast<uint16_t>(instance->secureTimeout);
    }
    const NfcApiStatus status = nfcapiIoControl(
        instance, {NFC_IOCTL_SE_EXCHANGE, peer.hSecure, apdu, length, output, *outputLength, timeoutMs}, outputLength);
    return status == nfcStatusOk || status == nfcStatusPending ? status : NfcApiStatus{nfcStatusFailed};
}

NfcApiStatus getAtr(NfcSecureConnectionHandle hSecureConnection, BYTE* buffer, WORD* length) {
    PlatLockGuard g(connections().lock);
    Peer peer{};
    if (!peerOf(hSecureConnection, &peer)) return nfcStatusInvalidHandle;
    if (!buffer || !length) {
        TRACE(TRC_ERROR, "! nfcSecureGetATR(), buffer %p or length pointer %p invalid", static_cast<void*>(buffer),
              static_cast<void*>(length));
        return nfcStatusBadParameter;
    }
    const uint16_t atrLength = hSecureConnection->atrLength;
    // What fits is delivered, and the length tells how much that was.
    const uint16_t delivered = std::min(*length, atrLength);
    std::memcpy(buffer, hSecureConnection->atr, delivered);
    *length = delivered;
    if (delivered < atrLength) return nfcStatusBufferTooSmall;
    if (debugOn(TRC_ERROR)) debugDump(buffer, "ATR", delivered);
    return nfcStatusOk;
}

} // namespace

NfcApiStatus nfcSecureOpen(NfcHandle hNfc, NfcSecureHandle hSecure, NfcSecureConnectionHandle* hSecureConnection) {
    TRACE(TRC_ENTER_EXIT, "nfcSecureOpen() enter, hNfc=%p, hSecure=%p", static_cast<void*>(hNfc),
          reinterpret_cast<void*>(static_cast<uintptr_t>(hSecure)));
    const NfcApiStatus status = openConnection(hNfc, hSecure, hSecureConnection);
    TRACE(TRC_ENTER_EXIT, "nfcSecureOpen() exit, status=0x%X, hNfcConnection=%p", status,
          hSecureConnection ? static_cast<void*>(*hSecureConnection) : nullptr);
    return status;
}

NfcApiStatus nfcSecureClose(NfcSecureConnectionHandle hSecureConnection) {
    TRACE(TRC_ENTER_EXIT, "nfcSecureClose() enter, hSecureConnection=%p", static_cast<void*>(hSecureConnection));
    return nfcapiExit("nfcSecureClose", closeConnection(hSecureConnection));
}

NfcApiStatus nfcSecureExchangePdu(NfcSecureConnectionHandle hSecureConnection, const BYTE* apdu, WORD length,
                                  BYTE* output, WORD* outputLength) {
    TRACE(TRC_ENTER_EXIT, "nfcSecureExchange() enter, hSecureConnection=%p", static_cast<void*>(hSecureConnection));
    const NfcApiStatus status = exchange(hSecureConnection, apdu, length, output, outputLength);
    if (outputLength && status != nfcStatusOk && status != nfcStatusPending) *outputLength = 0;
    TRACE(TRC_ENTER_EXIT, "nfcSecureExchange() exit, status=0x%X, output length=%d", status,
          outputLength ? *outputLength : 0);
    return status;
}

NfcApiStatus nfcSecureGetATR(NfcSecureConnectionHandle hSecureConnection, BYTE* buffer, WORD* length) {
    TRACE(TRC_ENTER_EXIT, "nfcSecureGetATR() enter, hSecureConnection=%p, buffer %p", static_cast<void*>(hSecureConnection),
          static_cast<void*>(buffer));
    return nfcapiExit("nfcSecureGetATR", getAtr(hSecureConnection, buffer, length));
}
