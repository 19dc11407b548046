// The PN53x frame layer inside the real layer 1, with a recording state machine in place of the
// driver's: every event the reader gives is kept with its output.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "L1/53x/nfc53x.h"
#include "driver_harness.h"
#include "pn53x/pn532_sim.h"
#include "trace_capture.h"

using Bytes = std::vector<uint8_t>;
using pn53xsim::Pn532Sim;

struct SeenEvent {
    uint32_t event;
    Bytes output;
    bool operator==(const SeenEvent&) const = default;
};

class Pn53xTest : public ::testing::Test {
protected:
    static constexpr uint16_t kPn532 = 0x102;
    static constexpr uint16_t kPn533 = 0x107;

    void SetUp() override {
        current() = this;
        ASSERT_TRUE(h.build(kPn532, &init, sizeof(TNfc53xPart)));
        ll = h.context();
        part = nfc53xPart(ll);
    }
    void TearDown() override { current() = nullptr; }

    // Sends a command through the writer; the sim (when it is the peer) answers it.
    bool command(uint32_t id, const Bytes& data = {}) {
        const bool sent = nfc53xSendDsCommand(ll, id, data.data(), static_cast<uint16_t>(data.size()));
        h.run();
        return sent;
    }
    void answerWith(Pn532Sim& sim) {
        h.setPeer([&sim](const Bytes& frame) { return sim.feed(frame); });
    }
    std::vector<uint32_t> events() const {
        std::vector<uint32_t> out;
        for (const auto& s : seen) out.push_back(s.event);
        return out;
    }

    DriverHarness h;
    TraceCapture cap;
    TNfcllContext* ll = nullptr;
    TNfc53xPart* part = nullptr;
    std::vector<SeenEvent> seen;

private:
    static Pn53xTest*& current() {
        static Pn53xTest* test = nullptr;
        return test;
    }
    static void record(TNfcllContext*, uint32_t event, const uint8_t* output, uint16_t length) {
        current()->seen.push_back({event, output ? Bytes(output, output + length) : Bytes{}});
    }
    static int32_t init(TNfcllContext* ll) {
        ll->miniport.dataIndication = &nfc53xDataIndication;
        nfc53xPart(ll)->handleEvent = &record;
        return 1;
    }
};
