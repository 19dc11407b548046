// One use of the library: CNfcInstance loads and starts it, and turns the reports that the
// library's callbacks deliver on its own threads into Qt signals on the GUI thread.
//
// What crosses from a library thread to the GUI thread is always a copy carried by value in a
// queued internal signal: the library's records live only during its callback, and the
// instance's own copies (tag, event parameter, SE table) are written only on the GUI thread,
// so a slot never reads a copy that a newer event is overwriting.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <atomic>

#include "corvane.h"
#include "metatypes.h"

class CNfcInstance : public QObject {
    Q_OBJECT

public:
    // Trace levels of signalPostTrace.
    enum TraceLevel : DWORD { traceError = 2, traceWarning = 3, traceInfo = 4 };

    static constexpr int kSecureElementSlots = 4;

    CNfcInstance();
    ~CNfcInstance() override;

    NfcApiStatus nfcStart();
    NfcApiStatus nfcStop(DWORD listenerMask);

    void setTraceFlags(DWORD nfcFlags, DWORD l1Flags);
    void setNfcFlags(DWORD flags) { m_nfcFlags = flags; }
    DWORD getNfcFlags() const { return m_nfcFlags; }
    void setL1Flags(DWORD flags) { m_l1Flags = flags; }
    DWORD getL1Flags() const { return m_l1Flags; }
    void setConfiguration(const QString& configuration) { m_configuration = configuration; }

    // The P2P relay slots follow the P2P listener: connected while one is registered.
    void p2pStart();
    void p2pStop();
    NfcApiStatus p2pDisconnect(BYTE sap);
    NfcApiStatus p2pStopListener(BYTE sap);

    DWORD lastStatus() const { return m_lastStatus; }
    NfcHandle applicationHandle() const { return m_hApp; }
    DWORD technologyType() const { return m_technologyType; }
    QByteArray tagIdentifier() const { return m_tagIdentifier; }
    const TNfcEventParam* eventParam() const { return &m_eventParam; }
    int secureElementCount() const { return m_secureElementCount; }
    const TNfcInfoSE* secureElement(int slot) const;
    P2pLinkHandle listenerConnection(BYTE sap) const;
    const QByteArray& snepPutData() const { return m_snepPutData; }

    // Callbacks handed to the library; the context is always the instance.
    static DWORD nfcEventCallback(void* context, DWORD event, void* listener, void* parameter);
    static void seListCallback(void* context, TNfcInfoSE* record);
    static DWORD snepServerCallback(void* context, DWORD event, void* parameter);
    static DWORD snepClientCallback(void* context, DWORD event, void* parameter);
    static DWORD nppServerCallback(void* context, DWORD event, BYTE* data, DWORD length);

signals:
    void signalPostTrace(DWORD level, const char* source, char* text);
    void signalNfcTechnologyDiscovered(TNfcTagInfo* tag);
    void signalNfcTechnologyRemoved();
    void signalNfcDeviceRemoved();
    void signalP2pConnectionRequested(TP2pConnection* connection);
    void signalP2pConnectionEstablished(TP2pConnection* connection);
    void signalP2pDataReceived(TP2pConnection* connection);
    void signalP2pDataSent(TP2pConnection* connection);
    void signalP2pConnectionTerminated(TP2pConnection* connection);
    void signalP2pConnectionDisconnected(TP2pConnection* connection);
    void signalP2pConnectionFailed(TP2pConnection* connection);
    void signalSeNotification(TNfcInfoSE* secureElement);
    void signalLegacyMessage(QString text);
    void signalMfMessage(QString text);
    void signalCeMessage(QString text);
    void signalSeMessage(QString text);
    void signalIoMessage(QString text);

    // Internal: from the library's thread to the instance's own slots, by value.
    void signalTagDetected(TNfcTagInfo tag);
    void signalTagRemoved();
    void signalPnpRemovedIndication();
    void signalP2pConnected(TP2pConnection connection);
    void signalP2pConnectFailed(TP2pConnection connection);
    void signalP2pDisconnected(TP2pConnection connection);
    void signalP2pHangupTerminated(TP2pConnection connection);
    void signalP2pDataTransmitted(TP2pConnection connection);
    void signalP2pDataIndication(TP2pConnection connection, QByteArray data);
    void signalP2pConnectIndication(TP2pConnection connection);
    void signalReaderRequest(QByteArray pdu);
    void signalTransaction(TNfcTransaction transaction);
    void signalSecureNotification(TNfcSecureNotification notification);
    void signalPropertiesReceived();
    void signalSnepPut();
    void signalSnepConnected();
    void signalSnepEnded(BYTE client, BOOL success);
    void signalSnepDisconnected();
    void signalSnepProgress(BYTE client, DWORD bytes);

public slots:
    void handleTagDetected(TNfcTagInfo tag);
    void handleTagRemoved();
    void handlePnpRemovedIndication();
    void handleSnepDisconnect();
    void handleReaderRequest(QByteArray pdu);
    void handleP2pConnected(TP2pConnection connection);
    void handleP2pConnectIndication(TP2pConnection connection);
    void handleP2pDisconnected(TP2pConnection connection);
    void handleP2pConnectFailed(TP2pConnection connection);
    void handleP2pHangupTerminated(TP2pConnection connection);
    void handleP2pDataIndication(TP2pConnection connection, QByteArray data);
    void handleP2pDataTransmitted(TP2pConnection connection);
    void handleTransaction(TNfcTransaction transaction);
    void handleSecureNotification(TNfcSecureNotification notification);

private:
    // A P2P listener or client on one of the two SAPs.
    struct P2pBlock {
        BYTE sap = 0;
        P2pLinkHandle link = nullptr;        // the listener, or the client's connection
        P2pLinkHandle connection = nullptr;  // a listener's accepted connection
        WORD remoteWindow = 0;
        WORD remoteMiu = 0;
        BYTE remoteSap = 0;
    };

    void postTrace(DWORD level, const char* source, const char* format, ...) __attribute__((format(printf, 4, 5)));
    void dispatchEvent(DWORD event, void* parameter);
    void dispatchP2pEvent(DWORD event, const TP2pConnection* parameter);
    DWORD dispatchSnepEvent(bool client, DWORD event, void* parameter);
    template <typename Signal, typename Slot>
    void relay(bool on, Signal signal, Slot slot);
    void relayRunningSignals(bool on);   // the slots a started instance keeps connected
    void relayP2pSignals(bool on);
    bool libraryRunning() const;
    void releaseSnepClient();
    void forgetTag();
    // Emits a new copy when someone receives it (the receiver deletes it), else frees it.
    void emitConnection(void (CNfcInstance::*signal)(TP2pConnection*), const TP2pConnection& connection);
    const TNfcInfoSE* findSecureElement(NfcSecureHandle handle);
    P2pBlock* blockBySap(P2pBlock (&blocks)[2], BYTE sap);

    QString m_configuration;
    DWORD m_lastStatus = 0;
    NfcHandle m_hApp = nullptr;
    DWORD m_nfcFlags = 0;
    DWORD m_l1Flags = 0;
    NfcListenerHandle m_listeners[4] = {};       // RW, P2P, CE, SE
    std::atomic<DWORD> m_rwRequestedMask{0};     // read by the library's thread

    QByteArray m_tagIdentifier;
    DWORD m_technologyType = 0;
    TNfcTagInfo m_tagInfo{};
    TNfcEventParam m_eventParam{};
    QByteArray m_readerRequestPdu;               // what m_eventParam.readerRequest points into
    TNfcInfoSE m_secureElements[kSecureElementSlots] = {};
    int m_secureElementCount = 0;
    QByteArray m_p2pReceived;                    // what the last data indication's copy points into

    P2pBlock m_p2pListeners[2];
    P2pBlock m_p2pClients[2];

    SnepServerHandle m_snepServer = nullptr;
    SnepClientHandle m_snepClient = nullptr;
    QByteArray m_snepPending;                    // the message to send once the client connected
    QByteArray m_snepPutData;                    // what the last PUT to our server carried
};
