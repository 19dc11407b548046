// The exports whose fake does more than log: the library's life cycle, the handles it hands
// out, the records it fills and the callbacks it keeps for the reports of its thread.
#include <cstring>

#include "fake_exports.h"

namespace {

// Handles only need to be distinct and stable; nothing dereferences them.
char applicationToken, snepServerToken, nppServerToken, secureToken;

template <typename Handle>
void giveHandle(Handle* out, char& token, uint32_t result) {
    if (out) *out = result == 0 ? reinterpret_cast<Handle>(&token) : nullptr;
}

void keep(FakeTarget target, void* callback, void* context) {
    FakeCorvane::instance().setCallback(target, callback, context);
}

} // namespace

CORVANE_API TDebugOutputFunc debugCaptureOutput(TDebugOutputFunc sink) {
    fakeCall<uint32_t>("debugCaptureOutput", sink);
    return nullptr;
}

CORVANE_API void* debugCaptureOutputEx(TDebugOutputFuncEx callback, void* context) {
    fakeCall<uint32_t>("debugCaptureOutputEx", callback, context);
    return nullptr;
}

CORVANE_API const char* nfcGetVersion(DWORD* apiVersion) {
    fakeCall<uint32_t>("nfcGetVersion", apiVersion);
    if (apiVersion) *apiVersion = FakeCorvane::instance().apiVersion();
    return FakeCorvane::instance().stackVersion();
}

CORVANE_API NfcApiStatus nfcInitialize(const char* configuration) {
    const NfcApiStatus status = fakeCall<NfcApiStatus>("nfcInitialize", configuration);
    if (status == nfcStatusOk) FakeCorvane::instance().startThread();
    return status;
}

CORVANE_API NfcApiStatus nfcDone(void) {
    const NfcApiStatus status = fakeCall<NfcApiStatus>("nfcDone");
    FakeCorvane::instance().stopThread();
    return status;
}

CORVANE_API NfcApiStatus nfcCreate(void* context, TNfcEventCallback callback, NfcHandle* hNfc) {
    const NfcApiStatus status = fakeCall<NfcApiStatus>("nfcCreate", context, callback, hNfc);
    if (status == nfcStatusOk) keep(FakeTarget::Application, reinterpret_cast<void*>(callback), context);
    giveHandle(hNfc, applicationToken, status);
    return status;
}

CORVANE_API NfcApiStatus nfcDestroy(NfcHandle hNfc) {
    const NfcApiStatus status = fakeCall<NfcApiStatus>("nfcDestroy", hNfc);
    keep(FakeTarget::Application, nullptr, nullptr);
    return status;
}

CORVANE_API NfcApiStatus nfcGetCapabilities(NfcHandle hNfc, TNfcCapabilities* capabilities, WORD size) {
    const NfcApiStatus status = fakeCall<NfcApiStatus>("nfcGetCapabilities", hNfc, capabilities, size);
    if (status != nfcStatusOk) return status;
    if (!capabilities || size < NFC_CAPABILITIES_SIZE(1)) return nfcStatusBadParameter;
    FakeCorvane::instance().fillCapabilities(capabilities);
    return status;
}

CORVANE_API NfcApiStatus nfcRegisterListener(NfcHandle hNfc, void* listenerContext, DWORD mask,
                                             const TNfcListenParam* params, NfcListenerHandle* hListener) {
    const NfcApiStatus status = fakeCallWithBuffer<NfcApiStatus>(
        "nfcRegisterListener", fakeBytes(params, params ? sizeof *params : 0), hNfc, listenerContext, mask, params,
        hListener);
    if (hListener) *hListener = status == nfcStatusOk ? FakeCorvane::instance().newListener(mask) : nullptr;
    return status;
}

CORVANE_API NfcApiStatus nfcUnregisterListener(NfcListenerHandle hListener) {
    const NfcApiStatus status = fakeCall<NfcApiStatus>("nfcUnregisterListener", hListener);
    if (status == nfcStatusOk) FakeCorvane::instance().dropListener(hListener);
    return status;
}

CORVANE_API NfcApiStatus nfcGetTagInfo(NfcListenerHandle hListener, int32_t flags, TNfcTagInfo* info) {
    const NfcApiStatus status = fakeCall<NfcApiStatus>("nfcGetTagInfo", hListener, flags, info);
    if (status == nfcStatusOk && info) *info = FakeCorvane::instance().tagInfo();
    return status;
}

CORVANE_API NfcApiStatus nfcSecureGetList(NfcHandle hNfc, void* context, TNfcSecureListCallback callback) {
    const NfcApiStatus status = fakeCall<NfcApiStatus>("nfcSecureGetList", hNfc, context, callback);
    if (status == nfcStatusOk && callback) FakeCorvane::instance().listSecureElements(context, callback);
    return status;
}

CORVANE_API NfcApiStatus nfcExchangePdu(NfcListenerHandle hListener, const BYTE* pdu, WORD pduLength, BYTE* output,
                                        WORD* outputLength) {
    return fakeAnsweringCall("nfcExchangePdu", fakeBytes(pdu, pduLength), output, outputLength, hListener, pdu,
                             pduLength);
}

CORVANE_API NfcApiStatus nfcTransmitPdu(NfcListenerHandle hListener, const BYTE* pdu, WORD length) {
    return fakeCallWithBuffer<NfcApiStatus>("nfcTransmitPdu", fakeBytes(pdu, length), hListener, pdu, length);
}

CORVANE_API NfcApiStatus nfcWriteNdefMessage(NfcListenerHandle hListener, const BYTE* message, WORD length) {
    return fakeCallWithBuffer<NfcApiStatus>("nfcWriteNdefMessage", fakeBytes(message, length), hListener, message,
                                            length);
}

CORVANE_API NfcApiStatus nfcDeviceIoControl(NfcHandle hNfc, DWORD code, const BYTE* input, WORD inputLength,
                                            BYTE* output, WORD* outputLength) {
    return fakeAnsweringCall("nfcDeviceIoControl", fakeBytes(input, inputLength), output, outputLength, hNfc, code,
                             input, inputLength);
}

CORVANE_API NfcApiStatus nfcSecureExchangePdu(NfcSecureConnectionHandle hSecureConnection, const BYTE* apdu,
                                              WORD length, BYTE* output, WORD* outputLength) {
    return fakeAnsweringCall("nfcSecureExchangePdu", fakeBytes(apdu, length), output, outputLength,
                             hSecureConnection, apdu, length);
}

CORVANE_API NfcApiStatus nfcP2PListenRequest(NfcHandle hNfc, void* context, TNfcEventCallback callback,
                                             DWORD maxConnections, DWORD window, DWORD miu, BYTE sap,
                                             const char* serviceName, P2pLinkHandle* hListenServer) {
    NfcApiStatus status = fakeCall<NfcApiStatus>("nfcP2PListenRequest", hNfc, context, callback, maxConnections,
                                                 window, miu, sap, serviceName, hListenServer);
    if (status == nfcStatusOk && !FakeCorvane::instance().listensForP2p()) status = nfcStatusNotImplemented;
    if (status == nfcStatusOk) keep(FakeTarget::P2p, reinterpret_cast<void*>(callback), context);
    if (hListenServer) *hListenServer = status == nfcStatusOk ? FakeCorvane::instance().newLink(context) : nullptr;
    return status;
}

CORVANE_API NfcApiStatus nfcP2PConnectRequest(NfcListenerHandle hListen, void* context, TNfcEventCallback callback,
                                              DWORD window, DWORD miu, BYTE sap, const char* serviceName,
                                              P2pLinkHandle* hConnection) {
    const NfcApiStatus status = fakeCall<NfcApiStatus>("nfcP2PConnectRequest", hListen, context, callback, window,
                                                       miu, sap, serviceName, hConnection);
    if (status == nfcStatusOk) keep(FakeTarget::P2p, reinterpret_cast<void*>(callback), context);
    if (hConnection) *hConnection = status == nfcStatusOk ? FakeCorvane::instance().newLink(context) : nullptr;
    return status;
}

CORVANE_API NfcApiStatus nfcP2PConnectResponse(P2pLinkHandle hConnection, void* context, TNfcEventCallback callback) {
    const NfcApiStatus status = fakeCall<NfcApiStatus>("nfcP2PConnectResponse", hConnection, context, callback);
    if (status == nfcStatusOk) {
        keep(FakeTarget::P2p, reinterpret_cast<void*>(callback), context);
        FakeCorvane::instance().setLinkContext(hConnection, context);
    }
    return status;
}

CORVANE_API NfcApiStatus nfcP2PDataRequest(P2pLinkHandle hConnection, const BYTE* data, DWORD length) {
    const NfcApiStatus status =
        fakeCallWithBuffer<NfcApiStatus>("nfcP2PDataRequest", fakeBytes(data, length), hConnection, data, length);
    if (status == nfcStatusOk) FakeCorvane::instance().dataRequested(hConnection, data, length);
    return status;
}

CORVANE_API NfcApiStatus snepConnect(SnepClientHandle* hClient, NfcListenerHandle hListen, const char* serviceName,
                                     BYTE sap, DWORD miu, void* context, TSnepCallback callback, BOOL asynchronous) {
    const NfcApiStatus scripted = fakeCall<NfcApiStatus>("snepConnect", hClient, hListen, serviceName, sap, miu,
                                                         context, callback, asynchronous);
    if (asynchronous && !callback) return nfcStatusFailed;
    // The connection's first report may go out before the call returns: its receiver is known first.
    if (hClient && (scripted == nfcStatusOk || scripted == nfcStatusPending))
        keep(FakeTarget::SnepClient, reinterpret_cast<void*>(callback), context);
    return FakeCorvane::instance().snepConnect(hClient, scripted, asynchronous != 0);
}

CORVANE_API NfcApiStatus snepPut(SnepClientHandle hClient, const BYTE* ndef, DWORD length) {
    const NfcApiStatus scripted =
        fakeCallWithBuffer<NfcApiStatus>("snepPut", fakeBytes(ndef, length), hClient, ndef, length);
    if (!ndef && length) return nfcStatusBadParameter;
    return FakeCorvane::instance().snepPut(hClient, scripted, length);
}

CORVANE_API NfcApiStatus snepDisconnect(SnepClientHandle hClient) {
    return FakeCorvane::instance().snepDisconnect(hClient, fakeCall<NfcApiStatus>("snepDisconnect", hClient));
}

CORVANE_API NfcApiStatus snepReleaseClient(SnepClientHandle hClient) {
    return FakeCorvane::instance().snepReleaseClient(hClient, fakeCall<NfcApiStatus>("snepReleaseClient", hClient));
}

CORVANE_API NfcApiStatus snepStartServer(SnepServerHandle* hServer, NfcHandle hNfc, const char* serviceName, BYTE sap,
                                         DWORD miu, void* context, TSnepCallback callback) {
    NfcApiStatus status =
        fakeCall<NfcApiStatus>("snepStartServer", hServer, hNfc, serviceName, sap, miu, context, callback);
    if (status == nfcStatusOk && !FakeCorvane::instance().listensForP2p()) status = nfcStatusFailed;
    if (status == nfcStatusOk) keep(FakeTarget::SnepServer, reinterpret_cast<void*>(callback), context);
    giveHandle(hServer, snepServerToken, status);
    return status;
}

CORVANE_API DWORD nppStartServer(NppServerHandle* hServer, NfcHandle hNfc, void* reserved, void* context,
                                 TNppCallback callback) {
    DWORD status = fakeCall<DWORD>("nppStartServer", hServer, hNfc, reserved, context, callback);
    if (status == nppOk && !FakeCorvane::instance().listensForP2p()) status = nppFailed;
    if (status == nppOk) keep(FakeTarget::Npp, reinterpret_cast<void*>(callback), context);
    giveHandle(hServer, nppServerToken, status);
    return status;
}

CORVANE_API NfcApiStatus nfcReadNdefMessage(NfcListenerHandle hListener, BYTE* buffer, WORD* length) {
    return fakeAnsweringCall("nfcReadNdefMessage", {}, buffer, length, hListener);
}

CORVANE_API NfcApiStatus nfcSecureOpen(NfcHandle hNfc, NfcSecureHandle hSecure,
                                       NfcSecureConnectionHandle* hSecureConnection) {
    const NfcApiStatus status = fakeCall<NfcApiStatus>("nfcSecureOpen", hNfc, hSecure, hSecureConnection);
    giveHandle(hSecureConnection, secureToken, status);
    return status;
}
