// The host's end of a pseudo-terminal for tests that speak to a simulated device directly:
// opens the slave side as a serial port would be opened (raw), writes bytes and reads them back
// with bounded waits.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class PtyHost {
public:
    explicit PtyHost(const std::string& slavePath);
    ~PtyHost();
    PtyHost(const PtyHost&) = delete;
    PtyHost& operator=(const PtyHost&) = delete;

    bool ok() const { return fd_ >= 0; }
    bool write(const std::vector<uint8_t>& bytes);
    // What arrives within timeoutMs, stopping once `want` bytes are in (0: whatever the first
    // arrival brings). Bytes beyond `want` stay for the next read.
    std::vector<uint8_t> read(uint32_t timeoutMs, size_t want = 0);
    // One NCI-style packet: 3 header bytes, then as many as byte 2 announces.
    std::vector<uint8_t> packet(uint32_t timeoutMs = 2000);
    bool hungUp() const { return hungUp_; }   // the other side closed the line

private:
    int fd_ = -1;
    bool hungUp_ = false;
    std::vector<uint8_t> pending_;
};
