// The program's one main window. It owns the form, the settings file and, while NFC runs, the
// one CNfcInstance; every user action arrives as a slot bound by object name and runs one
// window operation around one blocking call of the instance.
#pragma once

#include <QImage>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <initializer_list>

#include "corvane.h"
#include "ndefmessage.h"

class CNfcInstance;
class QCloseEvent;
class QSettings;
class QTextEdit;
class QComboBox;
class QCheckBox;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class QLabel;
class QSpinBox;
class Ui_CLumaro;

class CLumaro : public QWidget {
    Q_OBJECT
    friend class CLumaroTest;

public:
    explicit CLumaro(QWidget* parent = nullptr);
    ~CLumaro() override;

    // Operation modes of the listeners and of a detected technology.
    enum OperationMode : DWORD { modeNone = 0, modeRw = 0x1, modeP2p = 0x10, modeCe = 0x100, modeSe = 0x1000 };
    enum Status { statusNone, statusInformation, statusOk, statusDue, statusFail };
    enum TraceLevel : DWORD { traceError = 2, traceWarning = 3, traceInfo = 4, traceInfoDetail = 5 };

    // Tags and NDEF: the widgets of one of the three NDEF editors.
    struct NdefEditor;
    enum FormatKind : DWORD { formatNdef = 1, formatErase = 2 };

protected:
    void closeEvent(QCloseEvent* event) override;

private slots:
    // Frame and dialogs
    void on_btnTrace_clicked();
    void on_btnConfigure_clicked();
    void on_btnStartNfc_clicked();
    void on_btnStopNfc_clicked();
    void on_btnRwStart_clicked();
    void on_btnRwStop_clicked();
    void handleNfcConfigurationFinished();
    void handleDialogTraceFlagsClosed(QString nfcMaskText, QString l1MaskText);
    void handleCeConfigurationFinished();

    // Library events
    void handleNfcTechnologyDiscovered(TNfcTagInfo* tag);
    void handleNfcTechnologyRemoved();
    void handleNfcDeviceRemoved();
    void handleP2pConnectionRequested(TP2pConnection* connection);
    void handleP2pConnectionEstablished(TP2pConnection* connection);
    void handleP2pDataReceived(TP2pConnection* connection);
    void handleP2pDataSent(TP2pConnection* connection);
    void handleP2pConnectionTerminated(TP2pConnection* connection);
    void handleP2pConnectionFailed(TP2pConnection* connection);
    void handleP2pConnectionDisconnected(TP2pConnection* connection);
    void handleSeNotification(TNfcInfoSE* secureElement);
    void handleLegacyMessage(QString text);
    void handleMfMessage(QString text);
    void handleCeMessage(QString text);
    void handleSeMessage(QString text);
    void handleIoMessage(QString text);
    void handlePostTrace(DWORD level, QString text);
    void trace(DWORD level, const char* text);
    void handlePostTrace(DWORD level, const char* source, char* text);
    void handleSnepPut();
    void handleSnepDisconnected();
    void handleSnepEnded(BYTE client, BOOL success);
    void handleSnepProgress(BYTE client, DWORD bytes);

    // User interface
    void on_ckbRwAutoReadNdefOnIndication_clicked(bool checked);
    void on_ckbRwNdefAutoRead_clicked(bool checked);
    void on_btnRwNdefRead_clicked();
    void on_btnRwNdefWrite_clicked();
    void on_btnRwNdefWriteMimeSelectImage_clicked();
    void on_btnP2pStart_clicked();
    void on_btnP2pSnepTransmit_clicked();
    void on_btnP2pStop_clicked();
    void on_btnP2pSnepTransmitMimeSelectImage_clicked();
    void on_btnCeStart_clicked();
    void on_btnRwNdefFormat_clicked();
    void on_btnRwNdefErase_clicked();
    void on_btnRwMifareStandardFormatNdef_clicked();
    void on_btnRwMifareStandardErase_clicked();
    void on_btnCeStop_clicked();
    void on_btnP2pStartListener1_clicked();
    void on_btnP2pConnect1_clicked();
    void on_btnP2pStopListener1_clicked();
    void on_btnP2pStartListener2_clicked();
    void on_btnP2pDisconnect1_clicked();
    void on_btnP2pTransmit1_clicked();
    void on_btnP2pStopListener2_clicked();
    void on_btnP2pConnect2_clicked();
    void on_btnP2pDisconnect2_clicked();
    void on_btnP2pTransmit2_clicked();
    void on_btnRwMifareStandardAuthenticateA_clicked();
    void on_btnRwMifareStandardAuthenticateB_clicked();
    void on_btnRwMifareStandardReadBlock_clicked();
    void on_btnRwMifareStandardWrite_clicked();
    void on_btnRwMifareStandardReadSector_clicked();
    void on_btnRwLegacyFormatNdef_clicked();
    void on_btnRwLegacyErase_clicked();
    void on_btnRwLegacySavePdu_clicked();
    void on_cboRwLegacyCommand_currentIndexChanged(int index);
    void on_btnRwLegacyDeletePdu_clicked();
    void on_btnRwLegacyExchangePdu_clicked();
    void on_ckbRwNdefSuppressNdefRtdAction_clicked(bool checked);
    void on_ckbRwNdefSuppress_clicked(bool checked);
    void on_btnSeOpenEse_clicked();
    void on_btnSeEchoTest_clicked();
    void on_ckbP2pServiceSnepServer_clicked(bool checked);
    void on_ckbP2pServiceNppServer_clicked(bool checked);
    void on_btnSeCloseEse_clicked();
    void on_btnSeSavePdu_clicked();
    void on_btnSeDeletePdu_clicked();
    void on_btnSeExchangePdu_clicked();
    void on_btnIoSavePdu_clicked();
    void on_btnIoDeletePdu_clicked();
    void on_btnIoSendPdu_clicked();
    void on_btnIoSendRaw_clicked();
    void on_sboRwMifareStandardBlock_valueChanged(int value);
    void on_cboControllerConfiguration_currentIndexChanged(int index);
    void on_btnUnregister_clicked();
    void on_ckbSeSlot0_clicked(bool checked);
    void on_ckbSeSlot1_clicked(bool checked);
    void on_ckbSeSlot2_clicked(bool checked);
    void on_ckbSeSlot3_clicked(bool checked);
    void on_ckbP2pSnepAutoTransmit_clicked(bool checked);
    void on_ckbP2pSnepTransmitAutoTransmit_clicked(bool checked);
    void on_btnCeConfigure_clicked();
    void on_btnRwNdefCheckTag_clicked();
    void on_btnRwLegacyCheckTag_clicked();
    void on_btnRwMifareStandardCheckTag_clicked();
    void on_btnSeAddRoutingEntry_clicked();
    void on_cboSeRoutingType_currentIndexChanged(int index);
    void on_btnSeDeleteRoutingEntry_clicked();
    void on_btnCeNdefModifySave_clicked();
    void on_btnCeNdefModifyLoad_clicked();
    void on_ckbRwIso14443A_clicked(bool checked);
    void on_ckbRwIso14443B_clicked(bool checked);
    void on_btnCeNdefModifyMimeSelectImage_clicked();
    void on_ckbCeIso14443A_clicked(bool checked);
    void on_ckbCeIso14443B_clicked(bool checked);
    void on_cboSeRoutingTableType_currentIndexChanged(int index);
    void on_btnSeWakeUp_clicked();
    void on_cboSeCommand_currentIndexChanged(int index);
    void on_cboIoCommand_currentIndexChanged(int index);
    void on_ckbCeFelica_clicked(bool checked);

private:
    // ---- Log and status ----
    void traceFormatted(DWORD level, const char* source, const char* format, ...)
        __attribute__((format(printf, 4, 5)));
    void traceMessage(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void setLogColour(DWORD level);
    void appendToLog(const char* text);
    void appendToPageLog(QTextEdit* pageLog, const QString& text, int dashes);
    void setStatus(int state, const QString& text);

    // ---- Mode-wise widget states ----
    void lockUi(DWORD mode);
    void disableUi(DWORD mode);
    void clearUi(DWORD mode);
    void enableUi(DWORD mode, const TNfcTagInfo* tag);
    void enableRwUi(const TNfcTagInfo* tag);
    void enableTagControls(DWORD mode, bool enable);
    void resetStatusLabels();

    // ---- Operations ----
    void nfcSetTraceFlags(DWORD nfcMask, DWORD l1Mask);
    // Every operation that calls the library runs one pattern: "Enter", status DUE, its before
    // step (its controls off), one repaint, the call (refused without an instance), its failure
    // line, status OK or FAIL, its after step (its controls as the result leaves them), "Exit".
public:
    struct Operation {
        const char* source = nullptr;
        QString statusText = {};                     // empty: the status label is left alone
        QString enterLine = QStringLiteral("Enter"); // empty: none
        const char* failureText = nullptr;           // null: the call traces its own failures
        bool failureSaysCode = true;                 // "%s (code: %u)", else the text alone
        bool failedWithoutInstance = false;          // the failure line also follows a missing instance
        bool needsInstance = true;
        bool exitSaysCode = false;                   // "Exit (code: %u)" for "Exit (status: %u)"
        std::function<void()> before = {};
        std::function<void(NfcApiStatus)> after = {};
    };

private:
    NfcApiStatus runOperation(const Operation& operation, const std::function<NfcApiStatus()>& call);
    // The steps of an operation that switches these controls off while it runs.
    static std::function<void()> switchedOff(std::initializer_list<QWidget*> controls);
    static std::function<void(NfcApiStatus)> switchedOn(std::initializer_list<QWidget*> controls);
    // An operation on the connected tag: the tag's controls are off while it runs.
    Operation tagOperation(const char* source, const QString& statusText);
    // A server's start or stop, whose failure line is written also when no instance runs.
    static Operation serverOperation(const char* source, const char* statusText, const char* failureText);
    void releaseInstance();
    NfcApiStatus nfcStart();
    NfcApiStatus nfcStop();
    NfcApiStatus startInstance(const char* source, QString configuration);
    NfcApiStatus stopInstance(const char* source);
    void startP2pServers();
    void stopP2pServers();
    void printCapabilities(const TNfcCapabilities* capabilities);
    void mapSecureElements(const TNfcCapabilityBlock& block);
    void printFirmwareVersion(bool restore, const QString& configuration);
    void enableTechnologies(DWORD supported);
    QCheckBox* seSlotBox(int slot) const;

    // ---- Listeners ----
    struct ModeEntry {
        DWORD mode;
        const char* name;
        const char* startText;
        const char* stopText;
        const char* role;
        QPushButton* Ui_CLumaro::*startButton;
        QPushButton* Ui_CLumaro::*stopButton;
    };
    const ModeEntry* modeEntry(DWORD mode) const;
    DWORD getRequestedListenMask(DWORD mode);
    void wireModeSignals(DWORD mode, bool wire);
    NfcApiStatus nfcRegisterListener(DWORD mode);
    void showRegistration(const ModeEntry& entry, bool registered);
    NfcApiStatus nfcUnregisterListener(DWORD modes);
    bool unregisterMode(const ModeEntry& entry);

    // ---- I/O page ----
    NfcApiStatus ioSend(const char* source, DWORD code);
    NfcApiStatus ioSendPdu();
    NfcApiStatus ioSendRaw();

public:
    // A list of named PDUs: its settings group and the page's widgets.
    struct StoredCommandList {
        const char* group;
        QComboBox* combo;
        QLineEdit* pdu;
        QLineEdit* description;
        // The legacy list's rules: a name saved again gets one more item, new items go first, a
        // "/" nests the key, and the PDU is read from the settings rather than from the item.
        bool nested = false;
    };

private:
    void saveStoredCommand(const StoredCommandList& list);
    void deleteStoredCommand(const StoredCommandList& list);
    void loadStoredCommands(const StoredCommandList& list);
    void showStoredCommand(const StoredCommandList& list, int index);
    StoredCommandList ioCommandList() const;

    // ---- Secure elements ----
    NfcApiStatus seSlotOperation(const char* source, int slot, const QString& enterLine,
                                 const std::function<NfcApiStatus(QCheckBox&)>& call);
    // An operation on the embedded SE chosen by the id combo; a text that is no number sends nothing.
    NfcApiStatus seIdOperation(const char* source, const QString& statusText, QWidget* button,
                               const char* failureText, bool traceId,
                               const std::function<NfcApiStatus(CNfcInstance&, BYTE)>& call);
    NfcApiStatus seStart(int slot);
    NfcApiStatus seStop(int slot);
    QString printSecureElement(const TNfcInfoSE& element);
    int fillSeIdCombos(bool onlyCapable);
    bool seBuildRoutingEntry(TNfcRoutingEntry* entry);
    StoredCommandList seCommandList() const;
    void loadSeCommands();

    // ---- Settings ----
    void loadSettings();
    void saveGeometry();
    void restoreGeometry();
    void loadTraceFlags(DWORD* nfcMask, DWORD* l1Mask);
    void loadParameters();
    void loadControllerConfigurations();
    void initTraceFlagSettings();
    void initCapabilityContainerSettings();
    void initSeRouting(int started);
    void iconForTagType(DWORD tagType);

    // ---- Tags and NDEF ----
    friend class TagsNdefTest;
    void printTagInfo(const TNfcTagInfo& tag);
    NfcApiStatus nfcCheckPresence();
    NfcApiStatus rwRead();
    void printNdefMessage(QTreeWidget* tree, CNdefMessage* message, bool suppressAction);
    bool fillNdefRecord(QTreeWidgetItem* item, const TNdefRecordInfo& info, bool suppressAction, QString& lastUri);
    void fillNdefRtdText(QTreeWidgetItem* item, const TNdefRecordInfo& info);
    void startTextProcess(const QString& text);
    void fillNdefRtdUri(QTreeWidgetItem* item, const TNdefRecordInfo& info);
    void fillNdefRtdSmartPoster(QTreeWidgetItem* item, const TNdefRecordInfo& info, bool suppressAction,
                                const QString& lastUri);
    void fillNdefNumber(QTreeWidgetItem* item, const TNdefRecordInfo& info);
    void fillNdefRawData(QTreeWidgetItem* item, const TNdefRecordInfo& info);
    void fillNdefUtf8Field(QTreeWidgetItem* item, const TNdefRecordInfo& info);
    void fillNdefHandoverAlternativeCarrier(QTreeWidgetItem* item, const TNdefRecordInfo& info);
    void fillNdefHandoverCarrier(QTreeWidgetItem* item, const TNdefRecordInfo& info);
    void fillNdefHandoverVersion(QTreeWidgetItem* item, const TNdefRecordInfo& info);
    void fillNdefHandoverCollision(QTreeWidgetItem* item, const TNdefRecordInfo& info);
    void fillNdefHandoverError(QTreeWidgetItem* item, const TNdefRecordInfo& info);
    void fillNdefMime(QTreeWidgetItem* item, const TNdefRecordInfo& info, const QString& mimeType);
    NfcApiStatus buildNdefMessage(CNdefMessage* message);
    NfcApiStatus snepBuildNdefMessage(CNdefMessage* message);
    NfcApiStatus ceBuildNdefMessage(CNdefMessage* message);
    NfcApiStatus buildFromEditor(const NdefEditor& editor, CNdefMessage* message);
    NfcApiStatus rwWrite();
    NfcApiStatus format(DWORD kind);
    void selectImage(QLineEdit* path);
    // The SNEP page's transmission, called by the automatic one of a detected peer.
    NfcApiStatus snepTransmit();
    // ---- Legacy and MIFARE Classic pages ----
    NfcApiStatus legacyExchangePdu();
    StoredCommandList legacyCommandList() const;
    void loadLegacyCommands();
    void updateRwMifareStandardBlocksSectors(int block);
    BYTE mifareSector() const;
    BYTE mifareBlock() const;
    NfcApiStatus mfAuthenticate(BYTE keyType);
    NfcApiStatus mfReadBlock();
    NfcApiStatus mfReadSector();
    NfcApiStatus mfWriteBlock();

    // ---- Raw LLCP connections ----
    // The widgets of the connection on SAP 15, or of the one on SAP 14 for any other SAP.
    struct P2pRow {
        QSpinBox* miu;
        QSpinBox* windowSize;
        QPushButton* startListener;
        QPushButton* stopListener;
        QLabel* listenerStatus;
        QPushButton* connect;
        QPushButton* disconnect;
        QPushButton* transmit;
        QLabel* sessionStatus;
        QLabel* rxBytes;
        QLabel* txBytes;
        QCheckBox* echo;
        QCheckBox* continuous;
    };
    P2pRow p2pRow(BYTE sap) const;
    NfcApiStatus p2pStartListener(BYTE sap);
    NfcApiStatus p2pStopListener(BYTE sap);
    NfcApiStatus p2pConnect(BYTE sap);
    NfcApiStatus p2pDisconnect(BYTE sap);
    NfcApiStatus p2pTransmit(BYTE sap, const BYTE* data, DWORD size, QPushButton* button);
    BYTE p2pRecordSap(const TP2pConnection& record) const;
    void showP2pConnected(const char* source, TP2pConnection* connection);
    void showP2pEnded(const char* source, TP2pConnection* connection);

    // ---- SNEP page ----
    NfcApiStatus snepStartServer(WORD miu, const QString& serviceName, BYTE sap);
    NfcApiStatus snepStopServer();
    NfcApiStatus nppStartServer();
    NfcApiStatus nppStopServer();
    NfcApiStatus handoverStopServer();

    // ---- Card emulation page ----
    friend class CeTest;
    friend class SnepTest;
    friend class SnepRealTest;
    DWORD getCeContentType() const;
    void ceLoadCapabilityContainer(DWORD mask, BYTE* capabilityContainer, BYTE* attributeBlock, bool advanced);
    NfcApiStatus ceStartEmulation(DWORD mask);
    NfcApiStatus ceSave();
    NfcApiStatus ceLoad();
    NfcApiStatus ceShowMessage(const CNdefMessage& message);

    DWORD currentMode = 0;
    Ui_CLumaro* ui = nullptr;
    QSettings* settings = nullptr;
    QComboBox* configurationCombo = nullptr;
    QTextEdit* logView = nullptr;
    CNfcInstance* nfcInstance = nullptr;
    // The dialogs delete themselves on close: the pointers clear themselves with them.
    QPointer<QWidget> controllerConfigurationDialog;
    QPointer<QWidget> traceFlagsDialog;
    QPointer<QWidget> capabilityContainerDialog;
    DWORD nfcFlags = 0;
    DWORD l1Flags = 0;
    DWORD activeModes = 0;
    BYTE seSlot = 0;
    BYTE seStartedCount = 0;
    DWORD seSlotsMapped = 0;
    DWORD seRoutingTableType = 0;
    DWORD currentTagType = 0;
    DWORD ceListenMask = 0;
    CNdefMessage ndefMessage;
    bool startProcess = false;
    QString lastImageDirectory;
    QString savedWindowTitle;
    WORD snepMiu = 0;
    // Tags and NDEF: the modal file dialog and the process start, replaceable by tests.
    std::function<QString(QWidget*, const QString&, const QString&, const QString&)> fileChooser;
    std::function<bool(const QString&, const QStringList&)> processLauncher;
};
