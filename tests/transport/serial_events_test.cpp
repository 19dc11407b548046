// Line events, adapter events, enumeration and the front end's handle rules. Line events and
// open results come from a scripted port; adapter events run on a pseudo-terminal.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "com_events.h"
#include "fake_serial_port.h"
#include "pty_pair.h"
#include "trace_capture.h"
#include "transport/cominterface.h"
#include "transport/serialchannelposix.h"
#include "transport/serialfrontend.h"

namespace {

struct Reported {
    DWORD event;
    DWORD status;
    DWORD length;
};

struct ScriptedChannel {
    std::shared_ptr<FakePortState> port = std::make_shared<FakePortState>();
    ComEvents events;
    CSerialChannelPosix channel{std::make_unique<FakeSerialPort>(port)};

    DWORD open(const char* parameters) {
        channel.setParameters(parameters);
        DWORD status = channel.open("COM1", &ComEvents::callBack, &events);
        EXPECT_TRUE(events.waitFor(comeOpenCompleted));
        return status;
    }
    // What the application saw between the open and the close.
    std::vector<Reported> lineReports() {
        std::vector<Reported> out;
        for (const auto& e : events.all())
            if (e.event != comeOpenCompleted && e.event != comeCloseCompleted) out.push_back({e.event, e.status, e.length});
        return out;
    }
};

std::shared_ptr<FakePortState> g_probedPorts;
std::unique_ptr<PlatSerialPort> makeProbedPort() { return std::make_unique<FakeSerialPort>(g_probedPorts); }

} // namespace

TEST(SerialLineEvents, ReachTheApplicationInDispatchOrder) {
    const DWORD overrun = PLAT_CE_FRAME | PLAT_CE_OVERRUN;
    const DWORD overflow = PLAT_CE_RXOVER | PLAT_CE_PARITY | PLAT_CE_TXFULL;
    struct Case {
        const char* parameters;
        uint32_t modemStatus;
        uint32_t lineErrors;
        uint32_t events;
        std::vector<Reported> expected;
        const char* trace;
        bool statisticsAtClose;
    } cases[] = {
        {"", PLAT_MS_DSR, 0, PLAT_EV_DSR, {{comeDsr, 1, 0}}, "modem is ON line", false},
        {"", 0, 0, PLAT_EV_DSR, {{comeDsr, 0, 0}}, "modem is OFF line", false},
        {"", PLAT_MS_RING, 0, PLAT_EV_RING, {{comeRing, 1, 0}}, "RING is ON", false},
        {"ctsSignal", 0, 0, PLAT_EV_CTS, {{comeCts, 0, 0}}, "CTS is OFF", false},
        {"", PLAT_MS_DCD, 0, PLAT_EV_DCD, {{comeDcd, 1, 0}}, "DCD is ON", false},
        {"dcdControl", PLAT_MS_DCD, 0, PLAT_EV_DCD, {{comeConnect, 1, 2048}}, "DCD control on, signal connect", false},
        {"dcdControl server", PLAT_MS_DCD, 0, PLAT_EV_DCD, {{comeIncomingCall, 0, 0}, {comeConnect, 1, 2048}},
         "DCD control on in server mode, signal incoming call", false},
        {"dcdControl", 0, 0, PLAT_EV_DCD, {{comeDisconnect, 0, 0}}, "DCD control on, signal disconnect", false},
        {"", 0, overrun, PLAT_EV_ERR, {{comeDeviceError, 0x10, overrun}}, " 1. receiver overrun", true},
        {"", 0, PLAT_CE_FRAME, PLAT_EV_ERR, {{comeDeviceError, 0x10, PLAT_CE_FRAME}}, " 1. framing error", false},
        {"", 0, overflow, PLAT_EV_ERR, {{comeDeviceError, 0x10, overflow}}, " 1 tx queue full", true},
        {"", 0, PLAT_CE_BREAK | PLAT_CE_FRAME, PLAT_EV_ERR, {{comeBreak, 0, 0}}, " 1. break detected", false},
        {"", 0, 0, PLAT_EV_BREAK, {{comeBreak, 0, 0}}, "dispatchCommEvent() 0x40, enter", false},
        {"", PLAT_MS_DSR | PLAT_MS_CTS, 0, PLAT_EV_DSR | PLAT_EV_RING | PLAT_EV_CTS,
         {{comeDsr, 1, 0}, {comeRing, 0, 0}, {comeCts, 1, 0}}, "dispatchCommEvent() exit", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.trace);
        TraceCapture trace;
        ScriptedChannel ch;
        ASSERT_EQ(ch.open(c.parameters), COM_SUCCESS);
        {
            std::lock_guard<std::mutex> g(ch.port->m);
            ch.port->modemStatus = c.modemStatus;
            ch.port->lineErrors = c.lineErrors;
        }
        ch.port->push(PlatSerialWake::LineEvent, c.events);
        DWORD last = c.expected.back().event;
        size_t lastCount = 0;
        for (const auto& r : c.expected) lastCount += r.event == last;
        ASSERT_TRUE(ch.events.waitFor(last, lastCount));
        EXPECT_EQ(ch.channel.close(), COM_SUCCESS);

        auto got = ch.lineReports();
        ASSERT_EQ(got.size(), c.expected.size());
        for (size_t k = 0; k < got.size(); ++k) {
            EXPECT_EQ(got[k].event, c.expected[k].event) << k;
            EXPECT_EQ(got[k].status, c.expected[k].status) << k;
            EXPECT_EQ(got[k].length, c.expected[k].length) << k;
        }
        EXPECT_TRUE(trace.contains(c.trace));
        EXPECT_EQ(trace.contains(" receiver overrun       "), c.statisticsAtClose);
        EXPECT_EQ(ch.port->eventMask, std::string(c.parameters) == "ctsSignal" ? 0x1F8u : 0x1F0u);
    }
}

TEST(SerialLineEvents, ReceiverRetriesFailuresAndReportsAVanishedDeviceOnce) {
    TraceCapture trace;
    ScriptedChannel ch;
    ASSERT_EQ(ch.open(""), COM_SUCCESS);
    DWORD off = 0;
    ASSERT_EQ(ch.channel.setProperty(compRxEnable, &off, sizeof off), COM_SUCCESS);
    ch.port->push(PlatSerialWake::Failed);
    ch.port->push(PlatSerialWake::LineEvent, PLAT_EV_DSR);
    ASSERT_TRUE(ch.events.waitFor(comeDsr));
    EXPECT_TRUE(trace.contains(" thread signaled, read enable state changed"));
    EXPECT_TRUE(trace.contains("! Error ReadFile"));

    ch.port->push(PlatSerialWake::Gone);
    ASSERT_TRUE(ch.events.waitFor(comeAdapterPlugout));
    EXPECT_TRUE(trace.contains(">> signal comeAdapterPlugout to application"));
    EXPECT_EQ(ch.channel.state(), ctOffline);
    ch.channel.signalRemove();
    EXPECT_TRUE(trace.contains("signalRemove() ignored, we are already in ctOffline"));
    EXPECT_EQ(ch.channel.close(), COM_SUCCESS);
    EXPECT_EQ(ch.events.count(comeAdapterPlugout), 1u);
    EXPECT_FALSE(ch.port->open);
}

TEST(SerialAdapterEvents, SuspendResumeRemovalAndReturn) {
    TraceCapture trace;
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    ComEvents events;
    CSerialChannelPosix channel;
    ASSERT_EQ(channel.open(pty.slavePath().c_str(), &ComEvents::callBack, &events), COM_SUCCESS);
    ASSERT_TRUE(events.waitFor(comeOpenCompleted));

    using Op = DWORD (*)(CSerialChannelPosix&);
    struct Step {
        const char* name;
        Op op;
        DWORD status;
        DWORD event;          // reported once more by this step, or 0
        int state;
        bool portOpen;
    } steps[] = {
        {"suspend", [](CSerialChannelPosix& c) { return c.suspend(); }, COM_SUCCESS, comeAdapterSupspend, ctSuspend, false},
        {"resume", [](CSerialChannelPosix& c) { return c.resume(); }, COM_SUCCESS, comeAdapterResumed, ctOpen, true},
        {"resume again", [](CSerialChannelPosix& c) { return c.resume(); }, COM_ERR_STATE, 0, ctOpen, true},
        {"removal", [](CSerialChannelPosix& c) { c.signalRemove(); return DWORD{0}; }, COM_SUCCESS, comeAdapterPlugout,
         ctOffline, false},
        {"removal again", [](CSerialChannelPosix& c) { c.signalRemove(); return DWORD{0}; }, COM_SUCCESS, 0, ctOffline,
         false},
        {"online", [](CSerialChannelPosix& c) { return c.onlineAgain(); }, COM_SUCCESS, comeAdapterPlugin, ctOpen, true},
        {"online again", [](CSerialChannelPosix& c) { return c.onlineAgain(); }, COM_SUCCESS, 0, ctOpen, true},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.name);
        auto before = events.all();
        EXPECT_EQ(s.op(channel), s.status);
        EXPECT_EQ(channel.state(), s.state);
        auto after = events.all();
        size_t adapterEvents = 0;
        for (size_t k = before.size(); k < after.size(); ++k) {
            if (after[k].event >= comeAdapterPlugin && after[k].event <= comeAdapterResumed) {
                ++adapterEvents;
                EXPECT_EQ(after[k].event, s.event);
            }
        }
        EXPECT_EQ(adapterEvents, s.event ? 1u : 0u);
        DWORD fd = 0, length = 0;
        ASSERT_EQ(channel.getProperty(compPortHandle, &fd, &length), COM_SUCCESS);
        EXPECT_EQ(static_cast<int>(fd) >= 0, s.portOpen);
    }
    EXPECT_TRUE(trace.contains("device already reinitialized, ignore signal"));

    // Each reopen is reported as an open too; what the peer sends after that arrives.
    ASSERT_TRUE(events.waitFor(comeOpenCompleted, 3));
    ASSERT_TRUE(pty.write({5, 6}));
    ASSERT_TRUE(events.waitReceived(2));
    EXPECT_EQ(events.received(), (std::vector<uint8_t>{5, 6}));
    EXPECT_EQ(channel.close(), COM_SUCCESS);
}

TEST(SerialEnumeration, CountsFreePortsAndTellsARunningEnumerationApart) {
    g_probedPorts = std::make_shared<FakePortState>();
    for (int n = 0; n < 9; ++n) g_probedPorts->openErrors["/dev/ttyS" + std::to_string(n)] = ENOENT;
    g_probedPorts->openErrors.erase("/dev/ttyS2");
    g_probedPorts->openErrors.erase("/dev/ttyS6");
    g_probedPorts->openErrors["/dev/ttyS4"] = EBUSY;
    auto previous = comInterface().setPortFactory(&makeProbedPort);

    struct Seen {
        std::vector<std::string> names;
        std::vector<int32_t> nested;
    } seen;
    TraceCapture trace;
    int32_t found = comInterface().enumerate(
        [](const char* name, void* context) {
            auto* s = static_cast<Seen*>(context);
            s->names.push_back(name);
            s->nested.push_back(comInterface().enumerate(nullptr, nullptr));
        },
        &seen);
    EXPECT_EQ(found, 2);
    EXPECT_EQ(seen.names, (std::vector<std::string>{"COM3", "COM7"}));
    EXPECT_EQ(seen.nested, (std::vector<int32_t>{COM_ENUM_RUNNING, COM_ENUM_RUNNING}));
    EXPECT_TRUE(trace.contains("! enumeration already running"));
    EXPECT_TRUE(trace.contains("found serial adapter <COM3>"));
    EXPECT_TRUE(trace.contains("! Com port <COM5> is in use"));
    EXPECT_TRUE(trace.contains("Com port <COM1> not found (0x2)"));
    EXPECT_FALSE(g_probedPorts->open);
    EXPECT_EQ(comInterface().enumerate(nullptr, nullptr), 2);
    comInterface().setPortFactory(previous);
}

TEST(SerialFrontEnd, HandlesAreCheckedAndAnEmptyHandleMeansTheFirstChannel) {
    int unknown = 0;
    TComHandle bogus = &unknown;
    DWORD value = 0, length = 0;
    BYTE byte = 0;
    EXPECT_EQ(comSetProperty(nullptr, compBaudRate, &value, sizeof value), COM_ERR_HANDLE);
    EXPECT_EQ(comSetProperty(bogus, compTraceFlags, &value, sizeof value), COM_SUCCESS);
    EXPECT_EQ(comGetProperty(nullptr, 0, &value, &length), COM_SUCCESS);
    EXPECT_EQ(value, 2u);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(comGetProperty(bogus, compBaudRate, &value, &length), COM_ERR_HANDLE);
    EXPECT_EQ(comWrite(bogus, &byte, 1), COM_ERR_HANDLE);
    EXPECT_EQ(comReset(bogus), COM_ERR_HANDLE);
    EXPECT_EQ(comClose(bogus), COM_ERR_HANDLE);
    EXPECT_EQ(comOpen("COM1", "", nullptr, nullptr, nullptr), COM_ERR_HANDLE);

    g_probedPorts = std::make_shared<FakePortState>();
    auto previous = comInterface().setPortFactory(&makeProbedPort);
    ComEvents events;
    TComHandle handle = nullptr;
    ASSERT_EQ(comOpen("", "PORT=/dev/fake baudrate=57600", &ComEvents::callBack, &events, &handle), COM_SUCCESS);
    EXPECT_EQ(g_probedPorts->path, "/dev/fake");
    DWORD baud = 9600;
    EXPECT_EQ(comSetProperty(nullptr, compBaudRate, &baud, sizeof baud), COM_SUCCESS);
    EXPECT_EQ(comGetProperty(handle, compBaudRate, &value, &length), COM_SUCCESS);
    EXPECT_EQ(value, 9600u);
    EXPECT_EQ(comClose(handle), COM_SUCCESS);

    // A failed open hands out no handle and leaves no channel behind.
    g_probedPorts->openErrors["/dev/ttyS0"] = ENOENT;
    handle = bogus;
    EXPECT_EQ(comOpen("COM1", "", &ComEvents::callBack, &events, &handle), COM_ERR_OPEN);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(comSetProperty(nullptr, compBaudRate, &baud, sizeof baud), COM_ERR_HANDLE);
    comInterface().setPortFactory(previous);
}
