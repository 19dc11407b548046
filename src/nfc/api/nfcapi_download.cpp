// Export that starts the library in firmware-download mode: the caller gets the controller's
// transport and drives the download itself.
#include "api/nfcapi_init.h"
#include "api/nfcapi_request.h"
#include "core/nfaceregistry.h"
#include "util/trace.h"

namespace {

// The start-up hands over its record while it starts, valid during the call only.
void takeRecord(void* context, uint32_t event, const TNfcDownloadRecord* record) {
    if (event != NFCAPI_DOWNLOAD_READY || !record) return;
    *static_cast<TNfcDownloadRecord*>(context) = *record;
}

NfcApiStatus initFirmwareDownload(TNfcDownloadRecord* record, const char* configuration) {
    if (!record || !configuration) {
        TRACE(TRC_ERROR, "! nfcInitFirmwareDownload(), record %p or configuration missing", static_cast<void*>(record));
        return nfcStatusBadParameter;
    }
    *record = TNfcDownloadRecord{};
    NfaceEntryTable* table = nullptr;
    const NfcApiStatus status = nfaceOpen(configuration, &takeRecord, record, &table);
    nfcapiSetEntryTable(table);
    if (status != nfcStatusOk) return status;
    // Without FWDOWNLOAD the stack started as usual: nfcDone stops it.
    if (!record->transport.open) {
        TRACE(TRC_ERROR, "! nfcInitFirmwareDownload(), the stack did not start in download mode");
        return nfcStatusNotImplemented;
    }
    return nfcStatusOk;
}

} // namespace

NfcApiStatus nfcInitFirmwareDownload(TNfcDownloadRecord* record, const char* configuration) {
    TRACE(TRC_ENTER_EXIT, "nfcInitFirmwareDownload() enter <%s>", configuration ? configuration : "");
    return nfcapiExit("nfcInitFirmwareDownload", initFirmwareDownload(record, configuration));
}
