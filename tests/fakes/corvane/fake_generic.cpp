// The exports whose fake only logs its arguments and answers the scripted result.
#include "fake_exports.h"

CORVANE_API DWORD debugSetFlags(DWORD flags) {
    return fakeCall<DWORD>("debugSetFlags", flags);
}

CORVANE_API DWORD debugGetFlags(void) {
    return fakeCall<DWORD>("debugGetFlags");
}

CORVANE_API DWORD debugSetL1Flags(DWORD flags) {
    return fakeCall<DWORD>("debugSetL1Flags", flags);
}

CORVANE_API DWORD debugGetL1Flags(void) {
    return fakeCall<DWORD>("debugGetL1Flags");
}

CORVANE_API NfcApiStatus nfcInitializeEx(WORD controllerCount, const char* const* configurations) {
    return fakeCall<NfcApiStatus>("nfcInitializeEx", controllerCount, configurations);
}

CORVANE_API NfcApiStatus nfcCreateEx(WORD controllerIndex, void* context, TNfcEventCallback callback, NfcHandle* hNfc) {
    return fakeCall<NfcApiStatus>("nfcCreateEx", controllerIndex, context, callback, hNfc);
}

CORVANE_API NfcApiStatus nfcSetReaderTimeout(NfcHandle hNfc, DWORD timeoutMs, DWORD mask) {
    return fakeCall<NfcApiStatus>("nfcSetReaderTimeout", hNfc, timeoutMs, mask);
}

CORVANE_API NfcApiStatus nfcConnectTag(NfcListenerHandle hListener, WORD shareMode) {
    return fakeCall<NfcApiStatus>("nfcConnectTag", hListener, shareMode);
}

CORVANE_API NfcApiStatus nfcDisconnectTag(NfcListenerHandle hListener) {
    return fakeCall<NfcApiStatus>("nfcDisconnectTag", hListener);
}

CORVANE_API NfcApiStatus nfcFormat(NfcListenerHandle hListener, DWORD unused1, DWORD unused2) {
    return fakeCall<NfcApiStatus>("nfcFormat", hListener, unused1, unused2);
}

CORVANE_API NfcApiStatus nfcFormatNdef(NfcListenerHandle hListener, DWORD ndefSize) {
    return fakeCall<NfcApiStatus>("nfcFormatNdef", hListener, ndefSize);
}

CORVANE_API NfcApiStatus nfcMakeReadOnly(NfcListenerHandle hListener) {
    return fakeCall<NfcApiStatus>("nfcMakeReadOnly", hListener);
}

CORVANE_API NfcApiStatus nfcSelectTag(NfcListenerHandle hListener, const BYTE* data, WORD length) {
    return fakeCall<NfcApiStatus>("nfcSelectTag", hListener, data, length);
}

CORVANE_API NfcApiStatus nfcCheckTag(NfcListenerHandle hListener) {
    return fakeCall<NfcApiStatus>("nfcCheckTag", hListener);
}

CORVANE_API NfcApiStatus nfcSecureSetMode(NfcHandle hNfc, NfcSecureHandle hSecure, DWORD mode) {
    return fakeCall<NfcApiStatus>("nfcSecureSetMode", hNfc, hSecure, mode);
}

CORVANE_API NfcApiStatus nfcSecureSetBatteryMode(NfcHandle hNfc, NfcSecureHandle hSecure, BOOL on) {
    return fakeCall<NfcApiStatus>("nfcSecureSetBatteryMode", hNfc, hSecure, on);
}

CORVANE_API NfcApiStatus nfcSecureClose(NfcSecureConnectionHandle hSecureConnection) {
    return fakeCall<NfcApiStatus>("nfcSecureClose", hSecureConnection);
}

CORVANE_API NfcApiStatus nfcSecureGetATR(NfcSecureConnectionHandle hSecureConnection, BYTE* buffer, WORD* length) {
    return fakeCall<NfcApiStatus>("nfcSecureGetATR", hSecureConnection, buffer, length);
}

CORVANE_API NfcApiStatus nfcSecureSetTimeout(NfcHandle hNfc, NfcSecureHandle hSecure, DWORD timeoutMs) {
    return fakeCall<NfcApiStatus>("nfcSecureSetTimeout", hNfc, hSecure, timeoutMs);
}

CORVANE_API NfcApiStatus nfcSecureAddRoutingEntries(NfcHandle hNfc, const TNfcRoutingEntry* entries, DWORD count) {
    return fakeCallWithBuffer<NfcApiStatus>("nfcSecureAddRoutingEntries",
                                            fakeBytes(entries, entries ? count * sizeof *entries : 0), hNfc, entries, count);
}

CORVANE_API NfcApiStatus nfcSecureGetRoutingEntries(NfcHandle hNfc, TNfcRoutingEntry* entries, DWORD* size) {
    return fakeCall<NfcApiStatus>("nfcSecureGetRoutingEntries", hNfc, entries, size);
}

CORVANE_API NfcApiStatus nfcSecureClearRoutingEntries(NfcHandle hNfc) {
    return fakeCall<NfcApiStatus>("nfcSecureClearRoutingEntries", hNfc);
}

CORVANE_API NfcApiStatus nfcInitFirmwareDownload(TNfcDownloadRecord* record, const char* configuration) {
    return fakeCall<NfcApiStatus>("nfcInitFirmwareDownload", record, configuration);
}

CORVANE_API NfcApiStatus nfcP2PListenRequestEx(NfcHandle hNfc, void* context, TNfcEventCallback callback, DWORD mode, DWORD maxConnections, DWORD window, DWORD miu, BYTE sap, const char* serviceName, P2pLinkHandle* hListenServer) {
    return fakeCall<NfcApiStatus>("nfcP2PListenRequestEx", hNfc, context, callback, mode, maxConnections, window, miu, sap, serviceName, hListenServer);
}

CORVANE_API NfcApiStatus nfcP2POpenCLSocket(NfcHandle hNfc, void* context, TNfcEventCallback callback, BYTE sap, P2pLinkHandle* hSocket) {
    return fakeCall<NfcApiStatus>("nfcP2POpenCLSocket", hNfc, context, callback, sap, hSocket);
}

CORVANE_API NfcApiStatus nfcP2PCloseCLSocket(P2pLinkHandle hSocket) {
    return fakeCall<NfcApiStatus>("nfcP2PCloseCLSocket", hSocket);
}

CORVANE_API NfcApiStatus nfcP2PDisconnectRequest(P2pLinkHandle hConnection) {
    return fakeCall<NfcApiStatus>("nfcP2PDisconnectRequest", hConnection);
}

CORVANE_API NfcApiStatus nfcP2PDataRequestTo(P2pLinkHandle hSocket, BYTE destinationSap, const BYTE* data, DWORD length) {
    return fakeCall<NfcApiStatus>("nfcP2PDataRequestTo", hSocket, destinationSap, data, length);
}

CORVANE_API NfcApiStatus nfcP2PDataResponse(P2pLinkHandle hConnection) {
    return fakeCall<NfcApiStatus>("nfcP2PDataResponse", hConnection);
}

CORVANE_API NfcApiStatus nfcP2PSdpRequest(NfcHandle hNfc, const char* serviceName, BYTE* sap) {
    return fakeCall<NfcApiStatus>("nfcP2PSdpRequest", hNfc, serviceName, sap);
}

CORVANE_API NfcApiStatus snepGet(SnepClientHandle hClient, const BYTE* request, DWORD length, BYTE* output, DWORD* acceptableLength) {
    return fakeCall<NfcApiStatus>("snepGet", hClient, request, length, output, acceptableLength);
}

CORVANE_API NfcApiStatus snepTransfer(SnepClientHandle hClient, TSnepTransferEntry* entries, DWORD count) {
    return fakeCall<NfcApiStatus>("snepTransfer", hClient, entries, count);
}

CORVANE_API NfcApiStatus snepServerSetFlag(SnepServerHandle hServer, DWORD flag) {
    return fakeCall<NfcApiStatus>("snepServerSetFlag", hServer, flag);
}

CORVANE_API NfcApiStatus snepSendResponse(SnepServerHandle hServer, BYTE code, const BYTE* ndef, DWORD length) {
    return fakeCall<NfcApiStatus>("snepSendResponse", hServer, code, ndef, length);
}

CORVANE_API NfcApiStatus snepStopServer(SnepServerHandle hServer) {
    return fakeCall<NfcApiStatus>("snepStopServer", hServer);
}

CORVANE_API NfcApiStatus snepReleaseServer(SnepServerHandle hServer) {
    return fakeCall<NfcApiStatus>("snepReleaseServer", hServer);
}

CORVANE_API DWORD nppPush(NfcListenerHandle hListen, DWORD miu, TNppCallback callback, void* context, const TNppEntry* entries, DWORD count, BOOL asynchronous) {
    return fakeCall<DWORD>("nppPush", hListen, miu, callback, context, entries, count, asynchronous);
}

CORVANE_API DWORD nppStopServer(NppServerHandle hServer) {
    return fakeCall<DWORD>("nppStopServer", hServer);
}

CORVANE_API DWORD nppReleaseServer(NppServerHandle hServer) {
    return fakeCall<DWORD>("nppReleaseServer", hServer);
}

CORVANE_API NfcApiStatus handoverConnect(NfcListenerHandle hListen, NfcHandle hNfc, HandoverClientHandle* hClient, void* context, THandoverCallback callback, BOOL asynchronous) {
    return fakeCall<NfcApiStatus>("handoverConnect", hListen, hNfc, hClient, context, callback, asynchronous);
}

CORVANE_API NfcApiStatus handoverSendRequest(NfcListenerHandle hListen, NfcHandle hNfc, const BYTE* request, DWORD length, BYTE* response, WORD* responseLength) {
    return fakeCall<NfcApiStatus>("handoverSendRequest", hListen, hNfc, request, length, response, responseLength);
}

CORVANE_API NfcApiStatus handoverSendRequest_Async(HandoverClientHandle hClient, const BYTE* request, DWORD length) {
    return fakeCall<NfcApiStatus>("handoverSendRequest_Async", hClient, request, length);
}

CORVANE_API BOOL handoverStartServer(HandoverServerHandle* hServer, NfcHandle hNfc, void* context, THandoverCallback callback) {
    return fakeCall<BOOL>("handoverStartServer", hServer, hNfc, context, callback);
}

CORVANE_API BOOL handoverSendSelect(HandoverServerHandle hServer, const BYTE* select, DWORD length) {
    return fakeCall<BOOL>("handoverSendSelect", hServer, select, length);
}

CORVANE_API BOOL handoverReleaseServer(HandoverServerHandle hServer) {
    return fakeCall<BOOL>("handoverReleaseServer", hServer);
}

CORVANE_API NdefStatus ndefCreateMessageEx(TNdefRecordInfo** records, uint32_t count, uint8_t* buffer, uint32_t* length) {
    return fakeCall<NdefStatus>("ndefCreateMessageEx", records, count, buffer, length);
}

CORVANE_API NdefStatus ndefCreateMessage(TNdefRecordInfo* record, uint8_t* buffer, uint32_t* length) {
    return fakeCall<NdefStatus>("ndefCreateMessage", record, buffer, length);
}

CORVANE_API NdefStatus ndefCreateAbsoluteUriMessage(const char* uri, const uint8_t* payload, uint32_t payloadLength, uint8_t* buffer, uint32_t* length) {
    return fakeCall<NdefStatus>("ndefCreateAbsoluteUriMessage", uri, payload, payloadLength, buffer, length);
}

CORVANE_API NdefStatus ndefCreateExternalTypeMessage(const char* type, const uint8_t* payload, uint32_t payloadLength, uint8_t* buffer, uint32_t* length) {
    return fakeCall<NdefStatus>("ndefCreateExternalTypeMessage", type, payload, payloadLength, buffer, length);
}

CORVANE_API NdefStatus ndefCreateUnknownTypeMessage(const uint8_t* payload, uint32_t payloadLength, uint8_t* buffer, uint32_t* length) {
    return fakeCall<NdefStatus>("ndefCreateUnknownTypeMessage", payload, payloadLength, buffer, length);
}

CORVANE_API uint32_t ndefGetNumberOfRecords(const uint8_t* data, uint32_t length) {
    return fakeCall<uint32_t>("ndefGetNumberOfRecords", data, length);
}

CORVANE_API NdefStatus ndefGetText(const uint8_t* data, uint32_t length, uint32_t index, char* text, uint32_t* textLength, uint32_t* encoding, char* language, uint32_t* languageLength, uint32_t* level) {
    return fakeCall<NdefStatus>("ndefGetText", data, length, index, text, textLength, encoding, language, languageLength, level);
}

CORVANE_API NdefStatus ndefGetUri(const uint8_t* data, uint32_t length, uint32_t index, char* uri, uint32_t* uriLength, uint32_t* level) {
    return fakeCall<NdefStatus>("ndefGetUri", data, length, index, uri, uriLength, level);
}

CORVANE_API NdefStatus ndefGetAction(const uint8_t* data, uint32_t length, uint32_t index, uint8_t* action, uint32_t* level) {
    return fakeCall<NdefStatus>("ndefGetAction", data, length, index, action, level);
}

CORVANE_API NdefStatus ndefGetVCard(const uint8_t* data, uint32_t length, uint32_t index, uint8_t* buffer, uint32_t* bufferLength, uint32_t* level) {
    return fakeCall<NdefStatus>("ndefGetVCard", data, length, index, buffer, bufferLength, level);
}

CORVANE_API NdefStatus ndefGetPicture(const uint8_t* data, uint32_t length, uint32_t index, uint8_t* buffer, uint32_t* bufferLength, char* mimeType, uint32_t* mimeTypeLength, uint32_t* level) {
    return fakeCall<NdefStatus>("ndefGetPicture", data, length, index, buffer, bufferLength, mimeType, mimeTypeLength, level);
}

CORVANE_API NdefStatus ndefGetExternal(const uint8_t* data, uint32_t length, uint32_t index, char* type, uint32_t* typeLength, uint8_t* payload, uint32_t* payloadLength, uint32_t* level) {
    return fakeCall<NdefStatus>("ndefGetExternal", data, length, index, type, typeLength, payload, payloadLength, level);
}

CORVANE_API NdefStatus ndefGetUnknown(const uint8_t* data, uint32_t length, uint32_t index, uint8_t* buffer, uint32_t* bufferLength, uint32_t* level) {
    return fakeCall<NdefStatus>("ndefGetUnknown", data, length, index, buffer, bufferLength, level);
}

CORVANE_API NdefStatus ndefCreateBluetoothSSP(const TNdefBtSspInfo* info, const uint8_t* id, uint32_t idLength, uint8_t* buffer, uint32_t* length) {
    return fakeCall<NdefStatus>("ndefCreateBluetoothSSP", info, id, idLength, buffer, length);
}

CORVANE_API NdefStatus ndefCreateWifiSimpleConfig(const TNdefWifiInfo* info, const uint8_t* id, uint32_t idLength, uint8_t* buffer, uint32_t* length) {
    return fakeCall<NdefStatus>("ndefCreateWifiSimpleConfig", info, id, idLength, buffer, length);
}

CORVANE_API NdefStatus ndefExtractBluetoothSsp(const uint8_t* payload, uint32_t length, TNdefBtSspInfo* info) {
    return fakeCall<NdefStatus>("ndefExtractBluetoothSsp", payload, length, info);
}

CORVANE_API NdefStatus ndefExtractWifiSimpleConfig(const uint8_t* payload, uint32_t length, TNdefWifiInfo* info) {
    return fakeCall<NdefStatus>("ndefExtractWifiSimpleConfig", payload, length, info);
}

CORVANE_API NdefStatus ndefStartHandoverRequest(TNdefHandoverBuilder* builder, uint8_t* buffer, uint32_t capacity, uint16_t random) {
    return fakeCall<NdefStatus>("ndefStartHandoverRequest", builder, buffer, capacity, random);
}

CORVANE_API NdefStatus ndefStartHandoverSelect(TNdefHandoverBuilder* builder, uint8_t* buffer, uint32_t capacity) {
    return fakeCall<NdefStatus>("ndefStartHandoverSelect", builder, buffer, capacity);
}

CORVANE_API NdefStatus ndefAddAlternativeCarrier(TNdefHandoverBuilder* builder, uint32_t powerState, const uint8_t* carrierRecord, uint32_t carrierLength) {
    return fakeCall<NdefStatus>("ndefAddAlternativeCarrier", builder, powerState, carrierRecord, carrierLength);
}

CORVANE_API NdefStatus ndefAddAuxiliaryData(TNdefHandoverBuilder* builder, const uint8_t* auxRecord, uint32_t auxLength) {
    return fakeCall<NdefStatus>("ndefAddAuxiliaryData", builder, auxRecord, auxLength);
}

CORVANE_API NdefStatus ndefAddBluetoothSSPRecord(TNdefHandoverBuilder* builder, const TNdefBtSspInfo* info, uint32_t powerState) {
    return fakeCall<NdefStatus>("ndefAddBluetoothSSPRecord", builder, info, powerState);
}

CORVANE_API NdefStatus ndefAddWiFiRecord(TNdefHandoverBuilder* builder, const TNdefWifiInfo* info, uint32_t powerState) {
    return fakeCall<NdefStatus>("ndefAddWiFiRecord", builder, info, powerState);
}

CORVANE_API NdefStatus ndefFinalizeHandoverMessage(TNdefHandoverBuilder* builder, uint32_t* length) {
    return fakeCall<NdefStatus>("ndefFinalizeHandoverMessage", builder, length);
}

CORVANE_API NdefStatus ndefCreateHandoverRequest(const TNdefBtSspInfo* bt, uint32_t btPowerState, const TNdefWifiInfo* wifi, uint32_t wifiPowerState, uint16_t random, uint8_t* buffer, uint32_t* length) {
    return fakeCall<NdefStatus>("ndefCreateHandoverRequest", bt, btPowerState, wifi, wifiPowerState, random, buffer, length);
}

CORVANE_API NdefStatus ndefCreateHandoverRequestBT(const TNdefBtSspInfo* bt, uint32_t powerState, uint16_t random, uint8_t* buffer, uint32_t* length) {
    return fakeCall<NdefStatus>("ndefCreateHandoverRequestBT", bt, powerState, random, buffer, length);
}

CORVANE_API NdefStatus ndefCreateHandoverRequestWiFi(const TNdefWifiInfo* wifi, uint32_t powerState, uint16_t random, uint8_t* buffer, uint32_t* length) {
    return fakeCall<NdefStatus>("ndefCreateHandoverRequestWiFi", wifi, powerState, random, buffer, length);
}

CORVANE_API NdefStatus ndefCreateHandoverSelect(const TNdefBtSspInfo* bt, uint32_t btPowerState, const TNdefWifiInfo* wifi, uint32_t wifiPowerState, const TNdefHandoverError* error, uint8_t* buffer, uint32_t* length) {
    return fakeCall<NdefStatus>("ndefCreateHandoverSelect", bt, btPowerState, wifi, wifiPowerState, error, buffer, length);
}

CORVANE_API NdefStatus ndefCreateHandoverSelectBT(const TNdefBtSspInfo* bt, uint32_t powerState, const TNdefHandoverError* error, uint8_t* buffer, uint32_t* length) {
    return fakeCall<NdefStatus>("ndefCreateHandoverSelectBT", bt, powerState, error, buffer, length);
}

CORVANE_API NdefStatus ndefCreateHandoverSelectWiFi(const TNdefWifiInfo* wifi, uint32_t powerState, const TNdefHandoverError* error, uint8_t* buffer, uint32_t* length) {
    return fakeCall<NdefStatus>("ndefCreateHandoverSelectWiFi", wifi, powerState, error, buffer, length);
}

CORVANE_API NdefStatus ndefCreateHandoverInitiate(const TNdefBtSspInfo* bt, uint32_t btPowerState, const TNdefWifiInfo* wifi, uint32_t wifiPowerState, uint8_t* buffer, uint32_t* length, uint32_t flag) {
    return fakeCall<NdefStatus>("ndefCreateHandoverInitiate", bt, btPowerState, wifi, wifiPowerState, buffer, length, flag);
}

CORVANE_API NdefStatus ndefCreateHandoverCapabilities(const TNdefBtSspInfo* bt, uint32_t btPowerState, const TNdefWifiInfo* wifi, uint32_t wifiPowerState, uint8_t* buffer, uint32_t* length) {
    return fakeCall<NdefStatus>("ndefCreateHandoverCapabilities", bt, btPowerState, wifi, wifiPowerState, buffer, length);
}

CORVANE_API NdefStatus ndefCreateHandoverRequestMediator(uint16_t random, uint8_t* buffer, uint32_t* length) {
    return fakeCall<NdefStatus>("ndefCreateHandoverRequestMediator", random, buffer, length);
}
