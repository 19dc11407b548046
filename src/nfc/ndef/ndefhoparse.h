// Payload handlers of the connection-handover records, run inside the record walk.
#pragma once

#include "ndef/ndefparse.h"

NdefStatus ndefPayloadHandoverRequest(const NdefWalk& walk, TNdefRecordInfo& record, NdefReader payload);
NdefStatus ndefPayloadHandoverSelect(const NdefWalk& walk, TNdefRecordInfo& record, NdefReader payload);
NdefStatus ndefPayloadHandoverInitiate(const NdefWalk& walk, TNdefRecordInfo& record, NdefReader payload);
NdefStatus ndefPayloadAlternativeCarrier(const NdefWalk& walk, TNdefRecordInfo& record, NdefReader payload);
NdefStatus ndefPayloadHandoverCarrier(const NdefWalk& walk, TNdefRecordInfo& record, NdefReader payload);
NdefStatus ndefPayloadCollision(const NdefWalk& walk, TNdefRecordInfo& record, NdefReader payload);
NdefStatus ndefPayloadHandoverError(const NdefWalk& walk, TNdefRecordInfo& record, NdefReader payload);
