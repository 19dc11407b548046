// Display names of the NDEF vocabulary.
#pragma once

#include <QString>

#include <cstdint>

QString ndefRecordTypeName(uint32_t id);
QString ndefTnfName(uint32_t tnf);
QString ndefUriPrefix(uint32_t code);
QString ndefSmartPosterActionName(uint32_t action);
// An unknown key gives the empty text.
QString languageCodeToName(const QString& code);
QString languageNameToCode(const QString& name);
