#include "exports_fixture.h"

#include <memory>

#include "util/trace.h"

void ExportsTest::SetUp() {
    debugSetFlags(0xFFFFFFFFu);
    ASSERT_EQ(nfcCreate(&log, &EventLog::callback, &h), nfcStatusOk);
}

Seen ExportsTest::snapshot(const Request& r) {
    Seen s{r.message.code, 0, 0, 0, {}, nullptr, 0, 0, 0};
    const TNfaceTransfer* transfer = nullptr;
    if (r.message.code == NFACE_IO_CONTROL_REQ) {
        const auto p = nfaceMsgGet<NFACE_IO_CONTROL_REQ>(r.message);
        transfer = p.transfer;
        s.ioCode = p.code;
        s.parameter = p.parameter;
        s.timeoutMs = p.timeoutMs;
    } else if (r.message.code == NFACE_TRANSACTION_REQ || r.message.code == NFACE_TAG_SELECT) {
        transfer = nfaceMsgGet<NFACE_TRANSACTION_REQ>(r.message).transfer;
    }
    PlatLockGuard g(h->lock);
    s.requestTimeout = h->requestTimeout;
    if (transfer) {
        if (transfer->writeData) s.input.assign(transfer->writeData, transfer->writeData + transfer->writeLength);
        s.output = transfer->readData;
        s.outputSize = transfer->readLength;
        s.mode = transfer->mode;
    }
    return s;
}

void ExportsTest::script(uint16_t code, std::function<void(FakeNfcManager&, const Request&)> reply) {
    fake().onRequest(code, [this, reply](FakeNfcManager& f, const Request& r) {
        {
            const Seen s = snapshot(r);
            std::lock_guard<std::mutex> g(m_);
            seen_.push_back(s);
        }
        reply(f, r);
    });
}

std::vector<Seen> ExportsTest::seen(uint16_t code) {
    std::lock_guard<std::mutex> g(m_);
    std::vector<Seen> out;
    for (const Seen& s : seen_)
        if (s.code == code) out.push_back(s);
    return out;
}

void ExportsTest::TearDown() { EXPECT_TRUE(fake().sync(kWait)); }

void ExportsTest::answer(uint16_t code, const TnfcapiMsg& reply) {
    script(code, [reply](FakeNfcManager& f, const Request& r) { f.answer(r, reply); });
}

void ExportsTest::answerData(uint16_t code, uint16_t cause, const std::vector<uint8_t>& data) {
    auto bytes = std::make_shared<std::vector<uint8_t>>(data);
    script(code, [code, cause, bytes](FakeNfcManager& f, const Request& r) {
        const auto length = static_cast<uint16_t>(bytes->size());
        if (code == NFACE_TRANSACTION_REQ)
            f.answer(r, nfaceMsgMake<NFACE_TRANSACTION_IND>({cause, bytes->data(), 0, length, 0}));
        else if (code == NFACE_READ_REQ)
            f.answer(r, nfaceMsgMake<NFACE_READ_IND>({cause, bytes->data(), length}));
        else
            f.answer(r, nfaceMsgMake<NFACE_IO_CONTROL_CONF>({cause, bytes->data(), length}));
    });
}

void ExportsTest::silence(uint16_t code) {
    script(code, [](FakeNfcManager&, const Request&) {});
}

void ExportsTest::showTag(uint32_t tagType) {
    tag.tagType = tagType;
    const size_t before = log.events().size();
    fake().inject(app(), nfaceMsgMake<NFACE_DEVICE_IND>({0, 1, tags}));
    ASSERT_TRUE(log.waitCount(before + 1, kWait));
    // The callback may still be running what the test gave it to do inside.
    ASSERT_TRUE(fake().sync(kWait));
}

NfcListenerHandle ExportsTest::connectedListener(uint32_t mask, uint32_t tagType) {
    NfcListenerHandle l = nullptr;
    EXPECT_EQ(nfcRegisterListener(h, &log, mask, nullptr, &l), nfcStatusOk);
    showTag(tagType);
    EXPECT_EQ(nfcConnectTag(l, 0), nfcStatusOk);
    return l;
}
