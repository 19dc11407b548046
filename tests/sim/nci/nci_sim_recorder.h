// What the simulated controller saw and sent, shared between its thread and the test: every
// packet both ways with its time, every whole message received, and every breach of the
// protocol by the host. Waits are bounded by the caller's time-out.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "nci/nci_sim_message.h"

namespace ncisim {

enum class Direction { FromHost, ToHost };

struct PacketRecord {
    Direction direction;
    uint32_t ms;                 // since the simulator started
    std::vector<uint8_t> bytes;  // as on the line, without the frame prefix
};

class Recorder {
public:
    Recorder() : start_(std::chrono::steady_clock::now()) {}

    void packet(Direction d, const std::vector<uint8_t>& bytes);
    void received(const NciMessage& message);
    void violation(const std::string& text);

    std::vector<NciMessage> received() const;
    std::vector<uint16_t> commandOpcodes() const;
    // The n-th command received (0-based), waiting at most timeoutMs for it.
    std::optional<NciMessage> waitForCommand(size_t n, uint32_t timeoutMs) const;
    // Waits at most timeoutMs until n commands with this opcode have been received.
    bool waitForCommands(uint16_t opcode, size_t n, uint32_t timeoutMs) const;
    std::vector<PacketRecord> packets() const;
    // Waits at most timeoutMs until n packets (both ways) have been seen.
    bool waitForPackets(size_t n, uint32_t timeoutMs) const;
    // Waits at most timeoutMs until a message from the host matches.
    bool waitForReceived(const std::function<bool(const NciMessage&)>& match, uint32_t timeoutMs) const;
    std::vector<std::string> violations() const;
    std::string describe() const;   // the packet log, one line per packet

private:
    std::vector<NciMessage> commandsLocked() const;

    const std::chrono::steady_clock::time_point start_;
    mutable std::mutex m_;
    mutable std::condition_variable changed_;
    std::vector<PacketRecord> packets_;
    std::vector<NciMessage> received_;
    std::vector<std::string> violations_;
};

} // namespace ncisim
