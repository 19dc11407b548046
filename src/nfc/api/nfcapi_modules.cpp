#include "api/nfcapi_modules.h"

#include <atomic>
#include <iterator>

#include "core/nfcmgr.h"
#include "hw/hw_timer.h"
#include "mm/mm.h"
#include "transport/com.h"
#include "util/trace.h"

namespace {

constexpr OsQueueName kLlcpQueueName = 0xB1;

// Layer-1 task by controller family (the reader type's high byte).
struct Layer1Task {
    uint16_t family;
    OsQueueName name;
};
constexpr Layer1Task kLayer1Tasks[] = {{0x100, 0xB3}, {0x200, 0xB5}, {0x400, 0xB7}};

OsResult registerTimer(uint16_t) { return hwTimerRegister(); }

OsResult registerComLayer(uint16_t) {
    return osModuleRegister(COM_QUEUE_NAME, nfcapiServices().com.instanceSize, &comLayerInit, nullptr, MM_TYPE_STACK_LAYER);
}

// Not built yet: layer 1 of the reader's family and LLCP.
OsResult registerLayer1(uint16_t readerType) {
    for (const Layer1Task& task : kLayer1Tasks)
        if (readerType & task.family)
            return osModuleRegister(task.name, 0, &nfcapiModuleNotBuilt, nullptr, MM_TYPE_STACK_LAYER);
    return OS_OK;
}

OsResult registerLlcp(uint16_t) { return osModuleRegister(kLlcpQueueName, 0, &nfcapiModuleNotBuilt, nullptr, MM_TYPE_TASK); }

constexpr NfcapiModule kModules[] = {
    {"hardware timer", &registerTimer}, {"com layer", &registerComLayer}, {"layer 1", &registerLayer1},
    {"LLCP", &registerLlcp},           {"NFC manager", &nfcmanRegister},
};

constexpr NfcapiServices kLibraryServices = {
    kModules, std::size(kModules),
    NfcapiComLayer{sizeof(TComInstance), &comInit, &comShutdown, &comLowerInterface},
    &nfcmanRegisterApplication,
};

std::atomic<const NfcapiServices*> g_services{&kLibraryServices};

} // namespace

const NfcapiServices& nfcapiServices() { return *g_services.load(); }

void nfcapiSetServices(const NfcapiServices* services) { g_services = services ? services : &kLibraryServices; }

int32_t nfcapiModuleNotBuilt(void*, uint32_t moduleWord) {
    TRACE(TRC_ERROR, "! module 0x%X is not part of this build, it cannot start", moduleWord);
    return -1;
}
