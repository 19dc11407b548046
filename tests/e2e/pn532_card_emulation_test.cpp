// Host card emulation through the public API on a simulated PN532: an external type A reader
// activates the host, each of its commands reaches the card-emulation listener as a reader
// request and the application's answer reaches the reader, whole even when longer than what one
// controller command carries, and the reader's departure is reported.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "api_stack.h"
#include "listen_support.h"
#include "peers/remote_poller.h"
#include "pn53x/pn532_pty.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kTgInitAsTarget = 0x8C;

TEST(Pn532CardEmulation, ReaderRequestsAreAnsweredAndTheDepartureIsReported) {
    pn53xsim::Pn532PtySim sim;
    ASSERT_TRUE(sim.ok());
    ApiStack stack("PN532", sim.portPath());
    ASSERT_EQ(stack.start(), nfcStatusOk);
    NfcListenerHandle listener = stack.listen(CE_HOST_14443A_106);
    ASSERT_NE(listener, nullptr);
    ASSERT_TRUE(sim.sim().waitForCommands(kTgInitAsTarget, 1, ApiStack::kBounded));

    const std::vector<Bytes> commands{{0x00, 0xA4, 0x04, 0x00, 0x07, 0xF0, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06},
                                      patterned(600, 0x11), {0x00, 0xB0, 0x00, 0x00, 0x00}};
    const std::vector<Bytes> answers{{0x90, 0x00}, patterned(700, 0x44), patterned(1000, 0x55)};
    auto reader = simpeers::RemotePoller::reader(simtags::Technology::A);
    reader->log.toSend = {commands.begin(), commands.end()};
    sim.sim().approach(reader);

    const auto detected = stack.waitFor(nfcEventTagDetected);
    ASSERT_TRUE(detected);
    EXPECT_EQ(detected->tag.tagType & ~TAG_NDEF, CE_HOST_14443A_106);
    for (size_t k = 0; k < commands.size(); ++k) {
        const auto request = stack.waitFor(nfcEventReaderRequest, k);
        ASSERT_TRUE(request);
        EXPECT_EQ(request->request, commands[k]);
        EXPECT_EQ(nfcTransmitPdu(listener, answers[k].data(), static_cast<WORD>(answers[k].size())), nfcStatusPending);
        EXPECT_TRUE(sim.sim().waitUntil([&] { return reader->log.received.size() > k; }, ApiStack::kBounded));
    }
    std::vector<Bytes> received;
    sim.sim().withTag([&](simtags::Tag*) { received = reader->log.received; });
    EXPECT_EQ(received, answers);
    // With nothing more to say the reader leaves the host.
    EXPECT_TRUE(stack.waitFor(nfcEventTagRemoved));
    EXPECT_EQ(nfcUnregisterListener(listener), nfcStatusOk);
}

}  // namespace
