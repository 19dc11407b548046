// Page 0: the four technology columns (reader/writer, peer to peer, host card emulation,
// secure elements) with their mode and configuration choices.

#include "lumaroform.h"

#include "formtips.h"

namespace {

#define P2P_ROLE_TIP \
    "\nIf both NFC devices are configured for both P2P-roles it is random which device assumes which role"
constexpr const char* kInitiatorTip = "Enable P2P Initiator role" P2P_ROLE_TIP;
constexpr const char* kTargetTip = "Enable P2P Target role" P2P_ROLE_TIP;

// Every column keeps its size when the window grows; the spare width goes to the right.
template <class T>
void column(T&& make, QGridLayout* page, int col) {
    make.fixed(212, 416).policy(QSizePolicy::Fixed, QSizePolicy::Preferred, 0, 5).at(page, 0, col);
}

}  // namespace

void Ui_CLumaro::setupTechnologyPage(QWidget* window) {
    addPage(pagTechnology, "pagTechnology", "Technology");
    ADD_LAYOUT(gridLayout_23, pagTechnology);
    setupRwColumn();
    setupP2pColumn();
    setupCeColumn(window);
    setupSeColumn();
    formSpacer(gridLayout_23, 0, 4, 0, 20, QSizePolicy::Expanding, QSizePolicy::Minimum);
    formSpacer(gridLayout_23, 1, 1, 20, 0, QSizePolicy::Minimum, QSizePolicy::Expanding);
}

void Ui_CLumaro::setupRwColumn() {
    column(MAKE(gboRw, pagTechnology).text("Read/write").LAYOUT(gridLayout_4), gridLayout_23, 0);
    MAKE(gboRwMode, gboRw)
        .text("Mode")
        .policy(QSizePolicy::Preferred, QSizePolicy::Fixed)
        .LAYOUT(gridLayout_40)
        .at(gridLayout_4, 0, 0, 1, 3);
    QGroupBox* mode = gboRwMode;
    MAKE(ckbRwIso14443A, mode)
        .text("ISO 14443A")
        .tip("ISO 14443A technology with 106 kbit/s\nThis technology is required for detection of NFC Forum type 2, "
             "4, and proprietary tags based on ISO 14443A such as Mifare Standard")
        .checked()
        .at(gridLayout_40, 0, 0, 1, 2);
    MAKE(ckbRwIso14443B, mode)
        .text("ISO 14443B")
        .tip("ISO 14443B technology with 106 kbit/s\nThis technology is required for detection of NFC Forum 4 and "
             "proprietary tags based on ISO 14443B")
        .checked()
        .at(gridLayout_40, 1, 0, 1, 2);
    MAKE(rdbRwIsoDepSpeed106, mode).text("106").checked().at(gridLayout_40, 2, 0);
    MAKE(rdbRwIsoDepSpeed212, mode).text("212").at(gridLayout_40, 2, 1);
    MAKE(rdbRwIsoDepSpeed424, mode).text("424").at(gridLayout_40, 2, 2);
    MAKE(rdbRwIsoDepSpeed848, mode).text("848").at(gridLayout_40, 2, 3);
    MAKE(ckbRwInnovisionJewel, mode)
        .text("Innovision Jewel, 106 kbit/s")
        .tip("Innovision Jewel is required for detection of NFC Forum type 1 proprietary tags based on this "
             "technology")
        .checked()
        .at(gridLayout_40, 3, 0, 1, 4);
    MAKE(ckbRwFelica212, mode)
        .text("FeliCa, 212 kbit/s")
        .tip("FeliCa technology with 212 kbit/s\nThis technology is required for detection of NFC Forum type 3 tags "
             "proprietary tags based on Felica technology")
        .checked()
        .at(gridLayout_40, 4, 0, 1, 3);
    MAKE(ckbRwFelica424, mode)
        .text("FeliCa, 424 kbit/s")
        .tip("FeliCa technology with 424 kbit/s\nThis technology is required for detection of NFC Forum type 3 tags "
             "proprietary tags based on Felica technology")
        .checked()
        .at(gridLayout_40, 5, 0, 1, 3);
    MAKE(ckbRwIso15693, mode)
        .text("ISO 15693")
        .tip("ISO 15693 technology\nThis technology is required for detection of proprietary tags based on ISO 15693")
        .checked()
        .at(gridLayout_40, 6, 0, 1, 2);
    MAKE(ckbRwKovioBarcode, mode).text("Kovio barcode").checked().at(gridLayout_40, 7, 0, 1, 3);

    MAKE(gboRwConfiguration, gboRw)
        .text("Configuration")
        .policy(QSizePolicy::Preferred, QSizePolicy::Fixed)
        .LAYOUT(verticalLayout_3)
        .at(gridLayout_4, 1, 0, 1, 3);
    QGroupBox* config = gboRwConfiguration;
    MAKE(ckbRwPresenceCheck, config)
        .text("Presence check")
        .tip("Enable automatic presence check for NFC tags")
        .checked()
        .in(verticalLayout_3);
    MAKE(ckbRwCheckNdef, config)
        .text("Check NDEF")
        .tip("Check for NDEF content on NFC tag")
        .checked()
        .in(verticalLayout_3);
    MAKE(ckbRwAutoReadNdefOnIndication, config)
        .text("Read NDEF on indication")
        .tip(kTipAutoRead)
        .checked()
        .in(verticalLayout_3);
    MAKE(ckbRwNdefSuppressNdefRtdAction, config)
        .text("Suppress NDEF RTDAction")
        .tip(kTipSuppressRtdAction)
        .checked()
        .in(verticalLayout_3);
    vSpacer(gridLayout_4, 2, 0);
    MAKE(btnRwStart, gboRw)
        .text("Start RW")
        .tip("Start R/W-listener for the selected technologies and with the chosen configuration")
        .disabled()
        .stdButton()
        .at(gridLayout_4, 3, 0);
    hSpacer(gridLayout_4, 3, 1);
    MAKE(btnRwStop, gboRw).text("Stop RW").tip("Stop R/W-listener").disabled().stdButton().at(gridLayout_4, 3, 2);
}

void Ui_CLumaro::setupP2pColumn() {
    column(MAKE(gboP2p, pagTechnology).text("Peer to peer").LAYOUT(gridLayout_8), gridLayout_23, 1);
    MAKE(gboP2pMode, gboP2p)
        .text("Mode")
        .policy(QSizePolicy::Preferred, QSizePolicy::Fixed)
        .minWidth(174)
        .LAYOUT(verticalLayout_7)
        .at(gridLayout_8, 0, 0, 1, 3);
    MAKE(ckbP2pInitiatorPassive, gboP2pMode)
        .text("Initiator - passive")
        .tip(kInitiatorTip)
        .checked()
        .in(verticalLayout_7);
    MAKE(ckbP2pTargetPassive, gboP2pMode).text("Target - passive").tip(kTargetTip).checked().in(verticalLayout_7);
    MAKE(ckbP2pInitiatorActive, gboP2pMode).text("Initiator - active").tip(kInitiatorTip).in(verticalLayout_7);
    MAKE(ckbP2pTargetActive, gboP2pMode).text("Target - active").tip(kTargetTip).in(verticalLayout_7);

    MAKE(gboP2pService, gboP2p)
        .text("Service")
        .disabled()
        .policy(QSizePolicy::Preferred, QSizePolicy::Fixed)
        .minWidth(174)
        .LAYOUT(verticalLayout_5)
        .at(gridLayout_8, 1, 0, 1, 3);
    MAKE(ckbP2pServiceSnepServer, gboP2pService)
        .text("SNEP server")
        .tip("Click to start/stop SNEP server")
        .in(verticalLayout_5);
    MAKE(ckbP2pServiceNppServer, gboP2pService)
        .text("NPP server")
        .tip("Click to start/stop NPP server")
        .in(verticalLayout_5);

    MAKE(gboP2pConfiguration, gboP2p)
        .text("Configuration")
        .policy(QSizePolicy::Preferred, QSizePolicy::Fixed)
        .LAYOUT(verticalLayout_4)
        .at(gridLayout_8, 2, 0, 1, 3);
    MAKE(ckbP2pSuppressNdefRtdAction, gboP2pConfiguration)
        .text("Suppress NDEF RTDAction")
        .tip(kTipSuppressRtdAction)
        .checked()
        .in(verticalLayout_4);
    MAKE(ckbP2pSnepAutoTransmit, gboP2pConfiguration)
        .text("Transmit SNEP on indication")
        .tip(kTipAutoTransmit)
        .in(verticalLayout_4);
    vSpacer(gridLayout_8, 3, 0);
    MAKE(btnP2pStart, gboP2p)
        .text("Start P2P")
        .tip("Start P2P-listener for the selected P2P-roles and chosen configuration")
        .disabled()
        .stdButton()
        .at(gridLayout_8, 4, 0);
    hSpacer(gridLayout_8, 4, 1);
    MAKE(btnP2pStop, gboP2p).text("Stop P2P").tip("Stop P2P-listener").disabled().stdButton().at(gridLayout_8, 4, 2);
}

void Ui_CLumaro::setupCeColumn(QWidget* window) {
    column(MAKE(gboCe, pagTechnology).text("Host-based card emulation").LAYOUT(gridLayout_33), gridLayout_23, 2);
    MAKE(gboCeMode, gboCe)
        .text("Mode")
        .policy(QSizePolicy::Preferred, QSizePolicy::Fixed)
        .LAYOUT(gridLayout_20)
        .at(gridLayout_33, 0, 0, 1, 3);
    QGroupBox* mode = gboCeMode;
    MAKE(ckbCeIso14443A, mode)
        .text("ISO 14443A")
        .tip("Use ISO 14443A technology")
        .checked()
        .at(gridLayout_20, 0, 0, 1, 4);
    MAKE(ckbCeIso14443B, mode)
        .text("ISO 14443B")
        .tip("Use ISO 14443B technology")
        .checked()
        .at(gridLayout_20, 1, 0, 1, 4);
    // The six speed buttons share one box: two groups keep one ISO-DEP and one FeliCa speed each.
    MAKE(rdbCeIsoDepSpeed106, mode).notAutoExclusive().text("106").checked().at(gridLayout_20, 2, 0);
    MAKE(rdbCeIsoDepSpeed212, mode).notAutoExclusive().text("212").at(gridLayout_20, 2, 1);
    MAKE(rdbCeIsoDepSpeed424, mode).notAutoExclusive().text("424").at(gridLayout_20, 2, 2);
    MAKE(rdbCeIsoDepSpeed848, mode).notAutoExclusive().text("848").at(gridLayout_20, 2, 3);
    MAKE(ckbCeFelica, mode).text("FeliCa").tip("Use FeliCa technology").checked().at(gridLayout_20, 3, 0, 1, 2);
    MAKE(rdbCeFelicSpeed212, mode).notAutoExclusive().text("212").checked().at(gridLayout_20, 3, 2);
    MAKE(rdbCeFelicSpeed424, mode).notAutoExclusive().text("424").at(gridLayout_20, 3, 3);
    MAKE(ckbCeRfFieldIndication, mode)
        .text("RF field indication")
        .tip("Enable extern RF field indications")
        .at(gridLayout_20, 4, 0, 1, 3);
    buttonGroup_2 = new QButtonGroup(window);
    buttonGroup_2->setObjectName("buttonGroup_2");
    buttonGroup = new QButtonGroup(window);
    buttonGroup->setObjectName("buttonGroup");
    for (QRadioButton* b : {rdbCeIsoDepSpeed212, rdbCeIsoDepSpeed848, rdbCeIsoDepSpeed106, rdbCeIsoDepSpeed424})
        buttonGroup_2->addButton(b);
    for (QRadioButton* b : {rdbCeFelicSpeed212, rdbCeFelicSpeed424}) buttonGroup->addButton(b);

    MAKE(gboCeConfiguration, gboCe)
        .text("Configuration")
        .policy(QSizePolicy::Preferred, QSizePolicy::Fixed)
        .LAYOUT(gridLayout_19)
        .at(gridLayout_33, 1, 0, 1, 3);
    QGroupBox* config = gboCeConfiguration;
    MAKE(rdbCeInsertText, config).text("Text").tip("Insert a generic text").checked().at(gridLayout_19, 0, 0);
    MAKE(rdbCeInsertUri, config).text("URI").tip("Insert a generic URI").at(gridLayout_19, 0, 1);
    MAKE(rdbCeSmartPoster, config).text("Smart Poster").tip("Insert a generic Smart Poster").at(gridLayout_19, 1, 0);
    MAKE(rdbCeInsertVcard, config).text("VCard").tip("Insert a generic VCard").at(gridLayout_19, 1, 1);
    MAKE(rdbCeInsertEmpty, config).text("empty").tip("Insert empty tag").at(gridLayout_19, 2, 0);

    MAKE(gboCeCCConfiguration, gboCe)
        .text("CC-Configuration (advanced)")
        .policy(QSizePolicy::Preferred, QSizePolicy::Fixed)
        .LAYOUT(gridLayout_41)
        .at(gridLayout_33, 2, 0, 1, 3);
    MAKE(ckbCeAdvanced, gboCeCCConfiguration).text("Enabled").at(gridLayout_41, 0, 0);
    MAKE(btnCeConfigure, gboCeCCConfiguration).text("Configure").stdButton().at(gridLayout_41, 0, 1);
    vSpacer(gridLayout_33, 3, 0);
    MAKE(btnCeStart, gboCe)
        .text("Start CE")
        .tip("Start Ce-listener for the selected technology and with the chosen NDEF content")
        .disabled()
        .stdButton()
        .at(gridLayout_33, 4, 0, 2, 2);
    MAKE(btnCeStop, gboCe).text("Stop CE").tip("Stop Ce-listener").disabled().stdButton().at(gridLayout_33, 4, 2, 2, 1);
    hSpacer(gridLayout_33, 5, 1);
}

void Ui_CLumaro::setupSeColumn() {
    column(MAKE(gboSe, pagTechnology).text("Card emulation in secure element(s)").disabled().LAYOUT(gridLayout_42),
           gridLayout_23, 3);
    MAKE(gboSeMode, gboSe)
        .text("Mode")
        .disabled()
        .policy(QSizePolicy::Preferred, QSizePolicy::Fixed)
        .LAYOUT(verticalLayout_14)
        .at(gridLayout_42, 0, 0);
    MAKE(ckbSeSlot0, gboSeMode).text("Slot 0").tip("Click to enable secure element 0").disabled().in(verticalLayout_14);
    MAKE(ckbSeSlot1, gboSeMode).text("Slot 1").tip("Click to enable secure element 1").disabled().in(verticalLayout_14);
    MAKE(ckbSeSlot2, gboSeMode).text("Slot 2").tip("Click to enable secure element 2").disabled().in(verticalLayout_14);
    MAKE(ckbSeSlot3, gboSeMode).text("Slot 3").tip("Click to enable secure element 3").disabled().in(verticalLayout_14);
    vSpacer(gridLayout_42, 3, 0);
}
