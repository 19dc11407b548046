// The NCI control opcodes, once for every layer: the transport's set of known opcodes, the
// packet layer's opcode-to-event lookup and the trace decoder's names and printers all come
// from this one table.
//
// An opcode is the first two packet-header bytes with the PBF bit cleared: MT << 13 | GID << 8
// | OID, so commands are 0x2xxx, responses 0x4xxx, notifications 0x6xxx; data is 0x0000.
//
// Columns: key, name (after "NCI_OC_"), event (after "EV_NCI_", NONE: no event), scope (NXP:
// preferred when the controller's manufacturer is 0x04), decoder printer (None: no printer).
// Rows are searched in this order and the first match wins, so the second rows of 0x2F05 and
// 0x4F05 never win, and 0x2F00/0x2F02/0x4F00/0x4F02 name the generic vendor messages unless the
// manufacturer is 0x04. An event lookup takes the first matching row that has an event.
#pragma once

#include <cstddef>
#include <cstdint>

#define NCI_OPCODES(X)                                                                                    \
    X(0x2000, CORE_RESET_CMD, CORE_RESET_CMD, ANY, None)                                                  \
    X(0x4000, CORE_RESET_RSP, CORE_RESET_RSP, ANY, CoreResetRsp)                                          \
    X(0x6000, CORE_RESET_NTF, CORE_RESET_NTF, ANY, CoreResetNtf)                                          \
    X(0x2001, CORE_INIT_CMD, CORE_INIT_CMD, ANY, None)                                                    \
    X(0x4001, CORE_INIT_RSP, CORE_INIT_RSP, ANY, CoreInitRsp)                                             \
    X(0x2002, CORE_SET_CONFIG_CMD, CORE_SET_CONFIG_CMD, ANY, SetConfigCmd)                                \
    X(0x4002, CORE_SET_CONFIG_RSP, CORE_SET_CONFIG_RSP, ANY, SetConfigRsp)                                \
    X(0x2003, CORE_GET_CONFIG_CMD, CORE_GET_CONFIG_CMD, ANY, GetConfigCmd)                                \
    X(0x4003, CORE_GET_CONFIG_RSP, CORE_GET_CONFIG_RSP, ANY, GetConfigRsp)                                \
    X(0x2004, CORE_CONN_CREATE_CMD, CORE_CONN_CREATE_CMD, ANY, ConnCreateCmd)                             \
    X(0x4004, CORE_CONN_CREATE_RSP, CORE_CONN_CREATE_RSP, ANY, ConnCreateRsp)                             \
    X(0x2005, CORE_CONN_CLOSE_CMD, CORE_CONN_CLOSE_CMD, ANY, ConnCloseCmd)                                \
    X(0x4005, CORE_CONN_CLOSE_RSP, CORE_CONN_CLOSE_RSP, ANY, Status)                                      \
    X(0x6006, CORE_CONN_CREDITS_NTF, CORE_CONN_CREDITS_NTF, ANY, Credits)                                 \
    X(0x6007, CORE_GENERIC_ERROR_NTF, CORE_GENERIC_ERROR_NTF, ANY, Status)                                \
    X(0x6008, CORE_INTERFACE_ERROR_NTF, CORE_INTERFACE_ERROR_NTF, ANY, InterfaceError)                    \
    X(0x603E, CORE_DOVUVODAV_STRING_NTF, CORE_DOVUVODAV_STRING_NTF, ANY, VendorString)                    \
    X(0x603F, CORE_DOVUVODAV_HEX_NTF, CORE_DOVUVODAV_HEX_NTF, ANY, VendorHex)                             \
    X(0x2100, RF_DISCOVER_MAP_CMD, RF_DISCOVER_MAP_CMD, ANY, DiscoverMap)                                 \
    X(0x4100, RF_DISCOVER_MAP_RSP, RF_DISCOVER_MAP_RSP, ANY, Status)                                      \
    X(0x2101, RF_SET_LM_ROUTING_CMD, RF_SET_LM_ROUTING_CMD, ANY, Routing)                                 \
    X(0x4101, RF_SET_LM_ROUTING_RSP, RF_SET_LM_ROUTING_RSP, ANY, Status)                                  \
    X(0x2102, RF_GET_LM_ROUTING_CMD, RF_GET_LM_ROUTING_CMD, ANY, None)                                    \
    X(0x4102, RF_GET_LM_ROUTING_RSP, RF_GET_LM_ROUTING_RSP, ANY, Status)                                  \
    X(0x6102, RF_GET_LM_ROUTING_NTF, RF_GET_LM_ROUTING_NTF, ANY, Routing)                                 \
    X(0x2103, RF_DISCOVER_CMD, RF_DISCOVER_CMD, ANY, DiscoverCmd)                                         \
    X(0x4103, RF_DISCOVER_RSP, RF_DISCOVER_RSP, ANY, Status)                                              \
    X(0x6103, RF_DISCOVER_NTF, RF_DISCOVER_NTF, ANY, DiscoverNtf)                                         \
    X(0x2104, RF_DISCOVER_SELECT_CMD, RF_DISCOVER_SELECT_CMD, ANY, SelectCmd)                             \
    X(0x4104, RF_DISCOVER_SELECT_RSP, RF_DISCOVER_SELECT_RSP, ANY, Status)                                \
    X(0x6105, RF_INTF_ACTIVATED_NTF, RF_INTF_ACTIVATED_NTF, ANY, IntfActivated)                           \
    X(0x2106, RF_DEACTIVATE_CMD, RF_DEACTIVATE_CMD, ANY, DeactivateCmd)                                   \
    X(0x4106, RF_DEACTIVATE_RSP, RF_DEACTIVATE_RSP, ANY, Status)                                          \
    X(0x6106, RF_DEACTIVATE_NTF, RF_DEACTIVATE_NTF, ANY, DeactivateNtf)                                   \
    X(0x6107, RF_FIELD_INFO_NTF, RF_FIELD_INFO_NTF, ANY, FieldInfo)                                       \
    X(0x2108, RF_T3T_POLLING_CMD, RF_T3T_POLLING_CMD, ANY, T3tPollingCmd)                                 \
    X(0x4108, RF_T3T_POLLING_RSP, RF_T3T_POLLING_RSP, ANY, Status)                                        \
    X(0x6108, RF_T3T_POLLING_NTF, RF_T3T_POLLING_NTF, ANY, T3tPollingNtf)                                 \
    X(0x6109, RF_NFCEE_ACTION_NTF, RF_NFCEE_ACTION_NTF, ANY, NfceeAction)                                 \
    X(0x610A, RF_NFCEE_DISCOVERY_REQ_NTF, RF_NFCEE_DISCOVERY_REQ_NTF, ANY, NfceeDiscoveryReq)             \
    X(0x210B, RF_PARAMETER_UPDATE_CMD, RF_PARAMETER_UPDATE_CMD, ANY, ParameterUpdateCmd)                  \
    X(0x410B, RF_PARAMETER_UPDATE_RSP, RF_PARAMETER_UPDATE_RSP, ANY, ParameterUpdateRsp)                  \
    X(0x2200, NFCEE_DISCOVER_CMD, NFCEE_DISCOVER_CMD, ANY, NfceeDiscoverCmd)                              \
    X(0x4200, NFCEE_DISCOVER_RSP, NFCEE_DISCOVER_RSP, ANY, NfceeDiscoverRsp)                              \
    X(0x6200, NFCEE_DISCOVER_NTF, NFCEE_DISCOVER_NTF, ANY, NfceeDiscoverNtf)                              \
    X(0x2201, NFCEE_MODE_SET_CMD, NFCEE_MODE_SET_CMD, ANY, NfceeModeSet)                                  \
    X(0x4201, NFCEE_MODE_SET_RSP, NFCEE_MODE_SET_RSP, ANY, Status)                                        \
    X(0x2300, LLCP_START_SYMMETRY_CMD, LLCP_START_SYMMETRY_CMD, ANY, LlcpStartSymmetry)                   \
    X(0x4300, LLCP_START_SYMMETRY_RSP, LLCP_START_SYMMETRY_RSP, ANY, Status)                              \
    X(0x2301, LLCP_STOP_SYMMETRY_CMD, LLCP_STOP_SYMMETRY_CMD, ANY, None)                                  \
    X(0x4301, LLCP_STOP_SYMMETRY_RSP, LLCP_STOP_SYMMETRY_RSP, ANY, Status)                                \
    X(0x2F01, DOVUVODAV_PRESENCE_CHECK_CMD, NONE, ANY, None)                                              \
    X(0x4F01, DOVUVODAV_PRESENCE_CHECK_RSP, DOVUVODAV_PRESENCE_CHECK_RSP, ANY, Status)                    \
    X(0x6F01, DOVUVODAV_PRESENCE_CHECK_NTF, DOVUVODAV_PRESENCE_CHECK_NTF, ANY, DeactivateNtf)             \
    X(0x2F02, DOVUVODAV_PC_DEACTIVATE_CMD, NONE, ANY, None)                                               \
    X(0x4F02, DOVUVODAV_PC_DEACTIVATE_RSP, DOVUVODAV_PC_DEACTIVATE_RSP, ANY, Status)                      \
    X(0x2F05, DOVUVODAV_SET_PM_ROUTING_CMD, DOVUVODAV_SET_PM_ROUTING_CMD, ANY, Routing)                   \
    X(0x4F05, DOVUVODAV_SET_PM_ROUTING_RSP, DOVUVODAV_SET_PM_ROUTING_RSP, ANY, Status)                    \
    X(0x2F05, DOVUVODAV_GET_PM_ROUTING_CMD, DOVUVODAV_GET_PM_ROUTING_CMD, ANY, None)                      \
    X(0x4F05, DOVUVODAV_GET_PM_ROUTING_RSP, DOVUVODAV_GET_PM_ROUTING_RSP, ANY, Status)                    \
    X(0x6F05, DOVUVODAV_GET_PM_ROUTING_NTF, DOVUVODAV_GET_PM_ROUTING_NTF, ANY, Routing)                   \
    X(0x2F08, DOVUVODAV_SWP_WAKEUP_CMD, NONE, ANY, SwpWakeup)                                             \
    X(0x4F08, DOVUVODAV_SWP_WAKEUP_RSP, DOVUVODAV_SWP_WAKEUP_RSP, ANY, Status)                            \
    X(0x2F00, WAKE_UP_DONE_CMD, WAKE_UP_DONE_CMD, ANY, None)                                              \
    X(0x4F00, WAKE_UP_DONE_RSP, WAKE_UP_DONE_RSP, ANY, Status)                                            \
    X(0x6F00, WAKE_UP_DONE_NTF, WAKE_UP_DONE_NTF, ANY, None)                                              \
    X(0x0000, DATA, DATA, ANY, None)                                                                      \
    X(0x2F02, NXP_PROPRIETARY_ACT_CMD, NONE, NXP, None)                                                   \
    X(0x4F02, NXP_PROPRIETARY_ACT_RSP, NXP_PROPRIETARY_ACT_RSP, NXP, Status)                              \
    X(0x2F00, NXP_SET_POWER_MODE_CMD, NONE, NXP, None)                                                    \
    X(0x4F00, NXP_SET_POWER_MODE_RSP, NXP_SET_POWER_MODE_RSP, NXP, Status)                                \
    X(0x2F11, NXP_PRESENCE_CHECK_CMD, NONE, ANY, None)                                                    \
    X(0x4F11, NXP_PRESENCE_CHECK_RSP, NXP_PRESENCE_CHECK_RSP, ANY, Status)                                \
    X(0x6F11, NXP_PRESENCE_CHECK_NTF, NXP_PRESENCE_CHECK_NTF, ANY, None)                                  \
    X(0x0100, NFCEE_DATA, NONE, ANY, None)

constexpr uint8_t NCI_MANU_NXP = 0x04;
constexpr uint8_t NCI_PBF = 0x10;
constexpr uint16_t NCI_OC_DATA = 0x0000;

enum class NciOpcodeScope : uint8_t { ANY, NXP };

struct TNciOpcode {
    uint16_t key;
    const char* name;      // "NCI_OC_..."
    const char* event;     // "EV_NCI_...", empty when the opcode has no event
    NciOpcodeScope scope;
};

constexpr bool nciSameText(const char* a, const char* b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}
constexpr const char* nciEventOrNone(const char* name) { return nciSameText(name, "EV_NCI_NONE") ? nullptr : name; }

#define NCI_OPCODE_ROW(key, name, event, scope, printer) \
    {key, "NCI_OC_" #name, nciEventOrNone("EV_NCI_" #event), NciOpcodeScope::scope},
inline constexpr TNciOpcode kNciOpcodes[] = {NCI_OPCODES(NCI_OPCODE_ROW)};
#undef NCI_OPCODE_ROW
inline constexpr size_t NCI_OPCODE_COUNT = sizeof kNciOpcodes / sizeof kNciOpcodes[0];
static_assert(NCI_OPCODE_COUNT == 75);

// The key of a packet from its first two header bytes: PBF cleared, and for data (message
// type 0) the connection id cleared too.
constexpr uint16_t nciPacketKey(uint8_t byte0, uint8_t byte1) {
    auto key = static_cast<uint16_t>((byte0 & ~NCI_PBF & 0xFF) << 8 | byte1);
    return byte0 < 0x20 ? static_cast<uint16_t>(key & 0xF0FF) : key;
}

// First row for key (with manufacturer 0x04 its own rows first) that passes the filter; -1 when none.
constexpr int nciOpcodeSearch(uint16_t key, uint8_t manufacturer, bool withEventOnly) {
    for (int pass = manufacturer == NCI_MANU_NXP ? 0 : 1; pass < 2; ++pass)
        for (size_t i = 0; i < NCI_OPCODE_COUNT; ++i) {
            const TNciOpcode& row = kNciOpcodes[i];
            if (row.key != key || (pass == 0 && row.scope != NciOpcodeScope::NXP)) continue;
            if (!withEventOnly || row.event) return static_cast<int>(i);
        }
    return -1;
}

// The row that names key (trace names).
constexpr int nciOpcodeFind(uint16_t key, uint8_t manufacturer) { return nciOpcodeSearch(key, manufacturer, false); }
// The row whose event a received key raises (the state machine's events).
constexpr int nciOpcodeFindEvent(uint16_t key, uint8_t manufacturer) { return nciOpcodeSearch(key, manufacturer, true); }

// The transport's check: a control packet must carry one of the table's opcodes.
constexpr bool nciOpcodeKnown(uint16_t key) { return nciOpcodeFind(key, 0) >= 0; }

static_assert(nciOpcodeFind(0x2F00, 0) != nciOpcodeFind(0x2F00, NCI_MANU_NXP));
static_assert(nciOpcodeFind(0x2F05, NCI_MANU_NXP) == nciOpcodeFind(0x2F05, 0));
static_assert(nciOpcodeFindEvent(0x2F02, NCI_MANU_NXP) < 0);
