// The lower interface of the NCI reader family: NCI packets over a lower transport (the serial
// front end or the chip transport), with the chip's frame prefix, and whole checked packets
// handed up to the com layer.
#pragma once

#include "transport/comlower.h"

DWORD nciTransportOpen(const char* device, const char* parameters, TComCallBack callBack, void* context, TComHandle* handle);
DWORD nciTransportClose(TComHandle handle);
DWORD nciTransportWrite(TComHandle handle, BYTE* buffer, DWORD length);
DWORD nciTransportSetProperty(TComHandle handle, DWORD property, void* value, DWORD length);
DWORD nciTransportGetProperty(TComHandle handle, DWORD property, void* value, DWORD* length);

// What the lower transport reports; the context is the adapter's link.
void nciTransportLowerCallback(void* context, DWORD event, DWORD status, BYTE* buffer, DWORD length);
