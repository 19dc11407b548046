// The I/O page: a typed PDU sent to the library's device I/O control, as a PDU or as raw data.
#include "clumaro.h"

#include <QLineEdit>

#include "lumaroform.h"
#include "nfcinstance.h"

namespace {

constexpr DWORD kIoControlPdu = 0x1300;
constexpr DWORD kIoControlRaw = 0x8001;

} // namespace

NfcApiStatus CLumaro::ioSend(const char* source, DWORD code) {
    const QString pdu = ui->ledIoPdu->text();
    return runOperation({.source = source,
                         .statusText = QStringLiteral("I/O: Send PDU"),
                         .failureText = "! I/O-Control failed",
                         .before = switchedOff({ui->btnIoSendPdu, ui->btnIoSendRaw}),
                         .after = switchedOn({ui->btnIoSendPdu, ui->btnIoSendRaw})},
                        [&] { return nfcInstance->ioControl(pdu, code); });
}

NfcApiStatus CLumaro::ioSendPdu() { return ioSend("CLumaro::ioSendPdu", kIoControlPdu); }
NfcApiStatus CLumaro::ioSendRaw() { return ioSend("CLumaro::ioSendRaw", kIoControlRaw); }

void CLumaro::on_btnIoSendPdu_clicked() { ioSendPdu(); }
void CLumaro::on_btnIoSendRaw_clicked() { ioSendRaw(); }
void CLumaro::on_btnIoSavePdu_clicked() { saveStoredCommand(ioCommandList()); }
void CLumaro::on_btnIoDeletePdu_clicked() { deleteStoredCommand(ioCommandList()); }
void CLumaro::on_cboIoCommand_currentIndexChanged(int index) { showStoredCommand(ioCommandList(), index); }
