// The 64 service access points: 0..15 well-known services, 16..31 named services that service
// discovery advertises, 32..63 local ends of outgoing connections. Each entry keeps its own copy
// of the service name.
#include <cstring>

#include "llcp/llcplm.h"
#include "util/trace.h"

namespace {

constexpr const char* kWellKnown[] = {"SAP Link Management", "urn:nfc:sn:sdp", "urn:nfc:sn:ip", "urn:nfc:sn:obex",
                                      "urn:nfc:sn:snep"};
constexpr uint8_t kFirstNamed = 16;
constexpr uint8_t kFirstLocal = 32;
constexpr uint8_t kFirstFreeWellKnown = 5;
constexpr uint8_t kLastWellKnown = 14;

bool sameName(const TLlcpSap& entry, const char* name, uint8_t length) {
    return entry.length == length && (length == 0 || std::memcmp(entry.name, name, length) == 0);
}

void setEntry(TLlcpSap& entry, uint32_t state, const char* name, uint8_t length) {
    entry.state = state;
    entry.length = name ? length : 0;
    if (entry.length) std::memcpy(entry.name, name, entry.length);
}

uint16_t refused(uint16_t result) {
    TRACE(TRC_ERROR, "! %s: failed, result = %X!", "nfcLlcpAllocSapForListen", result);
    return result;
}

} // namespace

void llcpSapsInit(TLlcp* p) {
    for (TLlcpSap& entry : p->saps) entry = TLlcpSap{};
    for (uint8_t sap = 0; sap <= LLCP_SAP_SDP; ++sap)
        setEntry(p->saps[sap], LLCP_SAP_USED, kWellKnown[sap], static_cast<uint8_t>(std::strlen(kWellKnown[sap])));
}

uint8_t llcpFindSapByName(const TLlcp* p, uint8_t first, const char* name, uint8_t length) {
    const uint8_t begin = first < kFirstNamed ? 0 : kFirstNamed;
    const uint8_t end = first < kFirstNamed ? kLastWellKnown + 1 : LLCP_SAPS;
    for (uint8_t sap = begin; sap < end; ++sap)
        if (p->saps[sap].state != LLCP_SAP_FREE && sameName(p->saps[sap], name, length)) return sap;
    return LLCP_NO_SAP;
}

uint8_t llcpFindWellKnownSap(const char* name, uint8_t length) {
    for (uint8_t sap = 0; sap < std::size(kWellKnown); ++sap)
        if (std::strlen(kWellKnown[sap]) == length && std::memcmp(kWellKnown[sap], name, length) == 0) return sap;
    return LLCP_NO_SAP;
}

uint8_t llcpLookupService(const TLlcp* p, const uint8_t* name, uint8_t length) {
    for (uint8_t sap = 1; sap < kFirstLocal; ++sap)
        if (p->saps[sap].state == LLCP_SAP_USED && sameName(p->saps[sap], reinterpret_cast<const char*>(name), length))
            return sap;
    return LLCP_NO_SAP;
}

uint16_t llcpLocalWks(const TLlcp* p) {
    uint16_t wks = 0;
    for (uint8_t sap = 0; sap < kFirstNamed; ++sap)
        if (p->saps[sap].state == LLCP_SAP_USED) wks = static_cast<uint16_t>(wks | 1u << sap);
    return wks;
}

uint32_t nfcllcpCheckUriServiceName(uint8_t sap, const char* name, uint8_t length) {
    if (!name || length == 0) return 3;
    const char* prefix = sap < kFirstNamed ? "urn:nfc:sn:" : "urn:nfc:";
    const size_t prefixLength = std::strlen(prefix);
    if (length < prefixLength || std::memcmp(name, prefix, prefixLength) != 0)
        TRACE(LLCP_TRACE, "%s: URI '%.*s' is NOT conform to NFC Forum. It must start with '%s'.",
              "nfcllcpCheckUriServiceName", length, name, prefix);
    return sap < kFirstNamed ? 1 : 2;
}

uint8_t nfcLlcpAllocSapForConnection(TLlcp* p, const char* name, uint8_t length) {
    for (uint8_t sap = kFirstLocal; sap < LLCP_SAPS; ++sap)
        if (p->saps[sap].state == LLCP_SAP_FREE) {
            setEntry(p->saps[sap], LLCP_SAP_USED, name, length);
            return sap;
        }
    TRACE(TRC_ERROR, "%s: no free sap for upper layer!", "nfcLlcpAllocSapForConnection");
    return LLCP_NO_SAP;
}

uint16_t nfcLlcpAllocSap(TLlcp* p, uint8_t first, const char* name, uint8_t* out, uint8_t end, uint8_t length) {
    constexpr char fn[] = "nfcLlcpAllocSap";
    *out = LLCP_NO_SAP;
    const uint8_t known = name && length ? llcpFindSapByName(p, first, name, length) : LLCP_NO_SAP;
    if (known != LLCP_NO_SAP) {
        if (p->saps[known].state == LLCP_SAP_RESERVED)
            p->saps[known].state = LLCP_SAP_USED;
        else
            TRACE(TRC_ERROR, "%s: given service name <%.*s> already in use for sap %d!", fn, length, name, known);
        return LLCP_BAD_PARAMETER;
    }
    for (uint8_t sap = first; sap < end; ++sap)
        if (p->saps[sap].state == LLCP_SAP_FREE) {
            setEntry(p->saps[sap], LLCP_SAP_USED, name, length);
            *out = sap;
            return LLCP_OK;
        }
    TRACE(TRC_ERROR, "%s: no free sap for upper layer!", fn);
    return LLCP_NO_RESOURCES;
}

uint16_t nfcLlcpAllocSapForListen(TLlcp* p, uint8_t* sap, const char* name, uint8_t length) {
    constexpr char fn[] = "nfcLlcpAllocSapForListen";
    if (!name) length = 0;
    if (length > LLCP_NAME_MAX) return refused(LLCP_BAD_PARAMETER);
    const uint8_t wellKnown = length ? llcpFindWellKnownSap(name, length) : LLCP_NO_SAP;
    if (*sap == 0) {
        if (length == 0) return refused(LLCP_BAD_PARAMETER);
        if (wellKnown == LLCP_NO_SAP) {
            const uint16_t result = nfcLlcpAllocSap(p, kFirstFreeWellKnown, name, sap, kLastWellKnown + 1, length);
            return result == LLCP_OK ? result : refused(result);
        }
        if (p->saps[wellKnown].state == LLCP_SAP_USED) {
            TRACE(TRC_ERROR, "!! %s: SAP=0x%X already in use", fn, wellKnown);
            return refused(LLCP_SAP_IN_USE);
        }
        setEntry(p->saps[wellKnown], LLCP_SAP_USED, name, length);
        *sap = wellKnown;
        return LLCP_OK;
    }
    if (*sap == LLCP_SAP_SDP || *sap >= LLCP_SAPS) {
        TRACE(TRC_ERROR, "%s: the given sap is out of bounds (%d)!", fn, *sap);
        return refused(LLCP_BAD_PARAMETER);
    }
    TLlcpSap& entry = p->saps[*sap];
    if (entry.state == LLCP_SAP_USED) {
        TRACE(TRC_ERROR, "!! %s: SAP=0x%X already in use", fn, *sap);
        return refused(LLCP_SAP_IN_USE);
    }
    if (entry.state == LLCP_SAP_RESERVED) {
        if (!sameName(entry, name, length)) {
            TRACE(TRC_ERROR, "%s: the name for the given sap (%d) is not identical to the already known name!", fn,
                  *sap);
            return refused(LLCP_BAD_PARAMETER);
        }
        entry.state = LLCP_SAP_USED;
        return LLCP_OK;
    }
    if (*sap < kFirstFreeWellKnown) {
        if (wellKnown != *sap) {
            TRACE(TRC_ERROR, "%s: the name of the given sap %d must be '%s' rather than '%.*s'!", fn, *sap,
                  kWellKnown[*sap], length, length ? name : "");
            return refused(LLCP_BAD_PARAMETER);
        }
        setEntry(entry, LLCP_SAP_USED, name, length);
        return LLCP_OK;
    }
    if (wellKnown != LLCP_NO_SAP) {
        TRACE(TRC_ERROR, "%s: the given servicename '%.*s' must have the sap %d rather than %d (see NFC Forum)!", fn,
              length, name, wellKnown, *sap);
        return refused(LLCP_BAD_PARAMETER);
    }
    if (*sap >= kFirstNamed && length) {
        const uint8_t known = llcpFindSapByName(p, kFirstNamed, name, length);
        if (known != LLCP_NO_SAP && p->saps[known].state == LLCP_SAP_USED) {
            TRACE(TRC_ERROR, "%s: given service name already in use for sap %d!", fn, known);
            return refused(LLCP_BAD_PARAMETER);
        }
        if (known != LLCP_NO_SAP) {
            p->saps[known].state = LLCP_SAP_USED;
            *sap = known;
            return LLCP_OK;
        }
    }
    setEntry(entry, LLCP_SAP_USED, name, length);
    return LLCP_OK;
}

void llcpFreeSap(TLlcp* p, uint8_t sap) {
    if (sap >= LLCP_SAPS || sap <= LLCP_SAP_SDP) return;
    TLlcpSap& entry = p->saps[sap];
    if (entry.state == LLCP_SAP_FREE) return;
    if (sap >= kFirstNamed && sap < kFirstLocal) {
        entry.state = LLCP_SAP_RESERVED;
        return;
    }
    entry = TLlcpSap{};
}

void llcpReleaseSap(TLlcp* p, uint8_t sap) {
    if (sap > LLCP_SAP_SDP && sap < LLCP_SAPS) p->saps[sap] = TLlcpSap{};
}
