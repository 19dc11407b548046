// One SNEP PUT of a 10 KiB NDEF message to the simulated peer's default server: through the public
// API (snepPut on a connected client) against one simulated NCI controller, and beside it the
// floor, a raw loop that writes the same NCI data packets, carrying the same LLCP I-PDUs and SNEP
// fragments, straight to a second simulated controller's pseudo-terminal and reads the peer's
// answers back, in alternating blocks of one run (see block_rounds.h). Each peer is an NFC-DEP
// target whose LLCP peer runs the test-side SNEP default server. Printed at the end: the medians
// of both, their ratio, what the kernel did per PUT and per thread, and the LLCP PDUs of one PUT
// each way beside the fewest the connection's MIU allows. Traces are off.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "api_stack.h"
#include "llcp/llcp_peer.h"
#include "peers/service_peer.h"
#include "peers/snep_peer.h"
#include "block_rounds.h"
#include "raw_host.h"
#include "tags/ndef_image.h"
#include "tags/nfc_dep_target.h"

namespace {

using benchhost::Block;
using benchhost::Bytes;
using benchhost::RawHost;
using simpeers::SnepServerPeer;

constexpr size_t kMessage = 10 * 1024;
constexpr uint8_t kSnepSap = 4, kFloorSap = 0x20;
constexpr uint8_t kPeerWindow = 2;
constexpr uint16_t kMiu = 128;   // the peer's MIU for the connection: the LLCP default
constexpr int kMaxPolls = 1000;
constexpr int kRounds = 21;          // blocks of each kind
constexpr int kBlock = 1;            // PUTs per block
constexpr int kCountedBlocks = 3;    // blocks of each kind whose system calls are counted

// A simulated peer on the RF field: the NFC-DEP target, its LLCP peer and SNEP default server,
// and the PDUs each way (only touched on the controller's thread, counted across it).
struct SimPeer {
    llcpsim::Peer llcp{llcpsim::Role::Target};
    SnepServerPeer snep{kSnepSap, SnepServerPeer::Kind::Default};
    std::shared_ptr<simtags::NfcDepTarget> target;
    std::atomic<size_t> fromHost{0}, toHost{0};

    SimPeer() {
        llcp.listen(kSnepSap, "urn:nfc:sn:snep", kPeerWindow).miu = kMiu;
        target = std::make_shared<simtags::NfcDepTarget>(llcp.activationBytes());
        target->onFrame = [this, serve = simpeers::carry(llcp, {&snep})](const Bytes& frame) {
            std::vector<Bytes> out = serve(frame);
            fromHost += 1;
            toHost += out.size();
            return out;
        };
    }
};

struct Counts {
    size_t fromHost = 0, toHost = 0;
};

Counts countsOf(const SimPeer& p) { return {p.fromHost.load(), p.toHost.load()}; }
Counts operator-(Counts a, Counts b) { return {a.fromHost - b.fromHost, a.toHost - b.toHost}; }

// The floor's LLCP initiator: one connection to the peer's SNEP server, its sequence numbers
// kept by hand, one PDU of the host and one of the peer a turn.
class RawLlcp {
public:
    explicit RawLlcp(RawHost& host) : host_(host) {}

    bool connect() {
        if (!turn(llcpsim::connect(kSnepSap, kFloorSap, llcpsim::tlv(llcpsim::RW, {kPeerWindow})))) return false;
        return connected_;
    }
    // The PUT, its first fragment alone, the rest once the server asked for it.
    bool put(const Bytes& ndef) {
        const Bytes message = simpeers::snep::message(simpeers::snep::PUT, ndef);
        for (size_t at = 0; at < message.size(); at += kMiu) {
            const size_t n = std::min<size_t>(kMiu, message.size() - at);
            if (!sendI(Bytes(message.begin() + static_cast<long>(at), message.begin() + static_cast<long>(at + n))))
                return false;
            if (at == 0 && n < message.size() && !awaitCode(simpeers::snep::CONTINUE)) return false;
        }
        return awaitCode(simpeers::snep::SUCCESS);
    }

private:
    bool turn(const Bytes& frame) {
        const Bytes answer = host_.exchangeData(frame);
        llcpsim::Pdu pdu;
        if (answer.empty() || !llcpsim::decode(answer, pdu)) return false;
        if (pdu.ptype == llcpsim::CC) connected_ = true;
        if (pdu.sequence) va_ = *pdu.sequence & 0x0F;
        if (pdu.ptype == llcpsim::I) {
            vr_ = (vr_ + 1) & 0x0F;
            ackDue_ = true;
            response_.add(pdu.info);
            if (response_.complete()) codes_.push_back(response_.take().code);
        }
        return true;
    }
    bool sendI(const Bytes& fragment) {
        for (int k = 0; ((vs_ - va_) & 0x0F) >= kPeerWindow; ++k)
            if (k == kMaxPolls || !poll()) return false;
        const Bytes frame = llcpsim::iframe(kSnepSap, kFloorSap, vs_, vr_, fragment);
        vs_ = (vs_ + 1) & 0x0F;
        ackDue_ = false;
        return turn(frame);
    }
    bool poll() {
        const Bytes frame = ackDue_ ? llcpsim::rr(kSnepSap, kFloorSap, vr_) : llcpsim::symm();
        ackDue_ = false;
        return turn(frame);
    }
    bool awaitCode(uint8_t code) {
        for (int k = 0; codes_.empty(); ++k)
            if (k == kMaxPolls || !poll()) return false;
        const uint8_t got = codes_.front();
        codes_.erase(codes_.begin());
        return got == code;
    }

    RawHost& host_;
    uint8_t vs_ = 0, vr_ = 0, va_ = 0;
    bool ackDue_ = false, connected_ = false;
    simpeers::SnepReassembly response_;
    std::vector<uint8_t> codes_;
};

struct World {
    std::unique_ptr<ApiStack> floorStack;   // its simulator only: the library never sees it
    std::unique_ptr<ApiStack> apiStack;
    std::unique_ptr<SimPeer> floorPeer, apiPeer;
    std::unique_ptr<RawHost> host;
    std::unique_ptr<RawLlcp> llcp;
    NfcListenerHandle listener = nullptr;
    SnepClientHandle client = nullptr;
    Bytes ndef = simtags::mimeMessage(kMessage, 7);
    Counts floorPdus, apiPdus;
    std::vector<Block> floor, api, floorCounted, apiCounted;
};

World& world() {
    static World w;
    return w;
}

bool putViaApi(World& w) { return snepPut(w.client, w.ndef.data(), static_cast<DWORD>(w.ndef.size())) == nfcStatusOk; }

// The floor's controller brought up by hand, the target activated on the NFC-DEP RF interface and
// the connection to its SNEP server made; one untimed PUT counts the floor's PDUs.
bool bringUpByHand(World& w) {
    w.floorStack = std::make_unique<ApiStack>();
    w.floorPeer = std::make_unique<SimPeer>();
    w.floorStack->sim().rf().enter(w.floorPeer->target);
    w.host = std::make_unique<RawHost>(w.floorStack->sim().portPath());
    RawHost& h = *w.host;
    if (!h.ok() || !h.command({0x20, 0x00, 0x01, 0x01}, 0x40, 0x00) || !h.command({0x20, 0x01, 0x00}, 0x40, 0x01) ||
        !h.command({0x21, 0x00, 0x04, 0x01, 0x05, 0x01, 0x03}, 0x41, 0x00) ||
        !h.command({0x21, 0x03, 0x03, 0x01, 0x00, 0x01}, 0x61, 0x05))
        return false;
    h.grant(1);   // the activation's initial credit
    w.llcp = std::make_unique<RawLlcp>(h);
    if (!w.llcp->connect()) return false;
    const Counts before = countsOf(*w.floorPeer);
    if (!w.llcp->put(w.ndef)) return false;
    w.floorPdus = countsOf(*w.floorPeer) - before;
    return true;
}

// The library started on the other controller with its own peer in the field, the peer detected
// and a SNEP client connected to its default server; one untimed PUT counts the library's PDUs.
bool bringUpThroughTheApi(World& w) {
    w.apiStack = std::make_unique<ApiStack>();
    w.apiPeer = std::make_unique<SimPeer>();
    w.apiStack->sim().rf().enter(w.apiPeer->target);
    if (w.apiStack->start() != nfcStatusOk) return false;
    w.listener = w.apiStack->listen(P2P_INITIATOR);
    if (!w.listener || !w.apiStack->waitFor(nfcEventTagDetected)) return false;
    if (snepConnect(&w.client, w.listener, "urn:nfc:sn:snep", 0, kMiu, nullptr, nullptr, 0) != nfcStatusOk) return false;
    const Counts before = countsOf(*w.apiPeer);
    if (!putViaApi(w)) return false;
    w.apiPdus = countsOf(*w.apiPeer) - before;
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
        state.SkipWithError("the simulated controllers, peers or the library did not come up");
        return;
    }
    World& w = world();
    auto onTheWire = [&w] { return w.llcp->put(w.ndef); };
    auto viaApi = [&w] { return putViaApi(w); };
    benchhost::alternate(state, block, kBlock, onTheWire, floor, viaApi, api, "a PUT was not answered SUCCESS");
}

void BM_SnepPut(benchmark::State& state) {
    World& w = world();
    rounds(state, benchhost::Timed{}, w.floor, w.api);
}

void BM_SnepPutCounted(benchmark::State& state) {
    World& w = world();
    rounds(state, benchhost::Counted{}, w.floorCounted, w.apiCounted);
}

BENCHMARK(BM_SnepPut)->Iterations(kRounds)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SnepPutCounted)->Iterations(kCountedBlocks)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    debugSetFlags(0);
    debugSetL1Flags(0);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    World& w = world();
    std::printf("\nSNEP PUT of %zu bytes, medians of %d rounds of alternating blocks of %d, per PUT (ratio: of the "
                "medians; rounds: median of each round's ratio; cpu x: CPU against the floor's; syscalls from %d "
                "blocks counted after the rounds; all threads, the simulators' included)\n",
                kMessage, kRounds, kBlock, kCountedBlocks);
    benchhost::printRoadsHeader("bytes");
    benchhost::printRoads(std::to_string(kMessage), {"floor", &w.floor, &w.floorCounted},
                          {{"api", &w.api, &w.apiCounted}});
    const size_t fewest = (simpeers::snep::HEADER + kMessage + kMiu - 1) / kMiu;
    std::printf("LLCP PDUs per PUT (MIU %u, peer window %u): library %zu to the peer, %zu back; floor %zu and %zu; "
                "fewest %zu each way\n",
                kMiu, kPeerWindow, w.apiPdus.fromHost, w.apiPdus.toHost, w.floorPdus.fromHost, w.floorPdus.toHost,
                fewest);
    if (w.client) {
        snepDisconnect(w.client);
        snepReleaseClient(w.client);
    }
    w.apiStack.reset();
    w.llcp.reset();
    w.host.reset();
    w.floorStack.reset();
    benchmark::Shutdown();
    return 0;
}
