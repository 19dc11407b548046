// The ETSI transport adapter's options, read at open on a pseudo-terminal port.
#include <gtest/gtest.h>

#include <string>

#include "pty_pair.h"
#include "trace_capture.h"
#include "transport/etsitransport.h"
#include "transport/shdlc.h"

namespace {

struct OptionCase {
    const char* options;
    uint32_t flags;
    uint32_t window;
};

void ignore(void*, DWORD, DWORD, BYTE*, DWORD) {}

TEST(EtsiTransportOptions, TheConfigurationGivesLinkFlagsAndWindow) {
    const OptionCase cases[] = {
        {"", 0, 2},
        {"WINDOWSIZE=4 LENGTHMODE=1", SHDLC_LENGTH_MODE, 4},
        {"ST21REBOOT=1 LENGTHMODE=0", SHDLC_CHIP_REBOOT, 2},
        {"BAUDRATE=115200,230400", 0x10060000, 2},
        {"BAUDRATE=115200,460800", 0x10070000, 2},
        {"BAUDRATE=230400,115200", 0x10050000, 2},
        {"BAUDRATE=230400,460800", 0x10070000, 2},
        {"BAUDRATE=460800,115200", 0x10050000, 2},
        {"BAUDRATE=115200,9600", 0x10000000, 2},
        {"BAUDRATE=9600,115200", 0x10050000, 2},
        {"BAUDRATE=115200", 0, 2},
    };
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    for (const OptionCase& c : cases) {
        TraceCapture trace;
        const std::string text = std::string("READERTYPE=ST21NFCA ") + c.options + " IOTYPE=SERIAL PORT=" + pty.slavePath();
        TComHandle handle = nullptr;
        ASSERT_EQ(etsiTransportOpen(pty.slavePath().c_str(), text.c_str(), &ignore, nullptr, &handle), COM_PENDING) << c.options;
        EXPECT_EQ(etsiTransportLinkFlags(), c.flags) << c.options;
        EXPECT_EQ(etsiTransportWindow(), c.window) << c.options;
        if (c.flags & SHDLC_BAUD_CHANGE) {
            EXPECT_TRUE(trace.contains("set baudRate to")) << c.options;
        }
        EXPECT_TRUE(trace.contains("comStartWorkerThread: worker thread"));
        etsiTransportClose(handle);
    }
}

TEST(EtsiTransportOptions, ASecondOpenAndABadHandleAreRefused) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    const std::string text = "READERTYPE=ST21NFCA IOTYPE=SERIAL PORT=" + pty.slavePath();
    TComHandle handle = nullptr, second = nullptr;
    ASSERT_EQ(etsiTransportOpen("", text.c_str(), &ignore, nullptr, &handle), COM_PENDING);
    EXPECT_EQ(etsiTransportOpen("", text.c_str(), &ignore, nullptr, &second), COM_ERR_NO_RESOURCES);
    EXPECT_EQ(second, nullptr);
    BYTE frame[2] = {0x81, 0x03};
    EXPECT_EQ(etsiTransportWrite(&second, frame, sizeof frame), COM_ERR_HANDLE);
    EXPECT_EQ(ehciLayerSetProperty(handle, 0x999, nullptr, 0), COM_ERR_PROPERTY);
    etsiTransportClose(handle);
    EXPECT_EQ(etsiTransportClose(handle), COM_ERR_HANDLE);
}

} // namespace
