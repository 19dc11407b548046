// Secure elements behind a direct NCI connection, through the public API against the simulated
// controller: the list, open, APDU exchanges longer than a packet, mode switching, status
// changes, transactions reaching a secure-element listener, and listen-mode routing.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "api_stack.h"
#include "listen_support.h"
#include "nci/nci_sim_message.h"
#include "peers/remote_poller.h"
#include "secure_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using ncisim::Controller;
using ncisim::Fault;
using ncisim::NfceeInfo;

constexpr uint16_t kConnCreate = 0x2004, kConnClose = 0x2005, kSetRouting = 0x2101, kGetRouting = 0x2102,
                   kRfDiscover = 0x2103, kModeSet = 0x2201;
constexpr uint8_t kUicc = 0x02, kEse = 0x10;

ncisim::NciIdentity twoSecureElements() {
    ncisim::NciIdentity id = ncisim::NciIdentity::generic();
    NfceeInfo uicc;
    uicc.id = kUicc;
    NfceeInfo ese;
    ese.id = kEse;
    ese.info = {{0xA0, {0x01, 0x02}}};
    id.nfcees = {uicc, ese};
    return id;
}

class SecureElements : public ::testing::Test {
protected:
    explicit SecureElements(ncisim::NciIdentity identity = twoSecureElements()) : stack_(identity) {}

    void SetUp() override {
        ASSERT_EQ(stack_.start(), nfcStatusOk);
        ASSERT_EQ(nfcSecureGetList(stack_.handle(), &list_, &SeList::add), nfcStatusOk);
    }

    // Secure-element requests wait for the discovery set-up to end: until then they are refused as early.
    template <typename Call>
    static NfcApiStatus whenSettled(Call call) {
        NfcApiStatus status = nfcStatusWrongState;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (status == nfcStatusWrongState && std::chrono::steady_clock::now() < until) {
            status = call();
            if (status == nfcStatusWrongState) std::this_thread::yield();
        }
        return status;
    }

    template <typename Fn>
    void onSim(Fn fn) {
        ASSERT_TRUE(stack_.sim().call([&](Controller&) { fn(stack_.sim().nfcees()); }));
    }

    ApiStack stack_;
    SeList list_;
};

TEST_F(SecureElements, TheListNamesBothElementsWithTheirCapabilitiesAndMode) {
    ASSERT_EQ(list_.elements.size(), 2u);
    EXPECT_EQ(list_.elements[0].id, kUicc);
    EXPECT_EQ(list_.elements[1].id, kEse);
    for (const TNfcInfoSE& se : list_.elements) {
        EXPECT_NE(+se.handle, 0u);   // packed fields are read by value
        EXPECT_EQ(+se.capabilities, 0x1012);   // APDU protocol, an ordinary NFCEE
        EXPECT_EQ(+se.mode, NFC_SE_MODE_VIRTUAL);
    }
    EXPECT_NE(+list_.elements[0].handle, +list_.elements[1].handle);
}

TEST_F(SecureElements, OpenExchangeAndCloseRunOverTheirOwnConnection) {
    NfcSecureConnectionHandle connection = nullptr;
    ASSERT_EQ(nfcSecureOpen(stack_.handle(), list_.handleOf(kEse), &connection), nfcStatusOk);
    const auto create = stack_.commands(kConnCreate);
    ASSERT_EQ(create.size(), 1u);
    EXPECT_EQ(create[0], (Bytes{0x03, 0x01, 0x01, 0x02, kEse, 0x00}));
    BYTE atr[16];
    WORD atrLength = sizeof atr;
    EXPECT_EQ(nfcSecureGetATR(connection, atr, &atrLength), nfcStatusOk);
    EXPECT_EQ(atrLength, 0);   // a direct connection gives no ATR

    // 60 bytes leave in two packets of the connection's 32; the answer of 258 bytes comes in two.
    Bytes apdu{0x80, 0x10, 0x00, 0x00, 55};
    for (uint8_t i = 0; i < 55; ++i) apdu.push_back(i);
    NfcApiStatus status;
    EXPECT_EQ(exchangeApdu(connection, apdu, &status), ncisim::defaultSecureElementAnswer(apdu));
    EXPECT_EQ(status, nfcStatusOk);
    const Bytes getData{0x00, 0xCA, 0x00, 0x00, 0x00};
    const Bytes answer = exchangeApdu(connection, getData, &status);
    ASSERT_EQ(status, nfcStatusOk);
    EXPECT_EQ(answer, ncisim::defaultSecureElementAnswer(getData));
    EXPECT_EQ(answer.size(), 258u);
    Bytes seen;
    onSim([&](ncisim::NfceeModel& m) { seen = m.commands().front(); });
    EXPECT_EQ(seen, apdu);

    EXPECT_EQ(nfcSecureClose(connection), nfcStatusOk);
    const auto close = stack_.commands(kConnClose);
    ASSERT_EQ(close.size(), 1u);
    EXPECT_EQ(close[0], Bytes{0x01});
    EXPECT_TRUE(stack_.sim().recorder().violations().empty()) << stack_.sim().describe();
}

TEST_F(SecureElements, AnAnswerAfterTheTimeOutNeverReachesTheCallersBuffer) {
    NfcSecureConnectionHandle connection = nullptr;
    ASSERT_EQ(nfcSecureOpen(stack_.handle(), list_.handleOf(kUicc), &connection), nfcStatusOk);
    nfcSecureSetTimeout(stack_.handle(), list_.handleOf(kUicc), 200);
    onSim([](ncisim::NfceeModel& m) { m.setAnswerDelay(1500); });
    const Bytes apdu{0x00, 0xCA, 0x00, 0x00, 0x10};
    Bytes answer(64, 0xEE);
    WORD length = static_cast<WORD>(answer.size());
    EXPECT_NE(nfcSecureExchangePdu(connection, apdu.data(), static_cast<WORD>(apdu.size()), answer.data(), &length),
              nfcStatusOk);
    EXPECT_EQ(length, 0);
    // The late answer comes before the next one and is dropped: the next exchange gets its own.
    nfcSecureSetTimeout(stack_.handle(), list_.handleOf(kUicc), 3000);
    const Bytes next{0x00, 0xCA, 0x00, 0x00, 0x03};
    NfcApiStatus status;
    EXPECT_EQ(exchangeApdu(connection, next, &status), ncisim::defaultSecureElementAnswer(next));
    EXPECT_EQ(status, nfcStatusOk);
    EXPECT_TRUE(std::all_of(answer.begin(), answer.end(), [](uint8_t b) { return b == 0xEE; }));
    nfcSecureClose(connection);
}

TEST_F(SecureElements, ModeOffAndOnAreSentAndFollowedByTheList) {
    const NfcSecureHandle ese = list_.handleOf(kEse);
    ASSERT_EQ(nfcSecureSetMode(stack_.handle(), ese, 0), nfcStatusOk);
    SeList after;
    ASSERT_EQ(nfcSecureGetList(stack_.handle(), &after, &SeList::add), nfcStatusOk);
    EXPECT_EQ(+after.elements[1].mode, 0);
    ASSERT_EQ(nfcSecureSetMode(stack_.handle(), ese, 1), nfcStatusOk);
    EXPECT_EQ(stack_.commands(kModeSet), (std::vector<Bytes>{{kEse, 0x00}, {kEse, 0x01}}));
    std::map<uint8_t, uint8_t> modes;
    onSim([&](ncisim::NfceeModel& m) { modes = m.modes(); });
    EXPECT_EQ(modes[kEse], 1);
    EXPECT_EQ(nfcSecureSetMode(stack_.handle(), 0x1234, 1), nfcStatusInvalidHandle);
}

TEST_F(SecureElements, StatusChangesReachTheApplicationAndAnInvalidOneDoesNot) {
    const NfcSecureHandle uicc = list_.handleOf(kUicc);
    onSim([](ncisim::NfceeModel& m) {
        m.sendStatus(kUicc, 0x01);
        m.sendStatus(kUicc, 0x00);
        m.sendStatus(kUicc, 0x02);
        m.sendStatus(kUicc, 0x00);   // a removed element does not come back
    });
    const struct {
        DWORD kind, value;
    } expected[] = {{2, 1}, {2, 0}, {3, 2}};
    for (size_t i = 0; i < std::size(expected); ++i) {
        const auto e = stack_.waitFor(nfcEventSecureNotification, i);
        ASSERT_TRUE(e) << i;
        EXPECT_EQ(e->secure.handle, uicc);
        EXPECT_EQ(e->secure.kind, expected[i].kind);
        EXPECT_EQ(e->secure.value, expected[i].value);
    }
    EXPECT_FALSE(stack_.waitFor(nfcEventSecureNotification, 3, 300));
}

TEST_F(SecureElements, ATransactionReachesTheSecureElementListener) {
    // Transactions go to applications that switched an element on.
    ASSERT_EQ(nfcSecureSetMode(stack_.handle(), list_.handleOf(kEse), 1), nfcStatusOk);
    NfcListenerHandle listener = nullptr;
    ASSERT_EQ(nfcRegisterListener(stack_.handle(), nullptr, NFC_LISTEN_SECURE_ELEMENT | 0x1, nullptr, &listener),
              nfcStatusOk);
    ASSERT_TRUE(stack_.waitForCommands(kRfDiscover, 1));
    onSim([](ncisim::NfceeModel& m) {
        m.sendAction(kEse, 0x10, {0x81, 0x05, 0xA0, 0x00, 0x00, 0x00, 0x03, 0x82, 0x02, 0x12, 0x34});
        m.sendAction(kEse, 0x10, {0x05, 0xA0});   // no AID tag: ignored
        m.sendAction(kEse, 0x10, {0x81, 0x02, 0xB0, 0x01});
    });
    const auto first = stack_.waitFor(nfcEventTransaction, 0);
    ASSERT_TRUE(first);
    EXPECT_EQ(Bytes(first->transaction.aid, first->transaction.aid + first->transaction.aidLength),
              (Bytes{0xA0, 0x00, 0x00, 0x00, 0x03}));
    EXPECT_EQ(Bytes(first->transaction.param, first->transaction.param + first->transaction.paramLength),
              (Bytes{0x12, 0x34}));
    const auto second = stack_.waitFor(nfcEventTransaction, 1);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->transaction.aidLength, 2);
    EXPECT_EQ(second->transaction.paramLength, 0);
    EXPECT_FALSE(stack_.waitFor(nfcEventTransaction, 2, 200));
}

TEST_F(SecureElements, RoutesAreAddedReadAndClearedAndATechnologyRouteJoinsDiscovery) {
    TNfcRoutingEntry entries[2]{};
    entries[0].hSecure = list_.handleOf(kEse);
    entries[0].type = NFC_ROUTE_TECHNOLOGY;
    entries[0].powerState = 0x01;
    entries[0].value = 0x01;   // NFC-B
    entries[1].nfceeId = kUicc;
    entries[1].type = NFC_ROUTE_AID;
    entries[1].powerState = 0x01;
    entries[1].aid = TNfcRoutingAid{5, {0xA0, 0x00, 0x00, 0x00, 0x04}};
    ASSERT_EQ(nfcSecureAddRoutingEntries(stack_.handle(), entries, 2), nfcStatusOk);

    // Listening for poll A only: the route to the eSE adds listen B.
    ASSERT_TRUE(stack_.listen(0x1));
    ASSERT_TRUE(stack_.waitForCommands(kRfDiscover, 1));
    const auto routing = stack_.commands(kSetRouting);
    ASSERT_FALSE(routing.empty());
    const Bytes& table = routing.back();
    const Bytes tech{0x00, 0x03, kEse, 0x01, 0x01};
    const Bytes aid{0x02, 0x07, kUicc, 0x01, 0xA0, 0x00, 0x00, 0x00, 0x04};
    EXPECT_NE(std::search(table.begin(), table.end(), tech.begin(), tech.end()), table.end());
    EXPECT_NE(std::search(table.begin(), table.end(), aid.begin(), aid.end()), table.end());
    const Bytes discover = stack_.commands(kRfDiscover).back();
    EXPECT_NE(std::find(discover.begin() + 1, discover.end(), 0x81), discover.end());

    TNfcRoutingEntry read[8]{};
    DWORD size = 0;
    ASSERT_EQ(whenSettled([&] {
                  size = sizeof read;
                  return nfcSecureGetRoutingEntries(stack_.handle(), read, &size);
              }),
              nfcStatusOk);
    ASSERT_EQ(stack_.commands(kGetRouting).size(), 1u);
    ASSERT_EQ(size % sizeof(TNfcRoutingEntry), 0u);
    const size_t count = size / sizeof(TNfcRoutingEntry);
    bool techFound = false, aidFound = false;
    for (size_t i = 0; i < count; ++i) {
        if (read[i].type == NFC_ROUTE_TECHNOLOGY && read[i].nfceeId == kEse) {
            techFound = read[i].value == 0x01 && read[i].hSecure == list_.handleOf(kEse);
        }
        if (read[i].type == NFC_ROUTE_AID && read[i].nfceeId == kUicc)
            aidFound = read[i].aid.length == 5 && std::memcmp(read[i].aid.bytes, entries[1].aid.bytes, 5) == 0;
    }
    EXPECT_TRUE(techFound);
    EXPECT_TRUE(aidFound);

    // Room for one record is too little for what the controller holds.
    size = sizeof(TNfcRoutingEntry);
    EXPECT_NE(nfcSecureGetRoutingEntries(stack_.handle(), read, &size), nfcStatusOk);
    EXPECT_EQ(nfcSecureClearRoutingEntries(stack_.handle()), nfcStatusOk);
}

TEST_F(SecureElements, AnElementThatAReaderCanReachIsReportedActiveAndInactive) {
    const NfcSecureHandle ese = list_.handleOf(kEse);
    onSim([](ncisim::NfceeModel& m) { m.sendDiscoveryRequest(kEse, 0x81, 0x04); });   // listen B, ISO-DEP
    TNfcRoutingEntry route{};
    route.hSecure = ese;
    route.type = NFC_ROUTE_TECHNOLOGY;
    route.powerState = 0x01;
    route.value = 0x01;
    // The discovery request may start discovery for the element on its own meanwhile.
    ASSERT_EQ(whenSettled([&] { return nfcSecureAddRoutingEntries(stack_.handle(), &route, 1); }), nfcStatusOk);
    ASSERT_TRUE(stack_.listen(0x1));
    const auto on = stack_.waitFor(nfcEventSecureNotification, 0);
    ASSERT_TRUE(on);
    EXPECT_EQ(on->secure.handle, ese);
    EXPECT_EQ(on->secure.kind, NFC_SE_ACTIVATED);
    // Switched off, the element no longer answers readers: discovery restarts without it.
    ASSERT_EQ(whenSettled([&] { return nfcSecureSetMode(stack_.handle(), ese, 0); }), nfcStatusOk);
    const auto off = stack_.waitFor(nfcEventSecureNotification, 1);
    ASSERT_TRUE(off);
    EXPECT_EQ(off->secure.handle, ese);
    EXPECT_EQ(off->secure.kind, NFC_SE_DEACTIVATED);
    // Discovery may have restarted for the element once more before the switch: the one that
    // follows the switch, however many came before it, leaves listen B out.
    bool withoutListenB = false;
    for (size_t n = 2; !withoutListenB && stack_.waitForCommands(kRfDiscover, n); ++n) {
        const Bytes discover = stack_.commands(kRfDiscover)[n - 1];
        withoutListenB = std::find(discover.begin() + 1, discover.end(), 0x81) == discover.end();
    }
    EXPECT_TRUE(withoutListenB);
}

TEST_F(SecureElements, AnElementIsReachedWhileAReaderTalksToTheHost) {
    configureCredits(stack_, Credits::PerPacket);
    NfcListenerHandle listener = stack_.listen(CE_HOST_14443A_106);
    ASSERT_NE(listener, nullptr);
    const Bytes select{0x00, 0xA4, 0x04, 0x00, 0x02, 0xF0, 0x01}, read{0x00, 0xB0, 0x00, 0x00, 0x10};
    auto reader = simpeers::RemotePoller::reader(simtags::Technology::A);
    reader->log.toSend = {select, read};
    stack_.sim().rf().approach(reader);
    ASSERT_TRUE(stack_.waitFor(nfcEventReaderRequest, 0)) << stack_.sim().describe();

    // The host is in listen mode, a reader waiting for its answer: the element still serves the application.
    NfcSecureConnectionHandle connection = nullptr;
    ASSERT_EQ(nfcSecureOpen(stack_.handle(), list_.handleOf(kEse), &connection), nfcStatusOk);
    const Bytes getData{0x00, 0xCA, 0x00, 0x00, 0x20};
    NfcApiStatus status;
    EXPECT_EQ(exchangeApdu(connection, getData, &status), ncisim::defaultSecureElementAnswer(getData));
    EXPECT_EQ(status, nfcStatusOk);

    // The reader's next command comes while the element holds its answer: both arrive.
    Fault slowReader = Fault::delayed(300);
    slowReader.times = 1;
    stack_.sim().setFault(0x0000, slowReader);
    const Bytes answer{0x90, 0x00};
    EXPECT_EQ(nfcTransmitPdu(listener, answer.data(), static_cast<WORD>(answer.size())), nfcStatusPending);
    size_t answered = 0;
    ASSERT_TRUE(grantUntil(stack_, Credits::PerPacket, [&] {
        stack_.sim().call([&](Controller&) { answered = reader->log.received.size(); });
        return answered > 0;
    }));
    nfcSecureSetTimeout(stack_.handle(), list_.handleOf(kEse), 5000);
    onSim([](ncisim::NfceeModel& m) { m.setAnswerDelay(1000); });
    EXPECT_EQ(exchangeApdu(connection, getData, &status), ncisim::defaultSecureElementAnswer(getData));
    EXPECT_EQ(status, nfcStatusOk);
    const auto second = stack_.waitFor(nfcEventReaderRequest, 1);
    ASSERT_TRUE(second) << stack_.sim().describe();
    EXPECT_EQ(second->request, read);
    EXPECT_EQ(nfcSecureClose(connection), nfcStatusOk);
    EXPECT_TRUE(stack_.sim().recorder().violations().empty()) << stack_.sim().describe();
}

TEST_F(SecureElements, TheWireWakeUpCarriesTheCallersByteOrOne) {
    stack_.sim().onCommand(0x2F08, [](Controller& c, const ncisim::NciMessage&) { c.respond(0x4F08, {0x00}); });
    const BYTE two = 0x02;
    EXPECT_EQ(nfcDeviceIoControl(stack_.handle(), 0x110A, &two, 1, nullptr, nullptr), nfcStatusOk);
    EXPECT_EQ(nfcDeviceIoControl(stack_.handle(), 0x110A, nullptr, 0, nullptr, nullptr), nfcStatusOk);
    EXPECT_EQ(stack_.commands(0x2F08), (std::vector<Bytes>{{0x02}, {0x01}}));
    stack_.sim().onCommand(0x2F08, [](Controller& c, const ncisim::NciMessage&) { c.respond(0x4F08, {0x03}); });
    EXPECT_NE(nfcDeviceIoControl(stack_.handle(), 0x110A, nullptr, 0, nullptr, nullptr), nfcStatusOk);
}

TEST(SecureRouting, ATechnologyRouteToAnEnabledElementAddsItsListenModeToDiscovery) {
    const struct {
        DWORD mask;            // the listen request
        uint8_t technology;    // routed to the eSE
        uint8_t eseStatus;     // 0 enabled, 1 disabled
        std::vector<uint8_t> expected, absent;
    } cases[] = {
        {0x1, 0x00, 0, {0x00, 0x80}, {}},
        {0x1, 0x01, 0, {0x00, 0x81}, {0x80}},
        {0x300, 0x02, 0, {0x02, 0x82}, {0x00}},
        {0x1, 0x01, 1, {0x00}, {0x81}},
    };
    for (const auto& c : cases) {
        ncisim::NciIdentity identity = twoSecureElements();
        identity.nfcees[1].status = c.eseStatus;
        ApiStack stack(identity);
        ASSERT_EQ(stack.start(), nfcStatusOk);
        TNfcRoutingEntry route{};
        route.nfceeId = kEse;
        route.type = NFC_ROUTE_TECHNOLOGY;
        route.powerState = 0x01;
        route.value = c.technology;
        ASSERT_EQ(nfcSecureAddRoutingEntries(stack.handle(), &route, 1), nfcStatusOk);
        ASSERT_TRUE(stack.listen(c.mask));
        ASSERT_TRUE(stack.waitForCommands(kRfDiscover, 1));
        const Bytes discover = stack.commands(kRfDiscover).back();
        std::vector<uint8_t> modes;
        for (size_t i = 1; i + 1 < discover.size(); i += 2) modes.push_back(discover[i]);
        for (uint8_t m : c.expected)
            EXPECT_NE(std::find(modes.begin(), modes.end(), m), modes.end()) << c.mask << " " << int(m);
        for (uint8_t m : c.absent)
            EXPECT_EQ(std::find(modes.begin(), modes.end(), m), modes.end()) << c.mask << " " << int(m);
    }
}

class ManySecureElements : public SecureElements {
protected:
    static ncisim::NciIdentity five() {
        ncisim::NciIdentity id = ncisim::NciIdentity::generic();
        for (uint8_t i = 0; i < 5; ++i) {
            NfceeInfo ee;
            ee.id = static_cast<uint8_t>(0x10 + i);
            id.nfcees.push_back(ee);
        }
        return id;
    }
    ManySecureElements() : SecureElements(five()) {}
};

TEST_F(ManySecureElements, AFifthElementIsNotListed) {
    ASSERT_EQ(list_.elements.size(), 4u);
    for (uint8_t i = 0; i < 4; ++i) EXPECT_EQ(list_.elements[i].id, 0x10 + i);
}

} // namespace
