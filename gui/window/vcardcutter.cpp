#include "vcardcutter.h"

#include <QStringView>

namespace {

// The keys whose value is the rest of their line.
struct LineField {
    const char* key;
    QString TVcardFields::*field;
};
constexpr LineField kLineFields[] = {
    {"\nORG:", &TVcardFields::company},
    {"\nTITLE:", &TVcardFields::jobTitle},
    {"\nURL:", &TVcardFields::url},
    {"\nEMAIL;TYPE=INTERNET:", &TVcardFields::email},
    {"\nTEL;TYPE=voice,work,pref:", &TVcardFields::phone},
    {"\nTEL;TYPE=cell:", &TVcardFields::mobile},
};

// The value of the key's line, or false when the card has no such key.
bool lineOf(const QString& card, const char* key, QStringView& value) {
    const QLatin1String name(key);
    const qsizetype at = card.indexOf(name);
    if (at < 0) return false;
    const qsizetype from = at + name.size();
    const qsizetype end = card.indexOf(QLatin1Char('\n'), from);
    value = QStringView(card).mid(from, (end < 0 ? card.size() : end) - from);
    return true;
}

// The text up to the next separator, the rest moved past it; without one the whole rest.
bool take(QStringView& rest, QStringView separator, QString& out) {
    const qsizetype at = rest.indexOf(separator);
    if (at < 0) {
        out = rest.toString();
        rest = {};
        return false;
    }
    out = rest.left(at).toString();
    rest = rest.mid(at + separator.size());
    return true;
}

void cutName(QStringView line, TVcardFields& fields) {
    if (!take(line, u";", fields.lastName)) return;
    if (take(line, u";;;", fields.firstName)) fields.title = line.toString();
}

// street;city;region;code;country, the region left empty by the builder.
void cutAddress(QStringView line, TVcardFields& fields) {
    if (!take(line, u";", fields.street) || !take(line, u";", fields.city) || line.isEmpty()) return;
    line = line.mid(1);
    if (take(line, u";", fields.postalCode)) fields.country = line.toString();
}

} // namespace

void cutVcard(const QString& text, TVcardFields& fields) {
    QString card = text;
    card.replace(QLatin1Char('\r'), QLatin1Char('\n')).replace(QLatin1String("\n\n"), QLatin1String("\n"));
    QStringView line;
    if (lineOf(card, "\nN:", line)) cutName(line, fields);
    for (const LineField& entry : kLineFields)
        if (lineOf(card, entry.key, line)) fields.*entry.field = line.toString();
    if (lineOf(card, "\nADR;TYPE=intl,work,postal,parcel:;;", line)) cutAddress(line, fields);
}
