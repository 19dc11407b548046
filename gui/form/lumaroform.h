#pragma once
// The main window's form: builds the whole widget tree of CLumaro and keeps one member per
// widget and named layout, because the window reads every widget as ui->objectName and binds
// its slots by object name.

#include "formmake.h"
#include "formtexts.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTextBrowser>
#include <QTextEdit>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QWidget>

// The widgets of one copy of the NDEF editor; the vCard fields in the order of VcardField.
struct NdefEditorSlots {
    enum VcardField {
        Title, FirstName, JobTitle, LastName, Phone, Mobile, Email, Company, Country, City, Url, Code, Street,
        VcardFieldCount
    };
    enum class Variant { ReadWrite, Snep, CardEmulation };
    struct VcardSlots {
        FormSlot<QLabel> label;
        FormSlot<QLineEdit> edit;
    };

    Variant variant;
    FormSlot<QTabWidget> tabs;
    FormSlot<QWidget> textPage;
    FormSlot<QLabel> textLanguageLabel;
    FormSlot<QComboBox> textLanguage;
    FormSlot<QLabel> textTextLabel;
    FormSlot<QTextEdit> textText;
    FormSlot<QWidget> uriPage;
    FormSlot<QLabel> uriPrefixLabel;
    FormSlot<QComboBox> uriPrefix;
    FormSlot<QLabel> uriUriLabel;
    FormSlot<QLineEdit> uriUri;
    FormSlot<QWidget> posterPage;
    FormSlot<QLabel> posterLanguageLabel;
    FormSlot<QComboBox> posterLanguage;
    FormSlot<QLabel> posterUriLabel;
    FormSlot<QLineEdit> posterUri;
    FormSlot<QLabel> posterTextLabel;
    FormSlot<QTextEdit> posterText;
    FormSlot<QWidget> vcardPage;
    VcardSlots vcard[VcardFieldCount];
    FormSlot<QPushButton> vcardSave;
    FormSlot<QPushButton> vcardLoad;
    FormSlot<QWidget> mimePage;
    FormSlot<QLabel> mimeUriLabel;
    FormSlot<QLineEdit> mimeUri;
    FormSlot<QPushButton> mimeSelectImage;
};

// The widgets of one raw LLCP connection box, and where the two boxes differ in their grids.
struct LlcpConnectionSlots {
    FormSlot<QGroupBox> box;
    QGridLayout** grid;
    const char* gridName;
    FormSlot<QPushButton> startListener, stopListener;
    FormSlot<QLabel> listenerStatus, windowSizeLabel;
    FormSlot<QSpinBox> windowSize;
    FormSlot<QPushButton> transmit;
    FormSlot<QLabel> rxLabel, rxBytes;
    FormSlot<QPushButton> connect, disconnect;
    FormSlot<QLabel> sessionStatus, miuLabel;
    FormSlot<QSpinBox> miu;
    FormSlot<QCheckBox> continuous;
    FormSlot<QLabel> txLabel, txBytes;
    FormSlot<QCheckBox> randomize, echo;

    const char* title;
    int pageRow;
    int sessionRow;     // connect, disconnect, status, MIU, continuous, TX counter
    int counterColumn;  // of the RX and TX labels; the counters stand right of them
    int continuousSpan;
    int randomizeRow;
    int echoRow;
    int echoSpan;
    int miuMinimum;
    const char* miuTip;  // none: no tool tip
    int txBytesMinWidth;
};

class Ui_CLumaro {
public:
    // Frame (top row, device detection, interaction tabs)
    QGridLayout* gridLayout;
    QLabel* lblImageOem;
    QLabel* lblControllerConfiguration;
    QComboBox* cboControllerConfiguration;
    QPushButton* btnTrace;
    QPushButton* btnConfigure;
    QPushButton* btnUnregister;
    QPushButton* btnStartNfc;
    QPushButton* btnStopNfc;
    QLabel* lblImageMarveld;
    QGroupBox* gboDeviceDetection;
    QGridLayout* gridLayout_36;
    QLabel* lblDeviceImage;
    QLabel* lblDeviceImage2;
    QLabel* lblCurrentLocalRole;
    QLineEdit* ledCurrentLocalRole;
    QLabel* lblDeviceType;
    QLineEdit* ledDeviceType;
    QLabel* lblDeviceId;
    QLineEdit* ledDeviceId;
    QLabel* lblBitRate;
    QLineEdit* ledBitRate;
    QLabel* lblNdefSize;
    QLineEdit* ledNdefSize;
    QLabel* lblStatus;
    QTabWidget* tabInteraction;

    // Page 0: technology
    QWidget* pagTechnology;
    QGridLayout* gridLayout_23;
    QGroupBox* gboRw;
    QGridLayout* gridLayout_4;
    QGroupBox* gboRwMode;
    QGridLayout* gridLayout_40;
    QCheckBox* ckbRwIso14443A;
    QCheckBox* ckbRwIso14443B;
    QRadioButton* rdbRwIsoDepSpeed106;
    QRadioButton* rdbRwIsoDepSpeed212;
    QRadioButton* rdbRwIsoDepSpeed424;
    QRadioButton* rdbRwIsoDepSpeed848;
    QCheckBox* ckbRwInnovisionJewel;
    QCheckBox* ckbRwFelica212;
    QCheckBox* ckbRwFelica424;
    QCheckBox* ckbRwIso15693;
    QCheckBox* ckbRwKovioBarcode;
    QGroupBox* gboRwConfiguration;
    QVBoxLayout* verticalLayout_3;
    QCheckBox* ckbRwPresenceCheck;
    QCheckBox* ckbRwCheckNdef;
    QCheckBox* ckbRwAutoReadNdefOnIndication;
    QCheckBox* ckbRwNdefSuppressNdefRtdAction;
    QPushButton* btnRwStart;
    QPushButton* btnRwStop;
    QGroupBox* gboP2p;
    QGridLayout* gridLayout_8;
    QGroupBox* gboP2pMode;
    QVBoxLayout* verticalLayout_7;
    QCheckBox* ckbP2pInitiatorPassive;
    QCheckBox* ckbP2pTargetPassive;
    QCheckBox* ckbP2pInitiatorActive;
    QCheckBox* ckbP2pTargetActive;
    QGroupBox* gboP2pService;
    QVBoxLayout* verticalLayout_5;
    QCheckBox* ckbP2pServiceSnepServer;
    QCheckBox* ckbP2pServiceNppServer;
    QGroupBox* gboP2pConfiguration;
    QVBoxLayout* verticalLayout_4;
    QCheckBox* ckbP2pSuppressNdefRtdAction;
    QCheckBox* ckbP2pSnepAutoTransmit;
    QPushButton* btnP2pStart;
    QPushButton* btnP2pStop;
    QGroupBox* gboCe;
    QGridLayout* gridLayout_33;
    QGroupBox* gboCeMode;
    QGridLayout* gridLayout_20;
    QCheckBox* ckbCeIso14443A;
    QCheckBox* ckbCeIso14443B;
    QRadioButton* rdbCeIsoDepSpeed106;
    QButtonGroup* buttonGroup_2;
    QRadioButton* rdbCeIsoDepSpeed212;
    QRadioButton* rdbCeIsoDepSpeed424;
    QRadioButton* rdbCeIsoDepSpeed848;
    QCheckBox* ckbCeFelica;
    QRadioButton* rdbCeFelicSpeed212;
    QButtonGroup* buttonGroup;
    QRadioButton* rdbCeFelicSpeed424;
    QCheckBox* ckbCeRfFieldIndication;
    QGroupBox* gboCeConfiguration;
    QGridLayout* gridLayout_19;
    QRadioButton* rdbCeInsertText;
    QRadioButton* rdbCeInsertUri;
    QRadioButton* rdbCeSmartPoster;
    QRadioButton* rdbCeInsertVcard;
    QRadioButton* rdbCeInsertEmpty;
    QGroupBox* gboCeCCConfiguration;
    QGridLayout* gridLayout_41;
    QCheckBox* ckbCeAdvanced;
    QPushButton* btnCeConfigure;
    QPushButton* btnCeStart;
    QPushButton* btnCeStop;
    QGroupBox* gboSe;
    QGridLayout* gridLayout_42;
    QGroupBox* gboSeMode;
    QVBoxLayout* verticalLayout_14;
    QCheckBox* ckbSeSlot0;
    QCheckBox* ckbSeSlot1;
    QCheckBox* ckbSeSlot2;
    QCheckBox* ckbSeSlot3;

    // Page 1: R/W NDEF with the first copy of the NDEF editor
    QWidget* pagRwNdef;
    QVBoxLayout* verticalLayout_2;
    QGroupBox* gboRwNdefRead;
    QHBoxLayout* horizontalLayout;
    QTreeWidget* twtRwNdefRead;
    QGroupBox* gboRwNdefReadControl;
    QGridLayout* gridLayout_3;
    QPushButton* btnRwNdefRead;
    QPushButton* btnRwNdefCheckTag;
    QCheckBox* ckbRwNdefSuppress;
    QCheckBox* ckbRwNdefAutoRead;
    QGroupBox* gboRwNdefWrite;
    QGridLayout* gridLayout_7;
    QTabWidget* tabRwNdefWrite;
    QWidget* pagRwNdefWriteRtdText;
    QLabel* lblRwNdefRtdTextLanguageCode;
    QComboBox* cboRwNdefWriteRtdTextLanguageCode;
    QLabel* lblRwNdefRtdTextText;
    QTextEdit* tedRwNdefWriteRtdTextText;
    QWidget* pagRwNdefWriteRtdUri;
    QLabel* lblRwNdefWriteRtdUriPrefix;
    QComboBox* cboRwNdefWriteRtdUriPrefix;
    QLabel* lblRwNdefWriteRtdUriUri;
    QLineEdit* ledRwNdefWriteRtdUriUri;
    QWidget* pagRwNdefWriteRtdSmartPoster;
    QLabel* lblRwNdefWriteRtdSmartPosterLanguageCode;
    QComboBox* cboRwNdefWriteRtdSmartPosterLanguageCode;
    QLabel* lblRwNdefWriteRtdSmartPosterUri;
    QLineEdit* ledRwNdefWriteRtdSmartPosterUri;
    QLabel* lblRwNdefWriteRtdSmartPosterText;
    QTextEdit* tedRwNdefWriteRtdSmartPosterText;
    QWidget* pagRwNdefWriteVcard;
    QLabel* lblRwNdefWriteVcardTitle;
    QLineEdit* ledRwNdefWriteVcardTitle;
    QLabel* lblRwNdefWriteVcardFirstName;
    QLineEdit* ledRwNdefWriteVcardFirstName;
    QPushButton* btnRwNdefWriteVcardSave;
    QPushButton* btnRwNdefWriteVcardLoad;
    QLabel* lblRwNdefWriteVcardJobTitle;
    QLineEdit* ledRwNdefWriteVcardJobTitle;
    QLabel* lblRwNdefWriteVcardLastName_2;
    QLineEdit* ledRwNdefWriteVcardLastName;
    QLabel* lblRwNdefWriteVcardPhone;
    QLineEdit* ledRwNdefWriteVcardPhone;
    QLabel* lblRwNdefWriteVcardMobile;
    QLineEdit* ledRwNdefWriteVcardMobile;
    QLabel* lblRwNdefWriteVcardEmail;
    QLineEdit* ledRwNdefWriteVcardEmail;
    QLabel* lblRwNdefWriteVcardCompany;
    QLineEdit* ledRwNdefWriteVcardCompany;
    QLabel* lblRwNdefWriteVcardCountry;
    QLineEdit* ledRwNdefWriteVcardCountry;
    QLabel* lblRwNdefWriteVcardCity;
    QLineEdit* ledRwNdefWriteVcardCity;
    QLabel* lblRwNdefWriteVcardUrl;
    QLineEdit* ledRwNdefWriteVcardUrl;
    QLabel* lblRwNdefWriteVcardCode;
    QLineEdit* ledRwNdefWriteVcardCode;
    QLabel* lblRwNdefWriteVcardStreet;
    QLineEdit* ledRwNdefWriteVcardStreet;
    QWidget* pagRwNdefWriteMime;
    QLabel* lblRwNdefWriteMimeUri;
    QLineEdit* ledRwNdefWriteMimeUri;
    QPushButton* btnRwNdefWriteMimeSelectImage;
    QGroupBox* gboRwNdefWriteControl;
    QGridLayout* gridLayout_11;
    QPushButton* btnRwNdefWrite;
    QPushButton* btnRwNdefFormat;
    QPushButton* btnRwNdefErase;

    // Page 2: legacy tags
    QWidget* pagRwLegacy;
    QHBoxLayout* horizontalLayout_7;
    QGroupBox* gboRwLegacyTransferLog;
    QGridLayout* gridLayout_14;
    QLabel* lblRwLegacyCommand;
    QComboBox* cboRwLegacyCommand;
    QLabel* lblRwLegacyPdu;
    QLineEdit* ledRwLegacyPdu;
    QLabel* lblRwLegacyDescription;
    QLineEdit* ledRwLegacyDescription;
    QLabel* lblRwLegacyLog;
    QTextEdit* tedRwLegacyLog;
    QGroupBox* gboRwLegacyControl;
    QGridLayout* gridLayout_37;
    QPushButton* btnRwLegacyExchangePdu;
    QPushButton* btnRwLegacySavePdu;
    QPushButton* btnRwLegacyDeletePdu;
    QPushButton* btnRwLegacyCheckTag;
    QPushButton* btnRwLegacyErase;
    QPushButton* btnRwLegacyFormatNdef;

    // Page 3: MIFARE Classic
    QWidget* pagRwMifareStd;
    QGridLayout* gridLayout_16;
    QGroupBox* gboRwMifareStandardAuthentication;
    QGridLayout* gridLayout_28;
    QLabel* lblRwMifareStandardBlock;
    QSpinBox* sboRwMifareStandardBlock;
    QLabel* lblRwMifareStandardSector1;
    QLabel* lblRwMifareStandardSector2;
    QLabel* lblRwMifareStandardBlockOffset1;
    QLabel* lblRwMifareStandardBlockOffset2;
    QLabel* lblRwMifareStandardKey;
    QComboBox* cboRwMifareStandardKey;
    QPushButton* btnRwMifareStandardAuthenticateA;
    QPushButton* btnRwMifareStandardAuthenticateB;
    QGroupBox* gboRwMifarStandardFormat;
    QGridLayout* gridLayout_15;
    QPushButton* btnRwMifareStandardFormatNdef;
    QPushButton* btnRwMifareStandardErase;
    QGroupBox* gboRwMifareStandardRead;
    QGridLayout* gridLayout_2;
    QLabel* lblRwMifareStandardLog;
    QTextEdit* tedRwMifareStandardLog;
    QPushButton* btnRwMifareStandardReadBlock;
    QPushButton* btnRwMifareStandardReadSector;
    QPushButton* btnRwMifareStandardCheckTag;
    QGroupBox* gboRwMifareStandardWrite;
    QHBoxLayout* horizontalLayout_11;
    QLabel* lblRwMifareStandardWrite;
    QComboBox* cboRwMifareStandardWrite;
    QPushButton* btnRwMifareStandardWrite;

    // Page 4: P2P with the SNEP copy of the NDEF editor and the two LLCP connections
    QWidget* pagP2p;
    QGridLayout* gridLayout_5;
    QTabWidget* tabP2p;
    QWidget* pagP2pSnep;
    QVBoxLayout* verticalLayout_6;
    QGroupBox* gboP2pSnepReceive;
    QHBoxLayout* horizontalLayout_2;
    QTreeWidget* twtP2pSnepReceive;
    QGroupBox* gboP2pSnepTransmit;
    QGridLayout* gridLayout_26;
    QTabWidget* tabP2pSnepTransmit;
    QWidget* pagP2pSnepTransmitRtdText;
    QLabel* lblP2pSnepTransmitRtdTextLanguageCode;
    QComboBox* cboP2pSnepTransmitRtdTextLanguageCode;
    QLabel* lblP2pSnepTransmitRtdTextText;
    QTextEdit* tedP2pSnepTransmitRtdTextText;
    QWidget* pagP2pSnepTransmitRtdUri;
    QLabel* lblP2pSnepTransmitRtdUriPrefix;
    QComboBox* cboP2pSnepTransmitRtdUriPrefix;
    QLabel* lblP2pSnepTransmitRtdUriUri;
    QLineEdit* ledP2pSnepTransmitRtdUriUri;
    QWidget* pagP2pSnepTransmitRtdSmartPoster;
    QLabel* lblP2pSnepTransmitRtdSmartPosterLanguageCode;
    QComboBox* cboP2pSnepTransmitRtdSmartPosterLanguageCode;
    QLabel* lblP2pSnepTransmitRtdSmartPosterUri;
    QLineEdit* ledP2pSnepTransmitRtdSmartPosterUri;
    QLabel* lblP2pSnepTransmitRtdSmartPosterText;
    QTextEdit* tedP2pSnepTransmitRtdSmartPosterText;
    QWidget* pagP2pSnepTransmitVcard;
    QLabel* lblP2pSnepTransmitVcardFirstName;
    QLineEdit* ledP2pSnepTransmitVcardFirstName;
    QLabel* lblP2pSnepTransmitVcardLastName;
    QLineEdit* ledP2pSnepTransmitVcardLastName;
    QLabel* lblP2pSnepTransmitVcardPhone;
    QLineEdit* ledP2pSnepTransmitVcardPhone;
    QLabel* lblP2pSnepTransmitVcardEmail;
    QLineEdit* ledP2pSnepTransmitVcardEmail;
    QLabel* lblP2pSnepTransmitVcardCompany;
    QLineEdit* ledP2pSnepTransmitVcardCompany;
    QLabel* lblP2pSnepTransmitVcardCountry;
    QLineEdit* ledP2pSnepTransmitVcardCountry;
    QLabel* lblP2pSnepTransmitVcardCity;
    QLineEdit* ledP2pSnepTransmitVcardCity;
    QLabel* lblP2pSnepTransmitVcardUrl;
    QLineEdit* ledP2pSnepTransmitVcardUrl;
    QLabel* lblP2pSnepTransmitVcardCode;
    QLineEdit* ledP2pSnepTransmitVcardCode;
    QLabel* lblP2pSnepTransmitVcardStreet;
    QLineEdit* ledP2pSnepTransmitVcardStreet;
    QWidget* pagP2pSnepTransmitMime;
    QLabel* lblP2pSnepTransmitMimeUri;
    QLineEdit* ledP2pSnepTransmitMimeUri;
    QPushButton* btnP2pSnepTransmitMimeSelectImage;
    QGroupBox* gboRwNdefWriteControl_2;
    QGridLayout* gridLayout_35;
    QPushButton* btnP2pSnepTransmit;
    QCheckBox* ckbP2pSnepTransmitAutoTransmit;
    QWidget* pagP2pMarveldApi;
    QGridLayout* gridLayout_9;
    QGroupBox* gboP2p1;
    QGridLayout* gridLayout_24;
    QPushButton* btnP2pStartListener1;
    QPushButton* btnP2pStopListener1;
    QLabel* lblP2pListenerStatus1;
    QLabel* lblP2pMaxWindowSize1;
    QSpinBox* sboP2pMaxWindowSize1;
    QPushButton* btnP2pTransmit1;
    QLabel* lblRxDataLabel1;
    QLabel* lblP2pRxBytes1;
    QPushButton* btnP2pConnect1;
    QPushButton* btnP2pDisconnect1;
    QLabel* lblP2pSessionStatus1;
    QLabel* lblP2pMiu1;
    QSpinBox* sboP2pMiu1;
    QCheckBox* ckbContinuous1;
    QLabel* lblTxDataLabel1;
    QLabel* lblP2pTxBytes1;
    QCheckBox* ckbRandomizeSize1;
    QCheckBox* ckbP2pEchoServer1;
    QGroupBox* gbop2p2;
    QGridLayout* gridLayout_25;
    QPushButton* btnP2pStartListener2;
    QPushButton* btnP2pStopListener2;
    QLabel* lblP2pListenerStatus2;
    QLabel* lblP2pMaxWindowSize2;
    QSpinBox* sboP2pMaxWindowSize2;
    QPushButton* btnP2pTransmit2;
    QLabel* lblRxDataLabel2;
    QLabel* lblP2pRxBytes2;
    QPushButton* btnP2pConnect2;
    QPushButton* btnP2pDisconnect2;
    QLabel* lblP2pSessionStatus2;
    QLabel* lblP2pMiu2;
    QSpinBox* sboP2pMiu2;
    QCheckBox* ckbContinuous2;
    QLabel* lblTxDataLabel2;
    QLabel* lblP2pTxBytes2;
    QCheckBox* ckbRandomizeSize2;
    QCheckBox* ckbP2pEchoServer2;

    // Page 5: card emulation with the third copy of the NDEF editor
    QWidget* pagCeNdefIso14443ABFelica;
    QVBoxLayout* verticalLayout;
    QGroupBox* gboCeLog;
    QGridLayout* gridLayout_17;
    QTextEdit* tedCeLog;
    QGroupBox* gboCeNdefModify;
    QGridLayout* gridLayout_46;
    QTabWidget* tabCeNdefModify;
    QWidget* pagCeNdefModifyRtdText;
    QLabel* lblCeNdefModifyRtdTextLanguageCode;
    QComboBox* cboCeNdefModifyRtdTextLanguageCode;
    QLabel* lblCeNdefModifyRtdTextText;
    QTextEdit* tedCeNdefModifyRtdTextText;
    QWidget* pagCeNdefModifyRtdUri;
    QLabel* lblCeNdefModifyRtdUriPrefix;
    QComboBox* cboCeNdefModifyRtdUriPrefix;
    QLabel* lblCeNdefModifyRtdUriUri;
    QLineEdit* ledCeNdefModifyRtdUriUri;
    QWidget* pagCeNdefModifyRtdSmartPoster;
    QLabel* lblCeNdefModifyRtdSmartPosterLanguageCode;
    QComboBox* cboCeNdefModifyRtdSmartPosterLanguageCode;
    QLabel* lblCeNdefModifyRtdSmartPosterUri;
    QLineEdit* ledCeNdefModifyRtdSmartPosterUri;
    QLabel* lblCeNdefModifyRtdSmartPosterText;
    QTextEdit* tedCeNdefModifyRtdSmartPosterText;
    QWidget* pagCeNdefModifyVcard;
    QLabel* lblCeNdefModifyVcardTitle;
    QLineEdit* ledCeNdefModifyVcardTitle;
    QLabel* lbCeNdefModifyVcardFirstName;
    QLineEdit* ledCeNdefModifyVcardFirstName;
    QLabel* lblCeNdefModifyVcardJobTitle;
    QLineEdit* ledCeNdefModifyVcardJobTitle;
    QLabel* lblCeNdefModifyVcardLastName;
    QLineEdit* ledCeNdefModifyVcardLastName;
    QLabel* lblCeNdefModifyVcardPhone;
    QLineEdit* ledCeNdefModifyVcardPhone;
    QLabel* lblCeNdefModifyVcardMobile;
    QLineEdit* ledCeNdefModifyVcardMobile;
    QLabel* lbCeNdefModifyVcardEmail;
    QLineEdit* ledCeNdefModifyVcardEmail;
    QLabel* lblCeNdefModifyVcardCompany;
    QLineEdit* ledCeNdefModifyVcardCompany;
    QLabel* lblCeNdefModifyVcardCountry;
    QLineEdit* ledCeNdefModifyVcardCountry;
    QLabel* lblCeNdefModifyVcardCity;
    QLineEdit* ledCeNdefModifyVcardCity;
    QLabel* lblCeNdefModifyVcardUrl;
    QLineEdit* ledCeNdefModifyVcardUrl;
    QLabel* lblCeNdefModifyVcardCode;
    QLineEdit* ledCeNdefModifyVcardCode;
    QLabel* lblCeNdefModifyVcardStreet;
    QLineEdit* ledCeNdefModifyVcardStreet;
    QWidget* pagCeNdefModifyMime;
    QLabel* lblCeNdefModifyMimeUri;
    QLineEdit* ledCeNdefModifyMimeUri;
    QPushButton* btnCeNdefModifyMimeSelectImage;
    QGroupBox* gboCeNdefModifyControl;
    QGridLayout* gridLayout_47;
    QPushButton* btnCeNdefModifySave;
    QPushButton* btnCeNdefModifyLoad;

    // Page 6: embedded secure element and listen-mode routing
    QWidget* pagEmbeddedSe;
    QGridLayout* gridLayout_39;
    QGroupBox* gboSeTransferLog;
    QGridLayout* gridLayout_18;
    QLabel* lblSeCommand;
    QComboBox* cboSeCommand;
    QLabel* lblSePdu;
    QLineEdit* ledSePdu;
    QLabel* lblSeDescription;
    QLineEdit* ledSeDescription;
    QLabel* lblSeLog;
    QTextEdit* tedSeLog;
    QGroupBox* gboSeControl;
    QGridLayout* gridLayout_38;
    QPushButton* btnSeExchangePdu;
    QLabel* lblSeControlId;
    QComboBox* cboSeControlId;
    QPushButton* btnSeOpenEse;
    QPushButton* btnSeCloseEse;
    QPushButton* btnSeEchoTest;
    QPushButton* btnSeSavePdu;
    QPushButton* btnSeDeletePdu;
    QPushButton* btnSeAddRoutingEntry;
    QPushButton* btnSeDeleteRoutingEntry;
    QGroupBox* gboSeRoutingTableConfiguration;
    QGridLayout* gridLayout_6;
    QLabel* lblSeRoutingTableType;
    QComboBox* cboSeRoutingTableType;
    QLabel* lblSeId;
    QComboBox* cboSeId;
    QLabel* lblSeRoutingType;
    QComboBox* cboSeRoutingType;
    QLabel* lblSePowerState;
    QComboBox* cboSePowerState;
    QPushButton* btnSeWakeUp;
    QLabel* lblSeTechnology;
    QComboBox* cboSeTechnology;
    QLabel* lblSeTechnology_2;
    QComboBox* cboSeProtocol;
    QLabel* label;
    QLineEdit* ledSeAid;

    // Page 7: raw I/O control
    QWidget* pagIo;
    QGridLayout* gridLayout_45;
    QGroupBox* gboIoTransferLog;
    QGridLayout* gridLayout_44;
    QLabel* lblIoCommand;
    QComboBox* cboIoCommand;
    QLabel* lblIoPdu;
    QLineEdit* ledIoPdu;
    QLabel* lblIoDescription;
    QLineEdit* ledIoDescription;
    QLabel* lbIoLog;
    QTextEdit* tedIoLog;
    QGroupBox* gboIoControl;
    QGridLayout* gridLayout_43;
    QPushButton* btnIoSendPdu;
    QPushButton* btnIoSendRaw;
    QPushButton* btnIoSavePdu;
    QPushButton* btnIoDeletePdu;

    // Page 8: log
    QWidget* pagLog;
    QGridLayout* gridLayout_21;
    QTextBrowser* txbErrorLog;

    // Builds the tree on the window: frame, pages in index order, texts, initial indexes, then
    // binds the window's on_<object>_<signal> slots.
    void setupUi(QWidget* CLumaro);
    void retranslateUi(QWidget* CLumaro);

private:
    void setupFrame(QWidget* window);
    void setupDeviceDetection(QWidget* window);
    void setupTechnologyPage(QWidget* window);
    void setupRwColumn();
    void setupP2pColumn();
    void setupCeColumn(QWidget* window);
    void setupSeColumn();
    void setupRwNdefPage();
    void setupLegacyPage();
    void setupMifarePage();
    void setupP2pPage();
    void setupLlcpConnection(const LlcpConnectionSlots& c);
    void setupCePage();
    void setupEmbeddedSePage();
    void setupSeRouting();
    void setupIoPage();
    void setupLogPage();
    void setupFocusChain();
    void setupNdefTree(QTreeWidget* tree);
    void setupNdefEditor(const NdefEditorSlots& e, QWidget* parent, QGridLayout* grid);
    void setupNdefEditorTextPages(const NdefEditorSlots& e);
    void setupNdefEditorVcard(const NdefEditorSlots& e);
    void setupNdefEditorMime(const NdefEditorSlots& e);
    QWidget* addPage(QWidget*& page, const char* name, const char* tabText);

    CFormTexts texts;
};

namespace Ui {
class CLumaro : public Ui_CLumaro {};
}  // namespace Ui
