// A pseudo-terminal pair for tests: the library opens the slave path as its serial port, the
// test (or a simulated controller) speaks on the master side.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class PtyPair {
public:
    PtyPair();                      // opens the pair; the master is raw and non-blocking
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return master_ >= 0; }
    const std::string& slavePath() const { return slavePath_; }
    int masterFd() const { return master_; }

    // Writes every byte to the master; false on error (for example after hangUp).
    bool write(const std::vector<uint8_t>& bytes);
    // Reads what arrives within timeoutMs (at least one byte, at most max); empty on time-out.
    std::vector<uint8_t> read(uint32_t timeoutMs, size_t max = 4096);
    // Reads exactly n bytes, waiting at most timeoutMs in all; returns fewer on time-out.
    std::vector<uint8_t> readExact(size_t n, uint32_t timeoutMs);
    // Closes the master: the slave side sees a hang-up, as when a USB adapter is pulled.
    void hangUp();

private:
    int master_ = -1;
    std::string slavePath_;
};
