#include "transport/serialfrontend.h"

#include "transport/cominterface.h"
#include "util/trace.h"

namespace {

// Layer-1 trace bits of the writes.
constexpr uint32_t kTraceWrite = 0x40000000u;
constexpr uint32_t kTraceData = 0x80000000u;

} // namespace

DWORD comOpen(const char* name, const char* parameters, TComCallBack callBack, void* context, TComHandle* handle) {
    debugPrint(0, "comOpen() <%s>,<%s>", name ? name : "", parameters ? parameters : "");
    if (!handle) {
        debugPrint(DBG_ERROR, "comOpen() exit 0x%X, new handle %p", COM_ERR_HANDLE, static_cast<void*>(nullptr));
        return COM_ERR_HANDLE;
    }
    DWORD status = COM_ERR_NO_RESOURCES;
    CCommChannel* channel = comInterface().open();
    if (channel) {
        channel->setParameters(parameters);
        status = channel->open(name, callBack, context);
        if (status != COM_SUCCESS && status != COM_PENDING) {
            comInterface().close(channel);
            channel = nullptr;
        }
    }
    *handle = channel;
    debugPrint(0, "comOpen() exit 0x%X, new handle %p", status, static_cast<void*>(channel));
    return status;
}

DWORD comClose(TComHandle handle) {
    debugPrint(0, "comClose() handle %p", handle);
    DWORD status = comInterface().close(handle);
    debugPrint(0, "comClose() exit 0x%X", status);
    return status;
}

DWORD comWrite(TComHandle handle, BYTE* buffer, DWORD length) {
    TRACE_L1(kTraceWrite, "comWrite() hCom %p, %p %d", handle, static_cast<void*>(buffer), static_cast<int>(length));
    if (buffer && debugL1On(kTraceData)) debugDump(buffer, "comWrite", length);
    return comInterface().write(handle, buffer, length);
}

DWORD comReset(TComHandle handle) {
    debugPrint(0, "comReset() handle %p", handle);
    DWORD status = comInterface().reset(handle);
    debugPrint(0, "comReset() exit 0x%X", status);
    return status;
}

DWORD comSetProperty(TComHandle handle, DWORD property, void* value, DWORD length) {
    if (property == compTraceFlags) return COM_SUCCESS;
    debugPrint(0, "comSetProperty() hCom %p, property 0x%X, len %d enter", handle, property, static_cast<int>(length));
    DWORD status = comInterface().setProperty(handle, property, value, length);
    debugPrint(0, "comSetProperty() exit 0x%X", status);
    return status;
}

DWORD comGetProperty(TComHandle handle, DWORD property, void* value, DWORD* length) {
    debugPrint(0, "comGetProperty() hCom %p,property 0x%X, len %d enter", handle, property,
               length ? static_cast<int>(*length) : 0);
    DWORD status = comInterface().getProperty(handle, property, value, length);
    debugPrint(0, "comGetProperty() exit 0x%X", status);
    return status;
}
