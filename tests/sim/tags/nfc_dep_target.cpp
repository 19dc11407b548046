#include "tags/nfc_dep_target.h"

namespace simtags {
namespace {

const Bytes kSymm{0x00, 0x00};
const Bytes kNfcid3t{0x01, 0xFE, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8};

} // namespace

NfcDepTarget::NfcDepTarget(const Bytes& general) : Tag(Technology::A, Protocol::NfcDep) {
    name = "NFC-DEP target";
    a.sensRes = {0x01, 0x00};
    a.nfcid1 = {0x08, 0x5A, 0x3C, 0x11};
    a.selRes = 0x40;   // NFC-DEP
    atrRes = simpeers::atrRes(kNfcid3t, TIMEOUT, general);
}

std::optional<Bytes> NfcDepTarget::respond(const Bytes&) {
    if (toSend.empty()) return kSymm;
    Bytes next = std::move(toSend.front());
    toSend.pop_front();
    return next;
}

} // namespace simtags
