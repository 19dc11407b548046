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
    setupLlcpConnection({
        .box = FORM_SLOT(gboP2p1),
        .grid = &gridLayout_24,
        .gridName = "gridLayout_24",
        .startListener = FORM_SLOT(btnP2pStartListener1),
        .stopListener = FORM_SLOT(btnP2pStopListener1),
        .listenerStatus = FORM_SLOT(lblP2pListenerStatus1),
        .windowSizeLabel = FORM_SLOT(lblP2pMaxWindowSize1),
        .windowSize = FORM_SLOT(sboP2pMaxWindowSize1),
        .transmit = FORM_SLOT(btnP2pTransmit1),
        .rxLabel = FORM_SLOT(lblRxDataLabel1),
        .rxBytes = FORM_SLOT(lblP2pRxBytes1),
        .connect = FORM_SLOT(btnP2pConnect1),
        .disconnect = FORM_SLOT(btnP2pDisconnect1),
        .sessionStatus = FORM_SLOT(lblP2pSessionStatus1),
        .miuLabel = FORM_SLOT(lblP2pMiu1),
        .miu = FORM_SLOT(sboP2pMiu1),
        .continuous = FORM_SLOT(ckbContinuous1),
        .txLabel = FORM_SLOT(lblTxDataLabel1),
        .txBytes = FORM_SLOT(lblP2pTxBytes1),
        .randomize = FORM_SLOT(ckbRandomizeSize1),
        .echo = FORM_SLOT(ckbP2pEchoServer1),
        .title = "Connection 1 (SAP = 15)",
        .pageRow = 0,
        .sessionRow = 2,
        .counterColumn = 11,
        .continuousSpan = 3,
        .randomizeRow = 4,
        .echoRow = 5,
        .echoSpan = 3,
        .miuMinimum = 0,
        .miuTip = "Configure the maximum ",
        .txBytesMinWidth = 26,
    });
    hSpacer(gridLayout_9, 0, 1, 131);
    setupLlcpConnection({
        .box = FORM_SLOT(gbop2p2),
        .grid = &gridLayout_25,
        .gridName = "gridLayout_25",
        .startListener = FORM_SLOT(btnP2pStartListener2),
        .stopListener = FORM_SLOT(btnP2pStopListener2),
        .listenerStatus = FORM_SLOT(lblP2pListenerStatus2),
        .windowSizeLabel = FORM_SLOT(lblP2pMaxWindowSize2),
        .windowSize = FORM_SLOT(sboP2pMaxWindowSize2),
        .transmit = FORM_SLOT(btnP2pTransmit2),
        .rxLabel = FORM_SLOT(lblRxDataLabel2),
        .rxBytes = FORM_SLOT(lblP2pRxBytes2),
        .connect = FORM_SLOT(btnP2pConnect2),
        .disconnect = FORM_SLOT(btnP2pDisconnect2),
        .sessionStatus = FORM_SLOT(lblP2pSessionStatus2),
        .miuLabel = FORM_SLOT(lblP2pMiu2),
        .miu = FORM_SLOT(sboP2pMiu2),
        .continuous = FORM_SLOT(ckbContinuous2),
        .txLabel = FORM_SLOT(lblTxDataLabel2),
        .txBytes = FORM_SLOT(lblP2pTxBytes2),
        .randomize = FORM_SLOT(ckbRandomizeSize2),
        .echo = FORM_SLOT(ckbP2pEchoServer2),
        .title = "Connection 2 (SAP = 14)",
        .pageRow = 1,
        .sessionRow = 1,
        .counterColumn = 10,
        .continuousSpan = 1,
        .randomizeRow = 2,
        .echoRow = 3,
        .echoSpan = 2,
        .miuMinimum = 128,
        .miuTip = nullptr,
        .txBytesMinWidth = 0,
    });
    vSpacer(gridLayout_9, 2, 0);
}

void Ui_CLumaro::setupLlcpConnection(const LlcpConnectionSlots& c) {
    CFormMake(texts, c.box, pagP2pMarveldApi).text(c.title).layout(*c.grid, c.gridName).at(gridLayout_9, c.pageRow, 0);
    QGroupBox* box = *c.box.member;
    QGridLayout* grid = *c.grid;
    CFormMake(texts, c.startListener, box).text("Start listener").tip(kTipStartListener).stdButton().at(grid, 0, 0);
    CFormMake(texts, c.stopListener, box)
        .text("Stop listener")
        .tip(kTipStopListener)
        .disabled()
        .stdButton()
        .at(grid, 0, 1);
    CFormMake(texts, c.listenerStatus, box).text("Not Started").minWidth(80).at(grid, 0, 3)->setAlignment(Qt::AlignCenter);
    CFormMake(texts, c.windowSizeLabel, box).text("Max. window size:").at(grid, 0, 5);
    limits(CFormMake(texts, c.windowSize, box).tip(kTipWindowSize).minWidth(71).at(grid, 0, 6).get(), 1, 6, 1);
    CFormMake(texts, c.transmit, box).text("Transmit").disabled().stdButton().at(grid, 0, 8);
    CFormMake(texts, c.rxLabel, box).text("RX bytes:").at(grid, 0, c.counterColumn);
    CFormMake(texts, c.rxBytes, box).text("0").tip(kTipRxBytes).minWidth(41).at(grid, 0, c.counterColumn + 1);

    const int row = c.sessionRow;
    CFormMake(texts, c.connect, box).text("Connect").tip(kTipConnect).disabled().stdButton().at(grid, row, 0);
    CFormMake(texts, c.disconnect, box).text("Disconnect").tip(kTipDisconnect).disabled().stdButton().at(grid, row, 1);
    CFormMake(texts, c.sessionStatus, box)
        .text("Not connected")
        .minWidth(80)
        .at(grid, row, 3)
        ->setAlignment(Qt::AlignCenter);
    CFormMake(texts, c.miuLabel, box).text("MIU:").at(grid, row, 5);
    auto miu = CFormMake(texts, c.miu, box).minWidth(71).at(grid, row, 6);
    if (c.miuTip) miu.tip(c.miuTip);
    limits(miu.get(), c.miuMinimum, kMaxMiu, 128);
    CFormMake(texts, c.continuous, box).text("Continuous").tip(kTipContinuous).at(grid, row, 8, 1, c.continuousSpan);
    CFormMake(texts, c.txLabel, box).text("TX bytes:").at(grid, row, c.counterColumn);
    auto txBytes = CFormMake(texts, c.txBytes, box).text("0").tip(kTipTxBytes).at(grid, row, c.counterColumn + 1);
    if (c.txBytesMinWidth) txBytes.minWidth(c.txBytesMinWidth);
    CFormMake(texts, c.randomize, box).text("Randomize size").disabled().at(grid, c.randomizeRow, 8);
    CFormMake(texts, c.echo, box).text("Echo server").tip(kTipEcho).at(grid, c.echoRow, 8, 1, c.echoSpan);
    connectionGaps(grid);
}
