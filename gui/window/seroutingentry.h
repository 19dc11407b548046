// One routing entry from the embedded-SE page's widgets, built without the window: what the
// user picked goes in, the 27-byte entry (or the reason it cannot be built) and the lines that
// describe it come out.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>

#include "corvane.h"

struct TSeRoutingInputs {
    QString id;              // the SE id as typed, decimal
    bool pollTable = false;  // a poll-mode table takes the poll-mode routing types
    QString routingType;     // "Technology", "Protocol" or "AID"
    QString powerState;      // two hexadecimal characters
    QString technology;
    QString protocol;
    QString aid;             // hexadecimal pairs, blanks allowed
};

struct TSeRoutingResult {
    bool built = false;
    TNfcRoutingEntry entry{};
    QString failure;         // the first step that failed, as the log line says it
    QStringList lines;       // the entry described, one line each, once built
};

// The handle of the SE with that id, false when there is none.
using TSeHandleLookup = std::function<bool(BYTE id, NfcSecureHandle* handle)>;

TSeRoutingResult buildRoutingEntry(const TSeRoutingInputs& inputs, const TSeHandleLookup& handleOf);

// The SE id a combo's text names: an unsigned decimal number cut to a byte; false for other text.
bool seIdFromText(const QString& text, BYTE* id);
