// Byte vectors of every record kind, laid out by hand from the NFC Forum record definitions:
// each is built by its creator and parsed back to the expected records.
#include <gtest/gtest.h>

#include <cstring>

#include "ndef_test_util.h"

namespace {

struct Vector {
    const char* name;
    std::function<NdefStatus(uint8_t*, uint32_t*)> create;
    const char* bytes;
    std::vector<std::string> records;
};

NdefStatus posterWithSizeAndType(uint8_t* buffer, uint32_t* length) {
    TNdefRecordInfo uri{}, size{}, type{}, poster{};
    uri.recordTypeId = NDEF_ID_URI;
    uri.uri.prefixCode = 0x03;
    uri.uri.rest = u8("example.org/a.png");
    uri.uri.restLength = 17;
    size.recordTypeId = NDEF_ID_SIZE;
    size.size.value = 0x1234;
    type.recordTypeId = NDEF_ID_TYPE;
    type.payload.data = u8("image/png");
    type.payload.length = 9;
    TNdefRecordInfo* nested[] = {&uri, &size, &type};
    poster.recordTypeId = NDEF_ID_SMART_POSTER;
    poster.smartPoster.records = nested;
    poster.smartPoster.count = 3;
    return ndefCreateMessage(&poster, buffer, length);
}

const uint8_t kUtf16Hi[] = {0xFE, 0xFF, 0x00, 0x48, 0x00, 0x69};

const Vector kVectors[] = {
    {"UriWithPrefix", [](uint8_t* b, uint32_t* l) { return ndefCreateUriMessage("http://www.nfc-forum.org", b, l); },
     "D1 01 0E 55 01 'nfc-forum.org'", {"0.0 tnf1 102 'U' uri 1 'nfc-forum.org'"}},
    {"UriUrnTakesShortestUrnPrefix",
     [](uint8_t* b, uint32_t* l) { return ndefCreateUriMessage("urn:nfc:sn:snep", b, l); },
     "D1 01 0C 55 13 'nfc:sn:snep'", {"0.0 tnf1 102 'U' uri 19 'nfc:sn:snep'"}},
    {"UriWithoutPrefix", [](uint8_t* b, uint32_t* l) { return ndefCreateUriMessage("geo:47.0,8.0", b, l); },
     "D1 01 0D 55 00 'geo:47.0,8.0'", {"0.0 tnf1 102 'U' uri 0 'geo:47.0,8.0'"}},
    {"TextUtf8",
     [](uint8_t* b, uint32_t* l) { return ndefCreateTextMessage(u8("Hello, world!"), 13, "en", 0, b, l); },
     "D1 01 10 54 02 'en' 'Hello, world!'", {"0.0 tnf1 101 'T' utf8 en 'Hello, world!'"}},
    {"TextUtf16StoredUnchanged",
     [](uint8_t* b, uint32_t* l) { return ndefCreateTextMessage(kUtf16Hi, 6, "en-US", 1, b, l); },
     "D1 01 0C 54 85 'en-US' FE FF 00 48 00 69",
     {"0.0 tnf1 101 'T' utf16 en-US '" + std::string(reinterpret_cast<const char*>(kUtf16Hi), 6) + "'"}},
    {"SmartPosterWithAction",
     [](uint8_t* b, uint32_t* l) {
         return ndefCreateSmartPosterUriMessage(u8("NFC"), 3, "en", 0, "https://nfc-forum.org", 0, b, l);
     },
     "D1 02 23 'Sp' 91 01 06 54 02 'en' 'NFC' 11 01 0E 55 04 'nfc-forum.org' 51 03 01 'act' 00",
     {"0.0 tnf1 103 'Sp'", "1.0 tnf1 101 'T' utf8 en 'NFC'", "1.1 tnf1 102 'U' uri 4 'nfc-forum.org'",
      "1.2 tnf1 104 'act' act 0"}},
    {"SmartPosterWithoutAction",
     [](uint8_t* b, uint32_t* l) {
         return ndefCreateSmartPosterUriMessage(u8("NFC"), 3, "en", 0, "https://nfc-forum.org", NDEF_NO_ACTION, b,
                                                l);
     },
     "D1 02 1C 'Sp' 91 01 06 54 02 'en' 'NFC' 51 01 0E 55 04 'nfc-forum.org'",
     {"0.0 tnf1 103 'Sp'", "1.0 tnf1 101 'T' utf8 en 'NFC'", "1.1 tnf1 102 'U' uri 4 'nfc-forum.org'"}},
    {"SmartPosterSizeIsBigEndian", posterWithSizeAndType,
     "D1 02 2B 'Sp' 91 01 12 55 03 'example.org/a.png' 11 01 04 's' 00 00 12 34 51 01 09 't' 'image/png'",
     {"0.0 tnf1 103 'Sp'", "1.0 tnf1 102 'U' uri 3 'example.org/a.png'", "1.1 tnf1 105 's' size 4660",
      "1.2 tnf1 106 't' [69 6D 61 67 65 2F 70 6E 67]"}},
    {"VCard", [](uint8_t* b, uint32_t* l) { return ndefCreateVCardMessage(u8("BEGIN:VCARD"), 11, b, l); },
     "D2 0C 0B 'text/x-vCard' 'BEGIN:VCARD'",
     {"0.0 tnf2 200 'text/x-vCard' [42 45 47 49 4E 3A 56 43 41 52 44]"}},
    {"Mime", [](uint8_t* b, uint32_t* l) { return ndefCreateMimeMessage(u8("\x01\x02\x03"), 3, "image/png", b, l); },
     "D2 09 03 'image/png' 01 02 03", {"0.0 tnf2 200 'image/png' [01 02 03]"}},
    {"AbsoluteUri",
     [](uint8_t* b, uint32_t* l) { return ndefCreateAbsoluteUriMessage("http://example.org/x", u8("hi"), 2, b, l); },
     "D3 14 02 'http://example.org/x' 'hi'", {"0.0 tnf3 3 'http://example.org/x' [68 69]"}},
    {"External",
     [](uint8_t* b, uint32_t* l) { return ndefCreateExternalTypeMessage("nfc.com:ex", u8("\xAA\xBB"), 2, b, l); },
     "D4 0A 02 'nfc.com:ex' AA BB", {"0.0 tnf4 2 'nfc.com:ex' [AA BB]"}},
    {"ExternalWithoutPayload",
     [](uint8_t* b, uint32_t* l) { return ndefCreateExternalTypeMessage("nfc.com:ex", nullptr, 0, b, l); },
     "D4 0A 00 'nfc.com:ex'", {"0.0 tnf4 2 'nfc.com:ex' []"}},
    {"Unknown", [](uint8_t* b, uint32_t* l) { return ndefCreateUnknownTypeMessage(u8("\x01\x02\x03"), 3, b, l); },
     "D5 00 03 01 02 03", {"0.0 tnf5 1 '' [01 02 03]"}},
};

void PrintTo(const Vector& v, std::ostream* os) { *os << v.name; }

class NdefVector : public ::testing::TestWithParam<Vector> {};

TEST_P(NdefVector, BuildsTheBytesAndParsesThemBack) {
    const Vector& v = GetParam();
    NdefStatus status = NDEF_BAD_PARAMETER;
    EXPECT_EQ(build(v.create, &status), hex(v.bytes));
    EXPECT_EQ(status, NDEF_OK);
    Parsed p = parse(hex(v.bytes));
    EXPECT_EQ(p.status, NDEF_OK);
    EXPECT_EQ(p.records, v.records);
    EXPECT_EQ(ndefGetNumberOfRecords(hex(v.bytes).data(), static_cast<uint32_t>(hex(v.bytes).size())),
              v.records.size());
}

INSTANTIATE_TEST_SUITE_P(Records, NdefVector, ::testing::ValuesIn(kVectors),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
