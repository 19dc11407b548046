#include "nci_stack.h"

#include <atomic>
#include <cstring>
#include <future>
#include <iterator>
#include <string>

#include "L1/common/nfcll.h"
#include "L1/nci/nci.h"
#include "api/nfcapi_init.h"
#include "api/nfcapi_modules.h"
#include "hw/hw_timer.h"
#include "mm/mm.h"
#include "os/os_mem.h"
#include "transport/com.h"

namespace {

constexpr uint32_t kGlobalPool = 0xF1;
constexpr uint32_t kLayer1Word = 0x200B7;
constexpr uint16_t kRunOnWorker = 0x7E01;   // the test's own message to the stub manager

// The driver's context, noted when layer 1 starts it.
std::atomic<TNfcllContext*> g_layer1{nullptr};
int32_t noteDriver(TNfcllContext* ll) {
    g_layer1 = ll;
    return nciInit(ll);
}

OsResult registerTimer(uint16_t) { return hwTimerRegister(); }
OsResult registerCom(uint16_t) {
    return osModuleRegister(COM_QUEUE_NAME, sizeof(TComInstance), &comLayerInit, nullptr, MM_TYPE_STACK_LAYER);
}
StubModules* g_stubs = nullptr;
OsResult registerStubManager(uint16_t) { return g_stubs->registerModule(NciStack::kManager, 0, MM_TYPE_TASK); }

constexpr NfcapiModule kModules[] = {{"hardware timer", &registerTimer},
                                     {"com layer", &registerCom},
                                     {"layer 1", &nfcllRegister},
                                     {"NFC manager", &registerStubManager}};
const NfcapiServices kServices = {
    kModules, std::size(kModules), NfcapiComLayer{sizeof(TComInstance), &comInit, &comShutdown, &comLowerInterface},
    nullptr};

uint16_t queueOf(uint32_t name) {
    uint16_t id = 0;
    return osQueueFindByName(name, &id) == OS_OK ? id : 0;
}

} // namespace

NciStack::NciStack() {
    stubs_.add(kManager).onMessage = [](const OsMessage& message) {
        if (message.command != kRunOnWorker) return;
        (*osMsgFields<std::packaged_task<void()>*>(message))();
    };
    g_stubs = &stubs_;
    nfcllSetDriverInit(&noteDriver, static_cast<uint16_t>(sizeof(TNciContext)));
}

NciStack::~NciStack() {
    stop();
    nfcllSetDriverInit(nullptr, 0);
    g_layer1 = nullptr;
    g_stubs = nullptr;
}

bool NciStack::onDriver(const std::function<void(TNciContext&)>& fn) {
    TNfcllContext* ll = g_layer1.load();
    if (!ll) return false;
    auto task = std::make_shared<std::packaged_task<void()>>([ll, fn] { fn(*nfcllDriver<TNciContext>(ll)); });
    std::future<void> done = task->get_future();
    OsMessage message{};
    message.command = kRunOnWorker;
    osMsgSetFields(message, task.get());
    if (osMessageSend(queueOf(kManager), &message) != OS_OK) return false;
    // A task that did not run in time stays alive with its message until the stack stops.
    if (done.wait_for(std::chrono::milliseconds(kBounded)) == std::future_status::ready) return true;
    late_.push_back(task);
    return false;
}

bool NciStack::start(const std::string& port, const char* readerType) {
    nfcapiSetServices(&kServices);
    const std::string configuration = std::string("READERTYPE=") + readerType + " IOTYPE=SERIAL PORT=" + port;
    if (nfcapiInitialize(configuration.c_str(), nullptr, nullptr) != 0) return false;
    running_ = true;

    // The build request as the NFC manager sends it, byte for byte.
    uint8_t bytes[sizeof(MmStackDescriptor)] = {0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0xB7, 0x00, 0x00, 0x00, 0, 0, 0x00,
                                                0x00, 0x0A, 0x00, 0x08, 0x00, 0x08, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x08};
    const uint16_t requester = queueOf(kManager);
    std::memcpy(bytes + 10, &requester, 2);
    uint16_t pool = 0;
    void* buffer = nullptr;
    if (osPoolFindByName(kGlobalPool, &pool) != OS_OK || osBufferGet(pool, sizeof bytes, &buffer, nullptr, nullptr) != OS_OK)
        return false;
    std::memcpy(buffer, bytes, sizeof bytes);
    OsMessage build{};
    build.command = MM_BUILD_REQ;
    build.source = kManager;
    osMsgSetFields(build, MmBuildFields{0xB7, 0, static_cast<MmStackDescriptor*>(buffer)});
    if (osMessageSend(queueOf(MM_QUEUE_NAME), &build) != OS_OK) return false;
    const auto answer = waitFor(MM_BUILD_ANSWER);
    osBufferRelease(buffer);
    return answer && osMsgFields<MmBuildAnswerFields>(*answer).result == MM_BUILD_OK;
}

bool NciStack::post(const OsMessage& message) {
    const uint16_t layer1 = queueOf(kLayer1Word);
    return layer1 && osMessageSend(layer1, &message) == OS_OK;
}

std::optional<OsMessage> NciStack::waitFor(uint16_t command, size_t n, uint32_t timeoutMs) {
    const uint32_t deadline = platTickMs() + timeoutMs;
    for (;;) {
        const auto received = stubs_[kManager].received();
        size_t seen = 0;
        for (const OsMessage& message : received)
            if (message.command == command && seen++ == n) return message;
        const int32_t left = static_cast<int32_t>(deadline - platTickMs());
        if (left <= 0 || !stubs_[kManager].waitFor(received.size() + 1, static_cast<uint32_t>(left))) return std::nullopt;
    }
}

size_t NciStack::count(uint16_t command) { return stubs_[kManager].count(command); }

std::vector<uint16_t> NciStack::commands() {
    std::vector<uint16_t> result;
    for (const OsMessage& message : stubs_[kManager].received()) result.push_back(message.command);
    return result;
}

std::optional<TNfcllActConf> NciStack::activate() {
    if (!request<NFCLL_ACT_REQ>()) return std::nullopt;
    const auto conf = waitFor(NFCLL_ACT_CONF);
    if (!conf) return std::nullopt;
    return nfcllMsgGet<NFCLL_ACT_CONF>(*conf);
}

void NciStack::stop() {
    if (!running_) return;
    running_ = false;
    nfcapiDone();
    nfcapiSetServices(nullptr);
}
