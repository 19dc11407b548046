// Named PDUs kept in the settings file, one group per list, shown in a combo whose items carry
// the PDU as their data. The I/O page's list is the first; the legacy and SE lists reuse it.
#include "clumaro.h"

#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QSettings>

#include <algorithm>

#include "lumaroform.h"

namespace {

QString keyOf(const CLumaro::StoredCommandList& list, const QString& description) {
    return QLatin1String(list.group) + QLatin1Char('/') + description;
}

// The settings read a name of separators alone as the group itself: saving it would store the
// PDU as the group's value, deleting it would remove every stored PDU.
bool namesNoKey(const QString& description) {
    return std::all_of(description.begin(), description.end(),
                       [](QChar c) { return c == QLatin1Char('/') || c == QLatin1Char('\\'); });
}

// The settings remove a key with every key below it ("X" with "X/a"): those are put back.
void removeKeyOnly(QSettings& settings, const QString& key) {
    settings.beginGroup(key);
    const QStringList below = settings.allKeys();
    QList<QVariant> values;
    for (const QString& name : below) values << settings.value(name);
    settings.endGroup();
    settings.remove(key);
    for (qsizetype i = 0; i < below.size(); ++i) settings.setValue(key + QLatin1Char('/') + below[i], values[i]);
}

} // namespace

// In the flat lists a separator in a description would make its key a path into other groups:
// "/" alone removed the whole group, and "a/b" was stored where no load looks. The nested list
// keeps "a/b" and lists it again with allKeys.
void CLumaro::saveStoredCommand(const StoredCommandList& list) {
    const QString description = list.description->text();
    if (list.nested ? namesNoKey(description) : description.isEmpty()) return;
    if (list.nested) {
        if (settings) settings->setValue(keyOf(list, description), list.pdu->text());
        list.combo->insertItem(0, description);
        list.combo->setCurrentIndex(0);
        return;
    }
    if (description.contains(QLatin1Char('/')) || description.contains(QLatin1Char('\\'))) {
        QMessageBox::question(
            this, QStringLiteral("Info"),
            QStringLiteral("The description '%1' must not contain '/' or '\\'! Please rename and save again.")
                .arg(description),
            QMessageBox::StandardButtons(QMessageBox::Ok));
        return;
    }
    if (list.combo->findText(description, Qt::MatchExactly | Qt::MatchCaseSensitive) >= 0) {
        QMessageBox::question(
            this, QStringLiteral("Info"),
            QStringLiteral("The description '%1' is already used! Please rename and save again.").arg(description),
            QMessageBox::StandardButtons(QMessageBox::Ok));
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
    const QString description = list.combo->currentText();
    if (settings && !namesNoKey(description)) removeKeyOnly(*settings, keyOf(list, description));
    list.combo->removeItem(index);
}

// The settings' order reversed: the last name returned is listed first and selected.
void CLumaro::loadStoredCommands(const StoredCommandList& list) {
    list.combo->clear();
    settings->beginGroup(QLatin1String(list.group));
    const QStringList names = list.nested ? settings->allKeys() : settings->childKeys();
    settings->endGroup();
    if (names.isEmpty()) return;
    for (const QString& name : names)
        list.combo->insertItem(0, name, list.nested ? QVariant() : settings->value(keyOf(list, name)));
    list.combo->setCurrentIndex(0);
    showStoredCommand(list, 0);
}

void CLumaro::showStoredCommand(const StoredCommandList& list, int index) {
    if (index < 0) return;
    const QString description = list.combo->itemText(index);
    list.pdu->setText(list.nested ? (settings ? settings->value(keyOf(list, description)).toString() : QString())
                                  : list.combo->itemData(index).toString());
    list.description->setText(description);
}

CLumaro::StoredCommandList CLumaro::ioCommandList() const {
    return {"IoCommand", ui->cboIoCommand, ui->ledIoPdu, ui->ledIoDescription};
}
