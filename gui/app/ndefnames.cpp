#include "ndefnames.h"

#include <iterator>

#include "corvane.h"

namespace {

struct Name {
    uint32_t key;
    const char* text;
};

constexpr Name kRecordTypes[] = {
    {NDEF_ID_NONE, "<none>"},
    {NDEF_ID_UNKNOWN, "<unknown>"},
    {NDEF_ID_EXTERNAL, "<External>"},
    {NDEF_ID_ABSOLUTE_URI, "<AbsoluteURI>"},
    {NDEF_ID_TEXT, "<Text>"},
    {NDEF_ID_URI, "<URI>"},
    {NDEF_ID_SMART_POSTER, "<SmartPoster>"},
    {NDEF_ID_ACTION, "<Action>"},
    {NDEF_ID_SIZE, "<Size>"},
    {NDEF_ID_TYPE, "<Type>"},
    {NDEF_ID_ALTERNATIVE_CARRIER, "<AlternativeCarrier>"},
    {NDEF_ID_HANDOVER_CARRIER, "<HandoverCarrier>"},
    {NDEF_ID_HANDOVER_SELECT, "<HandoverSelect>"},
    {NDEF_ID_HANDOVER_REQUEST, "<HandoverRequest>"},
    {NDEF_ID_COLLISION_RESOLUTION, "<CollisionResolution>"},
    {NDEF_ID_HANDOVER_ERROR, "<Error>"},
    {NDEF_ID_HANDOVER_MEDIATION, "<HandoverMediator>"},
    {NDEF_ID_HANDOVER_CAPABILITIES, "<HandoverCapabilities>"},
    {NDEF_ID_HANDOVER_INITIATE, "<HandoverInitiate>"},
    {NDEF_ID_MIME, "<Mime>"},
};

constexpr const char* kTnfNames[] = {"Empty",   "RTDWellKnown", "MIME",     "AbsoluteURI", "RTDExternal",
                                     "Unknown", "Unchanged",    "Reserved", "Invalid"};

#define URI_PREFIX_TEXT(code, text) text,
constexpr const char* kUriPrefixes[] = {NDEF_URI_PREFIXES(URI_PREFIX_TEXT)};
#undef URI_PREFIX_TEXT

constexpr const char* kActionNames[] = {"start application", "save for later", "open for editing"};

struct Language {
    const char* code;
    const char* name;
};

constexpr Language kLanguages[] = {
    {"en", "English"}, {"de", "German"},  {"fr", "French"},  {"es", "Spanish"}, {"pt", "Portuguese"},
    {"zh", "Chinese"}, {"ja", "Japanese"}, {"ko", "Korean"}, {"ru", "Russian"}, {"pl", "Polish"},
    {"sv", "Swedish"}, {"fi", "Finnish"}, {"no", "Norwegian"}, {"tr", "Turkish"}, {"he", "Hebrew"},
};

template <size_t N>
QString byIndex(const char* const (&texts)[N], uint32_t index, const char* other) {
    return QString::fromLatin1(index < N ? texts[index] : other);
}

} // namespace

QString ndefRecordTypeName(uint32_t id) {
    for (const Name& name : kRecordTypes)
        if (name.key == id) return QString::fromLatin1(name.text);
    return QStringLiteral("<unknown NDEF KnownType>");
}

QString ndefTnfName(uint32_t tnf) { return byIndex(kTnfNames, tnf, "<unknown NDEF TNFNameFormat>"); }

QString ndefUriPrefix(uint32_t code) {
    if (code == 0) return QStringLiteral("<none>");
    return byIndex(kUriPrefixes, code, "<unknown URI ID>");
}

QString ndefSmartPosterActionName(uint32_t action) {
    return byIndex(kActionNames, action, "<unknown action type>");
}

QString languageCodeToName(const QString& code) {
    for (const Language& language : kLanguages)
        if (code == QLatin1String(language.code)) return QString::fromLatin1(language.name);
    return QString();
}

QString languageNameToCode(const QString& name) {
    for (const Language& language : kLanguages)
        if (name == QLatin1String(language.name)) return QString::fromLatin1(language.code);
    return QString();
}
