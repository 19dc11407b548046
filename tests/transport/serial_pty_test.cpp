// The serial front end on a pseudo-terminal: the test or a scripted peer plays the device on
// the master side.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <termios.h>

#include "com_events.h"
#include "fake_serial_port.h"
#include "pty_pair.h"
#include "scripted_peer.h"
#include "trace_capture.h"
#include "transport/serialchannelposix.h"
#include "transport/serialfrontend.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t XON = 0x11;
constexpr uint8_t XOFF = 0x13;

Bytes frame(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t k = 0; k < n; ++k) b[k] = static_cast<uint8_t>(seed + k * 7);
    return b;
}

Bytes concat(const std::vector<Bytes>& frames, size_t count) {
    Bytes all;
    for (size_t k = 0; k < count; ++k) all.insert(all.end(), frames[k].begin(), frames[k].end());
    return all;
}

struct SerialPty : ::testing::Test {
    PtyPair pty;
    ComEvents events;
    TComHandle handle = nullptr;

    void SetUp() override { ASSERT_TRUE(pty.ok()); }
    void TearDown() override { closeNow(); }

    void closeNow() {
        if (handle) {
            EXPECT_EQ(comClose(handle), COM_SUCCESS);
        }
        handle = nullptr;
    }

    DWORD open(const char* parameters = "") {
        DWORD status = comOpen(pty.slavePath().c_str(), parameters, &ComEvents::callBack, &events, &handle);
        if (status == COM_SUCCESS) {
            EXPECT_TRUE(events.waitFor(comeOpenCompleted));
        }
        return status;
    }
    DWORD write(Bytes& b) { return comWrite(handle, b.data(), static_cast<DWORD>(b.size())); }
    CSerialChannelPosix& channel() { return *static_cast<CSerialChannelPosix*>(static_cast<CCommChannel*>(handle)); }

    // Stops the channel's output as a peer with software flow control does. The marker behind
    // the XOFF comes through once the line discipline has taken the XOFF.
    void holdOutput() {
        size_t before = events.received().size();
        ASSERT_TRUE(pty.write({XOFF, 'M'}));
        ASSERT_TRUE(events.waitReceived(before + 1));
    }
    void releaseOutput() { ASSERT_TRUE(pty.write({XON})); }
};

} // namespace

TEST_F(SerialPty, BytesTravelBothWaysInOrder) {
    ASSERT_EQ(open(), COM_SUCCESS);
    std::vector<Bytes> frames = {frame(1, 1), frame(700, 2), frame(2048, 3), frame(5, 4)};
    Bytes replyA = frame(1500, 9), replyB = frame(900, 11);
    ScriptedPeer peer(pty, {ScriptedPeer::send(replyA), ScriptedPeer::expect(concat(frames, frames.size())),
                            ScriptedPeer::send(replyB)});
    for (auto& f : frames) ASSERT_EQ(write(f), COM_SUCCESS);
    EXPECT_EQ(peer.wait(), "");

    Bytes reply = concat({replyA, replyB}, 2);
    ASSERT_TRUE(events.waitReceived(reply.size()));
    EXPECT_EQ(events.received(), reply);
    ASSERT_TRUE(events.waitFor(comeTransmitCompleted, frames.size()));
    auto done = events.of(comeTransmitCompleted);
    ASSERT_EQ(done.size(), frames.size());
    for (size_t k = 0; k < frames.size(); ++k) {
        EXPECT_EQ(done[k].status, COM_SUCCESS);
        EXPECT_EQ(done[k].buffer, frames[k].data());
        EXPECT_EQ(done[k].length, frames[k].size());
    }
}

TEST_F(SerialPty, FrameIsCopiedWhenWritten) {
    ASSERT_EQ(open("handShake=1"), COM_SUCCESS);
    holdOutput();
    Bytes f = frame(64, 5);
    const Bytes original = f;
    ASSERT_EQ(write(f), COM_SUCCESS);
    std::fill(f.begin(), f.end(), 0xEE);   // the caller reuses its buffer at once
    releaseOutput();
    EXPECT_EQ(pty.readExact(original.size(), 5000), original);
}

TEST_F(SerialPty, OneWriteInFlightAndTheQueueHoldsTwenty) {
    ASSERT_EQ(open("handShake=1"), COM_SUCCESS);
    holdOutput();
    Bytes tooLong = frame(2049, 1);
    EXPECT_EQ(write(tooLong), COM_ERR_TOO_LONG);

    std::vector<Bytes> frames;
    for (uint8_t k = 0; k < 21; ++k) frames.push_back(frame(100, k));
    for (size_t k = 0; k < 20; ++k) ASSERT_EQ(write(frames[k]), COM_SUCCESS) << k;
    EXPECT_EQ(write(frames[20]), COM_ERR_NO_RESOURCES);
    EXPECT_TRUE(eventually([&] { return channel().writesInFlight() == 1 && channel().pendingWrites() == 19; }));
    EXPECT_EQ(events.count(comeTransmitCompleted), 0u);

    releaseOutput();
    Bytes expected = concat(frames, 20);
    EXPECT_EQ(pty.readExact(expected.size(), 5000), expected);
    ASSERT_TRUE(events.waitFor(comeTransmitCompleted, 20));
    auto done = events.of(comeTransmitCompleted);
    for (size_t k = 0; k < 20; ++k) {
        EXPECT_EQ(done[k].buffer, frames[k].data()) << k;
        EXPECT_EQ(done[k].status, COM_SUCCESS) << k;
    }
}

TEST_F(SerialPty, ResetCompletesTheDroppedWritesWithAnError) {
    ASSERT_EQ(open("handShake=1"), COM_SUCCESS);
    holdOutput();
    Bytes a = frame(10, 1), b = frame(20, 2), c = frame(30, 3);
    for (Bytes* f : {&a, &b, &c}) ASSERT_EQ(write(*f), COM_SUCCESS);
    ASSERT_TRUE(eventually([&] { return channel().writesInFlight() == 1; }));

    EXPECT_EQ(comReset(handle), COM_SUCCESS);
    auto done = events.of(comeTransmitCompleted);
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(done[0].buffer, b.data());
    EXPECT_EQ(done[1].buffer, c.data());
    for (const auto& d : done) EXPECT_EQ(d.status, COM_ERR_STATE);

    // The write in flight goes on.
    releaseOutput();
    EXPECT_EQ(pty.readExact(a.size(), 5000), a);
    ASSERT_TRUE(events.waitFor(comeTransmitCompleted, 3));
    EXPECT_EQ(events.of(comeTransmitCompleted)[2].buffer, a.data());
    EXPECT_EQ(events.of(comeTransmitCompleted)[2].status, COM_SUCCESS);
}

TEST_F(SerialPty, PortIsExclusiveAndOpensAgainAfterClose) {
    ASSERT_EQ(open(), COM_SUCCESS);
    {
        TraceCapture trace;
        ComEvents other;
        TComHandle second = &other;
        EXPECT_EQ(comOpen(pty.slavePath().c_str(), "", &ComEvents::callBack, &other, &second), COM_ERR_OPEN);
        EXPECT_EQ(second, nullptr);
        EXPECT_TRUE(trace.contains("! can't open COM device <" + pty.slavePath() + ">"));
    }
    TComHandle old = handle;
    handle = nullptr;
    EXPECT_EQ(comClose(old), COM_SUCCESS);
    EXPECT_EQ(events.count(comeCloseCompleted), 1u);
    Bytes b = frame(3, 1);
    EXPECT_EQ(comWrite(old, b.data(), 3), COM_ERR_HANDLE);
    EXPECT_EQ(comClose(old), COM_ERR_HANDLE);

    ComEvents again;
    ASSERT_EQ(comOpen(pty.slavePath().c_str(), "", &ComEvents::callBack, &again, &handle), COM_SUCCESS);
    ASSERT_TRUE(again.waitFor(comeOpenCompleted));
    ASSERT_TRUE(pty.write({1, 2, 3}));
    ASSERT_TRUE(again.waitReceived(3));
    EXPECT_EQ(again.received(), (Bytes{1, 2, 3}));
    ASSERT_EQ(write(b), COM_SUCCESS);
    EXPECT_EQ(pty.readExact(3, 5000), b);
    closeNow();   // before the events it reports to go
}

TEST_F(SerialPty, PeerRemovalIsReportedOnceAndQueuedWritesComplete) {
    ASSERT_EQ(open("handShake=1"), COM_SUCCESS);
    holdOutput();
    Bytes a = frame(10, 1), b = frame(20, 2);
    ASSERT_EQ(write(a), COM_SUCCESS);
    ASSERT_EQ(write(b), COM_SUCCESS);
    ASSERT_TRUE(eventually([&] { return channel().writesInFlight() == 1; }));

    pty.hangUp();
    ASSERT_TRUE(events.waitFor(comeAdapterPlugout));
    EXPECT_EQ(write(a), COM_ERR_STATE);
    closeNow();
    EXPECT_EQ(events.count(comeAdapterPlugout), 1u);
    EXPECT_EQ(events.count(comeCloseCompleted), 1u);
    auto done = events.of(comeTransmitCompleted);
    ASSERT_EQ(done.size(), 2u);
    for (const auto& d : done) EXPECT_NE(d.status, COM_SUCCESS);

    PtyPair next;
    ComEvents again;
    ASSERT_EQ(comOpen(next.slavePath().c_str(), "", &ComEvents::callBack, &again, &handle), COM_SUCCESS);
    ASSERT_TRUE(again.waitFor(comeOpenCompleted));
    ASSERT_TRUE(next.write({7}));
    EXPECT_TRUE(again.waitReceived(1));
    closeNow();
}

TEST_F(SerialPty, CloseFromInsideTheCallbackIsFinishedByTheNextOpen) {
    TraceCapture trace;
    std::atomic<DWORD> inside{0xFFFF};
    std::atomic<TComHandle> self{nullptr};
    events.onEvent = [&](DWORD event) {
        if (event == comeDataReceived && inside == 0xFFFF) inside = comClose(self.load());
    };
    ASSERT_EQ(open(), COM_SUCCESS);
    self = handle;
    ASSERT_TRUE(pty.write({1}));
    ASSERT_TRUE(events.waitFor(comeDataReceived));
    EXPECT_EQ(inside.load(), COM_ERR_STATE);
    Bytes b = frame(3, 1);
    EXPECT_EQ(write(b), COM_ERR_HANDLE);
    handle = nullptr;
    EXPECT_TRUE(trace.contains("signalization (event 0x3) pending, close not allowed"));
    EXPECT_TRUE(trace.contains("don't delete channel here, signal pending"));

    EXPECT_EQ(events.count(comeCloseCompleted), 0u);

    ComEvents again;
    ASSERT_EQ(comOpen(pty.slavePath().c_str(), "", &ComEvents::callBack, &again, &handle), COM_SUCCESS);
    ASSERT_TRUE(again.waitFor(comeOpenCompleted));
    EXPECT_EQ(events.count(comeCloseCompleted), 1u);   // the close, once it got through
    ASSERT_TRUE(pty.write({2}));
    ASSERT_TRUE(again.waitReceived(1));
    EXPECT_EQ(again.received(), Bytes{2});
    EXPECT_EQ(events.count(comeDataReceived), 1u);
    closeNow();
}

TEST_F(SerialPty, CloseGivesUpOnAHeldCallbackAndACloseAgainFinishesIt) {
    TraceCapture trace;
    std::mutex m;
    std::condition_variable cv;
    bool entered = false, released = false;
    events.onEvent = [&](DWORD event) {
        if (event != comeDataReceived) return;
        std::unique_lock<std::mutex> g(m);
        entered = true;
        cv.notify_all();
        cv.wait_for(g, std::chrono::seconds(30), [&] { return released; });
    };
    ASSERT_EQ(open(), COM_SUCCESS);
    ASSERT_TRUE(pty.write({1}));
    {
        std::unique_lock<std::mutex> g(m);
        ASSERT_TRUE(cv.wait_for(g, std::chrono::seconds(5), [&] { return entered; }));
    }
    const TComHandle closing = handle;
    EXPECT_EQ(comClose(handle), COM_ERR_STATE);   // after a bounded wait for the receive thread
    handle = nullptr;
    EXPECT_TRUE(trace.contains("! Timeout, Serial thread not exiting"));
    EXPECT_EQ(comClose(closing), COM_ERR_STATE);  // tried again while the callback still holds it
    {
        std::lock_guard<std::mutex> g(m);
        released = true;
        cv.notify_all();
    }
    EXPECT_EQ(comClose(closing), COM_SUCCESS);    // and once more when it has let go
    EXPECT_EQ(events.count(comeCloseCompleted), 1u);
    EXPECT_EQ(comClose(closing), COM_ERR_HANDLE);

    ComEvents again;
    ASSERT_EQ(comOpen(pty.slavePath().c_str(), "", &ComEvents::callBack, &again, &handle), COM_SUCCESS);
    ASSERT_TRUE(again.waitFor(comeOpenCompleted));
    ASSERT_TRUE(pty.write({2}));
    EXPECT_TRUE(again.waitReceived(1));
    closeNow();
}

TEST_F(SerialPty, FrameDelaySpacesWritesAndCloseCutsItShort) {
    using Clock = std::chrono::steady_clock;
    ASSERT_EQ(open("txFrameDelay=60"), COM_SUCCESS);
    Bytes a = frame(4, 1), b = frame(4, 2);
    auto start = Clock::now();
    ASSERT_EQ(write(a), COM_SUCCESS);
    ASSERT_EQ(write(b), COM_SUCCESS);
    EXPECT_EQ(pty.readExact(8, 5000), concat({a, b}, 2));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(60));
    ASSERT_TRUE(events.waitFor(comeTransmitCompleted, 2));
    for (const auto& d : events.of(comeTransmitCompleted)) EXPECT_NE(d.thread, std::this_thread::get_id());
    closeNow();

    ComEvents slow;
    ASSERT_EQ(comOpen(pty.slavePath().c_str(), "txFrameDelay=100000", &ComEvents::callBack, &slow, &handle),
              COM_SUCCESS);
    ASSERT_TRUE(slow.waitFor(comeOpenCompleted));
    ASSERT_EQ(write(a), COM_SUCCESS);
    ASSERT_EQ(write(b), COM_SUCCESS);
    EXPECT_EQ(pty.readExact(4, 5000), a);
    closeNow();   // the pause before b ends with the close
    auto done = slow.of(comeTransmitCompleted);
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(done[1].buffer, b.data());
    EXPECT_EQ(done[1].status, COM_ERR_STATE);
}

TEST(SerialPtySettings, LineIsSetAsConfiguredAndNeverHungUp) {
    // A pseudo-terminal keeps the speed, the stop bits, the flow control and the parity
    // sense; it always reports 8 data bits and no parity check.
    struct Case {
        const char* text;
        DWORD status;
        speed_t speed;
        bool twoStopBits, rtsCts, xonXoff, odd;
    } cases[] = {
        {"", COM_SUCCESS, B115200, false, true, false, false},
        {"baudrate=9600 stopbits=2 handShake=1 parity=2", COM_SUCCESS, B9600, true, false, true, true},
        {"BAUDRATE=57600 StopBits=1 noShake", COM_SUCCESS, B57600, false, false, false, false},
        {"baudrate=230400 handShake=4 parity=3", COM_SUCCESS, B230400, false, true, false, false},
        {"baudrate=0", COM_ERR_OPEN, B38400, false, false, false, false},
        {"baudrate=12345", COM_ERR_OPEN, B38400, false, false, false, false},
        {"baudrate=99999999999", COM_ERR_OPEN, B38400, false, false, false, false},
    };
    for (const auto& c : cases) {
        PtyPair pty;
        ASSERT_TRUE(pty.ok());
        termios tio{};
        ASSERT_EQ(tcgetattr(pty.masterFd(), &tio), 0);
        cfsetispeed(&tio, B38400);
        cfsetospeed(&tio, B38400);
        tio.c_cflag &= ~(CSTOPB | CRTSCTS | PARODD);
        ASSERT_EQ(tcsetattr(pty.masterFd(), TCSANOW, &tio), 0);

        ComEvents events;
        TComHandle handle = nullptr;
        EXPECT_EQ(comOpen(pty.slavePath().c_str(), c.text, &ComEvents::callBack, &events, &handle), c.status) << c.text;
        ASSERT_EQ(tcgetattr(pty.masterFd(), &tio), 0);
        EXPECT_EQ(cfgetospeed(&tio), c.speed) << c.text;
        EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.twoStopBits) << c.text;
        EXPECT_EQ((tio.c_cflag & CRTSCTS) != 0, c.rtsCts) << c.text;
        EXPECT_EQ((tio.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF), c.xonXoff) << c.text;
        EXPECT_EQ((tio.c_cflag & PARODD) != 0, c.odd) << c.text;
        if (handle) {
            EXPECT_EQ(comClose(handle), COM_SUCCESS) << c.text;
        }
    }
}

// ---- Writes from the writer's thread --------------------------------------------------------

TEST_F(SerialPty, AFrameTheIdlePortTakesIsWrittenAndCompletedOnTheWritersThread) {
    ASSERT_EQ(open(), COM_SUCCESS);
    Bytes f = frame(64, 7);
    ASSERT_EQ(write(f), COM_SUCCESS);
    auto done = events.of(comeTransmitCompleted);   // before write returned
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].buffer, f.data());
    EXPECT_EQ(done[0].length, f.size());
    EXPECT_EQ(done[0].status, COM_SUCCESS);
    EXPECT_EQ(done[0].thread, std::this_thread::get_id());
    EXPECT_EQ(pty.readExact(f.size(), 5000), f);
}

// The writer outruns the reader until the port refuses, so the frames travel both ways: from the
// writer's thread while the transmit thread is idle and through it while it has work.
TEST_F(SerialPty, FramesOfTheWriterAndOfTheTransmitThreadKeepTheirOrderUnderLoad) {
    ASSERT_EQ(open(), COM_SUCCESS);
    constexpr size_t kFrames = 400;
    std::vector<Bytes> frames;
    for (size_t k = 0; k < kFrames; ++k) frames.push_back(frame(1 + (k * 397) % CDataNode::kBufferSize, static_cast<uint8_t>(k)));
    const Bytes expected = concat(frames, kFrames);

    size_t written = 0;
    while (written < kFrames && channel().pendingWrites() + channel().writesInFlight() == 0)
        ASSERT_EQ(write(frames[written++]), COM_SUCCESS);
    ASSERT_LT(written, kFrames) << "the port never refused a frame";

    Bytes got;
    std::thread reader([&] { got = pty.readExact(expected.size(), 20000); });
    for (; written < kFrames; ++written) {
        // Room for the next frame: a node is free again once the next completion is reported.
        const size_t room = written + 2;
        ASSERT_TRUE(events.waitFor(comeTransmitCompleted,
                                   room > CSerialChannelPosix::kDataNodes ? room - CSerialChannelPosix::kDataNodes : 0));
        ASSERT_EQ(write(frames[written]), COM_SUCCESS) << written;
    }
    reader.join();
    EXPECT_TRUE(got == expected) << "got " << got.size() << " of " << expected.size() << " bytes";

    ASSERT_TRUE(events.waitFor(comeTransmitCompleted, kFrames));
    auto done = events.of(comeTransmitCompleted);
    ASSERT_EQ(done.size(), kFrames);
    size_t onWriter = 0;
    for (size_t k = 0; k < kFrames; ++k) {
        EXPECT_EQ(done[k].buffer, frames[k].data()) << k;
        EXPECT_EQ(done[k].length, frames[k].size()) << k;
        EXPECT_EQ(done[k].status, COM_SUCCESS) << k;
        onWriter += done[k].thread == std::this_thread::get_id();
    }
    EXPECT_GT(onWriter, 0u);
    EXPECT_LT(onWriter, kFrames);
}

TEST_F(SerialPty, CloseWhileAnotherThreadWritesCompletesEveryAcceptedWriteOnce) {
    ASSERT_EQ(open(), COM_SUCCESS);
    std::atomic<bool> drain{true};
    std::thread reader([&] {
        while (drain) pty.read(10);
    });
    std::vector<Bytes> frames;
    for (uint8_t k = 0; k < 200; ++k) frames.push_back(frame(700, k));
    std::atomic<size_t> accepted{0};
    std::atomic<bool> started{false};
    TComHandle writing = handle;
    std::thread writer([&, writing] {
        for (auto& f : frames) {
            const DWORD status = comWrite(writing, f.data(), static_cast<DWORD>(f.size()));
            started = true;
            if (status != COM_SUCCESS) break;
            ++accepted;
        }
    });
    ASSERT_TRUE(eventually([&] { return started.load(); }));
    TComHandle closing = handle;
    handle = nullptr;
    EXPECT_EQ(comClose(closing), COM_SUCCESS);
    writer.join();
    drain = false;
    reader.join();

    EXPECT_EQ(events.count(comeCloseCompleted), 1u);
    auto all = events.all();
    size_t completions = 0;
    bool afterClose = false;
    for (const auto& e : all) {
        if (e.event == comeCloseCompleted) afterClose = true;
        if (e.event != comeTransmitCompleted) continue;
        EXPECT_FALSE(afterClose) << "a completion after the close was reported";
        EXPECT_TRUE(e.status == COM_SUCCESS || e.status == COM_ERR_STATE) << e.status;
        EXPECT_EQ(e.buffer, frames[completions].data()) << completions;
        ++completions;
    }
    EXPECT_EQ(completions, accepted.load());
}

TEST(SerialDirectWrite, WhatThePortDoesNotTakeAtOnceGoesToTheTransmitThread) {
    auto port = std::make_shared<FakePortState>();
    port->takesAtOnce = 2;   // less than any frame here
    ComEvents events;
    CSerialChannelPosix channel{std::make_unique<FakeSerialPort>(port)};
    ASSERT_EQ(channel.open("COM1", &ComEvents::callBack, &events), COM_SUCCESS);
    ASSERT_TRUE(events.waitFor(comeOpenCompleted));

    Bytes a = frame(12, 1), b = frame(3, 2), c = frame(40, 3);
    for (Bytes* f : {&a, &b, &c}) ASSERT_EQ(channel.write(f->data(), static_cast<DWORD>(f->size())), COM_SUCCESS);
    ASSERT_TRUE(events.waitFor(comeTransmitCompleted, 3));
    {
        std::lock_guard<std::mutex> g(port->m);
        EXPECT_EQ(port->wire, concat({a, b, c}, 3));
    }
    auto done = events.of(comeTransmitCompleted);
    ASSERT_EQ(done.size(), 3u);
    const Bytes* frames[] = {&a, &b, &c};
    for (size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(done[k].buffer, frames[k]->data()) << k;
        EXPECT_EQ(done[k].length, frames[k]->size()) << k;
        EXPECT_EQ(done[k].status, COM_SUCCESS) << k;
        EXPECT_NE(done[k].thread, std::this_thread::get_id()) << k;
    }
    EXPECT_EQ(channel.close(), COM_SUCCESS);
    EXPECT_EQ(events.count(comeTransmitCompleted), 3u);
}
