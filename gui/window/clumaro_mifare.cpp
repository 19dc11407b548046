// The MIFARE Classic page: the block spin box shows its sector and place, and the page
// authenticates a sector, reads a block or a sector and writes one block through the instance.
#include "clumaro.h"

#include <QComboBox>
#include <QLabel>
#include <QSpinBox>

#include "lumaroform.h"
#include "mifarelayout.h"
#include "nfcinstance.h"
#include "windowsource.h"

namespace {

constexpr BYTE kKeyA = 0x0A, kKeyB = 0x0B;

} // namespace

void CLumaro::updateRwMifareStandardBlocksSectors(int block) {
    const TMifareLayout layout = mifareLayout(currentTagType, block);
    if (!layout.supported)
        traceFormatted(traceError, WINDOW_SOURCE("updateRwMifareStandardBlocksSectors"),
                       "! Unsupported tag (type: 0x%08X)", currentTagType);
    ui->lblRwMifareStandardSector2->setText(QString::number(layout.sector));
    ui->lblRwMifareStandardBlockOffset2->setText(QString::number(layout.blockInSector));
}

// The operations' own failure lines name no code: the instance has traced its own. The key and
// the data go as hex digits; the instance refuses any other count of them.
namespace {

CLumaro::Operation mifareOperation(CLumaro::Operation operation, const char* failureText, const QString& enterLine) {
    operation.failureText = failureText;
    operation.failureSaysCode = false;
    operation.enterLine = enterLine;
    return operation;
}

} // namespace

BYTE CLumaro::mifareSector() const { return static_cast<BYTE>(ui->lblRwMifareStandardSector2->text().toUInt()); }
BYTE CLumaro::mifareBlock() const { return static_cast<BYTE>(ui->sboRwMifareStandardBlock->value()); }

NfcApiStatus CLumaro::mfAuthenticate(BYTE keyType) {
    const QString statusText = keyType == kKeyA   ? QStringLiteral("RW: AuthenticateA")
                               : keyType == kKeyB ? QStringLiteral("RW: AuthenticateB")
                                                  : QString();
    const QString key = ui->cboRwMifareStandardKey->currentText().remove(QLatin1Char(' '));
    return runOperation(mifareOperation(tagOperation(WINDOW_SOURCE("mfAuthenticate"), statusText),
                                        "! Authenticating to tag failed",
                                        QString::asprintf("Enter (Mifare Standard key type: %X)", keyType)),
                        [&] { return nfcInstance->mfAuthenticate(keyType, mifareSector(), key); });
}

NfcApiStatus CLumaro::mfReadBlock() {
    return runOperation(mifareOperation(tagOperation(WINDOW_SOURCE("mfReadBlock"), QStringLiteral("RW: Read block")),
                                        "! Failed to read block from tag", QString()),
                        [&] { return nfcInstance->mfReadBlock(mifareBlock()); });
}

NfcApiStatus CLumaro::mfReadSector() {
    return runOperation(mifareOperation(tagOperation(WINDOW_SOURCE("mfReadSector"), QStringLiteral("RW: Read block")),
                                        "! Reading sector from tag failed", QString()),
                        [&] { return nfcInstance->mfReadSector(mifareSector()); });
}

NfcApiStatus CLumaro::mfWriteBlock() {
    QString data = ui->cboRwMifareStandardWrite->currentText();
    data.remove(QLatin1Char(' ')).remove(QLatin1String("0x")).remove(QLatin1String("0X"));
    return runOperation(mifareOperation(tagOperation(WINDOW_SOURCE("mfWriteBlock"), QStringLiteral("RW: Write block")),
                                        "! Writing block to tag failed", QString()),
                        [&] { return nfcInstance->mfWriteBlock(mifareBlock(), data); });
}

void CLumaro::on_sboRwMifareStandardBlock_valueChanged(int value) { updateRwMifareStandardBlocksSectors(value); }
void CLumaro::on_btnRwMifareStandardAuthenticateA_clicked() { mfAuthenticate(kKeyA); }
void CLumaro::on_btnRwMifareStandardAuthenticateB_clicked() { mfAuthenticate(kKeyB); }
void CLumaro::on_btnRwMifareStandardReadBlock_clicked() { mfReadBlock(); }
void CLumaro::on_btnRwMifareStandardReadSector_clicked() { mfReadSector(); }
void CLumaro::on_btnRwMifareStandardWrite_clicked() { mfWriteBlock(); }
