// The command table and its index by request id, both from the one command list.
#include <array>

#include "L1/53x/nfc53x.h"
#include "L1/53x/nfc53x_commands.h"

namespace {

#define NFC53X_BYTES(id, name, flag, ...) constexpr uint8_t kBytes_##id[] = {0 __VA_OPT__(, ) __VA_ARGS__};
NFC53X_COMMANDS(NFC53X_BYTES)
#undef NFC53X_BYTES

#define NFC53X_ROW(id, name, flag, ...) \
    {id, #name, flag, kBytes_##id + 1, static_cast<uint16_t>(sizeof kBytes_##id - 1)},
constexpr TNfc53xCommand kTable[] = {NFC53X_COMMANDS(NFC53X_ROW)};
#undef NFC53X_ROW
static_assert(std::size(kTable) == NFC53X_REQ_COUNT);

constexpr std::array<uint8_t, NFC53X_REQ_COUNT> makeIndex() {
    std::array<uint8_t, NFC53X_REQ_COUNT> index{};
    for (uint8_t row = 0; row < std::size(kTable); ++row) index[kTable[row].id] = row;
    return index;
}
constexpr auto kIndex = makeIndex();

}  // namespace

const TNfc53xCommand* nfc53xCommand(uint32_t id) {
    return id < NFC53X_REQ_COUNT ? &kTable[kIndex[id]] : nullptr;
}
