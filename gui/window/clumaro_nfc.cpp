// Starting and stopping the whole NFC stack: the one instance, the controller's report in the
// log, the technology boxes it supports, and the stop when the device goes away.
#include "clumaro.h"

#include <QCoreApplication>
#include <QSettings>

#include <algorithm>
#include <cstring>
#include <iterator>

#include "lumaroform.h"
#include "nfcinstance.h"
#include "windowsource.h"

namespace {

constexpr DWORD kRwBits = 0x1 | 0x2 | 0x4 | 0x100 | 0x200 | 0x400 | 0x800;
constexpr DWORD kP2pBits = 0x1000 | 0x40000 | 0x2000 | 0x8000;
constexpr DWORD kCeBits = 0x100000 | 0x200000 | 0x400000;
constexpr DWORD kSecureCeBit = 0x20000;
constexpr BYTE kPn544RevisionC3 = 0xB1;

struct TechnologyLine {
    DWORD bit;
    const char* line;
};
constexpr TechnologyLine kTechnologyLines[] = {
    {0x1, "\t\tTag: ISO 14443A, 106 kbit/s"},      {0x2, "\t\tTag: ISO 14443B, 106 kbit/s"},
    {0x4, "\t\tTag: ISO 15693 Vicinity Card"},     {0x800, "\t\tTag: Kovio barcode"},
    {0x100, "\t\tTag: FeliCa polling, 212 kbit/s"}, {0x200, "\t\tTag: FeliCa polling, 424 kbit/s"},
    {0x400, "\t\tTag: Innovision Jewel, 106 kbit/s"}, {0x1000, "\t\tP2P: Initiator (passive)"},
    {0x40000, "\t\tP2P: Initiator (active)"},      {0x2000, "\t\tP2P: Target (passive)"},
    {0x8000, "\t\tP2P: Target (active)"},          {0x20000, "\t\tCE: Secure CE"},
    {0x100000, "\t\tCE: ISO 14443A"},              {0x200000, "\t\tCE: ISO 14443B"},
    {0x400000, "\t\tCE: ISO 18092"},               {0x800000, "\t\tCE: ISO 14443B2"},
};

struct TechnologyBox {
    DWORD bit;
    QCheckBox* Ui_CLumaro::*box;
};
constexpr TechnologyBox kTechnologyBoxes[] = {
    {0x1, &Ui_CLumaro::ckbRwIso14443A},           {0x2, &Ui_CLumaro::ckbRwIso14443B},
    {0x4, &Ui_CLumaro::ckbRwIso15693},            {0x100, &Ui_CLumaro::ckbRwFelica212},
    {0x200, &Ui_CLumaro::ckbRwFelica424},         {0x400, &Ui_CLumaro::ckbRwInnovisionJewel},
    {0x800, &Ui_CLumaro::ckbRwKovioBarcode},      {0x1000, &Ui_CLumaro::ckbP2pInitiatorPassive},
    {0x40000, &Ui_CLumaro::ckbP2pInitiatorActive}, {0x2000, &Ui_CLumaro::ckbP2pTargetPassive},
    {0x8000, &Ui_CLumaro::ckbP2pTargetActive},    {0x100000, &Ui_CLumaro::ckbCeIso14443A},
    {0x200000, &Ui_CLumaro::ckbCeIso14443B},      {0x400000, &Ui_CLumaro::ckbCeFelica},
};

QString configurationWithMask(const QString& configuration, const char* key, DWORD mask) {
    return configuration + QStringLiteral(" %1%2").arg(QLatin1String(key)).arg(mask, 8, 16, QLatin1Char('0'));
}

} // namespace

QCheckBox* CLumaro::seSlotBox(int slot) const {
    QCheckBox* const boxes[] = {ui->ckbSeSlot0, ui->ckbSeSlot1, ui->ckbSeSlot2, ui->ckbSeSlot3};
    return boxes[slot];
}

void CLumaro::on_btnStartNfc_clicked() {
    logView->clear();
    nfcStart();
}

void CLumaro::on_btnStopNfc_clicked() { nfcStop(); }

// The instance emits the removal from inside its own relay slot: the stop, which deletes the
// instance, waits until that emission has returned (the connection is queued).
void CLumaro::handleNfcDeviceRemoved() {
    const char* source = WINDOW_SOURCE("handleNfcDeviceRemoved");
    traceFormatted(traceInfo, source, "Enter");
    disableUi(currentMode);
    clearUi(currentMode);
    currentMode = 0;
    setStatus(statusInformation, QStringLiteral("NFC: Device removed"));
    traceFormatted(traceError, source, "! Severe error detected: NFC device removed - Trying to shut down NFC stack");
    const NfcApiStatus result = nfcStop();
    if (result != 0) traceFormatted(traceInfo, source, "Stopping NFC failed (code: %u)", result);
    traceFormatted(traceInfo, source, "Exit (status: %u)", result);
}

// Start creates the instance: it needs none, and refuses a second one, which would leak the
// running instance and initialise the library twice.
NfcApiStatus CLumaro::nfcStart() {
    const char* source = WINDOW_SOURCE("nfcStart");
    return runOperation(
        {.source = source,
         .statusText = QStringLiteral("NFC: Start"),
         .needsInstance = false,
         .before = switchedOff({ui->btnStartNfc}),
         .after =
             [this](NfcApiStatus result) {
                 if (result != 0 && !nfcInstance) ui->btnStartNfc->setEnabled(true);
             }},
        [&]() -> NfcApiStatus {
            if (nfcInstance) {
                traceFormatted(traceError, source, "! NFC is already started");
                return 1;
            }
            activeModes = currentTagType = ceListenMask = currentMode = 0;
            seSlot = seStartedCount = 0;
            seSlotsMapped = 0;
            const QString description = configurationCombo->currentText();
            NfcApiStatus result = 1;
            if (description.isEmpty())
                traceFormatted(traceError, source, "! Controller configuration not set");
            else
                result = startInstance(
                    source, settings->value(QStringLiteral("ControllerConfiguration/") + description).toString());
            // The routing table is laid before the status shows, whose label it may use meanwhile.
            initSeRouting(1);
            return result;
        });
}

NfcApiStatus CLumaro::startInstance(const char* source, QString configuration) {
    nfcInstance = new CNfcInstance();
    nfcInstance->setNfcFlags(nfcFlags);
    nfcInstance->setL1Flags(l1Flags);
    traceFormatted(traceInfo, source,
                   "Global NFC flags: 0x%08X, L1 flags: 0x%08X - will be ignored if local (configuration-specific) "
                   "flags are set",
                   nfcFlags, l1Flags);
    if (!configuration.contains(QLatin1String("TRACES.NFC="))) {
        traceFormatted(traceInfo, source, "No local TRACES.NFC parameter found - adding global or default parameter");
        configuration = configurationWithMask(configuration, "TRACES.NFC=", nfcInstance->getNfcFlags());
    }
    if (!configuration.contains(QLatin1String("TRACES.L1="))) {
        traceFormatted(traceInfo, source, "No local TRACES.L1 parameter found - adding global or default parameter");
        configuration = configurationWithMask(configuration, "TRACES.L1=", nfcInstance->getL1Flags());
    }
    nfcInstance->setConfiguration(configuration);
    traceFormatted(traceInfo, source, "Initialization <%s>", configuration.toLocal8Bit().constData());
    connect(nfcInstance, &CNfcInstance::signalPostTrace, this,
            qOverload<DWORD, const char*, char*>(&CLumaro::handlePostTrace));
    connect(nfcInstance, &CNfcInstance::signalSeNotification, this, &CLumaro::handleSeNotification);
    const NfcApiStatus started = nfcInstance->nfcStart();
    if (started != 0) {
        traceFormatted(traceError, source, "! Instance initialization failed (code: %u)", started);
        disconnect(nfcInstance, nullptr, this, nullptr);
        releaseInstance();
        return started;
    }
    const TNfcCapabilities* capabilities = nfcInstance->nfcGetCapabilities();
    if (!capabilities) {
        // The library runs: stopping it is the only way back to a clean start.
        traceFormatted(traceError, source, "! Getting capabilities failed");
        nfcStop();
        return 1;
    }
    printCapabilities(capabilities);
    enableTechnologies(nfcInstance->getSupportedTechnologies());
    connect(&ndefMessage, &CNdefMessage::signalPostTrace, this,
            qOverload<DWORD, const char*, char*>(&CLumaro::handlePostTrace));
    connect(nfcInstance, &CNfcInstance::signalNfcTechnologyDiscovered, this, &CLumaro::handleNfcTechnologyDiscovered);
    connect(nfcInstance, &CNfcInstance::signalNfcTechnologyRemoved, this, &CLumaro::handleNfcTechnologyRemoved);
    connect(nfcInstance, &CNfcInstance::signalNfcDeviceRemoved, this, &CLumaro::handleNfcDeviceRemoved,
            Qt::QueuedConnection);
    connect(nfcInstance, &CNfcInstance::signalSeMessage, this, &CLumaro::handleSeMessage);
    connect(nfcInstance, &CNfcInstance::signalIoMessage, this, &CLumaro::handleIoMessage);
    printFirmwareVersion(false, configuration);
    for (QWidget* control : {static_cast<QWidget*>(ui->btnStopNfc), static_cast<QWidget*>(ui->btnRwStart),
                             static_cast<QWidget*>(ui->btnP2pStart), static_cast<QWidget*>(ui->btnCeStart),
                             static_cast<QWidget*>(ui->btnIoSendPdu), static_cast<QWidget*>(ui->btnIoSendRaw)})
        control->setEnabled(true);
    return 0;
}

NfcApiStatus CLumaro::nfcStop() {
    const char* source = WINDOW_SOURCE("nfcStop");
    return runOperation({.source = source,
                         .statusText = QStringLiteral("NFC: Stop"),
                         .before = switchedOff({ui->btnStopNfc}),
                         .after =
                             [this](NfcApiStatus result) {
                                 if (result != 0) ui->btnStartNfc->setEnabled(true);
                             }},
                        [&] { return stopInstance(source); });
}

// Every step runs even when an earlier one failed; only the library's shutdown decides.
NfcApiStatus CLumaro::stopInstance(const char* source) {
    const auto traced = [&](NfcApiStatus status, const char* text) {
        if (status != 0) traceFormatted(traceError, source, "%s (code: %u)", text, status);
    };
    printFirmwareVersion(true, QString());
    traced(nfcUnregisterListener(activeModes), "! Unregistering instance failed");
    for (BYTE slot = 0; slot < CNfcInstance::kSecureElementSlots; ++slot) {
        if (!seSlotBox(slot)->isChecked()) continue;
        const NfcApiStatus status = seStop(slot);
        if (status == 0)
            traceFormatted(traceInfo, source, "SE (slot: %u) deactivated (code: %u)", slot, status);
        else
            traceFormatted(traceError, source, "! Deactivating SE (slot: %u) failed (code: %u)", slot, status);
    }
    traced(snepStopServer(), "! Closing SNEP server failed");
    traced(nppStopServer(), "! Closing NPP server failed");
    traced(handoverStopServer(), "! Closing Handover server failed");
    traced(nfcInstance->snepReleaseClient(), "! Releasing SNEP client failed");
    traced(nfcInstance->snepReleaseServer(), "! Releasing SNEP server failed");
    activeModes = 0;
    const NfcApiStatus result = nfcInstance->nfcStop(0);
    traced(result, "! Shutting down NFC stack failed");
    // The library's thread is gone: what it posted during the shutdown lands now, before the
    // window can close and drop those calls with the trace texts they own.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    disconnect(nfcInstance, nullptr, this, nullptr);
    disconnect(&ndefMessage, &CNdefMessage::signalPostTrace, this, nullptr);
    resetStatusLabels();
    releaseInstance();
    ui->btnStopNfc->setEnabled(false);
    ui->btnStartNfc->setEnabled(true);
    for (QWidget* control :
         {static_cast<QWidget*>(ui->btnRwStart), static_cast<QWidget*>(ui->btnRwStop),
          static_cast<QWidget*>(ui->btnP2pStart), static_cast<QWidget*>(ui->btnP2pStop),
          static_cast<QWidget*>(ui->btnCeStart), static_cast<QWidget*>(ui->btnCeStop), static_cast<QWidget*>(ui->gboSe),
          static_cast<QWidget*>(ui->tabP2p), static_cast<QWidget*>(ui->btnIoSendPdu),
          static_cast<QWidget*>(ui->btnIoSendRaw)})
        control->setEnabled(false);
    return result;
}

void CLumaro::printCapabilities(const TNfcCapabilities* capabilities) {
    const TNfcCapabilityBlock& block = *capabilities->controller;
    const int vendorLength = static_cast<int>(strnlen(block.vendorName, sizeof block.vendorName));
    traceMessage("Controller detected");
    traceMessage("Controller's properties:");
    traceMessage("\tVendor name:\t\t\t%.*s", vendorLength, block.vendorName);
    const BYTE* sw = block.softwareVersion;
    const BYTE* hw = block.hardwareVersion;
    traceMessage("\tSoftware version:\t\t%02X.%02X.%02X.%02X", sw[0], sw[1], sw[2], sw[3]);
    traceMessage("\tHardware version:\t\t%02X.%02X.%02X.%02X", hw[0], hw[1], hw[2], hw[3]);
    traceMessage("\tMaximum supported LLCP frame size:\t%u", block.maxLlcpFrameSize);
    traceMessage("\tMaximum supported LLCP connections:\t%u", block.maxLlcpConnections);
    traceMessage("\tMaximum supported LLCP window size:\t%u", block.maxLlcpWindow);
    traceMessage("\tNumber of supported secure elements:\t%u", block.secureElementCount);
    if (block.secureElementCount != 0) mapSecureElements(block);
    traceMessage("\tSupported technologies by controller:");
    for (const TechnologyLine& technology : kTechnologyLines)
        if (block.supportedMask & technology.bit) traceMessage("%s", technology.line);
}

// The block's count is a byte, its table has four slots: a count beyond them maps only those.
void CLumaro::mapSecureElements(const TNfcCapabilityBlock& block) {
    traceMessage("\tSupported secure element's technologies and properties:");
    const DWORD end = std::min<DWORD>(seSlotsMapped + block.secureElementCount, NFC_MAX_SECURE_ELEMENTS);
    DWORD last = seSlotsMapped;
    for (DWORD i = seSlotsMapped; i < end; ++i) {
        last = i;
        const TNfcInfoSE* element = block.secureElements[i];
        if (!element) continue;
        QCheckBox* box = seSlotBox(static_cast<int>(i));
        box->setEnabled(true);
        box->setText(printSecureElement(*element));
        if (element->mode != 0) {
            box->setChecked(true);
            ++seStartedCount;
        }
    }
    ui->pagEmbeddedSe->setEnabled(true);
    if (seStartedCount != 0) {
        const NfcApiStatus status = nfcRegisterListener(modeSe);
        if (status != 0)
            traceFormatted(traceError, WINDOW_SOURCE("printCapabilities"),
                           "! Registering SE mode for slot %u failed (code: %u)", last, status);
    }
    seSlotsMapped = std::max(seSlotsMapped, end);
}

void CLumaro::printFirmwareVersion(bool restore, const QString& configuration) {
    if (!nfcInstance) return;
    const TNfcCapabilities* capabilities = nfcInstance->capabilities();
    if (!capabilities || !capabilities->controller) return;
    if (restore) {
        setWindowTitle(savedWindowTitle);
        return;
    }
    savedWindowTitle = windowTitle();
    const TNfcCapabilityBlock& block = *capabilities->controller;
    const BYTE* sw = block.softwareVersion;
    // The chip values start at byte 32 of the record: its bytes 32 and 41 are the PN544's.
    const QString suffix =
        configuration.contains(QLatin1String("PN544"))
            ? QStringLiteral("    FW: %1.%2 Rev. %3 %4")
                  .arg(sw[1])
                  .arg(sw[2])
                  .arg(block.chipValues[0] == kPn544RevisionC3 ? QStringLiteral("C3") : QStringLiteral("C2"))
                  .arg(block.chipValues[9])
            : QStringLiteral("    FW: %1.%2.%3.%4").arg(sw[0]).arg(sw[1]).arg(sw[2]).arg(sw[3]);
    setWindowTitle(savedWindowTitle + suffix);
}

void CLumaro::enableTechnologies(DWORD supported) {
    for (const TechnologyBox& technology : kTechnologyBoxes) {
        QCheckBox* box = ui->*technology.box;
        const bool on = (supported & technology.bit) != 0;
        box->setEnabled(on);
        if (!on) box->setChecked(false);
    }
    const auto follow = [](bool on, std::initializer_list<QWidget*> widgets) {
        for (QWidget* widget : widgets) widget->setEnabled(on);
    };
    follow(supported & kRwBits, {ui->gboRw, ui->ckbRwPresenceCheck, ui->ckbRwCheckNdef, ui->gboRwMode});
    // The services follow the P2P listener: the library takes them from no other application.
    follow(supported & kP2pBits, {ui->gboP2p, ui->gboP2pMode, ui->tabP2p});
    follow(supported & kCeBits, {ui->gboCe, ui->gboCeMode, ui->gboCeConfiguration});
    follow(supported & kSecureCeBit, {ui->gboSe, ui->gboSeMode, ui->btnSeOpenEse, ui->cboSeControlId});
}
