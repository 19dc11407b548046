#include "transport/serialchannelposix.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "util/trace.h"

namespace {

// Layer-1 trace bit of the data dumps.
constexpr uint32_t kTraceData = 0x80000000u;
// Pause before a receive retries after a transient failure.
constexpr uint32_t kRetryMs = 10;

// The channel whose receive or transmit thread is running here, if any.
thread_local const void* t_channelOfThread = nullptr;

void* threadTag() { return reinterpret_cast<void*>(static_cast<uintptr_t>(platCurrentThreadId())); }

} // namespace

CSerialChannelPosix::CSerialChannelPosix(std::unique_ptr<PlatSerialPort> port) : port_(std::move(port)) {}

CSerialChannelPosix::~CSerialChannelPosix() {
    if (closeDevice() == COM_SUCCESS || onChannelThread()) return;
    // A callback held a thread beyond the usual wait: the object cannot go before it does.
    joinThread(txThread_, PLAT_INFINITE);
    joinThread(rxThread_, PLAT_INFINITE);
    closeDevice();
}

DWORD CSerialChannelPosix::countOf(CDoubleList<CDataNode>& list) {
    list.lock();
    DWORD n = list.count();
    list.unlock();
    return n;
}

bool CSerialChannelPosix::isOpen() const { return port_->isOpen(); }
int CSerialChannelPosix::portHandle() const { return port_->handle(); }
bool CSerialChannelPosix::onChannelThread() const { return t_channelOfThread == this; }

// ---- Open and close -----------------------------------------------------------------------
DWORD CSerialChannelPosix::saOpenPort(const char* name) {
    if (closeDevice() != COM_SUCCESS) return COM_ERR_OPEN;   // the previous use is not over
    std::string path;
    lastError_ = platSerialPortPath(name ? name : "", path);
    if (lastError_ != 0) {
        debugPrint(DBG_ERROR, "! can't open COM device <%s> error 0x%X", name ? name : "", lastError_);
        return COM_ERR_OPEN;
    }
    debugPrint(0, "saOpenPort() <%s>", path.c_str());
    lastError_ = port_->open(path);
    if (lastError_ != 0) {
        debugPrint(DBG_ERROR, "! can't open COM device <%s> error 0x%X", path.c_str(), lastError_);
        return COM_ERR_OPEN;
    }
    PlatSerialLine line;
    if ((lastError_ = port_->getLine(line)) != 0) {
        debugPrint(DBG_ERROR, "GetCommState() failed");
        port_->close();
        return COM_ERR_OPEN;
    }
    debugPrint(0, "initial setting from DCB found, baudrate %d, byte size %d, stop bits 0x%X, parity 0x%X",
               static_cast<int>(line.baudRate), line.byteSize, line.stopBits, static_cast<unsigned>(line.parity));
    lineFromSettings(line);
    // A refused line never reaches the device: a zero speed would hang the line up.
    if ((lastError_ = port_->setLine(line)) != 0) {
        debugPrint(DBG_ERROR, "SetCommState() failed");
        port_->close();
        return COM_ERR_OPEN;
    }
    if (DWORD lines = handshakeLines(settings_.handshake)) setLines(lines, true);
    debugPrint(0, "new setting from DCB initialized, baudrate %d, byte size %d, stop bits 0x%X, parity 0x%X",
               static_cast<int>(line.baudRate), line.byteSize, line.stopBits, static_cast<unsigned>(line.parity));
    if (!callback_) return COM_SUCCESS;   // a probe: no threads
    DWORD status = startThreads();
    if (status != COM_SUCCESS) closeDevice();
    return status;
}

DWORD CSerialChannelPosix::startThreads() {
    stopping_ = false;
    stopEvent_.create(true, false);
    trigger_.create(0, kTriggerMaximum);
    for (DWORD k = 0; k < kDataNodes; ++k) free_.addTail(new CDataNode);
    wroteBefore_ = false;
    // Writes are taken from here on; the receive thread reports the open to the application.
    setState(ctOpen);
    txThread_ = platThreadStart("serial tx", &CSerialChannelPosix::txThreadProc, this);
    if (!txThread_) {
        debugPrint(DBG_ERROR, " can't create write thread %lu", static_cast<unsigned long>(platLastError()));
        return COM_ERR_OPEN;
    }
    rxThread_ = platThreadStart("serial rx", &CSerialChannelPosix::rxThreadProc, this);
    if (!rxThread_) {
        debugPrint(DBG_ERROR, " can't create thread %lu", static_cast<unsigned long>(platLastError()));
        return COM_ERR_OPEN;
    }
    return COM_SUCCESS;
}

void CSerialChannelPosix::requestStop() {
    stopping_ = true;
    stopEvent_.set();
    trigger_.release();
    port_->stop();
}

bool CSerialChannelPosix::joinThread(PlatThread*& thread, uint32_t timeoutMs) {
    if (!thread) return true;
    debugPrint(0, "# Close Thread handle %p", static_cast<void*>(thread));
    if (platThreadJoin(thread, timeoutMs) != PlatWait::Signaled) {
        debugPrint(DBG_ERROR, "! Timeout, Serial thread not exiting, Terminating it");
        return false;
    }
    thread = nullptr;
    return true;
}

DWORD CSerialChannelPosix::closeDevice() {
    if (onChannelThread()) {
        // A thread cannot wait for itself: it stops, and the rest waits for a later close.
        requestStop();
        return COM_ERR_STATE;
    }
    if (!rxThread_ && !txThread_ && !port_->isOpen()) return COM_SUCCESS;
    debugPrint(0, "closePort() enter");
    requestStop();
    if (txThread_) {
        debugPrint(0, "Signal TX thread, hEvent %p", static_cast<void*>(&trigger_));
        joinThread(txThread_, kThreadExitWaitMs);
    }
    if (rxThread_) {
        debugPrint(0, "Wait for RX thread 0x%X termination", platThreadId(rxThread_));
        joinThread(rxThread_, kThreadExitWaitMs);
    }
    // A thread still inside a callback keeps the port; the channel waits to be finished.
    if (rxThread_ || txThread_) return COM_ERR_STATE;
    if (port_->isOpen()) {
        debugPrint(0, "close serial device, handle 0x%X", static_cast<unsigned>(port_->handle()));
        PlatLockGuard g(lock_);   // a direct write is over
        port_->close();
        debugPrint(0, "device is closed");
    }
    freeResources();
    debugPrint(0, "closePort() exit");
    return COM_SUCCESS;
}

void CSerialChannelPosix::freeResources() {
    debugPrint(0, "freeResources()");
    failWrites(COM_ERR_STATE, true);
    free_.removeAll();
    trigger_.destroy();
    stopEvent_.destroy();
}

void CSerialChannelPosix::deviceGone() {
    if (!stopping_) signalRemove();
}

// ---- Writes -------------------------------------------------------------------------------
DWORD CSerialChannelPosix::onWrite(BYTE* buffer, DWORD length) {
    if (length > CDataNode::kBufferSize || (!buffer && length)) {
        debugPrint(DBG_ERROR, "onWrite(), buffer site %d too large", static_cast<int>(length));
        return COM_ERR_TOO_LONG;
    }
    CDataNode* node = free_.removeHead();
    if (!node) {
        DWORD bytes = 0;
        pending_.lock();
        for (CDataNode* n = pending_.getHead(); n; n = pending_.getNext(n)) bytes += n->length;
        DWORD queued = pending_.count();
        pending_.unlock();
        debugPrint(DBG_ERROR, "! cannot alloc dataNode for write (%d bytes), %d nodes pending with size %d",
                   static_cast<int>(length), static_cast<int>(queued), static_cast<int>(bytes));
        return COM_ERR_NO_RESOURCES;
    }
    node->reset();
    node->length = length;
    node->caller = buffer;
    if (mayWriteDirectly()) {
        const PlatSerialTransmit now = port_->transmitNow(buffer, length);
        if (now.result == PlatSerialSent::Done) {
            free_.addTail(node);
            traceWrite(buffer, length);
            debugPrint(0, "message %p write completed, length %d (qSize %d,%d)", static_cast<void*>(buffer),
                       static_cast<int>(length), static_cast<int>(pendingWrites()), static_cast<int>(writesInFlight()));
            signal(comeTransmitCompleted, COM_SUCCESS, buffer, length);
            return COM_SUCCESS;
        }
        node->sent = now.written;
    }
    if (length > node->sent) std::memcpy(node->buffer + node->sent, buffer + node->sent, length - node->sent);
    pending_.addTail(node);
    traceWrite(buffer, length);
    trigger_.release();   // a full trigger already wakes the thread, which drains every pending write
    return COM_SUCCESS;
}

bool CSerialChannelPosix::mayWriteDirectly() {
    return settings_.txFrameDelay == 0 && !stopping_ && port_->isOpen() && pendingWrites() == 0 &&
           writesInFlight() == 0;
}

void CSerialChannelPosix::traceWrite(const BYTE* buffer, DWORD length) {
    if (debugL1On(kTraceData))
        debugPrint(0, "Serial Write (len %d),message %p, qSize %d,%d", static_cast<int>(length),
                   static_cast<const void*>(buffer), static_cast<int>(pendingWrites()), static_cast<int>(writesInFlight()));
}

void CSerialChannelPosix::complete(CDataNode* node, DWORD status, DWORD count) {
    signal(comeTransmitCompleted, status, node->caller, count);
    PlatLockGuard g(lock_);
    inFlight_.remove(node);
    free_.addTail(node);
}

void CSerialChannelPosix::failWrites(DWORD status, bool inFlightToo) {
    std::vector<BYTE*> dropped;
    {
        PlatLockGuard g(lock_);
        if (inFlightToo) {
            while (CDataNode* node = inFlight_.removeHead()) {
                debugPrint(DBG_ERROR, "! write pending in txQueue, size %d", static_cast<int>(node->length));
                dropped.push_back(node->caller);
                free_.addTail(node);
            }
        }
        while (CDataNode* node = pending_.removeHead()) {
            debugPrint(DBG_ERROR, "! write pending in txPendingQueue, size %d", static_cast<int>(node->length));
            dropped.push_back(node->caller);
            free_.addTail(node);
        }
    }
    // Nobody waits for a completion that will never come.
    for (BYTE* caller : dropped) signal(comeTransmitCompleted, status, caller, 0);
}

DWORD CSerialChannelPosix::reset() {
    {
        PlatLockGuard g(lock_);
        if (!port_->isOpen()) return COM_ERR_STATE;
        port_->purge(true, true);
        clearErrors();
        clearBreak();
        inFlight_.lock();
        if (CDataNode* node = inFlight_.getHead())
            debugPrint(DBG_ERROR, "! write pending in txQueue, size %d", static_cast<int>(node->length));
        inFlight_.unlock();
    }
    failWrites(COM_ERR_STATE, false);
    return COM_SUCCESS;
}

bool CSerialChannelPosix::frameDelay() {
    DWORD delay = settings_.txFrameDelay;
    if (!delay || !wroteBefore_ || platTickMs() - lastWriteTick_ >= delay) return true;
    return stopEvent_.wait(delay) == PlatWait::Timeout;   // a stop ends the pause
}

// ---- Threads ------------------------------------------------------------------------------
void CSerialChannelPosix::txThreadProc(void* self) {
    t_channelOfThread = self;
    static_cast<CSerialChannelPosix*>(self)->txThread();
}

void CSerialChannelPosix::rxThreadProc(void* self) {
    t_channelOfThread = self;
    static_cast<CSerialChannelPosix*>(self)->rxThread();
}

void CSerialChannelPosix::txThread() {
    debugPrint(0, "hCom %p,enter write thread %p, hTriggerWrite %p", static_cast<void*>(this), threadTag(),
               static_cast<void*>(&trigger_));
    bool running = true;
    while (running && !stopping_ && trigger_.wait(PLAT_INFINITE) == PlatWait::Signaled) {
        while (running && !stopping_ && writesInFlight() < kWritesInFlight) {
            CDataNode* node = nullptr;
            {
                // One step under the channel lock: a writer never finds the node in neither list.
                PlatLockGuard g(lock_);
                node = pending_.removeHead();
                if (node) inFlight_.addTail(node);
            }
            if (!node) break;
            if (!frameDelay()) break;   // stopped: close completes the node
            lastWriteTick_ = platTickMs();
            wroteBefore_ = true;
            PlatSerialTransmit sent = port_->transmit(node->buffer + node->sent, node->length - node->sent);
            if (sent.result == PlatSerialSent::Stop) break;
            sent.written += node->sent;
            if (sent.result == PlatSerialSent::Done) {
                debugPrint(0, "message %p write completed, length %d (qSize %d,%d)", static_cast<void*>(node->caller),
                           static_cast<int>(sent.written), static_cast<int>(pendingWrites()),
                           static_cast<int>(writesInFlight() - 1));
                complete(node, COM_SUCCESS, sent.written);
                continue;
            }
            debugPrint(DBG_ERROR, "! WriteFile() failed 0x%X", static_cast<unsigned>(sent.error));
            complete(node, COM_ERR_OPEN, sent.written);
            if (sent.result == PlatSerialSent::Gone) {
                deviceGone();
                running = false;
            }
        }
    }
    debugPrint(0, "Exit write thread, hThreadExit 0x%X", platCurrentThreadId());
}

void CSerialChannelPosix::rxThread() {
    debugPrint(0, "hCom %p, enter rxThread(), read event %p ", static_cast<void*>(this), static_cast<void*>(port_.get()));
    if (settings_.handshake == 1 || settings_.handshake == 2) setLines(PLAT_LINE_DTR, false);
    // Purged before the open is reported: what the peer sends in answer to it is kept.
    port_->purge(true, false);
    clearErrors();
    signal(comeOpenCompleted, COM_SUCCESS, nullptr, 0);
    bool running = true;
    bool maskSet = false;
    DWORD mask = 0;
    while (running && !stopping_) {
        if (!maskSet || mask != settings_.eventMask) {
            mask = settings_.eventMask;
            maskSet = true;
            port_->setEventMask(mask);
            debugPrint(0, "SetCommMask 0x%X", mask);
        }
        PlatSerialReceive got = port_->receive(rxBuffer_, sizeof rxBuffer_, rxEnabled_);
        switch (got.wake) {
        case PlatSerialWake::Data:
            if (debugL1On(kTraceData)) debugDump(rxBuffer_, "COM RX", got.length);
            signal(comeDataReceived, COM_SUCCESS, rxBuffer_, got.length);
            break;
        case PlatSerialWake::LineEvent:
            dispatchCommEvent(got.events);
            break;
        case PlatSerialWake::Control:
            debugPrint(0, " thread signaled, read enable state changed");
            break;
        case PlatSerialWake::Stop:
            debugPrint(0, " thread Stop signal active, break loop");
            running = false;
            break;
        case PlatSerialWake::Gone:
            debugPrintWin32Error("Error ReadFile", static_cast<uint32_t>(got.error));
            deviceGone();
            running = false;
            break;
        case PlatSerialWake::Failed: {
            debugPrintWin32Error("Error ReadFile", static_cast<uint32_t>(got.error));
            clearErrors();
            PlatSerialLine line;
            port_->getLine(line);
            stopEvent_.wait(kRetryMs);
            break;
        }
        }
    }
    debugPrint(0, "exit serial watch thread 0x%X", platCurrentThreadId());
}

// ---- Line control -------------------------------------------------------------------------
DWORD CSerialChannelPosix::setLines(DWORD lines, bool on) {
    int error = port_->setModemLines(lines, on);
    if (error == 0) return COM_SUCCESS;
    if (platSerialUnsupported(error)) {
        debugPrint(0, "modem lines 0x%X not supported by <%s>, ignored", lines, portName_.c_str());
        return COM_SUCCESS;
    }
    debugPrintWin32Error("set modem lines failed", static_cast<uint32_t>(error));
    return COM_ERR_CONTROL_BLOCK;
}

DWORD CSerialChannelPosix::readModemStatus() {
    DWORD status = 0;
    int error = port_->modemStatus(status);
    if (error != 0) {
        if (platSerialUnsupported(error))
            debugPrint(0, "modem status not supported by <%s>, ignored", portName_.c_str());
        status = 0;
    }
    return status;
}

DWORD CSerialChannelPosix::clearErrors() {
    DWORD errors = 0;
    if (port_->takeLineErrors(errors) != 0) errors = 0;
    return errors;
}

void CSerialChannelPosix::clearBreak() { port_->setBreak(false); }

void CSerialChannelPosix::receiveEnable(bool on) {
    rxEnabled_ = on;
    port_->wakeReceiver();
}

DWORD CSerialChannelPosix::changeLine(TLineField field, DWORD value) {
    bool handshake = field == TLineField::Handshake;
    if (field == TLineField::StopBits && value != 1 && value != 2) {
        debugPrint(DBG_ERROR, "saSetStopBits: number of stopbits 0x%X unknown!", value);
        return COM_ERR_CONTROL_BLOCK;
    }
    if (handshake && value > 2) return COM_ERR_CONTROL_BLOCK;   // hardware, software or none
    if (field == TLineField::Parity && value == 0) return COM_SUCCESS;   // keep the port's
    PlatSerialLine line;
    if (port_->getLine(line) != 0) {
        debugPrint(DBG_ERROR, "%s", handshake ? "saSetupHandShakeMode - Unable to obtain DCB information" : "GetCommState() failed");
        return COM_ERR_CONTROL_BLOCK;
    }
    switch (field) {
    case TLineField::BaudRate: line.baudRate = value; break;
    case TLineField::ByteSize: line.byteSize = value > 0xFF ? 0 : static_cast<uint8_t>(value); break;
    case TLineField::StopBits: line.stopBits = static_cast<uint8_t>(value); break;
    case TLineField::Handshake: line.flow = flowOf(value); break;
    case TLineField::Parity:
        if (!parityOf(value, line.parity)) {
            debugPrint(DBG_ERROR, "value 0x%X for parity unknown!", value);
            return COM_ERR_CONTROL_BLOCK;
        }
        break;
    }
    if (port_->setLine(line) != 0) {
        debugPrint(DBG_ERROR, "%s", handshake ? "saSetupHandShakeMode - Unable to set DCB information" : "SetCommState() failed");
        return COM_ERR_CONTROL_BLOCK;
    }
    return COM_SUCCESS;
}
