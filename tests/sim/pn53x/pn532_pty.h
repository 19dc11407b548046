// The simulated PN532 on the master side of a pseudo-terminal: one thread reads what the host
// writes to portPath(), feeds it to the framing core and writes the answer back.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "pn53x/pn532_sim.h"
#include "pty_pair.h"

namespace pn53xsim {

class Pn532PtySim {
public:
    Pn532PtySim();
    ~Pn532PtySim();
    Pn532PtySim(const Pn532PtySim&) = delete;
    Pn532PtySim& operator=(const Pn532PtySim&) = delete;

    bool ok() const { return running_; }
    const std::string& portPath() const { return pty_.slavePath(); }
    Pn532Sim& sim() { return sim_; }
    // Answers are written in pieces of at most this many bytes (0: whole).
    void setChunk(size_t bytes) { chunk_ = bytes; }
    void stop();                // joins the thread once; the destructor does it too

private:
    void run();

    PtyPair pty_;
    int keeper_ = -1;           // a slave descriptor held open so the master never sees EIO between opens
    Pn532Sim sim_;
    std::atomic<size_t> chunk_{0};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> running_{false};
    std::thread thread_;
};

}  // namespace pn53xsim
