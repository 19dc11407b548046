#include <algorithm>

#include "exports_fixture.h"

namespace {

constexpr uint8_t kGuard = 0xEE;
constexpr uint32_t kRawMode = 0x120B;

using IoctlTest = ExportsTest;

std::vector<TNfcRoutingEntry> entries(size_t count) {
    std::vector<TNfcRoutingEntry> out(count);
    for (size_t i = 0; i < count; ++i) {
        out[i].hSecure = 0x101;
        out[i].type = NFC_ROUTE_TECHNOLOGY;
        out[i].value = static_cast<DWORD>(i);
    }
    return out;
}

} // namespace

TEST_F(IoctlTest, DeviceIoControlPassesTheCodeAndReturnsTheAnswer) {
    const std::vector<uint8_t> reply = {0x10, 0x20, 0x30};
    answerData(NFACE_IO_CONTROL_REQ, nfcCauseOk, reply);
    const BYTE in[] = {0x06, 0x06, 0x06};
    std::vector<uint8_t> out(8, kGuard);
    WORD length = 4;
    ASSERT_EQ(nfcDeviceIoControl(h, 0x1004, in, sizeof in, out.data(), &length), nfcStatusOk);
    EXPECT_EQ(length, 3);
    EXPECT_TRUE(std::equal(reply.begin(), reply.end(), out.begin()));
    const Seen s = seen(NFACE_IO_CONTROL_REQ).at(0);
    EXPECT_EQ(s.ioCode, 0x1004u);
    EXPECT_EQ(s.parameter, 0u);
    EXPECT_EQ(s.input, std::vector<uint8_t>(in, in + sizeof in));
    EXPECT_EQ(s.output, out.data());
    EXPECT_EQ(s.outputSize, 4);

    // A longer answer than the room fills the room only; a failure delivers nothing.
    answerData(NFACE_IO_CONTROL_REQ, nfcCauseOk, std::vector<uint8_t>(6, 0x77));
    std::fill(out.begin(), out.end(), kGuard);
    length = 4;
    ASSERT_EQ(nfcDeviceIoControl(h, 0x1004, in, sizeof in, out.data(), &length), nfcStatusOk);
    EXPECT_EQ(length, 4);
    EXPECT_TRUE(std::all_of(out.begin() + 4, out.end(), [](uint8_t b) { return b == kGuard; }));
    answerData(NFACE_IO_CONTROL_REQ, nfcCauseNotImplemented, {});
    length = 4;
    EXPECT_EQ(nfcDeviceIoControl(h, 0x1004, in, sizeof in, out.data(), &length), nfcStatusNotImplemented);
    EXPECT_EQ(length, 0);
}

TEST_F(IoctlTest, DeviceIoControlOffersOnlyTheRoomAndInputTheCallerHas) {
    answerData(NFACE_IO_CONTROL_REQ, nfcCauseOk, {});
    BYTE out[4];
    WORD length = 4;
    EXPECT_EQ(nfcDeviceIoControl(h, 0x1004, nullptr, 0, out, nullptr), nfcStatusBadParameter);
    EXPECT_EQ(nfcDeviceIoControl(h, 0x1004, nullptr, 3, out, &length), nfcStatusBadParameter);
    EXPECT_EQ(nfcDeviceIoControl(nullptr, 0x1004, nullptr, 0, nullptr, nullptr), nfcStatusInvalidHandle);
    // The raw-mode code reads two input bytes: fewer are refused, not read past.
    const BYTE mode[] = {1, 0};
    EXPECT_EQ(nfcDeviceIoControl(h, kRawMode, mode, 1, nullptr, nullptr), nfcStatusBadParameter);
    EXPECT_EQ(nfcDeviceIoControl(h, kRawMode, nullptr, 0, nullptr, nullptr), nfcStatusBadParameter);
    ASSERT_TRUE(fake().sync(kWait));
    EXPECT_TRUE(seen(NFACE_IO_CONTROL_REQ).empty());

    EXPECT_EQ(nfcDeviceIoControl(h, kRawMode, mode, sizeof mode, nullptr, nullptr), nfcStatusOk);
    // A length without a buffer offers no room.
    length = 4;
    EXPECT_EQ(nfcDeviceIoControl(h, 0x1004, nullptr, 0, nullptr, &length), nfcStatusOk);
    EXPECT_EQ(length, 0);
    const auto requests = seen(NFACE_IO_CONTROL_REQ);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].input, std::vector<uint8_t>(mode, mode + 2));
    EXPECT_EQ(requests[1].output, nullptr);
    EXPECT_EQ(requests[1].outputSize, 0);
}

TEST_F(IoctlTest, TimedOutIoControlDeliversNothingLater) {
    silence(NFACE_IO_CONTROL_REQ);
    ASSERT_EQ(nfcSetReaderTimeout(h, kShort, 0xFFFFFFFFu), nfcStatusOk);
    std::vector<uint8_t> out(8, kGuard);
    WORD length = 8;
    EXPECT_EQ(nfcDeviceIoControl(h, 0x1004, nullptr, 0, out.data(), &length), nfcStatusTimeout);
    EXPECT_EQ(length, 0);
    ASSERT_TRUE(fake().waitFor(NFACE_CANCEL_REQ, 1, kWait));
    const uint8_t late[] = {1, 2, 3};
    TnfcapiMsg conf = nfaceMsgMake<NFACE_IO_CONTROL_CONF>({0, late, sizeof late});
    conf.request = fake().received(NFACE_IO_CONTROL_REQ).at(0).message.request;
    fake().inject(app(), conf);
    ASSERT_TRUE(fake().sync(kWait));
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == kGuard; }));
    EXPECT_EQ(sent<NFACE_IO_CONTROL_REQ>().at(0).transfer->readData, nullptr);
}

TEST_F(IoctlTest, RoutingEntriesAreAddedWholeOrRefused) {
    answerData(NFACE_IO_CONTROL_REQ, nfcCauseOk, {});
    const auto three = entries(3);
    ASSERT_EQ(nfcSecureAddRoutingEntries(h, three.data(), 3), nfcStatusOk);
    const Seen s = seen(NFACE_IO_CONTROL_REQ).at(0);
    EXPECT_EQ(s.ioCode, uint32_t{NFC_IOCTL_ROUTING_ADD});
    ASSERT_EQ(s.input.size(), 3 * 27u);
    EXPECT_EQ(std::memcmp(s.input.data(), three.data(), s.input.size()), 0);
    EXPECT_TRUE(cap.contains("nfcSecureAddRoutingEntries enter, hNfc="));

    // 2427 entries are the most one request carries; one more would wrap its length.
    const auto most = entries(2428);
    ASSERT_EQ(nfcSecureAddRoutingEntries(h, most.data(), 2427), nfcStatusOk);
    EXPECT_EQ(seen(NFACE_IO_CONTROL_REQ).back().input.size(), 2427 * 27u);
    EXPECT_EQ(nfcSecureAddRoutingEntries(h, most.data(), 2428), nfcStatusBadParameter);
    EXPECT_EQ(nfcSecureAddRoutingEntries(h, most.data(), 0xFFFFFFFFu), nfcStatusBadParameter);
    EXPECT_EQ(nfcSecureAddRoutingEntries(h, nullptr, 1), nfcStatusBadParameter);
    EXPECT_EQ(nfcSecureAddRoutingEntries(h, most.data(), 0), nfcStatusBadParameter);
    EXPECT_EQ(seen(NFACE_IO_CONTROL_REQ).size(), 2u);

    ASSERT_EQ(nfcSecureClearRoutingEntries(h), nfcStatusOk);
    EXPECT_EQ(seen(NFACE_IO_CONTROL_REQ).back().ioCode, uint32_t{NFC_IOCTL_ROUTING_CLEAR});
    EXPECT_EQ(nfcSecureClearRoutingEntries(nullptr), nfcStatusInvalidHandle);
}

TEST_F(IoctlTest, RoutingEntriesAreReadIntoTheCallersBuffer) {
    const auto two = entries(2);
    const auto* bytes = reinterpret_cast<const uint8_t*>(two.data());
    answerData(NFACE_IO_CONTROL_REQ, nfcCauseOk, std::vector<uint8_t>(bytes, bytes + 2 * 27));
    std::vector<TNfcRoutingEntry> room(4);
    DWORD size = 4 * 27;
    ASSERT_EQ(nfcSecureGetRoutingEntries(h, room.data(), &size), nfcStatusOk);
    EXPECT_EQ(size, 2 * 27u);
    EXPECT_EQ(std::memcmp(room.data(), two.data(), size), 0);
    const Seen s = seen(NFACE_IO_CONTROL_REQ).back();
    EXPECT_EQ(s.ioCode, uint32_t{NFC_IOCTL_ROUTING_READ});
    EXPECT_EQ(s.outputSize, 4 * 27);

    // A buffer beyond what one answer fills offers whole entries up to that.
    std::vector<TNfcRoutingEntry> large(3000);
    size = 3000 * 27;
    ASSERT_EQ(nfcSecureGetRoutingEntries(h, large.data(), &size), nfcStatusOk);
    EXPECT_EQ(seen(NFACE_IO_CONTROL_REQ).back().outputSize, 2427 * 27);

    // A failure leaves no stale length.
    answerData(NFACE_IO_CONTROL_REQ, nfcCauseRejected, {});
    size = 4 * 27;
    EXPECT_EQ(nfcSecureGetRoutingEntries(h, room.data(), &size), nfcStatusFailed);
    EXPECT_EQ(size, 0u);
    size = 0;
    EXPECT_EQ(nfcSecureGetRoutingEntries(h, room.data(), &size), nfcStatusBadParameter);
    EXPECT_EQ(nfcSecureGetRoutingEntries(h, nullptr, &size), nfcStatusBadParameter);
    EXPECT_EQ(nfcSecureGetRoutingEntries(h, room.data(), nullptr), nfcStatusBadParameter);
}
