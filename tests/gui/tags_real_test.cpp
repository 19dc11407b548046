// The real window on the real libCorvane.so and the simulated NCI controller on a pseudo-terminal,
// a Type 2 tag holding a Text: the tag is reported and its message shown, a composed URI is
// written and read back, the model's memory (decoded by the test's own reader) holds exactly the
// built bytes, a format renews the listener and the tag is reported again, the presence check
// passes, and the tag leaving clears the device box.
#include "window_fixture.h"

#include <QDir>
#include <QTreeWidget>

#include "nci/nci_simulator.h"
#include "tags/ndef_image.h"
#include "tags/t2t_tag.h"

namespace {

constexpr int kBoundedMs = 10000;   // reached only when something is broken
using simtags::Bytes;

const Bytes kText = {0xD1, 0x01, 0x08, 0x54, 0x02, 'e', 'n', 'H', 'e', 'l', 'l', 'o'};

} // namespace

class TagsRealTest : public CLumaroTest {
    Q_OBJECT

    std::unique_ptr<ncisim::NciSimulator> sim;
    std::shared_ptr<simtags::T2tTag> tag;

    int linesWith(const QString& text) const { return static_cast<int>(logLines().filter(text).size()); }
    bool callOnSim(const std::function<void()>& fn) {
        return sim->call([&](ncisim::Controller&) { fn(); });
    }
    // Not taken where the window is never repainted.
    void screenshot(const char* name) {
#ifdef __SANITIZE_THREAD__
        Q_UNUSED(name);
        return;
#endif
        QDir().mkpath(QStringLiteral(LUMARO_SCREENS));
        QVERIFY(window->grab().save(QStringLiteral(LUMARO_SCREENS "/%1.png").arg(QLatin1String(name))));
    }

private slots:
    void initTestCase() { startFixture(); }
    void cleanup() {
        destroyWindow();
        removeIni();
        sim.reset();
    }

    void aType2TagIsReportedReadWrittenAndFormatted() {
        sim = std::make_unique<ncisim::NciSimulator>();
        QVERIFY(sim->ok());
        tag = simtags::T2tTag::make(simtags::T2tTag::Chip::Ultralight, true);
        const Bytes tlv = simtags::ndefTlv(kText);
        std::copy(tlv.begin(), tlv.end(), tag->memory.begin() + 16);

        writeIni("[ControllerConfiguration]\nSim=READERTYPE=NCI IOTYPE=SERIAL PORT=" +
                 QByteArray::fromStdString(sim->portPath()) + "\n");
        createWindow();
        // Qt paints a window this large on pooled threads that ThreadSanitizer cannot follow: there
        // it is shown for the editors' visibility only, never repainted.
#ifdef __SANITIZE_THREAD__
        window->setUpdatesEnabled(false);
#endif
        window->show();
        QTest::mouseClick(form()->btnStartNfc, Qt::LeftButton);
        QVERIFY2(instanceOf(), qPrintable(logLines().join(QLatin1Char('\n'))));
        for (QCheckBox* box : {form()->ckbRwIso14443B, form()->ckbRwIso15693, form()->ckbRwFelica212,
                               form()->ckbRwFelica424, form()->ckbRwInnovisionJewel, form()->ckbRwKovioBarcode})
            box->setChecked(false);
        for (QCheckBox* box : {form()->ckbRwIso14443A, form()->ckbRwCheckNdef, form()->ckbRwPresenceCheck,
                               form()->ckbRwAutoReadNdefOnIndication})
            box->setChecked(true);
        QTest::mouseClick(form()->btnRwStart, Qt::LeftButton);
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("RW: Start  OK"));

        sim->rf().enter(tag);
        QTRY_VERIFY_WITH_TIMEOUT(form()->twtRwNdefRead->topLevelItemCount() == 1, kBoundedMs);
        QStringList uid;
        for (uint8_t byte : tag->a.nfcid1) uid << QStringLiteral("%1").arg(byte, 2, 16, QLatin1Char('0')).toUpper();
        for (const QString& line : {QStringLiteral("Tag detected"), QStringLiteral("\tIdentifier:\tMIFARE Ultralight (Type 2)"),
                                    QStringLiteral("\tUID length:\t7"), QStringLiteral("\tUID:\t") + uid.join(QLatin1Char(':')),
                                    QStringLiteral("NDEF detected:"), QStringLiteral("\tCurrent size:\t12")})
            QVERIFY2(logged(line), qPrintable(line));
        QCOMPARE(form()->ledDeviceType->text(), QStringLiteral("MIFARE Ultralight (Type 2)"));
        QCOMPARE(form()->ledDeviceId->text(), uid.join(QLatin1Char(':')));
        QVERIFY(!form()->lblDeviceImage->pixmap().isNull());
        QVERIFY(!form()->lblDeviceImage2->pixmap().isNull());
        QTreeWidgetItem* text = form()->twtRwNdefRead->topLevelItem(0);
        QCOMPARE(text->text(3) + text->text(4) + text->text(5), QStringLiteral("TenHello"));
        screenshot("tag-read");

        form()->tabRwNdefWrite->setCurrentWidget(form()->pagRwNdefWriteRtdUri);
        form()->cboRwNdefWriteRtdUriPrefix->setCurrentText(QStringLiteral("https://"));
        form()->ledRwNdefWriteRtdUriUri->setText(QStringLiteral("example.org"));
        QVERIFY(QMetaObject::invokeMethod(window.get(), "on_btnRwNdefWrite_clicked"));
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("RW: Write NDEF  OK"));
        const Bytes uri = {0xD1, 0x01, 0x0C, 0x55, 0x04, 'e', 'x', 'a', 'm', 'p', 'l', 'e', '.', 'o', 'r', 'g'};
        QCOMPARE(form()->ledNdefSize->text(), QStringLiteral("%1 of 46").arg(uri.size()));
        Bytes memory;
        QVERIFY(callOnSim([&] { memory = tag->memory; }));
        QCOMPARE(simtags::ndefMessage(Bytes(memory.begin() + 16, memory.end())), std::optional<Bytes>(uri));
        QVERIFY(QMetaObject::invokeMethod(window.get(), "on_btnRwNdefRead_clicked"));
        QCOMPARE(form()->twtRwNdefRead->topLevelItemCount(), 1);
        QTreeWidgetItem* read = form()->twtRwNdefRead->topLevelItem(0);
        QCOMPARE(read->text(3) + read->text(4) + read->text(5), QStringLiteral("Uhttps://example.org"));
        screenshot("tag-written");

        const int reported = linesWith(QStringLiteral("Tag detected"));
        QVERIFY(QMetaObject::invokeMethod(window.get(), "on_btnRwNdefFormat_clicked"));
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("RW: Format NDEF  OK"));
        QTRY_VERIFY_WITH_TIMEOUT(linesWith(QStringLiteral("Tag detected")) > reported, kBoundedMs);

        QVERIFY(QMetaObject::invokeMethod(window.get(), "on_btnRwNdefCheckTag_clicked"));
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("NFC: Check presence  OK"));

        sim->rf().leave(tag);
        QTRY_VERIFY_WITH_TIMEOUT(form()->ledDeviceType->text().isEmpty(), kBoundedMs);
        QVERIFY(form()->ledDeviceId->text().isEmpty());
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("NFC: Technology removed"));
        QTest::mouseClick(form()->btnStopNfc, Qt::LeftButton);
        QVERIFY(!instanceOf());
    }
};

QTEST_MAIN(TagsRealTest)
#include "tags_real_test.moc"
