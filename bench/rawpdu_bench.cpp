// One raw exchange round trip with an ISO-DEP tag, through the public API against one simulated
// NCI controller and beside it the floor: the same NCI data packets written straight to a second
// simulated controller's pseudo-terminal and the answer read back. A busy machine makes two runs
// seconds apart incomparable, so each benchmark alternates blocks of floor and API exchanges and
// reports the medians of the blocks: wall clock, CPU time and voluntary context switches (all
// threads of the process) per exchange, and the median of each round's ratio to the floor
// block timed beside it, which a change of load between rounds moves least. The API blocks run with the trace words at 0 and with the
// words as the library loads them and no trace sink, which is what an application that
// configures nothing gets.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "api_stack.h"
#include "raw_host.h"
#include "tags/iso_dep_tag.h"

namespace {

using benchhost::Bytes;
using benchhost::RawHost;
using Clock = std::chrono::steady_clock;

const Bytes kSelectApp{0x00, 0xA4, 0x04, 0x00, 0x07, 0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x01};
const Bytes kSelectNdef{0x00, 0xA4, 0x00, 0x0C, 0x02, 0xE1, 0x04};
constexpr size_t kNdefFileSize = 2048;
constexpr int kPayloads[] = {2, 64, 250, 1000};
constexpr int kRounds = 61;               // blocks of each kind per benchmark
constexpr int kBlock = 25;                // exchanges per block
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
    bool ready = false;
    bool tried = false;
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
    World& w = world();
    if (!w.tried) {
        w.tried = true;
        w.ready = bringUpByHand(w) && bringUpThroughTheApi(w);
    }
    return w.ready;
}

struct Usage {
    double cpuSeconds;
    double switches;    // voluntary context switches: every wait that blocked
};

Usage usage() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return {static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6,
            static_cast<double>(u.ru_nvcsw)};
}

struct Block {
    double wallUs = 0;   // per exchange
    double cpuUs = 0;
    double switches = 0;
};

template <typename Exchange>
bool timeBlock(Exchange exchange, std::vector<Block>& blocks) {
    const Usage u0 = usage();
    const auto t0 = Clock::now();
    for (int k = 0; k < kBlock; ++k)
        if (!exchange()) return false;
    const double wall = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    const Usage u1 = usage();
    blocks.push_back({wall / kBlock, (u1.cpuSeconds - u0.cpuSeconds) * 1e6 / kBlock, (u1.switches - u0.switches) / kBlock});
    return true;
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

double medianOf(const std::vector<Block>& blocks, double Block::*field) {
    std::vector<double> values;
    for (const Block& b : blocks) values.push_back(b.*field);
    return median(values);
}

// The medians of one kind of block.
struct Medians {
    double wallUs, cpuUs, switches;
};

Medians mediansOf(const std::vector<Block>& blocks) {
    return {medianOf(blocks, &Block::wallUs), medianOf(blocks, &Block::cpuUs), medianOf(blocks, &Block::switches)};
}

// The median over the rounds of each API block's time against the floor block of its round.
double roundRatio(const std::vector<Block>& api, const std::vector<Block>& floor) {
    std::vector<double> ratios;
    for (size_t k = 0; k < api.size() && k < floor.size(); ++k)
        if (floor[k].wallUs > 0) ratios.push_back(api[k].wallUs / floor[k].wallUs);
    return median(ratios);
}

struct Result {
    Medians floor, atZero, asLoaded;
    double roundRatioAtZero, roundRatioAsLoaded;
};
std::map<int, Result> g_results;   // by payload

// state.range(0): payload bytes. Every round times a floor block and an API block with the trace
// words at 0 and one with them as loaded, the two API blocks in turns first.
void BM_RawPdu(benchmark::State& state) {
    if (!ready()) {
        state.SkipWithError("the simulated controllers or the library did not come up with the tag");
        return;
    }
    World& w = world();
    const Bytes pdu = pduOf(static_cast<size_t>(state.range(0)));
    debugSetL1Flags(0);
    Bytes answer(kNdefFileSize);
    auto viaApi = [&] {
        WORD length = static_cast<WORD>(answer.size());
        return nfcExchangePdu(w.listener, pdu.data(), static_cast<WORD>(pdu.size()), answer.data(), &length) == 0 &&
               length == 2;
    };
    auto apiWith = [&](uint32_t nfcWord, std::vector<Block>& blocks) {
        debugSetFlags(nfcWord);
        return timeBlock(viaApi, blocks);
    };
    auto onTheWire = [&] { return w.host->exchange(pdu); };
    std::vector<Block> floor, atZero, asLoaded;
    bool zeroFirst = true;
    for (auto _ : state) {
        const bool ok = timeBlock(onTheWire, floor) &&
                        (zeroFirst ? apiWith(0, atZero) && apiWith(kLoadedNfcWord, asLoaded)
                                   : apiWith(kLoadedNfcWord, asLoaded) && apiWith(0, atZero));
        zeroFirst = !zeroFirst;
        if (!ok) {
            state.SkipWithError("an exchange failed");
            break;
        }
    }
    debugSetFlags(0);
    const Result r{mediansOf(floor), mediansOf(atZero), mediansOf(asLoaded), roundRatio(atZero, floor),
                   roundRatio(asLoaded, floor)};
    g_results[static_cast<int>(state.range(0))] = r;
    const double f = r.floor.wallUs > 0 ? r.floor.wallUs : 1;
    state.counters["floor_us"] = r.floor.wallUs;
    state.counters["api_at0_us"] = r.atZero.wallUs;
    state.counters["api_loaded_us"] = r.asLoaded.wallUs;
    state.counters["ratio_at0"] = r.atZero.wallUs / f;
    state.counters["ratio_loaded"] = r.asLoaded.wallUs / f;
    state.counters["round_ratio_at0"] = r.roundRatioAtZero;
    state.counters["round_ratio_loaded"] = r.roundRatioAsLoaded;
}

void registerAll() {
    auto* b = benchmark::RegisterBenchmark("BM_RawPdu", BM_RawPdu);
    b->ArgNames({"payload"})->Iterations(kRounds)->Unit(benchmark::kMicrosecond)->UseRealTime();
    for (int payload : kPayloads) b->Arg(payload);
}

void printSummary() {
    std::printf("\nraw exchange, medians of %d rounds of alternating blocks of %d exchanges, per exchange "
                "(ratio: of the medians; rounds: median of each round's ratio)\n",
                kRounds, kBlock);
    std::printf("%-8s %-16s %9s %7s %7s %9s %9s\n", "payload", "road", "wall us", "ratio", "rounds", "cpu us",
                "switches");
    for (const auto& [payload, r] : g_results) {
        const double f = r.floor.wallUs > 0 ? r.floor.wallUs : 1;
        const struct {
            const char* road;
            const Medians* m;
            double rounds;
        } rows[] = {{"floor", &r.floor, 1.0},
                    {"api, traces at 0", &r.atZero, r.roundRatioAtZero},
                    {"api, as loaded", &r.asLoaded, r.roundRatioAsLoaded}};
        for (const auto& row : rows)
            std::printf("%-8d %-16s %9.1f %7.2f %7.2f %9.1f %9.1f\n", payload, row.road, row.m->wallUs, row.m->wallUs / f,
                        row.rounds, row.m->cpuUs, row.m->switches);
        std::printf("payload %d: API as loaded against traces at 0: %.2f\n", payload,
                    r.atZero.wallUs > 0 ? r.asLoaded.wallUs / r.atZero.wallUs : 0);
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
