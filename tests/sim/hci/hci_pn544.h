// The PN544's own gates beside the standard ones, as a chip model of the simulated HCI controller:
// its identity parameter 0x10, the device manager (EEPROM bytes, self tests, parameter 2) that
// answers what it does not know with the chip's 0x90 header, the UICC gate whose SWP status
// follows a script, the wired interface to the SmartMX with its mode event, and the Activate ID
// and presence commands of the reader-A gate, its ISO 14443-4 activation (command 0x12: the card's
// historical bytes are known only after it), the second of several targets (read from the reader-A
// registries once the first one's ATQA was read), and the release event (0x35) after which the
// polling goes on past the released target, which stays halted until the field goes off. The polling loop is the controller's own (phases registry); hot plugs, pipe
// notifications from the UICC and WI events are pushed by the tests. In wired mode the SmartMX is
// the target of reader A.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>

#include "hci/hci_controller.h"
#include "hci/hci_pn544_ip1.h"

namespace hcisim {

enum : uint8_t { GATE_PN544_MANAGER = 0x90, GATE_PN544_UICC = 0xA0, GATE_PN544_WI = 0xA1, GATE_PN544_JEWEL = 0x15,
                 GATE_PN544_FELICA = 0x14, GATE_PN544_IP1_INITIATOR = 0x30, GATE_PN544_IP1_TARGET = 0x31 };
enum : uint8_t { PN544_EEPROM_READ = 0x3E, PN544_EEPROM_WRITE = 0x3F, PN544_WI_MODE = 0x03, PN544_WI_WIRED = 0 };   // the WI mode event (header 0x43)

class Pn544Chip : public ChipModel {
public:
    Pn544Chip();
    // The SmartMX, an ISO-DEP card that shows on reader A when the polling loop runs its type-A
    // phase in wired mode; its ATS carries the historical bytes "SMX".
    simtags::Tag& smartMx() { return *smartMx_; }
    std::optional<std::vector<Message>> onMessage(HciController& controller, const Message& m, uint8_t gate,
                                                  uint8_t host) override;
    // The SWP status bytes that reads of the UICC's parameter 2 give in turn; the last one stays.
    void setSwpStatuses(std::vector<uint8_t> statuses);
    void setEeprom(uint32_t address, uint8_t value);
    uint8_t eeprom(uint32_t address) const;
    int lastWiMode() const;   // -1 before the first mode event
    // Whether the UICC's SWP link answers a switch (its parameter 1 set) with a hot plug of its
    // own, right behind the answer; otherwise only the hot plugs the test pushes come.
    void setHotPlugOnSwitch(bool on);
    // Runs fn on the NFC-IP-1 gates under the chip's lock.
    void withIp1(const std::function<void(Pn544Ip1&)>& fn);

private:
    std::optional<std::vector<Message>> manager(const Message& m);
    std::optional<std::vector<Message>> readerA(HciController& controller, const Message& m);
    mutable std::mutex m_;
    bool isoActivated_ = false;   // the card in front of reader A took the ISO 14443-4 activation
    std::shared_ptr<simtags::Tag> smartMx_;   // in front of reader A while the wired interface is in wired mode
    bool firstRead_ = false;      // the first target's ATQA was read: the second one's registries follow
    std::map<uint32_t, uint8_t> eeprom_;
    std::deque<uint8_t> swp_{0x02};
    int wiMode_ = -1;
    bool hotPlugOnSwitch_ = false;
    Pn544Ip1 ip1_;
};

// A PN544 with the UICC host present and its serial link's framing; its gate list names every
// gate but the NFC-IP-1 ones unless asked for.
Personality pn544Personality(std::shared_ptr<Pn544Chip> chip, bool withIp1 = false);
// The maker's demo board, whose reader A and NFC-IP-1 gates are the PN544's.
Personality demoPersonality(std::shared_ptr<Pn544Chip> chip, bool withIp1 = false);

}  // namespace hcisim
