// The controller's end of an SHDLC link (ETSI TS 102 613), with framing and frame check of its
// own: it answers RSET with UA, takes I-frames in sequence and acknowledges them, sends its own
// I-frames within its window, and injects faults on request. An RSET that carries a rate code
// moves the controller's line to that rate once its UA is out, as a controller that honours the
// change does. Bytes leave through a sink, so the endpoint runs in-process or behind a
// pseudo-terminal (ShdlcPtyEndpoint), where the line's rate counts.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class PtyPair;

namespace shdlcsim {

using Bytes = std::vector<uint8_t>;

enum class Framing { flag, length };

// One frame as the endpoint saw or sent it, for the tests' checks.
struct Frame {
    uint8_t control = 0;
    Bytes payload;          // information field (RSET: window, SREJ byte, optional rate)
    bool fcsGood = true;
};

uint16_t fcsOf(const uint8_t* data, size_t n);              // the endpoint's own CRC-16/X.25
Bytes encode(Framing framing, uint8_t control, const Bytes& payload, bool corruptFcs = false);
std::string describe(uint8_t control);                       // "I(ns,nr)", "RR(nr)", "RSET", ...

class ShdlcEndpoint {
public:
    using Sink = std::function<void(const Bytes&)>;
    explicit ShdlcEndpoint(Framing framing, uint32_t window = 2);

    void setSink(Sink sink);
    // Each in-sequence I-frame's payload, outside the endpoint's lock (the receiver may send).
    void setReceiver(Sink receiver);
    void setFraming(Framing framing);   // before the first byte crosses
    void setLineRate(uint32_t baud);    // the controller's rate before any change (115200)
    uint32_t lineRate() const;          // the rate the controller listens at
    uint32_t sendingRate() const;       // the rate of the frame the sink is given
    // Bytes from the library's side.
    void feed(const uint8_t* bytes, size_t n);

    // Queues an I-frame of the endpoint; it leaves as soon as the window allows.
    void send(const Bytes& payload);
    // Sends every unacknowledged I-frame of the endpoint again (its retransmission timer).
    void resendUnacknowledged();
    void sendRset(uint8_t window = 2);
    void sendRaw(const Bytes& bytes);
    void sendSFrame(uint8_t kind);   // 0xC0 RR, 0xC8 REJ, 0xD0 RNR, with the endpoint's V(R)

    // Faults.
    void dropNextOutgoing(uint32_t n);        // frames the endpoint would send vanish
    void dropNextIncoming(uint32_t n);        // frames from the library are ignored (not acknowledged)
    void corruptNextFcs(uint32_t n);          // outgoing frames carry a wrong FCS
    void repeatNextOutgoing(uint32_t times);  // the next outgoing frame goes out 1 + times
    void setBusy(bool busy);                  // answers RNR instead of RR
    void setSilent(bool silent);              // answers nothing
    void setAnswerRset(bool answer);          // RSET gets UA

    // What the endpoint received.
    std::vector<Bytes> received() const;                  // payloads of in-sequence I-frames
    std::vector<Frame> incoming() const;                  // every frame from the library
    uint32_t rsetCount() const;
    uint32_t badFrames() const;                           // bad FCS or framing from the library
    uint32_t unacknowledged() const;
    // Waits until pred holds (checked at every change), at most timeoutMs.
    bool waitFor(const std::function<bool(const ShdlcEndpoint&)>& pred, uint32_t timeoutMs) const;

private:
    template <typename F>
    void act(F&& f);   // f under the lock, then waiters woken and the outbox sent
    void notifyChange();
    void flush();
    void framerByte(uint8_t b);
    void onCovered(const Bytes& covered);
    void onIFrame(uint8_t ns, uint8_t nr, const Bytes& payload);
    void acknowledge(uint8_t nr);
    void pump();
    void resendLocked();
    void emitFrame(uint8_t control, const Bytes& payload);

    Framing framing_;
    uint32_t window_;
    Sink sink_;
    Sink receiver_;
    std::vector<Bytes> delivered_;   // accepted under m_, handed to the receiver after it
    mutable std::mutex m_;
    mutable std::mutex waitLock_;
    mutable std::condition_variable changed_;
    std::mutex sinkOrder_;        // frames reach the sink in the order they were made
    // Made under m_, sent after it is released. A frame with a rate after it moves the line to
    // that rate as it leaves: it still goes at the old one, nothing after it does.
    struct Outgoing {
        Bytes bytes;
        uint32_t rateAfter = 0;
    };
    std::vector<Outgoing> outbox_;
    std::atomic<uint32_t> lineRate_{115200};
    std::atomic<uint32_t> sendingRate_{115200};
    // Receive state of the framer.
    Bytes rx_;
    bool inFrame_ = false;
    bool escape_ = false;
    // Link state.
    bool linked_ = false;
    uint8_t vs_ = 0, vr_ = 0, ackedUpTo_ = 0;
    std::deque<Bytes> waiting_;
    std::deque<Bytes> unacked_;
    bool rejSent_ = false;
    bool remoteBusy_ = false;
    // Faults.
    uint32_t dropOut_ = 0, dropIn_ = 0, corrupt_ = 0, repeat_ = 0;
    bool busy_ = false, silent_ = false, answerRset_ = true;
    // Record.
    std::vector<Bytes> received_;
    std::vector<Frame> incoming_;
    uint32_t rsets_ = 0, bad_ = 0;
};

// The endpoint behind the master side of a pseudo-terminal: a reader thread feeds it what the
// library writes on the slave side. Bytes cross only while the library's port (the slave's
// line settings) runs at the controller's rate; at any other rate a UART sees nothing but
// framing errors, so those bytes are lost both ways and counted.
class ShdlcPtyEndpoint {
public:
    ShdlcPtyEndpoint(PtyPair& pty, ShdlcEndpoint& endpoint);
    ~ShdlcPtyEndpoint();

    uint32_t hostRate() const;                  // the rate the library set its port to
    uint32_t lineErrors() const { return lineErrors_.load(); }   // bytes lost to a rate mismatch

private:
    bool ratesMatch(uint32_t controllerRate, size_t bytes);
    PtyPair& pty_;
    ShdlcEndpoint& endpoint_;
    std::atomic<bool> stop_{false};
    std::atomic<uint32_t> lineErrors_{0};
    std::thread reader_;
};

} // namespace shdlcsim
