// Secure elements in the window on the fake library: routing entries built from the page's
// widgets, the routing widgets per controller, the slot boxes and the SE listener, the
// embedded-SE page, the SE report and notifications, and the stored SE commands.
#include "window_fixture.h"

#include <cstring>

#include "seroutingentry.h"

namespace {

TNfcInfoSE seRecord(BYTE id, NfcSecureHandle handle, WORD capabilities, WORD mode = 0) {
    TNfcInfoSE record{};
    record.id = id;
    record.handle = handle;
    record.capabilities = capabilities;
    record.mode = mode;
    return record;
}

size_t callsNamed(const std::vector<FakeCall>& calls, const char* name) {
    return static_cast<size_t>(
        std::count_if(calls.begin(), calls.end(), [&](const FakeCall& call) { return call.name == name; }));
}

std::vector<uint8_t> bytesOf(const TNfcRoutingEntry& entry) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&entry);
    return std::vector<uint8_t>(bytes, bytes + sizeof entry);
}

} // namespace

class SeTest : public CLumaroTest {
    Q_OBJECT

    // Starts NFC on the fake with these SEs and this vendor name (its whole 16-byte field).
    void startWith(const std::vector<TNfcInfoSE>& elements, const QByteArray& vendor = "Fake") {
        TNfcCapabilityBlock block{};
        block.supportedMask = 0x0076BF07;
        std::memcpy(block.vendorName, vendor.constData(), std::min<size_t>(vendor.size(), sizeof block.vendorName));
        fake().setCapabilities(block);
        fake().setSecureElements(elements);
        writeIni("[ControllerConfiguration]\nSim=READERTYPE=NCI\n");
        createWindow();
        QTest::mouseClick(form()->btnStartNfc, Qt::LeftButton);
        QVERIFY(instanceOf());
    }
    void click(const char* slot) { QVERIFY(QMetaObject::invokeMethod(window.get(), slot)); }
    void clickSlot(int slot, bool checked) {
        QCheckBox* boxes[] = {form()->ckbSeSlot0, form()->ckbSeSlot1, form()->ckbSeSlot2, form()->ckbSeSlot3};
        boxes[slot]->setChecked(checked);
        const QByteArray name = "on_ckbSeSlot" + QByteArray::number(slot) + "_clicked";
        QVERIFY(QMetaObject::invokeMethod(window.get(), name.constData(), Q_ARG(bool, checked)));
    }
    void selectId(QComboBox* combo, const QString& id) {
        if (combo->findText(id) < 0) combo->addItem(id);
        combo->setCurrentText(id);
    }
    std::vector<FakeCall> routingCalls() const {
        std::vector<FakeCall> calls;
        for (const FakeCall& call : callsSinceMark())
            if (call.name == "nfcSecureAddRoutingEntries") calls.push_back(call);
        return calls;
    }

private slots:
    void initTestCase() { startFixture(); }
    void init() { resetFixture(); }
    void cleanup() {
        destroyWindow();
        QVERIFY2(connectionWarnings().isEmpty(), qPrintable(connectionWarnings().join(QLatin1Char('\n'))));
    }

    // ---- The entry from the widgets ----

    void routingEntryFromTheWidgets_data() {
        QTest::addColumn<QString>("id");
        QTest::addColumn<bool>("poll");
        QTest::addColumn<QString>("routing");
        QTest::addColumn<QString>("power");
        QTest::addColumn<QString>("technology");
        QTest::addColumn<QString>("protocol");
        QTest::addColumn<QString>("aid");
        QTest::addColumn<QString>("failure");   // empty: built
        QTest::addColumn<uint>("type");
        QTest::addColumn<uint>("value");
        QTest::addColumn<QByteArray>("aidBytes");
        const QString a = QStringLiteral("ISO 14443A"), b = QStringLiteral("ISO 14443B");
        const QString t = QStringLiteral("Technology"), p = QStringLiteral("Protocol"), aid = QStringLiteral("AID");
        const QString dep = QStringLiteral("NFC DEP");
        const QByteArray none;
        QTest::newRow("technology B") << "3" << false << t << "02" << b << dep << "" << "" << 0u << 1u << none;
        QTest::newRow("protocol NFC DEP") << "3" << false << p << "01" << a << dep << "" << "" << 1u << 5u << none;
        QTest::newRow("poll technology") << "3" << true << t << "01" << a << dep << "" << "" << 0x80u << 0u << none;
        QTest::newRow("poll protocol") << "3" << true << p << "01" << a << dep << "" << "" << 0x81u << 5u << none;
        QTest::newRow("five AID bytes") << "3" << false << aid << "07" << a << dep << "A0 00 00 00 03" << "" << 2u << 0u
                                        << QByteArray::fromHex("A000000003");
        QTest::newRow("sixteen AID bytes") << "3" << false << aid << "01" << a << dep << QString(32, QLatin1Char('f'))
                                           << "" << 2u << 0u << QByteArray(16, char(0xFF));
        QTest::newRow("id 0 has handle 0") << "0" << false << t << "01" << a << dep << "" << "" << 0u << 0u << none;
        const QString tooLong = QStringLiteral("! AID (%1) is not up to 16 bytes of hexadecimal pairs");
        QTest::newRow("seventeen AID bytes") << "3" << false << aid << "01" << a << dep << QString(34, QLatin1Char('1'))
                                             << tooLong.arg(QString(34, QLatin1Char('1'))) << 0u << 0u << none;
        QTest::newRow("odd AID") << "3" << false << aid << "01" << a << dep << "A0 0" << tooLong.arg("A0 0") << 0u << 0u
                                 << none;
        QTest::newRow("non-hex AID") << "3" << false << aid << "01" << a << dep << "A0 0G" << tooLong.arg("A0 0G") << 0u
                                     << 0u << none;
        QTest::newRow("AID in a poll table") << "3" << true << aid << "01" << a << dep << "A0"
                                             << "! Routing type (AID) not recognized" << 0u << 0u << none;
        QTest::newRow("one power character") << "3" << false << t << "F" << a << dep << ""
                                             << "! Conversion of power (F) state failed" << 0u << 0u << none;
        QTest::newRow("power FF") << "3" << false << t << "FF" << a << dep << "" << "! Bad power state" << 0u << 0u
                                  << none;
        QTest::newRow("power ZZ") << "3" << false << t << "ZZ" << a << dep << "" << "! Bad power state" << 0u << 0u
                                  << none;
        QTest::newRow("unknown id") << "9" << false << t << "01" << a << dep << ""
                                    << "! Failed to map SE ID to handle" << 0u << 0u << none;
        QTest::newRow("no id") << "" << false << t << "01" << a << dep << "" << "! No SE ID (0) found" << 0u << 0u
                               << none;
        QTest::newRow("unknown technology") << "3" << false << t << "01" << "NFC-V" << dep << ""
                                            << "! RF technology (NFC-V) not recognized" << 0u << 0u << none;
        QTest::newRow("unknown protocol") << "3" << false << p << "01" << a << "T5T" << ""
                                          << "! RF protocol(T5T) not recognized" << 0u << 0u << none;
        QTest::newRow("unknown routing type") << "3" << false << "Other" << "01" << a << dep << ""
                                              << "! Routing type (Other) not recognized" << 0u << 0u << none;
    }
    void routingEntryFromTheWidgets() {
        QFETCH(QString, id);
        QFETCH(bool, poll);
        QFETCH(QString, routing);
        QFETCH(QString, power);
        QFETCH(QString, technology);
        QFETCH(QString, protocol);
        QFETCH(QString, aid);
        QFETCH(QString, failure);
        QFETCH(uint, type);
        QFETCH(uint, value);
        QFETCH(QByteArray, aidBytes);
        const TSeRoutingResult result =
            buildRoutingEntry({id, poll, routing, power, technology, protocol, aid}, [](BYTE seId, NfcSecureHandle* handle) {
                if (seId != 3) return false;
                *handle = 0x33;
                return true;
            });
        QCOMPARE(result.failure, failure);
        QCOMPARE(result.built, failure.isEmpty());
        if (!result.built) return;
        TNfcRoutingEntry expected{};
        expected.hSecure = id == QLatin1String("3") ? 0x33 : 0;
        expected.type = type;
        expected.powerState = static_cast<BYTE>(power.toUInt(nullptr, 16));
        if (type == 2) {
            expected.aid.length = static_cast<BYTE>(aidBytes.size());
            std::memcpy(expected.aid.bytes, aidBytes.constData(), static_cast<size_t>(aidBytes.size()));
        } else {
            expected.value = value;
        }
        QCOMPARE(bytesOf(result.entry), bytesOf(expected));
    }

    void builtEntryIsDescribedLineByLine() {
        const TSeRoutingResult result = buildRoutingEntry(
            {QStringLiteral("3"), false, QStringLiteral("AID"), QStringLiteral("02"), {}, {}, QStringLiteral("a0 00 01")},
            [](BYTE, NfcSecureHandle* handle) {
                *handle = 0x1234ABCD;
                return true;
            });
        QCOMPARE(result.lines, (QStringList{"SE ID: 3", "SE handle: 0x1234ABCD", "SE flags: 0", "SE power state: 2",
                                            "SE routing type: 2", "SE AID: A00001", "SE AID length: 3"}));
    }

    // ---- Routing widgets per controller ----

    void routingWidgetsFollowTheController_data() {
        QTest::addColumn<int>("elements");
        QTest::addColumn<int>("claimed");   // negative: as many as listed
        QTest::addColumn<QByteArray>("vendor");
        QTest::addColumn<QStringList>("tables");
        QTest::addColumn<QStringList>("ids");
        QTest::newRow("no SE") << 0 << -1 << QByteArray("TOSHIBA") << QStringList{} << QStringList{};
        QTest::newRow("two SEs, TOSHIBA") << 2 << -1 << QByteArray("TOSHIBA") << QStringList{"Listen Mode", "Poll Mode"}
                                          << QStringList{"0", "1", "2"};
        QTest::newRow("a blank after TOSHIBA") << 2 << -1 << QByteArray("TOSHIBA ") << QStringList{"Listen Mode"}
                                               << QStringList{"0", "1", "2"};
        QTest::newRow("TOSHIBA filling the field") << 2 << -1 << QByteArray("TOSHIBATOSHIBA12")
                                                   << QStringList{"Listen Mode"} << QStringList{"0", "1", "2"};
        QTest::newRow("nine claimed, four read") << 4 << 9 << QByteArray("Fake") << QStringList{"Listen Mode"}
                                                 << QStringList{"0", "1", "2", "3", "4"};
    }
    void routingWidgetsFollowTheController() {
        QFETCH(int, elements);
        QFETCH(int, claimed);
        QFETCH(QByteArray, vendor);
        QFETCH(QStringList, tables);
        QFETCH(QStringList, ids);
        std::vector<TNfcInfoSE> list;
        for (int i = 1; i <= elements; ++i) list.push_back(seRecord(static_cast<BYTE>(i), 0x100u + i, 0x1000));
        fake().setClaimedSecureElementCount(claimed);
        startWith(list, vendor);
        QCOMPARE(itemsOf(form()->cboSeRoutingTableType), tables);
        QCOMPARE(itemsOf(form()->cboSeId), ids);
        QCOMPARE(itemsOf(form()->cboSeControlId), ids);
        const bool any = !tables.isEmpty();
        QCOMPARE(itemsOf(form()->cboSePowerState).size(), any ? 7 : 0);
        for (QWidget* widget : std::initializer_list<QWidget*>{form()->cboSeId, form()->cboSeRoutingTableType,
                                                               form()->cboSePowerState, form()->btnSeAddRoutingEntry,
                                                               form()->btnSeDeleteRoutingEntry})
            QCOMPARE(widget->isEnabled(), any);
        const bool wakeUp = tables.contains(QStringLiteral("Poll Mode"));
        QCOMPARE(form()->btnSeWakeUp->isEnabled(), wakeUp);
        QCOMPARE(form()->btnSeWakeUp->isHidden(), !wakeUp);
        QVERIFY(seSlotsMappedOf() <= 4);
        // The routing types follow the table: no AID in a poll-mode table.
        form()->cboSeRoutingTableType->setCurrentText(QStringLiteral("Listen Mode"));
        if (any) QCOMPARE(itemsOf(form()->cboSeRoutingType), (QStringList{"Technology", "Protocol", "AID"}));
        if (wakeUp) {
            form()->cboSeRoutingTableType->setCurrentText(QStringLiteral("Poll Mode"));
            QCOMPARE(itemsOf(form()->cboSeRoutingType), (QStringList{"Technology", "Protocol"}));
        }
    }

    void routingTypeEnablesItsOwnInput() {
        startWith({seRecord(1, 0x11, 0x1000)});
        const struct {
            const char* type;
            bool technology, protocol, aid;
        } rows[] = {{"Protocol", false, true, false}, {"AID", false, false, true}, {"Technology", true, false, false}};
        for (const auto& row : rows) {
            form()->cboSeRoutingType->setCurrentText(QLatin1String(row.type));
            QCOMPARE(form()->cboSeTechnology->isEnabled(), row.technology);
            QCOMPARE(form()->cboSeProtocol->isEnabled(), row.protocol);
            QCOMPARE(form()->ledSeAid->isEnabled(), row.aid);
        }
    }

    // ---- Slots and the SE listener ----

    void theListenerComesWithTheFirstSeAndGoesWithTheLast() {
        startWith({seRecord(1, 0x11, 0x1000), seRecord(2, 0x22, 0x2000)});
        markCalls();
        clickSlot(0, true);
        clickSlot(1, true);
        QCOMPARE(seStartedCountOf(), BYTE{2});
        QCOMPARE(callsNamed(callsSinceMark(), "nfcRegisterListener"), size_t{1});
        QCOMPARE(fake().lastCall("nfcSecureSetMode").arguments.at(1), std::string("34"));   // 0x22
        QCOMPARE(fake().lastCall("nfcSecureSetMode").arguments.at(2), std::string("1"));
        clickSlot(0, false);
        QCOMPARE(callsNamed(callsSinceMark(), "nfcUnregisterListener"), size_t{0});
        clickSlot(1, false);
        QCOMPARE(callsNamed(callsSinceMark(), "nfcUnregisterListener"), size_t{1});
        QCOMPARE(seStartedCountOf(), BYTE{0});
        QVERIFY(!form()->ckbSeSlot0->isChecked() && !form()->ckbSeSlot1->isChecked());
        QVERIFY(form()->gboSeMode->isEnabled());
    }

    void aFailedStartUnchecksAndAFailedStopKeepsTheSeCounted() {
        startWith({seRecord(1, 0x11, 0x1000), seRecord(2, 0x22, 0x1000)});
        fake().setResult("nfcSecureSetMode", 5);
        clickSlot(0, true);
        QVERIFY(!form()->ckbSeSlot0->isChecked());
        QCOMPARE(seStartedCountOf(), BYTE{0});
        QVERIFY(logged(QStringLiteral("CLumaro::seStart: ! Starting SE (slot: 0) failed (code: 5)")));
        fake().setResult("nfcSecureSetMode", 0);
        clickSlot(0, true);
        clickSlot(1, true);
        markCalls();
        fake().setResult("nfcSecureSetMode", 5);
        clickSlot(0, false);
        QVERIFY(form()->ckbSeSlot0->isChecked());
        QCOMPARE(seStartedCountOf(), BYTE{2});
        QVERIFY(logged(QStringLiteral("CLumaro::seStop: ! Stopping SE (slot: 0) failed (code: 5)")));
        fake().setResult("nfcSecureSetMode", 0);
        // The SE that would not stop still runs: stopping the other one keeps the listener.
        clickSlot(1, false);
        QCOMPARE(callsNamed(callsSinceMark(), "nfcUnregisterListener"), size_t{0});
        clickSlot(0, false);
        QCOMPARE(callsNamed(callsSinceMark(), "nfcUnregisterListener"), size_t{1});
    }

    void aFailedRegistrationLeavesTheSlotOffAndUncounted() {
        startWith({seRecord(1, 0x11, 0x1000)});
        fake().setResult("nfcRegisterListener", 7);
        clickSlot(0, true);
        QVERIFY(!form()->ckbSeSlot0->isChecked());
        QCOMPARE(seStartedCountOf(), BYTE{0});
        QVERIFY(logged(QStringLiteral("CLumaro::seStart: ! Registering SE mode for slot 0 failed (code: 7)")));
    }

    void slotsWithoutNfcAnswerOne() {
        createWindow();
        form()->ckbSeSlot0->setChecked(true);
        clickSlot(0, true);
        QVERIFY(!form()->ckbSeSlot0->isChecked());
        QVERIFY(logged(QStringLiteral("CLumaro::seStart: ! NFC instance not found")));
        clickSlot(0, false);
        QVERIFY(logged(QStringLiteral("CLumaro::seStop: ! NFC instance not found")));
    }

    void stoppingNfcStopsEveryCheckedSlot() {
        startWith({seRecord(1, 0x11, 0x1000), seRecord(2, 0x22, 0x1000)});
        clickSlot(1, true);
        markCalls();
        QTest::mouseClick(form()->btnStopNfc, Qt::LeftButton);
        QCOMPARE(callsNamed(callsSinceMark(), "nfcSecureSetMode"), size_t{1});
        QVERIFY(logged(QStringLiteral("CLumaro::nfcStop: SE (slot: 1) deactivated (code: 0)")));
        QVERIFY(!form()->cboSeId->isEnabled());
        QCOMPARE(form()->cboSeId->count(), 0);
    }

    // ---- Embedded-SE page ----

    void openExchangeAndCloseFollowTheButtons() {
        startWith({seRecord(2, 0x22, 0x1000)});
        selectId(form()->cboSeControlId, QStringLiteral("2"));
        click("on_btnSeOpenEse_clicked");
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("SE: Open ESE  OK"));
        QVERIFY(logged(QStringLiteral("CLumaro::seOpenEse: Enter (ID: 2)")));
        QVERIFY(!form()->btnSeOpenEse->isEnabled() && !form()->cboSeControlId->isEnabled());
        QVERIFY(form()->btnSeCloseEse->isEnabled() && form()->btnSeEchoTest->isEnabled() &&
                form()->btnSeExchangePdu->isEnabled());
        fake().queueAnswer("nfcSecureExchangePdu", {0x90, 0x00});
        form()->ledSePdu->setText(QStringLiteral("00 A4 04 00"));
        click("on_btnSeExchangePdu_clicked");
        QCOMPARE(fake().lastCall("nfcSecureExchangePdu").buffer, (std::vector<uint8_t>{0x00, 0xA4, 0x04, 0x00}));
        QCoreApplication::sendPostedEvents();
        QVERIFY(form()->tedSeLog->toPlainText().endsWith(QLatin1Char('\n') + QString(160, QLatin1Char('-'))));
        QVERIFY(form()->btnSeExchangePdu->isEnabled());
        click("on_btnSeCloseEse_clicked");
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("SE: Close ESE  OK"));
        QVERIFY(form()->btnSeOpenEse->isEnabled() && form()->cboSeControlId->isEnabled());
        QVERIFY(!form()->btnSeCloseEse->isEnabled() && !form()->btnSeEchoTest->isEnabled() &&
                !form()->btnSeExchangePdu->isEnabled());
    }

    void aFailedOpenOrAnIdThatIsNoNumberLeavesThePageClosed() {
        startWith({seRecord(2, 0x22, 0x1000)});
        selectId(form()->cboSeControlId, QStringLiteral("2"));
        fake().setResult("nfcSecureOpen", 3);
        click("on_btnSeOpenEse_clicked");
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("SE: Open ESE  FAIL"));
        QVERIFY(logged(QStringLiteral("CLumaro::seOpenEse: ! Opening access to secure element failed (code: 3)")));
        QVERIFY(form()->btnSeOpenEse->isEnabled() && form()->cboSeControlId->isEnabled());
        QVERIFY(!form()->btnSeCloseEse->isEnabled());
        selectId(form()->cboSeControlId, QStringLiteral("x"));
        markCalls();
        click("on_btnSeOpenEse_clicked");
        QVERIFY(logged(QStringLiteral("CLumaro::seOpenEse: ! Failed to convert ID")));
        QCOMPARE(callsNamed(callsSinceMark(), "nfcSecureOpen"), size_t{0});
    }

    void addAndDeleteSendTheirEntries() {
        startWith({seRecord(2, 0x22, 0x1000)});
        form()->cboSeRoutingTableType->setCurrentText(QStringLiteral("Listen Mode"));
        selectId(form()->cboSeId, QStringLiteral("2"));
        form()->cboSeRoutingType->setCurrentText(QStringLiteral("AID"));
        form()->cboSePowerState->setCurrentText(QStringLiteral("03"));
        form()->ledSeAid->setText(QStringLiteral("A0 00 00 00 03"));
        markCalls();
        click("on_btnSeAddRoutingEntry_clicked");
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("SE: Add LMRT  OK"));
        TNfcRoutingEntry expected{};
        expected.hSecure = 0x22;
        expected.type = NFC_ROUTE_AID;
        expected.powerState = 3;
        expected.aid.length = 5;
        std::memcpy(expected.aid.bytes, "\xA0\x00\x00\x00\x03", 5);
        QCOMPARE(routingCalls().size(), size_t{1});
        QCOMPARE(routingCalls()[0].buffer, bytesOf(expected));
        QVERIFY(logged(QStringLiteral("SE AID: A000000003")));

        markCalls();
        click("on_btnSeDeleteRoutingEntry_clicked");
        TNfcRoutingEntry cleared{};
        cleared.hSecure = 0x22;
        QCOMPARE(routingCalls().size(), size_t{1});
        QCOMPARE(routingCalls()[0].buffer, bytesOf(cleared));
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("SE: Delete LMRT  OK"));

        selectId(form()->cboSeId, QStringLiteral("9"));
        markCalls();
        click("on_btnSeDeleteRoutingEntry_clicked");
        QVERIFY(logged(QStringLiteral("CLumaro::seDeleteRoutingEntry: ! Failed to map SE ID (9) to handle")));
        QCOMPARE(routingCalls().size(), size_t{0});
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("SE: Delete LMRT  FAIL"));
    }

    void aRefusedEntryIsNeverSentAndALibraryRefusalIsTraced() {
        startWith({seRecord(2, 0x22, 0x1000)}, "TOSHIBA");
        form()->cboSeRoutingTableType->setCurrentText(QStringLiteral("Poll Mode"));
        selectId(form()->cboSeId, QStringLiteral("2"));
        form()->cboSeRoutingType->setCurrentText(QStringLiteral("Technology"));
        form()->cboSePowerState->addItem(QStringLiteral("FF"));
        form()->cboSePowerState->setCurrentText(QStringLiteral("FF"));
        markCalls();
        click("on_btnSeAddRoutingEntry_clicked");
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("SE: Add PMRT  FAIL"));
        QVERIFY(logged(QStringLiteral("CLumaro::seBuildRoutingEntry: ! Bad power state")));
        QVERIFY(logged(QStringLiteral("CLumaro::seAddRoutingEntry: ! Building routing entry failed")));
        QCOMPARE(routingCalls().size(), size_t{0});
        form()->cboSePowerState->setCurrentText(QStringLiteral("01"));
        fake().setResult("nfcSecureAddRoutingEntries", 9);
        click("on_btnSeAddRoutingEntry_clicked");
        QVERIFY(logged(QStringLiteral("CLumaro::seAddRoutingEntry: ! Adding routing entry failed (code: 9)")));
        QCOMPARE(routingCalls().size(), size_t{1});
        QCOMPARE(routingCalls()[0].buffer.at(4), uint8_t{0x80});
    }

    // ---- The SE report and notifications ----

    void reportNamesTheKindAndProperties_data() {
        QTest::addColumn<int>("capabilities");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("SmartMX") << 0x4003 << "SE ID #2:\tSmartMX)"
                                 << QStringList{"\t\t\tVirtual mode detected", "\t\t\tTechnology is wired"};
        QTest::newRow("UICC, removable") << 0xA001 << "SE ID #2:\tUICC)"
                                         << QStringList{"\t\t\tVirtual mode detected", "\t\t\tTechnology is removable"};
        QTest::newRow("eSE") << 0x1003 << "SE ID #2:\teSE ()"
                             << QStringList{"\t\t\tVirtual mode detected", "\t\t\tTechnology is wired"};
        QTest::newRow("eSE with every property") << 0x10F0 << "SE ID #2:\teSE ( T3 APDU HCI Trans)" << QStringList{};
        QTest::newRow("nothing") << 0 << "SE ID #2:\tUnknown ()" << QStringList{};
    }
    void reportNamesTheKindAndProperties() {
        QFETCH(int, capabilities);
        QFETCH(QString, label);
        QFETCH(QStringList, lines);
        createWindow();
        logViewOf()->clear();
        QCOMPARE(printSecureElement(seRecord(2, 0x22, static_cast<WORD>(capabilities))), label);
        QCOMPARE(logLines(), QStringList{label} + lines);
    }

    void capabilityReportLabelsTheSlotsAndChecksTheEnabledOnes() {
        startWith({seRecord(1, 0x11, 0x1000, 1), seRecord(2, 0x22, 0x2000)});
        QCOMPARE(form()->ckbSeSlot0->text(), QStringLiteral("SE ID #1:\teSE ()"));
        QCOMPARE(form()->ckbSeSlot1->text(), QStringLiteral("SE ID #2:\tUICC)"));
        QVERIFY(form()->ckbSeSlot0->isChecked() && !form()->ckbSeSlot1->isChecked());
        QCOMPARE(seStartedCountOf(), BYTE{1});
        QVERIFY(activeModesOf() & CLumaro::modeSe);
    }

    void notificationsTakeSlotsInTurn() {
        startWith({});
        notifySecureElement(seRecord(12, 0xC, 0x1000, 1));
        notifySecureElement(seRecord(1, 0x1, 0x2000, 1));
        QCOMPARE(form()->ckbSeSlot0->text(), QStringLiteral("SE ID #12:\teSE ()"));
        QCOMPARE(form()->ckbSeSlot1->text(), QStringLiteral("SE ID #1:\tUICC)"));
        notifySecureElement(seRecord(1, 0x1, 0x2000, 0));
        QVERIFY(logged(QStringLiteral("CLumaro::handleSeNotification: ID found on slot 1")));
        QVERIFY(form()->ckbSeSlot0->isChecked() && !form()->ckbSeSlot1->isChecked());
        notifySecureElement(seRecord(3, 0x3, 0x1000));
        notifySecureElement(seRecord(4, 0x4, 0x1000));
        QCOMPARE(seSlotsMappedOf(), DWORD{4});
        notifySecureElement(seRecord(5, 0x5, 0x1000));
        QVERIFY(logged(QStringLiteral("CLumaro::handleSeNotification: No free slot available")));
        QCOMPARE(seSlotsMappedOf(), DWORD{4});
        for (QCheckBox* box : {form()->ckbSeSlot0, form()->ckbSeSlot1, form()->ckbSeSlot2, form()->ckbSeSlot3})
            QVERIFY(!box->text().contains(QLatin1String("#5")));
        QVERIFY(form()->pagEmbeddedSe->isEnabled());
    }

    void aNotificationThroughTheInstanceLabelsItsSlot() {
        fake().setClaimedSecureElementCount(0);
        startWith({seRecord(7, 0x77, 0x1000, 1)});
        deliver(fakeEvent(FakeTarget::Application, nfcEventSecureNotification,
                          TNfcSecureNotification{0x77, NFC_SE_ACTIVATED, 0}));
        // The capability block claims no SE: the instance finds none to report.
        QVERIFY(!form()->ckbSeSlot0->text().contains(QLatin1String("#7")));
        fake().setClaimedSecureElementCount(-1);
        deliver(fakeEvent(FakeTarget::Application, nfcEventSecureNotification,
                          TNfcSecureNotification{0x77, NFC_SE_ACTIVATED, 0}));
        QVERIFY(form()->ckbSeSlot0->text().startsWith(QLatin1String("SE ID #7:")) ||
                form()->ckbSeSlot1->text().startsWith(QLatin1String("SE ID #7:")));
        QCOMPARE(itemsOf(form()->cboSeControlId), (QStringList{"0", "7"}));
    }

    void theListenerFollowsTheStartedCountBothWays() {
        // Registration fails at start: one SE counted as started, but no listener.
        fake().setResult("nfcRegisterListener", 7);
        startWith({seRecord(1, 0x11, 0x1000, 1)});
        QCOMPARE(seStartedCountOf(), BYTE{1});
        QVERIFY(!(activeModesOf() & CLumaro::modeSe));
        fake().setResult("nfcRegisterListener", 0);
        notifySecureElement(seRecord(1, 0x11, 0x1000, 1));
        QVERIFY(logged(QStringLiteral("CLumaro::handleSeNotification: No active SE listener yet")));
        QVERIFY(activeModesOf() & CLumaro::modeSe);
        // Unregistration fails at the last stop: no SE started, the listener still there.
        fake().setResult("nfcUnregisterListener", 7);
        clickSlot(0, false);
        QCOMPARE(seStartedCountOf(), BYTE{0});
        QVERIFY(activeModesOf() & CLumaro::modeSe);
        fake().setResult("nfcUnregisterListener", 0);
        notifySecureElement(seRecord(1, 0x11, 0x1000, 0));
        QVERIFY(logged(QStringLiteral("CLumaro::handleSeNotification: No active SE element but active SE listener")));
        QVERIFY(!(activeModesOf() & CLumaro::modeSe));
    }

    // ---- Stored SE commands ----

    void storedCommandsKeepCaseRefuseDuplicatesAndDeleteOne() {
        createWindow();
        for (const char* description : {"a", "A"}) {
            form()->ledSeDescription->setText(QLatin1String(description));
            form()->ledSePdu->setText(QStringLiteral("00A4"));
            click("on_btnSeSavePdu_clicked");
        }
        QCOMPARE(itemsOf(form()->cboSeCommand), (QStringList{"a", "A"}));
        settingsOf()->sync();
        const QByteArray before = [] {
            QFile file(iniPath());
            file.open(QIODevice::ReadOnly);
            return file.readAll();
        }();
        form()->ledSeDescription->setText(QStringLiteral("a"));
        form()->ledSePdu->setText(QStringLiteral("FFFF"));
        closeNextModalBox();
        click("on_btnSeSavePdu_clicked");
        QCOMPARE(itemsOf(form()->cboSeCommand), (QStringList{"a", "A"}));
        settingsOf()->sync();
        QFile file(iniPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), before);
        form()->cboSeCommand->setCurrentIndex(0);
        click("on_btnSeDeletePdu_clicked");
        settingsOf()->sync();
        QCOMPARE(storedKeys("SeCommand"), QStringList{"A"});
        form()->cboSeCommand->clear();
        click("on_btnSeDeletePdu_clicked");
        settingsOf()->sync();
        QCOMPARE(storedKeys("SeCommand"), QStringList{"A"});
    }

    void storedCommandsLoadInReverseOrder() {
        writeIni("[SeCommand]\nb=0002\na=0001\nc=0003\n");
        createWindow();
        QCOMPARE(itemsOf(form()->cboSeCommand), (QStringList{"c", "b", "a"}));
        QCOMPARE(form()->ledSePdu->text(), QStringLiteral("0003"));
        QCOMPARE(form()->ledSeDescription->text(), QStringLiteral("c"));
        form()->cboSeCommand->setCurrentIndex(2);
        QCOMPARE(form()->ledSePdu->text(), QStringLiteral("0001"));
        QCOMPARE(form()->ledSeDescription->text(), QStringLiteral("a"));
    }
};

QTEST_MAIN(SeTest)
#include "se_test.moc"
