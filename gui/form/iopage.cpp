// Page 7: stored or typed I/O-control PDUs and raw data for the controller, with their log.

#include "lumaroform.h"

void Ui_CLumaro::setupIoPage() {
    addPage(pagIo, "pagIo", "I/O");
    ADD_LAYOUT(gridLayout_45, pagIo);
    MAKE(gboIoTransferLog, pagIo).text("I/O Control").LAYOUT(gridLayout_44).at(gridLayout_45, 0, 0);
    QGroupBox* transfer = gboIoTransferLog;
    MAKE(lblIoCommand, transfer)
        .text("Command:")
        .policy(QSizePolicy::Preferred, QSizePolicy::Fixed)
        .at(gridLayout_44, 0, 0);
    MAKE(cboIoCommand, transfer).at(gridLayout_44, 0, 1);
    MAKE(lblIoPdu, transfer).text("PDU:").policy(QSizePolicy::Preferred, QSizePolicy::Fixed).at(gridLayout_44, 1, 0);
    MAKE(ledIoPdu, transfer).at(gridLayout_44, 1, 1);
    MAKE(lblIoDescription, transfer)
        .text("Description:")
        .policy(QSizePolicy::Preferred, QSizePolicy::Fixed)
        .at(gridLayout_44, 2, 0);
    MAKE(ledIoDescription, transfer).at(gridLayout_44, 2, 1);
    MAKE(lbIoLog, transfer).text("Log:").at(gridLayout_44, 3, 0);
    MAKE(tedIoLog, transfer).readOnly().at(gridLayout_44, 3, 1);

    MAKE(gboIoControl, pagIo)
        .text("Control")
        .policy(QSizePolicy::Fixed, QSizePolicy::Preferred)
        .maxWidth(93)
        .LAYOUT(gridLayout_43)
        .at(gridLayout_45, 0, 1);
    QGroupBox* control = gboIoControl;
    MAKE(btnIoSendPdu, control).text("Send PDU").disabled().min(71, 31).at(gridLayout_43, 0, 0, 1, 2);
    MAKE(btnIoSendRaw, control).text("Send raw").disabled().min(71, 31).at(gridLayout_43, 1, 0, 1, 2);
    MAKE(btnIoSavePdu, control).text("Save PDU").min(71, 31).at(gridLayout_43, 2, 0);
    MAKE(btnIoDeletePdu, control).text("Delete PDU").min(71, 31).at(gridLayout_43, 4, 0);
    vSpacer(gridLayout_43, 5, 0);
}
