// The secure elements of a PN544 through the public API, against the simulated PN544 behind
// SHDLC on a pseudo-terminal: the list names the UICC and the SmartMX, and switching the UICC
// on reaches the application as a secure-element notification.
#include <gtest/gtest.h>

#include <memory>

#include "api_stack.h"
#include "hci/hci_pn544.h"
#include "hci/hci_pty.h"
#include "secure_support.h"

namespace {

constexpr uint8_t kUicc = 1, kSmartMx = 2;

// Whether the UICC's link answers the switch with a hot plug of its own; without one the
// activator's hot-plug timer runs out and it reads the link's status all the same.
class Pn544SecureElements : public ::testing::TestWithParam<bool> {
protected:
    std::shared_ptr<hcisim::Pn544Chip> chip_ = std::make_shared<hcisim::Pn544Chip>();
    hcisim::HciPtySim sim_{hcisim::pn544Personality(chip_)};
    ApiStack stack_{"PN544", sim_.portPath()};
};

TEST_P(Pn544SecureElements, ListsBothAndSwitchingTheUiccOnIsNotified) {
    ASSERT_TRUE(sim_.ok());
    ASSERT_EQ(stack_.start(), nfcStatusOk);
    SeList list;
    ASSERT_EQ(nfcSecureGetList(stack_.handle(), &list, &SeList::add), nfcStatusOk);
    ASSERT_EQ(list.elements.size(), 2u);
    const WORD uiccCaps = list.elements[0].capabilities, smartMxCaps = list.elements[1].capabilities;
    EXPECT_EQ(list.elements[0].id, kUicc);
    EXPECT_EQ(uiccCaps, 0xA001);
    EXPECT_EQ(list.elements[1].id, kSmartMx);
    EXPECT_EQ(smartMxCaps, 0x4003);

    chip_->setSwpStatuses({0x02});
    chip_->setHotPlugOnSwitch(GetParam());
    const NfcSecureHandle uicc = list.handleOf(kUicc);
    ASSERT_EQ(nfcSecureSetMode(stack_.handle(), uicc, 1), nfcStatusOk);
    const auto notified = stack_.waitFor(nfcEventSecureNotification);
    ASSERT_TRUE(notified.has_value());
    EXPECT_EQ(notified->secure.handle, uicc);
    EXPECT_EQ(notified->secure.kind, NFC_SE_ACTIVATED);
}

INSTANTIATE_TEST_SUITE_P(HotPlug, Pn544SecureElements, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "fromTheLink" : "never"; });

}  // namespace
