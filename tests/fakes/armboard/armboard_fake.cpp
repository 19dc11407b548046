// A fake of the ARM evaluation board library with one simulated controller behind it. As the
// board does, it waits for the interrupt line up to the sense time-out set last (0xFFFF: about
// a minute), and a cancel ends only a wait that is in progress: it is not kept for a later one.
#include "armboard_fake.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "transport/armboard_api.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr uint16_t kErrorTimeout = 0x0102;

struct Fake {
    std::mutex m;
    std::condition_variable cv;
    bool failOpen = false;
    uint64_t cancels = 0;          // cancels so far; a wait ends on one that comes while it runs
    bool holdWaits = false;        // callers of the interrupt wait stop on their way into it
    uint32_t held = 0;             // callers stopped so
    uint32_t waitMs = 20;
    uint16_t lastError = 0;
    std::deque<std::vector<uint8_t>> packets;
    std::vector<uint8_t> reading;
    std::deque<uint8_t> writeStatuses;
    size_t writeCalls = 0;
    std::vector<std::vector<uint8_t>> writes;
    std::vector<std::string> calls;
    int handle = 0;
    ArmFakeWriteHook hook = nullptr;
    void* hookContext = nullptr;
};

Fake& fake() {
    static Fake f;
    return f;
}

void logCall(const std::string& call) {
    std::lock_guard<std::mutex> g(fake().m);
    fake().calls.push_back(call);
}

uint8_t answer(Fake& f, uint8_t status, uint16_t error) {
    f.lastError = error;
    return status;
}

}  // namespace

FAKE_EXPORT void armFakeReset() {
    Fake& f = fake();
    std::lock_guard<std::mutex> g(f.m);
    f.failOpen = f.holdWaits = false;
    f.waitMs = 20;
    f.lastError = 0;
    f.packets.clear();
    f.reading.clear();
    f.writeStatuses.clear();
    f.writeCalls = 0;
    f.writes.clear();
    f.calls.clear();
    f.hook = nullptr;
    f.hookContext = nullptr;
}

FAKE_EXPORT void armFakeSetWriteHook(ArmFakeWriteHook hook, void* context) {
    std::lock_guard<std::mutex> g(fake().m);
    fake().hook = hook;
    fake().hookContext = context;
}

FAKE_EXPORT void armFakeHoldIrqWaits(int hold) {
    Fake& f = fake();
    {
        std::lock_guard<std::mutex> g(f.m);
        f.holdWaits = hold != 0;
    }
    f.cv.notify_all();
}

FAKE_EXPORT int armFakeWaitHeld(uint32_t timeoutMs) {
    Fake& f = fake();
    std::unique_lock<std::mutex> g(f.m);
    return f.cv.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return f.held > 0; }) ? 1 : 0;
}

FAKE_EXPORT void armFakeFailOpen(int fail) {
    std::lock_guard<std::mutex> g(fake().m);
    fake().failOpen = fail != 0;
}

FAKE_EXPORT void armFakeQueuePacket(const uint8_t* data, size_t length) {
    Fake& f = fake();
    {
        std::lock_guard<std::mutex> g(f.m);
        f.packets.emplace_back(data, data + length);
    }
    f.cv.notify_all();
}

FAKE_EXPORT void armFakeWriteStatuses(const uint8_t* statuses, size_t count) {
    std::lock_guard<std::mutex> g(fake().m);
    fake().writeStatuses.assign(statuses, statuses + count);
}

FAKE_EXPORT size_t armFakeWriteCalls() {
    std::lock_guard<std::mutex> g(fake().m);
    return fake().writeCalls;
}

FAKE_EXPORT size_t armFakeWriteCount() {
    std::lock_guard<std::mutex> g(fake().m);
    return fake().writes.size();
}

FAKE_EXPORT size_t armFakeWrite(size_t index, uint8_t* buffer, size_t size) {
    Fake& f = fake();
    std::lock_guard<std::mutex> g(f.m);
    if (index >= f.writes.size()) return 0;
    const auto& w = f.writes[index];
    std::copy(w.begin(), w.begin() + static_cast<long>(w.size() < size ? w.size() : size), buffer);
    return w.size();
}

FAKE_EXPORT size_t armFakeCallCount(const char* call) {
    Fake& f = fake();
    std::lock_guard<std::mutex> g(f.m);
    size_t n = 0;
    for (const auto& c : f.calls) n += c == call;
    return n;
}

// ---- The board's calls ----------------------------------------------------------------------

FAKE_EXPORT int32_t phRpc_H_Open(void** handle, uint32_t, uint32_t) {
    Fake& f = fake();
    std::lock_guard<std::mutex> g(f.m);
    if (f.failOpen) return -1;
    *handle = &f.handle;
    return 0;
}

FAKE_EXPORT int32_t phRpc_H_Close(void** handle) {
    logCall("Close");
    *handle = nullptr;
    return 0;
}

FAKE_EXPORT uint8_t phRpc_H_DutInit(void*, uint8_t bus, uint8_t address, uint32_t speed, uint32_t, uint32_t) {
    logCall("DutInit " + std::to_string(bus) + " " + std::to_string(address) + " " + std::to_string(speed));
    return 0;
}

// The interrupt wait ends with a packet, a cancel while it waits or the sense time-out.
uint8_t waitIrq(Fake& f) {
    std::unique_lock<std::mutex> g(f.m);
    if (f.holdWaits) {
        ++f.held;
        f.cv.notify_all();
        f.cv.wait(g, [&] { return !f.holdWaits; });
        --f.held;
    }
    const uint64_t cancels = f.cancels;
    f.cv.wait_for(g, std::chrono::milliseconds(f.waitMs), [&] { return f.cancels != cancels || !f.packets.empty(); });
    return f.packets.empty() ? answer(f, 1, kErrorTimeout) : answer(f, 0, 0);
}

FAKE_EXPORT uint8_t phRpc_H_DevIoCtl(void*, uint8_t code, uint8_t, uint32_t* value) {
    Fake& f = fake();
    if (code == ARMBOARD_IOCTL_WAIT_IRQ) return waitIrq(f);
    char name[16];
    std::snprintf(name, sizeof name, "IoCtl %02X", code);
    logCall(name);
    std::lock_guard<std::mutex> g(f.m);
    if (code == ARMBOARD_IOCTL_SENSE_TIMEOUT && value) f.waitMs = *value;
    return answer(f, 0, 0);
}

FAKE_EXPORT uint8_t phRpc_H_DevIoLineCtl(void*, uint8_t line, uint8_t value, uint32_t) {
    logCall("Line " + std::to_string(line) + " " + std::to_string(value));
    return 0;
}

FAKE_EXPORT uint8_t phRpc_H_DutTx(void*, const uint8_t* data, uint16_t* length) {
    Fake& f = fake();
    ArmFakeWriteHook hook = nullptr;
    void* context = nullptr;
    uint8_t result;
    {
        std::lock_guard<std::mutex> g(f.m);
        ++f.writeCalls;
        uint8_t status = 0;
        if (!f.writeStatuses.empty()) {
            status = f.writeStatuses.front();
            f.writeStatuses.pop_front();
        }
        if (status == 0) {
            f.writes.emplace_back(data, data + *length);
            hook = f.hook;
            context = f.hookContext;
        }
        result = answer(f, status, status ? 0x0010 : 0);
    }
    if (hook) hook(context, data, *length);   // outside the lock: the hook may queue an answer
    return result;
}

FAKE_EXPORT uint8_t phRpc_H_DutRx(void*, uint8_t** data, uint16_t* length, uint16_t) {
    Fake& f = fake();
    std::lock_guard<std::mutex> g(f.m);
    *length = 0;
    if (f.packets.empty()) return answer(f, 1, kErrorTimeout);
    f.reading = std::move(f.packets.front());
    f.packets.pop_front();
    *data = f.reading.data();
    *length = static_cast<uint16_t>(f.reading.size());
    return answer(f, 0, 0);
}

FAKE_EXPORT uint8_t phRpc_H_GetLastError(void*, uint16_t** error) {
    std::lock_guard<std::mutex> g(fake().m);
    *error = &fake().lastError;
    return 0;
}

FAKE_EXPORT uint8_t phRpc_H_CancelIo(void*) {
    Fake& f = fake();
    {
        std::lock_guard<std::mutex> g(f.m);
        ++f.cancels;
        f.calls.push_back("CancelIo");
    }
    f.cv.notify_all();
    return 0;
}

FAKE_EXPORT uint8_t phRpc_H_SetTimeout(void*, uint32_t ms) {
    logCall("SetTimeout " + std::to_string(ms));
    return 0;
}
FAKE_EXPORT uint8_t phRpc_H_SetCommParam(void*) { return 0; }

FAKE_EXPORT uint8_t phRpc_H_GetHostInfo(void*, uint32_t, const char** text, uint8_t* present) {
    *text = "fake host";
    *present = 1;
    return 0;
}
FAKE_EXPORT uint8_t phRpc_H_GetDeviceInfo(void*, uint32_t, const char** text, uint8_t* present) {
    *text = "fake board";
    *present = 1;
    return 0;
}
