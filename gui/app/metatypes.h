// The types that queued signals carry between the library's threads and the GUI thread.
#pragma once

#include <QMetaType>

#include "corvane.h"

Q_DECLARE_METATYPE(TNfcTagInfo)
Q_DECLARE_METATYPE(TNfcInfoSE)
Q_DECLARE_METATYPE(TP2pConnection)
Q_DECLARE_METATYPE(TNfcSecureNotification)
Q_DECLARE_METATYPE(TNfcTransaction)

// Registers the aliases "DWORD", "BYTE", "BOOL" and the record pointer types once; later calls
// reuse the ids.
void registerMetaTypes();
