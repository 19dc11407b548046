#include "appfont.h"

#include <QApplication>

QFont lumaroFont() {
    QFont font(QStringLiteral("Liberation Sans Narrow"));
    font.setPointSize(8);
    return font;
}

void useLumaroFont() { QApplication::setFont(lumaroFont()); }
