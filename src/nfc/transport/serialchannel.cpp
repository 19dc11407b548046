#include "transport/serialchannel.h"

#include <cctype>
#include <cstring>
#include <iterator>

#include "util/trace.h"

namespace {

#define SERIAL_STATE_TEXT(name, text) text,
constexpr const char* kStateNames[] = {SERIAL_STATES(SERIAL_STATE_TEXT)};
#undef SERIAL_STATE_TEXT

// Configuration numbers above this are refused.
constexpr DWORD kNumberLimit = 0x7FFFFFFE;

struct NumberKey {
    const char* name;
    DWORD TSerialSettings::*setting;
};

constexpr NumberKey kNumberKeys[] = {
    {"baudrate", &TSerialSettings::baudRate},   {"parity", &TSerialSettings::parity},
    {"bytesize", &TSerialSettings::byteSize},   {"stopbits", &TSerialSettings::stopBits},
    {"eventMask", &TSerialSettings::eventMask}, {"handShake", &TSerialSettings::handshake},
    {"txFrameDelay", &TSerialSettings::txFrameDelay},
};

struct Handshake {
    DWORD mode;
    PlatFlow flow;
    DWORD lines;        // output lines raised once the line is set
    const char* text;
};

// The last row serves every mode not listed.
constexpr Handshake kHandshakes[] = {
    {1, PlatFlow::Software, 0, "Use software handshake"},
    {2, PlatFlow::None, PLAT_LINE_RTS, "Use handshake off"},
    {3, PlatFlow::None, PLAT_LINE_DTR | PLAT_LINE_RTS, "Use handshake no CTS/RTS"},
    {4, PlatFlow::Hardware, 0, "Use hardware handshake"},
    {0, PlatFlow::Hardware, 0, "Use hardware handshake"},
};

const Handshake& handshakeOf(DWORD mode) {
    for (const auto& h : kHandshakes)
        if (h.mode == mode) return h;
    return kHandshakes[std::size(kHandshakes) - 1];
}

struct AdapterEvent {
    DWORD code;
    const char* name;
};

constexpr AdapterEvent kAdapterEvents[] = {
    {comeAdapterPlugin, "comeAdapterPlugin"},
    {comeAdapterPlugout, "comeAdapterPlugout"},
    {comeAdapterSupspend, "comeAdapterSupspend"},
    {comeAdapterResumed, "comeAdapterResumed"},
};

struct LineProperty {
    DWORD property;
    TLineField field;
    const char* name;
    DWORD TSerialSettings::*setting;
};

constexpr LineProperty kLineProperties[] = {
    {compBaudRate, TLineField::BaudRate, "baud rate", &TSerialSettings::baudRate},
    {compByteSize, TLineField::ByteSize, "byte size", &TSerialSettings::byteSize},
    {compParity, TLineField::Parity, "parity", &TSerialSettings::parity},
    {compStopBits, TLineField::StopBits, "stop bits", &TSerialSettings::stopBits},
    {compHandshake, TLineField::Handshake, "Handshake mode", &TSerialSettings::handshake},
};

// A modem line whose change goes to the application as its own event with 1 (on) or 0 (off).
struct LineSignal {
    DWORD statusBit;
    DWORD event;
    const char* on;
    const char* off;
};

constexpr LineSignal kDsr = {PLAT_MS_DSR, comeDsr, "modem is ON line", "modem is OFF line"};
constexpr LineSignal kRing = {PLAT_MS_RING, comeRing, "RING is ON", "RING is OFF"};
constexpr LineSignal kCts = {PLAT_MS_CTS, comeCts, "CTS is ON", "CTS is OFF"};

struct LineError {
    DWORD flag;
    DWORD TSerialStatistics::*counter;
    const char* text;   // after the count; none: counted only
};

constexpr LineError kLineErrors[] = {
    {PLAT_CE_FRAME, &TSerialStatistics::framing, ". framing error"},
    {PLAT_CE_OVERRUN, &TSerialStatistics::overrun, ". receiver overrun"},
    {PLAT_CE_RXOVER, &TSerialStatistics::rxOverflow, ". receive queue overflow"},
    {PLAT_CE_PARITY, &TSerialStatistics::parity, nullptr},
    {PLAT_CE_TXFULL, &TSerialStatistics::txFull, " tx queue full"},
};

bool sameKey(const std::string& key, const char* name) {
    size_t n = std::strlen(name);
    if (key.size() != n) return false;
    for (size_t k = 0; k < n; ++k) {
        if (std::tolower(static_cast<unsigned char>(key[k])) != std::tolower(static_cast<unsigned char>(name[k])))
            return false;
    }
    return true;
}

// A decimal number of at most kNumberLimit; anything else is refused.
bool parseNumber(const std::string& text, DWORD& value) {
    if (text.empty()) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
        if (v > kNumberLimit) return false;
    }
    value = static_cast<DWORD>(v);
    return true;
}

} // namespace

const char* serialStateName(int state) {
    return state >= 0 && static_cast<size_t>(state) < std::size(kStateNames) ? kStateNames[state] : "?";
}

// ---- Configuration ------------------------------------------------------------------------
void CSerialChannel::parse(const char* text) {
    std::string copy = text ? text : "";
    debugPrint(0, "parse: <%s>", copy.c_str());
    size_t pos = 0;
    for (;;) {
        pos = copy.find_first_not_of(" \t", pos);
        if (pos == std::string::npos) break;
        size_t end = copy.find_first_of(" \t", pos);
        std::string word = copy.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end;
        size_t equals = word.find('=');
        std::string key = word.substr(0, equals);
        std::string value = equals == std::string::npos ? std::string() : word.substr(equals + 1);
        debugPrint(0, "key <%s>, value <%s>", key.c_str(), value.c_str());
        parseKey(key, value);
        if (end == std::string::npos) break;
    }
    debugPrint(0, "parse() exit");
}

void CSerialChannel::parseKey(const std::string& key, const std::string& value) {
    for (const auto& k : kNumberKeys) {
        if (!sameKey(key, k.name)) continue;
        DWORD number = 0;
        if (!parseNumber(value, number))
            debugPrint(DBG_ERROR, "! %s invalid value %s for %s in %s", "parseKey", value.c_str(), key.c_str(),
                       parameters_.c_str());
        settings_.*k.setting = number;
        if (k.setting == &TSerialSettings::baudRate) debugPrint(0, "set baudRate to %d", static_cast<int>(number));
        return;
    }
    if (sameKey(key, "dcdControl")) {
        settings_.dcdControl = true;
    } else if (sameKey(key, "server")) {
        settings_.server = true;
    } else if (sameKey(key, "ctsSignal")) {
        settings_.eventMask |= PLAT_EV_CTS;
        settings_.ctsSignal = true;
    } else if (sameKey(key, "noShake")) {
        settings_.handshake = 2;
    } else if (sameKey(key, "port")) {
        configuredPort_ = value;
    }
}

bool CSerialChannel::parityOf(DWORD code, PlatParity& parity) {
    static constexpr PlatParity kParities[] = {PlatParity::None, PlatParity::Odd, PlatParity::Even};
    if (code < 1 || code > 3) return false;
    parity = kParities[code - 1];
    return true;
}

PlatFlow CSerialChannel::flowOf(DWORD mode) { return handshakeOf(mode).flow; }
DWORD CSerialChannel::handshakeLines(DWORD mode) { return handshakeOf(mode).lines; }

void CSerialChannel::lineFromSettings(PlatSerialLine& line) const {
    line.baudRate = settings_.baudRate;
    line.byteSize = settings_.byteSize > 0xFF ? 0 : static_cast<uint8_t>(settings_.byteSize);
    if (settings_.parity != 0 && !parityOf(settings_.parity, line.parity))
        debugPrint(DBG_ERROR, "value 0x%X for parity unknown!", settings_.parity);
    if (settings_.stopBits == 1 || settings_.stopBits == 2) line.stopBits = static_cast<uint8_t>(settings_.stopBits);
    else if (settings_.stopBits != 0) debugPrint(DBG_ERROR, "number of stopbits 0x%X unknown!", settings_.stopBits);
    const Handshake& h = handshakeOf(settings_.handshake);
    line.flow = h.flow;
    debugPrint(0, "%s", h.text);
}

// ---- Open and close -----------------------------------------------------------------------
DWORD CSerialChannel::open(const char* name, TComCallBack callBack, void* context) {
    callback_ = callBack;
    context_ = context;
    configuredPort_.clear();
    parse(parameters_.c_str());
    portName_ = name && *name ? name : configuredPort_;
    return openPort(portName_.c_str());
}

DWORD CSerialChannel::openPort(const char* name) {
    DWORD status = saOpenPort(name);
    if (status == COM_SUCCESS) {
        setLines(PLAT_LINE_DTR, true);
        readModemStatus();
    }
    return status;
}

DWORD CSerialChannel::closePort() {
    if (isOpen()) {
        setLines(PLAT_LINE_DTR, false);
        setLines(PLAT_LINE_RTS, false);
    }
    return closeDevice();
}

DWORD CSerialChannel::close() {
    if (signalsInDelivery_.load() > 0 && onChannelThread()) {
        // Inside our own callback: the threads cannot be joined from here. They stop, and the
        // channel is finished by whoever deletes it.
        debugPrint(0, "signalization (event 0x%X) pending, close not allowed,signalledEvent", lastEvent_.load());
        setState(ctClosePending);
        closeDeferred_ = true;
        requestStop();
        return COM_ERR_STATE;
    }
    setState(ctClosePending);
    DWORD status = closePort();
    if (status != COM_SUCCESS) {
        closeDeferred_ = true;   // a thread is still inside a callback: finish() completes it
        return status;
    }
    closeCompleted();
    return COM_SUCCESS;
}

void CSerialChannel::closeCompleted() {
    traceStatistics();
    signal(comeCloseCompleted, 0, nullptr, 0);
}

bool CSerialChannel::finish(bool reportClose) {
    if (onChannelThread() || closeDevice() != COM_SUCCESS) return false;
    if (closeDeferred_.exchange(false) && reportClose) closeCompleted();
    return true;
}

void CSerialChannel::traceStatistics() const {
    if (!stats_.overrun && !stats_.rxOverflow && !stats_.txFull) return;
    debugPrint(0, " framing error          %u", stats_.framing);
    debugPrint(0, " receiver overrun       %u", stats_.overrun);
    debugPrint(0, " receive queue overflow %u", stats_.rxOverflow);
    debugPrint(0, " tx queue full          %u", stats_.txFull);
}

DWORD CSerialChannel::write(BYTE* buffer, DWORD length) {
    PlatLockGuard g(lock_);
    int s = state_.load();
    if (s != ctOpen && s != ctConnected) {
        debugPrint(DBG_ERROR, "hCom %p, ! bad state 0x%X for write", static_cast<void*>(this), static_cast<unsigned>(s));
        return COM_ERR_STATE;
    }
    return onWrite(buffer, length);
}

// ---- Properties ---------------------------------------------------------------------------
DWORD CSerialChannel::setProperty(DWORD property, const void* value, DWORD length) {
    if (property == compDcd || property == compAccepted33) return COM_SUCCESS;
    DWORD v = 0;
    bool hasValue = value && length >= sizeof v;
    if (hasValue) std::memcpy(&v, value, sizeof v);
    for (const auto& p : kLineProperties) {
        if (p.property != property) continue;
        if (!hasValue) return COM_ERR_SETTER;
        debugPrint(0, "set %s %d", p.name, static_cast<int>(v));
        if (changeLine(p.field, v) != COM_SUCCESS) return COM_ERR_SETTER;
        settings_.*p.setting = v;
        return COM_SUCCESS;
    }
    switch (property) {
    case compDtr:
    case compRts: {
        if (!hasValue) return COM_ERR_SETTER;
        bool dtr = property == compDtr;
        debugPrint(0, "%s %s", v ? "set" : "clear", dtr ? "DTR" : "RTS");
        return setLines(dtr ? PLAT_LINE_DTR : PLAT_LINE_RTS, v != 0) == COM_SUCCESS ? COM_SUCCESS : COM_ERR_SETTER;
    }
    case compRxEnable:
        if (!hasValue) return COM_ERR_SETTER;
        debugPrint(0, "control RX data processing, %s", v ? "read on RX threa enabled" : "no RX");
        receiveEnable(v != 0);
        return COM_SUCCESS;
    default:
        return COM_ERR_PROPERTY;
    }
}

DWORD CSerialChannel::getProperty(DWORD property, void* value, DWORD* length) {
    if (!value || !length) return COM_ERR_PROPERTY;
    DWORD v = 0;
    switch (property) {
    case compBaudRate: v = settings_.baudRate; break;
    case compByteSize: v = settings_.byteSize; break;
    case compParity: v = settings_.parity; break;
    case compStopBits: v = settings_.stopBits; break;
    case compHandshake: v = settings_.handshake; break;
    case compCts: v = (readModemStatus() & PLAT_MS_CTS) ? 1 : 0; break;
    case compDsr: v = (readModemStatus() & PLAT_MS_DSR) ? 1 : 0; break;
    case compDcd: v = (readModemStatus() & PLAT_MS_DCD) ? 1 : 0; break;
    case compPortHandle: v = static_cast<DWORD>(portHandle()); break;
    default:
        *length = 0;
        return COM_ERR_PROPERTY;
    }
    std::memcpy(value, &v, sizeof v);
    *length = sizeof v;
    return COM_SUCCESS;
}

// ---- Signals to the application -------------------------------------------------------------
void CSerialChannel::setState(int state) {
    int old = state_.exchange(state);
    if (old != state) debugPrint(0, "set state <%s> -> <%s>", serialStateName(old), serialStateName(state));
}

void CSerialChannel::signal(DWORD event, DWORD status, BYTE* buffer, DWORD length) {
    if (!callback_) return;
    signalsInDelivery_.fetch_add(1);
    lastEvent_ = event;
    callback_(context_, event, status, buffer, length);
    signalsInDelivery_.fetch_sub(1);
}

void CSerialChannel::adapterSignal(DWORD code) {
    for (const auto& a : kAdapterEvents)
        if (a.code == code) debugPrint(0, ">> signal %s to application", a.name);
    signal(code, 0, nullptr, 0);
}

void CSerialChannel::signalRemove() {
    {
        PlatLockGuard g(lock_);
        if (state_ == ctOffline) {
            debugPrint(0, "signalRemove() ignored, we are already in ctOffline");
            return;
        }
        if (state_ == ctClosePending) return;   // a closing channel reports nothing more
        setState(ctOffline);
    }
    adapterSignal(comeAdapterPlugout);
    closePort();
}

DWORD CSerialChannel::suspend() {
    setState(ctSuspend);
    adapterSignal(comeAdapterSupspend);
    return closePort();
}

DWORD CSerialChannel::resume() {
    if (state_ != ctSuspend) return COM_ERR_STATE;
    setState(ctOpenPending);
    DWORD status = openPort(portName_.c_str());
    if (status == COM_SUCCESS) {
        adapterSignal(comeAdapterResumed);
        setState(ctOpen);
    }
    return status;
}

DWORD CSerialChannel::onlineAgain() {
    debugPrint(0, "USB adapter online again, reiinit");
    if (state_ == ctOpen) {
        debugPrint(0, "device already reinitialized, ignore signal");
        return COM_SUCCESS;
    }
    DWORD status = openPort(portName_.c_str());
    if (status == COM_SUCCESS) {
        adapterSignal(comeAdapterPlugin);
        setState(ctOpen);
    }
    return status;
}

// ---- Line events --------------------------------------------------------------------------
void CSerialChannel::dispatchCommEvent(DWORD events) {
    debugPrint(0, "dispatchCommEvent() 0x%X, enter", events);
    auto lineSignal = [this](const LineSignal& l) {
        bool on = (readModemStatus() & l.statusBit) != 0;
        debugPrint(0, "%s", on ? l.on : l.off);
        signal(l.event, on ? 1 : 0, nullptr, 0);
    };
    if (events & PLAT_EV_RXCHAR) readModemStatus();
    if (events & PLAT_EV_DSR) lineSignal(kDsr);
    if (events & PLAT_EV_ERR) {
        DWORD errors = clearErrors();
        debugPrint(0, "serial error %X", errors);
        if (errors & PLAT_CE_BREAK) {
            debugPrint(0, " %u. break detected", ++stats_.breaks);
            clearBreak();
            signal(comeBreak, 0, nullptr, 0);
        } else {
            for (const auto& e : kLineErrors) {
                if (!(errors & e.flag)) continue;
                DWORD count = ++(stats_.*e.counter);
                if (e.text) debugPrint(0, " %u%s", count, e.text);
            }
            signal(comeDeviceError, COM_ERR_CONTROL_BLOCK, nullptr, errors);
        }
    }
    if (events & PLAT_EV_RING) lineSignal(kRing);
    if (events & PLAT_EV_BREAK) signal(comeBreak, 0, nullptr, 0);
    if (events & PLAT_EV_DCD) {
        bool on = (readModemStatus() & PLAT_MS_DCD) != 0;
        debugPrint(0, "%s", on ? "DCD is ON" : "DCD is OFF");
        if (!settings_.dcdControl) {
            signal(comeDcd, on ? 1 : 0, nullptr, 0);
        } else if (!on) {
            debugPrint(0, "DCD control on, signal disconnect");
            signal(comeDisconnect, 0, nullptr, 0);
        } else {
            if (settings_.server) {
                debugPrint(0, "DCD control on in server mode, signal incoming call");
                signal(comeIncomingCall, 0, nullptr, 0);
            } else {
                debugPrint(0, "DCD control on, signal connect");
            }
            signal(comeConnect, 1, nullptr, 2048);
        }
    }
    if (events & PLAT_EV_CTS) lineSignal(kCts);
    debugPrint(0, "dispatchCommEvent() exit");
}
