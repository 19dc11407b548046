// The wire format against the test peer's own encoder: parameters, PDU checks, aggregation.
#include <gtest/gtest.h>

#include "llcp/llcp_peer.h"
#include "llcp/llcppdu.h"
#include "trace_capture.h"
#include "util/trace.h"

namespace {

using llcpsim::Bytes;
using llcpsim::tlv;

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

LlcpRemoteParams evaluate(const Bytes& tlvs) {
    LlcpRemoteParams params;
    params.miu = 999; // evaluation starts from the defaults, whatever was there
    llcpEvaluateParams(tlvs.data(), tlvs.size(), params);
    return params;
}

TEST(LlcpPdu, HeaderMatchesThePeersEncoding) {
    for (uint8_t ptype : {llcpsim::SYMM, llcpsim::CONNECT, llcpsim::SNL, llcpsim::RNR}) {
        llcpsim::Pdu pdu;
        pdu.dsap = 0x2A;
        pdu.ptype = ptype;
        pdu.ssap = 0x15;
        const Bytes frame = llcpsim::encode(pdu);
        CByteReader reader(frame.data(), frame.size());
        LlcpHeader header{};
        ASSERT_TRUE(llcpReadHeader(reader, header));
        EXPECT_EQ(header.dsap, 0x2A);
        EXPECT_EQ(header.ptype, ptype);
        EXPECT_EQ(header.ssap, 0x15);
        uint8_t out[2];
        llcpWriteHeader(out, 0x2A, ptype, 0x15);
        EXPECT_EQ(Bytes(out, out + 2), Bytes(frame.begin(), frame.begin() + 2));
    }
}

struct ParamCase {
    const char* what;
    Bytes tlvs;
    uint16_t miu;
    uint16_t ltoMs;
    uint16_t wks;
    uint8_t lcs;
    uint8_t version;
};

void PrintTo(const ParamCase& c, std::ostream* os) { *os << c.what; }

class LlcpParams : public ::testing::TestWithParam<ParamCase> {};

TEST_P(LlcpParams, AreTakenWithinTheirLengths) {
    TraceCapture cap;
    debugSetFlags(0xFFFFFFFFu);
    const ParamCase& c = GetParam();
    const LlcpRemoteParams r = evaluate(c.tlvs);
    EXPECT_EQ(r.miu, c.miu) << c.what;
    EXPECT_EQ(r.ltoMs, c.ltoMs) << c.what;
    EXPECT_EQ(r.wks, c.wks) << c.what;
    EXPECT_EQ(r.lcs, c.lcs) << c.what;
    EXPECT_EQ(r.version, c.version) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, LlcpParams,
    ::testing::Values(ParamCase{"defaults", {}, 128, 400, 1, 0, 0},
                      ParamCase{"all",
                                cat({tlv(1, {0x11}), tlv(2, {0x07, 0x80}), tlv(3, {0x00, 0x13}), tlv(4, {0x64}),
                                     tlv(7, {0x07})}),
                                2048, 1000, 0x13, 3, 0x11},
                      ParamCase{"MIUX 0x0800 is cut", tlv(2, {0x08, 0x00}), 2048, 400, 1, 0, 0},
                      ParamCase{"MIUX 0xFFFF does not wrap", tlv(2, {0xFF, 0xFF}), 2048, 400, 1, 0, 0},
                      ParamCase{"LTO 0 keeps 400", tlv(4, {0x00}), 128, 400, 1, 0, 0},
                      ParamCase{"one-byte MIUX skipped", cat({tlv(2, {0x07}), tlv(1, {0x10})}), 128, 400, 1, 0, 0x10},
                      ParamCase{"one-byte WKS last", cat({tlv(1, {0x11}), tlv(3, {0x13})}), 128, 400, 1, 0, 0x11},
                      ParamCase{"truncated TLV consumes the rest", cat({tlv(1, {0x11}), Bytes{0x02, 0x02, 0x07}}), 128,
                                400, 1, 0, 0x11},
                      ParamCase{"unknown type skipped", cat({tlv(0x20, {1, 2}), tlv(4, {0x0A})}), 128, 100, 1, 0, 0}));

struct CheckCase {
    const char* what;
    Bytes frame;
    uint16_t miu;
    uint8_t flags;
};

void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.what; }

class LlcpChecks : public ::testing::TestWithParam<CheckCase> {};

TEST_P(LlcpChecks, RefuseWithTheirFlags) {
    const CheckCase& c = GetParam();
    LlcpPdu pdu;
    ASSERT_TRUE(llcpSplitPdu(c.frame.data(), static_cast<uint16_t>(c.frame.size()), pdu)) << c.what;
    EXPECT_EQ(llcpCheckPdu(pdu, c.miu), c.flags) << c.what;
}

Bytes bytes(size_t n) { return Bytes(n, 0x5A); }

INSTANTIATE_TEST_SUITE_P(
    Table, LlcpChecks,
    ::testing::Values(CheckCase{"RR with N(S) 1", llcpsim::rr(4, 32, 0x10), 128, LLCP_FRMR_W},
                      CheckCase{"RR", llcpsim::rr(4, 32, 0x03), 128, 0},
                      CheckCase{"RR without sequence", Bytes{0x13, 0x60}, 128, LLCP_FRMR_I},
                      CheckCase{"I without sequence", Bytes{0x13, 0x20}, 128, LLCP_FRMR_I},
                      CheckCase{"I of the MIU", llcpsim::iframe(4, 32, 0, 0, bytes(128)), 128, 0},
                      CheckCase{"I over the MIU", llcpsim::iframe(4, 32, 0, 0, bytes(129)), 128, LLCP_FRMR_I},
                      CheckCase{"UI over the MIU", llcpsim::ui(4, 32, bytes(129)), 128, LLCP_FRMR_I},
                      CheckCase{"DM without reason", llcpsim::dm(4, 32, {}), 128, LLCP_FRMR_I},
                      CheckCase{"DM of two bytes", llcpsim::dm(4, 32, {1, 2}), 128, LLCP_FRMR_I},
                      CheckCase{"DM", llcpsim::dm(4, 32, {2}), 128, 0},
                      CheckCase{"FRMR of 3", llcpsim::frmr(4, 32, {1, 2, 3}), 128, LLCP_FRMR_I},
                      CheckCase{"FRMR of 5", llcpsim::frmr(4, 32, {1, 2, 3, 4, 5}), 128, LLCP_FRMR_I},
                      CheckCase{"FRMR empty", llcpsim::frmr(4, 32, {}), 128, LLCP_FRMR_I},
                      CheckCase{"FRMR", llcpsim::frmr(4, 32, {1, 2, 3, 4}), 128, 0},
                      CheckCase{"CONNECT with a cut TLV", llcpsim::connect(4, 32, {0x06, 0x05, 'u'}), 128, LLCP_FRMR_I},
                      CheckCase{"CC with whole TLVs", llcpsim::cc(4, 32, {0x05, 0x01, 0x02}), 128, 0},
                      CheckCase{"DISC with payload", Bytes{0x11, 0x60, 0x00}, 128, LLCP_FRMR_I},
                      CheckCase{"type 10", Bytes{0x12, 0xA0}, 128, LLCP_FRMR_W}));

struct AgfCase {
    const char* what;
    Bytes payload;
    LlcpAgfCheck check;
};

void PrintTo(const AgfCase& c, std::ostream* os) { *os << c.what; }

class LlcpAgf : public ::testing::TestWithParam<AgfCase> {};

TEST_P(LlcpAgf, IsCheckedWhole) {
    const AgfCase& c = GetParam();
    EXPECT_EQ(llcpCheckAgf(c.payload.data(), static_cast<uint16_t>(c.payload.size())), c.check) << c.what;
}

Bytes agfBody(const std::vector<Bytes>& pdus) {
    const Bytes f = llcpsim::agf(pdus);
    return Bytes(f.begin() + 2, f.end());
}

INSTANTIATE_TEST_SUITE_P(
    Table, LlcpAgf,
    ::testing::Values(AgfCase{"two", agfBody({llcpsim::symm(), llcpsim::dm(4, 32, {0})}), LlcpAgfCheck::Valid},
                      AgfCase{"one", agfBody({llcpsim::dm(4, 32, {0})}), LlcpAgfCheck::SinglePdu},
                      AgfCase{"inner overrun", Bytes{0x00, 0x02, 0x00, 0x00, 0x00, 0x09, 0x11, 0xC0},
                              LlcpAgfCheck::BadLength},
                      AgfCase{"trailing byte", Bytes{0x00, 0x02, 0x00, 0x00, 0x00}, LlcpAgfCheck::BadLength},
                      AgfCase{"empty", Bytes{}, LlcpAgfCheck::BadLength},
                      AgfCase{"nested", agfBody({llcpsim::symm(), llcpsim::agf({llcpsim::symm(), llcpsim::symm()})}),
                              LlcpAgfCheck::Nested}));

} // namespace
