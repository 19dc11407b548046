// Host card emulation through the public API against the simulated controller: an external
// reader activates the host, its commands reach the card-emulation listener as reader
// requests and the application's answers reach the reader, longer than one data packet either
// way and under each way of returning credits; the reader's sleep and re-activation, and its
// departure.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "api_stack.h"
#include "listen_support.h"
#include "peers/remote_poller.h"

namespace {

using Bytes = std::vector<uint8_t>;
using simpeers::RemotePoller;
using simtags::Technology;

// The reader's commands: a SELECT, then commands and answers beyond one packet (255 bytes to
// the host, 64 from it).
Bytes command(size_t n, uint8_t seed) {
    Bytes c{0x00, 0xD6, 0x00, seed};
    const Bytes data = patterned(n - 4, seed);
    c.insert(c.end(), data.begin(), data.end());
    return c;
}

struct Case {
    Technology technology;
    DWORD mask;
    Credits credits;
};

class CardEmulation : public ::testing::TestWithParam<Case> {};

TEST_P(CardEmulation, ReaderRequestsAreAnsweredAcrossSleepAndTheDepartureIsReported) {
    const Case c = GetParam();
    ApiStack stack;
    ASSERT_EQ(stack.start(), 0u);
    configureCredits(stack, c.credits);
    NfcListenerHandle listener = stack.listen(c.mask);
    ASSERT_NE(listener, nullptr);
    ASSERT_TRUE(stack.waitForCommands(0x2103, 1)) << stack.sim().describe();

    const std::vector<Bytes> commands{{0x00, 0xA4, 0x04, 0x00, 0x07, 0xF0, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06},
                                      command(600, 0x11), command(300, 0x22), {0x00, 0xB0, 0x00, 0x00, 0x00}};
    const std::vector<Bytes> answers{{0x90, 0x00}, patterned(700, 0x33), patterned(2, 0x44), patterned(1000, 0x55)};
    auto reader = RemotePoller::reader(c.technology);
    reader->log.toSend = {commands[0], commands[1], commands[2]};
    stack.sim().rf().approach(reader);

    auto answered = [&](size_t n) {
        auto count = std::make_shared<size_t>(0);
        stack.sim().call([reader, count](ncisim::Controller&) { *count = reader->log.received.size(); });
        return *count >= n;
    };
    // Each command as the application sees it, and its answer sent back.
    auto serve = [&](size_t k) {
        const auto request = stack.waitFor(nfcEventReaderRequest, k);
        ASSERT_TRUE(request) << stack.sim().describe();
        EXPECT_EQ(request->request, commands[k]);
        EXPECT_EQ(nfcTransmitPdu(listener, answers[k].data(), static_cast<WORD>(answers[k].size())), nfcStatusPending);
        ASSERT_TRUE(grantUntil(stack, c.credits, [&] { return answered(k + 1); })) << stack.sim().describe();
    };
    const auto detected = stack.waitFor(nfcEventTagDetected);
    ASSERT_TRUE(detected) << stack.sim().describe();
    EXPECT_EQ(detected->tag.tagType & ~TAG_NDEF, c.mask);
    for (size_t k = 0; k < 3; ++k) serve(k);

    // Asleep and woken again, the reader carries on.
    stack.sim().rf().sleepPoller();
    stack.sim().call([reader, next = commands[3]](ncisim::Controller&) { reader->log.toSend = {next}; });
    stack.sim().rf().wakePoller();
    serve(3);

    stack.sim().call([&](ncisim::Controller&) { EXPECT_EQ(reader->log.received, answers); });
    const size_t removalsBefore = stack.count(nfcEventTagRemoved);
    stack.sim().rf().departPoller();
    ASSERT_TRUE(stack.waitFor(nfcEventTagRemoved, removalsBefore)) << stack.sim().describe();
    EXPECT_TRUE(stack.sim().recorder().violations().empty()) << stack.sim().describe();
    EXPECT_EQ(nfcUnregisterListener(listener), nfcStatusOk);
}

INSTANTIATE_TEST_SUITE_P(ReadersAndCredits, CardEmulation,
                         ::testing::Values(Case{Technology::A, CE_HOST_14443A_106, Credits::PerPacket},
                                           Case{Technology::A, CE_HOST_14443A_106, Credits::Delayed},
                                           Case{Technology::A, CE_HOST_14443A_106, Credits::Withheld},
                                           Case{Technology::B, CE_HOST_14443B_106, Credits::PerPacket}),
                         [](const auto& info) {
                             return std::string(info.param.technology == Technology::A ? "A" : "B") +
                                    creditsName(info.param.credits);
                         });

} // namespace
