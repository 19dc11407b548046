#include "fake_taghandler.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace {

std::atomic<FakeTagHandler*> g_current{nullptr};
constexpr uint8_t kPresencePdu[] = {0xB2};

} // namespace

const SmStateEntry FakeTagHandler::kStates[1] = {{&FakeTagHandler::stateReady, "fakeStateReady"}};

FakeTagHandler::FakeTagHandler() {
    std::fill(std::begin(inits_), std::end(inits_), &FakeTagHandler::init);
    g_current = this;
    thSetFamilyInits(inits_);
}

FakeTagHandler::~FakeTagHandler() {
    thSetFamilyInits(nullptr);
    g_current = nullptr;
}

void FakeTagHandler::leaveOut(ThFamily family) { inits_[family] = nullptr; }
void FakeTagHandler::useBuilt(ThFamily family) { inits_[family] = thBuildFamilyInits[family]; }

uint32_t FakeTagHandler::init(TTagHandler* h) {
    FakeTagHandler* self = g_current.load();
    {
        std::lock_guard<std::mutex> g(self->m_);
        self->created_.push_back(thFamilyOf(h->tagType));
    }
    h->access = self->access;
    h->tagSubtype = self->subtype;
    h->maxNdefSize = self->maxSize;
    smInit(&h->sm, &FakeTagHandler::stateReady, nullptr, h, kStates, 1, "th_fake:", 0x20);
    smHandleEvent(&h->sm, EV_SM_ENTRY);
    return 1;
}

uint32_t FakeTagHandler::stateReady(TStateMachine* m, uint16_t event) {
    if (event != EV_SM_ENTRY && event != EV_SM_EXIT) g_current.load()->onEvent(static_cast<TTagHandler*>(m->owner), event);
    return SM_DONE;
}

void FakeTagHandler::onEvent(TTagHandler* h, uint16_t event) {
    if (event >= EV_TH_CMD_CHECK_NDEF && event <= EV_TH_CMD_SET_READONLY) {
        std::lock_guard<std::mutex> g(m_);
        commands_.push_back(event);
    }
    switch (event) {
    case EV_TH_DEVICE_IND: h->confirm(h, TH_DEVICE_CONF, 0, 0); break;
    case EV_TH_CMD_CHECK_NDEF:
        h->currentNdefSize = static_cast<uint32_t>(message.size());
        thSendTransactionIndication(h, ndef ? 0 : nfcCauseNotNfcForumTag);
        break;
    case EV_TH_CMD_READ: {
        ThCommandBlock& c = h->command;
        const size_t offset = std::min<size_t>(c.offset, message.size());
        const size_t n = std::min<size_t>(c.size, message.size() - offset);
        if (n) std::memcpy(c.buffer, message.data() + offset, n);
        c.delivered = static_cast<uint32_t>(n);
        thSendTransactionIndication(h, offset + n < message.size() ? nfcCauseTagBufferTooSmall : 0);
        break;
    }
    case EV_TH_CMD_WRITE: {
        ThCommandBlock& c = h->command;
        pending_.insert(pending_.end(), c.data, c.data + c.size);
        if (c.final) {
            message = pending_;
            pending_.clear();
            h->currentNdefSize = static_cast<uint32_t>(message.size());
        }
        thSendTransactionIndication(h, 0);
        break;
    }
    case EV_TH_CMD_FORMAT:
    case EV_TH_CMD_FORMAT_ERASE:
        if (formatAsksTag) {
            if (thSendPdu(h, kPresencePdu, sizeof kPresencePdu, 0, 0) != 0) thSendTransactionIndication(h, h->cause);
            break;
        }
        if (formatCause == 0) message.clear();
        thSendTransactionIndication(h, formatCause);
        break;
    case EV_TH_TRANSACTION_ERROR_IND: thSendTransactionIndication(h, h->cause); break;
    case EV_TH_CMD_TEST:
        if (thSendPdu(h, kPresencePdu, sizeof kPresencePdu, TH_PDU_CHECK, 0) != 0) thSendTransactionIndication(h, h->cause);
        break;
    case EV_TH_CHECK_CONF:
    case EV_TH_CHECK_CONF_ERROR: thSendTransactionIndication(h, h->cause); break;
    case EV_TH_CMD_SET_READONLY:
        h->access &= static_cast<uint16_t>(~TH_ACCESS_WRITE);
        thSendTransactionIndication(h, 0);
        break;
    case EV_TH_TRANSACTION_IND: {
        if (h->commandMode == TH_MODE_FORMAT && formatAsksTag) {
            message.clear();
            thSendTransactionIndication(h, 0);
            break;
        }
        std::lock_guard<std::mutex> g(m_);
        answers_.emplace_back(h->rspData, h->rspData + h->rspLength);
        break;
    }
    default: break;
    }
}

std::vector<ThFamily> FakeTagHandler::created() const {
    std::lock_guard<std::mutex> g(m_);
    return created_;
}

std::vector<uint16_t> FakeTagHandler::commands() const {
    std::lock_guard<std::mutex> g(m_);
    return commands_;
}

std::vector<std::vector<uint8_t>> FakeTagHandler::answers() const {
    std::lock_guard<std::mutex> g(m_);
    return answers_;
}
