#include "cnfccontrollerconfiguration.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSignalBlocker>

#include <chrono>
#include <vector>

#include "cnfctraceflags.h"
#include "debugout.h"

namespace {

constexpr uint32_t kScanRate = 115200;
constexpr uint32_t kTraceError = 0x8000000;
// The finder gives up on its probes before: reached only when the finder itself cannot go on.
constexpr int kScanWaitMs = 5000;
const QString kGroup = QStringLiteral("ControllerConfiguration");
const QString kCurrentConfiguration = QStringLiteral("CurrentConfiguration");
const QString kNone = QStringLiteral("None");
const QString kTraceNfcKey = QStringLiteral("TRACES.NFC=");
const QString kTraceL1Key = QStringLiteral("TRACES.L1=");

constexpr const char* kControllers[] = {"AS3911", "E2",  "NCF3340", "NCI",      "NCI_BCM",  "NCI_ST21",
                                        "PN532",  "PN544", "ST21NFCA", "ST21NFCB", "TRF7970"};
constexpr const char* kBuses[] = {"I2C", "SERIAL", "SPI", "SPB"};
// Numbered port names: the pattern and its first and last number.
struct PortRange {
    const char* pattern;
    int first;
    int last;
};
constexpr PortRange kPortRanges[] = {
    {"COM%1", 1, 30}, {"/dev/ttyS%1", 0, 4}, {"/dev/ttyUSB%1", 0, 4}, {"/dev/ttyACM%1", 0, 4}, {"/dev/ttyO%1", 0, 4}};

using Word = CNfcControllerConfiguration::Word;

QString keyOf(Word word) {
    switch (word) {
    case Word::ReaderType: return QStringLiteral("READERTYPE=");
    case Word::IoType: return QStringLiteral("IOTYPE=");
    case Word::Port: break;
    }
    return QStringLiteral("PORT=");
}

QString tr8(const char* text) { return QCoreApplication::translate("CNfcControllerConfiguration", text); }

// A word of a line: its first and one-past-last token. A READERTYPE value may carry a remark in
// parentheses after a blank, which belongs to the word.
struct Span {
    qsizetype begin = -1;
    qsizetype end = -1;
    bool found() const { return begin >= 0; }
};

Span findWord(const QStringList& tokens, const QString& key, bool withRemark) {
    for (qsizetype i = 0; i < tokens.size(); ++i) {
        if (!tokens[i].startsWith(key)) continue;
        qsizetype end = i + 1;
        if (withRemark && end < tokens.size() && tokens[end].startsWith(QLatin1Char('('))) {
            qsizetype close = end;
            while (close < tokens.size() && !tokens[close].contains(QLatin1Char(')'))) ++close;
            if (close < tokens.size()) end = close + 1;
        }
        return {i, end};
    }
    return {};
}

Span findWord(const QStringList& tokens, Word word) { return findWord(tokens, keyOf(word), word == Word::ReaderType); }

// The blank-separated words of a line; a quoted value keeps its blanks.
QStringList tokensOf(const QString& line) {
    QStringList tokens;
    QString current;
    bool quoted = false;
    for (const QChar c : line) {
        if (c == QLatin1Char('"')) quoted = !quoted;
        if (c != QLatin1Char(' ') || quoted) {
            current += c;
            continue;
        }
        if (!current.isEmpty()) tokens << current;
        current.clear();
    }
    if (!current.isEmpty()) tokens << current;
    return tokens;
}

// The word with its key, or empty when the line lacks it.
QString parseWord(const QString& line, Word word) {
    const QStringList tokens = tokensOf(line);
    const Span span = findWord(tokens, word);
    return span.found() ? tokens.mid(span.begin, span.end - span.begin).join(QLatin1Char(' ')) : QString();
}

// The words that stand before a word in a line the dialog writes, nearest first.
std::vector<Word> wordsBefore(Word word) {
    switch (word) {
    case Word::ReaderType: break;
    case Word::IoType: return {Word::ReaderType};
    case Word::Port: return {Word::IoType, Word::ReaderType};
    }
    return {};
}

// Where a missing word goes: right after the nearest word that stands before it, else first.
qsizetype insertPosition(const QStringList& tokens, Word word) {
    for (Word previous : wordsBefore(word)) {
        const Span span = findWord(tokens, previous);
        if (span.found()) return span.end;
    }
    return 0;
}

// Replaces the span by the word (none: removes it), or puts a missing word at position.
QString replaceWord(QStringList tokens, Span span, const QString& newWord, qsizetype position) {
    if (span.found()) {
        tokens.remove(span.begin, span.end - span.begin);
        position = span.begin;
    }
    if (!newWord.isEmpty()) tokens.insert(position, newWord);
    return tokens.join(QLatin1Char(' '));
}

QString withWord(const QString& line, const QString& key, const QString& value) {
    const QStringList tokens = tokensOf(line);
    return replaceWord(tokens, findWord(tokens, key, false), key + value, tokens.size());
}

CNfcControllerConfiguration::PortProvider& portProvider() {
    static CNfcControllerConfiguration::PortProvider provider = [] { return scanSerialPorts(); };
    return provider;
}

QPushButton* makeButton(QWidget* parent, const char* name, const char* text) {
    auto* button = new QPushButton(tr8(text), parent);
    button->setObjectName(QLatin1String(name));
    button->setMinimumSize(71, 31);
    button->setMaximumWidth(71);
    return button;
}

QLabel* makeLabel(QWidget* parent, const char* name, const char* text) {
    auto* label = new QLabel(tr8(text), parent);
    label->setObjectName(QLatin1String(name));
    return label;
}

QComboBox* makeList(QWidget* parent, const char* name) {
    auto* list = new QComboBox(parent);
    list->setObjectName(QLatin1String(name));
    return list;
}

} // namespace

// ---- CFinder ------------------------------------------------------------------------------------

CFinder::CFinder(TPortRoots roots) : finder(std::make_unique<CComportFinder>(std::move(roots))) {}

CFinder::CFinder(std::unique_ptr<CComportFinder> portFinder) : finder(std::move(portFinder)) {}

int CFinder::portFound(const std::string& portName) {
    std::lock_guard<std::mutex> guard(lock);
    names << QString::fromStdString(portName);
    return 1;
}

void CFinder::searchFinished() {
    finder->finished();
    std::lock_guard<std::mutex> guard(lock);
    finishedFlag = true;
    ended.notify_all();
}

bool CFinder::waitForEnd(int timeoutMs) {
    std::unique_lock<std::mutex> guard(lock);
    return ended.wait_for(guard, std::chrono::milliseconds(timeoutMs), [this] { return finishedFlag; });
}

QStringList CFinder::foundPorts() {
    std::lock_guard<std::mutex> guard(lock);
    return names;
}

QStringList scanSerialPorts(const TPortRoots& roots) { return scanSerialPorts(std::make_unique<CComportFinder>(roots)); }

// The finder ends within its probe time, so the wait and the finder's destruction are bounded.
QStringList scanSerialPorts(std::unique_ptr<CComportFinder> portFinder) {
    CFinder finder(std::move(portFinder));
    finder.start(kScanRate);
    if (!finder.waitForEnd(kScanWaitMs))
        debugOut(kTraceError, "! %s port scan did not end in time", "CNfcControllerConfiguration");
    return finder.foundPorts();
}

// ---- The dialog ---------------------------------------------------------------------------------

void CNfcControllerConfiguration::setPortProvider(PortProvider provider) {
    portProvider() = provider ? std::move(provider) : [] { return scanSerialPorts(); };
}

CNfcControllerConfiguration::CNfcControllerConfiguration(QWidget* parent, QSettings* settingsObject)
    : QWidget(parent), settings(settingsObject) {
    buildForm();
    const QStringList found = portProvider()();
    fillLists();
    markFoundPorts(found);
    loadConfigurations(QString());
    QMetaObject::connectSlotsByName(this);
}

CNfcControllerConfiguration::~CNfcControllerConfiguration() {
    traceFlagsDialog = nullptr;
    settings = nullptr;
    emit signalNfcConfigurationFinished();
}

void CNfcControllerConfiguration::buildForm() {
    setWindowTitle(tr8("Controller Configuration"));
    setWindowIcon(QIcon(QStringLiteral(":/applicationIcon")));
    resize(1018, 174);
    QFont small = font();
    small.setPointSize(8);
    setFont(small);
    auto* grid = new QGridLayout(this);
    grid->setObjectName(QStringLiteral("gridLayout"));

    cboDescription = makeList(this, "cboDescription");
    cboDescription->setEditable(true);
    cboDescription->setInsertPolicy(QComboBox::InsertAtBottom);
    ledConfiguration = new QLineEdit(this);
    ledConfiguration->setObjectName(QStringLiteral("ledConfiguration"));
    cboController = makeList(this, "cboController");
    cboBus = makeList(this, "cboBus");
    cboPort = makeList(this, "cboPort");
    btnTraceFlags = makeButton(this, "btnTraceFlags", "Trace flags");
    QPushButton* save = makeButton(this, "btnSave", "Save");
    QPushButton* remove = makeButton(this, "btnDelete", "Delete");
    QPushButton* close = makeButton(this, "btnClose", "Close");

    grid->addWidget(makeLabel(this, "lblConfiguration", "Description:"), 0, 0);
    grid->addWidget(cboDescription, 0, 1, 1, 5);
    grid->addWidget(btnTraceFlags, 0, 6);
    grid->addWidget(makeLabel(this, "lblDescription", "Configuration:"), 1, 0);
    grid->addWidget(ledConfiguration, 1, 1, 1, 5);
    grid->addWidget(save, 1, 6);
    grid->addWidget(makeLabel(this, "lblController", "Controller:"), 2, 0);
    grid->addWidget(cboController, 2, 1);
    grid->addWidget(makeLabel(this, "lblBus", "Bus:"), 2, 2);
    grid->addWidget(cboBus, 2, 3);
    grid->addWidget(makeLabel(this, "lblPort", "Port:"), 2, 4);
    grid->addWidget(cboPort, 2, 5);
    grid->addWidget(remove, 2, 6);
    grid->addWidget(close, 3, 6);

    QWidget* previous = cboDescription;
    for (QWidget* next :
         std::initializer_list<QWidget*>{ledConfiguration, cboController, cboBus, cboPort, btnTraceFlags, save, remove, close}) {
        setTabOrder(previous, next);
        previous = next;
    }
}

void CNfcControllerConfiguration::fillLists() {
    cboController->addItem(kNone);
    for (const char* controller : kControllers) cboController->addItem(QLatin1String(controller));
    cboBus->addItem(kNone);
    for (const char* bus : kBuses) cboBus->addItem(QLatin1String(bus));
    cboPort->addItem(kNone);
    for (const PortRange& range : kPortRanges)
        for (int number = range.first; number <= range.last; ++number)
            cboPort->addItem(QString::fromLatin1(range.pattern).arg(number));
}

// A found port the fixed list lacks is added, so that every port found can be chosen.
void CNfcControllerConfiguration::markFoundPorts(const QStringList& found) {
    QFont bold = cboPort->font();
    bold.setWeight(QFont::Bold);
    for (const QString& name : found) {
        int index = cboPort->findText(name, Qt::MatchFixedString);
        if (index < 0) {
            cboPort->addItem(name);
            index = cboPort->count() - 1;
        }
        cboPort->setItemData(index, bold, Qt::FontRole);
    }
}

QString CNfcControllerConfiguration::composeLine(const QString& line, Word word, const QString& entry) {
    const QString newWord = entry.isEmpty() || entry == kNone ? QString() : keyOf(word) + entry;
    const QStringList tokens = tokensOf(line);
    return replaceWord(tokens, findWord(tokens, word), newWord, insertPosition(tokens, word));
}

QString CNfcControllerConfiguration::withTraceFlags(const QString& line, const QString& nfcFlags,
                                                    const QString& l1Flags) {
    return withWord(withWord(line, kTraceNfcKey, nfcFlags), kTraceL1Key, l1Flags);
}

void CNfcControllerConfiguration::composeFromList(QComboBox* list, Word word, int index) {
    if (index < 0) return;
    ledConfiguration->setText(composeLine(ledConfiguration->text(), word, list->itemText(index)));
}

void CNfcControllerConfiguration::on_cboController_currentIndexChanged(int index) {
    composeFromList(cboController, Word::ReaderType, index);
}
void CNfcControllerConfiguration::on_cboBus_currentIndexChanged(int index) {
    composeFromList(cboBus, Word::IoType, index);
}
void CNfcControllerConfiguration::on_cboPort_currentIndexChanged(int index) {
    composeFromList(cboPort, Word::Port, index);
}

// The lists follow the line without rewriting it: a value that no list holds stays in the line
// while its list shows "None".
void CNfcControllerConfiguration::showConfiguration(const QString& description) {
    const QString line = settings ? settings->value(kGroup + QLatin1Char('/') + description).toString() : QString();
    ledConfiguration->setText(line);
    const std::pair<QComboBox*, Word> lists[] = {
        {cboController, Word::ReaderType}, {cboBus, Word::IoType}, {cboPort, Word::Port}};
    for (const auto& [list, word] : lists) {
        const QString value = parseWord(line, word).mid(keyOf(word).size());
        int index = value.isEmpty() ? 0 : list->findText(value, Qt::MatchExactly | Qt::MatchCaseSensitive);
        const QSignalBlocker blocker(list);
        // The configured port is listed whatever its name: "None" would say it has none.
        if (index < 0 && word == Word::Port) {
            list->addItem(value);
            index = list->count() - 1;
        }
        list->setCurrentIndex(index < 0 ? 0 : index);
    }
}

void CNfcControllerConfiguration::storeCurrentIndex() {
    if (settings && cboDescription->currentIndex() >= 0)
        settings->setValue(kCurrentConfiguration, cboDescription->currentIndex());
}

void CNfcControllerConfiguration::on_cboDescription_currentIndexChanged(int index) {
    if (index < 0) return;   // the list is being emptied
    storeCurrentIndex();
    showConfiguration(cboDescription->itemText(index));
}

void CNfcControllerConfiguration::loadConfigurations(const QString& description) {
    if (!settings) return;
    settings->beginGroup(kGroup);
    const QStringList keys = settings->childKeys();
    settings->endGroup();
    int index = description.isEmpty() ? settings->value(kCurrentConfiguration, 0).toInt() : 0;
    {
        const QSignalBlocker blocker(cboDescription);
        cboDescription->clear();
        cboDescription->addItems(keys);
    }
    if (keys.isEmpty()) return;
    if (!description.isEmpty()) index = std::max<int>(0, static_cast<int>(keys.indexOf(description)));
    if (index < 0 || index >= keys.size()) index = 0;
    {
        const QSignalBlocker blocker(cboDescription);
        cboDescription->setCurrentIndex(index);
    }
    on_cboDescription_currentIndexChanged(index);
}

// The settings read a separator in a key as a path into other groups: such a name is refused, or
// it would be stored where no list finds it.
bool CNfcControllerConfiguration::saveConfiguration() {
    const QString description = cboDescription->currentText();
    if (description.isEmpty() || !settings) return true;
    if (description.contains(QLatin1Char('/')) || description.contains(QLatin1Char('\\'))) {
        QMessageBox::information(
            this, QStringLiteral("Info"),
            QStringLiteral("The description '%1' must not contain '/' or '\\'! Please rename and save again.")
                .arg(description));
        return false;
    }
    settings->setValue(kGroup + QLatin1Char('/') + description, ledConfiguration->text());
    loadConfigurations(description);
    return true;
}

// Only a stored configuration is deleted: any other name ("", "/", a typed one) would name the
// whole group, another one, or nothing.
void CNfcControllerConfiguration::deleteConfiguration() {
    const QString description = cboDescription->currentText();
    if (!settings) return;
    settings->beginGroup(kGroup);
    const bool stored = settings->childKeys().contains(description);
    settings->endGroup();
    if (!stored) return;
    {
        const QSignalBlocker blocker(cboDescription);
        cboDescription->removeItem(cboDescription->findText(description, Qt::MatchExactly | Qt::MatchCaseSensitive));
    }
    settings->remove(kGroup + QLatin1Char('/') + description);
    loadConfigurations(QString());
}

// Closing deletes the dialog once control has left this slot; a refused name keeps it open for
// another one.
void CNfcControllerConfiguration::on_btnSave_clicked() {
    if (!saveConfiguration()) return;
    setAttribute(Qt::WA_DeleteOnClose);
    close();
}

void CNfcControllerConfiguration::on_btnClose_clicked() {
    storeCurrentIndex();
    emit signalNfcConfigurationFinished();
    setAttribute(Qt::WA_DeleteOnClose);
    close();
}

void CNfcControllerConfiguration::on_btnDelete_clicked() { deleteConfiguration(); }

void CNfcControllerConfiguration::on_btnTraceFlags_clicked() {
    btnTraceFlags->setEnabled(false);
    auto* dialog = new CNfcTraceFlags(nullptr, settings, 1);
    traceFlagsDialog = dialog;
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &CNfcTraceFlags::signalCloseWithoutSave, this,
            &CNfcControllerConfiguration::enableTraceFlagsButton);
    connect(dialog, &CNfcTraceFlags::signalTraceFlags, this, &CNfcControllerConfiguration::editTraceFlags);
    dialog->setWindowModality(Qt::ApplicationModal);
    dialog->show();
}

void CNfcControllerConfiguration::enableTraceFlagsButton() {
    if (traceFlagsDialog) traceFlagsDialog->disconnect(this);
    btnTraceFlags->setEnabled(true);
}

void CNfcControllerConfiguration::editTraceFlags(QString nfcFlags, QString l1Flags) {
    ledConfiguration->setText(withTraceFlags(ledConfiguration->text(), nfcFlags, l1Flags));
}
