#include "transport/ncireceive.h"

#include <algorithm>
#include <iterator>

#include "transport/nci_opcodes.h"
#include "util/trace.h"

namespace {

constexpr uint16_t READER_NCI_BCM = 0x40C;
constexpr BYTE kBcmPrefix[] = {0x10};
constexpr uint16_t NCI_MESSAGE_TYPE_MASK = 0xE000;

void resetPacket(TNciReceiveContext* c) {
    c->state = nciRxPrefix;
    c->count = 0;
    c->match = 0;
    c->expected = 0;
}

// Advances the match of a prefix or suffix by one byte; a byte that differs is dropped and the
// match starts again.
void matchByte(TNciReceiveContext* c, const BYTE* pattern, BYTE byte) {
    if (byte == pattern[c->match]) {
        ++c->match;
        return;
    }
    debugPrint(DBG_ERROR, "nciTransport: ! Frame header differs in position %d", static_cast<int>(c->match));
    c->match = 0;
}

void deliver(TNciReceiveContext* c) {
    if (c->count < NCI_HEADER_SIZE) {
        debugPrint(DBG_ERROR, "nciTransport: ! Framelength not valid");
    } else if (!nciHeaderValid(c->frame[0], c->frame[1])) {
        debugPrint(DBG_ERROR, "nciTransport: ! Opcode %04X not valid ", static_cast<unsigned>(nciPacketKey(c->frame[0], c->frame[1])));
    } else if (c->sink) {
        c->sink(c->sinkUser, c->frame, c->count);
    }
    resetPacket(c);
}

// The packet's bytes are all in: a suffix follows, or the packet is complete.
void packetIn(TNciReceiveContext* c) {
    if (c->framing.rxSuffixLength) {
        c->state = nciRxSuffix;
        c->match = 0;
    } else {
        deliver(c);
    }
}

} // namespace

TNciFraming nciFramingOf(uint16_t readerType) {
    if (readerType == READER_NCI_BCM)
        return {kBcmPrefix, std::size(kBcmPrefix), nullptr, 0, kBcmPrefix, std::size(kBcmPrefix), nullptr, 0};
    return {};
}

bool nciHeaderValid(BYTE byte0, BYTE byte1) {
    const uint16_t key = nciPacketKey(byte0, byte1);
    return (key & NCI_MESSAGE_TYPE_MASK) == 0 || nciOpcodeKnown(key);
}

void nciReceiveInit(TNciReceiveContext* context, uint16_t readerType, TNciPacketSink sink, void* sinkUser) {
    *context = TNciReceiveContext{};
    context->readerType = readerType;
    context->framing = nciFramingOf(readerType);
    context->sink = sink;
    context->sinkUser = sinkUser;
}

void nciReceiveRestart(TNciReceiveContext* context) { resetPacket(context); }

void nciReceiveBytes(TNciReceiveContext* c, const BYTE* bytes, DWORD length) {
    DWORD at = 0;
    while (at < length) {
        switch (c->state) {
        case nciRxPrefix:
            if (c->match < c->framing.rxPrefixLength) {
                matchByte(c, c->framing.rxPrefix, bytes[at++]);
                break;
            }
            // The prefix is complete (or there is none): this byte starts the header.
            c->match = 0;
            c->count = 0;
            c->state = nciRxHeader;
            break;
        case nciRxHeader:
            c->frame[c->count++] = bytes[at++];
            if (c->count < NCI_HEADER_SIZE) break;
            c->expected = NCI_HEADER_SIZE + c->frame[2];
            if (c->expected == NCI_HEADER_SIZE) packetIn(c);
            else c->state = nciRxPayload;
            break;
        case nciRxPayload: {
            const DWORD take = std::min(length - at, c->expected - c->count);
            std::copy_n(bytes + at, take, c->frame + c->count);
            at += take;
            c->count += take;
            if (c->count == c->expected) packetIn(c);
            break;
        }
        case nciRxSuffix:
            matchByte(c, c->framing.rxSuffix, bytes[at++]);
            if (c->match == c->framing.rxSuffixLength) deliver(c);
            break;
        default:
            debugPrint(DBG_ERROR, "nciTransport: Unknown state %#x!", static_cast<unsigned>(c->state));
            resetPacket(c);
            break;
        }
    }
}
