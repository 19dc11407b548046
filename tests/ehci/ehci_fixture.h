// The ETSI HCI driver inside the real layer 1 with the simulated controller answering each HCP
// packet in-process, on a manual clock.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "L1/ehci/ehci.h"
#include "driver_harness.h"
#include "hci/hci_controller.h"
#include "trace_capture.h"

constexpr uint16_t kPlain = 0x209;

// Two 32-bit words as the I/O controls of time-outs take them.
inline hcisim::Bytes words(uint32_t a, uint32_t b) {
    hcisim::Bytes bytes(8);
    std::memcpy(bytes.data(), &a, 4);
    std::memcpy(bytes.data() + 4, &b, 4);
    return bytes;
}

class EhciDriver : public ::testing::Test {
protected:
    explicit EhciDriver(uint16_t readerType = kPlain, hcisim::Personality personality = hcisim::Personality::plain())
        : sim(std::move(personality)), readerType_(readerType) {}
    void SetUp() override {
        h.resetHook([] { ehciResetForTest(); });
        ASSERT_TRUE(h.build(readerType_, &ehciInit, sizeof(TEhciPart)));
        ll = h.context();
        h.setPacketPeer([this](const hcisim::Bytes& packet) { return sim.feed(packet); });
    }
    void activate() { h.toLayer1(nfcllMsgMake<NFCLL_ACT_REQ>(DriverHarness::kManager)); }
    bool started() {
        activate();
        const auto conf = h.upward(NFCLL_ACT_CONF);
        return conf.size() == 1 && nfcllMsgGet<NFCLL_ACT_CONF>(conf[0]).cause == 0;
    }
    std::vector<uint16_t> actCauses() {
        std::vector<uint16_t> causes;
        for (const OsMessage& m : h.upward(NFCLL_ACT_CONF)) causes.push_back(nfcllMsgGet<NFCLL_ACT_CONF>(m).cause);
        return causes;
    }
    std::vector<uint16_t> ioCauses() {
        std::vector<uint16_t> causes;
        for (const OsMessage& m : h.upward(NFCLL_IOCONTROL_CONF))
            causes.push_back(nfcllMsgGet<NFCLL_IOCONTROL_CONF>(m).cause);
        return causes;
    }
    void ioControl(uint32_t code, const hcisim::Bytes& input, uint16_t outputSize = 0) {
        output.assign(outputSize, 0);
        h.toLayer1(nfcllMsgMake<NFCLL_IOCONTROL_REQ>(
            DriverHarness::kManager, {nullptr, input.data(), outputSize ? output.data() : nullptr, code, 0,
                                      static_cast<uint16_t>(input.size()), outputSize}));
    }
    TEhciInstance* e() const { return ehciInstance(); }
    // The P2P frames layer 1 passed up whole (PH_DATA_IND), in order.
    std::vector<hcisim::Bytes> received() {
        std::vector<hcisim::Bytes> frames;
        for (const OsMessage& m : h.upward(PH_DATA_IND)) {
            const auto f = nfcllMsgGet<PH_DATA_IND>(m);
            frames.emplace_back(f.buffer + f.offset, f.buffer + f.offset + f.length);
        }
        return frames;
    }
    // Packets the controller sends on its own, up to the driver.
    void fromController(const std::vector<hcisim::Bytes>& packets) {
        for (const hcisim::Bytes& p : packets) h.deliver(p);
    }

    hcisim::HciController sim;
    DriverHarness h;
    TraceCapture cap;
    TNfcllContext* ll = nullptr;
    hcisim::Bytes output;

private:
    uint16_t readerType_;
};
