// The record walk and the accessors: malformed input, nesting, callbacks, and what the
// accessors copy and report.
#include <gtest/gtest.h>

#include <cstring>

#include "ndef_test_util.h"
#include "trace_capture.h"
#include "util/trace.h"

namespace {

Bytes wrapInPoster(const Bytes& inner) {
    Bytes m = hex("D1 02");
    m.push_back(static_cast<uint8_t>(inner.size()));
    m.insert(m.end(), {'S', 'p'});
    m.insert(m.end(), inner.begin(), inner.end());
    return m;
}

Bytes nestedPosters(int depth) {
    Bytes m = hex("D5 00 00");
    for (int i = 0; i < depth; ++i) m = wrapInPoster(m);
    return m;
}

TEST(NdefParse, EmptyMessageCallsNothing) {
    uint8_t any = 0;
    int calls = 0;
    auto count = [](void* ctx, const TNdefRecordInfo*) -> uint32_t {
        ++*static_cast<int*>(ctx);
        return 1;
    };
    EXPECT_EQ(ndefParseMessage(count, &calls, &any, 0), NDEF_OK);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(ndefGetNumberOfRecords(&any, 0), 0u);
}

TEST(NdefParse, MalformedMessagesAreRefusedWithTheStepThatFailed) {
    debugSetFlags(0xFFFFFFFFu);
    struct Case {
        const char* name;
        Bytes bytes;
        NdefStatus status;
        size_t delivered;
        const char* trace;
    } cases[] = {
        {"truncated head", hex("D1 01"), NDEF_MALFORMED, 0, "'after parsing length' remaining bytes 2 < record.length 3"},
        {"type past the end", hex("D1 05 00 'T'"), NDEF_MALFORMED, 0, "'after parsing type length' remaining bytes 4 < record.length 8"},
        {"long length cut", hex("C5 00 00 00"), NDEF_MALFORMED, 0, "'after parsing payload length' remaining bytes 4 < record.length 6"},
        {"payload past the end", hex("D5 00 05 01"), NDEF_MALFORMED, 0, "'after parsing payload length' remaining bytes 4 < record.length 8"},
        {"payload length near 4 GiB", hex("C5 00 FF FF FF FF 00"), NDEF_MALFORMED, 0, "remaining bytes 7 < record.length 4294967301"},
        {"id length byte missing", hex("DD 00 00"), NDEF_MALFORMED, 0, "'after parsing ID' remaining bytes 3 < record.length 4"},
        {"id past the end", hex("DD 00 00 05 'a'"), NDEF_MALFORMED, 0, "'after parsing ID length' remaining bytes 5 < record.length 9"},
        {"records run out without ME", hex("95 00 00 15 00 00"), NDEF_MALFORMED, 2, "'after parsing length' remaining bytes 0 < record.length 3"},
        {"text language longer than payload", hex("D1 01 03 'T' 05 'en'"), NDEF_MALFORMED, 0, nullptr},
        {"text without status byte", hex("D1 01 00 'T'"), NDEF_MALFORMED, 0, nullptr},
        {"uri without code", hex("D1 01 00 'U'"), NDEF_MALFORMED, 0, nullptr},
        {"action without code", hex("D1 03 00 'act'"), NDEF_MALFORMED, 0, nullptr},
        {"size of three bytes", hex("D1 01 03 's' 00 00 01"), NDEF_MALFORMED, 0, nullptr},
        {"request without version", hex("D1 02 00 'Hr'"), NDEF_MALFORMED, 0, nullptr},
        {"initiate without flag", hex("D1 02 01 'Hi' 13"), NDEF_MALFORMED, 0, nullptr},
        {"alternative carrier of one byte", hex("D1 02 01 'ac' 01"), NDEF_MALFORMED, 0, nullptr},
        {"carrier reference past the end", hex("D1 02 03 'ac' 01 05 'a'"), NDEF_MALFORMED, 0, nullptr},
        {"auxiliary reference past the end", hex("D1 02 06 'ac' 01 01 'a' 01 04 'b'"), NDEF_MALFORMED, 0, nullptr},
        {"auxiliary count past the end", hex("D1 02 06 'ac' 01 01 'a' 02 01 'b'"), NDEF_MALFORMED, 0, nullptr},
        {"handover carrier type past the end", hex("D1 02 03 'Hc' 02 05 'a'"), NDEF_MALFORMED, 0, nullptr},
        {"collision of one byte", hex("D1 02 01 'cr' 12"), NDEF_MALFORMED, 0, nullptr},
        {"error of one byte", hex("D1 03 01 'err' 01"), NDEF_MALFORMED, 0, "length of payload to small = 0x1"},
        {"error reason 2 cut", hex("D1 03 03 'err' 02 00 01"), NDEF_MALFORMED, 0, nullptr},
        {"error reason unknown", hex("D1 03 02 'err' 09 00"), NDEF_BAD_PARAMETER, 0, nullptr},
        {"bad record inside a poster", wrapInPoster(hex("D1 01 00 'U'")), NDEF_MALFORMED, 1, nullptr},
        {"posters 17 deep", nestedPosters(17), NDEF_MALFORMED, 17, "nesting deeper than 16 levels"},
    };
    for (const auto& c : cases) {
        TraceCapture cap;
        Parsed p = parse(c.bytes);
        EXPECT_EQ(p.status, c.status) << c.name;
        EXPECT_EQ(p.records.size(), c.delivered) << c.name;
        if (c.trace) {
            EXPECT_TRUE(cap.contains(c.trace)) << c.name;
        }
        EXPECT_EQ(ndefGetNumberOfRecords(c.bytes.data(), static_cast<uint32_t>(c.bytes.size())), 0xFFFFFFFFu) << c.name;
    }
}

TEST(NdefParse, SixteenLevelsOfNestingAreFollowed) {
    Bytes m = nestedPosters(16);
    Parsed p = parse(m);
    EXPECT_EQ(p.status, NDEF_OK);
    ASSERT_EQ(p.records.size(), 17u);
    EXPECT_EQ(p.records.back(), "16.0 tnf5 1 '' []");
}

TEST(NdefParse, ContinuationChunkTakesTheTypeOfTheFirstChunkOfItsOwnMessage) {
    // A chunk at the start of a nested message has no first chunk to take a type from.
    Bytes m = hex("B2 03 01 'a/b' 01 36 00 01 02 56 00 00");
    Parsed p = parse(m);
    EXPECT_EQ(p.status, NDEF_OK);
    EXPECT_EQ(p.records, (std::vector<std::string>{"0.0 tnf2 200 'a/b' CF [01 02]"}));
    Parsed nested = parse(wrapInPoster(hex("D6 00 01 07")));
    EXPECT_EQ(nested.records, (std::vector<std::string>{"0.0 tnf1 103 'Sp'", "1.0 tnf0 0 '' [07]"}));
}

struct ChunkedCase {
    const char* what;
    Bytes message;
    std::vector<std::string> records;
};

// A record that comes in chunks is decoded by its type once its chunks are joined: Text, URI,
// a Smart Poster with chunked records inside, any type; the record counts once.
TEST(NdefParse, ChunkedRecordsOfEveryTypeParseWhole) {
    const ChunkedCase cases[] = {
        {"Text", hex("B1 01 06 'T' 02 'en' 'Hel' 56 00 08 'lo world'"), {"0.0 tnf1 101 'T' CF utf8 en 'Hello world'"}},
        {"URI cut after its prefix code", hex("B1 01 01 'U' 04 36 00 04 'nfc-' 56 00 09 'forum.org'"),
         {"0.0 tnf1 102 'U' CF uri 4 'nfc-forum.org'"}},
        {"Smart Poster, itself and its Text in chunks",
         hex("B1 02 06 'Sp' B1 01 03 'T' 02 'e' 56 00 0A 'n' 16 00 01 'x' 51 01 01 'U' 00"),
         {"0.0 tnf1 103 'Sp' CF", "1.0 tnf1 101 'T' CF utf8 en 'x'", "1.1 tnf1 102 'U' uri 0 ''"}},
        {"action", hex("B1 03 00 'act' 56 00 01 02"), {"0.0 tnf1 104 'act' CF act 2"}},
        {"MIME, then another record", hex("B2 03 01 'a/b' 01 16 00 01 02 51 01 01 'U' 00"),
         {"0.0 tnf2 200 'a/b' CF [01 02]", "0.1 tnf1 102 'U' uri 0 ''"}},
    };
    for (const ChunkedCase& c : cases) {
        Parsed p = parse(c.message);
        EXPECT_EQ(p.status, NDEF_OK) << c.what;
        EXPECT_EQ(p.records, c.records) << c.what;
        EXPECT_EQ(ndefGetNumberOfRecords(c.message.data(), static_cast<uint32_t>(c.message.size())), c.records.size())
            << c.what;
    }
    const Bytes text = cases[0].message;
    char out[32] = {};
    char language[8] = {};
    uint32_t length = sizeof out, languageLength = sizeof language, encoding = 9;
    EXPECT_EQ(ndefGetText(text.data(), static_cast<uint32_t>(text.size()), 0, out, &length, &encoding, language,
                          &languageLength, nullptr),
              NDEF_OK);
    EXPECT_STREQ(out, "Hello world");
}

// Chunks that do not end a record are malformed, not taken as the record.
TEST(NdefParse, ABrokenChunkSequenceIsMalformed) {
    const std::pair<const char*, Bytes> cases[] = {
        {"the message ends in the chunks", hex("B1 01 06 'T' 02 'en' 'Hel' 36 00 02 'lo'")},
        {"the last record has CF", hex("F1 01 03 'T' 02 'en'")},
        {"no continuation after CF", hex("B1 01 03 'T' 02 'en' 51 01 01 'U' 00")},
        {"a continuation runs past the message", hex("B1 01 03 'T' 02 'en' 56 00 09 'x'")},
    };
    for (const auto& [what, m] : cases) {
        EXPECT_EQ(parse(m).status, NDEF_MALFORMED) << what;
        EXPECT_EQ(ndefGetNumberOfRecords(m.data(), static_cast<uint32_t>(m.size())), 0xFFFFFFFFu) << what;
    }
}

TEST(NdefParse, CallbackAnsweringZeroStopsTheWalk) {
    Bytes m = hex("95 00 00 55 00 00");
    int calls = 0;
    auto stop = [](void* ctx, const TNdefRecordInfo*) -> uint32_t {
        ++*static_cast<int*>(ctx);
        return 0;
    };
    EXPECT_EQ(ndefParseMessage(stop, &calls, m.data(), static_cast<uint32_t>(m.size())), NDEF_STOPPED);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(ndefParseMessage(stop, &calls, nullptr, 5), NDEF_BAD_PARAMETER);
    EXPECT_EQ(ndefParseMessage(nullptr, &calls, m.data(), static_cast<uint32_t>(m.size())), NDEF_BAD_PARAMETER);
}

// A message with every kind the accessors look for, one of them nested in a Smart Poster.
class NdefAccessor : public ::testing::Test {
protected:
    void SetUp() override {
        message = hex("91 02 1C 'Sp' 91 01 06 'T' 02 'en' 'NFC' 51 01 0E 'U' 04 'nfc-forum.org'"
                      "11 01 0A 'T' 85 'en-US' 00 48 00 69 "
                      "11 01 06 'U' 24 'x:y:z' "
                      "12 0C 03 'text/x-vCard' 'B:V' "
                      "12 09 02 'image/png' 89 50 "
                      "14 05 01 'a.b:c' 7F "
                      "15 00 02 01 02 "
                      "51 03 01 'act' 02");
        ASSERT_EQ(parse(message).status, NDEF_OK);
    }
    const uint8_t* data() const { return message.data(); }
    uint32_t size() const { return static_cast<uint32_t>(message.size()); }
    Bytes message;
};

TEST_F(NdefAccessor, TextIsCountedOverEveryLevelAndCopiedWithItsLanguage) {
    char text[16], language[8];
    uint32_t textLength = sizeof text, languageLength = sizeof language, encoding = 9, level = 9;
    EXPECT_EQ(ndefGetText(data(), size(), 0, text, &textLength, &encoding, language, &languageLength, &level), NDEF_OK);
    EXPECT_STREQ(text, "NFC");
    EXPECT_STREQ(language, "en");
    EXPECT_EQ(textLength, 3u);
    EXPECT_EQ(languageLength, 3u);
    EXPECT_EQ(encoding, 0u);
    EXPECT_EQ(level, 1u);
    textLength = sizeof text;
    languageLength = 6;   // exactly the language and its terminator
    EXPECT_EQ(ndefGetText(data(), size(), 1, text, &textLength, &encoding, language, &languageLength, &level), NDEF_OK);
    EXPECT_STREQ(language, "en-US");
    EXPECT_EQ(encoding, 0x80u);
    EXPECT_EQ(level, 0u);
    textLength = 4;   // exactly the text, no room for the terminator
    EXPECT_EQ(ndefGetText(data(), size(), 1, text, &textLength, &encoding, nullptr, nullptr, nullptr),
              NDEF_BUFFER_TOO_SMALL);
    EXPECT_EQ(textLength, 4u);
    languageLength = 5;
    textLength = sizeof text;
    EXPECT_EQ(ndefGetText(data(), size(), 1, text, &textLength, &encoding, language, &languageLength, nullptr),
              NDEF_BUFFER_TOO_SMALL);
    EXPECT_EQ(languageLength, 6u);
    EXPECT_EQ(ndefGetText(data(), size(), 2, text, &textLength, &encoding, nullptr, nullptr, nullptr), NDEF_NOT_FOUND);
}

TEST_F(NdefAccessor, UriIsReturnedWithItsPrefixAndTheSizeItNeeds) {
    char uri[32];
    uint32_t length = 5, level = 9;
    EXPECT_EQ(ndefGetUri(data(), size(), 0, uri, &length, &level), NDEF_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 22u);
    EXPECT_EQ(ndefGetUri(data(), size(), 0, uri, &length, &level), NDEF_OK);
    EXPECT_STREQ(uri, "https://nfc-forum.org");
    EXPECT_EQ(level, 1u);
    length = sizeof uri;
    EXPECT_EQ(ndefGetUri(data(), size(), 1, uri, &length, nullptr), NDEF_OK);   // code 0x24: no prefix
    EXPECT_STREQ(uri, "x:y:z");
    EXPECT_EQ(ndefGetUri(data(), size(), 2, uri, &length, nullptr), NDEF_NOT_FOUND);
    Bytes cut(message.begin(), message.end() - 1);
    EXPECT_EQ(ndefGetUri(cut.data(), static_cast<uint32_t>(cut.size()), 5, uri, &length, nullptr), NDEF_MALFORMED);
}

TEST_F(NdefAccessor, MediaExternalUnknownAndAction) {
    uint8_t buffer[8];
    char type[16];
    uint32_t length = sizeof buffer, typeLength = sizeof type, level = 9;
    EXPECT_EQ(ndefGetVCard(data(), size(), 0, buffer, &length, &level), NDEF_OK);
    EXPECT_EQ(Bytes(buffer, buffer + length), hex("'B:V'"));
    length = 2;
    EXPECT_EQ(ndefGetVCard(data(), size(), 0, buffer, &length, &level), NDEF_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 3u);

    length = sizeof buffer;
    uint32_t small = 7;
    EXPECT_EQ(ndefGetPicture(data(), size(), 0, buffer, &length, type, &small, &level), NDEF_BUFFER_TOO_SMALL);
    EXPECT_EQ(small, 7u);
    EXPECT_EQ(ndefGetPicture(data(), size(), 0, buffer, &length, type, &typeLength, &level), NDEF_OK);
    EXPECT_STREQ(type, "image/png");
    EXPECT_EQ(typeLength, 10u);
    EXPECT_EQ(Bytes(buffer, buffer + length), hex("89 50"));
    typeLength = 9;
    EXPECT_EQ(ndefGetPicture(data(), size(), 0, buffer, &length, type, &typeLength, &level), NDEF_BUFFER_TOO_SMALL);
    EXPECT_EQ(typeLength, 10u);

    uint8_t payload[1];
    uint32_t payloadLength = 0;
    typeLength = sizeof type;
    EXPECT_EQ(ndefGetExternal(data(), size(), 0, type, &typeLength, payload, &payloadLength, &level), NDEF_OK);
    EXPECT_STREQ(type, "a.b:c");
    EXPECT_EQ(payloadLength, 1u);   // told the size even though nothing was copied

    length = sizeof buffer;
    EXPECT_EQ(ndefGetUnknown(data(), size(), 0, buffer, &length, &level), NDEF_OK);
    EXPECT_EQ(Bytes(buffer, buffer + length), hex("01 02"));

    uint8_t action = 0;
    EXPECT_EQ(ndefGetAction(data(), size(), 0, &action, &level), NDEF_OK);
    EXPECT_EQ(action, 2);
    EXPECT_EQ(level, 0u);
    EXPECT_EQ(ndefGetAction(data(), size(), 1, &action, &level), NDEF_NOT_FOUND);
}

TEST_F(NdefAccessor, MissingOutputPointersAreRefused) {
    char c[8];
    uint8_t b[8];
    uint32_t n = 8;
    struct Case {
        const char* name;
        std::function<NdefStatus()> call;
    } cases[] = {
        {"text data", [&] { return ndefGetText(nullptr, 1, 0, c, &n, &n, nullptr, nullptr, nullptr); }},
        {"text length", [&] { return ndefGetText(data(), size(), 0, c, nullptr, &n, nullptr, nullptr, nullptr); }},
        {"text encoding", [&] { return ndefGetText(data(), size(), 0, c, &n, nullptr, nullptr, nullptr, nullptr); }},
        {"uri length", [&] { return ndefGetUri(data(), size(), 0, c, nullptr, nullptr); }},
        {"action", [&] { return ndefGetAction(data(), size(), 0, nullptr, nullptr); }},
        {"vcard length", [&] { return ndefGetVCard(data(), size(), 0, b, nullptr, nullptr); }},
        {"picture type", [&] { return ndefGetPicture(data(), size(), 0, b, &n, nullptr, &n, nullptr); }},
        {"external type length", [&] { return ndefGetExternal(data(), size(), 0, c, nullptr, b, &n, nullptr); }},
        {"external payload length", [&] { return ndefGetExternal(data(), size(), 0, c, &n, b, nullptr, nullptr); }},
        {"unknown length", [&] { return ndefGetUnknown(data(), size(), 0, b, nullptr, nullptr); }},
    };
    for (const auto& k : cases) EXPECT_EQ(k.call(), NDEF_BAD_PARAMETER) << k.name;
    uint32_t zero = 0;
    EXPECT_EQ(ndefGetPicture(data(), size(), 0, b, &zero, c, &n, nullptr), NDEF_BAD_PARAMETER);
}

} // namespace
