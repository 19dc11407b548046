#include "convert.h"

#include <QAbstractButton>

#include <cstring>
#include <new>

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

void appendHexByte(QString& text, unsigned value) {
    text += QLatin1Char(kHexDigits[(value >> 4) & 0xF]);
    text += QLatin1Char(kHexDigits[value & 0xF]);
}

// Latin-1 code of a character, 0 for one that Latin-1 cannot hold.
char latin1Or0(QChar character) { return character.unicode() > 0xFF ? 0 : static_cast<char>(character.unicode()); }

} // namespace

bool isEnabledAndChecked(const QAbstractButton* button) {
    return button && button->isEnabled() && button->isChecked();
}

QString bytesToQString(const BYTE* bytes, BYTE length) {
    if (!bytes) return QString();
    const char* text = reinterpret_cast<const char*>(bytes);
    return QString::fromLatin1(text, static_cast<qsizetype>(strnlen(text, length)));
}

QString utf8ToQString(const BYTE* bytes, size_t length) {
    return bytes ? QString::fromUtf8(reinterpret_cast<const char*>(bytes), static_cast<qsizetype>(length)) : QString();
}

QString utf16BeToQString(const BYTE* bytes, size_t length) {
    QString text;
    if (!bytes) return text;
    text.reserve(static_cast<qsizetype>(length / 2));
    for (size_t i = 0; i + 1 < length; i += 2) text += QChar(static_cast<char16_t>(bytes[i] << 8 | bytes[i + 1]));
    return text;
}

BYTE* qStringToBytes(const QString& text) {
    BYTE* bytes = new (std::nothrow) BYTE[static_cast<size_t>(text.size())];
    if (!bytes) return nullptr;
    for (qsizetype i = 0; i < text.size(); ++i) bytes[i] = static_cast<BYTE>(latin1Or0(text[i]));
    return bytes;
}

char* qStringToCString(const QString& text) {
    char* string = new (std::nothrow) char[static_cast<size_t>(text.size()) + 1];
    if (!string) return nullptr;
    for (qsizetype i = 0; i < text.size(); ++i) string[i] = latin1Or0(text[i]);
    string[text.size()] = 0;
    return string;
}

BYTE hexDigitValue(QChar character) {
    const char16_t c = character.unicode();
    if (c >= '0' && c <= '9') return static_cast<BYTE>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<BYTE>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<BYTE>(c - 'A' + 10);
    return 0;
}

BYTE hexPairToByte(QChar high, QChar low) {
    return static_cast<BYTE>(16 * hexDigitValue(high) + hexDigitValue(low));
}

BYTE* hexStringToBytes(const QString& text, BYTE* out, size_t capacity) {
    QString digits = text;
    digits.remove(QLatin1String("0x"), Qt::CaseInsensitive);
    const size_t count = static_cast<size_t>(digits.size()) / 2;
    if (!out || digits.size() % 2 != 0 || count > capacity) return nullptr;
    for (size_t i = 0; i < count; ++i) out[i] = hexPairToByte(digits[2 * i], digits[2 * i + 1]);
    return out;
}

QString bytesToHexDump(const BYTE* bytes, size_t count) {
    QString dump;
    if (!bytes) return dump;
    dump.reserve(static_cast<qsizetype>(count * 3 + count / 16));
    for (size_t i = 0; i < count; ++i) {
        appendHexByte(dump, bytes[i]);
        dump += QLatin1Char(' ');
        if (i % 16 == 15) dump += QLatin1Char('\n');
    }
    return dump;
}

QString bytesToPrintableText(const BYTE* bytes, size_t count) {
    QString printable;
    if (!bytes) return printable;
    const QString decoded = utf8ToQString(bytes, count);
    bool lastWasHex = false;
    for (size_t i = 0; i < count; ++i) {
        const qsizetype at = static_cast<qsizetype>(i);
        const char16_t c = at < decoded.size() && decoded[at].unicode() <= 0xFF ? decoded[at].unicode() : 0;
        const bool plain = c >= 0x20 && c <= 0x7E;
        if (plain ? lastWasHex : i > 0) printable += QLatin1Char(' ');
        if (plain)
            printable += QChar(c);
        else
            appendHexByte(printable, c);
        lastWasHex = !plain;
    }
    return printable;
}

QImage makeBackgroundTransparent(const QImage& image) {
    QImage converted = image.convertToFormat(QImage::Format_ARGB32);
    if (converted.isNull()) return converted;
    const QRgb background = converted.pixel(0, 0);
    for (int y = 0; y < converted.height(); ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(converted.scanLine(y));
        for (int x = 0; x < converted.width(); ++x)
            if (line[x] == background) line[x] = 0;
    }
    return converted;
}
