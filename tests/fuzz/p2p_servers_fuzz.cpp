// The SNEP, NPP and handover servers fed what remote clients send over their connections, on
// the scripted P2P layer, which keeps the library's rules (no event after a link's final one,
// a listener closed only after its connections). The first byte picks the server and its
// settings; then the input is a script: clients come, send fragments, leave or are left, the
// layer confirms or refuses what the server sent, hangups come late, and the application
// answers, stops, releases and starts again. Besides the sanitizers (and the leak check, which
// finds a server record no link lets go of) the target checks that a server whose end was
// reported, or that was released, calls the application no more, and that every NDEF message
// handed to the application can be read whole.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "corvane.h"
#include "fake_p2p.h"
#include "util/bytereader.h"
#include "util/trace.h"

namespace {

enum Kind : uint8_t { SnepDefault, SnepNamed, SnepAnswering, Npp, Handover, kKinds };

void check(bool rule) {
    if (!rule) std::abort();
}

volatile uint8_t g_sink;
void touch(const uint8_t* p, uint64_t n) {
    uint8_t x = 0;
    for (uint64_t i = 0; i < n; ++i) x ^= p[i];
    g_sink = x;
}

// One started server as its application sees it.
struct App {
    bool ended = false, released = false;
    void* handle = nullptr;
    void called(DWORD event) {
        check(!ended && !released);
        if (event == snepEventEnded || event == nppEventServerEnded || event == handoverEventServerEnded) ended = true;
    }
};

struct Harness {
    FakeP2p fake;
    Kind kind = SnepDefault;
    std::vector<std::unique_ptr<App>> apps;
    App* current = nullptr;
    FakeP2p::Link* client = nullptr;
    std::vector<FakeP2p::Link*> closing;  // disconnections asked for, their hangups still to come
    bool lateHangups = false;
    std::vector<uint8_t> answer;
};
Harness* g = nullptr;

DWORD snepCallback(void* context, DWORD event, void* report) {
    auto* app = static_cast<App*>(context);
    app->called(event);
    auto* r = static_cast<TSnepServerReport*>(report);
    if (event == snepEventPutReceived) touch(r->put.ndef, r->put.ndefLength);
    if (event == snepEventGetReceived) touch(r->get.ndef, r->get.ndefLength);
    if (event == snepEventEnded) check(!report);
    return 0;
}

DWORD bytesCallback(void* context, DWORD event, BYTE* data, DWORD length) {
    static_cast<App*>(context)->called(event);
    if (event == nppEventMessage || event == handoverEventRequestReceived) touch(data, length);
    return 0;
}

void start() {
    if (g->current && !g->current->ended && !g->current->released) return;
    auto& app = *g->apps.emplace_back(std::make_unique<App>());
    bool started = false;
    switch (g->kind) {
    case SnepDefault:
    case SnepNamed:
    case SnepAnswering: {
        SnepServerHandle h = nullptr;
        const char* name = g->kind == SnepDefault ? nullptr : "urn:nfc:sn:fuzz";
        started = snepStartServer(&h, nullptr, name, g->kind == SnepDefault ? 4 : 0, 128, &app, snepCallback) == nfcStatusOk;
        if (started && g->kind == SnepAnswering) snepServerSetFlag(h, SNEP_SERVER_APPLICATION_RESPONDS);
        app.handle = h;
        break;
    }
    case Npp: {
        NppServerHandle h = nullptr;
        started = nppStartServer(&h, nullptr, nullptr, &app, bytesCallback) == nppOk;
        app.handle = h;
        break;
    }
    default: {
        HandoverServerHandle h = nullptr;
        started = handoverStartServer(&h, nullptr, &app, bytesCallback) != 0;
        app.handle = h;
    }
    }
    g->current = started ? &app : nullptr;
}

void stop() {
    if (!g->current) return;
    if (g->kind == Npp) nppStopServer(static_cast<NppServerHandle>(g->current->handle));
    else if (g->kind != Handover) snepStopServer(static_cast<SnepServerHandle>(g->current->handle));
}

void release() {
    if (!g->current || g->current->released) return;
    App& app = *g->current;
    if (g->kind == Npp) nppReleaseServer(static_cast<NppServerHandle>(app.handle));
    else if (g->kind == Handover) handoverReleaseServer(static_cast<HandoverServerHandle>(app.handle));
    else snepReleaseServer(static_cast<SnepServerHandle>(app.handle));
    // A released handover server still tells its application it ended; the others say nothing.
    app.released = g->kind != Handover;
    g->current = nullptr;
}

void respond(CByteReader& in) {
    uint8_t code = 0, n = 0;
    if (!g->current || !in.u8(code) || !in.u8(n)) return;
    g->answer.assign(n * 5u, code);
    if (g->kind == Handover)
        handoverSendSelect(static_cast<HandoverServerHandle>(g->current->handle), g->answer.data(),
                           static_cast<DWORD>(g->answer.size()));
    else if (g->kind != Npp)
        snepSendResponse(static_cast<SnepServerHandle>(g->current->handle), code, g->answer.data(),
                         static_cast<DWORD>(g->answer.size()));
}

void send(CByteReader& in) {
    uint8_t n = 0;
    if (!g->client || !in.u8(n)) return;
    const uint8_t* bytes = nullptr;
    const uint64_t length = std::min<uint64_t>(n, in.remaining());
    if (in.take(length, bytes)) g->fake.data(*g->client, FakeP2p::Bytes(bytes, bytes + length));
}

// A frame of the server's protocol with a header from the input, to get past the first checks.
void frame(CByteReader& in) {
    uint8_t code = 0, length = 0;
    if (!g->client || !in.u8(code) || !in.u8(length)) return;
    FakeP2p::Bytes f = g->kind == Npp ? FakeP2p::Bytes{1, 0, 0, 0, 1, 1, 0, 0, 0, length}
                                      : FakeP2p::Bytes{0x10, code, 0, 0, 0, length};
    const uint8_t* bytes = nullptr;
    const uint64_t n = std::min<uint64_t>(length, in.remaining());
    if (in.take(n, bytes)) f.insert(f.end(), bytes, bytes + n);
    g->fake.data(*g->client, f);
}

void confirm(uint8_t how) {
    if (!g->client) return;
    g->fake.event(*g->client, nfcEventDataTransmitted, (how & 1) ? 0x407 : 0);
}

void hangups() {
    std::vector<FakeP2p::Link*> due;
    due.swap(g->closing);
    for (FakeP2p::Link* link : due) g->fake.hangup(*link);
}

void step(CByteReader& in) {
    uint8_t op = 0, a = 0;
    if (!in.u8(op)) return;
    switch (op % 12) {
    case 0:
        if (FakeP2p::Link* listener = g->fake.listener()) {
            FakeP2p::Link& link = g->fake.connectIndication(*listener);
            if (!link.refused) g->client = &link;
        }
        break;
    case 1: send(in); break;
    case 2: frame(in); break;
    case 3:
        if (in.u8(a)) confirm(a);
        break;
    case 4:
        if (g->client) g->fake.event(*g->client, nfcEventDisconnected, (op & 0x10) ? 0x40B : 0);
        break;
    case 5: hangups(); break;
    case 6: g->fake.pump(); break;
    case 7: stop(); break;
    case 8: release(); break;
    case 9: start(); break;
    case 10: respond(in); break;
    case 11: g->lateHangups = !g->lateHangups; break;
    }
    if (g->client && g->client->ended) g->client = nullptr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    debugSetFlags(0);
    CByteReader in(data, size);
    uint8_t first = 0;
    if (!in.u8(first)) return 0;
    auto harness = std::make_unique<Harness>();
    g = harness.get();
    g->kind = static_cast<Kind>(first % kKinds);
    g->fake.remoteMiu = static_cast<uint16_t>(128 + (first >> 4) * 16);
    g->fake.onData = [](FakeP2p::Link&, const FakeP2p::Bytes&) {};  // confirmed by the script
    g->fake.onDisconnect = [](FakeP2p::Link& link) {
        if (g->lateHangups) g->closing.push_back(&link);
        else g->fake.hangup(link);
    };
    start();
    while (!in.empty()) step(in);
    // Everything ends: the links let go of every record, which the leak check confirms.
    g->lateHangups = false;
    release();
    for (int round = 0; round < 4; ++round) {
        g->fake.pump();
        hangups();
        if (g->client && !g->client->ended) g->fake.event(*g->client, nfcEventDisconnected);
    }
    g->fake.pump();
    g = nullptr;
    return 0;
}
