// The controller's end of an NDLC link in full mode (every frame with its CRC-16/X.25, every
// frame acknowledged): the host's data frames are acknowledged and their NCI packets handed on,
// the controller's packets leave one data frame at a time, each once the host acknowledged the
// one before. Bytes leave through a sink, so the endpoint sits behind any fake bus.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace ndlcsim {

using Bytes = std::vector<uint8_t>;

Bytes dataFrame(const Bytes& packet, bool first = true);
Bytes supervisorFrame(uint8_t kind);   // 0x20 ACK, 0x10 NACK, 0x30 WAIT

class NdlcEndpoint {
public:
    using Sink = std::function<void(const Bytes&)>;          // one frame for the host to read
    using PacketSink = std::function<void(const Bytes&)>;    // an NCI packet the host sent

    NdlcEndpoint(Sink toHost, PacketSink fromHost);

    // A frame the host wrote to the bus.
    void feed(const uint8_t* frame, size_t n);
    // Sends an NCI packet of the controller as soon as the link allows.
    void send(const Bytes& packet);
    // A busy controller: the next n data frames the host sends for the first time are answered
    // WAIT and not taken; the host's retransmission of each is.
    void waitOnNext(uint32_t n);
    size_t packetsFromHost() const;
    std::vector<Bytes> packets() const;   // the host's NCI packets taken, in order

private:
    void sendNextLocked();

    mutable std::mutex m_;
    Sink toHost_;
    PacketSink fromHost_;
    std::deque<Bytes> outgoing_;
    Bytes last_;                // the host's last data frame taken, for its repeats
    bool outstanding_ = false;  // a data frame of ours waits for the host's ACK
    bool crossed_ = false;      // the host sent data before it read ours: its ACK wants none back
    Bytes inFlight_;            // our unacknowledged data frame, for a NACK
    uint32_t waitNext_ = 0;
    std::vector<Bytes> packets_;
};

}  // namespace ndlcsim
