#include "th/th_handler.h"

#include <atomic>
#include <cstring>
#include <iterator>
#include <type_traits>

#include "core/nfacemsg.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTrace = 0x20;       // the tag handlers' bit of the NFC word
constexpr char kPrefix[] = "th:";
constexpr uint16_t kCauseSendFailed = nfcCauseNotPlausible;
constexpr uint16_t kCauseNoFormat = 0x206;

#define TH_EVENT_NAME(name) #name,
constexpr const char* kEventNames[] = {TH_EVENTS(TH_EVENT_NAME)};
#undef TH_EVENT_NAME

struct FamilyOfType {
    uint32_t tagType;
    ThFamily family;
};
constexpr FamilyOfType kFamilies[] = {
    {TAG_ISO14443A, TH_FAMILY_TYPE4},       {TAG_14443B, TH_FAMILY_TYPE4},        {TAG_DESFIRE_TYPE4, TH_FAMILY_TYPE4},
    {TAG_15693, TH_FAMILY_ISO15693},        {TAG_MIFARE_STD_1K, TH_FAMILY_MIFARE}, {TAG_MIFARE_STD_4K, TH_FAMILY_MIFARE},
    {TAG_MIFARE_S20, TH_FAMILY_MIFARE},     {TAG_MIFARE_PLUS_2K, TH_FAMILY_MIFARE}, {TAG_MIFARE_PLUS_4K, TH_FAMILY_MIFARE},
    {TAG_ULTRALIGHT_TYPE2, TH_FAMILY_TYPE2}, {TAG_FELICA_TYPE3, TH_FAMILY_TYPE3},  {TAG_JEWEL_TYPE1, TH_FAMILY_TYPE1},
    {TAG_KOVIO_BARCODE, TH_FAMILY_KOVIO},
};

std::atomic<const ThFamilyInit*> g_inits{nullptr};

const ThFamilyInit* inits() {
    const ThFamilyInit* set = g_inits.load();
    return set ? set : thBuildFamilyInits;
}

struct SubtypeTable {
    const ThSubtype* rows;
    size_t count;
};
std::atomic<SubtypeTable*> g_subtypes{nullptr};

// Format checks the requested size against the physical size only for these types.
constexpr uint32_t kSizeCheckedTypes[] = {TAG_ISO14443A,  TAG_14443B,         TAG_MIFARE_STD_1K, TAG_MIFARE_STD_4K,
                                          TAG_DESFIRE_TYPE4, TAG_MIFARE_S20, TAG_MIFARE_PLUS_2K, TAG_MIFARE_PLUS_4K};
constexpr uint32_t kUncheckedTypes[] = {TAG_15693, TAG_ULTRALIGHT_TYPE2, TAG_FELICA_TYPE3, TAG_JEWEL_TYPE1};

template <size_t N>
bool listed(const uint32_t (&types)[N], uint32_t type) {
    for (uint32_t t : types)
        if (t == type) return true;
    return false;
}

uint32_t technology(const TTagHandler* h) { return h->tagType & ~uint32_t{TAG_NDEF}; }

void post(TTagHandler* h, uint16_t event) {
    if (!smPostEvent(&h->sm, event)) {
        TRACE(TRC_ERROR, "%s ! event ring full, %s lost", kPrefix, smEventName(event));
        return;
    }
    smProcessEvents(&h->sm);
}

// Keeps layer 1's answer for the state machine and posts the event its cause selects.
void answer(TTagHandler* h, uint16_t cause, const uint8_t* data, uint32_t length, uint16_t done, uint16_t failed) {
    h->cause = cause;
    h->rspData = data;
    h->rspLength = length;
    post(h, cause == 0 ? done : failed);
}

// A command starts: it counts its own exchanges.
void begin(TTagHandler* h, uint32_t mode) {
    h->commandMode = mode;
    h->exchanges = 0;
}

void confirm(TTagHandler* h, uint16_t code, uint16_t cause, uint32_t argument) {
    if (h->confirm) h->confirm(h, code, cause, argument);
}

} // namespace

ThFamily thFamilyOf(uint32_t tagType) {
    const uint32_t type = tagType & ~uint32_t{TAG_NDEF};
    for (const FamilyOfType& f : kFamilies)
        if (f.tagType == type) return f.family;
    return TH_FAMILY_NONE;
}

void thSetFamilyInits(const ThFamilyInit* stand) { g_inits = stand; }

void thSetSubtypeTable(const ThSubtype* rows, size_t count) {
    static SubtypeTable table;
    if (!rows) {
        g_subtypes = nullptr;
        return;
    }
    table = SubtypeTable{rows, count};
    g_subtypes = &table;
}

const char* thSubtypeName(uint32_t code) {
    if (const SubtypeTable* table = g_subtypes.load())
        for (size_t i = 0; i < table->count; ++i)
            if (table->rows[i].code == code) return table->rows[i].name;
    return "<unknown>";
}

uint32_t thCreate(TNfcTagInfo* tagInfo, TTagHandler* h, void* owner, ThConfirm confirmOp, ThSendPdu sendPduOp) {
    smRegisterEventNames(TH_EVENT_CLASS, static_cast<uint16_t>(std::size(kEventNames)), kEventNames);
    static_assert(std::is_trivially_copyable_v<TTagHandler>, "a handler is cleared whole");
    std::memset(static_cast<void*>(h), 0, sizeof *h);
    h->tagInfo = tagInfo;
    h->confirm = confirmOp;
    h->sendPdu = sendPduOp;
    h->tagType = tagInfo ? tagInfo->tagType : 0;
    h->owner = owner;
    const ThFamily family = thFamilyOf(h->tagType);
    const ThFamilyInit init = family == TH_FAMILY_NONE ? nullptr : inits()[family];
    if (!init) {
        TRACE(TRC_ERROR, "%s ! Tag type 0x%X not supported", kPrefix, h->tagType);
        return 0;
    }
    return init(h);
}

void thDeviceIndication(TTagHandler* h, uint16_t readerType, TNfcTagInfo* device) {
    TRACE(kTrace, "%s received device indication", kPrefix);
    h->readerType = readerType;
    h->deviceTagInfo = device;
    h->exchanges = 0;
    post(h, EV_TH_DEVICE_IND);
}

void thCheckNdef(TTagHandler* h) {
    TRACE(kTrace, "%s check NDEF", kPrefix);
    begin(h, TH_MODE_CHECK_NDEF);
    h->isNdef = 0;
    post(h, EV_TH_CMD_CHECK_NDEF);
}

void thRead(TTagHandler* h, uint32_t size, uint32_t offset, uint8_t* buffer) {
    TRACE(kTrace, "%s read, size = %d, offset = %d", kPrefix, static_cast<int>(size), static_cast<int>(offset));
    h->command = ThCommandBlock{size, offset, buffer, nullptr, size, 0, {}};
    begin(h, TH_MODE_READ);
    post(h, EV_TH_CMD_READ);
}

void thWrite(TTagHandler* h, const uint8_t* data, uint32_t size, bool final) {
    TRACE(kTrace, "%s write, size = %d, flags = %d", kPrefix, static_cast<int>(size), final ? 1 : 0);
    // An empty part still has a place the families copy its nothing from.
    static constexpr uint8_t kNothing[1] = {};
    h->command = ThCommandBlock{size, 0, nullptr, data ? data : kNothing, size, final ? 1u : 0u, {}};
    begin(h, TH_MODE_WRITE);
    post(h, EV_TH_CMD_WRITE);
}

void thFormat(TTagHandler* h, uint32_t size, uint16_t flags) {
    TRACE(kTrace, "%s format, size = %d, flags = %d, tagNdefSize = %d", kPrefix, static_cast<int>(size), flags,
          static_cast<int>(h->physicalSize));
    const uint32_t type = technology(h);
    const bool checked = listed(kSizeCheckedTypes, type);
    if (checked && h->physicalSize != 0 && size > h->physicalSize) {
        h->isNdef = 0;
        confirm(h, NFACE_FORMAT_CONF, nfcCauseWrongParameter, 0);
        return;
    }
    if (!checked && !listed(kUncheckedTypes, type)) {
        h->isNdef = 0;
        confirm(h, NFACE_FORMAT_CONF, kCauseNoFormat, 0);
        return;
    }
    h->formatSize = size;
    h->formatFlags = flags;
    begin(h, TH_MODE_FORMAT);
    post(h, (flags & TH_FORMAT_ERASE) ? EV_TH_CMD_FORMAT_ERASE : EV_TH_CMD_FORMAT);
}

void thTest(TTagHandler* h) {
    TRACE(kTrace, "%s test", kPrefix);
    begin(h, TH_MODE_TEST);
    post(h, EV_TH_CMD_TEST);
}

void thSetReadonly(TTagHandler* h) {
    TRACE(kTrace, "%s set readonly", kPrefix);
    if (!(h->access & TH_ACCESS_WRITE)) {
        confirm(h, NFACE_SET_READONLY_CONF, nfcCauseWriteProtected, 0);
        return;
    }
    begin(h, TH_MODE_SET_READONLY);
    post(h, EV_TH_CMD_SET_READONLY);
}

void thTransactionIndication(TTagHandler* h, uint16_t cause, const uint8_t* data, uint32_t length) {
    TRACE(kTrace, "%s received transaction indication, cause 0x%X", kPrefix, cause);
    answer(h, cause, data, length, EV_TH_TRANSACTION_IND, EV_TH_TRANSACTION_ERROR_IND);
}

void thCheckConfirmation(TTagHandler* h, uint16_t cause, const uint8_t* data, uint32_t length) {
    TRACE(kTrace, "%s Check confirmation, cause 0x%X", kPrefix, cause);
    answer(h, cause, data, length, EV_TH_CHECK_CONF, EV_TH_CHECK_CONF_ERROR);
}

uint16_t thSendPdu(TTagHandler* h, const uint8_t* pdu, uint16_t size, uint8_t flags, uint16_t extra) {
    TRACE(kTrace, "%s send PDU, size = %d, flags = 0x%X", kPrefix, size, flags);
    if (++h->exchanges > TH_MAX_EXCHANGES) {
        TRACE(TRC_ERROR, "%s ! %u exchanges in one command: the tag keeps it going", kPrefix, TH_MAX_EXCHANGES);
        h->sendResult = 0;
        h->cause = kCauseSendFailed;
        return kCauseSendFailed;
    }
    h->sendResult = h->sendPdu ? h->sendPdu(h, pdu, size, flags, extra) : 0;
    if (h->sendResult == 1) {
        h->cause = 0;
        return 0;
    }
    TRACE(TRC_ERROR, "%s ! Error sending PDU", kPrefix);
    h->cause = kCauseSendFailed;
    return kCauseSendFailed;
}

void thSendTransactionIndication(TTagHandler* h, uint16_t cause) {
    TRACE(kTrace, "%s send transaction indication, cause 0x%X", kPrefix, cause);
    switch (h->commandMode) {
    case TH_MODE_CHECK_NDEF:
        h->isNdef = cause == 0;
        confirm(h, NFACE_DEVICE_IND, cause, 0);
        break;
    case TH_MODE_READ: confirm(h, NFACE_READ_IND, cause, h->command.delivered); break;
    case TH_MODE_WRITE: confirm(h, NFACE_WRITE_CONF, cause, h->command.delivered); break;
    case TH_MODE_FORMAT:
        // What an erase leaves is the end of the erase's to say (thFinishCommand), not its cause's.
        if (!(h->formatFlags & TH_FORMAT_ERASE)) h->isNdef = cause == 0;
        confirm(h, NFACE_FORMAT_CONF, cause, 0);
        break;
    case TH_MODE_TEST: confirm(h, NFACE_TEST_IND, cause, 0); break;
    case TH_MODE_SET_READONLY: confirm(h, NFACE_SET_READONLY_CONF, cause, 0); break;
    default: break;
    }
}
