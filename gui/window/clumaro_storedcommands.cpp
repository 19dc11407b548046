// Named PDUs kept in the settings file, one group per list, shown in a combo whose items carry
// the PDU as their data. The I/O page's list is the first; the legacy and SE lists reuse it.
#include "clumaro.h"

#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QSettings>

#include "lumaroform.h"

namespace {

QString keyOf(const CLumaro::StoredCommandList& list, const QString& description) {
    return QLatin1String(list.group) + QLatin1Char('/') + description;
}

} // namespace

// A separator in a description would make its key a path into other groups: "/" alone
// removed the whole group, and "a/b" was stored where no load looks.
void CLumaro::saveStoredCommand(const StoredCommandList& list) {
    const QString description = list.description->text();
    if (description.isEmpty()) return;
    if (description.contains(QLatin1Char('/')) || description.contains(QLatin1Char('\\'))) {
        QMessageBox::question(
            this, QStringLiteral("Info"),
            QStringLiteral("The description '%1' must not contain '/' or '\\'! Please rename and save again.")
                .arg(description),
            QMessageBox::Ok);
        return;
    }
    if (list.combo->findText(description, Qt::MatchExactly | Qt::MatchCaseSensitive) >= 0) {
        QMessageBox::question(
            this, QStringLiteral("Info"),
            QStringLiteral("The description '%1' is already used! Please rename and save again.").arg(description),
            QMessageBox::Ok);
        return;
    }
    const QString pdu = list.pdu->text();
    if (settings) settings->setValue(keyOf(list, description), pdu);
    list.combo->addItem(description, pdu);
    list.combo->setCurrentIndex(list.combo->count() - 1);
}

void CLumaro::deleteStoredCommand(const StoredCommandList& list) {
    const int index = list.combo->currentIndex();
    if (index < 0) return;
    if (settings) settings->remove(keyOf(list, list.combo->currentText()));
    list.combo->removeItem(index);
}

// The settings' order reversed: the last name returned is listed first and selected.
void CLumaro::loadStoredCommands(const StoredCommandList& list) {
    list.combo->clear();
    settings->beginGroup(QLatin1String(list.group));
    const QStringList names = settings->childKeys();
    settings->endGroup();
    if (names.isEmpty()) return;
    for (const QString& name : names) list.combo->insertItem(0, name, settings->value(keyOf(list, name)).toString());
    list.combo->setCurrentIndex(0);
    showStoredCommand(list, 0);
}

void CLumaro::showStoredCommand(const StoredCommandList& list, int index) {
    if (index < 0) return;
    list.pdu->setText(list.combo->itemData(index).toString());
    list.description->setText(list.combo->itemText(index));
}

CLumaro::StoredCommandList CLumaro::ioCommandList() const {
    return {"IoCommand", ui->cboIoCommand, ui->ledIoPdu, ui->ledIoDescription};
}
