// NDEF on the window: a tag's message read into the record table, the table itself (shared with
// the SNEP page), the message composed in one of the three editors, written, and a tag formatted
// or erased.
#include "clumaro.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QHeaderView>
#include <QProcess>
#include <QTreeWidget>
#include <QUrl>

#include <new>

#include "convert.h"
#include "lumaroform.h"
#include "ndefdisplay.h"
#include "ndefnames.h"
#include "nfcinstance.h"
#include "windowsource.h"

// The three editors share their widgets' names but for the prefix; the SNEP editor has no
// title, mobile and job-title fields.
struct CLumaro::NdefEditor {
    const char* source;
    bool tracesFailure;
    QWidget* Ui_CLumaro::*textPage;
    QComboBox* Ui_CLumaro::*textLanguage;
    QTextEdit* Ui_CLumaro::*textText;
    QWidget* Ui_CLumaro::*uriPage;
    QComboBox* Ui_CLumaro::*uriPrefix;
    QLineEdit* Ui_CLumaro::*uriRest;
    QWidget* Ui_CLumaro::*posterPage;
    QComboBox* Ui_CLumaro::*posterLanguage;
    QTextEdit* Ui_CLumaro::*posterText;
    QLineEdit* Ui_CLumaro::*posterUri;
    QWidget* Ui_CLumaro::*vcardPage;
    // In the order the vCard is built from.
    QLineEdit* Ui_CLumaro::*vcard[13];
    QWidget* Ui_CLumaro::*mimePage;
    QLineEdit* Ui_CLumaro::*mimePath;
};

namespace {

enum Column { columnLevel, columnIndex, columnTnf, columnType, columnCode, columnContent, columnCount };

#define NDEF_EDITOR(name, traces, P, title, mobile, jobTitle)                                                     \
    CLumaro::NdefEditor {                                                                                                   \
        WINDOW_SOURCE(name), traces, &Ui_CLumaro::pag##P##RtdText, &Ui_CLumaro::cbo##P##RtdTextLanguageCode,       \
            &Ui_CLumaro::ted##P##RtdTextText, &Ui_CLumaro::pag##P##RtdUri, &Ui_CLumaro::cbo##P##RtdUriPrefix,      \
            &Ui_CLumaro::led##P##RtdUriUri, &Ui_CLumaro::pag##P##RtdSmartPoster,                                   \
            &Ui_CLumaro::cbo##P##RtdSmartPosterLanguageCode, &Ui_CLumaro::ted##P##RtdSmartPosterText,              \
            &Ui_CLumaro::led##P##RtdSmartPosterUri, &Ui_CLumaro::pag##P##Vcard,                                    \
            {title, &Ui_CLumaro::led##P##VcardFirstName, &Ui_CLumaro::led##P##VcardLastName,                       \
             &Ui_CLumaro::led##P##VcardPhone, mobile, &Ui_CLumaro::led##P##VcardEmail,                             \
             &Ui_CLumaro::led##P##VcardCompany, jobTitle, &Ui_CLumaro::led##P##VcardUrl,                           \
             &Ui_CLumaro::led##P##VcardStreet, &Ui_CLumaro::led##P##VcardCode, &Ui_CLumaro::led##P##VcardCity,     \
             &Ui_CLumaro::led##P##VcardCountry},                                                                   \
            &Ui_CLumaro::pag##P##Mime, &Ui_CLumaro::led##P##MimeUri                                                \
    }

const CLumaro::NdefEditor kRwEditor = NDEF_EDITOR("buildNdefMessage", false, RwNdefWrite, &Ui_CLumaro::ledRwNdefWriteVcardTitle,
                                         &Ui_CLumaro::ledRwNdefWriteVcardMobile,
                                         &Ui_CLumaro::ledRwNdefWriteVcardJobTitle);
const CLumaro::NdefEditor kSnepEditor = NDEF_EDITOR("snepBuildNdefMessage", true, P2pSnepTransmit, nullptr, nullptr, nullptr);
const CLumaro::NdefEditor kCeEditor = NDEF_EDITOR("ceBuildNdefMessage", false, CeNdefModify,
                                         &Ui_CLumaro::ledCeNdefModifyVcardTitle, &Ui_CLumaro::ledCeNdefModifyVcardMobile,
                                         &Ui_CLumaro::ledCeNdefModifyVcardJobTitle);
#undef NDEF_EDITOR

constexpr uint32_t kLastUriCode = 0x23;

} // namespace

// ---- Reading ----

NfcApiStatus CLumaro::rwRead() {
    const char* source = WINDOW_SOURCE("rwRead");
    const bool suppress = ui->ckbRwNdefSuppress->isChecked();
    return runOperation(tagOperation(source, QStringLiteral("RW: Read NDEF")), [&] {
        ui->twtRwNdefRead->clear();
        ndefMessage.clearRecords();
        const NfcApiStatus result = nfcInstance->readNdefTag(&ndefMessage);
        if (result != 0)
            traceFormatted(traceError, source, "! Failed to read NDEF message");
        else
            printNdefMessage(ui->twtRwNdefRead, &ndefMessage, suppress);
        return result;
    });
}

void CLumaro::on_btnRwNdefRead_clicked() { rwRead(); }

// ---- The record table ----

void CLumaro::printNdefMessage(QTreeWidget* tree, CNdefMessage* message, bool suppressAction) {
    QString lastUri;   // of this message only
    QLabel measure;
    measure.setWordWrap(true);
    QTreeWidgetItem* item = nullptr;
    for (const TNdefRecord* record : message->records()) {
        const TNdefRecordInfo& info = record->info;
        item = new (std::nothrow) QTreeWidgetItem();
        if (!item) {
            traceFormatted(traceError, WINDOW_SOURCE("printNdefMessage"), "! Failed to allocate memory");
            return;
        }
        item->setText(columnLevel, QString::number(info.level));
        item->setText(columnIndex, QString::number(info.index));
        item->setText(columnTnf, ndefTnfName(info.tnf));
        item->setText(columnType, info.typeLength ? utf8ToQString(info.type, info.typeLength) : item->text(columnTnf));
        const bool picture = fillNdefRecord(item, info, suppressAction, lastUri);
        if (!picture) {
            measure.setText(item->text(columnContent));
            item->setSizeHint(columnContent, measure.sizeHint());
        }
        tree->addTopLevelItem(item);
    }
    for (int column = columnLevel; column < columnContent; ++column) tree->resizeColumnToContents(column);
    if (!item) return;
    for (int column = 0; column < columnCount; ++column) item->setTextAlignment(column, Qt::AlignTop);
}

// Answers whether the row shows a picture, whose row keeps its own size.
bool CLumaro::fillNdefRecord(QTreeWidgetItem* item, const TNdefRecordInfo& info, bool suppressAction,
                             QString& lastUri) {
    switch (info.recordTypeId) {
    case NDEF_ID_ABSOLUTE_URI: fillNdefUtf8Field(item, info); break;
    case NDEF_ID_TEXT: fillNdefRtdText(item, info); break;
    case NDEF_ID_URI: {
        // A code without a prefix of its own (0, or one past the table) adds nothing to what opens.
        const bool prefixed = info.uri.prefixCode != 0 && info.uri.prefixCode <= kLastUriCode;
        lastUri = (prefixed ? ndefUriPrefix(info.uri.prefixCode) : QString()) +
                  utf8ToQString(info.uri.rest, info.uri.restLength);
        fillNdefRtdUri(item, info);
        break;
    }
    case NDEF_ID_SMART_POSTER: break;
    case NDEF_ID_ACTION: fillNdefRtdSmartPoster(item, info, suppressAction, lastUri); break;
    case NDEF_ID_SIZE: fillNdefNumber(item, info); break;
    case NDEF_ID_TYPE: fillNdefRawData(item, info); break;
    case NDEF_ID_ALTERNATIVE_CARRIER: fillNdefHandoverAlternativeCarrier(item, info); break;
    case NDEF_ID_HANDOVER_CARRIER: fillNdefHandoverCarrier(item, info); break;
    // The library decodes every handover record of this shape into its version.
    case NDEF_ID_HANDOVER_SELECT:
    case NDEF_ID_HANDOVER_REQUEST:
    case NDEF_ID_HANDOVER_MEDIATION:
    case NDEF_ID_HANDOVER_CAPABILITIES:
    case NDEF_ID_HANDOVER_INITIATE: fillNdefHandoverVersion(item, info); break;
    case NDEF_ID_COLLISION_RESOLUTION: fillNdefHandoverCollision(item, info); break;
    case NDEF_ID_HANDOVER_ERROR: fillNdefHandoverError(item, info); break;
    case NDEF_ID_MIME: {
        const QString mimeType = QString::fromLatin1(reinterpret_cast<const char*>(info.type), info.typeLength);
        fillNdefMime(item, info, mimeType);
        return mimeKindOf(mimeType) == mimeImage;
    }
    default: item->setText(columnContent, bytesToHexDump(info.payload.data, info.payload.length)); break;
    }
    return false;
}

// The language code is plain ASCII whatever the text's encoding.
void CLumaro::fillNdefRtdText(QTreeWidgetItem* item, const TNdefRecordInfo& info) {
    const QString text = info.text.encoding ? utf16BeToQString(info.text.text, info.text.textLength)
                                            : utf8ToQString(info.text.text, info.text.textLength);
    item->setText(columnCode, QString::fromLatin1(reinterpret_cast<const char*>(info.text.language),
                                                  info.text.languageLength));
    item->setText(columnContent, text);
    if (startProcess) startTextProcess(text);
}

// Tag content is started only on request, never through a shell, and its result is told.
void CLumaro::startTextProcess(const QString& text) {
    const char* source = WINDOW_SOURCE("fillNdefRtdText");
    QStringList arguments = QProcess::splitCommand(text);
    if (arguments.isEmpty()) return;
    const QString program = arguments.takeFirst();
    const bool started = processLauncher ? processLauncher(program, arguments)
                                         : QProcess::startDetached(program, arguments);
    traceFormatted(traceInfo, source, "QProcess %s!)", text.toLocal8Bit().constData());
    if (!started) traceFormatted(traceWarning, source, "Starting process failed");
}

void CLumaro::fillNdefRtdUri(QTreeWidgetItem* item, const TNdefRecordInfo& info) {
    item->setText(columnCode, ndefUriPrefix(info.uri.prefixCode));
    item->setText(columnContent, utf8ToQString(info.uri.rest, info.uri.restLength));
}

void CLumaro::fillNdefRtdSmartPoster(QTreeWidgetItem* item, const TNdefRecordInfo& info, bool suppressAction,
                                     const QString& lastUri) {
    item->setText(columnContent, ndefSmartPosterActionName(info.action.code));
    if (!suppressAction && !lastUri.isEmpty()) QDesktopServices::openUrl(QUrl(lastUri, QUrl::TolerantMode));
}

void CLumaro::fillNdefNumber(QTreeWidgetItem* item, const TNdefRecordInfo& info) {
    item->setText(columnContent, QString::number(info.size.value));
}

void CLumaro::fillNdefRawData(QTreeWidgetItem* item, const TNdefRecordInfo& info) {
    item->setText(columnContent, bytesToPrintableText(info.payload.data, info.payload.length));
}

void CLumaro::fillNdefUtf8Field(QTreeWidgetItem* item, const TNdefRecordInfo& info) {
    item->setText(columnContent, utf8ToQString(info.payload.data, info.payload.length));
}

// The auxiliary references lie one after the other, each behind its length byte, all inside the
// payload (the library checked them).
void CLumaro::fillNdefHandoverAlternativeCarrier(QTreeWidgetItem* item, const TNdefRecordInfo& info) {
    const auto& carrier = info.alternativeCarrier;
    QString auxiliary;
    const uint8_t* reference = carrier.auxiliaryReferences;
    for (uint32_t i = 0; reference && i < carrier.auxiliaryCount; ++i) {
        auxiliary += bytesToHexDump(reference + 1, reference[0]);
        reference += 1 + reference[0];
    }
    item->setText(columnContent, QStringLiteral("power state: %1\n").arg(carrier.powerState) +
                                     QStringLiteral("carrier reference: ") +
                                     bytesToHexDump(carrier.reference, carrier.referenceLength) + QStringLiteral("\n") +
                                     QStringLiteral("AUX data reference: ") + auxiliary);
}

void CLumaro::fillNdefHandoverCarrier(QTreeWidgetItem* item, const TNdefRecordInfo& info) {
    const auto& carrier = info.carrier;
    item->setText(columnContent, QStringLiteral("type format: %1\n").arg(carrier.typeFormat) +
                                     QStringLiteral("type: ") + bytesToHexDump(carrier.type, carrier.typeLength) +
                                     QStringLiteral("\n") + QStringLiteral("data: ") +
                                     bytesToHexDump(carrier.data, carrier.dataLength));
}

void CLumaro::fillNdefHandoverVersion(QTreeWidgetItem* item, const TNdefRecordInfo& info) {
    item->setText(columnContent, QStringLiteral("Version %1.%2").arg(info.handover.major).arg(info.handover.minor));
}

void CLumaro::fillNdefHandoverCollision(QTreeWidgetItem* item, const TNdefRecordInfo& info) {
    const QString digits = QStringLiteral("%1").arg(info.collision.random & 0xFFFFu, 4, 16, QLatin1Char('0'));
    item->setText(columnContent, QStringLiteral("random number: 0x") + digits.toUpper());
}

// The error's data is one byte for some reasons and a word for another: all four readings show.
void CLumaro::fillNdefHandoverError(QTreeWidgetItem* item, const TNdefRecordInfo& info) {
    const unsigned byte = info.error.data & 0xFFu;
    item->setText(columnContent, QStringLiteral("reason: %1\n").arg(info.error.reason) +
                                     QStringLiteral("carrierWaitMs: %1\n").arg(byte) +
                                     QStringLiteral("nomemTempWaitMs: %1\n)").arg(byte) +
                                     QStringLiteral("nomemPermMaxSize: %1").arg(info.error.data));
}

void CLumaro::fillNdefMime(QTreeWidgetItem* item, const TNdefRecordInfo& info, const QString& mimeType) {
    item->setText(columnType, mimeType);
    switch (mimeKindOf(mimeType)) {
    case mimeVcard: {
        QString card = utf8ToQString(info.payload.data, info.payload.length);
        card.replace(QLatin1Char('\r'), QLatin1Char('\n')).replace(QLatin1String("\n\n"), QLatin1String("\n"));
        item->setText(columnContent, card);
        break;
    }
    case mimeImage: {
        QImage image;
        if (image.loadFromData(info.payload.data, static_cast<int>(info.payload.length)))
            item->setIcon(columnContent, QIcon(QPixmap::fromImage(image)));
        else
            traceFormatted(traceError, WINDOW_SOURCE("fillNdefMime"), "! Loading image failed");
        break;
    }
    default:
        traceFormatted(traceWarning, WINDOW_SOURCE("fillNdefMime"), "Mime type unknown");
        item->setText(columnContent, bytesToHexDump(info.payload.data, info.payload.length));
        break;
    }
}

// ---- Composing ----

NfcApiStatus CLumaro::buildNdefMessage(CNdefMessage* message) { return buildFromEditor(kRwEditor, message); }
NfcApiStatus CLumaro::snepBuildNdefMessage(CNdefMessage* message) { return buildFromEditor(kSnepEditor, message); }
NfcApiStatus CLumaro::ceBuildNdefMessage(CNdefMessage* message) { return buildFromEditor(kCeEditor, message); }

// The page on screen decides the kind; a missing field builds as empty text.
NfcApiStatus CLumaro::buildFromEditor(const NdefEditor& editor, CNdefMessage* message) {
    traceFormatted(traceInfo, editor.source, "Enter");
    const auto shown = [this](QWidget* Ui_CLumaro::*page) { return (ui->*page)->isVisible(); };
    const auto field = [this](QLineEdit* Ui_CLumaro::*edit) { return edit ? (ui->*edit)->text() : QString(); };
    NdefStatus created = NDEF_OK;
    if (shown(editor.textPage)) {
        created = message->ndefCreateTextMessage((ui->*editor.textText)->toPlainText(),
                                                 (ui->*editor.textLanguage)->currentText());
    } else if (shown(editor.uriPage)) {
        created = message->ndefCreateUriMessage((ui->*editor.uriPrefix)->currentText(), field(editor.uriRest));
    } else if (shown(editor.posterPage)) {
        created = message->ndefCreateSmartPosterMessage((ui->*editor.posterText)->toPlainText(),
                                                        (ui->*editor.posterLanguage)->currentText(),
                                                        field(editor.posterUri));
    } else if (shown(editor.vcardPage)) {
        const auto* v = editor.vcard;
        created = message->ndefCreateVcardMessage(field(v[0]), field(v[1]), field(v[2]), field(v[3]), field(v[4]),
                                                  field(v[5]), field(v[6]), field(v[7]), field(v[8]), field(v[9]),
                                                  field(v[10]), field(v[11]), field(v[12]));
    } else if (shown(editor.mimePage)) {
        created = message->ndefCreateMimeMessage(field(editor.mimePath));
    } else {
        traceFormatted(traceError, editor.source, "! Mode not recognized");
        created = 1;
    }
    const NfcApiStatus result = created == NDEF_OK ? 0 : 1;
    if (result != 0 && editor.tracesFailure)
        traceFormatted(traceError, editor.source, "! Creating NDEF message failed (code: %u)", created);
    traceFormatted(traceInfo, editor.source, "Exit (status: %u)", result);
    return result;
}

// ---- Writing, formatting, erasing ----

NfcApiStatus CLumaro::rwWrite() {
    const char* source = WINDOW_SOURCE("rwWrite");
    return runOperation(tagOperation(source, QStringLiteral("RW: Write NDEF")), [&] {
        const NfcApiStatus built = buildNdefMessage(&ndefMessage);
        if (built != 0) {
            traceFormatted(traceError, source, "! Building NDEF message failed");
            return built;
        }
        const NfcApiStatus written = nfcInstance->writeNdefTag(&ndefMessage);
        if (written != 0) {
            traceFormatted(traceError, source, "! Writing NDEF message failed");
            return written;
        }
        // The write stands even when the tag's new sizes cannot be read.
        TNfcTagInfo tag{};
        const NfcApiStatus info = nfcInstance->getTagInfo(modeRw, &tag);
        if (info != 0)
            traceFormatted(traceError, source, "! Receiving tag information failed (code: %u)", info);
        else
            ui->ledNdefSize->setText(QStringLiteral("%1 of %2").arg(tag.ndefLength).arg(tag.ndefMaxSize));
        return NfcApiStatus{0};
    });
}

void CLumaro::on_btnRwNdefWrite_clicked() { rwWrite(); }

NfcApiStatus CLumaro::format(DWORD kind) {
    const char* source = WINDOW_SOURCE("format");
    const QString statusText = kind == formatNdef ? QStringLiteral("RW: Format NDEF")
                               : kind == formatErase    ? QStringLiteral("RW: Erase")
                                                   : QString();
    return runOperation(tagOperation(source, statusText), [&] {
        const NfcApiStatus result = nfcInstance->format(kind, 0);
        if (result != 0) {
            traceFormatted(traceError, source, "! Formatting tag failed (code: %u)", result);
            return result;
        }
        // A new registration makes the library report the changed tag afresh.
        const NfcApiStatus unregistered = nfcUnregisterListener(modeRw);
        if (unregistered != 0)
            traceFormatted(traceWarning, source, "Unregistering listener failed (code: %u)", unregistered);
        const NfcApiStatus registered = nfcRegisterListener(modeRw);
        if (registered != 0)
            traceFormatted(traceWarning, source, "Registering new listener failed (code: %u)", registered);
        return NfcApiStatus{0};
    });
}

void CLumaro::on_btnRwNdefFormat_clicked() { format(formatNdef); }
void CLumaro::on_btnRwNdefErase_clicked() { format(formatErase); }
void CLumaro::on_btnRwLegacyFormatNdef_clicked() { format(formatNdef); }
void CLumaro::on_btnRwLegacyErase_clicked() { format(formatErase); }
void CLumaro::on_btnRwMifareStandardFormatNdef_clicked() { format(formatNdef); }
void CLumaro::on_btnRwMifareStandardErase_clicked() { format(formatErase); }

// ---- Picture files ----

// A cancelled choice empties the field and keeps the folder.
void CLumaro::selectImage(QLineEdit* path) {
    const QString caption = tr("Open File");
    const QString filter = tr("Images (*.png *.gif *.jpg *.jpeg *.bmp)");
    const QString chosen = fileChooser ? fileChooser(this, caption, lastImageDirectory, filter)
                                       : QFileDialog::getOpenFileName(this, caption, lastImageDirectory, filter);
    if (!chosen.isEmpty()) lastImageDirectory = chosen.left(chosen.lastIndexOf(QLatin1Char('/')));
    path->setText(chosen);
}

void CLumaro::on_btnRwNdefWriteMimeSelectImage_clicked() { selectImage(ui->ledRwNdefWriteMimeUri); }
void CLumaro::on_btnP2pSnepTransmitMimeSelectImage_clicked() { selectImage(ui->ledP2pSnepTransmitMimeUri); }
void CLumaro::on_btnCeNdefModifyMimeSelectImage_clicked() { selectImage(ui->ledCeNdefModifyMimeUri); }
