// The nfcP2P exports: each checks its handle and arguments, keeps the record of its link and
// sends the LLCP primitive; the outcome arrives as P2P events.
#include <cstring>

#include "api/nfcapi_request.h"
#include "core/nfaceregistry.h"
#include "p2p/nfcp2p.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTraceLink = TRC_API;
constexpr uint16_t kSocketWindow = 2;
constexpr uint32_t kP2pListenBits = P2P_INITIATOR | P2P_TARGET;

NfcApiStatus exitWith(const char* name, NfcApiStatus status) { return nfcapiExit(name, status); }

// 0 for a name of at most 128 bytes (none is empty), else 6.
NfcApiStatus nameLength(const char* name, const char* rule, uint16_t& length) {
    const size_t n = name ? strnlen(name, P2P_NAME_MAX + 1) : 0;
    if (n > P2P_NAME_MAX) {
        TRACE(TRC_ERROR, rule, P2P_NAME_MAX);
        return nfcStatusBadParameter;
    }
    length = static_cast<uint16_t>(n);
    return nfcStatusOk;
}

NfcApiStatus checkWindowAndMiu(DWORD window, DWORD miu) {
    if (miu < P2P_MIN_MIU || miu > P2P_MAX_MIU) {
        TRACE(TRC_ERROR, "LLCP miu must in range 128..%d", P2P_MAX_MIU);
        return nfcStatusBadParameter;
    }
    if (window == 0 || window > P2P_MAX_WINDOW) {
        TRACE(TRC_ERROR, "Window size must be in range 1..15");
        return nfcStatusBadParameter;
    }
    return nfcStatusOk;
}

void takeName(TP2pLink* link, const char* name, uint16_t length) {
    if (length) std::memcpy(link->name, name, length);
    link->name[length] = '\0';
    link->nameLength = length;
}

TNfcEventCallback callbackOr(TNfcEventCallback callback, const TNfcApiInstance* instance) {
    return callback ? callback : instance->callback;
}

// Sends the listen request of the record and waits for its confirmation: 0 or 1.
NfcApiStatus listenAndWait(TP2pLink* link, uint8_t mode) {
    TnfcapiMsg message = nfaceMsgMake<NFACE_NFC_LLCP_LISTEN_REQ>(
        {link, link->area.data(), link->nameLength ? link->name : nullptr, static_cast<uint32_t>(link->area.size()),
         link->nameLength, link->miu, static_cast<uint8_t>(link->window), link->maxConnections, link->sap, mode});
    const NfcApiStatus status = nfcapiRequest(&message, link->instance);
    if (status == nfcStatusOk || status == nfcStatusPending) return nfcStatusOk;
    TRACE(TRC_ERROR, "! p2p listen request of link %p failed, status 0x%X", static_cast<void*>(link), status);
    return nfcStatusFailed;
}

// Listens with the new record; false when it is freed, as a refused listen frees it, and as the
// destroy of its application does while the request waits.
bool listened(TP2pLink* link, uint8_t mode) {
    p2pHoldLink(link);
    if (listenAndWait(link, mode) != nfcStatusOk) {
        link->state = P2P_CLOSED;
        p2pFreeLink(link);
    }
    return !p2pLetGoLink(link);
}

NfcApiStatus listenWorker(NfcHandle hNfc, void* context, TNfcEventCallback callback, DWORD mode,
                          DWORD maxConnections, DWORD window, DWORD miu, BYTE sap, const char* serviceName,
                          P2pLinkHandle* out) {
    TRACE(TRC_ENTER_EXIT,
          "nfcP2PListenRequest() enter hNfc %p, context %p, max connections %d, window size %d, miu %d, sap=0x%X %s",
          static_cast<void*>(hNfc), context, static_cast<int>(maxConnections), static_cast<int>(window),
          static_cast<int>(miu), sap, serviceName ? serviceName : "");
    p2pDeferredLinkFree();
    const NfcapiHold held = nfcapiHoldApp(hNfc);
    TNfcApiInstance* instance = held.get();
    if (!instance) return nfcStatusInvalidHandle;
    if (!(instance->listenMask & kP2pListenBits)) {
        TRACE(TRC_ERROR, "! application %p does not listen for P2P", static_cast<void*>(hNfc));
        return nfcStatusNotImplemented;
    }
    if (!out) {
        TRACE(TRC_ERROR, "! phListenServer is NULL");
        return nfcStatusBadParameter;
    }
    *out = nullptr;
    uint16_t length = 0;
    if (const NfcApiStatus s = checkWindowAndMiu(window, miu); s != nfcStatusOk) return s;
    if (const NfcApiStatus s = nameLength(serviceName, "LLCP service name length must be in range of 0..%d", length);
        s != nfcStatusOk)
        return s;
    if (maxConnections > 0xFF) return nfcStatusBadParameter;
    // A connectionless listener receives on its own link whatever its connection count.
    const size_t blocks = mode ? maxConnections : 1;
    TP2pLink* link = p2pAllocLink(P2P_MAGIC_SOCKET, size_t{2} * blocks * window * miu);
    if (!link) return nfcStatusNoResources;
    link->instance = instance;
    link->listener = link;
    link->state = P2P_LISTENING;
    link->listenerMarker = mode != 0;
    link->context = link->listenerContext = context;
    link->callback = callbackOr(callback, instance);
    link->window = static_cast<uint16_t>(window);
    link->miu = static_cast<uint16_t>(miu);
    link->maxConnections = static_cast<uint8_t>(maxConnections);
    link->sap = sap;
    takeName(link, serviceName, length);
    // Complete before the request goes: its answers may be handled while the wait ends.
    if (!mode) {
        link->state = P2P_CONNECTED;
        link->connectionless = 1;
    }
    p2pListAdd(link);
    if (!listened(link, mode ? 1 : 0)) return nfcStatusFailed;
    *out = link;
    return nfcStatusOk;
}

// A connection, or a connectionless socket where the call allows it, with its application held:
// a destroy on another thread frees nothing the call still uses. Empty when either is gone.
TP2pLink* connectionOrSocket(P2pLinkHandle h, NfcapiHold* hold) {
    TP2pLink* link = p2pCheckLink(h, P2P_MAGIC_CONNECTION, P2P_MAGIC_SOCKET);
    if (!link) return nullptr;
    *hold = nfcapiHoldApp(link->instance);
    return *hold ? link : nullptr;
}

NfcApiStatus disconnect(P2pLinkHandle h) {
    NfcapiHold held;
    if (!connectionOrSocket(h, &held)) return nfcStatusInvalidHandle;
    return p2pDisconnectRequest(h);
}

NfcApiStatus sendData(TP2pLink* link, BYTE dsap, const BYTE* data, DWORD length) {
    const TnfcapiMsg message = nfaceMsgMake<NFACE_NFC_LLCP_DATA_REQ>(
        {link->lower, data, static_cast<uint16_t>(length), link->dataHandle++, dsap});
    return p2pPut(link->instance, message) == nfcStatusPending ? nfcStatusOk : nfcStatusFailed;
}

} // namespace

NfcApiStatus nfcP2PConnectRequest(NfcListenerHandle hListen, void* context, TNfcEventCallback callback,
                                  DWORD window, DWORD miu, BYTE sap, const char* serviceName,
                                  P2pLinkHandle* hConnection) {
    constexpr char fn[] = "nfcP2PConnectRequest";
    TRACE(TRC_ENTER_EXIT, "%s() enter, hListen %p, context %p, window %d, miu %d, sap 0x%X %s", fn,
          static_cast<void*>(hListen), context, static_cast<int>(window), static_cast<int>(miu), sap,
          serviceName ? serviceName : "");
    p2pDeferredLinkFree();
    NfcapiHold held;
    TNfcListener* listener = nfcapiHoldListener(hListen, &held);
    if (!listener) return exitWith(fn, nfcStatusInvalidHandle);
    if (!hConnection) {
        TRACE(TRC_ERROR, "! phConnection is NULL");
        return exitWith(fn, nfcStatusBadParameter);
    }
    *hConnection = nullptr;
    uint16_t length = 0;
    if (const NfcApiStatus s = checkWindowAndMiu(window, miu); s != nfcStatusOk) return exitWith(fn, s);
    if (const NfcApiStatus s = nameLength(serviceName, "LLCP service name length must in range 0..%d", length);
        s != nfcStatusOk)
        return exitWith(fn, s);
    TP2pLink* link = p2pAllocLink(P2P_MAGIC_CONNECTION, size_t{2} * window * miu);
    if (!link) return exitWith(fn, nfcStatusNoResources);
    link->instance = listener->owner;
    link->listener = listener;
    link->context = context;
    link->listenerContext = listener->context;
    link->callback = callbackOr(callback, listener->owner);
    link->window = static_cast<uint16_t>(window);
    link->miu = static_cast<uint16_t>(miu);
    link->sap = sap;
    link->state = P2P_CONNECT_PENDING;
    takeName(link, serviceName, length);
    const TnfcapiMsg message = nfaceMsgMake<NFACE_NFC_LLCP_CON_REQ>(
        {link, link->area.data(), length ? link->name : nullptr, static_cast<uint32_t>(link->area.size()), length,
         link->miu, static_cast<uint8_t>(window), sap});
    // The handle is the caller's before the request goes: its events may come before the return,
    // and a service that sends from its event handler names the connection by it.
    *hConnection = link;
    if (p2pPut(link->instance, message) != nfcStatusPending) {
        *hConnection = nullptr;
        link->state = P2P_CLOSED;
        p2pFreeLink(link);
        return exitWith(fn, nfcStatusFailed);
    }
    TRACE(TRC_ENTER_EXIT, "%s() exit, status=0x%X, hConnection=%p", fn, nfcStatusOk, static_cast<void*>(link));
    return nfcStatusOk;
}

NfcApiStatus nfcP2PListenRequest(NfcHandle hNfc, void* context, TNfcEventCallback callback, DWORD maxConnections,
                                 DWORD window, DWORD miu, BYTE sap, const char* serviceName,
                                 P2pLinkHandle* hListenServer) {
    return nfcP2PListenRequestEx(hNfc, context, callback, P2P_MODE_CONNECTION_ORIENTED, maxConnections, window, miu,
                                 sap, serviceName, hListenServer);
}

NfcApiStatus nfcP2PListenRequestEx(NfcHandle hNfc, void* context, TNfcEventCallback callback, DWORD mode,
                                   DWORD maxConnections, DWORD window, DWORD miu, BYTE sap, const char* serviceName,
                                   P2pLinkHandle* hListenServer) {
    const NfcApiStatus status =
        listenWorker(hNfc, context, callback, mode, maxConnections, window, miu, sap, serviceName, hListenServer);
    TRACE(TRC_ENTER_EXIT, "nfcP2PListenRequest() exit, status=0x%X, hListenServer=%p", status,
          hListenServer ? static_cast<void*>(*hListenServer) : nullptr);
    return status;
}

NfcApiStatus nfcP2PConnectResponse(P2pLinkHandle hConnection, void* context, TNfcEventCallback callback) {
    constexpr char fn[] = "nfcP2PConnectResponse";
    TRACE(TRC_ENTER_EXIT, "%s() enter, hConnection %p, context %p", fn, static_cast<void*>(hConnection), context);
    NfcapiHold held;
    TP2pLink* link = connectionOrSocket(hConnection, &held);
    if (!link || (link->magic == P2P_MAGIC_SOCKET && !link->connectionless))
        return exitWith(fn, nfcStatusInvalidHandle);
    link->state = P2P_CONNECTED;
    p2pSetCallback(link, context, callbackOr(callback, link->instance));
    p2pPut(link->instance, nfaceMsgMake<NFACE_NFC_LLCP_CON_ACT_RESP>({link, link->lower}));
    return exitWith(fn, nfcStatusOk);
}

NfcApiStatus nfcP2POpenCLSocket(NfcHandle hNfc, void* context, TNfcEventCallback callback, BYTE sap,
                                P2pLinkHandle* hSocket) {
    constexpr char fn[] = "nfcP2POpenCLSocket";
    TRACE(TRC_ENTER_EXIT, "%s() enter, hNfc %p, context %p, sap 0x%X", fn, static_cast<void*>(hNfc), context, sap);
    p2pDeferredLinkFree();
    const NfcapiHold held = nfcapiHoldApp(hNfc);
    TNfcApiInstance* instance = held.get();
    if (!instance) return exitWith(fn, nfcStatusInvalidHandle);
    if (!hSocket) {
        TRACE(TRC_ERROR, "! phSocket is NULL");
        return exitWith(fn, nfcStatusBadParameter);
    }
    *hSocket = nullptr;
    TP2pLink* link = p2pAllocLink(P2P_MAGIC_SOCKET, P2P_SOCKET_AREA);
    if (!link) return exitWith(fn, nfcStatusNoResources);
    link->instance = instance;
    link->listener = link;
    link->connectionless = 1;
    link->state = P2P_CONNECTED;
    link->window = kSocketWindow;
    link->miu = P2P_MAX_MIU;
    link->sap = sap;
    link->context = link->listenerContext = context;
    link->callback = callbackOr(callback, instance);
    p2pListAdd(link);
    if (!listened(link, P2P_MODE_CONNECTIONLESS)) return exitWith(fn, nfcStatusFailed);
    *hSocket = link;
    return exitWith(fn, nfcStatusOk);
}

NfcApiStatus nfcP2PCloseCLSocket(P2pLinkHandle hSocket) {
    TRACE(TRC_ENTER_EXIT, "nfcP2PCloseCLSocket() enter, hSocket %p", static_cast<void*>(hSocket));
    return exitWith("nfcP2PCloseCLSocket", disconnect(hSocket));
}

NfcApiStatus nfcP2PDisconnectRequest(P2pLinkHandle hConnection) {
    TRACE(TRC_ENTER_EXIT, "nfcP2PDisconnectRequest() enter, hConnection %p", static_cast<void*>(hConnection));
    return exitWith("nfcP2PDisconnectRequest", disconnect(hConnection));
}

NfcApiStatus nfcP2PDataRequest(P2pLinkHandle hConnection, const BYTE* data, DWORD length) {
    constexpr char fn[] = "nfcP2PDataRequest";
    TRACE(kTraceLink, "%s() enter, hConnection %p, data %p, length %d", fn, static_cast<void*>(hConnection),
          static_cast<const void*>(data), static_cast<int>(length));
    NfcapiHold held;
    TP2pLink* link = connectionOrSocket(hConnection, &held);
    if (!link) return exitWith(fn, nfcStatusInvalidHandle);
    if (!data) {
        TRACE(TRC_ERROR, "! pvBuffer pointer %p is not readable for length %d", static_cast<const void*>(data),
              static_cast<int>(length));
        return exitWith(fn, nfcStatusBadParameter);
    }
    if (link->connectionless) {
        TRACE(TRC_ERROR, "Linkhandle points to a connection less socket! Use nfcP2PDataRequestTo ?");
        return exitWith(fn, nfcStatusBadParameter);
    }
    if (link->magic != P2P_MAGIC_CONNECTION) return exitWith(fn, nfcStatusInvalidHandle);
    if (length > link->remoteMiu) {
        TRACE(TRC_ERROR, "data length %d > registered max miu %d!", static_cast<int>(length), link->remoteMiu);
        return exitWith(fn, nfcStatusBadParameter);
    }
    if (link->state != P2P_CONNECTED) {
        TRACE(TRC_ERROR, "P2P ! invalid state 0x%X for data request", static_cast<unsigned>(link->state));
        return exitWith(fn, nfcStatusWrongState);
    }
    return exitWith(fn, sendData(link, link->remoteSap, data, length));
}

NfcApiStatus nfcP2PDataRequestTo(P2pLinkHandle hSocket, BYTE destinationSap, const BYTE* data, DWORD length) {
    constexpr char fn[] = "nfcP2PDataRequestTo";
    TRACE(kTraceLink, "%s() enter, hSocket %p, sap 0x%X, data %p, length %d", fn, static_cast<void*>(hSocket),
          destinationSap, static_cast<const void*>(data), static_cast<int>(length));
    NfcapiHold held;
    TP2pLink* link = connectionOrSocket(hSocket, &held);
    if (!link) return exitWith(fn, nfcStatusInvalidHandle);
    if (!data) {
        TRACE(TRC_ERROR, "! pvBuffer pointer %p is not readable for length %d", static_cast<const void*>(data),
              static_cast<int>(length));
        return exitWith(fn, nfcStatusBadParameter);
    }
    if (!link->connectionless) {
        TRACE(TRC_ERROR, "Linkhandle does not point to connection less socket! Use nfcP2PDataRequest ?");
        return exitWith(fn, nfcStatusBadParameter);
    }
    if (length > link->miu) {
        TRACE(TRC_ERROR, "data length %d > max miu %d", static_cast<int>(length), link->miu);
        return exitWith(fn, nfcStatusBadParameter);
    }
    if (link->state != P2P_CONNECTED) {
        TRACE(TRC_ERROR, "P2P ! invalid state 0x%X for data request", static_cast<unsigned>(link->state));
        return exitWith(fn, nfcStatusWrongState);
    }
    return exitWith(fn, sendData(link, destinationSap, data, length));
}

NfcApiStatus nfcP2PDataResponse(P2pLinkHandle hConnection) {
    constexpr char fn[] = "nfcP2PDataResponse";
    TRACE(kTraceLink, "%s() enter, hConnection %p", fn, static_cast<void*>(hConnection));
    NfcapiHold held;
    TP2pLink* link = connectionOrSocket(hConnection, &held);
    if (!link) return exitWith(fn, nfcStatusInvalidHandle);
    if (link->state != P2P_CONNECTED) {
        TRACE(TRC_ERROR, "P2P ! invalid state 0x%X for data response", static_cast<unsigned>(link->state));
        return exitWith(fn, nfcStatusWrongState);
    }
    const NfcApiStatus put = p2pPut(link->instance, nfaceMsgMake<NFACE_NFC_LLCP_DATA_RESP>({link->lower, 0}));
    return exitWith(fn, put == nfcStatusPending ? nfcStatusOk : nfcStatusFailed);
}

NfcApiStatus nfcP2PSdpRequest(NfcHandle hNfc, const char* serviceName, BYTE* sap) {
    constexpr char fn[] = "nfcP2PSdpRequest";
    TRACE(TRC_ENTER_EXIT, "%s() enter, hNfc %p, service %s", fn, static_cast<void*>(hNfc),
          serviceName ? serviceName : "<null>");
    const NfcapiHold held = nfcapiHoldApp(hNfc);
    TNfcApiInstance* instance = held.get();
    if (!instance) return exitWith(fn, nfcStatusInvalidHandle);
    if (!sap) {
        TRACE(TRC_ERROR, "! pServiceSap pointer %p is invalid", static_cast<void*>(sap));
        return exitWith(fn, nfcStatusBadParameter);
    }
    uint16_t length = 0;
    if (!serviceName || nameLength(serviceName, "LLCP service name length must in range 0..%d", length) != 0 ||
        length == 0)
        return exitWith(fn, nfcStatusBadParameter);
    // The SAP is written only while this call still waits: the room goes with the call.
    TnfcapiMsg message = nfaceMsgMake<NFACE_NFC_LLCP_SDP_REQ>({instance, serviceName, length});
    return exitWith(fn, nfcapiTransferRequest(instance, &message, TNfaceTransfer{sap, nullptr, 0, 0, 1}, 0, nullptr));
}
