// The NDEF exports: logged like every other, and, once a test named a real library, answered by
// that library's NDEF code, so that the window builds and parses genuine messages. A scripted
// failure still wins.
#include "fake_exports.h"

CORVANE_API NdefStatus ndefCreateUriMessage(const char* uri, uint8_t* buffer, uint32_t* length) {
    return fakeNdefCall<NdefStatus>("ndefCreateUriMessage", uri, buffer, length);
}

CORVANE_API NdefStatus ndefCreateTextMessage(const uint8_t* text, uint32_t textLength, const char* language, uint32_t encoding, uint8_t* buffer, uint32_t* length) {
    return fakeNdefCall<NdefStatus>("ndefCreateTextMessage", text, textLength, language, encoding, buffer, length);
}

CORVANE_API NdefStatus ndefCreateSmartPosterUriMessage(const uint8_t* text, uint32_t textLength, const char* language, uint32_t encoding, const char* uri, uint32_t action, uint8_t* buffer, uint32_t* length) {
    return fakeNdefCall<NdefStatus>("ndefCreateSmartPosterUriMessage", text, textLength, language, encoding, uri, action, buffer, length);
}

CORVANE_API NdefStatus ndefCreateVCardMessage(const uint8_t* data, uint32_t dataLength, uint8_t* buffer, uint32_t* length) {
    return fakeNdefCall<NdefStatus>("ndefCreateVCardMessage", data, dataLength, buffer, length);
}

CORVANE_API NdefStatus ndefCreateMimeMessage(const uint8_t* data, uint32_t dataLength, const char* mimeType, uint8_t* buffer, uint32_t* length) {
    return fakeNdefCall<NdefStatus>("ndefCreateMimeMessage", data, dataLength, mimeType, buffer, length);
}

CORVANE_API NdefStatus ndefParseMessage(NdefRecordCallback callback, void* context, const uint8_t* data, uint32_t length) {
    return fakeNdefCall<NdefStatus>("ndefParseMessage", callback, context, data, length);
}
