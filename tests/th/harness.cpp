#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "tags/tag.h"

namespace thtest {

namespace {

FakeOwner& ownerOf(TTagHandler* h) { return *static_cast<FakeOwner*>(h->owner); }

} // namespace

uint32_t FakeOwner::create(uint32_t tagType, const Bytes& uid) {
    tag = TNfcTagInfo{};
    tag.tagType = tagType;
    tag.uidLength = static_cast<WORD>(std::min(uid.size(), sizeof tag.uid));
    std::copy_n(uid.begin(), tag.uidLength, tag.uid);
    return thCreate(&tag, &handler, this, &FakeOwner::confirm, &FakeOwner::sendPdu);
}

void FakeOwner::deviceIndication(uint16_t readerType) { thDeviceIndication(&handler, readerType, &tag); }

uint32_t FakeOwner::sendPdu(TTagHandler* h, const uint8_t* pdu, uint16_t size, uint8_t flags, uint16_t extra) {
    FakeOwner& o = ownerOf(h);
    EXPECT_FALSE(o.forbidPdus) << "the handler sent a PDU of " << size << " bytes";
    EXPECT_FALSE(o.inSend_) << "sendPdu entered again from inside itself";
    o.inSend_ = true;
    const bool refused = o.pdus.size() >= o.refuseFrom;
    o.pdus.push_back(SentPdu{Bytes(pdu, pdu + size), flags, extra, refused});
    if (refused) ++o.answered_;   // a refused PDU gets no answer
    if (o.onSend) o.onSend();
    o.inSend_ = false;
    return refused ? 0 : 1;
}

void FakeOwner::confirm(TTagHandler* h, uint16_t code, uint16_t cause, uint32_t argument) {
    ownerOf(h).reports.push_back(Report{code, cause, argument});
}

void FakeOwner::answer(const Answer& a) {
    // Layer 1 answers from its own message, after sendPdu has returned.
    EXPECT_FALSE(inSend_) << "an answer given inside sendPdu";
    if (!pending()) {
        ADD_FAILURE() << "an answer without a PDU";
        return;
    }
    const bool check = pdus[answered_++].flags & TH_PDU_CHECK;
    answerData_ = a.data;
    const uint8_t* data = answerData_.empty() ? nullptr : answerData_.data();
    const auto length = static_cast<uint32_t>(answerData_.size());
    if (check) thCheckConfirmation(&handler, a.cause, data, length);
    else thTransactionIndication(&handler, a.cause, data, length);
}

AnswerSource fromTag(simtags::Tag& tag) {
    return [&tag](const SentPdu& pdu) -> Answer {
        const bool check = pdu.flags & TH_PDU_CHECK;
        const auto answer = tag.exchange(pdu.bytes);
        const simtags::Reply reply = answer ? tag.judge(*answer) : simtags::Reply::Nak;
        if (check) {
            // A presence check passes or fails; what the tag answered is layer 1's business.
            if (reply == simtags::Reply::Data || reply == simtags::Reply::Ack) return {0, {}};
            return {kCauseRejected, {}};
        }
        if (!answer) return {kCauseNoAnswer, {}};
        switch (reply) {
        case simtags::Reply::Data: return {0, *answer};
        case simtags::Reply::Ack: return {0, {}};
        case simtags::Reply::Nak: return {kCauseRejected, {}};
        case simtags::Reply::AuthenticationFailed: return {nfcCauseAuthenticationFailed, {}};
        }
        return {kCauseRejected, {}};
    };
}

Bench::Bench(AnswerSource source, size_t exchangeCap) : source_(std::move(source)), cap_(exchangeCap) {}

bool Bench::pump() {
    while (owner.pending()) {
        if (exchanges_ >= cap_) {
            ADD_FAILURE() << "the handler was still exchanging after " << cap_ << " PDUs";
            return false;
        }
        ++exchanges_;
        owner.answer(source_ ? source_(owner.next()) : Answer{kCauseNoAnswer, {}});
    }
    return true;
}

Outcome Bench::run(const std::function<void()>& command) {
    const size_t before = owner.reports.size();
    command();
    pump();
    Outcome o;
    o.reports = owner.reports.size() - before;
    if (o.reports) {
        const Report& r = owner.reports.back();
        o = Outcome{r.code, r.cause, r.argument, o.reports};
    }
    return o;
}

Outcome Bench::identify(uint16_t readerType) {
    return run([&] { owner.deviceIndication(readerType); });
}

Outcome Bench::checkNdef() {
    return run([&] { thCheckNdef(&owner.handler); });
}

Outcome Bench::read(uint32_t offset, uint32_t size) {
    readData.assign(size, 0);
    Outcome o = run([&] { thRead(&owner.handler, size, offset, readData.data()); });
    readData.resize(std::min<size_t>(o.count, size));
    return o;
}

Outcome Bench::write(const std::vector<Bytes>& chunks) {
    Outcome last;
    for (size_t k = 0; k < chunks.size(); ++k) {
        const Bytes& c = chunks[k];
        last = run([&] { thWrite(&owner.handler, c.data(), static_cast<uint32_t>(c.size()), k + 1 == chunks.size()); });
        if (last.cause != 0) break;
    }
    return last;
}

Outcome Bench::format(uint32_t size, uint16_t flags) {
    return run([&] { thFormat(&owner.handler, size, flags); });
}

Outcome Bench::setReadonly() {
    return run([&] { thSetReadonly(&owner.handler); });
}

Outcome Bench::test() {
    return run([&] { thTest(&owner.handler); });
}

} // namespace thtest
