// Page 4: SNEP receive tree and client editor, and the two raw LLCP test connections.

#include "lumaroform.h"

#include "formtips.h"

namespace {

constexpr const char* kTipStartListener = "Start LLCP-listener";
constexpr const char* kTipStopListener = "Stop LLCP-listener";
constexpr const char* kTipWindowSize =
    "Configure window size for this session\nThe window size describes the maximum of packets transmitted before the "
    "first packet is acknowledged";
constexpr const char* kTipConnect =
    "Establish an LLCP connection\nTo succeed it is required that the LLCP counterpart got an activated LLCP-listener";
constexpr const char* kTipDisconnect = "Close LLCP connection";
constexpr const char* kTipRxBytes = "Number of bytes received during established session";
constexpr const char* kTipTxBytes = "Number of bytes sent during established session";
constexpr const char* kTipContinuous = "Click to enable continous data transfer when the Transmit button is used";
constexpr const char* kTipEcho = "Click to enable to echo received data back to the sender";
constexpr int kMaxMiu = 1048576;

void limits(QSpinBox* box, int minimum, int maximum, int value) {
    box->setMinimum(minimum);
    box->setMaximum(maximum);
    box->setValue(value);
}

// Fixed gaps between the button pairs, the status label and the settings of a connection box.
void connectionGaps(QGridLayout* grid) {
    for (int column : {2, 4, 7, 9}) fixedSpacer(grid, 0, column, 20, 20);
}

}  // namespace

void Ui_CLumaro::setupP2pPage() {
    addPage(pagP2p, "pagP2p", "P2P");
    ADD_LAYOUT(gridLayout_5, pagP2p);
    MAKE(tabP2p, pagP2p).at(gridLayout_5, 0, 1);
    tabP2p->setTabPosition(QTabWidget::South);

    MAKE(pagP2pSnep, nullptr).disabled().LAYOUT(verticalLayout_6);
    texts.add(tabP2p, CFormTexts::Role::TabText, "SNEP", tabP2p->addTab(pagP2pSnep, QString()));
    MAKE(gboP2pSnepReceive, pagP2pSnep)
        .text("Receive (Server)")
        .disabled()
        .LAYOUT(horizontalLayout_2)
        .in(verticalLayout_6);
    MAKE(twtP2pSnepReceive, gboP2pSnepReceive).in(horizontalLayout_2);
    setupNdefTree(twtP2pSnepReceive);
    MAKE(gboP2pSnepTransmit, pagP2pSnep)
        .text("Transmit (Client)")
        .disabled()
        .LAYOUT(gridLayout_26)
        .in(verticalLayout_6);
    const NdefEditorSlots editor{
        .variant = NdefEditorSlots::Variant::Snep,
        .tabs = FORM_SLOT(tabP2pSnepTransmit),
        .textPage = FORM_SLOT(pagP2pSnepTransmitRtdText),
        .textLanguageLabel = FORM_SLOT(lblP2pSnepTransmitRtdTextLanguageCode),
        .textLanguage = FORM_SLOT(cboP2pSnepTransmitRtdTextLanguageCode),
        .textTextLabel = FORM_SLOT(lblP2pSnepTransmitRtdTextText),
        .textText = FORM_SLOT(tedP2pSnepTransmitRtdTextText),
        .uriPage = FORM_SLOT(pagP2pSnepTransmitRtdUri),
        .uriPrefixLabel = FORM_SLOT(lblP2pSnepTransmitRtdUriPrefix),
        .uriPrefix = FORM_SLOT(cboP2pSnepTransmitRtdUriPrefix),
        .uriUriLabel = FORM_SLOT(lblP2pSnepTransmitRtdUriUri),
        .uriUri = FORM_SLOT(ledP2pSnepTransmitRtdUriUri),
        .posterPage = FORM_SLOT(pagP2pSnepTransmitRtdSmartPoster),
        .posterLanguageLabel = FORM_SLOT(lblP2pSnepTransmitRtdSmartPosterLanguageCode),
        .posterLanguage = FORM_SLOT(cboP2pSnepTransmitRtdSmartPosterLanguageCode),
        .posterUriLabel = FORM_SLOT(lblP2pSnepTransmitRtdSmartPosterUri),
        .posterUri = FORM_SLOT(ledP2pSnepTransmitRtdSmartPosterUri),
        .posterTextLabel = FORM_SLOT(lblP2pSnepTransmitRtdSmartPosterText),
        .posterText = FORM_SLOT(tedP2pSnepTransmitRtdSmartPosterText),
        .vcardPage = FORM_SLOT(pagP2pSnepTransmitVcard),
        // No title, job title or mobile on the SNEP page.
        .vcard = {{},
                  {FORM_SLOT(lblP2pSnepTransmitVcardFirstName), FORM_SLOT(ledP2pSnepTransmitVcardFirstName)},
                  {},
                  {FORM_SLOT(lblP2pSnepTransmitVcardLastName), FORM_SLOT(ledP2pSnepTransmitVcardLastName)},
                  {FORM_SLOT(lblP2pSnepTransmitVcardPhone), FORM_SLOT(ledP2pSnepTransmitVcardPhone)},
                  {},
                  {FORM_SLOT(lblP2pSnepTransmitVcardEmail), FORM_SLOT(ledP2pSnepTransmitVcardEmail)},
                  {FORM_SLOT(lblP2pSnepTransmitVcardCompany), FORM_SLOT(ledP2pSnepTransmitVcardCompany)},
                  {FORM_SLOT(lblP2pSnepTransmitVcardCountry), FORM_SLOT(ledP2pSnepTransmitVcardCountry)},
                  {FORM_SLOT(lblP2pSnepTransmitVcardCity), FORM_SLOT(ledP2pSnepTransmitVcardCity)},
                  {FORM_SLOT(lblP2pSnepTransmitVcardUrl), FORM_SLOT(ledP2pSnepTransmitVcardUrl)},
                  {FORM_SLOT(lblP2pSnepTransmitVcardCode), FORM_SLOT(ledP2pSnepTransmitVcardCode)},
                  {FORM_SLOT(lblP2pSnepTransmitVcardStreet), FORM_SLOT(ledP2pSnepTransmitVcardStreet)}},
        .vcardSave = {},
        .vcardLoad = {},
        .mimePage = FORM_SLOT(pagP2pSnepTransmitMime),
        .mimeUriLabel = FORM_SLOT(lblP2pSnepTransmitMimeUri),
        .mimeUri = FORM_SLOT(ledP2pSnepTransmitMimeUri),
        .mimeSelectImage = FORM_SLOT(btnP2pSnepTransmitMimeSelectImage),
    };
    setupNdefEditor(editor, gboP2pSnepTransmit, gridLayout_26);
    MAKE(gboRwNdefWriteControl_2, gboP2pSnepTransmit).text("Control").LAYOUT(gridLayout_35).at(gridLayout_26, 0, 1);
    MAKE(btnP2pSnepTransmit, gboRwNdefWriteControl_2)
        .text("Transmit")
        .tip("Transmit slected SNEP data")
        .fixedButton()
        .at(gridLayout_35, 0, 0);
    MAKE(ckbP2pSnepTransmitAutoTransmit, gboRwNdefWriteControl_2)
        .text("Auto")
        .tip(kTipAutoTransmit)
        .at(gridLayout_35, 1, 0);
    vSpacer(gridLayout_35, 2, 0);

    MAKE(pagP2pMarveldApi, nullptr).LAYOUT(gridLayout_9);
    texts.add(tabP2p, CFormTexts::Role::TabText, "Marveld API", tabP2p->addTab(pagP2pMarveldApi, QString()));
    setupLlcpConnection1();
    hSpacer(gridLayout_9, 0, 1, 131);
    setupLlcpConnection2();
    vSpacer(gridLayout_9, 2, 0);
}

void Ui_CLumaro::setupLlcpConnection1() {
    MAKE(gboP2p1, pagP2pMarveldApi).text("Connection 1 (SAP = 15)").LAYOUT(gridLayout_24).at(gridLayout_9, 0, 0);
    QGroupBox* box = gboP2p1;
    QGridLayout* grid = gridLayout_24;
    MAKE(btnP2pStartListener1, box).text("Start listener").tip(kTipStartListener).stdButton().at(grid, 0, 0);
    MAKE(btnP2pStopListener1, box).text("Stop listener").tip(kTipStopListener).disabled().stdButton().at(grid, 0, 1);
    MAKE(lblP2pListenerStatus1, box).text("Not Started").minWidth(80).at(grid, 0, 3);
    lblP2pListenerStatus1->setAlignment(Qt::AlignCenter);
    MAKE(lblP2pMaxWindowSize1, box).text("Max. window size:").at(grid, 0, 5);
    MAKE(sboP2pMaxWindowSize1, box).tip(kTipWindowSize).minWidth(71).at(grid, 0, 6);
    limits(sboP2pMaxWindowSize1, 1, 6, 1);
    MAKE(btnP2pTransmit1, box).text("Transmit").disabled().stdButton().at(grid, 0, 8);
    MAKE(lblRxDataLabel1, box).text("RX bytes:").at(grid, 0, 11);
    MAKE(lblP2pRxBytes1, box).text("0").tip(kTipRxBytes).minWidth(41).at(grid, 0, 12);
    MAKE(btnP2pConnect1, box).text("Connect").tip(kTipConnect).disabled().stdButton().at(grid, 2, 0);
    MAKE(btnP2pDisconnect1, box).text("Disconnect").tip(kTipDisconnect).disabled().stdButton().at(grid, 2, 1);
    MAKE(lblP2pSessionStatus1, box).text("Not connected").minWidth(80).at(grid, 2, 3);
    lblP2pSessionStatus1->setAlignment(Qt::AlignCenter);
    MAKE(lblP2pMiu1, box).text("MIU:").at(grid, 2, 5);
    MAKE(sboP2pMiu1, box).tip("Configure the maximum ").minWidth(71).at(grid, 2, 6);
    limits(sboP2pMiu1, 0, kMaxMiu, 128);
    MAKE(ckbContinuous1, box).text("Continuous").tip(kTipContinuous).at(grid, 2, 8, 1, 3);
    MAKE(lblTxDataLabel1, box).text("TX bytes:").at(grid, 2, 11);
    MAKE(lblP2pTxBytes1, box).text("0").tip(kTipTxBytes).minWidth(26).at(grid, 2, 12);
    MAKE(ckbRandomizeSize1, box).text("Randomize size").disabled().at(grid, 4, 8);
    MAKE(ckbP2pEchoServer1, box).text("Echo server").tip(kTipEcho).at(grid, 5, 8, 1, 3);
    connectionGaps(grid);
}

void Ui_CLumaro::setupLlcpConnection2() {
    MAKE(gbop2p2, pagP2pMarveldApi).text("Connection 2 (SAP = 14)").LAYOUT(gridLayout_25).at(gridLayout_9, 1, 0);
    QGroupBox* box = gbop2p2;
    QGridLayout* grid = gridLayout_25;
    MAKE(btnP2pStartListener2, box).text("Start listener").tip(kTipStartListener).stdButton().at(grid, 0, 0);
    MAKE(btnP2pStopListener2, box).text("Stop listener").tip(kTipStopListener).disabled().stdButton().at(grid, 0, 1);
    MAKE(lblP2pListenerStatus2, box).text("Not Started").minWidth(80).at(grid, 0, 3);
    lblP2pListenerStatus2->setAlignment(Qt::AlignCenter);
    MAKE(lblP2pMaxWindowSize2, box).text("Max. window size:").at(grid, 0, 5);
    MAKE(sboP2pMaxWindowSize2, box).tip(kTipWindowSize).minWidth(71).at(grid, 0, 6);
    limits(sboP2pMaxWindowSize2, 1, 6, 1);
    MAKE(btnP2pTransmit2, box).text("Transmit").disabled().stdButton().at(grid, 0, 8);
    MAKE(lblRxDataLabel2, box).text("RX bytes:").at(grid, 0, 10);
    MAKE(lblP2pRxBytes2, box).text("0").tip(kTipRxBytes).minWidth(41).at(grid, 0, 11);
    MAKE(btnP2pConnect2, box).text("Connect").tip(kTipConnect).disabled().stdButton().at(grid, 1, 0);
    MAKE(btnP2pDisconnect2, box).text("Disconnect").tip(kTipDisconnect).disabled().stdButton().at(grid, 1, 1);
    MAKE(lblP2pSessionStatus2, box).text("Not connected").minWidth(80).at(grid, 1, 3);
    lblP2pSessionStatus2->setAlignment(Qt::AlignCenter);
    MAKE(lblP2pMiu2, box).text("MIU:").at(grid, 1, 5);
    MAKE(sboP2pMiu2, box).minWidth(71).at(grid, 1, 6);
    limits(sboP2pMiu2, 128, kMaxMiu, 128);
    MAKE(ckbContinuous2, box).text("Continuous").tip(kTipContinuous).at(grid, 1, 8);
    MAKE(lblTxDataLabel2, box).text("TX bytes:").at(grid, 1, 10);
    MAKE(lblP2pTxBytes2, box).text("0").tip(kTipTxBytes).at(grid, 1, 11);
    MAKE(ckbRandomizeSize2, box).text("Randomize size").disabled().at(grid, 2, 8);
    MAKE(ckbP2pEchoServer2, box).text("Echo server").tip(kTipEcho).at(grid, 3, 8, 1, 2);
    connectionGaps(grid);
}
