#include "api/nfcapi_modules.h"

#include <atomic>
#include <iterator>

#include "L1/common/nfcll.h"
#include "core/nfcmgr.h"
#include "hw/hw_timer.h"
#include "mm/mm.h"
#include "transport/com.h"
#include "util/trace.h"

namespace {

constexpr OsQueueName kLlcpQueueName = 0xB1;

OsResult registerTimer(uint16_t) { return hwTimerRegister(); }

OsResult registerComLayer(uint16_t) {
    return osModuleRegister(COM_QUEUE_NAME, nfcapiServices().com.instanceSize, &comLayerInit, nullptr, MM_TYPE_STACK_LAYER);
}

// Not built yet: LLCP.
OsResult registerLlcp(uint16_t) { return osModuleRegister(kLlcpQueueName, 0, &nfcapiModuleNotBuilt, nullptr, MM_TYPE_TASK); }

constexpr NfcapiModule kModules[] = {
    {"hardware timer", &registerTimer}, {"com layer", &registerComLayer}, {"layer 1", &nfcllRegister},
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
