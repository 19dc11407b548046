// The simulated NCI controller as a program of its own, for running Lumaro without hardware: it
// prints the path of its pseudo-terminal, answers on it as the tests' simulator does, holds a
// UICC (switched off) and an embedded SE that answers APDUs, holds TOTAL_DURATION, which the I/O
// page's get-parameter request "01 00" reads, and plays one scenario:
//   (none) or "type2"  a Type 2 tag without NDEF enters and leaves the field every few seconds;
//   "mifare"           a factory-fresh MIFARE Classic 1K enters and leaves the same way, before a
//                      controller of maker 0x04;
//   "p2p"              an NFC-DEP target stays in the field with an LLCP peer that listens on
//                      SAP 14, connects to the host's SAP 15 and then sends it 300 bytes each time.
//   "snep"             an NFC-DEP target comes and goes whose SNEP client puts a Smart Poster to
//                      the host's SNEP server and whose default SNEP server takes what the host pushes;
//   "reader"           an external reader on NFC-A comes and goes that selects the NDEF application
//                      and reads the emulated tag's container and the first bytes of its NDEF file.
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
#include "peers/remote_poller.h"
#include "peers/service_peer.h"
#include "peers/snep_peer.h"
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

// A peer that meets the host anew at each visit, its LLCP and services fresh.
struct SnepVisitor {
    static constexpr uint8_t kSnepSap = 4, kClientSap = 0x21;
    llcpsim::Peer peer{llcpsim::Role::Target};
    simpeers::SnepServerPeer server{kSnepSap, simpeers::SnepServerPeer::Kind::Default};
    simpeers::SnepClientPeer client{kClientSap};
    std::shared_ptr<simtags::NfcDepTarget> target;

    SnepVisitor() {
        // "Lumaro NFC" in English and https://example.org.
        const simtags::Bytes poster = {0xD1, 0x02, 0x21, 'S', 'p', 0x91, 0x01, 0x0D, 'T', 0x02, 'e', 'n', 'L',
                                       'u',  'm',  'a',  'r', 'o', ' ',  'N',  'F',  'C', 0x51, 0x01, 0x0C, 'U',
                                       0x04, 'e',  'x',  'a', 'm', 'p',  'l',  'e',  '.', 'o',  'r',  'g'};
        peer.listen(kSnepSap, "urn:nfc:sn:snep", 2);
        client.put(peer, poster);
        target = std::make_shared<simtags::NfcDepTarget>(peer.activationBytes());
        target->onFrame = simpeers::carry(peer, {&server, &client});
    }
};

// A SNEP peer that comes and goes; each one is kept until the next comes, since the host's last
// frames may still reach it.
void visitBySnep(ncisim::NciSimulator& sim) {
    std::unique_ptr<SnepVisitor> visitor;
    bool inField = false;
    while (parentStillThere(kTagPeriodMs)) {
        if (inField) {
            sim.rf().leave(visitor->target);
        } else {
            sim.call([&](ncisim::Controller&) { visitor = std::make_unique<SnepVisitor>(); });
            sim.rf().enter(visitor->target);
        }
        inField = !inField;
    }
}

// A reader of a Type 4 tag that comes and goes: the NDEF application, the container and the
// first bytes of the NDEF file at each visit.
void visitByReader(ncisim::NciSimulator& sim) {
    bool inField = false;
    while (parentStillThere(kTagPeriodMs)) {
        if (inField) {
            sim.rf().departPoller();
        } else {
            auto reader = simpeers::RemotePoller::reader(simtags::Technology::A);
            reader->log.toSend = {{0x00, 0xA4, 0x04, 0x00, 0x07, 0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x01, 0x00},
                                  {0x00, 0xA4, 0x00, 0x0C, 0x02, 0xE1, 0x03},
                                  {0x00, 0xB0, 0x00, 0x00, 0x0F},
                                  {0x00, 0xA4, 0x00, 0x0C, 0x02, 0xE1, 0x04},
                                  {0x00, 0xB0, 0x00, 0x00, 0x40}};
            sim.rf().approach(reader);
        }
        inField = !inField;
    }
}

int main(int argc, char** argv) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    const char* scenario = argc > 1 ? argv[1] : "type2";
    const auto is = [scenario](const char* name) { return std::strcmp(scenario, name) == 0; };
    if (!is("type2") && !is("mifare") && !is("p2p") && !is("snep") && !is("reader")) {
        std::fprintf(stderr, "unknown scenario '%s': type2, mifare, p2p, snep or reader\n", scenario);
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
    else if (is("snep"))
        visitBySnep(sim);
    else if (is("reader"))
        visitByReader(sim);
    else
        meetPeer(sim);
    sim.stop();
    return 0;
}
