#include "peers/remote_poller.h"

namespace simpeers {
namespace {

constexpr uint8_t RATS_FSDI_256_CID_0 = 0x80;
// ATTRIB: NFCID0 (4), Param 1 (TR0/TR1 defaults), Param 2 (FSDI 256, 106 kbit/s), Param 3 (ISO/IEC
// 14443-4 compliant), Param 4 (CID 0).
const Bytes kAttrib{0x11, 0x22, 0x33, 0x44, 0x00, 0x08, 0x01, 0x00};
const Bytes kNfcid3i{0x01, 0xFE, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11};

} // namespace

std::shared_ptr<RemotePoller> RemotePoller::reader(simtags::Technology technology) {
    const bool felica = technology == simtags::Technology::F;
    auto reader = std::make_shared<RemotePoller>(technology, felica ? simtags::Protocol::T3T : simtags::Protocol::IsoDep);
    if (technology == simtags::Technology::A) reader->activation = {RATS_FSDI_256_CID_0};
    if (technology == simtags::Technology::B) reader->activation = kAttrib;
    return reader;
}

std::shared_ptr<RemotePoller> RemotePoller::nfcDepInitiator(const Bytes& general) {
    auto initiator = std::make_shared<RemotePoller>(simtags::Technology::A, simtags::Protocol::NfcDep);
    initiator->activation = atrReq(kNfcid3i, general);
    return initiator;
}

} // namespace simpeers
