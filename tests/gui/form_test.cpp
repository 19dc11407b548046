// The main window's form, built on a bare host widget offscreen: every named widget of the
// window with its class, parent, texts and initial state; the pictures compiled into the
// program; and a screenshot of each page for a person to look at.

#include "convert.h"
#include "lumaroform.h"
#include "ndefnames.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QImage>
#include <QImageReader>
#include <QProcess>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>

namespace {

// One row per named widget: Qt class, nearest named ancestor, text (tab text for a page, plain
// text for a text edit; "*" any non-empty text), tool tip (none: empty), and the state tokens
// "off" (disabled itself), "chk", "ro", "edit", "noexcl", "min=WxH", "max=WxH", "fixed=WxH",
// "range=A..B", "val=N", "len=N", "idx=N", "items=A|B", "centre", separated by ';'.
struct WidgetRow {
    const char* name;
    const char* cls;
    const char* parent;
    const char* text;
    const char* tip;
    const char* state;
};

#define ANY "16777215"
#define BTN "min=71x31;max=71x" ANY
#define FIXBTN "fixed=71x31"
#define ROLE_TIP "\nIf both NFC devices are configured for both P2P-roles it is random which device assumes which role"
#define ERASE_TIP \
    "Erase detected tag\nThis will erase all NDEF information such that it will not be detected as NDEF tag anymore"
#define FORMAT_TIP "NDEF-format detected tag\nThis will delete all NDEF content"
#define FELICA_TIP                                                                                                 \
    "\nThis technology is required for detection of NFC Forum type 3 tags proprietary tags based on Felica technology"
#define WINDOW_TIP                                                                                                 \
    "Configure window size for this session\nThe window size describes the maximum of packets transmitted before " \
    "the first packet is acknowledged"
#define CONNECT_TIP \
    "Establish an LLCP connection\nTo succeed it is required that the LLCP counterpart got an activated LLCP-listener"
#define CONT_TIP "Click to enable continous data transfer when the Transmit button is used"
#define ECHO_TIP "Click to enable to echo received data back to the sender"

const WidgetRow kWidgets[] = {
    // Frame
    {"lblImageOem", "QLabel", "CLumaro", nullptr, nullptr, "min=0x51;centre"},
    {"lblControllerConfiguration", "QLabel", "CLumaro", "Configuration:", nullptr, ""},
    {"cboControllerConfiguration", "QComboBox", "CLumaro", nullptr, "Select NFC controller configuration", "min=240x22;items="},
    {"btnTrace", "QPushButton", "CLumaro", "Trace", "Open a dialog for debug-output configuration", BTN},
    {"btnConfigure", "QPushButton", "CLumaro", "Configure", "Open a dialog for NFC controller configuration", BTN},
    {"btnUnregister", "QPushButton", "CLumaro", "Unregister", "Unregister associated listener (dependent on selected tab)",
     "off;min=71x31"},
    {"btnStartNfc", "QPushButton", "CLumaro", "Start NFC",
     "Start-up Marveld NFC stack with the chosen NFC controller configuration", BTN},
    {"btnStopNfc", "QPushButton", "CLumaro", "Stop NFC", "Shut down Marveld NFC stack", "off;" BTN},
    {"lblImageMarveld", "QLabel", "CLumaro", nullptr, nullptr, "fixed=158x51;centre"},
    {"gboDeviceDetection", "QGroupBox", "CLumaro", "Device detection", nullptr, "min=153x0"},
    {"tabInteraction", "QTabWidget", "CLumaro", nullptr, nullptr, "min=831x0;idx=0"},
    {"lblDeviceImage", "QLabel", "gboDeviceDetection", nullptr, nullptr, "min=134x85;centre"},
    {"lblDeviceImage2", "QLabel", "gboDeviceDetection", nullptr, nullptr, "min=134x85;centre"},
    {"lblCurrentLocalRole", "QLabel", "gboDeviceDetection", "Current local role:", nullptr, ""},
    {"ledCurrentLocalRole", "QLineEdit", "gboDeviceDetection", nullptr, "Displays currently active listeners", "ro;min=136x0"},
    {"lblDeviceType", "QLabel", "gboDeviceDetection", "Detected device type:", nullptr, ""},
    {"ledDeviceType", "QLineEdit", "gboDeviceDetection", nullptr,
     "Indicates the detected device\nIn R/W-mode detected tag type is shown\nIn P2P- and CE-mode the role of this NFC "
     "device is displayed",
     "ro;min=136x0"},
    {"lblDeviceId", "QLabel", "gboDeviceDetection", "Detected device ID:", nullptr, ""},
    {"ledDeviceId", "QLineEdit", "gboDeviceDetection", nullptr, "Displays the UID of the detected device", "ro;min=136x0"},
    {"lblBitRate", "QLabel", "gboDeviceDetection", "Bit rate:", nullptr, ""},
    {"ledBitRate", "QLineEdit", "gboDeviceDetection", nullptr,
     "Displays current communication speed if this information is provided by the NFCC", "ro;min=136x0"},
    {"lblNdefSize", "QLabel", "gboDeviceDetection", "NDEF size:", nullptr, "off"},
    {"ledNdefSize", "QLineEdit", "gboDeviceDetection", nullptr, "Displays the current and the maximum NDEF container size",
     "off;ro;min=136x0"},
    {"lblStatus", "QLabel", "gboDeviceDetection", "Status:", "Indicates the status of the most recent triggered task",
     "min=0x15"},
    {"pagTechnology", "QWidget", "tabInteraction", "Technology", nullptr, ""},
    {"pagRwNdef", "QWidget", "tabInteraction", "R/W: NDEF", nullptr, "off"},
    {"pagRwLegacy", "QWidget", "tabInteraction", "R/W: Legacy", nullptr, "off"},
    {"pagRwMifareStd", "QWidget", "tabInteraction", "R/W: Mifare Std", nullptr, "off"},
    {"pagP2p", "QWidget", "tabInteraction", "P2P", nullptr, ""},
    {"pagCeNdefIso14443ABFelica", "QWidget", "tabInteraction", "CE: NDEF ISO 14443A/B/FeliCa", nullptr, "off"},
    {"pagEmbeddedSe", "QWidget", "tabInteraction", "CE: Embedded SE", nullptr, ""},
    {"pagIo", "QWidget", "tabInteraction", "I/O", nullptr, ""},
    {"pagLog", "QWidget", "tabInteraction", "Log", nullptr, ""},
    {"txbErrorLog", "QTextBrowser", "pagLog", nullptr, nullptr, "ro"},

    // Technology page
    {"gboRw", "QGroupBox", "pagTechnology", "Read/write", nullptr, "fixed=212x416"},
    {"gboRwMode", "QGroupBox", "gboRw", "Mode", nullptr, ""},
    {"ckbRwIso14443A", "QCheckBox", "gboRwMode", "ISO 14443A",
     "ISO 14443A technology with 106 kbit/s\nThis technology is required for detection of NFC Forum type 2, 4, and "
     "proprietary tags based on ISO 14443A such as Mifare Standard",
     "chk"},
    {"ckbRwIso14443B", "QCheckBox", "gboRwMode", "ISO 14443B",
     "ISO 14443B technology with 106 kbit/s\nThis technology is required for detection of NFC Forum 4 and proprietary "
     "tags based on ISO 14443B",
     "chk"},
    {"rdbRwIsoDepSpeed106", "QRadioButton", "gboRwMode", "106", nullptr, "chk"},
    {"rdbRwIsoDepSpeed212", "QRadioButton", "gboRwMode", "212", nullptr, ""},
    {"rdbRwIsoDepSpeed424", "QRadioButton", "gboRwMode", "424", nullptr, ""},
    {"rdbRwIsoDepSpeed848", "QRadioButton", "gboRwMode", "848", nullptr, ""},
    {"ckbRwInnovisionJewel", "QCheckBox", "gboRwMode", "Innovision Jewel, 106 kbit/s",
     "Innovision Jewel is required for detection of NFC Forum type 1 proprietary tags based on this technology", "chk"},
    {"ckbRwFelica212", "QCheckBox", "gboRwMode", "FeliCa, 212 kbit/s", "FeliCa technology with 212 kbit/s" FELICA_TIP, "chk"},
    {"ckbRwFelica424", "QCheckBox", "gboRwMode", "FeliCa, 424 kbit/s", "FeliCa technology with 424 kbit/s" FELICA_TIP, "chk"},
    {"ckbRwIso15693", "QCheckBox", "gboRwMode", "ISO 15693",
     "ISO 15693 technology\nThis technology is required for detection of proprietary tags based on ISO 15693", "chk"},
    {"ckbRwKovioBarcode", "QCheckBox", "gboRwMode", "Kovio barcode", nullptr, "chk"},
    {"gboRwConfiguration", "QGroupBox", "gboRw", "Configuration", nullptr, ""},
    {"ckbRwPresenceCheck", "QCheckBox", "gboRwConfiguration", "Presence check",
     "Enable automatic presence check for NFC tags", "chk"},
    {"ckbRwCheckNdef", "QCheckBox", "gboRwConfiguration", "Check NDEF", "Check for NDEF content on NFC tag", "chk"},
    {"ckbRwAutoReadNdefOnIndication", "QCheckBox", "gboRwConfiguration", "Read NDEF on indication",
     "If available, read NDEF content automatically on device indication", "chk"},
    {"ckbRwNdefSuppressNdefRtdAction", "QCheckBox", "gboRwConfiguration", "Suppress NDEF RTDAction",
     "If available, suppress execution of RTDAction", "chk"},
    {"btnRwStart", "QPushButton", "gboRw", "Start RW",
     "Start R/W-listener for the selected technologies and with the chosen configuration", "off;" BTN},
    {"btnRwStop", "QPushButton", "gboRw", "Stop RW", "Stop R/W-listener", "off;" BTN},
    {"gboP2p", "QGroupBox", "pagTechnology", "Peer to peer", nullptr, "fixed=212x416"},
    {"gboP2pMode", "QGroupBox", "gboP2p", "Mode", nullptr, "min=174x0"},
    {"ckbP2pInitiatorPassive", "QCheckBox", "gboP2pMode", "Initiator - passive", "Enable P2P Initiator role" ROLE_TIP, "chk"},
    {"ckbP2pTargetPassive", "QCheckBox", "gboP2pMode", "Target - passive", "Enable P2P Target role" ROLE_TIP, "chk"},
    {"ckbP2pInitiatorActive", "QCheckBox", "gboP2pMode", "Initiator - active", "Enable P2P Initiator role" ROLE_TIP, ""},
    {"ckbP2pTargetActive", "QCheckBox", "gboP2pMode", "Target - active", "Enable P2P Target role" ROLE_TIP, ""},
    {"gboP2pService", "QGroupBox", "gboP2p", "Service", nullptr, "off;min=174x0"},
    {"ckbP2pServiceSnepServer", "QCheckBox", "gboP2pService", "SNEP server", "Click to start/stop SNEP server", ""},
    {"ckbP2pServiceNppServer", "QCheckBox", "gboP2pService", "NPP server", "Click to start/stop NPP server", ""},
    {"gboP2pConfiguration", "QGroupBox", "gboP2p", "Configuration", nullptr, ""},
    {"ckbP2pSuppressNdefRtdAction", "QCheckBox", "gboP2pConfiguration", "Suppress NDEF RTDAction",
     "If available, suppress execution of RTDAction", "chk"},
    {"ckbP2pSnepAutoTransmit", "QCheckBox", "gboP2pConfiguration", "Transmit SNEP on indication",
     "Transmit currently selected SNEP content on device indication", ""},
    {"btnP2pStart", "QPushButton", "gboP2p", "Start P2P",
     "Start P2P-listener for the selected P2P-roles and chosen configuration", "off;" BTN},
    {"btnP2pStop", "QPushButton", "gboP2p", "Stop P2P", "Stop P2P-listener", "off;" BTN},
    {"gboCe", "QGroupBox", "pagTechnology", "Host-based card emulation", nullptr, "fixed=212x416"},
    {"gboCeMode", "QGroupBox", "gboCe", "Mode", nullptr, ""},
    {"ckbCeIso14443A", "QCheckBox", "gboCeMode", "ISO 14443A", "Use ISO 14443A technology", "chk"},
    {"ckbCeIso14443B", "QCheckBox", "gboCeMode", "ISO 14443B", "Use ISO 14443B technology", "chk"},
    {"rdbCeIsoDepSpeed106", "QRadioButton", "gboCeMode", "106", nullptr, "chk;noexcl"},
    {"rdbCeIsoDepSpeed212", "QRadioButton", "gboCeMode", "212", nullptr, "noexcl"},
    {"rdbCeIsoDepSpeed424", "QRadioButton", "gboCeMode", "424", nullptr, "noexcl"},
    {"rdbCeIsoDepSpeed848", "QRadioButton", "gboCeMode", "848", nullptr, "noexcl"},
    {"ckbCeFelica", "QCheckBox", "gboCeMode", "FeliCa", "Use FeliCa technology", "chk"},
    {"rdbCeFelicSpeed212", "QRadioButton", "gboCeMode", "212", nullptr, "chk;noexcl"},
    {"rdbCeFelicSpeed424", "QRadioButton", "gboCeMode", "424", nullptr, "noexcl"},
    {"ckbCeRfFieldIndication", "QCheckBox", "gboCeMode", "RF field indication", "Enable extern RF field indications", ""},
    {"gboCeConfiguration", "QGroupBox", "gboCe", "Configuration", nullptr, ""},
    {"rdbCeInsertText", "QRadioButton", "gboCeConfiguration", "Text", "Insert a generic text", "chk"},
    {"rdbCeInsertUri", "QRadioButton", "gboCeConfiguration", "URI", "Insert a generic URI", ""},
    {"rdbCeSmartPoster", "QRadioButton", "gboCeConfiguration", "Smart Poster", "Insert a generic Smart Poster", ""},
    {"rdbCeInsertVcard", "QRadioButton", "gboCeConfiguration", "VCard", "Insert a generic VCard", ""},
    {"rdbCeInsertEmpty", "QRadioButton", "gboCeConfiguration", "empty", "Insert empty tag", ""},
    {"gboCeCCConfiguration", "QGroupBox", "gboCe", "CC-Configuration (advanced)", nullptr, ""},
    {"ckbCeAdvanced", "QCheckBox", "gboCeCCConfiguration", "Enabled", nullptr, ""},
    {"btnCeConfigure", "QPushButton", "gboCeCCConfiguration", "Configure", nullptr, BTN},
    {"btnCeStart", "QPushButton", "gboCe", "Start CE",
     "Start Ce-listener for the selected technology and with the chosen NDEF content", "off;" BTN},
    {"btnCeStop", "QPushButton", "gboCe", "Stop CE", "Stop Ce-listener", "off;" BTN},
    {"gboSe", "QGroupBox", "pagTechnology", "Card emulation in secure element(s)", nullptr, "off;fixed=212x416"},
    {"gboSeMode", "QGroupBox", "gboSe", "Mode", nullptr, "off"},
    {"ckbSeSlot0", "QCheckBox", "gboSeMode", "Slot 0", "Click to enable secure element 0", "off"},
    {"ckbSeSlot1", "QCheckBox", "gboSeMode", "Slot 1", "Click to enable secure element 1", "off"},
    {"ckbSeSlot2", "QCheckBox", "gboSeMode", "Slot 2", "Click to enable secure element 2", "off"},
    {"ckbSeSlot3", "QCheckBox", "gboSeMode", "Slot 3", "Click to enable secure element 3", "off"},

    // R/W NDEF page (the editor's rows come from its own table below)
    {"gboRwNdefRead", "QGroupBox", "pagRwNdef", "Read", nullptr, ""},
    {"twtRwNdefRead", "QTreeWidget", "gboRwNdefRead", nullptr, nullptr, ""},
    {"gboRwNdefReadControl", "QGroupBox", "gboRwNdefRead", "Control", nullptr, ""},
    {"btnRwNdefRead", "QPushButton", "gboRwNdefReadControl", "Read", "Read detected NDEF tag", BTN},
    {"btnRwNdefCheckTag", "QPushButton", "gboRwNdefReadControl", "Check Tag", "Check presence of NDEF tag", BTN},
    {"ckbRwNdefSuppress", "QCheckBox", "gboRwNdefReadControl", "Suppress", "If available, suppress execution of RTDAction",
     "chk"},
    {"ckbRwNdefAutoRead", "QCheckBox", "gboRwNdefReadControl", "Auto read",
     "If available, read NDEF content automatically on device indication", "chk"},
    {"gboRwNdefWrite", "QGroupBox", "pagRwNdef", "Write", nullptr, ""},
    {"gboRwNdefWriteControl", "QGroupBox", "gboRwNdefWrite", "Control", nullptr, ""},
    {"btnRwNdefWrite", "QPushButton", "gboRwNdefWriteControl", "Write", "Write selected NDEF content to detected tag", FIXBTN},
    {"btnRwNdefFormat", "QPushButton", "gboRwNdefWriteControl", "Format", FORMAT_TIP, FIXBTN},
    {"btnRwNdefErase", "QPushButton", "gboRwNdefWriteControl", "Erase", ERASE_TIP, FIXBTN},

    // Legacy page
    {"gboRwLegacyTransferLog", "QGroupBox", "pagRwLegacy", "APDU transfer / log", nullptr, ""},
    {"lblRwLegacyCommand", "QLabel", "gboRwLegacyTransferLog", "Command:", nullptr, ""},
    {"cboRwLegacyCommand", "QComboBox", "gboRwLegacyTransferLog", nullptr, nullptr, "items="},
    {"lblRwLegacyPdu", "QLabel", "gboRwLegacyTransferLog", "PDU:", nullptr, ""},
    {"ledRwLegacyPdu", "QLineEdit", "gboRwLegacyTransferLog", nullptr, nullptr, ""},
    {"lblRwLegacyDescription", "QLabel", "gboRwLegacyTransferLog", "Description:", nullptr, ""},
    {"ledRwLegacyDescription", "QLineEdit", "gboRwLegacyTransferLog", nullptr, nullptr, ""},
    {"lblRwLegacyLog", "QLabel", "gboRwLegacyTransferLog", "Log:", nullptr, ""},
    {"tedRwLegacyLog", "QTextEdit", "gboRwLegacyTransferLog", nullptr, nullptr, "ro"},
    {"gboRwLegacyControl", "QGroupBox", "pagRwLegacy", "Control", nullptr, "max=93x" ANY},
    {"btnRwLegacyExchangePdu", "QPushButton", "gboRwLegacyControl", "Exch. PDU", "Transmit PDU to NFC tag", "min=71x31"},
    {"btnRwLegacySavePdu", "QPushButton", "gboRwLegacyControl", "Save PDU", nullptr, "min=71x31"},
    {"btnRwLegacyDeletePdu", "QPushButton", "gboRwLegacyControl", "Delete PDU", nullptr, "min=71x31"},
    {"btnRwLegacyCheckTag", "QPushButton", "gboRwLegacyControl", "Check Tag", "Check presence of legacy tag", "min=71x31"},
    {"btnRwLegacyErase", "QPushButton", "gboRwLegacyControl", "Erase", ERASE_TIP, "off;min=71x31"},
    {"btnRwLegacyFormatNdef", "QPushButton", "gboRwLegacyControl", "Format NDEF", FORMAT_TIP, "min=71x31"},

    // MIFARE Classic page
    {"gboRwMifareStandardAuthentication", "QGroupBox", "pagRwMifareStd", "Authentication", nullptr, ""},
    {"lblRwMifareStandardBlock", "QLabel", "gboRwMifareStandardAuthentication", "Block:", nullptr, ""},
    {"sboRwMifareStandardBlock", "QSpinBox", "gboRwMifareStandardAuthentication", nullptr,
     "Specify block for furtheroperations.", "range=0..255;val=0"},
    {"lblRwMifareStandardSector1", "QLabel", "gboRwMifareStandardAuthentication", "Sector:", nullptr, ""},
    {"lblRwMifareStandardSector2", "QLabel", "gboRwMifareStandardAuthentication", "0", nullptr, "min=18x0"},
    {"lblRwMifareStandardBlockOffset1", "QLabel", "gboRwMifareStandardAuthentication", "Block offset:", nullptr, ""},
    {"lblRwMifareStandardBlockOffset2", "QLabel", "gboRwMifareStandardAuthentication", "0", nullptr, "min=18x0"},
    {"lblRwMifareStandardKey", "QLabel", "gboRwMifareStandardAuthentication", "Key:", nullptr, ""},
    {"cboRwMifareStandardKey", "QComboBox", "gboRwMifareStandardAuthentication", nullptr, "Select key for authentication",
     "edit;min=116x0;idx=0;items=FF FF FF FF FF FF|D3 F7 D3 F7 D3 F7|A0 A1 A2 A3 A4 A5|00 00 00 00 00 00"},
    {"btnRwMifareStandardAuthenticateA", "QPushButton", "gboRwMifareStandardAuthentication", "Auth. type A",
     "Authenticate with the chosen key A to the selected block", BTN},
    {"btnRwMifareStandardAuthenticateB", "QPushButton", "gboRwMifareStandardAuthentication", "Auth. type B", nullptr, BTN},
    {"gboRwMifarStandardFormat", "QGroupBox", "pagRwMifareStd", "Format", nullptr, ""},
    {"btnRwMifareStandardFormatNdef", "QPushButton", "gboRwMifarStandardFormat", "Format NDEF", FORMAT_TIP, BTN},
    {"btnRwMifareStandardErase", "QPushButton", "gboRwMifarStandardFormat", "Erase", ERASE_TIP, BTN},
    {"gboRwMifareStandardRead", "QGroupBox", "pagRwMifareStd", "Read", nullptr, "min=809x0"},
    {"lblRwMifareStandardLog", "QLabel", "gboRwMifareStandardRead", "Log / data read:", nullptr, ""},
    {"tedRwMifareStandardLog", "QTextEdit", "gboRwMifareStandardRead", nullptr, nullptr, "ro"},
    {"btnRwMifareStandardReadBlock", "QPushButton", "gboRwMifareStandardRead", "Read block", "Read a block", BTN},
    {"btnRwMifareStandardReadSector", "QPushButton", "gboRwMifareStandardRead", "Read sector",
     "Read the entire sector which the selected block belongs to", BTN},
    {"btnRwMifareStandardCheckTag", "QPushButton", "gboRwMifareStandardRead", "Check Tag",
     "Check presence of Mifare Standard tag", BTN},
    {"gboRwMifareStandardWrite", "QGroupBox", "pagRwMifareStd", "Write", nullptr, "min=809x0"},
    {"lblRwMifareStandardWrite", "QLabel", "gboRwMifareStandardWrite", "Write data (16 bytes):", nullptr, ""},
    {"cboRwMifareStandardWrite", "QComboBox", "gboRwMifareStandardWrite", nullptr, nullptr, "edit;items="},
    {"btnRwMifareStandardWrite", "QPushButton", "gboRwMifareStandardWrite", "Write",
     "Write data to the selected block\n Data size must be consistent with the block size of that block", BTN},

    // P2P page (the SNEP editor's rows come from the editor table)
    {"tabP2p", "QTabWidget", "pagP2p", nullptr, nullptr, "idx=0"},
    {"pagP2pSnep", "QWidget", "tabP2p", "SNEP", nullptr, "off"},
    {"gboP2pSnepReceive", "QGroupBox", "pagP2pSnep", "Receive (Server)", nullptr, "off"},
    {"twtP2pSnepReceive", "QTreeWidget", "gboP2pSnepReceive", nullptr, nullptr, ""},
    {"gboP2pSnepTransmit", "QGroupBox", "pagP2pSnep", "Transmit (Client)", nullptr, "off"},
    {"gboRwNdefWriteControl_2", "QGroupBox", "gboP2pSnepTransmit", "Control", nullptr, ""},
    {"btnP2pSnepTransmit", "QPushButton", "gboRwNdefWriteControl_2", "Transmit", "Transmit slected SNEP data", FIXBTN},
    {"ckbP2pSnepTransmitAutoTransmit", "QCheckBox", "gboRwNdefWriteControl_2", "Auto",
     "Transmit currently selected SNEP content on device indication", ""},
    {"pagP2pMarveldApi", "QWidget", "tabP2p", "Marveld API", nullptr, ""},
    {"gboP2p1", "QGroupBox", "pagP2pMarveldApi", "Connection 1 (SAP = 15)", nullptr, ""},
    {"btnP2pStartListener1", "QPushButton", "gboP2p1", "Start listener", "Start LLCP-listener", BTN},
    {"btnP2pStopListener1", "QPushButton", "gboP2p1", "Stop listener", "Stop LLCP-listener", "off;" BTN},
    {"lblP2pListenerStatus1", "QLabel", "gboP2p1", "Not Started", nullptr, "centre;min=80x0"},
    {"lblP2pMaxWindowSize1", "QLabel", "gboP2p1", "Max. window size:", nullptr, ""},
    {"sboP2pMaxWindowSize1", "QSpinBox", "gboP2p1", nullptr, WINDOW_TIP, "range=1..6;val=1;min=71x0"},
    {"btnP2pTransmit1", "QPushButton", "gboP2p1", "Transmit", nullptr, "off;" BTN},
    {"lblRxDataLabel1", "QLabel", "gboP2p1", "RX bytes:", nullptr, ""},
    {"lblP2pRxBytes1", "QLabel", "gboP2p1", "0", "Number of bytes received during established session", "min=41x0"},
    {"btnP2pConnect1", "QPushButton", "gboP2p1", "Connect", CONNECT_TIP, "off;" BTN},
    {"btnP2pDisconnect1", "QPushButton", "gboP2p1", "Disconnect", "Close LLCP connection", "off;" BTN},
    {"lblP2pSessionStatus1", "QLabel", "gboP2p1", "Not connected", nullptr, "centre;min=80x0"},
    {"lblP2pMiu1", "QLabel", "gboP2p1", "MIU:", nullptr, ""},
    {"sboP2pMiu1", "QSpinBox", "gboP2p1", nullptr, "Configure the maximum ", "range=0..1048576;val=128;min=71x0"},
    {"ckbContinuous1", "QCheckBox", "gboP2p1", "Continuous", CONT_TIP, ""},
    {"lblTxDataLabel1", "QLabel", "gboP2p1", "TX bytes:", nullptr, ""},
    {"lblP2pTxBytes1", "QLabel", "gboP2p1", "0", "Number of bytes sent during established session", "min=26x0"},
    {"ckbRandomizeSize1", "QCheckBox", "gboP2p1", "Randomize size", nullptr, "off"},
    {"ckbP2pEchoServer1", "QCheckBox", "gboP2p1", "Echo server", ECHO_TIP, ""},
    {"gbop2p2", "QGroupBox", "pagP2pMarveldApi", "Connection 2 (SAP = 14)", nullptr, ""},
    {"btnP2pStartListener2", "QPushButton", "gbop2p2", "Start listener", "Start LLCP-listener", BTN},
    {"btnP2pStopListener2", "QPushButton", "gbop2p2", "Stop listener", "Stop LLCP-listener", "off;" BTN},
    {"lblP2pListenerStatus2", "QLabel", "gbop2p2", "Not Started", nullptr, "centre;min=80x0"},
    {"lblP2pMaxWindowSize2", "QLabel", "gbop2p2", "Max. window size:", nullptr, ""},
    {"sboP2pMaxWindowSize2", "QSpinBox", "gbop2p2", nullptr, WINDOW_TIP, "range=1..6;val=1;min=71x0"},
    {"btnP2pTransmit2", "QPushButton", "gbop2p2", "Transmit", nullptr, "off;" BTN},
    {"lblRxDataLabel2", "QLabel", "gbop2p2", "RX bytes:", nullptr, ""},
    {"lblP2pRxBytes2", "QLabel", "gbop2p2", "0", "Number of bytes received during established session", "min=41x0"},
    {"btnP2pConnect2", "QPushButton", "gbop2p2", "Connect", CONNECT_TIP, "off;" BTN},
    {"btnP2pDisconnect2", "QPushButton", "gbop2p2", "Disconnect", "Close LLCP connection", "off;" BTN},
    {"lblP2pSessionStatus2", "QLabel", "gbop2p2", "Not connected", nullptr, "centre;min=80x0"},
    {"lblP2pMiu2", "QLabel", "gbop2p2", "MIU:", nullptr, ""},
    {"sboP2pMiu2", "QSpinBox", "gbop2p2", nullptr, nullptr, "range=128..1048576;val=128;min=71x0"},
    {"ckbContinuous2", "QCheckBox", "gbop2p2", "Continuous", CONT_TIP, ""},
    {"lblTxDataLabel2", "QLabel", "gbop2p2", "TX bytes:", nullptr, ""},
    {"lblP2pTxBytes2", "QLabel", "gbop2p2", "0", "Number of bytes sent during established session", ""},
    {"ckbRandomizeSize2", "QCheckBox", "gbop2p2", "Randomize size", nullptr, "off"},
    {"ckbP2pEchoServer2", "QCheckBox", "gbop2p2", "Echo server", ECHO_TIP, ""},

    // Card-emulation page (the editor's rows come from the editor table)
    {"gboCeLog", "QGroupBox", "pagCeNdefIso14443ABFelica", "Log", nullptr, ""},
    {"tedCeLog", "QTextEdit", "gboCeLog", nullptr, nullptr, "ro"},
    {"gboCeNdefModify", "QGroupBox", "pagCeNdefIso14443ABFelica", "Modify emulation", nullptr, ""},
    {"gboCeNdefModifyControl", "QGroupBox", "gboCeNdefModify", "Control", nullptr, ""},
    {"btnCeNdefModifySave", "QPushButton", "gboCeNdefModifyControl", "Save", "Save selected NDEF content to emulated tag",
     FIXBTN},
    {"btnCeNdefModifyLoad", "QPushButton", "gboCeNdefModifyControl", "Load", "Load current content of the emulated tag",
     FIXBTN},

    // Embedded-SE page
    {"gboSeTransferLog", "QGroupBox", "pagEmbeddedSe", "APDU transfer / log", nullptr, ""},
    {"lblSeCommand", "QLabel", "gboSeTransferLog", "Command:", nullptr, ""},
    {"cboSeCommand", "QComboBox", "gboSeTransferLog", nullptr, nullptr, "items="},
    {"lblSePdu", "QLabel", "gboSeTransferLog", "PDU:", nullptr, ""},
    {"ledSePdu", "QLineEdit", "gboSeTransferLog", nullptr, nullptr, ""},
    {"lblSeDescription", "QLabel", "gboSeTransferLog", "Description:", nullptr, ""},
    {"ledSeDescription", "QLineEdit", "gboSeTransferLog", nullptr, nullptr, ""},
    {"lblSeLog", "QLabel", "gboSeTransferLog", "Log:", nullptr, ""},
    {"tedSeLog", "QTextEdit", "gboSeTransferLog", nullptr, nullptr, "ro"},
    {"gboSeControl", "QGroupBox", "pagEmbeddedSe", "Control", nullptr, "max=93x" ANY},
    {"btnSeExchangePdu", "QPushButton", "gboSeControl", "Exch. PDU", nullptr, "off;min=71x31"},
    {"lblSeControlId", "QLabel", "gboSeControl", "ID:", nullptr, ""},
    {"cboSeControlId", "QComboBox", "gboSeControl", nullptr, nullptr, "off;items="},
    {"btnSeOpenEse", "QPushButton", "gboSeControl", "Open ESE", "Open secure element", "off;min=71x31"},
    {"btnSeCloseEse", "QPushButton", "gboSeControl", "Close ESE", "Clsoe secure element", "off;min=71x31"},
    {"btnSeEchoTest", "QPushButton", "gboSeControl", "Echo test",
     "Send an echo test PDU to the secure element\nThis PDU might not be supported by the secure element",
     "off;min=71x31"},
    {"btnSeSavePdu", "QPushButton", "gboSeControl", "Save PDU", nullptr, "min=71x31"},
    {"btnSeDeletePdu", "QPushButton", "gboSeControl", "Delete PDU", nullptr, "min=71x31"},
    {"btnSeAddRoutingEntry", "QPushButton", "gboSeControl", "Add entry", nullptr, "min=71x31"},
    {"btnSeDeleteRoutingEntry", "QPushButton", "gboSeControl", "Delete entry", nullptr, "min=71x31"},
    {"gboSeRoutingTableConfiguration", "QGroupBox", "pagEmbeddedSe", "Routing table configuration", nullptr, ""},
    {"lblSeRoutingTableType", "QLabel", "gboSeRoutingTableConfiguration", "Routing table type:", nullptr, ""},
    {"cboSeRoutingTableType", "QComboBox", "gboSeRoutingTableConfiguration", nullptr, nullptr,
     "idx=0;items=Listen Mode|Poll Mode"},
    {"lblSeId", "QLabel", "gboSeRoutingTableConfiguration", "ID:", nullptr, ""},
    {"cboSeId", "QComboBox", "gboSeRoutingTableConfiguration", nullptr, nullptr, "items="},
    {"lblSeRoutingType", "QLabel", "gboSeRoutingTableConfiguration", "Routing type:", nullptr, ""},
    {"cboSeRoutingType", "QComboBox", "gboSeRoutingTableConfiguration", nullptr, nullptr,
     "idx=0;items=Technology|Protocol|AID"},
    {"lblSePowerState", "QLabel", "gboSeRoutingTableConfiguration", "Power state (hex):", nullptr, ""},
    {"cboSePowerState", "QComboBox", "gboSeRoutingTableConfiguration", nullptr, nullptr, "items="},
    {"btnSeWakeUp", "QPushButton", "gboSeRoutingTableConfiguration", "Wake up", nullptr, ""},
    {"lblSeTechnology", "QLabel", "gboSeRoutingTableConfiguration", "Technology:", nullptr, ""},
    {"cboSeTechnology", "QComboBox", "gboSeRoutingTableConfiguration", nullptr, nullptr,
     "idx=0;items=ISO 14443A|ISO 14443B|FeliCa"},
    {"lblSeTechnology_2", "QLabel", "gboSeRoutingTableConfiguration", "Protocol:", nullptr, ""},
    {"cboSeProtocol", "QComboBox", "gboSeRoutingTableConfiguration", nullptr, nullptr,
     "off;idx=0;items=T1T|T2T|T3T|ISO DEP|NFC DEP"},
    {"label", "QLabel", "gboSeRoutingTableConfiguration", "AID (hex):", nullptr, ""},
    {"ledSeAid", "QLineEdit", "gboSeRoutingTableConfiguration", nullptr, nullptr, "off;len=32"},

    // I/O page
    {"gboIoTransferLog", "QGroupBox", "pagIo", "I/O Control", nullptr, ""},
    {"lblIoCommand", "QLabel", "gboIoTransferLog", "Command:", nullptr, ""},
    {"cboIoCommand", "QComboBox", "gboIoTransferLog", nullptr, nullptr, "items="},
    {"lblIoPdu", "QLabel", "gboIoTransferLog", "PDU:", nullptr, ""},
    {"ledIoPdu", "QLineEdit", "gboIoTransferLog", nullptr, nullptr, ""},
    {"lblIoDescription", "QLabel", "gboIoTransferLog", "Description:", nullptr, ""},
    {"ledIoDescription", "QLineEdit", "gboIoTransferLog", nullptr, nullptr, ""},
    {"lbIoLog", "QLabel", "gboIoTransferLog", "Log:", nullptr, ""},
    {"tedIoLog", "QTextEdit", "gboIoTransferLog", nullptr, nullptr, "ro"},
    {"gboIoControl", "QGroupBox", "pagIo", "Control", nullptr, "max=93x" ANY},
    {"btnIoSendPdu", "QPushButton", "gboIoControl", "Send PDU", nullptr, "off;min=71x31"},
    {"btnIoSendRaw", "QPushButton", "gboIoControl", "Send raw", nullptr, "off;min=71x31"},
    {"btnIoSavePdu", "QPushButton", "gboIoControl", "Save PDU", nullptr, "min=71x31"},
    {"btnIoDeletePdu", "QPushButton", "gboIoControl", "Delete PDU", nullptr, "min=71x31"},
};

// The NDEF editor, once for its three copies: name = kind + copy + element, except where the
// exceptions below say otherwise; the SNEP copy lacks title, job title and mobile, and only the
// R/W copy has the vCard save and load buttons.
#define LANGUAGES \
    "English|German|French|Spanish|Portuguese|Chinese|Japanese|Korean|Russian|Polish|Swedish|Finnish|Norwegian|Hebrew|Turkish"
enum Copies { All, NotSnep, RwOnly };
struct EditorRow {
    const char* kind;
    const char* element;
    const char* cls;
    const char* parentKind;  // the parent's kind and element; "" for the box holding the editor
    const char* parentElement;
    const char* text;
    const char* state;
    Copies copies;
};
const EditorRow kEditor[] = {
    {"tab", "", "QTabWidget", "", "", nullptr, "idx=0", All},
    {"pag", "RtdText", "QWidget", "tab", "", "RTD Text", "", All},
    {"lbl", "RtdTextLanguageCode", "QLabel", "pag", "RtdText", "Lang. code:", "", All},
    {"cbo", "RtdTextLanguageCode", "QComboBox", "pag", "RtdText", nullptr, "min=121x0;idx=0;items=" LANGUAGES, All},
    {"lbl", "RtdTextText", "QLabel", "pag", "RtdText", "Text:", "", All},
    {"ted", "RtdTextText", "QTextEdit", "pag", "RtdText", "NFC powered by Marveld", "", All},
    {"pag", "RtdUri", "QWidget", "tab", "", "RTD URI", "", All},
    {"lbl", "RtdUriPrefix", "QLabel", "pag", "RtdUri", "Prefix:", "", All},
    {"lbl", "RtdUriUri", "QLabel", "pag", "RtdUri", "URI:", "", All},
    {"led", "RtdUriUri", "QLineEdit", "pag", "RtdUri", "*", "", All},
    {"pag", "RtdSmartPoster", "QWidget", "tab", "", "RTD Smart Poster", "", All},
    {"lbl", "RtdSmartPosterLanguageCode", "QLabel", "pag", "RtdSmartPoster", "Lang. code:", "", All},
    {"cbo", "RtdSmartPosterLanguageCode", "QComboBox", "pag", "RtdSmartPoster", nullptr,
     "min=121x0;idx=0;items=" LANGUAGES, All},
    {"lbl", "RtdSmartPosterUri", "QLabel", "pag", "RtdSmartPoster", "URI:", "", All},
    {"led", "RtdSmartPosterUri", "QLineEdit", "pag", "RtdSmartPoster", "*", "", All},
    {"lbl", "RtdSmartPosterText", "QLabel", "pag", "RtdSmartPoster", "Text:", "", All},
    {"ted", "RtdSmartPosterText", "QTextEdit", "pag", "RtdSmartPoster", "Check this out - NFC powered by Marveld!", "", All},
    {"pag", "Vcard", "QWidget", "tab", "", "VCard", "", All},
    {"lbl", "VcardTitle", "QLabel", "pag", "Vcard", "Title:", "", NotSnep},
    {"led", "VcardTitle", "QLineEdit", "pag", "Vcard", nullptr, "", NotSnep},
    {"lbl", "VcardFirstName", "QLabel", "pag", "Vcard", "First name:", "", All},
    {"led", "VcardFirstName", "QLineEdit", "pag", "Vcard", "NFC", "", All},
    {"btn", "VcardSave", "QPushButton", "pag", "Vcard", "Save", FIXBTN, RwOnly},
    {"btn", "VcardLoad", "QPushButton", "pag", "Vcard", "Load", FIXBTN, RwOnly},
    {"lbl", "VcardJobTitle", "QLabel", "pag", "Vcard", "Job title:", "", NotSnep},
    {"led", "VcardJobTitle", "QLineEdit", "pag", "Vcard", nullptr, "", NotSnep},
    {"lbl", "VcardLastName", "QLabel", "pag", "Vcard", "Last name:", "", All},
    {"led", "VcardLastName", "QLineEdit", "pag", "Vcard", "Expert", "", All},
    {"lbl", "VcardPhone", "QLabel", "pag", "Vcard", "Phone:", "", All},
    {"led", "VcardPhone", "QLineEdit", "pag", "Vcard", "*", "", All},
    {"lbl", "VcardMobile", "QLabel", "pag", "Vcard", "Mobile:", "", NotSnep},
    {"led", "VcardMobile", "QLineEdit", "pag", "Vcard", nullptr, "", NotSnep},
    {"lbl", "VcardEmail", "QLabel", "pag", "Vcard", "E-Mail:", "", All},
    {"led", "VcardEmail", "QLineEdit", "pag", "Vcard", "*", "", All},
    {"lbl", "VcardCompany", "QLabel", "pag", "Vcard", "Company:", "", All},
    {"led", "VcardCompany", "QLineEdit", "pag", "Vcard", "*", "", All},
    {"lbl", "VcardCountry", "QLabel", "pag", "Vcard", "Country:", "", All},
    {"led", "VcardCountry", "QLineEdit", "pag", "Vcard", "*", "", All},
    {"lbl", "VcardCity", "QLabel", "pag", "Vcard", "City:", "", All},
    {"led", "VcardCity", "QLineEdit", "pag", "Vcard", "*", "", All},
    {"lbl", "VcardUrl", "QLabel", "pag", "Vcard", "URL:", "", All},
    {"led", "VcardUrl", "QLineEdit", "pag", "Vcard", "*", "", All},
    {"lbl", "VcardCode", "QLabel", "pag", "Vcard", "Code:", "", All},
    {"led", "VcardCode", "QLineEdit", "pag", "Vcard", "*", "", All},
    {"lbl", "VcardStreet", "QLabel", "pag", "Vcard", "Street:", "", All},
    {"led", "VcardStreet", "QLineEdit", "pag", "Vcard", "*", "", All},
    {"pag", "Mime", "QWidget", "tab", "", "MIME", "", All},
    {"lbl", "MimeUri", "QLabel", "pag", "Mime", "URI:", "", All},
    {"led", "MimeUri", "QLineEdit", "pag", "Mime", nullptr, "", All},
    {"btn", "MimeSelectImage", "QPushButton", "pag", "Mime", "Select image", FIXBTN, All},
};
struct EditorCopy {
    const char* stem;
    const char* holder;
    bool snep;
    bool readWrite;
};
constexpr EditorCopy kEditorCopies[] = {
    {"RwNdefWrite", "gboRwNdefWrite", false, true},
    {"P2pSnepTransmit", "gboP2pSnepTransmit", true, false},
    {"CeNdefModify", "gboCeNdefModify", false, false},
};
const QHash<QString, QString> kNameExceptions = {
    {"lblRwNdefWriteRtdTextLanguageCode", "lblRwNdefRtdTextLanguageCode"},
    {"lblRwNdefWriteRtdTextText", "lblRwNdefRtdTextText"},
    {"lblRwNdefWriteVcardLastName", "lblRwNdefWriteVcardLastName_2"},
    {"lblCeNdefModifyVcardFirstName", "lbCeNdefModifyVcardFirstName"},
    {"lblCeNdefModifyVcardEmail", "lbCeNdefModifyVcardEmail"},
};

QString editorName(const char* kind, const EditorCopy& copy, const char* element) {
    QString name = QString(kind) + copy.stem + element;
    return kNameExceptions.value(name, name);
}

// The 36 abbreviations of the NFC Forum URI record type definition, in identifier-code order.
const char* const kUriPrefixes[] = {
    "",         "http://www.", "https://www.", "http://",  "https://", "tel:",  "mailto:",
    "ftp://anonymous:anonymous@", "ftp://ftp.", "ftps://", "sftp://", "smb://", "nfs://", "ftp://",
    "dav://",   "news:",       "telnet://",    "imap:",    "rtsp://",  "urn:",  "pop:",
    "sip:",     "sips:",       "tftp:",        "btspp://", "btl2cap://", "btgoep://", "tcpobex://",
    "irdaobex://", "file://",  "urn:epc:id:",  "urn:epc:tag:", "urn:epc:pat:", "urn:epc:raw:", "urn:epc:",
    "urn:nfc:"};
static_assert(std::size(kUriPrefixes) == 36);

const char* const kPictures[] = {"applicationIcon", "oem", "marveld", "iso14443A", "iso14443B", "iso15693",
                                 "innovisionTopaz", "kovioBarcode", "sonyFelica", "nxpMifareUltralight",
                                 "nxpMifareClassic1K", "nxpMifareClassic4K", "nxpMifareS20", "nxpMifarePlus2K",
                                 "nxpMifarePlus4K", "nxpMifareDesfire", "nfcForumNdef", "nfcForumP2p", "nfcForumCe"};

struct Expected {
    QString name, cls, parent, text, tip, state;
    bool anyText = false;
};

std::vector<Expected> expectedWidgets() {
    std::vector<Expected> rows;
    for (const WidgetRow& r : kWidgets) {
        rows.push_back({r.name, r.cls, r.parent, r.text, r.tip, r.state});
    }
    for (const EditorCopy& copy : kEditorCopies) {
        for (const EditorRow& e : kEditor) {
            if ((e.copies == NotSnep && copy.snep) || (e.copies == RwOnly && !copy.readWrite)) continue;
            QString parent = *e.parentKind ? editorName(e.parentKind, copy, e.parentElement) : QString(copy.holder);
            const bool anyText = e.text && QByteArray(e.text) == "*";
            rows.push_back({editorName(e.kind, copy, e.element), e.cls, parent, anyText ? "" : e.text, "", e.state,
                            anyText});
        }
        QString prefixState = copy.snep ? "idx=1;min=124x0;max=124x" ANY : "idx=1;min=124x0";
        rows.push_back({editorName("cbo", copy, "RtdUriPrefix"), "QComboBox", editorName("pag", copy, "RtdUri"), "", "",
                        prefixState});
    }
    return rows;
}

// The nearest ancestor with a name of the form's own (Qt's inner widgets are named "qt_...").
QString namedParent(const QWidget* w) {
    for (const QWidget* p = w->parentWidget(); p; p = p->parentWidget()) {
        if (!p->objectName().isEmpty() && !p->objectName().startsWith("qt_")) return p->objectName();
    }
    return {};
}

QTabWidget* owningTabs(QWidget* w) {
    auto* tabs = w->parentWidget() ? qobject_cast<QTabWidget*>(w->parentWidget()->parentWidget()) : nullptr;
    return tabs && tabs->indexOf(w) >= 0 ? tabs : nullptr;
}

QString shownText(QWidget* w) {
    if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
    if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
    if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text();
    if (auto* g = qobject_cast<QGroupBox*>(w)) return g->title();
    if (auto* t = qobject_cast<QTextEdit*>(w)) return t->toPlainText();
    if (auto* tabs = owningTabs(w)) return tabs->tabText(tabs->indexOf(w));
    return {};
}

QSize sizeToken(const QString& v) {
    const QStringList wh = v.split('x');
    return {wh[0].toInt(), wh[1].toInt()};
}

QStringList comboItems(const QComboBox* c) {
    QStringList items;
    for (int i = 0; i < c->count(); ++i) items << c->itemText(i);
    return items;
}

// Every difference between a widget and its row, as readable lines.
QStringList differences(QWidget* w, const Expected& e) {
    QStringList out;
    auto expect = [&](bool ok, const QString& what) {
        if (!ok) out << e.name + ": " + what;
    };
    expect(e.cls == w->metaObject()->className(), QString("class %1").arg(w->metaObject()->className()));
    expect(namedParent(w) == e.parent, "parent " + namedParent(w));
    const QString text = shownText(w);
    expect(e.anyText ? !text.isEmpty() : text == e.text, "text '" + text + "'");
    expect(w->toolTip() == e.tip, "tool tip '" + w->toolTip() + "'");
    QMap<QString, QString> state;
    for (const QString& token : e.state.split(';', Qt::SkipEmptyParts)) {
        const int eq = token.indexOf('=');
        state.insert(eq < 0 ? token : token.left(eq), eq < 0 ? QString() : token.mid(eq + 1));
    }
    expect(w->testAttribute(Qt::WA_ForceDisabled) == state.contains("off"), "enabled state");
    const QString fixed = state.value("fixed");
    const QSize min = sizeToken(!fixed.isEmpty() ? fixed : state.value("min", "0x0"));
    const QSize max = sizeToken(!fixed.isEmpty() ? fixed : state.value("max", ANY "x" ANY));
    expect(w->minimumSize() == min, QString("minimum %1x%2").arg(w->minimumWidth()).arg(w->minimumHeight()));
    expect(w->maximumSize() == max, QString("maximum %1x%2").arg(w->maximumWidth()).arg(w->maximumHeight()));
    if (auto* b = qobject_cast<QAbstractButton*>(w)) expect(b->isChecked() == state.contains("chk"), "checked state");
    if (auto* r = qobject_cast<QRadioButton*>(w)) expect(r->autoExclusive() == !state.contains("noexcl"), "exclusivity");
    if (auto* l = qobject_cast<QLineEdit*>(w)) {
        expect(l->isReadOnly() == state.contains("ro"), "read-only state");
        if (state.contains("len")) expect(l->maxLength() == state["len"].toInt(), "maximum length");
    }
    if (auto* t = qobject_cast<QTextEdit*>(w)) expect(t->isReadOnly() == state.contains("ro"), "read-only state");
    if (auto* c = qobject_cast<QComboBox*>(w)) {
        expect(c->isEditable() == state.contains("edit"), "editable state");
        if (state.contains("items"))
            expect(comboItems(c) == state["items"].split('|', Qt::SkipEmptyParts), "items " + comboItems(c).join('|'));
        if (state.contains("idx")) expect(c->currentIndex() == state["idx"].toInt(), "current index");
    }
    if (auto* t = qobject_cast<QTabWidget*>(w)) expect(t->currentIndex() == state.value("idx", "0").toInt(), "current tab");
    if (auto* s = qobject_cast<QSpinBox*>(w)) {
        const QStringList range = state["range"].split("..");
        expect(range.size() == 2 && s->minimum() == range[0].toInt() && s->maximum() == range[1].toInt(), "range");
        expect(s->value() == state["val"].toInt(), "value");
    }
    if (state.contains("centre")) expect(qobject_cast<QLabel*>(w)->alignment() == Qt::AlignCenter, "alignment");
    return out;
}

}  // namespace

int qInitResources_lumaro();
int qCleanupResources_lumaro();

namespace {

const char* const kFocusChain[] = {
    "ledCurrentLocalRole", "ledDeviceType", "ledDeviceId", "ledBitRate", "ledNdefSize", "tabInteraction",
    "ckbRwIso14443A", "ckbRwIso14443B", "ckbRwInnovisionJewel", "ckbRwFelica212", "ckbRwPresenceCheck",
    "ckbRwCheckNdef", "ckbRwAutoReadNdefOnIndication", "ckbRwNdefSuppressNdefRtdAction", "btnRwStart",
    "ckbP2pInitiatorPassive", "ckbP2pTargetPassive", "ckbP2pServiceSnepServer", "ckbP2pServiceNppServer",
    "ckbP2pSuppressNdefRtdAction", "ckbP2pSnepAutoTransmit", "btnP2pStart", "btnP2pStop", "ckbCeIso14443A",
    "ckbCeIso14443B", "ckbCeFelica", "rdbCeInsertEmpty", "rdbCeInsertVcard", "rdbCeSmartPoster", "ckbCeAdvanced",
    "ckbSeSlot0", "ckbSeSlot1", "ckbSeSlot2", "ckbSeSlot3", "twtRwNdefRead", "btnRwNdefRead", "btnRwNdefCheckTag",
    "ckbRwNdefSuppress", "ckbRwNdefAutoRead", "tabRwNdefWrite", "ledRwNdefWriteMimeUri",
    "btnRwNdefWriteMimeSelectImage", "btnRwNdefWrite", "btnRwNdefFormat", "btnRwNdefErase", "cboRwLegacyCommand",
    "ledRwLegacyPdu", "ledRwLegacyDescription", "tedRwLegacyLog", "btnRwLegacyExchangePdu", "btnRwLegacySavePdu",
    "btnRwLegacyDeletePdu", "btnRwLegacyCheckTag", "btnRwLegacyErase", "btnRwLegacyFormatNdef",
    "sboRwMifareStandardBlock", "cboRwMifareStandardKey", "btnRwMifareStandardAuthenticateA",
    "btnRwMifareStandardAuthenticateB", "btnRwMifareStandardFormatNdef", "btnRwMifareStandardErase",
    "tedRwMifareStandardLog", "btnRwMifareStandardReadBlock", "btnRwMifareStandardReadSector",
    "btnRwMifareStandardCheckTag", "cboRwMifareStandardWrite", "btnRwMifareStandardWrite", "tabP2p",
    "twtP2pSnepReceive", "tabP2pSnepTransmit", "cboP2pSnepTransmitRtdTextLanguageCode",
    "tedP2pSnepTransmitRtdTextText", "cboP2pSnepTransmitRtdUriPrefix", "ledP2pSnepTransmitRtdUriUri",
    "cboP2pSnepTransmitRtdSmartPosterLanguageCode", "ledP2pSnepTransmitRtdSmartPosterUri",
    "tedP2pSnepTransmitRtdSmartPosterText", "ledP2pSnepTransmitVcardFirstName", "ledP2pSnepTransmitVcardLastName",
    "ledP2pSnepTransmitVcardPhone", "ledP2pSnepTransmitVcardEmail", "ledP2pSnepTransmitVcardCompany",
    "ledP2pSnepTransmitVcardUrl", "ledP2pSnepTransmitVcardStreet", "ledP2pSnepTransmitVcardCity",
    "ledP2pSnepTransmitVcardCode", "ledP2pSnepTransmitVcardCountry", "ledP2pSnepTransmitMimeUri",
    "btnP2pSnepTransmitMimeSelectImage", "btnP2pSnepTransmit", "ckbP2pSnepTransmitAutoTransmit",
    "btnP2pStartListener1", "btnP2pStopListener1", "btnP2pConnect1", "btnP2pDisconnect1", "sboP2pMaxWindowSize1",
    "sboP2pMiu1", "btnP2pTransmit1", "ckbContinuous1", "ckbRandomizeSize1", "ckbP2pEchoServer1",
    "btnP2pStartListener2", "btnP2pStopListener2", "btnP2pConnect2", "btnP2pDisconnect2", "sboP2pMaxWindowSize2",
    "sboP2pMiu2", "btnP2pTransmit2", "ckbContinuous2", "ckbRandomizeSize2", "ckbP2pEchoServer2", "tedCeLog",
    "cboSeCommand", "ledSePdu", "ledSeDescription", "tedSeLog", "btnSeExchangePdu", "btnSeOpenEse", "btnSeCloseEse",
    "btnSeEchoTest", "btnSeSavePdu", "btnSeDeletePdu", "txbErrorLog", "ledRwNdefWriteVcardCountry",
    "ledRwNdefWriteRtdSmartPosterUri", "tedRwNdefWriteRtdSmartPosterText", "ledRwNdefWriteVcardFirstName",
    "ledRwNdefWriteVcardPhone", "ledRwNdefWriteVcardEmail", "ledRwNdefWriteVcardCompany", "ledRwNdefWriteVcardUrl",
    "ledRwNdefWriteVcardStreet", "ledRwNdefWriteVcardCode", "ledRwNdefWriteVcardCity", "cboRwNdefWriteRtdUriPrefix",
    "ledRwNdefWriteRtdUriUri", "tedRwNdefWriteRtdTextText", "cboRwNdefWriteRtdSmartPosterLanguageCode",
    "cboRwNdefWriteRtdTextLanguageCode",
};
static_assert(std::size(kFocusChain) == 139);

template <class T = QWidget>
T* child(QWidget* host, const char* name) {
    T* w = host->findChild<T*>(name);
    if (!w) qFatal("no widget %s", name);
    return w;
}

QByteArray fileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Little-endian fields of a picture file; a field beyond the end reads as 0, so a short file fails.
template <class T>
T littleEndian(const QByteArray& b, int at) {
    return at >= 0 && at + int(sizeof(T)) <= b.size() ? qFromLittleEndian<T>(b.constData() + at) : 0;
}
quint32 le32(const QByteArray& b, int at) { return littleEndian<quint32>(b, at); }
quint16 le16(const QByteArray& b, int at) { return littleEndian<quint16>(b, at); }

// A window that binds two of the form's signals by name, to see when the binding happens.
class CBoundHost : public QWidget {
    Q_OBJECT
public:
    int startClicks = 0;
    int prefixChanges = 0;
private slots:
    void on_btnStartNfc_clicked() { ++startClicks; }
    void on_cboRwNdefWriteRtdUriPrefix_currentIndexChanged(int) { ++prefixChanges; }
};

// A logo keyed on its colour at (0,0) keeps its artwork: the key colour surrounds the picture
// and the artwork's own pixels, at least a tenth of the picture, are of other colours.
bool logoSurvivesKeying(const QImage& image) {
    const QRgb key = image.pixel(0, 0);
    int artwork = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const bool border = x == 0 || y == 0 || x == image.width() - 1 || y == image.height() - 1;
            if (border && image.pixel(x, y) != key) return false;
            artwork += image.pixel(x, y) != key;
        }
    }
    return artwork * 10 >= image.width() * image.height();
}

// Grid cells where the copies of a box differ: row, column, row span, column span.
struct Cell {
    const char* name;
    int row, column, rowSpan, columnSpan;
};
const Cell kCells[] = {
    {"lblRwNdefWriteVcardTitle", 1, 0, 1, 1}, {"ledRwNdefWriteVcardFirstName", 1, 3, 1, 1},
    {"btnRwNdefWriteVcardSave", 1, 5, 1, 1}, {"btnRwNdefWriteVcardLoad", 1, 6, 1, 1},
    {"lblRwNdefWriteVcardLastName_2", 2, 2, 1, 1}, {"ledRwNdefWriteVcardEmail", 3, 5, 1, 2},
    {"ledRwNdefWriteVcardCompany", 4, 1, 1, 1}, {"ledRwNdefWriteVcardCity", 4, 5, 1, 2},
    {"ledRwNdefWriteVcardCode", 5, 3, 1, 1}, {"ledRwNdefWriteVcardStreet", 5, 5, 1, 2},
    {"lbCeNdefModifyVcardFirstName", 1, 2, 1, 1}, {"lbCeNdefModifyVcardEmail", 3, 4, 1, 1},
    {"lblP2pSnepTransmitVcardFirstName", 0, 0, 1, 1}, {"ledP2pSnepTransmitVcardLastName", 1, 1, 1, 1},
    {"ledP2pSnepTransmitVcardPhone", 2, 1, 1, 1}, {"ledP2pSnepTransmitVcardEmail", 3, 1, 1, 1},
    {"ledP2pSnepTransmitVcardCompany", 0, 3, 1, 3}, {"ledP2pSnepTransmitVcardUrl", 1, 3, 1, 3},
    {"ledP2pSnepTransmitVcardStreet", 2, 3, 1, 1}, {"ledP2pSnepTransmitVcardCode", 2, 5, 1, 1},
    {"ledP2pSnepTransmitVcardCity", 3, 3, 1, 1}, {"ledP2pSnepTransmitVcardCountry", 3, 5, 1, 1},
    {"tedRwNdefWriteRtdSmartPosterText", 1, 1, 1, 3}, {"ledCeNdefModifyRtdUriUri", 0, 3, 1, 1},
    {"lblP2pRxBytes1", 0, 12, 1, 1}, {"btnP2pConnect1", 2, 0, 1, 1}, {"ckbContinuous1", 2, 8, 1, 3},
    {"lblP2pTxBytes1", 2, 12, 1, 1}, {"ckbRandomizeSize1", 4, 8, 1, 1}, {"ckbP2pEchoServer1", 5, 8, 1, 3},
    {"lblP2pRxBytes2", 0, 11, 1, 1}, {"btnP2pConnect2", 1, 0, 1, 1}, {"ckbContinuous2", 1, 8, 1, 1},
    {"lblP2pTxBytes2", 1, 11, 1, 1}, {"ckbRandomizeSize2", 2, 8, 1, 1}, {"ckbP2pEchoServer2", 3, 8, 1, 2},
    {"btnCeStart", 4, 0, 2, 2}, {"btnCeStop", 4, 2, 2, 1}, {"gboSeControl", 0, 1, 2, 1},
    {"tabInteraction", 1, 1, 1, 8}, {"tedRwMifareStandardLog", 0, 2, 4, 1},
};

// Marks every text translated in the window's context, to show which texts went through it.
class CMarkingTranslator : public QTranslator {
public:
    bool isEmpty() const override { return false; }
    QString translate(const char* context, const char* source, const char*, int) const override {
        return QByteArray(context) == "CLumaro" ? QString("[%1]").arg(QString::fromUtf8(source)) : QString();
    }
};

// The texts a person reads on a widget, tool tip included.
QStringList readableTexts(QWidget* w) {
    QStringList texts{w->toolTip()};
    if (qobject_cast<QTextEdit*>(w)) return texts;  // rich text: only its paragraph is read
    texts << shownText(w);
    if (auto* c = qobject_cast<QComboBox*>(w)) texts << comboItems(c);
    if (auto* tree = qobject_cast<QTreeWidget*>(w))
        for (int column = 0; column < tree->columnCount(); ++column) texts << tree->headerItem()->text(column);
    if (auto* tabs = qobject_cast<QTabWidget*>(w))
        for (int i = 0; i < tabs->count(); ++i) texts << tabs->tabText(i);
    return texts;
}

// Size policies the form gives: horizontal, vertical, their stretch factors.
struct PolicyRow {
    const char* name;
    QSizePolicy::Policy h, v;
    int hStretch, vStretch;
};
constexpr auto F = QSizePolicy::Fixed, P = QSizePolicy::Preferred, M = QSizePolicy::Minimum, E = QSizePolicy::Expanding;
const PolicyRow kPolicies[] = {
    {"lblControllerConfiguration", F, F, 0, 0}, {"cboControllerConfiguration", P, F, 2, 0},
    {"gboDeviceDetection", F, P, 0, 0}, {"tabInteraction", P, P, 1, 0},
    {"lblDeviceImage", F, F, 0, 0}, {"lblDeviceImage2", F, F, 0, 0},
    {"btnRwNdefWrite", F, F, 0, 0}, {"btnCeNdefModifyLoad", F, F, 0, 0}, {"btnP2pSnepTransmit", F, F, 0, 0},
    {"btnRwNdefWriteVcardSave", F, F, 0, 0}, {"btnCeNdefModifyMimeSelectImage", F, F, 0, 0},
    {"gboRw", F, P, 0, 5}, {"gboP2p", F, P, 0, 5}, {"gboCe", F, P, 0, 5}, {"gboSe", F, P, 0, 5},
    {"gboRwMode", P, F, 0, 0}, {"gboP2pService", P, F, 0, 0}, {"gboCeCCConfiguration", P, F, 0, 0},
    {"gboSeMode", P, F, 0, 0},
    {"gboRwNdefRead", P, M, 0, 0}, {"gboRwNdefWrite", P, F, 0, 0}, {"gboRwNdefReadControl", F, P, 0, 0},
    {"gboRwNdefWriteControl", F, P, 0, 0},
    {"pagRwLegacy", P, P, 0, 0}, {"lblRwLegacyPdu", P, F, 0, 0}, {"gboRwLegacyControl", F, P, 0, 0},
    {"gboRwMifareStandardRead", P, E, 0, 0}, {"gboRwMifareStandardWrite", P, M, 0, 0},
    {"gboCeLog", P, M, 0, 0}, {"gboCeNdefModify", P, F, 0, 0}, {"gboCeNdefModifyControl", F, P, 0, 0},
    {"gboSeControl", F, P, 0, 0}, {"lblSeDescription", P, F, 0, 0}, {"gboIoControl", F, P, 0, 0},
    {"lblIoCommand", P, F, 0, 0},
    {"cboP2pSnepTransmitRtdTextLanguageCode", F, F, 0, 0}, {"cboCeNdefModifyRtdSmartPosterLanguageCode", F, F, 0, 0},
    {"lblRwNdefWriteVcardCity", F, F, 0, 0}, {"ledP2pSnepTransmitVcardCity", P, F, 0, 0},
};

QList<QComboBox*> uriPrefixBoxes(const Ui_CLumaro& ui) {
    return {ui.cboRwNdefWriteRtdUriPrefix, ui.cboP2pSnepTransmitRtdUriPrefix, ui.cboCeNdefModifyRtdUriPrefix};
}

// Shows the window laid out as on a screen, without painting it to one: the widgets get their
// sizes, and nothing is drawn until a picture is asked for.
void showOffScreen(QWidget& window) {
    window.setAttribute(Qt::WA_DontShowOnScreen);
    window.show();
}

// The window as it shows one page, named by the tab index and the page.
bool saveScreen(QWidget& window, int tab, const QWidget* page) {
    const QString file = QString("%1/%2-%3.png").arg(LUMARO_SCREENS).arg(tab).arg(page->objectName());
    return window.grab().save(file);
}

}  // namespace

class FormTest : public QObject {
    Q_OBJECT

private slots:
    void picturesResolveBeforeAnyWindow() {
        QVERIFY(QApplication::topLevelWidgets().isEmpty());
        for (const char* name : kPictures) QVERIFY2(QFileInfo(QString(":/") + name).isFile(), name);
    }

    void everyNamedWidgetAsGiven() {
        QWidget host;
        Ui_CLumaro ui;
        ui.setupUi(&host);
        QStringList failures;
        QSet<QString> listed;
        for (const Expected& e : expectedWidgets()) {
            listed.insert(e.name);
            const auto found = host.findChildren<QWidget*>(e.name);
            if (found.size() != 1) {
                failures << QString("%1: %2 widgets").arg(e.name).arg(found.size());
                continue;
            }
            failures << differences(found.first(), e);
        }
        for (QWidget* w : host.findChildren<QWidget*>()) {
            const bool inner = w->objectName().startsWith("qt_") || qobject_cast<QTabBar*>(w->parentWidget());
            if (!w->objectName().isEmpty() && !inner && !listed.contains(w->objectName()))
                failures << w->objectName() + ": not in the form's tables";
        }
        QVERIFY2(failures.isEmpty(), qPrintable(failures.join('\n')));
        QCOMPARE(listed.size(), 395);
    }

    void copiesOfABoxUseTheirOwnCells() {
        QWidget host;
        Ui_CLumaro ui;
        ui.setupUi(&host);
        for (const Cell& c : kCells) {
            QWidget* w = child(&host, c.name);
            auto* grid = qobject_cast<QGridLayout*>(w->parentWidget()->layout());
            QVERIFY2(grid, c.name);
            int row, column, rowSpan, columnSpan;
            grid->getItemPosition(grid->indexOf(w), &row, &column, &rowSpan, &columnSpan);
            const QString place = QString("%1 at %2,%3 span %4x%5").arg(c.name).arg(row).arg(column).arg(rowSpan);
            QVERIFY2(row == c.row && column == c.column && rowSpan == c.rowSpan && columnSpan == c.columnSpan,
                     qPrintable(place.arg(columnSpan)));
        }
    }

    void everyTextIsTranslatedInTheWindowsContext() {
        CMarkingTranslator marker;
        QCoreApplication::installTranslator(&marker);
        QWidget host;
        Ui_CLumaro ui;
        ui.setupUi(&host);
        QCoreApplication::removeTranslator(&marker);
        QStringList untranslated;
        for (QWidget* w : host.findChildren<QWidget*>()) {
            if (w->objectName().isEmpty() || w->objectName().startsWith("qt_")) continue;
            for (const QString& text : readableTexts(w))
                if (!text.isEmpty() && !(text.startsWith('[') && text.endsWith(']')))
                    untranslated << w->objectName() + ": " + text;
        }
        QVERIFY2(untranslated.isEmpty(), qPrintable(untranslated.join('\n')));
        QVERIFY(ui.tedRwNdefWriteRtdTextText->toPlainText().contains("NFC powered by Marveld"));
    }

    void sizePoliciesAsGiven() {
        QWidget host;
        Ui_CLumaro ui;
        ui.setupUi(&host);
        for (const PolicyRow& r : kPolicies) {
            const QSizePolicy p = child(&host, r.name)->sizePolicy();
            QVERIFY2(p.horizontalPolicy() == r.h && p.verticalPolicy() == r.v, r.name);
            QVERIFY2(p.horizontalStretch() == r.hStretch && p.verticalStretch() == r.vStretch, r.name);
        }
    }

    void windowNameKeptOrSet() {
        QWidget named, unnamed;
        named.setObjectName("MainWindow");
        Ui_CLumaro a, b;
        a.setupUi(&named);
        b.setupUi(&unnamed);
        QCOMPARE(named.objectName(), QString("MainWindow"));
        QCOMPARE(unnamed.objectName(), QString("CLumaro"));
    }

    void windowCannotShrinkBelowMinimum() {
        QWidget host;
        Ui_CLumaro ui;
        ui.setupUi(&host);
        QCOMPARE(host.size(), QSize(1070, 540));
        host.resize(600, 300);
        QCOMPARE(host.size(), QSize(1070, 540));
    }

    void initialPagesIndexesAndButtons() {
        QWidget host;
        Ui_CLumaro ui;
        ui.setupUi(&host);
        const char* const pages[] = {"pagTechnology", "pagRwNdef", "pagRwLegacy", "pagRwMifareStd", "pagP2p",
                                     "pagCeNdefIso14443ABFelica", "pagEmbeddedSe", "pagIo", "pagLog"};
        const bool enabled[] = {true, false, false, false, true, false, true, true, true};
        QCOMPARE(ui.tabInteraction->count(), 9);
        for (int i = 0; i < 9; ++i) {
            QCOMPARE(ui.tabInteraction->widget(i)->objectName(), QString(pages[i]));
            QCOMPARE(ui.tabInteraction->widget(i)->isEnabled(), enabled[i]);
        }
        QCOMPARE(ui.tabInteraction->currentIndex(), 0);
        for (QComboBox* prefix : uriPrefixBoxes(ui)) QCOMPARE(prefix->currentText(), QString("http://www."));
        QVERIFY(ui.btnStartNfc->isEnabled());
        QVERIFY(!ui.btnStopNfc->isEnabled());
        QVERIFY(!ui.btnUnregister->isEnabled());
    }

    void slotsBindByNameAfterTheInitialIndexes() {
        CBoundHost host;
        Ui_CLumaro ui;
        ui.setupUi(&host);
        QCOMPARE(host.prefixChanges, 0);
        ui.btnStartNfc->click();
        ui.cboRwNdefWriteRtdUriPrefix->setCurrentIndex(2);
        QCOMPARE(host.startClicks, 1);
        QCOMPARE(host.prefixChanges, 1);
    }

    void focusFollowsTheChain() {
        QWidget host;
        Ui_CLumaro ui;
        ui.setupUi(&host);
        QHash<QWidget*, int> position;
        for (int i = 0; i < int(std::size(kFocusChain)); ++i) position.insert(child(&host, kFocusChain[i]), i);
        QWidget* w = child(&host, kFocusChain[0]);
        int next = 0;
        do {
            if (position.contains(w)) {
                const QString order = QString("%1 before %2").arg(kFocusChain[position[w]], kFocusChain[next]);
                QVERIFY2(position[w] == next, qPrintable(order));
                ++next;
            }
            w = w->nextInFocusChain();
        } while (w != child(&host, kFocusChain[0]) && next < int(std::size(kFocusChain)));
        QCOMPARE(next, int(std::size(kFocusChain)));
        int ring = 0;
        w = &host;
        do {
            ++ring;
            w = w->nextInFocusChain();
        } while (w != &host && ring <= 1000);
        const auto inWindow = [&](QWidget* c) { return c->window() == &host; };
        const auto children = host.findChildren<QWidget*>();
        QCOMPARE(ring, int(std::count_if(children.begin(), children.end(), inWindow)) + 1);  // one ring holds all
    }

    void ceSpeedGroupsStayIndependent() {
        QWidget host;
        Ui_CLumaro ui;
        ui.setupUi(&host);
        QCOMPARE(ui.buttonGroup_2->buttons(),
                 (QList<QAbstractButton*>{ui.rdbCeIsoDepSpeed212, ui.rdbCeIsoDepSpeed848, ui.rdbCeIsoDepSpeed106,
                                          ui.rdbCeIsoDepSpeed424}));
        QCOMPARE(ui.buttonGroup->buttons(), (QList<QAbstractButton*>{ui.rdbCeFelicSpeed212, ui.rdbCeFelicSpeed424}));
        QCOMPARE(ui.buttonGroup->parent(), &host);
        ui.rdbCeIsoDepSpeed424->click();
        QVERIFY(!ui.rdbCeIsoDepSpeed106->isChecked());
        QVERIFY(ui.rdbCeFelicSpeed212->isChecked());
        ui.rdbCeFelicSpeed424->click();
        QVERIFY(!ui.rdbCeFelicSpeed212->isChecked());
        QVERIFY(ui.rdbCeIsoDepSpeed424->isChecked());
    }

    void rwSpeedsAreExclusive() {
        QWidget host;
        Ui_CLumaro ui;
        ui.setupUi(&host);
        ui.rdbRwIsoDepSpeed848->click();
        QVERIFY(ui.rdbRwIsoDepSpeed848->isChecked());
        for (QRadioButton* b : {ui.rdbRwIsoDepSpeed106, ui.rdbRwIsoDepSpeed212, ui.rdbRwIsoDepSpeed424})
            QVERIFY(!b->isChecked());
    }

    void columnsKeepTheirSizeInAWideWindow() {
        QWidget host;
        Ui_CLumaro ui;
        ui.setupUi(&host);
        host.resize(1600, 700);
        showOffScreen(host);
        for (QGroupBox* column : {ui.gboRw, ui.gboP2p, ui.gboCe, ui.gboSe}) QCOMPARE(column->size(), QSize(212, 416));
        QVERIFY(ui.pagTechnology->width() - ui.gboSe->geometry().right() > 400);
    }

    void uriPrefixItemsFollowTheIdentifierCodes() {
        QWidget host;
        Ui_CLumaro ui;
        ui.setupUi(&host);
        for (QComboBox* prefix : uriPrefixBoxes(ui)) {
            QCOMPARE(prefix->count(), 36);
            for (int code = 0; code < 36; ++code) QCOMPARE(prefix->itemText(code), QString(kUriPrefixes[code]));
            for (uint32_t code = 1; code < 36; ++code) QCOMPARE(prefix->itemText(int(code)), ndefUriPrefix(code));
            auto* model = qobject_cast<QStandardItemModel*>(prefix->model());
            QVERIFY(model->item(0)->flags().testFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable));
            prefix->setCurrentIndex(0);
            QCOMPARE(prefix->currentIndex(), 0);
            QCOMPARE(prefix->currentText(), QString());
        }
        ui.retranslateUi(&host);  // the fixed items are set again, never appended
        QCOMPARE(ui.cboRwNdefWriteRtdUriPrefix->count(), 36);
        QCOMPARE(ui.cboSeProtocol->count(), 5);
    }

    void editorCopiesDiffer() {
        QWidget host;
        Ui_CLumaro ui;
        ui.setupUi(&host);
        for (const char* field : {"Title", "JobTitle", "Mobile"}) {
            for (const char* kind : {"lbl", "led"}) {
                QVERIFY(!host.findChild<QWidget*>(QString("%1P2pSnepTransmitVcard%2").arg(kind, field)));
                QVERIFY(host.findChild<QWidget*>(QString("%1CeNdefModifyVcard%2").arg(kind, field)));
                QVERIFY(host.findChild<QWidget*>(QString("%1RwNdefWriteVcard%2").arg(kind, field)));
            }
        }
        QCOMPARE(ui.pagRwNdefWriteVcard->findChildren<QPushButton*>().size(), 2);
        QVERIFY(ui.pagP2pSnepTransmitVcard->findChildren<QPushButton*>().isEmpty());
        QVERIFY(ui.pagCeNdefModifyVcard->findChildren<QPushButton*>().isEmpty());
        QCOMPARE(ui.pagP2pSnepTransmitVcard->findChildren<QLineEdit*>().size(), 10);
        QCOMPARE(ui.pagCeNdefModifyVcard->findChildren<QLineEdit*>().size(), 13);
    }

    void sampleContactIsFictitious() {
        QWidget host;
        Ui_CLumaro ui;
        ui.setupUi(&host);
        for (const char* copy : {"RwNdefWrite", "P2pSnepTransmit", "CeNdefModify"}) {
            auto field = [&](const char* name) {
                return child<QLineEdit>(&host, qPrintable(QString("led%1%2").arg(copy, name)))->text();
            };
            QVERIFY(field("VcardEmail").endsWith("@example.com"));
            QVERIFY(field("VcardPhone").contains("555"));
            QVERIFY(field("VcardUrl").contains("example.com"));
            QVERIFY(field("RtdSmartPosterUri").startsWith("http://www.example.com"));
            QCOMPARE(field("RtdUriUri"), QString("example.com"));
        }
    }

    void ndefTreesAreSetUpAlike() {
        QWidget host;
        Ui_CLumaro ui;
        ui.setupUi(&host);
        const QStringList headers = {"Level", "Index", "TNF", "Type", "Code", "Content"};
        for (QTreeWidget* tree : {ui.twtRwNdefRead, ui.twtP2pSnepReceive}) {
            QCOMPARE(tree->columnCount(), 6);
            for (int column = 0; column < 6; ++column) QCOMPARE(tree->headerItem()->text(column), headers[column]);
            QCOMPARE(tree->frameShadow(), QFrame::Sunken);
            QVERIFY(tree->alternatingRowColors());
            QCOMPARE(tree->iconSize(), QSize(400, 400));
            QVERIFY(!tree->rootIsDecorated());
            QVERIFY(tree->itemsExpandable());
            QVERIFY(tree->wordWrap());
            QVERIFY(!tree->header()->cascadingSectionResizes());
            QCOMPARE(tree->header()->defaultSectionSize(), 60);
            QCOMPARE(tree->header()->minimumSectionSize(), 25);
        }
    }

    void spinAndLengthLimits() {
        QWidget host;
        Ui_CLumaro ui;
        ui.setupUi(&host);
        ui.sboRwMifareStandardBlock->setValue(256);
        QCOMPARE(ui.sboRwMifareStandardBlock->value(), 255);
        ui.pagRwMifareStd->setEnabled(true);
        ui.sboRwMifareStandardBlock->setValue(0);
        ui.sboRwMifareStandardBlock->selectAll();
        QTest::keyClicks(ui.sboRwMifareStandardBlock, "256");
        QVERIFY(ui.sboRwMifareStandardBlock->value() <= 255);
        QTest::keyClicks(ui.cboRwMifareStandardKey->lineEdit(), "12 34 56 78 9A BC");
        QVERIFY(ui.cboRwMifareStandardKey->currentText().endsWith("12 34 56 78 9A BC"));

        for (QSpinBox* window : {ui.sboP2pMaxWindowSize1, ui.sboP2pMaxWindowSize2}) {
            window->setValue(0);
            QCOMPARE(window->value(), 1);
            window->setValue(7);
            QCOMPARE(window->value(), 6);
        }
        ui.sboP2pMiu1->setValue(0);
        QCOMPARE(ui.sboP2pMiu1->value(), 0);
        ui.sboP2pMiu1->setValue(127);
        QCOMPARE(ui.sboP2pMiu1->value(), 127);
        ui.sboP2pMiu2->setValue(127);
        QCOMPARE(ui.sboP2pMiu2->value(), 128);

        ui.ledSeAid->setEnabled(true);
        QTest::keyClicks(ui.ledSeAid, QString(33, 'A'));
        QCOMPARE(ui.ledSeAid->text(), QString(32, 'A'));
    }

    void picturesHaveTheirFormatsAndSizes() {
        for (const char* name : kPictures) {
            const QString path = QString(":/") + name;
            const QByteArray raw = fileBytes(path);
            QImage image(path);
            QVERIFY2(!image.isNull(), name);
            if (QByteArray(name) == "applicationIcon") continue;
            QVERIFY2(raw.startsWith("BM"), name);
            QCOMPARE(le16(raw, 28), quint16(24));
            const QByteArray n = name;
            const QSize expected = n == "oem" ? QSize(151, 36) : n == "marveld" ? QSize(94, 51) : QSize(104, 82);
            QCOMPARE(image.size(), expected);
        }
        const QByteArray icon = fileBytes(":/applicationIcon");
        QCOMPARE(le16(icon, 0), quint16(0));
        QCOMPARE(le16(icon, 2), quint16(1));
        QCOMPARE(le16(icon, 4), quint16(2));
        for (int entry = 0; entry < 2; ++entry) {
            const int at = 6 + 16 * entry;
            QVERIFY(icon.size() > at);
            QCOMPARE(int(quint8(icon[at])), entry == 0 ? 16 : 32);
            QCOMPARE(le16(icon, at + 6), quint16(8));
            QCOMPARE(le16(icon, int(le32(icon, at + 12)) + 14), quint16(8));  // bits of the image's own header
        }
        QImageReader reader(":/applicationIcon");
        QCOMPARE(reader.format(), QByteArray("ico"));
        QCOMPARE(reader.imageCount(), 2);
        QList<QSize> sizes;
        for (int i = 0; i < 2; ++i) {
            QVERIFY(reader.jumpToImage(i));
            sizes << reader.read().size();
        }
        QCOMPARE(sizes, (QList<QSize>{{16, 16}, {32, 32}}));
    }

    void collectionUnregistersAsItRegistered() {
        qCleanupResources_lumaro();
        const bool gone = !QFile::exists(":/oem") && !QFile::exists(":/applicationIcon");
        qInitResources_lumaro();
        QVERIFY(gone);
        QVERIFY(QFile::exists(":/oem"));
    }

    void logosKeepTheirArtworkOffTheKeyColour() {
        for (const char* logo : {":/oem", ":/marveld"}) {
            const QImage image(logo);
            QVERIFY2(logoSurvivesKeying(image), logo);
            const QImage keyed = makeBackgroundTransparent(image);
            int opaque = 0;
            for (int y = 0; y < keyed.height(); ++y)
                for (int x = 0; x < keyed.width(); ++x) opaque += qAlpha(keyed.pixel(x, y)) == 255;
            QVERIFY2(opaque * 10 >= keyed.width() * keyed.height(), logo);
            QCOMPARE(qAlpha(keyed.pixel(0, 0)), 0);
        }
    }

    void languageItemsAreTheOnesTheWindowMaps() {
        QWidget host;
        Ui_CLumaro ui;
        ui.setupUi(&host);
        for (int i = 0; i < ui.cboRwNdefWriteRtdTextLanguageCode->count(); ++i) {
            const QString name = ui.cboRwNdefWriteRtdTextLanguageCode->itemText(i);
            QVERIFY2(!languageNameToCode(name).isEmpty(), qPrintable(name));
        }
    }

    void screenshotOfEveryPage() {
#ifdef __SANITIZE_THREAD__
        QSKIP("Qt paints large pictures on its own pooled threads, whose locks ThreadSanitizer cannot see");
#endif
        QWidget host;
        Ui_CLumaro ui;
        ui.setupUi(&host);
        showOffScreen(host);
        QVERIFY(QDir().mkpath(LUMARO_SCREENS));
        for (int i = 0; i < ui.tabInteraction->count(); ++i) {
            ui.tabInteraction->setCurrentIndex(i);
            QVERIFY(saveScreen(host, i, ui.tabInteraction->widget(i)));
        }
        // The inner pages a person also wants to see: the LLCP connections and the vCard editors.
        const auto inner = {ui.pagP2pMarveldApi, ui.pagRwNdefWriteVcard, ui.pagP2pSnepTransmitVcard, ui.pagCeNdefModifyVcard};
        for (QWidget* page : inner) {
            for (QWidget* w = page; w; w = w->parentWidget())  // every tab on the way to the page
                if (QTabWidget* tabs = owningTabs(w)) tabs->setCurrentWidget(w);
            QVERIFY(saveScreen(host, ui.tabInteraction->currentIndex(), page));
        }
    }

    // Last: a program that has forked may start no thread under ThreadSanitizer.
    void generatorReproducesTheCommittedPictures() {
        QTemporaryDir out;
        QVERIFY(out.isValid());
        QCOMPARE(QProcess::execute(LUMARO_IMAGE_GENERATOR, {out.path()}), 0);
        const QStringList committed = QDir(LUMARO_COMMITTED_IMAGES).entryList(QDir::Files);
        QCOMPARE(QDir(out.path()).entryList(QDir::Files), committed);
        QCOMPARE(committed.size(), 19);
        for (const QString& file : committed) {
            const QByteArray bytes = fileBytes(QString(LUMARO_COMMITTED_IMAGES) + "/" + file);
            QVERIFY2(fileBytes(out.filePath(file)) == bytes, qPrintable(file));
            QVERIFY2(fileBytes(":/" + QFileInfo(file).completeBaseName()) == bytes, qPrintable(file));
        }
    }
};

QTEST_MAIN(FormTest)
#include "form_test.moc"
