#pragma once
// Builds one widget of the form: the widget is born with its object name, stored in its form
// member, and given its texts, limits and layout cell in one chained statement.

#include "formtexts.h"

#include <QAbstractButton>
#include <QBoxLayout>
#include <QGridLayout>
#include <QLineEdit>
#include <QSpacerItem>
#include <QTextEdit>
#include <QWidget>
#include <type_traits>

// A form member to be created, with the object name it must carry (absent: member is null).
template <class T>
struct FormSlot {
    T** member = nullptr;
    const char* name = nullptr;
};
#define FORM_SLOT(m) {&m, #m}

template <class T>
class CFormMake {
public:
    using Policy = QSizePolicy::Policy;

    CFormMake(CFormTexts& texts, T*& member, QWidget* parent, const char* name) : texts(texts), w(new T(parent)) {
        w->setObjectName(name);
        member = w;
    }
    CFormMake(CFormTexts& texts, const FormSlot<T>& slot, QWidget* parent)
        : CFormMake(texts, *slot.member, parent, slot.name) {}

    CFormMake& text(const char* source) { return role(CFormTexts::Role::Text, source); }
    CFormMake& tip(const char* source) { return role(CFormTexts::Role::ToolTip, source); }
    CFormMake& html(const char* source) { return role(CFormTexts::Role::Html, source); }
    template <int N>
    CFormMake& items(const char* const (&list)[N]) {
        texts.addItems(w, list, N);
        return *this;
    }

    CFormMake& min(int width, int height) { w->setMinimumSize(QSize(width, height)); return *this; }
    CFormMake& minWidth(int width) { return min(width, 0); }
    CFormMake& minHeight(int height) { return min(0, height); }
    CFormMake& maxWidth(int width) { w->setMaximumSize(QSize(width, QWIDGETSIZE_MAX)); return *this; }
    CFormMake& fixed(int width, int height) {
        w->setMaximumSize(QSize(width, height));
        return min(width, height);
    }
    // A push button of fixed size never grows or shrinks in its cell.
    CFormMake& fixedButton() { return fixed(71, 31).policy(QSizePolicy::Fixed, QSizePolicy::Fixed); }
    CFormMake& stdButton() { return min(71, 31).maxWidth(71); }
    CFormMake& policy(Policy h, Policy v, int hStretch = 0, int vStretch = 0) {
        QSizePolicy p(h, v);
        p.setHorizontalStretch(hStretch);
        p.setVerticalStretch(vStretch);
        p.setHeightForWidth(w->sizePolicy().hasHeightForWidth());
        w->setSizePolicy(p);
        return *this;
    }

    CFormMake& disabled() { w->setEnabled(false); return *this; }
    CFormMake& checked() {
        static_assert(std::is_base_of_v<QAbstractButton, T>);
        w->setChecked(true);
        return *this;
    }
    // Set before the button is checked, so that no box-wide exclusivity unchecks a sibling.
    CFormMake& notAutoExclusive() {
        w->setAutoExclusive(false);
        return *this;
    }
    CFormMake& readOnly() {
        static_assert(std::is_base_of_v<QLineEdit, T> || std::is_base_of_v<QTextEdit, T>);
        w->setReadOnly(true);
        return *this;
    }

    CFormMake& at(QGridLayout* grid, int row, int column, int rowSpan = 1, int columnSpan = 1) {
        grid->addWidget(w, row, column, rowSpan, columnSpan);
        return *this;
    }
    CFormMake& in(QBoxLayout* box) { box->addWidget(w); return *this; }
    template <class L>
    CFormMake& layout(L*& member, const char* name) {
        member = new L(w);
        member->setObjectName(name);
        return *this;
    }

    T* operator->() const { return w; }
    T* get() const { return w; }

private:
    CFormMake& role(CFormTexts::Role r, const char* source) {
        texts.add(w, r, source);
        return *this;
    }

    CFormTexts& texts;
    T* w;
};

// A layout placed on a widget built before it (the window, a tab page).
template <class L>
L* formLayout(L*& member, QWidget* owner, const char* name) {
    member = new L(owner);
    member->setObjectName(name);
    return member;
}

#define MAKE(m, parent) CFormMake(texts, m, parent, #m)
#define LAYOUT(m) layout(m, #m)
#define ADD_LAYOUT(m, owner) formLayout(m, owner, #m)

// Spacers of the form: the usual ones stretch along their direction only.
inline void formSpacer(QGridLayout* grid, int row, int column, int width, int height, QSizePolicy::Policy h,
                       QSizePolicy::Policy v, int rowSpan = 1, int columnSpan = 1) {
    grid->addItem(new QSpacerItem(width, height, h, v), row, column, rowSpan, columnSpan);
}
inline void vSpacer(QGridLayout* grid, int row, int column, int height = 40, int rowSpan = 1, int columnSpan = 1) {
    formSpacer(grid, row, column, 20, height, QSizePolicy::Minimum, QSizePolicy::Expanding, rowSpan, columnSpan);
}
inline void hSpacer(QGridLayout* grid, int row, int column, int width = 40) {
    formSpacer(grid, row, column, width, 20, QSizePolicy::Expanding, QSizePolicy::Minimum);
}
inline void fixedSpacer(QGridLayout* grid, int row, int column, int width, int height, int rowSpan = 1,
                        int columnSpan = 1) {
    formSpacer(grid, row, column, width, height, QSizePolicy::Fixed, QSizePolicy::Fixed, rowSpan, columnSpan);
}
inline void vSpacer(QBoxLayout* box) {
    box->addItem(new QSpacerItem(20, 40, QSizePolicy::Minimum, QSizePolicy::Expanding));
}
