// A simulated PN532 framing core, written from the controller's public frame and command
// definitions: it reads host frames (normal start or the wake-up start), checks LCS, DCS and the
// postamble, answers an ACK and then the command's answer, and drops a pending answer when the
// host sends an ACK of its own. Bytes in, bytes out: the caller carries them over any link.
//
// As reader it carries a field with at most one tag of the shared tag models: InListPassiveTarget
// answers with the tag's target data (or waits, after its ACK, until a tag of the asked kind
// enters; the host's ACK or next command ends the wait), InDataExchange hands the bytes after the
// target number to the tag and answers its status byte and the tag's answer, InSelect and
// InRelease answer for the one target. MIFARE Classic authentication comes in the controller's
// order (command, block, key, UID) and reaches the tag in the card's (command, block, UID, key).
// With an NFC-DEP target in the field, InJumpForDEP answers its ATR_RES and InDataExchange
// carries whole frames to it: the host's pieces with the "more" bit (Tg | 0x40) are joined, and
// an answer longer than one piece comes in pieces of 240 with status 0x40, each fetched by an
// InDataExchange without data. As target, TgInitAsTarget answers the first command of a device
// that approaches (an NFC-DEP initiator's ATR_REQ, or an ISO-DEP reader's RATS) or waits for one;
// TgGetDEPData gives the device's next command (in pieces of 240 with status 0x40 while more
// follows; 0x29 once it has none: it released the host),
// TgSetMetaData and TgSetDEPData carry the host's answer to it in pieces. A FeliCa reader's
// commands come with TgInitAsTarget and TgGetInitiatorCommand, TgResponseToInitiator answers them.
// GetGeneralStatus, Read/WriteRegister and Read/WriteGPIO act on the simulator's own state;
// RegulationTest answers nothing, as the controller does until its next command.
//
//   Pn532Sim sim;
//   sim.inject(Fault::Nack);               // the next command is refused with a NACK
//   Bytes out = sim.feed(hostBytes);       // ACK + answer (or what the fault makes of them)
//   sim.enter(tag); out = sim.takeLate();  // the answer a waiting InListPassiveTarget got
#pragma once

#include <cstdint>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <memory>
#include <vector>

#include "peers/remote_poller.h"
#include "tags/tag.h"

namespace pn53xsim {

using Bytes = std::vector<uint8_t>;

enum class Fault {
    Nack,            // NACK instead of the ACK; no answer
    ErrorFrame,      // ACK, then the error frame instead of the answer
    BadLcs,          // the answer's LCS is wrong
    BadDcs,          // the answer's DCS is wrong
    BadPostamble,    // the answer's postamble is not 0
    Garbage,         // bytes that are no frame before the ACK
    HlAck,           // the serial ASCII acknowledgement instead of the ACK
    HlNack,          // the serial ASCII refusal instead of the ACK; no answer
    Silence,         // nothing at all
    Extended,        // the answer in the extended frame form
    Hold,            // ACK now; the answer waits for releaseAnswer() (a host ACK drops it)
};

// A command as the simulator received it.
struct Command {
    uint8_t code;
    Bytes data;       // after the command code
    bool wakeUp;      // the frame came with the wake-up start
};

// Answer data (after the response code) for a command's data; empty optional: the error frame.
using Handler = std::function<std::optional<Bytes>(const Bytes& data)>;

class Pn532Sim {
public:
    Pn532Sim();

    // Host bytes in, controller bytes out. Bytes of an incomplete frame wait for the next call.
    Bytes feed(const Bytes& host);
    // The answer a Hold fault kept back; empty when there is none.
    Bytes releaseAnswer();

    void onCommand(uint8_t code, Handler handler);
    void inject(Fault fault);                  // applies to the next command, in order of injection
    void setFirmware(uint8_t ic, uint8_t version, uint8_t revision, uint8_t support);

    // The field: a tag enters (answering a waiting InListPassiveTarget) or leaves it.
    void enter(std::shared_ptr<simtags::Tag> tag);
    void leave();
    // A device that polls the controller while it waits as target, or its going away.
    void approach(std::shared_ptr<simpeers::RemotePoller> poller);
    void withdraw();
    // Answers that became due outside feed(); empty when there are none.
    Bytes takeLate();
    // Runs f with the tag in the field (or null) while no command is being answered.
    void withTag(const std::function<void(simtags::Tag*)>& f);

    std::vector<Command> commands() const;
    // Waits at most timeoutMs until n commands with this code have come.
    bool waitForCommands(uint8_t code, size_t n, uint32_t timeoutMs);
    // Waits at most timeoutMs until done() holds; it runs while no command is being answered,
    // after each command.
    bool waitUntil(const std::function<bool()>& done, uint32_t timeoutMs);
    size_t hostAcks() const;                   // ACK frames the host sent
    size_t rejectedFrames() const;             // host frames with a bad LCS, DCS or postamble

    // Frames as the controller sends them (also for tests that script a stream themselves).
    static Bytes ack();
    static Bytes nack();
    static Bytes errorFrame();
    static Bytes frame(uint8_t code, const Bytes& data, bool extended = false);
    static Bytes hlFrame(const char error1[2], const char error2[2], const Bytes& userData = {});

private:
    // Takes one host frame off the front of pending_; false when more bytes are needed.
    bool takeFrame(Bytes& out);
    void answer(const Command& command, Bytes& out);
    // The RF commands; false when the command is none of them.
    bool rf(const Command& command, std::optional<Bytes>& data);
    std::optional<Bytes> targetData(uint8_t brTy) const;
    Bytes dataExchange(const Bytes& data);
    Bytes depExchange(const Bytes& data);
    std::optional<Bytes> initiatorCommand() const;
    Bytes targetGet();
    Bytes targetSet(const Bytes& data, bool last);

    mutable std::mutex m_;
    std::condition_variable cv_;
    Bytes pending_;
    std::map<uint8_t, Handler> handlers_;
    std::deque<Fault> faults_;
    std::vector<Command> commands_;
    Bytes held_;
    Bytes late_;
    std::shared_ptr<simtags::Tag> tag_;
    std::optional<uint8_t> waitingFor_;
    bool waitingAsTarget_ = false;
    std::shared_ptr<simpeers::RemotePoller> poller_;
    Bytes depIn_, depOut_;               // frames in pieces as initiator: from the host, to it
    Bytes targetIn_, targetOut_;         // and as target
    std::map<uint16_t, uint8_t> registers_;
    uint8_t gpio_[3] = {0x3F, 0x03, 0x00};   // P3, P7, I0I1   // the BrTy of an InListPassiveTarget without target yet
    size_t hostAcks_ = 0;
    size_t rejected_ = 0;
};

}  // namespace pn53xsim
