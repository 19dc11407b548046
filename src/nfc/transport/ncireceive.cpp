#include "transport/ncireceive.h"

#include <algorithm>
#include <iterator>

#include "util/trace.h"

namespace {

constexpr uint16_t READER_NCI_BCM = 0x40C;
constexpr BYTE kBcmPrefix[] = {0x10};
constexpr BYTE NCI_PBF = 0x10;
constexpr uint16_t NCI_MESSAGE_TYPE_MASK = 0xE000;

// The control opcodes a controller may send or be sent (message type, group and opcode with
// the PBF bit cleared), in the order they were collected; repeats do no harm.
constexpr uint16_t kKnownOpcodes[] = {
    0x2000, 0x4000, 0x6000, 0x2001, 0x4001, 0x2002, 0x4002, 0x2003, 0x4003, 0x2004, 0x4004, 0x2005, 0x4005,
    0x6006, 0x6007, 0x6008, 0x603E, 0x603F, 0x2100, 0x4100, 0x2101, 0x4101, 0x2102, 0x4102, 0x6102, 0x2103,
    0x4103, 0x6103, 0x2104, 0x4104, 0x6105, 0x2106, 0x4106, 0x6106, 0x6107, 0x2108, 0x4108, 0x6108, 0x6109,
    0x610A, 0x210B, 0x410B, 0x2200, 0x4200, 0x6200, 0x2201, 0x4201, 0x2300, 0x4300, 0x2301, 0x4301, 0x2F01,
    0x4F01, 0x6F01, 0x2F02, 0x4F02, 0x2F05, 0x4F05, 0x2F05, 0x4F05, 0x6F05, 0x2F08, 0x4F08, 0x2F00, 0x4F00,
    0x6F00, 0x0000, 0x2F02, 0x4F02, 0x2F00, 0x4F00, 0x2F11, 0x4F11, 0x6F11, 0x0100,
};
static_assert(std::size(kKnownOpcodes) == 75);

bool opcodeKnown(uint16_t opcode) {
    return std::find(std::begin(kKnownOpcodes), std::end(kKnownOpcodes), opcode) != std::end(kKnownOpcodes);
}

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
        debugPrint(DBG_ERROR, "nciTransport: ! Opcode %04X not valid ",
                   static_cast<unsigned>((c->frame[0] & ~NCI_PBF) << 8 | c->frame[1]));
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
    const auto opcode = static_cast<uint16_t>((byte0 & ~NCI_PBF & 0xFF) << 8 | byte1);
    return (opcode & NCI_MESSAGE_TYPE_MASK) == 0 || opcodeKnown(opcode);
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
