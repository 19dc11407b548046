// A fake of the bus proxy library with one simulated controller behind it: on its serial link,
// or on its SPB bus (linked as port "SPB" or opened as the proximity bus), where the controller
// has bytes to read and raises interrupts.
#include "spbproxy_fake.h"

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "transport/spbproxy_api.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct Fake {
    std::mutex m;
    bool failLink = false;
    bool failWrites = false;
    std::string port;
    size_t closes = 0;
    std::vector<std::vector<uint8_t>> writes;
    TSpSerialRegistration* serial = nullptr;
    int handle = 0;
    // The SPB bus.
    TSpSpbRegistration* spb = nullptr;
    SpEventProc_t proximityProc = nullptr;
    void* proximityRecord = nullptr;
    std::deque<uint8_t> toRead;
    int32_t readFailures = 0;
    std::vector<std::string> calls;
    SpFakeWriteHook hook = nullptr;
    void* hookContext = nullptr;
};

constexpr uint8_t kIdle = 0x7E;

Fake& fake() {
    static Fake f;
    return f;
}

void logCall(Fake& f, const char* name, long value) { f.calls.push_back(std::string(name) + " " + std::to_string(value)); }

// Every write of either link: logged, then shown to the hook outside the lock.
bool takeWrite(const uint8_t* data, uint32_t length) {
    Fake& f = fake();
    SpFakeWriteHook hook;
    void* context;
    {
        std::lock_guard<std::mutex> g(f.m);
        if (f.failWrites) return false;
        f.writes.emplace_back(data, data + length);
        hook = f.hook;
        context = f.hookContext;
    }
    if (hook) hook(context, data, length);
    return true;
}

int32_t serialWrite(void*, const uint8_t* data, uint32_t length) { return takeWrite(data, length) ? 1 : 0; }

// A read clocks in the size asked for: past the controller's bytes come idle bytes.
bool busRead(uint8_t* buffer, uint32_t size) {
    Fake& f = fake();
    std::lock_guard<std::mutex> g(f.m);
    logCall(f, "read", static_cast<long>(size));
    if (f.readFailures > 0) {
        --f.readFailures;
        return false;
    }
    for (uint32_t i = 0; i < size; ++i) {
        buffer[i] = f.toRead.empty() ? kIdle : f.toRead.front();
        if (!f.toRead.empty()) f.toRead.pop_front();
    }
    return true;
}

int32_t spbBusWrite(void*, const uint8_t* data, uint32_t length) { return takeWrite(data, length) ? 1 : 0; }
int32_t spbBusRead(void*, uint8_t* buffer, uint32_t size) { return busRead(buffer, size) ? 1 : 0; }
void spbLineControl(void*, uint32_t value) {
    std::lock_guard<std::mutex> g(fake().m);
    logCall(fake(), "line", static_cast<long>(value));
}

}  // namespace

FAKE_EXPORT void spFakeReset() {
    Fake& f = fake();
    std::lock_guard<std::mutex> g(f.m);
    f.failLink = f.failWrites = false;
    f.port.clear();
    f.closes = 0;
    f.writes.clear();
    f.serial = nullptr;
    f.spb = nullptr;
    f.proximityProc = nullptr;
    f.proximityRecord = nullptr;
    f.toRead.clear();
    f.readFailures = 0;
    f.calls.clear();
    f.hook = nullptr;
    f.hookContext = nullptr;
}

FAKE_EXPORT void spFakeFailLink(int fail) {
    std::lock_guard<std::mutex> g(fake().m);
    fake().failLink = fail != 0;
}

FAKE_EXPORT void spFakeFailWrites(int fail) {
    std::lock_guard<std::mutex> g(fake().m);
    fake().failWrites = fail != 0;
}

FAKE_EXPORT size_t spFakeLastPort(char* buffer, size_t size) {
    Fake& f = fake();
    std::lock_guard<std::mutex> g(f.m);
    if (size) buffer[f.port.copy(buffer, size - 1)] = '\0';
    return f.port.size();
}

FAKE_EXPORT size_t spFakeCloseCount() {
    std::lock_guard<std::mutex> g(fake().m);
    return fake().closes;
}

FAKE_EXPORT size_t spFakeWriteCount() {
    std::lock_guard<std::mutex> g(fake().m);
    return fake().writes.size();
}

FAKE_EXPORT size_t spFakeWrite(size_t index, uint8_t* buffer, size_t size) {
    Fake& f = fake();
    std::lock_guard<std::mutex> g(f.m);
    if (index >= f.writes.size()) return 0;
    const auto& w = f.writes[index];
    std::copy(w.begin(), w.begin() + static_cast<long>(w.size() < size ? w.size() : size), buffer);
    return w.size();
}

FAKE_EXPORT void spFakeDeliver(const uint8_t* data, uint32_t length) {
    TSpSerialRegistration* serial;
    {
        std::lock_guard<std::mutex> g(fake().m);
        serial = fake().serial;
    }
    if (serial) serial->dataProc(serial->record, data, length);
}

FAKE_EXPORT void spFakeTxDone(uint8_t* buffer) {
    TSpSerialRegistration* serial;
    {
        std::lock_guard<std::mutex> g(fake().m);
        serial = fake().serial;
    }
    if (serial) serial->txDoneProc(serial->record, buffer);
}

FAKE_EXPORT void spFakeQueueRead(const uint8_t* data, size_t length) {
    std::lock_guard<std::mutex> g(fake().m);
    fake().toRead.insert(fake().toRead.end(), data, data + length);
}

FAKE_EXPORT size_t spFakeUnread() {
    std::lock_guard<std::mutex> g(fake().m);
    return fake().toRead.size();
}

FAKE_EXPORT void spFakeFailReads(int32_t count) {
    std::lock_guard<std::mutex> g(fake().m);
    fake().readFailures = count;
}

FAKE_EXPORT void spFakeInterrupt() {
    SpEventProc_t proc = nullptr;
    void* record = nullptr;
    {
        Fake& f = fake();
        std::lock_guard<std::mutex> g(f.m);
        if (f.spb) {
            proc = f.spb->eventProc;
            record = f.spb->record;
        } else {
            proc = f.proximityProc;
            record = f.proximityRecord;
        }
    }
    if (proc) proc(record, 1);
}

FAKE_EXPORT void spFakeSend(const uint8_t* data, size_t length) {
    spFakeQueueRead(data, length);
    spFakeInterrupt();
}

FAKE_EXPORT size_t spFakeCallCount(const char* call) {
    Fake& f = fake();
    std::lock_guard<std::mutex> g(f.m);
    size_t n = 0;
    for (const auto& c : f.calls) n += c == call;
    return n;
}

FAKE_EXPORT void spFakeSetWriteHook(SpFakeWriteHook hook, void* context) {
    std::lock_guard<std::mutex> g(fake().m);
    fake().hook = hook;
    fake().hookContext = context;
}

// ---- The proxy's calls ----------------------------------------------------------------------

FAKE_EXPORT int32_t nfcLinkL1Consumer(const char* port, void* registration, void** handle) {
    Fake& f = fake();
    std::lock_guard<std::mutex> g(f.m);
    f.port = port ? port : "";
    if (f.failLink) return 0;
    if (f.port == SPBPROXY_SPB_PORT) {
        f.spb = static_cast<TSpSpbRegistration*>(registration);
        f.spb->write = &spbBusWrite;
        f.spb->read = &spbBusRead;
        f.spb->lineControl = &spbLineControl;
    } else {
        f.serial = static_cast<TSpSerialRegistration*>(registration);
        f.serial->write = &serialWrite;
    }
    *handle = &f.handle;
    return 1;
}

FAKE_EXPORT int32_t nfcCloseL1(void*) {
    Fake& f = fake();
    std::lock_guard<std::mutex> g(f.m);
    ++f.closes;
    f.serial = nullptr;
    f.spb = nullptr;
    return 1;
}

FAKE_EXPORT int32_t spbOpen(SpEventProc_t eventProc, void* record) {
    Fake& f = fake();
    std::lock_guard<std::mutex> g(f.m);
    logCall(f, "spbOpen", 0);
    if (f.failLink) return 0;
    f.proximityProc = eventProc;
    f.proximityRecord = record;
    return 1;
}

FAKE_EXPORT int32_t spbClose(void) {
    Fake& f = fake();
    std::lock_guard<std::mutex> g(f.m);
    ++f.closes;
    f.proximityProc = nullptr;
    f.proximityRecord = nullptr;
    return 0;
}

FAKE_EXPORT int32_t spbWrite(const uint8_t* data, uint32_t length) { return takeWrite(data, length) ? 0 : 1; }
FAKE_EXPORT int32_t spbRead(uint8_t* buffer, uint32_t size) { return busRead(buffer, size) ? 0 : 1; }

FAKE_EXPORT int32_t spbPower(uint32_t on) {
    std::lock_guard<std::mutex> g(fake().m);
    logCall(fake(), "power", static_cast<long>(on));
    return 0;
}
