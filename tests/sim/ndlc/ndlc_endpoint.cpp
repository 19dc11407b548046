#include "ndlc/ndlc_endpoint.h"

#include <algorithm>

#include "shdlc/shdlc_endpoint.h"

namespace ndlcsim {

namespace {

constexpr uint8_t kData = 0x80, kFirst = 0x04, kCrc = 0x08, kSupervisor = 0xC0, kSuperFirst = 0x02;
constexpr uint8_t kKindMask = 0x30, kAck = 0x20, kNack = 0x10, kWait = 0x30;

Bytes withCrc(Bytes frame) {
    const uint16_t crc = shdlcsim::fcsOf(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

bool crcGood(const uint8_t* frame, size_t n) {
    if (n < 3) return false;
    const uint16_t crc = shdlcsim::fcsOf(frame, n - 2);
    return frame[n - 2] == static_cast<uint8_t>(crc) && frame[n - 1] == static_cast<uint8_t>(crc >> 8);
}

}  // namespace

Bytes dataFrame(const Bytes& packet, bool first) {
    Bytes f{static_cast<uint8_t>(kData | kCrc | (first ? kFirst : 0))};
    f.insert(f.end(), packet.begin(), packet.end());
    return withCrc(f);
}

Bytes supervisorFrame(uint8_t kind) { return withCrc({static_cast<uint8_t>(kSupervisor | kCrc | kSuperFirst | kind), 0x00}); }

NdlcEndpoint::NdlcEndpoint(Sink toHost, PacketSink fromHost) : toHost_(std::move(toHost)), fromHost_(std::move(fromHost)) {}

void NdlcEndpoint::feed(const uint8_t* frame, size_t n) {
    Bytes packet;
    {
        std::lock_guard<std::mutex> g(m_);
        if (n < 4 || frame[0] < kData) return;
        if (!crcGood(frame, n)) {
            toHost_(supervisorFrame(kNack));
            return;
        }
        if (frame[0] < kSupervisor) {
            if (waitNext_ && (frame[0] & kFirst)) {
                --waitNext_;
                toHost_(supervisorFrame(kWait));
                return;
            }
            toHost_(supervisorFrame(kAck));
            if (outstanding_) crossed_ = true;
            const Bytes f(frame, frame + n);
            const bool repeat = !(frame[0] & kFirst) && f.size() == last_.size() &&
                                std::equal(f.begin() + 1, f.end() - 2, last_.begin() + 1);
            if (repeat) return;
            last_ = f;
            packet.assign(frame + 1, frame + n - 2);
            packets_.push_back(packet);
        } else if ((frame[0] & kKindMask) == kNack && outstanding_) {
            Bytes again = inFlight_;
            again[0] &= static_cast<uint8_t>(~kFirst);
            toHost_(withCrc(Bytes(again.begin(), again.end() - 2)));
            return;
        } else if ((frame[0] & kKindMask) == kAck) {
            if (!outstanding_) return;
            // The host acknowledged from IDLE and now waits for our acknowledgement in turn.
            if (!crossed_) toHost_(supervisorFrame(kAck));
            outstanding_ = crossed_ = false;
            sendNextLocked();
            return;
        } else {
            return;
        }
    }
    fromHost_(packet);
}

void NdlcEndpoint::send(const Bytes& packet) {
    std::lock_guard<std::mutex> g(m_);
    outgoing_.push_back(packet);
    if (!outstanding_) sendNextLocked();
}

void NdlcEndpoint::waitOnNext(uint32_t n) {
    std::lock_guard<std::mutex> g(m_);
    waitNext_ = n;
}

size_t NdlcEndpoint::packetsFromHost() const {
    std::lock_guard<std::mutex> g(m_);
    return packets_.size();
}

std::vector<Bytes> NdlcEndpoint::packets() const {
    std::lock_guard<std::mutex> g(m_);
    return packets_;
}

void NdlcEndpoint::sendNextLocked() {
    if (outgoing_.empty()) return;
    inFlight_ = dataFrame(outgoing_.front());
    outgoing_.pop_front();
    outstanding_ = true;
    toHost_(inFlight_);
}

}  // namespace ndlcsim
