#include "peers/nfc_dep.h"

namespace simpeers {
namespace {

constexpr uint8_t PP_LR_254_WITH_GENERAL_BYTES = 0x32;
constexpr uint8_t DID_NONE = 0x00, BS_106_ONLY = 0x00, BR_106_ONLY = 0x00;

Bytes withHead(const Bytes& nfcid3, std::initializer_list<uint8_t> fields, const Bytes& general) {
    Bytes out(nfcid3);
    out.resize(10, 0x00);
    out.insert(out.end(), fields);
    out.insert(out.end(), general.begin(), general.end());
    return out;
}

} // namespace

Bytes llcpGeneralBytes() {
    return {0x46, 0x66, 0x6D,                 // LLCP magic
            0x01, 0x01, 0x11,                 // VERSION 1.1
            0x02, 0x02, 0x07, 0xFF,           // MIUX: 128 + 2047
            0x03, 0x02, 0x00, 0x13,           // WKS: LLC link management, SDP, SNEP
            0x04, 0x01, 0x64};                // LTO: 100 x 10 ms
}

Bytes atrRes(const Bytes& nfcid3, uint8_t timeout, const Bytes& general) {
    return withHead(nfcid3, {DID_NONE, BS_106_ONLY, BR_106_ONLY, timeout, PP_LR_254_WITH_GENERAL_BYTES}, general);
}

Bytes atrReq(const Bytes& nfcid3, const Bytes& general) {
    return withHead(nfcid3, {DID_NONE, BS_106_ONLY, BR_106_ONLY, PP_LR_254_WITH_GENERAL_BYTES}, general);
}

} // namespace simpeers
