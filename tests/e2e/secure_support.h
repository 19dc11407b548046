// What the secure-element end-to-end tests share: the list as nfcSecureGetList hands it over,
// and one APDU exchange with its answer.
#pragma once

#include <cstdint>
#include <vector>

#include "corvane.h"

struct SeList {
    std::vector<TNfcInfoSE> elements;
    static void add(void* context, TNfcInfoSE* se) { static_cast<SeList*>(context)->elements.push_back(*se); }
    NfcSecureHandle handleOf(uint8_t id) const {
        for (const TNfcInfoSE& se : elements)
            if (se.id == id) return se.handle;
        return 0;
    }
};

// The answer in a room of `room` bytes; empty unless the status is ok.
inline std::vector<uint8_t> exchangeApdu(NfcSecureConnectionHandle connection, const std::vector<uint8_t>& apdu,
                                         NfcApiStatus* status, size_t room = 1024) {
    std::vector<uint8_t> answer(room, 0xEE);
    WORD length = static_cast<WORD>(answer.size());
    *status = nfcSecureExchangePdu(connection, apdu.data(), static_cast<WORD>(apdu.size()), answer.data(), &length);
    answer.resize(*status == nfcStatusOk ? length : 0);
    return answer;
}
