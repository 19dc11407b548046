#include "core/nfacetrace.h"

#include <atomic>

#include "platform.h"
#include "util/apinames.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kDumpMax = 8192;

struct CodeName {
    uint16_t code;
    const char* name;
};
#define NFACE_CODE_NAME(code, name, payload) {code, #name},
constexpr CodeName kNames[] = {NFACE_MESSAGES(NFACE_CODE_NAME)};
#undef NFACE_CODE_NAME

// The listen-mask bits as a LISTEN_REQ lists them, in this order.
struct ListenBit {
    uint32_t bit;
    const char* text;
};
constexpr ListenBit kListenBits[] = {
    {0x80000000u, " Wait for NDEF on tags"},
    {0x1, " ISO/IEC 14443 A "},
    {0x2, " ISO/IEC 14443 B,  106 kbit/s "},
    {0x100, " FeliCa polling,   212 kbit/s "},
    {0x200, " FeliCa polling,   424 kbit/s "},
    {0x400, " Innovision Jewel, 106 kbit/s "},
    {0x4, " ISO 15693 "},
    {0x800, " KOVIO barcode "},
    {0x1000, " peer-to-peer as intiator "},
    {0x2000, " peer-to-peer as target "},
    {0x40000, " peer-to-peer as intiator active"},
    {0x8000, " peer-to-peer as target active"},
    {0x100000, " HOST CE 14443A"},
    {0x200000, " HOST CE 14443B"},
    {0x400000, " HOST CE FELICA"},
    {0x20000, " SECURE CE"},
};

// High-resolution time of the last request, so that answers show how long they took.
std::atomic<uint64_t> g_lastRequest{0};

// What every line of one message shares.
struct Line {
    const char* arrow;
    const char* name;
    uint16_t code;
    int ms;        // since the last request; shown on the lines coming up
};

const char* causeText(uint16_t cause) { return nfcapiCauseNameStr(cause); }
void* asPointer(uint32_t value) { return reinterpret_cast<void*>(static_cast<uintptr_t>(value)); }

// Writes the line, closing it with the time since the last request when it comes up.
void emit(const Line& l, const char* format, ...) __attribute__((format(printf, 2, 3)));
void emit(const Line& l, const char* format, ...) {
    char text[DEBUG_LINE_SIZE];
    char* const end = text + sizeof text - 1;
    va_list args;
    va_start(args, format);
    char* p = seprintf(text, end, "%s%s", l.arrow, l.name);
    p = vseprintf(p, end, format, args);
    va_end(args);
    if (!nfaceGoesDown(l.code)) seprintf(p, end, " (%d ms)", l.ms);
    debugPrint(0, "%s", text);
}

void dump(uint32_t bit, const void* data, uint32_t length, const char* title) {
    if (!debugOn(bit) || !data || length == 0) return;
    debugDump(data, title, length < kDumpMax ? length : kDumpMax);
}

void describe(const Line& l, const TNfaceEmpty&) { emit(l, "%s", ""); }
// The keys of a make-read-only request stay out of the trace.
void describe(const Line& l, const TNfaceReadonlyReq&) { emit(l, "%s", ""); }

void describe(const Line& l, const TNfaceCause& p) { emit(l, ", cause=0x%X (%s)", p.cause, causeText(p.cause)); }

void describe(const Line& l, const TNfaceRegistration& p) {
    emit(l, ", instance=%p, upcall=%p", p.instance, reinterpret_cast<void*>(p.upcall));
}

void describe(const Line& l, const TNfaceListenReq& p) {
    debugPrint(0, "%s%s,  type=0x%08X %s", l.arrow, l.name, p.mask, p.mask ? "" : "stop listen");
    if (p.mask == 0) return;
    for (const ListenBit& row : kListenBits)
        if (p.mask & row.bit) debugPrint(0, "%s", row.text);
    debugPrint(0, "%s", (p.mask & NFC_LISTEN_NO_READER) ? " NO tag poll" : " Poll for TAG removal");
    if (p.mask & NFC_LISTEN_RF_FIELD) debugPrint(0, " RF-field indication");
}

void describe(const Line& l, const TNfaceDeviceInd& p) {
    debugPrint(0, "%s%s, count %d (%d ms)", l.arrow, l.name, p.count, l.ms);
    for (int i = 0; p.tags && i < p.count; ++i) {
        const TNfcTagInfo* tag = p.tags[i];
        if (!tag) continue;
        if (tag->tagType & TAG_NDEF)
            debugPrint(0, " %d. card: type 0x%.08X (%s  (used %d from max %d))", i + 1, tag->tagType,
                       nfcapiTagTypeName(tag->tagType), static_cast<int>(tag->ndefLength),
                       static_cast<int>(tag->ndefMaxSize));
        else
            debugPrint(0, " %d. card: type 0x%.08X (%s)", i + 1, tag->tagType, nfcapiTagTypeName(tag->tagType));
        const uint32_t uidLength = tag->uidLength < sizeof tag->uid ? tag->uidLength : sizeof tag->uid;
        debugDump(tag->uid, "NFC ID", uidLength);
    }
}

void describe(const Line& l, const TNfaceFormatReq& p) {
    emit(l, ", count=%d, ndefLen=%d, flags=0x%X", p.messageCount, p.ndefLength, p.flags);
}

void describe(const Line& l, const TNfaceFormatConf& p) {
    emit(l, ", cause=0x%X (%s), maxNdef=%u", p.cause, causeText(p.cause), p.maxNdefSize);
}

void describe(const Line& l, const TNfaceReadReq& p) {
    emit(l, ", flag=0x%X, len=%d, rdData=%p", p.flag, p.bufferLength, static_cast<void*>(p.buffer));
}

void describe(const Line& l, const TNfaceDataInd& p) {
    emit(l, ", cause=0x%X (%s), rdLen=%d, rdData=%p", p.cause, causeText(p.cause), p.length,
         static_cast<const void*>(p.data));
    if (l.code == NFACE_READ_IND) dump(TRC_DUMP_RX, p.data, p.length, "RX API Data");
}

void describe(const Line& l, const TNfaceWriteReq& p) {
    emit(l, ", flag=0x%X, offset=%d, len=%d, wrData=%p", p.flag, p.offset, p.length, static_cast<const void*>(p.data));
    if (p.data) dump(TRC_DUMP_TX, p.data + p.offset, p.length, "TX API Data");
}

void describeTransfer(const Line& l, const char* head, const TNfaceTransfer* t) {
    if (!t) {
        emit(l, "%s, no transfer", head);
        return;
    }
    emit(l, "%s, wrData=%p, wrLen=%d, rdData=%p, rdLen=%d", head, static_cast<const void*>(t->writeData),
         t->writeLength, static_cast<void*>(t->readData), t->readLength);
}

void describe(const Line& l, const TNfaceTransferReq& p) {
    char head[32];
    seprintf(head, head + sizeof head - 1, " %p", static_cast<void*>(p.transfer));
    describeTransfer(l, head, p.transfer);
}

void describe(const Line& l, const TNfaceIoControlReq& p) {
    char head[48];
    seprintf(head, head + sizeof head - 1, " 0x%X %p", p.code, asPointer(p.parameter));
    describeTransfer(l, head, p.transfer);
}

void describe(const Line& l, const TNfaceTransactionInd& p) {
    emit(l, ", cause=0x%X (%s), len=%d, offset=%d, data=%p", p.cause, causeText(p.cause), p.length, p.offset,
         static_cast<const void*>(p.data));
}

void describe(const Line& l, const TNfaceTestInd& p) {
    emit(l, ", cause=0x%X (%s), contact=%d", p.cause, causeText(p.cause), p.contact);
}

void describe(const Line& l, const TNfaceApp& p) { emit(l, ", hApp=%p", p.hApp); }

void describe(const Line& l, const TNfaceRegisterConf& p) {
    emit(l, ", hApp=%p, cause=0x%X (%s)", p.hApp, p.cause, causeText(p.cause));
}

void describe(const Line& l, const TNfaceActInd& p) {
    const uint32_t supported = p.capabilities ? p.capabilities->supportedMask : 0;
    debugPrint(0, "%s%s, cause=0x%X, controller count=%d, supported listen=0x%X", l.arrow, l.name, p.cause,
               p.controllerCount, supported);
}

void describe(const Line& l, const TNfaceSeInd& p) {
    emit(l, ", event=%u, hSecure=0x%X, flags=0x%X", p.event, p.hSecure, p.flags);
}

void describe(const Line& l, const TNfaceNdefCheckConf& p) {
    emit(l, ", cause=0x%X (%s), tag type=0x%.08X", p.cause, causeText(p.cause), p.tag ? p.tag->tagType : 0u);
}

void describe(const Line& l, const TNfaceRfFieldInd& p) { emit(l, ", state=%u", p.state); }

void describe(const Line& l, const TNfaceLlcpConReq& p) {
    emit(l, ", context=%p, miu=%d, rw=%d, dsap=%d", p.context, p.miu, p.window, p.dsap);
}

void describe(const Line& l, const TNfaceLlcpListenReq& p) {
    emit(l, ", context=%p, miu=%d, rw=%d, maxCon=%d, ssap=%d", p.context, p.miu, p.window, p.maxConnections, p.ssap);
}

void describe(const Line& l, const TNfaceLlcpLink& p) { emit(l, ", hApp=%p, hLink=%p", p.hApp, p.hLink); }

void describe(const Line& l, const TNfaceLlcpLinkCause& p) {
    emit(l, ", hApp=%p, hLink=%p, cause=0x%X (%s)", p.hApp, p.hLink, p.cause, causeText(p.cause));
}

void describe(const Line& l, const TNfaceLlcpConActInd& p) {
    emit(l, ", hApp=%p, hLink=%p, miu=%d, ssap=%d, dsap=%d, rw=%d", p.hApp, p.hLink, p.remoteMiu, p.ssap, p.dsap,
         p.remoteWindow);
}

void describe(const Line& l, const TNfaceLlcpLinkOnly& p) { emit(l, ", hLink=%p", p.hLink); }

void describe(const Line& l, const TNfaceLlcpDataReq& p) {
    emit(l, ", hLink=%p, len=%d, handle=%d", p.hLink, p.length, p.handle);
    dump(TRC_DUMP_TX, p.data, p.length, "TX LLCP Data");
}

void describe(const Line& l, const TNfaceLlcpDataConf& p) {
    emit(l, ", hApp=%p, hLink=%p, cause=0x%X (%s), handle=%d", p.hApp, p.hLink, p.cause, causeText(p.cause),
         p.handle);
}

void describe(const Line& l, const TNfaceLlcpDataInd& p) {
    emit(l, ", hApp=%p, hLink=%p, len=%d, handle=%d", p.hApp, p.hLink, p.length, p.handle);
    dump(TRC_DUMP_RX, p.data, p.length, "RX LLCP Data");
}

void describe(const Line& l, const TNfaceLlcpDataResp& p) { emit(l, ", hLink=%p, handle=%d", p.hLink, p.handle); }

void describe(const Line& l, const TNfaceLlcpSdpReq& p) {
    emit(l, ", hApp=%p, name=%.*s", p.hApp, p.name ? static_cast<int>(p.nameLength) : 0, p.name ? p.name : "");
}

void describe(const Line& l, const TNfaceLlcpSdpConf& p) {
    emit(l, ", hApp=%p, cause=0x%X (%s), sap=%d", p.hApp, p.cause, causeText(p.cause), p.sap);
}

// Milliseconds since the last request; a request restarts the count.
int stamp(uint16_t code) {
    if (code & 0x1) {
        platYield();
        g_lastRequest = platHighResCounter();
        return 0;
    }
    const uint64_t elapsed = platHighResCounter() - g_lastRequest.load();
    return static_cast<int>(elapsed / (platHighResFrequency() / 1000));
}

} // namespace

const char* nfaceCodeName(uint16_t code) {
    for (const CodeName& row : kNames)
        if (row.code == code) return row.name;
    return "";
}

void nfaceTraceMessage(const TnfcapiMsg* message) {
    if (!message) return;
    const uint16_t code = message->code;
    const Line l{nfaceGoesDown(code) ? "NFACE: \\/ " : "NFACE: /\\ ", nfaceCodeName(code), code, stamp(code)};
    switch (code) {
#define NFACE_DESCRIBE(value, name, payload)             \
    case value:                                          \
        describe(l, nfaceMsgGet<value>(*message));       \
        break;
        NFACE_MESSAGES(NFACE_DESCRIBE)
#undef NFACE_DESCRIBE
    default:
        debugPrint(0, "NFACE: ! Unknown NFace message 0x%04X", code);
    }
}
