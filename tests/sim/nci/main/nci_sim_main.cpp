// The simulated NCI controller as a program of its own, for running Lumaro without hardware: it
// prints the path of its pseudo-terminal, answers on it as the tests' simulator does, holds a
// UICC (switched off) and an embedded SE that answers APDUs, holds TOTAL_DURATION, which the I/O
// page's get-parameter request "01 00" reads, and lets a Type 2 tag enter and leave the field
// every few seconds. It ends when its standard input closes or its parent goes.
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <memory>

#include "nci/nci_simulator.h"
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

} // namespace

int main() {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    ncisim::NciSimulator sim(uiccAndEse());
    // The SWP wake-up the desktop program sends before it opens an SE.
    sim.onCommand(0x2F08, [](ncisim::Controller& c, const ncisim::NciMessage&) { c.respond(0x4F08, {0x00}); });
    std::printf("%s\n", sim.portPath().c_str());
    std::fflush(stdout);
    auto tag = std::make_shared<simtags::T2tTag>();
    bool inField = false;
    while (parentStillThere(kTagPeriodMs)) {
        if (inField)
            sim.rf().leave(tag);
        else
            sim.rf().enter(tag);
        inField = !inField;
    }
    sim.stop();
    return 0;
}
