// The library's trace bits that the user can choose: one entry per check box of the trace
// flags dialog, group by group in screen order. The window reads the same names from the
// "Current" preset, so a box and the bit it starts the library with can never disagree.
#pragma once

#include <cstdint>

// X(name, text, nfcWord, bit, checkedByDefault)
#define LUMARO_TRACE_FLAG_TABLE(X)                                                                     \
    X(Ndef, "NDEF", true, 0x08000000, true)                                                            \
    X(Snep, "SNEP", true, 0x00004000, true)                                                            \
    X(Handover, "Handover", true, 0x00008000, true)                                                    \
    X(ApiEntry, "API entry", true, 0x00000100, true)                                                   \
    X(ApiWorkflow, "API workflow", true, 0x01000000, false)                                            \
    X(P2pWork, "P2P work", true, 0x04000000, false)                                                    \
    X(NfcApiMessages, "NFC API messages", true, 0x00000080, true)                                      \
    X(DumpTxApiData, "Dump TX API data", true, 0x00001000, true)                                       \
    X(DumpRxApiData, "Dump RX API data", true, 0x00002000, true)                                       \
    X(BrisgardInitialization, "NFC stack initialization", true, 0x00000001, true)                      \
    X(BrisgardWorkflow, "NFC stack workflow", true, 0x00000002, true)                                  \
    X(BrisgardErrors, "NFC stack errors", true, 0x00000004, true)                                      \
    X(NfcMemoryAllocation, "NFC memory allocation", true, 0x00000008, false)                           \
    X(TagHandler, "Tag Handler", true, 0x00000010, true)                                               \
    X(TagHandlerVerbose, "Tag Handler verbose", true, 0x00000020, true)                                \
    X(NfcManager, "NFC Manager", true, 0x00000800, true)                                               \
    X(Ip1, "IP-1", true, 0x00000040, true)                                                             \
    X(LlcpProtocol, "LLCP protocol", true, 0x00010000, true)                                           \
    X(LlcpMessages, "LLCP messages", true, 0x00020000, true)                                           \
    X(LlcpData, "LLCP data", true, 0x00040000, true)                                                   \
    X(LlcpSym, "LLCP SYM", true, 0x00800000, true)                                                     \
    X(LlcGeneral, "LLC general", true, 0x00200000, true)                                               \
    X(TransactionDump, "Transaction dump", true, 0x00400000, true)                                     \
    X(NfcManLlTimer, "NFC Man / LL timer", true, 0x00000400, false)                                    \
    X(LlcpLlcAction, "LLCP LLC action", true, 0x00080000, true)                                        \
    X(ComApiCall, "COM API call", false, 0x00010000, true)                                             \
    X(Workflow, "Workflow", false, 0x00020000, false)                                                  \
    X(Errors, "Errors", false, 0x00040000, true)                                                       \
    X(ShdlcProtocol, "SHDLC protocol", false, 0x00100000, false)                                       \
    X(ShdlcVerbose, "SHDLC verbose", false, 0x00200000, false)                                         \
    X(ShdlcDump, "SHDLC dump", false, 0x00400000, false)                                               \
    X(ChipLevel1, "Chip level 1", true, 0x10000000, true)                                              \
    X(ChipLevel2, "Chip level 2", true, 0x20000000, true)                                              \
    X(ChipLevel3, "Chip level 3", true, 0x40000000, true)                                              \
    X(ChipLevel4, "Chip level 4", true, 0x80000000, true)                                              \
    X(L1ComApi, "L1 COM API", false, 0x00000010, true)                                                 \
    X(L1Work, "L1 work", false, 0x00000001, false)                                                     \
    X(L1Errors, "L1 errors", false, 0x00000020, true)                                                  \
    X(L1Verbose, "L1 verbose", false, 0x10000000, false)                                               \
    X(L1DumpFrame, "L1 dump frame", false, 0x80000000, false)

struct TraceFlagEntry {
    const char* name;
    const char* text;
    bool nfcWord;
    uint32_t bit;
    bool checkedByDefault;
};

#define LUMARO_TRACE_FLAG_ENTRY(name, text, nfcWord, bit, checked) {#name, text, nfcWord, bit, checked},
inline constexpr TraceFlagEntry kTraceFlagTable[] = {LUMARO_TRACE_FLAG_TABLE(LUMARO_TRACE_FLAG_ENTRY)};
#undef LUMARO_TRACE_FLAG_ENTRY

// The module group boxes, five to a row, each holding this many consecutive table entries.
struct TraceFlagGroup {
    const char* objectName;
    const char* title;
    int count;
};
inline constexpr TraceFlagGroup kTraceFlagGroups[] = {
    {"gboTopLevelServices", "Top level services", 3}, {"gboNfaceSpaLayer", "NFace+SPA layer", 3},
    {"gboNfaceApi", "NFace API", 3},                   {"gboNfaceCommon", "NFace common", 4},
    {"gboNfaceManager", "NFace Manager", 4},           {"gboNFaceLlcp", "NFace LLCP", 4},
    {"gboNfaceLlcLayer", "NFace LLC layer", 4},        {"gboEhciTransport", "EHCI transport", 6},
    {"gboNfaceChipProtocol", "NFace chip protocol", 4}, {"gboL1ChipAccessUartI2c", "L1 chip access (UART/I2C)", 5},
};
