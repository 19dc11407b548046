// The NCI transport adapter over its two lower transports: the serial front end on a
// pseudo-terminal with a scripted controller, and the chip transport with an in-process miniport.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "com_events.h"
#include "fake_miniport.h"
#include "pty_pair.h"
#include "scripted_peer.h"
#include "trace_capture.h"
#include "transport/ncitransport.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kResetCmd = {0x20, 0x00, 0x01, 0x00};
const Bytes kResetRsp = {0x40, 0x00, 0x03, 0x00, 0x11, 0x00};
const Bytes kInitCmd = {0x20, 0x01, 0x00};
const Bytes kCredits = {0x60, 0x06, 0x03, 0x01, 0x00, 0x01};

Bytes with(std::vector<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

struct NciTransport : ::testing::Test {
    ComEvents events;
    TComHandle handle = nullptr;

    void TearDown() override { close(); }
    DWORD open(const std::string& parameters) {
        const DWORD status = nciTransportOpen("", parameters.c_str(), &ComEvents::callBack, &events, &handle);
        if (status == COM_PENDING) {
            EXPECT_TRUE(events.waitFor(comeOpenCompleted));
        }
        return status;
    }
    DWORD write(Bytes b) { return nciTransportWrite(handle, b.data(), static_cast<DWORD>(b.size())); }
    void close() {
        if (handle) {
            EXPECT_EQ(nciTransportClose(handle), COM_SUCCESS);
        }
        handle = nullptr;
    }
};

struct NciOnPty : NciTransport {
    PtyPair pty;
    void SetUp() override { ASSERT_TRUE(pty.ok()); }
    DWORD open(const char* readerType) {
        return NciTransport::open(std::string("READERTYPE=") + readerType + " IOTYPE=SERIAL PORT=" + pty.slavePath());
    }
};

struct FramingCase {
    const char* readerType;
    Bytes prefix;
};

class NciFramingOnPty : public NciOnPty, public ::testing::WithParamInterface<FramingCase> {};

TEST_P(NciFramingOnPty, EachPacketIsOneFrameEachWay) {
    const FramingCase& c = GetParam();
    ASSERT_EQ(open(c.readerType), COM_PENDING);
    ScriptedPeer peer(pty, {ScriptedPeer::expect(with({c.prefix, kResetCmd})),
                            ScriptedPeer::send(with({c.prefix, kResetRsp, c.prefix, kCredits})),
                            ScriptedPeer::expect(with({c.prefix, kInitCmd}))});
    ASSERT_EQ(write(kResetCmd), COM_SUCCESS);
    ASSERT_TRUE(events.waitFor(comeDataReceived, 2));
    ASSERT_EQ(write(kInitCmd), COM_SUCCESS);
    EXPECT_EQ(peer.wait(), "");
    EXPECT_EQ(events.packets(), (std::vector<Bytes>{kResetRsp, kCredits}));
    EXPECT_EQ(events.count(comeTransmitCompleted), 0u);   // completions stay below
    EXPECT_EQ(events.count(comeDeviceError), 0u);
}

INSTANTIATE_TEST_SUITE_P(Readers, NciFramingOnPty,
                         ::testing::Values(FramingCase{"NCI", {}}, FramingCase{"NCI_BCM", {0x10}}),
                         [](const auto& info) { return std::string(info.param.readerType); });

TEST_F(NciOnPty, CloseReportsOnceAndTheLinkOpensAgain) {
    ASSERT_EQ(open("NCI"), COM_PENDING);
    TComHandle old = handle;
    close();
    EXPECT_EQ(events.count(comeCloseCompleted), 1u);
    EXPECT_EQ(nciTransportWrite(old, const_cast<BYTE*>(kResetCmd.data()), 4), COM_ERR_HANDLE);
    EXPECT_EQ(nciTransportClose(old), COM_ERR_HANDLE);
    ASSERT_EQ(open("NCI"), COM_PENDING);
    ScriptedPeer peer(pty, {ScriptedPeer::expect(kResetCmd)});
    ASSERT_EQ(write(kResetCmd), COM_SUCCESS);
    EXPECT_EQ(peer.wait(), "");
}

TEST_F(NciOnPty, OneLinkOnlyAndAFailedOpenLeavesItFree) {
    TraceCapture trace;
    ComEvents other;
    TComHandle h = &other;
    EXPECT_EQ(nciTransportOpen("", "READERTYPE=NCI IOTYPE=SERIAL PORT=/dev/corvane-no-such-port", &ComEvents::callBack,
                               &other, &h),
              COM_ERR_OPEN);
    EXPECT_EQ(h, nullptr);
    EXPECT_TRUE(trace.contains("! ehci/nci transport layer open failed"));
    EXPECT_EQ(nciTransportOpen("", "READERTYPE=NCI IOTYPE=SERIAL FWDOWNLOAD=1", &ComEvents::callBack, &other, &h),
              COM_ERR_OPEN);
    ASSERT_EQ(open("NCI"), COM_PENDING);
    EXPECT_EQ(nciTransportOpen("", "READERTYPE=NCI IOTYPE=SERIAL", &ComEvents::callBack, &other, &h), COM_ERR_NO_RESOURCES);
    EXPECT_TRUE(trace.contains("nciTransport: ! nciTransport no free link"));
    EXPECT_EQ(other.count(comeOpenCompleted), 0u);
}

TEST_F(NciOnPty, RemovalOfThePeerIsReportedUp) {
    ASSERT_EQ(open("NCI"), COM_PENDING);
    pty.hangUp();
    ASSERT_TRUE(events.waitFor(comeAdapterPlugout));
    close();
    EXPECT_EQ(events.count(comeAdapterPlugout), 1u);
    EXPECT_EQ(events.count(comeDeviceError), 0u);
}

TEST_F(NciOnPty, WriteTakesOnlyAnNciPacket) {
    ASSERT_EQ(open("NCI"), COM_PENDING);
    EXPECT_EQ(write({0x20, 0x00}), COM_ERR_TOO_LONG);
    EXPECT_EQ(write(Bytes(259, 0)), COM_ERR_TOO_LONG);
    EXPECT_EQ(nciTransportWrite(handle, nullptr, 4), COM_ERR_TOO_LONG);
    Bytes longest(258, 0x5A);
    longest[0] = 0x00;
    longest[2] = 255;
    ScriptedPeer peer(pty, {ScriptedPeer::expect(longest)});
    EXPECT_EQ(write(longest), COM_SUCCESS);
    EXPECT_EQ(peer.wait(), "");
}

TEST_F(NciOnPty, Properties) {
    ASSERT_EQ(open("NCI"), COM_PENDING);
    const DWORD saved = debugGetL1Flags();
    DWORD word = 0x12340000;
    EXPECT_EQ(nciTransportSetProperty(handle, compTraceFlags, &word, sizeof word), COM_SUCCESS);
    DWORD read = 0, length = sizeof read;
    EXPECT_EQ(nciTransportGetProperty(handle, compTraceFlags, &read, &length), COM_SUCCESS);
    EXPECT_EQ(read, word);
    debugSetL1Flags(saved);
    EXPECT_EQ(nciTransportSetProperty(handle, compFlushTx, nullptr, 0), COM_ERR_PROPERTY);
    EXPECT_EQ(nciTransportGetProperty(handle, compResetController, &read, &length), COM_ERR_PROPERTY);
    EXPECT_EQ(nciTransportSetProperty(nullptr, compResetController, nullptr, 0), COM_ERR_HANDLE);
}

// ---- Over the chip transport --------------------------------------------------------------------
struct NciOnChip : NciTransport {
    FakeMiniport fake;
    DWORD open() { return NciTransport::open("READERTYPE=NCI_ST21 IOTYPE=I2C PORT=bus0"); }
    // What the lower transport's receive side hands the adapter.
    void lowerReceives(Bytes b) { nciTransportLowerCallback(handle, comeDataReceived, 0, b.data(), static_cast<DWORD>(b.size())); }
};

TEST_F(NciOnChip, PacketsTravelThroughTheMiniport) {
    ASSERT_EQ(open(), COM_PENDING);
    ASSERT_EQ(write(kResetCmd), COM_SUCCESS);
    ASSERT_TRUE(fake.waitWrites(1));
    EXPECT_EQ(fake.writes(), std::vector<Bytes>{kResetCmd});
    fake.receive(Bytes(kResetRsp.begin(), kResetRsp.begin() + 2));
    fake.receive(Bytes(kResetRsp.begin() + 2, kResetRsp.end()));
    ASSERT_TRUE(events.waitFor(comeDataReceived));
    EXPECT_EQ(events.packets(), std::vector<Bytes>{kResetRsp});
}

TEST_F(NciOnChip, AWriteGivenUpIsADeviceError) {
    ASSERT_EQ(open(), COM_PENDING);
    fake.scriptWrites(std::vector<int32_t>(CHIP_TX_TRIES, -1));
    ASSERT_EQ(write(kResetCmd), COM_SUCCESS);
    ASSERT_TRUE(events.waitFor(comeDeviceError));
    EXPECT_EQ(events.of(comeDeviceError)[0].status, CHIP_ERR_TX);
}

TEST_F(NciOnChip, ResetDropsThePacketItCut) {
    ASSERT_EQ(open(), COM_PENDING);
    lowerReceives(Bytes(kCredits.begin(), kCredits.begin() + 4));
    EXPECT_EQ(nciTransportSetProperty(handle, compResetController, nullptr, 0), COM_SUCCESS);
    EXPECT_EQ(fake.resets(), 1);
    EXPECT_EQ(events.count(comeResetCompleted), 1u);
    lowerReceives(kResetRsp);
    EXPECT_EQ(events.packets(), std::vector<Bytes>{kResetRsp});
}

TEST_F(NciOnChip, TransmitCompletions) {
    // Only a failed transmission is reported, as a device error; a write that a reset or close
    // dropped is none.
    ASSERT_EQ(open(), COM_PENDING);
    struct Case {
        DWORD status;
        size_t errors;
    } cases[] = {{COM_SUCCESS, 0}, {COM_ERR_STATE, 0}, {COM_ERR_OPEN, 1}};
    for (const Case& c : cases) {
        BYTE token = 0;
        nciTransportLowerCallback(handle, comeTransmitCompleted, c.status, &token, 4);
        EXPECT_EQ(events.count(comeDeviceError), c.errors) << c.status;
    }
    EXPECT_EQ(events.count(comeTransmitCompleted), 0u);
}

} // namespace
