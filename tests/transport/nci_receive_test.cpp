// NCI packets out of a chunked byte stream: chunk tables in, whole checked packets out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "trace_capture.h"
#include "transport/ncireceive.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t READER_NCI = 0x40B;
constexpr uint16_t READER_NCI_BCM = 0x40C;

Bytes payload(size_t n) {
    Bytes b(n);
    for (size_t k = 0; k < n; ++k) b[k] = static_cast<uint8_t>(k * 3 + 1);
    return b;
}

Bytes packet(uint8_t b0, uint8_t b1, const Bytes& body) {
    Bytes p = {b0, b1, static_cast<uint8_t>(body.size())};
    p.insert(p.end(), body.begin(), body.end());
    return p;
}

Bytes join(std::vector<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Cuts the stream at the given offsets.
std::vector<Bytes> cut(const Bytes& stream, std::vector<size_t> at) {
    std::vector<Bytes> chunks;
    size_t from = 0;
    at.push_back(stream.size());
    for (size_t to : at) {
        chunks.emplace_back(stream.begin() + static_cast<long>(from), stream.begin() + static_cast<long>(to));
        from = to;
    }
    return chunks;
}

struct Receiver {
    TNciReceiveContext context{};
    std::vector<Bytes> packets;

    explicit Receiver(uint16_t readerType) { nciReceiveInit(&context, readerType, &sink, this); }
    static void sink(void* user, BYTE* p, DWORD n) { static_cast<Receiver*>(user)->packets.emplace_back(p, p + n); }
    void feed(const std::vector<Bytes>& chunks) {
        for (const Bytes& c : chunks) nciReceiveBytes(&context, c.data(), static_cast<DWORD>(c.size()));
    }
};

const Bytes kResetRsp = packet(0x40, 0x00, {0x00, 0x11, 0x01});
const Bytes kCredits = packet(0x60, 0x06, {0x01, 0x00, 0x01});
const Bytes kEmptyData = packet(0x00, 0x00, {});
const Bytes kData = packet(0x03, 0x00, payload(20));     // connection 3
const Bytes kLongest = packet(0x00, 0x00, payload(255));
const Bytes kUnknown = packet(0x6F, 0x7E, {0x01});

struct StreamCase {
    std::string name;
    uint16_t readerType;
    std::vector<Bytes> chunks;
    std::vector<Bytes> expected;
};

class NciReceiveStream : public ::testing::TestWithParam<StreamCase> {};

TEST_P(NciReceiveStream, DeliversEveryWholeValidPacketOnce) {
    const StreamCase& c = GetParam();
    Receiver r(c.readerType);
    r.feed(c.chunks);
    EXPECT_EQ(r.packets, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NciReceiveStream,
    ::testing::Values(
        StreamCase{"OneChunk", READER_NCI, {kResetRsp}, {kResetRsp}},
        StreamCase{"SplitOverThreeChunks", READER_NCI, cut(kData, {1, 9}), {kData}},
        StreamCase{"ByteByByte", READER_NCI, cut(kCredits, {1, 2, 3, 4, 5}), {kCredits}},
        StreamCase{"TwoInOneChunk", READER_NCI, {join({kResetRsp, kData})}, {kResetRsp, kData}},
        StreamCase{"SecondStartsInFirstChunk", READER_NCI, cut(join({kResetRsp, kCredits}), {7}), {kResetRsp, kCredits}},
        StreamCase{"HeaderOnlyNeedsNoMoreBytes", READER_NCI, {kEmptyData}, {kEmptyData}},
        StreamCase{"LongestPayload", READER_NCI, cut(kLongest, {100}), {kLongest}},
        StreamCase{"UnknownOpcodeDroppedNextParsed", READER_NCI, {join({kUnknown, kCredits})}, {kCredits}},
        StreamCase{"PrefixBeforeEveryPacket", READER_NCI_BCM, {join({{0x10}, kResetRsp, {0x10}, kData})}, {kResetRsp, kData}},
        StreamCase{"StrayBytesBeforePrefixDropped", READER_NCI_BCM, {join({{0x55, 0x66, 0x10}, kCredits})}, {kCredits}},
        StreamCase{"PrefixInItsOwnChunk", READER_NCI_BCM, {{0x10}, kCredits}, {kCredits}}),
    [](const auto& info) { return info.param.name; });

TEST(NciReceive, HeaderOnlyPacketIsDeliveredWhenItsHeaderIsIn) {
    Receiver r(READER_NCI);
    r.feed({{kEmptyData[0], kEmptyData[1]}});
    EXPECT_TRUE(r.packets.empty());
    r.feed({{kEmptyData[2]}});
    EXPECT_EQ(r.packets, std::vector<Bytes>{kEmptyData});
}

TEST(NciReceive, SuffixMustFollowThePacket) {
    static const BYTE kSuffix[] = {0xAA, 0xBB};
    Receiver r(READER_NCI);
    r.context.framing.rxSuffix = kSuffix;
    r.context.framing.rxSuffixLength = 2;
    r.feed({join({kCredits, {0xAA, 0x00, 0xAA, 0xBB}}), join({kResetRsp, {0xAA}}), {0xBB}});
    EXPECT_EQ(r.packets, (std::vector<Bytes>{kCredits, kResetRsp}));
}

TEST(NciReceive, RestartDropsThePacketThatWasCut) {
    Receiver r(READER_NCI);
    r.feed({Bytes(kData.begin(), kData.begin() + 8)});
    nciReceiveRestart(&r.context);
    r.feed({kResetRsp});
    EXPECT_EQ(r.packets, std::vector<Bytes>{kResetRsp});
}

TEST(NciReceive, RefusedPacketsAreTraced) {
    TraceCapture trace;
    Receiver r(READER_NCI_BCM);
    r.feed({join({{0x10}, kUnknown, {0x22}})});
    EXPECT_TRUE(r.packets.empty());
    EXPECT_TRUE(trace.contains("nciTransport: ! Opcode 6F7E not valid"));
    EXPECT_TRUE(trace.contains("nciTransport: ! Frame header differs in position 0"));
}

struct HeaderCase {
    uint8_t b0, b1;
    bool valid;
};

TEST(NciReceive, HeaderCheck) {
    const HeaderCase cases[] = {
        {0x00, 0x00, true},  {0x0E, 0x00, true},  {0x1F, 0xFF, true},   // data, any connection, PBF
        {0x20, 0x00, true},  {0x30, 0x00, true},  {0x40, 0x04, true},   // PBF does not change the opcode
        {0x61, 0x05, true},  {0x6F, 0x11, true},  {0x41, 0x0B, true},
        {0x20, 0x06, false}, {0x62, 0x01, false}, {0xE0, 0x00, false},  // unknown, message type 7
        {0x8F, 0x11, false},
    };
    for (const HeaderCase& c : cases)
        EXPECT_EQ(nciHeaderValid(c.b0, c.b1), c.valid) << std::hex << int(c.b0) << " " << int(c.b1);
}

} // namespace
