// The record walk: reads an encoded message record by record, hands every record to the
// caller's callback and descends into the nested messages of container records.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "corvane.h"
#include "ndef/ndefreader.h"

// The joined payloads of chunked records; a walk that is given one keeps them there, so that
// what it reported stays readable after it returned.
using NdefChunks = std::deque<std::vector<uint8_t>>;

struct NdefWalk {
    NdefRecordCallback callback;
    void* context;
    NdefChunks* keep = nullptr;
};

// Decodes one record's payload into its descriptor and reports the record.
using NdefPayloadHandler = NdefStatus (*)(const NdefWalk& walk, TNdefRecordInfo& record, NdefReader payload);

NdefStatus ndefWalkMessage(const NdefWalk& walk, const uint8_t* data, uint64_t length, uint32_t level);
// Walks the bytes as the message nested in the record, one level deeper.
NdefStatus ndefWalkNested(const NdefWalk& walk, const TNdefRecordInfo& record, NdefReader nested);
// A payload too short for what its record type promises.
NdefStatus ndefPayloadMalformed(const TNdefRecordInfo& record);
// Hands the record to the callback: NDEF_STOPPED when it answers 0.
NdefStatus ndefDeliver(const NdefWalk& walk, const TNdefRecordInfo& record);

NdefStatus ndefPayloadRaw(const NdefWalk& walk, TNdefRecordInfo& record, NdefReader payload);
NdefStatus ndefPayloadText(const NdefWalk& walk, TNdefRecordInfo& record, NdefReader payload);
NdefStatus ndefPayloadUri(const NdefWalk& walk, TNdefRecordInfo& record, NdefReader payload);
NdefStatus ndefPayloadSize(const NdefWalk& walk, TNdefRecordInfo& record, NdefReader payload);
NdefStatus ndefPayloadAction(const NdefWalk& walk, TNdefRecordInfo& record, NdefReader payload);
NdefStatus ndefPayloadSmartPoster(const NdefWalk& walk, TNdefRecordInfo& record, NdefReader payload);
