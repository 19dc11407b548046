// The serial channel: connection states, the configuration parser, properties, line-event
// dispatch, adapter events and statistics. A subclass drives the actual port and its threads.
#pragma once

#include <atomic>
#include <string>

#include "doublelist.h"
#include "platform.h"
#include "serialport.h"
#include "transport/comlower.h"

// Properties of a serial channel.
enum : DWORD {
    compBaudRate = 16,
    compDtr = 17,
    compRts = 18,
    compByteSize = 19,
    compParity = 20,
    compStopBits = 21,
    compHandshake = 27,
    compCts = 28,
    compDsr = 30,
    compDcd = 32,
    compAccepted33 = 33,   // accepted without effect
    compPortHandle = 96,
    compRxEnable = 97,
};

// Connection states and their names as traced (the last name carries its parenthesis).
#define SERIAL_STATES(X)                                                                     \
    X(ctIdle, "ctIdle") X(ctOpen, "ctOpen") X(ctOpenPending, "ctOpenPending")                \
    X(ctListenPending, "ctListenPending") X(ctOffline, "ctOffline")                          \
    X(ctConnectPending, "ctConnectPending") X(ctConnected, "ctConnected")                    \
    X(ctDisconnectPending, "ctDisconnectPending") X(ctDisconnect, "ctDisconnect")            \
    X(ctIncomingCall, "ctIncomingCall") X(ctHangupPending, "ctHangupPending")                \
    X(ctSuspend, "ctSuspend") X(ctClosePending, "ctClosePending") X(ctClose, "ctClose)")

#define SERIAL_STATE_ENUM(name, text) name,
enum TConnectionState : int { SERIAL_STATES(SERIAL_STATE_ENUM) };
#undef SERIAL_STATE_ENUM

const char* serialStateName(int state);

// Parity codes: 0 keep the port's, 1 none, 2 odd, 3 even. Stop-bits codes: 0 keep, 1, 2.
struct TSerialSettings {
    DWORD baudRate = 115200;
    DWORD byteSize = 8;
    DWORD parity = 0;
    DWORD stopBits = 0;
    DWORD handshake = 0;
    DWORD eventMask = PLAT_EV_DSR | PLAT_EV_DCD | PLAT_EV_BREAK | PLAT_EV_ERR | PLAT_EV_RING;
    DWORD txFrameDelay = 0;       // milliseconds between the start of two writes
    bool dcdControl = false;
    bool server = false;
    bool ctsSignal = false;
};

struct TSerialStatistics {
    DWORD breaks = 0;
    DWORD framing = 0;
    DWORD overrun = 0;
    DWORD rxOverflow = 0;
    DWORD parity = 0;
    DWORD txFull = 0;
};

// Which part of the line a setter changes.
enum class TLineField { BaudRate, ByteSize, Parity, StopBits, Handshake };

// What the channel lists hold.
class CCommChannel : public CDoubleListNode {
public:
    virtual DWORD open(const char* name, TComCallBack callBack, void* context) = 0;
    virtual DWORD close() = 0;
    virtual DWORD reset() = 0;
    virtual DWORD write(BYTE* buffer, DWORD length) = 0;
    virtual DWORD setProperty(DWORD property, const void* value, DWORD length) = 0;
    virtual DWORD getProperty(DWORD property, void* value, DWORD* length) = 0;
    virtual void setParameters(const char* text) = 0;
    // Completes a close that had to wait; true once nothing of the channel runs any more. A close
    // that answered without its completion reports it now, when asked to.
    virtual bool finish(bool reportClose) = 0;

    // A channel is never deleted while a signal is delivered or a call is inside it.
    bool busy() const { return signalsInDelivery_.load() > 0 || users_.load() > 0; }
    void enter() { users_.fetch_add(1); }
    void leave() { users_.fetch_sub(1); }

protected:
    std::atomic<int> signalsInDelivery_{0};

private:
    std::atomic<int> users_{0};
};

class CSerialChannel : public CCommChannel {
public:
    CSerialChannel() { lock_.create(); }
    ~CSerialChannel() override { lock_.destroy(); }

    DWORD open(const char* name, TComCallBack callBack, void* context) override;
    DWORD close() override;
    DWORD write(BYTE* buffer, DWORD length) override;
    DWORD setProperty(DWORD property, const void* value, DWORD length) override;
    DWORD getProperty(DWORD property, void* value, DWORD* length) override;
    void setParameters(const char* text) override { parameters_ = text ? text : ""; }
    bool finish(bool reportClose) override;

    void parse(const char* text);
    DWORD openPort(const char* name);
    DWORD closePort();

    // Adapter events.
    void adapterSignal(DWORD code);
    void signalRemove();
    DWORD onlineAgain();
    DWORD suspend();
    DWORD resume();

    int state() const { return state_.load(); }
    const TSerialSettings& settings() const { return settings_; }
    int lastError() const { return lastError_; }   // system error of the last port open

protected:
    void setState(int state);
    void signal(DWORD event, DWORD status, BYTE* buffer, DWORD length);
    void dispatchCommEvent(DWORD events);
    void parseKey(const std::string& key, const std::string& value);
    // Applies the settings to a line read from the port; codes it does not know keep the port's.
    void lineFromSettings(PlatSerialLine& line) const;
    // Output lines the handshake mode raises once the line is set.
    static DWORD handshakeLines(DWORD mode);
    static bool parityOf(DWORD code, PlatParity& parity);
    static PlatFlow flowOf(DWORD mode);
    void traceStatistics() const;
    void closeCompleted();

    virtual DWORD onWrite(BYTE* buffer, DWORD length) = 0;
    virtual bool isOpen() const = 0;
    virtual int portHandle() const = 0;
    virtual DWORD saOpenPort(const char* name) = 0;
    virtual DWORD closeDevice() = 0;           // stops the threads and closes the device
    virtual bool onChannelThread() const = 0;
    virtual void requestStop() = 0;
    virtual DWORD setLines(DWORD lines, bool on) = 0;
    virtual DWORD changeLine(TLineField field, DWORD value) = 0;
    virtual DWORD readModemStatus() = 0;
    virtual DWORD clearErrors() = 0;           // the line errors since the last call
    virtual void clearBreak() = 0;
    virtual void receiveEnable(bool on) = 0;

    PlatLock lock_;
    TSerialSettings settings_;
    TSerialStatistics stats_;
    std::string portName_;
    std::string configuredPort_;
    std::string parameters_;
    TComCallBack callback_ = nullptr;
    void* context_ = nullptr;
    std::atomic<int> state_{ctIdle};
    std::atomic<DWORD> lastEvent_{0};
    std::atomic<bool> closeDeferred_{false};   // a close answered before the port was closed
    int lastError_ = 0;
};
