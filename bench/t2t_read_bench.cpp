// An NDEF read of a full NTAG216-like Type 2 tag (CC E1 10 6D 00: 888 bytes mapped, a message
// filling the 868 bytes of its capacity): the NDEF check and nfcReadNdefMessage through the public
// API against one simulated NCI controller, and beside it the floor, the same READ commands
// written as raw NCI data packets to a second simulated controller's pseudo-terminal, in
// alternating blocks of one run (see block_rounds.h). Printed at the end: the medians of both,
// their ratio, what the kernel did per read and per thread, and the READs the handler sent
// beside the fewest the Type 2 layout allows (four blocks per READ, none of the blocks the check
// has read fetched again). Traces are off.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "api_stack.h"
#include "block_rounds.h"
#include "raw_host.h"
#include "tags/t2t_tag.h"

namespace {

using benchhost::Block;
using benchhost::Bytes;
using benchhost::RawHost;
using simtags::T2tTag;

constexpr size_t kMessage = 868;
constexpr uint8_t kRead = 0x30;
constexpr uint8_t kCcBlock = 3;
constexpr size_t kBlocksPerRead = 4;
constexpr int kRounds = 21;          // blocks of each kind
constexpr int kBlock = 2;            // checks and reads per block
constexpr int kCountedBlocks = 3;    // blocks of each kind whose system calls are counted

// The READs of the fewest: the CC with the first TLV bytes, then each block of the message not yet
// read, four at a time. The message begins after its 4-byte TLV header at byte 16.
std::vector<uint8_t> fewestReads() {
    std::vector<uint8_t> blocks{kCcBlock};
    const size_t firstUnread = kCcBlock + kBlocksPerRead;
    const size_t lastBlock = (16 + 4 + kMessage - 1) / 4;
    for (size_t b = firstUnread; b <= lastBlock; b += kBlocksPerRead) blocks.push_back(static_cast<uint8_t>(b));
    return blocks;
}

std::shared_ptr<T2tTag> fullTag() {
    auto tag = T2tTag::make(T2tTag::Chip::Ntag872, true);
    Bytes message(kMessage);
    for (size_t k = 0; k < kMessage; ++k) message[k] = static_cast<uint8_t>(k * 13 + 1);
    tag->put(16, {0x03, 0xFF, kMessage >> 8, kMessage & 0xFF});
    tag->put(20, message);
    return tag;
}

struct World {
    std::unique_ptr<ApiStack> floorStack;   // its simulator only: the library never sees it
    std::unique_ptr<RawHost> host;
    std::unique_ptr<ApiStack> apiStack;
    NfcListenerHandle listener = nullptr;
    Bytes buffer = Bytes(2048);
    size_t handlerReads = 0;
    std::vector<Block> floor, api, floorCounted, apiCounted;
};

World& world() {
    static World w;
    return w;
}

// The floor's controller brought up by hand and the tag activated on the Frame RF interface.
bool bringUpByHand(World& w) {
    w.floorStack = std::make_unique<ApiStack>();
    w.floorStack->sim().rf().enter(fullTag());
    w.host = std::make_unique<RawHost>(w.floorStack->sim().portPath());
    RawHost& h = *w.host;
    return h.ok() && h.command({0x20, 0x00, 0x01, 0x01}, 0x40, 0x00) && h.command({0x20, 0x01, 0x00}, 0x40, 0x01) &&
           h.command({0x21, 0x00, 0x04, 0x01, 0x02, 0x01, 0x01}, 0x41, 0x00) &&
           h.command({0x21, 0x03, 0x03, 0x01, 0x00, 0x01}, 0x61, 0x05);
}

// READs of a page other than 0 that the host sent so far (page 0 is the manager's presence poll).
size_t readsSent(ApiStack& stack) {
    size_t n = 0;
    for (const auto& p : stack.sim().recorder().packets())
        if (p.direction == ncisim::Direction::FromHost && p.bytes.size() == 5 && (p.bytes[0] & 0xEF) == 0x00 &&
            p.bytes[3] == kRead && p.bytes[4] != 0)
            ++n;
    return n;
}

bool checkAndRead(World& w) {
    TNfcTagInfo info{};
    if (nfcGetTagInfo(w.listener, -1, &info) != nfcStatusOk || info.ndefLength != kMessage) return false;
    WORD length = static_cast<WORD>(w.buffer.size());
    return nfcReadNdefMessage(w.listener, w.buffer.data(), &length) == nfcStatusOk && length == kMessage;
}

bool readsOnTheWire(World& w) {
    for (uint8_t block : fewestReads())
        if (w.host->exchangeData({kRead, block}).size() < 16) return false;
    return true;
}

// The library started on the other controller, the tag detected and connected; one untimed check
// and read counts the handler's READs.
bool bringUpThroughTheApi(World& w) {
    w.apiStack = std::make_unique<ApiStack>();
    w.apiStack->sim().rf().enter(fullTag());
    if (w.apiStack->start() != nfcStatusOk) return false;
    w.listener = w.apiStack->listen(TAG_ISO14443A);
    if (!w.listener || !w.apiStack->waitFor(nfcEventTagDetected) || nfcConnectTag(w.listener, 0) != nfcStatusOk) return false;
    const size_t before = readsSent(*w.apiStack);
    if (!checkAndRead(w)) return false;
    w.handlerReads = readsSent(*w.apiStack) - before;
    return true;
}

bool ready() {
    return benchhost::upOnce([] {
        World& w = world();
        return bringUpByHand(w) && bringUpThroughTheApi(w);
    });
}

// Rounds of a floor block and an API block; block() times or counts one.
template <typename Kind>
void rounds(benchmark::State& state, Kind block, std::vector<Block>& floor, std::vector<Block>& api) {
    if (!ready()) {
        state.SkipWithError("the simulated controllers or the library did not come up with the tag");
        return;
    }
    World& w = world();
    auto onTheWire = [&w] { return readsOnTheWire(w); };
    auto viaApi = [&w] { return checkAndRead(w); };
    benchhost::alternate(state, block, kBlock, onTheWire, floor, viaApi, api, "a read failed");
}

void BM_T2tRead(benchmark::State& state) {
    World& w = world();
    rounds(state, benchhost::Timed{}, w.floor, w.api);
}

void BM_T2tReadCounted(benchmark::State& state) {
    World& w = world();
    rounds(state, benchhost::Counted{}, w.floorCounted, w.apiCounted);
}

BENCHMARK(BM_T2tRead)->Iterations(kRounds)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_T2tReadCounted)->Iterations(kCountedBlocks)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    debugSetFlags(0);
    debugSetL1Flags(0);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    World& w = world();
    std::printf("\nType 2 NDEF check and read of %zu bytes, medians of %d rounds of alternating blocks of %d, per check "
                "and read (ratio: of the medians; rounds: median of each round's ratio; cpu x: CPU against the "
                "floor's; syscalls from %d blocks counted after the rounds; all threads, the simulators' included)\n",
                kMessage, kRounds, kBlock, kCountedBlocks);
    benchhost::printRoadsHeader("bytes");
    benchhost::printRoads(std::to_string(kMessage), {"floor", &w.floor, &w.floorCounted},
                          {{"api", &w.api, &w.apiCounted}});
    std::printf("READs per check and read: handler %zu, fewest the layout allows %zu\n", w.handlerReads,
                fewestReads().size());
    w.apiStack.reset();
    w.host.reset();
    w.floorStack.reset();
    benchmark::Shutdown();
    return 0;
}
