// The lower interface of the ETSI HCI reader family: HCP frames over an SHDLC link, which runs
// on a worker thread of its own above a lower transport (the serial front end or the chip
// transport). Other threads hand it work through a queue of actions.
#pragma once

#include "transport/comlower.h"

DWORD etsiTransportOpen(const char* device, const char* parameters, TComCallBack callBack, void* context, TComHandle* handle);
DWORD etsiTransportClose(TComHandle handle);
DWORD etsiTransportWrite(TComHandle handle, BYTE* buffer, DWORD length);
DWORD etsiTransportResponse(TComHandle handle, BYTE* buffer);
DWORD ehciLayerSetProperty(TComHandle handle, DWORD property, void* value, DWORD length);
DWORD etsiTransportGetProperty(TComHandle handle, DWORD property, void* value, DWORD* length);

// What the lower transport reports; the context is the adapter's link.
void etsiTransportLowerCallback(void* context, DWORD event, DWORD status, BYTE* buffer, DWORD length);

// The link flags and window the configuration of the last open gave, for tests.
uint32_t etsiTransportLinkFlags();
uint32_t etsiTransportWindow();
