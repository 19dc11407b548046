// The NFC manager in virtual time: the real OS layer, module manager and timer task, the manager
// built into a protocol stack over a fake layer 1 and bound to a fake LLCP, with a stand-in tag
// family. The test thread runs the dispatcher; applications are records that keep every message
// the manager sends them and post their requests as the API core does.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "api/nfcapi_init.h"
#include "core/nfaceapi.h"
#include "core/nfcmgr.h"
#include "fake_layer1.h"
#include "fake_llcp.h"
#include "fake_taghandler.h"
#include "hw/hw_timer.h"
#include "manual_clock.h"
#include "mm/mm.h"
#include "os/os_mem.h"
#include "trace_capture.h"
#include "util/trace.h"

namespace mgrtest {

constexpr uint16_t kReaderNci = 0x400;
constexpr uint32_t kNciFlags = 0x1000D;     // the controller polls itself, HCE with a virtual SE, ...
constexpr uint32_t kHostPolls = 0;
constexpr uint32_t kSupported = 0x00F3FFFFu;
constexpr char kNoLeak[] = "osMemoryDone(), exit 0 bytes memory allocated (count 0)";

struct TestApp {
    int index = -1;
    void* hApp = nullptr;
    uint16_t lastRequest = 0;
    std::vector<TnfcapiMsg> messages;
    std::vector<std::vector<uint8_t>> data;     // what the data messages carried, copied during the call
    TNfaceTransfer transfer{};

    // Data live only during the call, as the API core sees them.
    static void upcall(void* instance, const void* message) {
        auto* self = static_cast<TestApp*>(instance);
        const TnfcapiMsg& m = *static_cast<const TnfcapiMsg*>(message);
        self->messages.push_back(m);
        if (m.code == NFACE_READ_IND || m.code == NFACE_IO_CONTROL_CONF) {
            const auto p = nfaceMsgGet<NFACE_READ_IND>(m);
            self->data.emplace_back(p.data, p.data + (p.data ? p.length : 0));
        } else if (m.code == NFACE_TRANSACTION_IND) {
            const auto p = nfaceMsgGet<NFACE_TRANSACTION_IND>(m);
            self->data.emplace_back(p.data, p.data + (p.data ? p.length : 0));
        }
    }
    std::vector<uint8_t> lastData() const { return data.empty() ? std::vector<uint8_t>{} : data.back(); }
    std::vector<TnfcapiMsg> got(uint16_t code) const {
        std::vector<TnfcapiMsg> out;
        for (const TnfcapiMsg& m : messages)
            if (m.code == code) out.push_back(m);
        return out;
    }
    std::vector<uint16_t> codes() const {
        std::vector<uint16_t> out;
        for (const TnfcapiMsg& m : messages) out.push_back(m.code);
        return out;
    }
    // The payload of the last message of the code; fails the test when there is none.
    template <uint16_t Code>
    typename NfacePayloadOf<Code>::type last() const {
        const auto all = got(Code);
        if (all.empty()) {
            ADD_FAILURE() << "no message 0x" << std::hex << Code;
            return {};
        }
        return nfaceMsgGet<Code>(all.back());
    }
    template <uint16_t Code>
    uint16_t lastIdentity() const {
        const auto all = got(Code);
        return all.empty() ? 0 : all.back().request;
    }
};

class MgrTest : public ::testing::Test {
protected:
    void SetUp() override { debugSetFlags(0xFFFFFFFFu); }
    void TearDown() override {
        if (!started_) return;
        osDone();
        EXPECT_TRUE(cap.contains(kNoLeak));
    }

    // Starts the stack; the fake layer 1 activates with these capability flags.
    void start(uint32_t capFlags = kNciFlags, uint16_t readerType = kReaderNci,
               OsResult (*registerLlcp)(uint16_t) = &FakeLlcp::registerModule) {
        l1.capabilities.supportedMask = kSupported;
        l1.capabilities.flags = capFlags;
        started_ = true;
        osInit();
        uint16_t pool = 0;
        ASSERT_EQ(osPoolCreate(0xF1, 128, 2, &pool), OS_OK);
        mmInit();
        ASSERT_EQ(hwTimerRegister(), OS_OK);
        ASSERT_EQ(FakeLayer1::registerModules(readerType), OS_OK);
        ASSERT_EQ(registerLlcp(readerType), OS_OK);
        ASSERT_EQ(nfcmanRegister(readerType), OS_OK);
        run();
        ASSERT_TRUE(osQueueFindByName(NFCMAN_QUEUE_NAME, &managerQueue) == OS_OK);
    }

    uint32_t run() { return osRunUntilIdle(); }
    void advance(uint32_t ms) {
        for (uint32_t step = 0; step < ms; step += 10) {
            clock.advance(10);
            run();
        }
    }

    TestApp& registerApp(int i) {
        TestApp& a = apps[i];
        EXPECT_EQ(nfcmanRegisterApplication(NfcapiRegistration{&a, &TestApp::upcall, 0, 0}), 0u);
        run();
        const auto conf = a.got(NFACE_REGISTER_CONF);
        if (!conf.empty() && nfaceMsgGet<NFACE_REGISTER_CONF>(conf.back()).cause == 0) {
            a.hApp = nfaceMsgGet<NFACE_REGISTER_CONF>(conf.back()).hApp;
            auto* entry = static_cast<TNfcmanApp*>(a.hApp);
            a.index = nfcmanAppIndex(entry->owner, entry);
        }
        return a;
    }

    // A request of the application, posted as the API core posts it.
    template <uint16_t Code>
    uint16_t request(TestApp& a, const typename NfacePayloadOf<Code>::type& payload = {}) {
        OsMessage m{};
        m.command = Code;
        m.spare = ++a.lastRequest;
        m.source = NFCMAN_QUEUE_NAME | static_cast<uint32_t>(a.index + 1) << 19;
        if constexpr (!std::is_empty_v<typename NfacePayloadOf<Code>::type>) osMsgSetFields(m, payload);
        EXPECT_EQ(osMessageSend(managerQueue, &m), OS_OK);
        run();
        return m.spare;
    }
    uint16_t listen(TestApp& a, uint32_t mask) { return request<NFACE_LISTEN_REQ>(a, {mask, nullptr}); }
    uint16_t transaction(TestApp& a, const std::vector<uint8_t>& pdu, std::vector<uint8_t>& room) {
        a.transfer = TNfaceTransfer{room.data(), pdu.data(), 0, static_cast<uint16_t>(pdu.size()),
                                    static_cast<uint16_t>(room.size())};
        return request<NFACE_TRANSACTION_REQ>(a, {&a.transfer});
    }
    uint16_t ioControl(TestApp& a, uint32_t code, const std::vector<uint8_t>& input, std::vector<uint8_t>& output,
                       uint32_t parameter = 0) {
        a.transfer = TNfaceTransfer{output.data(), input.data(), 0, static_cast<uint16_t>(input.size()),
                                    static_cast<uint16_t>(output.size())};
        return request<NFACE_IO_CONTROL_REQ>(a, {&a.transfer, code, parameter});
    }

    static TNfcTagInfo tag(uint32_t type, std::vector<uint8_t> uid = {0x04, 0x11, 0x22, 0x33}) {
        TNfcTagInfo t{};
        t.tagType = type;
        std::memcpy(t.uid, uid.data(), uid.size());
        t.uidLength = static_cast<WORD>(uid.size());
        t.a.atqa = 0x0044;
        t.a.sak = 0x00;
        return t;
    }
    void detect(const TNfcTagInfo& t) {
        l1.deviceIndication(t);
        run();
    }

    // Starts the stack with one application that listens for the mask and has met a tag of the type.
    TestApp& startWithTag(uint32_t mask, uint32_t type) {
        start();
        TestApp& a = registerApp(0);
        listen(a, mask);
        detect(tag(type));
        return a;
    }

    // Two applications met a type 2 tag: the first, listening for type A tags, has its transaction
    // of the PDU pending on it; the second listens for ISO 15693 tags.
    struct TwoApps {
        TestApp& a;
        TestApp& b;
    };
    TwoApps startWithPendingTransaction(const std::vector<uint8_t>& pdu, std::vector<uint8_t>& room) {
        start();
        TestApp& a = registerApp(0);
        TestApp& b = registerApp(1);
        listen(a, TAG_ISO14443A);
        listen(b, TAG_15693);
        detect(tag(TAG_ULTRALIGHT_TYPE2));
        transaction(a, pdu, room);
        return {a, b};
    }

    ManualClock clock;
    TraceCapture cap;
    FakeLayer1 l1;
    FakeLlcp llcp;
    FakeTagHandler th;
    std::array<TestApp, 5> apps;
    uint16_t managerQueue = 0;

private:
    bool started_ = false;
};

} // namespace mgrtest
