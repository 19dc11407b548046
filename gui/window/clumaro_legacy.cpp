// The legacy page: a raw PDU typed as hex text goes to the connected tag, command and answer
// land in the page's log, and PDUs are kept by description in the "LegacyCommand" group.
#include "clumaro.h"

#include <QComboBox>
#include <QLineEdit>

#include "lumaroform.h"
#include "nfcinstance.h"
#include "windowsource.h"

// The instance reads the text as the user typed it: blanks and "0x" go, other text is refused.
NfcApiStatus CLumaro::legacyExchangePdu() {
    const char* source = WINDOW_SOURCE("legacyExchangePdu");
    return runOperation(tagOperation(source, QStringLiteral("RW: Exchange PDU")), [&] {
        const NfcApiStatus result = nfcInstance->legacyExchangePdu(ui->ledRwLegacyPdu->text());
        if (result != 0) traceFormatted(traceError, source, "! Exchanging data failed (code: %u)", result);
        return result;
    });
}

CLumaro::StoredCommandList CLumaro::legacyCommandList() const {
    return {"LegacyCommand", ui->cboRwLegacyCommand, ui->ledRwLegacyPdu, ui->ledRwLegacyDescription, true};
}

void CLumaro::loadLegacyCommands() { loadStoredCommands(legacyCommandList()); }

void CLumaro::on_btnRwLegacyExchangePdu_clicked() { legacyExchangePdu(); }
void CLumaro::on_btnRwLegacySavePdu_clicked() { saveStoredCommand(legacyCommandList()); }
void CLumaro::on_btnRwLegacyDeletePdu_clicked() { deleteStoredCommand(legacyCommandList()); }
void CLumaro::on_cboRwLegacyCommand_currentIndexChanged(int index) { showStoredCommand(legacyCommandList(), index); }
