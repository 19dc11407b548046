// How a MIME record is shown: as a vCard's text, as a picture, or as its bytes.
#pragma once

#include <QString>

enum MimeKind { mimeOther = 0, mimeVcard = 1, mimeImage = 2 };

// By plain substring of the lower-cased type, so image/x-icon and application/icon-set are
// pictures too.
int mimeKindOf(const QString& mimeType);
