// Exports of the secure-element family that manage the controller's listen-mode routing table.
#include <algorithm>

#include "api/nfcapi_ioctl.h"
#include "api/nfcapi_request.h"
#include "core/nfaceregistry.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kEntrySize = sizeof(TNfcRoutingEntry);
// The most bytes of whole entries one request carries: its lengths are 16 bits.
constexpr uint32_t kEntriesMax = UINT16_MAX / kEntrySize;

NfcApiStatus addEntries(NfcHandle hNfc, const TNfcRoutingEntry* entries, DWORD count) {
    const NfcapiHold held = nfcapiHoldApp(hNfc);
    TNfcApiInstance* instance = held.get();
    if (!instance) return nfcStatusInvalidHandle;
    if (!entries || count == 0) {
        TRACE(TRC_ERROR, "! nfcSecureAddRoutingEntries(), no entries (%p, %u)", static_cast<const void*>(entries), count);
        return nfcStatusBadParameter;
    }
    if (count > kEntriesMax) {
        // Sent, the length would wrap and the controller would get a cut table.
        TRACE(TRC_ERROR, "! nfcSecureAddRoutingEntries(), %u entries exceed the %u one request carries", count,
              kEntriesMax);
        return nfcStatusBadParameter;
    }
    return nfcapiIoControl(instance,
                           {NFC_IOCTL_ROUTING_ADD, 0, reinterpret_cast<const uint8_t*>(entries),
                            static_cast<uint16_t>(count * kEntrySize), nullptr, 0, 0},
                           nullptr);
}

NfcApiStatus getEntries(NfcHandle hNfc, TNfcRoutingEntry* entries, DWORD* size) {
    const NfcapiHold held = nfcapiHoldApp(hNfc);
    TNfcApiInstance* instance = held.get();
    if (!instance) return nfcStatusInvalidHandle;
    if (!entries || !size || *size == 0) {
        TRACE(TRC_ERROR, "! nfcSecureGetRoutingEntries(), no room (%p, %p)", static_cast<void*>(entries),
              static_cast<void*>(size));
        return nfcStatusBadParameter;
    }
    // A larger buffer offers what one answer can fill, in whole entries.
    const auto room = static_cast<uint16_t>(*size > UINT16_MAX ? kEntriesMax * kEntrySize : *size);
    uint16_t read = 0;
    const NfcApiStatus status = nfcapiIoControl(
        instance, {NFC_IOCTL_ROUTING_READ, 0, nullptr, 0, reinterpret_cast<uint8_t*>(entries), room, 0}, &read);
    if (status != nfcStatusPending) *size = read;
    return status;
}

NfcApiStatus clearEntries(NfcHandle hNfc) {
    const NfcapiHold held = nfcapiHoldApp(hNfc);
    TNfcApiInstance* instance = held.get();
    if (!instance) return nfcStatusInvalidHandle;
    return nfcapiIoControl(instance, {NFC_IOCTL_ROUTING_CLEAR, 0, nullptr, 0, nullptr, 0, 0}, nullptr);
}

} // namespace

NfcApiStatus nfcSecureAddRoutingEntries(NfcHandle hNfc, const TNfcRoutingEntry* entries, DWORD count) {
    TRACE(TRC_ENTER_EXIT, "%s enter, hNfc=%p,  %p, %d", "nfcSecureAddRoutingEntries", static_cast<void*>(hNfc),
          static_cast<const void*>(entries), static_cast<int>(count));
    return nfcapiExit("nfcSecureAddRoutingEntries", addEntries(hNfc, entries, count));
}

NfcApiStatus nfcSecureGetRoutingEntries(NfcHandle hNfc, TNfcRoutingEntry* entries, DWORD* size) {
    TRACE(TRC_ENTER_EXIT, "%s enter, hNfc=%p,  %p, %d", "nfcSecureGetRoutingEntries", static_cast<void*>(hNfc),
          static_cast<void*>(entries), size ? static_cast<int>(*size) : 0);
    return nfcapiExit("nfcSecureGetRoutingEntries", getEntries(hNfc, entries, size));
}

NfcApiStatus nfcSecureClearRoutingEntries(NfcHandle hNfc) {
    TRACE(TRC_ENTER_EXIT, "%s enter, hNfc=%p", "nfcSecureClearRoutingEntries", static_cast<void*>(hNfc));
    return nfcapiExit("nfcSecureClearRoutingEntries", clearEntries(hNfc));
}
