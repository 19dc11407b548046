// NFC-DEP as ISO/IEC 18092 and the NFC Forum LLCP activation define it: the general bytes that
// announce LLCP (magic 46 66 6D and the parameter TLVs) and the attribute request and response
// as the NCI NFC-DEP RF interface carries them, from NFCID3 on.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

namespace simpeers {

using Bytes = std::vector<uint8_t>;

// LLCP magic, VERSION 1.1, MIUX (2175 bytes), WKS (SDP and SNEP) and LTO (1 s).
Bytes llcpGeneralBytes();
// ATR_RES from NFCID3t on: NFCID3t (10), DIDt, BSt, BRt, TO, PPt (LR 254 bytes, general bytes follow), Gt.
Bytes atrRes(const Bytes& nfcid3, uint8_t timeout, const Bytes& general);
// ATR_REQ from NFCID3i on: NFCID3i (10), DIDi, BSi, BRi, PPi, Gi.
Bytes atrReq(const Bytes& nfcid3, const Bytes& general);

// The frames a peer exchanges with the host, whole as the NFC-DEP RF interface carries them:
// what it got, in order, and what it sends next.
struct FrameLog {
    std::deque<Bytes> toSend;
    std::vector<Bytes> received;
};

} // namespace simpeers
