// The NCI driver's secure-element parts on their own: routing rules and their encoding, the
// route records of the IO controls, routing read back over several notifications, NFCEE
// discovery records, and transaction records from hostile lengths.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "L1/nci/nci.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::unique_ptr<TNciContext> context(uint16_t routingTableSize = 0x100) {
    auto nci = std::make_unique<TNciContext>();
    nci->routingTableSize = routingTableSize;
    nci->features = 0x1C;
    return nci;
}

uint16_t add(TNciContext* nci, uint8_t type, uint8_t route, Bytes value, uint8_t power = 0x01) {
    return nciRoutingAddEntry(nci, value.data(), type, route, power, static_cast<uint8_t>(value.size()));
}

Bytes tableOf(const TNciContext& nci) {
    Bytes out;
    for (int i = 0; i < nci.routing.count; ++i) {
        const TNciRoutingEntry& e = nci.routing.entries[i];
        out.insert(out.end(), {e.type, e.route, e.powerState, e.length});
        out.insert(out.end(), e.value, e.value + e.length);
    }
    return out;
}

const Bytes kAid5{0xA0, 0x00, 0x00, 0x00, 0x01};

TEST(NciRouting, RulesRefuseClashesFullTablesAndWrongSizesWithoutChangingTheTable) {
    auto nci = context();
    ASSERT_EQ(add(nci.get(), NCI_ROUTE_TECH, 0, {0x00}), 0);
    ASSERT_EQ(add(nci.get(), NCI_ROUTE_TECH, 0x10, {0x01}), 0);
    EXPECT_EQ(add(nci.get(), NCI_ROUTE_TECH, 0, {0x00}), 0);   // identical: already there
    struct Case {
        uint8_t type, route;
        Bytes value;
        uint16_t result;
    } refused[] = {
        {NCI_ROUTE_TECH, 0, {0x01}, 11},       // the host may not take what an NFCEE answers
        {NCI_ROUTE_TECH, 0x11, {0x01}, 11},    // nor another NFCEE
        {NCI_ROUTE_AID, 0x10, {1, 2, 3, 4}, 17},
        {NCI_ROUTE_AID, 0x10, Bytes(17, 0xA0), 17},
        {NCI_ROUTE_TECH, 0x10, {0x01, 0x02}, 17},
    };
    for (const Case& c : refused) {
        const Bytes before = tableOf(*nci);
        EXPECT_EQ(add(nci.get(), c.type, c.route, c.value), c.result) << int(c.type) << " " << c.value.size();
        EXPECT_EQ(tableOf(*nci), before);
    }
    // An NFCEE route replaces the host's route for the same value.
    ASSERT_EQ(add(nci.get(), NCI_ROUTE_AID, 0, kAid5), 0);
    ASSERT_EQ(add(nci.get(), NCI_ROUTE_AID, 0x10, kAid5), 0);
    EXPECT_EQ(nci->routing.count, 3);
    EXPECT_EQ(nci->routing.entries[2].route, 0x10);
    EXPECT_EQ(add(nci.get(), NCI_ROUTE_AID, 0, kAid5), 11);
    // Protocol T3T does not count as a clash.
    ASSERT_EQ(add(nci.get(), NCI_ROUTE_PROTOCOL, 0x10, {0x03}), 0);
    EXPECT_EQ(add(nci.get(), NCI_ROUTE_PROTOCOL, 0, {0x03}), 0);
    // Up to eight entries.
    for (uint8_t p : {0x01, 0x02, 0x04}) ASSERT_EQ(add(nci.get(), NCI_ROUTE_PROTOCOL, 0x10, {p}), 0);
    ASSERT_EQ(nci->routing.count, 8);
    const Bytes full = tableOf(*nci);
    EXPECT_EQ(add(nci.get(), NCI_ROUTE_TECH, 0x10, {0x02}), 13);
    EXPECT_EQ(tableOf(*nci), full);
}

TEST(NciRouting, TheEncodedSizeStopsAtTheControllersMaximum) {
    // Each entry takes its value and 4 bytes (type, length, route, power state): the table may
    // fill the controller's maximum, and not one byte more.
    struct Case {
        uint16_t maximum;
        uint16_t third;   // the cause of a third technology entry after two of 5 bytes each
    };
    for (const Case c : {Case{15, 0}, Case{14, 23}, Case{12, 23}}) {
        SCOPED_TRACE(c.maximum);
        auto nci = context(c.maximum);
        ASSERT_EQ(add(nci.get(), NCI_ROUTE_TECH, 0x10, {0x00}), 0);
        ASSERT_EQ(add(nci.get(), NCI_ROUTE_TECH, 0x10, {0x01}), 0);
        const Bytes before = tableOf(*nci);
        EXPECT_EQ(add(nci.get(), NCI_ROUTE_AID, 0x10, kAid5), 23);
        EXPECT_EQ(tableOf(*nci), before);
        EXPECT_EQ(add(nci.get(), NCI_ROUTE_TECH, 0x10, {0x02}), c.third);
    }
}

TEST(NciRouting, AMixedTableEncodesListenAndPollEntriesApart) {
    auto nci = context();
    ASSERT_EQ(add(nci.get(), NCI_ROUTE_TECH, 0x10, {0x01}), 0);
    ASSERT_EQ(add(nci.get(), NCI_ROUTE_POLL_TECH, 0x10, {0x00}, 0x3F), 0);
    ASSERT_EQ(add(nci.get(), NCI_ROUTE_AID, 0x02, kAid5), 0);
    ASSERT_EQ(add(nci.get(), NCI_ROUTE_POLL_PROTOCOL, 0, {0x04}), 0);
    ASSERT_EQ(add(nci.get(), NCI_ROUTE_PROTOCOL, 0, {0x04}), 0);
    uint8_t out[256];
    uint32_t n = nciRoutingEncode(&nci->routing, false, out, sizeof out);
    EXPECT_EQ(Bytes(out, out + n), (Bytes{0x00, 0x03, 0x00, 0x03, 0x10, 0x01, 0x01, 0x02, 0x07, 0x02, 0x01, 0xA0, 0x00,
                                          0x00, 0x00, 0x01, 0x01, 0x03, 0x00, 0x01, 0x04}));
    EXPECT_TRUE(nci->routing.changed);   // the poll-mode entries are still to go out
    n = nciRoutingEncode(&nci->routing, true, out, sizeof out);
    EXPECT_EQ(Bytes(out, out + n), (Bytes{0x00, 0x02, 0x00, 0x03, 0x10, 0x3F, 0x00, 0x01, 0x03, 0x00, 0x01, 0x04}));
    EXPECT_EQ(nciRoutingEncode(&nci->routing, false, out, 10), 0u);   // does not fit
}

TEST(NciRouting, RemovingKeepsTheOrderOfTheOthers) {
    auto nci = context();
    for (uint8_t t : {0x00, 0x01, 0x02}) ASSERT_EQ(add(nci.get(), NCI_ROUTE_TECH, t == 1 ? 0x10 : 0x02, {t}), 0);
    EXPECT_EQ(nciRoutingRemoveEntries(nci.get(), NCI_ROUTE_ANY_TYPE, 0x10, 0xFF, nullptr, 0), 0);
    ASSERT_EQ(nci->routing.count, 2);
    EXPECT_EQ(nci->routing.entries[0].value[0], 0x00);
    EXPECT_EQ(nci->routing.entries[1].value[0], 0x02);
    EXPECT_EQ(nciRoutingRemoveEntries(nci.get(), NCI_ROUTE_AID, NCI_ROUTE_ANY, 0xFF, nullptr, 0), 11);
}

Bytes record(uint32_t type, uint8_t id, Bytes value) {
    Bytes r(NCI_ROUTE_RECORD_SIZE, 0);
    r[4] = static_cast<uint8_t>(type);
    r[8] = 0x01;
    r[9] = id;
    std::memcpy(r.data() + 10, value.data(), value.size());
    return r;
}

TEST(NciRouting, RouteRecordsAreWholeAndAddedUpToTheFirstFailure) {
    auto nci = context();
    Bytes input = record(NCI_ROUTE_TECH, 0x10, {0x01});
    const Bytes aid = record(NCI_ROUTE_AID, 0x10, {0x05, 0xA0, 0x00, 0x00, 0x00, 0x07});
    input.insert(input.end(), aid.begin(), aid.end());
    Bytes cut = input;
    cut.pop_back();
    EXPECT_EQ(nciRoutingAddRecords(nci.get(), cut.data(), static_cast<uint32_t>(cut.size())), 0x0B);
    EXPECT_EQ(nci->routing.count, 0);
    ASSERT_EQ(nciRoutingAddRecords(nci.get(), input.data(), static_cast<uint32_t>(input.size())), 0);
    EXPECT_EQ(nci->routing.count, 2);
    // A short AID is skipped; an unsupported type stops the adding and is reported.
    Bytes more = record(NCI_ROUTE_AID, 0x10, {0x03, 1, 2, 3});
    const Bytes bad = record(0x07, 0x10, {0x01});
    const Bytes after = record(NCI_ROUTE_TECH, 0x10, {0x02});
    more.insert(more.end(), bad.begin(), bad.end());
    more.insert(more.end(), after.begin(), after.end());
    EXPECT_EQ(nciRoutingAddRecords(nci.get(), more.data(), static_cast<uint32_t>(more.size())), 0x0B);
    EXPECT_EQ(nci->routing.count, 2);
    nci->features = 0x04;   // AID routing only
    const Bytes tech = record(NCI_ROUTE_TECH, 0x10, {0x02});
    EXPECT_EQ(nciRoutingAddRecords(nci.get(), tech.data(), NCI_ROUTE_RECORD_SIZE), 0x0B);
}

TEST(NciRouting, ReadingCountsTheRecordsOfEveryNotificationAgainstTheRoom) {
    auto nci = context();
    uint8_t out[2 * NCI_ROUTE_RECORD_SIZE + 5];
    std::memset(out, 0xEE, sizeof out);
    nci->ioOutput = out;
    nci->ioOutputSize = 2 * NCI_ROUTE_RECORD_SIZE;
    auto feed = [&](Bytes ntf) {
        nci->rxPayload = ntf.data();
        nci->rxLength = static_cast<uint32_t>(ntf.size());
        return nciRoutingReadNtf(nci.get());
    };
    EXPECT_EQ(feed({0x01, 0x01, 0x00, 0x03, 0x10, 0x01, 0x02}), NCI_CAUSE_PENDING);
    EXPECT_EQ(feed({0x01, 0x01, 0x02, 0x07, 0x00, 0x01, 0xA0, 0x00, 0x00, 0x00, 0x01}), NCI_CAUSE_PENDING);
    EXPECT_EQ(out[4], NCI_ROUTE_TECH);
    EXPECT_EQ(out[9], 0x10);
    EXPECT_EQ(out[10], 0x02);
    EXPECT_EQ(out[NCI_ROUTE_RECORD_SIZE + 4], NCI_ROUTE_AID);
    EXPECT_EQ(out[NCI_ROUTE_RECORD_SIZE + 10], 5);
    // Each notification alone fits; together they do not.
    EXPECT_EQ(feed({0x00, 0x01, 0x00, 0x03, 0x00, 0x01, 0x00}), 0x0B);
    EXPECT_EQ(out[2 * NCI_ROUTE_RECORD_SIZE], 0xEE);
    nci->routesRead = 0;
    const Bytes hostile[] = {{0x00, 0x01, 0x00, 0x02}, {0x00, 0x01, 0x00, 0x09, 0x10, 0x01}, {0x00, 0x01, 0x00, 0x04, 0x10, 0x01, 0x01, 0x02},
                             {0x00, 0x01, 0x05, 0x03, 0x10, 0x01, 0x01}, {0x00, 0x01, 0x02, 0x14, 0x10, 0x01, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18}};
    for (const Bytes& ntf : hostile) EXPECT_EQ(feed(ntf), 0x0B) << ntf.size();
}

struct TxCase {
    Bytes data;
    bool taken;
    Bytes aid, param;
};

TEST(NciTransaction, RecordsAreBoundedByTheirFieldsAndTheData) {
    const Bytes long20(20, 0xAB);
    Bytes aidLong{0x81, 20};
    aidLong.insert(aidLong.end(), long20.begin(), long20.end());
    Bytes paramLong{0x81, 0x01, 0xA0, 0x82, 20};
    paramLong.insert(paramLong.end(), long20.begin(), long20.end());
    const TxCase cases[] = {
        {{0x81, 0x02, 0xA0, 0x01, 0x82, 0x01, 0x55}, true, {0xA0, 0x01}, {0x55}},
        {{0x81, 0x02, 0xA0, 0x01}, true, {0xA0, 0x01}, {}},
        {{0x05, 0xA0}, false, {}, {}},
        {{0x81}, false, {}, {}},
        {{0x81, 0xFF, 0xA0, 0x01}, true, {0xA0, 0x01}, {}},             // AID length past the data
        {{0x81, 0x01, 0xA0, 0x82, 0xFF, 0x01}, true, {0xA0}, {0x01}},   // parameter length past the data
        {aidLong, true, Bytes(16, 0xAB), {}},
        {paramLong, true, {0xA0}, Bytes(16, 0xAB)},
        // No parameter tag right after the AID: the AID runs on to a 0x82 byte.
        {{0x81, 0x01, 0xA0, 0x01, 0x02, 0x82, 0x33, 0x44}, true, {0xA0, 0x01, 0x02}, {0x33, 0x44}},
        {{0x81, 0x01, 0xA0, 0x01, 0x02}, true, {0xA0, 0x01, 0x02}, {}},
    };
    for (const TxCase& c : cases) {
        // Exactly the data's bytes on the heap, so that a read past them is caught.
        auto data = std::make_unique<uint8_t[]>(c.data.size());
        std::memcpy(data.get(), c.data.data(), c.data.size());
        TNfcTransaction t{};
        ASSERT_EQ(nciParseTransaction(data.get(), static_cast<uint32_t>(c.data.size()), &t), c.taken) << c.data.size();
        if (!c.taken) continue;
        EXPECT_EQ(Bytes(t.aid, t.aid + t.aidLength), c.aid);
        EXPECT_EQ(Bytes(t.param, t.param + t.paramLength), c.param);
    }
}

uint16_t discover(TNciContext* nci, Bytes payload) {
    auto bytes = std::make_unique<uint8_t[]>(payload.size());
    std::memcpy(bytes.get(), payload.data(), payload.size());
    nci->rxPayload = bytes.get();
    nci->rxLength = static_cast<uint32_t>(payload.size());
    return nciHandleNfceeDiscoverNtf(nci);
}

TEST(NciNfcee, DiscoveryFillsFourRecordsAndTheCapabilityBlock) {
    auto nci = context();
    TNfcCapabilityBlock block{};
    nci->capabilities = &block;
    for (uint8_t id = 0x10; id < 0x14; ++id) ASSERT_EQ(discover(nci.get(), {id, 0x00, 0x01, 0x00, 0x00}), 0);
    EXPECT_EQ(discover(nci.get(), {0x20, 0x00, 0x01, 0x00, 0x00}), 13);
    ASSERT_EQ(block.secureElementCount, 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(block.secureElements[i]->id, 0x10 + i);
        EXPECT_EQ(block.secureElements[i]->capabilities, 0x1012);
        EXPECT_NE(block.secureElements[i]->handle, 0u);
        EXPECT_EQ(nciNfceeByHandle(nci.get(), block.secureElements[i]->handle), &nci->nfcees[i]);
    }
}

TEST(NciNfcee, HostileNotificationsAddNothing) {
    auto nci = context();
    TNfcCapabilityBlock block{};
    nci->capabilities = &block;
    const Bytes hostile[] = {
        {0x10, 0x00, 0x09, 0x00},               // nine protocols, one there
        {0x10, 0x00, 0x00, 0x00},               // none
        {0x10, 0x00, 0x01, 0x00, 0x01, 0xA0, 0x05, 0x01},   // a TLV longer than the data
        {0x10, 0x00, 0x01},
    };
    for (const Bytes& ntf : hostile) EXPECT_NE(discover(nci.get(), ntf), 0) << ntf.size();
    EXPECT_EQ(block.secureElementCount, 0);
    EXPECT_EQ(nci->nfceeCount, 0);
}

TEST(NciNfcee, WithTheHciNetworkTheFourthRecordIsKeptForItsAccessNfcee) {
    auto nci = context();
    TNfcCapabilityBlock block{};
    nci->capabilities = &block;
    nci->maker = 0x02;
    nci->flags |= NCI_FLAG_HCI_EXCLUSIVE;
    for (uint8_t id = 0x10; id < 0x13; ++id) ASSERT_EQ(discover(nci.get(), {id, 0x00, 0x01, 0x00}), 0);
    EXPECT_EQ(discover(nci.get(), {0x13, 0x00, 0x01, 0x00}), 13);
    EXPECT_EQ(discover(nci.get(), {0x01, 0x00, 0x01, 0x01}), 5);
    EXPECT_EQ(nci->nfcees[3].id, 0x01);
    EXPECT_EQ(nci->nfcees[3].capabilities & 0x20, 0x20);
    EXPECT_EQ(discover(nci.get(), {0x02, 0x00, 0x01, 0x01}), 13);   // a second access NFCEE
    EXPECT_EQ(block.secureElementCount, 3);   // the access NFCEE is no secure element
}

} // namespace
