// The settings file beside the program: the window's loading sequence, the trace flags, the
// parameters, the stored configurations, the geometry and the glue to the dialogs that edit it.
#include "clumaro.h"

#include <QCoreApplication>
#include <QDir>
#include <QSettings>

#include "lumaroform.h"
#include "nfcinstance.h"

#define WINDOW_SOURCE(name) "CLumaro::" name

namespace {

constexpr WORD kDefaultSnepMiu = 2048;
const QString kGeometryGroup = QStringLiteral("maindialog_geometry");
const QString kCurrentConfiguration = QStringLiteral("CurrentConfiguration");

// Names of "TraceFlags/Current/" and the bit each sets in the NFC (true) or L1 (false) word.
#define LUMARO_TRACE_FLAGS(X)                                                                                  \
    X(BrisgardInitialization, true, 0x1) X(BrisgardWorkflow, true, 0x2) X(BrisgardErrors, true, 0x4)           \
    X(NfcMemoryAllocation, true, 0x8) X(TagHandler, true, 0x10) X(TagHandlerVerbose, true, 0x20)              \
    X(Ip1, true, 0x40) X(NfcApiMessages, true, 0x80) X(ApiEntry, true, 0x100) X(NfcManLlTimer, true, 0x400)   \
    X(NfcManager, true, 0x800) X(DumpTxApiData, true, 0x1000) X(DumpRxApiData, true, 0x2000)                  \
    X(Snep, true, 0x4000) X(Handover, true, 0x8000) X(LlcpProtocol, true, 0x10000)                            \
    X(LlcpMessages, true, 0x20000) X(LlcpData, true, 0x40000) X(LlcpLlcAction, true, 0x80000)                 \
    X(LlcGeneral, true, 0x200000) X(TransactionDump, true, 0x400000) X(LlcpSym, true, 0x800000)               \
    X(ApiWorkflow, true, 0x1000000) X(P2pWork, true, 0x4000000) X(Ndef, true, 0x8000000)                      \
    X(ChipLevel1, true, 0x10000000) X(ChipLevel2, true, 0x20000000) X(ChipLevel3, true, 0x40000000)           \
    X(ChipLevel4, true, 0x80000000) X(L1Work, false, 0x1) X(L1ComApi, false, 0x10) X(L1Errors, false, 0x20)   \
    X(ComApiCall, false, 0x10000) X(Workflow, false, 0x20000) X(Errors, false, 0x40000)                       \
    X(ShdlcProtocol, false, 0x100000) X(ShdlcVerbose, false, 0x200000) X(ShdlcDump, false, 0x400000)          \
    X(Emulation, false, 0x1000000) X(EmulationErrors, false, 0x2000000) X(L1Verbose, false, 0x10000000)       \
    X(L1DumpFrame, false, 0x80000000)

struct TraceFlag {
    const char* name;
    bool nfcWord;
    DWORD bit;
};

#define LUMARO_TRACE_FLAG_ENTRY(name, nfcWord, bit) {#name, nfcWord, bit},
constexpr TraceFlag kTraceFlags[] = {LUMARO_TRACE_FLAGS(LUMARO_TRACE_FLAG_ENTRY)};
#undef LUMARO_TRACE_FLAG_ENTRY

} // namespace

void CLumaro::loadSettings() {
    const char* source = WINDOW_SOURCE("loadSettings");
    const QString path =
        QDir::toNativeSeparators(QStringLiteral("%1/lumaro.ini").arg(QCoreApplication::applicationDirPath()));
    settings = new QSettings(path, QSettings::IniFormat);
    switch (settings->status()) {
    case QSettings::NoError: break;
    case QSettings::AccessError: traceFormatted(traceError, source, "! Access error on configuration file"); return;
    case QSettings::FormatError: traceFormatted(traceError, source, "! Malformed INI file detected"); return;
    default: traceFormatted(traceError, source, "! Unknown error detected"); return;
    }
    loadControllerConfigurations();
    notAvailable(source, "Stored legacy commands");
    notAvailable(source, "Stored SE commands");
    loadStoredCommands(ioCommandList());
    initTraceFlagSettings();
    initCapabilityContainerSettings();
    loadParameters();
    restoreGeometry();
}

void CLumaro::loadTraceFlags(DWORD* nfcMask, DWORD* l1Mask) {
    *nfcMask = 0;
    *l1Mask = 0;
    for (const TraceFlag& flag : kTraceFlags) {
        if (!settings->value(QStringLiteral("TraceFlags/Current/") + QLatin1String(flag.name), false).toBool())
            continue;
        *(flag.nfcWord ? nfcMask : l1Mask) |= flag.bit;
    }
}

// A value that is no number or does not fit the 16 bits of an MIU is not taken as one.
void CLumaro::loadParameters() {
    const char* source = WINDOW_SOURCE("loadParameters");
    bool converted = false;
    const uint value =
        settings->value(QStringLiteral("NfcParameters/SnepMIU"), QStringLiteral("0")).toString().toUInt(&converted);
    if (converted && value >= 1 && value <= 0xFFFF) {
        snepMiu = static_cast<WORD>(value);
        traceFormatted(traceInfo, source, "SnepMIU parameter (%u) found", static_cast<unsigned>(snepMiu));
        return;
    }
    snepMiu = kDefaultSnepMiu;
    traceFormatted(traceInfo, source, "SnepMIU parameter not found, using default (%u)",
                   static_cast<unsigned>(kDefaultSnepMiu));
}

// Filling the combo stores each index it passes; the last one stored is the remembered one, or
// the first configuration when the remembered one is gone.
void CLumaro::loadControllerConfigurations() {
    int index = settings->value(kCurrentConfiguration, 0).toInt();
    configurationCombo->clear();
    settings->beginGroup(QStringLiteral("ControllerConfiguration"));
    const QStringList descriptions = settings->childKeys();
    settings->endGroup();
    for (const QString& description : descriptions) configurationCombo->addItem(description);
    if (index < 0 || index >= configurationCombo->count()) index = 0;
    configurationCombo->setCurrentIndex(index);
}

void CLumaro::on_cboControllerConfiguration_currentIndexChanged(int index) {
    // An emptied combo selects nothing: the stored choice stays for the next list.
    if (settings && index >= 0) settings->setValue(kCurrentConfiguration, index);
}

void CLumaro::saveGeometry() {
    if (!settings) return;
    settings->beginGroup(kGeometryGroup);
    settings->setValue(QStringLiteral("geometry"), QWidget::saveGeometry());
    settings->setValue(QStringLiteral("maximized"), isMaximized());
    if (!isMaximized()) {
        settings->setValue(QStringLiteral("pos"), pos());
        settings->setValue(QStringLiteral("size"), size());
    }
    settings->endGroup();
}

void CLumaro::restoreGeometry() {
    settings->beginGroup(kGeometryGroup);
    QWidget::restoreGeometry(settings->value(QStringLiteral("geometry"), QWidget::saveGeometry()).toByteArray());
    move(settings->value(QStringLiteral("pos"), pos()).toPoint());
    resize(settings->value(QStringLiteral("size"), size()).toSize());
    const bool maximized = settings->value(QStringLiteral("maximized"), isMaximized()).toBool();
    settings->endGroup();
    if (maximized) showMaximized();
}

void CLumaro::initTraceFlagSettings() {
    notAvailable(WINDOW_SOURCE("initTraceFlagSettings"), "Trace flag presets");
}

void CLumaro::initCapabilityContainerSettings() {
    notAvailable(WINDOW_SOURCE("initCapabilityContainerSettings"), "Card emulation configuration");
}

void CLumaro::on_btnTrace_clicked() {
    ui->btnTrace->setEnabled(false);
    if (!settings)
        traceFormatted(traceError, WINDOW_SOURCE("on_btnTrace_clicked"), "! Failed to load INI file");
    else
        notAvailable(WINDOW_SOURCE("on_btnTrace_clicked"), "Trace flags");
    ui->btnTrace->setEnabled(true);
}

void CLumaro::on_btnConfigure_clicked() {
    ui->btnConfigure->setEnabled(false);
    if (!settings)
        traceFormatted(traceError, WINDOW_SOURCE("on_btnConfigure_clicked"), "! Failed to load INI file");
    else
        notAvailable(WINDOW_SOURCE("on_btnConfigure_clicked"), "Controller configuration");
    ui->btnConfigure->setEnabled(true);
}

void CLumaro::handleDialogTraceFlagsClosed(QString nfcMaskText, QString l1MaskText) {
    const DWORD nfcMask = nfcMaskText.toUInt(nullptr, 16);
    const DWORD l1Mask = l1MaskText.toUInt(nullptr, 16);
    if (traceFlagsDialog) traceFlagsDialog->disconnect(this);
    traceFlagsDialog = nullptr;
    nfcFlags = nfcMask;
    l1Flags = l1Mask;
    if (nfcInstance) nfcSetTraceFlags(nfcMask, l1Mask);
    ui->btnTrace->setEnabled(true);
}

void CLumaro::handleNfcConfigurationFinished() {
    if (settings) loadControllerConfigurations();
    if (controllerConfigurationDialog) controllerConfigurationDialog->disconnect(this);
    controllerConfigurationDialog = nullptr;
    ui->btnConfigure->setEnabled(true);
}

void CLumaro::handleCeConfigurationFinished() {
    if (capabilityContainerDialog) capabilityContainerDialog->disconnect(this);
    capabilityContainerDialog = nullptr;
    ui->btnCeConfigure->setEnabled(true);
}
