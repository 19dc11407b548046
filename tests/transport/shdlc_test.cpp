// The SHDLC link alone against the test-side endpoint: the link's requests are served by a
// recording callback, bytes cross in-process, and timers run only when a test expires them.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <set>

#include "shdlc/shdlc_endpoint.h"
#include "trace_capture.h"
#include "transport/shdlc.h"

using shdlcsim::Bytes;
using shdlcsim::Framing;
using shdlcsim::ShdlcEndpoint;

namespace {

struct Completion {
    uint8_t* buffer;
    uint32_t length;
    uint32_t status;
};

class Link {
public:
    explicit Link(Framing framing, uint32_t window = 2) : peer(framing, window) {
        peer.setSink([this](const Bytes& b) { toLink.insert(toLink.end(), b.begin(), b.end()); });
    }
    ~Link() {
        if (s) shdlcClose(s);
    }

    int32_t open(uint32_t window, uint32_t flags) { return shdlcOpen(window, &Link::onEvent, this, flags, &s); }
    // Carries bytes both ways until neither side has anything to say.
    void pump() {
        while (!toLink.empty() || !toPeer.empty()) {
            Bytes in;
            in.swap(toLink);
            if (!in.empty()) shdlcDecode(in.data(), s, static_cast<uint32_t>(in.size()));
            Bytes out;
            out.swap(toPeer);
            if (!out.empty()) peer.feed(out.data(), out.size());
        }
    }
    void up(uint32_t window = 2, uint32_t flags = 0) {
        ASSERT_EQ(open(window, flags), 0);
        pump();
        ASSERT_EQ(shdlcState(s), 2);
    }
    void expire(uint32_t slot) {
        ASSERT_TRUE(timers.count(slot)) << "timer " << slot << " is not running";
        timers.erase(slot);
        shdlcTimerExpired(s, slot);
        pump();
    }
    int32_t send(const Bytes& payload) {
        payloads.push_back(payload);
        return shdlcSend(s, static_cast<uint32_t>(payload.size()), payloads.back().data());
    }
    size_t buffersOut() const { return taken.size(); }

    ShdlcEndpoint peer;
    TShdlc* s = nullptr;
    Bytes toLink, toPeer;
    std::vector<Bytes> writes;
    std::vector<Bytes> received;
    std::vector<Completion> completions;
    std::map<uint32_t, uint32_t> timers;   // running slot -> ms
    std::vector<uint32_t> t3Values;
    int established = 0, lost = 0, flushes = 0, lockDepth = 0;
    std::deque<Bytes> payloads;            // stable addresses for the link's queued buffers

private:
    static void onEvent(void* context, uint32_t event, void* buffer, uint32_t length, uint32_t value) {
        static_cast<Link*>(context)->on(event, buffer, length, value);
    }
    void on(uint32_t event, void* buffer, uint32_t length, uint32_t value) {
        auto* bytes = static_cast<uint8_t*>(buffer);
        switch (event) {
        case shdlceGetBuffer: {
            auto* slot = static_cast<uint8_t**>(buffer);
            *slot = nullptr;
            for (auto& b : pool_)
                if (!taken.count(b.data())) {
                    taken.insert(b.data());
                    *slot = b.data();
                    break;
                }
            break;
        }
        case shdlceReleaseBuffer: ASSERT_EQ(taken.erase(bytes), 1u); break;
        case shdlceTxCompleted: completions.push_back({bytes, length, value}); break;
        case shdlceWrite:
            ASSERT_LE(length, SHDLC_BUFFER_SIZE);
            writes.emplace_back(bytes, bytes + length);
            toPeer.insert(toPeer.end(), bytes, bytes + length);
            ASSERT_EQ(value, SHDLC_FRAME_BUFFER);
            ASSERT_EQ(taken.erase(bytes), 1u);   // the lower transport copied it
            break;
        case shdlceDataReceived:
            ASSERT_LE(length, SHDLC_BUFFER_SIZE);
            received.emplace_back(bytes, bytes + length);
            ASSERT_EQ(taken.erase(bytes), 1u);
            break;
        case shdlceLinkEstablished: ++established; break;
        case shdlceLinkLost: ++lost; break;
        case shdlceFlushLower: ++flushes; break;
        case shdlceLock: ++lockDepth; break;
        case shdlceUnlock: --lockDepth; break;
        case shdlceTimerStart:
            timers[length] = value;
            if (length == shdlcTimerT3) t3Values.push_back(value);
            break;
        case shdlceTimerStop: timers.erase(length); break;
        default: FAIL() << "unknown event " << event;
        }
    }
    std::array<std::array<uint8_t, SHDLC_BUFFER_SIZE>, 12> pool_{};
    std::set<uint8_t*> taken;
};

std::vector<shdlcsim::Frame> framesOf(const ShdlcEndpoint& peer, uint8_t control) {
    std::vector<shdlcsim::Frame> out;
    for (const auto& f : peer.incoming())
        if (f.control == control) out.push_back(f);
    return out;
}

size_t iFrames(const ShdlcEndpoint& peer) {
    size_t n = 0;
    for (const auto& f : peer.incoming()) n += (f.control & 0xC0) == 0x80;
    return n;
}

} // namespace

TEST(ShdlcWindow, TheResetOffersTheWindowInUse) {
    const std::pair<uint32_t, uint8_t> cases[] = {{0, 4}, {1, 2}, {2, 2}, {3, 3}, {7, 7}, {9, 7}};
    for (auto [configured, offered] : cases) {
        Link link(Framing::flag, 7);
        link.peer.setAnswerRset(false);
        ASSERT_EQ(link.open(configured, 0), 0);
        link.pump();
        const auto rsets = framesOf(link.peer, 0xF9);
        ASSERT_EQ(rsets.size(), 1u);
        EXPECT_EQ(rsets[0].payload, (Bytes{offered, 0})) << "configured " << configured;
    }
}

TEST(ShdlcLink, ASecondOpenFailsAndUaBringsTheLinkUpOnce) {
    TraceCapture trace;
    Link link(Framing::flag);
    link.up();
    EXPECT_EQ(link.established, 1);
    EXPECT_FALSE(link.timers.count(shdlcTimerT3));
    TShdlc* second = nullptr;
    EXPECT_EQ(shdlcOpen(2, [](void*, uint32_t, void*, uint32_t, uint32_t) {}, nullptr, 0, &second), -1);
    EXPECT_EQ(second, nullptr);
    EXPECT_TRUE(trace.contains("shdlc: ! no free link"));
    link.peer.sendSFrame(0xC0);   // a stray RR(0) while connected changes nothing
    link.pump();
    EXPECT_EQ(link.established, 1);
    EXPECT_EQ(link.lockDepth, 0);
}

TEST(ShdlcLink, FramesCrossBothWaysInOrderAndAreConfirmed) {
    for (Framing framing : {Framing::flag, Framing::length}) {
        Link link(framing);
        link.up(2, framing == Framing::length ? uint32_t{SHDLC_LENGTH_MODE} : 0u);
        for (uint8_t i = 0; i < 4; ++i) ASSERT_EQ(link.send(Bytes{i, 0x7E, 0x7D, i}), 0);
        link.pump();
        for (uint8_t i = 0; i < 10; ++i) link.peer.send(Bytes{0x81, i});
        link.pump();
        for (uint8_t i = 4; i < 12; ++i) {   // wraps the sequence numbers
            ASSERT_EQ(link.send(Bytes{i}), 0);
            link.pump();
        }
        const auto got = link.peer.received();
        ASSERT_EQ(got.size(), 12u);
        EXPECT_EQ(got[0], (Bytes{0, 0x7E, 0x7D, 0}));
        EXPECT_EQ(got[11], Bytes{11});
        ASSERT_EQ(link.received.size(), 10u);
        for (uint8_t i = 0; i < 10; ++i) EXPECT_EQ(link.received[i], (Bytes{0x81, i}));
        ASSERT_EQ(link.completions.size(), 12u);
        for (size_t i = 0; i < 12; ++i) {
            EXPECT_EQ(link.completions[i].buffer, link.payloads[i].data());
            EXPECT_EQ(link.completions[i].status, 0u);
        }
        EXPECT_FALSE(link.timers.count(shdlcTimerT2));
        EXPECT_EQ(link.peer.badFrames(), 0u);
        EXPECT_EQ(link.buffersOut(), 1u);   // the receive buffer it holds for the next frame
    }
}

TEST(ShdlcFraming, FlagAndEscapeBytesAreEscapedInPayloadAndFcs) {
    // A payload whose FCS holds a flag byte.
    Bytes payload{0x00, 0x00};
    for (int v = 0; v < 0x10000; ++v) {
        payload = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
        Bytes covered{0x00, 0x80};
        covered.insert(covered.end(), payload.begin(), payload.end());
        const uint16_t fcs = shdlcsim::fcsOf(covered.data(), covered.size());
        if ((fcs & 0xFF) == 0x7E || fcs >> 8 == 0x7E) break;
    }
    Link link(Framing::flag);
    link.up();
    link.writes.clear();
    ASSERT_EQ(link.send(payload), 0);
    ASSERT_EQ(link.send(Bytes{0x7E, 0x7D}), 0);
    link.pump();
    ASSERT_GE(link.writes.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        const Bytes& w = link.writes[i];
        EXPECT_EQ(std::count(w.begin(), w.end(), 0x7E), 2) << "frame " << i;   // only the two flags
    }
    const Bytes escaped{0x7D, 0x5E, 0x7D, 0x5D};
    EXPECT_NE(std::search(link.writes[1].begin(), link.writes[1].end(), escaped.begin(), escaped.end()), link.writes[1].end());
    const auto got = link.peer.received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], payload);
    EXPECT_EQ(got[1], (Bytes{0x7E, 0x7D}));
    EXPECT_EQ(link.peer.badFrames(), 0u);
}

TEST(ShdlcFraming, TheBaudRateResetCarriesTheRateCode) {
    Link link(Framing::length);
    link.peer.setAnswerRset(false);
    ASSERT_EQ(link.open(2, SHDLC_LENGTH_MODE | SHDLC_BAUD_CHANGE | 7u << 16), 0);
    ASSERT_EQ(link.writes.size(), 1u);
    const Bytes& rset = link.writes[0];
    ASSERT_EQ(rset.size(), 7u);
    EXPECT_EQ(Bytes(rset.begin(), rset.begin() + 5), (Bytes{0x06, 0xF9, 0x02, 0x00, 0x07}));
    link.pump();
    ASSERT_EQ(framesOf(link.peer, 0xF9).size(), 1u);
    EXPECT_TRUE(framesOf(link.peer, 0xF9)[0].fcsGood);
}

TEST(ShdlcFraming, ARepeatedFrameReachesTheUpperLayerOnce) {
    for (uint32_t repeats : {1u, 2u}) {
        TraceCapture trace;
        Link link(Framing::flag);
        link.up();
        link.peer.repeatNextOutgoing(repeats);
        link.peer.send(Bytes{0x42});
        link.pump();
        ASSERT_EQ(link.received.size(), 1u) << repeats;
        EXPECT_EQ(trace.count("shdlc: repeated I-Frame ignored"), 1u);
        EXPECT_EQ(trace.count("repeated I-Frame count exceeded. letting through"), repeats - 1);
        link.peer.send(Bytes{0x43});
        link.pump();
        EXPECT_EQ(link.received.size(), 2u);
    }
}

TEST(ShdlcFraming, AFrameLongerThanTheBufferIsDroppedUpToTheNextFlag) {
    TraceCapture trace;
    Link link(Framing::flag);
    link.up();
    Bytes junk(300, 0x55);
    junk.front() = 0x7E;
    link.toLink = junk;
    link.pump();
    EXPECT_TRUE(trace.contains("shdlc: ! RxBuffer too short"));
    EXPECT_TRUE(link.received.empty());
    link.peer.send(Bytes{1, 2, 3});
    link.pump();
    ASSERT_EQ(link.received.size(), 1u);
    EXPECT_EQ(link.received[0], (Bytes{1, 2, 3}));
}

TEST(ShdlcRecovery, LostAndCorruptedFramesAreSentAgainWithoutDuplicates) {
    Link link(Framing::flag);
    link.up();
    link.peer.dropNextIncoming(1);   // the link's first I-frame never arrives
    ASSERT_EQ(link.send(Bytes{1}), 0);
    ASSERT_EQ(link.send(Bytes{2}), 0);
    link.pump();                     // the second is out of sequence: one REJ, both sent again
    link.peer.corruptNextFcs(1);     // the peer's frame arrives damaged
    link.peer.send(Bytes{9});
    link.pump();
    EXPECT_TRUE(link.received.empty());
    link.peer.resendUnacknowledged();
    link.pump();
    link.peer.dropNextOutgoing(1);   // the peer's confirmation of the next frame is lost
    ASSERT_EQ(link.send(Bytes{3}), 0);
    link.pump();
    link.expire(shdlcTimerT2);
    EXPECT_EQ(link.peer.received(), (std::vector<Bytes>{{1}, {2}, {3}}));
    EXPECT_EQ(link.received, std::vector<Bytes>{{9}});
    ASSERT_EQ(link.completions.size(), 3u);
    EXPECT_FALSE(link.timers.count(shdlcTimerT2));
    EXPECT_EQ(link.lost, 0);
}

TEST(ShdlcRecovery, RejWithNothingMissingIsTakenAsRr) {
    TraceCapture trace;
    Link link(Framing::flag);
    link.up();
    link.peer.setSilent(true);
    ASSERT_EQ(link.send(Bytes{1}), 0);
    link.pump();
    link.peer.setSilent(false);
    const size_t sent = iFrames(link.peer);
    link.toLink = shdlcsim::encode(Framing::flag, 0xC8 | 1, {});   // REJ(1): V(S) is 1
    link.pump();
    EXPECT_TRUE(trace.contains("shdlc: REJ without delta, treating as RR"));
    EXPECT_EQ(iFrames(link.peer), sent);
    ASSERT_EQ(link.completions.size(), 1u);
    EXPECT_EQ(link.flushes, 0);
}

TEST(ShdlcRecovery, OneRejGoesOutPerEpisodeOfLostFrames) {
    Link link(Framing::flag);
    link.up();
    // I-frames of the controller with N(S) ahead of V(R), each with other data (no repetition).
    auto iFrame = [&](uint8_t ns, uint8_t data) {
        link.toLink = shdlcsim::encode(Framing::flag, static_cast<uint8_t>(0x80 | ns << 3), {0x81, data});
        link.pump();
    };
    for (uint8_t k = 0; k < 7; ++k) iFrame(1, k);
    EXPECT_EQ(framesOf(link.peer, 0xC8).size(), 1u);   // REJ(0), once for the whole gap
    iFrame(0, 0x10);                                  // the lost frame: V(R) is 1 now
    for (uint8_t k = 0; k < 7; ++k) iFrame(3, k);     // a gap of its own
    EXPECT_EQ(framesOf(link.peer, 0xC9).size(), 1u);
    EXPECT_EQ(link.received, std::vector<Bytes>{(Bytes{0x81, 0x10})});
}

struct BadNrCase {
    uint8_t control;   // with N(R) 5 while one frame is unacknowledged
    bool resets;
    bool passesUp;
};

TEST(ShdlcRecovery, AnInvalidNrAcknowledgesNothing) {
    const BadNrCase cases[] = {{0x85, false, true}, {0xC5, false, false}, {0xD5, true, false}, {0xCD, true, false}};
    for (const auto& c : cases) {
        Link link(Framing::flag);
        link.up();
        link.peer.setSilent(true);
        ASSERT_EQ(link.send(Bytes{1}), 0);
        link.pump();
        link.peer.setSilent(false);
        link.peer.setAnswerRset(false);   // the check sees the link before any recovery
        const uint32_t rsets = link.peer.rsetCount();
        link.toLink = shdlcsim::encode(Framing::flag, c.control, c.passesUp ? Bytes{7} : Bytes{});
        link.pump();
        EXPECT_TRUE(link.completions.empty()) << std::hex << int{c.control};
        EXPECT_EQ(link.peer.rsetCount() > rsets, c.resets) << std::hex << int{c.control};
        EXPECT_EQ(link.received.size(), c.passesUp ? 1u : 0u);
    }
    Link empty(Framing::flag);   // nothing sent: a confirmation of frames never sent pops nothing
    empty.up();
    empty.toLink = shdlcsim::encode(Framing::flag, 0xC3, {});
    empty.pump();
    EXPECT_TRUE(empty.completions.empty());
    ASSERT_EQ(empty.send(Bytes{1}), 0);
    empty.pump();
    EXPECT_EQ(empty.completions.size(), 1u);
}

TEST(ShdlcRecovery, AProtocolErrorResetsTheLinkAndResendsWhatWasNotConfirmed) {
    Link link(Framing::flag);
    link.up();
    link.peer.dropNextIncoming(2);
    ASSERT_EQ(link.send(Bytes{1}), 0);
    ASSERT_EQ(link.send(Bytes{2}), 0);
    link.pump();
    link.toLink = shdlcsim::encode(Framing::flag, 0xD5, {});   // RNR(5): a protocol error
    link.pump();
    EXPECT_EQ(link.peer.rsetCount(), 2u);
    EXPECT_EQ(shdlcState(link.s), 2);
    EXPECT_EQ(link.established, 1);
    EXPECT_EQ(link.peer.received(), (std::vector<Bytes>{{1}, {2}}));
    ASSERT_EQ(link.completions.size(), 2u);
    EXPECT_EQ(link.completions[0].status, 0u);
    EXPECT_EQ(link.lost, 0);
}

TEST(ShdlcLinkLoss, ElevenT2ExpiriesGiveUpTheFrameAndLoseTheLinkOnce) {
    TraceCapture trace;
    Link link(Framing::flag);
    link.up();
    link.peer.setSilent(true);
    ASSERT_EQ(link.send(Bytes{1}), 0);
    link.pump();
    for (int i = 0; i < 10; ++i) link.expire(shdlcTimerT2);
    EXPECT_EQ(iFrames(link.peer), 11u);
    EXPECT_EQ(link.lost, 0);
    link.expire(shdlcTimerT2);
    EXPECT_EQ(link.lost, 1);
    ASSERT_EQ(link.completions.size(), 1u);
    EXPECT_NE(link.completions[0].status, 0u);
    EXPECT_TRUE(trace.contains("! shdlc: repeated i-frame > 10 times. Enforcing reset."));
    EXPECT_TRUE(link.timers.empty());
    shdlcTimerExpired(link.s, shdlcTimerT2);
    shdlcTimerExpired(link.s, shdlcTimerT3);
    EXPECT_EQ(link.lost, 1);
}

TEST(ShdlcLinkLoss, TwentyUnansweredResetsLoseTheLinkOnce) {
    Link link(Framing::length);
    link.peer.setAnswerRset(false);
    ASSERT_EQ(link.open(2, SHDLC_LENGTH_MODE), 0);
    link.pump();
    for (int i = 0; i < 20; ++i) link.expire(shdlcTimerT3);
    EXPECT_EQ(link.peer.rsetCount(), 21u);
    EXPECT_EQ(link.lost, 0);
    link.expire(shdlcTimerT3);
    EXPECT_EQ(link.lost, 1);
    EXPECT_EQ(link.peer.rsetCount(), 21u);
    EXPECT_EQ(link.t3Values.front(), 100u);
    EXPECT_EQ(link.t3Values.back(), 200u);
    EXPECT_TRUE(link.timers.empty());
    shdlcTimerExpired(link.s, shdlcTimerT3);
    EXPECT_EQ(link.lost, 1);
}

TEST(ShdlcLinkLoss, AResetFromThePeerLosesTheLinkOnce) {
    Link link(Framing::flag);
    link.up();
    link.peer.sendRset();
    link.pump();
    EXPECT_EQ(link.lost, 1);
    link.peer.send(Bytes{1});
    link.pump();
    EXPECT_TRUE(link.received.empty());
    EXPECT_EQ(link.lost, 1);
}

TEST(ShdlcSend, RefusesWhatCannotBeFramedOrQueued) {
    for (auto [framing, flags, largest] : {std::tuple{Framing::flag, 0u, 123u}, std::tuple{Framing::length, uint32_t{SHDLC_LENGTH_MODE}, 252u}}) {
        Link link(framing);
        link.up(2, flags);
        EXPECT_EQ(link.send(Bytes(largest + 1, 0x7E)), -1);
        EXPECT_EQ(link.send(Bytes(largest, 0x7E)), 0);
        link.pump();
        ASSERT_EQ(link.peer.received().size(), 1u);
        EXPECT_EQ(link.peer.received()[0].size(), largest);
    }
    Link link(Framing::flag);
    link.up();
    link.peer.setSilent(true);
    for (uint8_t i = 0; i < 4; ++i) EXPECT_EQ(link.send(Bytes{i}), 0);
    EXPECT_EQ(link.send(Bytes{4}), -1);
}

TEST(ShdlcClose, FramesNeverConfirmedCompleteAsFailedAndEveryBufferReturns) {
    Link link(Framing::flag);
    link.up();
    link.peer.setSilent(true);
    for (uint8_t i = 0; i < 3; ++i) ASSERT_EQ(link.send(Bytes{i}), 0);
    link.pump();
    link.toLink = {0x7E, 0x00, 0x80};   // a frame cut short
    link.pump();
    ASSERT_EQ(shdlcClose(link.s), 0);
    ASSERT_EQ(link.completions.size(), 3u);
    for (const auto& c : link.completions) EXPECT_NE(c.status, 0u);
    EXPECT_EQ(link.buffersOut(), 0u);
    EXPECT_TRUE(link.timers.empty());
    EXPECT_EQ(link.flushes, 1);
    EXPECT_EQ(shdlcClose(link.s), -1);
    link.s = nullptr;
}
