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
#include <deque>
#include <memory>

#include "cardemulation.h"
#include "corvane.h"
#include "metatypes.h"

class CNdefMessage;

class CNfcInstance : public QObject {
    Q_OBJECT

public:
    // Trace levels of signalPostTrace.
    enum TraceLevel : DWORD { traceError = 2, traceWarning = 3, traceInfo = 4 };

    static constexpr int kSecureElementSlots = 4;

    // Operation modes, shared with the window: one listener each.
    enum OperationMode : DWORD { modeRw = 0x1, modeP2p = 0x10, modeCe = 0x100, modeSe = 0x1000 };

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

    // ---- Listeners ----
    // isoDepBitRate, felicaBitRate and option go into the listen parameters (0: not given).
    NfcApiStatus nfcRegisterListener(DWORD mode, DWORD requestedMask, WORD isoDepBitRate, WORD felicaBitRate,
                                     WORD option);
    NfcApiStatus nfcUnregisterListener(DWORD modes, DWORD notifyMode);
    NfcListenerHandle listener(DWORD mode) const;
    NfcListenerHandle supportListener() const { return m_supportListener; }
    DWORD rwRequestedMask() const { return m_rwRequestedMask.load(); }

    // ---- Controller and tags ----
    TNfcCapabilities* nfcGetCapabilities();
    DWORD getSupportedTechnologies() const;
    // The record the last successful nfcGetCapabilities filled, or null.
    const TNfcCapabilities* capabilities() const { return m_capabilities.controller ? &m_capabilities : nullptr; }
    NfcApiStatus nfcCheckPresence();
    NfcApiStatus connectTag();
    NfcApiStatus disconnectTag();
    NfcApiStatus getTagInfo(DWORD mode, TNfcTagInfo* info);
    NfcApiStatus readNdefTag(CNdefMessage* message);
    NfcApiStatus writeNdefTag(CNdefMessage* message);
    NfcApiStatus format(DWORD type, DWORD size);
    NfcApiStatus formatNdef(DWORD size);
    NfcApiStatus formatLegacy();
    NfcApiStatus legacyExchangePdu(const QString& hexText);

    // ---- MIFARE Classic (sectors 0-39, blocks 0-255) ----
    NfcApiStatus mfAuthenticate(BYTE type, DWORD sector, const QString& keyText);
    NfcApiStatus mfReadBlock(DWORD block);
    NfcApiStatus mfReadSector(DWORD sector);
    NfcApiStatus mfWriteBlock(DWORD block, const QString& hexData);

    // ---- P2P on SAP 15 and 14 ----
    // The P2P relay slots follow the P2P listener: connected while one is registered.
    void p2pStart();
    void p2pStop();
    NfcApiStatus p2pStartListener(BYTE sap, WORD window, WORD miu);
    NfcApiStatus p2pStopListener(BYTE sap);
    NfcApiStatus p2pConnect(BYTE sap, WORD window, WORD miu);
    NfcApiStatus p2pDisconnect(BYTE sap);
    // The sent bytes stay with the instance until that connection's data-sent report.
    NfcApiStatus p2pTransmit(BYTE sap, WORD size);
    NfcApiStatus p2pTransmit(BYTE sap, const BYTE* data, WORD size);
    NfcApiStatus p2pSendConnectResponse(TP2pConnection* connection);
    NfcApiStatus p2pSendDataResponse(TP2pConnection* connection);
    P2pLinkHandle clientConnection(BYTE sap) const;

    // ---- SNEP, NPP, handover ----
    NfcApiStatus snepStartServer(WORD miu, const QString& serviceName, BYTE sap);
    NfcApiStatus snepStopServer();
    NfcApiStatus snepReleaseServer();
    NfcApiStatus snepConnect(WORD miu);
    NfcApiStatus snepDisconnect();
    NfcApiStatus snepReleaseClient();
    NfcApiStatus snepTransmit(CNdefMessage* message, WORD miu);
    NfcApiStatus snepPut();
    NfcApiStatus nppStartServer();
    NfcApiStatus nppStopServer();
    NfcApiStatus handoverStopServer();

    // ---- Secure elements and I/O control ----
    NfcApiStatus seStart(BYTE slot);
    NfcApiStatus seStop(BYTE slot);
    NfcApiStatus seOpenEse(BYTE seId);
    NfcApiStatus seCloseEse(BYTE seId);
    NfcApiStatus seEchoTest(BYTE seId);
    NfcApiStatus seExchangePdu(BYTE seId, const QString& hexText);
    NfcApiStatus seAddRoutingEntry(const TNfcRoutingEntry* entries, DWORD count);
    const TNfcInfoSE* getSecureElementById(BYTE seId);
    NfcApiStatus ioControl(const QString& hexText, DWORD code);
    NfcApiStatus deviceIoControl(DWORD code, const BYTE* input, WORD inputLength, BYTE* output, WORD* outputLength);

    // ---- Card emulation ----
    // capabilityContainer: 15 bytes, attributeBlock: 16 bytes.
    NfcApiStatus ceStart(DWORD mask, DWORD contentType, const BYTE* capabilityContainer, const BYTE* attributeBlock);
    NfcApiStatus ceStop();
    NfcApiStatus ceSaveContent(CNdefMessage* message);
    void ceSetConfiguration(const BYTE* capabilityContainer, const BYTE* attributeBlock);
    // Pointers into the instance, valid while it lives. The lengths they hold (bytes 15-16 of
    // the Type 4 record, Ln of the attribute block) may exceed the 4097 bytes of message space
    // when a reader wrote them: readers of the content clamp to kMessageSpace.
    BYTE* ceGetContent() { return m_card.content(); }
    BYTE* ceGetIso14443ABCapabilityContainer() { return m_card.type4Record(); }
    BYTE* ceGetFelicaAttributeBlock() { return m_card.attributeBlock(); }
    // Fills the listen parameters of a registration; false when none are to be given.
    bool prepareListenParam(DWORD mode, DWORD mask, WORD isoDepBitRate, WORD felicaBitRate, WORD option);
    const TNfcListenParam& listenParam() const { return m_listenParam; }

    DWORD lastStatus() const { return m_lastStatus; }
    NfcHandle applicationHandle() const { return m_hApp; }
    DWORD technologyType() const { return m_technologyType; }
    QByteArray tagIdentifier() const { return m_tagIdentifier; }
    const TNfcEventParam* eventParam() const { return &m_eventParam; }
    int secureElementCount() const { return m_secureElementCount; }
    const TNfcInfoSE* secureElement(int slot) const;
    P2pLinkHandle listenerConnection(BYTE sap) const;
    // The SAP (15 or 14) of the listener or client a P2P record is for; 0 for none of them.
    BYTE connectionSap(const TP2pConnection& record) const;
    const QByteArray& snepPutData() const { return m_snepPutData; }

    // Callbacks handed to the library; the application's context is always the instance, and
    // each P2P listener and client is the link context of its own links.
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
    void handleSnepConnected();
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
    // What a P2P data request sends: a new[] buffer that the library reads until it reports the
    // data sent, and that the receiver of signalP2pDataSent then deletes.
    struct PendingSend {
        BYTE* buffer;
        WORD length;
    };
    // A P2P listener or client on one of the two SAPs. Its address is the link context of its
    // links, by which the library names them in its reports: each link confirms its own sends,
    // in the order they were made.
    struct P2pBlock {
        BYTE sap = 0;
        P2pLinkHandle link = nullptr;        // the listener, or the client's connection
        P2pLinkHandle connection = nullptr;  // a listener's accepted connection
        WORD remoteWindow = 0;
        WORD remoteMiu = 0;
        BYTE remoteSap = 0;
        std::deque<PendingSend> sending;     // on the client's link, or on the accepted connection
        bool hangingUp = false;              // a listener's connection we ended, until its report
    };
    // The SNEP client pushes the waiting messages one after the other over one connection, and
    // ends it when none is left; a message that comes meanwhile waits for its turn.
    enum class SnepClientState { None, Connecting, Ready, Putting, Ending };

    void postTrace(DWORD level, const char* source, const char* format, ...) __attribute__((format(printf, 4, 5)));
    void emitTrace(DWORD level, const char* source, char* text);   // takes the text
    // The operation form: the result becomes the last status, a failure is traced with its text.
    NfcApiStatus exitWith(const char* source);
    NfcApiStatus refuse(const char* source, const char* text);   // traces text; status 1
    bool refusedWithoutApplication(const char* source);
    NfcListenerHandle& listenerSlot(DWORD mode);
    NfcApiStatus unregisterMode(DWORD mode);
    void stopSupportListener(const char* source);
    NfcApiStatus startSupportListener(const char* source);
    void relayListenerSignals(DWORD mode, bool on);
    // One raw MIFARE Classic exchange on the RW listener; the answer lands in m_answer.
    NfcApiStatus exchangePdu(const BYTE* command, WORD length, WORD capacity, WORD* answerLength);
    bool readMifareBlock(DWORD block, WORD* answerLength);
    NfcApiStatus p2pSend(const char* source, BYTE sap, BYTE* buffer, WORD size);   // takes the buffer
    // A link that ends confirms nothing more: what it still holds is freed with the instance.
    void retireSends(P2pBlock& block);
    void freePendingSends();
    NfcApiStatus refreshSecureElements(const char* source);
    int secureElementIndex(BYTE seId) const;   // -1 when the table holds none with that id
    NfcApiStatus seSetMode(const char* source, BYTE slot, DWORD mode);
    NfcApiStatus seExchange(const char* source, NfcSecureConnectionHandle connection, const QByteArray& apdu,
                            QByteArray* answer);
    NfcApiStatus ceFillGenericContent(DWORD contentType);
    void dispatchEvent(DWORD event, void* parameter);
    void dispatchP2pEvent(DWORD event, const TP2pConnection* parameter);
    DWORD dispatchSnepEvent(bool client, DWORD event, void* parameter);
    template <typename Signal, typename Slot>
    void relay(bool on, Signal signal, Slot slot) {
        if (on)
            connect(this, signal, this, slot, Qt::UniqueConnection);
        else
            disconnect(this, signal, this, slot);
    }
    void relayRunningSignals(bool on);   // the slots a started instance keeps connected
    void relayP2pSignals(bool on);
    bool libraryRunning() const;
    void releaseSnepClient();
    // The SNEP client's reports, on the GUI thread.
    void snepClientConnected();
    void snepPutEnded(bool success);
    void snepClientEnded();
    void endSnepClient();        // disconnects, or lets the next client take what waits
    void snepClientGone();
    void dropSnepMessages();
    void forgetTag();
    void forgetLibraryHandles();
    // Emits a new copy when someone receives it (the receiver deletes it), else frees it.
    void emitConnection(void (CNfcInstance::*signal)(TP2pConnection*), const TP2pConnection& connection);
    const TNfcInfoSE* findSecureElement(NfcSecureHandle handle);
    P2pBlock* blockBySap(P2pBlock (&blocks)[2], BYTE sap);
    P2pBlock* blockOf(const TP2pConnection& record);
    // The connection of a row: its client's, else the one its listener accepted; null for none.
    P2pBlock* rowConnection(BYTE sap);
    P2pLinkHandle& connectionOf(P2pBlock& block) { return isClient(block) ? block.link : block.connection; }
    void forgetEndedLink(const TP2pConnection& record);
    bool isClient(const P2pBlock& block) const;

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

    NfcListenerHandle m_supportListener = nullptr;
    TNfcListenParam m_listenParam{};             // handed to the library with each registration
    TNfcCapabilities m_capabilities{};
    bool m_tagConnected = false;
    BYTE m_answer[4096] = {};                    // the answer buffer of the raw exchanges
    NfcSecureConnectionHandle m_seConnections[kSecureElementSlots] = {};
    std::deque<PendingSend> m_retiredSends;      // of ended links
    QByteArray m_snepServiceName;                // the name the SNEP server registered

    CCardEmulation m_card;
    std::unique_ptr<CNdefMessage> m_ceMessage;
    DWORD m_ceMask = 0;

    SnepServerHandle m_snepServer = nullptr;
    bool m_snepServerStopping = false;           // asked to stop, until it reports its end
    SnepClientHandle m_snepClient = nullptr;
    SnepClientState m_snepClientState = SnepClientState::None;
    WORD m_snepMiu = 0;                          // of the client's connection
    NppServerHandle m_nppServer = nullptr;
    std::deque<QByteArray> m_snepPending;        // the messages to send, oldest first
    QByteArray m_snepPutData;                    // what the last PUT to our server carried
};
