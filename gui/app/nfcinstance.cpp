#include "nfcinstance.h"

#include <QMetaMethod>
#include <QThread>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <iterator>
#include <new>

#include "convert.h"
#include "corvanebinding.h"
#include "ndefmessage.h"
#include "tracetext.h"

namespace {

constexpr BYTE kFirstSap = 15;
constexpr BYTE kSecondSap = 14;
constexpr DWORD kTypeFelicaQuirk = 256;   // tag events a support listener causes
constexpr BYTE kSnepClient = 1;
constexpr BYTE kSnepServer = 0;

#define NFC_SOURCE(operation) "CNfcInstance::" operation

const char* const kNppEventTexts[] = {
    "NPP event finished", "NPP event failed",       "NPP event connected", "NPP event received",
    "NPP event disconnected", "NPP event stopped", "NPP event timeout",
};

CNfcInstance* instanceOf(void* context) { return static_cast<CNfcInstance*>(context); }

TP2pConnection copyConnection(const TP2pConnection* record) {
    TP2pConnection copy;
    std::memcpy(&copy, record, sizeof copy);
    return copy;
}

} // namespace

CNfcInstance::CNfcInstance()
    : m_card([this](DWORD level, const QString& text) {
          postTrace(level, NFC_SOURCE("ceHandleReceivedPdu"), "%s", qPrintable(text));
      }) {
    registerMetaTypes();
    m_p2pListeners[0].sap = m_p2pClients[0].sap = kFirstSap;
    m_p2pListeners[1].sap = m_p2pClients[1].sap = kSecondSap;
}

CNfcInstance::~CNfcInstance() {
    // The library must not call back into a deleted instance.
    if (m_hApp) nfcStop(0);
    freePendingSends();
}

// After the stop no handle of the library means anything, and it reads no buffer of ours.
void CNfcInstance::forgetLibraryHandles() {
    m_hApp = nullptr;
    std::fill(std::begin(m_listeners), std::end(m_listeners), nullptr);
    m_supportListener = nullptr;
    m_rwRequestedMask = 0;
    m_tagConnected = false;
    std::fill(std::begin(m_seConnections), std::end(m_seConnections), nullptr);
    for (P2pBlock* blocks : {m_p2pListeners, m_p2pClients})
        for (int i = 0; i < 2; ++i) {
            blocks[i].link = blocks[i].connection = nullptr;
            blocks[i].hangingUp = false;
        }
    m_snepServer = nullptr;
    m_snepServerStopping = false;
    m_snepClient = nullptr;
    m_snepClientState = SnepClientState::None;
    m_snepPending.clear();
    m_nppServer = nullptr;
    freePendingSends();
}

// The text's receiver frees it, so it is made only when one listens, and handed over on the GUI
// thread, where no receiver can go between the look and the emission. A line from the library's
// thread travels there as a copy of its own, which dies with the instance if it never arrives.
void CNfcInstance::postTrace(DWORD level, const char* source, const char* format, ...) {
    if (!isSignalConnected(QMetaMethod::fromSignal(&CNfcInstance::signalPostTrace))) return;
    va_list arguments;
    va_start(arguments, format);
    char* text = newTraceText(format, arguments);
    va_end(arguments);
    if (!text) return;
    if (QThread::currentThread() == thread()) {
        emitTrace(level, source, text);
        return;
    }
    const QByteArray line(text);
    delete[] text;
    QMetaObject::invokeMethod(this, [this, level, source, line] {
        char* copy = new (std::nothrow) char[kTraceTextSize];
        if (!copy) return;
        qstrncpy(copy, line.constData(), kTraceTextSize);
        emitTrace(level, source, copy);
    }, Qt::QueuedConnection);
}

void CNfcInstance::emitTrace(DWORD level, const char* source, char* text) {
    if (isSignalConnected(QMetaMethod::fromSignal(&CNfcInstance::signalPostTrace)))
        emit signalPostTrace(level, source, text);
    else
        delete[] text;
}

// ---- Start and stop ------------------------------------------------------------------------

NfcApiStatus CNfcInstance::nfcStart() {
    const char* source = NFC_SOURCE("nfcStart");
    postTrace(traceInfo, source, "Enter");
    m_lastStatus = corvaneLoadLibrary();
    if (m_lastStatus != corvaneLoadBound) {
        postTrace(traceError, source, "! Loading NFC library failed (code: %u)", m_lastStatus);
        // A partly bound library is never used: unload it at once.
        corvaneFreeLibrary();
        return m_lastStatus;
    }
    postTrace(traceInfo, source, "NFC library loaded");
    DWORD apiVersion = 0;
    const char* stackVersion = corvaneSymbolTable.nfcGetVersion(&apiVersion);
    postTrace(traceInfo, source, "NFC API version: %u.%u", apiVersion >> 16, apiVersion & 0xFFFF);
    postTrace(traceInfo, source, "NFC stack version: %s", stackVersion ? stackVersion : "");

    char* configuration = qStringToCString(m_configuration);
    m_lastStatus = configuration ? corvaneSymbolTable.nfcInitialize(configuration) : NfcApiStatus{nfcStatusFailed};
    delete[] configuration;
    if (m_lastStatus != nfcStatusOk) {
        postTrace(traceError, source, "! Initializing NFC controller failed (code: %u)", m_lastStatus);
        corvaneFreeLibrary();
        return m_lastStatus;
    }
    postTrace(traceInfo, source, "NFC controller initialized");
    relay(true, &CNfcInstance::signalSecureNotification, &CNfcInstance::handleSecureNotification);

    m_lastStatus = corvaneSymbolTable.nfcCreate(this, &CNfcInstance::nfcEventCallback, &m_hApp);
    if (m_lastStatus != nfcStatusOk) {
        postTrace(traceError, source, "! Creating a NFC-application failed (code: %u)", m_lastStatus);
        m_hApp = nullptr;
        relay(false, &CNfcInstance::signalSecureNotification, &CNfcInstance::handleSecureNotification);
        corvaneSymbolTable.nfcDone();
        corvaneFreeLibrary();
        return m_lastStatus;
    }
    postTrace(traceInfo, source, "NFC-application created (app %p, handle %p)", static_cast<void*>(this),
              static_cast<void*>(m_hApp));
    relayRunningSignals(true);
    postTrace(traceInfo, source, "Exit");
    return nfcStatusOk;
}

NfcApiStatus CNfcInstance::nfcStop(DWORD listenerMask) {
    const char* source = NFC_SOURCE("nfcStop");
    NfcApiStatus status = nfcStatusOk;
    postTrace(traceInfo, source, "Enter");
    disconnect(this, nullptr, this, nullptr);
    const auto failed = [&](NfcApiStatus result, const char* text) {
        if (result == nfcStatusOk) return;
        postTrace(traceError, source, "%s (code: %u)", text, result);
        status = result;
    };
    if (libraryRunning()) {
        for (P2pBlock& client : m_p2pClients)
            if (client.link) failed(p2pDisconnect(client.sap), "! Disconnecting P2P client failed");
        for (P2pBlock& listener : m_p2pListeners)
            if (listener.link) failed(p2pStopListener(listener.sap), "! Stopping P2P listener failed");
        if (listenerMask != 0) failed(nfcUnregisterListener(listenerMask, 0), "! Unregistering listener(s) failed");
        failed(corvaneSymbolTable.nfcDestroy(m_hApp), "! Destroying NFC-application failed");
        failed(corvaneSymbolTable.nfcDone(), "! Releasing access to NFC library failed");
    }
    forgetLibraryHandles();
    corvaneFreeLibrary();
    m_lastStatus = status;
    postTrace(traceInfo, source, "Exit (status: %u)", status);
    relayRunningSignals(false);
    return status;
}

bool CNfcInstance::libraryRunning() const { return m_hApp && corvaneSymbolTable.module; }

void CNfcInstance::relayRunningSignals(bool on) {
    relay(on, &CNfcInstance::signalTagDetected, &CNfcInstance::handleTagDetected);
    relay(on, &CNfcInstance::signalTagRemoved, &CNfcInstance::handleTagRemoved);
    relay(on, &CNfcInstance::signalPnpRemovedIndication, &CNfcInstance::handlePnpRemovedIndication);
    relay(on, &CNfcInstance::signalP2pHangupTerminated, &CNfcInstance::handleP2pHangupTerminated);
}

void CNfcInstance::relayP2pSignals(bool on) {
    relay(on, &CNfcInstance::signalP2pConnectIndication, &CNfcInstance::handleP2pConnectIndication);
    relay(on, &CNfcInstance::signalP2pConnected, &CNfcInstance::handleP2pConnected);
    relay(on, &CNfcInstance::signalP2pDataIndication, &CNfcInstance::handleP2pDataIndication);
    relay(on, &CNfcInstance::signalP2pDataTransmitted, &CNfcInstance::handleP2pDataTransmitted);
    relay(on, &CNfcInstance::signalP2pDisconnected, &CNfcInstance::handleP2pDisconnected);
    relay(on, &CNfcInstance::signalP2pConnectFailed, &CNfcInstance::handleP2pConnectFailed);
}

void CNfcInstance::setTraceFlags(DWORD nfcFlags, DWORD l1Flags) {
    if (!corvaneSymbolTable.debugSetFlags || !corvaneSymbolTable.debugSetL1Flags) return;
    corvaneSymbolTable.debugSetFlags(nfcFlags);
    corvaneSymbolTable.debugSetL1Flags(l1Flags);
}

// ---- P2P blocks ------------------------------------------------------------------------------

void CNfcInstance::p2pStart() { relayP2pSignals(true); }

void CNfcInstance::p2pStop() { relayP2pSignals(false); }

CNfcInstance::P2pBlock* CNfcInstance::blockBySap(P2pBlock (&blocks)[2], BYTE sap) {
    for (P2pBlock& block : blocks)
        if (block.sap == sap) return &block;
    return nullptr;
}

P2pLinkHandle CNfcInstance::listenerConnection(BYTE sap) const {
    for (const P2pBlock& block : m_p2pListeners)
        if (block.sap == sap) return block.connection;
    return nullptr;
}

// A record names its block by the link context, or, announcing a connection, by the new link
// that the listener block has taken.
CNfcInstance::P2pBlock* CNfcInstance::blockOf(const TP2pConnection& record) {
    for (P2pBlock* blocks : {m_p2pListeners, m_p2pClients})
        for (int i = 0; i < 2; ++i)
            if (&blocks[i] == record.context || (blocks[i].connection && blocks[i].connection == record.newConnection))
                return &blocks[i];
    return nullptr;
}

BYTE CNfcInstance::connectionSap(const TP2pConnection& record) const {
    const P2pBlock* block = const_cast<CNfcInstance*>(this)->blockOf(record);
    return block ? block->sap : 0;
}

// The library frees a link when it reports its end: the block must not name it again.
void CNfcInstance::forgetEndedLink(const TP2pConnection& record) {
    P2pBlock* block = blockOf(record);
    if (!block) return;
    connectionOf(*block) = nullptr;
    retireSends(*block);
}

bool CNfcInstance::isClient(const P2pBlock& block) const { return &block >= m_p2pClients && &block < m_p2pClients + 2; }

CNfcInstance::P2pBlock* CNfcInstance::rowConnection(BYTE sap) {
    P2pBlock* client = blockBySap(m_p2pClients, sap);
    if (client && client->link) return client;
    P2pBlock* listener = blockBySap(m_p2pListeners, sap);
    return listener && listener->connection ? listener : nullptr;
}

// Ends the row's connection, whether the client made it or the listener accepted it.
NfcApiStatus CNfcInstance::p2pDisconnect(BYTE sap) {
    const char* source = NFC_SOURCE("p2pDisconnect");
    postTrace(traceInfo, source, "Enter (sap: %u)", sap);
    P2pBlock* block = rowConnection(sap);
    if (!block || !libraryRunning()) {
        postTrace(traceError, source, "! Connection not found");
        return m_lastStatus = nfcStatusFailed;
    }
    P2pLinkHandle& link = connectionOf(*block);
    m_lastStatus = corvaneSymbolTable.nfcP2PDisconnectRequest(link);
    if (m_lastStatus != nfcStatusOk)
        postTrace(traceError, source, "! Disconnecting from P2P server failed (code: %u)", m_lastStatus);
    else if (!isClient(*block))
        block->hangingUp = true;
    link = nullptr;
    retireSends(*block);
    postTrace(traceInfo, source, "Exit (status: %u)", m_lastStatus);
    return m_lastStatus;
}

// The connection the listener accepted goes with it: no peer talks to a stopped listener.
NfcApiStatus CNfcInstance::p2pStopListener(BYTE sap) {
    const char* source = NFC_SOURCE("p2pStopListener");
    postTrace(traceInfo, source, "Enter (sap: %u)", sap);
    P2pBlock* listener = blockBySap(m_p2pListeners, sap);
    if (!listener || !listener->link || !libraryRunning()) {
        postTrace(traceError, source, "! Connection not found");
        return m_lastStatus = nfcStatusFailed;
    }
    m_lastStatus = nfcStatusOk;
    for (P2pLinkHandle* link : {&listener->connection, &listener->link}) {
        if (!*link) continue;
        const NfcApiStatus status = corvaneSymbolTable.nfcP2PDisconnectRequest(*link);
        if (status != nfcStatusOk) {
            postTrace(traceError, source, "! Sending disconnect request failed (code: %u)", status);
            m_lastStatus = status;
        } else if (link == &listener->connection) {
            listener->hangingUp = true;
        }
        *link = nullptr;
    }
    retireSends(*listener);
    postTrace(traceInfo, source, "Exit (status: %u)", m_lastStatus);
    return m_lastStatus;
}

// ---- Callbacks on the library's threads --------------------------------------------------------

DWORD CNfcInstance::nfcEventCallback(void* context, DWORD event, void*, void* parameter) {
    if (context) instanceOf(context)->dispatchEvent(event, parameter);
    return event;
}

void CNfcInstance::dispatchEvent(DWORD event, void* parameter) {
    const char* source = NFC_SOURCE("dispatchEvent");
    switch (event) {
    case nfcEventTagDetected: {
        TNfcTagInfo tag{};
        if (parameter) std::memcpy(&tag, parameter, sizeof tag);
        const DWORD mask = m_rwRequestedMask.load();
        if (tag.tagType == kTypeFelicaQuirk && !(mask & NFC_LISTEN_FELICA)) return;
        emit signalTagDetected(tag);
        return;
    }
    case nfcEventTagRemoved:
        emit signalTagRemoved();
        return;
    case nfcEventConnected:
    case nfcEventConnectFailed:
    case nfcEventDisconnected:
    case nfcEventHangupTerminated:
    case nfcEventDataTransmitted:
    case nfcEventDataIndication:
    case nfcEventConnectIndication:
        dispatchP2pEvent(event, static_cast<const TP2pConnection*>(parameter));
        return;
    case nfcEventConnectProceeding:
        postTrace(traceInfo, source, "nfcEventConnectProceeding - ignored");
        return;
    case nfcEventReaderRequest: {
        // The PDU lives only during this call.
        const auto* request = static_cast<const TNfcReaderRequest*>(parameter);
        if (!request) return;
        emit signalReaderRequest(request->pdu ? QByteArray(reinterpret_cast<const char*>(request->pdu), request->length)
                                              : QByteArray());
        return;
    }
    case nfcEventTransaction: {
        TNfcTransaction transaction{};
        if (!parameter) return;
        std::memcpy(&transaction, parameter, sizeof transaction);
        emit signalTransaction(transaction);
        return;
    }
    case nfcEventFieldActivity: {
        DWORD on = 0;
        if (parameter) std::memcpy(&on, parameter, sizeof on);
        postTrace(traceInfo, source, on ? "nfcEventFieldActivity - ON" : "nfcEventFieldActivity - OFF");
        return;
    }
    case nfcEventPnpRemovedIndication:
        emit signalPnpRemovedIndication();
        return;
    case nfcEventSecureNotification: {
        TNfcSecureNotification notification{};
        if (!parameter) return;
        std::memcpy(&notification, parameter, sizeof notification);
        emit signalSecureNotification(notification);
        return;
    }
    default:
        postTrace(traceError, source, "! Event not recognized - ignored");
        return;
    }
}

void CNfcInstance::dispatchP2pEvent(DWORD event, const TP2pConnection* parameter) {
    const char* source = NFC_SOURCE("dispatchEvent");
    if (!parameter) return;
    const TP2pConnection connection = copyConnection(parameter);
    switch (event) {
    case nfcEventConnected:
        emit signalP2pConnected(connection);
        return;
    case nfcEventConnectFailed:
        postTrace(traceError, source, "! nfcEventConnectFailed (context: %p)", connection.context);
        emit signalP2pConnectFailed(connection);
        return;
    case nfcEventDisconnected:
        postTrace(traceError, source, "! nfcEventDisconnected (context: %p)", connection.context);
        emit signalP2pDisconnected(connection);
        return;
    case nfcEventHangupTerminated:
        postTrace(traceError, source, "! nfcEventHangupTerminated (context: %p)", connection.context);
        emit signalP2pHangupTerminated(connection);
        return;
    case nfcEventDataTransmitted:
        emit signalP2pDataTransmitted(connection);
        return;
    case nfcEventDataIndication: {
        // The received bytes live only during this call.
        const TP2pData& data = connection.data;
        emit signalP2pDataIndication(connection, data.data ? QByteArray(reinterpret_cast<const char*>(data.data),
                                                                        data.length)
                                                           : QByteArray());
        return;
    }
    default:   // nfcEventConnectIndication
        emit signalP2pConnectIndication(connection);
        return;
    }
}

void CNfcInstance::seListCallback(void* context, TNfcInfoSE* record) {
    CNfcInstance* instance = instanceOf(context);
    if (!instance) return;
    instance->postTrace(traceInfo, NFC_SOURCE("seListCallback"), "Secure elements properties received");
    if (record && instance->m_secureElementCount < kSecureElementSlots)
        std::memcpy(&instance->m_secureElements[instance->m_secureElementCount++], record, sizeof *record);
    emit instance->signalPropertiesReceived();
}

DWORD CNfcInstance::snepServerCallback(void* context, DWORD event, void* parameter) {
    return context ? instanceOf(context)->dispatchSnepEvent(false, event, parameter) : event;
}

DWORD CNfcInstance::snepClientCallback(void* context, DWORD event, void* parameter) {
    return context ? instanceOf(context)->dispatchSnepEvent(true, event, parameter) : event;
}

DWORD CNfcInstance::dispatchSnepEvent(bool client, DWORD event, void* parameter) {
    const char* source = client ? NFC_SOURCE("snepClientCallback") : NFC_SOURCE("snepServerCallback");
    const BYTE role = client ? kSnepClient : kSnepServer;
    // Only a server's events carry the server's union; a client's report is the smaller, less
    // aligned TSnepClientReport, so the count both begin with is copied out.
    const auto* report = client ? nullptr : static_cast<const TSnepServerReport*>(parameter);
    DWORD count = 0;
    if (parameter) std::memcpy(&count, parameter, sizeof count);
    switch (event) {
    case snepEventConnected:
        postTrace(traceInfo, source, client ? "SNEP client connected" : "SNEP server connected");
        if (client) QMetaObject::invokeMethod(this, [this] { snepClientConnected(); }, Qt::QueuedConnection);
        break;
    case snepEventGetReceived:
        postTrace(traceInfo, source, "SNEP client sent data by GET (length: %u)", report ? report->get.ndefLength : 0);
        break;
    case snepEventPutReceived: {
        const DWORD length = report ? report->put.ndefLength : 0;
        postTrace(traceInfo, source, "SNEP client sent data by PUT (length: %u)", length);
        // The NDEF bytes live only during this call.
        QByteArray data = report && report->put.ndef
                              ? QByteArray(reinterpret_cast<const char*>(report->put.ndef), static_cast<qsizetype>(length))
                              : QByteArray();
        QMetaObject::invokeMethod(this, [this, data] {
            m_snepPutData = data;
            emit signalSnepPut();
        }, Qt::QueuedConnection);
        break;
    }
    case snepEventProgress:
        postTrace(traceInfo, source, "SNEP transaction in progress (bytes: %u)", count);
        emit signalSnepProgress(role, count);
        break;
    case snepEventResponse:
    case snepEventFailed: {
        const bool success = event == snepEventResponse;
        if (success)
            postTrace(traceInfo, source, "SNEP transaction finished");
        else
            postTrace(traceError, source, "! SNEP transaction failed");
        emit signalSnepEnded(role, success);
        if (client) QMetaObject::invokeMethod(this, [this, success] { snepPutEnded(success); }, Qt::QueuedConnection);
        break;
    }
    case snepEventClientDisconnected:
        emit signalSnepDisconnected();
        postTrace(traceInfo, source, "SNEP client disconnected");
        break;
    case snepEventEnded:
        postTrace(traceInfo, source, "SNEP server closed");
        // Handles are released on the GUI thread, never inside the library's callback.
        QMetaObject::invokeMethod(this, [this, client] {
            if (client) {
                snepClientEnded();
            } else {
                m_snepServer = nullptr;
                m_snepServerStopping = false;
            }
        }, Qt::QueuedConnection);
        break;
    default:
        postTrace(traceError, source, "! Event not recognized - ignored");
        break;
    }
    return event;
}

DWORD CNfcInstance::nppServerCallback(void* context, DWORD event, BYTE*, DWORD) {
    CNfcInstance* instance = instanceOf(context);
    if (!instance) return event;
    const char* source = NFC_SOURCE("nppServerCallback");
    instance->postTrace(traceInfo, source, "NPP event detected (event: %u)", event);
    if (event < std::size(kNppEventTexts))
        instance->postTrace(traceInfo, source, "%s", kNppEventTexts[event]);
    else
        instance->postTrace(traceError, source, "! NPP unknown event");
    return event;
}

// ---- Relay slots on the GUI thread -----------------------------------------------------------

void CNfcInstance::handleTagDetected(TNfcTagInfo tag) {
    const char* source = NFC_SOURCE("handleTagDetected");
    postTrace(traceInfo, source, "Enter");
    m_tagInfo = tag;
    const size_t uidLength = std::min<size_t>(tag.uidLength, sizeof tag.uid);
    m_tagIdentifier = QByteArray(reinterpret_cast<const char*>(tag.uid), static_cast<qsizetype>(uidLength));
    m_technologyType = tag.tagType & ~static_cast<DWORD>(TAG_NDEF);
    emit signalNfcTechnologyDiscovered(&m_tagInfo);
    postTrace(traceInfo, source, "Exit");
}

void CNfcInstance::forgetTag() {
    m_tagIdentifier.clear();
    m_technologyType = 0;
    m_tagConnected = false;
}

void CNfcInstance::handleTagRemoved() {
    const char* source = NFC_SOURCE("handleTagRemoved");
    postTrace(traceInfo, source, "Enter");
    releaseSnepClient();
    dropSnepMessages();
    forgetTag();
    emit signalNfcTechnologyRemoved();
    postTrace(traceInfo, source, "Exit");
}

void CNfcInstance::handlePnpRemovedIndication() {
    const char* source = NFC_SOURCE("handlePnpRemovedIndication");
    postTrace(traceInfo, source, "Enter");
    forgetTag();
    emit signalNfcDeviceRemoved();
    postTrace(traceInfo, source, "Exit");
}

void CNfcInstance::releaseSnepClient() {
    m_snepClientState = SnepClientState::None;
    if (!m_snepClient) return;
    if (libraryRunning()) {
        const NfcApiStatus status = corvaneSymbolTable.snepReleaseClient(m_snepClient);
        if (status != nfcStatusOk)
            postTrace(traceError, NFC_SOURCE("snepReleaseClient"), "! Release from SNEP client failed (code: %u)",
                      status);
    }
    m_snepClient = nullptr;
}

// Messages that can no longer go (the peer left) end as a failed push, once.
void CNfcInstance::dropSnepMessages() {
    if (m_snepPending.empty()) return;
    m_snepPending.clear();
    emit signalSnepEnded(kSnepClient, false);
}

// The client's reports carry no handle: the library reports on its one worker thread, and the
// reports reach this thread in that order, so each one is for the client of the current state.
void CNfcInstance::snepClientConnected() {
    if (m_snepClientState != SnepClientState::Connecting) return;
    m_snepClientState = SnepClientState::Ready;
    if (!m_snepPending.empty()) emit signalSnepConnected();
}

// A connection that failed ends what waits for it, reported once; after a PUT the next message goes on the same
// connection, and the last one ends it. A failed PUT ends the connection too: it may be gone,
// and a new one takes what still waits.
void CNfcInstance::snepPutEnded(bool success) {
    if (m_snepClientState == SnepClientState::Connecting) {   // its failure was the report
        releaseSnepClient();
        m_snepPending.clear();
        return;
    }
    if (m_snepClientState != SnepClientState::Putting) return;
    m_snepClientState = SnepClientState::Ready;
    if (success && !m_snepPending.empty())
        snepPut();
    else
        endSnepClient();
}

void CNfcInstance::endSnepClient() {
    if (!m_snepClient || !libraryRunning()) return snepClientGone();
    const NfcApiStatus status = corvaneSymbolTable.snepDisconnect(m_snepClient);
    if (status == nfcStatusPending) {
        m_snepClientState = SnepClientState::Ending;   // until the client reports its end
        return;
    }
    if (status != nfcStatusOk)
        postTrace(traceError, NFC_SOURCE("snepDisconnect"), "! Disconnecting from SNEP server failed (code: %u)",
                  status);
    snepClientGone();
}

void CNfcInstance::snepClientEnded() {
    if (m_snepClientState != SnepClientState::None) snepClientGone();
}

// The handle is released once the client has ended; a message that came meanwhile gets a new one.
void CNfcInstance::snepClientGone() {
    releaseSnepClient();
    if (!m_snepPending.empty()) snepConnect(m_snepMiu);
}

// A peer's client leaving our server ends our client too, unless it still has work.
void CNfcInstance::handleSnepDisconnect() {
    const char* source = NFC_SOURCE("handleSnepDisconnect");
    postTrace(traceInfo, source, "Enter");
    if (m_snepClientState == SnepClientState::Ready && m_snepPending.empty()) {
        endSnepClient();
        disconnect(this, &CNfcInstance::signalSnepConnected, this, nullptr);
        disconnect(this, &CNfcInstance::signalSnepDisconnected, this, &CNfcInstance::handleSnepDisconnect);
    }
    postTrace(traceInfo, source, "Exit");
}

void CNfcInstance::emitConnection(void (CNfcInstance::*signal)(TP2pConnection*), const TP2pConnection& connection) {
    if (!isSignalConnected(QMetaMethod::fromSignal(signal))) return;
    auto* copy = new (std::nothrow) TP2pConnection(connection);
    if (copy) emit(this->*signal)(copy);
}

void CNfcInstance::handleP2pConnected(TP2pConnection connection) {
    const char* source = NFC_SOURCE("handleP2pConnected");
    postTrace(traceInfo, source, "Enter");
    emitConnection(&CNfcInstance::signalP2pConnectionEstablished, connection);
    postTrace(traceInfo, source, "Exit");
}

void CNfcInstance::handleP2pConnectIndication(TP2pConnection connection) {
    const char* source = NFC_SOURCE("handleP2pConnectIndication");
    postTrace(traceInfo, source, "Enter");
    P2pBlock* listener = blockBySap(m_p2pListeners, connection.connected.localSap);
    if (!listener) {
        postTrace(traceError, source, "! Unsupported SAP in connect request");
        postTrace(traceInfo, source, "Exit");
        return;
    }
    listener->connection = connection.newConnection;
    listener->remoteWindow = connection.connected.remoteWindow;
    listener->remoteMiu = connection.connected.remoteMiu;
    listener->remoteSap = connection.connected.remoteSap;
    if (libraryRunning()) {
        m_lastStatus = corvaneSymbolTable.nfcP2PConnectResponse(connection.newConnection, listener,
                                                                &CNfcInstance::nfcEventCallback);
        if (m_lastStatus != nfcStatusOk)
            postTrace(traceError, source, "! Responding to P2P connect failed (code: %u)", m_lastStatus);
    }
    emitConnection(&CNfcInstance::signalP2pConnectionRequested, connection);
    postTrace(traceInfo, source, "Exit");
}

void CNfcInstance::handleP2pDisconnected(TP2pConnection connection) {
    const char* source = NFC_SOURCE("handleP2pDisconnected");
    postTrace(traceInfo, source, "Enter");
    forgetEndedLink(connection);
    emitConnection(&CNfcInstance::signalP2pConnectionDisconnected, connection);
    postTrace(traceInfo, source, "Exit");
}

void CNfcInstance::handleP2pConnectFailed(TP2pConnection connection) {
    const char* source = NFC_SOURCE("handleP2pConnectFailed");
    postTrace(traceInfo, source, "Enter");
    forgetEndedLink(connection);
    emitConnection(&CNfcInstance::signalP2pConnectionFailed, connection);
    postTrace(traceInfo, source, "Exit");
}

// The end of a connection we hung up: a client's, or one a listener had accepted. A listener's
// own end is no connection's.
void CNfcInstance::handleP2pHangupTerminated(TP2pConnection connection) {
    const char* source = NFC_SOURCE("handleP2pHangupTerminated");
    postTrace(traceInfo, source, "Enter");
    P2pBlock* block = blockOf(connection);
    if (block && (isClient(*block) || std::exchange(block->hangingUp, false))) {
        forgetEndedLink(connection);
        emitConnection(&CNfcInstance::signalP2pConnectionTerminated, connection);
    }
    postTrace(traceInfo, source, "Exit");
}

void CNfcInstance::handleP2pDataIndication(TP2pConnection connection, QByteArray data) {
    const char* source = NFC_SOURCE("handleP2pDataIndication");
    postTrace(traceInfo, source, "Enter");
    // The copy points at the instance's bytes, valid until the next data indication.
    m_p2pReceived = data;
    connection.data.data = reinterpret_cast<BYTE*>(m_p2pReceived.data());
    connection.data.length = static_cast<WORD>(m_p2pReceived.size());
    emitConnection(&CNfcInstance::signalP2pDataReceived, connection);
    postTrace(traceInfo, source, "Exit");
}

void CNfcInstance::handleTransaction(TNfcTransaction transaction) {
    const char* source = NFC_SOURCE("handleTransaction");
    postTrace(traceInfo, source, "Enter");
    m_eventParam.transaction = transaction;
    const size_t aidLength = std::min<size_t>(transaction.aidLength, sizeof transaction.aid);
    const size_t paramLength = std::min<size_t>(transaction.paramLength, sizeof transaction.param);
    const QString text = QStringLiteral("Transaction received:\nAID length: %1\nAID data (hex):\n%2"
                                        "\nParameter length: %3\nParameter data (hex):\n%4")
                             .arg(transaction.aidLength)
                             .arg(bytesToHexDump(transaction.aid, aidLength))
                             .arg(transaction.paramLength)
                             .arg(bytesToHexDump(transaction.param, paramLength));
    emit signalSeMessage(text);
    postTrace(traceInfo, source, "Exit");
}

const TNfcInfoSE* CNfcInstance::findSecureElement(NfcSecureHandle handle) {
    if (!libraryRunning()) return nullptr;
    TNfcCapabilities capabilities{};
    if (corvaneSymbolTable.nfcGetCapabilities(m_hApp, &capabilities, NFC_CAPABILITIES_SIZE(1)) != nfcStatusOk ||
        !capabilities.controllerCount || !capabilities.controller)
        return nullptr;
    const TNfcCapabilityBlock& block = *capabilities.controller;
    for (int i = 0; i < std::min<int>(block.secureElementCount, NFC_MAX_SECURE_ELEMENTS); ++i)
        if (block.secureElements[i] && block.secureElements[i]->handle == handle) return block.secureElements[i];
    return nullptr;
}

void CNfcInstance::handleSecureNotification(TNfcSecureNotification notification) {
    const char* source = NFC_SOURCE("handleSecureNotification");
    postTrace(traceInfo, source, "Enter");
    if (m_secureElementCount < kSecureElementSlots) {
        if (const TNfcInfoSE* element = findSecureElement(notification.handle)) {
            TNfcInfoSE& slot = m_secureElements[m_secureElementCount++];
            std::memcpy(&slot, element, sizeof slot);
            emit signalSeNotification(&slot);
        } else {
            postTrace(traceError, source, "! Secure element (handle 0x%08X) not found - ignored", notification.handle);
        }
    }
    postTrace(traceInfo, source, "Exit");
}

const TNfcInfoSE* CNfcInstance::secureElement(int slot) const {
    return slot >= 0 && slot < m_secureElementCount ? &m_secureElements[slot] : nullptr;
}
