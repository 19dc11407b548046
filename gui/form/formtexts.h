#pragma once
// Every visible text of the main form, kept once beside the widget it belongs to, so that
// retranslateUi can set all of them again from one table.

#include <QObject>
#include <vector>

class CFormTexts {
public:
    enum class Role { Text, ToolTip, Html, TabText, Header, Items };

    void add(QObject* target, Role role, const char* source, int index = 0);
    void addItems(QObject* combo, const char* const* items, int count);
    // Sets every text through the translation function with the window's class as context.
    void apply() const;

private:
    struct Entry {
        QObject* target;
        Role role;
        int index;  // tab or column number, item count for Items
        const char* source;
        const char* const* items;
    };
    std::vector<Entry> entries;
};
