// The SNEP page: the SNEP, NPP and handover servers offered to a peer, what a peer puts shown in
// the receive tree, and the page's message pushed to the peer by SNEP.
#include "clumaro.h"

#include <QCoreApplication>

#include <memory>

#include "lumaroform.h"
#include "nfcinstance.h"
#include "windowsource.h"

namespace {

constexpr BYTE kSnepClientRole = 1;
constexpr int kP2pPage = 4;
constexpr int kSnepPage = 0;

} // namespace

CLumaro::Operation CLumaro::serverOperation(const char* source, const char* statusText, const char* failureText) {
    return {.source = source,
            .statusText = QLatin1String(statusText),
            .failureText = failureText,
            .failedWithoutInstance = true};
}

NfcApiStatus CLumaro::snepStartServer(WORD miu, const QString& serviceName, BYTE sap) {
    const NfcApiStatus result =
        runOperation(serverOperation(WINDOW_SOURCE("snepStartServer"), "SNEP: Start server", "! Starting SNEP server failed"),
                     [&] { return nfcInstance->snepStartServer(miu, serviceName, sap); });
    if (result == 0) {
        connect(nfcInstance, &CNfcInstance::signalSnepPut, this, &CLumaro::handleSnepPut, Qt::UniqueConnection);
        connect(nfcInstance, &CNfcInstance::signalSnepProgress, this, &CLumaro::handleSnepProgress,
                Qt::UniqueConnection);
        ui->gboP2pSnepReceive->setEnabled(true);
    }
    return result;
}

NfcApiStatus CLumaro::snepStopServer() {
    const NfcApiStatus result =
        runOperation(serverOperation(WINDOW_SOURCE("snepStopServer"), "SNEP: Stop server", "! Closing SNEP server failed"),
                     [&] { return nfcInstance->snepStopServer(); });
    if (result == 0) {
        disconnect(nfcInstance, &CNfcInstance::signalSnepPut, this, &CLumaro::handleSnepPut);
        disconnect(nfcInstance, &CNfcInstance::signalSnepProgress, this, &CLumaro::handleSnepProgress);
        ui->gboP2pSnepReceive->setEnabled(false);
    }
    return result;
}

NfcApiStatus CLumaro::nppStartServer() {
    return runOperation(serverOperation(WINDOW_SOURCE("nppStartServer"), "NPP: Start server", "! Starting NPP server failed"),
                        [&] { return nfcInstance->nppStartServer(); });
}

NfcApiStatus CLumaro::nppStopServer() {
    return runOperation(serverOperation(WINDOW_SOURCE("nppStopServer"), "NPP: Stop server", "! Closing NPP server failed"),
                        [&] { return nfcInstance->nppStopServer(); });
}

NfcApiStatus CLumaro::handoverStopServer() {
    return runOperation(
        serverOperation(WINDOW_SOURCE("handoverStopServer"), "HO: Stop server", "! Closing HO server failed"),
        [&] { return nfcInstance->handoverStopServer(); });
}

// The call only hands the message over; the PUT and its end come later as SNEP signals, whose
// end slot is connected once however many transmissions run.
NfcApiStatus CLumaro::snepTransmit() {
    const char* source = WINDOW_SOURCE("snepTransmit");
    return runOperation({.source = source,
                         .statusText = QStringLiteral("SNEP: Transmit"),
                         .before = switchedOff({ui->btnP2pSnepTransmit}),
                         .after = switchedOn({ui->btnP2pSnepTransmit})},
                        [&] {
                            const NfcApiStatus built = snepBuildNdefMessage(&ndefMessage);
                            if (built != 0) {
                                traceFormatted(traceError, source, "! Building NDEF message failed (code: %u)", built);
                                return built;
                            }
                            connect(nfcInstance, &CNfcInstance::signalSnepEnded, this, &CLumaro::handleSnepEnded,
                                    Qt::UniqueConnection);
                            const NfcApiStatus sent = nfcInstance->snepTransmit(&ndefMessage, snepMiu);
                            if (sent != 0)
                                traceFormatted(traceError, source, "! Transmitting NDEF message failed (code: %u)", sent);
                            return sent;
                        });
}

// A box shows whether its server runs: a start that failed unchecks it, a stop that failed
// leaves it checked.
void CLumaro::on_ckbP2pServiceSnepServer_clicked(bool checked) {
    if (checked ? snepStartServer(snepMiu, QString(), 0) != 0 : snepStopServer() != 0)
        ui->ckbP2pServiceSnepServer->setChecked(!checked && nfcInstance);
}

void CLumaro::on_ckbP2pServiceNppServer_clicked(bool checked) {
    if (checked ? nppStartServer() != 0 : nppStopServer() != 0)
        ui->ckbP2pServiceNppServer->setChecked(!checked && nfcInstance);
}

// The servers run while the P2P listener does: the library serves only an application that
// listens for P2P. The boxes keep their choice for the next start, disabled meanwhile.
void CLumaro::startP2pServers() {
    const char* source = WINDOW_SOURCE("startP2pServers");
    ui->gboP2pService->setEnabled(true);
    if (ui->ckbP2pServiceSnepServer->isChecked() && snepStartServer(snepMiu, QString(), 0) != 0) {
        traceFormatted(traceError, source, "! Starting SNEP server failed");
        ui->ckbP2pServiceSnepServer->setChecked(false);
    }
    if (ui->ckbP2pServiceNppServer->isChecked() && nppStartServer() != 0) {
        traceFormatted(traceError, source, "! Starting NPP server failed");
        ui->ckbP2pServiceNppServer->setChecked(false);
    }
}

void CLumaro::stopP2pServers() {
    ui->gboP2pService->setEnabled(false);
    if (ui->ckbP2pServiceSnepServer->isChecked()) snepStopServer();
    if (ui->ckbP2pServiceNppServer->isChecked()) nppStopServer();
}

void CLumaro::on_btnP2pSnepTransmit_clicked() { snepTransmit(); }

// The message lives only for the display; it is freed on every path.
void CLumaro::handleSnepPut() {
    const char* source = WINDOW_SOURCE("handleSnepPut");
    if (!nfcInstance) {
        traceFormatted(traceError, source, "%s", kNoInstance);
        return;
    }
    const QByteArray data = nfcInstance->snepPutData();
    const bool suppress = ui->ckbP2pSuppressNdefRtdAction->isChecked();
    traceFormatted(traceInfo, source, "Enter (%u bytes)", static_cast<unsigned>(data.size()));
    auto message = std::make_unique<CNdefMessage>();
    const NdefStatus parsed =
        message->ndefParseMessage(reinterpret_cast<const BYTE*>(data.constData()), static_cast<uint32_t>(data.size()));
    if (parsed != NDEF_OK) {
        traceFormatted(traceError, source, "! Parsing NDEF message failed (code: %u)", parsed);
        return;
    }
    printNdefMessage(ui->twtP2pSnepReceive, message.get(), suppress);
    ui->tabInteraction->setCurrentIndex(kP2pPage);
    ui->tabP2p->setCurrentIndex(kSnepPage);
    traceFormatted(traceInfo, source, "Exit");
}

void CLumaro::handleSnepProgress(BYTE client, DWORD bytes) {
    const QString text = client == kSnepClientRole ? QStringLiteral("SNEP: Transmit %1%") : QStringLiteral("SNEP: Receive %1%");
    setStatus(statusDue, text.arg(bytes));
}

void CLumaro::handleSnepEnded(BYTE client, BOOL success) {
    if (client == kSnepClientRole) ui->btnP2pSnepTransmit->setEnabled(true);
    setStatus(success ? statusOk : statusFail,
              client == kSnepClientRole ? QStringLiteral("SNEP: Transmit") : QStringLiteral("SNEP: Receive"));
}

void CLumaro::handleSnepDisconnected() { ui->btnP2pSnepTransmit->setEnabled(true); }
