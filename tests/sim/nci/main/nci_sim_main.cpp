// The simulated NCI controller as a program of its own, for running Lumaro without hardware: it
// prints the path of its pseudo-terminal, answers on it as the tests' simulator does, holds a
// UICC (switched off) and an embedded SE that answers APDUs, holds TOTAL_DURATION, which the I/O
// page's get-parameter request "01 00" reads, and every few seconds lets one visitor after the
// other come and go: a Type 2 tag; an NFC-DEP target whose SNEP client puts a Smart Poster and
// whose default SNEP server takes what the host pushes; an external reader on NFC-A that reads
// the emulated tag's container and NDEF file. It ends when its standard input closes or its
// parent goes.
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <memory>

#include "llcp/llcp_peer.h"
#include "nci/nci_simulator.h"
#include "peers/remote_poller.h"
#include "peers/service_peer.h"
#include "peers/snep_peer.h"
#include "tags/nfc_dep_target.h"
#include "tags/t2t_tag.h"

namespace {

constexpr int kTagPeriodMs = 4000;

// False once the parent closed our input.
bool parentStillThere(int timeoutMs) {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    const int ready = ::poll(&p, 1, timeoutMs);
    if (ready < 0) return false;
    if (ready == 0) return true;
    char byte;
    return ::read(STDIN_FILENO, &byte, 1) > 0;
}

ncisim::NciIdentity uiccAndEse() {
    ncisim::NciIdentity id = ncisim::NciIdentity::withDefaultParameters();
    ncisim::NfceeInfo uicc;
    uicc.id = 0x02;
    uicc.status = 0x01;
    ncisim::NfceeInfo ese;
    ese.id = 0x10;
    id.nfcees = {uicc, ese};
    return id;
}

// A peer that meets the host anew at each visit, its LLCP and services fresh.
struct P2pVisitor {
    static constexpr uint8_t kSnepSap = 4, kClientSap = 0x21;
    llcpsim::Peer peer{llcpsim::Role::Target};
    simpeers::SnepServerPeer server{kSnepSap, simpeers::SnepServerPeer::Kind::Default};
    simpeers::SnepClientPeer client{kClientSap};
    std::shared_ptr<simtags::NfcDepTarget> target;

    P2pVisitor() {
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

// A reader of a Type 4 tag: the NDEF application, the container and the file's first bytes.
simpeers::PollerPtr type4Reader() {
    auto reader = simpeers::RemotePoller::reader(simtags::Technology::A);
    reader->log.toSend = {{0x00, 0xA4, 0x04, 0x00, 0x07, 0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x01, 0x00},
                          {0x00, 0xA4, 0x00, 0x0C, 0x02, 0xE1, 0x03},
                          {0x00, 0xB0, 0x00, 0x00, 0x0F},
                          {0x00, 0xA4, 0x00, 0x0C, 0x02, 0xE1, 0x04},
                          {0x00, 0xB0, 0x00, 0x00, 0x40}};
    return reader;
}

} // namespace

int main() {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    ncisim::NciSimulator sim(uiccAndEse());
    // The SWP wake-up the desktop program sends before it opens an SE.
    sim.onCommand(0x2F08, [](ncisim::Controller& c, const ncisim::NciMessage&) { c.respond(0x4F08, {0x00}); });
    std::printf("%s\n", sim.portPath().c_str());
    std::fflush(stdout);
    auto tag = std::make_shared<simtags::T2tTag>();
    std::unique_ptr<P2pVisitor> p2p;   // kept until the next one: the host's last frames reach it
    enum Visit { tagVisit, p2pVisit, readerVisit, visits };
    int visit = 0;
    bool inField = false;
    while (parentStillThere(kTagPeriodMs)) {
        if (inField) {
            switch (visit) {
            case tagVisit: sim.rf().leave(tag); break;
            case p2pVisit: sim.rf().leave(p2p->target); break;
            default: sim.rf().departPoller(); break;
            }
            visit = (visit + 1) % visits;
        } else {
            switch (visit) {
            case tagVisit: sim.rf().enter(tag); break;
            case p2pVisit:
                sim.call([&](ncisim::Controller&) { p2p = std::make_unique<P2pVisitor>(); });
                sim.rf().enter(p2p->target);
                break;
            default: sim.rf().approach(type4Reader()); break;
            }
        }
        inField = !inField;
    }
    sim.stop();
    return 0;
}
