#include "tracetext.h"

#include <cstdio>
#include <new>

char* newTraceText(const char* format, va_list arguments) {
    char* text = new (std::nothrow) char[kTraceTextSize];
    if (text && vsnprintf(text, kTraceTextSize, format ? format : "", arguments) < 0) text[0] = 0;
    return text;
}
