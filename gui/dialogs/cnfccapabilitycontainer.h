// The capability container dialog: the emulated tags' bytes, one two-digit text each, stored in
// the settings file as typed.
#pragma once

#include <QWidget>

class QLineEdit;
class QSettings;

class CNfcCapabilityContainer : public QWidget {
    Q_OBJECT
public:
    CNfcCapabilityContainer(QWidget* parent, QSettings* settings);
    ~CNfcCapabilityContainer() override;

signals:
    void signalCeConfigurationFinished();

public slots:
    void on_btnSave_clicked();
    void on_btnClose_clicked();

private:
    void buildForm();
    void loadSettings();
    void saveSettings();
    QList<QLineEdit*> byteEdits() const;

    QSettings* settings;
};
