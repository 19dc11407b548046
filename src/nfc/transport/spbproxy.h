// The bus proxy's run-time library, shared by the serial-proxy and SPB miniports: loaded once
// from our own folder and kept for the process.
#pragma once

// The library, or null when it cannot be loaded (traced).
void* spbProxyLibrary();
// An entry of the library; null (traced) when the library or the entry is missing.
void* spbProxySymbol(const char* name);
