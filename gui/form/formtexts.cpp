#include "formtexts.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QStringList>
#include <QTabWidget>
#include <QTextEdit>
#include <QTreeWidget>

namespace {

QString tr(const char* source) { return QCoreApplication::translate("CLumaro", source); }

void setText(QObject* target, const QString& text) {
    if (auto* label = qobject_cast<QLabel*>(target)) {
        label->setText(text);
    } else if (auto* button = qobject_cast<QAbstractButton*>(target)) {
        button->setText(text);
    } else if (auto* edit = qobject_cast<QLineEdit*>(target)) {
        edit->setText(text);
    } else if (auto* box = qobject_cast<QGroupBox*>(target)) {
        box->setTitle(text);
    }
}

}  // namespace

void CFormTexts::add(QObject* target, Role role, const char* source, int index) {
    entries.push_back({target, role, index, source, nullptr});
}

void CFormTexts::addItems(QObject* combo, const char* const* items, int count) {
    entries.push_back({combo, Role::Items, count, nullptr, items});
}

void CFormTexts::apply() const {
    for (const Entry& e : entries) {
        switch (e.role) {
        case Role::Text: setText(e.target, tr(e.source)); break;
        case Role::ToolTip: static_cast<QWidget*>(e.target)->setToolTip(tr(e.source)); break;
        case Role::Html: static_cast<QTextEdit*>(e.target)->setHtml(tr(e.source)); break;
        case Role::TabText: static_cast<QTabWidget*>(e.target)->setTabText(e.index, tr(e.source)); break;
        case Role::Header: static_cast<QTreeWidget*>(e.target)->headerItem()->setText(e.index, tr(e.source)); break;
        case Role::Items: {
            // Cleared first: fixed items are inserted from index 0 in their listed order.
            auto* combo = static_cast<QComboBox*>(e.target);
            QStringList items;
            for (int i = 0; i < e.index; ++i) items << tr(e.items[i]);
            combo->clear();
            combo->insertItems(0, items);
            break;
        }
        }
    }
}
