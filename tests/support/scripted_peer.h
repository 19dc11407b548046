// A peer on the master side of a pseudo-terminal that plays a script on its own thread: it
// expects bytes from the other end and sends bytes to it, in the order of the steps.
#pragma once

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "pty_pair.h"

class ScriptedPeer {
public:
    struct Step {
        bool send;                   // false: expect these bytes, in this order
        std::vector<uint8_t> bytes;
    };
    static Step expect(std::vector<uint8_t> bytes) { return {false, std::move(bytes)}; }
    static Step send(std::vector<uint8_t> bytes) { return {true, std::move(bytes)}; }

    // Starts the script at once; each expected step may take at most stepTimeoutMs.
    ScriptedPeer(PtyPair& pty, std::vector<Step> script, uint32_t stepTimeoutMs = 5000);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    // Waits for the end of the script: empty when every step went as written, else what differed.
    std::string wait();

private:
    void run();

    PtyPair& pty_;
    std::vector<Step> script_;
    uint32_t stepTimeoutMs_;
    std::string result_;
    std::thread thread_;
};
