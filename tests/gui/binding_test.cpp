// The binding as each folder variant meets it: the fake with every export (result 0), the fake
// without snepGet (result 1) and no library at all (result 2). One source, built once per folder.
#include <QProcess>
#include <QtTest>

#include <dlfcn.h>

#include <iterator>
#include <set>
#include <string>

#include "corvanebinding.h"
#include "debugout.h"
#include "fake_control.h"
#include "nfcinstance.h"
#include "platform.h"

namespace {

#define EXPORT_NAME(name) #name,
constexpr const char* kAllExports[] = {CORVANE_ALL_EXPORTS(EXPORT_NAME)};
#undef EXPORT_NAME

QStringList traces;

int collect(void*, const char* line) {
    traces << QString::fromLatin1(line);
    return 1;
}

int boundSlots() {
    int bound = 0;
#define COUNT_BOUND(name) bound += corvaneSymbolTable.name != nullptr;
    CORVANE_BOUND_EXPORTS(COUNT_BOUND)
#undef COUNT_BOUND
    return bound;
}

std::string libraryPath() { return platExecutableFolder() + kCorvaneLibraryFile; }

bool libraryStillLoaded() {
    void* handle = dlopen(libraryPath().c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle) dlclose(handle);
    return handle != nullptr;
}

bool traced(const QString& text) {
    for (const QString& line : traces)
        if (line.contains(text)) return true;
    return false;
}

} // namespace

class BindingTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        traces.clear();
        debugSetSink(collect, nullptr);
        FakeCorvane::instance().reset();
    }
    void cleanup() { corvaneFreeLibrary(); }

    void loadingGivesTheFolderVariantsResult() {
        QCOMPARE(corvaneLoadLibrary(), uint32_t{EXPECTED_LOAD_RESULT});
        switch (EXPECTED_LOAD_RESULT) {
        case corvaneLoadBound:
            QVERIFY(corvaneSymbolTable.module);
            QCOMPARE(boundSlots(), 106);
            break;
        case corvaneLoadIncomplete:
            QVERIFY(corvaneSymbolTable.module);
            QCOMPARE(boundSlots(), 105);
            QVERIFY(!corvaneSymbolTable.snepGet);
            QVERIFY(traced(QStringLiteral("! unable to import dynamic symbol 'snepGet'")));
            break;
        default:
            QVERIFY(!corvaneSymbolTable.module);
            QCOMPARE(boundSlots(), 0);
            QVERIFY(traced(QStringLiteral("! cannot load <%1>").arg(QString::fromStdString(libraryPath()))));
        }
    }

    void freeingEmptiesEverySlotAndIsSafeTwice() {
        corvaneLoadLibrary();
        corvaneFreeLibrary();
        QVERIFY(!corvaneSymbolTable.module);
        QCOMPARE(boundSlots(), 0);
        QVERIFY(!libraryStillLoaded());
        corvaneFreeLibrary();
        QVERIFY(!corvaneSymbolTable.module);
        QVERIFY(traced(QStringLiteral("corvaneFreeLibrary")));
    }

    void startFailsUnlessEveryExportIsBoundAndLeavesNothingLoaded() {
        if (EXPECTED_LOAD_RESULT == corvaneLoadBound) QSKIP("the full library starts; the instance test covers it");
        for (int attempt = 0; attempt < 2; ++attempt) {   // a failed start leaves a restart possible
            CNfcInstance instance;
            QStringList instanceTraces;
            connect(&instance, &CNfcInstance::signalPostTrace, [&](DWORD, const char*, char* text) {
                instanceTraces << QString::fromLatin1(text);
                delete[] text;
            });
            QCOMPARE(instance.nfcStart(), NfcApiStatus{EXPECTED_LOAD_RESULT});
            QVERIFY(instanceTraces.contains(
                QStringLiteral("! Loading NFC library failed (code: %1)").arg(EXPECTED_LOAD_RESULT)));
            QVERIFY(!corvaneSymbolTable.module);
            QVERIFY(!libraryStillLoaded());
            QVERIFY(FakeCorvane::instance().callNames().empty());
            QCOMPARE(instance.nfcStop(0), NfcApiStatus{nfcStatusOk});
        }
    }

    void theFakeExportsEveryListedName() {
        if (EXPECTED_LOAD_RESULT != corvaneLoadBound) QSKIP("only the full fake holds every export");
        QProcess nm;
        nm.start(QStringLiteral("nm"), {QStringLiteral("-D"), QStringLiteral("--defined-only"),
                                        QString::fromStdString(libraryPath())});
        QVERIFY(nm.waitForFinished(30000));
        std::set<std::string> defined;
        for (const QByteArray& line : nm.readAllStandardOutput().split('\n')) {
            const QList<QByteArray> fields = line.split(' ');
            if (fields.size() == 3 && fields[1] == "T") defined.insert(fields[2].toStdString());
        }
        for (const char* name : kAllExports) QVERIFY2(defined.count(name), name);
        QCOMPARE(defined.size(), std::size(kAllExports));
    }
};

QTEST_MAIN(BindingTest)
#include "binding_test.moc"
