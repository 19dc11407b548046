// The SNEP page: the SNEP, NPP and handover servers offered to a peer, what a peer puts shown in
// the receive tree, and the page's message pushed to the peer by SNEP.
#include "clumaro.h"

#include <QCoreApplication>

#include <memory>

#include "lumaroform.h"
#include "nfcinstance.h"

#define WINDOW_SOURCE(name) "CLumaro::" name

namespace {

constexpr BYTE kSnepClientRole = 1;
constexpr int kP2pPage = 4;
constexpr int kSnepPage = 0;

} // namespace

// A server operation writes its failure line also when there is no instance to ask.
NfcApiStatus CLumaro::runServerOperation(const char* source, const char* statusText, const char* failureText,
                                         const std::function<NfcApiStatus(CNfcInstance&)>& call) {
    const NfcApiStatus result = runOperation(source, QLatin1String(statusText), {}, failureText, call);
    if (result != 0 && !nfcInstance) traceFormatted(traceError, source, "%s (code: %u)", failureText, result);
    return result;
}

NfcApiStatus CLumaro::snepStartServer(WORD miu, const QString& serviceName, BYTE sap) {
    const NfcApiStatus result = runServerOperation(
        WINDOW_SOURCE("snepStartServer"), "SNEP: Start server", "! Starting SNEP server failed",
        [&](CNfcInstance& instance) { return instance.snepStartServer(miu, serviceName, sap); });
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
        runServerOperation(WINDOW_SOURCE("snepStopServer"), "SNEP: Stop server", "! Closing SNEP server failed",
                           [](CNfcInstance& instance) { return instance.snepStopServer(); });
    if (result == 0) {
        disconnect(nfcInstance, &CNfcInstance::signalSnepPut, this, &CLumaro::handleSnepPut);
        disconnect(nfcInstance, &CNfcInstance::signalSnepProgress, this, &CLumaro::handleSnepProgress);
        ui->gboP2pSnepReceive->setEnabled(false);
    }
    return result;
}

NfcApiStatus CLumaro::nppStartServer() {
    return runServerOperation(WINDOW_SOURCE("nppStartServer"), "NPP: Start server", "! Starting NPP server failed",
                              [](CNfcInstance& instance) { return instance.nppStartServer(); });
}

NfcApiStatus CLumaro::nppStopServer() {
    return runServerOperation(WINDOW_SOURCE("nppStopServer"), "NPP: Stop server", "! Closing NPP server failed",
                              [](CNfcInstance& instance) { return instance.nppStopServer(); });
}

NfcApiStatus CLumaro::handoverStopServer() {
    return runServerOperation(WINDOW_SOURCE("handoverStopServer"), "HO: Stop server", "! Closing HO server failed",
                              [](CNfcInstance& instance) { return instance.handoverStopServer(); });
}

// The call only hands the message over; the PUT and its end come later as SNEP signals, whose
// end slot is connected once however many transmissions run.
NfcApiStatus CLumaro::snepTransmit() {
    const char* source = WINDOW_SOURCE("snepTransmit");
    return runOperation(source, QStringLiteral("SNEP: Transmit"), {ui->btnP2pSnepTransmit}, nullptr,
                        [&](CNfcInstance& instance) {
                            const NfcApiStatus built = snepBuildNdefMessage(&ndefMessage);
                            if (built != 0) {
                                traceFormatted(traceError, source, "! Building NDEF message failed (code: %u)", built);
                                return built;
                            }
                            connect(&instance, &CNfcInstance::signalSnepEnded, this, &CLumaro::handleSnepEnded,
                                    Qt::UniqueConnection);
                            const NfcApiStatus sent = instance.snepTransmit(&ndefMessage, snepMiu);
                            if (sent != 0)
                                traceFormatted(traceError, source, "! Transmitting NDEF message failed (code: %u)", sent);
                            return sent;
                        });
}

void CLumaro::on_ckbP2pServiceSnepServer_clicked(bool checked) {
    if (checked)
        snepStartServer(snepMiu, QString(), 0);
    else
        snepStopServer();
}

void CLumaro::on_ckbP2pServiceNppServer_clicked(bool checked) {
    if (checked)
        nppStartServer();
    else
        nppStopServer();
}

void CLumaro::on_btnP2pSnepTransmit_clicked() { snepTransmit(); }

// The message lives only for the display; it is freed on every path.
void CLumaro::handleSnepPut() {
    const char* source = WINDOW_SOURCE("handleSnepPut");
    if (!nfcInstance) {
        traceFormatted(traceError, source, "! NFC instance not found");
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
    ui->twtP2pSnepReceive->clear();
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
