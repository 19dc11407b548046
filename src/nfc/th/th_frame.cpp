#include "th/th_frame.h"

#include <cstring>

#include "core/nfacemsg.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTrace = 0x20;
constexpr uint32_t kShortLengthMax = 254;   // the longest message the one-byte TLV length form announces

#define TH_PROPERTY_ROW(id, name, settable, min, max, flag) {name, settable, min, max, flag},
constexpr TTagProperty kProperties[] = {TH_PROPERTIES(TH_PROPERTY_ROW)};
#undef TH_PROPERTY_ROW
static_assert(sizeof kProperties / sizeof kProperties[0] == TH_PROPERTY_COUNT);

const char* prefixOf(const TTagHandler* h) { return h->sm.tracePrefix ? h->sm.tracePrefix : "th:"; }

bool acceptable(uint32_t id, uint32_t value) {
    const TTagProperty* p = thProperty(id);
    return p && p->settable == 1 && value >= p->min && value <= p->max;
}

SmHandler restState(const TTagHandler* h, const ThFamilyStates& s) { return h->isNdef ? s.ndefTag : s.legacyTag; }

uint32_t changeTo(TStateMachine* m, SmHandler next) { return next ? thChangeTo(m, next) : SM_NOT_HANDLED; }

SmHandler commandState(uint16_t event, const ThFamilyStates& s) {
    switch (event) {
    case EV_TH_CMD_CHECK_NDEF: return s.checkNdef;
    case EV_TH_CMD_READ: return s.read;
    case EV_TH_CMD_WRITE: return s.write;
    case EV_TH_CMD_FORMAT: return s.format;
    case EV_TH_CMD_FORMAT_ERASE: return s.erase;
    case EV_TH_CMD_TEST: return s.test;
    case EV_TH_CMD_SET_READONLY: return s.setReadonly;
    case EV_TH_CMD_MAGIC: return s.magic;
    default: return nullptr;
    }
}

} // namespace

const TTagProperty* thProperty(uint32_t id) { return id < TH_PROPERTY_COUNT ? &kProperties[id] : nullptr; }

uint32_t thSetProperty(TTagHandler* h, uint32_t id, uint32_t value) {
    if (!acceptable(id, value) || !h->setProperty) {
        TRACE(TRC_ERROR, "%s ! Cannot Set property ID = %d to value = %d", prefixOf(h), static_cast<int>(id),
              static_cast<int>(value));
        return 0;
    }
    TRACE(kTrace, "%s set property, ID = %d, value = %d", prefixOf(h), static_cast<int>(id), static_cast<int>(value));
    return h->setProperty(h, id, value);
}

uint32_t thNoSetProperty(TTagHandler*, uint32_t, uint32_t) { return 0; }

uint32_t thNdefProperty(const TTagHandler* h, uint32_t id, uint32_t version, int* found) {
    *found = 1;
    switch (id) {
    case 0: return version;
    case 1: return h->maxNdefSize;
    case 2: return h->currentNdefSize;
    case 3: return h->physicalSize;
    case 4: return h->access & TH_ACCESS_READ ? 1 : 0;
    case 5: return h->access & TH_ACCESS_WRITE ? 1 : 0;
    default: *found = 0; return 0;
    }
}

uint32_t thCopyUid(TTagHandler* h, uint16_t minLength, uint16_t maxLength) {
    TNfcTagInfo* device = h->deviceTagInfo;
    const uint16_t length = device ? device->uidLength : 0;
    if (length < minLength || !device) {
        TRACE(TRC_ERROR, "%s ! UID shorter than expected (%d bytes)", prefixOf(h), length);
        return 0;
    }
    // The record's own field bounds the copy whatever the family asks for.
    const uint16_t room = static_cast<uint16_t>(sizeof h->uid < sizeof device->uid ? sizeof h->uid : sizeof device->uid);
    if (maxLength > room) maxLength = room;
    if (length > maxLength) {
        TRACE(TRC_ERROR, "%s ! WARNING: UID longer than expected (%d bytes)", prefixOf(h), length);
        device->uidLength = maxLength;
    }
    h->uidLength = static_cast<uint8_t>(device->uidLength);
    std::memcpy(h->uid, device->uid, h->uidLength);
    return 1;
}

uint32_t thStartMachine(TTagHandler* h, SmHandler idle, SmHandler defaultHandler, const SmStateEntry* table,
                        uint16_t count, const char* prefix) {
    smInit(&h->sm, idle, defaultHandler, h, table, count, prefix, kTrace);
    smHandleEvent(&h->sm, EV_SM_ENTRY);
    return 1;
}

bool thIdentify(TTagHandler* h, uint16_t minLength, uint16_t maxLength) {
    if (thCopyUid(h, minLength, maxLength)) return true;
    thSendTransactionIndication(h, nfcCauseNotNfcForumTag);
    return false;
}

uint32_t thDispatchCommand(TStateMachine* m, uint16_t event, const ThFamilyStates& s) {
    if (event == EV_TH_CMD_FORMAT_ERASE && s.erase) thOf(m)->isNdef = 0;
    return changeTo(m, commandState(event, s));
}

uint32_t thFinishCommand(TStateMachine* m, uint16_t cause, const ThFamilyStates& s) {
    TTagHandler* h = thOf(m);
    if (h->commandMode == TH_MODE_FORMAT && (h->formatFlags & TH_FORMAT_ERASE)) {
        h->isNdef = 0;
        h->currentNdefSize = 0;
        if (s.forgetContent) s.forgetContent(h);
    }
    thSendTransactionIndication(h, cause);
    return changeTo(m, restState(h, s));
}

uint16_t thRefusePart(const TTagHandler* h, uint64_t before, uint32_t size, bool shortLengthForm) {
    const uint64_t total = before + size;
    if (!(h->access & TH_ACCESS_WRITE)) {
        TRACE(TRC_ERROR, "%s ! write protection active", prefixOf(h));
        return nfcCauseWriteProtected;
    }
    if (total > h->maxNdefSize) {
        TRACE(TRC_ERROR, "%s ! message of %llu bytes above the capacity of %u bytes", prefixOf(h),
              static_cast<unsigned long long>(total), static_cast<unsigned>(h->maxNdefSize));
        return nfcCauseInputTooBig;
    }
    if (shortLengthForm && total > kShortLengthMax) {
        TRACE(TRC_ERROR, "%s ! %llu bytes do not fit the length form of the first part", prefixOf(h),
              static_cast<unsigned long long>(total));
        return nfcCauseWrongParameter;
    }
    return nfcCauseOk;
}

uint32_t thReadServed(TStateMachine* m, uint16_t cause, bool exchanged, SmHandler signOfLife, const ThFamilyStates& s) {
    const bool delivered = cause == nfcCauseOk || cause == nfcCauseTagBufferTooSmall;
    if (exchanged || !delivered || !signOfLife) return thFinishCommand(m, cause, s);
    thOf(m)->heldCause = cause;
    return thChangeTo(m, signOfLife);
}

uint32_t thSignOfLife(TStateMachine* m, uint16_t exchangeCause, const ThFamilyStates& s) {
    return thFinishCommand(m, exchangeCause ? exchangeCause : thOf(m)->heldCause, s);
}

uint32_t thUnhandled(TStateMachine* m, uint16_t event) {
    TRACE(TRC_ERROR, "%s ! Unhandled event %d in state %s", m->tracePrefix ? m->tracePrefix : "", event,
          smStateName(m, m->current));
    return SM_DONE;
}

uint32_t thDefaultRule(TStateMachine* m, uint16_t event, const ThFamilyStates& s) {
    TTagHandler* h = thOf(m);
    switch (event) {
    case EV_TH_INIT: return changeTo(m, s.idle);
    case EV_TH_CMD_CHECK_NDEF:
        if (h->confirm) h->confirm(h, NFACE_NFC_NDEF_CHECK_CONF, nfcCauseWrongState, 0);
        return SM_DONE;
    case EV_TH_CMD_READ:
    case EV_TH_CMD_WRITE:
    case EV_TH_CMD_FORMAT:
    case EV_TH_CMD_FORMAT_ERASE:
    case EV_TH_CMD_TEST:
    // A make-read-only that finds the handler busy is answered too, so its caller need not
    // wait for the time-out.
    case EV_TH_CMD_SET_READONLY:
        // Nothing was read or written for it.
        h->command.delivered = 0;
        thSendTransactionIndication(h, nfcCauseWrongState);
        return SM_DONE;
    case EV_TH_TRANSACTION_ERROR_IND: {
        const uint32_t r = thFinishCommand(m, h->cause, s);
        return r == SM_NOT_HANDLED ? SM_DONE : r;
    }
    default: return thUnhandled(m, event);
    }
}
