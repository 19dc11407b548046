// Small text, byte and image conversions shared by every window and the library binding.
// Buffers they return are allocated with new[] and freed by the caller with delete[].
#pragma once

#include <QImage>
#include <QString>

#include <cstddef>

#include "corvane.h"

class QAbstractButton;

bool isEnabledAndChecked(const QAbstractButton* button);

QString bytesToQString(const BYTE* bytes, BYTE length);     // Latin-1 up to the first zero byte
QString utf8ToQString(const BYTE* bytes, size_t length);
QString utf16BeToQString(const BYTE* bytes, size_t length);  // length in bytes, halved

// New buffers; characters above 255 become 0. The C string keeps the text's full length.
BYTE* qStringToBytes(const QString& text);
char* qStringToCString(const QString& text);

BYTE hexDigitValue(QChar character);    // anything but a hex digit is 0: callers validate
BYTE hexPairToByte(QChar high, QChar low);
// Drops every "0x"/"0X", then writes one byte per pair of characters into out. Answers null
// for an odd count of characters or when the bytes would not fit into capacity.
BYTE* hexStringToBytes(const QString& text, BYTE* out, size_t capacity);

QString bytesToHexDump(const BYTE* bytes, size_t count);
QString bytesToPrintableText(const BYTE* bytes, size_t count);

// ARGB32 copy in which every pixel of the colour of pixel (0,0) is fully transparent.
QImage makeBackgroundTransparent(const QImage& image);
