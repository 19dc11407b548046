// The SNEP, NPP and handover clients fed what a remote server sends over their connection, on
// the scripted P2P layer, which keeps the library's rules. The first byte picks the client;
// then the input is a script: the connection comes or fails, the server sends fragments and
// answers, the layer confirms or refuses what the client sent, the link ends early or late, and
// the application asks (PUT, GET, push, request, disconnect, release) in either mode. Besides
// the sanitizers the target checks that every request the client took is answered once, that a
// released client calls the application no more, and that no answer reaches past the caller's
// buffer: each buffer is an allocation of exactly the size the caller gave.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <vector>

#include "corvane.h"
#include "fake_p2p.h"
#include "util/bytereader.h"
#include "util/trace.h"

namespace {

enum Kind : uint8_t { Snep, SnepWaiting, Npp, Handover, HandoverWaiting, kKinds };

void check(bool rule) {
    if (!rule) std::abort();
}

struct Harness {
    FakeP2p fake;
    Kind kind = Snep;
    CByteReader* in = nullptr;
    void* client = nullptr;
    bool released = false;
    int open = 0;  // requests taken and not yet answered
    std::deque<std::vector<uint8_t>> requests;  // the caller's data, the caller's until answered
    std::unique_ptr<uint8_t[]> output;          // of the GET in flight
    // Every GET's room lives to the end of the input, as a caller keeps it until its answer.
    std::vector<std::unique_ptr<uint8_t[]>> given;
    uint32_t outputSize = 0;
    FakeP2p::Link* link = nullptr;
};
Harness* g = nullptr;

// What the server sends next, from the input: raw bytes, or a SNEP answer with a code.
void serverSends() {
    CByteReader& in = *g->in;
    uint8_t how = 0, n = 0;
    if (!g->link || g->link->ended || !in.u8(how) || !in.u8(n)) return;
    const uint8_t* bytes = nullptr;
    const uint64_t length = std::min<uint64_t>(n, in.remaining());
    if (!in.take(length, bytes)) return;
    const uint8_t header[] = {0x10, static_cast<uint8_t>(0x80 | (how >> 1)), 0, 0, 0, static_cast<uint8_t>(length)};
    FakeP2p::Bytes frame((how & 1) ? sizeof header + length : length);
    if (how & 1) std::copy(header, header + sizeof header, frame.begin());
    std::copy(bytes, bytes + length, frame.end() - static_cast<long>(length));
    g->fake.data(*g->link, frame);
}

DWORD snepCallback(void*, DWORD event, void* report) {
    check(!g->released);
    // A response answers a request taken, once; a failure may also be the connection's own.
    if (event == snepEventResponse || (event == snepEventFailed && g->open > 0)) {
        check(g->open-- > 0);
        auto* r = static_cast<TSnepClientReport*>(report);
        if (event == snepEventResponse && g->output) check(r->count <= g->outputSize);
    }
    if (event == snepEventEnded) g->open = 0;
    return 0;
}

DWORD bytesCallback(void*, DWORD event, BYTE* data, DWORD length) {
    check(!g->released);
    if (event == handoverEventSelectReceived) {
        volatile uint8_t x = 0;
        for (DWORD i = 0; i < length; ++i) x = x ^ data[i];
    }
    if (event == nppEventPushed || event == nppEventPushFailed) check(g->open-- > 0);
    // A handover client goes with its link: its handle is not used after its end.
    if (event == handoverEventFailed && g->kind == Handover) g->client = nullptr;
    return 0;
}

void connect() {
    // A push has no client to connect: its requests stay open across this step.
    if (g->client || g->kind == Npp) return;
    g->released = false;
    g->open = 0;
    switch (g->kind) {
    case Snep:
    case SnepWaiting: {
        SnepClientHandle h = nullptr;
        const BOOL async = g->kind == Snep;
        snepConnect(&h, nullptr, nullptr, 4, 128, nullptr, async ? snepCallback : nullptr, async);
        g->client = h;
        break;
    }
    case Handover:
    case HandoverWaiting: {
        HandoverClientHandle h = nullptr;
        const BOOL async = g->kind == Handover;
        handoverConnect(nullptr, nullptr, &h, nullptr, bytesCallback, async);
        g->client = h;
        break;
    }
    default: break;
    }
}

const std::vector<uint8_t>& data(uint8_t n) { return g->requests.emplace_back(n * 7u, n); }

void request(CByteReader& in) {
    uint8_t a = 0, room = 0;
    if (!in.u8(a) || !in.u8(room)) return;
    const std::vector<uint8_t>& d = data(a & 0x3F);
    const auto size = static_cast<DWORD>(d.size());
    switch (g->kind) {
    case Snep:
    case SnepWaiting: {
        if (!g->client) return;
        auto* c = static_cast<SnepClientHandle>(g->client);
        NfcApiStatus s;
        if (a & 0x80) {
            if (g->output) g->given.push_back(std::move(g->output));
            g->outputSize = room * 3u;
            g->output = std::make_unique<uint8_t[]>(g->outputSize ? g->outputSize : 1);
            DWORD acceptable = g->outputSize;
            s = snepGet(c, d.data(), size, g->output.get(), &acceptable);
            if (s == nfcStatusOk) check(acceptable <= g->outputSize);
        } else {
            if (g->output) g->given.push_back(std::move(g->output));
            s = snepPut(c, d.data(), size);
        }
        if (s == nfcStatusPending) ++g->open;
        break;
    }
    case Npp: {
        const TNppEntry entry{d.data(), size, static_cast<BYTE>(1 + (a >> 7))};
        const BOOL async = room & 1;
        const DWORD r = nppPush(nullptr, 128, bytesCallback, nullptr, &entry, 1, async);
        if (async && r == nppOk) ++g->open;
        break;
    }
    case Handover:
        if (g->client) handoverSendRequest_Async(static_cast<HandoverClientHandle>(g->client), d.data(), size);
        break;
    case HandoverWaiting: {
        const WORD capacity = room;
        auto response = std::make_unique<uint8_t[]>(capacity ? capacity : 1);
        WORD length = capacity;
        if (handoverSendRequest(nullptr, nullptr, d.data(), size, response.get(), &length) == nfcStatusOk)
            check(length <= capacity);
        break;
    }
    default: break;
    }
}

void release() {
    if (!g->client) return;
    if (g->kind == Snep || g->kind == SnepWaiting) snepReleaseClient(static_cast<SnepClientHandle>(g->client));
    // A handover client is released by the end of its link; it has no call of its own.
    if (g->kind == Snep) g->released = true;
    g->client = nullptr;
}

void step(CByteReader& in) {
    uint8_t op = 0, a = 0;
    if (!in.u8(op)) return;
    switch (op % 10) {
    case 0: connect(); break;
    case 1: serverSends(); break;
    case 2:
        if (g->link && in.u8(a)) g->fake.event(*g->link, nfcEventDataTransmitted, (a & 1) ? 0x408 : 0);
        break;
    case 3:
        if (g->link) g->fake.event(*g->link, (op & 0x10) ? nfcEventDisconnected : nfcEventConnectFailed, 0x402);
        break;
    case 4:
        if (g->link && g->link->disconnecting) g->fake.hangup(*g->link);
        break;
    case 5: g->fake.pump(); break;
    case 6: request(in); break;
    case 7:
        if (g->client && (g->kind == Snep || g->kind == SnepWaiting))
            snepDisconnect(static_cast<SnepClientHandle>(g->client));
        break;
    case 8: release(); break;
    case 9:
        if (g->link && in.u8(a)) g->fake.connected(*g->link);
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    debugSetFlags(0);
    CByteReader in(bytes, size);
    uint8_t first = 0;
    if (!in.u8(first)) return 0;
    auto harness = std::make_unique<Harness>();
    g = harness.get();
    g->in = &in;
    g->kind = static_cast<Kind>(first % kKinds);
    g->fake.remoteMiu = static_cast<uint16_t>(128 + (first >> 4) * 16);
    // The connection's outcome and the server's answers come from the input, also while a
    // synchronous call waits.
    g->fake.onConnect = [](FakeP2p::Link& link) {
        g->link = &link;
        uint8_t how = 0;
        g->in->u8(how);
        if (how & 1) {
            g->fake.event(link, nfcEventConnectFailed, 0x402);
        } else {
            g->fake.event(link, nfcEventConnectProceeding);
            g->fake.connected(link);
        }
    };
    g->fake.onData = [](FakeP2p::Link& link, const FakeP2p::Bytes&) {
        uint8_t how = 0;
        g->in->u8(how);
        if (!(how & 1)) g->fake.transmitted(link);
        if (how & 2) serverSends();
    };
    g->fake.onDisconnect = [](FakeP2p::Link& link) {
        uint8_t how = 0;
        g->in->u8(how);
        if (!(how & 1)) g->fake.hangup(link);
    };
    connect();
    while (!in.empty()) step(in);
    // Everything ends: every link's final event comes, and with it every record goes.
    release();
    g->fake.pump();
    for (FakeP2p::Link* link : g->fake.links())
        if (!link->ended) g->fake.event(*link, link->disconnecting ? nfcEventHangupTerminated : nfcEventDisconnected);
    g->fake.pump();
    g = nullptr;
    return 0;
}
