// The command table and its index by request id, both from the one command list, and the trace
// names of the state machine's events, states and SAM status bytes.
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

const char* nfc53xEventStr(uint32_t event) {
#define NFC53X_EVENT_NAME(number, name) \
    case number: return #name;
    switch (event) { NFC53X_EVENTS(NFC53X_EVENT_NAME) }
#undef NFC53X_EVENT_NAME
    return "#UNKNOWN EVT#";
}

const char* nfc53xStateStr(uint32_t state) {
#define NFC53X_STATE_NAME(number, name) \
    case number: return #name;
    switch (state) { NFC53X_STATES(NFC53X_STATE_NAME) }
#undef NFC53X_STATE_NAME
    return "nfc53xStateStr unknown state ";
}

const char* nfc53xSamStatusStr(uint8_t status) {
    static constexpr const char* kNames[] = {
        "CLAD pulse", "RF Timeout", "RF Timeout, CLAD pulse", "SigAct Timeout", "SigAct Timeout,  CLAD pulse",
        "SigAct Timeout, RF Timeout", "SigAct Timeout, RF Timeout, CLAD pulse"};
    static constexpr const char* kFieldOnNames[] = {"Field On, CLAD pulse",
                                                    "Field On, RF Timeout",
                                                    "Field On, RF Timeout, CLAD pulse",
                                                    "Field On, SigAct Timeout",
                                                    "Field On, SigAct Timeout,  CLAD pulse",
                                                    "Field On, SigAct Timeout, RF Timeout",
                                                    "Field On, SigAct Timeout, RF Timeout, CLAD pulse"};
    const uint8_t low = status & 0x7F;
    if (low < 1 || low > std::size(kNames)) return "illegal SAMStatus";
    return (status & 0x80) ? kFieldOnNames[low - 1] : kNames[low - 1];
}
