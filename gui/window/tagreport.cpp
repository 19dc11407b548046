#include "tagreport.h"

#include <algorithm>
#include <iterator>

namespace {

// How the parameter lines of a technology family read its record.
enum class Group { None, A, B, F, V };

struct TagName {
    DWORD type;
    const char* name;
    const char* suffix;    // shown only when the tag holds NDEF
    Group group;
};
constexpr TagName kTagNames[] = {
    {0x1, "ISO 14443A", " (Type 4)", Group::A},
    {0x2, "ISO 14443B", " (Type 4)", Group::B},
    {0x4, "ISO 15693", "", Group::V},
    {0x10, "MIFARE Standard 1K (S50)", "", Group::A},
    {0x20, "MIFARE Standard 4K (S70)", "", Group::A},
    {0x40, "MIFARE Ultralight", " (Type 2)", Group::A},
    {0x80, "MIFARE DESFire", " (Type 4)", Group::A},
    {0x100, "FeliCa", " (Type 3)", Group::F},
    {0x400, "Jewel", " (Type 1)", Group::A},
    {0x800, "Kovio barcode", "", Group::None},
    {0x1000, "P2P: Initiator", "", Group::None},
    {0x2000, "P2P: Target", "", Group::None},
    {0x20000, "SE: Secure Elements", "", Group::None},
    {0x100000, "CE: ISO 14443A", "", Group::None},
    {0x200000, "CE: ISO 14443B", "", Group::None},
    {0x400000, "CE: ISO 18092 Felica", "", Group::None},
    {0x800000, "CE: ISO 14443B2", "", Group::None},
    {0x1000000, "MIFARE Mini (S20)", "", Group::A},
    {0x2000000, "MIFARE Plus 2K", "", Group::A},
    {0x4000000, "Mifare Plus 4K", "", Group::A},
    {0x8000000, "HID iClass", "", Group::None},
};
constexpr TagName kUnknownTag = {0, "Undetected or unknown", "", Group::None};
constexpr DWORD kFamilyBits = 0x0FFFFFFFu;

struct Chip15693 {
    DWORD maker;
    DWORD product;
    const char* text;
};
constexpr Chip15693 kChips15693[] = {
    {7, 3, " Tag-it HF-I Plus"},
    {7, 2, " Tag-it HF-I Std"},
    {7, 4, " Tag-it HF-I Pro"},
};
constexpr const char* kOtherChip15693 = " (Vicinity Card)";

struct Maker {
    DWORD code;
    const char* name;
};
constexpr Maker kMakers[] = {
    {2, "STM"},        {4, "NXP"},      {5, "Infineon"},  {7, "Texas Instruments"}, {0x12, "Inside"},
    {0x1A, "Sony"},    {0x25, "Innovision"}, {0x2E, "Broadcom"}, {0x37, "Kovio"},
};
constexpr DWORD kUnknownMaker = 0;
constexpr const char* kUnidentifiedMaker = "Unidentified";

// First set bit wins, in this order.
struct Picture {
    DWORD bits;
    const char* name;
};
constexpr Picture kPictures[] = {
    {0x1, "iso14443A"},          {0x2, "iso14443B"},           {0x4, "iso15693"},
    {0x800, "kovioBarcode"},     {0x10, "nxpMifareClassic1K"}, {0x20, "nxpMifareClassic4K"},
    {0x40, "nxpMifareUltralight"}, {0x80, "nxpMifareDesfire"}, {0x100, "sonyFelica"},
    {0x400, "innovisionTopaz"},  {0x3000, "nfcForumP2p"},      {0xF00000, "nfcForumCe"},
    {0x1000000, "nxpMifareS20"}, {0x2000000, "nxpMifarePlus2K"}, {0x4000000, "nxpMifarePlus4K"},
    {TAG_NDEF, "nfcForumNdef"},
};

struct Access {
    DWORD bit;
    const char* text;
};
constexpr Access kAccess[] = {{NFC_TAG_READABLE, "read "}, {NFC_TAG_WRITABLE, "write "}, {NFC_TAG_FORMATTABLE, "format "}};

const TagName& tagName(DWORD tagType) {
    const DWORD family = tagType & kFamilyBits;
    const auto* found = std::find_if(std::begin(kTagNames), std::end(kTagNames),
                                     [family](const TagName& entry) { return entry.type == family; });
    return found == std::end(kTagNames) ? kUnknownTag : *found;
}

DWORD makerCode(const TNfcTagInfo& tag) { return tag.chipCode >> 16; }
DWORD productCode(const TNfcTagInfo& tag) { return tag.chipCode & 0xFFFFu; }

QString chip15693Text(const TNfcTagInfo& tag) {
    for (const Chip15693& chip : kChips15693)
        if (chip.maker == makerCode(tag) && chip.product == productCode(tag)) return QLatin1String(chip.text);
    return QLatin1String(kOtherChip15693);
}

QString makerName(DWORD code) {
    for (const Maker& maker : kMakers)
        if (maker.code == code) return QLatin1String(maker.name);
    return QLatin1String(kUnidentifiedMaker);
}

QString hexByte(BYTE value) { return QStringLiteral("%1").arg(value, 2, 16, QLatin1Char('0')).toUpper(); }
QString hexWord(WORD value) { return QStringLiteral("0x") + QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0')).toUpper(); }
QString hexValue(BYTE value) { return QStringLiteral("0x") + hexByte(value); }

// Each byte behind its separator; the first one too unless skipFirst.
QString joinedBytes(const BYTE* bytes, size_t count, const QString& separator, bool skipFirst = false) {
    QString text;
    for (size_t i = 0; i < count; ++i) text += (i == 0 && skipFirst ? QString() : separator) + hexByte(bytes[i]);
    return text;
}

QString bitRateText(const TNfcTagInfo& tag) {
    if (tag.tx == 0 || tag.rx == 0) return QString();
    if (tag.tx == tag.rx) return QString::number(tag.tx);
    return QStringLiteral("TX: %1 RX: %2").arg(tag.tx).arg(tag.rx);
}

void addParameterLines(QStringList& lines, Group group, const TNfcTagInfo& tag) {
    switch (group) {
    case Group::A: {
        lines << QStringLiteral("\tATQA:\t") + hexWord(tag.a.atqa) << QStringLiteral("\tSAK:\t") + hexValue(tag.a.sak);
        // The record holds no more bytes than its field, whatever the length says.
        const size_t count = std::min<size_t>(tag.historicalBytesLength, sizeof tag.a.historicalBytes);
        if (count) lines << QStringLiteral("\thistorical bytes:\t") + joinedBytes(tag.a.historicalBytes, count, QStringLiteral(":"));
        break;
    }
    case Group::B: {
        const BYTE* data = tag.b.applicationData;
        lines << QStringLiteral("\tApp data:\t%1 %2 %3 %4")
                     .arg(hexValue(data[0]), hexValue(data[1]), hexValue(data[2]), hexValue(data[3]));
        const size_t count = std::min<size_t>(tag.higherLayerResponseLength, sizeof tag.b.higherLayerResponse);
        if (count)
            lines << QStringLiteral("\tLayer response:\t") + joinedBytes(tag.b.higherLayerResponse, count, QStringLiteral(" "));
        lines << QStringLiteral("\tAFI:\t") + hexValue(tag.afi);
        break;
    }
    case Group::F: {
        QStringList pmm;
        for (BYTE byte : tag.felica.pmm) pmm << hexValue(byte);
        lines << QStringLiteral("\tSystem code:\t") + hexWord(tag.felica.systemCode)
              << QStringLiteral("\tPMM:\t") + pmm.join(QLatin1Char(' '));
        break;
    }
    case Group::V:
        lines << QStringLiteral("\tFlags:\t") + hexValue(tag.iso15693.flags)
              << QStringLiteral("\tDSF ID:\t") + hexValue(tag.iso15693.dsfid);
        break;
    case Group::None: break;
    }
}

void addNdefLines(QStringList& lines, const TNfcTagInfo& tag) {
    QString modes = QStringLiteral("\tModes:\t");
    for (const Access& access : kAccess)
        if (tag.access & access.bit) modes += QLatin1String(access.text);
    lines << QStringLiteral("NDEF detected:") << QStringLiteral("\tCapacity:\t%1").arg(tag.ndefMaxSize)
          << QStringLiteral("\tCurrent size:\t%1").arg(tag.ndefLength) << modes;
}

void addTagLines(TTagReport& report, const TagName& name, const TNfcTagInfo& tag) {
    QStringList& lines = report.lines;
    if (makerCode(tag) != kUnknownMaker) lines << QStringLiteral("\tManufacturer:\t") + makerName(makerCode(tag));
    const size_t uidLength = std::min<size_t>(tag.uidLength, sizeof tag.uid);
    report.id = joinedBytes(tag.uid, uidLength, QStringLiteral(":"), true);
    lines << QStringLiteral("\tUID length:\t%1").arg(uidLength) << QStringLiteral("\tUID:\t") + report.id;
    addParameterLines(lines, name.group, tag);
    if (tag.tagType & TAG_NDEF) addNdefLines(lines, tag);
}

} // namespace

QString tagPicturePath(DWORD tagType) {
    for (const Picture& picture : kPictures)
        if (tagType & picture.bits) return QStringLiteral(":/") + QLatin1String(picture.name);
    return QString();
}

TTagReport tagReport(const TNfcTagInfo& tag) {
    TTagReport report;
    report.isTag = (tag.tagType & kTagMask) != 0;
    if (report.isTag)
        report.lines << QStringLiteral("Tag detected") << QStringLiteral("Tag's properties:");
    else
        report.lines << QStringLiteral("Technology detected");
    report.bitRate = bitRateText(tag);
    const TagName& name = tagName(tag.tagType);
    report.type = QLatin1String(name.name);
    if (name.type == TAG_15693) report.type += chip15693Text(tag);
    if (tag.tagType & TAG_NDEF) report.type += QLatin1String(name.suffix);
    report.lines << QStringLiteral("\tIdentifier:\t") + report.type;
    if (report.isTag) addTagLines(report, name, tag);
    report.picture = tagPicturePath(tag.tagType);
    return report;
}
