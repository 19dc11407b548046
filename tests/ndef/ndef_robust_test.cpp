// Deterministic mutations of valid messages fed to the parser, the accessors and the carrier
// extractors: every answer is a status, and every pointer handed out lies inside the input, or,
// for what a chunked record decodes, inside its joined payload, which the parser holds for the
// callback and which is read whole. Each mutant sits in an allocation of exactly its size, so the
// sanitizer build catches any read past its end.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <set>

#include "ndef_test_util.h"
#include "util/trace.h"

namespace {

struct Span {
    const uint8_t* begin;
    const uint8_t* end;
};

constexpr uint32_t kNoLevel = 0xFFFFFFFFu;

struct Check {
    Span message;
    bool ok = true;
    uint32_t touched = 0;
    bool joined = false;               // the range lies in a chunked record's joined payload
    uint32_t chunkedLevel = kNoLevel;  // the level of the chunked record being decoded

    // The range must lie inside the message (or be read whole, when joined); reading it lets
    // the sanitizer confirm that.
    void range(const uint8_t* p, uint64_t n) {
        if (n == 0) return;
        if (!p || (!joined && (p < message.begin || static_cast<uint64_t>(message.end - p) < n))) {
            ok = false;
            return;
        }
        for (uint64_t i = 0; i < n; ++i) touched += p[i];
    }
};

const std::set<NdefStatus> kParseResults = {NDEF_OK, NDEF_BAD_PARAMETER, NDEF_MALFORMED, NDEF_STOPPED};
const std::set<NdefStatus> kAccessorResults = {NDEF_OK, NDEF_BAD_PARAMETER, NDEF_MALFORMED, NDEF_BUFFER_TOO_SMALL,
                                               NDEF_NOT_FOUND};
const std::set<NdefStatus> kExtractorResults = {NDEF_OK, NDEF_BAD_PARAMETER, NDEF_BUFFER_TOO_SMALL};

void checkExtractors(Check& c, const uint8_t* payload, uint32_t length) {
    TNdefBtSspInfo bt;
    NdefStatus s = ndefExtractBluetoothSsp(payload, length, &bt);
    if (!kExtractorResults.count(s)) c.ok = false;
    for (auto [p, n] : {std::pair{bt.localName, bt.localNameLength}, {bt.deviceAddress, bt.deviceAddressLength},
                        {bt.classOfDevice, bt.classOfDeviceLength}, {bt.hashC, bt.hashCLength},
                        {bt.randomizerR, bt.randomizerRLength}, {bt.serviceClassUuids, bt.serviceClassUuidsLength}}) {
        c.range(p, n);
    }
    TNdefWifiInfo w;
    s = ndefExtractWifiSimpleConfig(payload, length, &w);
    if (!kExtractorResults.count(s)) c.ok = false;
    for (auto [p, n] : {std::pair{w.networkIndex, w.networkIndexLength}, {w.ssid, w.ssidLength},
                        {w.authenticationType, w.authenticationTypeLength}, {w.encryptionType, w.encryptionTypeLength},
                        {w.networkKey, w.networkKeyLength}, {w.macAddress, w.macAddressLength}}) {
        c.range(p, n);
    }
}

uint32_t checkRecord(void* context, const TNdefRecordInfo* r) {
    auto& c = *static_cast<Check*>(context);
    // Records nested in a chunked container lie in its joined payload; the container's own
    // head and its chunks lie in the message.
    if (r->level <= c.chunkedLevel) c.chunkedLevel = r->chunked ? r->level : kNoLevel;
    c.joined = c.chunkedLevel != kNoLevel && r->level > c.chunkedLevel;
    c.range(r->record, r->recordLength);
    c.range(r->type, r->typeLength);
    c.range(r->id, r->idLength);
    c.joined = c.chunkedLevel != kNoLevel;
    switch (r->recordTypeId) {
    case NDEF_ID_TEXT:
        c.range(r->text.language, r->text.languageLength);
        c.range(r->text.text, r->text.textLength);
        break;
    case NDEF_ID_URI: c.range(r->uri.rest, r->uri.restLength); break;
    case NDEF_ID_ALTERNATIVE_CARRIER: {
        const auto& ac = r->alternativeCarrier;
        c.range(ac.reference, ac.referenceLength);
        const uint8_t* aux = ac.auxiliaryReferences;
        for (uint32_t i = 0; i < ac.auxiliaryCount && c.ok; ++i) {
            c.range(aux, 1);
            if (!c.ok) break;
            c.range(aux + 1, aux[0]);
            aux += 1 + aux[0];
        }
        break;
    }
    case NDEF_ID_HANDOVER_CARRIER:
        c.range(r->carrier.type, r->carrier.typeLength);
        c.range(r->carrier.data, r->carrier.dataLength);
        break;
    case NDEF_ID_SMART_POSTER:
    case NDEF_ID_ACTION:
    case NDEF_ID_SIZE:
    case NDEF_ID_HANDOVER_REQUEST:
    case NDEF_ID_HANDOVER_SELECT:
    case NDEF_ID_HANDOVER_MEDIATION:
    case NDEF_ID_HANDOVER_CAPABILITIES:
    case NDEF_ID_HANDOVER_INITIATE:
    case NDEF_ID_COLLISION_RESOLUTION:
    case NDEF_ID_HANDOVER_ERROR: break;
    default:
        c.range(r->payload.data, r->payload.length);
        if (c.ok) checkExtractors(c, r->payload.data, r->payload.length);
        break;
    }
    return 1;
}

void checkAccessors(Check& c, const uint8_t* data, uint32_t length) {
    char text[300];
    uint8_t buffer[300];
    for (uint32_t index = 0; index < 2; ++index) {
        for (uint32_t room : {1u, 8u, 300u}) {
            uint32_t a = room, b = room, e = 0, level = 0;
            uint8_t action = 0;
            NdefStatus results[] = {
                ndefGetText(data, length, index, text, &a, &e, text + 150, &(b = room / 2), &level),
                ndefGetUri(data, length, index, text, &(a = room), &level),
                ndefGetAction(data, length, index, &action, &level),
                ndefGetVCard(data, length, index, buffer, &(a = room), &level),
                ndefGetPicture(data, length, index, buffer, &(a = room), text, &(b = room), &level),
                ndefGetExternal(data, length, index, text, &(a = room), buffer, &(b = room), &level),
                ndefGetUnknown(data, length, index, buffer, &(a = room), &level),
            };
            for (NdefStatus s : results) {
                if (!kAccessorResults.count(s)) c.ok = false;
            }
        }
    }
}

std::vector<Bytes> seeds() {
    std::vector<Bytes> out;
    auto add = [&](const std::function<NdefStatus(uint8_t*, uint32_t*)>& f) {
        NdefStatus s;
        Bytes m = build(f, &s);
        EXPECT_EQ(s, NDEF_OK);
        out.push_back(m);
    };
    const Bytes address = hex("01 02 03 04 05 06"), hash(16, 0x33), key = hex("'pass1234'");
    TNdefBtSspInfo bt{};
    bt.localName = u8("dev");
    bt.localNameLength = 3;
    bt.deviceAddress = address.data();
    bt.deviceAddressLength = 6;
    bt.hashC = hash.data();
    bt.hashCLength = 16;
    TNdefWifiInfo wifi{};
    wifi.ssid = u8("net");
    wifi.ssidLength = 3;
    wifi.networkKey = key.data();
    wifi.networkKeyLength = 8;
    wifi.networkKeyShareable = 1;
    const TNdefHandoverError error{2, 1000};
    add([](uint8_t* b, uint32_t* l) { return ndefCreateUriMessage("https://www.example.org/p?q=1", b, l); });
    add([](uint8_t* b, uint32_t* l) { return ndefCreateSmartPosterUriMessage(u8("Title"), 5, "en", 0, "tel:123", 1, b, l); });
    add([](uint8_t* b, uint32_t* l) { return ndefCreateVCardMessage(u8("BEGIN:VCARD\nEND:VCARD\n"), 22, b, l); });
    add([](uint8_t* b, uint32_t* l) { return ndefCreateMimeMessage(u8("\x89PNG"), 4, "image/png", b, l); });
    add([](uint8_t* b, uint32_t* l) { return ndefCreateExternalTypeMessage("ex.com:t", u8("xy"), 2, b, l); });
    add([&](uint8_t* b, uint32_t* l) { return ndefCreateHandoverRequest(&bt, 1, &wifi, 2, 0x55AA, b, l); });
    add([&](uint8_t* b, uint32_t* l) { return ndefCreateHandoverSelect(&bt, 1, nullptr, 0, &error, b, l); });
    add([&](uint8_t* b, uint32_t* l) { return ndefCreateHandoverInitiate(nullptr, 0, &wifi, 1, b, l, 1); });
    add([&](uint8_t* b, uint32_t* l) { return ndefCreateWifiSimpleConfig(&wifi, u8("w"), 1, b, l); });
    // Records no builder writes: handover carrier, mediation, auxiliary references, chunks, a long record.
    out.push_back(hex("91 02 0D 'Hm' 13 D1 02 07 'Hc' 01 03 'a/b' 01 02 11 02 0A 'ac' 01 01 'c' 02 01 'x' 02 'yz' "
                      "5D 00 01 01 'c' CC"));
    out.push_back(hex("B2 03 02 'a/b' 01 02 36 00 01 03 56 00 00"));
    out.push_back(hex("B1 01 06 'T' 02 'en' 'Hel' 56 00 08 'lo world'"));
    out.push_back(hex("B1 02 06 'Sp' B1 01 03 'T' 02 'e' 56 00 0A 'n' 16 00 01 'x' 51 01 01 'U' 00"));
    Bytes longRecord = hex("C5 00 00 00 01 04");
    longRecord.resize(longRecord.size() + 260, 0x42);
    out.push_back(longRecord);
    return out;
}

TEST(NdefRobustness, MutatedMessagesNeverEscapeTheirBytes) {
    debugSetFlags(0);   // tracing every mutant would only slow the run
    std::mt19937 random(20240611u);
    auto pick = [&](uint32_t n) { return n ? static_cast<uint32_t>(random() % n) : 0u; };
    const std::vector<Bytes> base = seeds();
    constexpr int kMutantsPerSeed = 5000;
    int parsedOk = 0;
    for (const Bytes& seed : base) {
        for (int i = 0; i < kMutantsPerSeed; ++i) {
            Bytes m = seed;
            for (uint32_t edits = 1 + pick(4); edits; --edits) {
                const uint32_t at = pick(static_cast<uint32_t>(m.size()));
                switch (pick(8)) {
                case 0: if (!m.empty()) m[at] ^= static_cast<uint8_t>(1u << pick(8)); break;
                case 1: if (!m.empty()) m[at] = static_cast<uint8_t>(random()); break;
                case 2: if (!m.empty()) m[at] = std::array<uint8_t, 7>{0x00, 0xFF, 0x7F, 0x80, 0x10, 0x40, 0x20}[pick(7)]; break;
                case 3: m.resize(pick(static_cast<uint32_t>(m.size()) + 1)); break;
                case 4: for (uint32_t n = 1 + pick(8); n; --n) m.push_back(static_cast<uint8_t>(random())); break;
                case 5: m.insert(m.begin() + at, static_cast<uint8_t>(random())); break;
                case 6: if (!m.empty()) m.erase(m.begin() + at); break;
                default: {
                    const uint32_t from = pick(static_cast<uint32_t>(m.size()));
                    const uint32_t n = pick(static_cast<uint32_t>(m.size() - from) + 1);
                    Bytes slice(m.begin() + from, m.begin() + from + n);
                    m.insert(m.begin() + pick(static_cast<uint32_t>(m.size()) + 1), slice.begin(), slice.end());
                }
                }
            }
            const uint32_t n = static_cast<uint32_t>(m.size());
            std::unique_ptr<uint8_t[]> exact(new uint8_t[n ? n : 1]);
            std::copy(m.begin(), m.end(), exact.get());
            Check c{{exact.get(), exact.get() + n}};
            const NdefStatus status = ndefParseMessage(checkRecord, &c, exact.get(), n);
            ASSERT_TRUE(kParseResults.count(status)) << "status " << status << " for " << hexOf(m.data(), n);
            ASSERT_TRUE(c.ok) << "pointer outside the message " << hexOf(m.data(), n);
            const uint32_t count = ndefGetNumberOfRecords(exact.get(), n);
            ASSERT_EQ(count == 0xFFFFFFFFu, status != NDEF_OK) << hexOf(m.data(), n);
            checkAccessors(c, exact.get(), n);
            checkExtractors(c, exact.get(), n);
            ASSERT_TRUE(c.ok) << "accessor or extractor answer " << hexOf(m.data(), n);
            parsedOk += status == NDEF_OK;
        }
    }
    // The mutations must leave enough valid messages for the accessors to find something.
    EXPECT_GT(parsedOk, static_cast<int>(base.size()) * kMutantsPerSeed / 20);
    debugSetFlags(0xFFFFFFFFu);
}

} // namespace
