#include "seroutingentry.h"

#include <QByteArray>

#include "convert.h"

namespace {

struct NamedCode {
    const char* name;
    DWORD code;
};
constexpr NamedCode kTechnologies[] = {{"ISO 14443A", 0}, {"ISO 14443B", 1}, {"FeliCa", 2}, {"ISO 15693", 3}};
constexpr NamedCode kProtocols[] = {{"T1T", 1}, {"T2T", 2}, {"T3T", 3}, {"ISO DEP", 4}, {"NFC DEP", 5}};
constexpr DWORD kUnknownTechnology = 0xFF;
constexpr DWORD kUnknownProtocol = 0;
constexpr size_t kAidCapacity = sizeof(TNfcRoutingAid::bytes);

// The named code, or unknown (a value no entry holds). It is returned, never written through a
// pointer: the routing record is packed and its fields are not aligned.
template <size_t N>
DWORD codeOf(const NamedCode (&table)[N], const QString& name, DWORD unknown) {
    for (const NamedCode& entry : table)
        if (name == QLatin1String(entry.name)) return entry.code;
    return unknown;
}

bool isHexText(const QString& text) {
    for (const QChar c : text)
        if (!c.isDigit() && !(c.toLower() >= QLatin1Char('a') && c.toLower() <= QLatin1Char('f'))) return false;
    return true;
}

DWORD routingTypeOf(const QString& text, bool pollTable) {
    if (text == QLatin1String("Technology")) return pollTable ? NFC_ROUTE_POLL_TECHNOLOGY : NFC_ROUTE_TECHNOLOGY;
    if (text == QLatin1String("Protocol")) return pollTable ? NFC_ROUTE_POLL_PROTOCOL : NFC_ROUTE_PROTOCOL;
    if (text == QLatin1String("AID") && !pollTable) return NFC_ROUTE_AID;
    return NFC_ROUTE_UNKNOWN;
}

TSeRoutingResult refused(TSeRoutingResult result, const QString& failure) {
    result.built = false;
    result.failure = failure;
    return result;
}

} // namespace

bool seIdFromText(const QString& text, BYTE* id) {
    bool ok = false;
    const uint value = text.toUInt(&ok, 10);
    if (!ok) return false;
    *id = static_cast<BYTE>(value);
    return true;
}

TSeRoutingResult buildRoutingEntry(const TSeRoutingInputs& in, const TSeHandleLookup& handleOf) {
    TSeRoutingResult result;
    TNfcRoutingEntry& entry = result.entry;
    if (in.id.isEmpty()) return refused(result, QStringLiteral("! No SE ID (0) found"));
    BYTE id = 0;
    if (!seIdFromText(in.id, &id)) return refused(result, QStringLiteral("! Failed to convert ID"));
    // The packed record's handle is not aligned either: it is looked up into a variable of its own.
    NfcSecureHandle handle = 0;
    if (id != 0 && !handleOf(id, &handle)) return refused(result, QStringLiteral("! Failed to map SE ID to handle"));
    entry.hSecure = handle;

    entry.type = routingTypeOf(in.routingType, in.pollTable);
    if (entry.type == NFC_ROUTE_UNKNOWN)
        return refused(result, QStringLiteral("! Routing type (%1) not recognized").arg(in.routingType));

    // 0xFF is also what a failed conversion gives: it is never a power state.
    if (in.powerState.size() != 2)
        return refused(result, QStringLiteral("! Conversion of power (%1) state failed").arg(in.powerState));
    const BYTE power = isHexText(in.powerState) ? hexPairToByte(in.powerState[0], in.powerState[1]) : 0xFF;
    if (power == 0xFF) return refused(result, QStringLiteral("! Bad power state"));
    entry.powerState = power;

    switch (entry.type) {
    case NFC_ROUTE_TECHNOLOGY:
    case NFC_ROUTE_POLL_TECHNOLOGY:
        entry.value = codeOf(kTechnologies, in.technology, kUnknownTechnology);
        if (entry.value == kUnknownTechnology)
            return refused(result, QStringLiteral("! RF technology (%1) not recognized").arg(in.technology));
        break;
    case NFC_ROUTE_PROTOCOL:
    case NFC_ROUTE_POLL_PROTOCOL:
        entry.value = codeOf(kProtocols, in.protocol, kUnknownProtocol);
        if (entry.value == kUnknownProtocol)
            return refused(result, QStringLiteral("! RF protocol(%1) not recognized").arg(in.protocol));
        break;
    default: {
        // The AID field holds 16 bytes: a longer, odd or non-hexadecimal AID is refused, never cut.
        QString digits = in.aid;
        digits.remove(QLatin1Char(' '));
        if (digits.size() % 2 != 0 || !isHexText(digits) || static_cast<size_t>(digits.size() / 2) > kAidCapacity)
            return refused(result, QStringLiteral("! AID (%1) is not up to %2 bytes of hexadecimal pairs")
                                       .arg(in.aid)
                                       .arg(kAidCapacity));
        entry.aid.length = static_cast<BYTE>(digits.size() / 2);
        for (int i = 0; i < entry.aid.length; ++i) entry.aid.bytes[i] = hexPairToByte(digits[2 * i], digits[2 * i + 1]);
        break;
    }
    }

    result.built = true;
    result.lines << QString::asprintf("SE ID: %u", id) << QString::asprintf("SE handle: 0x%08X", entry.hSecure)
                 << QString::asprintf("SE flags: %u", entry.nfceeId)
                 << QString::asprintf("SE power state: %u", entry.powerState)
                 << QString::asprintf("SE routing type: %u", entry.type);
    if (entry.type == NFC_ROUTE_AID) {
        const QByteArray aid(reinterpret_cast<const char*>(entry.aid.bytes), entry.aid.length);
        result.lines << QStringLiteral("SE AID: %1").arg(QLatin1String(aid.toHex().toUpper()))
                     << QString::asprintf("SE AID length: %u", entry.aid.length);
    } else if (entry.type == NFC_ROUTE_TECHNOLOGY || entry.type == NFC_ROUTE_POLL_TECHNOLOGY) {
        result.lines << QString::asprintf("SE technology: %u", entry.value);
    } else {
        result.lines << QString::asprintf("SE protocol: %u", entry.value);
    }
    return result;
}
