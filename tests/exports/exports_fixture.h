// An application over the fake NFC manager, with helpers to script the manager's answers, to
// have it report a tag and to hand the controller a list of secure elements.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "api_harness.h"
#include "core/nfaceapi.h"
#include "event_log.h"
#include "trace_capture.h"

constexpr uint32_t kWait = 5000;    // ms; a bound that only a broken stack reaches
constexpr uint32_t kShort = 50;     // ms; a time-out that is meant to expire

using Request = FakeNfcManager::Request;

// A request as the manager found it when it took it: the I/O block is read then, since the
// exports empty it once they return.
struct Seen {
    uint16_t code;
    uint32_t ioCode;            // IO_CONTROL_REQ
    uint32_t parameter;
    uint16_t timeoutMs;
    std::vector<uint8_t> input;
    uint8_t* output;
    uint16_t outputSize;
    uint16_t mode;
    uint32_t requestTimeout;    // the application's, while the request ran
};

struct ExportsTest : ::testing::Test {
    void SetUp() override;
    // Lets the manager finish what it was given while the test's state is still there.
    void TearDown() override;

    FakeNfcManager& fake() { return harness.manager(); }
    int app() { return fake().appOf(h); }

    // The manager answers every request of the code as the reply says, after noting what it saw.
    void script(uint16_t code, std::function<void(FakeNfcManager&, const Request&)> reply);
    // The manager answers every request of the code with the message.
    void answer(uint16_t code, const TnfcapiMsg& reply);
    // The manager answers every request of the code with an upward message of data: READ_IND,
    // IO_CONTROL_CONF or TRANSACTION_IND.
    void answerData(uint16_t code, uint16_t cause, const std::vector<uint8_t>& data);
    // The manager leaves every request of the code unanswered.
    void silence(uint16_t code);

    // The manager reports a tag of the type to the application; waits until its callback is done.
    void showTag(uint32_t tagType);
    // A listener that takes the tags of the mask, with the tag shown and connected.
    NfcListenerHandle connectedListener(uint32_t mask, uint32_t tagType);

    // The requests of the code the manager received, their payloads in order.
    template <uint16_t Code>
    std::vector<typename NfacePayloadOf<Code>::type> sent() {
        std::vector<typename NfacePayloadOf<Code>::type> out;
        for (const Request& r : fake().received(Code)) out.push_back(nfaceMsgGet<Code>(r.message));
        return out;
    }
    // What the scripted requests looked like when the manager took them, in order.
    std::vector<Seen> seen(uint16_t code);

    TraceCapture cap;
    EventLog log;

private:
    // Outlive the harness: its shut-down may still run a script.
    std::mutex m_;
    std::vector<Seen> seen_;

public:
    ApiHarness harness;
    NfcHandle h = nullptr;
    TNfcTagInfo tag{};
    TNfcTagInfo* tags[1] = {&tag};

private:
    Seen snapshot(const Request& r);
};
