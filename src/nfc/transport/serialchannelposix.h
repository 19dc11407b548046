// The serial channel on a tty: one receive thread and one transmit thread per open port,
// each waiting only on the port and on the stop signal. A frame that finds the transmit thread
// idle is written from the writer's own thread when the port takes it whole at once; what the
// port does not take goes to the transmit thread.
#pragma once

#include <atomic>
#include <memory>

#include "transport/serialchannel.h"

// One write: the frame is copied in when it is written, so the caller's buffer is free once
// the write call returns; the caller's pointer comes back with the completion as a token.
class CDataNode : public CDoubleListNode {
public:
    static constexpr DWORD kBufferSize = 2048;

    void reset() {
        length = 0;
        sent = 0;
        caller = nullptr;
    }

    BYTE buffer[kBufferSize];
    DWORD length = 0;
    DWORD sent = 0;          // bytes the writer's own thread put on the port before queueing the rest
    BYTE* caller = nullptr;
};

class CSerialChannelPosix final : public CSerialChannel {
public:
    static constexpr DWORD kDataNodes = 20;
    static constexpr DWORD kWritesInFlight = 1;
    static constexpr DWORD kTriggerMaximum = 32;
    static constexpr DWORD kReceiveBufferSize = 1024;
    static constexpr uint32_t kThreadExitWaitMs = 1000;

    explicit CSerialChannelPosix(std::unique_ptr<PlatSerialPort> port = platSerialPortCreate());
    ~CSerialChannelPosix() override;
    CSerialChannelPosix(const CSerialChannelPosix&) = delete;
    CSerialChannelPosix& operator=(const CSerialChannelPosix&) = delete;

    DWORD reset() override;

    DWORD pendingWrites() { return countOf(pending_); }
    DWORD writesInFlight() { return countOf(inFlight_); }

protected:
    DWORD onWrite(BYTE* buffer, DWORD length) override;
    bool isOpen() const override;
    int portHandle() const override;
    DWORD saOpenPort(const char* name) override;
    DWORD closeDevice() override;
    bool onChannelThread() const override;
    void requestStop() override;
    DWORD setLines(DWORD lines, bool on) override;
    DWORD changeLine(TLineField field, DWORD value) override;
    DWORD readModemStatus() override;
    DWORD clearErrors() override;
    void clearBreak() override;
    void receiveEnable(bool on) override;

private:
    static DWORD countOf(CDoubleList<CDataNode>& list);
    static void rxThreadProc(void* self);
    static void txThreadProc(void* self);
    void rxThread();
    void txThread();
    DWORD startThreads();
    bool joinThread(PlatThread*& thread, uint32_t timeoutMs);
    bool frameDelay();
    // Channel lock held: the transmit thread has nothing to write and none is pacing the writes.
    bool mayWriteDirectly();
    void traceWrite(const BYTE* buffer, DWORD length);
    // Reports the write in flight as done, then frees its node; the next write may go directly
    // only after that, so completions keep the order of the writes.
    void complete(CDataNode* node, DWORD status, DWORD count);
    // Completes every queued write (and the one in flight, when asked) with the status.
    void failWrites(DWORD status, bool inFlightToo);
    void freeResources();
    void deviceGone();

    std::unique_ptr<PlatSerialPort> port_;
    PlatThread* rxThread_ = nullptr;
    PlatThread* txThread_ = nullptr;
    PlatSemaphore trigger_;
    PlatEvent stopEvent_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> rxEnabled_{true};
    CDoubleList<CDataNode> free_;
    CDoubleList<CDataNode> pending_;
    CDoubleList<CDataNode> inFlight_;
    uint32_t lastWriteTick_ = 0;   // transmit thread only
    bool wroteBefore_ = false;     // transmit thread only
    BYTE rxBuffer_[kReceiveBufferSize];
};
