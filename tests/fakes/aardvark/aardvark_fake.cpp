// A fake of the I2C host adapter library with one simulated controller behind it.
#include "aardvark_fake.h"

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "transport/aardvark_api.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr int32_t kHandle = 0x2A;
constexpr int32_t kStatusFailed = -7;
constexpr uint8_t kIdle = 0x7E;

struct Fake {
    std::mutex m;
    uint32_t version = 0x05000500u;
    std::vector<uint16_t> devices{0x0000};
    bool activeHigh = false;
    int irqMode = -1;
    std::deque<uint8_t> toRead;
    int32_t readFailures = 0;
    std::vector<std::vector<uint8_t>> writes;
    std::vector<std::string> calls;
    uint16_t slave = 0;
    AaFakeWriteHook hook = nullptr;
    void* hookContext = nullptr;
};

Fake& fake() {
    static Fake f;
    return f;
}

int32_t logCall(const char* name, long value) {
    Fake& f = fake();
    std::lock_guard<std::mutex> g(f.m);
    f.calls.push_back(std::string(name) + " " + std::to_string(value));
    return 0;
}

bool asserted(const Fake& f) { return f.irqMode == 1 || (f.irqMode == -1 && !f.toRead.empty()); }

}  // namespace

FAKE_EXPORT void aaFakeReset() {
    Fake& f = fake();
    std::lock_guard<std::mutex> g(f.m);
    f.version = 0x05000500u;
    f.devices = {0x0000};
    f.activeHigh = false;
    f.irqMode = -1;
    f.toRead.clear();
    f.readFailures = 0;
    f.writes.clear();
    f.calls.clear();
    f.slave = 0;
    f.hook = nullptr;
    f.hookContext = nullptr;
}

FAKE_EXPORT void aaFakeSetVersion(uint32_t version) {
    std::lock_guard<std::mutex> g(fake().m);
    fake().version = version;
}

FAKE_EXPORT void aaFakeSetDevices(const uint16_t* devices, int32_t count) {
    std::lock_guard<std::mutex> g(fake().m);
    fake().devices.assign(devices, devices + count);
}

FAKE_EXPORT void aaFakeSetActiveHigh(int activeHigh) {
    std::lock_guard<std::mutex> g(fake().m);
    fake().activeHigh = activeHigh != 0;
}

FAKE_EXPORT void aaFakeSetIrq(int mode) {
    std::lock_guard<std::mutex> g(fake().m);
    fake().irqMode = mode;
}

FAKE_EXPORT void aaFakeQueueRead(const uint8_t* data, size_t length) {
    std::lock_guard<std::mutex> g(fake().m);
    fake().toRead.insert(fake().toRead.end(), data, data + length);
}

FAKE_EXPORT void aaFakeFailReads(int32_t count) {
    std::lock_guard<std::mutex> g(fake().m);
    fake().readFailures = count;
}

FAKE_EXPORT size_t aaFakeWriteCount() {
    std::lock_guard<std::mutex> g(fake().m);
    return fake().writes.size();
}

FAKE_EXPORT size_t aaFakeWrite(size_t index, uint8_t* buffer, size_t size) {
    Fake& f = fake();
    std::lock_guard<std::mutex> g(f.m);
    if (index >= f.writes.size()) return 0;
    const auto& w = f.writes[index];
    size_t n = w.size() < size ? w.size() : size;
    std::copy(w.begin(), w.begin() + static_cast<long>(n), buffer);
    return w.size();
}

FAKE_EXPORT size_t aaFakeCallCount(const char* call) {
    Fake& f = fake();
    std::lock_guard<std::mutex> g(f.m);
    size_t n = 0;
    for (const auto& c : f.calls) n += c == call;
    return n;
}

FAKE_EXPORT uint16_t aaFakeSlaveAddress() {
    std::lock_guard<std::mutex> g(fake().m);
    return fake().slave;
}

FAKE_EXPORT void aaFakeSetWriteHook(AaFakeWriteHook hook, void* context) {
    std::lock_guard<std::mutex> g(fake().m);
    fake().hook = hook;
    fake().hookContext = context;
}

// ---- The adapter's calls --------------------------------------------------------------------

FAKE_EXPORT uint32_t c_version(void) {
    std::lock_guard<std::mutex> g(fake().m);
    return fake().version;
}

FAKE_EXPORT int32_t c_aa_find_devices_ext(int32_t nDevices, uint16_t* devices, int32_t nIds, uint32_t* uniqueIds) {
    Fake& f = fake();
    std::lock_guard<std::mutex> g(f.m);
    int32_t count = static_cast<int32_t>(f.devices.size());
    for (int32_t i = 0; i < count; ++i) {
        if (i < nDevices) devices[i] = f.devices[static_cast<size_t>(i)];
        if (i < nIds) uniqueIds[i] = 0x1000u + static_cast<uint32_t>(i);
    }
    return count;
}

FAKE_EXPORT int32_t c_aa_open(int32_t slot) {
    logCall("c_aa_open", slot);
    return kHandle;
}
FAKE_EXPORT int32_t c_aa_configure(int32_t, int32_t config) { return logCall("c_aa_configure", config); }
FAKE_EXPORT int32_t c_aa_i2c_pullup(int32_t, uint8_t mask) { return logCall("c_aa_i2c_pullup", mask); }
FAKE_EXPORT int32_t c_aa_gpio_pullup(int32_t, uint8_t mask) { return logCall("c_aa_gpio_pullup", mask); }
FAKE_EXPORT int32_t c_aa_gpio_direction(int32_t, uint8_t mask) { return logCall("c_aa_gpio_direction", mask); }
FAKE_EXPORT int32_t c_aa_gpio_set(int32_t, uint8_t value) { return logCall("c_aa_gpio_set", value); }
FAKE_EXPORT int32_t c_aa_target_power(int32_t, uint8_t mask) { return logCall("c_aa_target_power", mask); }
FAKE_EXPORT int32_t c_aa_i2c_bitrate(int32_t, int32_t kHz) { return logCall("c_aa_i2c_bitrate", kHz); }
FAKE_EXPORT int32_t c_aa_i2c_bus_timeout(int32_t, uint16_t ms) { return logCall("c_aa_i2c_bus_timeout", ms); }

FAKE_EXPORT int32_t c_aa_gpio_get(int32_t) {
    Fake& f = fake();
    std::lock_guard<std::mutex> g(f.m);
    bool high = asserted(f) == f.activeHigh;
    return high ? AARDVARK_GPIO_IRQ : 0;
}

FAKE_EXPORT int32_t c_aa_i2c_write_ext(int32_t, uint16_t address, uint32_t, uint16_t length, const uint8_t* data,
                                       uint16_t* written) {
    Fake& f = fake();
    AaFakeWriteHook hook;
    void* context;
    {
        std::lock_guard<std::mutex> g(f.m);
        f.slave = address;
        f.writes.emplace_back(data, data + length);
        hook = f.hook;
        context = f.hookContext;
    }
    *written = length;
    if (hook) hook(context, data, length);
    return 0;
}

// A read always clocks in the size asked for: past the controller's bytes come idle bytes.
FAKE_EXPORT int32_t c_aa_i2c_read_ext(int32_t, uint16_t address, uint32_t, uint16_t size, uint8_t* data, uint16_t* read) {
    Fake& f = fake();
    std::lock_guard<std::mutex> g(f.m);
    f.slave = address;
    *read = 0;
    if (f.readFailures > 0) {
        --f.readFailures;
        return kStatusFailed;
    }
    for (uint16_t i = 0; i < size; ++i) {
        data[i] = f.toRead.empty() ? kIdle : f.toRead.front();
        if (!f.toRead.empty()) f.toRead.pop_front();
    }
    *read = size;
    return 0;
}

FAKE_EXPORT const char* c_aa_status_string(int32_t status) { return status == 0 ? "ok" : "bus failure"; }
