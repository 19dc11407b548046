#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/nfacetrace.h"
#include "trace_capture.h"
#include "util/trace.h"

namespace {

struct NfaceTraceTest : ::testing::Test {
    void SetUp() override { debugSetFlags(0xFFFFFFFFu); }
    void TearDown() override { debugSetFlags(0xFFFFFFFFu); }

    // The texts of the captured lines: the prefix and the line end taken off.
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (std::string line : cap.lines()) {
            if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0) line.resize(line.size() - 2);
            out.push_back(line.size() > 21 && line[8] == ':' ? line.substr(21) : line);
        }
        return out;
    }

    TraceCapture cap;
};

} // namespace

TEST_F(NfaceTraceTest, ListenRequestListsEveryBitInItsOrder) {
    struct Case {
        uint32_t mask;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {0, {"NFACE: \\/ LISTEN_REQ,  type=0x00000000 stop listen"}},
        {0x80000101,
         {"NFACE: \\/ LISTEN_REQ,  type=0x80000101 ", " Wait for NDEF on tags", " ISO/IEC 14443 A ",
          " FeliCa polling,   212 kbit/s ", " Poll for TAG removal"}},
        {0x41048004,
         {"NFACE: \\/ LISTEN_REQ,  type=0x41048004 ", " ISO 15693 ", " peer-to-peer as intiator active",
          " peer-to-peer as target active", " NO tag poll", " RF-field indication"}},
        {0x00620A00,
         {"NFACE: \\/ LISTEN_REQ,  type=0x00620A00 ", " FeliCa polling,   424 kbit/s ", " KOVIO barcode ",
          " HOST CE 14443B", " HOST CE FELICA", " SECURE CE", " Poll for TAG removal"}},
    };
    for (const Case& c : cases) {
        cap.clear();
        TnfcapiMsg m = nfaceMsgMake<NFACE_LISTEN_REQ>({c.mask, nullptr});
        nfaceTraceMessage(&m);
        EXPECT_EQ(texts(), c.lines) << std::hex << c.mask;
    }
}

TEST_F(NfaceTraceTest, DeviceIndicationNamesEachCardAndDumpsItsIdentifier) {
    TNfcTagInfo plain{};
    plain.tagType = TAG_ISO14443A;
    plain.uidLength = 4;
    plain.uid[0] = 0x04; plain.uid[1] = 0xA1; plain.uid[2] = 0x25; plain.uid[3] = 0x21;
    TNfcTagInfo ndef{};
    ndef.tagType = TAG_NDEF | TAG_ULTRALIGHT_TYPE2;
    ndef.ndefLength = 20;
    ndef.ndefMaxSize = 46;
    ndef.uidLength = 200;                     // never dumps beyond the identifier field
    TNfcTagInfo* tags[] = {&plain, &ndef};

    TnfcapiMsg m = nfaceMsgMake<NFACE_DEVICE_IND>({0, 2, tags});
    nfaceTraceMessage(&m);
    const auto t = texts();
    ASSERT_EQ(t.size(), 7u);
    EXPECT_EQ(t[0].rfind("NFACE: /\\ DEVICE_IND, count 2 (", 0), 0u) << t[0];
    EXPECT_EQ(t[1], " 1. card: type 0x00000001 (ISO 14443A)");
    EXPECT_EQ(t[2].rfind("NFC ID, Dump ", 0), 0u);
    EXPECT_EQ(t[2].substr(t[2].size() - 7), ", len 4");
    EXPECT_EQ(t[3].substr(21, 11), "04 A1 25 21");
    EXPECT_EQ(t[4], " 2. card: type 0x80000040 (MifareUL + NDEF  (used 20 from max 46))");
    EXPECT_NE(t[5].find(", len 16"), std::string::npos);
}

TEST_F(NfaceTraceTest, ReadIndicationShowsCauseTextAndDumpsWhatCameUp) {
    const uint8_t data[20] = {0xD1, 0x01, 0x10, 'T'};
    TnfcapiMsg m = nfaceMsgMake<NFACE_READ_IND>({22, data, sizeof data});
    nfaceTraceMessage(&m);
    auto t = texts();
    ASSERT_EQ(t.size(), 4u);                  // the line, the dump title and two rows
    char expected[128];
    std::snprintf(expected, sizeof expected, "NFACE: /\\ READ_IND, cause=0x16 (tag buffer too small), rdLen=20, rdData=%p (",
                  static_cast<const void*>(data));
    EXPECT_EQ(t[0].rfind(expected, 0), 0u) << t[0];
    EXPECT_EQ(t[0].substr(t[0].size() - 4), " ms)");
    EXPECT_EQ(t[1].rfind("RX API Data, Dump", 0), 0u);

    debugSetFlags(0xFFFFFFFFu & ~TRC_DUMP_RX);    // the dump has its own bit
    cap.clear();
    nfaceTraceMessage(&m);
    EXPECT_EQ(texts().size(), 1u);
}

TEST_F(NfaceTraceTest, RequestGoesDownAndUnknownCodeIsNamedAsSuch) {
    uint8_t buffer[64];
    TnfcapiMsg read = nfaceMsgMake<NFACE_READ_REQ>({1, buffer, 0, sizeof buffer});
    nfaceTraceMessage(&read);
    TnfcapiMsg unknown{};
    unknown.code = 0xA0E4;
    nfaceTraceMessage(&unknown);
    char expected[96];
    std::snprintf(expected, sizeof expected, "NFACE: \\/ READ_REQ, flag=0x1, len=64, rdData=%p", static_cast<void*>(buffer));
    EXPECT_EQ(texts(), (std::vector<std::string>{expected, "NFACE: ! Unknown NFace message 0xA0E4"}));
}
