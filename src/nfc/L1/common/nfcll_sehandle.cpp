#include "L1/common/nfcll_sehandle.h"

#include <atomic>

NfcSecureHandle nfcllNewSeHandle() {
    // A handle that named a record of a driver gone must not name a new one.
    static std::atomic<uint32_t> next{0x5E0001};
    return next.fetch_add(1);
}
