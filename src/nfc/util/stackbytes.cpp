#include "util/stackbytes.h"

#include <atomic>

namespace {

// Read on every task's thread while an application's I/O control may set them.
std::atomic<uint8_t> g_rawMode{0};
std::atomic<uint8_t> g_optionByte{0};

} // namespace

uint8_t nfcmanP2pRawMode() { return g_rawMode.load(); }
uint8_t nfcmanOptionByte() { return g_optionByte.load(); }

void nfcmanSetStackBytes(uint8_t rawMode, uint8_t optionByte) {
    g_rawMode = rawMode;
    g_optionByte = optionByte;
}
