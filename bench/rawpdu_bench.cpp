// One raw exchange round trip with an ISO-DEP tag: through the public API against the simulated
// NCI controller, and beside it the floor, the same NCI data packet written straight to the same
// pseudo-terminal and its answer read back. Both run against one simulator in one run; the ratio
// of the two is printed at the end. Traces are off.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "api_stack.h"
#include "ratio_reporter.h"
#include "raw_host.h"
#include "tags/iso_dep_tag.h"

namespace {

using benchhost::Bytes;
using benchhost::RawHost;

const Bytes kSelectApp{0x00, 0xA4, 0x04, 0x00, 0x07, 0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x01};
const Bytes kSelectNdef{0x00, 0xA4, 0x00, 0x0C, 0x02, 0xE1, 0x04};
const Bytes kRead{0x00, 0xB0, 0x00, 0x00, 0x10};   // 16 bytes of the NDEF file

struct World {
    std::unique_ptr<ApiStack> stack;
    std::unique_ptr<RawHost> host;
    NfcListenerHandle listener = nullptr;
    bool floorReady = false;
    bool apiReady = false;
};

World& world() {
    static World w;
    return w;
}

// The controller brought up by hand, the ISO-DEP tag activated, its NDEF file selected.
bool bringUpByHand(World& w) {
    w.stack = std::make_unique<ApiStack>();
    w.stack->sim().rf().enter(std::make_shared<simtags::IsoDepTag>(simtags::Technology::A));
    w.host = std::make_unique<RawHost>(w.stack->sim().portPath());
    RawHost& h = *w.host;
    return h.ok() && h.command({0x20, 0x00, 0x01, 0x01}, 0x40, 0x00) && h.command({0x20, 0x01, 0x00}, 0x40, 0x01) &&
           h.command({0x21, 0x00, 0x04, 0x01, 0x04, 0x01, 0x02}, 0x41, 0x00) &&
           h.command({0x21, 0x03, 0x03, 0x01, 0x00, 0x01}, 0x61, 0x05) && h.exchange(kSelectApp) && h.exchange(kSelectNdef);
}

// The library started on the same controller, the tag detected, connected and its NDEF file selected.
bool bringUpThroughTheApi(World& w) {
    w.host->command({0x20, 0x00, 0x01, 0x01}, 0x40, 0x00);
    w.host.reset();
    if (w.stack->start() != nfcStatusOk) return false;
    w.listener = w.stack->listen(TAG_ISO14443A);
    if (!w.listener || !w.stack->waitFor(nfcEventTagDetected) || nfcConnectTag(w.listener, 0) != nfcStatusOk) return false;
    for (const Bytes* pdu : {&kSelectApp, &kSelectNdef}) {
        Bytes answer(256);
        WORD length = static_cast<WORD>(answer.size());
        if (nfcExchangePdu(w.listener, pdu->data(), static_cast<WORD>(pdu->size()), answer.data(), &length) != 0) return false;
    }
    return true;
}

void BM_RawPduFloor(benchmark::State& state) {
    World& w = world();
    if (!w.floorReady) w.floorReady = bringUpByHand(w);
    if (!w.floorReady || !w.host) {
        state.SkipWithError("the simulated controller did not come up by hand");
        return;
    }
    for (auto _ : state)
        if (!w.host->exchange(kRead)) {
            state.SkipWithError("no answer");
            break;
        }
}

void BM_RawPduApi(benchmark::State& state) {
    World& w = world();
    if (!w.apiReady && w.floorReady) w.apiReady = bringUpThroughTheApi(w);
    if (!w.apiReady) {
        state.SkipWithError("the library did not come up with the tag");
        return;
    }
    Bytes answer(256);
    for (auto _ : state) {
        WORD length = static_cast<WORD>(answer.size());
        if (nfcExchangePdu(w.listener, kRead.data(), static_cast<WORD>(kRead.size()), answer.data(), &length) != 0 ||
            length != 18) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
}

BENCHMARK(BM_RawPduFloor)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_RawPduApi)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    debugSetFlags(0);
    debugSetL1Flags(0);
    benchmark::Initialize(&argc, argv);
    benchhost::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto floor = reporter.times.find("BM_RawPduFloor");
    const auto api = reporter.times.find("BM_RawPduApi");
    if (floor != reporter.times.end() && api != reporter.times.end() && floor->second > 0)
        std::printf("raw exchange round trip: public API %.1f us, floor %.1f us, ratio %.2f\n", api->second,
                    floor->second, api->second / floor->second);
    world().stack.reset();
    benchmark::Shutdown();
    return 0;
}
