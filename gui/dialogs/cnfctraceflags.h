// The trace flags dialog: the library's NFC and L1 trace words as one check box per bit, two
// hexadecimal lines, and named presets in the settings file.
#pragma once

#include <QString>
#include <QWidget>

#include <cstdint>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QSettings;

class CNfcTraceFlags : public QWidget {
    Q_OBJECT
public:
    // Mode 0 serves the main window, mode 1 the controller configuration dialog.
    CNfcTraceFlags(QWidget* parent, QSettings* settings, uint8_t mode);
    ~CNfcTraceFlags() override;

    struct Flag {
        uint32_t bit;
        bool nfcWord;
    };
    Flag flagOfCheckBox(const QCheckBox* box) const;
    QCheckBox* nfcFlagCheckBox(uint32_t bit) const;
    QCheckBox* l1FlagCheckBox(uint32_t bit) const;

signals:
    void signalCloseWithoutSave();
    void signalClose(QString nfcFlags, QString l1Flags);
    void signalTraceFlags(QString nfcFlags, QString l1Flags);

public slots:
    void on_btnClearAll_clicked();
    void on_btnSelectAll_clicked();
    void on_btnSave_clicked();
    void on_btnClose_clicked();
    void on_ledNfcFlags_textEdited(const QString& text);
    void on_ledL1Flags_textEdited(const QString& text);
    void update();
    void on_btnAdjustConfiguration_clicked();
    void on_cboSaveLoadSelection_currentIndexChanged(int index);

private:
    void buildForm();
    void loadFlags(const QString& preset);
    void saveFlags(const QString& preset);
    void setAllCheckBoxes(bool checked);
    void setBoxesFromText(const QString& text, bool nfcWord);
    uint32_t wordOfBoxes(bool nfcWord) const;
    QCheckBox* flagCheckBox(uint32_t bit, bool nfcWord) const;
    bool takeTexts();
    void takeTextsOnClose();

    QLineEdit* ledNfcFlags = nullptr;
    QLineEdit* ledL1Flags = nullptr;
    QComboBox* cboSaveLoadSelection = nullptr;
    QPushButton* btnAdjustConfiguration = nullptr;
    QSettings* settings;
    uint8_t mode;
    QString nfcFlagsText;
    QString l1FlagsText;
};
