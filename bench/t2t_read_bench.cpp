// An NDEF read of a full NTAG216-like Type 2 tag (CC E1 10 6D 00: 888 bytes mapped, a message
// filling the 868 bytes of its capacity): the NDEF check and nfcReadNdefMessage through the public
// API against the simulated NCI controller, and beside it the floor, the same READ commands
// written as raw NCI data packets to the same pseudo-terminal. Both run against one simulator in
// one run. Printed at the end: both times and their ratio, and the READs the handler sent
// beside the fewest the Type 2 layout allows (four blocks per READ, none of the blocks the check
// has read fetched again). Traces are off.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "api_stack.h"
#include "ratio_reporter.h"
#include "raw_host.h"
#include "tags/t2t_tag.h"

namespace {

using benchhost::Bytes;
using benchhost::RawHost;
using simtags::T2tTag;

constexpr size_t kMessage = 868;
constexpr uint8_t kRead = 0x30;
constexpr uint8_t kCcBlock = 3;
constexpr size_t kBlocksPerRead = 4;

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
    std::unique_ptr<ApiStack> stack;
    std::unique_ptr<RawHost> host;
    NfcListenerHandle listener = nullptr;
    Bytes buffer = Bytes(2048);
    size_t handlerReads = 0;
    bool floorReady = false;
    bool apiReady = false;
};

World& world() {
    static World w;
    return w;
}

// The controller brought up by hand and the tag activated on the Frame RF interface.
bool bringUpByHand(World& w) {
    w.stack = std::make_unique<ApiStack>();
    w.stack->sim().rf().enter(fullTag());
    w.host = std::make_unique<RawHost>(w.stack->sim().portPath());
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

// The library started on the same controller, the tag detected and connected; one untimed check
// and read counts the handler's READs.
bool bringUpThroughTheApi(World& w) {
    w.host->command({0x20, 0x00, 0x01, 0x01}, 0x40, 0x00);
    w.host.reset();
    if (w.stack->start() != nfcStatusOk) return false;
    w.listener = w.stack->listen(TAG_ISO14443A);
    if (!w.listener || !w.stack->waitFor(nfcEventTagDetected) || nfcConnectTag(w.listener, 0) != nfcStatusOk) return false;
    const size_t before = readsSent(*w.stack);
    if (!checkAndRead(w)) return false;
    w.handlerReads = readsSent(*w.stack) - before;
    return true;
}

void BM_T2tReadFloor(benchmark::State& state) {
    World& w = world();
    if (!w.floorReady) w.floorReady = bringUpByHand(w);
    if (!w.floorReady || !w.host) {
        state.SkipWithError("the simulated controller did not come up by hand");
        return;
    }
    const std::vector<uint8_t> blocks = fewestReads();
    for (auto _ : state)
        for (uint8_t block : blocks)
            if (w.host->exchangeData({kRead, block}).size() < 16) {
                state.SkipWithError("no answer");
                return;
            }
}

void BM_T2tReadApi(benchmark::State& state) {
    World& w = world();
    if (!w.apiReady && w.floorReady) w.apiReady = bringUpThroughTheApi(w);
    if (!w.apiReady) {
        state.SkipWithError("the library did not come up with the tag");
        return;
    }
    for (auto _ : state)
        if (!checkAndRead(w)) {
            state.SkipWithError("check or read failed");
            break;
        }
}

BENCHMARK(BM_T2tReadFloor)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5);
BENCHMARK(BM_T2tReadApi)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5);

} // namespace

int main(int argc, char** argv) {
    debugSetFlags(0);
    debugSetL1Flags(0);
    benchmark::Initialize(&argc, argv);
    benchhost::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatio("Type 2 NDEF check and read of " + std::to_string(kMessage) + " bytes", "BM_T2tReadFloor",
                        "BM_T2tReadApi");
    std::printf("READs per check and read: handler %zu, fewest the layout allows %zu\n", world().handlerReads,
                fewestReads().size());
    world().stack.reset();
    benchmark::Shutdown();
    return 0;
}
