// The main window. Until its pages are built it only says so.
#pragma once

#include <QWidget>

class CLumaro : public QWidget {
    Q_OBJECT
public:
    explicit CLumaro(QWidget* parent = nullptr);
};
