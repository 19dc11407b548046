#include "cnfctraceflags.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSpacerItem>

#include <algorithm>

#include "traceflagtable.h"

namespace {

const QStringList kPresets = {QStringLiteral("Current"), QStringLiteral("Config1"), QStringLiteral("Config2"),
                              QStringLiteral("Config3"), QStringLiteral("Default")};
constexpr int kGroupsPerRow = 5;
constexpr int kNamePrefix = 3;   // "ckb"

QString tr8(const char* text) { return QCoreApplication::translate("CNfcTraceFlags", text); }

QString settingsKey(const QString& preset, const QCheckBox* box) {
    return QStringLiteral("TraceFlags/") + preset + QLatin1Char('/') + box->objectName().mid(kNamePrefix);
}

QString wordText(uint32_t word) {
    return QStringLiteral("0x") + QStringLiteral("%1").arg(word, 8, 16, QLatin1Char('0')).toUpper();
}

// An optional "0x" or "0X" prefix, then hexadecimal digits; anything else is no word.
bool parseWord(const QString& text, uint32_t* word) {
    QString digits = text.trimmed();
    if (digits.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) digits = digits.mid(2);
    bool ok = false;
    const uint value = digits.toUInt(&ok, 16);
    if (ok) *word = value;
    return ok;
}

QString withoutPrefixes(QString text) {
    return text.remove(QStringLiteral("0x")).remove(QStringLiteral("0X"));
}

QPushButton* addButton(QWidget* parent, QBoxLayout* layout, const char* name, const char* text) {
    auto* button = new QPushButton(tr8(text), parent);
    button->setObjectName(QLatin1String(name));
    button->setMinimumSize(71, 31);
    layout->addWidget(button);
    return button;
}

} // namespace

CNfcTraceFlags::CNfcTraceFlags(QWidget* parent, QSettings* settingsObject, uint8_t dialogMode)
    : QWidget(parent), settings(settingsObject), mode(dialogMode) {
    buildForm();
    for (QCheckBox* box : findChildren<QCheckBox*>()) connect(box, &QCheckBox::clicked, this, &CNfcTraceFlags::update);
    if (settings && settings->value(QStringLiteral("TraceFlagsSet"), false).toBool()) {
        loadFlags(kPresets.first());
    } else {
        if (settings) settings->setValue(QStringLiteral("TraceFlagsSet"), true);
        saveFlags(QStringLiteral("Default"));
        saveFlags(QStringLiteral("Current"));
        update();
    }
    btnAdjustConfiguration->setEnabled(mode != 0);
    QMetaObject::connectSlotsByName(this);
}

CNfcTraceFlags::~CNfcTraceFlags() {
    if (mode != 0)
        emit signalCloseWithoutSave();
    else
        emit signalClose(nfcFlagsText, l1FlagsText);
    settings = nullptr;
}

void CNfcTraceFlags::buildForm() {
    setWindowTitle(tr8("Trace flags"));
    setWindowIcon(QIcon(QStringLiteral(":/applicationIcon")));
    resize(814, 520);
    QFont small = font();
    small.setPointSize(8);
    setFont(small);
    auto* grid = new QGridLayout(this);
    grid->setObjectName(QStringLiteral("gridLayout"));
    int entry = 0;
    int column = 0;
    for (const TraceFlagGroup& group : kTraceFlagGroups) {
        auto* box = new QGroupBox(tr8(group.title), this);
        box->setObjectName(QLatin1String(group.objectName));
        int width = 152;
        for (int row = 0; row < group.count; ++row, ++entry) {
            const TraceFlagEntry& flag = kTraceFlagTable[entry];
            auto* check = new QCheckBox(tr8(flag.text), box);
            check->setObjectName(QStringLiteral("ckb") + QLatin1String(flag.name));
            check->setChecked(flag.checkedByDefault);
            check->setGeometry(11, 24 + 24 * row, check->sizeHint().width(), 18);
            width = std::max(width, 11 + check->width() + 11);   // a translated text is never cut
        }
        box->setMinimumSize(width, 173);
        grid->addWidget(box, column / kGroupsPerRow, column % kGroupsPerRow);
        ++column;
    }
    grid->addItem(new QSpacerItem(0, 0, QSizePolicy::Expanding, QSizePolicy::Minimum), 0, kGroupsPerRow);

    auto* manual = new QGroupBox(tr8("Manual Input"), this);
    manual->setObjectName(QStringLiteral("groupBox"));
    auto* manualGrid = new QGridLayout(manual);
    manualGrid->setObjectName(QStringLiteral("gridLayout_2"));
    auto addLine = [&](const char* label, const char* labelText, const char* line, int at) {
        auto* caption = new QLabel(tr8(labelText), manual);
        caption->setObjectName(QLatin1String(label));
        auto* edit = new QLineEdit(manual);
        edit->setObjectName(QLatin1String(line));
        edit->setMaxLength(10);
        manualGrid->addWidget(caption, 0, at);
        manualGrid->addWidget(edit, 0, at + 1);
        manualGrid->addItem(new QSpacerItem(0, 0, QSizePolicy::Expanding, QSizePolicy::Minimum), 0, at + 2);
        return edit;
    };
    ledNfcFlags = addLine("lblNfcFlags", "NFC flags:", "ledNfcFlags", 0);
    ledL1Flags = addLine("lblL1Flags", "L1 flags:", "ledL1Flags", 3);
    grid->addWidget(manual, 2, 0, 1, kGroupsPerRow);

    auto* control = new QGroupBox(tr8("Control"), this);
    control->setObjectName(QStringLiteral("gboTraceFlagsControl"));
    auto* row = new QHBoxLayout(control);
    row->setObjectName(QStringLiteral("horizontalLayout_2"));
    QPushButton* clearAll = addButton(control, row, "btnClearAll", "Clear all");
    QPushButton* selectAll = addButton(control, row, "btnSelectAll", "Select all");
    row->addStretch();
    cboSaveLoadSelection = new QComboBox(control);
    cboSaveLoadSelection->setObjectName(QStringLiteral("cboSaveLoadSelection"));
    cboSaveLoadSelection->addItems(kPresets);
    row->addWidget(cboSaveLoadSelection);
    QPushButton* save = addButton(control, row, "btnSave", "Save");
    btnAdjustConfiguration = addButton(control, row, "btnAdjustConfiguration", "Adjust Conf");
    btnAdjustConfiguration->setEnabled(false);
    QPushButton* close = addButton(control, row, "btnClose", "Close");
    grid->addWidget(control, 3, 0, 1, kGroupsPerRow);
    grid->addItem(new QSpacerItem(0, 0, QSizePolicy::Minimum, QSizePolicy::Expanding), 4, 0);

    QWidget* previous = ledNfcFlags;
    for (QWidget* next : std::initializer_list<QWidget*>{ledL1Flags, clearAll, selectAll, cboSaveLoadSelection, save,
                                                         btnAdjustConfiguration, close}) {
        setTabOrder(previous, next);
        previous = next;
    }
    for (QCheckBox* box : findChildren<QCheckBox*>()) {
        setTabOrder(previous, box);
        previous = box;
    }
}

CNfcTraceFlags::Flag CNfcTraceFlags::flagOfCheckBox(const QCheckBox* box) const {
    const QString name = box->objectName().mid(kNamePrefix);
    for (const TraceFlagEntry& flag : kTraceFlagTable)
        if (name == QLatin1String(flag.name)) return {flag.bit, flag.nfcWord};
    return {0, false};
}

QCheckBox* CNfcTraceFlags::flagCheckBox(uint32_t bit, bool nfcWord) const {
    for (const TraceFlagEntry& flag : kTraceFlagTable)
        if (flag.bit == bit && flag.nfcWord == nfcWord)
            return findChild<QCheckBox*>(QStringLiteral("ckb") + QLatin1String(flag.name));
    return nullptr;
}

QCheckBox* CNfcTraceFlags::nfcFlagCheckBox(uint32_t bit) const { return flagCheckBox(bit, true); }
QCheckBox* CNfcTraceFlags::l1FlagCheckBox(uint32_t bit) const { return flagCheckBox(bit, false); }

uint32_t CNfcTraceFlags::wordOfBoxes(bool nfcWord) const {
    uint32_t word = 0;
    for (const QCheckBox* box : findChildren<QCheckBox*>()) {
        const Flag flag = flagOfCheckBox(box);
        if (box->isChecked() && flag.bit != 0 && flag.nfcWord == nfcWord) word |= flag.bit;
    }
    return word;
}

void CNfcTraceFlags::update() {
    ledNfcFlags->setText(wordText(wordOfBoxes(true)));
    ledL1Flags->setText(wordText(wordOfBoxes(false)));
}

void CNfcTraceFlags::setBoxesFromText(const QString& text, bool nfcWord) {
    uint32_t word = 0;
    if (!parseWord(text, &word)) return;
    for (const TraceFlagEntry& flag : kTraceFlagTable)
        if (flag.nfcWord == nfcWord) flagCheckBox(flag.bit, nfcWord)->setChecked((word & flag.bit) != 0);
}

void CNfcTraceFlags::on_ledNfcFlags_textEdited(const QString& text) { setBoxesFromText(text, true); }
void CNfcTraceFlags::on_ledL1Flags_textEdited(const QString& text) { setBoxesFromText(text, false); }

void CNfcTraceFlags::setAllCheckBoxes(bool checked) {
    for (QCheckBox* box : findChildren<QCheckBox*>()) box->setChecked(checked);
}

void CNfcTraceFlags::on_btnClearAll_clicked() {
    setAllCheckBoxes(false);
    update();
}

void CNfcTraceFlags::on_btnSelectAll_clicked() {
    setAllCheckBoxes(true);
    update();
}

void CNfcTraceFlags::loadFlags(const QString& preset) {
    for (QCheckBox* box : findChildren<QCheckBox*>())
        box->setChecked(settings && settings->value(settingsKey(preset, box), false).toBool());
    update();
}

void CNfcTraceFlags::saveFlags(const QString& preset) {
    if (!settings) return;
    for (const QCheckBox* box : findChildren<QCheckBox*>()) settings->setValue(settingsKey(preset, box), box->isChecked());
}

// One line empty hands out nothing new: a half-given pair of words is no choice.
bool CNfcTraceFlags::takeTexts() {
    if (ledNfcFlags->text().isEmpty() || ledL1Flags->text().isEmpty()) return false;
    nfcFlagsText = withoutPrefixes(ledNfcFlags->text());
    l1FlagsText = withoutPrefixes(ledL1Flags->text());
    return true;
}

// The window applies what Close hands out while "Current" stores the boxes: a line that is no
// word hands out the boxes' word, so the running library and the stored preset agree.
void CNfcTraceFlags::takeTextsOnClose() {
    auto handed = [this](const QLineEdit* line, bool nfcWord) {
        uint32_t word = 0;
        if (parseWord(line->text(), &word)) return withoutPrefixes(line->text());
        return wordText(wordOfBoxes(nfcWord)).mid(2);
    };
    nfcFlagsText = handed(ledNfcFlags, true);
    l1FlagsText = handed(ledL1Flags, false);
}

void CNfcTraceFlags::on_btnSave_clicked() {
    takeTexts();
    saveFlags(cboSaveLoadSelection->currentText());
}

// Closing through the window's own path deletes the dialog once control has left this slot.
void CNfcTraceFlags::on_btnClose_clicked() {
    takeTextsOnClose();
    if (mode == 0) {
        saveFlags(QStringLiteral("Current"));
        saveFlags(cboSaveLoadSelection->currentText());
    }
    setAttribute(Qt::WA_DeleteOnClose);
    close();
}

void CNfcTraceFlags::on_btnAdjustConfiguration_clicked() {
    if (takeTexts()) emit signalTraceFlags(nfcFlagsText, l1FlagsText);
}

void CNfcTraceFlags::on_cboSaveLoadSelection_currentIndexChanged(int index) {
    if (index >= 0) loadFlags(cboSaveLoadSelection->itemText(index));
}
