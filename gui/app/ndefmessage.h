// One NDEF message of the GUI: built through the library's NDEF exports from what the user chose,
// kept encoded for writing, pushing or emulating, and parsed into a list of record copies.
#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <algorithm>
#include <memory>

#include "corvane.h"
#include "metatypes.h"

// A parsed record: the library's descriptor with its type, ID and encoded record copied. Its
// per-type pointers still point into the message's buffer, so the record lives only as long
// as that buffer: every build or parse clears the list together with the buffer it replaces.
struct TNdefRecord {
    TNdefRecordInfo info;
    std::unique_ptr<uint8_t[]> type;
    std::unique_ptr<uint8_t[]> id;
    std::unique_ptr<uint8_t[]> record;
};

TNdefRecord* copyNdefRecord(const TNdefRecordInfo& record);

class CNdefMessage : public QObject {
    Q_OBJECT

public:
    static constexpr uint32_t kMessageCapacity = 0xFFFF;
    static constexpr uint32_t kMaxPictureSize = 0xFFFF;

    CNdefMessage();
    ~CNdefMessage() override;

    NdefStatus ndefCreateUriMessage(const QString& prefix, const QString& rest);
    NdefStatus ndefCreateVcardMessage(const QString& title, const QString& firstName, const QString& lastName,
                                      const QString& phone, const QString& mobile, const QString& email,
                                      const QString& company, const QString& jobTitle, const QString& url,
                                      const QString& street, const QString& postalCode, const QString& city,
                                      const QString& country);
    NdefStatus ndefCreateVcardMessage(const QString& vcardText);
    NdefStatus ndefCreateTextMessage(const QString& text, const QString& language);
    NdefStatus ndefCreateSmartPosterMessage(const QString& text, const QString& language, const QString& uri,
                                            uint32_t action = NDEF_NO_ACTION);
    NdefStatus ndefCreateMimeMessage(const QString& fileName);

    NdefStatus ndefParseMessage(const BYTE* bytes, uint32_t length);
    static uint32_t ndefRecordCallback(void* context, const TNdefRecordInfo* record);
    void clearRecords();

    const QList<TNdefRecord*>& records() const { return m_records; }
    BYTE* getMessageBuffer() const { return m_message.get(); }
    uint32_t getMessageSize() const { return m_messageSize; }
    // Never more than the buffer holds.
    void setMessageSize(uint32_t size) { m_messageSize = std::min(size, m_capacity); }
    const QByteArray& mimeType() const { return m_mimeType; }

signals:
    void signalPostTrace(DWORD level, const char* source, char* text);

private:
    void postTrace(DWORD level, const char* source, const char* format, ...) __attribute__((format(printf, 4, 5)));
    // Gives the message a new buffer of the given capacity (none when it cannot be had) and
    // drops the records that pointed into the old one.
    void replaceBuffer(uint32_t capacity);
    bool refusedOversized(const char* source, qsizetype size);
    template <typename Build>
    NdefStatus build(const char* source, const void* slot, const char* failureText, Build&& call);

    QList<TNdefRecord*> m_records;
    std::unique_ptr<BYTE[]> m_message;
    uint32_t m_messageSize = 0;
    uint32_t m_capacity = 0;
    // The texts last handed to the library, zero-terminated.
    QByteArray m_uri;
    QByteArray m_text;
    QByteArray m_language;
    QByteArray m_mimeType;
    QByteArray m_picture;
};
