// Secure elements behind the HCI network of a maker-0x02 controller, through the public API
// against the simulated controller: bring-up with a new and with a kept session, the list, open
// with the ATR, APDU exchanges cut into HCP packets both ways, WTX, close, hard reset, mode
// switching, and a transaction event reaching a secure-element listener.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "api_stack.h"
#include "nci/nci_sim_message.h"
#include "secure_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using ncisim::Controller;
using ncisim::HciNetworkModel;
using ncisim::NciMessage;
using ncisim::NfceeInfo;

constexpr uint16_t kConnCreate = 0x2004, kModeSet = 0x2201;
constexpr uint8_t kAccess = 0x01, kUicc = 0x02, kEse = 0xC0;
constexpr uint8_t kCb = 0x80;

ncisim::NciIdentity hciNetwork(uint8_t maker = 0x02) {
    ncisim::NciIdentity id = ncisim::NciIdentity::generic();
    id.manufacturer = maker;
    NfceeInfo access;
    access.id = kAccess;
    access.protocols = {0x01};
    NfceeInfo uicc;
    uicc.id = kUicc;
    NfceeInfo ese;
    ese.id = kEse;
    id.nfcees = {access, uicc, ese};
    return id;
}

Bytes atrOf(uint8_t host) { return {0x3B, 0x8A, 0x80, 0x01, 0x80, 0x31, 0x80, 0x65, 0xB0, 0x85, 0x03, host}; }

class HciSecureElements : public ::testing::Test {
protected:
    explicit HciSecureElements(uint8_t maker = 0x02) : stack_(hciNetwork(maker)) {}

    // A kept session starts with the pipes of an earlier run; a new one waits for the hosts to create theirs.
    void start(bool keptSession) {
        if (keptSession) onHci([](HciNetworkModel& h) { h.keepSession(); });
        ASSERT_EQ(stack_.start(), nfcStatusOk);
        ASSERT_EQ(nfcSecureGetList(stack_.handle(), &list_, &SeList::add), nfcStatusOk);
    }

    template <typename Fn>
    void onHci(Fn fn) {
        ASSERT_TRUE(stack_.sim().call([&](Controller&) { fn(stack_.sim().hci()); }));
    }

    // The session identity as the host last set it, once it names pipes.
    bool waitForIdentityWithPipes() {
        return stack_.sim().recorder().waitForReceived(
            [](const NciMessage& m) {
                const Bytes& p = m.payload;
                return m.isData() && p.size() == 11 && p[0] == 0x81 && p[1] == 0x01 && p[2] == 0x01 && p[3] == 'E' &&
                       p[7] != 0;
            },
            ApiStack::kBounded);
    }

    NfcSecureConnectionHandle open(uint8_t id) {
        NfcSecureConnectionHandle connection = nullptr;
        EXPECT_EQ(nfcSecureOpen(stack_.handle(), list_.handleOf(id), &connection), nfcStatusOk);
        return connection;
    }

    // The packets the host sent on a pipe since the n-th packet of the network.
    std::vector<Bytes> packetsOn(uint8_t pipe, size_t from = 0) {
        std::vector<Bytes> out;
        onHci([&](HciNetworkModel& h) {
            const auto& all = h.packetsFromHost();
            for (size_t i = from; i < all.size(); ++i)
                if ((all[i][0] & 0x7F) == pipe) out.push_back(all[i]);
        });
        return out;
    }

    size_t packetCount() {
        size_t n = 0;
        onHci([&](HciNetworkModel& h) { n = h.packetsFromHost().size(); });
        return n;
    }

    uint8_t cardPipe(uint8_t host) {
        uint8_t pipe = 0;
        onHci([&](HciNetworkModel& h) { pipe = h.cardPipe(host); });
        return pipe;
    }

    // Waits until the network got this packet from the host.
    bool waitForPacket(const Bytes& packet) {
        return stack_.sim().recorder().waitForReceived(
            [&](const NciMessage& m) { return m.isData() && m.payload == packet; }, ApiStack::kBounded);
    }

    void expectNoViolations() { EXPECT_TRUE(stack_.sim().recorder().violations().empty()) << stack_.sim().describe(); }

    ApiStack stack_;
    SeList list_;
};

TEST_F(HciSecureElements, ANewSessionTakesThePipesTheHostsCreateAndStoresThemInItsIdentity) {
    start(false);
    // Maker 0x02 enables the HCI-access NFCEE, then opens its connection.
    EXPECT_EQ(stack_.commands(kModeSet).front(), (Bytes{kAccess, 0x01}));
    EXPECT_EQ(stack_.commands(kConnCreate).front(), (Bytes{0x03, 0x01, 0x01, 0x02, kAccess, 0x01}));
    const std::vector<Bytes> admin = packetsOn(HciNetworkModel::kAdminPipe);
    ASSERT_GE(admin.size(), 4u);
    EXPECT_EQ(admin[0], (Bytes{0x81, 0x03}));
    EXPECT_EQ(admin[1], (Bytes{0x81, 0x02, 0x01}));
    EXPECT_EQ(admin[2], (Bytes{0x81, 0x01, 0x03, 0x02, 0xC0}));
    EXPECT_EQ(admin[3], (Bytes{0x81, 0x01, 0x01, 'E', 'L', 'L', 'I', 0, 0, 0, 0}));

    // The HCI-access NFCEE is no secure element; the other two are.
    ASSERT_EQ(list_.elements.size(), 2u);
    EXPECT_EQ(list_.elements[0].id, kUicc);
    EXPECT_EQ(+list_.elements[0].capabilities, 0x2012);
    EXPECT_EQ(list_.elements[1].id, kEse);
    EXPECT_EQ(+list_.elements[1].capabilities, 0x1012);

    // Once the pipes stay quiet, the identity names them: connectivity and card pipe per host.
    ASSERT_TRUE(waitForIdentityWithPipes()) << stack_.sim().describe();
    HciNetworkModel::Session session{};
    uint8_t pipes[4]{};
    onHci([&](HciNetworkModel& h) {
        session = h.session();
        pipes[0] = h.connectivityPipe(kUicc);
        pipes[1] = h.cardPipe(kUicc);
        pipes[2] = h.connectivityPipe(kEse);
        pipes[3] = h.cardPipe(kEse);
    });
    EXPECT_EQ(session, (HciNetworkModel::Session{'E', 'L', 'L', 'I', pipes[0], pipes[1], pipes[2], pipes[3]}));

    NfcSecureConnectionHandle connection = open(kUicc);
    BYTE atr[64];
    WORD atrLength = sizeof atr;
    ASSERT_EQ(nfcSecureGetATR(connection, atr, &atrLength), nfcStatusOk);
    EXPECT_EQ(Bytes(atr, atr + atrLength), atrOf(kUicc));
    NfcApiStatus status;
    const Bytes select{0x00, 0xA4, 0x04, 0x00, 0x02, 0xA0, 0x00};
    EXPECT_EQ(exchangeApdu(connection, select, &status), (Bytes{0x90, 0x00}));
    EXPECT_EQ(status, nfcStatusOk);
    EXPECT_EQ(nfcSecureClose(connection), nfcStatusOk);
    expectNoViolations();
}

TEST_F(HciSecureElements, AShortSessionIdentityRestoresNoPipe) {
    onHci([](HciNetworkModel& h) {
        h.keepSession();
        h.answerSessionWith({'E', 'L', 'L', 'I', 0x05, 0x06});
    });
    start(false);
    const std::vector<Bytes> admin = packetsOn(HciNetworkModel::kAdminPipe);
    ASSERT_GE(admin.size(), 4u);
    EXPECT_EQ(admin[3], (Bytes{0x81, 0x01, 0x01, 'E', 'L', 'L', 'I', 0, 0, 0, 0}));
    NfcSecureConnectionHandle connection = nullptr;
    EXPECT_NE(nfcSecureOpen(stack_.handle(), list_.handleOf(kEse), &connection), nfcStatusOk);
    nfcSecureClose(connection);
}

class OtherMaker : public HciSecureElements {
protected:
    OtherMaker() : HciSecureElements(0x0C) {}
};

TEST_F(OtherMaker, OpensTheNetworkFirstAndEnablesItsNfceeOnceItIsUp) {
    start(true);
    const std::vector<uint16_t> opcodes = stack_.sim().commandOpcodes();
    const auto create = std::find(opcodes.begin(), opcodes.end(), kConnCreate);
    const auto enable = std::find(opcodes.begin(), opcodes.end(), kModeSet);
    ASSERT_NE(create, opcodes.end());
    ASSERT_NE(enable, opcodes.end());
    EXPECT_LT(create, enable);
    EXPECT_EQ(stack_.commands(kModeSet).front(), (Bytes{kAccess, 0x01}));
    // The identity, the bring-up's last step, came before the NFCEE was enabled.
    const std::vector<NciMessage> received = stack_.sim().recorder().received();
    const auto identity = std::find_if(received.begin(), received.end(), [](const NciMessage& m) {
        return m.isData() && m.payload.size() == 11 && m.payload[1] == 0x01 && m.payload[2] == 0x01;
    });
    const auto modeSet = std::find_if(received.begin(), received.end(),
                                      [](const NciMessage& m) { return !m.isData() && m.key() == kModeSet; });
    EXPECT_LT(identity, modeSet);
    ASSERT_EQ(list_.elements.size(), 2u);
    NfcSecureConnectionHandle connection = open(kUicc);
    NfcApiStatus status;
    const Bytes select{0x00, 0xA4, 0x04, 0x00, 0x02, 0xA0, 0x00};
    EXPECT_EQ(exchangeApdu(connection, select, &status), (Bytes{0x90, 0x00}));
    nfcSecureClose(connection);
}

class KeptSession : public HciSecureElements {
protected:
    void SetUp() override { start(true); }
};

TEST_F(KeptSession, ThePipesComeBackFromTheIdentityAndStayInIt) {
    // No host created a pipe, and the identity the host sets names the pipes it restored.
    HciNetworkModel::Session before{}, after{};
    onHci([&](HciNetworkModel& h) { before = h.session(); });
    const std::vector<Bytes> admin = packetsOn(HciNetworkModel::kAdminPipe);
    ASSERT_EQ(admin.size(), 4u);
    EXPECT_EQ(admin[3], (Bytes{0x81, 0x01, 0x01, 'E', 'L', 'L', 'I', before[4], before[5], before[6], before[7]}));
    onHci([&](HciNetworkModel& h) { after = h.session(); });
    EXPECT_EQ(after, before);

    NfcSecureConnectionHandle connection = open(kEse);
    const uint8_t pipe = cardPipe(kEse);
    EXPECT_EQ(packetsOn(pipe), (std::vector<Bytes>{{uint8_t(pipe | kCb), 0x51}, {uint8_t(pipe | kCb), 0x02, 0x01}}));
    BYTE atr[64];
    WORD atrLength = sizeof atr;
    ASSERT_EQ(nfcSecureGetATR(connection, atr, &atrLength), nfcStatusOk);
    EXPECT_EQ(Bytes(atr, atr + atrLength), atrOf(kEse));
    EXPECT_EQ(nfcSecureClose(connection), nfcStatusOk);
    EXPECT_TRUE(waitForPacket({uint8_t(pipe | kCb), 0x61}));

    // A second open knows the ATR already: no second request for it.
    connection = open(kEse);
    atrLength = sizeof atr;
    ASSERT_EQ(nfcSecureGetATR(connection, atr, &atrLength), nfcStatusOk);
    EXPECT_EQ(Bytes(atr, atr + atrLength), atrOf(kEse));
    const auto packets = packetsOn(pipe);
    EXPECT_EQ(std::count(packets.begin(), packets.end(), Bytes{uint8_t(pipe | kCb), 0x02, 0x01}), 1);
    nfcSecureClose(connection);
}

TEST_F(KeptSession, AnApduLeavesAsOneEventCutIntoPacketsAndItsLongAnswerComesBackWhole) {
    NfcSecureConnectionHandle connection = open(kEse);
    const uint8_t pipe = cardPipe(kEse);
    Bytes apdu{0x80, 0x10, 0x00, 0x00, 55};
    for (uint8_t i = 0; i < 55; ++i) apdu.push_back(i);
    ASSERT_EQ(apdu.size(), 60u);
    const size_t from = packetCount();
    NfcApiStatus status;
    EXPECT_EQ(exchangeApdu(connection, apdu, &status), ncisim::defaultSecureElementAnswer(apdu));
    ASSERT_EQ(status, nfcStatusOk);
    // 26, 27 and 7 bytes: the event header only in the first packet, CB only in the last.
    const auto packets = packetsOn(pipe, from);
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[0].size(), 2u + 26u);
    EXPECT_EQ(packets[0][0], pipe);
    EXPECT_EQ(packets[0][1], 0x50);
    EXPECT_EQ(packets[1].size(), 1u + 27u);
    EXPECT_EQ(packets[1][0], pipe);
    EXPECT_EQ(packets[2].size(), 1u + 7u);
    EXPECT_EQ(packets[2][0], pipe | kCb);
    Bytes joined;
    joined.insert(joined.end(), packets[0].begin() + 2, packets[0].end());
    for (size_t i = 1; i < 3; ++i) joined.insert(joined.end(), packets[i].begin() + 1, packets[i].end());
    EXPECT_EQ(joined, apdu);

    // 258 bytes come back in ten packets.
    const Bytes getData{0x00, 0xCA, 0x00, 0x00, 0x00};
    const Bytes answer = exchangeApdu(connection, getData, &status);
    ASSERT_EQ(status, nfcStatusOk);
    EXPECT_EQ(answer, ncisim::defaultSecureElementAnswer(getData));
    nfcSecureClose(connection);
    // Every packet waited for its credit on the connection.
    expectNoViolations();
}

TEST_F(KeptSession, AnAnswerTooLongForTheRoomIsRefusedAndTheNextOneArrives) {
    NfcSecureConnectionHandle connection = open(kUicc);
    NfcApiStatus status;
    const Bytes getData{0x00, 0xCA, 0x00, 0x00, 0x00};
    const Bytes answer = exchangeApdu(connection, getData, &status, 100);
    EXPECT_NE(status, nfcStatusOk);
    const Bytes small{0x00, 0xCA, 0x00, 0x00, 0x04};
    EXPECT_EQ(exchangeApdu(connection, small, &status), ncisim::defaultSecureElementAnswer(small));
    EXPECT_EQ(status, nfcStatusOk);
    nfcSecureClose(connection);
}

TEST_F(KeptSession, WaitingTimeExtensionsKeepAnExchangeAliveBeyondItsTimeOut) {
    NfcSecureConnectionHandle connection = open(kEse);
    nfcSecureSetTimeout(stack_.handle(), list_.handleOf(kEse), 300);
    const Bytes getData{0x00, 0xCA, 0x00, 0x00, 0x08};
    NfcApiStatus status;
    onHci([](HciNetworkModel& h) {
        h.setWaitingTimeExtensions(1);
        h.setAnswerDelay(700);
    });
    EXPECT_EQ(exchangeApdu(connection, getData, &status), ncisim::defaultSecureElementAnswer(getData));
    EXPECT_EQ(status, nfcStatusOk);
    // Without one, the time-out ends the exchange and its late answer reaches no one.
    onHci([](HciNetworkModel& h) {
        h.setWaitingTimeExtensions(0);
        h.setAnswerDelay(700);
    });
    Bytes room(64, 0xEE);
    WORD length = static_cast<WORD>(room.size());
    EXPECT_NE(nfcSecureExchangePdu(connection, getData.data(), static_cast<WORD>(getData.size()), room.data(), &length),
              nfcStatusOk);
    nfcSecureSetTimeout(stack_.handle(), list_.handleOf(kEse), 3000);
    const Bytes next{0x00, 0xCA, 0x00, 0x00, 0x03};
    EXPECT_EQ(exchangeApdu(connection, next, &status), ncisim::defaultSecureElementAnswer(next));
    EXPECT_EQ(status, nfcStatusOk);
    EXPECT_TRUE(std::all_of(room.begin(), room.end(), [](uint8_t b) { return b == 0xEE; }));
    nfcSecureClose(connection);
}

TEST_F(KeptSession, HostileHcpPacketsChangeNoPipeAndLeaveTheNetworkWorking) {
    const uint8_t pipe = cardPipe(kEse);
    const size_t okBefore = packetsOn(HciNetworkModel::kAdminPipe).size();
    onHci([](HciNetworkModel& h) {
        h.sendPacket({0x81, 0x12, kEse, 0xF0, 0x01, 0xF0});    // pipe created, without its pipe id
        h.sendPacket({0x81});                                  // no message header
        h.sendPacket({0xB3, 0x50, 0x01, 0x02});                // data on a pipe no one owns
        for (int i = 0; i < 3; ++i) h.sendPacket(Bytes(28, 0x01));   // an admin message longer than any read
        h.sendPacket({0x81, 0x00});
    });
    // The short notification is answered, and nothing else on the admin pipe.
    ASSERT_TRUE(stack_.sim().recorder().waitForReceived(
        [](const NciMessage& m) { return m.isData() && m.payload == Bytes{0x81, 0x80}; }, ApiStack::kBounded));
    NfcSecureConnectionHandle connection = open(kEse);
    EXPECT_EQ(cardPipe(kEse), pipe);
    NfcApiStatus status;
    const Bytes getData{0x00, 0xCA, 0x00, 0x00, 0x30};
    EXPECT_EQ(exchangeApdu(connection, getData, &status), ncisim::defaultSecureElementAnswer(getData));
    EXPECT_EQ(status, nfcStatusOk);
    EXPECT_EQ(packetsOn(pipe).front(), (Bytes{uint8_t(pipe | kCb), 0x51}));
    nfcSecureClose(connection);
    EXPECT_EQ(packetsOn(HciNetworkModel::kAdminPipe).size(), okBefore + 1);
}

TEST_F(KeptSession, AHardResetGoesToTheCardPipeOfTheNamedElement) {
    const uint8_t pipe = cardPipe(kUicc);
    const BYTE uicc = kUicc, unknown = 0x33;
    EXPECT_EQ(nfcDeviceIoControl(stack_.handle(), 0x110B, &uicc, 1, nullptr, nullptr), nfcStatusOk);
    EXPECT_TRUE(waitForPacket({uint8_t(pipe | kCb), 0x60}));
    EXPECT_NE(nfcDeviceIoControl(stack_.handle(), 0x110B, &unknown, 1, nullptr, nullptr), nfcStatusOk);
    EXPECT_NE(nfcDeviceIoControl(stack_.handle(), 0x110B, nullptr, 0, nullptr, nullptr), nfcStatusOk);
}

TEST_F(KeptSession, ModeSwitchingAndATransactionEventReachTheApplication) {
    const NfcSecureHandle ese = list_.handleOf(kEse);
    ASSERT_EQ(nfcSecureSetMode(stack_.handle(), ese, 0), nfcStatusOk);
    ASSERT_EQ(nfcSecureSetMode(stack_.handle(), ese, 1), nfcStatusOk);
    const auto modes = stack_.commands(kModeSet);
    ASSERT_GE(modes.size(), 3u);
    EXPECT_EQ(modes[modes.size() - 2], (Bytes{kEse, 0x00}));
    EXPECT_EQ(modes.back(), (Bytes{kEse, 0x01}));

    NfcListenerHandle listener = nullptr;
    ASSERT_EQ(nfcRegisterListener(stack_.handle(), nullptr, NFC_LISTEN_SECURE_ELEMENT | 0x1, nullptr, &listener),
              nfcStatusOk);
    ASSERT_TRUE(stack_.waitForCommands(0x2103, 1));
    // 40 bytes of event data: more than one HCP packet.
    Bytes data{0x81, 0x05, 0xA0, 0x00, 0x00, 0x00, 0x03, 0x82, 0x10};
    for (uint8_t i = 0; i < 16; ++i) data.push_back(i);
    data.resize(40, 0x00);
    onHci([&](HciNetworkModel& h) {
        h.sendTransaction(kEse, data);
        h.sendTransaction(kEse, {0x05, 0xA0});   // no AID tag: ignored
    });
    const auto e = stack_.waitFor(nfcEventTransaction, 0);
    ASSERT_TRUE(e);
    EXPECT_EQ(Bytes(e->transaction.aid, e->transaction.aid + e->transaction.aidLength),
              (Bytes{0xA0, 0x00, 0x00, 0x00, 0x03}));
    EXPECT_EQ(e->transaction.paramLength, 16);
    EXPECT_FALSE(stack_.waitFor(nfcEventTransaction, 1, 300));
    expectNoViolations();
}

} // namespace
