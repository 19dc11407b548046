// The secure-element records of the ETSI HCI instance: filled by the variant while the chip is
// set up, listed in the capability block, found by id and by handle.
#include <cstring>
#include <iterator>

#include "L1/common/nfcll_sehandle.h"
#include "L1/ehci/ehci.h"
#include "util/trace.h"

TNfcInfoSE* ehciSeAppend(TEhciInstance* e, uint32_t index, uint16_t caps, uint32_t extra, uint8_t id) {
    TNfcCapabilityBlock* block = e->capabilities;
    if (index >= std::size(e->seRecords) || block->secureElementCount >= NFC_MAX_SECURE_ELEMENTS) return nullptr;
    TNfcInfoSE& se = e->seRecords[index];
    // A record keeps its handle for the life of the instance, through every reset.
    const NfcSecureHandle handle = se.handle ? se.handle : nfcllNewSeHandle();
    se = TNfcInfoSE{handle, caps, 0, {extra, 0}, id};
    block->secureElements[block->secureElementCount++] = &se;
    return &se;
}

NfcSecureHandle ehciSeHandleById(const TEhciInstance* e, uint8_t id) {
    const TNfcCapabilityBlock* block = e->capabilities;
    for (uint8_t i = 0; i < block->secureElementCount; ++i)
        if (block->secureElements[i] && block->secureElements[i]->id == id) return block->secureElements[i]->handle;
    TRACE(NFCLL_TRC_ERROR, "! No secure element found with ID %d ", static_cast<int>(id));
    return 0;
}

TNfcInfoSE* ehciSeByHandle(TEhciInstance* e, NfcSecureHandle handle) {
    for (TNfcInfoSE& se : e->seRecords)
        if (handle != 0 && se.handle == handle) return &se;
    TRACE(NFCLL_TRC_ERROR, "ehci: ! cannot find secure element for hSecure=%p",
          reinterpret_cast<void*>(static_cast<uintptr_t>(handle)));
    return nullptr;
}
