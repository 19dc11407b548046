// The lower interface for COM ports: every call but the open checks its handle against the
// open channels (0x15 when unknown).
#pragma once

#include "transport/comlower.h"

DWORD comOpen(const char* name, const char* parameters, TComCallBack callBack, void* context, TComHandle* handle);
DWORD comClose(TComHandle handle);
DWORD comWrite(TComHandle handle, BYTE* buffer, DWORD length);
DWORD comReset(TComHandle handle);
// An empty handle means the first open channel.
DWORD comSetProperty(TComHandle handle, DWORD property, void* value, DWORD length);
DWORD comGetProperty(TComHandle handle, DWORD property, void* value, DWORD* length);
