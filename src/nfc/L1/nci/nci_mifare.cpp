// MIFARE Classic through maker 0x04's own RF interface: the tag's commands framed as the
// vendor's requests, and the replies that a small state of the exchange expects.
#include <cstring>

#include "L1/nci/nci.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTrcNci = 0x10000000u;
constexpr uint32_t kTagMifare4k = 0x20 | 0x4000000;

enum : uint8_t { MF_REQUEST = 0x10, MF_AUTHENTICATE = 0x40, MF_SECTOR_SELECT = 0x32, MF_ACK = 0x0A };

#define NCI_MF_NAME(name) #name,
constexpr const char* kStateNames[] = {NCI_MF_STATES(NCI_MF_NAME)};
#undef NCI_MF_NAME

void changeState(TNciContext* nci, uint8_t next) {
    TRACE(kTrcNci, "nci: ! Changing from %s to %s", kStateNames[nci->mfState & 3], kStateNames[next & 3]);
    nci->mfState = next;
}

uint16_t send(TNciContext* nci, const uint8_t* bytes, uint32_t length) {
    const uint32_t result = nciSendCommand(nci, 0x0000, bytes, length);
    return nciSendOk(result) ? 0 : static_cast<uint16_t>(result);
}

uint16_t tooShort(uint32_t length, uint32_t needed) {
    TRACE(NFCLL_TRC_ERROR, "nci: ! Mifare command of %u bytes, %u needed", static_cast<unsigned>(length),
          static_cast<unsigned>(needed));
    return NCI_CAUSE_INVALID_DATA;
}

} // namespace

uint8_t nciMifareSector(uint32_t tagType, uint8_t block) {
    if ((tagType & kTagMifare4k) && block >= 128) return static_cast<uint8_t>(32 + (block - 128) / 16);
    return static_cast<uint8_t>(block / 4);
}

uint16_t nciMifareSend(TNciContext* nci) {
    const uint8_t* cmd = nci->txData;
    const uint32_t length = nci->txLength;
    if (length == 0 || !cmd) return NCI_CAUSE_INVALID_DATA;
    if (nci->mfState > NCI_MF_STATE_AUTHENTICATING) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! Mifare Tx command in unexpected Mifare-state %d, resetting state", nci->mfState);
        changeState(nci, NCI_MF_STATE_IDLE);
    }
    uint8_t out[1 + 255];
    switch (cmd[0]) {
    case 0x60:
    case 0x61: {
        // Command bytes: 1 block, 2-5 the UID, 6-11 the key.
        if (length < 12) return tooShort(length, 12);
        out[0] = MF_AUTHENTICATE;
        out[1] = nciMifareSector(nci->tagType, cmd[1]);
        out[2] = cmd[0] == 0x60 ? 0x10 : 0x90;
        std::memcpy(out + 3, cmd + 6, 6);
        changeState(nci, NCI_MF_STATE_AUTHENTICATING);
        return send(nci, out, 9);
    }
    case 0xA0:
    case 0xA2: {
        const uint32_t data = cmd[0] == 0xA0 ? 16u : 4u;
        if (length < 2 + data) return tooShort(length, 2 + data);
        std::memcpy(nci->mfKept, cmd + 2, data);
        nci->mfKeptLength = static_cast<uint8_t>(data);
        const uint8_t first[3] = {MF_REQUEST, cmd[0], cmd[1]};
        changeState(nci, NCI_MF_STATE_WRITE1);
        return send(nci, first, sizeof first);
    }
    case 0xC2: {
        if (length < 2) return tooShort(length, 2);
        const uint8_t select[2] = {MF_SECTOR_SELECT, cmd[1]};
        return send(nci, select, sizeof select);
    }
    default:
        if (length > 255) return tooShort(length, 255);
        out[0] = MF_REQUEST;
        std::memcpy(out + 1, cmd, length);
        return send(nci, out, length + 1);
    }
}

uint16_t nciMifareReply(TNciContext* nci) {
    const uint8_t* r = nci->rxPayload;
    const uint32_t n = nci->rxLength;
    switch (nci->mfState) {
    case NCI_MF_STATE_AUTHENTICATING:
        changeState(nci, NCI_MF_STATE_IDLE);
        if (n < 2 || r[0] != MF_AUTHENTICATE) {
            TRACE(NFCLL_TRC_ERROR, "nci: ! Unexpected response to Mifare Authentication");
            return NCI_CAUSE_FAILED;
        }
        if (r[1] != 0) {
            TRACE(kTrcNci, "nci: MIFARE authentication failed, reactivate tag");
            return NCI_CAUSE_AUTH;
        }
        ncillUsCallback(nci, evNciDataIndication, nullptr, 0);
        return 0;
    case NCI_MF_STATE_WRITE1: {
        if (n < 2 || r[0] != MF_REQUEST || r[1] != MF_ACK) {
            TRACE(NFCLL_TRC_ERROR, "nci: ! Unexpected response to Mifare WRITE1");
            changeState(nci, NCI_MF_STATE_IDLE);
            nciSignalCompletion(nci, evNciError);
            return 0;
        }
        uint8_t second[1 + sizeof nci->mfKept] = {MF_REQUEST};
        std::memcpy(second + 1, nci->mfKept, nci->mfKeptLength);
        changeState(nci, NCI_MF_STATE_WRITE2);
        if (const uint16_t cause = send(nci, second, 1u + nci->mfKeptLength)) {
            changeState(nci, NCI_MF_STATE_IDLE);
            nciSignalError(cause, nci, "nciMifareReply");
        }
        return 0;
    }
    case NCI_MF_STATE_WRITE2:
        changeState(nci, NCI_MF_STATE_IDLE);
        if (n < 2 || r[0] != MF_REQUEST || r[1] != MF_ACK) {
            TRACE(NFCLL_TRC_ERROR, "nci: ! Unexpected response to Mifare WRITE2");
            nciSignalCompletion(nci, evNciError);
            return 0;
        }
        ncillUsCallback(nci, evNciDataIndication, r + 1, n - 1);
        return 0;
    default:
        if (n < 1 || r[0] != MF_REQUEST) {
            TRACE(NFCLL_TRC_ERROR, "nci: ! Unexpected response to Mifare command");
            return NCI_CAUSE_FAILED;
        }
        ncillUsCallback(nci, evNciDataIndication, r + 1, n - 1);
        return 0;
    }
}
