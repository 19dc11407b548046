// The controller configuration dialog: named configuration lines of KEY=value words kept in the
// window's settings file, edited directly or through the controller, bus and port lists and the
// trace flags dialog. The port list shows the serial ports found on opening in bold.
#pragma once

#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "comportfinder.h"

class CNfcTraceFlags;
class QComboBox;
class QLineEdit;
class QPushButton;
class QSettings;

// The dialog's notifier: collects the names found and wakes the waiting dialog at the end.
class CFinder : public IPortCheckerNotifier {
public:
    explicit CFinder(TPortRoots roots = {});
    explicit CFinder(std::unique_ptr<CComportFinder> portFinder);   // a finder with other probes
    int portFound(const std::string& portName) override;
    void searchFinished() override;

    bool start(uint32_t rate) { return finder->start(this, rate); }
    // Waits at most timeoutMs for the end; answers whether it came.
    bool waitForEnd(int timeoutMs);
    QStringList foundPorts();

private:
    std::mutex lock;
    std::condition_variable ended;
    bool finishedFlag = false;
    QStringList names;
    // Last, so that it is destroyed first: its thread, joined then, may still be waking the waiter.
    std::unique_ptr<CComportFinder> finder;
};

// Runs the finder (over roots) and answers the ports it reported within a bounded wait.
QStringList scanSerialPorts(const TPortRoots& roots = {});
QStringList scanSerialPorts(std::unique_ptr<CComportFinder> finder);

class CNfcControllerConfiguration : public QWidget {
    Q_OBJECT
public:
    CNfcControllerConfiguration(QWidget* parent, QSettings* settings);
    ~CNfcControllerConfiguration() override;

    // Where the dialog takes the serial ports it marks; the host's scan unless a test sets another.
    using PortProvider = std::function<QStringList()>;
    static void setPortProvider(PortProvider provider);

    // The line with the list's word rewritten: replaced where it stands, else put in its place
    // among the other words; an empty word removes it.
    enum class Word { ReaderType, IoType, Port };
    static QString composeLine(const QString& line, Word word, const QString& entry);
    static QString withTraceFlags(const QString& line, const QString& nfcFlags, const QString& l1Flags);

signals:
    void signalNfcConfigurationFinished();

public slots:
    void on_btnSave_clicked();
    void on_btnClose_clicked();
    void on_btnDelete_clicked();
    void on_cboController_currentIndexChanged(int index);
    void on_cboBus_currentIndexChanged(int index);
    void on_cboPort_currentIndexChanged(int index);
    void on_cboDescription_currentIndexChanged(int index);
    void on_btnTraceFlags_clicked();
    void enableTraceFlagsButton();
    void editTraceFlags(QString nfcFlags, QString l1Flags);

private:
    void buildForm();
    void fillLists();
    void markFoundPorts(const QStringList& found);
    void composeFromList(QComboBox* list, Word word, int index);
    void showConfiguration(const QString& description);
    void loadConfigurations(const QString& description);
    bool saveConfiguration();   // false when the name is refused
    void deleteConfiguration();
    void storeCurrentIndex();

    QComboBox* cboDescription = nullptr;
    QLineEdit* ledConfiguration = nullptr;
    QComboBox* cboController = nullptr;
    QComboBox* cboBus = nullptr;
    QComboBox* cboPort = nullptr;
    QPushButton* btnTraceFlags = nullptr;
    QSettings* settings;
    QPointer<CNfcTraceFlags> traceFlagsDialog;
};
