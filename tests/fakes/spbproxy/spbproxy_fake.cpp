// A fake of the bus proxy library with one simulated controller behind it.
#include "spbproxy_fake.h"

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
};

Fake& fake() {
    static Fake f;
    return f;
}

int32_t serialWrite(void*, const uint8_t* data, uint32_t length) {
    Fake& f = fake();
    std::lock_guard<std::mutex> g(f.m);
    if (f.failWrites) return 0;
    f.writes.emplace_back(data, data + length);
    return 1;
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

// ---- The proxy's calls ----------------------------------------------------------------------

FAKE_EXPORT int32_t nfcLinkL1Consumer(const char* port, void* registration, void** handle) {
    Fake& f = fake();
    std::lock_guard<std::mutex> g(f.m);
    f.port = port ? port : "";
    if (f.failLink) return 0;
    f.serial = static_cast<TSpSerialRegistration*>(registration);
    f.serial->write = &serialWrite;
    *handle = &f.handle;
    return 1;
}

FAKE_EXPORT int32_t nfcCloseL1(void*) {
    Fake& f = fake();
    std::lock_guard<std::mutex> g(f.m);
    ++f.closes;
    f.serial = nullptr;
    return 1;
}
