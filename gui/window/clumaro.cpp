#include "clumaro.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QScrollBar>
#include <QSettings>
#include <QTextCursor>
#include <QTime>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "convert.h"
#include "debugout.h"
#include "lumaroform.h"
#include "nfcinstance.h"
#include "tracetext.h"
#include "windowsource.h"

namespace {

constexpr int kMessageSize = 512;
constexpr DWORD kTagNdef = 0x80000000u;
constexpr const char* kModeNotRecognized = "! Operation mode not recognized";
const QString kNoBackground = QStringLiteral("QLabel {background-color: none}");

} // namespace

CLumaro::CLumaro(QWidget* parent) : QWidget(parent), ui(new Ui_CLumaro) {
    QImage marveld(QStringLiteral(":/marveld"));
    QImage oem(QStringLiteral(":/oem"));
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("Marveld %1 (version %2)")
                       .arg(QStringLiteral("Lumaro"), 0, QLatin1Char(' '))
                       .arg(QStringLiteral("1.0.153.5"), 0, QLatin1Char(' ')));
    ui->lblImageMarveld->setPixmap(QPixmap::fromImage(makeBackgroundTransparent(marveld)));
    ui->lblImageOem->setPixmap(QPixmap::fromImage(makeBackgroundTransparent(oem)));
    configurationCombo = ui->cboControllerConfiguration;
    logView = ui->txbErrorLog;
    lastImageDirectory = QStringLiteral(".");
    // The embedded-SE and I/O pages are built but never offered.
    ui->tabInteraction->removeTab(ui->tabInteraction->indexOf(ui->pagIo));
    ui->tabInteraction->removeTab(ui->tabInteraction->indexOf(ui->pagEmbeddedSe));
    for (QWidget* hidden : {static_cast<QWidget*>(ui->gboSe), static_cast<QWidget*>(ui->btnIoSendRaw),
                            static_cast<QWidget*>(ui->btnRwNdefWriteVcardSave),
                            static_cast<QWidget*>(ui->btnRwNdefWriteVcardLoad)})
        hidden->hide();
    loadSettings();
    if (settings && settings->value(QStringLiteral("TraceFlagsSet"), false).toBool()) {
        loadTraceFlags(&nfcFlags, &l1Flags);
    } else {
        nfcFlags = l1Flags = 0;
        traceFormatted(traceWarning, WINDOW_SOURCE("CLumaro"), "Global trace flags not set");
    }
    ui->tabInteraction->setCurrentIndex(0);
    startProcess = QCoreApplication::arguments().contains(QStringLiteral("--startProcess"));
    initSeRouting(0);
}

CLumaro::~CLumaro() {
    disconnect();
    saveGeometry();
    if (nfcInstance) nfcStop();
    // The dialogs share the settings object: none may outlive it.
    for (QPointer<QWidget>* dialog : {&controllerConfigurationDialog, &traceFlagsDialog, &capabilityContainerDialog}) {
        if (*dialog) (*dialog)->close();
        *dialog = nullptr;
    }
    delete settings;
    settings = nullptr;
    logView = nullptr;
    delete ui;
}

// Closing runs the whole stop, as Stop NFC does: the listeners, servers and secure elements go
// before the library, and the window returns to its stopped state.
void CLumaro::closeEvent(QCloseEvent* event) {
    if (nfcInstance) nfcStop();
    QWidget::closeEvent(event);
}

// The instance stops the library it started when it goes.
void CLumaro::releaseInstance() {
    delete nfcInstance;
    nfcInstance = nullptr;
}

// ---- Log ----

void CLumaro::traceFormatted(DWORD level, const char* source, const char* format, ...) {
    char text[kTraceTextSize];
    int used = snprintf(text, sizeof text, "%s: ", source);
    if (used < 0) used = 0;
    if (used < kTraceTextSize - 1) {
        va_list arguments;
        va_start(arguments, format);
        vsnprintf(text + used, static_cast<size_t>(kTraceTextSize - used), format, arguments);
        va_end(arguments);
    }
    debugOut(1, "%s", text);
    if (!logView) return;
    setLogColour(level);
    appendToLog(text);
}

void CLumaro::traceMessage(const char* format, ...) {
    char text[kMessageSize];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    debugOut(1, "%s", text);
    if (logView) appendToLog(text);
}

void CLumaro::trace(DWORD level, const char* text) {
    debugOut(1, "%s", text);
    if (!logView) return;
    setLogColour(level);
    appendToLog(text);
}

void CLumaro::handlePostTrace(DWORD level, const char* source, char* text) {
    char line[kTraceTextSize] = {};
    const size_t sourceLength = source ? strlen(source) : 0;
    if (sourceLength + 2 < static_cast<size_t>(kTraceTextSize)) {
        memcpy(line, source, sourceLength);
        memcpy(line + sourceLength, ": ", 2);
        const size_t offset = sourceLength + 2;
        const size_t room = kTraceTextSize - 1 - offset;   // the last byte stays the terminator
        const size_t textLength = text ? strnlen(text, room + 1) : 0;
        if (textLength > room) {
            // A cut line ends in "..." before its terminator, over the source's end if need be.
            constexpr size_t kCut = kTraceTextSize - 4;
            if (offset < kCut) memcpy(line + offset, text, kCut - offset);
            memcpy(line + kCut, "...", 3);
        } else if (textLength > 0) {
            memcpy(line + offset, text, textLength);
        }
    }
    trace(level, line);
    delete[] text;
}

void CLumaro::handlePostTrace(DWORD level, QString text) {
    if (text.size() > kTraceTextSize) text = text.left(kTraceTextSize - 3) + QStringLiteral("...");
    trace(level, text.toLocal8Bit().constData());
}

void CLumaro::setLogColour(DWORD level) {
    switch (level) {
    case traceInfo:
    case traceInfoDetail: logView->setTextBackgroundColor(QColor(QStringLiteral("white"))); break;
    case traceError: logView->setTextBackgroundColor(QColor(QStringLiteral("red"))); break;
    case traceWarning: logView->setTextBackgroundColor(QColor(QStringLiteral("orange"))); break;
    default: break;
    }
}

// Tag and peer data reach the log: it is inserted as plain text, in the colour in force.
void CLumaro::appendToLog(const char* text) {
    const QString line = QTime::currentTime().toString(QStringLiteral("hh:mm:ss:zzz")) + QStringLiteral("     ") +
                         QString::fromLocal8Bit(text);
    const QTextCharFormat format = logView->currentCharFormat();
    QTextCursor cursor(logView->document());
    cursor.movePosition(QTextCursor::End);
    if (!logView->document()->isEmpty()) cursor.insertBlock();
    cursor.insertText(line, format);
    logView->verticalScrollBar()->setValue(logView->verticalScrollBar()->maximum());
}

void CLumaro::appendToPageLog(QTextEdit* pageLog, const QString& text, int dashes) {
    QTextCursor cursor(pageLog->document());
    cursor.movePosition(QTextCursor::End);
    if (!pageLog->document()->isEmpty()) cursor.insertBlock();
    cursor.insertText(text + QLatin1Char('\n') + QString(dashes, QLatin1Char('-')), pageLog->currentCharFormat());
    pageLog->verticalScrollBar()->setValue(pageLog->verticalScrollBar()->maximum());
}

void CLumaro::setStatus(int state, const QString& text) {
    struct Look {
        const char* suffix;
        const char* styleSheet;
    };
    static constexpr Look looks[] = {
        {nullptr, "QLabel {background-color: none}"},
        {"", "QLabel {background-color: rgba(0, 170, 255, 255)}"},
        {"  OK", "QLabel {background-color: rgba(20, 250, 5, 255)}"},
        {"  DUE", "QLabel {background-color: yellow}"},
        {"  FAIL", "QLabel {background-color: red}"},
    };
    if (state < statusNone || state > statusFail) return;
    const Look& look = looks[state];
    ui->lblStatus->setText(look.suffix ? text + QLatin1String(look.suffix) : QString());
    ui->lblStatus->setStyleSheet(QLatin1String(look.styleSheet));
}

// ---- Operations ----

NfcApiStatus CLumaro::runOperation(const Operation& operation, const std::function<NfcApiStatus()>& call) {
    const char* source = operation.source;
    if (!operation.enterLine.isEmpty())
        traceFormatted(traceInfo, source, "%s", operation.enterLine.toLocal8Bit().constData());
    if (!operation.statusText.isEmpty()) setStatus(statusDue, operation.statusText);
    if (operation.before) operation.before();
    QCoreApplication::processEvents();
    // The pending events may have stopped NFC: the instance is looked at only now.
    NfcApiStatus result = 1;
    const bool refused = operation.needsInstance && !nfcInstance;
    if (refused)
        traceFormatted(traceError, source, "%s", kNoInstance);
    else
        result = call();
    if (result != 0 && operation.failureText && (!refused || operation.failedWithoutInstance)) {
        if (operation.failureSaysCode)
            traceFormatted(traceError, source, "%s (code: %u)", operation.failureText, result);
        else
            traceFormatted(traceError, source, "%s", operation.failureText);
    }
    if (!operation.statusText.isEmpty()) setStatus(result == 0 ? statusOk : statusFail, operation.statusText);
    if (operation.after) operation.after(result);
    traceFormatted(traceInfo, source, operation.exitSaysCode ? "Exit (code: %u)" : "Exit (status: %u)", result);
    return result;
}

std::function<void()> CLumaro::switchedOff(std::initializer_list<QWidget*> controls) {
    return [widgets = std::vector<QWidget*>(controls)] {
        for (QWidget* widget : widgets) widget->setEnabled(false);
    };
}

std::function<void(NfcApiStatus)> CLumaro::switchedOn(std::initializer_list<QWidget*> controls) {
    return [widgets = std::vector<QWidget*>(controls)](NfcApiStatus) {
        for (QWidget* widget : widgets) widget->setEnabled(true);
    };
}

void CLumaro::nfcSetTraceFlags(DWORD nfcMask, DWORD l1Mask) {
    const char* source = WINDOW_SOURCE("nfcSetTraceFlags");
    if (!nfcInstance) {
        traceFormatted(traceError, source, "%s", kNoInstance);
        return;
    }
    traceFormatted(traceInfo, source, "Changing trace flags (nfcFlags: 0x%08X l1Flags: 0x%08X)", nfcMask, l1Mask);
    nfcFlags = nfcMask;
    l1Flags = l1Mask;
    nfcInstance->setTraceFlags(nfcMask, l1Mask);
}

// ---- Mode-wise widget states ----

void CLumaro::lockUi(DWORD mode) {
    switch (mode) {
    case modeRw:
        for (QWidget* w : {static_cast<QWidget*>(ui->gboRwMode), static_cast<QWidget*>(ui->ckbRwPresenceCheck),
                           static_cast<QWidget*>(ui->ckbRwCheckNdef)})
            w->setEnabled(false);
        break;
    case modeP2p:
        ui->gboP2pMode->setEnabled(false);
        ui->gboP2pConfiguration->setEnabled(false);
        break;
    case modeCe:
        ui->gboCeMode->setEnabled(false);
        ui->gboCeConfiguration->setEnabled(false);
        break;
    case modeNone:
    case modeSe: break;
    default: traceFormatted(traceError, WINDOW_SOURCE("lockUi"), "%s", kModeNotRecognized); break;
    }
}

void CLumaro::disableUi(DWORD mode) {
    ui->cboControllerConfiguration->setFocus();
    switch (mode) {
    case modeRw:
        for (QWidget* w : {static_cast<QWidget*>(ui->btnRwNdefErase), static_cast<QWidget*>(ui->btnRwNdefFormat),
                           static_cast<QWidget*>(ui->btnRwLegacyErase),
                           static_cast<QWidget*>(ui->btnRwLegacyFormatNdef), static_cast<QWidget*>(ui->btnRwNdefWrite),
                           static_cast<QWidget*>(ui->tabRwNdefWrite), static_cast<QWidget*>(ui->gboRwNdefRead)})
            w->setEnabled(true);
        for (QWidget* w : {ui->pagRwNdef, ui->pagRwLegacy, ui->pagRwMifareStd}) w->setEnabled(false);
        break;
    case modeP2p:
        for (QWidget* w : {ui->btnP2pConnect1, ui->btnP2pConnect2, ui->btnP2pDisconnect1, ui->btnP2pDisconnect2,
                           ui->btnP2pTransmit1, ui->btnP2pTransmit2})
            w->setEnabled(false);
        ui->pagP2pSnep->setEnabled(false);
        break;
    case modeCe: ui->btnCeNdefModifySave->setEnabled(true); break;
    case modeNone:
    case modeSe: break;
    default: traceFormatted(traceError, WINDOW_SOURCE("disableUi"), "%s", kModeNotRecognized); return;
    }
    ui->tabInteraction->setCurrentIndex(0);
}

void CLumaro::clearUi(DWORD mode) {
    if (mode == currentMode) {
        ui->lblDeviceImage->clear();
        ui->lblDeviceImage2->clear();
        for (QLineEdit* edit : {ui->ledDeviceType, ui->ledDeviceId, ui->ledBitRate, ui->ledNdefSize}) edit->clear();
        ui->ledNdefSize->setEnabled(false);
        ui->lblNdefSize->setEnabled(false);
    }
    switch (mode) {
    case modeRw:
        ui->twtRwNdefRead->clear();
        ui->tedRwLegacyLog->clear();
        ui->tedRwMifareStandardLog->clear();
        break;
    case modeP2p:
        ui->twtP2pSnepReceive->clear();
        for (QLabel* label : {ui->lblP2pSessionStatus1, ui->lblP2pSessionStatus2}) {
            label->setText(QStringLiteral("Not connected"));
            label->setStyleSheet(kNoBackground);
        }
        for (QLabel* label : {ui->lblP2pRxBytes1, ui->lblP2pRxBytes2, ui->lblP2pTxBytes1, ui->lblP2pTxBytes2})
            label->clear();
        break;
    case modeSe: ui->tedSeLog->clear(); break;
    case modeNone:
    case modeCe: break;
    default: traceFormatted(traceError, WINDOW_SOURCE("clearUi"), "%s", kModeNotRecognized); break;
    }
}

void CLumaro::enableRwUi(const TNfcTagInfo* tag) {
    const DWORD type = tag->tagType;
    auto setPairs = [this](bool format, bool erase) {
        ui->btnRwNdefFormat->setEnabled(format);
        ui->btnRwLegacyFormatNdef->setEnabled(format);
        ui->btnRwNdefErase->setEnabled(erase);
        ui->btnRwLegacyErase->setEnabled(erase);
    };
    if (type & kTagNdef) {
        ui->pagRwLegacy->setEnabled(false);
        ui->pagRwMifareStd->setEnabled(false);
        ui->pagRwNdef->setEnabled(true);
        ui->tabInteraction->setCurrentIndex(1);
        ui->lblNdefSize->setEnabled(true);
        ui->ledNdefSize->setEnabled(true);
        ui->ledNdefSize->setText(QStringLiteral("%1 of %2").arg(tag->ndefLength).arg(tag->ndefMaxSize));
        setPairs(true, (type & 0x1000500u) || (type & 0xB4u));
        return;
    }
    ui->pagRwNdef->setEnabled(false);
    if (type & 0x1000030u) {
        ui->pagRwLegacy->setEnabled(false);
        ui->pagRwMifareStd->setEnabled(true);
        ui->tabInteraction->setCurrentIndex(3);
        return;
    }
    ui->pagRwMifareStd->setEnabled(false);
    ui->pagRwLegacy->setEnabled(true);
    ui->tabInteraction->setCurrentIndex(2);
    if (type & 0x584u)
        setPairs(true, true);
    else if (type & 0x40u)
        setPairs(true, false);
    else
        setPairs(false, false);
}

void CLumaro::enableUi(DWORD mode, const TNfcTagInfo* tag) {
    const DWORD type = tag ? tag->tagType : 0;
    switch (mode) {
    case modeRw:
        if (tag) enableRwUi(tag);
        break;
    case modeP2p:
        if (type & 0x3000u) {
            ui->pagP2pSnep->setEnabled(true);
            if (currentMode == modeP2p) ui->gboP2pSnepTransmit->setEnabled(true);
            ui->btnP2pConnect1->setEnabled(true);
            ui->btnP2pConnect2->setEnabled(true);
            ui->tabInteraction->setCurrentIndex(4);
        }
        break;
    case modeCe:
        if (type & 0x700000u) {
            ui->pagCeNdefIso14443ABFelica->setEnabled(true);
            ui->tabInteraction->setCurrentIndex(5);
        }
        break;
    case modeSe:
        // The page is found by widget: the constructor's removals moved the indexes.
        if (type & 0x20000u) {
            ui->pagEmbeddedSe->setEnabled(true);
            ui->tabInteraction->setCurrentWidget(ui->pagEmbeddedSe);
        }
        break;
    case modeNone: break;
    default: traceFormatted(traceError, WINDOW_SOURCE("enableUi"), "%s", kModeNotRecognized); break;
    }
    iconForTagType(type);
}

void CLumaro::enableTagControls(DWORD mode, bool enable) {
    if (mode != modeRw) return;
    for (QWidget* w : {ui->btnRwLegacyErase, ui->btnRwLegacyExchangePdu, ui->btnRwLegacyFormatNdef,
                       ui->btnRwMifareStandardAuthenticateA, ui->btnRwMifareStandardAuthenticateB,
                       ui->btnRwMifareStandardErase, ui->btnRwMifareStandardFormatNdef,
                       ui->btnRwMifareStandardReadBlock, ui->btnRwMifareStandardReadSector,
                       ui->btnRwMifareStandardWrite, ui->btnRwNdefErase, ui->btnRwNdefFormat, ui->btnRwNdefRead,
                       ui->btnRwNdefWrite})
        w->setEnabled(enable);
    if (currentTagType & 0x40u) {
        ui->btnRwNdefErase->setEnabled(false);
        ui->btnRwLegacyErase->setEnabled(false);
    } else if (currentTagType & 0x3u) {
        ui->btnRwNdefErase->setEnabled(false);
        ui->btnRwLegacyErase->setEnabled(false);
        ui->btnRwLegacyFormatNdef->setEnabled(false);
    }
}

void CLumaro::resetStatusLabels() {
    ui->gboP2pService->setEnabled(false);
    ui->btnP2pStartListener1->setEnabled(true);
    ui->btnP2pStartListener2->setEnabled(true);
    for (QWidget* w : {ui->btnP2pStopListener1, ui->btnP2pStopListener2, ui->btnP2pConnect1, ui->btnP2pConnect2,
                       ui->btnP2pDisconnect1, ui->btnP2pDisconnect2, ui->btnP2pTransmit1, ui->btnP2pTransmit2})
        w->setEnabled(false);
    for (QLabel* label : {ui->lblP2pListenerStatus1, ui->lblP2pListenerStatus2}) {
        label->setText(QStringLiteral("Not started"));
        label->setStyleSheet(kNoBackground);
    }
    for (QLabel* label : {ui->lblP2pSessionStatus1, ui->lblP2pSessionStatus2}) {
        label->setText(QStringLiteral("Not connected"));
        label->setStyleSheet(kNoBackground);
    }
    for (QLabel* label : {ui->lblP2pRxBytes1, ui->lblP2pRxBytes2, ui->lblP2pTxBytes1, ui->lblP2pTxBytes2})
        label->clear();
    QCheckBox* const slotBoxes[] = {ui->ckbSeSlot0, ui->ckbSeSlot1, ui->ckbSeSlot2, ui->ckbSeSlot3};
    for (int slot = 0; slot < 4; ++slot) {
        slotBoxes[slot]->setText(QStringLiteral("Slot %1").arg(slot));
        slotBoxes[slot]->setEnabled(false);
    }
    initSeRouting(0);
}
