#include "api/nfcapi_modules.h"

#include <atomic>
#include <iterator>

#include "L1/common/nfcll.h"
#include "core/nfcmgr.h"
#include "hw/hw_timer.h"
#include "llcp/llcp.h"
#include "mm/mm.h"
#include "transport/com.h"

namespace {

OsResult registerTimer(uint16_t) { return hwTimerRegister(); }

OsResult registerComLayer(uint16_t) {
    return osModuleRegister(COM_QUEUE_NAME, nfcapiServices().com.instanceSize, &comLayerInit, nullptr, MM_TYPE_STACK_LAYER);
}

constexpr NfcapiModule kModules[] = {
    {"hardware timer", &registerTimer}, {"com layer", &registerComLayer}, {"layer 1", &nfcllRegister},
    {"LLCP", &llcpRegister},           {"NFC manager", &nfcmanRegister},
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
