// The two-pass builder: record heads, sizing, chunking, every TNF, and what it refuses.
#include <gtest/gtest.h>

#include <cstring>

#include "ndef_test_util.h"
#include "trace_capture.h"
#include "util/trace.h"

namespace {

TNdefRecordInfo raw(uint32_t tnf, const char* type, const Bytes& payload, const char* id = "") {
    TNdefRecordInfo r{};
    r.tnf = tnf;
    r.type = u8(type);
    r.typeLength = static_cast<uint8_t>(std::strlen(type));
    r.id = u8(id);
    r.idLength = static_cast<uint8_t>(std::strlen(id));
    r.payload.data = payload.data();
    r.payload.length = static_cast<uint32_t>(payload.size());
    return r;
}

Bytes buildList(std::vector<TNdefRecordInfo*> list, NdefStatus* status = nullptr) {
    return build([&](uint8_t* b, uint32_t* l) { return ndefCreateMessageEx(list.data(), static_cast<uint32_t>(list.size()), b, l); },
                 status);
}

TEST(NdefBuild, PayloadOf255IsShortAnd256IsLong) {
    struct Case {
        uint32_t payload;
        uint8_t header;
        size_t head;
    } cases[] = {{255, 0xD5, 3}, {256, 0xC5, 6}};
    for (const auto& c : cases) {
        Bytes payload(c.payload, 0x5A);
        Bytes m = build([&](uint8_t* b, uint32_t* l) { return ndefCreateUnknownTypeMessage(payload.data(), c.payload, b, l); });
        ASSERT_EQ(m.size(), c.head + c.payload) << c.payload;
        EXPECT_EQ(m[0], c.header);
        Parsed p = parse(m);
        EXPECT_EQ(p.status, NDEF_OK);
        EXPECT_EQ(p.records.size(), 1u);
    }
}

TEST(NdefBuild, SizeQueryReportsTheExactSizeAndLeavesTheBufferAlone) {
    Bytes buffer(64, 0xEE);
    uint32_t length = 0;
    EXPECT_EQ(ndefCreateUriMessage("http://www.x", buffer.data(), &length), NDEF_BAD_PARAMETER);  // typed: 0 refused
    const Bytes payload = hex("01 02 03");
    TNdefRecordInfo r = raw(NDEF_TNF_UNKNOWN, "", payload);
    EXPECT_EQ(ndefCreateMessage(&r, buffer.data(), &length), NDEF_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(buffer, Bytes(64, 0xEE));
    uint32_t nullLength = 100;
    EXPECT_EQ(ndefCreateMessage(&r, nullptr, &nullLength), NDEF_BUFFER_TOO_SMALL);
    EXPECT_EQ(nullLength, 6u);
    EXPECT_EQ(ndefCreateMessage(&r, buffer.data(), &length), NDEF_OK);
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 7), hex("D5 00 03 01 02 03 EE"));
    EXPECT_EQ(r.record, buffer.data());
    EXPECT_EQ(r.recordLength, 6u);
}

// Chunks: CF on every chunk but the last, the continuation chunks with TNF 6, no type and no
// ID; parsed back, they are one record of the first chunk's type and ID, its payload joined.
TEST(NdefBuild, ChunkedRecordCarriesCfOnAllButTheLastChunk) {
    Bytes p1 = hex("'ab'"), p2 = hex("'cd'"), p3 = hex("'e'");
    TNdefRecordInfo a = raw(NDEF_TNF_MIME, "text/plain", p1, "x"), b = raw(NDEF_TNF_MIME, "text/plain", p2, "y"),
                    c = raw(NDEF_TNF_MIME, "text/plain", p3, "z");
    a.chunked = b.chunked = 1;
    c.chunked = 1;   // nothing follows the last chunk, so it carries no CF
    Bytes m = buildList({&a, &b, &c});
    EXPECT_EQ(m, hex("BA 0A 02 01 'text/plain' 'x' 'ab' 36 00 02 'cd' 56 00 01 'e'"));
    EXPECT_EQ(b.record, c.record - b.recordLength);
    Parsed p = parse(m);
    EXPECT_EQ(p.status, NDEF_OK);
    EXPECT_EQ(p.records, (std::vector<std::string>{"0.0 tnf2 200 'text/plain' CF id='x' [61 62 63 64 65]"}));
    EXPECT_EQ(std::vector<uint32_t>({a.recordLength, b.recordLength, c.recordLength}), (std::vector<uint32_t>{17, 5, 4}));
    std::vector<uint32_t> lengths;
    ndefParseMessage([](void* ctx, const TNdefRecordInfo* r) -> uint32_t {
        static_cast<std::vector<uint32_t>*>(ctx)->push_back(r->recordLength);
        return 1;
    }, &lengths, m.data(), static_cast<uint32_t>(m.size()));
    EXPECT_EQ(lengths, std::vector<uint32_t>{26});  // the record spans its three chunks
}

// One message of every TNF, a long record and IDs survives build and parse unchanged.
TEST(NdefBuild, EveryTnfLongRecordsAndIdsRoundTrip) {
    Bytes big(70000, 0x11), small = hex("01 02"), none;
    TNdefRecordInfo empty = raw(NDEF_TNF_EMPTY, "", none);
    TNdefRecordInfo text{};
    text.recordTypeId = NDEF_ID_TEXT;
    text.text.language = u8("de");
    text.text.languageLength = 2;
    text.text.text = u8("Hallo");
    text.text.textLength = 5;
    text.id = u8("t1");
    text.idLength = 2;
    TNdefRecordInfo mime = raw(NDEF_TNF_MIME, "application/octet-stream", big, "big");
    mime.chunked = 1;
    TNdefRecordInfo tail = raw(NDEF_TNF_MIME, "ignored", small, "ignored");
    TNdefRecordInfo abs = raw(NDEF_TNF_ABSOLUTE_URI, "urn:x", small);
    TNdefRecordInfo ext = raw(NDEF_TNF_EXTERNAL, "a.b:c", small, "e");
    TNdefRecordInfo unk = raw(NDEF_TNF_UNKNOWN, "", big);
    TNdefRecordInfo res = raw(NDEF_TNF_RESERVED, "r", small);
    TNdefRecordInfo wk = raw(NDEF_TNF_WELL_KNOWN, "zz", small);   // not in the table: no layout
    NdefStatus status;
    Bytes m = buildList({&empty, &text, &mime, &tail, &abs, &ext, &unk, &res, &wk}, &status);
    ASSERT_EQ(status, NDEF_OK);
    Parsed p = parse(m);
    EXPECT_EQ(p.status, NDEF_OK);
    ASSERT_EQ(p.records.size(), 8u);
    EXPECT_EQ(p.records[0], "0.0 tnf0 0 '' []");
    EXPECT_EQ(p.records[1], "0.1 tnf1 101 'T' id='t1' utf8 de 'Hallo'");
    // The long chunked record and its short last chunk are one record.
    EXPECT_EQ(p.records[2].substr(0, 52), "0.2 tnf2 200 'application/octet-stream' CF id='big' ");
    EXPECT_EQ(p.records[2].size(), std::string("0.2 tnf2 200 'application/octet-stream' CF id='big' []").size() +
                                       70002 * 3 - 1);
    EXPECT_EQ(p.records[2].substr(p.records[2].size() - 12), "11 11 01 02]");
    EXPECT_EQ(p.records[3], "0.3 tnf3 3 'urn:x' [01 02]");
    EXPECT_EQ(p.records[4], "0.4 tnf4 2 'a.b:c' id='e' [01 02]");
    EXPECT_EQ(p.records[5].size(), std::string("0.5 tnf5 1 '' []").size() + 70000 * 3 - 1);
    EXPECT_EQ(p.records[6], "0.6 tnf7 0 'r' [01 02]");
    EXPECT_EQ(p.records[7], "0.7 tnf1 0 'zz' [01 02]");
    // Long records: four length bytes, SR clear.
    EXPECT_EQ(mime.record[0] & 0x10, 0);
    EXPECT_EQ(mime.recordLength, 1u + 1 + 4 + 1 + 24 + 3 + 70000);
}

TEST(NdefBuild, LanguageAndTypeLimits) {
    std::string lang63(63, 'a'), lang64(64, 'a'), type255(255, 'x'), type256(256, 'x'), mime64(64, 'a'),
        mime65(65, 'a');
    auto text = [](const char* lang) {
        return [lang](uint8_t* b, uint32_t* l) { return ndefCreateTextMessage(u8("x"), 1, lang, 0, b, l); };
    };
    auto mime = [](std::string type) {
        return [type](uint8_t* b, uint32_t* l) { return ndefCreateMimeMessage(u8("x"), 1, type.c_str(), b, l); };
    };
    struct Case {
        const char* name;
        std::function<NdefStatus(uint8_t*, uint32_t*)> create;
        NdefStatus expected;
    } cases[] = {
        {"letters and a hyphen", text("en-US"), NDEF_OK},
        {"63 letters", text(lang63.c_str()), NDEF_OK},
        {"64 letters", text(lang64.c_str()), NDEF_BAD_PARAMETER},
        {"underscore", text("en_US"), NDEF_BAD_PARAMETER},
        {"empty language", text(""), NDEF_BAD_PARAMETER},
        {"null language", text(nullptr), NDEF_BAD_PARAMETER},
        {"mime of 64", mime(mime64), NDEF_OK},
        {"mime of 65", mime(mime65), NDEF_BAD_PARAMETER},
        {"mime with 0x14", mime("a\x14z"), NDEF_OK},
        {"mime with 0x13", mime("a\x13z"), NDEF_BAD_PARAMETER},
        {"mime empty", mime(""), NDEF_BAD_PARAMETER},
        {"external of 255",
         [&](uint8_t* b, uint32_t* l) { return ndefCreateExternalTypeMessage(type255.c_str(), nullptr, 0, b, l); },
         NDEF_OK},
        {"external of 256",
         [&](uint8_t* b, uint32_t* l) { return ndefCreateExternalTypeMessage(type256.c_str(), nullptr, 0, b, l); },
         NDEF_BAD_PARAMETER},
        {"absolute uri of 256",
         [&](uint8_t* b, uint32_t* l) { return ndefCreateAbsoluteUriMessage(type256.c_str(), u8("p"), 1, b, l); },
         NDEF_BAD_PARAMETER},
    };
    for (const auto& c : cases) {
        NdefStatus status;
        build(c.create, &status);
        EXPECT_EQ(status, c.expected) << c.name;
    }
}

TEST(NdefBuild, OverlongTypesAreTracedAndRefused) {
    debugSetFlags(0xFFFFFFFFu);
    TraceCapture cap;
    std::string type(300, 'x');
    uint8_t buffer[16];
    uint32_t length = sizeof buffer;
    EXPECT_EQ(ndefCreateAbsoluteUriMessage(type.c_str(), u8("p"), 1, buffer, &length), NDEF_BAD_PARAMETER);
    EXPECT_EQ(ndefCreateExternalTypeMessage(type.c_str(), u8("p"), 1, buffer, &length), NDEF_BAD_PARAMETER);
    EXPECT_TRUE(cap.contains("! ndefCreateAbsoluteUriMessage: scheme too long (300)"));
    EXPECT_TRUE(cap.contains("! ndefCreateExternalTypeMessage: type too long (300)"));
}

// Descriptors the builder cannot encode are refused before anything is written.
TEST(NdefBuild, RefusesDescriptorsItCannotEncode) {
    uint8_t dummy[4] = {};
    auto raw4g = [&](uint32_t n) {
        TNdefRecordInfo r{};
        r.tnf = NDEF_TNF_UNKNOWN;
        r.payload.data = dummy;   // never read: sizing refuses first
        r.payload.length = n;
        return r;
    };
    const std::string language(64, 'a');
    TNdefRecordInfo longLanguage{};
    longLanguage.recordTypeId = NDEF_ID_TEXT;
    longLanguage.text.language = u8(language.c_str());
    longLanguage.text.languageLength = 64;
    TNdefRecordInfo posterWithoutArray{};
    posterWithoutArray.recordTypeId = NDEF_ID_SMART_POSTER;
    posterWithoutArray.smartPoster.count = 2;
    TNdefRecordInfo selfNested{};
    TNdefRecordInfo* self[] = {&selfNested};
    selfNested.recordTypeId = NDEF_ID_SMART_POSTER;
    selfNested.smartPoster.records = self;
    selfNested.smartPoster.count = 1;
    TNdefRecordInfo nullPayload = raw4g(5);
    nullPayload.payload.data = nullptr;
    TNdefRecordInfo nullType = raw4g(0);
    nullType.tnf = NDEF_TNF_MIME;
    nullType.typeLength = 3;
    TNdefRecordInfo huge = raw4g(0xFFFFFFFFu), half1 = raw4g(0x80000000u), half2 = raw4g(0x80000000u);
    struct Case {
        std::vector<TNdefRecordInfo*> list;
        const char* trace;
    } cases[] = {
        {{&longLanguage}, "language longer than 63 bytes"},
        {{&posterWithoutArray}, "nested records missing"},
        {{&selfNested}, "nested more than 16 levels deep"},
        {{&nullPayload}, "payload without its bytes"},
        {{&nullType}, "type or ID without its bytes"},
        {{&huge}, "longer than a 32-bit length"},
        {{&half1, &half2}, "longer than a 32-bit length"},
        {{&half1, nullptr}, "record missing"},
    };
    debugSetFlags(0xFFFFFFFFu);
    for (const auto& c : cases) {
        TraceCapture cap;
        uint8_t buffer[8];
        uint32_t length = 7;
        EXPECT_EQ(ndefCreateMessageEx(const_cast<TNdefRecordInfo**>(c.list.data()),
                                      static_cast<uint32_t>(c.list.size()), buffer, &length),
                  NDEF_BAD_PARAMETER)
            << c.trace;
        EXPECT_EQ(length, 7u) << c.trace;
        EXPECT_TRUE(cap.contains(std::string("! ndefCreateMessage: ") + c.trace)) << c.trace;
    }
    uint32_t length = 8;
    TNdefRecordInfo* one[] = {&huge};
    EXPECT_EQ(ndefCreateMessageEx(nullptr, 1, dummy, &length), NDEF_BAD_PARAMETER);
    EXPECT_EQ(ndefCreateMessageEx(one, 0, dummy, &length), NDEF_BAD_PARAMETER);
    EXPECT_EQ(ndefCreateMessageEx(one, 1, dummy, nullptr), NDEF_BAD_PARAMETER);
    EXPECT_EQ(ndefCreateMessage(nullptr, dummy, &length), NDEF_BAD_PARAMETER);
}

TEST(NdefBuild, TypedCreatorsCheckTheirInputs) {
    uint8_t buffer[64];
    struct Case {
        const char* name;
        std::function<NdefStatus(uint32_t*)> call;
    } cases[] = {
        {"uri null", [&](uint32_t* l) { return ndefCreateUriMessage(nullptr, buffer, l); }},
        {"uri empty", [&](uint32_t* l) { return ndefCreateUriMessage("", buffer, l); }},
        {"text null", [&](uint32_t* l) { return ndefCreateTextMessage(nullptr, 1, "en", 0, buffer, l); }},
        {"text empty", [&](uint32_t* l) { return ndefCreateTextMessage(u8("x"), 0, "en", 0, buffer, l); }},
        {"poster without uri",
         [&](uint32_t* l) { return ndefCreateSmartPosterUriMessage(u8("x"), 1, "en", 0, "", 1, buffer, l); }},
        {"poster bad language",
         [&](uint32_t* l) { return ndefCreateSmartPosterUriMessage(u8("x"), 1, "e n", 0, "a:b", 1, buffer, l); }},
        {"vcard data missing", [&](uint32_t* l) { return ndefCreateVCardMessage(nullptr, 3, buffer, l); }},
        {"mime type missing", [&](uint32_t* l) { return ndefCreateMimeMessage(u8("x"), 1, nullptr, buffer, l); }},
        {"absolute uri payload empty",
         [&](uint32_t* l) { return ndefCreateAbsoluteUriMessage("a:b", u8("x"), 0, buffer, l); }},
        {"external payload missing",
         [&](uint32_t* l) { return ndefCreateExternalTypeMessage("a.b:c", nullptr, 1, buffer, l); }},
        {"unknown payload missing", [&](uint32_t* l) { return ndefCreateUnknownTypeMessage(nullptr, 2, buffer, l); }},
        {"length null", [&](uint32_t*) { return ndefCreateUriMessage("a:b", buffer, nullptr); }},
    };
    for (const auto& c : cases) {
        uint32_t length = sizeof buffer;
        EXPECT_EQ(c.call(&length), NDEF_BAD_PARAMETER) << c.name;
    }
}

} // namespace
