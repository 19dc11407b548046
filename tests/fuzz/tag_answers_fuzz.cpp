// The tag handlers against whatever a tag answers, on the synchronous dispatcher: the input
// picks a family (Type 1, 2, 3, 4 and DESFire, ISO 15693, MIFARE Classic and Plus) and the tag's
// identity, then gives the answer to each command the handler sends, in order, through
// detection, check, read, write, format, erase, make read-only and the presence test.
//
// Input: byte 0 family, byte 1 variant, byte 2 read buffer size, byte 3 message length, then
// answers, each a kind byte (low two bits: 0 data, 1 NAK or error status, 2 no answer, 3 failed
// authentication) followed for data by a length byte and that many bytes. The answers are used
// again from the first when they run out, so a tag can keep answering as it likes, until the
// input has given a bounded number of them; from then on the tag has left the field.
//
// Besides the sanitizers: every command gets exactly one answer, within a bounded number of
// exchanges; no answer comes while a PDU is being handed on; no read delivers more than the
// caller's buffer, which is exactly that big on the heap.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "th/th_frame.h"
#include "th/th_handler.h"
#include "th/th_mifare.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kCauseNak = nfcCauseRejected;
constexpr uint16_t kCauseNoAnswer = nfcCauseAckMissing;
// A command of the largest tag a family serves takes some 66000 exchanges (a FeliCa measured
// block by block, an ISO 15693 of 65536 blocks erased); any command past this is a loop.
constexpr size_t kExchangesPerCommand = 70000;
constexpr size_t kAnswersPerInput = 200000;   // then the tag has left

struct Answer {
    uint8_t kind;
    Bytes data;
};

struct Harness {
    TTagHandler handler{};
    TNfcTagInfo tag{};
    std::vector<Answer> answers;
    size_t nextAnswer = 0;
    size_t given = 0;
    bool pduPending = false;
    bool inSend = false;
    uint8_t pduFlags = 0;
    size_t reports = 0;
    size_t exchanges = 0;
    Bytes answerData;   // layer 1's buffer, valid until the next exchange
};
Harness* g_h = nullptr;

[[noreturn]] void fail() { std::abort(); }

uint32_t sendPdu(TTagHandler*, const uint8_t* pdu, uint16_t size, uint8_t flags, uint16_t) {
    if (g_h->inSend || g_h->pduPending || (size && !pdu) || size > TH_PDU_SIZE) fail();
    g_h->pduPending = true;
    g_h->pduFlags = flags;
    ++g_h->exchanges;
    return 1;
}

void confirm(TTagHandler*, uint16_t, uint16_t, uint32_t) {
    if (g_h->inSend) fail();
    ++g_h->reports;
}

// The answer to the PDU in flight, delivered after the handler has handed it on.
void answerOne() {
    Harness& h = *g_h;
    h.pduPending = false;
    uint16_t cause = kCauseNoAnswer;
    h.answerData.clear();
    if (!h.answers.empty() && h.given < kAnswersPerInput) {
        const Answer& a = h.answers[h.nextAnswer];
        h.nextAnswer = (h.nextAnswer + 1) % h.answers.size();
        ++h.given;
        switch (a.kind & 0x03) {
        case 0: cause = 0, h.answerData = a.data; break;
        case 1: cause = kCauseNak; break;
        case 2: cause = kCauseNoAnswer; break;
        default: cause = nfcCauseAuthenticationFailed; break;
        }
    }
    const uint8_t* data = h.answerData.empty() ? nullptr : h.answerData.data();
    const auto length = static_cast<uint32_t>(h.answerData.size());
    if (h.pduFlags & TH_PDU_CHECK) thCheckConfirmation(&h.handler, cause, data, length);
    else thTransactionIndication(&h.handler, cause, data, length);
}

// Runs one command to its end: exactly one answer, within the bound.
template <typename Command>
void run(Command command) {
    Harness& h = *g_h;
    h.reports = 0;
    h.exchanges = 0;
    command();
    while (h.pduPending) {
        if (h.exchanges > kExchangesPerCommand) fail();
        answerOne();
    }
    if (h.reports != 1) fail();
}

struct Identity {
    uint32_t tagType;
    Bytes uid;
    uint8_t sak;
};

Identity identityOf(uint8_t family, uint8_t variant) {
    const uint8_t v = variant & 0x03;
    switch (family % 6) {
    case 0: return {TAG_JEWEL_TYPE1, v == 3 ? Bytes{0x3B, 0x21, 0x43} : Bytes{0x3B, 0x21, 0x43, 0x65}, 0};
    case 1:
        return {TAG_ULTRALIGHT_TYPE2,
                v == 1 ? Bytes{0x05, 0x30, 0x11, 0x22, 0x33, 0x44, 0x55} : Bytes{0x04, 0x51, 0x82, 0x3A, 0x6C, 0x2F, 0x80}, 0};
    case 2: return {TAG_FELICA_TYPE3, {0x02, 0xFE, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05}, 0};
    case 3: return {v & 1 ? TAG_DESFIRE_TYPE4 : TAG_ISO14443A, {0x04, 0x31, 0x42, 0x53, 0x64, 0x75, 0x86}, 0x20};
    case 4: {
        static const uint8_t kProducts[][2] = {{0x04, 0x01}, {0x02, 0x0C}, {0x02, 0x2C}, {0x07, 0xC4}};
        return {TAG_15693, {0xE0, kProducts[v][0], kProducts[v][1], 0x00, 0x12, 0x34, 0x56, 0x78}, 0};
    }
    default: {
        static const uint32_t kTypes[] = {TAG_MIFARE_STD_1K, TAG_MIFARE_STD_4K, TAG_MIFARE_S20, TAG_MIFARE_PLUS_4K};
        return {kTypes[v], {0x3A, 0x5C, 0x71, 0x0D}, static_cast<uint8_t>(v == 3 ? 0x20 : 0x08)};
    }
    }
}

std::vector<Answer> answersOf(const uint8_t* data, size_t size) {
    std::vector<Answer> out;
    size_t p = 0;
    while (p < size) {
        Answer a{data[p++], {}};
        if ((a.kind & 0x03) == 0) {
            const size_t n = p < size ? data[p++] : 0;
            const size_t take = n < size - p ? n : size - p;
            a.data.assign(data + p, data + p + take);
            p += take;
        }
        out.push_back(std::move(a));
    }
    return out;
}

// A read into a heap buffer of exactly the caller's size, which it may not pass.
void read(uint32_t size) {
    auto buffer = std::make_unique<uint8_t[]>(size ? size : 1);
    run([&] { thRead(&g_h->handler, size, 0, buffer.get()); });
    if (g_h->handler.command.delivered > size) fail();
}

void write(const Bytes& message) {
    run([&] { thWrite(&g_h->handler, message.data(), static_cast<uint32_t>(message.size()), true); });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    Harness h;
    g_h = &h;
    tmsResetKeyLists();
    const Identity id = identityOf(data[0], data[1]);
    const uint16_t readerType = data[1] & 0x04 ? 0x0100 : 0x0400;
    const uint32_t room = data[2] * 16u;
    Bytes message(size_t{data[3]} * 3u, 0);
    for (size_t k = 0; k < message.size(); ++k) message[k] = static_cast<uint8_t>(0xD1 + k);
    h.answers = answersOf(data + 4, size - 4);

    h.tag.tagType = id.tagType;
    h.tag.uidLength = static_cast<WORD>(id.uid.size());
    std::memcpy(h.tag.uid, id.uid.data(), id.uid.size());
    h.tag.a.sak = id.sak;
    if (!thCreate(&h.tag, &h.handler, &h, &confirm, &sendPdu)) fail();
    run([&] { thDeviceIndication(&h.handler, readerType, &h.tag); });
    run([&] { thCheckNdef(&h.handler); });
    read(room);
    write(message);
    read(room);
    run([&] { thFormat(&h.handler, 0, 0); });
    write(Bytes(message.begin(), message.begin() + static_cast<std::ptrdiff_t>(message.size() / 2)));
    read(room + 7);
    run([&] { thFormat(&h.handler, 0, TH_FORMAT_ERASE); });
    read(room);
    run([&] { thFormat(&h.handler, 0, 0x2); });
    run([&] { thSetReadonly(&h.handler); });
    run([&] { thTest(&h.handler); });
    g_h = nullptr;
    return 0;
}
