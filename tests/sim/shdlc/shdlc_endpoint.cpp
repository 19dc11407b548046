#include "shdlc/shdlc_endpoint.h"

#include <termios.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "pty_pair.h"

namespace shdlcsim {

namespace {

constexpr uint8_t kFlag = 0x7E;
constexpr uint8_t kEscape = 0x7D;
// The reboot command a host may send between length-framed frames: its second byte is no control
// field, so it can never be the start of a frame.
constexpr uint8_t kRebootCommand[] = {0x66, 0x48, 0xF6};
constexpr uint8_t kRset = 0xF9;
constexpr uint8_t kUa = 0xE6;
constexpr uint8_t kRr = 0xC0;
constexpr uint8_t kRej = 0xC8;
constexpr uint8_t kRnr = 0xD0;

// The rates an RSET's rate code asks for.
struct RateCode {
    uint8_t code;
    uint32_t baud;
};
constexpr RateCode kRateCodes[] = {{0, 9600}, {5, 115200}, {6, 230400}, {7, 460800}};

struct LineSpeed {
    speed_t speed;
    uint32_t baud;
};
constexpr LineSpeed kSpeeds[] = {{B9600, 9600},     {B19200, 19200},   {B38400, 38400},
                                 {B57600, 57600},   {B115200, 115200}, {B230400, 230400},
                                 {B460800, 460800}, {B921600, 921600}};

bool isI(uint8_t c) { return (c & 0xC0) == 0x80; }
bool isS(uint8_t c) { return (c & 0xE0) == 0xC0; }

} // namespace

uint16_t fcsOf(const uint8_t* data, size_t n) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        uint8_t b = data[i];
        for (int bit = 0; bit < 8; ++bit, b >>= 1) {
            const bool mix = ((crc ^ b) & 1) != 0;
            crc >>= 1;
            if (mix) crc ^= 0x8408;
        }
    }
    return static_cast<uint16_t>(~crc);
}

Bytes encode(Framing framing, uint8_t control, const Bytes& payload, bool corruptFcs) {
    Bytes covered;
    covered.push_back(framing == Framing::flag ? 0x00 : static_cast<uint8_t>(payload.size() + 3));
    covered.push_back(control);
    covered.insert(covered.end(), payload.begin(), payload.end());
    uint16_t fcs = fcsOf(covered.data(), covered.size());
    if (corruptFcs) fcs ^= 0x0100;
    covered.push_back(static_cast<uint8_t>(fcs));
    covered.push_back(static_cast<uint8_t>(fcs >> 8));
    if (framing == Framing::length) return covered;
    Bytes out{kFlag};
    for (uint8_t b : covered) {
        if (b == kFlag || b == kEscape) {
            out.push_back(kEscape);
            b ^= 0x20;
        }
        out.push_back(b);
    }
    out.push_back(kFlag);
    return out;
}

std::string describe(uint8_t c) {
    char text[32];
    if (isI(c)) std::snprintf(text, sizeof text, "I(%d,%d)", (c >> 3) & 7, c & 7);
    else if ((c & 0xF8) == kRr) std::snprintf(text, sizeof text, "RR(%d)", c & 7);
    else if ((c & 0xF8) == kRej) std::snprintf(text, sizeof text, "REJ(%d)", c & 7);
    else if ((c & 0xF8) == kRnr) std::snprintf(text, sizeof text, "RNR(%d)", c & 7);
    else if (c == kRset) std::snprintf(text, sizeof text, "RSET");
    else if (c == kUa) std::snprintf(text, sizeof text, "UA");
    else std::snprintf(text, sizeof text, "?%02X", c);
    return text;
}

ShdlcEndpoint::ShdlcEndpoint(Framing framing, uint32_t window) : framing_(framing), window_(window) {}

void ShdlcEndpoint::setSink(Sink sink) {
    std::lock_guard<std::mutex> lock(m_);
    sink_ = std::move(sink);
}

void ShdlcEndpoint::setReceiver(Sink receiver) {
    std::lock_guard<std::mutex> lock(m_);
    receiver_ = std::move(receiver);
}

void ShdlcEndpoint::setFraming(Framing framing) {
    std::lock_guard<std::mutex> lock(m_);
    framing_ = framing;
}

void ShdlcEndpoint::setLineRate(uint32_t baud) { lineRate_ = sendingRate_ = baud; }
uint32_t ShdlcEndpoint::lineRate() const { return lineRate_.load(); }
uint32_t ShdlcEndpoint::sendingRate() const { return sendingRate_.load(); }

void ShdlcEndpoint::flush() {
    std::lock_guard<std::mutex> order(sinkOrder_);
    std::vector<Outgoing> out;
    Sink sink;
    {
        std::lock_guard<std::mutex> lock(m_);
        out.swap(outbox_);
        sink = sink_;
    }
    for (const Outgoing& o : out) {
        sendingRate_ = lineRate_.load();
        // Switched before the frame is out: whatever the library sends once it has read it
        // finds the controller at the new rate.
        if (o.rateAfter) lineRate_ = o.rateAfter;
        if (sink) sink(o.bytes);
    }
}

void ShdlcEndpoint::feed(const uint8_t* bytes, size_t n) {
    std::vector<Bytes> delivered;
    Sink receiver;
    {
        std::lock_guard<std::mutex> lock(m_);
        for (size_t i = 0; i < n; ++i) framerByte(bytes[i]);
        delivered.swap(delivered_);
        receiver = receiver_;
    }
    notifyChange();
    flush();
    if (receiver)
        for (const Bytes& payload : delivered) receiver(payload);
}

void ShdlcEndpoint::notifyChange() {
    { std::lock_guard<std::mutex> wake(waitLock_); }
    changed_.notify_all();
}

void ShdlcEndpoint::framerByte(uint8_t b) {
    if (framing_ == Framing::length) {
        rx_.push_back(b);
        if (rx_.size() <= sizeof kRebootCommand && std::equal(rx_.begin(), rx_.end(), kRebootCommand)) {
            if (rx_.size() == sizeof kRebootCommand) rx_.clear();
            return;
        }
        if (rx_.size() == size_t{rx_[0]} + 1u) {
            Bytes frame;
            frame.swap(rx_);
            if (frame.size() >= 4) onCovered(frame);
            else ++bad_;
        }
        return;
    }
    if (b == kFlag) {
        if (inFrame_ && !escape_ && rx_.size() >= 4) onCovered(rx_);
        else if (inFrame_ && !rx_.empty()) ++bad_;
        rx_.clear();
        inFrame_ = true;
        escape_ = false;
        return;
    }
    if (!inFrame_) return;
    if (b == kEscape) {
        escape_ = true;
        return;
    }
    if (escape_) {
        b ^= 0x20;
        escape_ = false;
    }
    rx_.push_back(b);
}

void ShdlcEndpoint::onCovered(const Bytes& covered) {
    Frame f;
    f.control = covered[1];
    const size_t body = covered.size() - 2;
    f.payload.assign(covered.begin() + 2, covered.begin() + static_cast<long>(body));
    const uint16_t fcs = static_cast<uint16_t>(covered[body] | covered[body + 1] << 8);
    f.fcsGood = fcsOf(covered.data(), body) == fcs;
    incoming_.push_back(f);
    if (!f.fcsGood || (framing_ == Framing::flag && covered[0] != 0)) {
        ++bad_;
        return;
    }
    if (dropIn_) {
        --dropIn_;
        return;
    }
    if (silent_) return;
    const uint8_t c = f.control;
    if (c == kRset) {
        ++rsets_;
        if (!answerRset_) return;
        // The link starts again: frames the library never confirmed go out again from 0.
        for (auto it = unacked_.rbegin(); it != unacked_.rend(); ++it) waiting_.push_front(*it);
        unacked_.clear();
        vs_ = vr_ = 0;
        rejSent_ = remoteBusy_ = false;
        if (!f.payload.empty() && f.payload[0] && f.payload[0] < window_) window_ = f.payload[0];
        linked_ = true;
        const size_t queued = outbox_.size();
        emitFrame(kUa, {});
        // The UA still goes at the old rate; everything after it at the one asked for.
        if (f.payload.size() >= 3 && outbox_.size() > queued) {
            for (const RateCode& r : kRateCodes)
                if (r.code == f.payload[2]) outbox_.back().rateAfter = r.baud;
        }
        pump();
    } else if (c == kUa) {
        vs_ = vr_ = 0;
        linked_ = true;
        pump();
    } else if (isI(c)) {
        onIFrame((c >> 3) & 7, c & 7, f.payload);
    } else if (isS(c)) {
        acknowledge(c & 7);
        if ((c & 0xF8) == kRej) {
            remoteBusy_ = false;
            resendLocked();
        } else {
            remoteBusy_ = (c & 0xF8) == kRnr;
            pump();
        }
    }
}

void ShdlcEndpoint::onIFrame(uint8_t ns, uint8_t nr, const Bytes& payload) {
    acknowledge(nr);
    if (ns == vr_) {
        received_.push_back(payload);
        if (receiver_) delivered_.push_back(payload);
        vr_ = (vr_ + 1) & 7;
        rejSent_ = false;
        const bool piggyback = !busy_ && !remoteBusy_ && !waiting_.empty() && unacked_.size() < window_;
        if (piggyback) pump();
        else emitFrame(static_cast<uint8_t>((busy_ ? kRnr : kRr) | vr_), {});
        return;
    }
    // A frame ahead of V(R) means some went missing: one REJ per gap. A frame behind it is a
    // retransmission of one already taken: confirm again.
    const bool ahead = ((ns - vr_) & 7) < 4;
    if (!ahead) {
        emitFrame(static_cast<uint8_t>((busy_ ? kRnr : kRr) | vr_), {});
    } else if (!rejSent_) {
        rejSent_ = true;
        emitFrame(static_cast<uint8_t>(kRej | vr_), {});
    }
}

void ShdlcEndpoint::acknowledge(uint8_t nr) {
    const uint8_t oldest = static_cast<uint8_t>((vs_ - unacked_.size()) & 7);
    const size_t n = (nr - oldest) & 7;
    if (n > unacked_.size()) return;
    for (size_t i = 0; i < n; ++i) unacked_.pop_front();
}

void ShdlcEndpoint::pump() {
    while (linked_ && !remoteBusy_ && !waiting_.empty() && unacked_.size() < window_) {
        unacked_.push_back(waiting_.front());
        waiting_.pop_front();
        emitFrame(static_cast<uint8_t>(0x80 | vs_ << 3 | vr_), unacked_.back());
        vs_ = (vs_ + 1) & 7;
    }
}

void ShdlcEndpoint::resendLocked() {
    vs_ = static_cast<uint8_t>((vs_ - unacked_.size()) & 7);
    for (const Bytes& payload : unacked_) {
        emitFrame(static_cast<uint8_t>(0x80 | vs_ << 3 | vr_), payload);
        vs_ = (vs_ + 1) & 7;
    }
}

void ShdlcEndpoint::emitFrame(uint8_t control, const Bytes& payload) {
    if (dropOut_) {
        --dropOut_;
        return;
    }
    const bool corrupt = corrupt_ > 0;
    if (corrupt) --corrupt_;
    const Bytes bytes = encode(framing_, control, payload, corrupt);
    const uint32_t copies = 1 + repeat_;
    repeat_ = 0;
    for (uint32_t i = 0; i < copies; ++i) outbox_.push_back({bytes, 0});
}

template <typename F>
void ShdlcEndpoint::act(F&& f) {
    {
        std::lock_guard<std::mutex> lock(m_);
        f();
    }
    notifyChange();
    flush();
}

void ShdlcEndpoint::send(const Bytes& payload) {
    act([&] {
        waiting_.push_back(payload);
        pump();
    });
}
void ShdlcEndpoint::resendUnacknowledged() {
    act([&] { resendLocked(); });
}
void ShdlcEndpoint::sendRset(uint8_t window) {
    act([&] {
        linked_ = false;
        emitFrame(kRset, {window, 0});
    });
}
void ShdlcEndpoint::sendRaw(const Bytes& bytes) {
    act([&] { outbox_.push_back({bytes, 0}); });
}
void ShdlcEndpoint::sendSFrame(uint8_t kind) {
    act([&] { emitFrame(static_cast<uint8_t>(kind | vr_), {}); });
}
void ShdlcEndpoint::dropNextOutgoing(uint32_t n) {
    act([&] { dropOut_ = n; });
}
void ShdlcEndpoint::dropNextIncoming(uint32_t n) {
    act([&] { dropIn_ = n; });
}
void ShdlcEndpoint::corruptNextFcs(uint32_t n) {
    act([&] { corrupt_ = n; });
}
void ShdlcEndpoint::repeatNextOutgoing(uint32_t times) {
    act([&] { repeat_ = times; });
}
void ShdlcEndpoint::setBusy(bool busy) {
    act([&] { busy_ = busy; });
}
void ShdlcEndpoint::setSilent(bool silent) {
    act([&] { silent_ = silent; });
}
void ShdlcEndpoint::setAnswerRset(bool answer) {
    act([&] { answerRset_ = answer; });
}

std::vector<Bytes> ShdlcEndpoint::received() const {
    std::lock_guard<std::mutex> lock(m_);
    return received_;
}
std::vector<Frame> ShdlcEndpoint::incoming() const {
    std::lock_guard<std::mutex> lock(m_);
    return incoming_;
}
uint32_t ShdlcEndpoint::rsetCount() const {
    std::lock_guard<std::mutex> lock(m_);
    return rsets_;
}
uint32_t ShdlcEndpoint::badFrames() const {
    std::lock_guard<std::mutex> lock(m_);
    return bad_;
}
uint32_t ShdlcEndpoint::unacknowledged() const {
    std::lock_guard<std::mutex> lock(m_);
    return static_cast<uint32_t>(unacked_.size() + waiting_.size());
}

bool ShdlcEndpoint::waitFor(const std::function<bool(const ShdlcEndpoint&)>& pred, uint32_t timeoutMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(waitLock_);
    while (!pred(*this)) {
        if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) return pred(*this);
    }
    return true;
}

ShdlcPtyEndpoint::ShdlcPtyEndpoint(PtyPair& pty, ShdlcEndpoint& endpoint) : pty_(pty), endpoint_(endpoint) {
    endpoint_.setSink([this](const Bytes& bytes) {
        if (ratesMatch(endpoint_.sendingRate(), bytes.size())) pty_.write(bytes);
    });
    reader_ = std::thread([this] {
        while (!stop_.load()) {
            const Bytes bytes = pty_.read(10);
            if (!bytes.empty() && ratesMatch(endpoint_.lineRate(), bytes.size())) endpoint_.feed(bytes.data(), bytes.size());
        }
    });
}

// The master side reads the line settings of the slave, which the library set.
uint32_t ShdlcPtyEndpoint::hostRate() const {
    termios tio{};
    if (tcgetattr(pty_.masterFd(), &tio) != 0) return 0;
    const speed_t speed = cfgetospeed(&tio);
    for (const LineSpeed& s : kSpeeds)
        if (s.speed == speed) return s.baud;
    return 0;
}

bool ShdlcPtyEndpoint::ratesMatch(uint32_t controllerRate, size_t bytes) {
    if (hostRate() == controllerRate) return true;
    lineErrors_ += static_cast<uint32_t>(bytes);
    return false;
}

ShdlcPtyEndpoint::~ShdlcPtyEndpoint() {
    stop_ = true;
    reader_.join();
    endpoint_.setSink(nullptr);
}

} // namespace shdlcsim
