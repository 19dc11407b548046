// Serial ports for the stack's serial channel: one small set of port operations over a tty.
// The same interface is the seam through which tests drive line events that a
// pseudo-terminal cannot produce.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

// The longest port name or path accepted; a longer one is refused, never cut.
constexpr size_t PLAT_SERIAL_NAME_MAX = 255;

// Maps a configured port name to the device path: a value that starts with '/' is a path
// used as it is, "COMn" (any case, n from 1) is /dev/ttyS<n-1>. Returns 0, ENAMETOOLONG for
// an over-long name or ENOENT for a name that names no port.
int platSerialPortPath(const std::string& name, std::string& path);

enum class PlatParity : uint8_t { None = 0, Odd = 1, Even = 2 };
enum class PlatFlow : uint8_t { None, Hardware, Software };

// The line settings the stack asks of a port.
struct PlatSerialLine {
    uint32_t baudRate = 0;
    uint8_t byteSize = 8;
    PlatParity parity = PlatParity::None;
    uint8_t stopBits = 1;
    PlatFlow flow = PlatFlow::None;
};

// Output lines.
enum : uint32_t { PLAT_LINE_DTR = 0x1, PLAT_LINE_RTS = 0x2 };
// Modem status bits.
enum : uint32_t { PLAT_MS_CTS = 0x10, PLAT_MS_DSR = 0x20, PLAT_MS_RING = 0x40, PLAT_MS_DCD = 0x80 };
// Line events a receiver can wait for.
enum : uint32_t {
    PLAT_EV_RXCHAR = 0x01,
    PLAT_EV_CTS = 0x08,
    PLAT_EV_DSR = 0x10,
    PLAT_EV_DCD = 0x20,
    PLAT_EV_BREAK = 0x40,
    PLAT_EV_ERR = 0x80,
    PLAT_EV_RING = 0x100,
};
// Line error flags.
enum : uint32_t {
    PLAT_CE_RXOVER = 0x01,
    PLAT_CE_OVERRUN = 0x02,
    PLAT_CE_PARITY = 0x04,
    PLAT_CE_FRAME = 0x08,
    PLAT_CE_BREAK = 0x10,
    PLAT_CE_TXFULL = 0x100,
};

// What ended one wait of the receiver.
enum class PlatSerialWake {
    Data,        // length bytes were read
    LineEvent,   // events holds the line events seen (within the event mask)
    Control,     // wakeReceiver was called
    Stop,        // stop was called
    Gone,        // the device or the other end went away (error holds the cause)
    Failed,      // a transient failure (error holds it)
};
struct PlatSerialReceive {
    PlatSerialWake wake = PlatSerialWake::Failed;
    uint32_t length = 0;
    uint32_t events = 0;
    int error = 0;
};

enum class PlatSerialSent { Done, Stop, Gone, Failed };
struct PlatSerialTransmit {
    PlatSerialSent result = PlatSerialSent::Failed;
    uint32_t written = 0;
    int error = 0;
};

// Errors are system error numbers (0 for success). receive() and transmit() block only on
// the port and on the stop signal: once stop() is called they return Stop until the port is
// opened again, so a closing thread can always reach a reader and a writer.
class PlatSerialPort {
public:
    virtual ~PlatSerialPort() = default;

    virtual int open(const std::string& path) = 0;      // exclusive; the path as mapped
    virtual void close() = 0;                           // only once no thread uses the port
    virtual bool isOpen() const = 0;
    virtual int handle() const = 0;                     // the descriptor, -1 when closed

    virtual int getLine(PlatSerialLine& line) = 0;
    virtual int setLine(const PlatSerialLine& line) = 0; // refuses what the device cannot do
    virtual int setModemLines(uint32_t lines, bool on) = 0;
    virtual int modemStatus(uint32_t& status) = 0;
    virtual int takeLineErrors(uint32_t& errors) = 0;   // errors since the last call
    virtual int setBreak(bool on) = 0;
    virtual int purge(bool input, bool output) = 0;
    virtual void setEventMask(uint32_t mask) = 0;

    virtual PlatSerialReceive receive(uint8_t* buffer, uint32_t size, bool readData) = 0;
    virtual PlatSerialTransmit transmit(const uint8_t* data, uint32_t length) = 0;
    // Writes what the port takes at once, without waiting for it: Done when it took everything,
    // otherwise written tells how much went. By default nothing goes this way.
    virtual PlatSerialTransmit transmitNow(const uint8_t*, uint32_t) { return {}; }
    virtual void wakeReceiver() = 0;
    virtual void stop() = 0;
};

// A port on a tty device.
std::unique_ptr<PlatSerialPort> platSerialPortCreate();

// The port cannot do this (a pseudo-terminal has no modem lines or line counters).
bool platSerialUnsupported(int error);
// The device exists but another user holds it.
bool platSerialInUse(int error);
