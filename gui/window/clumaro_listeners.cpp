// The technology page: the masks and rates a mode is registered with, the registration and
// unregistration of each operation mode, and the boxes that mirror or enable others.
#include "clumaro.h"

#include <QCoreApplication>

#include "lumaroform.h"
#include "nfcinstance.h"
#include "windowsource.h"

namespace {

constexpr DWORD kRwPresenceCheckOff = 0x40000000;
constexpr DWORD kSeMask = 0x20000;
constexpr WORD kRwOption = 0x1A;

// A bit the mode's mask carries while its box is enabled and checked.
struct MaskBit {
    DWORD mode;
    DWORD bit;
    QCheckBox* Ui_CLumaro::*box;
};
constexpr MaskBit kMaskBits[] = {
    {CLumaro::modeRw, 0x1, &Ui_CLumaro::ckbRwIso14443A},
    {CLumaro::modeRw, 0x2, &Ui_CLumaro::ckbRwIso14443B},
    {CLumaro::modeRw, 0x4, &Ui_CLumaro::ckbRwIso15693},
    {CLumaro::modeRw, 0x100, &Ui_CLumaro::ckbRwFelica212},
    {CLumaro::modeRw, 0x200, &Ui_CLumaro::ckbRwFelica424},
    {CLumaro::modeRw, 0x400, &Ui_CLumaro::ckbRwInnovisionJewel},
    {CLumaro::modeRw, 0x800, &Ui_CLumaro::ckbRwKovioBarcode},
    {CLumaro::modeRw, 0x80000000, &Ui_CLumaro::ckbRwCheckNdef},
    {CLumaro::modeP2p, 0x1000, &Ui_CLumaro::ckbP2pInitiatorPassive},
    {CLumaro::modeP2p, 0x2000, &Ui_CLumaro::ckbP2pTargetPassive},
    {CLumaro::modeP2p, 0x8000, &Ui_CLumaro::ckbP2pTargetActive},
    {CLumaro::modeP2p, 0x40000, &Ui_CLumaro::ckbP2pInitiatorActive},
    {CLumaro::modeCe, 0x100000, &Ui_CLumaro::ckbCeIso14443A},
    {CLumaro::modeCe, 0x200000, &Ui_CLumaro::ckbCeIso14443B},
    {CLumaro::modeCe, 0x400000, &Ui_CLumaro::ckbCeFelica},
    {CLumaro::modeCe, 0x1000000, &Ui_CLumaro::ckbCeRfFieldIndication},
};

bool isEnabledAndChecked(const QAbstractButton* box) { return box->isEnabled() && box->isChecked(); }

WORD isoDepRate(const QRadioButton* rate212, const QRadioButton* rate424, const QRadioButton* rate848) {
    if (rate212->isChecked()) return 212;
    if (rate424->isChecked()) return 424;
    if (rate848->isChecked()) return 848;
    return 106;
}

void enableAll(bool on, std::initializer_list<QWidget*> widgets) {
    for (QWidget* widget : widgets) widget->setEnabled(on);
}

} // namespace

// The modes in the order unregistration walks them.
const CLumaro::ModeEntry* CLumaro::modeEntry(DWORD mode) const {
    static const ModeEntry entries[] = {
        {modeRw, "RW", "RW: Start", "RW: Stop", "RW ", &Ui_CLumaro::btnRwStart, &Ui_CLumaro::btnRwStop},
        {modeP2p, "P2P", "P2P: Start", "P2P: Stop", "P2P ", &Ui_CLumaro::btnP2pStart, &Ui_CLumaro::btnP2pStop},
        {modeCe, "CE", "CE: Start", "CE: Stop", "CE ", &Ui_CLumaro::btnCeStart, &Ui_CLumaro::btnCeStop},
        {modeSe, "SE", nullptr, nullptr, "SE ", nullptr, nullptr},
    };
    for (const ModeEntry& entry : entries)
        if (entry.mode == mode) return &entry;
    return nullptr;
}

DWORD CLumaro::getRequestedListenMask(DWORD mode) {
    if (mode == modeSe) return kSeMask;
    if (!modeEntry(mode)) {
        traceFormatted(traceError, WINDOW_SOURCE("getRequestedListenMask"), "! Operation mode not recognized");
        return 0;
    }
    DWORD mask = 0;
    for (const MaskBit& entry : kMaskBits)
        if (entry.mode == mode && isEnabledAndChecked(ui->*entry.box)) mask |= entry.bit;
    if (mode == modeRw && !isEnabledAndChecked(ui->ckbRwPresenceCheck)) mask |= kRwPresenceCheckOff;
    return mask;
}

// Each mode's signals reach the window slots of the same name.
void CLumaro::wireModeSignals(DWORD mode, bool wire) {
    CNfcInstance* i = nfcInstance;
    const auto link = [&](auto signal, auto slot) {
        if (wire)
            connect(i, signal, this, slot, Qt::UniqueConnection);
        else
            disconnect(i, signal, this, slot);
    };
    switch (mode) {
    case modeRw:
        link(&CNfcInstance::signalMfMessage, &CLumaro::handleMfMessage);
        link(&CNfcInstance::signalLegacyMessage, &CLumaro::handleLegacyMessage);
        break;
    case modeP2p:
        link(&CNfcInstance::signalP2pConnectionRequested, &CLumaro::handleP2pConnectionRequested);
        link(&CNfcInstance::signalP2pConnectionEstablished, &CLumaro::handleP2pConnectionEstablished);
        link(&CNfcInstance::signalP2pDataReceived, &CLumaro::handleP2pDataReceived);
        link(&CNfcInstance::signalP2pDataSent, &CLumaro::handleP2pDataSent);
        link(&CNfcInstance::signalP2pConnectionTerminated, &CLumaro::handleP2pConnectionTerminated);
        link(&CNfcInstance::signalP2pConnectionDisconnected, &CLumaro::handleP2pConnectionDisconnected);
        link(&CNfcInstance::signalP2pConnectionFailed, &CLumaro::handleP2pConnectionFailed);
        link(&CNfcInstance::signalSnepDisconnected, &CLumaro::handleSnepDisconnected);
        link(&CNfcInstance::signalSnepEnded, &CLumaro::handleSnepEnded);
        break;
    case modeCe: link(&CNfcInstance::signalCeMessage, &CLumaro::handleCeMessage); break;
    default: break;
    }
}

NfcApiStatus CLumaro::nfcRegisterListener(DWORD mode) {
    const char* source = WINDOW_SOURCE("nfcRegisterListener");
    const DWORD mask = getRequestedListenMask(mode);
    const QString role = ui->ledCurrentLocalRole->text();
    traceFormatted(traceInfo, source, "Enter (requested mask: 0x%08X, operation mode: 0x%08X)", mask, mode);
    if (!nfcInstance) {
        traceFormatted(traceError, source, "! NFC Instance not found");
        return 1;
    }
    const ModeEntry* entry = modeEntry(mode);
    if (!entry) {
        traceFormatted(traceError, source, "! Operation mode 0x%08X not handled", mode);
        return 1;
    }
    WORD rate = 0;
    WORD felicaRate = 0;
    if (entry->startButton) {
        setStatus(statusDue, QLatin1String(entry->startText));
        (ui->*entry->startButton)->setEnabled(false);
    }
    if (mode == modeRw) rate = isoDepRate(ui->rdbRwIsoDepSpeed212, ui->rdbRwIsoDepSpeed424, ui->rdbRwIsoDepSpeed848);
    if (mode == modeCe) {
        rate = isoDepRate(ui->rdbCeIsoDepSpeed212, ui->rdbCeIsoDepSpeed424, ui->rdbCeIsoDepSpeed848);
        felicaRate = ui->rdbCeFelicSpeed424->isChecked() ? 424 : 212;
        const NfcApiStatus started = ceStartEmulation(mask);
        if (started != 0) {
            traceFormatted(traceError, source, "! Starting CE mode failed");
            setStatus(statusFail, QLatin1String(entry->startText));
            ui->btnCeStart->setEnabled(true);
            return started;
        }
    }
    wireModeSignals(mode, true);
    QCoreApplication::processEvents();
    const NfcApiStatus code = nfcInstance->nfcRegisterListener(mode, mask, rate, felicaRate, mode == modeRw ? kRwOption : 0);
    showRegistration(*entry, code == 0);
    if (code != 0) {
        // A retry connects them again: left connected, each event would reach its slot twice.
        wireModeSignals(mode, false);
        traceFormatted(traceError, source, "! Registering listener failed (code: %u)", code);
        return code;
    }
    if (mode == modeCe) {
        ui->pagCeNdefIso14443ABFelica->setEnabled(true);
        ceListenMask = mask;
    }
    lockUi(mode);
    activeModes |= mode;
    if (mode == modeP2p) startP2pServers();
    ui->ledCurrentLocalRole->setText(role + QLatin1String(entry->role));
    ui->btnUnregister->setEnabled(true);
    traceFormatted(traceInfo, source, "Exit (status: %u)", 0u);
    return 0;
}

void CLumaro::showRegistration(const ModeEntry& entry, bool registered) {
    if (!entry.startButton) return;
    setStatus(registered ? statusOk : statusFail, QLatin1String(entry.startText));
    (ui->*entry.stopButton)->setEnabled(registered);
    (ui->*entry.startButton)->setEnabled(!registered);
    if (entry.mode == modeRw)
        enableAll(!registered, {ui->ckbRwPresenceCheck, ui->ckbRwCheckNdef, ui->gboRwMode});
    if (entry.mode == modeP2p && registered) ui->gboP2pMode->setEnabled(false);
}

NfcApiStatus CLumaro::nfcUnregisterListener(DWORD modes) {
    const char* source = WINDOW_SOURCE("nfcUnregisterListener");
    traceFormatted(traceInfo, source, "Enter (operation mode: 0x%08X)", modes);
    if (!nfcInstance) {
        traceFormatted(traceError, source, "! Instance not found");
        return 1;
    }
    bool failed = false;
    for (DWORD mode : {DWORD{modeRw}, DWORD{modeP2p}, DWORD{modeCe}, DWORD{modeSe}})
        if ((modes & mode) && !unregisterMode(*modeEntry(mode))) failed = true;
    if (activeModes == 0) ui->btnUnregister->setEnabled(false);
    const NfcApiStatus result = failed ? 1 : 0;
    traceFormatted(traceInfo, source, "Exit (status: %u)", result);
    return result;
}

bool CLumaro::unregisterMode(const ModeEntry& entry) {
    const char* source = WINDOW_SOURCE("nfcUnregisterListener");
    if (entry.stopButton) {
        setStatus(statusDue, QLatin1String(entry.stopText));
        (ui->*entry.stopButton)->setEnabled(false);
    }
    if (entry.mode == modeP2p) stopP2pServers();
    NfcApiStatus code = nfcInstance->nfcUnregisterListener(entry.mode, currentMode);
    if (code == 0 && entry.mode == modeCe) code = nfcInstance->ceStop();
    if (code != 0) {
        traceFormatted(traceError, source, "! Unregistering %s-listener failed (code: %u)", entry.name, code);
        if (entry.stopButton) {
            setStatus(statusFail, QLatin1String(entry.stopText));
            (ui->*entry.stopButton)->setEnabled(true);
            (ui->*entry.startButton)->setEnabled(false);
        }
        return false;
    }
    if (entry.startButton) {
        setStatus(statusOk, QLatin1String(entry.stopText));
        (ui->*entry.startButton)->setEnabled(true);
    }
    ui->ledCurrentLocalRole->setText(ui->ledCurrentLocalRole->text().remove(QLatin1String(entry.role)));
    wireModeSignals(entry.mode, false);
    activeModes &= ~entry.mode;
    switch (entry.mode) {
    case modeRw: enableAll(true, {ui->gboRwMode, ui->ckbRwPresenceCheck, ui->ckbRwCheckNdef}); break;
    case modeP2p:
        enableAll(true, {ui->gboP2pMode, ui->gboP2pConfiguration});
        ui->pagP2pSnep->setEnabled(false);
        break;
    case modeCe:
        enableAll(true, {ui->gboCeMode, ui->gboCeConfiguration});
        ui->pagCeNdefIso14443ABFelica->setEnabled(false);
        ceListenMask = 0;
        break;
    default: enableAll(true, {ui->gboSeMode, ui->btnSeOpenEse, ui->cboSeControlId}); break;
    }
    traceFormatted(traceInfo, source, "%s-listener unregistered (code: %u)", entry.name, 0u);
    return true;
}

void CLumaro::on_btnRwStart_clicked() { nfcRegisterListener(modeRw); }
void CLumaro::on_btnRwStop_clicked() { nfcUnregisterListener(modeRw); }
void CLumaro::on_btnP2pStart_clicked() { nfcRegisterListener(modeP2p); }
void CLumaro::on_btnP2pStop_clicked() { nfcUnregisterListener(modeP2p); }
void CLumaro::on_btnCeStart_clicked() { nfcRegisterListener(modeCe); }
void CLumaro::on_btnCeStop_clicked() { nfcUnregisterListener(modeCe); }

// The page decides the mode; the I/O page is no tab, so the pages are looked up, not counted.
void CLumaro::on_btnUnregister_clicked() {
    const QWidget* page = ui->tabInteraction->currentWidget();
    DWORD mode = modeNone;
    if (page == ui->pagRwNdef || page == ui->pagRwLegacy || page == ui->pagRwMifareStd) mode = modeRw;
    if (page == ui->pagP2p) mode = modeP2p;
    if (page == ui->pagCeNdefIso14443ABFelica) mode = modeCe;
    if (page == ui->pagEmbeddedSe) mode = modeSe;
    if (mode == modeNone) {
        traceFormatted(traceError, WINDOW_SOURCE("on_btnUnregister_clicked"), "! No operation mode for current page");
        return;
    }
    if (activeModes & mode) nfcUnregisterListener(mode);
}

// ---- Boxes that enable or mirror others ----

void CLumaro::on_ckbRwIso14443A_clicked(bool checked) {
    enableAll(checked || ui->ckbRwIso14443B->isChecked(), {ui->rdbRwIsoDepSpeed106, ui->rdbRwIsoDepSpeed212,
                                                            ui->rdbRwIsoDepSpeed424, ui->rdbRwIsoDepSpeed848});
}
void CLumaro::on_ckbRwIso14443B_clicked(bool checked) {
    enableAll(checked || ui->ckbRwIso14443A->isChecked(), {ui->rdbRwIsoDepSpeed106, ui->rdbRwIsoDepSpeed212,
                                                            ui->rdbRwIsoDepSpeed424, ui->rdbRwIsoDepSpeed848});
}
void CLumaro::on_ckbCeIso14443A_clicked(bool checked) {
    enableAll(checked || ui->ckbCeIso14443B->isChecked(), {ui->rdbCeIsoDepSpeed106, ui->rdbCeIsoDepSpeed212,
                                                            ui->rdbCeIsoDepSpeed424, ui->rdbCeIsoDepSpeed848});
}
void CLumaro::on_ckbCeIso14443B_clicked(bool checked) {
    enableAll(checked || ui->ckbCeIso14443A->isChecked(), {ui->rdbCeIsoDepSpeed106, ui->rdbCeIsoDepSpeed212,
                                                            ui->rdbCeIsoDepSpeed424, ui->rdbCeIsoDepSpeed848});
}
void CLumaro::on_ckbCeFelica_clicked(bool checked) {
    enableAll(checked, {ui->rdbCeFelicSpeed212, ui->rdbCeFelicSpeed424});
}
void CLumaro::on_ckbRwAutoReadNdefOnIndication_clicked(bool checked) { ui->ckbRwNdefAutoRead->setChecked(checked); }
void CLumaro::on_ckbRwNdefAutoRead_clicked(bool checked) { ui->ckbRwAutoReadNdefOnIndication->setChecked(checked); }
void CLumaro::on_ckbRwNdefSuppressNdefRtdAction_clicked(bool checked) { ui->ckbRwNdefSuppress->setChecked(checked); }
void CLumaro::on_ckbRwNdefSuppress_clicked(bool checked) { ui->ckbRwNdefSuppressNdefRtdAction->setChecked(checked); }
void CLumaro::on_ckbP2pSnepAutoTransmit_clicked(bool checked) {
    ui->ckbP2pSnepTransmitAutoTransmit->setChecked(checked);
}
void CLumaro::on_ckbP2pSnepTransmitAutoTransmit_clicked(bool checked) {
    ui->ckbP2pSnepAutoTransmit->setChecked(checked);
}
