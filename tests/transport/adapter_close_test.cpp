// Both transport adapters over the serial front end on a pseudo-terminal, closed while the
// port's receive thread is held inside the adapter's callback beyond the close's wait for it.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "com_events.h"
#include "pty_pair.h"
#include "transport/etsitransport.h"
#include "transport/ncitransport.h"

namespace {

struct AdapterCase {
    const char* name;
    const char* readerType;
    TComOpenFunc open;
    TComCloseFunc close;
};
std::ostream& operator<<(std::ostream& os, const AdapterCase& c) { return os << c.name; }

// Holds the thread that reports the first open completed until the test lets it go.
struct HeldOpen {
    std::mutex m;
    std::condition_variable cv;
    bool entered = false;
    bool released = false;

    void hold(DWORD event) {
        if (event != comeOpenCompleted) return;
        std::unique_lock<std::mutex> g(m);
        if (entered) return;
        entered = true;
        cv.notify_all();
        cv.wait_for(g, std::chrono::seconds(30), [&] { return released; });
    }
    bool waitEntered() {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, std::chrono::seconds(5), [&] { return entered; });
    }
    void release() {
        std::lock_guard<std::mutex> g(m);
        released = true;
        cv.notify_all();
    }
};

class AdapterClose : public ::testing::TestWithParam<AdapterCase> {
protected:
    void TearDown() override { held.release(); }
    DWORD open(ComEvents& events, TComHandle& handle) {
        const std::string parameters = std::string("READERTYPE=") + GetParam().readerType + " IOTYPE=SERIAL PORT=" + pty.slavePath();
        return GetParam().open("", parameters.c_str(), &ComEvents::callBack, &events, &handle);
    }

    PtyPair pty;
    HeldOpen held;
};

TEST_P(AdapterClose, AHeldReceiveThreadDefersTheCloseAndTheNextOpenFinishesIt) {
    ASSERT_TRUE(pty.ok());
    ComEvents first;
    first.onEvent = [this](DWORD event) { held.hold(event); };
    TComHandle handle = nullptr;
    ASSERT_EQ(open(first, handle), COM_PENDING);
    ASSERT_TRUE(held.waitEntered());
    // The receive thread does not leave within the close's wait: the close completes later.
    EXPECT_EQ(GetParam().close(handle), COM_PENDING);
    EXPECT_EQ(first.count(comeCloseCompleted), 0u);
    held.release();

    ComEvents second;
    TComHandle again = nullptr;
    ASSERT_EQ(open(second, again), COM_PENDING);
    EXPECT_TRUE(second.waitFor(comeOpenCompleted));
    EXPECT_EQ(first.count(comeCloseCompleted), 1u);   // the deferred close, reported once done
    EXPECT_EQ(GetParam().close(again), COM_SUCCESS);
    EXPECT_EQ(second.count(comeCloseCompleted), 1u);
    EXPECT_EQ(first.count(comeCloseCompleted), 1u);
}

INSTANTIATE_TEST_SUITE_P(Adapters, AdapterClose,
                         ::testing::Values(AdapterCase{"Nci", "NCI", &nciTransportOpen, &nciTransportClose},
                                           AdapterCase{"Etsi", "ST21NFCA", &etsiTransportOpen, &etsiTransportClose}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
