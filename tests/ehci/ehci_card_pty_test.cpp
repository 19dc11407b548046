// Host card emulation on a plain ETSI HCI controller, through the public API only: the
// controller simulated behind SHDLC on a pseudo-terminal opens its card gates for the listen, an
// external reader comes near, and the application sees the card activated, each of the reader's
// commands as a reader request, its own answers reaching the reader, and the reader's departure.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "ehci_api_fixture.h"
#include "peers/remote_poller.h"

namespace {

using hcisim::Bytes;
using simpeers::RemotePoller;
using simtags::Technology;

struct Case {
    const char* name;
    Technology technology;
    DWORD mask;
};

class EtsiCardEmulation : public EtsiApi, public ::testing::WithParamInterface<Case> {
protected:
    // A reader whose every answer received wakes the test.
    simpeers::PollerPtr reader(Technology technology) {
        auto r = RemotePoller::reader(technology);
        r->log.onFrame = [this](const Bytes&) {
            {
                std::lock_guard<std::mutex> lock(m_);
                ++answered_;
            }
            cv_.notify_all();
            return std::vector<Bytes>{};
        };
        return r;
    }
    bool answeredUntil(size_t n) {
        std::unique_lock<std::mutex> lock(m_);
        return cv_.wait_for(lock, std::chrono::milliseconds(kBoundedMs), [&] { return answered_ >= n; });
    }

    size_t answered_ = 0;
};

TEST_P(EtsiCardEmulation, AReadersCommandsAreAnsweredAndItsDepartureIsReported) {
    const Case c = GetParam();
    ASSERT_TRUE(start());
    NfcListenerHandle listener = listen(c.mask | NFC_LISTEN_RF_FIELD);
    ASSERT_NE(listener, nullptr);

    const std::vector<Bytes> commands = {{0x00, 0xA4, 0x04, 0x00, 0x07, 0xF0, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06},
                                         Bytes(200, 0x3C), {0x00, 0xB0, 0x00, 0x00, 0x00}};
    std::vector<Bytes> answers = {{0x90, 0x00}, Bytes(120, 0x5E), {0x6A, 0x82}};
    auto reader = this->reader(c.technology);
    reader->log.toSend = {commands.begin(), commands.end()};
    sim_.approach(reader);

    TNfcTagInfo info{};
    ASSERT_TRUE(detected(&info));
    EXPECT_EQ(info.tagType & ~TAG_NDEF, c.mask);
    EXPECT_TRUE(waitFor(nfcEventFieldActivity)) << "the field came on";
    for (size_t k = 0; k < commands.size(); ++k) {
        Bytes pdu;
        ASSERT_TRUE(request(&pdu, k)) << "command " << k;
        EXPECT_EQ(pdu, commands[k]);
        EXPECT_EQ(nfcTransmitPdu(listener, answers[k].data(), static_cast<WORD>(answers[k].size())), nfcStatusPending);
        ASSERT_TRUE(answeredUntil(k + 1)) << "answer " << k;
    }
    sim_.controller().withReader([&](simpeers::RemotePoller& r) { EXPECT_EQ(r.log.received, answers); });

    const size_t removals = count(nfcEventTagRemoved);
    sim_.depart();
    EXPECT_TRUE(waitFor(nfcEventTagRemoved, removals));
    EXPECT_TRUE(waitFor(nfcEventFieldActivity, 1)) << "and went off";
    EXPECT_EQ(nfcUnregisterListener(listener), nfcStatusOk);
}

INSTANTIATE_TEST_SUITE_P(Gates, EtsiCardEmulation,
                         ::testing::Values(Case{"A", Technology::A, CE_HOST_14443A_106},
                                           Case{"B", Technology::B, CE_HOST_14443B_106},
                                           Case{"F", Technology::F, CE_HOST_FELICA}),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
