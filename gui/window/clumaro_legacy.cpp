// The legacy page: a raw PDU typed as hex text goes to the connected tag, command and answer
// land in the page's log, and PDUs are kept by description in the "LegacyCommand" group.
#include "clumaro.h"

#include <QComboBox>
#include <QLineEdit>

#include "lumaroform.h"
#include "nfcinstance.h"

#define WINDOW_SOURCE(name) "CLumaro::" name

NfcApiStatus CLumaro::runRwOperation(const char* source, const QString& statusText, const char* failureText,
                                     const std::function<NfcApiStatus(CNfcInstance&)>& call,
                                     const QString& enterLine) {
    enableTagControls(modeRw, false);
    const NfcApiStatus result = runOperation(source, statusText, {}, failureText, call, enterLine);
    enableTagControls(modeRw, true);
    return result;
}

// The instance reads the text as the user typed it: blanks and "0x" go, other text is refused.
NfcApiStatus CLumaro::legacyExchangePdu() {
    return runRwOperation(WINDOW_SOURCE("legacyExchangePdu"), QStringLiteral("RW: Exchange PDU"),
                          "! Exchanging data failed",
                          [this](CNfcInstance& instance) { return instance.legacyExchangePdu(ui->ledRwLegacyPdu->text()); },
                          QStringLiteral("Enter"));
}

CLumaro::StoredCommandList CLumaro::legacyCommandList() const {
    return {"LegacyCommand", ui->cboRwLegacyCommand, ui->ledRwLegacyPdu, ui->ledRwLegacyDescription, true};
}

void CLumaro::loadLegacyCommands() { loadStoredCommands(legacyCommandList()); }

void CLumaro::on_btnRwLegacyExchangePdu_clicked() { legacyExchangePdu(); }
void CLumaro::on_btnRwLegacySavePdu_clicked() { saveStoredCommand(legacyCommandList()); }
void CLumaro::on_btnRwLegacyDeletePdu_clicked() { deleteStoredCommand(legacyCommandList()); }
void CLumaro::on_cboRwLegacyCommand_currentIndexChanged(int index) { showStoredCommand(legacyCommandList(), index); }
