// The window's slots: the message logs, the SE wake-up, and the features whose window side
// comes later, each of which says so in the user's words.
#include "clumaro.h"

#include "lumaroform.h"
#include "nfcinstance.h"

#define WINDOW_SOURCE(name) "CLumaro::" name

namespace {

constexpr int kPageLogDashes = 160;
constexpr int kMifareLogDashes = 152;
constexpr DWORD kSeWakeUpCode = 0x110A;

// The features as the user knows them.
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

NfcApiStatus CLumaro::snepTransmit() {
    NOT_AVAILABLE(snepTransmit, kSnep);
    return 1;
}

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


