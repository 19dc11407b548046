#include "clumaro.h"

#include <QLabel>
#include <QVBoxLayout>

CLumaro::CLumaro(QWidget* parent) : QWidget(parent) {
    setWindowTitle(QStringLiteral("Lumaro"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("The main window of Lumaro is not built yet."), this));
}
