// Page 6: APDU exchange with an embedded secure element and the listen-mode routing table.

#include "lumaroform.h"

namespace {

constexpr const char* kRoutingTableTypes[] = {"Listen Mode", "Poll Mode"};
constexpr const char* kRoutingTypes[] = {"Technology", "Protocol", "AID"};
constexpr const char* kTechnologies[] = {"ISO 14443A", "ISO 14443B", "FeliCa"};
constexpr const char* kProtocols[] = {"T1T", "T2T", "T3T", "ISO DEP", "NFC DEP"};
constexpr int kMaxAidDigits = 32;  // an AID of up to 16 bytes in hex

}  // namespace

void Ui_CLumaro::setupEmbeddedSePage() {
    addPage(pagEmbeddedSe, "pagEmbeddedSe", "CE: Embedded SE");
    ADD_LAYOUT(gridLayout_39, pagEmbeddedSe);
    MAKE(gboSeTransferLog, pagEmbeddedSe).text("APDU transfer / log").LAYOUT(gridLayout_18).at(gridLayout_39, 0, 0);
    QGroupBox* transfer = gboSeTransferLog;
    MAKE(lblSeCommand, transfer)
        .text("Command:")
        .policy(QSizePolicy::Preferred, QSizePolicy::Fixed)
        .at(gridLayout_18, 0, 0);
    MAKE(cboSeCommand, transfer).at(gridLayout_18, 0, 1);
    cboSeCommand->setInsertPolicy(QComboBox::InsertAlphabetically);
    MAKE(lblSePdu, transfer).text("PDU:").policy(QSizePolicy::Preferred, QSizePolicy::Fixed).at(gridLayout_18, 1, 0);
    MAKE(ledSePdu, transfer).at(gridLayout_18, 1, 1);
    MAKE(lblSeDescription, transfer)
        .text("Description:")
        .policy(QSizePolicy::Preferred, QSizePolicy::Fixed)
        .at(gridLayout_18, 2, 0);
    MAKE(ledSeDescription, transfer).at(gridLayout_18, 2, 1);
    MAKE(lblSeLog, transfer).text("Log:").at(gridLayout_18, 3, 0);
    MAKE(tedSeLog, transfer).readOnly().at(gridLayout_18, 3, 1);

    MAKE(gboSeControl, pagEmbeddedSe)
        .text("Control")
        .policy(QSizePolicy::Fixed, QSizePolicy::Preferred)
        .maxWidth(93)
        .LAYOUT(gridLayout_38)
        .at(gridLayout_39, 0, 1, 2, 1);
    QGroupBox* control = gboSeControl;
    MAKE(btnSeExchangePdu, control).text("Exch. PDU").disabled().min(71, 31).at(gridLayout_38, 0, 0, 1, 2);
    MAKE(lblSeControlId, control).text("ID:").at(gridLayout_38, 1, 0);
    MAKE(cboSeControlId, control).disabled().at(gridLayout_38, 1, 1);
    MAKE(btnSeOpenEse, control)
        .text("Open ESE")
        .tip("Open secure element")
        .disabled()
        .min(71, 31)
        .at(gridLayout_38, 2, 0, 1, 2);
    MAKE(btnSeCloseEse, control)
        .text("Close ESE")
        .tip("Clsoe secure element")
        .disabled()
        .min(71, 31)
        .at(gridLayout_38, 3, 0, 1, 2);
    MAKE(btnSeEchoTest, control)
        .text("Echo test")
        .tip("Send an echo test PDU to the secure element\nThis PDU might not be supported by the secure element")
        .disabled()
        .min(71, 31)
        .at(gridLayout_38, 4, 0, 1, 2);
    MAKE(btnSeSavePdu, control).text("Save PDU").min(71, 31).at(gridLayout_38, 5, 0, 1, 2);
    MAKE(btnSeDeletePdu, control).text("Delete PDU").min(71, 31).at(gridLayout_38, 6, 0, 1, 2);
    vSpacer(gridLayout_38, 7, 0);
    MAKE(btnSeAddRoutingEntry, control).text("Add entry").min(71, 31).at(gridLayout_38, 8, 0, 1, 2);
    MAKE(btnSeDeleteRoutingEntry, control).text("Delete entry").min(71, 31).at(gridLayout_38, 9, 0, 1, 2);
    setupSeRouting();
}

void Ui_CLumaro::setupSeRouting() {
    MAKE(gboSeRoutingTableConfiguration, pagEmbeddedSe)
        .text("Routing table configuration")
        .LAYOUT(gridLayout_6)
        .at(gridLayout_39, 1, 0);
    QGroupBox* box = gboSeRoutingTableConfiguration;
    MAKE(lblSeRoutingTableType, box).text("Routing table type:").at(gridLayout_6, 0, 0);
    MAKE(cboSeRoutingTableType, box).items(kRoutingTableTypes).at(gridLayout_6, 0, 1);
    MAKE(lblSeId, box).text("ID:").at(gridLayout_6, 0, 2);
    MAKE(cboSeId, box).at(gridLayout_6, 0, 3);
    MAKE(lblSeRoutingType, box).text("Routing type:").at(gridLayout_6, 0, 5);
    MAKE(cboSeRoutingType, box).items(kRoutingTypes).at(gridLayout_6, 0, 6);
    MAKE(lblSePowerState, box).text("Power state (hex):").at(gridLayout_6, 0, 7);
    MAKE(cboSePowerState, box).at(gridLayout_6, 0, 8);
    MAKE(btnSeWakeUp, box).text("Wake up").at(gridLayout_6, 1, 1);
    MAKE(lblSeTechnology, box).text("Technology:").at(gridLayout_6, 1, 2);
    MAKE(cboSeTechnology, box).items(kTechnologies).at(gridLayout_6, 1, 3);
    MAKE(lblSeTechnology_2, box).text("Protocol:").at(gridLayout_6, 1, 5);
    MAKE(cboSeProtocol, box).items(kProtocols).disabled().at(gridLayout_6, 1, 6);
    MAKE(label, box).text("AID (hex):").at(gridLayout_6, 1, 7);
    MAKE(ledSeAid, box).disabled().at(gridLayout_6, 1, 8);
    ledSeAid->setMaxLength(kMaxAidDigits);
}
