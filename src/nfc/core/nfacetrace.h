// The decoder that writes every message between the API core and the NFC manager into the trace.
#pragma once

#include "core/nfacemsg.h"

// One line per message ("NFACE: \/ " going down, "NFACE: /\ " coming up), with the lines and
// dumps some codes add. Callers test bit TRC_NFACE of the NFC word first.
void nfaceTraceMessage(const TnfcapiMsg* message);
