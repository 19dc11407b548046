// The settings file beside the program: the window's loading sequence, the trace flags, the
// parameters, the stored configurations, the geometry and the glue to the dialogs that edit it.
#include "clumaro.h"

#include <QCoreApplication>
#include <QDir>
#include <QSettings>

#include "cnfccapabilitycontainer.h"
#include "cnfccontrollerconfiguration.h"
#include "cnfctraceflags.h"
#include "lumaroform.h"
#include "nfcinstance.h"
#include "traceflagtable.h"
#include "windowsource.h"

namespace {

constexpr WORD kDefaultSnepMiu = 2048;
const QString kGeometryGroup = QStringLiteral("maindialog_geometry");
const QString kCurrentConfiguration = QStringLiteral("CurrentConfiguration");

// The two L1 bits the library traces that the dialog offers no box for: a hand-edited file may
// still switch them on.
struct WindowOnlyTraceFlag {
    const char* name;
    DWORD bit;
};
constexpr WindowOnlyTraceFlag kWindowOnlyL1Flags[] = {{"Emulation", 0x1000000}, {"EmulationErrors", 0x2000000}};

bool currentTraceFlag(const QSettings& settings, const char* name) {
    return settings.value(QStringLiteral("TraceFlags/Current/") + QLatin1String(name), false).toBool();
}

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
    loadLegacyCommands();
    loadStoredCommands(ioCommandList());
    loadSeCommands();
    initTraceFlagSettings();
    initCapabilityContainerSettings();
    loadParameters();
    restoreGeometry();
}

void CLumaro::loadTraceFlags(DWORD* nfcMask, DWORD* l1Mask) {
    *nfcMask = 0;
    *l1Mask = 0;
    for (const TraceFlagEntry& flag : kTraceFlagTable)
        if (currentTraceFlag(*settings, flag.name)) *(flag.nfcWord ? nfcMask : l1Mask) |= flag.bit;
    for (const WindowOnlyTraceFlag& flag : kWindowOnlyL1Flags)
        if (currentTraceFlag(*settings, flag.name)) *l1Mask |= flag.bit;
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

// Constructing a dialog once writes its first-run keys, so the window starts from them.
void CLumaro::initTraceFlagSettings() {
    traceFlagsDialog = new CNfcTraceFlags(nullptr, settings, 0);
    delete traceFlagsDialog;
    traceFlagsDialog = nullptr;
}

void CLumaro::initCapabilityContainerSettings() {
    capabilityContainerDialog = new CNfcCapabilityContainer(nullptr, settings);
    delete capabilityContainerDialog;
    capabilityContainerDialog = nullptr;
}

void CLumaro::on_btnTrace_clicked() {
    ui->btnTrace->setEnabled(false);
    if (!settings) {
        traceFormatted(traceError, WINDOW_SOURCE("on_btnTrace_clicked"), "! Failed to load INI file");
        ui->btnTrace->setEnabled(true);
        return;
    }
    delete traceFlagsDialog;
    auto* dialog = new CNfcTraceFlags(nullptr, settings, 0);
    traceFlagsDialog = dialog;
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &CNfcTraceFlags::signalClose, this, &CLumaro::handleDialogTraceFlagsClosed);
    dialog->setWindowModality(Qt::ApplicationModal);
    dialog->show();
}

void CLumaro::on_btnConfigure_clicked() {
    ui->btnConfigure->setEnabled(false);
    if (!settings) {
        traceFormatted(traceError, WINDOW_SOURCE("on_btnConfigure_clicked"), "! Failed to load INI file");
        ui->btnConfigure->setEnabled(true);
        return;
    }
    auto* dialog = new CNfcControllerConfiguration(nullptr, settings);
    controllerConfigurationDialog = dialog;
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &CNfcControllerConfiguration::signalNfcConfigurationFinished, this,
            &CLumaro::handleNfcConfigurationFinished);
    dialog->setWindowModality(Qt::ApplicationModal);
    dialog->show();
}

// A dialog closed from its frame hands out no words: the flags stay as they are.
void CLumaro::handleDialogTraceFlagsClosed(QString nfcMaskText, QString l1MaskText) {
    bool nfcGiven = false, l1Given = false;
    const DWORD nfcMask = nfcMaskText.toUInt(&nfcGiven, 16);
    const DWORD l1Mask = l1MaskText.toUInt(&l1Given, 16);
    if (traceFlagsDialog) traceFlagsDialog->disconnect(this);
    traceFlagsDialog = nullptr;
    if (nfcGiven && l1Given) {
        nfcFlags = nfcMask;
        l1Flags = l1Mask;
        if (nfcInstance) nfcSetTraceFlags(nfcMask, l1Mask);
    }
    ui->btnTrace->setEnabled(true);
}

// While NFC runs the list keeps showing the configuration it runs on.
void CLumaro::handleNfcConfigurationFinished() {
    const QString running = nfcInstance ? configurationCombo->currentText() : QString();
    if (settings) loadControllerConfigurations();
    const int index = configurationCombo->findText(running, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (!running.isEmpty() && index >= 0) configurationCombo->setCurrentIndex(index);
    if (controllerConfigurationDialog) controllerConfigurationDialog->disconnect(this);
    controllerConfigurationDialog = nullptr;
    ui->btnConfigure->setEnabled(true);
}

void CLumaro::handleCeConfigurationFinished() {
    if (capabilityContainerDialog) capabilityContainerDialog->disconnect(this);
    capabilityContainerDialog = nullptr;
    ui->btnCeConfigure->setEnabled(true);
}
