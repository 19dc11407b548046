// The card-emulation page: the generic start content, the capability container and FeliCa
// attribute block taken from the settings, the page's message saved into the emulated tag and
// the tag's message loaded back into the page's editor, and the capability-container dialog.
#include "clumaro.h"

#include <QCoreApplication>
#include <QSettings>
#include <QTabWidget>

#include <iterator>
#include <new>

#include "capabilitycontainertable.h"
#include "cardemulation.h"
#include "cnfccapabilitycontainer.h"
#include "convert.h"
#include "lumaroform.h"
#include "ndefdisplay.h"
#include "ndefnames.h"
#include "nfcinstance.h"
#include "vcardcutter.h"
#include "windowsource.h"

namespace {

constexpr DWORD kType4Mask = CE_HOST_14443A_106 | CE_HOST_14443B_106;
constexpr size_t kNlenOffset = CCardEmulation::kCapabilityContainerSize;
constexpr size_t kLnOffset = 11;

// The first enabled and checked button gives the content the emulated tag starts with.
struct ContentButton {
    QRadioButton* Ui_CLumaro::*button;
    DWORD contentType;
};
constexpr ContentButton kContentButtons[] = {
    {&Ui_CLumaro::rdbCeInsertText, 2}, {&Ui_CLumaro::rdbCeInsertUri, 3},   {&Ui_CLumaro::rdbCeInsertVcard, 5},
    {&Ui_CLumaro::rdbCeInsertEmpty, 1}, {&Ui_CLumaro::rdbCeSmartPoster, 4},
};

enum EditorPage { pageText, pageUri, pageSmartPoster, pageVcard, pageMime };

struct VcardWidget {
    QString TVcardFields::*field;
    QLineEdit* Ui_CLumaro::*edit;
};
constexpr VcardWidget kVcardWidgets[] = {
    {&TVcardFields::lastName, &Ui_CLumaro::ledCeNdefModifyVcardLastName},
    {&TVcardFields::firstName, &Ui_CLumaro::ledCeNdefModifyVcardFirstName},
    {&TVcardFields::title, &Ui_CLumaro::ledCeNdefModifyVcardTitle},
    {&TVcardFields::company, &Ui_CLumaro::ledCeNdefModifyVcardCompany},
    {&TVcardFields::jobTitle, &Ui_CLumaro::ledCeNdefModifyVcardJobTitle},
    {&TVcardFields::url, &Ui_CLumaro::ledCeNdefModifyVcardUrl},
    {&TVcardFields::email, &Ui_CLumaro::ledCeNdefModifyVcardEmail},
    {&TVcardFields::phone, &Ui_CLumaro::ledCeNdefModifyVcardPhone},
    {&TVcardFields::mobile, &Ui_CLumaro::ledCeNdefModifyVcardMobile},
    {&TVcardFields::street, &Ui_CLumaro::ledCeNdefModifyVcardStreet},
    {&TVcardFields::city, &Ui_CLumaro::ledCeNdefModifyVcardCity},
    {&TVcardFields::postalCode, &Ui_CLumaro::ledCeNdefModifyVcardCode},
    {&TVcardFields::country, &Ui_CLumaro::ledCeNdefModifyVcardCountry},
};

// A setting's hexadecimal text; its low byte, 0 when it is not wholly a number.
BYTE hexByte(const QString& text) {
    bool converted = false;
    const uint value = text.toUInt(&converted, 16);
    return converted ? static_cast<BYTE>(value & 0xFF) : 0;
}

void selectExactly(QComboBox* combo, const QString& text) {
    combo->setCurrentIndex(combo->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive));
}

QString textOf(const TNdefRecordInfo& info) {
    return (info.text.encoding & 0x80) ? utf16BeToQString(info.text.text, info.text.textLength)
                                       : utf8ToQString(info.text.text, info.text.textLength);
}

void showText(const TNdefRecordInfo& info, QComboBox* language, QTextEdit* text) {
    selectExactly(language, languageCodeToName(QString::fromLatin1(reinterpret_cast<const char*>(info.text.language),
                                                                   info.text.languageLength)));
    text->setPlainText(textOf(info));
}

// The first child of the poster of the given kind.
const TNdefRecordInfo* childOf(const QList<TNdefRecord*>& records, NdefRecordTypeId kind) {
    const uint32_t level = records.front()->info.level + 1;
    for (const TNdefRecord* record : records)
        if (record->info.level == level && record->info.recordTypeId == kind) return &record->info;
    return nullptr;
}

} // namespace

DWORD CLumaro::getCeContentType() const {
    for (const ContentButton& entry : kContentButtons) {
        const QRadioButton* button = ui->*entry.button;
        if (button->isEnabled() && button->isChecked()) return entry.contentType;
    }
    return 0;
}

// Bytes 15-16 (NLEN) belong to the instance, which writes them with the content.
void CLumaro::ceLoadCapabilityContainer(DWORD mask, BYTE* capabilityContainer, BYTE* attributeBlock, bool advanced) {
    if (advanced && !settings) {
        traceFormatted(traceError, WINDOW_SOURCE("ceLoadCapabilityContainer"),
                       "! Loading advanced CC failed - loading default");
        advanced = false;
    }
    const auto fill = [&](const auto& table, BYTE* record) {
        for (size_t i = 0; i < std::size(table); ++i)
            record[i] = hexByte(advanced ? settings
                                               ->value(QLatin1String(kCapabilityContainerGroup) + QLatin1Char('/') +
                                                       QLatin1String(table[i].name))
                                               .toString()
                                         : QLatin1String(table[i].defaultValue));
    };
    if (mask & CE_HOST_FELICA) fill(kFelicaBytes, attributeBlock);
    if (mask & kType4Mask) {
        fill(kIso14443Bytes, capabilityContainer);
        if (!advanced) capabilityContainer[kNlenOffset] = capabilityContainer[kNlenOffset + 1] = 0;
    }
}

NfcApiStatus CLumaro::ceStartEmulation(DWORD mask) {
    BYTE capabilityContainer[CCardEmulation::kType4RecordSize] = {};
    BYTE attributeBlock[CCardEmulation::kAttributeBlockSize] = {};
    const DWORD contentType = getCeContentType();
    ceLoadCapabilityContainer(mask, capabilityContainer, attributeBlock, ui->ckbCeAdvanced->isChecked());
    return nfcInstance->ceStart(mask, contentType, capabilityContainer, attributeBlock);
}

NfcApiStatus CLumaro::ceSave() {
    const char* source = WINDOW_SOURCE("ceSave");
    return runOperation({.source = source, .statusText = QStringLiteral("CE: Save NDEF"), .exitSaysCode = true}, [&] {
        NfcApiStatus result = ceBuildNdefMessage(&ndefMessage);
        if (result != 0)
            traceFormatted(traceError, source, "! Building NDEF message failed");
        else if ((result = nfcInstance->ceSaveContent(&ndefMessage)) != 0)
            traceFormatted(traceError, source, "! Modifying NDEF message failed (code: %u)", result);
        return result;
    });
}

// The lengths a reader wrote may exceed the emulated file: nothing is read past it.
NfcApiStatus CLumaro::ceLoad() {
    const char* source = WINDOW_SOURCE("ceLoad");
    return runOperation({.source = source, .statusText = QStringLiteral("CE: Load NDEF")}, [&] {
        CNfcInstance& instance = *nfcInstance;
        uint32_t length = 0;
        if (ceListenMask & kType4Mask) {
            const BYTE* record = instance.ceGetIso14443ABCapabilityContainer();
            length = uint32_t{record[kNlenOffset]} << 8 | record[kNlenOffset + 1];
        } else if (ceListenMask & CE_HOST_FELICA) {
            const BYTE* block = instance.ceGetFelicaAttributeBlock();
            length = uint32_t{block[kLnOffset]} << 16 | uint32_t{block[kLnOffset + 1]} << 8 | block[kLnOffset + 2];
        } else {
            traceFormatted(traceError, source, "! No card emulation found");
            ceListenMask = 0;
            return NfcApiStatus{1};
        }
        if (length == 0) {
            traceFormatted(traceInfo, source, "No content found - empty tag");
            return NfcApiStatus{0};
        }
        if (length > CCardEmulation::kMessageSpace) {
            traceFormatted(traceError, source, "! NDEF length exceeds the emulated file (length: %u)", length);
            return NfcApiStatus{1};
        }
        CNdefMessage message;
        const NdefStatus parsed = message.ndefParseMessage(instance.ceGetContent(), length);
        if (parsed != NDEF_OK || message.records().isEmpty()) {
            traceFormatted(traceError, source, "! Parsing NDEF message failed (code: %u)", parsed);
            return NfcApiStatus{1};
        }
        return ceShowMessage(message);
    });
}

// By the kind of the first record; a kind the editor has no page for fails with nothing changed.
NfcApiStatus CLumaro::ceShowMessage(const CNdefMessage& message) {
    const TNdefRecordInfo& first = message.records().front()->info;
    EditorPage page = pageMime;
    switch (first.recordTypeId) {
    case NDEF_ID_TEXT:
        showText(first, ui->cboCeNdefModifyRtdTextLanguageCode, ui->tedCeNdefModifyRtdTextText);
        page = pageText;
        break;
    case NDEF_ID_ABSOLUTE_URI:
        ui->cboCeNdefModifyRtdUriPrefix->setCurrentIndex(0);
        ui->ledCeNdefModifyRtdUriUri->setText(utf8ToQString(first.payload.data, first.payload.length));
        page = pageUri;
        break;
    case NDEF_ID_URI:
        selectExactly(ui->cboCeNdefModifyRtdUriPrefix, ndefUriPrefix(first.uri.prefixCode));
        ui->ledCeNdefModifyRtdUriUri->setText(utf8ToQString(first.uri.rest, first.uri.restLength));
        page = pageUri;
        break;
    case NDEF_ID_SMART_POSTER: {
        // The reader chose the children's order: they are found by kind.
        const TNdefRecordInfo* text = childOf(message.records(), NDEF_ID_TEXT);
        const TNdefRecordInfo* uri = childOf(message.records(), NDEF_ID_URI);
        if (!text || !uri) {
            traceFormatted(traceError, WINDOW_SOURCE("ceLoad"), "! Smart Poster without Text or URI record");
            return 1;
        }
        showText(*text, ui->cboCeNdefModifyRtdSmartPosterLanguageCode, ui->tedCeNdefModifyRtdSmartPosterText);
        ui->ledCeNdefModifyRtdSmartPosterUri->setText(utf8ToQString(uri->uri.rest, uri->uri.restLength));
        page = pageSmartPoster;
        break;
    }
    case NDEF_ID_MIME: {
        const QString type = QString::fromLatin1(reinterpret_cast<const char*>(first.type), first.typeLength);
        if (mimeKindOf(type) != mimeVcard) break;
        TVcardFields fields;
        for (const VcardWidget& entry : kVcardWidgets) fields.*entry.field = (ui->*entry.edit)->text();
        cutVcard(utf8ToQString(first.payload.data, first.payload.length), fields);
        for (const VcardWidget& entry : kVcardWidgets) (ui->*entry.edit)->setText(fields.*entry.field);
        page = pageVcard;
        break;
    }
    default: traceFormatted(traceError, WINDOW_SOURCE("ceLoad"), "! Record type not supported"); return 1;
    }
    ui->tabCeNdefModify->setCurrentIndex(page);
    return 0;
}

void CLumaro::on_btnCeNdefModifySave_clicked() { ceSave(); }
void CLumaro::on_btnCeNdefModifyLoad_clicked() { ceLoad(); }

// The dialog may have deleted itself on close: the pointer it is held by clears with it.
void CLumaro::on_btnCeConfigure_clicked() {
    const char* source = WINDOW_SOURCE("on_btnCeConfigure_clicked");
    ui->btnCeConfigure->setEnabled(false);
    if (!settings) {
        traceFormatted(traceError, source, "! Failed to load INI file");
        ui->btnCeConfigure->setEnabled(true);
        return;
    }
    delete capabilityContainerDialog;
    auto* dialog = new (std::nothrow) CNfcCapabilityContainer(nullptr, settings);
    if (!dialog) {
        traceFormatted(traceError, source, "! Failed to allocate memory");
        ui->btnCeConfigure->setEnabled(true);
        return;
    }
    capabilityContainerDialog = dialog;
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &CNfcCapabilityContainer::signalCeConfigurationFinished, this,
            &CLumaro::handleCeConfigurationFinished);
    dialog->setWindowModality(Qt::ApplicationModal);
    dialog->show();
}
