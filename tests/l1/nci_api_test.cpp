// An application that uses only the public API brings the simulated NCI controller up over a
// pseudo-terminal, reads its capabilities and shuts it down; failures come back as statuses.
// Every module is the library's own, as the shipped module table registers them.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "api/nfcapi_modules.h"
#include "core/nfcmgr.h"
#include "corvane.h"
#include "nci/nci_simulator.h"
#include "platform.h"
#include "trace_capture.h"
#include "util/trace.h"

namespace {

using ncisim::Controller;
using ncisim::NciIdentity;
using ncisim::NciSimulator;

constexpr char kNoLeak[] = "osMemoryDone(), exit 0 bytes memory allocated (count 0)";

// The application: keeps the events its callback gets on the OS worker thread.
struct Application {
    static DWORD callback(void* context, DWORD event, void*, void*) {
        auto* self = static_cast<Application*>(context);
        std::lock_guard<std::mutex> g(self->m);
        self->events.push_back(event);
        self->cv.notify_all();
        return 0;
    }
    bool waitForEvent(DWORD event, uint32_t timeoutMs) {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return std::find(events.begin(), events.end(), event) != events.end(); });
    }

    std::mutex m;
    std::condition_variable cv;
    std::vector<DWORD> events;
};

struct NciApi : ::testing::Test {
    void SetUp() override {
        debugSetFlags(0xFFFFFFFFu);
        nfcapiSetServices(nullptr);
    }
    void TearDown() override {
        nfcDone();
    }
    NfcApiStatus initialize(const NciSimulator& sim) {
        return nfcInitialize(("READERTYPE=NCI IOTYPE=SERIAL PORT=" + sim.portPath()).c_str());
    }

    TraceCapture cap;
    Application app;
};

TEST_F(NciApi, ApplicationBringsTheControllerUpReadsItsCapabilitiesAndShutsItDown) {
    for (int cycle = 0; cycle < 3; ++cycle) {
        const size_t before = cap.count(kNoLeak);
        NciSimulator sim(cycle == 1 ? NciIdentity::nxp() : NciIdentity::generic());
        ASSERT_EQ(initialize(sim), 0u);
        NfcHandle hNfc = nullptr;
        ASSERT_EQ(nfcCreate(&app, &Application::callback, &hNfc), 0u) << sim.describe();
        TNfcCapabilities capabilities{};
        ASSERT_EQ(nfcGetCapabilities(hNfc, &capabilities, NFC_CAPABILITIES_SIZE(1)), 0u);
        const WORD controllers = capabilities.controllerCount;
        ASSERT_EQ(controllers, 1);
        const TNfcCapabilityBlock* block = capabilities.controller;   // packed: read through copies
        ASSERT_NE(block, nullptr);
        // The controller's technologies, and the bits the NFC manager always adds.
        const DWORD mask = block->supportedMask;
        EXPECT_EQ(mask, (cycle == 1 ? 0x276BF07u : 0x2723703u) | 0xD1000000u);
        const DWORD flags = block->flags;
        EXPECT_EQ(flags, cycle == 1 ? 0x1002Du : 0x1000Du);
        EXPECT_STREQ(block->vendorName, cycle == 1 ? "NXP" : "");
        EXPECT_EQ(nfcDestroy(hNfc), 0u);
        EXPECT_EQ(nfcDone(), 0u);
        EXPECT_EQ(cap.count(kNoLeak), before + 1) << "cycle " << cycle;
    }
}

TEST_F(NciApi, ControllerThatFailsItsStartupIsAStatusAndALaterStartWorks) {
    {
        NciSimulator sim(NciIdentity::generic());
        sim.call([](Controller& c) { c.identity().version = 0x20; });
        ASSERT_EQ(initialize(sim), 0u);
        NfcHandle hNfc = nullptr;
        const uint32_t asked = platTickMs();
        EXPECT_NE(nfcCreate(&app, &Application::callback, &hNfc), 0u);
        EXPECT_LT(platTickMs() - asked, 5000u);
        EXPECT_EQ(nfcDone(), 0u);
    }
    NciSimulator sim(NciIdentity::generic());
    ASSERT_EQ(initialize(sim), 0u);
    NfcHandle hNfc = nullptr;
    EXPECT_EQ(nfcCreate(&app, &Application::callback, &hNfc), 0u);
    EXPECT_EQ(nfcDestroy(hNfc), 0u);
}

TEST_F(NciApi, ControllerThatHangsUpReachesTheApplicationAsRemoved) {
    NciSimulator sim(NciIdentity::generic());
    ASSERT_EQ(initialize(sim), 0u);
    NfcHandle hNfc = nullptr;
    ASSERT_EQ(nfcCreate(&app, &Application::callback, &hNfc), 0u);
    sim.hangUp();
    EXPECT_TRUE(app.waitForEvent(nfcEventPnpRemovedIndication, 5000));
    EXPECT_EQ(nfcDestroy(hNfc), 0u);
}

} // namespace
