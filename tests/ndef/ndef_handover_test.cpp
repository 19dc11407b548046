// Connection-handover messages and the Bluetooth and Wi-Fi carrier records, laid out by hand
// from the NFC Forum connection handover and the carrier configuration definitions.
#include <gtest/gtest.h>

#include <cstring>

#include "ndef_test_util.h"

namespace {

const Bytes kAddress = hex("01 02 03 04 05 06");
const Bytes kClass = hex("0C 02 5A");
const Bytes kIndex = hex("01"), kAuth = hex("00 20"), kEncr = hex("00 08"), kMac = hex("FF FF FF FF FF FF");

TNdefBtSspInfo btInfo() {
    TNdefBtSspInfo bt{};
    bt.localName = u8("Pixel");
    bt.localNameLength = 5;
    bt.deviceAddress = kAddress.data();
    bt.deviceAddressLength = 6;
    bt.classOfDevice = kClass.data();
    bt.classOfDeviceLength = 3;
    return bt;
}

TNdefWifiInfo wifiInfo() {
    TNdefWifiInfo w{};
    w.networkIndex = kIndex.data();
    w.networkIndexLength = 1;
    w.ssid = u8("Home");
    w.ssidLength = 4;
    w.authenticationType = kAuth.data();
    w.authenticationTypeLength = 2;
    w.encryptionType = kEncr.data();
    w.encryptionTypeLength = 2;
    w.networkKey = u8("secret12");
    w.networkKeyLength = 8;
    w.macAddress = kMac.data();
    w.macAddressLength = 6;
    w.networkKeyShareable = 1;
    return w;
}

const std::string kBtType = "'application/vnd.bluetooth.ep.oob'";
const std::string kBtPayload = "14 00 01 02 03 04 05 06 04 0D 0C 02 5A 06 09 'Pixel'";
const std::string kWifiType = "'application/vnd.wfa.wsc'";
const std::string kWifiPayload =
    "10 4A 00 01 10 10 0E 00 3C 10 26 00 01 01 10 45 00 04 'Home' 10 03 00 02 00 20 10 0F 00 02 00 08 "
    "10 27 00 08 'secret12' 10 20 00 06 FF FF FF FF FF FF 10 49 00 09 00 37 2A 00 01 20 02 01 01";
const std::string kBtParsed = "tnf2 200 'application/vnd.bluetooth.ep.oob'";
const std::string kWifiParsed = "tnf2 200 'application/vnd.wfa.wsc'";

std::string payloadHex(const std::string& text) {
    Bytes b = hex(text);
    return hexOf(b.data(), static_cast<uint32_t>(b.size()));
}

struct Message {
    const char* name;
    std::function<NdefStatus(uint8_t*, uint32_t*)> create;
    std::string bytes;
    std::vector<std::string> records;
};

const TNdefHandoverError kTimeout{2, 3000};
const TNdefHandoverError kNoMemory{1, 5};

NdefStatus requestWithAuxiliary(uint8_t* buffer, uint32_t* length) {
    TNdefHandoverBuilder b;
    const Bytes carrier = hex("1D 00 01 01 'c' CC"), aux = hex("1D 00 02 01 'x' AA BB");
    NdefStatus s = ndefStartHandoverRequest(&b, buffer, *length, 0x0A0B);
    if (s == NDEF_OK) s = ndefAddAlternativeCarrier(&b, 3, carrier.data(), static_cast<uint32_t>(carrier.size()));
    if (s == NDEF_OK) s = ndefAddAuxiliaryData(&b, aux.data(), static_cast<uint32_t>(aux.size()));
    return s == NDEF_OK ? ndefFinalizeHandoverMessage(&b, length) : s;
}

const Message kMessages[] = {
    {"RequestOneBluetoothCarrier",
     [](uint8_t* b, uint32_t* l) {
         TNdefBtSspInfo bt = btInfo();
         return ndefCreateHandoverRequestBT(&bt, 1, 0x1234, b, l);
     },
     "91 02 11 'Hr' 13 91 02 02 'cr' 12 34 51 02 04 'ac' 01 01 '0' 00 5A 20 14 01 " + kBtType + " '0' " + kBtPayload,
     {"0.0 tnf1 10A 'Hr' v1.3", "1.0 tnf1 10B 'cr' cr 4660", "1.1 tnf1 107 'ac' power 1 ref '0' aux 0",
      "0.1 " + kBtParsed + " id='0' [" + payloadHex(kBtPayload) + "]"}},
    {"SelectTwoCarriersWithTheirOwnReferences",
     [](uint8_t* b, uint32_t* l) {
         TNdefBtSspInfo bt = btInfo();
         TNdefWifiInfo wifi = wifiInfo();
         return ndefCreateHandoverSelect(&bt, 1, &wifi, 2, nullptr, b, l);
     },
     "91 02 13 'Hs' 13 91 02 04 'ac' 01 01 '0' 00 51 02 04 'ac' 02 01 '1' 00 1A 20 14 01 " + kBtType + " '0' " +
         kBtPayload + " 5A 17 45 01 " + kWifiType + " '1' " + kWifiPayload,
     {"0.0 tnf1 109 'Hs' v1.3", "1.0 tnf1 107 'ac' power 1 ref '0' aux 0", "1.1 tnf1 107 'ac' power 2 ref '1' aux 0",
      "0.1 " + kBtParsed + " id='0' [" + payloadHex(kBtPayload) + "]",
      "0.2 " + kWifiParsed + " id='1' [" + payloadHex(kWifiPayload) + "]"}},
    {"SelectCarrierAndError",
     [](uint8_t* b, uint32_t* l) {
         TNdefBtSspInfo bt = btInfo();
         return ndefCreateHandoverSelectBT(&bt, 1, &kTimeout, b, l);
     },
     "91 02 15 'Hs' 13 91 02 04 'ac' 01 01 '0' 00 51 03 05 'err' 02 00 00 0B B8 5A 20 14 01 " + kBtType + " '0' " +
         kBtPayload,
     {"0.0 tnf1 109 'Hs' v1.3", "1.0 tnf1 107 'ac' power 1 ref '0' aux 0", "1.1 tnf1 10C 'err' err 2:3000",
      "0.1 " + kBtParsed + " id='0' [" + payloadHex(kBtPayload) + "]"}},
    {"SelectErrorOnly",
     [](uint8_t* b, uint32_t* l) { return ndefCreateHandoverSelectWiFi(nullptr, 0, &kNoMemory, b, l); },
     "D1 02 09 'Hs' 13 D1 03 02 'err' 01 05", {"0.0 tnf1 109 'Hs' v1.3", "1.0 tnf1 10C 'err' err 1:5"}},
    {"RequestWiFi",
     [](uint8_t* b, uint32_t* l) {
         TNdefWifiInfo wifi = wifiInfo();
         return ndefCreateHandoverRequestWiFi(&wifi, 2, 0x0001, b, l);
     },
     "91 02 11 'Hr' 13 91 02 02 'cr' 00 01 51 02 04 'ac' 02 01 '0' 00 5A 17 45 01 " + kWifiType + " '0' " +
         kWifiPayload,
     {"0.0 tnf1 10A 'Hr' v1.3", "1.0 tnf1 10B 'cr' cr 1", "1.1 tnf1 107 'ac' power 2 ref '0' aux 0",
      "0.1 " + kWifiParsed + " id='0' [" + payloadHex(kWifiPayload) + "]"}},
    {"InitiateWithFlag",
     [](uint8_t* b, uint32_t* l) {
         TNdefBtSspInfo bt = btInfo();
         return ndefCreateHandoverInitiate(&bt, 0, nullptr, 0, b, l, 1);
     },
     "91 02 0B 'Hi' 13 01 D1 02 04 'ac' 00 01 '0' 00 5A 20 14 01 " + kBtType + " '0' " + kBtPayload,
     {"0.0 tnf1 10F 'Hi' v1.3 initiate 1", "1.0 tnf1 107 'ac' power 0 ref '0' aux 0",
      "0.1 " + kBtParsed + " id='0' [" + payloadHex(kBtPayload) + "]"}},
    {"CapabilitiesAlone",
     [](uint8_t* b, uint32_t* l) { return ndefCreateHandoverCapabilities(nullptr, 0, nullptr, 0, b, l); },
     "D1 02 01 'Ha' 13", {"0.0 tnf1 10E 'Ha' v1.3"}},
    {"MediatorIsClosedWithItsCollisionRecord",
     [](uint8_t* b, uint32_t* l) { return ndefCreateHandoverRequestMediator(0x0102, b, l); },
     "D1 02 08 'Hr' 13 D1 02 02 'cr' 01 02", {"0.0 tnf1 10A 'Hr' v1.3", "1.0 tnf1 10B 'cr' cr 258"}},
    {"CarrierWithAuxiliaryRecord", requestWithAuxiliary,
     "91 02 13 'Hr' 13 91 02 02 'cr' 0A 0B 51 02 06 'ac' 03 01 'c' 01 01 'x' 1D 00 01 01 'c' CC 5D 00 02 01 'x' AA BB",
     {"0.0 tnf1 10A 'Hr' v1.3", "1.0 tnf1 10B 'cr' cr 2571", "1.1 tnf1 107 'ac' power 3 ref 'c' aux 1",
      "0.1 tnf5 1 '' id='c' [CC]", "0.2 tnf5 1 '' id='x' [AA BB]"}},
};

void PrintTo(const Message& v, std::ostream* os) { *os << v.name; }

class NdefHandoverMessage : public ::testing::TestWithParam<Message> {};

TEST_P(NdefHandoverMessage, BuildsTheBytesAndParsesThemBack) {
    const Message& m = GetParam();
    NdefStatus status = NDEF_BAD_PARAMETER;
    EXPECT_EQ(build(m.create, &status), hex(m.bytes));
    EXPECT_EQ(status, NDEF_OK);
    Parsed p = parse(hex(m.bytes));
    EXPECT_EQ(p.status, NDEF_OK);
    EXPECT_EQ(p.records, m.records);
}

INSTANTIATE_TEST_SUITE_P(Handover, NdefHandoverMessage, ::testing::ValuesIn(kMessages),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(NdefHandoverBuilder, CallsOutOfOrderAnswerWrongStateAndLeaveTheBuffer) {
    Bytes buffer(64, 0xEE);
    const Bytes carrier = hex("1D 00 01 01 'c' CC");
    TNdefHandoverBuilder b;
    uint32_t length = 0;
    ASSERT_EQ(ndefStartHandoverSelect(&b, buffer.data(), 64), NDEF_OK);
    const Bytes started = buffer;
    EXPECT_EQ(ndefFinalizeHandoverMessage(&b, &length), NDEF_WRONG_STATE);
    EXPECT_EQ(ndefAddAuxiliaryData(&b, carrier.data(), 6), NDEF_WRONG_STATE);
    EXPECT_EQ(buffer, started);
    ASSERT_EQ(ndefAddAlternativeCarrier(&b, 1, carrier.data(), 6), NDEF_OK);
    EXPECT_EQ(ndefFinalizeHandoverMessage(&b, &length), NDEF_OK);
    EXPECT_EQ(length, 6u + 9 + 6);
    const Bytes finished = buffer;
    EXPECT_EQ(ndefAddAlternativeCarrier(&b, 1, carrier.data(), 6), NDEF_WRONG_STATE);
    EXPECT_EQ(ndefAddAuxiliaryData(&b, carrier.data(), 6), NDEF_WRONG_STATE);
    EXPECT_EQ(ndefFinalizeHandoverMessage(&b, &length), NDEF_WRONG_STATE);
    EXPECT_EQ(buffer, finished);
}

TEST(NdefHandoverBuilder, ShortBufferIsReportedBeforeAnythingMoves) {
    Bytes buffer(30, 0xEE);
    const Bytes carrier = hex("1D 00 01 01 'c' CC");
    TNdefHandoverBuilder b;
    EXPECT_EQ(ndefStartHandoverRequest(&b, buffer.data(), 12, 1), NDEF_BUFFER_TOO_SMALL);
    EXPECT_EQ(ndefStartHandoverSelect(&b, buffer.data(), 8), NDEF_BUFFER_TOO_SMALL);
    ASSERT_EQ(ndefStartHandoverRequest(&b, buffer.data(), 27, 1), NDEF_OK);   // 13 + 9 + 6 = 28 needed
    const Bytes started = buffer;
    EXPECT_EQ(ndefAddAlternativeCarrier(&b, 1, carrier.data(), 6), NDEF_BUFFER_TOO_SMALL);
    EXPECT_EQ(buffer, started);
    uint32_t length = 27;
    EXPECT_EQ(ndefCreateHandoverSelectWiFi(nullptr, 0, &kNoMemory, buffer.data(), &(length = 8)),
              NDEF_BUFFER_TOO_SMALL);
}

TEST(NdefHandoverBuilder, HandoverPayloadOver255BytesIsRefused) {
    std::string id(200, 'i');
    Bytes carrier = hex("1D 00 01");
    carrier.push_back(200);
    carrier.insert(carrier.end(), id.begin(), id.end());
    carrier.push_back(0xCC);
    Bytes buffer(1024);
    TNdefHandoverBuilder b;
    uint32_t length = 0;
    ASSERT_EQ(ndefStartHandoverSelect(&b, buffer.data(), 1024), NDEF_OK);
    ASSERT_EQ(ndefAddAlternativeCarrier(&b, 1, carrier.data(), static_cast<uint32_t>(carrier.size())), NDEF_OK);
    ASSERT_EQ(ndefAddAuxiliaryData(&b, carrier.data(), static_cast<uint32_t>(carrier.size())), NDEF_OK);
    EXPECT_EQ(ndefFinalizeHandoverMessage(&b, &length), NDEF_BUFFER_TOO_SMALL);
}

TEST(NdefHandoverBuilder, ZeroRandomIsReplacedAndOthersStandBigEndian) {
    for (uint16_t given : {uint16_t{0}, uint16_t{0xBEEF}}) {
        uint8_t buffer[16];
        TNdefHandoverBuilder b;
        ASSERT_EQ(ndefStartHandoverRequest(&b, buffer, sizeof buffer, given), NDEF_OK);
        const uint16_t random = static_cast<uint16_t>(buffer[11] << 8 | buffer[12]);
        EXPECT_NE(random, 0);
        if (given) {
            EXPECT_EQ(random, given);
        }
    }
}

TEST(NdefHandoverBuilder, RefusesRecordsItCannotReferTo) {
    uint8_t buffer[128];
    TNdefHandoverBuilder b;
    ASSERT_EQ(ndefStartHandoverSelect(&b, buffer, sizeof buffer), NDEF_OK);
    struct Case {
        const char* name;
        Bytes record;
        uint32_t power;
    } cases[] = {
        {"without ID", hex("15 00 01 CC"), 1},
        {"with an empty ID", hex("1D 00 01 00 CC"), 1},
        {"long record", hex("0D 00 00 00 00 01 01 'c' CC"), 1},
        {"length beyond the record", hex("1D 00 01 01 'c' CC 00"), 1},
        {"ID beyond the record", hex("1D 00 01 09 'c' CC"), 1},
        {"head only", hex("1D 00"), 1},
        {"power state 4", hex("1D 00 01 01 'c' CC"), 4},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ndefAddAlternativeCarrier(&b, c.power, c.record.data(), static_cast<uint32_t>(c.record.size())),
                  NDEF_BAD_PARAMETER)
            << c.name;
    }
    EXPECT_EQ(ndefAddAlternativeCarrier(nullptr, 1, buffer, 6), NDEF_BAD_PARAMETER);
    TNdefHandoverError unknown{4, 0};
    uint32_t length = sizeof buffer;
    EXPECT_EQ(ndefCreateHandoverSelect(nullptr, 0, nullptr, 0, &unknown, buffer, &length), NDEF_BAD_PARAMETER);
    EXPECT_EQ(ndefCreateHandoverRequest(nullptr, 0, nullptr, 0, 1, buffer, &length), NDEF_BAD_PARAMETER);
    EXPECT_EQ(ndefCreateHandoverSelect(nullptr, 0, nullptr, 0, nullptr, buffer, &length), NDEF_BAD_PARAMETER);
}

TEST(NdefCarrier, BluetoothRecordBuildsAndExtracts) {
    TNdefBtSspInfo bt = btInfo();
    const Bytes hash(16, 0xC1), randomizer(16, 0x52), uuids = hex("06 11 1F 11");
    struct Case {
        const char* name;
        bool full;
        std::string payload;
    } cases[] = {
        {"name and class", false, kBtPayload},
        {"every item", true,
         "3E 00 01 02 03 04 05 06 04 0D 0C 02 5A 11 0E C1 C1 C1 C1 C1 C1 C1 C1 C1 C1 C1 C1 C1 C1 C1 C1 "
         "11 0F 52 52 52 52 52 52 52 52 52 52 52 52 52 52 52 52 05 03 06 11 1F 11 06 09 'Pixel'"},
    };
    for (const auto& c : cases) {
        if (c.full) {
            bt.hashC = hash.data();
            bt.hashCLength = 16;
            bt.randomizerR = randomizer.data();
            bt.randomizerRLength = 16;
            bt.serviceClassUuids = uuids.data();
            bt.serviceClassUuidsLength = 4;
        }
        Bytes payload = hex(c.payload);
        Bytes record = build([&](uint8_t* b, uint32_t* l) { return ndefCreateBluetoothSSP(&bt, u8("b"), 1, b, l); });
        Bytes expected = hex("DA 20");
        expected.push_back(static_cast<uint8_t>(payload.size()));
        expected.push_back(1);
        Bytes tail = hex(kBtType + " 'b'");
        expected.insert(expected.end(), tail.begin(), tail.end());
        expected.insert(expected.end(), payload.begin(), payload.end());
        EXPECT_EQ(record, expected) << c.name;
        TNdefBtSspInfo out;
        ASSERT_EQ(ndefExtractBluetoothSsp(payload.data(), static_cast<uint32_t>(payload.size()), &out), NDEF_OK);
        EXPECT_EQ(str(out.deviceAddress, out.deviceAddressLength), str(kAddress.data(), 6));
        EXPECT_EQ(str(out.localName, out.localNameLength), "Pixel");
        EXPECT_EQ(str(out.classOfDevice, out.classOfDeviceLength), str(kClass.data(), 3));
        EXPECT_EQ(str(out.hashC, out.hashCLength), str(bt.hashC, bt.hashCLength)) << c.name;
        EXPECT_EQ(str(out.randomizerR, out.randomizerRLength), str(bt.randomizerR, bt.randomizerRLength));
        EXPECT_EQ(str(out.serviceClassUuids, out.serviceClassUuidsLength),
                  str(bt.serviceClassUuids, bt.serviceClassUuidsLength));
    }
}

// Low-energy pairing data travels as a caller-built carrier record: the select refers to it
// by its ID and the record arrives unchanged behind the handover record.
TEST(NdefCarrier, LowEnergyCarrierRecordTravelsByReference) {
    const Bytes advertising = hex("08 1B 01 02 03 04 05 06 00 02 1C 00");
    TNdefRecordInfo le{};
    le.recordTypeId = NDEF_ID_MIME;
    le.type = u8("application/vnd.bluetooth.le.oob");
    le.typeLength = 32;
    le.id = u8("le");
    le.idLength = 2;
    le.payload.data = advertising.data();
    le.payload.length = static_cast<uint32_t>(advertising.size());
    Bytes record = build([&](uint8_t* b, uint32_t* l) { return ndefCreateMessage(&le, b, l); });
    uint8_t buffer[128];
    uint32_t length = 0;
    TNdefHandoverBuilder b;
    ASSERT_EQ(ndefStartHandoverSelect(&b, buffer, sizeof buffer), NDEF_OK);
    ASSERT_EQ(ndefAddAlternativeCarrier(&b, 1, record.data(), static_cast<uint32_t>(record.size())), NDEF_OK);
    ASSERT_EQ(ndefFinalizeHandoverMessage(&b, &length), NDEF_OK);
    Parsed p = parse(Bytes(buffer, buffer + length));
    EXPECT_EQ(p.status, NDEF_OK);
    EXPECT_EQ(p.records, (std::vector<std::string>{
                             "0.0 tnf1 109 'Hs' v1.3", "1.0 tnf1 107 'ac' power 1 ref 'le' aux 0",
                             "0.1 tnf2 200 'application/vnd.bluetooth.le.oob' id='le' [08 1B 01 02 03 04 05 06 00 02 1C 00]"}));
}

TEST(NdefCarrier, WiFiRecordBuildsAndExtractsWithTheShareableFlag) {
    TNdefWifiInfo wifi = wifiInfo();
    Bytes record = build([&](uint8_t* b, uint32_t* l) { return ndefCreateWifiSimpleConfig(&wifi, u8("w"), 1, b, l); });
    EXPECT_EQ(record, hex("DA 17 45 01 " + kWifiType + " 'w' " + kWifiPayload));
    Bytes payload = hex(kWifiPayload);
    TNdefWifiInfo out;
    ASSERT_EQ(ndefExtractWifiSimpleConfig(payload.data(), static_cast<uint32_t>(payload.size()), &out), NDEF_OK);
    EXPECT_EQ(str(out.ssid, out.ssidLength), "Home");
    EXPECT_EQ(str(out.networkKey, out.networkKeyLength), "secret12");
    EXPECT_EQ(str(out.networkIndex, out.networkIndexLength), "\x01");
    EXPECT_EQ(str(out.authenticationType, out.authenticationTypeLength), str(kAuth.data(), 2));
    EXPECT_EQ(str(out.encryptionType, out.encryptionTypeLength), str(kEncr.data(), 2));
    EXPECT_EQ(str(out.macAddress, out.macAddressLength), str(kMac.data(), 6));
    EXPECT_EQ(out.networkKeyShareable, 1u);
    wifi.networkKeyShareable = 0;
    record = build([&](uint8_t* b, uint32_t* l) { return ndefCreateWifiSimpleConfig(&wifi, u8("w"), 1, b, l); });
    ASSERT_EQ(record.size(), 4u + 23 + 1 + 69 - 13);
    ASSERT_EQ(ndefExtractWifiSimpleConfig(record.data() + 28, static_cast<uint32_t>(record.size() - 28), &out), NDEF_OK);
    EXPECT_EQ(out.networkKeyShareable, 0u);
    EXPECT_EQ(str(out.ssid, out.ssidLength), "Home");
}

TEST(NdefCarrier, ExtractorsRefuseMalformedPayloads) {
    struct Case {
        const char* name;
        bool wifi;
        std::string payload;
        NdefStatus status;
    } cases[] = {
        {"bluetooth shorter than its address", false, "08 00 01 02 03 04 05", NDEF_BUFFER_TOO_SMALL},
        {"bluetooth item past the end", false, "0B 00 01 02 03 04 05 06 05 09 'ab'", NDEF_BUFFER_TOO_SMALL},
        {"bluetooth item without type", false, "09 00 01 02 03 04 05 06 02", NDEF_BUFFER_TOO_SMALL},
        {"bluetooth zero padding ends the items", false, "0E 00 01 02 03 04 05 06 03 09 'ab' 00 FF FF", NDEF_OK},
        {"wifi version 2.0", true, "10 4A 00 01 20 10 0E 00 00", NDEF_BAD_PARAMETER},
        {"wifi without credential head", true, "10 4A 00 01 10 10 0E 00", NDEF_BAD_PARAMETER},
        {"wifi attribute head cut", true, "10 4A 00 01 10 10 0E 00 03 10 45 00", NDEF_BUFFER_TOO_SMALL},
        {"wifi attribute past the end", true, "10 4A 00 01 10 10 0E 00 06 10 45 00 04 'ab'", NDEF_BUFFER_TOO_SMALL},
        {"wifi vendor extension of two bytes", true, "10 4A 00 01 10 10 0E 00 06 10 49 00 02 00 37", NDEF_BAD_PARAMETER},
        {"wifi version2 above 2.0", true, "10 4A 00 01 10 10 0E 00 0A 10 49 00 06 00 37 2A 00 01 21", NDEF_BAD_PARAMETER},
        {"wifi sub-element past the value", true, "10 4A 00 01 10 10 0E 00 0A 10 49 00 06 00 37 2A 02 05 01", NDEF_BAD_PARAMETER},
        {"wifi other vendor passed over", true, "10 4A 00 01 10 10 0E 00 0C 10 49 00 04 00 11 22 33 10 45 00 01 'n'", NDEF_OK},
    };
    for (const auto& c : cases) {
        Bytes payload = hex(c.payload);
        TNdefWifiInfo wifi;
        TNdefBtSspInfo bt;
        NdefStatus status = c.wifi ? ndefExtractWifiSimpleConfig(payload.data(), static_cast<uint32_t>(payload.size()), &wifi)
                                   : ndefExtractBluetoothSsp(payload.data(), static_cast<uint32_t>(payload.size()), &bt);
        EXPECT_EQ(status, c.status) << c.name;
        if (status == NDEF_OK) {
            EXPECT_EQ(c.wifi ? str(wifi.ssid, wifi.ssidLength) : str(bt.localName, bt.localNameLength),
                      c.wifi ? "n" : "ab");
        }
    }
    TNdefBtSspInfo bt;
    EXPECT_EQ(ndefExtractBluetoothSsp(nullptr, 8, &bt), NDEF_BAD_PARAMETER);
    EXPECT_EQ(ndefExtractWifiSimpleConfig(u8("x"), 1, nullptr), NDEF_BAD_PARAMETER);
}

TEST(NdefCarrier, BuildersRefuseWhatTheRecordCannotHold) {
    const std::string name255(255, 'n'), name220(220, 'n');
    const Bytes fiveByteAddress(5, 1);
    uint8_t buffer[1024];
    struct Case {
        const char* name;
        std::function<void(TNdefBtSspInfo&)> change;
        bool viaHandover;
    } cases[] = {
        {"name of 255", [&](TNdefBtSspInfo& bt) { bt.localName = u8(name255.c_str()); bt.localNameLength = 255; }, false},
        {"uuid list of 255",
         [&](TNdefBtSspInfo& bt) { bt.serviceClassUuids = u8(name255.c_str()); bt.serviceClassUuidsLength = 255; }, false},
        {"address of 5", [&](TNdefBtSspInfo& bt) { bt.deviceAddress = fiveByteAddress.data(); bt.deviceAddressLength = 5; }, false},
        {"no name", [&](TNdefBtSspInfo& bt) { bt.localName = nullptr; }, false},
        {"record beyond the carrier area",
         [&](TNdefBtSspInfo& bt) { bt.localName = u8(name220.c_str()); bt.localNameLength = 220; }, true},
    };
    for (const auto& c : cases) {
        TNdefBtSspInfo bt = btInfo();
        c.change(bt);
        uint32_t length = sizeof buffer;
        NdefStatus status = c.viaHandover ? ndefCreateHandoverSelectBT(&bt, 1, nullptr, buffer, &length)
                                          : ndefCreateBluetoothSSP(&bt, u8("b"), 1, buffer, &length);
        EXPECT_EQ(status, NDEF_BAD_PARAMETER) << c.name;
    }
    TNdefBtSspInfo bt = btInfo();
    uint32_t length = sizeof buffer;
    EXPECT_EQ(ndefCreateBluetoothSSP(&bt, u8("b"), 0, buffer, &length), NDEF_BAD_PARAMETER);
    TNdefWifiInfo empty{};
    TNdefHandoverBuilder b;
    ASSERT_EQ(ndefStartHandoverSelect(&b, buffer, sizeof buffer), NDEF_OK);
    EXPECT_EQ(ndefAddWiFiRecord(&b, &empty, 1), NDEF_BAD_PARAMETER);
}

} // namespace
