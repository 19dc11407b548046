// Page 2: raw command PDUs for legacy tags, with the stored commands and the exchange log.

#include "lumaroform.h"

#include "formtips.h"

void Ui_CLumaro::setupLegacyPage() {
    addPage(pagRwLegacy, "pagRwLegacy", "R/W: Legacy")->setEnabled(false);
    pagRwLegacy->setSizePolicy(QSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred));
    ADD_LAYOUT(horizontalLayout_7, pagRwLegacy);
    MAKE(gboRwLegacyTransferLog, pagRwLegacy).text("APDU transfer / log").LAYOUT(gridLayout_14).in(horizontalLayout_7);
    QGroupBox* transfer = gboRwLegacyTransferLog;
    MAKE(lblRwLegacyCommand, transfer)
        .text("Command:")
        .policy(QSizePolicy::Preferred, QSizePolicy::Fixed)
        .at(gridLayout_14, 0, 0);
    MAKE(cboRwLegacyCommand, transfer).at(gridLayout_14, 0, 1);
    MAKE(lblRwLegacyPdu, transfer)
        .text("PDU:")
        .policy(QSizePolicy::Preferred, QSizePolicy::Fixed)
        .at(gridLayout_14, 1, 0);
    MAKE(ledRwLegacyPdu, transfer).at(gridLayout_14, 1, 1);
    MAKE(lblRwLegacyDescription, transfer)
        .text("Description:")
        .policy(QSizePolicy::Preferred, QSizePolicy::Fixed)
        .at(gridLayout_14, 2, 0);
    MAKE(ledRwLegacyDescription, transfer).at(gridLayout_14, 2, 1);
    MAKE(lblRwLegacyLog, transfer).text("Log:").at(gridLayout_14, 3, 0);
    MAKE(tedRwLegacyLog, transfer).readOnly().at(gridLayout_14, 3, 1);

    MAKE(gboRwLegacyControl, pagRwLegacy)
        .text("Control")
        .policy(QSizePolicy::Fixed, QSizePolicy::Preferred)
        .maxWidth(93)
        .LAYOUT(gridLayout_37)
        .in(horizontalLayout_7);
    QGroupBox* control = gboRwLegacyControl;
    MAKE(btnRwLegacyExchangePdu, control)
        .text("Exch. PDU")
        .tip("Transmit PDU to NFC tag")
        .min(71, 31)
        .at(gridLayout_37, 0, 0);
    MAKE(btnRwLegacySavePdu, control).text("Save PDU").min(71, 31).at(gridLayout_37, 1, 0);
    MAKE(btnRwLegacyDeletePdu, control).text("Delete PDU").min(71, 31).at(gridLayout_37, 2, 0);
    MAKE(btnRwLegacyCheckTag, control)
        .text("Check Tag")
        .tip("Check presence of legacy tag")
        .min(71, 31)
        .at(gridLayout_37, 3, 0);
    MAKE(btnRwLegacyErase, control).text("Erase").tip(kTipErase).disabled().min(71, 31).at(gridLayout_37, 4, 0);
    MAKE(btnRwLegacyFormatNdef, control).text("Format NDEF").tip(kTipFormatNdef).min(71, 31).at(gridLayout_37, 5, 0);
    vSpacer(gridLayout_37, 6, 0);
}
