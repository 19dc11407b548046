// Every text a person reads on the main window's form and on the dialogs is whole, in the
// program's font, at the sizes the form gives: each label, button, check box, radio button, tab
// and group title is walked with every tab on its way made current, and a text wider than the
// room its widget draws it in is a failure that names the widget, the text and both widths.
#include <QtTest>

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QStyleOption>
#include <QTabBar>
#include <QTabWidget>
#include <QToolButton>

#include <functional>
#include <memory>

#include "appfont.h"
#include "cnfccapabilitycontainer.h"
#include "cnfccontrollerconfiguration.h"
#include "cnfctraceflags.h"
#include "lumaroform.h"

namespace {

// The form on a bare host of the window's initial size.
class CFormHost : public QWidget {
public:
    CFormHost() {
        ui.setupUi(this);
        resize(1070, 540);
    }
    Ui_CLumaro ui;
};

QString iniPath() { return QCoreApplication::applicationDirPath() + QStringLiteral("/textfit.ini"); }

// The widest line of a text, in the widget's own font.
int widest(const QWidget* w, const QString& text) {
    int width = 0;
    for (const QString& line : text.split(QLatin1Char('\n')))
        width = std::max(width, w->fontMetrics().horizontalAdvance(line));
    return width;
}

struct Cut {
    QString where, text;
    int needed, room;
};

class CFitCheck {
public:
    QList<Cut> cuts;

    void check(QWidget* w) {
        if (auto* label = qobject_cast<QLabel*>(w)) return checkLabel(label);
        if (auto* box = qobject_cast<QCheckBox*>(w)) return checkButton(box, QStyle::SE_CheckBoxContents);
        if (auto* radio = qobject_cast<QRadioButton*>(w)) return checkButton(radio, QStyle::SE_RadioButtonContents);
        if (auto* button = qobject_cast<QPushButton*>(w)) return checkButton(button, QStyle::SE_PushButtonContents);
        if (auto* group = qobject_cast<QGroupBox*>(w)) return checkGroup(group);
        if (auto* bar = qobject_cast<QTabBar*>(w)) return checkTabs(bar);
    }

private:
    void fits(const QWidget* w, const QString& text, int room) {
        const int needed = widest(w, text);
        if (needed > room) cuts.append({w->objectName(), text, needed, room});
    }
    void checkLabel(QLabel* label) {
        if (label->text().isEmpty() || label->wordWrap() || Qt::mightBeRichText(label->text())) return;
        const int indent = label->indent() > 0 ? label->indent() : 0;
        fits(label, label->text(), label->contentsRect().width() - 2 * label->margin() - indent);
    }
    void checkButton(QAbstractButton* button, QStyle::SubElement contents) {
        if (button->text().isEmpty()) return;
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        option.icon = button->icon();
        option.iconSize = button->iconSize();
        const QRect room = button->style()->subElementRect(contents, &option, button);
        const int icon = button->icon().isNull() ? 0 : button->iconSize().width() + 4;
        fits(button, button->text(), room.width() - icon);
    }
    void checkGroup(QGroupBox* group) {
        if (group->title().isEmpty()) return;
        QStyleOptionGroupBox option;
        option.initFrom(group);
        option.text = group->title();
        option.lineWidth = 1;
        option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
        if (group->isCheckable()) option.subControls |= QStyle::SC_GroupBoxCheckBox;
        option.textAlignment = group->alignment();
        const QRect label = group->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, group);
        fits(group, group->title(), group->rect().right() - label.left() + 1);
    }
    // A tab bar that needs its scroll buttons hides tabs; each tab's text has its text rectangle.
    void checkTabs(QTabBar* bar) {
        for (QToolButton* scroll : bar->findChildren<QToolButton*>())
            if (scroll->isVisible()) cuts.append({bar->parentWidget()->objectName(), QStringLiteral("(scrolled tabs)"), 1, 0});
        for (int i = 0; i < bar->count(); ++i) {
            QStyleOptionTab option;
            option.initFrom(bar);
            option.rect = bar->tabRect(i);
            option.text = bar->tabText(i);
            option.shape = bar->shape();
            const QRect text = bar->style()->subElementRect(QStyle::SE_TabBarTabText, &option, bar);
            fits(bar, bar->tabText(i), std::min(text.right(), bar->rect().right()) - text.left() + 1);
        }
    }
};

// The page of a tab widget that w is, or null.
QTabWidget* tabsOwning(QWidget* w) {
    auto* tabs = w->parentWidget() ? qobject_cast<QTabWidget*>(w->parentWidget()->parentWidget()) : nullptr;
    return tabs && tabs->indexOf(w) >= 0 ? tabs : nullptr;
}

// Each widget is checked as it shows: every page on its way is made current and laid out.
QList<Cut> cutTexts(QWidget* top) {
    top->setAttribute(Qt::WA_DontShowOnScreen);
    top->show();
    CFitCheck check;
    for (QWidget* w : top->findChildren<QWidget*>()) {
        for (QWidget* on = w; on && on != top; on = on->parentWidget())
            if (QTabWidget* tabs = tabsOwning(on)) tabs->setCurrentWidget(on);
        QCoreApplication::sendPostedEvents();
        if (w->isVisible()) check.check(w);
    }
    return check.cuts;
}

QString listed(const QList<Cut>& cuts) {
    QStringList lines;
    for (const Cut& cut : cuts)
        lines << QStringLiteral("%1 '%2' needs %3 of %4").arg(cut.where, cut.text).arg(cut.needed).arg(cut.room);
    return lines.join(QLatin1Char('\n'));
}

} // namespace

using TOpen = std::function<QWidget*(QSettings*)>;
Q_DECLARE_METATYPE(TOpen)

class TextFitTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QSettings> settings;

private slots:
    // A machine without the font would draw in a wider one: that is the failure to show.
    void initTestCase() {
        useLumaroFont();
        QCOMPARE(QFontInfo(QApplication::font()).family(), lumaroFont().family());
        CNfcControllerConfiguration::setPortProvider([] { return QStringList(); });
    }
    void init() {
        QFile::remove(iniPath());
        settings = std::make_unique<QSettings>(iniPath(), QSettings::IniFormat);
    }
    void cleanup() { settings.reset(); }

    void everyTextIsWhole_data() {
        QTest::addColumn<TOpen>("open");
        QTest::newRow("main window form") << TOpen([](QSettings*) { return new CFormHost; });
        QTest::newRow("controller configuration") << TOpen(
            [](QSettings* s) { return new CNfcControllerConfiguration(nullptr, s); });
        QTest::newRow("trace flags") << TOpen(
            [](QSettings* s) { return new CNfcTraceFlags(nullptr, s, 0); });
        QTest::newRow("capability container") << TOpen(
            [](QSettings* s) { return new CNfcCapabilityContainer(nullptr, s); });
    }
    void everyTextIsWhole() {
        QFETCH(TOpen, open);
        std::unique_ptr<QWidget> top(open(settings.get()));
        const QList<Cut> cuts = cutTexts(top.get());
        QVERIFY2(cuts.isEmpty(), qPrintable(listed(cuts)));
    }
};

QTEST_MAIN(TextFitTest)
#include "textfit_test.moc"
