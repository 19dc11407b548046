// A simulated ETSI HCI host controller (ETSI TS 102 622) as seen from the terminal host: the
// administration gate with its registry (session identity, white list, host list) and the pipe
// registry it keeps, the identity-management gate, the loopback gate, and the reader RF gates
// (ISO 14443 A and B, ISO 15693) that poll for a tag model of tests/sim/tags while the host has
// asked for readers, fill their registries from it once it is found and carry WR_XCHG_DATA to it. It speaks HCP packets: feed() takes one
// from the host and returns what the controller answers. Faults: any answer code for the next
// matching command, silence, packets on pipes that do not exist, packets of one byte.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "hci/hcp_codec.h"
#include "peers/remote_poller.h"
#include "tags/tag.h"

namespace hcisim {

// Instructions and codes of the standard.
enum : uint8_t {
    ANY_SET_PARAMETER = 0x01,
    ANY_GET_PARAMETER = 0x02,
    ANY_OPEN_PIPE = 0x03,
    ANY_CLOSE_PIPE = 0x04,
    ADM_CREATE_PIPE = 0x10,
    ADM_DELETE_PIPE = 0x11,
    ADM_NOTIFY_PIPE_CREATED = 0x12,
    ADM_CLEAR_ALL_PIPE = 0x14,
    EVT_POST_DATA = 0x02,
    EVT_HOT_PLUG = 0x03,
    ANY_OK = 0x00,
    ANY_E_CMD_PAR_UNKNOWN = 0x02,
    ANY_E_NOK = 0x03,
    ADM_E_NO_PIPES_AVAILABLE = 0x04,
    ANY_E_REG_PAR_UNKNOWN = 0x05,
    ANY_E_PIPE_NOT_OPENED = 0x06,
    ANY_E_CMD_NOT_SUPPORTED = 0x07,
    ANY_E_REG_ACCESS_DENIED = 0x0A,
};

// The card RF gates, their mode registry and events.
enum : uint8_t {
    GATE_CARD_B = 0x21,
    GATE_CARD_B_PRIME = 0x22,
    GATE_CARD_A = 0x23,
    GATE_CARD_F = 0x24,
    CARD_MODE = 0x01,
    CARD_MODE_ON = 0x02,
    EVT_SEND_DATA = 0x10,
    EVT_FIELD_ON = 0x11,
    EVT_CARD_DEACTIVATED = 0x12,
    EVT_CARD_ACTIVATED = 0x13,
    EVT_FIELD_OFF = 0x14,
};

// The reader RF gates and their events and command.
enum : uint8_t {
    GATE_READER_B = 0x11,
    GATE_READER_15693 = 0x12,
    GATE_READER_A = 0x13,
    GATE_READER_FELICA = 0x14,
    GATE_POLLING_LOOP = 0x94,
    POLLING_PHASES = 0x06,
    EVT_READER_REQUESTED = 0x10,
    EVT_END_OPERATION = 0x11,
    EVT_TARGET_DISCOVERED = 0x10,
    WR_XCHG_DATA = 0x10,
    ANY_E_TIMEOUT = 0x09,
};

enum : uint8_t { GATE_ADMIN = 0x00, GATE_LOOPBACK = 0x04, GATE_IDENTITY = 0x05, PIPE_LINK = 0x00, PIPE_ADMIN = 0x01 };
enum : uint8_t { HOST_CONTROLLER = 0x00, HOST_TERMINAL = 0x01, HOST_UICC = 0x02 };

class HciController;

// A chip's own gates and behaviour beside the standard ones. It is asked first for every command
// and event the host sends on a pipe, under the controller's lock, with the gate and host the pipe
// leads to: the messages it returns (none is an answer too) end the standard handling, nullopt
// leaves the message to the standard gates. Inside, the controller's unlocked accessors serve.
class ChipModel {
public:
    virtual ~ChipModel() = default;
    virtual std::optional<std::vector<Message>> onMessage(HciController& controller, const Message& m, uint8_t gate,
                                                          uint8_t host) = 0;
    virtual void onPowerCycle() {}
};

struct Personality {
    std::string name;
    std::shared_ptr<ChipModel> chip;   // the chip's own gates, when it has any
    Bytes gates;            // the identity gate's gate list
    Bytes softwareVersion, hardwareVersion;
    std::string vendor;
    uint8_t modelId = 0;
    uint8_t hciVersion = 1;
    Bytes hostList;
    // The exchanges whose answers end in the RF status byte, and the command that exchanges
    // with an ISO 15693 tag.
    std::vector<simtags::Protocol> statusByteAfter = {simtags::Protocol::IsoDep};
    uint8_t vicinityExchange = 0x10;
    // The demo board: a polling-loop gate whose phases registry runs the wheel, and a silent tag
    // answered as OK with the single byte 0x01.
    bool pollingLoop = false;
    bool silentAsOkOne = false;
    bool lengthMode = false;   // the serial link frames by length (LENGTHMODE=1) instead of by flags
    static Personality plain();
    static Personality demo();
};

// A message the controller took, with the gate its pipe leads to.
struct Logged {
    Message message;
    uint8_t gate = 0;
};

// A one-shot fault: the next command that matches gets `code` instead of its answer.
struct Fault {
    uint8_t instruction = 0;
    std::optional<uint8_t> gate;        // any gate when empty
    std::optional<uint8_t> parameter;   // first data byte (registry index) when given
    uint8_t code = ANY_E_NOK;
};

class HciController {
public:
    explicit HciController(Personality personality = Personality::plain());

    std::vector<Bytes> feed(const Bytes& packet);
    void setPacketSize(size_t bytes);   // of the controller's packets, 2 and more

    // Faults.
    void inject(const Fault& fault);
    void setMute(bool mute);            // takes every packet and answers nothing
    // A registry value of a gate, as a controller holds it before the host reads it.
    void setRegistry(uint8_t gate, uint8_t index, const Bytes& value);
    // A power cycle: the pipes stay in the registry but are closed; the identity stays.
    void powerCycle();

    // Packets the controller sends on its own, for the host.
    std::vector<Bytes> event(uint8_t pipe, uint8_t event, const Bytes& data);
    std::vector<Bytes> hotPlug();
    std::vector<Bytes> notifyPipeCreated(uint8_t sourceHost, uint8_t sourceGate, uint8_t destGate);

    // The RF field: a tag enters (found at once while the host polls) or leaves; `several`
    // reports more than one target in the field.
    std::vector<Bytes> enter(std::shared_ptr<simtags::Tag> tag, bool several = false,
                             std::shared_ptr<simtags::Tag> second = nullptr);
    void leave();
    // Runs fn on the tag under the controller's lock (the tag is used by its thread only).
    void withTag(const std::function<void(simtags::Tag&)>& fn);
    bool polling() const;

    // Card emulation: an external reader comes near. Once the host emulates a card of the
    // reader's technology (its card gate's pipe open, mode on) the field comes on, the card is
    // activated and the reader sends its first command; each answer of the host brings the next.
    // Its field goes off when it departs.
    std::vector<Bytes> approach(simpeers::PollerPtr reader);
    std::vector<Bytes> depart();
    // Runs fn on the reader under the controller's lock.
    void withReader(const std::function<void(simpeers::RemotePoller&)>& fn);

    // What the controller saw and holds.
    std::vector<Logged> log() const;
    std::vector<Message> answersFromHost() const;   // responses the host sent
    Bytes sessionIdentity() const;
    Bytes whiteList() const;
    std::optional<uint8_t> pipeTo(uint8_t gate) const;   // the pipe id of a created pipe
    bool isOpen(uint8_t pipe) const;
    size_t pipeCount() const;
    uint32_t malformed() const;
    void clearLog();

    // Packets of a message the controller sends on its own (a command or an event to the host).
    std::vector<Bytes> send(const Message& m);

    struct Pipe {
        uint8_t gate = 0;
        uint8_t host = HOST_TERMINAL;
        bool open = false;
    };
    using Registry = std::map<uint8_t, Bytes>;
    // For a chip model inside onMessage, where the lock is already held.
    Registry& registryOf(uint8_t gate) { return registries_[gate]; }
    std::map<uint8_t, Pipe>& pipesHeld() { return pipes_; }
    std::shared_ptr<simtags::Tag> tagHeld() const { return tag_; }
    // The polling goes on past the target the host let go, which stays halted: only a tag not
    // reported yet is found.
    std::optional<Message> pollAgain();
    // The second target of a field with several, when the test put one there.
    std::shared_ptr<simtags::Tag> secondHeld() const { return second_; }

private:
    std::vector<Bytes> handle(const Message& m);
    std::optional<uint8_t> faultFor(const Message& m, uint8_t gate);
    Message answer(const Message& m, uint8_t code, Bytes data = {});
    Message admin(const Message& m);
    Message registry(Registry& r, const Message& m, bool writable);
    std::vector<Bytes> out(const Message& m) const;
    uint8_t allocatePipe() const;
    std::vector<Bytes> readerEvent(const Message& m, uint8_t gate);
    Message exchange(const Message& m);
    Message silence(const Message& m);
    std::vector<Bytes> pollingLoop(const Message& m);
    std::vector<Bytes> discover();
    std::optional<Message> discovery();
    void fillRegistries();
    std::optional<uint8_t> openPipeTo(uint8_t gate) const;
    std::vector<Bytes> meetReader();
    std::vector<Bytes> cardEvent(const Message& m);
    std::vector<Bytes> nextCommand();
    std::optional<uint8_t> emulatingPipe() const;

    mutable std::mutex m_;
    Personality personality_;
    size_t packetSize_ = 28;
    Reassembler reassembler_;
    std::map<uint8_t, Pipe> pipes_;
    std::map<uint8_t, Registry> registries_;   // by gate
    std::vector<Fault> faults_;
    bool mute_ = false;
    std::vector<Logged> log_;
    std::vector<Message> hostAnswers_;
    std::shared_ptr<simtags::Tag> tag_;
    std::shared_ptr<simtags::Tag> second_;
    bool several_ = false;
    bool reported_ = false;   // the tag was reported and the host has not let it go since
    bool polling_ = false;
    simpeers::PollerPtr reader_;
    std::optional<uint8_t> readerPipe_;   // the card pipe the reader has activated
};

}  // namespace hcisim
