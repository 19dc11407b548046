// SNEP message codec.
#include "p2p/snepcodec.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "p2p/p2pops.h"
#include "util/bytereader.h"
#include "util/trace.h"

namespace {

#define SNEP_CODES(X)                                                                        \
    X(SNEP_REQ_CONTINUE) X(SNEP_REQ_GET) X(SNEP_REQ_PUT) X(SNEP_REQ_REJECT) X(SNEP_RESP_CONTINUE) \
    X(SNEP_RESP_SUCCESS) X(SNEP_RESP_NOT_FOUND) X(SNEP_RESP_EXCESS_DATA) X(SNEP_RESP_BAD_REQUEST) \
    X(SNEP_RESP_NOT_IMPLEMENTED) X(SNEP_RESP_UNSUPPORTED_VERSION) X(SNEP_RESP_REJECT)

struct CodeName {
    uint8_t code;
    const char* name;
};
#define SNEP_CODE_ROW(c) {c, #c},
constexpr CodeName kCodeNames[] = {SNEP_CODES(SNEP_CODE_ROW)};
#undef SNEP_CODE_ROW

std::atomic<uint32_t> gMaxLength{SNEP_DEFAULT_MAX_LENGTH};

void putBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

bool sizeBuffer(std::vector<uint8_t>& buffer, uint64_t size) {
    if (buffer.size() >= size) return true;
    try {
        buffer.resize(size);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

uint32_t append(SnepRx& rx, const uint8_t* data, uint32_t length) {
    const uint32_t n = std::min(length, rx.ndefLength - rx.held);
    if (n) std::memcpy(rx.buffer.data() + rx.held, data, n);
    rx.held += n;
    return n;
}

}  // namespace

uint32_t snepMaxLength() { return gMaxLength.load(std::memory_order_relaxed); }
void snepSetMaxLength(uint32_t bytes) { gMaxLength.store(bytes, std::memory_order_relaxed); }

const char* snepCodeName(uint8_t code) {
    for (const CodeName& row : kCodeNames)
        if (row.code == code) return row.name;
    return "Unknown SNEP code";
}

bool snepBuild(SnepTx& tx, uint8_t code, const uint8_t* data, uint32_t length, bool get, uint32_t acceptable) {
    const uint64_t field = uint64_t{length} + (get ? SNEP_GET_FIELD : 0);
    const uint64_t size = SNEP_HEADER_SIZE + field;
    if (field > UINT32_MAX || !sizeBuffer(tx.buffer, size)) return false;
    uint8_t* p = tx.buffer.data();
    p[0] = SNEP_VERSION;
    p[1] = code;
    putBe32(p + 2, static_cast<uint32_t>(field));
    p += SNEP_HEADER_SIZE;
    if (get) {
        putBe32(p, acceptable);
        p += SNEP_GET_FIELD;
    }
    if (length) std::memcpy(p, data, length);
    tx.size = static_cast<uint32_t>(size);
    tx.sent = 0;
    return true;
}

SnepRxResult snepReceiveFirst(SnepRx& rx, const uint8_t* data, uint32_t length) {
    CByteReader reader(data, length);
    uint8_t version = 0;
    uint32_t field = 0;
    if (length < SNEP_HEADER_SIZE) {
        TRACE(TRC_ERROR, "SNEP: ! Initial fragment too short (%d bytes)", length);
        return SnepRxResult::TooShort;
    }
    reader.u8(version);
    if (version != SNEP_VERSION) {
        TRACE(TRC_ERROR, "SNEP: ! Wrong SNEP version, is %#x, expected %#x", version, SNEP_VERSION);
        return SnepRxResult::WrongVersion;
    }
    reader.u8(rx.code);
    reader.u32be(field);
    rx.acceptable = 0;
    rx.ndefLength = field;
    if (rx.code == SNEP_REQ_GET) {
        if (field < SNEP_GET_FIELD || !reader.u32be(rx.acceptable)) return SnepRxResult::BadGet;
        rx.ndefLength = field - SNEP_GET_FIELD;
    }
    TRACE(TRC_API, "SNEP: Received %s, length=%d, NDEF message length=%d, acceptable length=%d",
          snepCodeName(rx.code), field, rx.ndefLength, rx.acceptable);
    if (rx.ndefLength > snepMaxLength()) {
        TRACE(TRC_ERROR, "SNEP: ! Message of %u bytes exceeds the limit of %u bytes", rx.ndefLength, snepMaxLength());
        return SnepRxResult::TooLong;
    }
    rx.held = 0;
    if (!sizeBuffer(rx.buffer, rx.ndefLength)) return SnepRxResult::NoMemory;
    append(rx, reader.here(), static_cast<uint32_t>(reader.remaining()));
    return rx.held < rx.ndefLength ? SnepRxResult::More : SnepRxResult::Complete;
}

SnepRxResult snepReceiveNext(SnepRx& rx, const uint8_t* data, uint32_t length) {
    TRACE(TRC_API, "SNEP: Next fragment of current request: %d bytes", length);
    if (append(rx, data, length) < length)
        TRACE(TRC_ERROR, "SNEP: WARNING ! More data received than expected, ignoring the rest\n");
    return rx.held < rx.ndefLength ? SnepRxResult::More : SnepRxResult::Complete;
}

NfcApiStatus snepSendFragment(P2pLinkHandle connection, SnepTx& tx, uint32_t fragment) {
    const uint32_t from = tx.sent, n = std::min(tx.size - from, fragment);
    // Counted before the send: its transmission's event may run before the send returns.
    tx.sent = from + n;
    const NfcApiStatus status = p2pOps().dataRequest(connection, tx.buffer.data() + from, n);
    if (status != nfcStatusOk) {
        TRACE(TRC_ERROR, "SNEP: ! nfcP2PDataRequest failed with status %d", status);
        tx.sent = from;
        return nfcStatusFailed;
    }
    return from + n < tx.size ? nfcStatusPending : nfcStatusOk;
}
