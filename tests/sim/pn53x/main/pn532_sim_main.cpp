// The simulated PN532 as a program of its own: it prints the path of its pseudo-terminal and
// answers on it until its standard input closes.
#include <poll.h>
#include <unistd.h>

#include <cstdio>

#include "pn53x/pn532_pty.h"

int main() {
    pn53xsim::Pn532PtySim sim;
    if (!sim.ok()) {
        std::fprintf(stderr, "pn532_sim: no pseudo-terminal\n");
        return 1;
    }
    std::printf("%s\n", sim.portPath().c_str());
    std::fflush(stdout);
    char byte;
    for (;;) {
        pollfd p{STDIN_FILENO, POLLIN, 0};
        if (::poll(&p, 1, -1) < 0) break;
        if (::read(STDIN_FILENO, &byte, 1) <= 0) break;
    }
    sim.stop();
    return 0;
}
