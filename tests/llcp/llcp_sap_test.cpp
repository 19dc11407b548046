// The rules of the SAP table and the five link slots, called as the upper interface calls them.
#include "llcp_harness.h"

namespace llcptest {
namespace {

struct ListenRow {
    uint8_t sap;
    const char* name;
    bool co;
    uint16_t result;
    uint8_t granted; // the link's local SAP when taken
};

class LlcpSaps : public LlcpTest {
protected:
    uint16_t listen(uint8_t sap, const char* name, bool co, TLlcpLink** out) {
        return nfcllcpAllocListenLink(p, out, kApp, &upper, sap, name,
                                      name ? static_cast<uint8_t>(std::strlen(name)) : 0, co);
    }
};

TEST_F(LlcpSaps, ListenAllocationFollowsTheRulesInOrder) {
    const ListenRow rows[] = {
        {0, "urn:nfc:sn:snep", true, LLCP_OK, 4},
        {0, "urn:nfc:sn:snep", true, LLCP_SAP_IN_USE, 0}, // its well-known SAP is taken
        {0, "urn:nfc:sn:other", false, LLCP_OK, 5}, // the first free of 5..14
        {0, nullptr, true, LLCP_BAD_PARAMETER, 0},
        {1, "urn:nfc:sn:sdp", true, LLCP_BAD_PARAMETER, 0},
        {64, "urn:nfc:x", true, LLCP_BAD_PARAMETER, 0},
        {2, "urn:nfc:sn:snep", true, LLCP_BAD_PARAMETER, 0}, // SAP 2 is for its own name only
        {3, nullptr, true, LLCP_BAD_PARAMETER, 0},
        {20, "urn:nfc:sn:snep", true, LLCP_BAD_PARAMETER, 0}, // a well-known name needs its SAP
        {20, "urn:nfc:xsvc", true, LLCP_OK, 20},
        {21, "urn:nfc:xsvc", true, LLCP_BAD_PARAMETER, 0}, // the name is in use on 20
        {20, "urn:nfc:ysvc", false, LLCP_SAP_IN_USE, 0},
        {2, "urn:nfc:sn:ip", false, LLCP_OK, 2},
        {40, nullptr, false, LLCP_OK, 40},
        {41, nullptr, false, LLCP_NO_RESOURCES, 0}, // a sixth link
    };
    for (const ListenRow& row : rows) {
        TLlcpLink* link = nullptr;
        SCOPED_TRACE(std::string("SAP ") + std::to_string(row.sap) + " " + (row.name ? row.name : "<none>"));
        EXPECT_EQ(listen(row.sap, row.name, row.co, &link), row.result);
        EXPECT_EQ(link != nullptr, row.result == LLCP_OK);
        if (link) {
            EXPECT_EQ(link->localSap, row.granted);
        }
    }
    EXPECT_EQ(p->linkCount, 5);
}

TEST_F(LlcpSaps, AListenOnASapOfTheSameModeIsRefused) {
    TLlcpLink* first = nullptr;
    TLlcpLink* second = nullptr;
    ASSERT_EQ(listen(20, "urn:nfc:a", true, &first), LLCP_OK);
    EXPECT_EQ(listen(20, "urn:nfc:a", true, &second), LLCP_SAP_IN_USE);
    EXPECT_EQ(second, nullptr);
}

TEST_F(LlcpSaps, AReservedSapKeepsItsOwnCopyOfTheName) {
    activate(NFCMAN_LLCP_TARGET);
    char name[32] = "urn:nfc:xsvc";
    TLlcpLink* link = nullptr;
    ASSERT_EQ(listen(20, name, false, &link), LLCP_OK);
    request<NFACE_NFC_LLCP_DISC_REQ>({nullptr, link});
    EXPECT_EQ(up.last<TNfaceLlcpLinkCause>(NFACE_NFC_LLCP_DISC_CONF).cause, 0);
    EXPECT_EQ(up.count(NFACE_NFC_LLCP_DISC_IND), 1u);
    EXPECT_EQ(p->saps[20].state, LLCP_SAP_RESERVED);
    nfcllcpReleaseLink(p, link);
    std::memset(name, 'Z', sizeof name - 1); // the caller's buffer is gone
    EXPECT_EQ(listen(20, "urn:nfc:other", false, &link), LLCP_BAD_PARAMETER);
    EXPECT_EQ(listen(20, "urn:nfc:xsvc", false, &link), LLCP_OK);
    EXPECT_EQ(link->localSap, 20);
}

TEST_F(LlcpSaps, AReservedNameIsFoundAgainByName) {
    activate(NFCMAN_LLCP_TARGET);
    TLlcpLink* link = nullptr;
    ASSERT_EQ(listen(22, "urn:nfc:named", false, &link), LLCP_OK);
    request<NFACE_NFC_LLCP_DISC_REQ>({nullptr, link});
    nfcllcpReleaseLink(p, link);
    ASSERT_EQ(listen(25, "urn:nfc:named", false, &link), LLCP_OK);
    EXPECT_EQ(p->saps[22].state, LLCP_SAP_USED);
}

TEST_F(LlcpSaps, ASapBelowSixteenIsFreedWithItsName) {
    activate(NFCMAN_LLCP_TARGET);
    TLlcpLink* link = nullptr;
    ASSERT_EQ(listen(0, "urn:nfc:sn:other", false, &link), LLCP_OK);
    ASSERT_EQ(link->localSap, 5);
    request<NFACE_NFC_LLCP_DISC_REQ>({nullptr, link});
    EXPECT_EQ(p->saps[5].state, LLCP_SAP_FREE);
    EXPECT_EQ(p->saps[5].length, 0);
}

TEST_F(LlcpSaps, AConnectWithANameGoesToTheDiscoverySap) {
    TLlcpLink* link = nullptr;
    EXPECT_EQ(nfcllcpAllocConLink(p, &link, kApp, &upper, 4, "urn:nfc:sn:snep", 15), LLCP_BAD_PARAMETER);
    EXPECT_EQ(link, nullptr);
    for (uint8_t remote : {0, 1}) {
        int owner = 0;
        ASSERT_EQ(nfcllcpAllocConLink(p, &link, kApp, &owner, remote, "urn:nfc:sn:snep", 15), LLCP_OK);
        EXPECT_EQ(link->remoteSap, 1);
        EXPECT_GE(link->localSap, 32);
        EXPECT_EQ(link->flags & (LLCP_LINK_CO | LLCP_LINK_OUTGOING), LLCP_LINK_CO | LLCP_LINK_OUTGOING);
        nfcllcpReleaseLink(p, link);
    }
    ASSERT_EQ(nfcllcpAllocConLink(p, &link, kApp, &upper, 9, nullptr, 0), LLCP_OK);
    TLlcpLink* again = nullptr;
    EXPECT_EQ(nfcllcpAllocConLink(p, &again, kApp, &upper, 9, nullptr, 0), LLCP_SAP_IN_USE);
}

TEST_F(LlcpSaps, LinkHandlesAreCheckedAgainstSlotUseAndOwner) {
    TLlcpLink* link = nullptr;
    ASSERT_EQ(listen(20, "urn:nfc:a", false, &link), LLCP_OK);
    EXPECT_EQ(llcpCheckLinkHandle(p, link, kApp), LLCP_OK);
    EXPECT_EQ(llcpCheckLinkHandle(p, link, kApp + 1), LLCP_BAD_PARAMETER);
    EXPECT_EQ(llcpCheckLinkHandle(p, &p->links[3], kApp), LLCP_BAD_PARAMETER);
    EXPECT_EQ(llcpCheckLinkHandle(p, &upper, kApp), LLCP_BAD_PARAMETER);
    // A request on a handle that is no link is not answered.
    request<NFACE_NFC_LLCP_DISC_REQ>({nullptr, &upper});
    EXPECT_EQ(up.count(NFACE_NFC_LLCP_DISC_CONF), 0u);
    EXPECT_TRUE(cap.contains("!! nfcllcpHandleNFCLLCPDiscReq: invalid Handle"));
}

TEST_F(LlcpSaps, TheEndOfTheLinkReachesOnlyConnectionsAndConfirmsTheirData) {
    activate(NFCMAN_LLCP_TARGET);
    TLlcpLink* connectionless = nullptr;
    TLlcpLink* listener = nullptr;
    ASSERT_EQ(listen(0x10, "urn:nfc:sn:x", false, &connectionless), LLCP_OK);
    ASSERT_EQ(listen(0, "urn:nfc:sn:snep", true, &listener), LLCP_OK);
    TLlcpLink* connection = connectedLink(0x20);
    const Bytes data(4, 1);
    request<NFACE_NFC_LLCP_DATA_REQ>({connection, data.data(), 4, 9, 0});
    advance(460); // the peer's 100 ms link time-out and the margin
    ASSERT_EQ(up.count(NFACE_NFC_LLCP_DISC_IND), 1u);
    EXPECT_EQ(up.last<TNfaceLlcpLinkCause>(NFACE_NFC_LLCP_DISC_IND).hLink, connection);
    EXPECT_EQ(up.last<TNfaceLlcpDataConf>(NFACE_NFC_LLCP_DATA_CONF).handle, 9);
    EXPECT_EQ(up.last<TNfaceLlcpDataConf>(NFACE_NFC_LLCP_DATA_CONF).cause, 0x408); // never acknowledged: not sent
    EXPECT_EQ(connection->state, LLCP_STATE_IDLE);

    request<NFACE_NFC_LLCP_DISC_RESP>({listener});
    EXPECT_TRUE(cap.contains("!! nfcllcpHandleNFCLLCPDiscResp: link="));
    EXPECT_EQ(p->linkCount, 3);
    request<NFACE_NFC_LLCP_DISC_RESP>({connection});
    EXPECT_EQ(p->linkCount, 2);
    EXPECT_EQ(p->saps[32].state, LLCP_SAP_FREE);
}

TEST_F(LlcpSaps, ConnectAndListenRequestsAreAnsweredNotPassedDown) {
    activate(NFCMAN_LLCP_TARGET);
    std::vector<uint8_t> area(256);
    request<NFACE_NFC_LLCP_CON_REQ>({&upper, area.data(), nullptr, 128, 0, 128, 1, 4}, 3);
    EXPECT_EQ(up.last<TNfaceLlcpLinkCause>(NFACE_NFC_LLCP_CON_CONF).cause, 0);
    EXPECT_EQ(up.last<TNfaceLlcpLinkCause>(NFACE_NFC_LLCP_CON_CONF).hApp, &upper);
    request<NFACE_NFC_LLCP_LISTEN_REQ>({&upper, area.data() + 128, nullptr, 128, 0, 128, 1, 1, 0x10, 1}, 4);
    EXPECT_EQ(up.last<TNfaceLlcpLinkCause>(NFACE_NFC_LLCP_LISTEN_CONF).cause, 0);
    EXPECT_EQ(down.count(NFACE_NFC_LLCP_CON_REQ) + down.count(NFACE_NFC_LLCP_LISTEN_REQ), 0u);
}

TEST_F(LlcpSaps, TwoEnginesShareNothing) {
    auto second = std::make_unique<TLlcp>();
    ASSERT_EQ(nfcllcpInit(second.get(), 0xB3), 0);
    EXPECT_NE(second->ownQueue, p->ownQueue);
    EXPECT_NE(second->dsPool, p->dsPool);
    TLlcpLink* link = nullptr;
    ASSERT_EQ(nfcllcpAllocListenLink(second.get(), &link, kApp, &upper, 0, "urn:nfc:sn:snep", 15, true), LLCP_OK);
    EXPECT_EQ(p->saps[4].state, LLCP_SAP_FREE);
    EXPECT_EQ(p->linkCount, 0);
    ASSERT_EQ(listen(0, "urn:nfc:sn:snep", true, &link), LLCP_OK);
    EXPECT_EQ(link->owner, p);
}

TEST_F(LlcpSaps, ServiceNamesAreCheckedForTheirPrefix) {
    EXPECT_EQ(nfcllcpCheckUriServiceName(4, "", 0), 3u);
    EXPECT_EQ(nfcllcpCheckUriServiceName(4, "urn:nfc:sn:snep", 15), 1u);
    EXPECT_EQ(nfcllcpCheckUriServiceName(20, "urn:nfc:xsvc", 12), 2u);
    EXPECT_FALSE(cap.contains("is NOT conform"));
    EXPECT_EQ(nfcllcpCheckUriServiceName(4, "urn:nfc:xsvcTAIL", 12), 1u); // only the counted bytes
    EXPECT_TRUE(cap.contains("URI 'urn:nfc:xsvc' is NOT conform"));
    EXPECT_FALSE(cap.contains("TAIL"));
}

} // namespace
} // namespace llcptest
