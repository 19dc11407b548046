// Secure elements: the four slot boxes that switch the controller's SEs on and off, their labels
// from the library's reports, the embedded-SE page (open, exchange, echo, close), the routing
// table entries and the stored SE commands.
#include "clumaro.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QLineEdit>

#include <cstring>

#include "lumaroform.h"
#include "nfcinstance.h"
#include "seroutingentry.h"
#include "windowsource.h"

namespace {

constexpr char kToshiba[] = "TOSHIBA";
constexpr const char* kPowerStates[] = {"01", "02", "03", "04", "05", "06", "07"};

struct SeFlagText {
    WORD bit;
    const char* text;
};
// The SE's kind: the first bit that is set names it.
constexpr SeFlagText kSeKinds[] = {{0x4000, "SE ID #%1:\tSmartMX"}, {0x2000, "SE ID #%1:\tUICC"}, {0x1000, "SE ID #%1:\teSE ("}};
constexpr const char* kUnknownKind = "SE ID #%1:\tUnknown (";
constexpr SeFlagText kSeProperties[] = {{0x40, " T3"}, {0x10, " APDU"}, {0x20, " HCI"}, {0x80, " Trans"}};
constexpr SeFlagText kSeModes[] = {
    {0x1, "\t\t\tVirtual mode detected"}, {0x2, "\t\t\tTechnology is wired"}, {0x8000, "\t\t\tTechnology is removable"}};

// The token a slot box's label starts with for that SE: "#1" alone would also match "#12".
QString slotToken(BYTE id) { return QStringLiteral("SE ID #%1:").arg(id); }

// The SE descriptors of a capability block: at most the four it has room for, null ones skipped.
template <typename Visit>
void forEachSecureElement(const TNfcCapabilityBlock& block, Visit visit) {
    const int count = std::min<int>(block.secureElementCount, NFC_MAX_SECURE_ELEMENTS);
    for (int i = 0; i < count; ++i)
        if (block.secureElements[i]) visit(i, *block.secureElements[i]);
}

bool vendorIs(const TNfcCapabilityBlock& block, const char* name) {
    return strnlen(block.vendorName, sizeof block.vendorName) == std::strlen(name) &&
           std::memcmp(block.vendorName, name, std::strlen(name)) == 0;
}

} // namespace

// ---- Slots ----

void CLumaro::on_ckbSeSlot0_clicked(bool checked) { checked ? seStart(0) : seStop(0); }
void CLumaro::on_ckbSeSlot1_clicked(bool checked) { checked ? seStart(1) : seStop(1); }
void CLumaro::on_ckbSeSlot2_clicked(bool checked) { checked ? seStart(2) : seStop(2); }
void CLumaro::on_ckbSeSlot3_clicked(bool checked) { checked ? seStart(3) : seStop(3); }

// Both switches share their steps: the slot remembered, the mode box off while the library
// works, no instance or no box for the slot refused with 1; the status label stays as it is.
NfcApiStatus CLumaro::seSlotOperation(const char* source, int slot, const QString& enterLine,
                                      const std::function<NfcApiStatus(QCheckBox&)>& call) {
    seSlot = static_cast<BYTE>(slot);
    QCheckBox* box = slot >= 0 && slot < CNfcInstance::kSecureElementSlots ? seSlotBox(slot) : nullptr;
    return runOperation({.source = source,
                         .enterLine = enterLine,
                         .before = switchedOff({ui->gboSeMode}),
                         .after = switchedOn({ui->gboSeMode})},
                        [&]() -> NfcApiStatus {
                            if (box) return call(*box);
                            traceFormatted(traceError, source, "! Mapping SE slot to UI failed");
                            return 1;
                        });
}

// Without an instance the box the user just checked is unchecked again.
NfcApiStatus CLumaro::seStart(int slot) {
    const char* source = WINDOW_SOURCE("seStart");
    if (!nfcInstance && slot >= 0 && slot < CNfcInstance::kSecureElementSlots) seSlotBox(slot)->setChecked(false);
    return seSlotOperation(source, slot, QStringLiteral("Enter"), [&](QCheckBox& box) {
        NfcApiStatus result = nfcInstance->seStart(static_cast<BYTE>(slot));
        if (result != 0) {
            traceFormatted(traceError, source, "! Starting SE (slot: %u) failed (code: %u)", slot, result);
            box.setChecked(false);
        } else if (seStartedCount == 0 && (result = nfcRegisterListener(modeSe)) != 0) {
            traceFormatted(traceError, source, "! Registering SE mode for slot %u failed (code: %u)", slot, result);
            box.setChecked(false);
        } else {
            ++seStartedCount;
        }
        return result;
    });
}

// The count goes down, and the listener with the last SE, only once the library has stopped
// the SE: a failed stop keeps the SE running and counted, so stopping another slot later does
// not unregister the listener under it.
NfcApiStatus CLumaro::seStop(int slot) {
    const char* source = WINDOW_SOURCE("seStop");
    const QString enterLine = QString::asprintf("Enter (activted SE's %d", seStartedCount);
    return seSlotOperation(source, slot, enterLine, [&](QCheckBox& checkBox) {
        const NfcApiStatus stopped = nfcInstance->seStop(static_cast<BYTE>(slot));
        if (stopped != 0) {
            traceFormatted(traceError, source, "! Stopping SE (slot: %u) failed (code: %u)", slot, stopped);
            checkBox.setChecked(true);
            return stopped;
        }
        checkBox.setChecked(false);
        if (seStartedCount > 0) --seStartedCount;
        if (seStartedCount == 0 && (activeModes & modeSe)) {
            const NfcApiStatus unregistered = nfcUnregisterListener(modeSe);
            if (unregistered != 0)
                traceFormatted(traceError, source, "! Unregistering SE listener failed (code: %u)", unregistered);
        }
        return stopped;
    });
}

// ---- Reports ----

QString CLumaro::printSecureElement(const TNfcInfoSE& element) {
    const char* kind = kUnknownKind;
    for (const SeFlagText& entry : kSeKinds) {
        if (element.capabilities & entry.bit) {
            kind = entry.text;
            break;
        }
    }
    QString label = QString::fromLatin1(kind).arg(element.id);
    for (const SeFlagText& property : kSeProperties)
        if (element.capabilities & property.bit) label += QLatin1String(property.text);
    label += QLatin1Char(')');
    traceMessage("%s", label.toLocal8Bit().constData());
    for (const SeFlagText& mode : kSeModes)
        if (element.capabilities & mode.bit) traceMessage("%s", mode.text);
    return label;
}

// The record is the instance's: it is copied at once, before anything here can refresh that table.
void CLumaro::handleSeNotification(TNfcInfoSE* secureElement) {
    const char* source = WINDOW_SOURCE("handleSeNotification");
    if (!secureElement) return;
    const TNfcInfoSE element = *secureElement;
    traceFormatted(traceInfo, source, "New secure element or update caps detected");
    traceFormatted(traceInfo, source, "Secure element's supported technologies and properties:");
    const QString label = printSecureElement(element);
    int slot = -1;
    for (int i = 0; i < CNfcInstance::kSecureElementSlots && slot < 0; ++i) {
        if (seSlotBox(i)->text().startsWith(slotToken(element.id))) {
            slot = i;
            traceFormatted(traceInfo, source, "ID found on slot %d", i);
        }
    }
    if (slot < 0) {
        traceFormatted(traceInfo, source, "ID not found - checking for a free slot");
        if (seSlotsMapped < static_cast<DWORD>(CNfcInstance::kSecureElementSlots))
            slot = static_cast<int>(seSlotsMapped++);
        else
            traceFormatted(traceInfo, source, "No free slot available");
    }
    if (slot >= 0) {
        QCheckBox* box = seSlotBox(slot);
        box->setEnabled(true);
        box->setText(label);
        box->setChecked(element.mode != 0);
    }
    ui->pagEmbeddedSe->setEnabled(true);
    if (seStartedCount != 0 && !(activeModes & modeSe)) {
        traceFormatted(traceInfo, source, "No active SE listener yet");
        const NfcApiStatus status = nfcRegisterListener(modeSe);
        if (status != 0) traceFormatted(traceError, source, "! Registering SE mode failed (code: %u)", status);
    } else if (seStartedCount == 0 && (activeModes & modeSe)) {
        traceFormatted(traceInfo, source, "No active SE element but active SE listener");
        const NfcApiStatus status = nfcUnregisterListener(modeSe);
        if (status != 0) traceFormatted(traceError, source, "! Unegistering SE mode failed (code: %u)", status);
    }
    fillSeIdCombos(true);
}

// Both id combos list "0" and then every SE the controller reports; onlyCapable skips the
// descriptors without capability flags.
int CLumaro::fillSeIdCombos(bool onlyCapable) {
    ui->cboSeId->clear();
    ui->cboSeControlId->clear();
    const TNfcCapabilities* capabilities = nfcInstance ? nfcInstance->nfcGetCapabilities() : nullptr;
    if (!capabilities || !capabilities->controller || capabilities->controller->secureElementCount == 0) return 0;
    int listed = 0;
    for (QComboBox* combo : {ui->cboSeId, ui->cboSeControlId}) combo->addItem(QStringLiteral("0"));
    forEachSecureElement(*capabilities->controller, [&](int, const TNfcInfoSE& element) {
        if (onlyCapable && element.capabilities == 0) return;
        for (QComboBox* combo : {ui->cboSeId, ui->cboSeControlId}) combo->addItem(QString::number(element.id));
        ++listed;
    });
    return listed;
}

// ---- Routing table ----

void CLumaro::initSeRouting(int started) {
    for (QComboBox* combo : {ui->cboSeRoutingTableType, ui->cboSeId, ui->cboSeControlId, ui->cboSePowerState})
        combo->clear();
    int found = 0;
    bool wakeUp = false;
    if (started && nfcInstance) {
        found = fillSeIdCombos(false);
        const TNfcCapabilities* capabilities = nfcInstance->capabilities();
        if (ui->cboSeId->count() != 0)
            for (const char* power : kPowerStates) ui->cboSePowerState->addItem(QLatin1String(power));
        if (found != 0) {
            ui->cboSeRoutingTableType->addItem(QStringLiteral("Listen Mode"));
            if (capabilities && vendorIs(*capabilities->controller, kToshiba)) {
                ui->cboSeRoutingTableType->addItem(QStringLiteral("Poll Mode"));
                wakeUp = true;
            }
        }
    }
    ui->btnSeWakeUp->setEnabled(wakeUp);
    ui->btnSeWakeUp->setVisible(wakeUp);
    for (QWidget* widget : std::initializer_list<QWidget*>{
             ui->cboSeId, ui->cboSeRoutingTableType, ui->cboSeTechnology, ui->cboSeRoutingType, ui->cboSeProtocol,
             ui->cboSePowerState, ui->ledSeAid, ui->btnSeAddRoutingEntry, ui->btnSeDeleteRoutingEntry})
        widget->setEnabled(found != 0);
}

void CLumaro::on_cboSeRoutingTableType_currentIndexChanged(int index) {
    const bool listen = ui->cboSeRoutingTableType->itemText(index) == QLatin1String("Listen Mode");
    ui->cboSeRoutingType->clear();
    ui->cboSeRoutingType->addItems({QStringLiteral("Technology"), QStringLiteral("Protocol")});
    if (listen) ui->cboSeRoutingType->addItem(QStringLiteral("AID"));
    seRoutingTableType = listen ? 0 : 1;
}

void CLumaro::on_cboSeRoutingType_currentIndexChanged(int index) {
    const QString type = ui->cboSeRoutingType->itemText(index);
    ui->cboSeTechnology->setEnabled(type == QLatin1String("Technology"));
    ui->cboSeProtocol->setEnabled(type == QLatin1String("Protocol"));
    ui->ledSeAid->setEnabled(type == QLatin1String("AID"));
}

bool CLumaro::seBuildRoutingEntry(TNfcRoutingEntry* entry) {
    const char* source = WINDOW_SOURCE("seBuildRoutingEntry");
    if (!nfcInstance) {
        traceFormatted(traceError, source, "%s", kNoInstance);
        return false;
    }
    const TSeRoutingInputs inputs{ui->cboSeId->currentText(),        seRoutingTableType == 1,
                                  ui->cboSeRoutingType->currentText(), ui->cboSePowerState->currentText(),
                                  ui->cboSeTechnology->currentText(),  ui->cboSeProtocol->currentText(),
                                  ui->ledSeAid->text()};
    const TSeRoutingResult built = buildRoutingEntry(inputs, [this](BYTE id, NfcSecureHandle* handle) {
        const TNfcInfoSE* element = nfcInstance->getSecureElementById(id);
        if (element) *handle = element->handle;
        return element != nullptr;
    });
    if (!built.built) {
        traceFormatted(traceError, source, "%s", built.failure.toLocal8Bit().constData());
        return false;
    }
    for (const QString& line : built.lines) traceMessage("%s", line.toLocal8Bit().constData());
    *entry = built.entry;
    return true;
}

void CLumaro::on_btnSeAddRoutingEntry_clicked() {
    const QString status = seRoutingTableType == 1 ? QStringLiteral("SE: Add PMRT") : QStringLiteral("SE: Add LMRT");
    runOperation({.source = WINDOW_SOURCE("seAddRoutingEntry"),
                  .statusText = status,
                  .before = switchedOff({ui->btnSeAddRoutingEntry}),
                  .after = switchedOn({ui->btnSeAddRoutingEntry})},
                 [this]() -> NfcApiStatus {
                     const char* source = WINDOW_SOURCE("seAddRoutingEntry");
                     TNfcRoutingEntry entry{};
                     if (!seBuildRoutingEntry(&entry)) {
                         traceFormatted(traceError, source, "! Building routing entry failed");
                         return 1;
                     }
                     const NfcApiStatus added = nfcInstance->seAddRoutingEntry(&entry, 1);
                     if (added != 0) traceFormatted(traceError, source, "! Adding routing entry failed (code: %u)", added);
                     return added;
                 });
}

// An entry naming only the SE's handle clears what is routed to it.
void CLumaro::on_btnSeDeleteRoutingEntry_clicked() {
    runOperation({.source = WINDOW_SOURCE("seDeleteRoutingEntry"),
                  .statusText = QStringLiteral("SE: Delete LMRT"),
                  .before = switchedOff({ui->btnSeDeleteRoutingEntry}),
                  .after = switchedOn({ui->btnSeDeleteRoutingEntry})},
                 [this]() -> NfcApiStatus {
                     const char* source = WINDOW_SOURCE("seDeleteRoutingEntry");
                     BYTE id = 0;
                     if (!seIdFromText(ui->cboSeId->currentText(), &id)) {
                         traceFormatted(traceError, source, "! Failed to convert ID");
                         return 1;
                     }
                     const TNfcInfoSE* element = nfcInstance->getSecureElementById(id);
                     if (!element) {
                         traceFormatted(traceError, source, "! Failed to map SE ID (%u) to handle", id);
                         return 1;
                     }
                     TNfcRoutingEntry entry{};
                     entry.hSecure = element->handle;
                     const NfcApiStatus added = nfcInstance->seAddRoutingEntry(&entry, 1);
                     if (added != 0) traceFormatted(traceError, source, "! Adding routing entry failed (code: %u)", added);
                     return added;
                 });
}

// ---- Embedded SE ----

// The page's operations name their SE by the id combo; a text that is no number sends nothing.
NfcApiStatus CLumaro::seIdOperation(const char* source, const QString& statusText, QWidget* button,
                                    const char* failureText, bool traceId,
                                    const std::function<NfcApiStatus(CNfcInstance&, BYTE)>& call) {
    BYTE id = 0;
    const bool known = seIdFromText(ui->cboSeControlId->currentText(), &id);
    return runOperation({.source = source,
                         .statusText = statusText,
                         .enterLine = traceId ? QString::asprintf("Enter (ID: %u)", id) : QStringLiteral("Enter"),
                         .before = switchedOff({button}),
                         .after = switchedOn({button})},
                        [&]() -> NfcApiStatus {
                            if (!known) {
                                traceFormatted(traceError, source, "! Failed to convert ID");
                                return 1;
                            }
                            const NfcApiStatus result = call(*nfcInstance, id);
                            if (result != 0) traceFormatted(traceError, source, "%s (code: %u)", failureText, result);
                            return result;
                        });
}

void CLumaro::on_btnSeOpenEse_clicked() {
    ui->cboSeControlId->setEnabled(false);
    const NfcApiStatus result =
        seIdOperation(WINDOW_SOURCE("seOpenEse"), QStringLiteral("SE: Open ESE"), ui->btnSeOpenEse,
                       "! Opening access to secure element failed", true,
                       [](CNfcInstance& instance, BYTE id) { return instance.seOpenEse(id); });
    const bool open = result == 0;
    ui->btnSeOpenEse->setEnabled(!open);
    ui->cboSeControlId->setEnabled(!open);
    for (QWidget* widget : {ui->btnSeCloseEse, ui->btnSeEchoTest, ui->btnSeExchangePdu}) widget->setEnabled(open);
}

void CLumaro::on_btnSeCloseEse_clicked() {
    const NfcApiStatus result =
        seIdOperation(WINDOW_SOURCE("seCloseEse"), QStringLiteral("SE: Close ESE"), ui->btnSeCloseEse,
                       "! Closing access to secure element failed", true,
                       [](CNfcInstance& instance, BYTE id) { return instance.seCloseEse(id); });
    if (result != 0) return;
    ui->btnSeOpenEse->setEnabled(true);
    ui->cboSeControlId->setEnabled(true);
    for (QWidget* widget : {ui->btnSeCloseEse, ui->btnSeEchoTest, ui->btnSeExchangePdu}) widget->setEnabled(false);
}

void CLumaro::on_btnSeExchangePdu_clicked() {
    const QString pdu = ui->ledSePdu->text();
    seIdOperation(WINDOW_SOURCE("seExchangePdu"), QStringLiteral("SE: Exchange PDU"), ui->btnSeExchangePdu,
                   "! Exchanging secure data failed", true,
                   [&pdu](CNfcInstance& instance, BYTE id) { return instance.seExchangePdu(id, pdu); });
}

void CLumaro::on_btnSeEchoTest_clicked() {
    seIdOperation(WINDOW_SOURCE("seEchoTest"), QStringLiteral("SE: Echo test"), ui->btnSeEchoTest,
                   "! Echo test failed", false,
                   [](CNfcInstance& instance, BYTE id) { return instance.seEchoTest(id); });
}

// ---- Stored SE commands ----

CLumaro::StoredCommandList CLumaro::seCommandList() const {
    return {"SeCommand", ui->cboSeCommand, ui->ledSePdu, ui->ledSeDescription};
}

void CLumaro::on_btnSeSavePdu_clicked() { saveStoredCommand(seCommandList()); }
void CLumaro::on_btnSeDeletePdu_clicked() { deleteStoredCommand(seCommandList()); }
void CLumaro::on_cboSeCommand_currentIndexChanged(int index) { showStoredCommand(seCommandList(), index); }
void CLumaro::loadSeCommands() { loadStoredCommands(seCommandList()); }
