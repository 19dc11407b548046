// The set-ups of the miniports that are part of the library, as the chip transport tries them.
#pragma once

#include "transport/chiptransport.h"

DWORD chipInitMiniportAardvark(TChipTransport* record, TMiniportOps* ops);
DWORD chipInitMiniportAardvarkNdlc(TChipTransport* record, TMiniportOps* ops);
DWORD chipInitMiniportArmBoard(TChipTransport* record, TMiniportOps* ops);
DWORD chipInitMiniportSerialProxy(TChipTransport* record, TMiniportOps* ops);
DWORD chipInitMiniportSpb(TChipTransport* record, TMiniportOps* ops);
