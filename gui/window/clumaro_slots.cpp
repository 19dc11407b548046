// The window's slots: the message logs and the SE wake-up.
#include "clumaro.h"

#include "lumaroform.h"
#include "nfcinstance.h"

namespace {

constexpr int kPageLogDashes = 160;
constexpr int kMifareLogDashes = 152;
constexpr DWORD kSeWakeUpCode = 0x110A;

} // namespace

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
