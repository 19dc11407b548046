// Port names, configuration keys, the line a configuration asks for and the properties,
// all against a scripted port.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "fake_serial_port.h"
#include "trace_capture.h"
#include "transport/serialchannelposix.h"

namespace {

struct Channel {
    std::shared_ptr<FakePortState> port = std::make_shared<FakePortState>();
    CSerialChannelPosix channel{std::make_unique<FakeSerialPort>(port)};

    // Opens without a callback: the port is set up, no threads run.
    DWORD open(const char* parameters, const char* name = "COM1") {
        channel.setParameters(parameters);
        return channel.open(name, nullptr, nullptr);
    }
};

} // namespace

TEST(SerialPortName, MapsPathsAndComNamesAndRefusesTheRest) {
    const std::string longest = "/" + std::string(PLAT_SERIAL_NAME_MAX - 1, 'x');
    struct Case {
        std::string name;
        int error;
        std::string path;
    } cases[] = {
        {"/dev/pts/5", 0, "/dev/pts/5"},
        {"/dev/serial/by-id/usb-Board_Serial-if00", 0, "/dev/serial/by-id/usb-Board_Serial-if00"},
        {"COM1", 0, "/dev/ttyS0"},
        {"com10", 0, "/dev/ttyS9"},
        {"COM3", 0, "/dev/ttyS2"},
        {longest, 0, longest},
        {longest + "x", ENAMETOOLONG, ""},
        {"COM0", ENOENT, ""},
        {"COM", ENOENT, ""},
        {"COM1x", ENOENT, ""},
        {"COM99999999999", ENOENT, ""},
        {"ttyUSB0", ENOENT, ""},
        {"", ENOENT, ""},
    };
    for (const auto& c : cases) {
        std::string path;
        EXPECT_EQ(platSerialPortPath(c.name, path), c.error) << c.name;
        EXPECT_EQ(path, c.path) << c.name;
    }
}

TEST(SerialConfiguration, KeysAreReadWithoutRegardToCase) {
    auto with = [](auto change) {
        TSerialSettings s;
        change(s);
        return s;
    };
    struct Case {
        const char* text;
        TSerialSettings expected;
        const char* trace;   // a line that must be written, or none
    } cases[] = {
        {"", TSerialSettings{}, nullptr},
        {"baudrate=9600 bytesize=7 parity=2 stopbits=2",
         with([](TSerialSettings& s) { s.baudRate = 9600, s.byteSize = 7, s.parity = 2, s.stopBits = 2; }),
         "set baudRate to 9600"},
        {"BAUDRATE=57600\tPARITY=3 ByteSize=6",
         with([](TSerialSettings& s) { s.baudRate = 57600, s.parity = 3, s.byteSize = 6; }), nullptr},
        {"eventMask=256 HANDSHAKE=4 txFrameDelay=15",
         with([](TSerialSettings& s) { s.eventMask = 256, s.handshake = 4, s.txFrameDelay = 15; }), nullptr},
        {"ctsSignal dcdcontrol Server",
         with([](TSerialSettings& s) { s.eventMask |= 0x08, s.ctsSignal = s.dcdControl = s.server = true; }),
         "key <ctsSignal>, value <>"},
        {"noShake", with([](TSerialSettings& s) { s.handshake = 2; }), nullptr},
        {"baudrate=2147483646", with([](TSerialSettings& s) { s.baudRate = 2147483646; }), nullptr},
        {"baudrate=2147483647", with([](TSerialSettings& s) { s.baudRate = 0; }),
         "! parseKey invalid value 2147483647 for baudrate in baudrate=2147483647"},
        {"stopbits=abc bytesize=", with([](TSerialSettings& s) { s.stopBits = 0, s.byteSize = 0; }),
         "! parseKey invalid value abc for stopbits"},
        {"READERTYPE=NCI IOTYPE=SERIAL TRACES.NFC=0x5 baudrate=19200",
         with([](TSerialSettings& s) { s.baudRate = 19200; }), "key <IOTYPE>, value <SERIAL>"},
    };
    for (const auto& c : cases) {
        TraceCapture trace;
        Channel ch;
        ch.channel.setParameters(c.text);
        ch.channel.parse(c.text);
        const TSerialSettings& s = ch.channel.settings();
        const TSerialSettings& e = c.expected;
        EXPECT_EQ(s.baudRate, e.baudRate) << c.text;
        EXPECT_EQ(s.byteSize, e.byteSize) << c.text;
        EXPECT_EQ(s.parity, e.parity) << c.text;
        EXPECT_EQ(s.stopBits, e.stopBits) << c.text;
        EXPECT_EQ(s.handshake, e.handshake) << c.text;
        EXPECT_EQ(s.eventMask, e.eventMask) << c.text;
        EXPECT_EQ(s.txFrameDelay, e.txFrameDelay) << c.text;
        EXPECT_EQ(s.dcdControl, e.dcdControl) << c.text;
        EXPECT_EQ(s.server, e.server) << c.text;
        EXPECT_EQ(s.ctsSignal, e.ctsSignal) << c.text;
        if (c.trace) {
            EXPECT_TRUE(trace.contains(c.trace)) << c.text;
        }
        EXPECT_TRUE(trace.contains("parse() exit")) << c.text;
    }
}

TEST(SerialConfiguration, PortWordNamesThePortWhenTheOpenNamesNone) {
    Channel ch;
    EXPECT_EQ(ch.open("READERTYPE=NCI PORT=COM3 BAUDRATE=115200", ""), COM_SUCCESS);
    EXPECT_EQ(ch.port->path, "/dev/ttyS2");
    EXPECT_EQ(ch.port->line.baudRate, 115200u);

    Channel named;
    EXPECT_EQ(named.open("PORT=COM3", "/dev/pts/9"), COM_SUCCESS);
    EXPECT_EQ(named.port->path, "/dev/pts/9");
}

TEST(SerialConfiguration, LineFollowsTheSettingsAndKeepsWhatTheyLeaveOpen) {
    // The scripted port starts at 38400 baud, 8 bits, odd parity, one stop bit, no flow control.
    struct Case {
        const char* text;
        PlatSerialLine line;
        uint32_t raised;       // output lines raised after the open
        const char* trace;
    } cases[] = {
        {"", {115200, 8, PlatParity::Odd, 1, PlatFlow::Hardware}, PLAT_LINE_DTR, "Use hardware handshake"},
        {"parity=1 stopbits=2 handShake=1 bytesize=7", {115200, 7, PlatParity::None, 2, PlatFlow::Software},
         PLAT_LINE_DTR, "Use software handshake"},
        {"baudrate=9600 parity=3 noShake", {9600, 8, PlatParity::Even, 1, PlatFlow::None},
         PLAT_LINE_DTR | PLAT_LINE_RTS, "Use handshake off"},
        {"handShake=3", {115200, 8, PlatParity::Odd, 1, PlatFlow::None}, PLAT_LINE_DTR | PLAT_LINE_RTS,
         "Use handshake no CTS/RTS"},
        {"handShake=4", {115200, 8, PlatParity::Odd, 1, PlatFlow::Hardware}, PLAT_LINE_DTR, "Use hardware handshake"},
        {"handShake=7 parity=9", {115200, 8, PlatParity::Odd, 1, PlatFlow::Hardware}, PLAT_LINE_DTR,
         "value 0x9 for parity unknown!"},
        {"stopbits=3", {115200, 8, PlatParity::Odd, 1, PlatFlow::Hardware}, PLAT_LINE_DTR,
         "number of stopbits 0x3 unknown!"},
    };
    for (const auto& c : cases) {
        TraceCapture trace;
        Channel ch;
        ASSERT_EQ(ch.open(c.text), COM_SUCCESS) << c.text;
        const PlatSerialLine& l = ch.port->line;
        EXPECT_EQ(l.baudRate, c.line.baudRate) << c.text;
        EXPECT_EQ(l.byteSize, c.line.byteSize) << c.text;
        EXPECT_EQ(l.parity, c.line.parity) << c.text;
        EXPECT_EQ(l.stopBits, c.line.stopBits) << c.text;
        EXPECT_EQ(l.flow, c.line.flow) << c.text;
        EXPECT_EQ(ch.port->raisedLines, c.raised) << c.text;
        EXPECT_TRUE(trace.contains(c.trace)) << c.text;
    }
}

TEST(SerialConfiguration, LineTheDeviceRefusesFailsTheOpenAndLeavesThePortClosed) {
    for (const char* text : {"baudrate=0", "baudrate=2147483647", "bytesize=9"}) {
        TraceCapture trace;
        Channel ch;
        EXPECT_EQ(ch.open(text), COM_ERR_OPEN) << text;
        EXPECT_EQ(ch.port->setLineCalls, 0) << text;
        EXPECT_FALSE(ch.port->open) << text;
        EXPECT_TRUE(trace.contains("SetCommState() failed")) << text;
    }
}

TEST(SerialProperties, SetAndReadBack) {
    constexpr DWORD kNone = 0xFFFFFFFFu;
    struct Case {
        DWORD property;
        DWORD value;          // kNone: only read
        DWORD setStatus;
        DWORD readBack;       // kNone: not readable
        bool (*line)(const PlatSerialLine&, uint32_t raised);
    } cases[] = {
        {compBaudRate, 9600, COM_SUCCESS, 9600, [](const PlatSerialLine& l, uint32_t) { return l.baudRate == 9600; }},
        {compBaudRate, 0, COM_ERR_SETTER, 115200, [](const PlatSerialLine& l, uint32_t) { return l.baudRate == 115200; }},
        {compByteSize, 7, COM_SUCCESS, 7, [](const PlatSerialLine& l, uint32_t) { return l.byteSize == 7; }},
        {compByteSize, 9, COM_ERR_SETTER, 8, [](const PlatSerialLine& l, uint32_t) { return l.byteSize == 8; }},
        {compByteSize, 264, COM_ERR_SETTER, 8, [](const PlatSerialLine& l, uint32_t) { return l.byteSize == 8; }},
        {compParity, 3, COM_SUCCESS, 3, [](const PlatSerialLine& l, uint32_t) { return l.parity == PlatParity::Even; }},
        {compParity, 1, COM_SUCCESS, 1, [](const PlatSerialLine& l, uint32_t) { return l.parity == PlatParity::None; }},
        {compParity, 5, COM_ERR_SETTER, 0, nullptr},
        {compStopBits, 2, COM_SUCCESS, 2, [](const PlatSerialLine& l, uint32_t) { return l.stopBits == 2; }},
        {compStopBits, 3, COM_ERR_SETTER, 0, nullptr},
        {compHandshake, 1, COM_SUCCESS, 1, [](const PlatSerialLine& l, uint32_t) { return l.flow == PlatFlow::Software; }},
        {compHandshake, 2, COM_SUCCESS, 2, [](const PlatSerialLine& l, uint32_t) { return l.flow == PlatFlow::None; }},
        {compHandshake, 3, COM_ERR_SETTER, 0, nullptr},
        {compDtr, 0, COM_SUCCESS, kNone, [](const PlatSerialLine&, uint32_t r) { return !(r & PLAT_LINE_DTR); }},
        {compRts, 1, COM_SUCCESS, kNone, [](const PlatSerialLine&, uint32_t r) { return (r & PLAT_LINE_RTS) != 0; }},
        {compAccepted33, 1, COM_SUCCESS, kNone, nullptr},
        {compRxEnable, 0, COM_SUCCESS, kNone, nullptr},
        {99, 1, COM_ERR_PROPERTY, kNone, nullptr},
        {compCts, kNone, 0, 1, nullptr},
        {compDsr, kNone, 0, 0, nullptr},
        {compDcd, kNone, 0, 1, nullptr},
        {compPortHandle, kNone, 0, 77, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "property " << c.property << " value " << c.value);
        Channel ch;
        ch.port->modemStatus = PLAT_MS_CTS | PLAT_MS_DCD;
        ASSERT_EQ(ch.open(""), COM_SUCCESS);
        if (c.value != kNone) {
            EXPECT_EQ(ch.channel.setProperty(c.property, &c.value, sizeof c.value), c.setStatus);
        }
        DWORD value = 0xABCD;
        DWORD length = 0;
        DWORD status = ch.channel.getProperty(c.property, &value, &length);
        if (c.readBack == kNone) {
            EXPECT_EQ(status, COM_ERR_PROPERTY);
            EXPECT_EQ(length, 0u);
        } else {
            EXPECT_EQ(status, COM_SUCCESS);
            EXPECT_EQ(length, 4u);
            EXPECT_EQ(value, c.readBack);
        }
        if (c.line) {
            EXPECT_TRUE(c.line(ch.port->line, ch.port->raisedLines));
        }
    }
}
