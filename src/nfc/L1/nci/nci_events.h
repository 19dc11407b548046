// The events of the NCI driver's state machine: class 4 of the engine, 0x400 + index, in this
// order. One list gives every event its code and its name.
#pragma once

#include <cstddef>
#include <cstdint>

#define NCI_EVENTS(X)                                                                                  \
    X(MARVELD_INIT) X(MARVELD_DATA_REQ) X(MARVELD_PRESENCE_CHECK) X(MARVELD_TIMEOUT) X(HCI_TIMEOUT)     \
    X(MARVELD_TEST)                                                                                    \
    X(CORE_RESET_CMD) X(CORE_RESET_RSP) X(CORE_RESET_NTF) X(CORE_INIT_CMD) X(CORE_INIT_RSP)            \
    X(CORE_SET_CONFIG_CMD) X(CORE_SET_CONFIG_RSP) X(CORE_GET_CONFIG_CMD) X(CORE_GET_CONFIG_RSP)        \
    X(CORE_CONN_CREATE_CMD) X(CORE_CONN_CREATE_RSP) X(CORE_CONN_CLOSE_CMD) X(CORE_CONN_CLOSE_RSP)      \
    X(CORE_CONN_CREDITS_NTF) X(CORE_GENERIC_ERROR_NTF) X(CORE_INTERFACE_ERROR_NTF)                     \
    X(CORE_DOVUVODAV_STRING_NTF) X(CORE_DOVUVODAV_HEX_NTF)                                             \
    X(RF_DISCOVER_MAP_CMD) X(RF_DISCOVER_MAP_RSP) X(RF_SET_LM_ROUTING_CMD) X(RF_SET_LM_ROUTING_RSP)    \
    X(RF_GET_LM_ROUTING_CMD) X(RF_GET_LM_ROUTING_RSP) X(RF_GET_LM_ROUTING_NTF) X(RF_DISCOVER_CMD)      \
    X(RF_DISCOVER_RSP) X(RF_DISCOVER_NTF) X(RF_DISCOVER_SELECT_CMD) X(RF_DISCOVER_SELECT_RSP)          \
    X(RF_INTF_ACTIVATED_NTF) X(RF_DEACTIVATE_CMD) X(RF_DEACTIVATE_RSP) X(RF_DEACTIVATE_NTF)            \
    X(RF_FIELD_INFO_NTF) X(RF_T3T_POLLING_CMD) X(RF_T3T_POLLING_RSP) X(RF_T3T_POLLING_NTF)             \
    X(RF_NFCEE_ACTION_NTF) X(RF_NFCEE_DISCOVERY_REQ_NTF) X(RF_PARAMETER_UPDATE_CMD)                    \
    X(RF_PARAMETER_UPDATE_RSP)                                                                         \
    X(NFCEE_DISCOVER_CMD) X(NFCEE_DISCOVER_RSP) X(NFCEE_DISCOVER_NTF) X(NFCEE_MODE_SET_CMD)            \
    X(NFCEE_MODE_SET_RSP) X(LLCP_START_SYMMETRY_CMD) X(LLCP_START_SYMMETRY_RSP)                        \
    X(LLCP_STOP_SYMMETRY_CMD) X(LLCP_STOP_SYMMETRY_RSP)                                                \
    X(DOVUVODAV_PRESENCE_CHECK_RSP) X(DOVUVODAV_PRESENCE_CHECK_NTF) X(DOVUVODAV_PC_DEACTIVATE_RSP)     \
    X(DOVUVODAV_SET_PM_ROUTING_CMD) X(DOVUVODAV_SET_PM_ROUTING_RSP) X(DOVUVODAV_GET_PM_ROUTING_CMD)    \
    X(DOVUVODAV_GET_PM_ROUTING_RSP) X(DOVUVODAV_GET_PM_ROUTING_NTF) X(DOVUVODAV_SWP_WAKEUP_RSP)        \
    X(WAKE_UP_DONE_CMD) X(WAKE_UP_DONE_RSP) X(WAKE_UP_DONE_NTF)                                        \
    X(DATA) X(IO_SE_REQUEST) X(IO_GET_PARAMETER) X(IO_RAW_REQUEST) X(IO_SET_PARAMETER) X(ECHO_REQUEST) \
    X(RADIO_OFF_REQUEST) X(RADIO_ON_REQUEST) X(RESET_TIMER) X(SLEEP) X(WAKE_UP) X(CREDIT)              \
    X(NXP_PROPRIETARY_ACT_RSP) X(NXP_SET_POWER_MODE_RSP) X(NXP_PRESENCE_CHECK_RSP)                     \
    X(NXP_PRESENCE_CHECK_NTF) X(TEST_NFCEE)

constexpr uint16_t NCI_EVENT_CLASS = 4;
constexpr uint16_t NCI_EVENT_BASE = NCI_EVENT_CLASS << 8;

#define NCI_EVENT_ENUM(name) EV_NCI_##name,
enum NciEvent : uint16_t { EV_NCI_FIRST_ = NCI_EVENT_BASE - 1, NCI_EVENTS(NCI_EVENT_ENUM) EV_NCI_END_ };
#undef NCI_EVENT_ENUM

constexpr uint16_t NCI_EVENT_COUNT = EV_NCI_END_ - NCI_EVENT_BASE;
static_assert(NCI_EVENT_COUNT == 86);
static_assert(EV_NCI_CORE_RESET_CMD == 0x406 && EV_NCI_RF_DISCOVER_MAP_CMD == 0x418 && EV_NCI_NFCEE_DISCOVER_CMD == 0x430 &&
              EV_NCI_DOVUVODAV_PRESENCE_CHECK_RSP == 0x439 && EV_NCI_WAKE_UP_DONE_CMD == 0x442 && EV_NCI_DATA == 0x445 &&
              EV_NCI_NXP_PROPRIETARY_ACT_RSP == 0x451);

#define NCI_EVENT_NAME(name) "EV_NCI_" #name,
inline constexpr const char* kNciEventNames[NCI_EVENT_COUNT] = {NCI_EVENTS(NCI_EVENT_NAME)};
#undef NCI_EVENT_NAME

// The event that a name of the shared opcode table stands for; 0 for none.
constexpr uint16_t nciEventOfName(const char* name) {
    if (!name) return 0;
    for (uint16_t i = 0; i < NCI_EVENT_COUNT; ++i) {
        const char* a = kNciEventNames[i];
        const char* b = name;
        while (*a && *a == *b) ++a, ++b;
        if (*a == *b) return static_cast<uint16_t>(NCI_EVENT_BASE + i);
    }
    return 0;
}
