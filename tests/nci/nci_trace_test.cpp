#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "L1/nci/nci_trace.h"
#include "trace_capture.h"
#include "transport/nci_opcodes.h"
#include "util/trace.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

constexpr uint32_t kDecodeOnly = NCI_TRC_FRAME | NCI_TRC_DECODE | NCI_TRC_ERROR;
const std::string kSeparator = "nci: -----------------------------------------------------------";

struct NciTraceTest : ::testing::Test {
    void SetUp() override {
        nciTraceSetManufacturer(0);
        debugSetFlags(kDecodeOnly);
        capture.clear();
    }
    void TearDown() override { debugSetFlags(0xFFFFFFFFu); }

    // The texts of the lines written, without tag, tick and line end.
    Lines texts() {
        Lines out;
        for (const auto& l : capture.lines()) out.push_back(l.substr(21, l.size() - 23));
        capture.clear();
        return out;
    }
    // Decodes a received packet from a buffer of exactly its size (so a read past it is caught).
    Lines decode(const Bytes& packet) {
        auto* copy = new uint8_t[packet.size() + 1];   // +1: a zero-length packet still has an address
        std::copy(packet.begin(), packet.end(), copy);
        nciTraceMessage(NCI_DIR_RX, copy, static_cast<uint32_t>(packet.size()), "nci:");
        delete[] copy;
        return texts();
    }
    // The lines between the name line and the closing separator.
    Lines payloadLines(const Bytes& packet, std::string* nameLine = nullptr) {
        Lines all = decode(packet);
        EXPECT_GE(all.size(), 2u);
        if (all.size() < 2) return all;
        EXPECT_EQ(all.back(), kSeparator);
        if (nameLine) *nameLine = all.front();
        return Lines(all.begin() + 1, all.end() - 1);
    }

    TraceCapture capture;
};

struct Golden {
    const char* what;
    Bytes packet;
    const char* nameLine;
    Lines lines;
};

} // namespace

TEST_F(NciTraceTest, RealMessagesAreDecodedFieldByField) {
    const Bytes nfcaParams{0x44, 0x00, 0x04, 0xA1, 0xB2, 0xC3, 0xD4, 0x01, 0x20};
    auto activated = [&](uint8_t rfInterface, uint8_t protocol, std::initializer_list<uint8_t> activation) {
        Bytes p{0x61, 0x05, 0x00, 0x01, rfInterface, protocol, 0x00, 0xFF, 0x01, 0x09};
        for (uint8_t b : nfcaParams) p.push_back(b);
        for (uint8_t b : {uint8_t{0x00}, uint8_t{0x02}, uint8_t{0x02}, static_cast<uint8_t>(activation.size())}) p.push_back(b);
        for (uint8_t b : activation) p.push_back(b);
        p[2] = static_cast<uint8_t>(p.size() - 3);
        return p;
    };
    const Lines nfcaLines{"nci:    SENS_RES Response:", "nci:    NFCID1: length=4", "nci:    SEL_RES Response: length=1"};
    auto join = [](Lines a, const Lines& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    Bytes sensf(16, 0x11);
    Bytes discoverF{0x61, 0x03, 0x17, 0x02, 0x03, 0x02, 0x12, 0x01, 0x10};
    discoverF.insert(discoverF.end(), sensf.begin(), sensf.end());
    discoverF.push_back(0x00);
    Bytes t3tPolling{0x61, 0x08, 0x15, 0x00, 0x01, 0x12};
    t3tPolling.insert(t3tPolling.end(), 18, 0x22);

    const Golden cases[] = {
        {"reset response", {0x40, 0x00, 0x03, 0x00, 0x10, 0x01}, "nci:    CORE_RESET_RSP (opcode=0x4000, PBF=0, payload=3)",
         {"nci:    Status: NCISC_STATUS_OK", "nci:    Version: 1.00", "nci:    Configuration status: Config Reset"}},
        {"reset notification", {0x60, 0x00, 0x02, 0x00, 0x00}, "nci:    CORE_RESET_NTF (opcode=0x6000, PBF=0, payload=2)",
         {"nci:    Reset reason: Unspecified", "nci:    Configuration status: Config kept"}},
        {"reset command", {0x20, 0x00, 0x01, 0x01}, "nci:    CORE_RESET_CMD (opcode=0x2000, PBF=0, payload=1)", {}},
        {"init response",
         {0x40, 0x01, 0x15, 0x00, 0x03, 0x0E, 0x02, 0x00, 0x04, 0x01, 0x02, 0x03, 0x80, 0x01, 0x00, 0x01, 0xFF, 0x00,
          0x04, 0x2E, 0x02, 0x06, 0x24, 0x01},
         "nci:    CORE_INIT_RSP (opcode=0x4001, PBF=0, payload=21)",
         {"nci:    Status: NCISC_STATUS_OK", "nci:    Discovery config mode: DISCOVERY_CONFIG_MULTI",
          "nci:    Discovery frequency configuration: Supported", "nci:    AID based routing: Supported",
          "nci:    Protocol based routing: Supported", "nci:    Technology based routing: Supported",
          "nci:    Switched off state: Supported", "nci:    Battery off state: Not supported",
          "nci:    Number of supported RF interfaces: 4", "nci:    Interface 0: NCI_IF_FRAME_RF",
          "nci:    Interface 1: NCI_IF_ISO_DEP", "nci:    Interface 2: NCI_IF_NFC_DEP", "nci:    Interface 3: <UNKNOWN>",
          "nci:    Max logical connections: 1", "nci:    Max routing table size: 256",
          "nci:    Max control packet payload size: 255", "nci:    Max size for large parameters: 1024",
          "nci:    Manufacturer: 0x2e = NCI_MANU_BROADCOM",
          "nci:    Manufacturer specific information: 0x02 0x06 0x24 0x01"}},
        {"set config", {0x20, 0x02, 0x07, 0x02, 0x30, 0x01, 0x01, 0x80, 0x01, 0x01},
         "nci:    CORE_SET_CONFIG_CMD (opcode=0x2002, PBF=0, payload=7)",
         {"nci:    Number of parameters: 2", "nci:    Parameter 0: 0x30 = NCI_CFG_LA_BIT_FRAME_SDD, len=1",
          "nci:    Parameter 1: 0x80 = NCI_CFG_RF_FIELD_INFO, len=1"}},
        {"set config response", {0x40, 0x02, 0x03, 0x09, 0x01, 0x33}, "nci:    CORE_SET_CONFIG_RSP (opcode=0x4002, PBF=0, payload=3)",
         {"nci:    Status: ! NCISC_STATUS_INVALID_PARAM", "nci:    Number of invalid parameters: 1",
          "nci:    Parameter 0: 0x33 = NCI_CFG_LA_NFCID1"}},
        {"get config response", {0x40, 0x03, 0x05, 0x00, 0x01, 0x58, 0x01, 0x0E},
         "nci:    CORE_GET_CONFIG_RSP (opcode=0x4003, PBF=0, payload=5)",
         {"nci:    Status: NCISC_STATUS_OK", "nci:    Number of parameters: 1", "nci:    Parameter 0: 0x58 = NCI_CFG_LI_FWI, len=1"}},
        {"connection create", {0x20, 0x04, 0x06, 0x03, 0x01, 0x01, 0x02, 0x02, 0x00},
         "nci:    CORE_CONN_CREATE_CMD (opcode=0x2004, PBF=0, payload=6)",
         {"nci:    Destination type: NCI_DESTTYPE_NFCEE", "nci:    Parameter 0: 0x1 = NCI_DESTPARAM_NFCEE, len=2",
          "nci:                 NFCEE ID=2, NFCEE Interface Protocol=NCI_NFCEEPROTO_APDU"}},
        {"connection created without flow control", {0x40, 0x04, 0x04, 0x00, 0xFF, 0xFF, 0x01},
         "nci:    CORE_CONN_CREATE_RSP (opcode=0x4004, PBF=0, payload=4)",
         {"nci:    Status: NCISC_STATUS_OK", "nci:    Max Data Packet Payload Size: 255", "nci:    Flow control disabled",
          "nci:    Connection ID: 1"}},
        {"credits", {0x60, 0x06, 0x05, 0x02, 0x01, 0x02, 0x03, 0x01}, "nci:    CORE_CONN_CREDITS_NTF (opcode=0x6006, PBF=0, payload=5)",
         {"nci:    Entry 0: ConnectionID=1, credits=2", "nci:    Entry 1: ConnectionID=3, credits=1"}},
        {"generic error", {0x60, 0x07, 0x01, 0xA1}, "nci:    CORE_GENERIC_ERROR_NTF (opcode=0x6007, PBF=0, payload=1)",
         {"nci:    Status: ! NCISC_DISCOVERY_TARGET_ACTIVATION_FAILED"}},
        {"interface error", {0x60, 0x08, 0x02, 0xB2, 0x00}, "nci:    CORE_INTERFACE_ERROR_NTF (opcode=0x6008, PBF=0, payload=2)",
         {"nci:    Status: ! NCISC_RF_TIMEOUT_ERROR", "nci:    ConnectionID: 0"}},
        {"discover map", {0x21, 0x00, 0x07, 0x02, 0x04, 0x01, 0x02, 0x05, 0x03, 0x03},
         "nci:    RF_DISCOVER_MAP_CMD (opcode=0x2100, PBF=0, payload=7)",
         {"nci:    Number of mapping configurations: 2",
          "nci:    Config 0: proto 0x4 = NCI_PROTOCOL_ISO_DEP, mode 0x1 = POLL, rfInterface 0x2 = NCI_RFIF_ISO_DEP",
          "nci:    Config 1: proto 0x5 = NCI_PROTOCOL_NFC_DEP, mode 0x3 = POLL | LISTEN, rfInterface 0x3 = NCI_RFIF_NFC_DEP"}},
        {"discover", {0x21, 0x03, 0x05, 0x02, 0x00, 0x01, 0x82, 0x02}, "nci:    RF_DISCOVER_CMD (opcode=0x2103, PBF=0, payload=5)",
         {"nci:    Number of configurations: 2",
          "nci:    Config 0: RF Technology and Mode=NCI_NFC_A_PASSIVE_POLL_MODE, Frequency=Every 1 period(s)",
          "nci:    Config 1: RF Technology and Mode=NCI_NFC_F_PASSIVE_LISTEN_MODE, Frequency=Every 2 period(s)"}},
        {"discovered NFC-A", {0x61, 0x03, 0x0E, 0x01, 0x04, 0x00, 0x09, 0x44, 0x00, 0x04, 0xA1, 0xB2, 0xC3, 0xD4, 0x01, 0x20, 0x02},
         "nci:    RF_DISCOVER_NTF (opcode=0x6103, PBF=0, payload=14)",
         join(join({"nci:    RF Discovery ID: 1", "nci:    RF Protocol: NCI_PROTOCOL_ISO_DEP",
                    "nci:    RF Technology and Mode: NCI_NFC_A_PASSIVE_POLL_MODE"},
                   nfcaLines),
              {"nci:    Notification type: NCI_NTFTYPE_MORE"})},
        {"discovered NFC-F", discoverF, "nci:    RF_DISCOVER_NTF (opcode=0x6103, PBF=0, payload=23)",
         {"nci:    RF Discovery ID: 2", "nci:    RF Protocol: NCI_PROTOCOL_T3T",
          "nci:    RF Technology and Mode: NCI_NFC_F_PASSIVE_POLL_MODE", "nci:    Bitrate: 212 kbps",
          "nci:    SENSF_RES Response: length=16", "nci:    Notification type: NCI_NTFTYPE_LAST"}},
        {"select", {0x21, 0x04, 0x03, 0x01, 0x04, 0x02}, "nci:    RF_DISCOVER_SELECT_CMD (opcode=0x2104, PBF=0, payload=3)",
         {"nci:    RF Discovery ID: 1", "nci:    RF Protocol: NCI_PROTOCOL_ISO_DEP", "nci:    RF Interface: NCI_RFIF_ISO_DEP"}},
        {"ISO-DEP activated with ATS", activated(0x02, 0x04, {0x05, 0x78, 0x77, 0x80, 0x02, 0x80}),
         "nci:    RF_INTF_ACTIVATED_NTF (opcode=0x6105, PBF=0, payload=26)",
         join(join({"nci:    RF Discovery ID: 1", "nci:    RF Interface: NCI_RFIF_ISO_DEP", "nci:    RF Protocol: NCI_PROTOCOL_ISO_DEP",
                    "nci:    Activation RF Technology and Mode: NCI_NFC_A_PASSIVE_POLL_MODE",
                    "nci:    Max Data Packet Payload Size: 255", "nci:    Initial Number of Credits: 1"},
                   nfcaLines),
              {"nci:    Data Exchange RF Technology and Mode: NCI_NFC_A_PASSIVE_POLL_MODE",
               "nci:    Data Exchange Tx Bit Rate: NCI_NFC_BIT_RATE_424", "nci:    Data Exchange Rx Bit Rate: NCI_NFC_BIT_RATE_424",
               "nci:    Activation Parameters: length=6", "nci:        ATS: length 5", "nci:             TO=78",
               "nci:             TA=77", "nci:             TB=80, FWT=77 ms", "nci:             TC=02"})},
        {"NFC-DEP activated with ATR_RES",
         activated(0x03, 0x05, {0x15, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0x00, 0x00, 0x00, 0x0E, 0x32, 0x46, 0x66, 0x6D, 0x01, 0x01, 0x11}),
         "nci:    RF_INTF_ACTIVATED_NTF (opcode=0x6105, PBF=0, payload=42)",
         join(join({"nci:    RF Discovery ID: 1", "nci:    RF Interface: NCI_RFIF_NFC_DEP", "nci:    RF Protocol: NCI_PROTOCOL_NFC_DEP",
                    "nci:    Activation RF Technology and Mode: NCI_NFC_A_PASSIVE_POLL_MODE",
                    "nci:    Max Data Packet Payload Size: 255", "nci:    Initial Number of Credits: 1"},
                   nfcaLines),
              {"nci:    Data Exchange RF Technology and Mode: NCI_NFC_A_PASSIVE_POLL_MODE",
               "nci:    Data Exchange Tx Bit Rate: NCI_NFC_BIT_RATE_424", "nci:    Data Exchange Rx Bit Rate: NCI_NFC_BIT_RATE_424",
               "nci:    Activation Parameters: length=22", "nci:    ATR_RES: length 21", "nci:       NFCID3: ",
               "nci:          DID: 0x00", "nci:           BS: 0x00", "nci:           BR: 0x00",
               "nci:           TO: 0x0E (RWT: 4949 ms)", "nci:           PP: 0x32, MaxPayload=254 bytes", "nci:           GT: "})},
        {"deactivated", {0x61, 0x06, 0x02, 0x03, 0x02}, "nci:    RF_DEACTIVATE_NTF (opcode=0x6106, PBF=0, payload=2)",
         {"nci:    Deactivation type: NCI_DEACTIVATE_MODE_DISCOVERY", "nci:    Deactivation reason: NCI_DEACTIVATE_REASON_RF_LINK_LOSS"}},
        {"field on", {0x61, 0x07, 0x01, 0x01}, "nci:    RF_FIELD_INFO_NTF (opcode=0x6107, PBF=0, payload=1)", {"nci:    RF Field: ON"}},
        {"T3T polling", t3tPolling, "nci:    RF_T3T_POLLING_NTF (opcode=0x6108, PBF=0, payload=21)",
         {"nci:    Status: NCISC_STATUS_OK", "nci:    Num responses: 1", "nci:    Response 1: length=18"}},
        {"NFCEE action", {0x61, 0x09, 0x0C, 0x02, 0x00, 0x09, 0x81, 0x07, 0xA0, 0x00, 0x00, 0x00, 0x03, 0x10, 0x10},
         "nci:    RF_NFCEE_ACTION_NTF (opcode=0x6109, PBF=0, payload=12)",
         {"nci:    NFCEE ID: 2", "nci:    Trigger: NCI_TRIGGER_AID", "nci:    Supporting Data: len=9"}},
        {"listen-mode routing",
         {0x61, 0x02, 0x15, 0x00, 0x03, 0x00, 0x03, 0x01, 0x01, 0x00, 0x01, 0x03, 0x00, 0x05, 0x04, 0x02, 0x07, 0x02, 0x01,
          0xA0, 0x00, 0x00, 0x00, 0x03},
         "nci:    RF_GET_LM_ROUTING_NTF (opcode=0x6102, PBF=0, payload=21)",
         {"nci:    Number of Routing Entries: 3", "nci:    Entry 0: Type=NCI_LM_ROUTING_TECH_BASED",
          "nci:             NFCEE ID=1, RF Technology=NCI_NFC_RF_TECHNOLOGY_A", "nci:             -------1 Switched on",
          "nci:    Entry 1: Type=NCI_LM_ROUTING_PROTO_BASED", "nci:             NFCEE ID=0, RF Protocol=NCI_PROTOCOL_ISO_DEP",
          "nci:             -----1-- Battery off", "nci:             -------1 Switched on",
          "nci:    Entry 2: Type=NCI_LM_ROUTING_AID_BASED", "nci:             NFCEE ID=2, AID=",
          "nci:             -------1 Switched on", "nci:    Last routing message"}},
        {"NFCEE discovered", {0x62, 0x00, 0x0B, 0x02, 0x00, 0x01, 0x00, 0x01, 0x02, 0x04, 0x05, 0x01, 0x12, 0xFC},
         "nci:    NFCEE_DISCOVER_NTF (opcode=0x6200, PBF=0, payload=11)",
         {"nci:    NFCEE ID: 2", "nci:    Status: NCI_NFCEE_CONNECTED_ENABLED", "nci:    Supported protocols: 1",
          "nci:    Protocol 0: NCI_NFCEEPROTO_APDU", "nci:    Additional info: type=NCI_NFCEE_INFO_T3T_SUPP",
          "nci:                     PMm=5, Number of Entries=1", "nci:                     Entry 0: System Code=12FC"}},
        {"NFCEE mode set", {0x22, 0x01, 0x02, 0x02, 0x01}, "nci:    NFCEE_MODE_SET_CMD (opcode=0x2201, PBF=0, payload=2)",
         {"nci:    NFCEE ID=2 Mode=NCI_NFCEE_MODE_ENABLE"}},
        {"parameter update",
         {0x21, 0x0B, 0x07, 0x02, 0x01, 0x01, 0x02, 0x03, 0x01, 0x0C},
         "nci:    RF_PARAMETER_UPDATE_CMD (opcode=0x210b, PBF=0, payload=7)",
         {"nci:    Number of parameters: 2", "nci:    Parameter 0: 0x1 = type=NCI_COMMPARAM_TX_BITRATE, value=NCI_NFC_BIT_RATE_424",
          "nci:    Parameter 1:  0x3 = type=NCI_COMMPARAM_NFC_B_CONFIG", "nci:                  ----1--- Suppression of EoS",
          "nci:                  -----1-- Suppression of SoS"}},
        {"symmetry", {0x23, 0x00, 0x02, 0x64, 0x32}, "nci:    LLCP_START_SYMMETRY_CMD (opcode=0x2300, PBF=0, payload=2)",
         {"nci:    Remote link timeout: 1000 ms, local symmetry timeout: 500 ms"}},
        {"SWP wake-up", {0x2F, 0x08, 0x01, 0x01}, "nci:    DOVUVODAV_SWP_WAKEUP_CMD (opcode=0x2f08, PBF=0, payload=1)",
         {"nci:    Wake up all secure elements"}},
        {"vendor text", {0x60, 0x3E, 0x05, 'H', 'e', 'l', 'l', 'o'}, "nci:    CORE_DOVUVODAV_STRING_NTF (opcode=0x603e, PBF=0, payload=5)",
         {"Dovuvodav: Hello"}},
        {"data on connection 1", {0x01, 0x00, 0x03, 0xAA, 0xBB, 0xCC}, "nci:    DATA (connectionId=1, PBF=0, payload=3)", {}},
        {"segment of a data message", {0x10, 0x00, 0x01, 0xAA}, "nci:    DATA (connectionId=0, PBF=1, payload=1)", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string nameLine;
        EXPECT_EQ(payloadLines(c.packet, &nameLine), c.lines);
        EXPECT_EQ(nameLine, c.nameLine);
    }
}

TEST_F(NciTraceTest, MalformedMessagesAreTracedAndNeverReadPastTheirEnd) {
    Bytes longText{0x60, 0x3E, 0xFF};
    longText.insert(longText.end(), 255, 'x');
    struct Case {
        const char* what;
        Bytes packet;
        Lines lines;   // everything after the name line, without the closing separator
    };
    const Case cases[] = {
        {"header announces more than arrived", {0x40, 0x00, 0x0A, 0x00, 0x10},
         {"nci: ! Warning, invalid message size (is 5, expected 13)",
          "nci:    ! ERROR: Insufficient data received (is 2, expected 3)"}},
        {"header announces less than arrived", {0x40, 0x00, 0x01, 0x00, 0x10, 0x01},
         {"nci: ! Warning, invalid message size (is 6, expected 4)",
          "nci:    ! ERROR: Insufficient data received (is 1, expected 3)"}},
        {"parameter overruns the payload", {0x20, 0x02, 0x04, 0x01, 0x30, 0x05, 0x01},
         {"nci:    Number of parameters: 1", "nci:    ! ERROR: Insufficient data received (is 1, expected 5)"}},
        {"interface count overruns the payload",
         {0x40, 0x01, 0x12, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC8, 0x01, 0x02, 0x03, 0x01, 0x00, 0x01, 0xFF, 0x00, 0x04, 0x00, 0x01, 0x02},
         {"nci:    Status: NCISC_STATUS_OK", "nci:    Discovery config mode: DISCOVERY_CONFIG_ONLY_DH",
          "nci:    Discovery frequency configuration: Not supported", "nci:    AID based routing: Not supported",
          "nci:    Protocol based routing: Not supported", "nci:    Technology based routing: Not supported",
          "nci:    Switched off state: Not supported", "nci:    Battery off state: Not supported",
          "nci:    ! ERROR: Insufficient data received (is 18, expected 217)"}},
        {"credit pairs overrun the payload", {0x60, 0x06, 0x03, 0x03, 0x01, 0x01},
         {"nci:    ! ERROR: Insufficient data received (is 3, expected 7)"}},
        {"exact length exceeded", {0x60, 0x07, 0x01, 0x00}, {"nci:    Status: NCISC_STATUS_OK"}},
        {"reset response too long", {0x40, 0x00, 0x04, 0x00, 0x10, 0x01, 0x00},
         {"nci:    ! ERROR: More data received than expected (is 4, expected 3)"}},
        {"NFCID1 length beyond the parameters", {0x61, 0x03, 0x08, 0x01, 0x02, 0x00, 0x03, 0x44, 0x00, 0xC8, 0x00},
         {"nci:    RF Discovery ID: 1", "nci:    RF Protocol: NCI_PROTOCOL_T2T",
          "nci:    RF Technology and Mode: NCI_NFC_A_PASSIVE_POLL_MODE", "nci:    SENS_RES Response:",
          "nci:    ! ERROR: Insufficient data received (is 0, expected 200)",
          "nci:    Notification type: NCI_NTFTYPE_LAST"}},
        {"activation parameters beyond the payload",
         {0x61, 0x05, 0x0C, 0x01, 0x02, 0x04, 0x00, 0xFF, 0x01, 0x00, 0x00, 0x00, 0x00, 0x09, 0x05},
         {"nci:    RF Discovery ID: 1", "nci:    RF Interface: NCI_RFIF_ISO_DEP", "nci:    RF Protocol: NCI_PROTOCOL_ISO_DEP",
          "nci:    Activation RF Technology and Mode: NCI_NFC_A_PASSIVE_POLL_MODE", "nci:    Max Data Packet Payload Size: 255",
          "nci:    Initial Number of Credits: 1", "nci:    ! ERROR: Insufficient data received (is 0, expected 2)",
          "nci:    Data Exchange RF Technology and Mode: NCI_NFC_A_PASSIVE_POLL_MODE",
          "nci:    Data Exchange Tx Bit Rate: NCI_NFC_BIT_RATE_106", "nci:    Data Exchange Rx Bit Rate: NCI_NFC_BIT_RATE_106",
          "nci:    Activation Parameters: length=9", "nci:    ! ERROR: Insufficient data received (is 12, expected 20)"}},
        {"ATS length beyond the activation parameters",
         {0x61, 0x05, 0x0D, 0x01, 0x02, 0x04, 0x00, 0xFF, 0x01, 0x00, 0x00, 0x00, 0x00, 0x02, 0x20, 0x78},
         {"nci:    RF Discovery ID: 1", "nci:    RF Interface: NCI_RFIF_ISO_DEP", "nci:    RF Protocol: NCI_PROTOCOL_ISO_DEP",
          "nci:    Activation RF Technology and Mode: NCI_NFC_A_PASSIVE_POLL_MODE", "nci:    Max Data Packet Payload Size: 255",
          "nci:    Initial Number of Credits: 1", "nci:    ! ERROR: Insufficient data received (is 0, expected 2)",
          "nci:    Data Exchange RF Technology and Mode: NCI_NFC_A_PASSIVE_POLL_MODE",
          "nci:    Data Exchange Tx Bit Rate: NCI_NFC_BIT_RATE_106", "nci:    Data Exchange Rx Bit Rate: NCI_NFC_BIT_RATE_106",
          "nci:    Activation Parameters: length=2", "nci:    ! Unexpected ATS length, is 32, expected 1"}},
        {"ATS announces a missing TB",
         {0x61, 0x05, 0x0E, 0x01, 0x02, 0x04, 0x00, 0xFF, 0x01, 0x00, 0x00, 0x00, 0x00, 0x03, 0x02, 0x30, 0x77},
         {"nci:    RF Discovery ID: 1", "nci:    RF Interface: NCI_RFIF_ISO_DEP", "nci:    RF Protocol: NCI_PROTOCOL_ISO_DEP",
          "nci:    Activation RF Technology and Mode: NCI_NFC_A_PASSIVE_POLL_MODE", "nci:    Max Data Packet Payload Size: 255",
          "nci:    Initial Number of Credits: 1", "nci:    ! ERROR: Insufficient data received (is 0, expected 2)",
          "nci:    Data Exchange RF Technology and Mode: NCI_NFC_A_PASSIVE_POLL_MODE",
          "nci:    Data Exchange Tx Bit Rate: NCI_NFC_BIT_RATE_106", "nci:    Data Exchange Rx Bit Rate: NCI_NFC_BIT_RATE_106",
          "nci:    Activation Parameters: length=3", "nci:        ATS: length 2", "nci:             TO=30",
          "nci:             TA=77", "nci:    ! Unexpected ATS length, is 2, expected 3"}},
        {"routing entry overruns the payload", {0x61, 0x02, 0x05, 0x00, 0x01, 0x02, 0x09, 0x00},
         {"nci:    Number of Routing Entries: 1", "nci:    ! ERROR: Insufficient data received (is 1, expected 9)"}},
        {"NFCEE protocol count overruns the payload", {0x62, 0x00, 0x04, 0x02, 0x00, 0x09, 0x00},
         {"nci:    NFCEE ID: 2", "nci:    Status: NCI_NFCEE_CONNECTED_ENABLED", "nci:    Supported protocols: 9",
          "nci:    ! ERROR: Insufficient data received (is 1, expected 9)"}},
        {"listen F with a bad NFCID2 length", {0x61, 0x03, 0x07, 0x01, 0x03, 0x82, 0x02, 0x05, 0x00, 0x00},
         {"nci:    RF Discovery ID: 1", "nci:    RF Protocol: NCI_PROTOCOL_T3T",
          "nci:    RF Technology and Mode: NCI_NFC_F_PASSIVE_LISTEN_MODE",
          "nci:    ! ERROR: Invalid NFCID2 length (is 5, expected 0 or 8)", "nci:    Notification type: NCI_NTFTYPE_LAST"}},
        {"GT announced but absent",
         {0x61, 0x05, 0x1A, 0x01, 0x03, 0x05, 0x80, 0xFF, 0x01, 0x00, 0x80, 0x00, 0x00, 0x0F, 0x0E, 1, 2, 3, 4, 5, 6, 7, 8,
          9, 10, 0x00, 0x00, 0x00, 0x02},
         {"nci:    RF Discovery ID: 1", "nci:    RF Interface: NCI_RFIF_NFC_DEP", "nci:    RF Protocol: NCI_PROTOCOL_NFC_DEP",
          "nci:    Activation RF Technology and Mode: NCI_NFC_A_PASSIVE_LISTEN_MODE", "nci:    Max Data Packet Payload Size: 255",
          "nci:    Initial Number of Credits: 1", "nci:    Data Exchange RF Technology and Mode: NCI_NFC_A_PASSIVE_LISTEN_MODE",
          "nci:    Data Exchange Tx Bit Rate: NCI_NFC_BIT_RATE_106", "nci:    Data Exchange Rx Bit Rate: NCI_NFC_BIT_RATE_106",
          "nci:    Activation Parameters: length=15", "nci:    ATR_REQ: length 14", "nci:       NFCID3: ",
          "nci:          DID: 0x00", "nci:           BS: 0x00", "nci:           BR: 0x00",
          "nci:           PP: 0x02, MaxPayload=64 bytes", "nci: ! Received data too short, no GT present"}},
        {"unknown opcode", {0x2F, 0x7F, 0x00}, {"nci:   Unknown opcode 0x2f7f"}},
        {"unterminated vendor text", longText, {"Dovuvodav: " + std::string(255, 'x')}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Lines all = decode(c.packet);
        ASSERT_GE(all.size(), 2u);
        EXPECT_EQ(all.back(), kSeparator);
        // The size warning comes before the name line; everything else after it.
        Lines rest;
        for (size_t i = 0; i + 1 < all.size(); ++i)
            if (all[i].find(" (opcode=") == std::string::npos) rest.push_back(all[i]);
        EXPECT_EQ(rest, c.lines);
    }
    EXPECT_EQ(decode({}), (Lines{"nci: ! Warning, invalid message size (is 0, expected 3)", kSeparator}));
    EXPECT_EQ(decode({0x40, 0x00}), (Lines{"nci: ! Warning, invalid message size (is 2, expected 3)", kSeparator}));
}

TEST_F(NciTraceTest, ManufacturerOfTheInitResponseSwitchesProprietaryNames) {
    const Bytes powerMode{0x2F, 0x00, 0x01, 0x00};
    const Bytes nxpParam{0x20, 0x02, 0x05, 0x01, 0xA0, 0x12, 0x01, 0x01};
    const Bytes select6{0x21, 0x04, 0x03, 0x01, 0x80, 0x06};
    const Bytes select5{0x21, 0x04, 0x03, 0x01, 0x8A, 0x05};
    std::string name;

    payloadLines(powerMode, &name);
    EXPECT_EQ(name, "nci:    WAKE_UP_DONE_CMD (opcode=0x2f00, PBF=0, payload=1)");
    EXPECT_EQ(payloadLines(select5).back(), "nci:    RF Interface: NCI_RFIF_KOVIO_BARCODE");
    EXPECT_EQ(payloadLines(select6).back(), "nci:    RF Interface: RFIF_UNKNOWN");

    payloadLines({0x40, 0x01, 0x12, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x01, 0x00, 0x01, 0xFF, 0x00, 0x04,
                  0x04, 0x02, 0x06, 0x24, 0x01});
    EXPECT_EQ(nciTraceManufacturer(), NCI_MANU_NXP);
    payloadLines(powerMode, &name);
    EXPECT_EQ(name, "nci:    NXP_SET_POWER_MODE_CMD (opcode=0x2f00, PBF=0, payload=1)");
    EXPECT_EQ(payloadLines(nxpParam), (Lines{"nci:    Number of parameters: 1", "nci:    Parameter 0: 0xA012 = NXP special, len=1"}));
    EXPECT_EQ(payloadLines(select6).back(), "nci:    RF Interface: NCI_RFIF_NXP_TAG_CMD");
    EXPECT_EQ(payloadLines(select5).back(), "nci:    RF Interface: RFIF_UNKNOWN");
}

TEST_F(NciTraceTest, EachLineNeedsItsTraceBit) {
    const Bytes reset{0x40, 0x00, 0x03, 0x00, 0x10, 0x01};
    const std::string dumpLine = "nci:    40 00 03 00 10 01       - @.....";
    const std::string nameLine = "nci:    CORE_RESET_RSP (opcode=0x4000, PBF=0, payload=3)";
    const Lines decoded{"nci:    Status: NCISC_STATUS_OK", "nci:    Version: 1.00", "nci:    Configuration status: Config Reset"};
    struct Case {
        uint32_t flags;
        Lines lines;
    };
    const Case cases[] = {
        {0, {}},
        {NCI_TRC_PACKET, {"nci: RX 6 bytes:"}},
        {NCI_TRC_PACKET | NCI_TRC_DUMP, {"nci: RX 6 bytes:", dumpLine, "nci:    --------------"}},
        {NCI_TRC_FRAME, {nameLine, kSeparator}},
        {NCI_TRC_DECODE, decoded},
        {0xF0000004u,
         {kSeparator, "nci: RX 6 bytes:", dumpLine, "nci:    --------------", nameLine, decoded[0], decoded[1], decoded[2],
          kSeparator}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flags);
        debugSetFlags(c.flags);
        EXPECT_EQ(decode(reset), c.lines);
    }
    debugSetFlags(NCI_TRC_ERROR);
    EXPECT_EQ(decode({0x40, 0x00, 0x02, 0x00, 0x10}),
              (Lines{"nci:    ! ERROR: Insufficient data received (is 2, expected 3)"}));
}

TEST_F(NciTraceTest, HeaderReturnsTheKeyAndSegmentsSentAreTracedAsTx) {
    debugSetFlags(NCI_TRC_PACKET | NCI_TRC_FRAME);
    const Bytes data{0x13, 0x00, 0x02, 0x01, 0x02};
    EXPECT_EQ(nciTraceHeader(NCI_DIR_TX, data.data(), 5, "nci:"), NCI_OC_DATA);
    EXPECT_EQ(texts(), (Lines{kSeparator, "nci: TX 5 bytes:", "nci:    DATA (connectionId=3, PBF=1, payload=2)"}));
    const Bytes credits{0x60, 0x06, 0x00};
    EXPECT_EQ(nciTraceHeader(7, credits.data(), 3, "x:"), 0x6006);
    EXPECT_EQ(texts()[1], "x: <UNKNOWN> 3 bytes:");
    EXPECT_EQ(nciTraceHeader(NCI_DIR_RX, credits.data(), 2, "x:"), NCI_KEY_NONE);
}

TEST_F(NciTraceTest, HexDumpHasEightBytesALineAndAlignsTheLastOne) {
    debugSetFlags(NCI_TRC_DUMP);
    const Bytes bytes{'A', '!', 0x01, 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I'};
    nciShowBuffer("nci:", bytes.data(), static_cast<uint32_t>(bytes.size()), 0);
    EXPECT_EQ(texts(), (Lines{"nci:    41 21 01 42 43 44 45 46 - A..BCDEF",
                              "nci:    47 48 49                - GHI"}));
    nciShowBuffer("nci:", bytes.data(), 4, 5);
    EXPECT_EQ(texts(), (Lines{"nci:                   41 21 01 -      A..",
                              "nci:    42                      - B"}));
    nciShowBuffer("nci:", bytes.data(), 0, 0);
    nciShowBuffer("nci:", nullptr, 4, 0);
    EXPECT_TRUE(texts().empty());
}

TEST(NciOpcodes, OneTableInTheTransportOrderWithFirstMatchNames) {
    const uint16_t transportOrder[] = {
        0x2000, 0x4000, 0x6000, 0x2001, 0x4001, 0x2002, 0x4002, 0x2003, 0x4003, 0x2004, 0x4004, 0x2005, 0x4005,
        0x6006, 0x6007, 0x6008, 0x603E, 0x603F, 0x2100, 0x4100, 0x2101, 0x4101, 0x2102, 0x4102, 0x6102, 0x2103,
        0x4103, 0x6103, 0x2104, 0x4104, 0x6105, 0x2106, 0x4106, 0x6106, 0x6107, 0x2108, 0x4108, 0x6108, 0x6109,
        0x610A, 0x210B, 0x410B, 0x2200, 0x4200, 0x6200, 0x2201, 0x4201, 0x2300, 0x4300, 0x2301, 0x4301, 0x2F01,
        0x4F01, 0x6F01, 0x2F02, 0x4F02, 0x2F05, 0x4F05, 0x2F05, 0x4F05, 0x6F05, 0x2F08, 0x4F08, 0x2F00, 0x4F00,
        0x6F00, 0x0000, 0x2F02, 0x4F02, 0x2F00, 0x4F00, 0x2F11, 0x4F11, 0x6F11, 0x0100};
    ASSERT_EQ(std::size(transportOrder), NCI_OPCODE_COUNT);
    for (size_t i = 0; i < NCI_OPCODE_COUNT; ++i) EXPECT_EQ(kNciOpcodes[i].key, transportOrder[i]) << i;

    struct Case {
        uint16_t key;
        uint8_t manufacturer;
        const char* name;
    };
    const Case cases[] = {
        {0x2F05, 0x00, "NCI_OC_DOVUVODAV_SET_PM_ROUTING_CMD"},
        {0x4F05, NCI_MANU_NXP, "NCI_OC_DOVUVODAV_SET_PM_ROUTING_RSP"},
        {0x4F02, 0x00, "NCI_OC_DOVUVODAV_PC_DEACTIVATE_RSP"},
        {0x4F02, NCI_MANU_NXP, "NCI_OC_NXP_PROPRIETARY_ACT_RSP"},
        {0x4F00, 0x2E, "NCI_OC_WAKE_UP_DONE_RSP"},
        {0x4F00, NCI_MANU_NXP, "NCI_OC_NXP_SET_POWER_MODE_RSP"},
        {0x6F11, 0x00, "NCI_OC_NXP_PRESENCE_CHECK_NTF"},
    };
    for (const auto& c : cases) {
        int row = nciOpcodeFind(c.key, c.manufacturer);
        ASSERT_GE(row, 0) << c.name;
        EXPECT_STREQ(kNciOpcodes[row].name, c.name);
    }
    struct EventCase {
        uint16_t key;
        uint8_t manufacturer;
        const char* event;   // empty: no event
    };
    const EventCase events[] = {
        {0x4F02, NCI_MANU_NXP, "EV_NCI_NXP_PROPRIETARY_ACT_RSP"},
        {0x4F02, 0x00, "EV_NCI_DOVUVODAV_PC_DEACTIVATE_RSP"},
        {0x4F00, NCI_MANU_NXP, "EV_NCI_NXP_SET_POWER_MODE_RSP"},
        {0x2F00, NCI_MANU_NXP, "EV_NCI_WAKE_UP_DONE_CMD"},   // the proprietary command has no event
        {0x2F05, 0x00, "EV_NCI_DOVUVODAV_SET_PM_ROUTING_CMD"},
        {0x4F05, 0x00, "EV_NCI_DOVUVODAV_SET_PM_ROUTING_RSP"},
        {0x6F05, 0x00, "EV_NCI_DOVUVODAV_GET_PM_ROUTING_NTF"},
        {0x4F11, 0x00, "EV_NCI_NXP_PRESENCE_CHECK_RSP"},
        {0x0000, 0x00, "EV_NCI_DATA"},
        {0x2F02, NCI_MANU_NXP, nullptr},
        {0x0100, 0x00, nullptr},
    };
    for (const auto& e : events) {
        int row = nciOpcodeFindEvent(e.key, e.manufacturer);
        if (!e.event) {
            EXPECT_LT(row, 0) << e.key;
            continue;
        }
        ASSERT_GE(row, 0) << e.event;
        EXPECT_STREQ(kNciOpcodes[row].event, e.event);
    }
    EXPECT_TRUE(nciOpcodeKnown(0x0100));
    EXPECT_FALSE(nciOpcodeKnown(0x6F02));
    EXPECT_FALSE(nciOpcodeKnown(0x4F11 | 0x1000));
    EXPECT_EQ(nciPacketKey(0x15, 0x00), NCI_OC_DATA);
    EXPECT_EQ(nciPacketKey(0x5F, 0x05), 0x4F05);
}
