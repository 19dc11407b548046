#include "transport/cominterface.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "transport/serialchannelposix.h"
#include "util/trace.h"

namespace {

constexpr int kProbedPorts = 9;
constexpr DWORD kInterfaceKind = 2;   // getProperty 0 without a handle

DWORD countOf(CDoubleList<CCommChannel>& list) {
    list.lock();
    DWORD n = list.count();
    list.unlock();
    return n;
}

} // namespace

CComInterface::CComInterface() : factory_(&platSerialPortCreate) {}

CComInterface::~CComInterface() {
    debugPrint(0, "~CComInterface(), remove inactive %d channels", static_cast<int>(countOf(inactive_)));
    for (auto* list : {&inactive_, &active_}) {
        while (CCommChannel* channel = list->removeHead()) {
            // One that is still in use cannot go; leaving it is all that is safe at exit. Nobody
            // above is left to hear of a close completed now.
            if (channel->finish(false) && !channel->busy()) delete channel;
        }
    }
}

CComInterface& comInterface() {
    static CComInterface instance;
    return instance;
}

CComInterface::PortFactory CComInterface::setPortFactory(PortFactory factory) {
    return factory_.exchange(factory ? factory : &platSerialPortCreate);
}

void CComInterface::deleteInactive() {
    for (DWORD n = countOf(inactive_); n > 0; --n) {
        CCommChannel* channel = inactive_.removeHead();
        if (!channel) break;
        finishParked(channel);
    }
}

DWORD CComInterface::finishParked(CCommChannel* channel) {
    // Finishing first waits (bounded) for its threads, and with them for a callback still
    // returning; only then can the channel be idle.
    if (channel->finish(true) && !channel->busy()) {
        delete channel;
        return COM_SUCCESS;
    }
    inactive_.addTail(channel);
    return COM_ERR_STATE;
}

CCommChannel* CComInterface::take(CDoubleList<CCommChannel>& list, TComHandle handle) {
    CCommChannel* channel = nullptr;
    list.lock();
    for (CCommChannel* c = list.getHead(); c && !channel; c = list.getNext(c))
        if (static_cast<TComHandle>(c) == handle) channel = c;
    if (channel) list.remove(channel);
    list.unlock();
    return channel;
}

CCommChannel* CComInterface::acquire(TComHandle handle, bool firstWhenEmpty) {
    CCommChannel* found = nullptr;
    active_.lock();
    if (!handle && firstWhenEmpty) {
        found = active_.getHead();
    } else {
        for (CCommChannel* c = active_.getHead(); c && !found; c = active_.getNext(c))
            if (static_cast<TComHandle>(c) == handle) found = c;
    }
    if (found) found->enter();
    else debugPrint(DBG_ERROR, "! Invalid COM handle %p, in queue %d", handle, static_cast<int>(active_.count()));
    active_.unlock();
    return found;
}

void CComInterface::release(CCommChannel* channel) { channel->leave(); }

CCommChannel* CComInterface::open() {
    deleteInactive();
    auto* channel = new (std::nothrow) CSerialChannelPosix(factory_.load()());
    if (channel) active_.addTail(channel);
    return channel;
}

DWORD CComInterface::close(TComHandle handle) {
    // The handle of a close that had to wait: this close tries to finish it.
    if (CCommChannel* parked = handle ? take(inactive_, handle) : nullptr) return finishParked(parked);
    deleteInactive();
    CCommChannel* channel = take(active_, handle);
    if (!channel) {
        debugPrint(DBG_ERROR, "! Invalid COM handle %p, in queue %d", handle, static_cast<int>(countOf(active_)));
        return COM_ERR_HANDLE;
    }
    DWORD status = channel->close();
    if (status == COM_SUCCESS && !channel->busy()) {
        delete channel;
    } else {
        debugPrint(0, "don't delete channel here, signal pending");
        inactive_.addTail(channel);
    }
    return status;
}

DWORD CComInterface::reset(TComHandle handle) {
    CCommChannel* channel = acquire(handle, false);
    if (!channel) return COM_ERR_HANDLE;
    DWORD status = channel->reset();
    release(channel);
    return status;
}

DWORD CComInterface::write(TComHandle handle, BYTE* buffer, DWORD length) {
    CCommChannel* channel = acquire(handle, false);
    if (!channel) return COM_ERR_HANDLE;
    DWORD status = channel->write(buffer, length);
    release(channel);
    return status;
}

DWORD CComInterface::setProperty(TComHandle handle, DWORD property, const void* value, DWORD length) {
    CCommChannel* channel = acquire(handle, true);
    if (!channel) return COM_ERR_HANDLE;
    DWORD status = channel->setProperty(property, value, length);
    release(channel);
    return status;
}

DWORD CComInterface::getProperty(TComHandle handle, DWORD property, void* value, DWORD* length) {
    if (!handle && property == 0 && value && length) {
        std::memcpy(value, &kInterfaceKind, sizeof kInterfaceKind);
        *length = sizeof kInterfaceKind;
        return COM_SUCCESS;
    }
    CCommChannel* channel = acquire(handle, false);
    if (!channel) return COM_ERR_HANDLE;
    DWORD status = channel->getProperty(property, value, length);
    release(channel);
    return status;
}

int32_t CComInterface::enumerate(TComEnumCallBack callBack, void* context) {
    if (enumerating_.exchange(true)) {
        debugPrint(DBG_ERROR, "! enumeration already running");
        return COM_ENUM_RUNNING;
    }
    int32_t found = 0;
    for (int n = 1; n <= kProbedPorts; ++n) {
        char name[8];
        std::snprintf(name, sizeof name, "COM%d", n);
        int error = 0;
        {
            CSerialChannelPosix probe(factory_.load()());
            if (probe.openPort(name) == COM_SUCCESS) probe.closePort();
            else error = probe.lastError() ? probe.lastError() : -1;
        }
        if (error == 0) {
            debugPrint(0, "found serial adapter <%s>", name);
            ++found;
            if (callBack) callBack(name, context);
        } else if (platSerialInUse(error)) {
            debugPrint(DBG_ERROR, "! Com port <%s> is in use", name);
        } else {
            debugPrint(0, "Com port <%s> not found (0x%X)", name, static_cast<unsigned>(error));
        }
    }
    enumerating_ = false;
    return found;
}
