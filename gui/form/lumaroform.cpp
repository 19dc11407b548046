// The frame of the main form: the window's grid, the top row, the device-detection box, the
// interaction tabs and the log page; the pages themselves are built in their own files.

#include "lumaroform.h"

#include <QMetaObject>

void Ui_CLumaro::setupUi(QWidget* CLumaro) {
    if (CLumaro->objectName().isEmpty()) CLumaro->setObjectName("CLumaro");
    CLumaro->resize(1070, 540);
    CLumaro->setMinimumSize(QSize(1070, 540));
    setupFrame(CLumaro);
    setupTechnologyPage(CLumaro);
    setupRwNdefPage();
    setupLegacyPage();
    setupMifarePage();
    setupP2pPage();
    setupCePage();
    setupEmbeddedSePage();
    setupIoPage();
    setupLogPage();
    setupFocusChain();

    retranslateUi(CLumaro);

    // After the texts, so that the combo boxes hold their items already.
    tabInteraction->setCurrentIndex(0);
    tabRwNdefWrite->setCurrentIndex(0);
    cboRwNdefWriteRtdUriPrefix->setCurrentIndex(1);
    tabP2p->setCurrentIndex(0);
    tabP2pSnepTransmit->setCurrentIndex(0);
    cboP2pSnepTransmitRtdUriPrefix->setCurrentIndex(1);
    tabCeNdefModify->setCurrentIndex(0);
    cboCeNdefModifyRtdUriPrefix->setCurrentIndex(1);

    QMetaObject::connectSlotsByName(CLumaro);
}

void Ui_CLumaro::retranslateUi(QWidget*) { texts.apply(); }

void Ui_CLumaro::setupFrame(QWidget* window) {
    ADD_LAYOUT(gridLayout, window);
    MAKE(lblImageOem, window).minHeight(51).at(gridLayout, 0, 0);
    lblImageOem->setFrameShape(QFrame::NoFrame);
    lblImageOem->setScaledContents(false);
    lblImageOem->setAlignment(Qt::AlignCenter);
    MAKE(lblControllerConfiguration, window)
        .text("Configuration:")
        .policy(QSizePolicy::Fixed, QSizePolicy::Fixed)
        .at(gridLayout, 0, 1);
    MAKE(cboControllerConfiguration, window)
        .tip("Select NFC controller configuration")
        .policy(QSizePolicy::Preferred, QSizePolicy::Fixed, 2)
        .min(240, 22)
        .at(gridLayout, 0, 2);
    cboControllerConfiguration->setSizeIncrement(QSize(2, 0));
    cboControllerConfiguration->setMaxVisibleItems(20);
    MAKE(btnTrace, window)
        .text("Trace")
        .tip("Open a dialog for debug-output configuration")
        .stdButton()
        .at(gridLayout, 0, 3);
    MAKE(btnConfigure, window)
        .text("Configure")
        .tip("Open a dialog for NFC controller configuration")
        .stdButton()
        .at(gridLayout, 0, 4);
    MAKE(btnUnregister, window)
        .text("Unregister")
        .tip("Unregister associated listener (dependent on selected tab)")
        .disabled()
        .min(71, 31)
        .at(gridLayout, 0, 5);
    MAKE(btnStartNfc, window)
        .text("Start NFC")
        .tip("Start-up Marveld NFC stack with the chosen NFC controller configuration")
        .stdButton()
        .at(gridLayout, 0, 6);
    MAKE(btnStopNfc, window)
        .text("Stop NFC")
        .tip("Shut down Marveld NFC stack")
        .disabled()
        .stdButton()
        .at(gridLayout, 0, 7);
    MAKE(lblImageMarveld, window).fixed(158, 51).at(gridLayout, 0, 8);
    lblImageMarveld->setAlignment(Qt::AlignCenter);
    setupDeviceDetection(window);
    MAKE(tabInteraction, window)
        .policy(QSizePolicy::Preferred, QSizePolicy::Preferred, 1)
        .minWidth(831)
        .at(gridLayout, 1, 1, 1, 8);
    tabInteraction->setTabPosition(QTabWidget::North);
    tabInteraction->setTabShape(QTabWidget::Rounded);
}

void Ui_CLumaro::setupDeviceDetection(QWidget* window) {
    MAKE(gboDeviceDetection, window)
        .text("Device detection")
        .policy(QSizePolicy::Fixed, QSizePolicy::Preferred)
        .minWidth(153)
        .LAYOUT(gridLayout_36)
        .at(gridLayout, 1, 0);
    QWidget* box = gboDeviceDetection;
    MAKE(lblDeviceImage, box).policy(QSizePolicy::Fixed, QSizePolicy::Fixed).min(134, 85).at(gridLayout_36, 0, 0);
    MAKE(lblDeviceImage2, box).policy(QSizePolicy::Fixed, QSizePolicy::Fixed).min(134, 85).at(gridLayout_36, 1, 0);
    lblDeviceImage->setAlignment(Qt::AlignCenter);
    lblDeviceImage2->setAlignment(Qt::AlignCenter);
    vSpacer(gridLayout_36, 2, 0);
    MAKE(lblCurrentLocalRole, box).text("Current local role:").at(gridLayout_36, 3, 0);
    MAKE(ledCurrentLocalRole, box)
        .tip("Displays currently active listeners")
        .readOnly()
        .minWidth(136)
        .at(gridLayout_36, 5, 0);
    MAKE(lblDeviceType, box).text("Detected device type:").at(gridLayout_36, 6, 0);
    MAKE(ledDeviceType, box)
        .tip("Indicates the detected device\nIn R/W-mode detected tag type is shown\nIn P2P- and CE-mode the role of "
             "this NFC device is displayed")
        .readOnly()
        .minWidth(136)
        .at(gridLayout_36, 7, 0);
    MAKE(lblDeviceId, box).text("Detected device ID:").at(gridLayout_36, 8, 0);
    MAKE(ledDeviceId, box)
        .tip("Displays the UID of the detected device")
        .readOnly()
        .minWidth(136)
        .at(gridLayout_36, 9, 0);
    MAKE(lblBitRate, box).text("Bit rate:").at(gridLayout_36, 10, 0);
    MAKE(ledBitRate, box)
        .tip("Displays current communication speed if this information is provided by the NFCC")
        .readOnly()
        .minWidth(136)
        .at(gridLayout_36, 11, 0);
    MAKE(lblNdefSize, box).text("NDEF size:").disabled().at(gridLayout_36, 12, 0);
    MAKE(ledNdefSize, box)
        .tip("Displays the current and the maximum NDEF container size")
        .disabled()
        .readOnly()
        .minWidth(136)
        .at(gridLayout_36, 13, 0);
    MAKE(lblStatus, box)
        .text("Status:")
        .tip("Indicates the status of the most recent triggered task")
        .minHeight(15)
        .at(gridLayout_36, 14, 0);
}

QWidget* Ui_CLumaro::addPage(QWidget*& page, const char* name, const char* tabText) {
    page = new QWidget();
    page->setObjectName(name);
    int index = tabInteraction->addTab(page, QString());
    texts.add(tabInteraction, CFormTexts::Role::TabText, tabText, index);
    return page;
}

void Ui_CLumaro::setupLogPage() {
    addPage(pagLog, "pagLog", "Log");
    ADD_LAYOUT(gridLayout_21, pagLog);
    MAKE(txbErrorLog, pagLog).at(gridLayout_21, 0, 0);
}
