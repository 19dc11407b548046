// NDEF on Type 2 tags as an application does it, through the public API against the simulated
// controller on its pseudo-terminal: the check, reading, writing in one piece, formatting a blank
// tag, making a tag read-only and checking its presence, on tags of static and dynamic memory.
// What a write left on the tag is decoded by the test's own reader.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "api_stack.h"
#include "tags/ndef_image.h"
#include "tags/t2t_tag.h"

namespace {

using Bytes = std::vector<uint8_t>;
using simtags::T2tTag;
using Chip = T2tTag::Chip;

constexpr uint16_t kRfDiscover = 0x2103;

Bytes counting(size_t n, uint8_t from = 3) {
    Bytes b(n);
    for (size_t k = 0; k < n; ++k) b[k] = static_cast<uint8_t>(from + k * 5);
    return b;
}

// The data area of a tag image from byte 16 to end, without the bytes in [skipFrom, skipTo).
Bytes dataArea(const Bytes& image, size_t end, size_t skipFrom = 0, size_t skipTo = 0) {
    Bytes out;
    for (size_t p = 16; p < end && p < image.size(); ++p)
        if (p < skipFrom || p >= skipTo) out.push_back(image[p]);
    return out;
}

Bytes part(const Bytes& image, size_t offset, size_t length) {
    return Bytes(image.begin() + offset, image.begin() + offset + length);
}

// A Type 2 tag in the field, detected and connected for one listener of the application.
struct Session {
    explicit Session(std::shared_ptr<T2tTag> t) : tag(std::move(t)) {
        if (stack.start() != nfcStatusOk) return;
        listener = stack.listen(TAG_ISO14443A);
        if (!listener || !stack.waitForCommands(kRfDiscover, 1)) return;
        stack.sim().rf().enter(tag);
        ready = stack.waitFor(nfcEventTagDetected) && nfcConnectTag(listener, 0) == nfcStatusOk;
    }
    Session(Chip chip, bool formatted) : Session(T2tTag::make(chip, formatted)) {}

    TNfcTagInfo check() {
        TNfcTagInfo info{};
        EXPECT_EQ(nfcGetTagInfo(listener, -1, &info), nfcStatusOk) << stack.sim().describe();
        return info;
    }
    NfcApiStatus read(Bytes* message, WORD room = 2048) {
        message->assign(room, 0);
        WORD length = room;
        const NfcApiStatus status = nfcReadNdefMessage(listener, message->data(), &length);
        message->resize(length);
        return status;
    }
    // The tag's image as the simulator's thread holds it.
    Bytes image() {
        Bytes copy;
        EXPECT_TRUE(stack.sim().call([&](ncisim::Controller&) { copy = tag->memory; }));
        return copy;
    }
    NfcApiStatus write(const Bytes& message) {
        return nfcWriteNdefMessage(listener, message.data(), static_cast<WORD>(message.size()));
    }

    std::shared_ptr<T2tTag> tag;
    ApiStack stack;
    NfcListenerHandle listener = nullptr;
    bool ready = false;
};

TEST(T2tNdef, CheckGivesTheNdefTypeSizeAndCapacityAndTheMessageIsRead) {
    struct Case {
        Chip chip;
        size_t length, capacity;
    };
    for (const Case c : {Case{Chip::Ultralight, 30, 46}, Case{Chip::Ntag496, 300, 492}}) {
        SCOPED_TRACE(c.capacity);
        auto tag = T2tTag::make(c.chip, true);
        const Bytes message = counting(c.length);
        const Bytes header = c.length > 254 ? Bytes{0x03, 0xFF, static_cast<uint8_t>(c.length >> 8), static_cast<uint8_t>(c.length)}
                                            : Bytes{0x03, static_cast<uint8_t>(c.length)};
        tag->put(16, header);
        tag->put(16 + header.size(), message);
        Session s(tag);
        ASSERT_TRUE(s.ready) << s.stack.sim().describe();
        const TNfcTagInfo info = s.check();
        EXPECT_EQ(+info.tagType, TAG_ULTRALIGHT_TYPE2 | TAG_NDEF);
        EXPECT_EQ(+info.ndefLength, c.length);
        EXPECT_EQ(+info.ndefMaxSize, c.capacity);
        EXPECT_EQ(+info.access & (NFC_TAG_READABLE | NFC_TAG_WRITABLE), NFC_TAG_READABLE | NFC_TAG_WRITABLE);
        Bytes got;
        EXPECT_EQ(s.read(&got), nfcStatusOk);
        EXPECT_EQ(got, message);
    }
}

TEST(T2tNdef, WritesOfEverySizeRoundTrip) {
    struct Case {
        Chip chip;
        std::vector<size_t> sizes;
    };
    for (const Case& c : {Case{Chip::Ultralight, {1, 46}}, Case{Chip::Ntag872, {1, 254, 255, 868}}}) {
        Session s(c.chip, true);
        ASSERT_TRUE(s.ready) << s.stack.sim().describe();
        ASSERT_EQ(+s.check().ndefMaxSize, c.sizes.back());
        for (size_t size : c.sizes) {
            SCOPED_TRACE(size);
            const Bytes message = counting(size, static_cast<uint8_t>(size));
            ASSERT_EQ(s.write(message), nfcStatusOk) << s.stack.sim().describe();
            EXPECT_EQ(simtags::ndefMessage(dataArea(s.image(), 16 + c.sizes.back() + 4)), message);
            const TNfcTagInfo info = s.check();
            EXPECT_EQ(+info.ndefLength, size);
            Bytes got;
            EXPECT_EQ(s.read(&got), nfcStatusOk);
            EXPECT_EQ(got, message);
        }
        EXPECT_NE(s.write(counting(c.sizes.back() + 1)), nfcStatusOk);
    }
}

TEST(T2tNdef, ABlankUltralightCIsFormattedAndThenHoldsNdefBehindItsLockTlv) {
    Session s(Chip::UltralightC, false);
    ASSERT_TRUE(s.ready) << s.stack.sim().describe();
    const TNfcTagInfo blank = s.check();
    EXPECT_EQ(+blank.tagType & TAG_NDEF, 0u);
    EXPECT_EQ(+blank.chipCode, 0x40002u);
    ASSERT_EQ(nfcFormatNdef(s.listener, 0), nfcStatusOk) << s.stack.sim().describe();
    EXPECT_EQ(part(s.image(), 12, 12), (Bytes{0xE1, 0x11, 0x12, 0x00, 0x01, 0x03, 0xA0, 0x10, 0x44, 0x03, 0x00, 0xFE}));
    const TNfcTagInfo info = s.check();
    EXPECT_EQ(+info.tagType, TAG_ULTRALIGHT_TYPE2 | TAG_NDEF);
    EXPECT_EQ(+info.ndefLength, 0u);
    EXPECT_EQ(+info.ndefMaxSize, 137u);
    const Bytes message = counting(137);
    ASSERT_EQ(s.write(message), nfcStatusOk);
    EXPECT_EQ(simtags::ndefMessage(dataArea(s.image(), 160, 16, 21)), message);
}

TEST(T2tNdef, AReadOnlyTagKeepsItsMessageAndRefusesTheNextWrite) {
    Session s(Chip::UltralightC, true);
    ASSERT_TRUE(s.ready) << s.stack.sim().describe();
    s.check();
    const Bytes message = counting(40);
    ASSERT_EQ(s.write(message), nfcStatusOk);
    ASSERT_EQ(nfcMakeReadOnly(s.listener), nfcStatusOk) << s.stack.sim().describe();
    const Bytes image = s.image();
    EXPECT_EQ(image[15], 0x0F);
    EXPECT_EQ(part(image, 10, 2), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(part(image, 160, 2), (Bytes{0xFF, 0xFF}));
    const TNfcTagInfo info = s.check();
    EXPECT_EQ(+info.access & NFC_TAG_WRITABLE, 0u);
    EXPECT_NE(s.write(counting(10)), nfcStatusOk);
    EXPECT_NE(nfcMakeReadOnly(s.listener), nfcStatusOk);
    EXPECT_EQ(s.image(), image);
    Bytes got;
    EXPECT_EQ(s.read(&got), nfcStatusOk);
    EXPECT_EQ(got, message);
}

TEST(T2tNdef, DataAboveOneKilobyteOfA66R32PRoundTripsThroughSectorSelect) {
    Session s(Chip::Myd32P, true);
    ASSERT_TRUE(s.ready) << s.stack.sim().describe();
    ASSERT_EQ(+s.check().ndefMaxSize, 2010u);
    const Bytes message = counting(1500);
    ASSERT_EQ(s.write(message), nfcStatusOk) << s.stack.sim().describe();
    EXPECT_EQ(part(s.image(), 1024, 16), part(message, 986, 16));
    ASSERT_EQ(+s.check().ndefLength, 1500u);
    Bytes got;
    EXPECT_EQ(s.read(&got), nfcStatusOk);
    EXPECT_EQ(got, message);
}

TEST(T2tNdef, AWriteTheTagRefusesHalfwayFailsAndLeavesAnEmptyMessage) {
    Session s(Chip::Ntag496, true);
    ASSERT_TRUE(s.ready) << s.stack.sim().describe();
    s.check();
    ASSERT_EQ(s.write(counting(20)), nfcStatusOk);
    // The NAK comes back as the tag's 4-bit answer in a data packet, not as an error.
    ASSERT_TRUE(s.stack.sim().call([&](ncisim::Controller&) {
        s.tag->inject(simtags::Fault{simtags::FaultKind::Nak, 0xA2, std::nullopt, 3, {}, 0});
    }));
    EXPECT_NE(s.write(counting(100)), nfcStatusOk);
    EXPECT_EQ(simtags::ndefMessage(dataArea(s.image(), 512)), Bytes{});
}

TEST(T2tNdef, CheckTagPassesWhileTheTagIsThereAndFailsOnceItLeft) {
    Session s(Chip::Ntag144, true);
    ASSERT_TRUE(s.ready) << s.stack.sim().describe();
    EXPECT_EQ(nfcCheckTag(s.listener), nfcStatusOk);
    ASSERT_TRUE(s.stack.sim().call([&](ncisim::Controller&) { s.tag->removeAfter(0); }));
    EXPECT_NE(nfcCheckTag(s.listener), nfcStatusOk);
}

} // namespace
