#include "cnfccapabilitycontainer.h"

#include <QCoreApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSpacerItem>

#include <span>

#include "capabilitycontainertable.h"

namespace {

constexpr int kNamePrefix = 3;   // "led"

QString trCc(const char* text) { return QCoreApplication::translate("CNfcCapabilityContainer", text); }

QString settingsKey(const QLineEdit* edit) {
    return QLatin1String(kCapabilityContainerGroup) + QLatin1Char('/') + edit->objectName().mid(kNamePrefix);
}

QGroupBox* byteGroup(QWidget* parent, const char* objectName, const char* title, const char* layoutName,
                     const char* labelPrefix, std::span<const CapabilityContainerByte> bytes) {
    auto* group = new QGroupBox(trCc(title), parent);
    group->setObjectName(QLatin1String(objectName));
    auto* grid = new QGridLayout(group);
    grid->setObjectName(QLatin1String(layoutName));
    int row = 0;
    for (const CapabilityContainerByte& byte : bytes) {
        const QString position = QStringLiteral("%1").arg(row, 2, 10, QLatin1Char('0'));
        auto* number = new QLabel(QStringLiteral("#") + position + QLatin1Char(':'), group);
        number->setObjectName(QLatin1String(labelPrefix) + position);
        auto* edit = new QLineEdit(QLatin1String(byte.defaultValue), group);
        edit->setObjectName(QStringLiteral("led") + QLatin1String(byte.name));
        edit->setMaxLength(2);
        edit->setMaximumWidth(21);
        auto* label = new QLabel(trCc(byte.label), group);
        label->setObjectName(QStringLiteral("lbl") + QLatin1String(byte.name));
        grid->addWidget(number, row, 0);
        grid->addWidget(edit, row, 1);
        grid->addWidget(label, row, 2);
        ++row;
    }
    grid->addItem(new QSpacerItem(0, 0, QSizePolicy::Minimum, QSizePolicy::Expanding), row, 0);
    return group;
}

} // namespace

CNfcCapabilityContainer::CNfcCapabilityContainer(QWidget* parent, QSettings* settingsObject)
    : QWidget(parent), settings(settingsObject) {
    buildForm();
    if (settings && settings->value(QStringLiteral("CapabilityContainerSet"), false).toBool()) {
        loadSettings();
    } else if (settings) {
        settings->setValue(QStringLiteral("CapabilityContainerSet"), true);
        saveSettings();
    }
    QMetaObject::connectSlotsByName(this);
}

CNfcCapabilityContainer::~CNfcCapabilityContainer() {
    emit signalCeConfigurationFinished();
    settings = nullptr;
}

void CNfcCapabilityContainer::buildForm() {
    setWindowTitle(trCc("Capability container"));
    setWindowIcon(QIcon(QStringLiteral(":/applicationIcon")));
    resize(581, 469);
    auto* grid = new QGridLayout(this);
    grid->setObjectName(QStringLiteral("gridLayout_3"));
    grid->addWidget(byteGroup(this, "gboIso14443AB", "ISO 14443A/B", "gridLayout", "lblIso14443AB", kIso14443Bytes), 0,
                    0, 3, 1);
    grid->addWidget(byteGroup(this, "groupBox_2", "FeliCa", "gridLayout_2", "lblFelica", kFelicaBytes), 0, 1, 3, 1);
    grid->addItem(new QSpacerItem(0, 0, QSizePolicy::Minimum, QSizePolicy::Expanding), 0, 2);
    auto* save = new QPushButton(trCc("Save"), this);
    save->setObjectName(QStringLiteral("btnSave"));
    grid->addWidget(save, 1, 2);
    auto* close = new QPushButton(trCc("Close"), this);
    close->setObjectName(QStringLiteral("btnClose"));
    grid->addWidget(close, 2, 2);
}

// The line edits in storing order: the Type 4 bytes, then the Type 3 bytes.
QList<QLineEdit*> CNfcCapabilityContainer::byteEdits() const {
    QList<QLineEdit*> edits;
    for (std::span<const CapabilityContainerByte> bytes :
         {std::span<const CapabilityContainerByte>(kIso14443Bytes), std::span<const CapabilityContainerByte>(kFelicaBytes)})
        for (const CapabilityContainerByte& byte : bytes)
            edits << findChild<QLineEdit*>(QStringLiteral("led") + QLatin1String(byte.name));
    return edits;
}

void CNfcCapabilityContainer::loadSettings() {
    if (!settings) return;
    for (QLineEdit* edit : byteEdits()) edit->setText(settings->value(settingsKey(edit), QString()).toString());
}

void CNfcCapabilityContainer::saveSettings() {
    if (!settings) return;
    for (const QLineEdit* edit : byteEdits())
        settings->setValue(settingsKey(edit), edit->text().size() == 2 ? edit->text() : QStringLiteral("00"));
}

// Both endings close through the window's own path, which deletes the dialog after this slot.
void CNfcCapabilityContainer::on_btnSave_clicked() {
    saveSettings();
    on_btnClose_clicked();
}

void CNfcCapabilityContainer::on_btnClose_clicked() {
    setAttribute(Qt::WA_DeleteOnClose);
    close();
}
