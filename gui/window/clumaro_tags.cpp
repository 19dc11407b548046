// A technology entering and leaving the field: its report in the log and the device box, the
// operation mode it sets, the connection and automatic read of a tag, and the presence check.
#include "clumaro.h"

#include <QCoreApplication>

#include "convert.h"
#include "lumaroform.h"
#include "nfcinstance.h"
#include "tagreport.h"
#include "windowsource.h"

namespace {

QPixmap transparentPicture(const QString& path) {
    return QPixmap::fromImage(makeBackgroundTransparent(QImage(path)));
}

} // namespace

// The record behind the pointer belongs to the instance and is renewed by its next event: the
// slot works on its own copy and keeps nothing of the pointer.
void CLumaro::handleNfcTechnologyDiscovered(TNfcTagInfo* delivered) {
    const char* source = WINDOW_SOURCE("handleNfcTechnologyDiscovered");
    traceFormatted(traceInfo, source, "Enter");
    TNfcTagInfo tag{};
    if (delivered) tag = *delivered;
    printTagInfo(tag);
    if (tag.tagType & kTagMask) {
        currentMode = modeRw;
        currentTagType = tag.tagType & ~static_cast<DWORD>(TAG_NDEF);
        const NfcApiStatus connected = nfcInstance ? nfcInstance->connectTag() : 1;
        if (connected != 0) {
            traceFormatted(traceError, source, "! Connecting tag failed (code: %u)", connected);
            return;
        }
    } else if (tag.tagType & kP2pMask) {
        currentMode = modeP2p;
    } else if (tag.tagType & kCardEmulationMask) {
        currentMode = modeCe;
        ui->tedCeLog->clear();
        ui->btnCeNdefModifySave->setEnabled(false);
    } else {
        currentMode = modeNone;
    }
    enableUi(currentMode, &tag);
    setStatus(statusInformation, QStringLiteral("NFC: Technology detected"));
    if (currentMode == modeRw && (tag.tagType & TAG_NDEF) && ui->ckbRwAutoReadNdefOnIndication->isChecked()) {
        const NfcApiStatus read = rwRead();
        if (read != 0) traceFormatted(traceError, source, "! Reading NDEF content failed (code: %u)", read);
    } else if (currentMode == modeP2p && ui->ckbP2pSnepAutoTransmit->isChecked()) {
        const NfcApiStatus sent = snepTransmit();
        if (sent != 0) traceFormatted(traceError, source, "! Transmitting SNEP message failed (code: %u)", sent);
    }
    traceFormatted(traceInfo, source, "Exit");
}

void CLumaro::printTagInfo(const TNfcTagInfo& tag) {
    const TTagReport report = tagReport(tag);
    for (const QString& line : report.lines) traceMessage("%s", line.toLocal8Bit().constData());
    ui->ledBitRate->setText(report.bitRate);
    ui->ledDeviceType->setText(report.type);
    if (report.isTag) ui->ledDeviceId->setText(report.id);
}

// A missing picture leaves the label empty.
void CLumaro::iconForTagType(DWORD tagType) {
    ui->lblDeviceImage->setPixmap(transparentPicture(tagPicturePath(tagType)));
    if (tagType & TAG_NDEF) ui->lblDeviceImage2->setPixmap(transparentPicture(tagPicturePath(TAG_NDEF)));
}

void CLumaro::handleNfcTechnologyRemoved() {
    const char* source = WINDOW_SOURCE("handleNfcTechnologyRemoved");
    traceFormatted(traceInfo, source, "Enter");
    disableUi(currentMode);
    clearUi(currentMode);
    currentMode = modeNone;
    setStatus(statusInformation, QStringLiteral("NFC: Technology removed"));
    traceFormatted(traceInfo, source, "Exit");
}

// The tag operations' calls trace their own failures.
CLumaro::Operation CLumaro::tagOperation(const char* source, const QString& statusText) {
    return {.source = source,
            .statusText = statusText,
            .before = [this] { enableTagControls(modeRw, false); },
            .after = [this](NfcApiStatus) { enableTagControls(modeRw, true); }};
}

// A failed check makes the instance report the tag removed.
NfcApiStatus CLumaro::nfcCheckPresence() {
    const char* source = WINDOW_SOURCE("nfcCheckPresence");
    return runOperation(tagOperation(source, QStringLiteral("NFC: Check presence")), [&] {
        if (!(activeModes & modeRw)) {
            traceFormatted(traceError, source, "! RW-mode is not active");
            return NfcApiStatus{1};
        }
        const NfcApiStatus result = nfcInstance->nfcCheckPresence();
        if (result != 0) traceFormatted(traceError, source, "! Checking presence failed (code: %u)", result);
        return result;
    });
}

void CLumaro::on_btnRwNdefCheckTag_clicked() { nfcCheckPresence(); }
void CLumaro::on_btnRwLegacyCheckTag_clicked() { nfcCheckPresence(); }
void CLumaro::on_btnRwMifareStandardCheckTag_clicked() { nfcCheckPresence(); }
