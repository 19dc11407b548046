// A Kovio barcode through the public API against the simulated controller: it is reported with
// its identifier and without NDEF content, its presence is checked without a frame, and every
// NDEF request on it is answered at once instead of running into the API's time-out.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include "api_stack.h"
#include "nci/nci_sim_recorder.h"
#include "tags/kovio_tag.h"
#include "trace_capture.h"
#include "util/trace.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kRfDiscover = 0x2103;
const Bytes kIdentifier{0x81, 0x0A, 0xCB, 0x03, 0x24, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0x0F};
// Far below the API's own time-out: an answer that came at once.
constexpr auto kAtOnce = std::chrono::milliseconds(2000);

// Data packets the host sent on any RF connection.
size_t hostDataPackets(ApiStack& stack) {
    size_t n = 0;
    for (const auto& p : stack.sim().recorder().packets())
        if (p.direction == ncisim::Direction::FromHost && !p.bytes.empty() && (p.bytes[0] & 0xE0) == 0x00) ++n;
    return n;
}

struct KovioInField : ::testing::Test {
    void SetUp() override {
        ASSERT_EQ(stack.start(), 0u);
        listener = stack.listen(TAG_KOVIO_BARCODE | TAG_NDEF, &context);
        ASSERT_NE(listener, nullptr);
        ASSERT_TRUE(stack.waitForCommands(kRfDiscover, 1));
        stack.sim().rf().enter(std::make_shared<simtags::KovioTag>(kIdentifier));
        detected = stack.waitFor(nfcEventTagDetected);
        ASSERT_TRUE(detected) << stack.sim().describe();
        ASSERT_EQ(nfcConnectTag(listener, 0), 0u);
    }

    // The status of a call, which must come back at once.
    template <typename Call>
    NfcApiStatus atOnce(Call call) {
        const auto start = Clock::now();
        const NfcApiStatus status = call();
        EXPECT_LT(Clock::now() - start, kAtOnce);
        return status;
    }

    ApiStack stack{ncisim::NciIdentity::nxp()};
    int context = 0;
    NfcListenerHandle listener = nullptr;
    std::optional<AppEvent> detected;
};

TEST_F(KovioInField, IsDetectedWithItsIdentifierAndWithoutNdef) {
    EXPECT_EQ(detected->listenerContext, &context);
    EXPECT_EQ(+detected->tag.tagType, TAG_KOVIO_BARCODE) << "TAG_NDEF clear";
    EXPECT_EQ(Bytes(detected->tag.uid, detected->tag.uid + detected->tag.uidLength), kIdentifier);
    EXPECT_EQ(+detected->tag.ndefLength, 0u);
}

TEST_F(KovioInField, TheNdefCheckFindsNoNfcForumTag) {
    TraceCapture trace;
    debugSetFlags(TRC_NFACE);
    TNfcTagInfo info{};
    EXPECT_EQ(atOnce([&] { return nfcGetTagInfo(listener, -1, &info); }), nfcStatusOk);
    debugSetFlags(0);
    EXPECT_EQ(+info.tagType, TAG_KOVIO_BARCODE);
    EXPECT_EQ(Bytes(info.uid, info.uid + info.uidLength), kIdentifier);
    EXPECT_EQ(+info.ndefLength, 0u);
    EXPECT_EQ(+info.ndefMaxSize, 0u);
    EXPECT_TRUE(trace.contains("not a NFC forum tag")) << "the check's cause";
}

TEST_F(KovioInField, APresenceCheckPassesWithoutAFrame) {
    const size_t before = hostDataPackets(stack);
    EXPECT_EQ(atOnce([&] { return nfcCheckTag(listener); }), nfcStatusOk);
    EXPECT_EQ(atOnce([&] { return nfcCheckTag(listener); }), nfcStatusOk);
    EXPECT_EQ(hostDataPackets(stack), before);
    EXPECT_EQ(stack.count(nfcEventTagRemoved), 0u);
}

TEST_F(KovioInField, NdefRequestsAreAnsweredAtOnce) {
    // A tag without NDEF content takes no NDEF read, write or make read-only.
    Bytes buffer(64, 0);
    WORD length = static_cast<WORD>(buffer.size());
    EXPECT_EQ(atOnce([&] { return nfcReadNdefMessage(listener, buffer.data(), &length); }), nfcStatusWrongState);
    const Bytes message{0xD0, 0x00, 0x00};
    EXPECT_EQ(atOnce([&] { return nfcWriteNdefMessage(listener, message.data(), static_cast<WORD>(message.size())); }),
              nfcStatusWrongState);
    EXPECT_EQ(atOnce([&] { return nfcMakeReadOnly(listener); }), nfcStatusWrongState);
    EXPECT_EQ(hostDataPackets(stack), 0u) << "not one frame for the barcode";
}

TEST_F(KovioInField, FormatIsRefusedAndTheBarcodeStaysPresent) {
    TraceCapture trace;
    debugSetFlags(TRC_NFACE);
    EXPECT_EQ(atOnce([&] { return nfcFormatNdef(listener, 14); }), nfcStatusFailed);
    debugSetFlags(0);
    EXPECT_TRUE(trace.contains("FORMAT_CONF, cause=0x206")) << "refused with 0x206";
    EXPECT_EQ(hostDataPackets(stack), 0u);
    // A refusal is no removal: the barcode is still there and still this listener's.
    EXPECT_EQ(atOnce([&] { return nfcCheckTag(listener); }), nfcStatusOk);
    TNfcTagInfo info{};
    EXPECT_EQ(nfcGetTagInfo(listener, 0, &info), nfcStatusOk);
    EXPECT_EQ(Bytes(info.uid, info.uid + info.uidLength), kIdentifier);
    EXPECT_EQ(stack.count(nfcEventTagRemoved), 0u);
    EXPECT_EQ(stack.count(nfcEventTagDetected), 1u);
}

} // namespace
