#include "ndefmessage.h"

#include <QFile>
#include <QFileInfo>
#include <QMetaMethod>

#include <cstdarg>
#include <cstring>
#include <new>

#include "corvanebinding.h"
#include "ndefnames.h"
#include "tracetext.h"

namespace {

constexpr DWORD kTraceError = 2;
constexpr DWORD kTraceInfo = 4;
constexpr uint32_t kEncodingUtf8 = 0;
constexpr qsizetype kMaxTextSize = 0xFFFF;

#define NDEF_SOURCE(operation) "CNdefMessage::" operation

std::unique_ptr<uint8_t[]> copyBytes(const uint8_t* bytes, size_t length) {
    if (!bytes) return nullptr;
    std::unique_ptr<uint8_t[]> copy(new (std::nothrow) uint8_t[length ? length : 1]);
    if (copy) std::memcpy(copy.get(), bytes, length);
    return copy;
}

QString composeVcard(const QString& title, const QString& firstName, const QString& lastName, const QString& phone,
                     const QString& mobile, const QString& email, const QString& company, const QString& jobTitle,
                     const QString& url, const QString& street, const QString& postalCode, const QString& city,
                     const QString& country) {
    QString card = QStringLiteral("BEGIN:VCARD\nVERSION:3.0\n");
    card += QStringLiteral("N:") + lastName + QLatin1Char(';') + firstName;
    if (!title.isEmpty()) card += QStringLiteral(";;;") + title;
    card += QLatin1Char('\n');
    card += QStringLiteral("FN:") + firstName + QLatin1Char(' ') + lastName + QLatin1Char('\n');
    card += QStringLiteral("ORG:") + company + QLatin1Char('\n');
    if (!jobTitle.isEmpty()) card += QStringLiteral("TITLE:") + jobTitle + QLatin1Char('\n');
    card += QStringLiteral("URL:") + url + QLatin1Char('\n');
    card += QStringLiteral("EMAIL;TYPE=INTERNET:") + email + QLatin1Char('\n');
    card += QStringLiteral("TEL;TYPE=voice,work,pref:") + phone + QLatin1Char('\n');
    if (!mobile.isEmpty()) card += QStringLiteral("TEL;TYPE=cell:") + mobile + QLatin1Char('\n');
    card += QStringLiteral("ADR;TYPE=intl,work,postal,parcel:;;") + street + QLatin1Char(';') + city +
            QStringLiteral(";;") + postalCode + QLatin1Char(';') + country;
    card += QStringLiteral("\nEND:VCARD\n");
    return card;
}

} // namespace

TNdefRecord* copyNdefRecord(const TNdefRecordInfo& record) {
    auto* copy = new (std::nothrow) TNdefRecord{record, copyBytes(record.type, record.typeLength),
                                                copyBytes(record.id, record.idLength),
                                                copyBytes(record.record, record.recordLength)};
    if (!copy) return nullptr;
    copy->info.type = copy->type.get();
    copy->info.id = copy->id.get();
    copy->info.record = copy->record.get();
    return copy;
}

CNdefMessage::CNdefMessage() { registerMetaTypes(); }

CNdefMessage::~CNdefMessage() { clearRecords(); }

void CNdefMessage::postTrace(DWORD level, const char* source, const char* format, ...) {
    // Nobody listens while no window is connected: no buffer is made that nobody would free.
    if (!isSignalConnected(QMetaMethod::fromSignal(&CNdefMessage::signalPostTrace))) return;
    va_list arguments;
    va_start(arguments, format);
    char* text = newTraceText(format, arguments);
    va_end(arguments);
    if (text) emit signalPostTrace(level, source, text);
}

void CNdefMessage::clearRecords() {
    qDeleteAll(m_records);
    m_records.clear();
}

void CNdefMessage::replaceBuffer(uint32_t capacity) {
    clearRecords();
    m_message.reset(new (std::nothrow) BYTE[capacity ? capacity : 1]);
    m_capacity = m_messageSize = m_message ? capacity : 0;
}

bool CNdefMessage::refusedOversized(const char* source, qsizetype size) {
    if (size <= kMaxTextSize) return false;
    postTrace(kTraceError, source, "! Text size exceeds buffer size");
    return true;
}

template <typename Build>
NdefStatus CNdefMessage::build(const char* source, const void* slot, const char* failureText, Build&& call) {
    postTrace(kTraceInfo, source, "Enter");
    if (!slot) {
        postTrace(kTraceError, source, "! NFC library not loaded");
        return NDEF_BAD_PARAMETER;
    }
    replaceBuffer(kMessageCapacity);
    const NdefStatus status = call(m_message.get(), &m_messageSize);
    // A failed build may leave the size it needed: the buffer holds no message then.
    if (status != NDEF_OK || m_messageSize > m_capacity) m_messageSize = 0;
    if (status != NDEF_OK) postTrace(kTraceError, source, "%s (code: %u)", failureText, status);
    postTrace(kTraceInfo, source, "Exit (status: %u)", status);
    return status;
}

NdefStatus CNdefMessage::ndefCreateUriMessage(const QString& prefix, const QString& rest) {
    m_uri = QStringLiteral("%1%2").arg(prefix, rest).toUtf8();
    return build(NDEF_SOURCE("ndefCreateUriMessage"), reinterpret_cast<const void*>(corvaneSymbolTable.ndefCreateUriMessage),
                 "! Creating NDEF message failed", [this](uint8_t* buffer, uint32_t* length) {
                     return corvaneSymbolTable.ndefCreateUriMessage(m_uri.constData(), buffer, length);
                 });
}

NdefStatus CNdefMessage::ndefCreateVcardMessage(const QString& title, const QString& firstName, const QString& lastName,
                                                const QString& phone, const QString& mobile, const QString& email,
                                                const QString& company, const QString& jobTitle, const QString& url,
                                                const QString& street, const QString& postalCode, const QString& city,
                                                const QString& country) {
    const char* source = NDEF_SOURCE("ndefCreateVcardMessage");
    const QString card = composeVcard(title, firstName, lastName, phone, mobile, email, company, jobTitle, url, street,
                                      postalCode, city, country);
    if (refusedOversized(source, card.size())) return NDEF_BUFFER_TOO_SMALL;
    const QByteArray bytes = card.toUtf8();
    if (refusedOversized(source, bytes.size())) return NDEF_BUFFER_TOO_SMALL;
    return build(source, reinterpret_cast<const void*>(corvaneSymbolTable.ndefCreateVCardMessage),
                 "! Creating NDEF message failed", [&bytes](uint8_t* buffer, uint32_t* length) {
                     return corvaneSymbolTable.ndefCreateVCardMessage(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                                                      static_cast<uint32_t>(bytes.size()), buffer, length);
                 });
}

NdefStatus CNdefMessage::ndefCreateVcardMessage(const QString& vcardText) {
    const char* source = NDEF_SOURCE("ndefCreateVcardMessage");
    if (refusedOversized(source, vcardText.size())) return NDEF_BUFFER_TOO_SMALL;
    const QByteArray bytes = vcardText.toUtf8();
    return build(source, reinterpret_cast<const void*>(corvaneSymbolTable.ndefCreateVCardMessage),
                 "! Creating VCard message failed", [&bytes](uint8_t* buffer, uint32_t* length) {
                     return corvaneSymbolTable.ndefCreateVCardMessage(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                                                      static_cast<uint32_t>(bytes.size()), buffer, length);
                 });
}

NdefStatus CNdefMessage::ndefCreateTextMessage(const QString& text, const QString& language) {
    const char* source = NDEF_SOURCE("ndefCreateTextMessage");
    if (refusedOversized(source, text.size())) return NDEF_BUFFER_TOO_SMALL;
    m_text = text.toUtf8();
    m_language = languageNameToCode(language).toLatin1();
    return build(source, reinterpret_cast<const void*>(corvaneSymbolTable.ndefCreateTextMessage),
                 "! Creating NDEF message failed", [this](uint8_t* buffer, uint32_t* length) {
                     return corvaneSymbolTable.ndefCreateTextMessage(
                         reinterpret_cast<const uint8_t*>(m_text.constData()), static_cast<uint32_t>(m_text.size()),
                         m_language.constData(), kEncodingUtf8, buffer, length);
                 });
}

NdefStatus CNdefMessage::ndefCreateSmartPosterMessage(const QString& text, const QString& language, const QString& uri,
                                                      uint32_t action) {
    const char* source = NDEF_SOURCE("ndefCreateSmartPosterMessage");
    if (refusedOversized(source, text.size())) return NDEF_BUFFER_TOO_SMALL;
    m_text = text.toUtf8();
    m_language = languageNameToCode(language).toLatin1();
    m_uri = uri.toUtf8();
    return build(source, reinterpret_cast<const void*>(corvaneSymbolTable.ndefCreateSmartPosterUriMessage),
                 "! Creating NDEF message failed", [this, action](uint8_t* buffer, uint32_t* length) {
                     return corvaneSymbolTable.ndefCreateSmartPosterUriMessage(
                         reinterpret_cast<const uint8_t*>(m_text.constData()), static_cast<uint32_t>(m_text.size()),
                         m_language.constData(), kEncodingUtf8, m_uri.constData(), action, buffer, length);
                 });
}

NdefStatus CNdefMessage::ndefCreateMimeMessage(const QString& fileName) {
    const char* source = NDEF_SOURCE("ndefCreateMimeMessage");
    postTrace(kTraceInfo, source, "Enter");
    const QFileInfo info(fileName);
    if (!info.exists()) {
        postTrace(kTraceError, source, "! Cannot find file");
        return NDEF_BAD_PARAMETER;
    }
    if (info.size() > kMaxPictureSize) {
        postTrace(kTraceError, source, "! File too large (> %u bytes)", kMaxPictureSize);
        return NDEF_BAD_PARAMETER;
    }
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        postTrace(kTraceError, source, "! Cannot open file for reading");
        return NDEF_BAD_PARAMETER;
    }
    m_picture = file.read(kMaxPictureSize);
    m_mimeType = "image/" + info.suffix().toLatin1();
    return build(source, reinterpret_cast<const void*>(corvaneSymbolTable.ndefCreateMimeMessage),
                 "! Creating NDEF message failed", [this](uint8_t* buffer, uint32_t* length) {
                     return corvaneSymbolTable.ndefCreateMimeMessage(
                         reinterpret_cast<const uint8_t*>(m_picture.constData()), static_cast<uint32_t>(m_picture.size()),
                         m_mimeType.constData(), buffer, length);
                 });
}

NdefStatus CNdefMessage::ndefParseMessage(const BYTE* bytes, uint32_t length) {
    const char* source = NDEF_SOURCE("ndefParseMessage");
    if (!bytes && length) return NDEF_BAD_PARAMETER;
    replaceBuffer(length);
    if (!m_message) return NDEF_STOPPED;   // the code the window knows for "no memory"
    if (length) std::memcpy(m_message.get(), bytes, length);
    postTrace(kTraceInfo, source, "Enter");
    if (!corvaneSymbolTable.ndefParseMessage) {
        postTrace(kTraceError, source, "! NFC library not loaded");
        return NDEF_BAD_PARAMETER;
    }
    const NdefStatus status =
        corvaneSymbolTable.ndefParseMessage(&CNdefMessage::ndefRecordCallback, this, m_message.get(), length);
    postTrace(kTraceInfo, source, "Exit (status: %u)", status);
    return status;
}

uint32_t CNdefMessage::ndefRecordCallback(void* context, const TNdefRecordInfo* record) {
    auto* message = static_cast<CNdefMessage*>(context);
    if (!message || !record) return 1;
    if (TNdefRecord* copy = copyNdefRecord(*record)) message->m_records.append(copy);
    return 1;
}
