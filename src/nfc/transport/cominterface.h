// The one process-wide owner of every open serial channel; it also finds the COM ports.
#pragma once

#include <atomic>
#include <memory>

#include "doublelist.h"
#include "serialport.h"
#include "transport/serialchannel.h"

// Called once per port found, with its name ("COM3").
using TComEnumCallBack = void (*)(const char* portName, void* context);

// The enumeration answer when another enumeration is still running; otherwise the count.
constexpr int32_t COM_ENUM_RUNNING = -1;

class CComInterface {
public:
    using PortFactory = std::unique_ptr<PlatSerialPort> (*)();

    CComInterface();
    ~CComInterface();
    CComInterface(const CComInterface&) = delete;
    CComInterface& operator=(const CComInterface&) = delete;

    // A new channel in the active list, or empty when none can be made.
    CCommChannel* open();
    // A handle whose close had to wait may be closed again: that finishes it, once it can.
    DWORD close(TComHandle handle);
    DWORD reset(TComHandle handle);
    DWORD write(TComHandle handle, BYTE* buffer, DWORD length);
    DWORD setProperty(TComHandle handle, DWORD property, const void* value, DWORD length);
    DWORD getProperty(TComHandle handle, DWORD property, void* value, DWORD* length);
    // Probes COM1 to COM9; the number found, or COM_ENUM_RUNNING.
    int32_t enumerate(TComEnumCallBack callBack, void* context);

    // Where channels get their ports from (tests put scripted ports here); returns the previous.
    PortFactory setPortFactory(PortFactory factory);

private:
    // The channel behind a handle, held against deletion until release; empty when unknown.
    // An empty handle means the first active channel.
    CCommChannel* acquire(TComHandle handle, bool firstWhenEmpty);
    static void release(CCommChannel* channel);
    void deleteInactive();
    // Deletes a parked channel once it is finished (0), or parks it again (0x17).
    DWORD finishParked(CCommChannel* channel);
    // Unlinks the channel of the handle from the list; empty when it is not there.
    static CCommChannel* take(CDoubleList<CCommChannel>& list, TComHandle handle);

    CDoubleList<CCommChannel> active_;
    CDoubleList<CCommChannel> inactive_;
    std::atomic<bool> enumerating_{false};
    std::atomic<PortFactory> factory_;
};

CComInterface& comInterface();
