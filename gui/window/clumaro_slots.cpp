// The window's slots: the message logs, the SE wake-up, and the features whose window side
// comes later, each of which says so in the user's words.
#include "clumaro.h"

#include "lumaroform.h"
#include "nfcinstance.h"

#include <QByteArray>

#include <algorithm>

#define WINDOW_SOURCE(name) "CLumaro::" name

namespace {

constexpr int kPageLogDashes = 160;
constexpr int kMifareLogDashes = 152;
constexpr DWORD kSeWakeUpCode = 0x110A;

// The features as the user knows them.
constexpr const char* kTagDetection = "Tag detection";
constexpr const char* kNdefRead = "NDEF reading";
constexpr const char* kNdefWrite = "NDEF writing";
constexpr const char* kFormat = "Formatting and erasing";
constexpr const char* kPictures = "Picture records";
constexpr const char* kSnep = "SNEP and NPP";
constexpr const char* kCardEmulation = "Card emulation";

} // namespace

#define NOT_AVAILABLE(slot, feature) notAvailable(WINDOW_SOURCE(#slot), feature)

// ---- Message logs ----

void CLumaro::handleLegacyMessage(QString text) {
    handlePostTrace(traceInfo, text);
    appendToPageLog(ui->tedRwLegacyLog, text, kPageLogDashes);
}

void CLumaro::handleMfMessage(QString text) {
    handlePostTrace(traceInfo, text);
    appendToPageLog(ui->tedRwMifareStandardLog, text, kMifareLogDashes);
}

void CLumaro::handleCeMessage(QString text) {
    handlePostTrace(traceInfo, text);
    appendToPageLog(ui->tedCeLog, text, kPageLogDashes);
}

void CLumaro::handleSeMessage(QString text) {
    handlePostTrace(traceInfo, text);
    appendToPageLog(ui->tedSeLog, text, kPageLogDashes);
}

void CLumaro::handleIoMessage(QString text) {
    handlePostTrace(traceInfo, text);
    appendToPageLog(ui->tedIoLog, text, kPageLogDashes);
}

// No status and no trace: the wake-up's answer is not looked at.
void CLumaro::on_btnSeWakeUp_clicked() {
    if (!nfcInstance) return;
    const BYTE wake = 1;
    nfcInstance->deviceIoControl(kSeWakeUpCode, &wake, 1, nullptr, nullptr);
}

// ---- Features still to come ----

void CLumaro::iconForTagType(DWORD) { NOT_AVAILABLE(iconForTagType, "Tag pictures"); }


// Until the tag report is built, a detected tag is named by its type and UID.
void CLumaro::handleNfcTechnologyDiscovered(TNfcTagInfo* tag) {
    if (tag) {
        const size_t uidLength = std::min<size_t>(tag->uidLength, sizeof tag->uid);
        const QByteArray uid = QByteArray(reinterpret_cast<const char*>(tag->uid), static_cast<qsizetype>(uidLength));
        traceFormatted(traceInfo, WINDOW_SOURCE("handleNfcTechnologyDiscovered"), "Tag detected (type: 0x%08X, UID: %s)",
                       tag->tagType, uid.toHex(' ').toUpper().constData());
    }
    NOT_AVAILABLE(handleNfcTechnologyDiscovered, kTagDetection);
}
void CLumaro::handleNfcTechnologyRemoved() { NOT_AVAILABLE(handleNfcTechnologyRemoved, kTagDetection); }
void CLumaro::on_btnRwNdefCheckTag_clicked() { NOT_AVAILABLE(on_btnRwNdefCheckTag_clicked, kTagDetection); }
void CLumaro::on_btnRwLegacyCheckTag_clicked() { NOT_AVAILABLE(on_btnRwLegacyCheckTag_clicked, kTagDetection); }
void CLumaro::on_btnRwMifareStandardCheckTag_clicked() {
    NOT_AVAILABLE(on_btnRwMifareStandardCheckTag_clicked, kTagDetection);
}

void CLumaro::on_btnRwNdefRead_clicked() { NOT_AVAILABLE(on_btnRwNdefRead_clicked, kNdefRead); }
void CLumaro::on_btnRwNdefWrite_clicked() { NOT_AVAILABLE(on_btnRwNdefWrite_clicked, kNdefWrite); }
void CLumaro::on_btnRwNdefWriteMimeSelectImage_clicked() {
    NOT_AVAILABLE(on_btnRwNdefWriteMimeSelectImage_clicked, kPictures);
}
void CLumaro::on_btnP2pSnepTransmitMimeSelectImage_clicked() {
    NOT_AVAILABLE(on_btnP2pSnepTransmitMimeSelectImage_clicked, kPictures);
}
void CLumaro::on_btnCeNdefModifyMimeSelectImage_clicked() {
    NOT_AVAILABLE(on_btnCeNdefModifyMimeSelectImage_clicked, kPictures);
}
void CLumaro::on_btnRwNdefFormat_clicked() { NOT_AVAILABLE(on_btnRwNdefFormat_clicked, kFormat); }
void CLumaro::on_btnRwNdefErase_clicked() { NOT_AVAILABLE(on_btnRwNdefErase_clicked, kFormat); }
void CLumaro::on_btnRwMifareStandardFormatNdef_clicked() {
    NOT_AVAILABLE(on_btnRwMifareStandardFormatNdef_clicked, kFormat);
}
void CLumaro::on_btnRwMifareStandardErase_clicked() { NOT_AVAILABLE(on_btnRwMifareStandardErase_clicked, kFormat); }
void CLumaro::on_btnRwLegacyFormatNdef_clicked() { NOT_AVAILABLE(on_btnRwLegacyFormatNdef_clicked, kFormat); }
void CLumaro::on_btnRwLegacyErase_clicked() { NOT_AVAILABLE(on_btnRwLegacyErase_clicked, kFormat); }

void CLumaro::on_btnP2pSnepTransmit_clicked() { NOT_AVAILABLE(on_btnP2pSnepTransmit_clicked, kSnep); }
void CLumaro::on_ckbP2pServiceSnepServer_clicked(bool) { NOT_AVAILABLE(on_ckbP2pServiceSnepServer_clicked, kSnep); }
void CLumaro::on_ckbP2pServiceNppServer_clicked(bool) { NOT_AVAILABLE(on_ckbP2pServiceNppServer_clicked, kSnep); }
void CLumaro::handleSnepPut() { NOT_AVAILABLE(handleSnepPut, kSnep); }
void CLumaro::handleSnepDisconnected() { NOT_AVAILABLE(handleSnepDisconnected, kSnep); }
void CLumaro::handleSnepEnded(BYTE, BOOL) { NOT_AVAILABLE(handleSnepEnded, kSnep); }
void CLumaro::handleSnepProgress(BYTE, DWORD) { NOT_AVAILABLE(handleSnepProgress, kSnep); }

void CLumaro::on_btnCeConfigure_clicked() { NOT_AVAILABLE(on_btnCeConfigure_clicked, kCardEmulation); }
void CLumaro::on_btnCeNdefModifySave_clicked() { NOT_AVAILABLE(on_btnCeNdefModifySave_clicked, kCardEmulation); }
void CLumaro::on_btnCeNdefModifyLoad_clicked() { NOT_AVAILABLE(on_btnCeNdefModifyLoad_clicked, kCardEmulation); }


