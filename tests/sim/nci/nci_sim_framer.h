// The controller's side of the serial line: cuts the byte stream into NCI packets (with the
// optional one-byte prefix some controllers put before every packet) and puts segmented
// messages back together.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "nci/nci_sim_message.h"

namespace ncisim {

constexpr uint8_t FRAME_PREFIX = 0x10;
constexpr size_t MAX_MESSAGE_SIZE = 64 * 1024;   // bound of reassembly; an endless PBF stream is refused

// Bytes -> whole packets (header and payload).
class PacketSplitter {
public:
    explicit PacketSplitter(bool prefix) : prefix_(prefix) {}
    // Calls onPacket for every packet completed by these bytes.
    void feed(const uint8_t* bytes, size_t n, const std::function<void(std::vector<uint8_t>)>& onPacket);
    size_t droppedBytes() const { return dropped_; }   // bytes that broke the prefix

private:
    bool prefix_;
    bool prefixSeen_ = false;
    std::vector<uint8_t> packet_;
    size_t dropped_ = 0;
};

// Packets -> messages. Control segments cannot interleave with another control message; data
// segments are put together per connection.
class Reassembler {
public:
    // Returns true and fills message when the packet completes one. A broken sequence or an
    // oversized message is described in *violation (the partial message is dropped).
    bool add(const std::vector<uint8_t>& packet, NciMessage& message, std::string* violation);
    // Forgets the partial data message of a connection.
    void drop(uint8_t connId) { pending_.erase(connId); }

private:
    std::map<int, NciMessage> pending_;   // -1: control, else connection id
};

} // namespace ncisim
