// The ST21NFCA / ST21NFCB personality of the simulated HCI controller, as a chip model: the
// device manager on the fixed pipe 2 (NFC mode event, data items 0xD0 and 0xF0, the list and the
// state of the pipes it holds, the AID routing store, commands 0x30 and 0x32), switching the
// UICC and the eSE on and off with a hot plug on the Admin pipe (at once, when the test pushes it,
// or never) and the host list following, the combined Type 1 / Type 2 reader gate 0x15, and the
// FeliCa / NFC-DEP initiator gate 0x14 that finds a FeliCa card or an NFC-DEP target (whose raw
// frames a DepGate in front carries), the IP-1 target gate 0x24, and the wired card gate 0xF0 on
// the eSE host with an APDU responder. The pipes survive power cycles.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include "hci/hci_controller.h"

namespace hcisim {

enum : uint8_t {
    GATE_STM_MANAGER = 0x01,
    GATE_TYPE_1_2 = 0x15,
    GATE_FELICA_IP1 = 0x14,
    GATE_IP1_TARGET = 0x24,
    GATE_CONNECTIVITY = 0x41,
    GATE_STM_CARD = 0xF0,
    HOST_ESE = 0xC0,
    PIPE_DEVICE_MANAGER = 0x02,
};

struct St21Options {
    bool nfcb = false;
    bool ese = true;                 // the hardware bytes tell of an eSE
    Bytes clfConfig = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    // The hot plug after an SE power event: sent with the answer, or held until the test
    // pushes it, or never sent.
    enum class HotPlug { now, held, never } hotPlug = HotPlug::now;
    bool uiccOn = true, eseOn = false;   // power of the secure elements at start
    std::optional<Bytes> hardwareVersion = std::nullopt;   // instead of the one that goes with `ese`
    // What the gate 0x14 finds while the host polls: its parameter 3 (NFCID2, PMm, system code;
    // an NFCID2 beginning 01 FE is an NFC-DEP target, empty an NFC-DEP target at 106 kbit/s).
    std::optional<Bytes> felicaTarget = std::nullopt;
};

class St21Chip : public ChipModel {
public:
    using Apdu = std::function<Bytes(const Bytes&)>;
    explicit St21Chip(St21Options options);

    std::optional<std::vector<Message>> onMessage(HciController& c, const Message& m, uint8_t gate,
                                                  uint8_t host) override;

    // What the device manager holds and saw (read under the controller's lock: call between
    // exchanges, or through HciController::withTag-style care in tests that run a link).
    Bytes clfConfig() const;
    uint8_t nfcMode() const;
    std::map<uint8_t, Bytes> routes() const;
    uint32_t clfWrites() const;
    uint32_t softResets() const;
    std::vector<Bytes> powerEvents() const;   // each as {event}
    // The hot plugs held back, as messages for HciController::send.
    std::vector<Message> takeHotPlugs();
    void setApduResponder(Apdu responder);
    // The next device-manager answer to `instruction` whose request begins with `first` is cut
    // to `length` bytes.
    void cutNext(uint8_t instruction, uint8_t first, size_t length);
    // A routing record as the controller holds it, whatever its content.
    void setRoute(uint8_t index, Bytes record);

private:
    std::vector<Message> manager(HciController& c, const Message& m);
    std::vector<Message> pipeLists(HciController& c, const Message& m);
    std::vector<Message> route(const Message& m);
    std::vector<Message> powerEvent(HciController& c, uint8_t event);
    std::optional<std::vector<Message>> typeOneTwo(HciController& c, const Message& m);
    std::optional<std::vector<Message>> readerPolling(HciController& c, const Message& m);
    std::vector<Message> discover(HciController& c);
    std::vector<Message> discoverFelica(HciController& c);
    std::vector<Message> cut(const Message& request, std::vector<Message> answers);
    std::optional<std::vector<Message>> createCardPipe(HciController& c, const Message& m);
    std::vector<Message> card(const Message& m);

    mutable std::mutex m_;
    St21Options options_;
    Bytes clf_;
    Bytes modeItem_ = {0x00, 0x00};
    uint8_t nfcMode_ = 0xFF;
    uint32_t clfWrites_ = 0;
    uint32_t softResets_ = 0;
    std::map<uint8_t, Bytes> routes_;
    std::vector<Bytes> powerEvents_;
    std::deque<Message> heldHotPlugs_;
    bool polling_ = false;
    // The tag the host let go with END_OPERATION: it is not found again until it enters anew.
    std::shared_ptr<simtags::Tag> released_;
    Apdu apdu_;
    std::optional<std::pair<uint8_t, uint8_t>> cutWhat_;
    size_t cutLength_ = 0;
};

// The personality with its chip model; the model stays reachable through the pointer.
Personality st21Personality(const St21Options& options, std::shared_ptr<St21Chip>* model = nullptr);

}  // namespace hcisim
