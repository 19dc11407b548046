#include "lumaroform.h"
#include <QtTest>
class FormTest : public QObject {
    Q_OBJECT
private slots:
    void builds() { QWidget host; Ui_CLumaro ui; ui.setupUi(&host); }
};
QTEST_MAIN(FormTest)
#include "form_test.moc"
