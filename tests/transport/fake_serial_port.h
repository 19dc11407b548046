// A scripted port behind the serial channel's port operations: it stands in for line events,
// modem lines and open results that a pseudo-terminal cannot give.
#pragma once

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "serialport.h"

struct FakePortState {
    std::mutex m;
    std::condition_variable cv;
    std::deque<PlatSerialReceive> script;        // what receive() answers next
    std::map<std::string, int> openErrors;       // by path; others open
    std::string path;                            // last opened
    bool open = false;
    bool stopped = false;
    int wakes = 0;
    PlatSerialLine line{38400, 8, PlatParity::Odd, 1, PlatFlow::None};
    int setLineCalls = 0;
    uint32_t modemStatus = 0;
    uint32_t lineErrors = 0;
    uint32_t raisedLines = 0;                    // DTR and RTS as last set
    uint32_t eventMask = 0;
    uint32_t takesAtOnce = 0;                    // what transmitNow takes of a frame
    std::vector<uint8_t> wire;                   // every byte transmitted, in order

    void push(PlatSerialWake wake, uint32_t events = 0) {
        std::lock_guard<std::mutex> g(m);
        PlatSerialReceive r;
        r.wake = wake;
        r.events = events;
        r.error = wake == PlatSerialWake::Gone ? EIO : 0;
        script.push_back(r);
        cv.notify_all();
    }
};

class FakeSerialPort final : public PlatSerialPort {
public:
    explicit FakeSerialPort(std::shared_ptr<FakePortState> state) : s_(std::move(state)) {}

    int open(const std::string& path) override {
        std::lock_guard<std::mutex> g(s_->m);
        auto it = s_->openErrors.find(path);
        if (it != s_->openErrors.end()) return it->second;
        s_->path = path;
        s_->open = true;
        s_->stopped = false;
        return 0;
    }
    void close() override {
        std::lock_guard<std::mutex> g(s_->m);
        s_->open = false;
    }
    bool isOpen() const override {
        std::lock_guard<std::mutex> g(s_->m);
        return s_->open;
    }
    int handle() const override { return isOpen() ? 77 : -1; }
    int getLine(PlatSerialLine& line) override {
        std::lock_guard<std::mutex> g(s_->m);
        line = s_->line;
        return 0;
    }
    // Refuses what a tty refuses: no speed (it would hang up) and sizes it has no code for.
    int setLine(const PlatSerialLine& line) override {
        std::lock_guard<std::mutex> g(s_->m);
        if (line.baudRate == 0 || line.byteSize < 5 || line.byteSize > 8) return EINVAL;
        s_->line = line;
        ++s_->setLineCalls;
        return 0;
    }
    int setModemLines(uint32_t lines, bool on) override {
        std::lock_guard<std::mutex> g(s_->m);
        s_->raisedLines = on ? (s_->raisedLines | lines) : (s_->raisedLines & ~lines);
        return 0;
    }
    int modemStatus(uint32_t& status) override {
        std::lock_guard<std::mutex> g(s_->m);
        status = s_->modemStatus;
        return 0;
    }
    int takeLineErrors(uint32_t& errors) override {
        std::lock_guard<std::mutex> g(s_->m);
        errors = s_->lineErrors;
        s_->lineErrors = 0;
        return 0;
    }
    int setBreak(bool) override { return 0; }
    int purge(bool, bool) override { return 0; }
    void setEventMask(uint32_t mask) override {
        std::lock_guard<std::mutex> g(s_->m);
        s_->eventMask = mask;
    }
    PlatSerialReceive receive(uint8_t*, uint32_t, bool) override {
        std::unique_lock<std::mutex> g(s_->m);
        s_->cv.wait(g, [&] { return s_->stopped || s_->wakes > 0 || !s_->script.empty(); });
        PlatSerialReceive r;
        if (s_->stopped) {
            r.wake = PlatSerialWake::Stop;
        } else if (s_->wakes > 0) {
            --s_->wakes;
            r.wake = PlatSerialWake::Control;
        } else {
            r = s_->script.front();
            s_->script.pop_front();
        }
        return r;
    }
    PlatSerialTransmit transmit(const uint8_t* data, uint32_t length) override {
        std::lock_guard<std::mutex> g(s_->m);
        s_->wire.insert(s_->wire.end(), data, data + length);
        PlatSerialTransmit t;
        t.result = PlatSerialSent::Done;
        t.written = length;
        return t;
    }
    PlatSerialTransmit transmitNow(const uint8_t* data, uint32_t length) override {
        std::lock_guard<std::mutex> g(s_->m);
        PlatSerialTransmit t;
        t.written = std::min(length, s_->takesAtOnce);
        s_->wire.insert(s_->wire.end(), data, data + t.written);
        if (t.written == length) t.result = PlatSerialSent::Done;
        else t.error = EAGAIN;
        return t;
    }
    void wakeReceiver() override {
        std::lock_guard<std::mutex> g(s_->m);
        ++s_->wakes;
        s_->cv.notify_all();
    }
    void stop() override {
        std::lock_guard<std::mutex> g(s_->m);
        s_->stopped = true;
        s_->cv.notify_all();
    }

private:
    std::shared_ptr<FakePortState> s_;
};
