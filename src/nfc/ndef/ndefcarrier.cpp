// Carrier configuration records: Bluetooth secure simple pairing out-of-band data and Wi-Fi
// Simple Configuration credentials, built as MIME records and read back from their payloads.
#include <cstring>

#include "ndef/ndefreader.h"
#include "ndef/ndeftables.h"
#include "util/trace.h"

namespace {

constexpr char kBtOobType[] = "application/vnd.bluetooth.ep.oob";
constexpr char kWscType[] = "application/vnd.wfa.wsc";

// The payload is assembled here before it becomes a record; longer input is refused.
constexpr size_t kPayloadArea = 1024;

constexpr uint8_t kBtAddressLength = 6;
constexpr uint32_t kMaxEirData = 254;   // an item's length byte counts its type byte too

enum : uint8_t {
    EIR_UUID16_LIST = 0x03,
    EIR_LOCAL_NAME = 0x09,
    EIR_CLASS_OF_DEVICE = 0x0D,
    EIR_HASH_C = 0x0E,
    EIR_RANDOMIZER_R = 0x0F,
};

enum : uint16_t {
    WSC_AUTH_TYPE = 0x1003,
    WSC_CREDENTIAL = 0x100E,
    WSC_ENCR_TYPE = 0x100F,
    WSC_MAC_ADDRESS = 0x1020,
    WSC_NETWORK_INDEX = 0x1026,
    WSC_NETWORK_KEY = 0x1027,
    WSC_SSID = 0x1045,
    WSC_VENDOR_EXTENSION = 0x1049,
    WSC_VERSION = 0x104A,
};

constexpr uint8_t kWscVersion = 0x10;
constexpr uint8_t kWfaVendorId[] = {0x00, 0x37, 0x2A};
constexpr uint8_t kWfaVersion2 = 0x00;
constexpr uint8_t kWfaVersion2Value = 0x20;
constexpr uint8_t kWfaKeyShareable = 0x02;
// Version 1.0, then the credential attribute's id; the credential's length follows.
constexpr uint8_t kWscHead[] = {0x10, 0x4A, 0x00, 0x01, kWscVersion, 0x10, 0x0E};
constexpr size_t kWscCredentialStart = sizeof kWscHead + 2;
// WFA vendor extension holding Version2 0x20 and "network key shareable" = 1.
constexpr uint8_t kKeyShareable[] = {0x10, 0x49, 0x00, 0x09, 0x00, 0x37, 0x2A,
                                     0x00, 0x01, 0x20, 0x02, 0x01, 0x01};

struct Field {
    const uint8_t* TNdefBtSspInfo::*data;
    uint32_t TNdefBtSspInfo::*length;
    uint8_t eirType;
};

// Extended-inquiry items in the order they are written: each only when given, except the
// local name, which always ends the list.
constexpr Field kBtItems[] = {
    {&TNdefBtSspInfo::classOfDevice, &TNdefBtSspInfo::classOfDeviceLength, EIR_CLASS_OF_DEVICE},
    {&TNdefBtSspInfo::hashC, &TNdefBtSspInfo::hashCLength, EIR_HASH_C},
    {&TNdefBtSspInfo::randomizerR, &TNdefBtSspInfo::randomizerRLength, EIR_RANDOMIZER_R},
    {&TNdefBtSspInfo::serviceClassUuids, &TNdefBtSspInfo::serviceClassUuidsLength, EIR_UUID16_LIST},
    {&TNdefBtSspInfo::localName, &TNdefBtSspInfo::localNameLength, EIR_LOCAL_NAME},
};

struct WifiField {
    const uint8_t* TNdefWifiInfo::*data;
    uint32_t TNdefWifiInfo::*length;
    uint16_t attribute;
};

// Credential attributes in the order they are written.
constexpr WifiField kWifiFields[] = {
    {&TNdefWifiInfo::networkIndex, &TNdefWifiInfo::networkIndexLength, WSC_NETWORK_INDEX},
    {&TNdefWifiInfo::ssid, &TNdefWifiInfo::ssidLength, WSC_SSID},
    {&TNdefWifiInfo::authenticationType, &TNdefWifiInfo::authenticationTypeLength, WSC_AUTH_TYPE},
    {&TNdefWifiInfo::encryptionType, &TNdefWifiInfo::encryptionTypeLength, WSC_ENCR_TYPE},
    {&TNdefWifiInfo::networkKey, &TNdefWifiInfo::networkKeyLength, WSC_NETWORK_KEY},
    {&TNdefWifiInfo::macAddress, &TNdefWifiInfo::macAddressLength, WSC_MAC_ADDRESS},
};


// OOB data: its own length (little-endian, counting itself), the address, then the items.
NdefStatus btPayload(const TNdefBtSspInfo& info, uint8_t* area, uint32_t& size) {
    if (!info.localName || !info.deviceAddress || info.deviceAddressLength != kBtAddressLength) {
        return NDEF_BAD_PARAMETER;
    }
    NdefWriter w(area, kPayloadArea);
    w.u16le(0);
    w.bytes(info.deviceAddress, kBtAddressLength);
    for (const Field& f : kBtItems) {
        const uint32_t n = info.*f.length;
        if (f.eirType != EIR_LOCAL_NAME && (!(info.*f.data) || !n)) continue;
        if (n > kMaxEirData) return NDEF_BAD_PARAMETER;
        w.u8(static_cast<uint8_t>(n + 1));
        w.u8(f.eirType);
        w.bytes(info.*f.data, n);
    }
    if (!w.ok()) return NDEF_BAD_PARAMETER;
    size = static_cast<uint32_t>(w.size());
    area[0] = static_cast<uint8_t>(size);
    area[1] = static_cast<uint8_t>(size >> 8);
    return NDEF_OK;
}

NdefStatus wifiPayload(const TNdefWifiInfo& info, uint8_t* area, uint32_t& size) {
    NdefWriter w(area, kPayloadArea);
    w.bytes(kWscHead, sizeof kWscHead);
    w.u16be(0);
    for (const WifiField& f : kWifiFields) {
        const uint32_t n = info.*f.length;
        if (!(info.*f.data) || !n) continue;
        if (n > 0xFFFF) return NDEF_BAD_PARAMETER;
        w.u16be(f.attribute);
        w.u16be(static_cast<uint16_t>(n));
        w.bytes(info.*f.data, n);
    }
    if (info.networkKeyShareable) w.bytes(kKeyShareable, sizeof kKeyShareable);
    if (!w.ok()) return NDEF_BAD_PARAMETER;
    size = static_cast<uint32_t>(w.size());
    const uint32_t credential = size - kWscCredentialStart;
    area[sizeof kWscHead] = static_cast<uint8_t>(credential >> 8);
    area[sizeof kWscHead + 1] = static_cast<uint8_t>(credential);
    return NDEF_OK;
}

NdefStatus createCarrier(const char* type, const uint8_t* payload, uint32_t payloadLength, const uint8_t* id,
                         uint32_t idLength, uint8_t* buffer, uint32_t* length) {
    TNdefRecordInfo r{};
    r.recordTypeId = NDEF_ID_MIME;
    r.type = reinterpret_cast<const uint8_t*>(type);
    r.typeLength = static_cast<uint8_t>(std::strlen(type));
    r.id = id;
    r.idLength = static_cast<uint8_t>(idLength);
    r.payload.data = payload;
    r.payload.length = payloadLength;
    return ndefCreateMessage(&r, buffer, length);
}

NdefStatus extractFailed(const char* extractor, const char* why, uint64_t offset, NdefStatus status) {
    TRACE(TRC_ERROR, "! %s: %s at offset %u", extractor, why, static_cast<unsigned>(offset));
    return status;
}

bool idValid(const uint8_t* id, uint32_t idLength) { return id && idLength && idLength <= 0xFF; }

// The Wi-Fi Alliance vendor extension: Version2 and the "network key shareable" flag. Other
// vendors' extensions are passed over.
bool readWfaExtension(NdefReader value, TNdefWifiInfo& info) {
    if (!value.has(sizeof kWfaVendorId)) return false;
    if (!value.startsWith(kWfaVendorId, sizeof kWfaVendorId)) return true;
    value.skip(sizeof kWfaVendorId);
    while (value.remaining()) {
        uint8_t id = 0, length = 0;
        NdefReader sub;
        if (!value.u8(id) || !value.u8(length) || !value.split(length, sub)) return false;
        uint8_t first = 0;
        const bool hasValue = sub.u8(first);
        if (id == kWfaVersion2 && hasValue && first > kWfaVersion2Value) return false;
        if (id == kWfaKeyShareable && hasValue && first == 1) info.networkKeyShareable = 1;
    }
    return true;
}

} // namespace

CORVANE_API NdefStatus ndefCreateBluetoothSSP(const TNdefBtSspInfo* info, const uint8_t* id, uint32_t idLength,
                                              uint8_t* buffer, uint32_t* length) {
    if (!info || !idValid(id, idLength)) return NDEF_BAD_PARAMETER;
    uint8_t area[kPayloadArea];
    uint32_t size = 0;
    NdefStatus status = btPayload(*info, area, size);
    return status != NDEF_OK ? status : createCarrier(kBtOobType, area, size, id, idLength, buffer, length);
}

CORVANE_API NdefStatus ndefCreateWifiSimpleConfig(const TNdefWifiInfo* info, const uint8_t* id,
                                                  uint32_t idLength, uint8_t* buffer, uint32_t* length) {
    if (!info || !idValid(id, idLength)) return NDEF_BAD_PARAMETER;
    uint8_t area[kPayloadArea];
    uint32_t size = 0;
    NdefStatus status = wifiPayload(*info, area, size);
    return status != NDEF_OK ? status : createCarrier(kWscType, area, size, id, idLength, buffer, length);
}

CORVANE_API NdefStatus ndefExtractBluetoothSsp(const uint8_t* payload, uint32_t length, TNdefBtSspInfo* info) {
    if (!payload || !info) return NDEF_BAD_PARAMETER;
    *info = {};
    static const char kWho[] = "ndefExtractBluetoothSsp";
    NdefReader r(payload, length);
    if (!r.skip(2) || !r.take(kBtAddressLength, info->deviceAddress)) {
        return extractFailed(kWho, "payload ends before the address", 0, NDEF_BUFFER_TOO_SMALL);
    }
    info->deviceAddressLength = kBtAddressLength;
    while (r.remaining()) {
        uint8_t itemLength = 0, type = 0;
        r.u8(itemLength);
        if (itemLength == 0) break;   // zero padding ends the significant part
        const uint8_t* data = nullptr;
        if (!r.u8(type) || !r.take(itemLength - 1u, data)) {
            return extractFailed(kWho, "item runs past the payload", length - r.remaining(), NDEF_BUFFER_TOO_SMALL);
        }
        for (const Field& f : kBtItems) {
            if (f.eirType == type) {
                info->*f.data = data;
                info->*f.length = itemLength - 1u;
            }
        }
    }
    return NDEF_OK;
}

CORVANE_API NdefStatus ndefExtractWifiSimpleConfig(const uint8_t* payload, uint32_t length, TNdefWifiInfo* info) {
    if (!payload || !info) return NDEF_BAD_PARAMETER;
    *info = {};
    static const char kWho[] = "ndefExtractWifiSimpleConfig";
    NdefReader r(payload, length);
    if (!r.startsWith(kWscHead, sizeof kWscHead) || !r.skip(kWscCredentialStart)) {
        return extractFailed(kWho, "no version 1.0 credential", 0, NDEF_BAD_PARAMETER);
    }
    while (r.remaining()) {
        const uint64_t offset = length - r.remaining();
        uint16_t attribute = 0, valueLength = 0;
        NdefReader value;
        if (!r.u16be(attribute) || !r.u16be(valueLength) || !r.split(valueLength, value)) {
            return extractFailed(kWho, "attribute runs past the payload", offset, NDEF_BUFFER_TOO_SMALL);
        }
        if (attribute == WSC_VENDOR_EXTENSION && !readWfaExtension(value, *info)) {
            return extractFailed(kWho, "malformed vendor extension", offset, NDEF_BAD_PARAMETER);
        }
        for (const WifiField& f : kWifiFields) {
            if (f.attribute == attribute) {
                info->*f.data = value.here();
                info->*f.length = valueLength;
            }
        }
    }
    return NDEF_OK;
}
