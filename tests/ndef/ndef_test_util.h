// Helpers of the NDEF tests: hex vectors, a one-line rendering of parsed records, and calls of
// the builders that size their buffer first.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "corvane.h"

using Bytes = std::vector<uint8_t>;

// "D1 01 03" or "'text'" pieces, concatenated.
inline Bytes hex(const std::string& text) {
    Bytes out;
    for (size_t i = 0; i < text.size();) {
        if (text[i] == ' ') {
            ++i;
        } else if (text[i] == '\'') {
            size_t end = text.find('\'', i + 1);
            out.insert(out.end(), text.begin() + i + 1, text.begin() + end);
            i = end + 1;
        } else {
            out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
            i += 2;
        }
    }
    return out;
}

inline const uint8_t* u8(const char* s) { return reinterpret_cast<const uint8_t*>(s); }

inline std::string str(const uint8_t* p, uint32_t n) { return p ? std::string(reinterpret_cast<const char*>(p), n) : ""; }

inline std::string hexOf(const uint8_t* p, uint32_t n) {
    std::string s;
    char b[4];
    for (uint32_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
        s += b;
    }
    return s;
}

// One line per record: level.index, TNF, type id, type, then what the record's kind decodes.
inline std::string describe(const TNdefRecordInfo& r) {
    char head[64];
    std::snprintf(head, sizeof head, "%u.%u tnf%u %X '", r.level, r.index, r.tnf, r.recordTypeId);
    std::string s = head + str(r.type, r.typeLength) + "'";
    if (r.chunked) s += " CF";
    if (r.idLength) s += " id='" + str(r.id, r.idLength) + "'";
    switch (r.recordTypeId) {
    case NDEF_ID_TEXT:
        s += std::string(r.text.encoding ? " utf16 " : " utf8 ") + str(r.text.language, r.text.languageLength) + " '" +
             str(r.text.text, r.text.textLength) + "'";
        break;
    case NDEF_ID_URI: s += " uri " + std::to_string(r.uri.prefixCode) + " '" + str(r.uri.rest, r.uri.restLength) + "'"; break;
    case NDEF_ID_SMART_POSTER: break;
    case NDEF_ID_ACTION: s += " act " + std::to_string(r.action.code); break;
    case NDEF_ID_SIZE: s += " size " + std::to_string(r.size.value); break;
    case NDEF_ID_HANDOVER_REQUEST:
    case NDEF_ID_HANDOVER_SELECT:
    case NDEF_ID_HANDOVER_MEDIATION:
    case NDEF_ID_HANDOVER_CAPABILITIES:
        s += " v" + std::to_string(r.handover.major) + "." + std::to_string(r.handover.minor);
        break;
    case NDEF_ID_HANDOVER_INITIATE:
        s += " v" + std::to_string(r.handover.major) + "." + std::to_string(r.handover.minor) + " initiate " +
             std::to_string(r.handover.initiate);
        break;
    case NDEF_ID_COLLISION_RESOLUTION: s += " cr " + std::to_string(r.collision.random); break;
    case NDEF_ID_HANDOVER_ERROR:
        s += " err " + std::to_string(r.error.reason) + ":" + std::to_string(r.error.data);
        break;
    case NDEF_ID_ALTERNATIVE_CARRIER: {
        const auto& ac = r.alternativeCarrier;
        s += " power " + std::to_string(ac.powerState) + " ref '" + str(ac.reference, ac.referenceLength) + "' aux " +
             std::to_string(ac.auxiliaryCount);
        break;
    }
    case NDEF_ID_HANDOVER_CARRIER: {
        const auto& hc = r.carrier;
        s += " format " + std::to_string(hc.typeFormat) + " '" + str(hc.type, hc.typeLength) + "' [" +
             hexOf(hc.data, hc.dataLength) + "]";
        break;
    }
    default: s += " [" + hexOf(r.payload.data, r.payload.length) + "]"; break;
    }
    return s;
}

struct Parsed {
    NdefStatus status;
    std::vector<std::string> records;
};

inline Parsed parse(const Bytes& message) {
    Parsed p{};
    auto collect = [](void* context, const TNdefRecordInfo* r) -> uint32_t {
        static_cast<Parsed*>(context)->records.push_back(describe(*r));
        return 1;
    };
    p.status = ndefParseMessage(collect, &p, message.data(), static_cast<uint32_t>(message.size()));
    return p;
}

// Calls a builder of the form f(buffer, length) with a buffer large enough for every test message.
inline Bytes build(const std::function<NdefStatus(uint8_t*, uint32_t*)>& f, NdefStatus* status = nullptr) {
    Bytes out(1 << 18);
    uint32_t length = static_cast<uint32_t>(out.size());
    NdefStatus s = f(out.data(), &length);
    if (status) *status = s;
    out.resize(s == NDEF_OK ? length : 0);
    return out;
}
