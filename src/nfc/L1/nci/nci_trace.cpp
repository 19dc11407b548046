#include "L1/nci/nci_trace.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstring>

#include "transport/nci_opcodes.h"
#include "util/bytereader.h"
#include "util/trace.h"

namespace {

std::atomic<uint8_t> g_manufacturer{0};

// ---- Name tables (first match wins) -----------------------------------------------------------

struct TNciName {
    uint32_t value;
    const char* name;
};

template <size_t N>
const char* nameOf(const TNciName (&table)[N], uint32_t value, const char* unknown = "<UNKNOWN>") {
    for (const auto& row : table)
        if (row.value == value) return row.name;
    return unknown;
}

constexpr TNciName kStatus[] = {
    {0x00, "NCISC_STATUS_OK"},
    {0x01, "NCISC_STATUS_REJECTED"},
    {0x02, "NCISC_STATUS_RF_FRAME_CORRUPTED"},
    {0x03, "NCISC_STATUS_FAILED"},
    {0x04, "NCISC_STATUS_NOT_INITIALIZED"},
    {0x05, "NCISC_STATUS_SYNTAX_ERROR"},
    {0x06, "NCISC_STATUS_SEMANTIC_ERROR"},
    {0x09, "NCISC_STATUS_INVALID_PARAM"},
    {0x0A, "NCISC_STATUS_MESSAGE_SIZE_EXCEEDED"},
    {0xA0, "NCISC_DISCOVERY_ALREADY_STARTED"},
    {0xA1, "NCISC_DISCOVERY_TARGET_ACTIVATION_FAILED"},
    {0xA2, "NCISC_DISCOVERY_TEAR_DOWN"},
    {0xB0, "NCISC_RF_TRANSMISSION_ERROR"},
    {0xB1, "NCISC_RF_PROTOCOL_ERROR"},
    {0xB2, "NCISC_RF_TIMEOUT_ERROR"},
    {0xC0, "NCISC_NFCEE_INTERFACE_ACTIVATION_FAILED"},
    {0xC1, "NCISC_NFCEE_TRANSMISSION_ERROR"},
    {0xC2, "NCISC_NFCEE_PROTOCOL_ERROR"},
    {0xC3, "NCISC_NFCEE_TIMEOUT_ERROR"},
    {0xE0, "NCISC_STATUS_DO_NOT_REPLY"},
    {0xE1, "NCISC_STATUS_BOOT_TRIM_CORRUPTED"},
    {0xE2, "NCISC_STATUS_PMU_DCDC_OVERLOAD"},
    {0xE3, "NCISC_STATUS_PMU_TXLDO_OVERCURRENT"},
    {0xE4, "NCISC_STATUS_EMVCO_PCD_COLLISION"},
};

constexpr TNciName kManufacturers[] = {
    {0x02, "NCI_MANU_STM"},      {0x04, "NCI_MANU_NXP"},      {0x07, "NCI_MANU_TEXAS_INSTRUMENTS"},
    {0x0C, "NCI_MANU_TOSHIBA"},  {0x1A, "NCI_MANU_SONY"},     {0x1F, "NCI_MANU_MELEXIS"},
    {0x2E, "NCI_MANU_BROADCOM"}, {0x3F, "NCI_MANU_AMS"},      {0xFF, "NCI_MANU_DOVUVODAV"},
};

constexpr TNciName kProtocols[] = {
    {0x00, "NCI_PROTOCOL_UNDETERMINED"}, {0x01, "NCI_PROTOCOL_T1T"},        {0x02, "NCI_PROTOCOL_T2T"},
    {0x03, "NCI_PROTOCOL_T3T"},          {0x04, "NCI_PROTOCOL_ISO_DEP"},    {0x05, "NCI_PROTOCOL_NFC_DEP"},
    {0x06, "NCI_PROTOCOL_NXP_15693"},    {0x80, "NCI_PROTOCOL_NXP_MIFARE"}, {0x86, "NCI_PROTOCOL_15693"},
    {0x8A, "NCI_PROTOCOL_KOVIO_BARCODE"},
};

constexpr TNciName kTechModes[] = {
    {0x00, "NCI_NFC_A_PASSIVE_POLL_MODE"},
    {0x01, "NCI_NFC_B_PASSIVE_POLL_MODE"},
    {0x02, "NCI_NFC_F_PASSIVE_POLL_MODE"},
    {0x03, "NCI_NFC_A_ACTIVE_POLL_MODE"},
    {0x05, "NCI_NFC_F_ACTIVE_POLL_MODE"},
    {0x06, "NCI_NFC_15693_PASSIVE_POLL_MODE"},
    {0x77, "NCI_NFC_KOVIO_BARCODE_PASSIVE_POLL_MODE"},
    {0x80, "NCI_NFC_A_PASSIVE_LISTEN_MODE"},
    {0x81, "NCI_NFC_B_PASSIVE_LISTEN_MODE"},
    {0x82, "NCI_NFC_F_PASSIVE_LISTEN_MODE"},
    {0x83, "NCI_NFC_A_ACTIVE_LISTEN_MODE"},
    {0x85, "NCI_NFC_F_ACTIVE_LISTEN_MODE"},
    {0x86, "NCI_NFC_15693_PASSIVE_LISTEN_MODE"},
};

constexpr TNciName kBitRates[] = {
    {0x00, "NCI_NFC_BIT_RATE_106"},  {0x01, "NCI_NFC_BIT_RATE_212"},  {0x02, "NCI_NFC_BIT_RATE_424"},
    {0x03, "NCI_NFC_BIT_RATE_848"},  {0x04, "NCI_NFC_BIT_RATE_1695"}, {0x05, "NCI_NFC_BIT_RATE_3390"},
    {0x06, "NCI_NFC_BIT_RATE_6780"}, {0x80, "NCI_NFC_BIT_RATE_15693_LOW"}, {0x81, "NCI_NFC_BIT_RATE_15693_HIGH"},
};

constexpr TNciName kTechnologies[] = {
    {0x00, "NCI_NFC_RF_TECHNOLOGY_A"},     {0x01, "NCI_NFC_RF_TECHNOLOGY_B"},
    {0x02, "NCI_NFC_RF_TECHNOLOGY_F"},     {0x03, "NCI_NFC_RF_TECHNOLOGY_15693"},
    {0x80, "NCI_NFC_RF_TECHNOLOGY_KOVIO_BARCODE"},
};

constexpr TNciName kRfInterfaces[] = {
    {0, "NCI_RFIF_NFCEE_DIRECT"}, {1, "NCI_RFIF_FRAME"}, {2, "NCI_RFIF_ISO_DEP"},
    {3, "NCI_RFIF_NFC_DEP"},      {4, "NCI_RFIF_LLCP_LOW"},
};
constexpr TNciName kRfInterfacesNxp[] = {
    {6, "NCI_RFIF_NXP_TAG_CMD"}, {7, "NCI_RFIF_NXP_UICC_DIRECT"}, {8, "NCI_RFIF_NXP_ESE_DIRECT"},
};
constexpr TNciName kRfInterfacesOther[] = {{5, "NCI_RFIF_KOVIO_BARCODE"}};

constexpr TNciName kInitInterfaces[] = {
    {0x00, "NCI_IF_NFCEE_DIRECT"}, {0x01, "NCI_IF_FRAME_RF"}, {0x02, "NCI_IF_ISO_DEP"}, {0x03, "NCI_IF_NFC_DEP"},
    {0x81, "NCI_IF_CALYPSO"},      {0x82, "NCI_IF_CE_T2T"},   {0x83, "NCI_IF_I93"},     {0x84, "NCI_IF_CE_T1T"},
};

constexpr TNciName kNotificationTypes[] = {
    {0, "NCI_NTFTYPE_LAST"}, {1, "NCI_NTFTYPE_LAST_LIMIT"}, {2, "NCI_NTFTYPE_MORE"}};
constexpr TNciName kNfceeStatus[] = {
    {0, "NCI_NFCEE_CONNECTED_ENABLED"}, {1, "NCI_NFCEE_CONNECTED_DISABLED"}, {2, "NCI_NFCEE_REMOVED"}};
constexpr TNciName kTriggers[] = {
    {0x00, "NCI_TRIGGER_AID"}, {0x01, "NCI_TRIGGER_PROTO_ROUTING"}, {0x02, "NCI_TRIGGER_TECH_ROUTING"},
    {0x10, "NCI_TRIGGER_APP_INITIATION"}};
constexpr TNciName kDestinationTypes[] = {
    {1, "NCI_DESTTYPE_LOOPBACK"}, {2, "NCI_DESTTYPE_REMOTE_ENDPOINT"}, {3, "NCI_DESTTYPE_NFCEE"}};
constexpr TNciName kDestinationParams[] = {{0, "NCI_DESTPARAM_RF"}, {1, "NCI_DESTPARAM_NFCEE"}};
constexpr TNciName kNfceeProtocols[] = {
    {0, "NCI_NFCEEPROTO_APDU"}, {1, "NCI_NFCEEPROTO_HCI_ACCESS"}, {2, "NCI_NFCEEPROTO_T3_CMDSET"},
    {3, "NCI_NFCEEPROTO_TRANSPARENT"}, {7, "NCI_NFCEEPROTO_LAST"}};
constexpr TNciName kDeactivationTypes[] = {
    {0, "NCI_DEACTIVATE_MODE_IDLE"}, {1, "NCI_DEACTIVATE_MODE_SLEEP"}, {2, "NCI_DEACTIVATE_MODE_SLEEP_AF"},
    {3, "NCI_DEACTIVATE_MODE_DISCOVERY"}};
constexpr TNciName kDeactivationReasons[] = {
    {0, "NCI_DEACTIVATE_REASON_DH_REQUEST"}, {1, "NCI_DEACTIVATE_REASON_ENDPOINT_REQUEST"},
    {2, "NCI_DEACTIVATE_REASON_RF_LINK_LOSS"}, {3, "NCI_DEACTIVATE_REASON_NFCB_BAD_AFI"}};
constexpr TNciName kRfParameterTypes[] = {
    {0, "NCI_COMMPARAM_TECHMODE"}, {1, "NCI_COMMPARAM_TX_BITRATE"}, {2, "NCI_COMMPARAM_RX_BITRATE"},
    {3, "NCI_COMMPARAM_NFC_B_CONFIG"}};
constexpr TNciName kRoutingTypes[] = {
    {0x00, "NCI_LM_ROUTING_TECH_BASED"}, {0x01, "NCI_LM_ROUTING_PROTO_BASED"}, {0x02, "NCI_LM_ROUTING_AID_BASED"},
    {0x80, "NCI_PM_ROUTING_TECH_BASED"}, {0x81, "NCI_PM_ROUTING_PROTO_BASED"}};
constexpr TNciName kNfceeInfoTypes[] = {
    {0, "NCI_NFCEE_INFO_HWID"}, {1, "NCI_NFCEE_INFO_ATR"}, {2, "NCI_NFCEE_INFO_T3T_SUPP"}};
constexpr TNciName kDiscoveryRequestTypes[] = {{0, "NCI_INFO_ADD"}, {1, "NCI_INFO_REMOVE"}};
constexpr TNciName kNfceeModes[] = {{0, "NCI_NFCEE_MODE_DISABLE"}, {1, "NCI_NFCEE_MODE_ENABLE"}};

constexpr TNciName kConfigParams[] = {
    {0x00, "NCI_CFG_TOTAL_DURATION"},       {0x01, "NCI_CFG_CON_DEVICES_LIMIT"},
    {0x08, "NCI_CFG_PA_BAIL_OUT"},          {0x10, "NCI_CFG_PB_AFI"},
    {0x11, "NCI_CFG_PB_BAIL_OUT"},          {0x12, "NCI_CFG_PB_ATTRIB_PARAM1"},
    {0x13, "NCI_CFG_PB_SENSB_REQ_PARAM"},   {0x18, "NCI_CFG_PF_BIT_RATE"},
    {0x19, "NCI_CFG_PF_RC_CODE"},           {0x20, "NCI_CFG_PB_H_INFO"},
    {0x21, "NCI_CFG_PI_BIT_RATE"},          {0x22, "NCI_CFG_PA_ADV_FEAT"},
    {0x28, "NCI_CFG_PN_NFC_DEP_SPEED"},     {0x29, "NCI_CFG_PN_ATR_REQ_GEN_BYTES"},
    {0x2A, "NCI_CFG_PN_ATR_REQ_CONFIG"},    {0x30, "NCI_CFG_LA_BIT_FRAME_SDD"},
    {0x31, "NCI_CFG_LA_PLATFORM_CONFIG"},   {0x32, "NCI_CFG_LA_SEL_INFO"},
    {0x33, "NCI_CFG_LA_NFCID1"},            {0x38, "NCI_CFG_LB_SENSB_INFO"},
    {0x39, "NCI_CFG_LB_NFCID0"},            {0x3A, "NCI_CFG_LB_APPLICATION_DATA"},
    {0x3B, "NCI_CFG_LB_SFGI"},              {0x3C, "NCI_CFG_LB_ADC_FO"},
    {0x40, "NCI_CFG_LF_T3T_IDENTIFIERS_1"}, {0x41, "NCI_CFG_LF_T3T_IDENTIFIERS_2"},
    {0x42, "NCI_CFG_LF_T3T_IDENTIFIERS_3"}, {0x43, "NCI_CFG_LF_T3T_IDENTIFIERS_4"},
    {0x44, "NCI_CFG_LF_T3T_IDENTIFIERS_5"}, {0x45, "NCI_CFG_LF_T3T_IDENTIFIERS_6"},
    {0x46, "NCI_CFG_LF_T3T_IDENTIFIERS_7"}, {0x47, "NCI_CFG_LF_T3T_IDENTIFIERS_8"},
    {0x48, "NCI_CFG_LF_T3T_IDENTIFIERS_9"}, {0x49, "NCI_CFG_LF_T3T_IDENTIFIERS_10"},
    {0x4A, "NCI_CFG_LF_T3T_IDENTIFIERS_11"}, {0x4B, "NCI_CFG_LF_T3T_IDENTIFIERS_12"},
    {0x4C, "NCI_CFG_LF_T3T_IDENTIFIERS_13"}, {0x4D, "NCI_CFG_LF_T3T_IDENTIFIERS_14"},
    {0x4E, "NCI_CFG_LF_T3T_IDENTIFIERS_15"}, {0x4F, "NCI_CFG_LF_T3T_IDENTIFIERS_16"},
    {0x50, "NCI_CFG_LF_PROTOCOL_TYPE"},     {0x51, "NCI_CFG_LF_T3T_PMM"},
    {0x52, "NCI_CFG_LF_T3T_MAX"},           {0x53, "NCI_CFG_LF_T3T_FLAGS"},
    {0x54, "NCI_CFG_LF_CON_BITR_F"},        {0x55, "NCI_CFG_LF_ADV_FEAT"},
    {0x58, "NCI_CFG_LI_FWI"},               {0x59, "NCI_CFG_LA_HIST_BY"},
    {0x5A, "NCI_CFG_LB_H_INFO_RESP"},       {0x5B, "NCI_CFG_LI_BIT_RATE"},
    {0x60, "NCI_CFG_LN_WT"},                {0x61, "NCI_CFG_LN_ATR_RES_GEN_BYTES"},
    {0x62, "NCI_CFG_LN_ATR_RES_CONFIG"},    {0x80, "NCI_CFG_RF_FIELD_INFO"},
    {0x81, "NCI_CFG_RF_NFCEE_ACTION"},      {0x82, "NCI_CFG_NFCDEP_OP"},
    {0xA4, "NCI_CFG_ZAR_CID_CONFIG"},       {0xA5, "NCI_CFG_ZAR_SET_PICC_TIMEOUT"},
    {0xA6, "NCI_CFG_ZAR_RNAK_COUNT"},       {0xA7, "NCI_CFG_ZAR_RACK_COUNT"},
    {0xA8, "NCI_CFG_ZAR_DESELECT_COUNT"},   {0xAA, "NCI_CFG_ZAR_TRANSCEIVE_RF_DISABLE"},
    {0xAC, "NCI_CFG_ZAR_RETRY_NACK_COUNT"}, {0xAD, "NCI_CFG_ZAR_RETRY_ATN_COUNT"},
    {0xAE, "NCI_CFG_ZAR_RAW"},              {0xB6, "NCI_CFG_ZAR_FELICA_RSPTIME"},
    {0xD0, "NCI_CFG_ZAR_PV_BITRATE"},       {0xD1, "NCI_CFG_ZAR_PV_FLAGS"},
    {0xD2, "NCI_CFG_ZAR_PV_AFI"},
};
static_assert(sizeof kConfigParams / sizeof kConfigParams[0] == 69);

const char* supported(bool yes) { return yes ? "Supported" : "Not supported"; }

const char* rfInterfaceName(uint8_t value) {
    const char* name = nameOf(kRfInterfaces, value, nullptr);
    if (!name) name = g_manufacturer == NCI_MANU_NXP ? nameOf(kRfInterfacesNxp, value, nullptr)
                                                     : nameOf(kRfInterfacesOther, value, nullptr);
    return name ? name : "RFIF_UNKNOWN";
}

const char* configParamName(uint16_t id) {
    if (g_manufacturer == NCI_MANU_NXP && id >= 0xA0) return "NXP special";
    return nameOf(kConfigParams, id);
}

// FWT and RWT from their 4-bit exponent: 256 x 16 / fc x 2^n, in whole milliseconds.
int waitTimeMs(uint8_t exponent) { return static_cast<int>((4096ull << (exponent & 0x0F)) / 13560); }

void traceLine(uint32_t bits, const char* format, ...) __attribute__((format(printf, 2, 3)));
void traceLine(uint32_t bits, const char* format, ...) {
    if (!debugOn(bits)) return;
    va_list args;
    va_start(args, format);
    debugVPrint(0, format, args);
    va_end(args);
}

// The next byte of a field whose room was checked already; past the end it reads as 0.
uint8_t byteOf(CByteReader& r) {
    uint8_t v = 0;
    r.u8(v);
    return v;
}

// ---- One printer's view of its payload ----------------------------------------------------------

class CMsgPrinter {
public:
    CMsgPrinter(const char* prefix, const uint8_t* payload, uint32_t length)
        : prefix_(prefix), reader_(payload, length), size_(length) {}

    CByteReader& in() { return reader_; }
    // Fields whose room the printer has checked already; past the end they read as 0.
    uint8_t byte() { return byteOf(reader_); }
    uint16_t word() {
        uint16_t v = 0;
        reader_.u16le(v);
        return v;
    }

    void line(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        va_list args;
        va_start(args, format);
        emit(NCI_TRC_DECODE, format, args);
        va_end(args);
    }
    void error(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        va_list args;
        va_start(args, format);
        emit(NCI_TRC_ERROR, format, args);
        va_end(args);
    }
    void dump(const CByteReader& bytes) {
        nciShowBuffer(prefix_, bytes.here(), static_cast<uint32_t>(bytes.remaining()), 0);
    }

    bool exactly(size_t n) {
        if (size_ < n) return insufficient(size_, n);
        if (size_ > n) {
            error("    ! ERROR: More data received than expected (is %zu, expected %zu)", size_, n);
            return false;
        }
        return true;
    }
    bool atLeast(size_t n) { return size_ >= n || insufficient(size_, n); }
    bool insufficient(size_t is, size_t expected) {
        error("    ! ERROR: Insufficient data received (is %zu, expected %zu)", is, expected);
        return false;
    }
    // The next n bytes of r as their own reader; an overrun is reported.
    bool take(CByteReader& r, size_t n, CByteReader& out) { return r.split(n, out) || insufficient(r.remaining(), n); }
    bool u8(CByteReader& r, uint8_t& v) { return r.u8(v) || insufficient(0, 1); }

    bool status(uint8_t* value = nullptr) {
        uint8_t s;
        if (!reader_.u8(s)) {
            error("    ! ERROR: No status byte in packet");
            return false;
        }
        if (value) *value = s;
        if (s == 0) line("    Status: %s", nameOf(kStatus, s));
        else line("    Status: ! %s", nameOf(kStatus, s));
        return true;
    }

private:
    void emit(uint32_t bits, const char* format, va_list args) __attribute__((format(printf, 3, 0))) {
        if (!debugOn(bits)) return;
        char text[DEBUG_LINE_SIZE];
        vseprintf(text, text + sizeof text - 1, format, args);
        debugPrint(0, "%s%s", prefix_, text);
    }

    const char* prefix_;
    CByteReader reader_;
    size_t size_;   // the whole payload
};

// ---- Shared pieces of several messages ----------------------------------------------------------

// A configuration parameter id: one byte, or with manufacturer 0x04 two bytes after 0xA0.
bool readParamId(CMsgPrinter& p, CByteReader& r, uint16_t& id) {
    uint8_t first, second;
    if (!p.u8(r, first)) return false;
    id = first;
    if (first != 0xA0 || g_manufacturer != NCI_MANU_NXP) return true;
    if (!p.u8(r, second)) return false;
    id = static_cast<uint16_t>(0xA000 | second);
    return true;
}

// count x {id, length, value}
void printParameterValues(CMsgPrinter& p, uint8_t count) {
    CByteReader& r = p.in();
    for (int k = 0; k < count; ++k) {
        uint16_t id;
        uint8_t length;
        CByteReader value;
        if (!readParamId(p, r, id) || !p.u8(r, length) || !p.take(r, length, value)) return;
        p.line("    Parameter %d: 0x%X = %s, len=%d", k, id, configParamName(id), length);
        p.dump(value);
    }
}

// count x id
void printParameterIds(CMsgPrinter& p, uint8_t count) {
    for (int k = 0; k < count; ++k) {
        uint8_t id;
        if (!p.u8(p.in(), id)) return;
        p.line("    Parameter %d: 0x%X = %s", k, id, configParamName(id));
    }
}

void printTechParameters(CMsgPrinter& p, uint8_t mode, CByteReader r) {
    CByteReader field;
    uint8_t length, rate;
    switch (mode) {
    case 0x00:
    case 0x03:
        if (!p.take(r, 2, field)) return;
        p.line("    SENS_RES Response:");
        p.dump(field);
        if (!p.u8(r, length) || !p.take(r, length, field)) return;
        p.line("    NFCID1: length=%d", length);
        p.dump(field);
        if (!p.u8(r, length) || !p.take(r, length, field)) return;
        p.line("    SEL_RES Response: length=%d", length);
        p.dump(field);
        return;
    case 0x01: {
        if (!p.u8(r, length) || !p.take(r, length, field)) return;
        p.line("    SENSB_RES Response: length=%d", length);
        p.dump(field);
        if (length < 11) return;
        uint8_t fwi = field.here()[10] >> 4;
        p.line("    FWI=%d, FWT=%d ms", fwi, waitTimeMs(fwi));
        return;
    }
    case 0x02:
    case 0x05:
        if (!p.u8(r, rate)) return;
        p.line("    Bitrate: %s kbps", rate == 1 ? "212" : "424");
        if (!p.u8(r, length) || !p.take(r, length, field)) return;
        p.line("    SENSF_RES Response: length=%d", length);
        p.dump(field);
        return;
    case 0x82:
    case 0x85:
        if (!p.u8(r, length)) return;
        if (length != 0 && length != 8) {
            p.error("    ! ERROR: Invalid NFCID2 length (is %d, expected 0 or 8)", length);
            return;
        }
        if (!p.take(r, length, field)) return;
        p.line("    NFCID2: length=%d", length);
        p.dump(field);
        return;
    case 0x06:
    case 0x77:
    case 0x80:
    case 0x81:
    case 0x83:
        return;
    default:
        p.line("    <Unknown RF Technology and Mode>");
    }
}

// A structure with its own length byte: checked against what is left of the parameters.
bool takeStructure(CMsgPrinter& p, CByteReader& r, const char* name, CByteReader& out) {
    uint8_t length = 0;
    if (!r.u8(length) || length == 0) {
        p.error("    ! %s is empty", name);
        return false;
    }
    if (length > r.remaining()) {
        p.error("    ! Unexpected %s length, is %d, expected %zu", name, length, r.remaining());
        return false;
    }
    return r.split(length, out);
}

// Fields of a structure in order; a missing one is reported against the structure's length.
class CFields {
public:
    CFields(CMsgPrinter& p, CByteReader r, const char* name) : p_(p), r_(r), size_(r.remaining()), name_(name) {}
    bool u8(uint8_t& v, size_t needed) { return r_.u8(v) || fail(needed); }
    bool bytes(size_t n, CByteReader& out, size_t needed) { return r_.split(n, out) || fail(needed); }
    CByteReader& rest() { return r_; }

private:
    bool fail(size_t needed) {
        p_.error("    ! Unexpected %s length, is %zu, expected %zu", name_, size_, needed);
        return false;
    }
    CMsgPrinter& p_;
    CByteReader r_;
    size_t size_;
    const char* name_;
};

void printAts(CMsgPrinter& p, CByteReader r) {
    CByteReader ats;
    if (!takeStructure(p, r, "ATS", ats)) return;
    p.line("        ATS: length %zu", ats.remaining());
    CFields f(p, ats, "ATS");
    uint8_t t0, ta, tb, tc;
    if (!f.u8(t0, 1)) return;
    p.line("             TO=%02X", t0);
    size_t needed = 1;
    if (t0 & 0x10) {
        if (!f.u8(ta, ++needed)) return;
        p.line("             TA=%02X", ta);
    }
    if (t0 & 0x20) {
        if (!f.u8(tb, ++needed)) return;
        p.line("             TB=%02X, FWT=%d ms", tb, waitTimeMs(tb >> 4));
    }
    if (t0 & 0x40) {
        if (!f.u8(tc, ++needed)) return;
        p.line("             TC=%02X", tc);
    }
}

void printAttribResponse(CMsgPrinter& p, CByteReader r) {
    CByteReader res;
    if (!takeStructure(p, r, "ATTRIB Res", res)) return;
    p.line("    ATTRIB Res: length %zu", res.remaining());
    uint8_t first = byteOf(res);
    p.line("             MBLI=%02X", first >> 4);
    p.line("             DID=%02X", first & 0x0F);
    if (res.empty()) return;
    p.line("  HiLayer Res: ");
    p.dump(res);
}

void printRatsParam(CMsgPrinter& p, CByteReader r) {
    uint8_t param;
    if (!r.u8(param)) {
        p.error("    ! %s is empty", "RATS PARAM");
        return;
    }
    p.line("             RATS PARAM=%02X", param);
}

void printAttribCommand(CMsgPrinter& p, CByteReader r) {
    CByteReader cmd, nfcid0;
    if (!takeStructure(p, r, "ATTRIB", cmd)) return;
    p.line("    ATTRIB: length %zu", cmd.remaining());
    CFields f(p, cmd, "ATTRIB");
    if (!f.bytes(4, nfcid0, 8)) return;
    p.line("             NFCID0: ");
    p.dump(nfcid0);
    for (int k = 1; k <= 4; ++k) {
        uint8_t param;
        if (!f.u8(param, 8)) return;
        p.line("             Param%d=%02X", k, param);
    }
    if (f.rest().empty()) return;
    p.line("             HiLayer Inf: ");
    p.dump(f.rest());
}

// ATR_REQ (listen) or ATR_RES (poll), both from NFCID3 on; ATR_RES has TO before PP.
void printAtr(CMsgPrinter& p, CByteReader r, bool response) {
    const char* name = response ? "ATR_RES" : "ATR_REQ";
    const size_t minimum = response ? 15 : 14;
    CByteReader atr, nfcid3;
    if (!takeStructure(p, r, name, atr)) return;
    p.line("    %s: length %zu", name, atr.remaining());
    CFields f(p, atr, name);
    uint8_t did, bs, br, to, pp;
    if (!f.bytes(10, nfcid3, minimum) || !f.u8(did, minimum) || !f.u8(bs, minimum) || !f.u8(br, minimum)) return;
    p.line("       NFCID3: ");
    p.dump(nfcid3);
    p.line("          DID: 0x%02X", did);
    p.line("           BS: 0x%02X", bs);
    p.line("           BR: 0x%02X", br);
    if (response) {
        if (!f.u8(to, minimum)) return;
        p.line("           TO: 0x%02X (RWT: %d ms)", to, waitTimeMs(to));
    }
    if (!f.u8(pp, minimum)) return;
    int maxPayload = (((pp >> 4) & 3) + 1) * 64;
    p.line("           PP: 0x%02X, MaxPayload=%d bytes", pp, maxPayload == 256 ? 254 : maxPayload);
    bool gtAnnounced = pp & 0x02;
    if (gtAnnounced && !f.rest().empty()) {
        p.line("           GT: ");
        p.dump(f.rest());
    } else if (gtAnnounced) {
        p.error(" ! Received data too short, no GT present");
    } else if (!f.rest().empty()) {
        p.error(" ! Received data too long, no GT expected");
    }
}

void printActivationParameters(CMsgPrinter& p, uint8_t rfInterface, uint8_t mode, CByteReader r) {
    if (rfInterface == 2 && mode == 0x00) return printAts(p, r);
    if (rfInterface == 2 && mode == 0x01) return printAttribResponse(p, r);
    if (rfInterface == 2 && mode == 0x80) return printRatsParam(p, r);
    if (rfInterface == 2 && mode == 0x81) return printAttribCommand(p, r);
    if (rfInterface == 3) return printAtr(p, r, !(mode & 0x80));
    p.dump(r);
}

// ---- Printers by message --------------------------------------------------------------------------

void printNone(CMsgPrinter&) {}

void printStatus(CMsgPrinter& p) { p.status(); }

void printConfigStatus(CMsgPrinter& p, uint8_t status) {
    p.line("    Configuration status: %s", status == 0 ? "Config kept" : "Config Reset");
}

void printCoreResetRsp(CMsgPrinter& p) {
    if (!p.exactly(3)) return;
    p.status();
    uint8_t version = p.byte();
    p.line("    Version: %X.%02X", version >> 4, version & 0x0F);
    printConfigStatus(p, p.byte());
}

void printCoreResetNtf(CMsgPrinter& p) {
    if (!p.exactly(2)) return;
    p.line("    Reset reason: %s", p.byte() == 0 ? "Unspecified" : "Unknown");
    printConfigStatus(p, p.byte());
}

void printCoreInitRsp(CMsgPrinter& p) {
    p.status();
    if (!p.atLeast(18)) return;
    uint8_t f0 = p.byte(), f1 = p.byte(), f2 = p.byte();
    p.byte();   // the fourth features byte is reserved
    uint8_t count = p.byte();
    p.line("    Discovery config mode: %s", (f0 & 0x06) == 0 ? "DISCOVERY_CONFIG_ONLY_DH" : "DISCOVERY_CONFIG_MULTI");
    p.line("    Discovery frequency configuration: %s", supported(f0 & 0x01));
    p.line("    AID based routing: %s", supported(f1 & 0x08));
    p.line("    Protocol based routing: %s", supported(f1 & 0x04));
    p.line("    Technology based routing: %s", supported(f1 & 0x02));
    p.line("    Switched off state: %s", supported(f2 & 0x02));
    p.line("    Battery off state: %s", supported(f2 & 0x01));
    if (!p.atLeast(17u + count)) return;
    p.line("    Number of supported RF interfaces: %d", count);
    for (int k = 0; k < count; ++k) p.line("    Interface %d: %s", k, nameOf(kInitInterfaces, p.byte()));
    p.line("    Max logical connections: %d", p.byte());
    p.line("    Max routing table size: %d", p.word());
    p.line("    Max control packet payload size: %d", p.byte());
    p.line("    Max size for large parameters: %d", p.word());
    uint8_t manufacturer = p.byte();
    g_manufacturer = manufacturer;
    p.line("    Manufacturer: %#x = %s", manufacturer, nameOf(kManufacturers, manufacturer));
    uint8_t i0 = p.byte(), i1 = p.byte(), i2 = p.byte(), i3 = p.byte();
    p.line("    Manufacturer specific information: 0x%02X 0x%02X 0x%02X 0x%02X", i0, i1, i2, i3);
}

void printSetConfigCmd(CMsgPrinter& p) {
    uint8_t count = p.byte();
    p.line("    Number of parameters: %d", count);
    printParameterValues(p, count);
}

void printSetConfigRsp(CMsgPrinter& p) {
    uint8_t count;
    if (!p.status() || !p.u8(p.in(), count)) return;
    p.line("    Number of invalid parameters: %d", count);
    if (p.exactly(2u + count)) printParameterIds(p, count);
}

void printGetConfigCmd(CMsgPrinter& p) {
    if (!p.atLeast(2)) return;
    uint8_t count = p.byte();
    p.line("    Number of parameters: %d", count);
    printParameterIds(p, count);
}

void printGetConfigRsp(CMsgPrinter& p) {
    if (!p.atLeast(4)) return;
    p.status();
    uint8_t count = p.byte();
    p.line("    Number of parameters: %d", count);
    printParameterValues(p, count);
}

void printConnCreateCmd(CMsgPrinter& p) {
    if (!p.atLeast(2)) return;
    p.line("    Destination type: %s", nameOf(kDestinationTypes, p.byte()));
    uint8_t count = p.byte();
    CByteReader& r = p.in();
    for (int k = 0; k < count; ++k) {
        uint8_t type, length;
        CByteReader value;
        if (!p.u8(r, type) || !p.u8(r, length) || !p.take(r, length, value)) return;
        p.line("    Parameter %d: %#x = %s, len=%d", k, type, nameOf(kDestinationParams, type), length);
        if (type > 1) {
            p.line("    ERROR: Unknown destination parameter type");
        } else if (length != 2) {
            p.line("    ERROR: Invalid destination parameter length");
        } else {
            uint8_t id = byteOf(value), protocol = byteOf(value);
            if (type == 0) p.line("                  Discovery ID=%d, RF Protocol=%s", id, nameOf(kProtocols, protocol));
            else p.line("                 NFCEE ID=%d, NFCEE Interface Protocol=%s", id, nameOf(kNfceeProtocols, protocol));
        }
    }
}

void printConnCreateRsp(CMsgPrinter& p) {
    if (!p.exactly(4)) return;
    p.status();
    p.line("    Max Data Packet Payload Size: %d", p.byte());
    uint8_t credits = p.byte();
    if (credits == 0xFF) p.line("    Flow control disabled");
    else p.line("    Initial number of credits: %d", credits);
    p.line("    Connection ID: %d", p.byte() & 0x0F);
}

void printConnCloseCmd(CMsgPrinter& p) {
    if (p.exactly(1)) p.line("    Connection ID: %d", p.byte());
}

void printCredits(CMsgPrinter& p) {
    uint8_t count = p.byte();
    if (!p.exactly(1u + 2u * count)) return;
    for (int k = 0; k < count; ++k) {
        uint8_t id = p.byte() & 0x0F;
        p.line("    Entry %d: ConnectionID=%d, credits=%d", k, id, p.byte());
    }
}

void printInterfaceError(CMsgPrinter& p) {
    if (!p.exactly(2)) return;
    p.status();
    p.line("    ConnectionID: %d", p.byte());
}

// The text is not terminated on the wire: it is copied into a terminated buffer first.
void printVendorString(CMsgPrinter& p) {
    char text[256];
    size_t n = std::min(p.in().remaining(), sizeof text - 1);
    std::memcpy(text, p.in().here(), n);
    text[n] = '\0';
    traceLine(NCI_TRC_DECODE, "Dovuvodav: %s", text);
}

void printVendorHex(CMsgPrinter& p) {
    nciShowBuffer("Dovuvodav:", p.in().here(), static_cast<uint32_t>(p.in().remaining()), 0);
}

void printDiscoverMap(CMsgPrinter& p) {
    uint8_t count = p.byte();
    if (!p.exactly(1u + 3u * count)) return;
    p.line("    Number of mapping configurations: %d", count);
    static const char* const modes[] = {"<unknown>", "POLL", "LISTEN", "POLL | LISTEN"};
    for (int k = 0; k < count; ++k) {
        uint8_t protocol = p.byte(), mode = p.byte(), rfInterface = p.byte();
        p.line("    Config %d: proto %#x = %s, mode %#x = %s, rfInterface %#x = %s", k, protocol,
               nameOf(kProtocols, protocol), mode, modes[mode <= 3 ? mode : 0], rfInterface,
               rfInterfaceName(rfInterface));
    }
}

void printRouting(CMsgPrinter& p) {
    if (!p.atLeast(2)) return;
    uint8_t more = p.byte(), count = p.byte();
    CByteReader& r = p.in();
    p.line("    Number of Routing Entries: %d", count);
    for (int k = 0; k < count; ++k) {
        uint8_t type, length, route, power, value;
        CByteReader entry;
        if (!p.u8(r, type) || !p.u8(r, length) || !p.take(r, length, entry)) return;
        p.line("    Entry %d: Type=%s", k, nameOf(kRoutingTypes, type));
        if (!p.u8(entry, route) || !p.u8(entry, power)) return;
        if (type == 0x02) {
            p.line("             NFCEE ID=%d, AID=", route);
            p.dump(entry);
        } else if (type == 0x00 || type == 0x80) {
            if (!p.u8(entry, value)) return;
            p.line("             NFCEE ID=%d, RF Technology=%s", route, nameOf(kTechnologies, value));
        } else if (type == 0x01 || type == 0x81) {
            if (!p.u8(entry, value)) return;
            p.line("             NFCEE ID=%d, RF Protocol=%s", route, nameOf(kProtocols, value));
        }
        if (power & 0x04) p.line("             -----1-- Battery off");
        if (power & 0x02) p.line("             ------1- Switched off");
        if (power & 0x01) p.line("             -------1 Switched on");
    }
    p.line(more == 1 ? "    More routing messages following" : "    Last routing message");
}

void printDiscoverCmd(CMsgPrinter& p) {
    uint8_t count = p.byte();
    if (!p.exactly(1u + 2u * count)) return;
    p.line("    Number of configurations: %d", count);
    for (int k = 0; k < count; ++k) {
        uint8_t mode = p.byte(), frequency = p.byte();
        p.line("    Config %d: RF Technology and Mode=%s, Frequency=Every %d period(s)", k, nameOf(kTechModes, mode),
               frequency);
    }
}

void printDiscoverNtf(CMsgPrinter& p) {
    if (!p.atLeast(5)) return;
    p.line("    RF Discovery ID: %d", p.byte());
    p.line("    RF Protocol: %s", nameOf(kProtocols, p.byte()));
    uint8_t mode = p.byte(), length = p.byte();
    p.line("    RF Technology and Mode: %s", nameOf(kTechModes, mode));
    if (!p.exactly(5u + length)) return;
    CByteReader params;
    p.in().split(length, params);
    printTechParameters(p, mode, params);
    p.line("    Notification type: %s", nameOf(kNotificationTypes, p.byte()));
}

void printSelectCmd(CMsgPrinter& p) {
    if (!p.exactly(3)) return;
    p.line("    RF Discovery ID: %d", p.byte());
    p.line("    RF Protocol: %s", nameOf(kProtocols, p.byte()));
    p.line("    RF Interface: %s", rfInterfaceName(p.byte()));
}

void printIntfActivated(CMsgPrinter& p) {
    if (!p.atLeast(11)) return;
    p.line("    RF Discovery ID: %d", p.byte());
    uint8_t rfInterface = p.byte();
    p.line("    RF Interface: %s", rfInterfaceName(rfInterface));
    p.line("    RF Protocol: %s", nameOf(kProtocols, p.byte()));
    uint8_t mode = p.byte();
    p.line("    Activation RF Technology and Mode: %s", nameOf(kTechModes, mode));
    p.line("    Max Data Packet Payload Size: %d", p.byte());
    p.line("    Initial Number of Credits: %d", p.byte());
    uint8_t length = p.byte();
    if (!p.atLeast(11u + length)) return;
    CByteReader params;
    p.in().split(length, params);
    printTechParameters(p, mode, params);
    p.line("    Data Exchange RF Technology and Mode: %s", nameOf(kTechModes, p.byte()));
    p.line("    Data Exchange Tx Bit Rate: %s", nameOf(kBitRates, p.byte()));
    p.line("    Data Exchange Rx Bit Rate: %s", nameOf(kBitRates, p.byte()));
    uint8_t activationLength = p.byte();
    p.line("    Activation Parameters: length=%d", activationLength);
    if (!p.atLeast(11u + length + activationLength)) return;
    CByteReader activation;
    p.in().split(activationLength, activation);
    printActivationParameters(p, rfInterface, mode, activation);
}

void printDeactivateCmd(CMsgPrinter& p) {
    if (p.exactly(1)) p.line("    Deactivation type: %s", nameOf(kDeactivationTypes, p.byte()));
}

void printDeactivateNtf(CMsgPrinter& p) {
    if (!p.exactly(2)) return;
    p.line("    Deactivation type: %s", nameOf(kDeactivationTypes, p.byte()));
    p.line("    Deactivation reason: %s", nameOf(kDeactivationReasons, p.byte()));
}

void printFieldInfo(CMsgPrinter& p) {
    if (!p.exactly(1)) return;
    uint8_t field = p.byte();
    p.line("    RF Field: %s", (field & 0x01) ? "ON" : "OFF");
    if (field & 0xFE) p.error("    ! WARNING: RFU-bits are not 0");
}

void printT3tPollingCmd(CMsgPrinter& p) {
    if (!p.exactly(4)) return;
    p.line("    SENFS_REQ:");
    p.dump(p.in());
}

void printT3tPollingNtf(CMsgPrinter& p) {
    if (!p.atLeast(3)) return;
    p.status();
    uint8_t count = p.byte();
    p.line("    Num responses: %d", count);
    for (int k = 1; k <= count; ++k) {
        uint8_t length;
        CByteReader response;
        if (!p.u8(p.in(), length) || !p.take(p.in(), length, response)) return;
        p.line("    Response %d: length=%d", k, length);
        p.dump(response);
    }
}

void printNfceeAction(CMsgPrinter& p) {
    if (!p.atLeast(3)) return;
    uint8_t id = p.byte(), trigger = p.byte(), length = p.byte();
    if (!p.exactly(3u + length)) return;
    p.line("    NFCEE ID: %d", id);
    p.line("    Trigger: %s", nameOf(kTriggers, trigger));
    p.line("    Supporting Data: len=%d", length);
    p.dump(p.in());
}

void printNfceeDiscoveryReq(CMsgPrinter& p) {
    if (!p.atLeast(3)) return;
    uint8_t count = p.byte();
    for (int k = 0; k < count; ++k) {
        CByteReader entry;
        if (!p.take(p.in(), 5, entry)) return;
        uint8_t type = byteOf(entry);
        byteOf(entry);   // the entry's length: always 3
        uint8_t id = byteOf(entry), mode = byteOf(entry), protocol = byteOf(entry);
        p.line("    Entry %d: type=%s NFCEE ID=%d RF TechMode=%s RF Proto=%s", k, nameOf(kDiscoveryRequestTypes, type),
               id, nameOf(kTechModes, mode), nameOf(kProtocols, protocol));
    }
}

void printParameterUpdateCmd(CMsgPrinter& p) {
    uint8_t count = p.byte();
    p.line("    Number of parameters: %d", count);
    for (int k = 0; k < count; ++k) {
        uint8_t type, length;
        CByteReader field;
        if (!p.u8(p.in(), type) || !p.u8(p.in(), length) || !p.take(p.in(), length, field)) return;
        if (length != 1) {
            p.line("    ERROR: Unexpected parameter length %d", length);
            continue;
        }
        uint8_t value = byteOf(field);
        const char* typeName = nameOf(kRfParameterTypes, type);
        if (type == 3) {
            p.line("    Parameter %d:  %#x = type=%s", k, type, typeName);
            if (value & 0xC0) p.line("                  11------ Minimum TR0");
            if (value & 0x30) p.line("                  --11---- Minimum TR1");
            if (value & 0x08) p.line("                  ----1--- Suppression of EoS");
            if (value & 0x04) p.line("                  -----1-- Suppression of SoS");
            if (value & 0x03) p.line("                  ------11 Minimum TR2");
            continue;
        }
        const char* valueName = type == 0 ? nameOf(kTechModes, value) : type <= 2 ? nameOf(kBitRates, value) : "<UNKNOWN>";
        p.line("    Parameter %d: %#x = type=%s, value=%s", k, type, typeName, valueName);
    }
}

void printParameterUpdateRsp(CMsgPrinter& p) {
    uint8_t status, count;
    if (!p.status(&status) || !p.u8(p.in(), count)) return;
    if (status == 0 && count > 0) p.error("    ! ERROR: Status OK, but number of invalid parameters > 0");
    for (int k = 0; k < count; ++k) {
        uint8_t type;
        if (!p.u8(p.in(), type)) return;
        p.line("    Parameter %d: %#x = type=%s", k, type, nameOf(kRfParameterTypes, type));
    }
}

void printNfceeDiscoverCmd(CMsgPrinter& p) {
    if (p.exactly(1)) p.line(p.byte() == 0 ? "    Discovery disabled" : "    Discovery enabled");
}

void printNfceeDiscoverRsp(CMsgPrinter& p) {
    if (!p.exactly(2)) return;
    p.status();
    p.line("    Number of connected NFCEEs: %d", p.byte());
}

// T3T command-set support: PMm, a count, then two-byte system codes.
void printT3tSupport(CMsgPrinter& p, CByteReader value) {
    uint8_t pmm, count;
    if (!p.u8(value, pmm) || !p.u8(value, count)) return;
    p.line("                     PMm=%d, Number of Entries=%d", pmm, count);
    for (int k = 0; k < count; ++k) {
        CByteReader code;
        if (!p.take(value, 2, code)) return;
        uint8_t high = byteOf(code), low = byteOf(code);
        p.line("                     Entry %d: System Code=%02X%02X", k, high, low);
    }
}

void printNfceeDiscoverNtf(CMsgPrinter& p) {
    if (!p.atLeast(4)) return;
    p.line("    NFCEE ID: %d", p.byte());
    p.line("    Status: %s", nameOf(kNfceeStatus, p.byte()));
    uint8_t count = p.byte(), infoCount;
    p.line("    Supported protocols: %d", count);
    CByteReader& r = p.in();
    CByteReader protocols;
    if (!p.take(r, count, protocols)) return;
    for (int k = 0; k < count; ++k) p.line("    Protocol %d: %s", k, nameOf(kNfceeProtocols, byteOf(protocols)));
    if (!p.u8(r, infoCount)) return;
    for (int k = 0; k < infoCount; ++k) {
        uint8_t type, length;
        CByteReader value;
        if (!p.u8(r, type) || !p.u8(r, length) || !p.take(r, length, value)) return;
        p.line("    Additional info: type=%s", nameOf(kNfceeInfoTypes, type));
        if (type == 2) printT3tSupport(p, value);
        else p.dump(value);
    }
}

void printNfceeModeSet(CMsgPrinter& p) {
    if (!p.exactly(2)) return;
    uint8_t id = p.byte();
    p.line("    NFCEE ID=%d Mode=%s", id, nameOf(kNfceeModes, p.byte()));
}

void printLlcpStartSymmetry(CMsgPrinter& p) {
    if (!p.exactly(2)) return;
    int remote = p.byte() * 10;
    p.line("    Remote link timeout: %d ms, local symmetry timeout: %d ms", remote, p.byte() * 10);
}

void printSwpWakeup(CMsgPrinter& p) {
    if (!p.exactly(1)) return;
    uint8_t id = p.byte();
    if (id == 0x00) p.line("    value 0x00 not allowed");
    else if (id == 0x01) p.line("    Wake up all secure elements");
    else if (id == 0xFF) p.line("    value 0xFF not allowed (RFU)");
    else p.line("    Wake up secure element with ID %#x", id);
}

// ---- Printer table, from the shared opcode table --------------------------------------------------

// Printers read their first byte without a check: they run only on a payload.
template <void (*Body)(CMsgPrinter&)>
void runPrinter(const char* prefix, const uint8_t* payload, uint32_t length) {
    if (!payload || length == 0) return;
    CMsgPrinter p(prefix, payload, length);
    Body(p);
}

template <void (*Body)(CMsgPrinter&)>
constexpr TNciPrinter printerOf() {
    if constexpr (Body == &printNone) return nullptr;
    else return &runPrinter<Body>;
}

struct TNciPrinterRow {
    uint16_t key;
    TNciPrinter printer;
};

#define NCI_PRINTER_ROW(key, name, event, scope, printer) {key, printerOf<&print##printer>()},
constexpr TNciPrinterRow kPrinters[] = {NCI_OPCODES(NCI_PRINTER_ROW)};
#undef NCI_PRINTER_ROW

const char* directionName(uint32_t direction) {
    return direction == NCI_DIR_TX ? "TX" : direction == NCI_DIR_RX ? "RX" : "<UNKNOWN>";
}

constexpr char kSeparator[] = "-----------------------------------------------------------";

} // namespace

uint8_t nciTraceManufacturer() { return g_manufacturer; }
void nciTraceSetManufacturer(uint8_t manufacturer) { g_manufacturer = manufacturer; }

void nciShowBuffer(const char* prefix, const uint8_t* data, uint32_t length, uint32_t columnOffset) {
    if (!debugOn(NCI_TRC_DUMP) || !data) return;
    uint32_t column = columnOffset % 8;
    for (uint32_t i = 0; i < length; column = 0) {
        char hex[8 * 3 + 1], chars[8 + 1], pad[8 * 3 + 1];
        char* h = hex;
        char* c = chars;
        for (uint32_t k = 0; k < column; ++k, h += 3, ++c) std::memcpy(h, "   ", 3), *c = ' ';
        for (; column < 8 && i < length; ++column, ++i, h += 3, ++c) {
            uint8_t b = data[i];
            seprintf(h, h + 3, " %02X", b);
            *c = (b < 0x20 || b == '!') ? '.' : static_cast<char>(b);
        }
        *h = '\0';
        *c = '\0';
        uint32_t missing = 3 * (8 - column);
        std::memset(pad, ' ', missing);
        pad[missing] = '\0';
        if (missing == 0) debugPrint(0, "%s   %s - %s", prefix, hex, chars);
        else debugPrint(0, "%s   %s %s- %s", prefix, hex, pad, chars);
    }
}

uint16_t nciTraceHeader(uint32_t direction, const uint8_t* packet, uint32_t length, const char* prefix) {
    if (!packet) length = 0;
    if (debugOn(NCI_TRC_PACKET)) {
        traceLine(NCI_TRC_FRAME, "%s %s", prefix, kSeparator);
        debugPrint(0, "%s %s %d bytes:", prefix, directionName(direction), static_cast<int>(length));
        nciShowBuffer(prefix, packet, length, 0);
    }
    if (length < 3) {
        traceLine(NCI_TRC_ERROR, "%s ! Warning, invalid message size (is %d, expected %d)", prefix,
                  static_cast<int>(length), 3);
        return NCI_KEY_NONE;
    }
    if (length != packet[2] + 3u)
        traceLine(NCI_TRC_ERROR, "%s ! Warning, invalid message size (is %d, expected %d)", prefix,
                  static_cast<int>(length), packet[2] + 3);
    traceLine(NCI_TRC_DUMP, "%s    --------------", prefix);

    uint16_t key = nciPacketKey(packet[0], packet[1]);
    // The table is searched for the name line only: every packet of every exchange passes here.
    if (!debugOn(NCI_TRC_FRAME)) return key;
    int row = nciOpcodeFind(key, g_manufacturer);
    const char* name = row >= 0 ? kNciOpcodes[row].name : "<UNKNOWN>";
    if (name[0] == 'N') name += 7;
    int pbf = (packet[0] & NCI_PBF) ? 1 : 0;
    if (packet[0] < 0x20)
        traceLine(NCI_TRC_FRAME, "%s    %s (connectionId=%d, PBF=%d, payload=%d)", prefix, name, packet[0] & 0x0F, pbf,
                  packet[2]);
    else
        traceLine(NCI_TRC_FRAME, "%s    %s (opcode=%#x, PBF=%d, payload=%d)", prefix, name, key, pbf, packet[2]);
    return key;
}

TNciPrinter nciTraceFindPrinter(uint16_t key, const char* prefix) {
    if (key < 0x2000) key &= 0xF0FF;
    for (const auto& row : kPrinters)
        if (row.key == key) return row.printer;
    traceLine(NCI_TRC_DECODE, "%s   Unknown opcode %#x", prefix, key);
    return nullptr;
}

void nciTraceMessage(uint32_t direction, const uint8_t* packet, uint32_t length, const char* prefix) {
    uint16_t key = nciTraceHeader(direction, packet, length, prefix);
    if (key != NCI_KEY_NONE && debugOn(NCI_TRC_DECODE | NCI_TRC_ERROR)) {
        // A header that announces more than arrived never makes a printer read past the packet.
        uint32_t payload = std::min<uint32_t>(packet[2], length - 3);
        TNciPrinter printer = nciTraceFindPrinter(key, prefix);
        if (printer) printer(prefix, packet + 3, payload);
    }
    traceLine(NCI_TRC_FRAME, "%s %s", prefix, kSeparator);
}
