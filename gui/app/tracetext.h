// The text of one signalPostTrace: a new[] buffer of 485 bytes that the receiving slot deletes.
#pragma once

#include <cstdarg>

inline constexpr int kTraceTextSize = 485;

// Formats bounded into a new buffer; null when it cannot be allocated.
char* newTraceText(const char* format, va_list arguments);
