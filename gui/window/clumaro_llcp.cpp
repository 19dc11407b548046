// The raw LLCP connections page: two connections, one on SAP 15 and one on SAP 14, each with a
// listener, a client connection, test data, echo, continuous sending and byte counters that live
// only in their labels.
#include "clumaro.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>

#include <memory>

#include "lumaroform.h"
#include "nfcinstance.h"
#include "windowsource.h"

namespace {

constexpr BYTE kFirstSap = 15, kSecondSap = 14;
// The instance takes MIU, window size and transmit size as 16 bits; the spin boxes reach further.
constexpr DWORD kMaxWord = 0xFFFF;

constexpr const char* kReady = "QLabel {background-color: yellow}";
constexpr const char* kFailed = "QLabel {background-color: red}";
constexpr const char* kConnected = "QLabel {background-color: rgba(20, 250, 5, 255)}";
constexpr const char* kNotConnected = "QLabel {background-color: none}";

bool servedSap(BYTE sap) { return sap == kFirstSap || sap == kSecondSap; }

void showLabel(QLabel* label, const char* text, const char* styleSheet) {
    label->setText(QLatin1String(text));
    label->setStyleSheet(QLatin1String(styleSheet));
}

// After a listener's start or stop: on success the button that ran stays off and the other one
// comes on; a failure leaves the button that ran on for another try.
void showListener(QLabel* status, NfcApiStatus result, const char* done, QPushButton* ran, QPushButton* other) {
    showLabel(status, result == 0 ? done : "Listener failed", result == 0 ? kReady : kFailed);
    ran->setEnabled(result != 0);
    if (result == 0) other->setEnabled(true);
}

// A label that holds no number counts from 0.
void addToCounter(QLabel* counter, qulonglong bytes) {
    counter->setText(QString::number(counter->text().toULongLong() + bytes));
}

} // namespace

CLumaro::P2pRow CLumaro::p2pRow(BYTE sap) const {
    if (sap == kFirstSap)
        return {ui->sboP2pMiu1,        ui->sboP2pMaxWindowSize1, ui->btnP2pStartListener1, ui->btnP2pStopListener1,
                ui->lblP2pListenerStatus1, ui->btnP2pConnect1,   ui->btnP2pDisconnect1,    ui->btnP2pTransmit1,
                ui->lblP2pSessionStatus1,  ui->lblP2pRxBytes1,   ui->lblP2pTxBytes1,       ui->ckbP2pEchoServer1,
                ui->ckbContinuous1};
    return {ui->sboP2pMiu2,        ui->sboP2pMaxWindowSize2, ui->btnP2pStartListener2, ui->btnP2pStopListener2,
            ui->lblP2pListenerStatus2, ui->btnP2pConnect2,   ui->btnP2pDisconnect2,    ui->btnP2pTransmit2,
            ui->lblP2pSessionStatus2,  ui->lblP2pRxBytes2,   ui->lblP2pTxBytes2,       ui->ckbP2pEchoServer2,
            ui->ckbContinuous2};
}

// ---- Operations ----

NfcApiStatus CLumaro::p2pStartListener(BYTE sap) {
    const P2pRow row = p2pRow(sap);
    const DWORD miu = static_cast<DWORD>(row.miu->value()), window = static_cast<DWORD>(row.windowSize->value());
    const NfcApiStatus result = runOperation(
        {.source = WINDOW_SOURCE("p2pStartListener"),
         .statusText = QStringLiteral("P2P: Start listener"),
         .enterLine = QString::asprintf("Enter (SAP: %u, MIU: %u, window size: %u)", sap, miu, window),
         .failureText = "! Starting P2P listener failed",
         .before = switchedOff({row.startListener})},
        [&]() -> NfcApiStatus {
            if (miu > kMaxWord || window > kMaxWord) return 1;
            return nfcInstance->p2pStartListener(sap, static_cast<WORD>(window), static_cast<WORD>(miu));
        });
    showListener(row.listenerStatus, result, "Listener ready", row.startListener, row.stopListener);
    return result;
}

NfcApiStatus CLumaro::p2pStopListener(BYTE sap) {
    const P2pRow row = p2pRow(sap);
    const NfcApiStatus result = runOperation({.source = WINDOW_SOURCE("p2pStopListener"),
                                              .statusText = QStringLiteral("P2P: Stop listener"),
                                              .enterLine = QString::asprintf("Enter (SAP: %u)", sap),
                                              .failureText = "! Stopping P2P listener failed",
                                              .failedWithoutInstance = true,
                                              .before = switchedOff({row.stopListener})},
                                             [&] { return nfcInstance->p2pStopListener(sap); });
    showListener(row.listenerStatus, result, "Listener closed", row.stopListener, row.startListener);
    return result;
}

NfcApiStatus CLumaro::p2pConnect(BYTE sap) {
    const P2pRow row = p2pRow(sap);
    const DWORD miu = static_cast<DWORD>(row.miu->value()), window = static_cast<DWORD>(row.windowSize->value());
    const NfcApiStatus result = runOperation(
        {.source = WINDOW_SOURCE("p2pConnect"),
         .statusText = QStringLiteral("P2P: Connect"),
         .enterLine = QString::asprintf("Enter (SAP: %u, MIU: %u, window size: %u)", sap, miu, window),
         .failureText = "! Connecting to P2P server failed",
         .failedWithoutInstance = true,
         .before = switchedOff({row.connect})},
        [&]() -> NfcApiStatus {
            if (miu > kMaxWord || window > kMaxWord) return 1;
            return nfcInstance->p2pConnect(sap, static_cast<WORD>(window), static_cast<WORD>(miu));
        });
    // The session label waits for the established report.
    row.connect->setEnabled(result != 0);
    if (result == 0)
        row.disconnect->setEnabled(true);
    else
        showLabel(row.sessionStatus, "Connect failed", kFailed);
    return result;
}

NfcApiStatus CLumaro::p2pDisconnect(BYTE sap) {
    const P2pRow row = p2pRow(sap);
    const NfcApiStatus result = runOperation({.source = WINDOW_SOURCE("p2pDisconnect"),
                                              .statusText = QStringLiteral("P2P: Disconnect"),
                                              .enterLine = QString::asprintf("Enter (SAP: %u)", sap),
                                              .failureText = "! Disconnecting from other peer failed",
                                              .before = switchedOff({row.disconnect})},
                                             [&] { return nfcInstance->p2pDisconnect(sap); });
    // Enabled again by the next connection.
    row.disconnect->setEnabled(false);
    return result;
}

// No data: the instance generates bytes i mod 256. Either way the instance sends a buffer of its
// own, which the data-sent report hands back to be released.
NfcApiStatus CLumaro::p2pTransmit(BYTE sap, const BYTE* data, DWORD size, QPushButton* button) {
    return runOperation(
        {.source = WINDOW_SOURCE("p2pTransmit"),
         .statusText = QStringLiteral("P2P: Transmit"),
         .enterLine = QString::asprintf("Enter (SAP: %u, data address: %p, size: %u)", sap,
                                        static_cast<const void*>(data), size),
         .failureText = "! Transmitting data failed",
         .before = switchedOff({button}),
         .after = switchedOn({button})},
        [&]() -> NfcApiStatus {
            if (size > kMaxWord) return 1;
            const WORD length = static_cast<WORD>(size);
            return data ? nfcInstance->p2pTransmit(sap, data, length) : nfcInstance->p2pTransmit(sap, length);
        });
}

void CLumaro::on_btnP2pStartListener1_clicked() { p2pStartListener(kFirstSap); }
void CLumaro::on_btnP2pStopListener1_clicked() { p2pStopListener(kFirstSap); }
void CLumaro::on_btnP2pConnect1_clicked() { p2pConnect(kFirstSap); }
void CLumaro::on_btnP2pDisconnect1_clicked() { p2pDisconnect(kFirstSap); }
void CLumaro::on_btnP2pTransmit1_clicked() {
    p2pTransmit(kFirstSap, nullptr, static_cast<DWORD>(ui->sboP2pMiu1->value()), ui->btnP2pTransmit1);
}
void CLumaro::on_btnP2pStartListener2_clicked() { p2pStartListener(kSecondSap); }
void CLumaro::on_btnP2pStopListener2_clicked() { p2pStopListener(kSecondSap); }
void CLumaro::on_btnP2pConnect2_clicked() { p2pConnect(kSecondSap); }
void CLumaro::on_btnP2pDisconnect2_clicked() { p2pDisconnect(kSecondSap); }
void CLumaro::on_btnP2pTransmit2_clicked() {
    p2pTransmit(kSecondSap, nullptr, static_cast<DWORD>(ui->sboP2pMiu2->value()), ui->btnP2pTransmit2);
}

// ---- Reports; each slot owns its record ----

// Only the instance knows which of its connections a record is for.
BYTE CLumaro::p2pRecordSap(const TP2pConnection& record) const {
    return nfcInstance ? nfcInstance->connectionSap(record) : 0;
}

void CLumaro::showP2pConnected(const char* source, TP2pConnection* connection) {
    const std::unique_ptr<TP2pConnection> record(connection);
    traceFormatted(traceInfo, source, "Enter");
    const BYTE sap = record ? p2pRecordSap(*record) : 0;
    if (servedSap(sap)) {
        const P2pRow row = p2pRow(sap);
        showLabel(row.sessionStatus, "Connected", kConnected);
        row.disconnect->setEnabled(true);
        row.connect->setEnabled(false);
        row.transmit->setEnabled(true);
    }
    traceFormatted(traceInfo, source, "Exit");
}

void CLumaro::showP2pEnded(const char* source, TP2pConnection* connection) {
    const std::unique_ptr<TP2pConnection> record(connection);
    traceFormatted(traceInfo, source, "Enter");
    const BYTE sap = record ? p2pRecordSap(*record) : 0;
    int tx = 0, rx = 0;
    if (servedSap(sap)) {
        const P2pRow row = p2pRow(sap);
        showLabel(row.sessionStatus, "Not connected", kNotConnected);
        row.disconnect->setEnabled(false);
        row.connect->setEnabled(true);
        row.transmit->setEnabled(false);
        tx = row.txBytes->text().toInt();
        rx = row.rxBytes->text().toInt();
    } else {
        traceFormatted(traceError, source, "! Unknown SAP");
    }
    traceFormatted(traceInfo, source, "Data transceived in this session (tx: %i, rx: %i)", tx, rx);
    traceFormatted(traceInfo, source, "Exit");
}

void CLumaro::handleP2pConnectionRequested(TP2pConnection* connection) {
    showP2pConnected(WINDOW_SOURCE("handleP2pConnectionRequested"), connection);
}
void CLumaro::handleP2pConnectionEstablished(TP2pConnection* connection) {
    showP2pConnected(WINDOW_SOURCE("handleP2pConnectionEstablished"), connection);
}
void CLumaro::handleP2pConnectionTerminated(TP2pConnection* connection) {
    showP2pEnded(WINDOW_SOURCE("handleP2pConnectionTerminated"), connection);
}
void CLumaro::handleP2pConnectionFailed(TP2pConnection* connection) {
    showP2pEnded(WINDOW_SOURCE("handleP2pConnectionFailed"), connection);
}
void CLumaro::handleP2pConnectionDisconnected(TP2pConnection* connection) {
    showP2pEnded(WINDOW_SOURCE("handleP2pConnectionDisconnected"), connection);
}

// The record points into the instance's last received data, which the next indication replaces:
// the echo sends a copy of the window's own, taken before the transmit lets events run.
void CLumaro::handleP2pDataReceived(TP2pConnection* connection) {
    const char* source = WINDOW_SOURCE("handleP2pDataReceived");
    const std::unique_ptr<TP2pConnection> record(connection);
    if (!record) return;
    if (!nfcInstance) {
        traceFormatted(traceError, source, "%s", kNoInstance);
        return;
    }
    const BYTE sap = p2pRecordSap(*record);
    if (servedSap(sap)) {
        const P2pRow row = p2pRow(sap);
        const WORD length = record->data.data ? record->data.length : 0;
        addToCounter(row.rxBytes, length);
        if (row.echo->isChecked()) {
            const QByteArray echo(reinterpret_cast<const char*>(record->data.data), length);
            const NfcApiStatus status =
                p2pTransmit(sap, reinterpret_cast<const BYTE*>(echo.constData()), length, row.transmit);
            if (status != 0) traceFormatted(traceError, source, "! Echoing data failed (code: %u)", status);
        }
    }
    // The echo's events may have stopped NFC.
    if (nfcInstance) nfcInstance->p2pSendDataResponse(record.get());
}

// The buffer a data-sent record names is always one the instance allocated for a transmission.
void CLumaro::handleP2pDataSent(TP2pConnection* connection) {
    const std::unique_ptr<TP2pConnection> record(connection);
    if (!record) return;
    const BYTE sap = record->data.sourceSap;
    const WORD length = record->data.length;
    delete[] record->data.data;
    record->data.data = nullptr;
    record->data.length = 0;
    if (!servedSap(sap)) return;
    const P2pRow row = p2pRow(sap);
    addToCounter(row.txBytes, length);
    if (!row.continuous->isChecked()) return;
    const NfcApiStatus status = p2pTransmit(sap, nullptr, length, row.transmit);
    if (status != 0)
        traceFormatted(traceError, WINDOW_SOURCE("handleP2pDataSent"), "! Sending continuous data failed (code: %u)",
                       status);
}
