// The simulated NCI controller as a program of its own, for running Lumaro without hardware: it
// prints the path of its pseudo-terminal, answers on it as the tests' simulator does, holds a
// UICC (switched off) and an embedded SE that answers APDUs, holds TOTAL_DURATION, which the I/O
// page's get-parameter request "01 00" reads, and plays one scenario:
//   (none) or "type2"  a Type 2 tag without NDEF enters and leaves the field every few seconds;
//   "mifare"           a factory-fresh MIFARE Classic 1K enters and leaves the same way, before a
//                      controller of maker 0x04;
//   "p2p"              an NFC-DEP target stays in the field with an LLCP peer that listens on
//                      SAP 14, connects to the host's SAP 15 and then sends it 300 bytes each time.
// It ends when its standard input closes or its parent goes.
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

#include "llcp/llcp_peer.h"
#include "nci/nci_simulator.h"
#include "peers/nfc_dep.h"
#include "tags/mifare_tag.h"
#include "tags/nfc_dep_target.h"
#include "tags/t2t_tag.h"

namespace {

constexpr int kTagPeriodMs = 4000;
constexpr uint8_t kPeerSap = 0x20, kHostSap = 15, kPeerListenerSap = 14;

// False once the parent closed our input.
bool parentStillThere(int timeoutMs) {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    const int ready = ::poll(&p, 1, timeoutMs);
    if (ready < 0) return false;
    if (ready == 0) return true;
    char byte;
    return ::read(STDIN_FILENO, &byte, 1) > 0;
}

ncisim::NciIdentity uiccAndEse(ncisim::NciIdentity id) {
    id.defaultParameters[0x00] = {0xE8, 0x03};   // TOTAL_DURATION
    ncisim::NfceeInfo uicc;
    uicc.id = 0x02;
    uicc.status = 0x01;
    ncisim::NfceeInfo ese;
    ese.id = 0x10;
    id.nfcees = {uicc, ese};
    return id;
}

std::shared_ptr<simtags::MifareTag> freshMifareClassic() {
    auto tag = std::make_shared<simtags::MifareTag>();
    simtags::makeFactoryFresh(*tag);
    return tag;
}

} // namespace

// A tag that enters and leaves the field until the parent goes.
void cycle(ncisim::NciSimulator& sim, const std::shared_ptr<simtags::Tag>& tag) {
    bool inField = false;
    while (parentStillThere(kTagPeriodMs)) {
        if (inField)
            sim.rf().leave(tag);
        else
            sim.rf().enter(tag);
        inField = !inField;
    }
}

// The peer stays; at each period it connects to the host's SAP 15, or sends on that connection.
void meetPeer(ncisim::NciSimulator& sim) {
    llcpsim::Peer peer(llcpsim::Role::Target);
    sim.call([&](ncisim::Controller&) { peer.listen(kPeerListenerSap, {}, 2); });
    auto target = std::make_shared<simtags::NfcDepTarget>(peer.activationBytes());
    target->onFrame = simpeers::carry(peer);
    sim.rf().enter(target);
    while (parentStillThere(kTagPeriodMs)) {
        sim.call([&](ncisim::Controller&) {
            const llcpsim::Endpoint* connection = peer.endpoint(kPeerSap);
            if (connection && connection->connected)
                peer.send(kPeerSap, llcpsim::Bytes(300, 0x5A));
            else if (!connection || !connection->connecting)
                peer.connect(kPeerSap, kHostSap, {}, 2);
        });
    }
    sim.rf().leave(target);
}

int main(int argc, char** argv) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    const char* scenario = argc > 1 ? argv[1] : "type2";
    if (std::strcmp(scenario, "type2") != 0 && std::strcmp(scenario, "mifare") != 0 &&
        std::strcmp(scenario, "p2p") != 0) {
        std::fprintf(stderr, "unknown scenario '%s': type2, mifare or p2p\n", scenario);
        return 2;
    }
    // MIFARE Classic commands need maker 0x04's own RF interface.
    const bool mifare = std::strcmp(scenario, "mifare") == 0;
    ncisim::NciSimulator sim(uiccAndEse(mifare ? ncisim::NciIdentity::nxp() : ncisim::NciIdentity::generic()));
    // The SWP wake-up the desktop program sends before it opens an SE.
    sim.onCommand(0x2F08, [](ncisim::Controller& c, const ncisim::NciMessage&) { c.respond(0x4F08, {0x00}); });
    std::printf("%s\n", sim.portPath().c_str());
    std::fflush(stdout);
    if (std::strcmp(scenario, "type2") == 0)
        cycle(sim, std::make_shared<simtags::T2tTag>());
    else if (mifare)
        cycle(sim, freshMifareClassic());
    else
        meetPeer(sim);
    sim.stop();
    return 0;
}
