// One raw exchange round trip with an ISO-DEP tag, through the public API against one simulated
// NCI controller and beside it the floor: the same NCI data packets written straight to a second
// simulated controller's pseudo-terminal and the answer read back. A busy machine makes two runs
// seconds apart incomparable, so each benchmark alternates blocks of floor and API exchanges and
// reports the medians of the blocks per exchange (wall clock, CPU time, system calls, voluntary
// context switches and time waiting for a CPU; all threads of the process, the simulators'
// included, and each thread) and the median of each round's ratio to the floor block timed
// beside it, which a change of load between rounds moves least. The API blocks run with the trace words at 0 and with the
// words as the library loads them and no trace sink, which is what an application that
// configures nothing gets.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "api_stack.h"
#include "block_rounds.h"
#include "raw_host.h"
#include "tags/iso_dep_tag.h"

namespace {

using benchhost::Bytes;
using benchhost::RawHost;
using benchhost::Block;

const Bytes kSelectApp{0x00, 0xA4, 0x04, 0x00, 0x07, 0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x01};
const Bytes kSelectNdef{0x00, 0xA4, 0x00, 0x0C, 0x02, 0xE1, 0x04};
constexpr size_t kNdefFileSize = 2048;
constexpr int kPayloads[] = {2, 64, 250, 1000};
constexpr int kRounds = 61;               // blocks of each kind per benchmark
constexpr int kBlock = 25;                // exchanges per block
constexpr int kCountedBlocks = 5;         // blocks of each kind whose system calls are counted
constexpr uint32_t kLoadedNfcWord = 0xFFFFFFFFu;

// A command of exactly n bytes: below a whole command header it is refused by the tag with a
// status word, which is a round trip all the same; above it an UPDATE BINARY of the NDEF file,
// with an extended length once the data does not fit a short one.
Bytes pduOf(size_t n) {
    Bytes pdu{0x00, 0xD6, 0x00, 0x00};
    if (n < 6) return Bytes(pdu.begin(), pdu.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(n, 4)));
    const size_t shortData = n - 5;
    if (shortData <= 255) {
        pdu.push_back(static_cast<uint8_t>(shortData));
    } else {
        const size_t data = n - 7;
        pdu.insert(pdu.end(), {0x00, static_cast<uint8_t>(data >> 8), static_cast<uint8_t>(data)});
    }
    for (size_t k = pdu.size(); k < n; ++k) pdu.push_back(static_cast<uint8_t>(k));
    return pdu;
}

std::shared_ptr<simtags::IsoDepTag> tag() {
    return std::make_shared<simtags::IsoDepTag>(simtags::Technology::A, kNdefFileSize);
}

struct World {
    std::unique_ptr<ApiStack> floorStack;   // its simulator only: the library never sees it
    std::unique_ptr<RawHost> host;
    std::unique_ptr<ApiStack> apiStack;
    NfcListenerHandle listener = nullptr;
};

World& world() {
    static World w;
    return w;
}

// The floor's controller brought up by hand, the ISO-DEP tag activated, its NDEF file selected.
bool bringUpByHand(World& w) {
    w.floorStack = std::make_unique<ApiStack>();
    w.floorStack->sim().rf().enter(tag());
    w.host = std::make_unique<RawHost>(w.floorStack->sim().portPath());
    RawHost& h = *w.host;
    if (!h.ok() || !h.command({0x20, 0x00, 0x01, 0x01}, 0x40, 0x00) || !h.command({0x20, 0x01, 0x00}, 0x40, 0x01) ||
        !h.command({0x21, 0x00, 0x04, 0x01, 0x04, 0x01, 0x02}, 0x41, 0x00) ||
        !h.command({0x21, 0x03, 0x03, 0x01, 0x00, 0x01}, 0x61, 0x05))
        return false;
    h.grant(1);   // the activation's initial credit
    return h.exchange(kSelectApp) && h.exchange(kSelectNdef);
}

// The library started on the other controller, the tag detected, connected and its NDEF file selected.
bool bringUpThroughTheApi(World& w) {
    w.apiStack = std::make_unique<ApiStack>();
    w.apiStack->sim().rf().enter(tag());
    if (w.apiStack->start() != nfcStatusOk) return false;
    w.listener = w.apiStack->listen(TAG_ISO14443A);
    if (!w.listener || !w.apiStack->waitFor(nfcEventTagDetected) || nfcConnectTag(w.listener, 0) != nfcStatusOk) return false;
    for (const Bytes* pdu : {&kSelectApp, &kSelectNdef}) {
        Bytes answer(256);
        WORD length = static_cast<WORD>(answer.size());
        if (nfcExchangePdu(w.listener, pdu->data(), static_cast<WORD>(pdu->size()), answer.data(), &length) != 0) return false;
    }
    return true;
}

bool ready() {
    return benchhost::upOnce([] {
        World& w = world();
        return bringUpByHand(w) && bringUpThroughTheApi(w);
    });
}

// The blocks of one payload: timed and counted, of the floor and the API at both trace settings.
struct Runs {
    std::vector<Block> floor, atZero, asLoaded;
    std::vector<Block> floorCounted, atZeroCounted, asLoadedCounted;
};
std::map<int, Runs> g_results;   // by payload

// One block of each road through the library: the API at 0 and as loaded, in the order asked.
template <typename Kind>
bool apiBlocks(Kind block, const Bytes& pdu, std::vector<Block>& atZero, std::vector<Block>& asLoaded, bool zeroFirst) {
    World& w = world();
    Bytes answer(kNdefFileSize);
    auto viaApi = [&] {
        WORD length = static_cast<WORD>(answer.size());
        return nfcExchangePdu(w.listener, pdu.data(), static_cast<WORD>(pdu.size()), answer.data(), &length) == 0 &&
               length == 2;
    };
    auto api = [&](uint32_t nfcWord, std::vector<Block>& blocks) {
        debugSetFlags(nfcWord);
        const bool ok = block(viaApi, kBlock, blocks);
        debugSetFlags(0);
        return ok;
    };
    return zeroFirst ? api(0, atZero) && api(kLoadedNfcWord, asLoaded) : api(kLoadedNfcWord, asLoaded) && api(0, atZero);
}

// Rounds of a floor block and the API blocks, the two API blocks in turns first.
template <typename Kind>
bool rounds(benchmark::State& state, Kind block, std::vector<Block>& floor, std::vector<Block>& atZero,
            std::vector<Block>& asLoaded) {
    if (!ready()) {
        state.SkipWithError("the simulated controllers or the library did not come up with the tag");
        return false;
    }
    debugSetL1Flags(0);
    const Bytes pdu = pduOf(static_cast<size_t>(state.range(0)));
    auto onTheWire = [&] { return world().host->exchange(pdu); };
    bool zeroFirst = true;
    for (auto _ : state) {
        if (!block(onTheWire, kBlock, floor) || !apiBlocks(block, pdu, atZero, asLoaded, zeroFirst)) {
            state.SkipWithError("an exchange failed");
            return false;
        }
        zeroFirst = !zeroFirst;
    }
    return true;
}

// state.range(0): payload bytes.
void BM_RawPdu(benchmark::State& state) {
    Runs& r = g_results[static_cast<int>(state.range(0))];
    if (!rounds(state, benchhost::Timed{}, r.floor, r.atZero, r.asLoaded)) return;
    const double f = std::max(benchhost::mediansOf(r.floor).wallUs, 1.0);
    state.counters["floor_us"] = f;
    state.counters["ratio_at0"] = benchhost::mediansOf(r.atZero).wallUs / f;
    state.counters["ratio_loaded"] = benchhost::mediansOf(r.asLoaded).wallUs / f;
}

// The same rounds with the system calls counted, after every timed round.
void BM_RawPduCounted(benchmark::State& state) {
    Runs& r = g_results[static_cast<int>(state.range(0))];
    rounds(state, benchhost::Counted{}, r.floorCounted, r.atZeroCounted, r.asLoadedCounted);
}

void registerAll() {
    auto* timed = benchmark::RegisterBenchmark("BM_RawPdu", BM_RawPdu);
    timed->ArgNames({"payload"})->Iterations(kRounds)->Unit(benchmark::kMicrosecond)->UseRealTime();
    auto* counted = benchmark::RegisterBenchmark("BM_RawPduCounted", BM_RawPduCounted);
    counted->ArgNames({"payload"})->Iterations(kCountedBlocks)->Unit(benchmark::kMicrosecond)->UseRealTime();
    for (int payload : kPayloads) {
        timed->Arg(payload);
        counted->Arg(payload);
    }
}

void printSummary() {
    std::printf("\nraw exchange, medians of %d rounds of alternating blocks of %d exchanges, per exchange (ratio: of "
                "the medians; rounds: median of each round's ratio; cpu x: CPU against the floor's; syscalls "
                "(from %d blocks counted after the rounds), switches and queued (us waiting for a CPU): all threads, "
                "the simulators' included)\n",
                kRounds, kBlock, kCountedBlocks);
    benchhost::printRoadsHeader("payload");
    for (const auto& [payload, r] : g_results) {
        benchhost::printRoads(std::to_string(payload), {"floor", &r.floor, &r.floorCounted},
                              {{"api, traces at 0", &r.atZero, &r.atZeroCounted},
                               {"api, as loaded", &r.asLoaded, &r.asLoadedCounted}});
        const double atZero = benchhost::mediansOf(r.atZero).wallUs;
        std::printf("payload %d: API as loaded against traces at 0: %.2f\n", payload,
                    atZero > 0 ? benchhost::mediansOf(r.asLoaded).wallUs / atZero : 0);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (const char* sink = std::getenv("CORVANE_TRACE"); sink && *sink)
        std::printf("note: CORVANE_TRACE is set, so the figures include writing every trace line\n");
    registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    printSummary();
    World& w = world();
    w.apiStack.reset();
    w.host.reset();
    w.floorStack.reset();
    benchmark::Shutdown();
    return 0;
}
